#include "zudnst_dump.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "common/data.h"

namespace {

using wqtest::CaptureStdout;

// The placeholders of data/dumps.txt for an area at `p`.
std::vector<std::pair<std::string, std::string>> Places(const void *p) {
  std::vector<std::pair<std::string, std::string>> v;
  char buf[40];
  snprintf(buf, sizeof buf, "%p", p);
  v.emplace_back("P", buf);
  for (unsigned off = 0; off < 0x40; off += 0x10) {
    char key[32];
    snprintf(key, sizeof key, "A+%.2X..........", off);
    snprintf(buf, sizeof buf, "%.16lx", (unsigned long)(uintptr_t)p + off);
    v.emplace_back(key, buf);
  }
  return v;
}

TEST(Dump, BothLayoutsByteForByte) {
  int cases = 0;
  for (const wqtest::DataCase &c : wqtest::ReadData("dumps.txt")) {
    if (c.name != "A" && c.name != "B" && c.name != "F") continue;
    const std::string title = c.words[0], area = wqtest::Unhex(c.words.size() > 2 ? c.words[2] : "");
    const int len = std::stoi(c.words[1]);
    int rc = -1;
    const std::string out = CaptureStdout([&] {
      rc = c.name == "A"   ? iPrtMem(area.data(), (unsigned)len, title.c_str())
           : c.name == "B" ? ZUMEM_Trace(title.c_str(), area.data(), len)
                           : FormMemTrace(title.c_str(), area.data(), len);
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(wqtest::Misfit(out, wqtest::Fill(c.text, Places(area.data()))), "")
        << c.name << " " << title.substr(0, 20) << " " << len << "\n" << out;
    ++cases;
  }
  EXPECT_EQ(cases, 14);
  const char abc[] = "abc";
  EXPECT_EQ(CaptureStdout([&] { MemTrace("m", abc, 3); }), CaptureStdout([&] { ZUMEM_Trace("m", abc, 3); }));
}

TEST(Dump, AsTextInWholeLinesOnly) {
  std::vector<unsigned char> bytes(100);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = (unsigned char)i;
  const std::string printed = CaptureStdout([&] { ZUMEM_Trace("str", bytes.data(), 100); });
  EXPECT_EQ(std::string(ZUMEM_TraceStr("str", bytes.data(), 100)), printed);
  EXPECT_EQ(std::string(ZUMEM_TraceStr("str", bytes.data(), 0)),
            CaptureStdout([&] { ZUMEM_Trace("str", bytes.data(), 0); }));
  char out[200];
  memset(out, 'Q', sizeof out);
  const size_t n = ZUMEM_TraceText("str", bytes.data(), 100, out, 170);  // the header and one line
  EXPECT_EQ(std::string(out, n + 1), printed.substr(0, n) + '\0');
  EXPECT_EQ(printed[n - 1], '\n');
  EXPECT_EQ(out[170], 'Q');
  EXPECT_EQ(ZUMEM_TraceText("str", bytes.data(), 100, out, 10), 0u);
  EXPECT_STREQ(out, "");
  // A large area is cut to the buffer of ZUMEM_TraceStr, at a line end.
  std::vector<unsigned char> large(100000);
  for (size_t i = 0; i < large.size(); ++i) large[i] = (unsigned char)(i * 7 + i / 256);
  const std::string text = ZUMEM_TraceStr("large", large.data(), (int)large.size());
  EXPECT_TRUE(text.size() < ZUMEM_TRACESTR_SIZE && text.size() > ZUMEM_TRACESTR_SIZE - 100) << text.size();
  EXPECT_EQ(text.back(), '\n');
}

TEST(Dump, ShortHexTextsStopBeforeTheBound) {
  const unsigned char bytes[] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
  char out[32];
  for (auto [len, size, text] : std::vector<std::tuple<int, int, const char *>>{
           {8, 12, "00112233 44"}, {8, 20, "00112233 44556677"}, {8, 3, ""}, {0, 20, ""}, {2, 4, "00"}}) {
    memset(out, 'Q', sizeof out);
    EXPECT_STREQ(GetMemTrace(bytes, len, out, size), text) << len << " " << size;
    EXPECT_EQ(out[size], 'Q');
  }
  for (auto [addr, size, text] : std::vector<std::tuple<uintptr_t, int, const char *>>{
           {0x40C756, 18, "00000000 0040C756"}, {0xFEDCBA9876543210ULL, 24, "FEDCBA98 76543210"},
           {0x40C756, 10, "00000000 "}}) {
    memset(out, 'Q', sizeof out);
    EXPECT_STREQ(CnvAddrStr((const void *)addr, out, size), text);
    EXPECT_EQ(out[size], 'Q');
  }
}

}  // namespace
