// Command line of the agent peer; see agent_options.h.
#include "agent_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

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
    const char *a = argv[i];
    // Options that take a value read it from the next word.
    auto value = [&](const char **v) {
      if (i + 1 >= argc) {
        *error = std::string("missing value for ") + a;
        return false;
      }
      *v = argv[++i];
      return true;
    };
    const char *v = nullptr;
    long n = 0;
    if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
      opt->help = true;
    } else if (strcmp(a, "--json") == 0) {
      opt->json = true;
    } else if (strcmp(a, "--silent") == 0) {
      opt->silent = true;
    } else if (strcmp(a, "--close") == 0) {
      opt->close_at_once = true;
    } else if (strcmp(a, "--no-answer") == 0) {
      opt->no_answer = true;
    } else if (strcmp(a, "--listen") == 0) {
      if (!value(&v)) return -1;
      if (strlen(v) > 255) {
        *error = "address too long";
        return -1;
      }
      opt->listen = v;
    } else if (strcmp(a, "--port-file") == 0) {
      if (!value(&v)) return -1;
      opt->port_file = v;
    } else if (strcmp(a, "--port") == 0) {
      if (!value(&v)) return -1;
      if (!to_long(v, 0, 65535, &n)) {
        *error = std::string("invalid port: ") + v;
        return -1;
      }
      opt->port = (int)n;
    } else if (strcmp(a, "--count") == 0) {
      if (!value(&v)) return -1;
      if (!to_long(v, 0, 1000000000L, &n)) {
        *error = std::string("invalid count: ") + v;
        return -1;
      }
      opt->count = n;
    } else if (strcmp(a, "--greet-key") == 0) {
      if (!value(&v)) return -1;
      if (!to_long(v, 0, 255, &n)) {
        *error = std::string("invalid key: ") + v;
        return -1;
      }
      opt->greet_key = (int)n;
    } else if (strcmp(a, "--idle") == 0) {
      if (!value(&v)) return -1;
      if (!to_long(v, 0, 86400, &n)) {
        *error = std::string("invalid idle time: ") + v;
        return -1;
      }
      opt->idle = (int)n;
    } else if (strcmp(a, "--max-frame") == 0) {
      if (!value(&v)) return -1;
      if (!to_long(v, 48, 99999999L, &n)) {
        *error = std::string("invalid maximum frame length: ") + v;
        return -1;
      }
      opt->max_frame = n;
    } else if (strcmp(a, "--queue-limit") == 0) {
      if (!value(&v)) return -1;
      if (!to_long(v, 1, 1L << 32, &n)) {
        *error = std::string("invalid queue limit: ") + v;
        return -1;
      }
      opt->queue_limit = n;
    } else if (strcmp(a, "--trace") == 0) {
      if (!value(&v)) return -1;
      if (!to_long(v, 0, 9, &n)) {
        *error = std::string("invalid trace level: ") + v;
        return -1;
      }
      opt->trace = (int)n;
    } else {
      *error = std::string("unknown option: ") + a;
      return -1;
    }
  }
  return 0;
}
