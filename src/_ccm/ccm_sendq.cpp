// The send side's limit: counting messages against their channel's
// send-queue limit, waiting for room and for flushes, and the counters.
// ccm_sendq.h explains where a message is counted and why.
//
// The waits. Waiting senders and flushes sleep on one condition variable of
// the context, send_room, with send_wait_lock, and look again after every
// signal; whoever changes what they wait for (the network thread writing a
// queue below half its limit or empty, a channel marked deleted or closed,
// a new limit) signals it when anybody waits. A sleeper enrolls (counts
// itself in send_waiters and notes send_events) before it looks, and sleeps
// only while send_events is unchanged since its last look, so a change made
// after that look always ends the sleep: either its signaller saw the
// sleeper enrolled and counted a new event, or the change came before the
// look and the look saw it. Nothing but the event counter is read under
// send_wait_lock, and no other lock is held while sleeping.
#include "ccm_sendq.h"

#include <errno.h>
#include <pthread.h>
#include <time.h>

#include <climits>
#include <cstring>

#include "ccm_error.h"
#include "ccm_io.h"
#include "ccm_lock.h"
#include "wq_trace.h"

namespace {

// The network thread of the context whose sends must not wait (one per
// thread: a network thread serves one context).
thread_local const ccm_context_t *tl_network_ctx = nullptr;
// The calling thread's last send that failed for its channel.
thread_local ccm_error_t tl_send_error;

int64_t monotonic_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

int64_t deadline_after_ms(int32_t ms) { return monotonic_ns() + (int64_t)(ms > 0 ? ms : 0) * 1000000; }

// The send time-out that applies to the calling thread.
int32_t timeout_for_caller(const ccm_context_t *ccm, int32_t ms) { return tl_network_ctx == ccm ? 0 : ms; }

void raise_peak(ccm_context_t *ccm, size_t bytes) {
  size_t peak = ccm->sendq_peak.load();
  while (bytes > peak && !ccm->sendq_peak.compare_exchange_weak(peak, bytes)) {
  }
}

// The channel with `ID` in either list, deleted or not; the caller holds
// channel_lock.
ccm_channel_t *find_any_locked(ccm_context_t *ccm, int32_t ID) {
  if (ID == 0) return nullptr;
  for (ccm_channelq_t *q : {&ccm->channelq, &ccm->channel_newq})
    for (ccm_channel_t *ch = q->head; ch; ch = ch->nxt)
      if (ch->ID == ID) return ch;
  return nullptr;
}

// Takes `mem` off the channel's count (the caller holds its queue lock).
// True when waiters are to be told: the queue fell below half its limit,
// where senders wake, or became empty, where flushes end.
bool take_off(const ccm_context_t *ccm, ccm_channel_t *ch, size_t mem) {
  const size_t before = ch->sendq_bytes;
  ch->sendq_bytes = before > mem ? before - mem : 0;
  const size_t half = ccm->sendq_limit.load() / 2;
  return ch->sendq_bytes == 0 || (before >= half && ch->sendq_bytes < half);
}

// `mem` bytes counted for channel `ID` were dropped unwritten: into the
// context's total and every flush that waits for that channel or for all.
// The caller holds channel_lock.
void report_drop_locked(ccm_context_t *ccm, int32_t ID, size_t mem) {
  ccm->sendq_dropped += mem;
  for (ccm_flush_watch_t *w = ccm->flush_watches; w; w = w->nxt)
    if (w->ID == 0 || w->ID == ID) w->dropped += mem;
}

// What a flush or a counter sees, under channel_lock: the memory counted for
// channel `ID` (0: every channel, closing ones included) and whether such a
// channel exists.
struct Snapshot {
  size_t queued = 0;
  bool exists = false;
};

Snapshot snapshot_locked(ccm_context_t *ccm, int32_t ID) {
  Snapshot s;
  for (ccm_channelq_t *q : {&ccm->channelq, &ccm->channel_newq}) {
    for (ccm_channel_t *ch = q->head; ch; ch = ch->nxt) {
      if (ID != 0 && ch->ID != ID) continue;
      CcmLockGuard ql(ch->queue_lock);
      s.exists = true;
      s.queued += ch->sendq_bytes;
    }
  }
  return s;
}

// One sleeper on the context's send event (see the top of this file).
class SendWait {
 public:
  explicit SendWait(ccm_context_t *ccm) : ccm_(ccm) {}
  ~SendWait() {
    if (enrolled_) ccm_->send_waiters.fetch_sub(1);
  }
  SendWait(const SendWait &) = delete;
  SendWait &operator=(const SendWait &) = delete;

