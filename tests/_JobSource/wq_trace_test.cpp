#include "wq_trace.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "_JobSource/stdout_capture.h"

namespace {

using wqtest::CaptureStdout;
using wqtest::Lines;

// Turns tracing on for one test and off again afterwards.
class Tracing : public ::testing::Test {
 protected:
  void SetUp() override { trcFlag.store(1); }
  void TearDown() override { trcFlag.store(0); }
};

using wqtest::FitsMask;
using wqtest::kTraceHeadMask;
using wqtest::TraceText;

std::string ThreadIdText() {
  char buf[32];
  snprintf(buf, sizeof buf, "%.16X", (unsigned int)(uintptr_t)pthread_self());
  return buf;
}

void traced_function(int x) {
  TRC_IN("(x=%d)", x);
  TRC("%-10s : '%s'", "label", "value");
  TRC_LINE("%s <-- (result=%d)", x);
  TRC_OUT("OK");
}

TEST_F(Tracing, LineCarriesThreadIdTimeAndText) {
  std::string out = CaptureStdout([] { __trace_text(0, "hello %d", 5); });
  EXPECT_TRUE(FitsMask(out, kTraceHeadMask + "hello 5\n")) << out;
  EXPECT_EQ(out.substr(0, 16), ThreadIdText());
}

TEST_F(Tracing, ConventionMacros) {
  std::string out = CaptureStdout([] { traced_function(3); });
  std::vector<std::string> texts;
  for (const std::string &line : Lines(out)) {
    ASSERT_NE(TraceText(line), "") << line;
    texts.push_back(TraceText(line));
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"traced_function(x=3) -->",
                                             "traced_function:      label      : 'value'",
                                             "traced_function <-- (result=3)", "traced_function <-- (OK)"}));
  trcFlag.store(0);
  EXPECT_EQ(CaptureStdout([] { traced_function(3); }), "");
  EXPECT_EQ(trc_level(), 0);
}

TEST_F(Tracing, LongTextIsCutAt2047) {
  std::string big(3000, 'a');
  std::string out = CaptureStdout([&] { __trace_text(0, "%s", big.c_str()); });
  EXPECT_TRUE(FitsMask(out, kTraceHeadMask + std::string(2047, 'a') + "\n")) << out.size();
}

TEST_F(Tracing, LinesOfTwoThreadsDoNotMix) {
  std::string out = CaptureStdout([] {
    auto work = [](char c) {
      std::string text(100, c);
      for (int i = 0; i < 200; ++i) __trace_text(0, "%s", text.c_str());
    };
    std::thread a(work, 'a'), b(work, 'b');
    a.join();
    b.join();
  });
  std::vector<std::string> lines = Lines(out);
  ASSERT_EQ(lines.size(), 400u);
  const std::string a = std::string(100, 'a'), b = std::string(100, 'b');
  for (const std::string &line : lines) {
    ASSERT_TRUE(FitsMask(line, kTraceHeadMask + a) || FitsMask(line, kTraceHeadMask + b)) << line;
  }
}

int g_seen_nr = 0;
std::string g_seen_text;
int recording_logger(int msgnr, const char *msginsert) {
  g_seen_nr = msgnr;
  g_seen_text = msginsert;
  return 0;
}

TEST(Log, MessengerLoggerPrintsOnlyMinusOneWithoutLineEnd) {
  EXPECT_EQ(default_logger, messenger_logger);
  EXPECT_EQ(CaptureStdout([] { EXPECT_EQ(__log(-1, "invalid kz"), 0); }), "-1 - invalid kz");
  EXPECT_EQ(CaptureStdout([] { __log(-1, "IPC message (%s) is not known", "XY"); }),
            "-1 - IPC message (XY) is not known");
  EXPECT_EQ(CaptureStdout([] { EXPECT_EQ(__log(2000134, "dropped"), 0); }), "");
  EXPECT_EQ(CaptureStdout([] { messenger_logger(3301, "x"); }), "");
}

TEST(Log, ReplaceableLoggerGetsBoundedInsert) {
  EXPECT_EQ(__log_set_logger(recording_logger), 0);
  std::string big(5000, 'z');
  std::string out = CaptureStdout([&] { __log(42, "%s", big.c_str()); });
  __log_set_logger(messenger_logger);
  EXPECT_EQ(out, "");
  EXPECT_EQ(g_seen_nr, 42);
  EXPECT_EQ(g_seen_text, std::string(2047, 'z'));
}

