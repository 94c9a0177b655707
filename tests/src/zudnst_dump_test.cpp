#include "zudnst_dump.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "common/capture.h"

namespace {

using wqtest::CaptureStdout;

std::string pointer_text(const void *p) {
  char buf[32];
  snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

std::string layout_a_address(const void *p) {
  char buf[32];
  snprintf(buf, sizeof buf, "0x%.16lx", (unsigned long)(uintptr_t)p);
  return buf;
}

std::string print_layout_a(const void *p, unsigned int n, const char *title) {
  return CaptureStdout([&] { iPrtMem(p, n, title); });
}

std::string print_layout_b(const char *id, const void *p, int n) {
  return CaptureStdout([&] { ZUMEM_Trace(id, p, n); });
}

std::vector<std::string> A(const void *p, unsigned int n, const char *title) {
  return wqtest::Lines(print_layout_a(p, n, title));
}
std::vector<std::string> B(const char *id, const void *p, int n) { return wqtest::Lines(print_layout_b(id, p, n)); }

}  // namespace

TEST(LayoutA, TitleAndShortLine) {
  const unsigned char bytes[] = {1, 2, 3, 4, 5};
  std::string title(69, ' ');  // the title left-aligned in 69 columns
  title[0] = 'T';
  EXPECT_EQ(print_layout_a(bytes, 0, "T"), title + " 0x000000 (00000)\n");

  auto lines = A(bytes, 5, "T");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], title + " 0x000005 (00005)");
  std::string expected = "  " + layout_a_address(bytes) + " (000000)  >01020304 05<";
  expected += std::string(68 - expected.size(), ' ') + ">.....<";
  EXPECT_EQ(lines[1], expected);
  EXPECT_EQ(lines[1][68], '>');
}

TEST(LayoutA, FullLinesCharactersAndFolding) {
  unsigned char bytes[64];
  for (int i = 0; i < 16; ++i) bytes[i] = (unsigned char)("Ab.[]^`{|}~\\_ -z"[i]);
  for (int i = 16; i < 32; ++i) bytes[i] = (unsigned char)(0x7E + i);
  auto lines = A(bytes, 32, "two");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].substr(0, 32), "  " + layout_a_address(bytes) + " (000000)  >");
  EXPECT_EQ(lines[1].substr(32, 36), "41622e5b 5d5e607b 7c7d7e5c 5f202d7a<");
  EXPECT_EQ(lines[1].substr(68), ">Ab........~\\_ -z<");
  EXPECT_EQ(lines[2].substr(0, 32), "  " + layout_a_address(bytes + 16) + " (000010)  >");
  EXPECT_EQ(lines[2].substr(68), ">................<");

  // 48 equal bytes: one line marked "=", the two repeats left out.
  memset(bytes, 'x', 48);
  lines = A(bytes, 48, "eq");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].substr(0, 2), " =");
  EXPECT_EQ(lines[1].substr(68), ">xxxxxxxxxxxxxxxx<");

  // A repeat is folded only when a whole 16 bytes follow; a shorter tail
  // keeps its own line.
  lines = A(bytes, 40, "tail");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].substr(0, 2), " =");
  EXPECT_NE(lines[2].find("(000020)"), std::string::npos);
  EXPECT_EQ(lines[2].substr(68), ">xxxxxxxx<");
}

TEST(LayoutB, HeaderAndLines) {
  const unsigned char bytes[] = {1, 2, 3, 4, 5};
  std::string head = "----->  TRACE: (id)";
  head += std::string(66 - head.size(), ' ');
  EXPECT_EQ(print_layout_b("id", bytes, 0), head + pointer_text(bytes) + " 00000\n");
  EXPECT_EQ(print_layout_b("id", bytes, -5), head + pointer_text(bytes) + " -0005\n");

  auto lines = B("id", bytes, 5);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], head + pointer_text(bytes) + " 00005");
  std::string expected = std::string(14, ' ') + "00000000  01020304 05";
  expected += std::string(59 - expected.size(), ' ') + "  >.....<";
  EXPECT_EQ(lines[1], expected);

  // A long id is overwritten by the address from offset 66 on.
  std::string long_id(100, 'i');
  lines = B(long_id.c_str(), bytes, 1);
  EXPECT_EQ(lines[0], "----->  TRACE: (" + std::string(50, 'i') + pointer_text(bytes) + " 00001");
}