  // From here on every signal ends the next sleep; the caller looks after it.
  void enroll() {
    ccm_->send_waiters.fetch_add(1);
    CcmLockGuard l(ccm_->send_wait_lock);
    seen_ = ccm_->send_events;
    enrolled_ = true;
  }
  // Sleeps until a signal that came after the last look, or until the
  // deadline (monotonic nanoseconds). False when the deadline has passed
  // without a signal.
  bool sleep_until(int64_t deadline) {
    struct timespec ts;
    ts.tv_sec = (time_t)(deadline / 1000000000);
    ts.tv_nsec = (long)(deadline % 1000000000);
    pthread_mutex_lock(&ccm_->send_wait_lock);
    int rc = 0;
    while (ccm_->send_events == seen_ && rc != ETIMEDOUT)
      rc = pthread_cond_timedwait(&ccm_->send_room, &ccm_->send_wait_lock, &ts);
    const bool signalled = ccm_->send_events != seen_;
    seen_ = ccm_->send_events;
    pthread_mutex_unlock(&ccm_->send_wait_lock);
    return signalled || monotonic_ns() < deadline;
  }

 private:
  ccm_context_t *ccm_;
  uint64_t seen_ = 0;
  bool enrolled_ = false;
};

enum class Admit { kAccepted, kFull, kNoChannel };

// What the last look at the destination found, for the error insert.
struct Look {
  int32_t ID = 0;
  size_t queued = 0;
  size_t limit = 0;
};

// Finds the open destination channel of `m` by the dispatch's rules and
// counts `m` against it when it holds less than the limit.
Admit try_admit(ccm_context_t *ccm, ccm_msg_t *m, Look *look) {
  ccm_channel_t *ch;
  if (m->addr.dst_ID != 0) {
    ch = ccm_channel_getbyID(ccm, m->addr.dst_ID);
  } else {
    // The field may fill all 64 bytes (a received address): a terminated copy.
    char name[sizeof m->addr.dst_addr + 1];
    memcpy(name, m->addr.dst_addr, sizeof m->addr.dst_addr);
    name[sizeof m->addr.dst_addr] = '\0';
    ch = ccm_channel_getbyName(ccm, strncmp(name, "*CP", 3) == 0 ? "*SERVER" : name);
  }
  if (!ch) return Admit::kNoChannel;
  CcmChannelLockHeld held(ccm);  // the lookup returned with channel_lock held
  CcmLockGuard ql(ch->queue_lock);
  look->ID = ch->ID;
  look->queued = ch->sendq_bytes;
  look->limit = ccm->sendq_limit.load();
  if (ch->sendq_bytes >= look->limit) return Admit::kFull;
  ch->sendq_bytes += ccm_msg_memory(m);
  raise_peak(ccm, ch->sendq_bytes);
  m->sendq_ID = ch->ID;
  return Admit::kAccepted;
}

}  // namespace

void ccm_sendq_init(ccm_context_t *ccm) {
  pthread_mutex_init(&ccm->send_wait_lock, nullptr);
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  // Deadlines are taken from the monotonic clock: a clock step does not
  // stretch or cut a wait.
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&ccm->send_room, &attr);
  pthread_condattr_destroy(&attr);
  ccm->sendq_limit.store(kCcmSendqDefaultLimit);
  ccm->send_timeout_ms.store(kCcmSendTimeoutDefault);
}

void ccm_sendq_destroy(ccm_context_t *ccm) {
  pthread_cond_destroy(&ccm->send_room);
  pthread_mutex_destroy(&ccm->send_wait_lock);
}

void ccm_sendq_mark_network_thread(const ccm_context_t *ccm) { tl_network_ctx = ccm; }

