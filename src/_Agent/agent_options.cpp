// Command line of the agent peer; see agent_options.h.
#include "agent_options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// How an option takes its value: none (a switch), the next word as text,
// or the next word as a number.
enum class Takes : unsigned char { Nothing, Text, Number };

// Longest text an option accepts when it names no limit of its own.
constexpr long kAnyLength = LONG_MAX;

// One option: its name and short alias, what it takes, the accepted range
// of a number or the longest text (`lo`, `hi`), the reason given for a
// value outside them, and what it sets.
struct AgentOption {
  const char *name;
  const char *alias;
  Takes takes;
  long lo, hi;
  const char *refusal;
  void (*set)(AgentOptions *opt, const char *text, long number);
};

constexpr AgentOption kOptions[] = {
    {"--help", "-h", Takes::Nothing, 0, 0, nullptr, [](AgentOptions *o, const char *, long) { o->help = true; }},
    {"--json", nullptr, Takes::Nothing, 0, 0, nullptr, [](AgentOptions *o, const char *, long) { o->json = true; }},
    {"--silent", nullptr, Takes::Nothing, 0, 0, nullptr,
     [](AgentOptions *o, const char *, long) { o->silent = true; }},
    {"--close", nullptr, Takes::Nothing, 0, 0, nullptr,
     [](AgentOptions *o, const char *, long) { o->close_at_once = true; }},
    {"--no-answer", nullptr, Takes::Nothing, 0, 0, nullptr,
     [](AgentOptions *o, const char *, long) { o->no_answer = true; }},
    {"--listen", nullptr, Takes::Text, 0, 255, "address too long",
     [](AgentOptions *o, const char *v, long) { o->listen = v; }},
    {"--port-file", nullptr, Takes::Text, 0, kAnyLength, nullptr,
     [](AgentOptions *o, const char *v, long) { o->port_file = v; }},
    {"--port", nullptr, Takes::Number, 0, 65535, "invalid port",
     [](AgentOptions *o, const char *, long n) { o->port = (int)n; }},
    {"--count", nullptr, Takes::Number, 0, 1000000000L, "invalid count",
     [](AgentOptions *o, const char *, long n) { o->count = n; }},
    {"--greet-key", nullptr, Takes::Number, 0, 255, "invalid key",
     [](AgentOptions *o, const char *, long n) { o->greet_key = (int)n; }},
    {"--idle", nullptr, Takes::Number, 0, 86400, "invalid idle time",
     [](AgentOptions *o, const char *, long n) { o->idle = (int)n; }},
    {"--max-frame", nullptr, Takes::Number, 48, 99999999L, "invalid maximum frame length",
     [](AgentOptions *o, const char *, long n) { o->max_frame = n; }},
    {"--queue-limit", nullptr, Takes::Number, 1, 1L << 32, "invalid queue limit",
     [](AgentOptions *o, const char *, long n) { o->queue_limit = n; }},
    {"--trace", nullptr, Takes::Number, 0, 9, "invalid trace level",
     [](AgentOptions *o, const char *, long n) { o->trace = (int)n; }},
};

// The option named `word` (by name or alias), or null.
const AgentOption *find_option(const char *word) {
  for (const AgentOption &o : kOptions)
    if (strcmp(word, o.name) == 0 || (o.alias && strcmp(word, o.alias) == 0)) return &o;
  return nullptr;
}

// A whole decimal or 0x-hexadecimal number within [lo, hi].
bool to_long(const char *s, long lo, long hi, long *out) {
  if (!s || !*s) return false;
  errno = 0;
  char *end = nullptr;
  long v = strtol(s, &end, 0);
  if (errno != 0 || !end || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// Checks the value `v` of option `o`; a number is stored in *number. On a
// refusal, puts the reason into *error and returns false.
bool accept_value(const AgentOption &o, const char *v, long *number, std::string *error) {
  switch (o.takes) {
    case Takes::Nothing:
      return true;
    case Takes::Text:
      if ((long)strlen(v) <= o.hi) return true;
      *error = o.refusal;
      return false;
    case Takes::Number:
      if (to_long(v, o.lo, o.hi, number)) return true;
      *error = std::string(o.refusal) + ": " + v;
      return false;
  }
  return false;
}

}  // namespace

const char *agent_help_text() {
  return "Usage: wq_jpagent [options]\n"
         "\n"
         "Stands in for the workload-automation agent that the job messenger wq_jpmd\n"
         "reports to. It listens for TCP connections, greets every accepted connection\n"
         "with a native frame holding one data block of key 0x04, reads the messenger's\n"
         "\"JPAKTJ_R\" report (job status, output file or variable record), prints one\n"
         "line per report on standard output and answers with one frame. It serves\n"
         "until SIGINT or SIGTERM, or until --count reports have arrived.\n"
         "\n"
         "The first line on standard output names the bound address and port:\n"
         "  wq_jpagent: listening on 127.0.0.1 port 40123\n"
         "\n"
         "Options:\n"
         "  --listen ADDR     local address to listen on (default 127.0.0.1;\n"
         "                    \"\" for every local address, *LOCAL for loopback)\n"
         "  --port N          port to listen on (default 0: a free port is picked)\n"
         "  --port-file PATH  also write the bound port to PATH\n"
         "  --count N         stop after N reports have been answered\n"
         "  --json            print each report as one JSON object per line\n"
         "  --trace N         trace level of the channel manager (0 = off)\n"
         "  --idle SECONDS    close a connection that has sent nothing for this long\n"
         "                    (default 60; 0 = never)\n"
         "  --max-frame BYTES close a connection whose frame header announces more\n"
         "                    than BYTES (48 to 99999999; default 1048576: a report\n"
         "                    is a few KiB)\n"
         "  --queue-limit BYTES\n"
         "                    stop reading connections while the received messages\n"
         "                    not yet handled hold this much memory (each at least\n"
         "                    64 KiB; 1 to 4294967296; default 4194304); they are\n"
         "                    read again, losing nothing, as soon as there is room\n"
         "\n"
         "Misbehaving on purpose, for tests of the messenger:\n"
         "  --silent          accept connections but never send anything\n"
         "  --greet-key K     greet with a data block of key K instead of 0x04\n"
         "                    (decimal or 0x hex; the messenger retries on any key but 4)\n"
         "  --close           close every accepted connection at once\n"
         "  --no-answer       greet, but never answer a report\n"
         "  --help            show this text\n"
         "\n"
         "Example:\n"
         "  build/wq_jpagent --count 1 &\n"
         "  build/wq_jpmd IPA=127.0.0.1 PNR=<port> JNR=42 TYP=E RET=3 TXT=done\n";
}

int parse_agent_options(int argc, char **argv, AgentOptions *opt, std::string *error) {
  for (int i = 1; i < argc; ++i) {
    const char *word = argv[i];
    const AgentOption *o = find_option(word);
    if (!o) {
      *error = std::string("unknown option: ") + word;
      return -1;
    }
    const char *v = nullptr;
    if (o->takes != Takes::Nothing) {
      // The value is the next word.
      if (i + 1 >= argc) {
        *error = std::string("missing value for ") + word;
        return -1;
      }
      v = argv[++i];
    }
    long number = 0;
    if (!accept_value(*o, v, &number, error)) return -1;
    o->set(opt, v, number);
  }
  return 0;
}
