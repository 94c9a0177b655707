// The manual pages in docs/man format without warnings and describe every
// parameter word and option that the programs' --help lists; the messenger's
// page quotes the program's own version line.
#include <gtest/gtest.h>

#include "common/capture.h"
#include "common/process.h"

namespace {

using namespace wqtest;

struct Page {
  const char *name;
  std::vector<std::string> help;  // the program's help command
  std::string prefix;             // start of a help line naming a word or option
};

TEST(ManPages, RenderCleanlyAndDescribeEveryWordOfTheHelp) {
  const std::string groff = FindInPath("groff"), bin = std::string(WQ_BINARY_DIR) + "/";
  if (groff.empty()) GTEST_SKIP() << "groff is not installed";
  for (const Page &p : {Page{"wq_jpmd", {bin + "wq_jpmd", "--help"}, "  "},
                        Page{"wq_jpagent", {bin + "wq_jpagent", "--help"}, "  --"}}) {
    SCOPED_TRACE(p.name);
    Child page;  // plain text without hyphenation and with long lines, so that phrases stay whole
    ASSERT_TRUE(page.Start({groff, "-man", "-ww", "-t", "-Tascii", "-P-cbou", "-rHY=0", "-rLL=250n",
                            std::string(WQ_SOURCE_DIR) + "/docs/man/" + p.name + ".1"},
                           false));
    EXPECT_EQ(page.Finish(), 0);
    EXPECT_EQ(page.err(), "");
    RunResult help = wqtest::Run(p.help[0], p.help);
    ASSERT_EQ(help.exit_code, 0);
    int words = 0;
    for (const std::string &line : Lines(help.out)) {
      const size_t end = line.find_first_of(p.prefix == "  " ? "=" : " ", 2);
      if (line.rfind(p.prefix, 0) != 0 || line[2] == ' ' || end == std::string::npos ||
          line.substr(2, end - 2).find(' ') != std::string::npos)
        continue;  // not a word or option, or an example
      ++words;
      const std::string tag = line.substr(2, end - 2 + (p.prefix == "  "));  // "IPA=", "--listen"
      EXPECT_NE(page.out().find("\n       " + tag), std::string::npos) << tag << " is not described";
    }
    EXPECT_GE(words, 13);
    if (p.prefix != "  ") continue;
    RunResult version = wqtest::Run(p.help[0], {p.help[0], "-V"});
    EXPECT_NE(page.out().find(version.out.substr(0, version.out.find('\n'))), std::string::npos) << version.out;
  }
}

}  // namespace
