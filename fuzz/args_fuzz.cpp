// Fuzz target: parameter parsing with arbitrary argument vectors, then the
// console report and the job message that the parsed parameters give, as the
// messenger's main does before it connects. Input: the words separated by
// NUL bytes (at most 64 words). A word whose key is CMD is left out, because
// it would run a command and end the process. The report goes to /dev/null;
// the job message, sent to a channel that is never served, is dispatched to
// it, checked and freed.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ccm.h"
#include "ctools.h"
#include "messenger_pcx.h"
#include "wq_exchange.h"
#include "wq_jpmd.h"
#include "wq_trace.h"

namespace {

int quiet_logger(int, const char *) { return 0; }

bool is_cmd_word(const std::string &w) {
  char key[64] = {0};
  get_word_delimited(w.c_str(), '=', 1, key, sizeof key);
  ToUpperCase(key, (int)strlen(key));
  return strcmp(key, "CMD") == 0;
}

// The agent's channel: an entry without a socket, which takes the sends.
ccm_channel_t *agent = nullptr;

ccm_context_t *open_context() {
  if (!freopen("/dev/null", "w", stdout)) __builtin_trap();
  static PCX ctx_pcx;
  ccm_context_t *c = nullptr;
  ccm_error_t err{};
  if (ccm_open(&ctx_pcx, &c, &err) != 0 || ccm_channel_new_entry(c, &agent, &err) != 0) __builtin_trap();
  ccm_channel_chain(c, agent);
  ccm_set_send_timeout(c, 0);  // a count that is never taken back fails the next send, not waits
  __log_set_logger(quiet_logger);
  return c;
}

// Hands the queued message to the agent's channel as the network thread
// would, checks that it lies within its buffer and frees it with the
// channel's queue; nothing may stay counted.
void drain_sendq(ccm_context_t *c) {
  ccm_dispatch_send_messages(c);
  for (ccm_msg_t *m = agent->sendq.head; m; m = m->nxt)
    if (m->len < 0 || m->msg_start < m->buffer || m->msg_start + m->len > m->buffer + 2 * (size_t)m->size)
      __builtin_trap();
  ccm_channel_emptying_msg_queue(c, agent);
  if (c->sendq.head || ccm_get_sendq_bytes(c, 0) != 0) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static ccm_context_t *context = open_context();

  std::vector<std::string> words{"wq_jpmd"};
  std::string cur;
  for (size_t i = 0; i < size && words.size() <= 64; ++i) {
    if (data[i] == 0) {
      words.push_back(cur);
      cur.clear();
    } else {
      cur.push_back((char)data[i]);
    }
  }
  if (words.size() <= 64) words.push_back(cur);
  std::vector<char *> argv;
  for (auto &w : words)
    if (argv.empty() || !is_cmd_word(w)) argv.push_back(w.data());
  argv.push_back(nullptr);

  // Each run starts from the defaults, as a new process would.
  trcFlag.store(0);
  initialize_messenger(&spcx);
  pcx = &spcx;
  snprintf(spcx.program_name, sizeof spcx.program_name, "wq_jpmd");
  parse_arguments(&spcx, (int)argv.size() - 1, argv.data());

  switch (spcx.melder_type) {
    case 'O':
      printOutputViewReport(&spcx);
      break;
    case 'V':
      printRegisteredVariable(&spcx);
      break;
    default:
      printMelder(&spcx);
      break;
  }

  ccm = context;
  spcx.agentID = agent->ID;
  switch (spcx.melder_type) {
    case 'O':
      SendOutputViewMsg(&spcx);
      break;
    case 'V':
      SendRegVariableMsg(&spcx);
      break;
    default:
      SendJpMd(&spcx);
      break;
  }
  ccm = nullptr;
  drain_sendq(context);
  if (context->msgq_inuse.head) __builtin_trap();
  trcFlag.store(0);
  return 0;
}
