// Command line of the agent peer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent_options.h"

namespace {

int parse(std::vector<std::string> words, AgentOptions *opt, std::string *err) {
  std::vector<char *> argv{const_cast<char *>("wq_jpagent")};
  for (auto &w : words) argv.push_back(w.data());
  return parse_agent_options((int)argv.size(), argv.data(), opt, err);
}

TEST(AgentOptions, DefaultsAndEveryOption) {
  AgentOptions d;
  std::string err;
  ASSERT_EQ(parse({}, &d, &err), 0);
  EXPECT_EQ(d.listen, "127.0.0.1");
  EXPECT_EQ(d.port, 0);
  EXPECT_EQ(d.greet_key, 4);
  EXPECT_EQ(d.max_frame, 1048576);
  EXPECT_EQ(d.queue_limit, 4194304);
  EXPECT_FALSE(d.json || d.silent || d.close_at_once || d.no_answer || d.help);

  AgentOptions o;
  ASSERT_EQ(parse({"--listen", "::1", "--port", "4711", "--port-file", "/tmp/p", "--count", "3", "--json",
                   "--silent", "--close", "--no-answer", "--greet-key", "0x07", "--trace", "2", "--help",
                   "--max-frame", "48", "--queue-limit", "1"},
                  &o, &err),
            0)
      << err;
  EXPECT_EQ(o.listen, "::1");
  EXPECT_EQ(o.port, 4711);
  EXPECT_EQ(o.port_file, "/tmp/p");
  EXPECT_EQ(o.count, 3);
  EXPECT_EQ(o.greet_key, 7);
  EXPECT_EQ(o.trace, 2);
  EXPECT_EQ(o.max_frame, 48);
  EXPECT_EQ(o.queue_limit, 1);
  EXPECT_TRUE(o.json && o.silent && o.close_at_once && o.no_answer && o.help);
}

TEST(AgentOptions, RefusesBadValues) {
  const std::vector<std::vector<std::string>> bad = {
      {"--port"},          {"--port", "65536"}, {"--port", "-1"},      {"--port", "12x"},
      {"--greet-key", "256"}, {"--count", "-2"}, {"--bogus"},          {"--listen", std::string(300, 'a')},
      {"--max-frame", "47"}, {"--max-frame", "100000000"}, {"--queue-limit", "0"}, {"--queue-limit", "4294967297"},
  };
  for (const auto &words : bad) {
    AgentOptions o;
    std::string err;
    EXPECT_EQ(parse(words, &o, &err), -1) << words[0];
    EXPECT_FALSE(err.empty());
  }
}

TEST(AgentOptions, HelpNamesEveryOption) {
  std::string help = agent_help_text();
  for (const char *opt : {"--listen", "--port", "--port-file", "--count", "--json", "--silent", "--greet-key",
                          "--close", "--no-answer", "--trace", "--max-frame", "--queue-limit", "--help"})
    EXPECT_NE(help.find(opt), std::string::npos) << opt;
}

}  // namespace