TEST(ConsoleLine, PrintedWithLineEndWhatEverTheTraceLevel) {
  EXPECT_EQ(CaptureStdout([] { EXPECT_EQ(mprintf("line %d", 1), 0); }), "line 1\n");
  std::string big(3000, 'q');
  EXPECT_EQ(CaptureStdout([&] { mprintf("%s", big.c_str()); }), std::string(2047, 'q') + "\n");
}

// Head line of a dump as it must look, taking the time text from the output.
std::string ExpectedHead(const std::string &time_text, const std::string &title, const void *area, int len) {
  std::string head = time_text + " U0009909 TRACE: (" + title + ")";
  if (head.size() < 70) head.append(70 - head.size(), ' ');
  head.resize(68);
  char tail[64];
  snprintf(tail, sizeof tail, len >= 0 ? "%p %.5d" : "%p %.4d", area, len);
  return head + tail;
}

std::string DumpPrefix(unsigned offset, bool folded = false) {
  char buf[40];
  snprintf(buf, sizeof buf, "%20s%.8X%c", "", offset, folded ? '=' : ' ');
  return buf;
}

TEST(Dump, HeadOnlyForEmptyAndNegativeLength) {
  unsigned char area[4] = {1, 2, 3, 4};
  std::vector<std::string> lines = Lines(CaptureStdout([&] { trcdump(area, 0, "title %d", 7); }));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], ExpectedHead(lines[0].substr(0, 19), "title 7", area, 0));
  lines = Lines(CaptureStdout([&] { trcdump(area, -5, "neg"); }));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], ExpectedHead(lines[0].substr(0, 19), "neg", area, -5));
  EXPECT_NE(lines[0].find(" -0005"), std::string::npos);
}

TEST(Dump, LongTitleIsOverwrittenByAddressAndLength) {
  unsigned char area[1] = {0};
  std::string title(600, 'T');
  std::vector<std::string> lines = Lines(CaptureStdout([&] { trcdump(area, 1, "%s", title.c_str()); }));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], ExpectedHead(lines[0].substr(0, 19), title, area, 1));
}

TEST(Dump, ColumnsAndShortLastLine) {
  unsigned char area[20];
  for (int i = 0; i < 20; ++i) area[i] = (unsigned char)('A' + i);
  std::vector<std::string> lines = Lines(CaptureStdout([&] { trcdump(area, 20, "twenty"); }));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], DumpPrefix(0) + " 41424344 45464748 494A4B4C 4D4E4F50  >ABCDEFGHIJKLMNOP<");
  std::string second = DumpPrefix(16) + " 51525354";
  second.append(65 - second.size(), ' ');
  EXPECT_EQ(lines[2], second + "  >QRST<");
}

TEST(Dump, ShortOnlyLineIsPaddedToTheStartWidth) {
  unsigned char area[5] = {0x00, 0x7F, 0x80, 0xFF, ' '};
  std::vector<std::string> lines = Lines(CaptureStdout([&] { trcdump(area, 5, "five"); }));
  ASSERT_EQ(lines.size(), 2u);
  std::string line = DumpPrefix(0) + " 007F80FF 20";
  line.append(61 - line.size(), ' ');
  EXPECT_EQ(lines[1], line + "  >.... <");
}

TEST(Dump, EqualLinesAreFoldedButNeverTheLast) {
  unsigned char area[64];
  memset(area, 'x', sizeof area);
  const std::string body = " 78787878 78787878 78787878 78787878  >xxxxxxxxxxxxxxxx<";
  std::vector<std::string> lines = Lines(CaptureStdout([&] { trcdump(area, 48, "equal"); }));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], DumpPrefix(0, true) + body);
  EXPECT_EQ(lines[2], DumpPrefix(0x20) + body);

  lines = Lines(CaptureStdout([&] { trcdump(area, 64, "equal"); }));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], DumpPrefix(0x30) + body);

  // Folding compares with the line just shown: a different first line is
  // shown, the second is followed by its equal third, the last stays.
  area[5] = 'y';
  lines = Lines(CaptureStdout([&] { trcdump(area, 64, "mixed"); }));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1].substr(0, 29), DumpPrefix(0));
  EXPECT_EQ(lines[2], DumpPrefix(0x10, true) + body);
  EXPECT_EQ(lines[3], DumpPrefix(0x30) + body);
}

