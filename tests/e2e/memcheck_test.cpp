// The programs under valgrind's memcheck: one whole exchange of both, a
// messenger whose connections are refused, and a command run with CMD= (its
// segment deciphered). No invalid access, no use of uninitialised memory, no
// leaked block and no descriptor left open.
#include <gtest/gtest.h>

#include "common/agent.h"

using namespace wqtest;

namespace {

const std::vector<std::string> kMemcheck = {"valgrind", "--error-exitcode=99", "--leak-check=full",
                                            "--errors-for-leak-kinds=definite,indirect,possible", "--track-fds=yes"};

// Every descriptor open at exit was inherited, and memcheck saw no error.
void ExpectClean(const std::string &out) {
  EXPECT_NE(out.find("ERROR SUMMARY: 0 errors"), std::string::npos) << out;
  EXPECT_NE(out.find("FILE DESCRIPTORS:"), std::string::npos) << out;
  EXPECT_EQ(count_of(out, "Open file descriptor"), count_of(out, "<inherited from parent>")) << out;
}

// The messenger under memcheck with `words`; its exit status and output.
RunResult Messenger(const std::vector<std::string> &words) {
  std::vector<std::string> argv = kMemcheck;
  argv.push_back(kJpmdProgram);
  argv.insert(argv.end(), words.begin(), words.end());
  return Run(argv[0], argv, 4 * kDeadline);
}

struct Memcheck : ::testing::Test {
  void SetUp() override {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "valgrind cannot run sanitizer builds (the sanitizers check those)";
#endif
    ASSERT_TRUE(Installed("valgrind")) << "valgrind is not installed (scripts/setup.sh installs it)";
  }
};

TEST_F(Memcheck, OneExchangeIsCleanOnBothSides) {
  Agent agent;
  ASSERT_GT(agent.Start({"--count", "1"}, 0, kMemcheck), 0) << agent.out();
  RunResult r = Messenger({"IPA=127.0.0.1", "PNR=" + std::to_string(agent.port), "TYP=E", "RET=3"});
  EXPECT_EQ(r.exit_code, 3);
  ExpectClean(r.out);
  EXPECT_EQ(agent.Stop(false), 1);
  ExpectClean(agent.out());
}

// A refused connection ends with its close notice, which is not a greeting.
TEST_F(Memcheck, RefusedConnectionIsClean) {
  ReservedPort nobody;
  RunResult r = Messenger({"TRC=1", "IPA=127.0.0.1", "PNR=" + std::to_string(nobody.port), "TYP=E", "RETRY=2", "WAIT=0"});
  EXPECT_EQ(count_of(r.out, "connection attempt #"), 2) << r.out;
  ExpectClean(r.out);
}

// The shell is not traced: only the messenger's own work areas are checked.
TEST_F(Memcheck, CommandRunIsClean) {
  RunResult r = Messenger({"CMD=echo --10854ED741905B3B8A"});  // "secret!"
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("\nsecret!\n"), std::string::npos) << r.out;
  ExpectClean(r.out);
}

}  // namespace
