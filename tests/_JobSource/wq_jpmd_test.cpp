#include "wq_jpmd.h"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "common/capture.h"
#include "common/process.h"
#include "wq_trace.h"

namespace {

using wqtest::CaptureStdout;
using wqtest::Lines;
using wqtest::TraceTexts;

const std::string kProgram = std::string(WQ_BINARY_DIR) + "/wq_jpmd";
const std::string kVersion = "\" version 12.2.0+build.2108, changelist '1530016094'\n";

PCX Defaults() {
  PCX ctx;
  memset(&ctx, 0x5A, sizeof ctx);
  EXPECT_EQ(initialize_messenger(&ctx), 0);
  return ctx;
}

// Parses the given words (without the program name) into a fresh context.
PCX Parse(const std::vector<std::string> &words) {
  PCX ctx = Defaults();
  std::vector<std::string> storage = {"wq_jpmd"};
  storage.insert(storage.end(), words.begin(), words.end());
  std::vector<char *> argv;
  for (std::string &s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  EXPECT_EQ(parse_arguments(&ctx, (int)storage.size(), argv.data()), 0);
  return ctx;
}

bool Same(const PCX &a, const PCX &b) { return memcmp(&a, &b, sizeof a) == 0; }

class Parameters : public ::testing::Test {
 protected:
  void TearDown() override { trcFlag.store(0); }
};

TEST_F(Parameters, DefaultsClearTheWholeRecordAndHandleUserSignal) {
  PCX expected;
  memset(&expected, 0, sizeof expected);
  expected.running_mode = 3;
  expected.status = 'R';
  expected.melder_type = 'U';
  expected.IoTimeOut = 60;
  expected.connect_retry = 3;
  expected.connect_wait = 120;
  expected.output_login = 'N';
  EXPECT_TRUE(Same(Defaults(), expected));
  EXPECT_TRUE(Same(Parse({}), expected));
  struct sigaction current;
  ASSERT_EQ(sigaction(SIGUSR1, nullptr, &current), 0);
  EXPECT_EQ(current.sa_handler, signal_handler_common);
  raise(SIGUSR1);  // would end the process without the handler
}

TEST_F(Parameters, NumbersReadLikeAtoiInAnyCaseOfKey) {
  PCX ctx = Parse({"jnr=5", "Pnr=4711", "RET=-3", "MNR=12", "RETRY=7", "wait=30"});
  EXPECT_EQ((std::vector<int>{ctx.jobnri, ctx.portnri, ctx.reti, ctx.client, ctx.connect_retry, ctx.connect_wait}),
            (std::vector<int>{5, 4711, -3, 12, 7, 30}));
  ctx = Parse({"JNR=12abc", "PNR=abc", "RET= 8", "WAIT=-4", "RETRY=-1"});
  EXPECT_EQ((std::vector<int>{ctx.jobnri, ctx.portnri, ctx.reti, ctx.connect_wait, ctx.connect_retry}),
            (std::vector<int>{12, 0, 8, 0, -1}));  // no negative pause
  // The client number is kept in 16 bits; numbers beyond int are held at its limits.
  ctx = Parse({"MNR=70000", "JNR=99999999999", "RET=-99999999999"});
  EXPECT_EQ(ctx.client, (short)70000);
  EXPECT_EQ(ctx.jobnri, INT_MAX);
  EXPECT_EQ(ctx.reti, INT_MIN);
  // atoi skips blanks: the digit behind 8190 blanks is in the value, behind 8191 it is cut.
  EXPECT_EQ(Parse({"JNR=" + std::string(8190, ' ') + "7"}).jobnri, 7);
  EXPECT_EQ(Parse({"JNR=" + std::string(8191, ' ') + "7"}).jobnri, 0);
}

TEST_F(Parameters, TypeTimeoutAndLoginCheck) {
  struct Case {
    std::vector<std::string> words;
    char type, status;
  };
  for (const Case &c : std::vector<Case>{
           {{"TYP=E"}, 'E', 'E'}, {{"typ=e"}, 'e', 'R'}, {{"TYP=Sx"}, 'S', 'R'}, {{"TYP=E", "TYP="}, 0, 'R'}}) {
    PCX ctx = Parse(c.words);
    EXPECT_EQ(ctx.melder_type, c.type) << c.words[0];
    EXPECT_EQ(ctx.status, c.status) << c.words[0];
  }
  for (auto [word, timeout] : std::vector<std::pair<std::string, int>>{
           {"TIMEOUT=none", 0}, {"TIMEOUT=NONE", 0}, {"TIMEOUT=nonex", 0}, {"TIMEOUT=601", 60},
           {"TIMEOUT=600", 600}, {"TIMEOUT=-5", -5}, {"timeout=30s", 30}})
    EXPECT_EQ(Parse({word}).IoTimeOut, timeout) << word;
  EXPECT_EQ(Parse({"ULOGIN=yes"}).output_login, 'N');
  EXPECT_EQ(Parse({"ULOGIN=Yes"}).output_login, 'Y');
  EXPECT_EQ(Parse({"ULOGIN=Y", "ULOGIN="}).output_login, 'N');
}

TEST_F(Parameters, TextsAreCutToTheirFieldsAndTheLaterWordWins) {
  PCX ctx = Parse({"TXT=a=b", "IPA=10.0.0.1", "OUTFILE=/tmp/x", "NAME=COUNT", "VALUE=17", "VTYPE=Nx"});
  EXPECT_STREQ(ctx.info_text, "a=b");
  EXPECT_STREQ(ctx.ipAddr, "10.0.0.1");
  EXPECT_STREQ(ctx.output_file, "/tmp/x");
  EXPECT_STREQ(ctx.var_name, "COUNT");
  EXPECT_STREQ(ctx.var_value, "17");
  EXPECT_EQ(ctx.var_type, 'N');

  const std::string L(3000, 'L');
  ctx = Parse({"TXT=" + L, "IPA=" + L, "OUTFILE=" + L, "NAME=" + std::string(250, 'n'), "VALUE=" + L});
  EXPECT_EQ(std::string(ctx.info_text), std::string(63, 'L'));
  EXPECT_EQ(std::string(ctx.ipAddr), std::string(63, 'L'));
  EXPECT_EQ(std::string(ctx.output_file), std::string(1023, 'L'));
  EXPECT_EQ(std::string(ctx.var_name), std::string(200, 'n'));
  EXPECT_EQ(std::string(ctx.var_value), std::string(1023, 'L'));
  EXPECT_EQ(ctx.filler1, 0);
  EXPECT_EQ(ctx.filler2, 0);

  ctx = Parse({"JNR=1", "TXT=first", "JNR=2", "TXT=", "NAME=a", "NAME=b"});
  EXPECT_EQ(ctx.jobnri, 2);
  EXPECT_STREQ(ctx.info_text, "");
  EXPECT_STREQ(ctx.var_name, "b");
}

TEST_F(Parameters, UnknownLongAndPlainWordsAreIgnored) {
  PCX defaults = Defaults();
  EXPECT_TRUE(Same(Parse({std::string(70, 'A') + "=5"}), defaults));
  // A 70-character key that starts with a real key is cut to 63 and matches nothing.
  EXPECT_TRUE(Same(Parse({"JNR" + std::string(67, 'X') + "=5"}), defaults));
  EXPECT_TRUE(Same(Parse({"-V", "-h", "--help", "plain", "=5", "XYZ=1", "JNR"}), defaults));
}

TEST_F(Parameters, TracingStartsWithTheWordAfterTrc) {
  std::string out = CaptureStdout([] { Parse({"JNR=1", "TRC=1", "PNR=2"}); });
  EXPECT_EQ(TraceTexts(out), (std::vector<std::string>{
                                 "parse_arguments:      argument-03 : PNR=2",
                                 "parse_arguments:      key(PNR) = value(2)",
                                 "parse_arguments:      TCP/IP address                 : ''",
                                 "parse_arguments:      port number                    : '2'",
                                 "parse_arguments:      job number                     : '1'",
                                 "parse_arguments:      client                         : '0'",
                                 "parse_arguments:      result                         : '0'",
                                 "parse_arguments:      information                    : ''",
                                 "parse_arguments:      type                           : 'R'",
                                 "parse_arguments <-- (OK)"}))
      << out;
  trcFlag.store(0);
  out = CaptureStdout([] { Parse({"TRC=1", "JNR=1", "TRC=0", "PNR=2"}); });
  EXPECT_EQ(TraceTexts(out), (std::vector<std::string>{"parse_arguments:      argument-02 : JNR=1",
                                                       "parse_arguments:      key(JNR) = value(1)",
                                                       "parse_arguments:      argument-03 : TRC=0",
                                                       "parse_arguments:      key(TRC) = value(0)"}));
}

TEST_F(Parameters, CommandEndsTheRunAtOnce) {
  EXPECT_EXIT(Parse({"CMD=true", "JNR=5"}), ::testing::ExitedWithCode(0), "");
}

// "-V", "-h" and "--help" answer only as the single word, and exit 0 without
// a report (which would come before any connection); among other words they
// are ignored and the report follows.
TEST(Program, VersionAndHelpOnlyAsTheSingleWord) {
  const std::string help = jpmd_help_text();
  struct Case {
    std::vector<std::string> argv;
    std::string out;  // whole output; empty: a report, not the answer
  };
  for (const Case &c : std::vector<Case>{
           {{"/some/dir/wq_jpmd", "-V"}, "WQ8 Agent \"wq_jpmd" + kVersion},
           {{"/x/" + std::string(300, 'n'), "-V"}, "WQ8 Agent \"" + std::string(255, 'n') + kVersion},
           {{"wq_jpmd", "-h"}, help},
           {{"wq_jpmd", "--help"}, help},
           {{"wq_jpmd", "TRC=1", "-V", "RETRY=0"}, ""},
           {{"wq_jpmd", "--help", "RETRY=0"}, ""},
           {{"wq_jpmd", "RETRY=0", "-h"}, ""}}) {
    wqtest::RunResult r = wqtest::Run(kProgram, c.argv);
    EXPECT_EQ(r.exit_code, 0) << c.argv[1];
    if (!c.out.empty()) {
      EXPECT_EQ(r.out, c.out);
      continue;
    }
    EXPECT_EQ(r.out.find("WQ8 Agent"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Usage:"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("RESTART AT"), std::string::npos) << r.out;
  }
  // Every word is listed with its default.
  for (const char *key : {"IPA", "PNR", "TYP", "JNR", "RET", "TXT", "MNR", "RETRY", "WAIT", "TIMEOUT", "TRC",
                          "ULOGIN", "OUTFILE", "NAME", "VALUE", "VTYPE"}) {
    size_t at = help.find(std::string("\n  ") + key + "=");
    ASSERT_NE(at, std::string::npos) << key;
    EXPECT_NE(help.substr(at, help.find('\n', at + 1) - at).find(" ("), std::string::npos) << key;
  }
  EXPECT_NE(help.find("\n  CMD="), std::string::npos);
}

TEST(Program, ReportChosenByTypeTracesAndCommand) {
  wqtest::RunResult r = wqtest::Run(kProgram, {"wq_jpmd", "TYP=E", "RET=3", "TXT=done", "JNR=42", "RETRY=0"});
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_GE(lines.size(), 6u) << r.out;
  EXPECT_EQ(lines[1], "**  wq_jpmd    version 12.2.0+build.2108        changelist 1530016094 **");
  EXPECT_TRUE(wqtest::FitsMask(lines[2], "**  JOB 00000042 (ProcID:##########) ENDED AT   ##.##.#### / ##:##:## **"))
      << lines[2];
  EXPECT_EQ(lines[4], "**  TEXT=\"done                            \"  RETCODE=03               **");
  EXPECT_EQ(wqtest::Run(kProgram, {"wq_jpmd", "TYP=V", "VTYPE=X", "RETRY=0"}).out,
            "Registered variable: 'X' NULL=NULL\n");
  EXPECT_EQ(wqtest::Run(kProgram, {"wq_jpmd", "TYP=O", "RETRY=0"}).out, "");  // no file, no report

  r = wqtest::Run(kProgram, {"wq_jpmd", "JNR=1", "TRC=1", "RETRY=0"});
  lines = Lines(r.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(wqtest::TraceText(lines[0]), "parse_arguments:      argument-03 : RETRY=0");
  EXPECT_NE(r.out.find(" - printMelder() -->\n"), std::string::npos);

  r = wqtest::Run(kProgram, {"wq_jpmd", "CMD=true", "TYP=E", "RET=9"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
}

}  // namespace
