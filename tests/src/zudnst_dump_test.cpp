#include "zudnst_dump.h"

#include <gtest/gtest.h>

#include "common/data.h"
#include "wq_trace.h"

namespace {

using wqtest::CaptureStdout;

// The placeholders of data/dumps.txt for an area at `p`.
std::vector<std::pair<std::string, std::string>> Places(const void *p) {
  char buf[40], key[32];
  snprintf(buf, sizeof buf, "%p", p);
  std::vector<std::pair<std::string, std::string>> v{{"P", buf}};
  for (unsigned off = 0; off < 0x40; off += 0x10) {
    snprintf(key, sizeof key, "A+%.2X..........", off);
    snprintf(buf, sizeof buf, "%.16lx", (unsigned long)(uintptr_t)p + off);
    v.emplace_back(key, buf);
  }
  return v;
}

// Every dump of data/dumps.txt, one call each (trcdump's time text masked).
TEST(Dump, EveryLayoutByteForByte) {
  int cases = 0;
  for (const wqtest::DataCase &c : wqtest::ReadData("dumps.txt")) {
    const std::string title = c.words[0], area = wqtest::Unhex(c.words.size() > 2 ? c.words[2] : "");
    const int len = std::stoi(c.words[1]);
    int rc = -1;
    const std::string out = CaptureStdout([&] {
      rc = c.name == "A"   ? iPrtMem(area.data(), (unsigned)len, title.c_str())
           : c.name == "B" ? ZUMEM_Trace(title.c_str(), area.data(), len)
           : c.name == "F" ? FormMemTrace(title.c_str(), area.data(), len)
                           : trcdump(area.data(), len, "%s", title.c_str());
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(wqtest::Misfit(out, wqtest::Fill(c.text, Places(area.data()))), "")
        << c.name << " " << title.substr(0, 20) << " " << len << "\n" << out;
    ++cases;
  }
  EXPECT_EQ(cases, 24);
  EXPECT_EQ(CaptureStdout([] { MemTrace("m", "abc", 3); }), CaptureStdout([] { ZUMEM_Trace("m", "abc", 3); }));
  int rc = -1;
  const std::string limited = CaptureStdout([&] { rc = trcdump_limited("abcd", 4, 2, "limited %d", 1); });
  EXPECT_EQ(limited + std::to_string(rc), "0");
}

// The text forms are the printed dump, cut at a line end to the area given.
TEST(Dump, AsTextInWholeLinesOnly) {
  std::vector<unsigned char> bytes(100000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = (unsigned char)(i * 7 + i / 256);
  const std::string printed = CaptureStdout([&] { ZUMEM_Trace("str", bytes.data(), 100); });
  EXPECT_EQ(std::string(ZUMEM_TraceStr("str", bytes.data(), 100)), printed);
  wqtest::Area out;
  const size_t n = ZUMEM_TraceText("str", bytes.data(), 100, out, 170);  // the header and one line
  EXPECT_TRUE(std::string(out, n + 1) == printed.substr(0, n) + '\0' && printed[n - 1] == '\n' && out[170] == 'Q') << n;
  EXPECT_EQ(ZUMEM_TraceText("str", bytes.data(), 100, out, 10), 0u);
  EXPECT_STREQ(out, "");
  const std::string text = ZUMEM_TraceStr("large", bytes.data(), (int)bytes.size());
  EXPECT_TRUE(text.size() < ZUMEM_TRACESTR_SIZE && text.size() > ZUMEM_TRACESTR_SIZE - 100 && text.back() == '\n')
      << text.size();
}

}  // namespace
