// The manual pages in docs/man format without warnings and describe every
// parameter word and option that the programs' --help lists; the messenger's
// page quotes the program's own version line; the library's page explains
// every message number that ccm.h names.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "common/capture.h"
#include "common/process.h"

namespace {

using namespace wqtest;

// Renders docs/man/<file> as plain text without hyphenation and with long
// lines, so that phrases stay whole; warnings fail the test.
std::string Render(const std::string &file) {
  Child page;
  EXPECT_TRUE(page.Start({"groff", "-man", "-ww", "-t", "-Tascii", "-P-cbou", "-rHY=0", "-rLL=250n",
                          std::string(WQ_SOURCE_DIR) + "/docs/man/" + file}, false));
  EXPECT_EQ(page.Finish(), 0) << file;
  EXPECT_EQ(page.err(), "") << file;
  return page.out();
}

TEST(ManPages, RenderCleanlyAndDescribeEveryWordOfTheHelp) {
  const std::string bin = std::string(WQ_BINARY_DIR) + "/";
  if (!Installed("groff")) GTEST_SKIP() << "groff is not installed";
  for (const std::string name : {"wq_jpmd", "wq_jpagent"}) {
    const std::string page = Render(name + ".1");
    const bool jpmd = name == "wq_jpmd";  // its words read "  KEY=...", the agent's options "  --option ..."
    int words = 0;
    for (const std::string &line : Lines(wqtest::Run(bin + name, {name, "--help"}).out)) {
      const size_t end = line.find_first_of(jpmd ? "=" : " ", 2);
      if (line.rfind(jpmd ? "  " : "  --", 0) != 0 || line[2] == ' ' || end == std::string::npos ||
          line.substr(2, end - 2).find(' ') != std::string::npos)
        continue;  // not a word or option, or an example
      const std::string tag = line.substr(2, end - 2 + jpmd);  // "IPA=", "--listen"
      ++words;
      EXPECT_NE(page.find("\n       " + tag), std::string::npos) << tag << " is not described in " << name;
    }
    EXPECT_GE(words, 14) << name;
    if (jpmd) { EXPECT_NE(page.find(Lines(wqtest::Run(bin + name, {name, "-V"}).out).at(0)), std::string::npos); }
  }
}

// Every message number of the interface (CCM_MSGNR_*, CCM_LOG_*) is a tag
// of the library's page, where a user who meets it looks it up.
TEST(ManPages, LibraryPageExplainsEveryMessageNumber) {
  if (!Installed("groff")) GTEST_SKIP() << "groff is not installed";
  const std::string page = Render("ccm.3");
  std::ifstream in(std::string(WQ_SOURCE_DIR) + "/src/_ccm/ccm.h");
  const std::string text(std::istreambuf_iterator<char>(in), {});
  const std::regex number("constexpr int (CCM_(MSGNR|LOG)_[A-Z0-9_]+) = (-?[0-9]+);");
  int numbers = 0;
  for (std::sregex_iterator it(text.begin(), text.end(), number), end; it != end; ++it, ++numbers) {
    const std::regex tag("\n {7}" + std::regex_replace((*it)[3].str(), std::regex("-"), "\\-") + "[ \n]");
    EXPECT_TRUE(std::regex_search(page, tag)) << (*it)[1];
  }
  EXPECT_GE(numbers, 16);
}

}  // namespace