int ccm_sendq_admit(ccm_context_t *ccm, ccm_msg_t *m) {
  if (m->sendq_ID != 0) return 0;
  Look look;
  Admit a = try_admit(ccm, m, &look);
  const int32_t timeout = timeout_for_caller(ccm, ccm->send_timeout_ms.load());
  if (a == Admit::kFull && timeout > 0) {
    TRC("channel ID=%d holds %zu of %zu bytes: waiting up to %d ms", look.ID, look.queued, look.limit,
        timeout);
    const int64_t deadline = deadline_after_ms(timeout);
    SendWait wait(ccm);
    wait.enroll();
    while ((a = try_admit(ccm, m, &look)) == Admit::kFull && wait.sleep_until(deadline)) {
    }
  }
  if (a == Admit::kAccepted) return 0;
  if (a == Admit::kNoChannel) {
    ccm_error_set(&tl_send_error, CCM_MSGNR_SEND_CLOSED, "chID=%d|%.64s|channel not open", m->addr.dst_ID,
                  m->addr.dst_addr);
    TRC("no open channel for ID=%d, address '%.64s'", m->addr.dst_ID, m->addr.dst_addr);
    return CCM_SEND_CLOSED;
  }
  ccm_error_set(&tl_send_error, CCM_MSGNR_SEND_TIMEOUT, "chID=%d|queued=%zu|limit=%zu|%dms", look.ID,
                look.queued, look.limit, timeout);
  TRC("channel ID=%d still full after %d ms", look.ID, timeout);
  return CCM_SEND_TIMEDOUT;
}

void ccm_sendq_cancel(ccm_context_t *ccm, ccm_msg_t *m) {
  if (!m || m->sendq_ID == 0) return;
  bool tell;
  {
    CcmLockGuard cl(ccm->channel_lock);
    tell = ccm_sendq_release_locked(ccm, m, false);
  }
  if (tell) ccm_sendq_notify(ccm);
}

bool ccm_sendq_uncount_chlocked(ccm_context_t *ccm, ccm_channel_t *ch, ccm_msg_t *m) {
  if (m->sendq_ID != ch->ID) return false;  // never counted (queued by hand)
  m->sendq_ID = 0;
  return take_off(ccm, ch, ccm_msg_memory(m));
}

void ccm_sendq_count_chlocked(ccm_context_t *ccm, ccm_channel_t *ch, ccm_msg_t *m) {
  if (m->sendq_ID == ch->ID) return;
  ch->sendq_bytes += ccm_msg_memory(m);
  raise_peak(ccm, ch->sendq_bytes);
  m->sendq_ID = ch->ID;
}

bool ccm_sendq_release_locked(ccm_context_t *ccm, ccm_msg_t *m, bool dropped) {
  const int32_t ID = m->sendq_ID;
  m->sendq_ID = 0;
  ccm_channel_t *ch = find_any_locked(ccm, ID);
  if (!ch) return false;  // closed already: its count was dropped with it
  const size_t mem = ccm_msg_memory(m);
  bool tell;
  {
    CcmLockGuard ql(ch->queue_lock);
    tell = take_off(ccm, ch, mem);
  }
  if (dropped) report_drop_locked(ccm, ID, mem);
  return tell || dropped;
}

bool ccm_sendq_close_locked(ccm_context_t *ccm, ccm_channel_t *ch) {
  size_t dropped;
  {
    CcmLockGuard ql(ch->queue_lock);
    dropped = ch->sendq_bytes;
    ch->sendq_bytes = 0;
    ch->sendq_dropped += dropped;
    // Freeing the queue (when the channel is destroyed) must not take these
    // off a count again; messages still on their way to the channel keep its
    // ID, which the dispatch then finds nowhere.
    for (ccm_msg_t *m = ch->sendq.head; m; m = m->nxt)
      if (m->sendq_ID == ch->ID) m->sendq_ID = 0;
  }
  if (dropped > 0) {
    TRC("channel ID=%d closes with %zu bytes unwritten", ch->ID, dropped);
    report_drop_locked(ccm, ch->ID, dropped);
  }
  return true;  // flushes of this channel end
}

