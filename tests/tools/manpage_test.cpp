// The manual pages in docs/man: they format without warnings, describe
// every parameter word with its default, and quote the program's own
// version line. Skipped when groff is not installed.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/process.h"

namespace {

using wqtest::Deadline;
const std::string kJpmd = std::string(WQ_BINARY_DIR) + "/wq_jpmd";
const std::string kAgent = std::string(WQ_BINARY_DIR) + "/wq_jpagent";

std::string Page(const std::string &name) {
  return std::string(WQ_SOURCE_DIR) + "/docs/man/" + name;
}

struct Rendered {
  int status = -1;
  std::string text, warnings;
};

// The page as plain text (no bold, no underlining), with groff's warnings.
Rendered Render(const std::string &page) {
  Rendered r;
  wqtest::Child child;
  // No hyphenation and long lines, so that phrases stay whole.
  if (!child.Start({wqtest::FindInPath("groff"), "-man", "-ww", "-t", "-Tascii", "-P-cbou",
                    "-rHY=0", "-rLL=250n", page}))
    return r;
  r.status = child.Finish(Deadline(120));
  r.text = child.out();
  r.warnings = child.err();
  return r;
}

// Text of the tagged paragraph whose tag line starts with `tag`: from the
// tag to the next line at the tag's indentation.
std::string Item(const std::string &text, const std::string &tag) {
  const std::string indent = "\n       ";
  size_t at = text.find(indent + tag);
  if (at == std::string::npos) return "";
  size_t end = at + 1;
  for (;;) {
    end = text.find(indent, end + 1);
    if (end == std::string::npos) return text.substr(at + 1);
    if (text[end + indent.size()] != ' ') return text.substr(at + 1, end - at);
  }
}

class ManPages : public ::testing::Test {
 protected:
  void SetUp() override {
    if (wqtest::FindInPath("groff").empty()) GTEST_SKIP() << "groff is not installed";
  }
};

TEST_F(ManPages, FormatWithoutWarnings) {
  for (const char *name : {"wq_jpmd.1", "wq_jpagent.1"}) {
    std::string page = Page(name);
    if (access(page.c_str(), R_OK) != 0) {
      ADD_FAILURE() << "missing " << page;
      continue;
    }
    Rendered r = Render(page);
    EXPECT_EQ(r.status, 0) << name;
    EXPECT_EQ(r.warnings, "") << name;
    for (const char *section : {"NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "EXAMPLES"})
      EXPECT_NE(r.text.find(std::string("\n") + section + "\n"), std::string::npos)
          << name << " lacks " << section;
  }
}

// Every word that the messenger's --help lists is described in its page with
// a default; so are -V and -h/--help.
TEST_F(ManPages, MessengerPageDescribesEveryParameterWithItsDefault) {
  wqtest::RunResult help = wqtest::Run(kJpmd, {kJpmd, "--help"});
  ASSERT_EQ(help.exit_code, 0);
  Rendered r = Render(Page("wq_jpmd.1"));
  ASSERT_EQ(r.status, 0) << r.warnings;
  std::istringstream lines(help.out);
  std::string line;
  int words = 0;
  while (std::getline(lines, line)) {
    if (line.rfind("  ", 0) != 0 || line.find('=') == std::string::npos || line[2] == ' ') continue;
    std::string key = line.substr(2, line.find('=') - 1);
    if (key.find(' ') != std::string::npos) continue;  // an example
    ++words;
    std::string item = Item(r.text, key);
    ASSERT_FALSE(item.empty()) << key << " is not described";
    if (key != "CMD=") {
      EXPECT_NE(item.find("Default"), std::string::npos) << key << " has no default:\n" << item;
    }
  }
  EXPECT_EQ(words, 17);
  EXPECT_FALSE(Item(r.text, "-V").empty());
  EXPECT_FALSE(Item(r.text, "-h").empty());
  EXPECT_NE(Item(r.text, "WAIT=").find("120"), std::string::npos);
  EXPECT_NE(Item(r.text, "RETRY=").find("Default 3"), std::string::npos);
  EXPECT_NE(Item(r.text, "TIMEOUT=").find("600"), std::string::npos);
  EXPECT_NE(r.text.find("no protection against anyone who has the program"), std::string::npos);
}

// The version line quoted in the page is the one the program prints.
TEST_F(ManPages, MessengerPageQuotesTheVersionLine) {
  wqtest::RunResult v = wqtest::Run(kJpmd, {kJpmd, "-V"});
  ASSERT_EQ(v.exit_code, 0);
  std::string line = v.out.substr(0, v.out.find('\n'));
  ASSERT_FALSE(line.empty());
  EXPECT_NE(Render(Page("wq_jpmd.1")).text.find(line), std::string::npos) << line;
}

// Every option that the agent's --help lists is described in its page.
TEST_F(ManPages, AgentPageDescribesEveryOptionOfTheProgram) {
  wqtest::Child child;
  ASSERT_TRUE(child.Start({kAgent, "--help"}));
  ASSERT_EQ(child.ExitCode(60), 0);
  Rendered r = Render(Page("wq_jpagent.1"));
  ASSERT_EQ(r.status, 0) << r.warnings;
  std::istringstream help(child.out());
  std::string line;
  int options = 0;
  while (std::getline(help, line)) {
    if (line.rfind("  --", 0) != 0) continue;
    std::string option = line.substr(2, line.find(' ', 2) - 2);
    ++options;
    std::string item = Item(r.text, option);
    ASSERT_FALSE(item.empty()) << option << " is not described";
    if (option != "--help") {
      EXPECT_NE(item.find("Default"), std::string::npos) << option << " has no default:\n" << item;
    }
  }
  EXPECT_GE(options, 10);
}

// The exit statuses the pages promise: RET modulo 256 for an end report
// (also when no attempt is made), 2 for a bad agent option.
TEST_F(ManPages, ProgramsEndWithTheDocumentedExitStatuses) {
  ASSERT_NE(Render(Page("wq_jpmd.1")).text.find("RET=300 gives 44"), std::string::npos);
  EXPECT_EQ(wqtest::Run(kJpmd, {kJpmd, "TYP=E", "RET=300", "RETRY=0"}).exit_code, 44);
  EXPECT_EQ(wqtest::Run(kJpmd, {kJpmd, "TYP=S", "RET=300", "RETRY=0"}).exit_code, 0);
  wqtest::Child bad;
  ASSERT_TRUE(bad.Start({kAgent, "--no-such-option"}));
  EXPECT_EQ(bad.ExitCode(), 2);
  EXPECT_NE(bad.err().find("wq_jpagent: "), std::string::npos);
}

}  // namespace
