// The agent's report decoder: the bodies of data/agent_report.txt (every
// record kind, escapes, hostile bodies) and the lines printed for them, and
// random bodies that must be described without reading outside them.
#include "agent_report.h"

#include <gtest/gtest.h>

#include <random>

#include "common/data.h"

namespace {

TEST(AgentReport, EveryBodyOfTheDataFilePrintsItsLines) {
  std::string name, body;
  for (const wqtest::DataCase &c : wqtest::ReadData("agent_report.txt")) {
    if (c.name == "body") {
      name = c.words[0];
      body = wqtest::Unhex(c.text);
      body.resize(std::stoul(c.words[1]), '\0');
      continue;
    }
    std::vector<unsigned char> exact(body.begin(), body.end());  // a heap block of exactly the body
    AgentReport r = decode_report(exact.data(), (int)exact.size());
    EXPECT_EQ((c.name == "text" ? format_report_text(r, 3) : format_report_json(r, 3)) + "\n", c.text) << name;
  }
}

// AddressSanitizer watches the exact-size copies.
TEST(AgentReport, RandomBodiesNeverReadOutside) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 1000; ++round) {
    std::vector<unsigned char> b(rng() % 1700);
    for (auto &c : b) c = (unsigned char)rng();
    if (b.size() >= 8 && round % 2) memcpy(b.data(), "MELD    ", 8);
    if (b.size() > 24 && round % 3 == 0) b[24] = "EOV"[rng() % 3];
    AgentReport r = decode_report(b.empty() ? nullptr : b.data(), (int)b.size());
    EXPECT_EQ((format_report_text(r, 1) + format_report_json(r, 1)).find('\n'), std::string::npos);
  }
}

}  // namespace
