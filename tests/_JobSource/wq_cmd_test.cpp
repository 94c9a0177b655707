#include "wq_cmd.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "zu002.h"

namespace {

const char kKey[] = "Hm3Tx#6q";

// The printable segment ("--10" and hex digits) of `plain`.
std::string segment(const std::string &plain) {
  std::vector<char> out(4 + 16 * (plain.size() / 8 + 1) + 1);
  ZUSTRNG_EnSeral2(out.data(), plain.c_str(), kKey);
  return "--" + std::string(out.data() + 2);
}

std::string lower(std::string s) {
  for (char &c : s) c = (char)tolower((unsigned char)c);
  return s;
}

// A segment of one block that deciphers to 8 bytes without a NUL, as no
// enciphering of a text would make.
std::string forged_segment(const char eight[8]) {
  char block[9];
  EXPECT_EQ(ZUSTRNG_EnSeralBin2(block, eight, 8, kKey), 8);
  char hex[17] = {};
  byte2hex(hex, block);
  return std::string("--10") + hex;
}

std::string build(const std::string &cmd) {
  std::vector<char> out(cmd.size() + 1, '#');
  size_t len = decipherCmd(cmd.c_str(), out.data(), out.size());
  EXPECT_EQ(len, strlen(out.data()));
  return std::string(out.data());
}

TEST(DecipherCmd, SegmentsInEveryPositionAndInvalidOnesUpperCased) {
  const std::string seg = segment("secret");
  const std::string cut = segment("abc").substr(0, segment("abc").size() - 1);  // one digit short
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"ls -l /tmp", "ls -l /tmp"},
      {seg + " tail", "secret tail"},                    // at the start
      {"echo " + seg + " tail", "echo secret tail"},     // in the middle
      {"echo x" + seg + "y", "echo xsecrety"},           // inside a word
      {"echo " + seg, "echo secret"},                    // at the end
      {"echo " + lower(seg), "echo secret"},             // lower-case digits
      {"echo \xAD\xAD" + seg.substr(2) + "!", "echo secret!"},  // the other marker
      {"cp " + seg + " " + segment("/tmp/target dir") + " --x", "cp secret /tmp/target dir --x"},
      {"ls --10ab", "ls --10AB"},
      {"ls --11ab --1", "ls --11ab --1"},  // no marker
      {"echo \xAD\xAD" "11ab", "echo \xAD\xAD" "11ab"},
      {"echo --10 x", "echo  x"},  // a marker alone is an empty enciphered text
      {"echo x--10", "echo x"},
      {"echo " + lower(cut) + ";", "echo " + cut + ";"}};
  for (const auto &[in, out] : cases) EXPECT_EQ(build(in), out) << in;
}

TEST(DecipherCmd, LongSegmentsAreDecipheredWhole) {
  // Far beyond 251 hexadecimal digits: every length the command line holds.
  for (size_t len : {120u, 200u, 4000u}) {
    std::string plain;
    for (size_t i = 0; i < len; i++) plain += (char)('a' + i % 26);
    std::string seg = segment(plain);
    ASSERT_GT(seg.size(), 256u);
    EXPECT_EQ(build("echo " + seg + " end"), "echo " + plain + " end");
  }
}

TEST(DecipherCmd, ForgedSegmentsStayInBoundsAndLeakNothing) {
  const char forged[8] = {'F', 'O', 'R', 'G', 'E', 'D', '!', '!'};
  // Alone: exactly its 8 bytes, then the rest of the command.
  EXPECT_EQ(build("echo " + forged_segment(forged) + " tail"), "echo FORGED!! tail");
  // Behind a longer plain text: nothing of the earlier segment follows.
  const std::string earlier(40, 'A');
  EXPECT_EQ(build(segment(earlier) + " " + forged_segment(forged)), earlier + " FORGED!!");
  EXPECT_EQ(build(forged_segment(forged) + forged_segment(forged)), "FORGED!!FORGED!!");
}

TEST(DecipherCmd, OutputIsBounded) {
  char out[6];
  memset(out, '#', sizeof out);
  EXPECT_EQ(decipherCmd(("echo " + segment("secret")).c_str(), out, 6), 5u);
  EXPECT_STREQ(out, "echo ");
  EXPECT_EQ(decipherCmd("abc", out, 0), 0u);
  EXPECT_EQ(decipherCmd(nullptr, out, sizeof out), 0u);
  EXPECT_STREQ(out, "");
}

class ProcessCmd : public ::testing::Test {
 protected:
  void SetUp() override {
    pcx_ = std::make_unique<PCX>();
    memset(pcx_.get(), 0, sizeof(PCX));
    char name[] = "/tmp/wq_cmd_XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    file_ = name;
  }
  void TearDown() override { unlink(file_.c_str()); }

  int run(const std::string &cmd) {
    snprintf(pcx_->pCmdBuffer, sizeof pcx_->pCmdBuffer, "%s", cmd.c_str());
    return processCmd(pcx_.get());
  }
  std::string file_contents() {
    std::ifstream f(file_);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }

  std::unique_ptr<PCX> pcx_;
  std::string file_;
};

TEST_F(ProcessCmd, ReturnsTheShellsWaitStatus) {
  EXPECT_EQ(run("exit 0"), 0);
  int status = run("exit 3");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(status, 768);
}

TEST_F(ProcessCmd, RunsTheDecipheredCommand) {
  EXPECT_EQ(run("printf '%s|%s' '" + segment("plain one") + "' " + lower(segment("two")) + " > " + file_), 0);
  EXPECT_EQ(file_contents(), "plain one|two");

  // The raw marker bytes reach the deciphering as well.
  std::string seg = segment("raw marker");
  EXPECT_EQ(run("printf %s '\xAD\xAD" + seg.substr(2) + "' > " + file_), 0);
  EXPECT_EQ(file_contents(), "raw marker");

  // An invalid segment runs upper-cased.
  EXPECT_EQ(run("printf %s --10ab > " + file_), 0);
  EXPECT_EQ(file_contents(), "--10AB");
}

}  // namespace
