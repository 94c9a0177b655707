// Job messenger start-up: the context and its defaults, the signal set-up,
// the program name, the version query and the KEY=VALUE parameters.
#include "wq_jpmd.h"

#include <malloc.h>
#include <pthread.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ctools.h"
#include "wq_trace.h"
#include "zudnst.h"

PCX spcx;

namespace {

// Source position handed to every bounded copy of this unit.
constexpr const char kSourceFile[] = "src/_JobSource/wq_jpmd";

// Longest key and value a parameter word can carry (buffer sizes including
// the terminator).
constexpr int kKeySize = 64;
constexpr int kValueSize = 8192;

// Longest variable name kept from NAME.
constexpr int kVarNameLimit = 200;

// Reads the leading decimal number of a parameter value the way atoi does
// (leading blanks, optional sign, digits, anything after is ignored, 0 when
// there is no number), but a number beyond the range of int is held at the
// nearest limit instead of being undefined.
int value_to_int(const char *value) {
  long long v = strtoll(value, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return (int)v;
}

// Key TYP: the first character picks the report kind, unchanged (so 'e' is
// not 'E'); only 'E' marks the job as ended.
void set_type(PCX *pcx, const char *value) {
  pcx->melder_type = value[0];
  pcx->status = value[0] == 'E' ? 'E' : 'R';
}

// Key TIMEOUT: "NONE" in any case means 0 (take only what is already
// there); anything above 600 seconds falls back to 60.
void set_timeout(PCX *pcx, char *value) {
  ToUpperStr(value);
  pcx->IoTimeOut = strcmp(value, "NONE") == 0 ? 0 : value_to_int(value);
  if (pcx->IoTimeOut > 600) pcx->IoTimeOut = 60;
}

}  // namespace

void signal_handler_common(int /*signalID*/) {}

int initialize_messenger(PCX *pcx) {
  TRC_IN("()");
  memset(pcx, 0, sizeof *pcx);
  sigset_t set;
  sigemptyset(&set);

  pcx->running_mode = 3;
  pcx->status = 'R';
  pcx->melder_type = 'U';
  pcx->IoTimeOut = 60;
  pcx->connect_retry = 3;
  pcx->connect_wait = 120;
  pcx->output_login = 'N';

  // SIGUSR1 is accepted and ignored instead of ending the process.
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = signal_handler_common;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  if (sigaction(SIGUSR1, &sa, nullptr) != 0) {
    int err = errno;
    TRC_OUT("sigaction(%d) error %d-%s", SIGUSR1, err, strerror(err));
    return -1;
  }
  if (sigaddset(&set, SIGUSR1) != 0) {
    int err = errno;
    TRC_OUT("sigaddset(%d) error %d-%s", SIGUSR1, err, strerror(err));
    return -1;
  }
  // Threads started later (the network thread) inherit this mask.
  // pthread_sigmask reports its error as its result, not in errno.
  int rc = pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  if (rc != 0) {
    TRC_OUT("sigprocmask(SIG_SETMASK,...) error %d-%s", rc, strerror(rc));
    return -1;
  }
  TRC_OUT("OK");
  return 0;
}

int parse_arguments(PCX *pcx, int argc, char **argv) {
  TRC_IN("(argc=%d)", argc);
  char key[kKeySize];
  char value[kValueSize];

  for (int i = 1; i < argc; ++i) {
    const char *word = argv[i] ? argv[i] : "";
    // Each word is traced only once TRC= has been seen in an earlier word.
    TRC("argument-%02i : %s", i, word);

    memset(key, 0, sizeof key);
    memset(value, 0, sizeof value);
    get_word_delimited(word, '=', 1, key, kKeySize);
    get_word_delimited(word, '=', -2, value, kValueSize);
    ToUpperCase(key, (int)strlen(key));
    TRC("key(%s) = value(%s)", key, value);

    if (strcmp(key, "JNR") == 0) {
      pcx->jobnri = value_to_int(value);
    } else if (strcmp(key, "PNR") == 0) {
      pcx->portnri = value_to_int(value);
    } else if (strcmp(key, "TYP") == 0) {
      set_type(pcx, value);
    } else if (strcmp(key, "TXT") == 0) {
      _StringCopy(pcx->info_text, sizeof pcx->info_text, value, kSourceFile, __LINE__);
    } else if (strcmp(key, "RET") == 0) {
      pcx->reti = value_to_int(value);
    } else if (strcmp(key, "IPA") == 0) {
      _StringCopy(pcx->ipAddr, sizeof pcx->ipAddr, value, kSourceFile, __LINE__);
    } else if (strcmp(key, "MNR") == 0) {
      pcx->client = (short)value_to_int(value);
    } else if (strcmp(key, "RETRY") == 0) {
      pcx->connect_retry = value_to_int(value);
    } else if (strcmp(key, "WAIT") == 0) {
      // The pause before each further connection attempt; a negative
      // pause means none.
      int wait = value_to_int(value);
      pcx->connect_wait = wait < 0 ? 0 : wait;
    } else if (strcmp(key, "TIMEOUT") == 0) {
      set_timeout(pcx, value);
    } else if (strcmp(key, "TRC") == 0) {
      trcFlag.store(value_to_int(value), std::memory_order_relaxed);
    } else if (strcmp(key, "ULOGIN") == 0) {
      pcx->output_login = value[0] == 'Y' ? 'Y' : 'N';
    } else if (strcmp(key, "OUTFILE") == 0) {
      _StringCopy(pcx->output_file, sizeof pcx->output_file, value, kSourceFile, __LINE__);
    } else if (strcmp(key, "CMD") == 0) {
      // The command ends the run: no further words, no report, no agent.
      _StringCopy(pcx->pCmdBuffer, sizeof pcx->pCmdBuffer, value, kSourceFile, __LINE__);
      exit(processCmd(pcx) == 0 ? 0 : 1);
    } else if (strcmp(key, "NAME") == 0) {
      _StringCopy(pcx->var_name, sizeof pcx->var_name, value, kSourceFile, __LINE__);
      pcx->var_name[kVarNameLimit] = '\0';
    } else if (strcmp(key, "VALUE") == 0) {
      _StringCopy(pcx->var_value, sizeof pcx->var_value, value, kSourceFile, __LINE__);
      pcx->filler2 = '\0';
    } else if (strcmp(key, "VTYPE") == 0) {
      pcx->var_type = value[0];
    }
    // Any other key is ignored without a message.
  }

  TRC("%-30s : '%s'", "TCP/IP address", pcx->ipAddr);
  TRC("%-30s : '%i'", "port number", pcx->portnri);
  TRC("%-30s : '%i'", "job number", pcx->jobnri);
  TRC("%-30s : '%i'", "client", pcx->client);
  TRC("%-30s : '%i'", "result", pcx->reti);
  TRC("%-30s : '%s'", "information", pcx->info_text);
  TRC("%-30s : '%c'", "type", pcx->status);
  TRC_OUT("OK");
  return 0;
}

const char *jpmd_help_text() {
  return R"(Usage: wq_jpmd KEY=VALUE ...       report to the agent at IPA= and PNR=
       wq_jpmd CMD=command         run a command instead of reporting
       wq_jpmd -V | -h | --help    print the version line | this text

Tells the workload-automation agent that a job started, restarted or ended,
or registers an output file or a variable: prints a report to standard
output, connects over TCP, waits for the agent's greeting, sends one report,
waits for the answer and exits. Keys in any case, values as given; a word
that is no known KEY=VALUE is ignored; of two equal keys the later wins.

Words (default; limit):
  IPA=address      agent host name or address (empty; 63 characters)
  PNR=port         agent TCP port (0; 1 to 65535)
  TYP=kind         report kind, the first character, case-sensitive (U):
                   S start, E end, O output file, V variable, 0 snooze,
                   1 wakeup, anything else restart
  JNR=number       job number (0)
  RET=number       job return code, the exit status with TYP=E (0)
  TXT=text         job text (empty; 63 characters)
  MNR=number       client number (0; 16 bits)
  RETRY=number     connection attempts (3; 0 or less: none)
  WAIT=seconds     pause before each further attempt (120; negative: 0)
  TIMEOUT=seconds  wait for each agent message (60; NONE: 0; above 600: 60)
  TRC=level        trace to standard output from the next word on (0: off)
  ULOGIN=Y|N       agent checks the login for OUTFILE: upper-case Y only (N)
  OUTFILE=path     output file for TYP=O (empty; 1023 characters)
  NAME=name        variable name for TYP=V (empty; 200 characters)
  VALUE=value      variable value for TYP=V (empty; 1023 characters)
  VTYPE=char       variable type for TYP=V (none; one character)
  CMD=command      decipher its segments, run it with sh (8191 characters)

Exit status: RET (modulo 256) with TYP=E, else 0, whether or not the agent
was reached; with CMD= 0 when the command ended with status 0, else 1.

Examples:
  wq_jpmd IPA=127.0.0.1 PNR=4711 TYP=E JNR=42 RET=3 TXT="nightly run"
  wq_jpmd IPA=127.0.0.1 PNR=4711 TYP=V JNR=42 NAME=COUNT VALUE=17 VTYPE=N

See wq_jpmd(1) for the report forms, the exchange and the command segments.
)";
}

