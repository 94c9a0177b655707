// The agent program's parts: its command line (what each option sets, the
// values it refuses: data/agent_options.txt, and the help naming every
// option), and its report decoder (the bodies of data/agent_report.txt: every
// record kind, escapes, hostile bodies, and the lines printed for them; random
// bodies that must be described without reading outside them).
#include "agent_options.h"
#include "agent_report.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "common/data.h"
#include "common/process.h"

namespace {

// The options of `words` as text, or "error" when they are refused with a reason.
std::string Parse(std::vector<std::string> words) {
  words.insert(words.begin(), "wq_jpagent");
  wqtest::Argv argv(words);
  AgentOptions o;
  std::string err = "-";
  if (parse_agent_options(argv.size(), argv.argv(), &o, &err) != 0) return err.empty() ? "no reason" : "error";
  std::ostringstream s;
  s << o.listen << " " << o.port << " " << o.port_file << " count=" << o.count << " key=" << o.greet_key
    << " trace=" << o.trace << " idle=" << o.idle << " frame=" << o.max_frame << " queue=" << o.queue_limit << " "
    << o.json << o.silent << o.close_at_once << o.no_answer << o.help;
  return s.str();
}

TEST(AgentOptions, EachOptionSetsItsValueAndBadValuesAreRefused) {
  std::string help = agent_help_text();
  for (const wqtest::DataCase &c : wqtest::ReadData("agent_options.txt")) {
    std::vector<std::string> words;
    for (const std::string &w : c.words) words.push_back(wqtest::Unhex(w));
    EXPECT_EQ(Parse(words) + "\n", c.text) << c.words.size() << " " << (c.words.empty() ? "" : c.words.back());
    for (const std::string &w : words) EXPECT_TRUE(w.rfind("--", 0) != 0 || c.text == "error\n" || help.find(w) != std::string::npos) << w;
  }
  const std::string agent = std::string(WQ_BINARY_DIR) + "/wq_jpagent";
  wqtest::RunResult bad = wqtest::Run(agent, {agent, "--no-such-option"});
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_EQ(bad.out, "wq_jpagent: unknown option: --no-such-option (try --help)\n");
}

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
