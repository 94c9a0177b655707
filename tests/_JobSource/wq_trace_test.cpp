#include "wq_trace.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/capture.h"

namespace {

using wqtest::CaptureStdout;
using wqtest::FitsMask;
using wqtest::kTraceHeadMask;
using wqtest::Lines;

class Tracing : public ::testing::Test {
 protected:
  void SetUp() override { trcFlag.store(1); }
  void TearDown() override { trcFlag.store(0); }
};

void traced_function(int x) {
  TRC_IN("(x=%d)", x);
  TRC("%-10s : '%s'", "label", "value");
  TRC_LINE("%s <-- (result=%d)", x);
  TRC_OUT("OK");
}

TEST_F(Tracing, LineFormatMacrosAndBound) {
  std::string out = CaptureStdout([] { __trace_text(0, "hello %d", 5); });
  EXPECT_TRUE(FitsMask(out, kTraceHeadMask + "hello 5\n")) << out;
  char tid[32];
  snprintf(tid, sizeof tid, "%.16X", (unsigned int)(uintptr_t)pthread_self());
  EXPECT_EQ(out.substr(0, 16), tid);

  EXPECT_EQ(wqtest::TraceTexts(CaptureStdout([] { traced_function(3); })),
            (std::vector<std::string>{"traced_function(x=3) -->", "traced_function:      label      : 'value'",
                                      "traced_function <-- (result=3)", "traced_function <-- (OK)"}));
  std::string big(3000, 'a');
  out = CaptureStdout([&] { __trace_text(0, "%s", big.c_str()); });
  EXPECT_TRUE(FitsMask(out, kTraceHeadMask + std::string(2047, 'a') + "\n")) << out.size();

  trcFlag.store(0);
  EXPECT_EQ(CaptureStdout([] { traced_function(3); }), "");
}

TEST_F(Tracing, LinesOfTwoThreadsDoNotMix) {
  std::string out = CaptureStdout([] {
    auto work = [](char c) {
      std::string text(100, c);
      for (int i = 0; i < 100; ++i) __trace_text(0, "%s", text.c_str());
    };
    std::thread a(work, 'a'), b(work, 'b');
    a.join();
    b.join();
  });
  std::vector<std::string> lines = Lines(out);
  ASSERT_EQ(lines.size(), 200u);
  for (const std::string &line : lines)
    ASSERT_TRUE(FitsMask(line, kTraceHeadMask + std::string(100, 'a')) ||
                FitsMask(line, kTraceHeadMask + std::string(100, 'b'))) << line;
}

int g_seen_nr = 0;
std::string g_seen_text;
int recording_logger(int msgnr, const char *msginsert) {
  g_seen_nr = msgnr;
  g_seen_text = msginsert;
  return 0;
}

TEST(Log, MessengerLoggerConsoleLineAndReplaceableLogger) {
  EXPECT_EQ(CaptureStdout([] { EXPECT_EQ(__log(-1, "IPC message (%s) is not known", "XY"), 0); }),
            "-1 - IPC message (XY) is not known");
  EXPECT_EQ(CaptureStdout([] { EXPECT_EQ(__log(2000134, "dropped"), 0); }), "");

  EXPECT_EQ(CaptureStdout([] { EXPECT_EQ(mprintf("line %d", 1), 0); }), "line 1\n");
  std::string big(5000, 'q');
  EXPECT_EQ(CaptureStdout([&] { mprintf("%s", big.c_str()); }), std::string(2047, 'q') + "\n");

  EXPECT_EQ(__log_set_logger(recording_logger), 0);
  std::string out = CaptureStdout([&] { __log(42, "%s", big.c_str()); });
  __log_set_logger(messenger_logger);
  EXPECT_EQ(out, "");
  EXPECT_EQ(g_seen_nr, 42);
  EXPECT_EQ(g_seen_text, std::string(2047, 'q'));
}

// Head line of a dump as it must look, taking the time text from the output.
std::string ExpectedHead(const std::string &line, const std::string &title, const void *area, int len) {
  std::string head = line.substr(0, 19) + " U0009909 TRACE: (" + title + ")";
  if (head.size() < 70) head.append(70 - head.size(), ' ');
  head.resize(68);
  char tail[64];
  snprintf(tail, sizeof tail, len >= 0 ? "%p %.5d" : "%p %.4d", area, len);
  return head + tail;
}

std::string Row(unsigned offset, const std::string &hex, const std::string &chars, bool folded = false) {
  char buf[40];
  snprintf(buf, sizeof buf, "%20s%.8X%c", "", offset, folded ? '=' : ' ');
  std::string line = buf + hex;
  if (line.size() < 65) line.append(65 - line.size(), ' ');
  return line + "  >" + chars + "<";
}

std::vector<std::string> Dump(const void *area, int len, const char *title) {
  return Lines(CaptureStdout([&] { trcdump(area, len, "%s", title); }));
}

TEST(Dump, HeadLines) {
  unsigned char area[4] = {1, 2, 3, 4};
  const std::string long_title(600, 'T');
  for (auto [len, title] : std::vector<std::pair<int, std::string>>{{0, "title 7"}, {-5, "neg"}, {1, long_title}}) {
    std::vector<std::string> lines = Dump(area, len, title.c_str());
    ASSERT_EQ(lines.size(), len > 0 ? 2u : 1u) << len;
    EXPECT_EQ(lines[0], ExpectedHead(lines[0], title, area, len));
  }
  EXPECT_NE(Dump(area, -5, "neg")[0].find(" -0005"), std::string::npos);
  EXPECT_EQ(CaptureStdout([&] { EXPECT_EQ(trcdump_limited(area, 4, 2, "limited %d", 1), 0); }), "");
}

TEST(Dump, ColumnsPaddingAndFolding) {
  unsigned char area[64];
  for (int i = 0; i < 20; ++i) area[i] = (unsigned char)('A' + i);
  std::vector<std::string> lines = Dump(area, 20, "twenty");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], Row(0, " 41424344 45464748 494A4B4C 4D4E4F50", "ABCDEFGHIJKLMNOP"));
  EXPECT_EQ(lines[2], Row(16, " 51525354", "QRST"));

  // A single short line is padded to the width of the start column only.
  const unsigned char five[5] = {0x00, 0x7F, 0x80, 0xFF, ' '};
  lines = Dump(five, 5, "five");
  ASSERT_EQ(lines.size(), 2u);
  std::string line = Row(0, " 007F80FF 20", "").substr(0, 41);
  line.append(61 - line.size(), ' ');
  EXPECT_EQ(lines[1], line + "  >.... <");

  // Equal lines fold into the one shown before them; the last always shows.
  memset(area, 'x', sizeof area);
  const std::string hex = " 78787878 78787878 78787878 78787878", chars(16, 'x');
  lines = Dump(area, 48, "equal");  // one dump: its head line carries the time of day
  EXPECT_EQ(lines, (std::vector<std::string>{lines[0], Row(0, hex, chars, true), Row(0x20, hex, chars)}));
  lines = Dump(area, 64, "equal");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], Row(0x30, hex, chars));
  area[5] = 'y';
  lines = Dump(area, 64, "mixed");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1].substr(0, 29), Row(0, "", "").substr(0, 29));
  EXPECT_EQ(lines[2], Row(0x10, hex, chars, true));
  EXPECT_EQ(lines[3], Row(0x30, hex, chars));
}