int wq_jpmd_main(int argc, char **argv) {
#ifdef M_ARENA_MAX
  // One malloc arena for both threads. The network thread's first
  // allocation would otherwise set up an arena of its own (a 128 MiB
  // reservation trimmed to 64 MiB, with pages of its own) for the few messages of one
  // exchange; sharing the main arena costs nothing with two threads.
  mallopt(M_ARENA_MAX, 1);
#endif
  pcx = &spcx;
  initialize_messenger(pcx);

  // The name is the last path component of argv[0], cut to the field.
  const char *name = (argc > 0 && argv && argv[0]) ? GetPName(argv[0]) : "";
  _StringCopy(pcx->program_name, sizeof pcx->program_name, name, kSourceFile, __LINE__);

  // "-V" answers only when it is the one and only word.
  if (argc == 2 && argv[1] && strcmp(argv[1], "-V") == 0) {
    mprintf("WQ8 Agent \"%s\" version %s, changelist '%i'", pcx->program_name, kWqVersion, kWqChangelist);
    return 0;
  }
  // So does the usage text: among other words "-h" and "--help" are
  // ordinary (ignored) words, and a job's report is never replaced by it.
  if (argc == 2 && argv[1] && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
    fputs(jpmd_help_text(), stdout);
    return 0;
  }

  parse_arguments(pcx, argc, argv);

  switch (pcx->melder_type) {
    case 'O':
      printOutputViewReport(pcx);
      break;
    case 'V':
      printRegisteredVariable(pcx);
      break;
    default:
      printMelder(pcx);
      break;
  }

  return agent_exchange(pcx);
}
