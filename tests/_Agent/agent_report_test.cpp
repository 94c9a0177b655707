// The agent peer's report decoder: every record kind, and hostile bodies that
// must be described instead of crashing the agent.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "agent_report.h"

namespace {

// A MELD body as the messenger builds it, laid out here byte by byte.
std::vector<unsigned char> meld(char status, size_t len = 276) {
  std::vector<unsigned char> b(len, 0);
  memcpy(&b[0], "MELD    03", 10);
  b[10] = 0x07;  // client 7, host order
  b[20] = 0x2A;  // job 42, little-endian
  b[24] = (unsigned char)status;
  return b;
}

void put16(std::vector<unsigned char> &b, size_t off, unsigned v) {
  b[off] = (unsigned char)v;
  b[off + 1] = (unsigned char)(v >> 8);
}

TEST(AgentReport, DecodesJobStatusRecord) {
  auto b = meld('E');
  memcpy(&b[25], "done\0", 5);
  memcpy(&b[57], "12.2.0+build.2108               ", 32);
  put16(b, 90, 12);
  put16(b, 92, 2);
  b[100] = 0x2C;  // ret 300 = 0x12C
  b[101] = 0x01;
  put16(b, 108, 2026);  // sTime
  put16(b, 110, 12);
  put16(b, 112, 6);
  put16(b, 114, 13);
  put16(b, 116, 5);
  put16(b, 118, 9);
  b[124] = 0x10;  // jtime
  b[132] = 0x39;  // pid 0x3039 = 12345
  b[133] = 0x30;
  AgentReport r = decode_report(b.data(), (int)b.size());
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.kind, ReportKind::Job);
  EXPECT_EQ(r.client, 7u);
  EXPECT_EQ(r.job, 42u);
  EXPECT_EQ(r.status, 'E');
  EXPECT_EQ(r.info, "done");
  EXPECT_EQ(r.md_version, "12.2.0+build.2108");
  EXPECT_EQ(r.major, 12);
  EXPECT_EQ(r.minor, 2);
  EXPECT_EQ(r.ret, 300);
  EXPECT_EQ(r.pid, 12345u);
  EXPECT_EQ(r.epoch, 0x10u);
  std::string t = format_report_text(r, 3);
  EXPECT_NE(t.find("report channel=3 kind=job job=42 status=E ret=300 text=\"done\""), std::string::npos) << t;
  EXPECT_NE(t.find("time=2026-12-06T13:05:09Z"), std::string::npos) << t;
  std::string j = format_report_json(r, 3);
  EXPECT_NE(j.find("\"kind\":\"job\",\"job\":42,\"status\":\"E\",\"ret\":300"), std::string::npos) << j;
  EXPECT_EQ(j.front(), '{');
  EXPECT_EQ(j.back(), '}');
}

TEST(AgentReport, OutputFileNameCutAtTheEndOfTheBody) {
  auto b = meld('O');
  b[92] = 'Y';
  memset(&b[93], 'f', 276 - 93);  // a name that runs past the message end
  AgentReport r = decode_report(b.data(), (int)b.size());
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.kind, ReportKind::Output);
  EXPECT_EQ(r.login, 'Y');
  EXPECT_EQ(r.file.size(), 183u);
  EXPECT_TRUE(r.file_cut);
  b[93 + 10] = 0;
  r = decode_report(b.data(), (int)b.size());
  EXPECT_EQ(r.file, std::string(10, 'f'));
  EXPECT_FALSE(r.file_cut);
}

TEST(AgentReport, VariableRecordPresentAbsentAndOutOfBounds) {
  auto b = meld('V', 1521);
  int32_t dist = 112, vlen = 1225;
  memcpy(&b[124], &dist, 4);
  memcpy(&b[128], &vlen, 4);
  b[132] = 'x';
  b[332] = 'y';
  b[1356] = 'S';
  AgentReport r = decode_report(b.data(), (int)b.size());
  ASSERT_EQ(r.error, "");
  EXPECT_TRUE(r.has_var);
  EXPECT_EQ(r.var_name, "x");
  EXPECT_EQ(r.var_value, "y");
  EXPECT_EQ(r.var_type, 'S');
  EXPECT_NE(format_report_json(r, 1).find("\"variable\":{\"name\":\"x\",\"value\":\"y\",\"type\":\"S\"}"),
            std::string::npos);

  auto none = meld('V', 296);
  r = decode_report(none.data(), (int)none.size());
  ASSERT_EQ(r.error, "");
  EXPECT_FALSE(r.has_var);
  EXPECT_NE(format_report_text(r, 1).find("variable=none"), std::string::npos);

  // A record claimed to lie behind the bytes that arrived is refused.
  memcpy(&none[124], &dist, 4);
  memcpy(&none[128], &vlen, 4);
  r = decode_report(none.data(), (int)none.size());
  EXPECT_NE(r.error.find("out of bounds"), std::string::npos);
  int32_t huge = 0x7fffff00;
  memcpy(&b[124], &huge, 4);
  r = decode_report(b.data(), (int)b.size());
  EXPECT_NE(r.error, "");
}

TEST(AgentReport, RefusesShortAndForeignBodies) {
  EXPECT_EQ(decode_report(nullptr, 0).error, "short report");
  EXPECT_EQ(decode_report(nullptr, -5).error, "short report");
  auto b = meld('E');
  EXPECT_EQ(decode_report(b.data(), 275).error, "short report");
  memcpy(&b[0], "XXXX", 4);
  EXPECT_EQ(decode_report(b.data(), (int)b.size()).error, "not a MELD message");
  std::string line = format_report_json(decode_report(b.data(), 10), 9);
  EXPECT_EQ(line, "{\"channel\":9,\"error\":\"short report\",\"len\":10}");
}

TEST(AgentReport, EscapesEveryByteThatIsNotPrintable) {
  std::string raw = std::string("a\"b\\c\n", 6) + std::string(1, '\0') + "\xff";
  EXPECT_EQ(escape_text(raw), "a\\\"b\\\\c\\x0A\\x00\\xFF");
  EXPECT_EQ(escape_json(raw), "a\\\"b\\\\c\\u000A\\u0000\\u00FF");
}

// Random bodies of every length, some starting like a report: the decoder
// reads only inside the body (AddressSanitizer watches the exact-size copy).
TEST(AgentReport, RandomBodiesNeverReadOutside) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 1000; ++round) {
    size_t len = rng() % 1700;
    std::vector<unsigned char> b(len);
    for (auto &c : b) c = (unsigned char)rng();
    if (len >= 8 && round % 2) memcpy(b.data(), "MELD    ", 8);
    if (len > 24 && round % 3 == 0) b[24] = "EOV"[rng() % 3];
    std::vector<unsigned char> exact(b);  // heap block of exactly len bytes
    AgentReport r = decode_report(exact.empty() ? nullptr : exact.data(), (int)len);
    std::string t = format_report_text(r, 1) + format_report_json(r, 1);
    EXPECT_FALSE(t.empty());
    EXPECT_EQ(t.find('\n'), std::string::npos);
  }
}

}  // namespace