TEST(Dump, LimitedDumpPrintsNothing) {
  unsigned char area[32] = {};
  EXPECT_EQ(CaptureStdout([&] { EXPECT_EQ(trcdump_limited(area, 32, 8, "limited %d", 1), 0); }), "");
}

TEST(CharacterCode, StubsOfThisProgram) {
  EXPECT_EQ(OwnCode(), 1);
  EXPECT_EQ(is_gss_message(nullptr, nullptr), 0);
}

unsigned char E2A(unsigned char c) {
  Swapcode(0, 1, &c, 1);
  return c;
}
unsigned char A2E(unsigned char c) {
  Swapcode(1, 0, &c, 1);
  return c;
}

TEST(CharacterCode, SameCodeLeavesTheAreaAlone) {
  unsigned char area[256];
  for (int i = 0; i < 256; ++i) area[i] = (unsigned char)i;
  Swapcode(0, 0, area, 256);
  Swapcode(1, 1, area, 256);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(area[i], i);
}

TEST(CharacterCode, CommonCharactersByValue) {
  // Letters, digits, blank and the German characters of code page 273.
  const std::vector<std::pair<int, int>> pairs = {
      {0xC1, 'A'},  {0xE9, 'Z'},  {0x81, 'a'},  {0xA9, 'z'},  {0xF0, '0'},  {0xF9, '9'},  {0x40, ' '},
      {0xB5, '@'},  {0x4A, 0x8E}, {0xC0, 0x84}, {0xE0, 0x99}, {0x6A, 0x94}, {0x5A, 0x9A}, {0xD0, 0x81},
      {0xA1, 0xE1}, {0x7C, 0xF5}, {0x41, 0xFF}, {0x25, 0x0A}, {0x15, 0xFF}, {0x05, 0x09}, {0x4B, '.'},
      {0x7D, '\''}, {0x7F, '"'},  {0x6B, ','},  {0x61, '/'},  {0x00, 0x00}};
  for (auto [ebcdic, pc] : pairs) {
    EXPECT_EQ(E2A((unsigned char)ebcdic), pc) << std::hex << ebcdic;
    if (ebcdic != 0x15) {
      EXPECT_EQ(A2E((unsigned char)pc), ebcdic) << std::hex << pc;
    }
  }
}

TEST(CharacterCode, ExceptionsAndRoundTrip) {
  const std::vector<int> ebcdic_only = {0x04, 0x06, 0x08, 0x09, 0x0A, 0x14, 0x15, 0x17, 0x1A, 0x1B, 0x20,
                                        0x21, 0x22, 0x23, 0x24, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x30, 0x31,
                                        0x33, 0x34, 0x35, 0x36, 0x38, 0x39, 0x3A, 0x3B, 0x3E, 0xFF};
  const std::vector<int> pc_only = {0x9F, 0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB9, 0xBA, 0xBB, 0xBC, 0xBF, 0xC0,
                                    0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE,
                                    0xD5, 0xD9, 0xDA, 0xDB, 0xDC, 0xDF, 0xF2, 0xFE};
  for (int c : ebcdic_only) EXPECT_EQ(E2A((unsigned char)c), 0xFF) << std::hex << c;
  for (int c : pc_only) EXPECT_EQ(A2E((unsigned char)c), 0xFF) << std::hex << c;
  EXPECT_EQ(E2A(0xBC), 0xEE);  // overline becomes macron
  EXPECT_EQ(A2E(0xEE), 0xBC);

  // Every other code goes there and back unchanged, in one call over an area.
  unsigned char area[256];
  for (int i = 0; i < 256; ++i) area[i] = (unsigned char)i;
  Swapcode(0, 1, area, 256);
  Swapcode(1, 0, area, 256);
  int kept = 0;
  for (int i = 0; i < 256; ++i) {
    bool only = std::find(ebcdic_only.begin(), ebcdic_only.end(), i) != ebcdic_only.end();
    if (!only) {
      EXPECT_EQ(area[i], i) << std::hex << i;
      ++kept;
    }
  }
  EXPECT_EQ(kept, 256 - 32);
  // And the PC side likewise.
  for (int i = 0; i < 256; ++i) area[i] = (unsigned char)i;
  Swapcode(1, 0, area, 256);
  Swapcode(0, 1, area, 256);
  for (int i = 0; i < 256; ++i) {
    bool only = std::find(pc_only.begin(), pc_only.end(), i) != pc_only.end();
    if (!only) {
      EXPECT_EQ(area[i], i) << std::hex << i;
    }
  }
}

}  // namespace
