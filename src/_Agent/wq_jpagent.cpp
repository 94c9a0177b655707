// wq_jpagent: the agent peer that the job messenger reports to (see --help).
#include <signal.h>

#include <cstdio>
#include <string>

#include "agent_options.h"
#include "agent_server.h"

namespace {

void on_stop_signal(int) { agent_request_stop(); }

}  // namespace

int main(int argc, char **argv) {
  AgentOptions opt;
  std::string error;
  if (parse_agent_options(argc, argv, &opt, &error) < 0) {
    fprintf(stderr, "wq_jpagent: %s (try --help)\n", error.c_str());
    return 2;
  }
  if (opt.help) {
    fputs(agent_help_text(), stdout);
    return 0;
  }
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // A messenger that goes away while its answer is written must not end us.
  signal(SIGPIPE, SIG_IGN);
  return run_agent(opt, stdout, stderr);
}
