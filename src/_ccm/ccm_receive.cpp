// The user's side of receiving: taking complete messages from the context's
// receive queue, waiting a bounded time for the network thread to announce
// one, and the small counting queries over the channels and send queues.

#include <errno.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ccm.h"
#include "ccm_error.h"
#include "ccm_io.h"
#include "ccm_lock.h"
#include "ccm_wakeup.h"
#include "wq_trace.h"

namespace {

// Takes the head of the context's recvq, or null when it is empty. The head
// moves on; tail is left as it is (appenders judge emptiness by head). A take
// that makes room in a full queue wakes the network thread, which reads no
// channel while the queue is full.
ccm_msg_t *take_head(ccm_context_t *ccm) {
  bool resume = false;
  ccm_queue_lock(ccm);
  ccm_msg_t *m = ccm_recvq_take_locked(ccm, &resume);
  ccm_queue_unlock(ccm);
  if (resume) ccm_wakeup_network(ccm);
  return m;
}

// Nanoseconds of the monotonic clock.
int64_t monotonic_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

// Milliseconds from now until `deadline`, rounded up so that a wait of that
// length never ends before it; 0 when it has passed.
int ms_until(int64_t deadline) {
  int64_t left = deadline - monotonic_ns();
  if (left <= 0) return 0;
  int64_t ms = (left + 999999) / 1000000;
  return ms > INT_MAX ? INT_MAX : (int)ms;
}

enum WaitResult { kWaitFailed = -1, kTimedOut = 0, kInterrupted = 1, kWoken = 2 };

// Waits up to `ms` milliseconds (0 polls) for the processor wake-up pipe to
// become readable; fills `ccmerr` (2000102) and `*err` only when the wait
// fails.
//
// poll is used instead of select: it waits for the same readiness, but has
// no FD_SETSIZE limit, so a pipe descriptor above 1023 cannot overflow a set.
WaitResult wait_readable(ccm_context_t *ccm, int ms, ccm_error_t *ccmerr, int *err) {
  struct pollfd pfd;
  pfd.fd = ccm->processor_wakeup[0];
  pfd.events = POLLIN;
  pfd.revents = 0;
  // poll would skip a closed pipe (-1) and just time out; that is an error.
  int rslt = pfd.fd < 0 ? -1 : poll(&pfd, 1, ms);
  *err = pfd.fd < 0 ? EBADF : errno;
  if (rslt == 0) return kTimedOut;
  if (rslt < 0 && *err == EINTR) return kInterrupted;
  if (rslt < 0 || (pfd.revents & POLLNVAL)) {
    if (rslt > 0) *err = EBADF;
    ccm_error_set(ccmerr, CCM_MSGNR_SYSCALL, "select(processor_wakeup(%d))|%d-%s", pfd.fd, *err,
                  wq_strerror(*err));
    return kWaitFailed;
  }
  return kWoken;
}

}  // namespace

// A queued message is taken without waiting and without touching the
// wake-up pipe. With an empty queue the call takes the pending wake-up
// (stale bytes of messages taken earlier go with it), looks again and only
// then waits; a message queued before that look is found by it, one queued
// after it wakes the wait (ccm_wakeup.h). A wake-up that finds the queue
// still empty (a byte written late for a message taken earlier) does not
// end the call: it takes that wake-up, looks and waits for the time left.
int ccm_receive_message(ccm_context_t *ccm, int32_t stimeout, ccm_msg_t **ccmmsg, ccm_error_t *ccmerr) {
  TRC_IN("(ccm=%p, stimeout=%d)", (void *)ccm, stimeout);
  *ccmmsg = take_head(ccm);
  if (!*ccmmsg) {
    const int64_t deadline = monotonic_ns() + (stimeout > 0 ? (int64_t)stimeout * 1000000000 : 0);
    for (bool woken = false;;) {
      // With no wake-up pending, what the pipe may still hold is a byte
      // written late for a message taken earlier; it is left to end the wait
      // below at once and is taken then, which saves a read on every call
      // that finds the pipe empty anyway.
      if (woken || ccm->processor_wakeup_pending.load() != 0) ccm_take_processor_wakeup(ccm);
      if ((*ccmmsg = take_head(ccm))) break;
      int err = 0;
      WaitResult w = wait_readable(ccm, ms_until(deadline), ccmerr, &err);
      if (w == kWaitFailed) {
        TRC_OUT("waiting condition error: %d-%s", err, wq_strerror(err));
        return -1;
      }
      woken = w == kWoken;
      if (woken || (w == kTimedOut && ms_until(deadline) > 0)) continue;
      *ccmmsg = take_head(ccm);
      if (!*ccmmsg) {
        if (w == kInterrupted) TRC("interrupt by system call");
        TRC_OUT("empty queue");
        return 0;
      }
      break;
    }
  }
  TRC_OUT("OK(ccmmsg=%p)", (void *)*ccmmsg);
  return 1;
}

// Waits up to `stimeout` seconds (0 polls) for the processor wake-up pipe to
// become readable and takes the wake-up: every byte of the pipe, then the
// pending flag. Returns 0 after a wake-up, a time-out or an interruption, -1
// on a failure of the wait (2000102).
int ccm_wait_processor(ccm_context_t *ccm, int32_t stimeout, ccm_error_t *ccmerr) {
  TRC_IN("(ccm=%p, stimeout=%d)", (void *)ccm, stimeout);
  int ms = stimeout <= 0 ? 0 : (stimeout > INT_MAX / 1000 ? INT_MAX : stimeout * 1000);
  int err = 0;
  switch (wait_readable(ccm, ms, ccmerr, &err)) {
    case kWaitFailed:
      TRC_OUT("select error: %d-%s", err, wq_strerror(err));
      return -1;
    case kTimedOut:
      TRC_OUT("timeout");
      return 0;
    case kInterrupted:
      TRC_OUT("interrupt by system call");
      return 0;
    case kWoken:
      break;
  }
  ccm_take_processor_wakeup(ccm);
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

int32_t ccm_get_nof_server_connections(ccm_context_t *ccm) {
  int32_t n = count_channels(ccm, [](int t) { return t == CCM_CH_CP || t == CCM_CH_SERVER; });
  TRC_OUT("nof server connections=%d", n);
  return n;
}

int32_t ccm_get_nof_connections(ccm_context_t *ccm) {
  int32_t n = count_channels(ccm, [](int t) { return t == CCM_CH_CP || t == CCM_CH_SERVER || t == CCM_CH_LISTEN; });
  TRC_OUT("nof connections=%d", n);
  return n;
}

int32_t ccm_get_nof_agent_connections(ccm_context_t *ccm) {
  int32_t n = count_channels(ccm, [](int t) { return t == CCM_CH_AGENT; });
  TRC_OUT("nof agent connections=%d", n);
  return n;
}

int32_t ccm_get_nof_channels(ccm_context_t *ccm) {
  int32_t n = count_channels(ccm, [](int t) { return t != CCM_CH_UNWATCHED; });
  TRC_OUT("nof channels=%d", n);
  return n;
}

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
      if (ccm_flag_test(ch->flag, CCM_CHF_DELETED) || ch->type == CCM_CH_SILENT) continue;
      CcmLockGuard chql(ch->queue_lock);
      if (ch->sendq.head) empty = 0;
    }
  }
  TRC_OUT("empty=%d", empty);
  return empty;
}