TEST(LayoutB, FoldingLeavesTheLastSixteenBytes) {
  unsigned char bytes[48];
  memset(bytes, 'y', sizeof bytes);
  auto lines = B("eq", bytes, 48);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].substr(0, 23), std::string(14, ' ') + "00000000=");
  EXPECT_EQ(lines[1].substr(23), " 79797979 79797979 79797979 79797979  >yyyyyyyyyyyyyyyy<");
  EXPECT_EQ(lines[2].substr(0, 23), std::string(14, ' ') + "00000020 ");

  lines = B("eq", bytes, 32);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1][22], ' ');
  EXPECT_EQ(lines[2].substr(14, 8), "00000010");

  // Different lines are never folded; non-printables show as ".".
  for (int i = 0; i < 48; ++i) bytes[i] = (unsigned char)(i + 0x70);
  lines = B("diff", bytes, 48);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1].substr(61), ">pqrstuvwxyz{|}~.<");
  for (size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(lines[i][22], ' ');
}

TEST(LayoutB, FormMemTraceAndMemTrace) {
  const char data[] = "abc";
  auto lines = wqtest::Lines(CaptureStdout([&] { FormMemTrace("name", data, 3); }));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(0, 60), "----->  TRACE: (" + std::string(36, ' ') + "name : )");

  const std::string by_zumem = print_layout_b("m", data, 3);
  EXPECT_EQ(CaptureStdout([&] { MemTrace("m", data, 3); }), by_zumem);
}

TEST(TraceStr, WholeDumpAsOneBoundedText) {
  std::vector<unsigned char> bytes(100);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = (unsigned char)i;
  const std::string printed = print_layout_b("str", bytes.data(), 100);
  EXPECT_EQ(std::string(ZUMEM_TraceStr("str", bytes.data(), 100)), printed);
  EXPECT_EQ(wqtest::Lines(printed).size(), 8u);
  const std::string header_only = print_layout_b("str", bytes.data(), 0);
  EXPECT_EQ(std::string(ZUMEM_TraceStr("str", bytes.data(), 0)), header_only);

  // A small buffer takes whole lines only.
  char out[200];
  memset(out, 'Q', sizeof out);
  size_t n = ZUMEM_TraceText("str", bytes.data(), 100, out, 170);
  EXPECT_EQ(n, strlen(out));
  EXPECT_EQ(std::string(out), printed.substr(0, n));
  EXPECT_EQ(out[n - 1], '\n');
  EXPECT_EQ(out[170], 'Q');
  EXPECT_EQ(ZUMEM_TraceText("str", bytes.data(), 100, out, 10), 0u);
  EXPECT_STREQ(out, "");

  // A large area is cut to the buffer of ZUMEM_TraceStr, at a line end.
  std::vector<unsigned char> large(100000);
  for (size_t i = 0; i < large.size(); ++i) large[i] = (unsigned char)(i * 7 + i / 256);
  const char *text = ZUMEM_TraceStr("large", large.data(), (int)large.size());
  size_t len = strlen(text);
  EXPECT_LT(len, ZUMEM_TRACESTR_SIZE);
  EXPECT_GT(len, ZUMEM_TRACESTR_SIZE - 100);
  EXPECT_EQ(text[len - 1], '\n');
}

TEST(GetMemTrace, StopsBeforeTheBound) {
  const unsigned char bytes[] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
  char out[24];
  memset(out, 'Q', sizeof out);
  for (auto [len, size, text] : std::vector<std::tuple<int, int, const char *>>{
           {8, 12, "00112233 44"}, {8, 20, "00112233 44556677"}, {8, 3, ""}, {0, 20, ""}, {2, 4, "00"}}) {
    memset(out, 'Q', sizeof out);
    EXPECT_STREQ(GetMemTrace(bytes, len, out, size), text) << len << " " << size;
    EXPECT_EQ(out[size], 'Q');
  }
}

TEST(CnvAddrStr, TwoGroupsOfEightDigits) {
  char out[24];
  memset(out, 'Q', sizeof out);
  EXPECT_STREQ(CnvAddrStr((const void *)(uintptr_t)0x40C756, out, 18), "00000000 0040C756");
  EXPECT_STREQ(CnvAddrStr((const void *)(uintptr_t)0xFEDCBA9876543210ULL, out, 24), "FEDCBA98 76543210");
  memset(out, 'Q', sizeof out);
  EXPECT_STREQ(CnvAddrStr((const void *)(uintptr_t)0x40C756, out, 10), "00000000 ");
  EXPECT_EQ(out[10], 'Q');
}
