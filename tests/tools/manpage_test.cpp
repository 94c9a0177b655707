// The manual pages in docs/man format without warnings and describe every
// parameter word and option that the programs' --help lists; the messenger's
// page quotes the program's own version line.
#include <gtest/gtest.h>

#include "common/capture.h"
#include "common/process.h"

namespace {

using namespace wqtest;

TEST(ManPages, RenderCleanlyAndDescribeEveryWordOfTheHelp) {
  const std::string groff = "groff", bin = std::string(WQ_BINARY_DIR) + "/";
  if (!Installed(groff)) GTEST_SKIP() << "groff is not installed";
  for (const std::string name : {"wq_jpmd", "wq_jpagent"}) {
    Child page;  // plain text without hyphenation and with long lines, so that phrases stay whole
    ASSERT_TRUE(page.Start({groff, "-man", "-ww", "-t", "-Tascii", "-P-cbou", "-rHY=0", "-rLL=250n",
                            std::string(WQ_SOURCE_DIR) + "/docs/man/" + name + ".1"}, false));
    EXPECT_EQ(page.Finish(), 0) << name;
    EXPECT_EQ(page.err(), "") << name;
    const bool jpmd = name == "wq_jpmd";  // its words read "  KEY=...", the agent's options "  --option ..."
    int words = 0;
    for (const std::string &line : Lines(wqtest::Run(bin + name, {name, "--help"}).out)) {
      const size_t end = line.find_first_of(jpmd ? "=" : " ", 2);
      if (line.rfind(jpmd ? "  " : "  --", 0) != 0 || line[2] == ' ' || end == std::string::npos ||
          line.substr(2, end - 2).find(' ') != std::string::npos)
        continue;  // not a word or option, or an example
      const std::string tag = line.substr(2, end - 2 + jpmd);  // "IPA=", "--listen"
      ++words;
      EXPECT_NE(page.out().find("\n       " + tag), std::string::npos) << tag << " is not described in " << name;
    }
    EXPECT_GE(words, 14) << name;
    if (!jpmd) continue;
    const std::string version = wqtest::Run(bin + name, {name, "-V"}).out;
    EXPECT_NE(page.out().find(version.substr(0, version.find('\n'))), std::string::npos) << version;
  }
}

}  // namespace
