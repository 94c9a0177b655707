// Job messenger start-up: the context and its defaults, the signal set-up,
// the program name, the version query and the KEY=VALUE parameters.
#include "wq_jpmd.h"

#include <malloc.h>
#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
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

// Kind of the hosting program that the channel manager reads: none of its
// own kinds (0 agent, 1 listener, 2 FTX).
constexpr int kMessengerMode = 3;

// How a key word takes its value.
enum class Take : unsigned char {
  Number,   // int field: the leading decimal number, held to the int range
  Short,    // short field: the number, stored in 16 bits
  Seconds,  // int field: the number; a negative one means 0
  Timeout,  // int field: the number or "NONE" (0); above `limit` the default
  Text,     // text field of `limit` bytes; `keep` > 0 ends it at that index
  Type,     // report kind (the field) and job status from the first character
  Login,    // char field: 'Y' when the value begins with 'Y', else 'N'
  Char,     // char field: the first character of the value
  Trace,    // the trace level trcFlag
  Command,  // text field of `limit` bytes, then the command runs and ends us
};

// One key word: its name (upper case), how it takes its value, the field of
// the context it sets (byte offset), its limit (the size of a text field, the
// highest TIMEOUT), where a text is ended (`keep`, 0: not cut), and the
// default that initialize_messenger gives the field (kNoDefault: zero).
struct KeyWord {
  const char *name;
  Take take;
  size_t field;
  int limit;
  int keep;
  int deflt;
};

constexpr int kNoDefault = 0;
constexpr int kTimeoutLimit = 600;
constexpr int kVarNameKeep = 200;
// VALUE clears the terminator slot behind the whole field.
constexpr int kVarValueKeep = (int)sizeof(PCX::var_value);
static_assert(offsetof(PCX, filler2) == offsetof(PCX, var_value) + sizeof(PCX::var_value));

// Offset and size of a text field.
#define WQ_FIELD(f) offsetof(PCX, f), (int)sizeof(PCX::f)
constexpr KeyWord kKeyWords[] = {
    {"JNR", Take::Number, offsetof(PCX, jobnri), 0, 0, kNoDefault},
    {"PNR", Take::Number, offsetof(PCX, portnri), 0, 0, kNoDefault},
    {"TYP", Take::Type, offsetof(PCX, melder_type), 0, 0, 'U'},
    {"TXT", Take::Text, WQ_FIELD(info_text), 0, kNoDefault},
    {"RET", Take::Number, offsetof(PCX, reti), 0, 0, kNoDefault},
    {"IPA", Take::Text, WQ_FIELD(ipAddr), 0, kNoDefault},
    {"MNR", Take::Short, offsetof(PCX, client), 0, 0, kNoDefault},
    {"RETRY", Take::Number, offsetof(PCX, connect_retry), 0, 0, 3},
    {"WAIT", Take::Seconds, offsetof(PCX, connect_wait), 0, 0, 120},
    {"TIMEOUT", Take::Timeout, offsetof(PCX, IoTimeOut), kTimeoutLimit, 0, 60},
    {"TRC", Take::Trace, 0, 0, 0, kNoDefault},
    {"ULOGIN", Take::Login, offsetof(PCX, output_login), 0, 0, 'N'},
    {"OUTFILE", Take::Text, WQ_FIELD(output_file), 0, kNoDefault},
    {"CMD", Take::Command, WQ_FIELD(pCmdBuffer), 0, kNoDefault},
    {"NAME", Take::Text, WQ_FIELD(var_name), kVarNameKeep, kNoDefault},
    {"VALUE", Take::Text, WQ_FIELD(var_value), kVarValueKeep, kNoDefault},
    {"VTYPE", Take::Char, offsetof(PCX, var_type), 0, 0, kNoDefault},
};
#undef WQ_FIELD

// The context's field at byte offset `off`, as the type the row names.
template <typename T>
T &field(PCX *px, size_t off) {
  return *reinterpret_cast<T *>(reinterpret_cast<char *>(px) + off);
}

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

// Splits a word at its first '=': the key (cut to 63 characters and
// upper-cased) and everything behind the '=' (cut to 8191 characters).
void split_word(const char *word, char (&key)[kKeySize], char (&value)[kValueSize]) {
  memset(key, 0, sizeof key);
  memset(value, 0, sizeof value);
  get_word_delimited(word, '=', 1, key, kKeySize);
  get_word_delimited(word, '=', -2, value, kValueSize);
  ToUpperCase(key, (int)strlen(key));
}

// The row of `key`, or null for a key that is no key word.
const KeyWord *find_key_word(const char *key) {
  for (const KeyWord &k : kKeyWords)
    if (strcmp(key, k.name) == 0) return &k;
  return nullptr;
}

// Gives every field that a key word sets its default.
void set_defaults(PCX *px) {
  for (const KeyWord &k : kKeyWords) {
    if (k.deflt == kNoDefault) continue;
    if (k.take == Take::Type || k.take == Take::Login)
      field<char>(px, k.field) = (char)k.deflt;
    else
      field<int>(px, k.field) = k.deflt;
  }
}

// Key TIMEOUT: "NONE" in any case means 0 (take only what is already
// there); anything above the limit falls back to the default.
void set_timeout(PCX *px, const KeyWord &k, char *value) {
  int &seconds = field<int>(px, k.field);
  ToUpperStr(value);
  seconds = strcmp(value, "NONE") == 0 ? 0 : value_to_int(value);
  if (seconds > k.limit) seconds = k.deflt;
}

