// The messenger's start: its defaults, the parameter words, tracing from the
// word after TRC, and what the program does with -V, --help, the report
// kinds and CMD= before any connection (data/jpmd.txt).
#include "wq_jpmd.h"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstring>
#include <functional>

#include "common/capture.h"
#include "common/data.h"
#include "common/process.h"
#include "wq_trace.h"

namespace {

using namespace wqtest;

const std::string kProgram = std::string(WQ_BINARY_DIR) + "/wq_jpmd";

PCX Defaults() {
  PCX ctx;
  memset(&ctx, 0x5A, sizeof ctx);
  EXPECT_EQ(initialize_messenger(&ctx), 0);
  return ctx;
}

// Parses the words (without the program name) into a fresh context.
PCX Parse(std::vector<std::string> words) {
  PCX ctx = Defaults();
  words.insert(words.begin(), "wq_jpmd");
  std::vector<char *> argv;
  for (std::string &s : words) argv.push_back(s.data());
  argv.push_back(nullptr);
  EXPECT_EQ(parse_arguments(&ctx, (int)words.size(), argv.data()), 0);
  trcFlag.store(0);
  return ctx;
}

TEST(Parameters, DefaultsHandleUserSignal) {
  Defaults();
  struct sigaction current;
  ASSERT_EQ(sigaction(SIGUSR1, nullptr, &current), 0);
  EXPECT_EQ(current.sa_handler, signal_handler_common);
  raise(SIGUSR1);  // would end the process without the handler
}

// Each row: words, and what they change in the defaults (the whole record
// is compared, so a write beside its field shows too; the defaults clear it
// whatever it held before).
TEST(Parameters, EachWordSetsItsField) {
  const std::string L(3000, 'L');
  using Set = std::function<void(PCX &)>;
  auto text = [](char *field, const std::string &v) { memcpy(field, v.c_str(), v.size() + 1); };
  const std::vector<std::pair<std::vector<std::string>, Set>> rows = {
      {{}, [](PCX &) {}},
      {{"jnr=5", "Pnr=4711", "RET=-3", "MNR=12", "RETRY=7", "wait=30"},
       [](PCX &e) { e.jobnri = 5, e.portnri = 4711, e.reti = -3, e.client = 12, e.connect_retry = 7, e.connect_wait = 30; }},
      {{"JNR=12abc", "PNR=abc", "RET= 8", "WAIT=-4", "RETRY=-1"},
       [](PCX &e) { e.jobnri = 12, e.reti = 8, e.connect_wait = 0, e.connect_retry = -1; }},  // no negative pause
      // The client number is kept in 16 bits; numbers beyond int are held at its limits.
      {{"MNR=70000", "JNR=99999999999", "RET=-99999999999"},
       [](PCX &e) { e.client = (short)70000, e.jobnri = INT_MAX, e.reti = INT_MIN; }},
      // atoi skips blanks: the digit behind 8190 blanks is in the value, behind 8191 it is cut.
      {{"JNR=" + std::string(8190, ' ') + "7"}, [](PCX &e) { e.jobnri = 7; }},
      {{"JNR=" + std::string(8191, ' ') + "7"}, [](PCX &) {}},
      {{"TYP=E"}, [](PCX &e) { e.melder_type = e.status = 'E'; }},
      {{"typ=e"}, [](PCX &e) { e.melder_type = 'e'; }},
      {{"TYP=Sx"}, [](PCX &e) { e.melder_type = 'S'; }},
      {{"TYP=E", "TYP="}, [](PCX &e) { e.melder_type = 0; }},
      {{"TIMEOUT=none"}, [](PCX &e) { e.IoTimeOut = 0; }},
      {{"TIMEOUT=NONE"}, [](PCX &e) { e.IoTimeOut = 0; }},
      {{"TIMEOUT=nonex"}, [](PCX &e) { e.IoTimeOut = 0; }},
      {{"TIMEOUT=601"}, [](PCX &) {}},
      {{"TIMEOUT=600"}, [](PCX &e) { e.IoTimeOut = 600; }},
      {{"TIMEOUT=-5"}, [](PCX &e) { e.IoTimeOut = -5; }},
      {{"timeout=30s"}, [](PCX &e) { e.IoTimeOut = 30; }},
      {{"ULOGIN=yes"}, [](PCX &) {}},
      {{"ULOGIN=Yes"}, [](PCX &e) { e.output_login = 'Y'; }},
      {{"ULOGIN=Y", "ULOGIN="}, [](PCX &) {}},
      {{"TXT=a=b", "IPA=10.0.0.1", "OUTFILE=/tmp/x", "NAME=COUNT", "VALUE=17", "VTYPE=Nx"}, [&](PCX &e) {
         text(e.info_text, "a=b"), text(e.ipAddr, "10.0.0.1"), text(e.output_file, "/tmp/x");
         text(e.var_name, "COUNT"), text(e.var_value, "17"), e.var_type = 'N';
       }},
      {{"TXT=" + L, "IPA=" + L, "OUTFILE=" + L, "NAME=" + std::string(250, 'n'), "VALUE=" + L}, [&](PCX &e) {
         text(e.info_text, L.substr(0, 63)), text(e.ipAddr, L.substr(0, 63)), text(e.output_file, L.substr(0, 1023));
         text(e.var_name, std::string(250, 'n')), e.var_name[200] = 0, text(e.var_value, L.substr(0, 1023));
       }},  // NAME= is copied whole and then cut at 200
      // The later word wins; an empty value makes a text empty (its first byte 0).
      {{"JNR=1", "TXT=first", "JNR=2", "TXT=", "NAME=a", "NAME=b"},
       [&](PCX &e) { e.jobnri = 2, text(e.info_text, "first"), e.info_text[0] = 0, text(e.var_name, "b"); }},
      // Unknown, too long and plain words are ignored; a 70-character key
      // that starts with a real key is cut to 63 and matches nothing.
      {{std::string(70, 'A') + "=5", "JNR" + std::string(67, 'X') + "=5", "-V", "-h", "--help", "plain", "=5",
        "XYZ=1", "JNR"},
       [](PCX &) {}},
  };
  for (size_t row = 0; row < rows.size(); ++row) {
    PCX want, got = Parse(rows[row].first);
    memset(&want, 0, sizeof want);
    want.running_mode = 3, want.status = 'R', want.melder_type = 'U', want.IoTimeOut = 60;
    want.connect_retry = 3, want.connect_wait = 120, want.output_login = 'N';
    rows[row].second(want);
    EXPECT_EQ(memcmp(&got, &want, sizeof got), 0) << "row " << row;
  }
}

TEST(Parameters, CommandEndsTheRunAtOnce) { EXPECT_EXIT(Parse({"CMD=true", "JNR=5"}), ::testing::ExitedWithCode(0), ""); }

// The runs and traces of data/jpmd.txt: "-V", "-h" and "--help" answer only
// as the single word; among other words the report follows.
TEST(Program, RunsAndTracesOfTheDataFile) {
  const std::string help = std::string(jpmd_help_text()).substr(0, strlen(jpmd_help_text()) - 1);
  for (const DataCase &c : ReadData("jpmd.txt")) {
    std::vector<std::string> words(c.words.begin() + (c.name == "run" ? 1 : 0), c.words.end());
    if (c.name == "trace") {
      std::string texts;
      for (const std::string &t : TraceTexts(CaptureStdout([&] { Parse(words); }))) texts += t + "\n";
      EXPECT_EQ(texts, c.text) << c.words[0];
      continue;
    }
    RunResult r = wqtest::Run(kProgram, words);
    EXPECT_EQ(r.exit_code, std::stoi(c.words[0])) << words[1];
    EXPECT_EQ(Misfit(r.out, Fill(c.text, {{"HELP", help}})), "") << words[1];
  }
}

}  // namespace
