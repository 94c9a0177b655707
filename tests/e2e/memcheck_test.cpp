// One whole exchange with both programs under valgrind's memcheck: no
// invalid access, no use of uninitialised memory, no leaked block and no
// descriptor left open by either side. Sanitizer builds skip it (valgrind
// cannot run their binaries; the sanitizers check those builds themselves).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "child_process.h"
#include "common/text.h"

namespace {

const std::string kBin = WQ_BINARY_DIR;
constexpr int kErrorExit = 99;  // valgrind's exit status when it found errors

std::vector<std::string> under_memcheck(const std::string &valgrind, std::vector<std::string> args) {
  std::vector<std::string> v{valgrind,
                             "--error-exitcode=" + std::to_string(kErrorExit),
                             "--leak-check=full",
                             "--errors-for-leak-kinds=definite,indirect,possible",
                             "--track-fds=yes"};
  v.insert(v.end(), args.begin(), args.end());
  return v;
}

// Every descriptor open at exit was inherited, and memcheck saw no error.
void expect_clean(const std::string &out) {
  EXPECT_NE(out.find("ERROR SUMMARY: 0 errors"), std::string::npos) << out;
  EXPECT_NE(out.find("FILE DESCRIPTORS:"), std::string::npos) << out;
  EXPECT_EQ(count_of(out, "Open file descriptor"), count_of(out, "<inherited from parent>")) << out;
  EXPECT_EQ(out.find("definitely lost: "), out.find("definitely lost: 0 bytes")) << out;
}

TEST(Memcheck, OneExchangeIsCleanOnBothSides) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizer build";
#endif
  const std::string valgrind = wqtest::FindInPath("valgrind");
  ASSERT_FALSE(valgrind.empty()) << "valgrind is not installed (scripts/setup.sh installs it)";

  ChildProcess agent;
  ASSERT_TRUE(agent.start(under_memcheck(valgrind, {kBin + "/wq_jpagent", "--count", "1"})));
  std::string line;
  ASSERT_TRUE(agent.wait_for("listening on", &line, 120)) << agent.output();
  const int port = atoi(line.c_str() + line.rfind(" port ") + 6);
  ASSERT_GT(port, 0);

  ChildProcess jpmd;
  ASSERT_TRUE(jpmd.start(under_memcheck(
      valgrind, {kBin + "/wq_jpmd", "IPA=127.0.0.1", "PNR=" + std::to_string(port), "TYP=E", "RET=3"})));
  EXPECT_EQ(jpmd.finish(240), 3);
  expect_clean(jpmd.output());

  EXPECT_EQ(agent.finish(240), 0);
  EXPECT_NE(agent.output().find("ret=3"), std::string::npos) << agent.output();
  expect_clean(agent.output());
}

}  // namespace