// Sets what the key word `k` sets from `value`. CMD= does not return.
void apply_key_word(PCX *px, const KeyWord &k, char *value) {
  switch (k.take) {
    case Take::Number:
      field<int>(px, k.field) = value_to_int(value);
      break;
    case Take::Short:
      field<short>(px, k.field) = (short)value_to_int(value);
      break;
    case Take::Seconds:
      field<int>(px, k.field) = std::max(value_to_int(value), 0);
      break;
    case Take::Timeout:
      set_timeout(px, k, value);
      break;
    case Take::Text:
      _StringCopy(&field<char>(px, k.field), (size_t)k.limit, value, kSourceFile, __LINE__);
      if (k.keep > 0) field<char>(px, k.field + (size_t)k.keep) = '\0';
      break;
    case Take::Type:
      // The first character picks the report kind, unchanged (so 'e' is not
      // 'E'); only 'E' marks the job as ended.
      field<char>(px, k.field) = value[0];
      px->status = value[0] == 'E' ? 'E' : 'R';
      break;
    case Take::Login:
      field<char>(px, k.field) = value[0] == 'Y' ? 'Y' : 'N';
      break;
    case Take::Char:
      field<char>(px, k.field) = value[0];
      break;
    case Take::Trace:
      trcFlag.store(value_to_int(value), std::memory_order_relaxed);
      break;
    case Take::Command:
      // The command ends the run: no further words, no report, no agent.
      _StringCopy(&field<char>(px, k.field), (size_t)k.limit, value, kSourceFile, __LINE__);
      exit(processCmd(px) == 0 ? 0 : 1);
  }
}

// One malloc arena for both threads. The network thread's first allocation
// would otherwise set up an arena of its own (a 128 MiB reservation trimmed
// to 64 MiB, with pages of its own) for the few messages of one exchange;
// sharing the main arena costs nothing with two threads.
void use_one_malloc_arena() {
#ifdef M_ARENA_MAX
  mallopt(M_ARENA_MAX, 1);
#endif
}

// Answers a command line of the single word "-V", "-h" or "--help" and
// tells whether it did. Among other words these are ordinary (ignored)
// words, so a job's report is never replaced by them.
bool answer_lone_query(const PCX *px, int argc, char **argv) {
  if (argc != 2 || !argv[1]) return false;
  if (strcmp(argv[1], "-V") == 0) {
    mprintf("WQ8 Agent \"%s\" version %s, changelist '%i'", px->program_name, kWqVersion, kWqChangelist);
    return true;
  }
  if (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0) {
    fputs(jpmd_help_text(), stdout);
    return true;
  }
  return false;
}

// Prints the console report of the report kind.
void print_report(PCX *px) {
  switch (px->melder_type) {
    case 'O':
      printOutputViewReport(px);
      break;
    case 'V':
      printRegisteredVariable(px);
      break;
    default:
      printMelder(px);
      break;
  }
}

}  // namespace

void signal_handler_common(int /*signalID*/) {}

int initialize_messenger(PCX *px) {
  TRC_IN("()");
  memset(px, 0, sizeof *px);
  sigset_t set;
  sigemptyset(&set);

  px->running_mode = kMessengerMode;
  px->status = 'R';
  set_defaults(px);

  // SIGUSR1 is accepted and ignored instead of ending the process.
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = signal_handler_common;
  sigemptyset(&sa.sa_mask);
  if (sigaction(SIGUSR1, &sa, nullptr) != 0) {
    int err = errno;
    TRC_OUT("sigaction(%d) error %d-%s", SIGUSR1, err, wq_strerror(err));
    return -1;
  }
  if (sigaddset(&set, SIGUSR1) != 0) {
    int err = errno;
    TRC_OUT("sigaddset(%d) error %d-%s", SIGUSR1, err, wq_strerror(err));
    return -1;
  }
  // Threads started later (the network thread) inherit this mask.
  // pthread_sigmask reports its error as its result, not in errno.
  int rc = pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  if (rc != 0) {
    TRC_OUT("sigprocmask(SIG_SETMASK,...) error %d-%s", rc, wq_strerror(rc));
    return -1;
  }
  TRC_OUT("OK");
  return 0;
}

int parse_arguments(PCX *px, int argc, char **argv) {
  TRC_IN("(argc=%d)", argc);
  char key[kKeySize];
  char value[kValueSize];
  for (int i = 1; i < argc; ++i) {
    const char *word = argv[i] ? argv[i] : "";
    // Each word is traced only once TRC= has been seen in an earlier word.
    TRC("argument-%02i : %s", i, word);
    split_word(word, key, value);
    TRC("key(%s) = value(%s)", key, value);
    // Any other key is ignored without a message.
    if (const KeyWord *k = find_key_word(key)) apply_key_word(px, *k, value);
  }

  TRC("%-30s : '%s'", "TCP/IP address", px->ipAddr);
  TRC("%-30s : '%i'", "port number", px->portnri);
  TRC("%-30s : '%i'", "job number", px->jobnri);
  TRC("%-30s : '%i'", "client", px->client);
  TRC("%-30s : '%i'", "result", px->reti);
  TRC("%-30s : '%s'", "information", px->info_text);
  TRC("%-30s : '%c'", "type", px->status);
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
  use_one_malloc_arena();
  pcx = &spcx;
  initialize_messenger(pcx);

  // The name is the last path component of argv[0], cut to the field.
  const char *name = (argc > 0 && argv && argv[0]) ? GetPName(argv[0]) : "";
  _StringCopy(pcx->program_name, sizeof pcx->program_name, name, kSourceFile, __LINE__);
  if (answer_lone_query(pcx, argc, argv)) return 0;

  parse_arguments(pcx, argc, argv);
  print_report(pcx);
  return agent_exchange(pcx);
}
