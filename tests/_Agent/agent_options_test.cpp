// Command line of the agent program: what each option sets, the values it
// refuses, and the help naming every option.
#include "agent_options.h"

#include <gtest/gtest.h>

#include <sstream>

#include "common/process.h"

namespace {

// The options of `words` as text, or "error" when they are refused.
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

const std::vector<std::string> kEvery = {
    "--listen", "::1", "--port", "4711", "--port-file", "/tmp/p", "--count", "3", "--json", "--silent", "--close",
    "--no-answer", "--greet-key", "0x07", "--trace", "2", "--idle", "0", "--max-frame", "48", "--queue-limit", "1",
    "--help"};

TEST(AgentOptions, EachOptionSetsItsValueAndBadValuesAreRefused) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> rows = {
      {{}, "127.0.0.1 0  count=0 key=4 trace=0 idle=60 frame=1048576 queue=4194304 00000"},
      {kEvery, "::1 4711 /tmp/p count=3 key=7 trace=2 idle=0 frame=48 queue=1 11111"},
      {{"-h", "--port", "65535", "--count", "1000000000", "--greet-key", "255", "--trace", "9", "--max-frame",
        "99999999", "--queue-limit", "4294967296", "--idle", "86400", "--listen", std::string(255, 'a')},
       std::string(255, 'a') + " 65535  count=1000000000 key=255 trace=9 idle=86400 frame=99999999 queue=4294967296 00001"},
  };
  for (const auto &[words, want] : rows) EXPECT_EQ(Parse(words), want) << words.size();
  for (const std::vector<std::string> &bad : std::vector<std::vector<std::string>>{
           {"--port"}, {"--port", "65536"}, {"--port", "-1"}, {"--port", "12x"}, {"--port", ""},
           {"--greet-key", "256"}, {"--count", "-2"}, {"--count", "1000000001"}, {"--bogus"}, {"--listen", std::string(256, 'a')},
           {"--max-frame", "47"}, {"--max-frame", "100000000"}, {"--queue-limit", "0"},
           {"--queue-limit", "4294967297"}, {"--idle", "86401"}, {"--trace", "10"}})
    EXPECT_EQ(Parse(bad), "error") << bad[0] << " " << bad.back();
}

TEST(AgentOptions, HelpNamesEveryOptionAndTheProgramRefusesAnUnknownOne) {
  for (const std::string &word : kEvery) {
    if (word.rfind("--", 0) != 0) continue;
    EXPECT_NE(std::string(agent_help_text()).find(word), std::string::npos) << word;
  }
  const std::string agent = std::string(WQ_BINARY_DIR) + "/wq_jpagent";
  wqtest::RunResult bad = wqtest::Run(agent, {agent, "--no-such-option"});
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_EQ(bad.out, "wq_jpagent: unknown option: --no-such-option (try --help)\n");
}

}  // namespace
