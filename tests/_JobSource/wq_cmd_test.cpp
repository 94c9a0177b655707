#include "wq_cmd.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>

#include "wq_jpmd.h"
#include "zu002.h"
#include "zu002int.h"

namespace {

const char kKey[] = "Hm3Tx#6q";

// The printable segment ("--10" and hex digits) of `plain`.
std::string Segment(const std::string &plain) {
  std::vector<char> out(4 + 16 * (plain.size() / 8 + 1) + 1);
  ZUSTRNG_EnSeral2(out.data(), plain.c_str(), kKey);
  return "--" + std::string(out.data() + 2);
}

std::string Lower(std::string s) {
  for (char &c : s) c = (char)tolower((unsigned char)c);
  return s;
}

// A one-block segment that deciphers to 8 bytes without a NUL, as no
// enciphering of a text would make.
std::string Forged() {
  char block[9], hex[17] = {};
  EXPECT_EQ(ZUSTRNG_EnSeralBin2(block, "FORGED!!", 8, kKey), 8);
  byte2hex(hex, block);
  return std::string("--10") + hex;
}

TEST(DecipherCmd, SegmentsAnywhereOthersUpperCasedAndForgedOnesBounded) {
  const std::string seg = Segment("secret"), cut = Segment("abc").substr(0, Segment("abc").size() - 1);
  std::string long_plain;
  for (size_t i = 0; i < 4000; i++) long_plain += (char)('a' + i % 26);  // far beyond 251 hex digits
  const std::pair<std::string, std::string> rows[] = {
      {"ls -l /tmp", "ls -l /tmp"},
      {seg + " tail", "secret tail"},
      {"echo x" + seg + "y", "echo xsecrety"},  // inside a word
      {"echo " + Lower(seg), "echo secret"},
      {"echo \xAD\xAD" + seg.substr(2) + "!", "echo secret!"},  // the other marker
      {"cp " + seg + " " + Segment("/tmp/target dir") + " --x", "cp secret /tmp/target dir --x"},
      {"echo " + Segment(long_plain) + " end", "echo " + long_plain + " end"},
      {"ls --10ab", "ls --10AB"},
      {"ls --11ab --1", "ls --11ab --1"},  // no marker
      {"echo \xAD\xAD" "11ab", "echo \xAD\xAD" "11ab"},
      {"echo --10 x", "echo  x"},  // a marker alone is an empty enciphered text
      {"echo x--10", "echo x"},
      {"echo " + Lower(cut) + ";", "echo " + cut + ";"},
      {"echo " + Forged() + " tail", "echo FORGED!! tail"},  // its 8 bytes, nothing of an earlier segment
      {Segment(std::string(40, 'A')) + " " + Forged(), std::string(40, 'A') + " FORGED!!"},
      {Forged() + Forged(), "FORGED!!FORGED!!"}};
  for (const auto &[in, want] : rows) {
    std::vector<char> out(in.size() + 1, '#');
    EXPECT_EQ(decipherCmd(in.c_str(), out.data(), out.size()), want.size()) << in.substr(0, 60);
    EXPECT_EQ(out.data(), want) << in.substr(0, 60);
  }
  char out[6] = "#####";
  EXPECT_EQ(decipherCmd(("echo " + seg).c_str(), out, 6), 5u);
  EXPECT_STREQ(out, "echo ");
  EXPECT_EQ(decipherCmd("abc", out, 0) + decipherCmd(nullptr, out, sizeof out), 0u);
  EXPECT_STREQ(out, "");
}

TEST(ProcessCmd, RunsTheDecipheredCommandAndReturnsItsWaitStatus) {
  auto ctx = std::make_unique<PCX>();
  memset(ctx.get(), 0, sizeof(PCX));
  char file[] = "/tmp/wq_cmd_XXXXXX";
  ASSERT_EQ(close(mkstemp(file)), 0);
  const std::tuple<std::string, int, std::string> rows[] = {
      {"exit 0", 0, ""}, {"exit 3", 3 << 8, ""}, {"printf '%s|%s' '" + Segment("plain one") + "' " + Lower(Segment("two")), 0, "plain one|two"}};
  for (const auto &[cmd, status, written] : rows) {
    snprintf(ctx->pCmdBuffer, sizeof ctx->pCmdBuffer, "%s > %s", cmd.c_str(), file);
    EXPECT_EQ(processCmd(ctx.get()), status) << cmd;
    std::ifstream f(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()), written);
  }
  unlink(file);
}

}  // namespace