void ccm_sendq_notify(ccm_context_t *ccm) {
  if (ccm->send_waiters.load() == 0) return;
  pthread_mutex_lock(&ccm->send_wait_lock);
  ++ccm->send_events;
  pthread_cond_broadcast(&ccm->send_room);
  pthread_mutex_unlock(&ccm->send_wait_lock);
}

int ccm_set_sendq_limit(ccm_context_t *ccm, size_t bytes) {
  if (!ccm || bytes == 0) return -1;
  ccm->sendq_limit.store(bytes);
  // A higher limit may make room for waiting senders.
  ccm_sendq_notify(ccm);
  return 0;
}

int ccm_set_send_timeout(ccm_context_t *ccm, int32_t ms) {
  if (!ccm || ms < 0) return -1;
  ccm->send_timeout_ms.store(ms);
  return 0;
}

size_t ccm_get_sendq_bytes(ccm_context_t *ccm, int32_t channelID) {
  if (!ccm) return 0;
  CcmLockGuard cl(ccm->channel_lock);
  return snapshot_locked(ccm, channelID).queued;
}

size_t ccm_get_sendq_peak(ccm_context_t *ccm) { return ccm ? ccm->sendq_peak.load() : 0; }

size_t ccm_get_sendq_dropped(ccm_context_t *ccm) {
  if (!ccm) return 0;
  CcmLockGuard cl(ccm->channel_lock);
  return ccm->sendq_dropped;
}

int ccm_get_send_error(ccm_error_t *ccmerr) {
  if (ccmerr) *ccmerr = tl_send_error;
  return tl_send_error.msgnr;
}

int ccm_flush(ccm_context_t *ccm, int32_t channelID, int32_t timeout_ms, size_t *remaining,
              ccm_error_t *ccmerr) {
  TRC_IN("(ccm=%p, chID=%d, timeout=%d ms)", (void *)ccm, channelID, timeout_ms);
  if (remaining) *remaining = 0;
  if (!ccm || channelID < 0 || timeout_ms < 0) {
    TRC_OUT("invalid arguments");
    return -1;
  }
  const int32_t timeout = timeout_for_caller(ccm, timeout_ms);
  const int64_t deadline = deadline_after_ms(timeout);
  SendWait wait(ccm);
  wait.enroll();  // before the first look, so that no change after it is missed
  ccm_flush_watch_t watch = {nullptr, channelID, 0};
  Snapshot s;
  {
    CcmLockGuard cl(ccm->channel_lock);
    watch.nxt = ccm->flush_watches;
    ccm->flush_watches = &watch;
    s = snapshot_locked(ccm, channelID);
  }
  const bool known = channelID == 0 || s.exists;
  while (known && s.queued > 0 && wait.sleep_until(deadline)) {
    CcmLockGuard cl(ccm->channel_lock);
    s = snapshot_locked(ccm, channelID);
  }
  // The last look and the drops are taken together: every byte is either
  // still queued or dropped.
  size_t dropped;
  {
    CcmLockGuard cl(ccm->channel_lock);
    s = snapshot_locked(ccm, channelID);
    for (ccm_flush_watch_t **p = &ccm->flush_watches; *p; p = &(*p)->nxt) {
      if (*p == &watch) {
        *p = watch.nxt;
        break;
      }
    }
    dropped = watch.dropped;
  }
  if (remaining) *remaining = s.queued + dropped;
  if (!known) {
    ccm_error_set(ccmerr, CCM_MSGNR_SEND_CLOSED, "chID=%d||channel not open", channelID);
    TRC_OUT("no such channel");
    return -1;
  }
  if (s.queued > 0) {
    ccm_error_set(ccmerr, CCM_MSGNR_SEND_TIMEOUT, "chID=%d|queued=%zu|limit=%zu|%dms", channelID, s.queued,
                  ccm->sendq_limit.load(), timeout);
    TRC_OUT("%zu bytes still queued", s.queued);
    return -1;
  }
  if (dropped > 0) {
    ccm_error_set(ccmerr, CCM_MSGNR_SEND_CLOSED, "chID=%d|dropped=%zu|channel closed", channelID, dropped);
    TRC_OUT("%zu bytes dropped", dropped);
    return -1;
  }
  TRC_OUT("OK");
  return 0;
}
