// Command line of the agent peer wq_jpagent.
#pragma once

#include <string>

struct AgentOptions {
  std::string listen = "127.0.0.1";  // local address to listen on
  int port = 0;                       // 0: the system picks a free port
  std::string port_file;              // file that receives the bound port
  long count = 0;                     // stop after this many reports; 0 = never
  bool json = false;                  // one JSON object per report line
  bool silent = false;                // accept, never greet or answer
  bool close_at_once = false;         // close every accepted connection
  bool no_answer = false;             // greet, but never answer a report
  int greet_key = 4;                  // key of the greeting's data block
  int trace = 0;                      // trace level of the channel manager
  int idle = 60;                      // close a connection quiet this long (s); 0 = never
  long max_frame = 1L << 20;          // longest frame accepted; a longer one closes its connection
  long queue_limit = 4L << 20;        // memory of received messages waiting for the main thread
  bool help = false;
};

// Parses the options argv[1..argc-1] (no null words) into *opt, which keeps
// its own values for the options not given. Returns 0 and leaves *error
// alone, or -1 at the first unknown option, missing value or value out of
// range, with a one-line reason in *error; *opt then holds the options
// before that one. Any thread; keeps no pointer.
int parse_agent_options(int argc, char **argv, AgentOptions *opt, std::string *error);

// The text printed by --help: a static string the caller does not free.
const char *agent_help_text();