unsigned char Swap(int from, int to, unsigned char c) {
  Swapcode(from, to, &c, 1);
  return c;
}

TEST(CharacterCode, TablePairByValueExceptionsAndRoundTrip) {
  // Letters, digits, blank, the German characters of code page 273 and the
  // control characters.
  const std::vector<std::pair<int, int>> pairs = {
      {0xC1, 'A'},  {0xE9, 'Z'},  {0x81, 'a'},  {0xA9, 'z'},  {0xF0, '0'},  {0xF9, '9'},  {0x40, ' '},
      {0xB5, '@'},  {0x4A, 0x8E}, {0xC0, 0x84}, {0xE0, 0x99}, {0x6A, 0x94}, {0x5A, 0x9A}, {0xD0, 0x81},
      {0xA1, 0xE1}, {0x7C, 0xF5}, {0x41, 0xFF}, {0x25, 0x0A}, {0x05, 0x09}, {0x4B, '.'},  {0x7D, '\''},
      {0x7F, '"'},  {0x6B, ','},  {0x61, '/'},  {0x00, 0x00}, {0xBC, 0xEE}};
  for (auto [ebcdic, pc] : pairs) {
    EXPECT_EQ(Swap(0, 1, ebcdic), pc) << std::hex << ebcdic;
    EXPECT_EQ(Swap(1, 0, pc), ebcdic) << std::hex << pc;
  }
  const std::vector<int> ebcdic_only = {0x04, 0x06, 0x08, 0x09, 0x0A, 0x14, 0x15, 0x17, 0x1A, 0x1B, 0x20,
                                        0x21, 0x22, 0x23, 0x24, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x30, 0x31,
                                        0x33, 0x34, 0x35, 0x36, 0x38, 0x39, 0x3A, 0x3B, 0x3E, 0xFF};
  const std::vector<int> pc_only = {0x9F, 0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB9, 0xBA, 0xBB, 0xBC, 0xBF, 0xC0,
                                    0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE,
                                    0xD5, 0xD9, 0xDA, 0xDB, 0xDC, 0xDF, 0xF2, 0xFE};
  for (int c : ebcdic_only) EXPECT_EQ(Swap(0, 1, c), 0xFF) << std::hex << c;
  for (int c : pc_only) EXPECT_EQ(Swap(1, 0, c), 0xFF) << std::hex << c;
  // Every other code goes there and back unchanged, in one call over an
  // area; the same code on both sides leaves the area alone.
  for (auto [from, only] : {std::pair{0, &ebcdic_only}, std::pair{1, &pc_only}}) {
    unsigned char area[256];
    for (int i = 0; i < 256; ++i) area[i] = (unsigned char)i;
    Swapcode(from, from, area, 256);
    Swapcode(from, 1 - from, area, 256);
    Swapcode(1 - from, from, area, 256);
    for (int i = 0; i < 256; ++i) {
      bool excepted = std::find(only->begin(), only->end(), i) != only->end();
      EXPECT_TRUE(excepted || area[i] == i) << from << std::hex << " " << i;
    }
  }
}

}  // namespace
