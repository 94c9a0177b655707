// One whole exchange with both programs under valgrind's memcheck: no
// invalid access, no use of uninitialised memory, no leaked block and no
// descriptor left open by either side.
#include <gtest/gtest.h>

#include "common/agent.h"

using namespace wqtest;

namespace {

// Every descriptor open at exit was inherited, and memcheck saw no error.
void ExpectClean(const std::string &out) {
  EXPECT_NE(out.find("ERROR SUMMARY: 0 errors"), std::string::npos) << out;
  EXPECT_NE(out.find("FILE DESCRIPTORS:"), std::string::npos) << out;
  EXPECT_EQ(count_of(out, "Open file descriptor"), count_of(out, "<inherited from parent>")) << out;
}

TEST(Memcheck, OneExchangeIsCleanOnBothSides) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "valgrind cannot run sanitizer builds (the sanitizers check those)";
#endif
  const std::vector<std::string> memcheck = {"valgrind", "--error-exitcode=99", "--leak-check=full",
                                             "--errors-for-leak-kinds=definite,indirect,possible", "--track-fds=yes"};
  ASSERT_TRUE(Installed("valgrind")) << "valgrind is not installed (scripts/setup.sh installs it)";
  Agent agent;
  ASSERT_GT(agent.Start({"--count", "1"}, 0, memcheck), 0) << agent.out();
  std::vector<std::string> jpmd = memcheck;
  jpmd.insert(jpmd.end(), {kJpmdProgram, "IPA=127.0.0.1", "PNR=" + std::to_string(agent.port), "TYP=E", "RET=3"});
  RunResult r = wqtest::Run(jpmd[0], jpmd, 4 * kDeadline);
  EXPECT_EQ(r.exit_code, 3);
  ExpectClean(r.out);
  EXPECT_EQ(agent.Stop(false), 1);
  ExpectClean(agent.out());
}

}  // namespace
