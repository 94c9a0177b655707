// The exchange with the agent: open the channel manager, connect with a
// bounded number of attempts, wait for the greeting, send the one job
// message, wait for the answer, and shut down in order.
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "ccm.h"
#include "wq_exchange.h"
#include "wq_jpmd.h"
#include "wq_trace.h"

ccm_context_t *ccm = nullptr;
int ccmID = 0;
ccm_msg_t *ccmmsg = nullptr;

namespace {

// Key of the data block that makes a native frame the agent's greeting.
constexpr int kGreetingKey = 4;

// Channel type of a connecting TCP channel, and how long the network thread
// gives a connect before it gives up on it.
constexpr int kConnectChannelType = 5;
constexpr int kConnectWaitSeconds = 60;

bool is_greeting(const ccm_msg_t *msg) { return msg->type == CCM_MSG_NATIVE && msg->protocol_key == kGreetingKey; }

// Longest wait for the report to be written before the shut-down.
constexpr int kFlushSeconds = 10;

constexpr long long kMsPerSecond = 1000;
constexpr long kNsPerMs = 1000 * 1000;

long long monotonic_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * kMsPerSecond + ts.tv_nsec / kNsPerMs;
}

// Waits up to `seconds` for the next message, as ccm_receive_message does,
// but a wait that a signal (such as SIGUSR1) ends early without a message
// goes on for the time that is left: a signal changes nothing but timing.
// 0 polls once.
int receive_within(int seconds, ccm_msg_t **msg, ccm_error_t *ccmerr) {
  const long long end = monotonic_ms() + seconds * kMsPerSecond;
  int wait = seconds;
  for (;;) {
    int rc = ccm_receive_message(ccm, wait, msg, ccmerr);
    if (rc != 0) return rc;
    long long left = end - monotonic_ms();
    if (left <= 0) return 0;
    wait = (int)((left + kMsPerSecond - 1) / kMsPerSecond);
  }
}

// Pauses `seconds`; a signal does not cut the pause short.
void pause_seconds(int seconds) {
  struct timespec left = {seconds, 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// Waits until the network thread has written every queued message (or
// dropped it with a broken channel), at most `seconds`. The shut-down
// releases queued messages unwritten, so without this a report queued just
// before an early answer (or with TIMEOUT=NONE) could be lost. In the usual
// exchange nothing is queued any more: the network thread frees the report
// right after writing it, before it reads the answer, and the flush only
// looks. Its outcome changes nothing that follows.
void await_sends_written(int seconds) {
  ccm_error_t err{};
  ccm_flush(ccm, 0, seconds * (int)kMsPerSecond, nullptr, &err);
}

// Connection attempts until a greeting is accepted. Returns 1 when greeted
// (agentID set), 0 when every attempt was used, -1 when the greeting wait
// failed (nothing arrived in time).
int connect_and_greet(PCX *px, ccm_error_t *ccmerr) {
  for (int a = 0; a < px->connect_retry; ++a) {
    TRC("connection attempt #%d", a);
    if (a > 0 && px->connect_wait > 0) {
      TRC("wait %d seconds before retry connecting", px->connect_wait);
      pause_seconds(px->connect_wait);
    }
    ccmID = ccm_connect(ccm, px->ipAddr, px->portnri, kConnectChannelType, nullptr, kConnectWaitSeconds, ccmerr);
    if (ccmID < 0) {
      TRC("connect failed");
      continue;
    }
    ccmmsg = nullptr;
    if (receive_within(px->IoTimeOut, &ccmmsg, ccmerr) <= 0 || !ccmmsg) {
      px->abnormal_end = 1;
      return -1;
    }
    if (is_greeting(ccmmsg)) {
      px->agentID = ccmmsg->addr.src_ID;
      return 1;
    }
    // A close notice of a refused connection, or a greeting of another kind;
    // that connection stays as it is, the next attempt makes a new one.
    TRC("invalid answer");
    ccm_msg_free(ccm, ccmmsg);
    ccmmsg = nullptr;
  }
  return 0;
}

// Sends the report chosen by the report kind. Returns the send result.
int send_report(PCX *px) {
  switch (px->melder_type) {
    case 'O':
      return SendOutputViewMsg(px);
    case 'V':
      return SendRegVariableMsg(px);
    default:
      return SendJpMd(px);
  }
}

// Opens the channel manager into the global `ccm` and starts its network
// thread. Returns whether the thread runs; on a failure the exchange is
// marked abnormal, and `ccm` stays null when not even the context opened.
bool open_channel_manager(PCX *px, ccm_error_t *ccmerr) {
  ccm = nullptr;
  if (ccm_open(px, &ccm, ccmerr) < 0 || !ccm) {
    ccm = nullptr;
    px->abnormal_end = 1;
    return false;
  }
  if (ccm_thread_start(ccm, ccmerr) < 0) {
    px->abnormal_end = 1;
    return false;
  }
  return true;
}

// After the greeting: frees it, sends the report and waits for the answer,
// then for the report to be written.
void report_and_await_answer(PCX *px, ccm_error_t *ccmerr) {
  ccm_msg_free(ccm, ccmmsg);
  ccmmsg = nullptr;
  if (send_report(px) == kSendNoBuffer) {
    // Nothing was sent, so no answer can come.
    px->abnormal_end = 1;
    return;
  }
  if (receive_within(px->IoTimeOut, &ccmmsg, ccmerr) > 0 && ccmmsg) ccm_msg_free(ccm, ccmmsg);
  ccmmsg = nullptr;
  await_sends_written(kFlushSeconds);
}

// Shut-down, always in this order: drop the agent channel, stop and join
// the network thread, close every channel, close the context.
void shut_down(PCX *px, bool running, ccm_error_t *ccmerr) {
  if (!ccm) return;
  if (px->agentID != 0) ccm_channel_deletebyID(ccm, px->agentID);
  if (running) {
    ccm_thread_stop(ccm);
    pthread_join(ccm->thread, nullptr);
  }
  ccm_channel_closeall(ccm);
  ccm_close(ccm, ccmerr);
  ccm = nullptr;
}

}  // namespace

int agent_exchange(PCX *px) {
  TRC_IN("(host=%s, port=%d)", px->ipAddr, px->portnri);
  ccm_error_t ccmerr{};
  const bool running = open_channel_manager(px, &ccmerr);
  if (running && connect_and_greet(px, &ccmerr) > 0) {
    TRC("executordata arrived");
    report_and_await_answer(px, &ccmerr);
  }
  shut_down(px, running, &ccmerr);
  if (px->abnormal_end)
    TRC("Program WQ8 Messenger Version \"%s\" ended abnormally", kWqVersion);
  else
    TRC("Program WQ8 Messenger Version \"%s\" ended normally", kWqVersion);

  int status = px->melder_type == 'E' ? px->reti : 0;
  TRC_OUT("exit status=%d", status);
  return status;
}
