#include "wq_jpmd.h"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "_JobSource/stdout_capture.h"
#include "wq_trace.h"

namespace {

using wqtest::CaptureStdout;
using wqtest::Lines;
using wqtest::RunProgram;

const std::string kProgram = std::string(WQ_BINARY_DIR) + "/wq_jpmd";

// Parses the given words (without the program name) into a fresh context.
PCX Parse(const std::vector<std::string> &words) {
  PCX ctx;
  memset(&ctx, 0x5A, sizeof ctx);
  initialize_messenger(&ctx);
  std::vector<std::string> storage = {"wq_jpmd"};
  storage.insert(storage.end(), words.begin(), words.end());
  std::vector<char *> argv;
  for (std::string &s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  EXPECT_EQ(parse_arguments(&ctx, (int)storage.size(), argv.data()), 0);
  return ctx;
}

PCX Defaults() {
  PCX ctx;
  memset(&ctx, 0x5A, sizeof ctx);
  EXPECT_EQ(initialize_messenger(&ctx), 0);
  return ctx;
}

bool SameContext(const PCX &a, const PCX &b) { return memcmp(&a, &b, sizeof a) == 0; }

using wqtest::TraceText;

class Parameters : public ::testing::Test {
 protected:
  void TearDown() override { trcFlag.store(0); }
};

TEST_F(Parameters, DefaultsAfterStartUp) {
  PCX ctx = Defaults();
  PCX expected;
  memset(&expected, 0, sizeof expected);
  expected.running_mode = 3;
  expected.status = 'R';
  expected.melder_type = 'U';
  expected.IoTimeOut = 60;
  expected.connect_retry = 3;
  expected.connect_wait = 120;
  expected.output_login = 'N';
  // The whole record, texts and padding included, is cleared first.
  EXPECT_TRUE(SameContext(ctx, expected));
  // No words leave the defaults standing.
  EXPECT_TRUE(SameContext(Parse({}), expected));
}

TEST_F(Parameters, UserSignalIsAcceptedAndIgnored) {
  Defaults();
  struct sigaction current;
  ASSERT_EQ(sigaction(SIGUSR1, nullptr, &current), 0);
  EXPECT_EQ(current.sa_handler, signal_handler_common);
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  EXPECT_EQ(sigismember(&mask, SIGUSR1), 0);
  raise(SIGUSR1);  // would end the process without the handler
  SUCCEED();
}

TEST_F(Parameters, NumbersAndKeysInAnyCase) {
  PCX ctx = Parse({"jnr=5", "Pnr=4711", "RET=-3", "MNR=12", "RETRY=7", "wait=30"});
  EXPECT_EQ(ctx.jobnri, 5);
  EXPECT_EQ(ctx.portnri, 4711);
  EXPECT_EQ(ctx.reti, -3);
  EXPECT_EQ(ctx.client, 12);
  EXPECT_EQ(ctx.connect_retry, 7);
  EXPECT_EQ(ctx.connect_wait, 30);
  // Numbers read like atoi: leading number, 0 for none.
  ctx = Parse({"JNR=12abc", "PNR=abc", "RET= 8", "WAIT=-4", "RETRY=-1"});
  EXPECT_EQ(ctx.jobnri, 12);
  EXPECT_EQ(ctx.portnri, 0);
  EXPECT_EQ(ctx.reti, 8);
  EXPECT_EQ(ctx.connect_wait, 0);  // no negative pause
  EXPECT_EQ(ctx.connect_retry, -1);
  // The client number is kept in 16 bits; numbers beyond int are held at
  // its limits.
  ctx = Parse({"MNR=70000", "JNR=99999999999", "RET=-99999999999"});
  EXPECT_EQ(ctx.client, (short)70000);
  EXPECT_EQ(ctx.jobnri, INT_MAX);
  EXPECT_EQ(ctx.reti, INT_MIN);
}

TEST_F(Parameters, TypeIsCaseSensitive) {
  PCX ctx = Parse({"TYP=E"});
  EXPECT_EQ(ctx.melder_type, 'E');
  EXPECT_EQ(ctx.status, 'E');
  ctx = Parse({"typ=e"});
  EXPECT_EQ(ctx.melder_type, 'e');
  EXPECT_EQ(ctx.status, 'R');
  ctx = Parse({"TYP=Sx"});
  EXPECT_EQ(ctx.melder_type, 'S');
  EXPECT_EQ(ctx.status, 'R');
  ctx = Parse({"TYP=E", "TYP="});
  EXPECT_EQ(ctx.melder_type, 0);
  EXPECT_EQ(ctx.status, 'R');
}

TEST_F(Parameters, TimeoutCases) {
  EXPECT_EQ(Parse({"TIMEOUT=none"}).IoTimeOut, 0);
  EXPECT_EQ(Parse({"TIMEOUT=NONE"}).IoTimeOut, 0);
  EXPECT_EQ(Parse({"TIMEOUT=nonex"}).IoTimeOut, 0);  // not a number either
  EXPECT_EQ(Parse({"TIMEOUT=601"}).IoTimeOut, 60);
  EXPECT_EQ(Parse({"TIMEOUT=600"}).IoTimeOut, 600);
  EXPECT_EQ(Parse({"TIMEOUT=-5"}).IoTimeOut, -5);
  EXPECT_EQ(Parse({"timeout=30s"}).IoTimeOut, 30);
}

TEST_F(Parameters, LoginCheckOnlyForUpperCaseY) {
  EXPECT_EQ(Parse({"ULOGIN=yes"}).output_login, 'N');
  EXPECT_EQ(Parse({"ULOGIN=Y"}).output_login, 'Y');
  EXPECT_EQ(Parse({"ULOGIN=Yes"}).output_login, 'Y');
  EXPECT_EQ(Parse({"ULOGIN=Y", "ULOGIN="}).output_login, 'N');
}

TEST_F(Parameters, TextsAreCutToTheirFields) {
  PCX ctx = Parse({"TXT=a=b", "IPA=10.0.0.1", "OUTFILE=/tmp/x", "NAME=COUNT", "VALUE=17", "VTYPE=Nx"});
  EXPECT_STREQ(ctx.info_text, "a=b");
  EXPECT_STREQ(ctx.ipAddr, "10.0.0.1");
  EXPECT_STREQ(ctx.output_file, "/tmp/x");
  EXPECT_STREQ(ctx.var_name, "COUNT");
  EXPECT_STREQ(ctx.var_value, "17");
  EXPECT_EQ(ctx.var_type, 'N');

  const std::string long_text(3000, 'L');
  ctx = Parse({"TXT=" + long_text, "IPA=" + long_text, "OUTFILE=" + long_text, "NAME=" + std::string(250, 'n'),
               "VALUE=" + long_text});
  EXPECT_EQ(std::string(ctx.info_text), std::string(63, 'L'));
  EXPECT_EQ(std::string(ctx.ipAddr), std::string(63, 'L'));
  EXPECT_EQ(std::string(ctx.output_file), std::string(1023, 'L'));
  EXPECT_EQ(std::string(ctx.var_name), std::string(200, 'n'));
  EXPECT_EQ(ctx.filler1, 0);
  EXPECT_EQ(std::string(ctx.var_value), std::string(1023, 'L'));
  EXPECT_EQ(ctx.filler2, 0);
}

TEST_F(Parameters, ValueKeepsAtMost8191Characters) {
  // atoi skips leading blanks: the digit behind 8190 blanks is still in the
  // value, the one behind 8191 is cut off.
  EXPECT_EQ(Parse({"JNR=" + std::string(8190, ' ') + "7"}).jobnri, 7);
  EXPECT_EQ(Parse({"JNR=" + std::string(8191, ' ') + "7"}).jobnri, 0);
}

TEST_F(Parameters, UnknownLongAndPlainWordsAreIgnored) {
  PCX defaults = Defaults();
  EXPECT_TRUE(SameContext(Parse({std::string(70, 'A') + "=5"}), defaults));
  // A key of 70 characters that starts with a real key is cut to 63 and
  // matches nothing.
  EXPECT_TRUE(SameContext(Parse({"JNR" + std::string(67, 'X') + "=5"}), defaults));
  EXPECT_TRUE(SameContext(Parse({"-V", "plain", "=5", "XYZ=1", "JNR"}), defaults));
}

TEST_F(Parameters, LaterValueWins) {
  PCX ctx = Parse({"JNR=1", "TXT=first", "JNR=2", "TXT=", "NAME=a", "NAME=b"});
  EXPECT_EQ(ctx.jobnri, 2);
  EXPECT_STREQ(ctx.info_text, "");
  EXPECT_STREQ(ctx.var_name, "b");
}

TEST_F(Parameters, TracingStartsWithTheWordAfterTrc) {
  std::string out = CaptureStdout([] { Parse({"JNR=1", "TRC=1", "PNR=2"}); });
  std::vector<std::string> texts;
  for (const std::string &line : Lines(out)) texts.push_back(TraceText(line));
  const std::vector<std::string> expected = {
      "parse_arguments:      argument-03 : PNR=2",
      "parse_arguments:      key(PNR) = value(2)",
      "parse_arguments:      TCP/IP address                 : ''",
      "parse_arguments:      port number                    : '2'",
      "parse_arguments:      job number                     : '1'",
      "parse_arguments:      client                         : '0'",
      "parse_arguments:      result                         : '0'",
      "parse_arguments:      information                    : ''",
      "parse_arguments:      type                           : 'R'",
      "parse_arguments <-- (OK)",
  };
  EXPECT_EQ(texts, expected) << out;

  // TRC=0 turns it off again from the next word on.
  trcFlag.store(0);
  out = CaptureStdout([] { Parse({"TRC=1", "JNR=1", "TRC=0", "PNR=2"}); });
  texts.clear();
  for (const std::string &line : Lines(out)) texts.push_back(TraceText(line));
  EXPECT_EQ(texts, (std::vector<std::string>{"parse_arguments:      argument-02 : JNR=1",
                                             "parse_arguments:      key(JNR) = value(1)",
                                             "parse_arguments:      argument-03 : TRC=0",
                                             "parse_arguments:      key(TRC) = value(0)"}));
}

TEST_F(Parameters, CommandEndsTheRunAtOnce) {
  EXPECT_EXIT(Parse({"CMD=true", "JNR=5"}), ::testing::ExitedWithCode(0), "");
}

// ---- the program --------------------------------------------------------------

TEST(Program, VersionOnlyForTheSingleWord) {
  wqtest::RunResult r = RunProgram(kProgram, {"/some/dir/wq_jpmd", "-V"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "WQ8 Agent \"wq_jpmd\" version 12.2.0+build.2108, changelist '1530016094'\n");

  // Among other words "-V" is an ordinary (ignored) word: the report follows.
  r = RunProgram(kProgram, {"wq_jpmd", "TRC=1", "-V", "RETRY=0"});
  EXPECT_EQ(r.out.find("WQ8 Agent"), std::string::npos);
  EXPECT_NE(r.out.find("RESTART AT"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("parse_arguments:      key(-V) = value()\n"), std::string::npos) << r.out;
}

TEST(Program, NameIsCutTo255Characters) {
  std::string name(300, 'n');
  wqtest::RunResult r = RunProgram(kProgram, {"/x/" + name, "-V"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "WQ8 Agent \"" + std::string(255, 'n') + "\" version 12.2.0+build.2108, changelist '1530016094'\n");
}

TEST(Program, ReportChosenByType) {
  wqtest::RunResult r = RunProgram(kProgram, {"wq_jpmd", "TYP=E", "RET=3", "TXT=done", "JNR=42", "RETRY=0"});
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_GE(lines.size(), 6u) << r.out;
  EXPECT_EQ(lines[0], std::string(72, '*'));
  EXPECT_EQ(lines[1], "**  wq_jpmd    version 12.2.0+build.2108        changelist 1530016094 **");
  EXPECT_TRUE(wqtest::FitsMask(lines[2], "**  JOB 00000042 (ProcID:##########) ENDED AT   ##.##.#### / ##:##:## **"))
      << lines[2];
  EXPECT_EQ(lines[4], "**  TEXT=\"done                            \"  RETCODE=03               **");
  EXPECT_EQ(lines[5], std::string(72, '*'));

  r = RunProgram(kProgram, {"wq_jpmd", "TYP=V", "VTYPE=X", "RETRY=0"});
  EXPECT_EQ(r.out, "Registered variable: 'X' NULL=NULL\n");

  // An output-file report without a file prints nothing.
  r = RunProgram(kProgram, {"wq_jpmd", "TYP=O", "RETRY=0"});
  EXPECT_EQ(r.out, "");
}

TEST(Program, TracesBeginBehindTrc) {
  wqtest::RunResult r = RunProgram(kProgram, {"wq_jpmd", "JNR=1", "TRC=1", "RETRY=0"});
  EXPECT_EQ(r.out.find("argument-01"), std::string::npos);
  EXPECT_EQ(r.out.find("argument-02"), std::string::npos);
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(TraceText(lines[0]), "parse_arguments:      argument-03 : RETRY=0");
  EXPECT_NE(r.out.find(" - printMelder() -->\n"), std::string::npos);
}

TEST(Program, CommandPrintsNoReport) {
  wqtest::RunResult r = RunProgram(kProgram, {"wq_jpmd", "CMD=true", "TYP=E", "RET=9"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
}

}  // namespace
