// Fuzz target: the IPC dispatcher with arbitrary records. The first 64 input
// bytes become the record's source name (not necessarily terminated), the
// rest the record. The logger is the IPC logger, so that an unknown record's
// log lines are built into "LOGGING" records as in a running process; those
// go to an agent channel that is never served, where they are checked and
// freed after each run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ccm.h"
#include "ipcmsg.h"
#include "messenger_pcx.h"
#include "wq_trace.h"

namespace {

PCX fuzz_pcx;
ccm_context_t *ccm = nullptr;
ccm_channel_t *agent = nullptr;  // "*IPC(AGENT)", an entry without a socket

void open_context() {
  ccm_error_t err{};
  fuzz_pcx.running_mode = 3;
  if (ccm_open(&fuzz_pcx, &ccm, &err) != 0 || ccm_channel_new_entry(ccm, &agent, &err) != 0) __builtin_trap();
  snprintf(agent->name, sizeof agent->name, "*IPC(AGENT)");
  ccm_channel_chain(ccm, agent);
  ccm_set_send_timeout(ccm, 0);  // a count that is never taken back drops records, not waits
  fuzz_pcx.ccm = ccm;
  __log_set_logger(ipc_logger);
  if (!freopen("/dev/null", "w", stdout)) __builtin_trap();  // trace lines
}

// Hands the records the logger queued to the agent's channel as the network
// thread would; each must be one whole framed "LOGGING" record. They are
// freed with the channel's queue, and nothing may stay counted.
void drain_sendq() {
  ccm_dispatch_send_messages(ccm);
  for (ccm_msg_t *m = agent->sendq.head; m; m = m->nxt)
    if (m->len != 48 + (int)sizeof(ipcmsg_logging_t) || memcmp(m->msg_start + 48, "LOGGING", 8) != 0)
      __builtin_trap();
  ccm_channel_emptying_msg_queue(ccm, agent);
  if (ccm->sendq.head || ccm_get_sendq_bytes(ccm, 0) != 0) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (!ccm) open_context();
  ccm_error_t err{};
  const size_t name_len = size < 64 ? size : 64;
  const size_t rec_len = size - name_len;
  ccm_msg_t *m = ccm_msg_alloc_huge(ccm, (int32_t)(rec_len + 256), &err);  // room behind the headroom
  if (!m) __builtin_trap();
  memcpy(m->addr.src_name, data, name_len);
  memcpy(m->msg_start, data + name_len, rec_len);
  m->len = (int32_t)rec_len;
  m->type = CCM_MSG_IPC;
  trcFlag.store(name_len > 0 && data[0] == 'T' ? 1 : 0);
  process_IPC_message(&fuzz_pcx, ccm, m);
  trcFlag.store(0);
  ccm_msg_free(ccm, m);
  drain_sendq();
  if (ccm->msgq_inuse.head) __builtin_trap();
  return 0;
}
