// IPC control messages: the dispatcher that runs a handler by the record's
// 16-byte type name, its handlers, and a logger that sends log messages to
// the agent as "LOGGING" records.
#include "ipcmsg.h"

#include <cstddef>
#include <cstring>

#include "wq_trace.h"

const sr_function_t ipc_function_list[] = {
    {"CHANNEL_CLOSE", process_ipc_channel_close},
    {"", process_ipc_unknown},  // end of table; fallback for every other name
};

const char control_data_type_text[8][16] = {
    "DATA", "FILE_OPEN", "FILE_CLOSE", "SYNC", "CMDNOP", "RESTART INFO", "CREATE DIR", "",
};

namespace {

// The process context the dispatcher was last called with.
const ccm_program_head_t *ppcx = nullptr;

// The record's type name as a terminated text; a record shorter than 16
// bytes is read only as far as it goes (the rest counts as zero bytes).
void record_type(const ccm_msg_t *msg, char (&name)[17]) {
  memset(name, 0, sizeof name);
  if (msg->msg_start && msg->len > 0) memcpy(name, msg->msg_start, msg->len < 16 ? (size_t)msg->len : 16);
}

// Logs an IPC record that has no handler, with `what` naming the reason.
int32_t report_unhandled(const ccm_msg_t *msg, const char *what) {
  char name[17];
  record_type(msg, name);
  __log(-1, "IPC message (%s) is %s", name, what);
  char src[64];
  memcpy(src, msg->addr.src_name, sizeof src - 1);
  src[sizeof src - 1] = '\0';
  __log(CCM_LOG_IPC_SENDER, "%s|", src);
  return -1;
}

}  // namespace

// Runs the handler of the record's type name (the fallback for unknown
// names) and returns its result; keeps pcx_ for ipc_logger. The message stays
// with the caller.
int32_t process_IPC_message(void *pcx_, ccm_context_t *ccm, ccm_msg_t *ccmmsg) {
  (void)ccm;
  if (!ccmmsg) {
    TRC_IN("(msg=null)");
    TRC_OUT("ERROR");
    return -1;
  }
  char name[17];
  record_type(ccmmsg, name);
  TRC_IN("(type=%s)", name);
  if (ccmmsg->msg_start && ccmmsg->len > 0) TRC_DUMP(ccmmsg->msg_start, ccmmsg->len, "IPC message to process ");
  ppcx = static_cast<const ccm_program_head_t *>(pcx_);

  // Names are compared over all 16 bytes, so a name that only starts like a
  // table entry does not match it.
  const sr_function_t *row = ipc_function_list;
  while (row->name[0] != '\0' && memcmp(row->name, name, 16) != 0) ++row;
  int32_t rslt = row->function_addr(pcx_, ccmmsg);
  TRC_OUT("function rslt=%d", rslt);
  return rslt;
}

int32_t process_ipc_channel_close(void *, ccm_msg_t *) {
  TRC_IN("()");
  TRC_OUT("OK");
  return 0;
}

int32_t process_ipc_unknown(void *, ccm_msg_t *ccmmsg) {
  TRC_IN("()");
  report_unhandled(ccmmsg, "not known");
  TRC_OUT("ERROR");
  return -1;
}

int32_t process_ipc_not_implemented(void *, ccm_msg_t *ccmmsg) {
  TRC_IN("()");
  report_unhandled(ccmmsg, "not implemented");
  TRC_OUT("ERROR");
  return -1;
}

// Sends number and insert (at most 1024 characters) as a "LOGGING" record to
// "*IPC(AGENT)" through the channel manager of the kept process context.
// Always 0; nothing is sent before the dispatcher has kept a context, nor
// without a channel manager in it.
int ipc_logger(int32_t msgnr, const char *msginsert) {
  ccm_context_t *ccm = ppcx ? static_cast<ccm_context_t *>(ppcx->ccm) : nullptr;
  if (!ccm) return 0;
  ccm_error_t err{};
  ccm_msg_t *msg = ccm_msg_alloc(ccm, &err);
  if (!msg) return 0;
  memset(msg->msg_start, 0, sizeof(ipcmsg_logging_t));
  msg->len = (int32_t)sizeof(ipcmsg_logging_t);
  unsigned char *rec = msg->msg_start;
  memcpy(rec + offsetof(ipcmsg_logging_t, head), "LOGGING", 7);
  memcpy(rec + offsetof(ipcmsg_logging_t, msgnr), &msgnr, sizeof msgnr);
  if (msginsert) memcpy(rec + offsetof(ipcmsg_logging_t, msginsert), msginsert, strnlen(msginsert, 1024));
  ccm_setaddr(msg, 0, 0, "*IPC(AGENT)", "", 0);
  // A record that the agent's channel does not take (closed, or full: a
  // logger never waits on the network thread) is dropped.
  const int rc = send_IPC_message(ccm, msg);
  if (rc == CCM_SEND_TIMEDOUT || rc == CCM_SEND_CLOSED) ccm_msg_free(ccm, msg);
  return 0;
}
