#include "zudnst_dump.h"

#include <gtest/gtest.h>

#include "common/data.h"
#include "wq_trace.h"

namespace {

// The placeholders of data/dumps.txt for an area at `p`.
std::vector<std::pair<std::string, std::string>> Places(const void *p) {
  char buf[40];
  std::vector<std::pair<std::string, std::string>> v{{"P", (snprintf(buf, sizeof buf, "%p", p), buf)}};
  for (unsigned off = 0; off < 0x40; off += 0x10)
    v.emplace_back("A+" + wqtest::Hex(std::string(1, (char)off)) + "..........",
                   (snprintf(buf, sizeof buf, "%.16lx", (unsigned long)(uintptr_t)p + off), buf));
  return v;
}

// Every dump of data/dumps.txt, one call each (trcdump's time text masked).
TEST(Dump, EveryLayoutByteForByte) {
  const std::vector<wqtest::DataCase> cases = wqtest::ReadData("dumps.txt");
  EXPECT_EQ(cases.size(), 26u);
  for (const wqtest::DataCase &c : cases) {
    const std::string title = c.words[0], area = wqtest::Unhex(c.words.size() > 2 ? c.words[2] : "");
    const int len = std::stoi(c.words[1]);
    int rc = -1;
    const std::string out = wqtest::CaptureStdout([&] {
      rc = c.name == "A"   ? iPrtMem(area.data(), (unsigned)len, title.c_str())
           : c.name == "T" ? trcdump(area.data(), len, "%s", title.c_str())
           : c.name == "L" ? trcdump_limited(area.data(), len, 2, "%s", title.c_str())
                           : (c.name == "B" ? ZUMEM_Trace : c.name == "M" ? MemTrace : FormMemTrace)(title.c_str(), area.data(), len);
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(wqtest::Misfit(out, wqtest::Fill(c.text, Places(area.data()))), "")
        << c.name << " " << title.substr(0, 20) << " " << len << "\n" << out;
  }
}

// The text forms are the printed dump, cut at a line end to the area given.
TEST(Dump, AsTextInWholeLinesOnly) {
  const std::string bytes = wqtest::Pattern(100000);
  const std::string printed = wqtest::CaptureStdout([&] { ZUMEM_Trace("str", bytes.data(), 100); });
  EXPECT_EQ(std::string(ZUMEM_TraceStr("str", bytes.data(), 100)), printed);
  wqtest::Area out;
  const size_t n = ZUMEM_TraceText("str", bytes.data(), 100, out, 170);  // the header and one line
  EXPECT_TRUE(std::string(out, n + 1) == printed.substr(0, n) + '\0' && printed[n - 1] == '\n' && out[170] == 'Q') << n;
  EXPECT_EQ(ZUMEM_TraceText("str", bytes.data(), 100, out, 10), 0u);
  EXPECT_STREQ(out, "");
  const std::string text = ZUMEM_TraceStr("large", bytes.data(), (int)bytes.size());
  EXPECT_TRUE(text.size() < ZUMEM_TRACESTR_SIZE && text.size() > ZUMEM_TRACESTR_SIZE - 100 && text.back() == '\n') << text.size();
}

}  // namespace
