// The user's side of receiving: taking complete messages from the context's
// receive queue, waiting a bounded time for the network thread to announce
// one, and the small counting queries over the channels and send queues.

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "ccm.h"
#include "ccm_io.h"
#include "ccm_lock.h"
#include "wq_trace.h"

// Takes the head of the context's recvq into *ccmmsg (result 1; the caller
// owns the message and frees it with ccm_msg_free). With an empty queue it
// waits once, up to `stimeout` seconds, for a wake-up byte and looks again;
// still nothing gives 0 with *ccmmsg null. -1 when waiting failed (`ccmerr`
// filled). A message found without waiting leaves its wake-up byte in the
// pipe, so a later call on an empty queue returns at once after eating it.
int ccm_receive_message(ccm_context_t *ccm, int32_t stimeout, ccm_msg_t **ccmmsg, ccm_error_t *ccmerr) {
  TRC_IN("(ccm=%p, stimeout=%d)", (void *)ccm, stimeout);
  ccm_queue_lock(ccm);
  *ccmmsg = ccm->recvq.head;
  if (!*ccmmsg) {
    ccm_queue_unlock(ccm);
    if (ccm_wait_processor(ccm, stimeout, ccmerr) != 0) {
      TRC_OUT("waiting condition error");
      return -1;
    }
    ccm_queue_lock(ccm);
    *ccmmsg = ccm->recvq.head;
    if (!*ccmmsg) {
      ccm_queue_unlock(ccm);
      TRC_OUT("empty queue");
      return 0;
    }
  }
  bool resume = false;
  ccm_recvq_take_locked(ccm, &resume);
  ccm_queue_unlock(ccm);
  // The take made room in a full queue: the network thread reads again.
  if (resume) ccm_wakeup_network(ccm);
  TRC_OUT("OK(ccmmsg=%p)", (void *)*ccmmsg);
  return 1;
}

// Waits up to `stimeout` seconds (0 polls) for the processor wake-up pipe to
// become readable and consumes one byte of it. Returns 0 after a wake-up, a
// time-out or an interruption, -1 on a failure of the wait (2000102).
//
// poll is used instead of select: it waits for the same readiness, but has
// no FD_SETSIZE limit, so a pipe descriptor above 1023 cannot overflow a set.
int ccm_wait_processor(ccm_context_t *ccm, int32_t stimeout, ccm_error_t *ccmerr) {
  TRC_IN("(ccm=%p, stimeout=%d)", (void *)ccm, stimeout);
  struct pollfd pfd;
  pfd.fd = ccm->processor_wakeup[0];
  pfd.events = POLLIN;
  pfd.revents = 0;
  int ms = stimeout <= 0 ? 0 : (stimeout > INT_MAX / 1000 ? INT_MAX : stimeout * 1000);
  // poll would skip a closed pipe (-1) and just time out; that is an error.
  int rslt = pfd.fd < 0 ? -1 : poll(&pfd, 1, ms);
  int err = pfd.fd < 0 ? EBADF : errno;
  if (rslt == 0) {
    TRC_OUT("timeout");
    return 0;
  }
  if (rslt < 0 && err == EINTR) {
    TRC_OUT("interrupt by system call");
    return 0;
  }
  if (rslt < 0 || (pfd.revents & POLLNVAL)) {
    if (rslt > 0) err = EBADF;
    ccmerr->msgnr = kCcmMsgSysCall;
    snprintf(ccmerr->msginsert, sizeof ccmerr->msginsert, "select(processor_wakeup(%d))|%d-%s", pfd.fd, err,
             strerror(err));
    TRC_OUT("select error: %d-%s", err, strerror(err));
    return -1;
  }
  char byte;
  if (read(pfd.fd, &byte, 1) < 0) TRC("wakeup read failed: %d", errno);
  TRC_OUT("OK");
  return 0;
}

namespace {

// Counts the live channels of channelq whose type `pick` accepts.
template <typename Pick>
int32_t count_channels(ccm_context_t *ccm, Pick pick) {
  CcmLockGuard cl(ccm->channel_lock);
  int32_t n = 0;
  for (ccm_channel_t *ch = ccm->channelq.head; ch; ch = ch->nxt)
    if (!ccm_flag_test(ch->flag, CCM_CHF_DELETED) && pick(ch->type)) ++n;
  return n;
}

}  // namespace

// Live channels of type 6 (communication process) or 3 (server).
int32_t ccm_get_nof_server_connections(ccm_context_t *ccm) {
  int32_t n = count_channels(ccm, [](int t) { return t == 6 || t == 3; });
  TRC_OUT("nof server connections=%d", n);
  return n;
}

// Live channels of type 6, 3 or 1 (listening socket).
int32_t ccm_get_nof_connections(ccm_context_t *ccm) {
  int32_t n = count_channels(ccm, [](int t) { return t == 6 || t == 3 || t == 1; });
  TRC_OUT("nof connections=%d", n);
  return n;
}

// Live channels of type 4 (agent connection).
int32_t ccm_get_nof_agent_connections(ccm_context_t *ccm) {
  int32_t n = count_channels(ccm, [](int t) { return t == 4; });
  TRC_OUT("nof agent connections=%d", n);
  return n;
}

// Live channels of every type but 255 (not watched by the select loop).
int32_t ccm_get_nof_channels(ccm_context_t *ccm) {
  int32_t n = count_channels(ccm, [](int t) { return t != 255; });
  TRC_OUT("nof channels=%d", n);
  return n;
}

// Number of messages in the context's sendq.
int32_t ccm_get_sendq_count(ccm_context_t *ccm) {
  int32_t n = 0;
  {
    CcmLockGuard ql(ccm->queue_lock);
    for (ccm_msg_t *m = ccm->sendq.head; m; m = m->nxt) ++n;
  }
  TRC_OUT("nof msgs=%d", n);
  return n;
}

// 1 when the context's sendq, the batch the network thread is dispatching
// and the sendq of every live channel (type -1 excepted) are empty, else 0.
//
// The channel list is walked under channel_lock, because the network thread
// destroys channels under it; each channel's sendq head is read under that
// channel's queue lock, the lock its writers hold. The context's queue lock
// and a channel's are taken one after the other, never together.
int32_t ccm_is_all_sendq_empty(ccm_context_t *ccm) {
  int32_t empty = 1;
  {
    CcmLockGuard cl(ccm->channel_lock);
    {
      CcmLockGuard ql(ccm->queue_lock);
      if (ccm->sendq.head || ccm->msgq_2dispatch.head) empty = 0;
    }
    for (ccm_channel_t *ch = ccm->channelq.head; ch && empty; ch = ch->nxt) {
      if (ccm_flag_test(ch->flag, CCM_CHF_DELETED) || ch->type == -1) continue;
      CcmLockGuard chql(ch->queue_lock);
      if (ch->sendq.head) empty = 0;
    }
  }
  TRC_OUT("empty=%d", empty);
  return empty;
}
