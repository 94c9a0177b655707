// Command line of the agent program: what each option sets, the values it
// refuses (data/agent_options.txt), and the help naming every option.
#include "agent_options.h"

#include <gtest/gtest.h>

#include <sstream>

#include "common/data.h"
#include "common/process.h"

namespace {

// The options of `words` as text, or "error" when they are refused with a reason.
std::string Parse(std::vector<std::string> words) {
  std::vector<char *> argv{const_cast<char *>("wq_jpagent")};
  for (auto &w : words) argv.push_back(w.data());
  AgentOptions o;
  std::string err = "-";
  if (parse_agent_options((int)argv.size(), argv.data(), &o, &err) != 0) return err.empty() ? "no reason" : "error";
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

}  // namespace
