#include "wq_trace.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/data.h"

namespace {

using wqtest::CaptureStdout;
using wqtest::FitsMask;
using wqtest::kTraceHeadMask;

void traced_function(int x) {
  TRC_IN("(x=%d)", x);
  TRC("%-10s : '%s'", "label", "value");
  TRC_LINE("%s <-- (result=%d)", x);
  TRC_OUT("OK");
}

TEST(Trace, LineFormatMacrosBoundAndThreads) {
  trcFlag.store(1);
  std::string out = CaptureStdout([] { __trace_text(0, "hello %d", 5); });
  char tid[32];
  snprintf(tid, sizeof tid, "%.16X", (unsigned int)(uintptr_t)pthread_self());
  EXPECT_TRUE(FitsMask(out, tid + kTraceHeadMask.substr(16) + "hello 5\n")) << out;
  EXPECT_EQ(wqtest::TraceTexts(CaptureStdout([] { traced_function(3); })),
            (std::vector<std::string>{"traced_function(x=3) -->", "traced_function:      label      : 'value'",
                                      "traced_function <-- (result=3)", "traced_function <-- (OK)"}));
  const std::string big(3000, 'a');
  out = CaptureStdout([&] { __trace_text(0, "%s", big.c_str()); });
  EXPECT_TRUE(FitsMask(out, kTraceHeadMask + big.substr(0, 2047) + "\n")) << out.size();
  // Lines of two threads do not mix.
  out = CaptureStdout([] {
    auto work = [](char c) {
      for (int i = 0; i < 100; ++i) __trace_text(0, "%s", std::string(100, c).c_str());
    };
    std::thread a(work, 'a'), b(work, 'b');
    a.join();
    b.join();
  });
  const std::vector<std::string> lines = wqtest::Lines(out);
  ASSERT_EQ(lines.size(), 200u);
  for (const std::string &line : lines)
    ASSERT_TRUE(FitsMask(line, kTraceHeadMask + std::string(100, 'a')) ||
                FitsMask(line, kTraceHeadMask + std::string(100, 'b'))) << line;
  trcFlag.store(0);
  EXPECT_EQ(CaptureStdout([] { traced_function(3); }), "");
}

int g_seen_nr = 0;
std::string g_seen_text;
int recording_logger(int msgnr, const char *msginsert) {
  g_seen_nr = msgnr;
  g_seen_text = msginsert;
  return 0;
}

TEST(Log, MessengerLoggerConsoleLinesAndAnotherLogger) {
  EXPECT_EQ(CaptureStdout([] { EXPECT_EQ(__log(-1, "IPC message (%s) is not known", "XY"), 0); }),
            "-1 - IPC message (XY) is not known");
  EXPECT_EQ(CaptureStdout([] { EXPECT_EQ(__log(2000134, "dropped"), 0); }), "");
  EXPECT_EQ(CaptureStdout([] { EXPECT_EQ(mprintf("line %d", 1), 0); }), "line 1\n");
  const std::string big(5000, 'q');
  EXPECT_EQ(CaptureStdout([&] { mprintf("%s", big.c_str()); }), big.substr(0, 2047) + "\n");
  EXPECT_EQ(__log_set_logger(recording_logger), 0);
  EXPECT_EQ(CaptureStdout([&] { __log(42, "%s", big.c_str()); }), "");
  EXPECT_EQ(g_seen_nr, 42);
  EXPECT_EQ(g_seen_text, big.substr(0, 2047));
}

// The trcdump cases of data/dumps.txt: one call each, its time text masked.
TEST(Dump, ByteForByte) {
  int cases = 0;
  for (const wqtest::DataCase &c : wqtest::ReadData("dumps.txt")) {
    if (c.name != "T") continue;
    const std::string area = wqtest::Unhex(c.words.size() > 2 ? c.words[2] : "");
    const int len = std::stoi(c.words[1]);
    int rc = -1;
    const std::string out = CaptureStdout([&] { rc = trcdump(area.data(), len, "%s", c.words[0].c_str()); });
    EXPECT_EQ(rc, 0);
    char p[32];
    snprintf(p, sizeof p, "%p", (const void *)area.data());
    EXPECT_EQ(wqtest::Misfit(out, wqtest::Fill(c.text, {{"P", p}})), "") << c.words[0].substr(0, 20) << "\n" << out;
    ++cases;
  }
  EXPECT_EQ(cases, 10);
  EXPECT_EQ(CaptureStdout([] { EXPECT_EQ(trcdump_limited("abcd", 4, 2, "limited %d", 1), 0); }), "");
}

unsigned char Swap(int from, int to, unsigned char c) {
  Swapcode(from, to, &c, 1);
  return c;
}

TEST(CharacterCode, PairsExceptionsAndRoundTrip) {
  // Letters, digits, blank, the German characters of code page 273 and the
  // control characters: {EBCDIC, PC}.
  const int pairs[][2] = {{0xC1, 'A'},  {0xE9, 'Z'},  {0x81, 'a'},  {0xA9, 'z'},  {0xF0, '0'},  {0xF9, '9'},
                          {0x40, ' '},  {0xB5, '@'},  {0x4A, 0x8E}, {0xC0, 0x84}, {0xE0, 0x99}, {0x6A, 0x94},
                          {0x5A, 0x9A}, {0xD0, 0x81}, {0xA1, 0xE1}, {0x7C, 0xF5}, {0x41, 0xFF}, {0x25, 0x0A},
                          {0x05, 0x09}, {0x4B, '.'},  {0x7D, '\''}, {0x7F, '"'},  {0x6B, ','},  {0x61, '/'},
                          {0x00, 0x00}, {0xBC, 0xEE}};
  for (auto [ebcdic, pc] : pairs) {
    EXPECT_EQ(Swap(0, 1, ebcdic), pc) << std::hex << ebcdic;
    EXPECT_EQ(Swap(1, 0, pc), ebcdic) << std::hex << pc;
  }
  // Codes without a counterpart become 0xFF; every other code goes there and
  // back unchanged in one call over an area; equal codes change nothing.
  const std::vector<int> only[2] = {
      {0x04, 0x06, 0x08, 0x09, 0x0A, 0x14, 0x15, 0x17, 0x1A, 0x1B, 0x20, 0x21, 0x22, 0x23, 0x24, 0x28,
       0x29, 0x2A, 0x2B, 0x2C, 0x30, 0x31, 0x33, 0x34, 0x35, 0x36, 0x38, 0x39, 0x3A, 0x3B, 0x3E, 0xFF},
      {0x9F, 0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB9, 0xBA, 0xBB, 0xBC, 0xBF, 0xC0, 0xC1, 0xC2, 0xC3, 0xC4,
       0xC5, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xD5, 0xD9, 0xDA, 0xDB, 0xDC, 0xDF, 0xF2, 0xFE}};
  for (int from : {0, 1}) {
    for (int c : only[from]) EXPECT_EQ(Swap(from, 1 - from, c), 0xFF) << from << std::hex << " " << c;
    unsigned char area[256];
    for (int i = 0; i < 256; ++i) area[i] = (unsigned char)i;
    Swapcode(from, from, area, 256);
    Swapcode(from, 1 - from, area, 256);
    Swapcode(1 - from, from, area, 256);
    for (int i = 0; i < 256; ++i) {
      const bool excepted = std::find(only[from].begin(), only[from].end(), i) != only[from].end();
      EXPECT_TRUE(excepted || area[i] == i) << from << std::hex << " " << i;
    }
  }
}

}  // namespace
