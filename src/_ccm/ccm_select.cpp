// One pass of the network thread's loop: take over new channels and queued
// messages, build the descriptor sets, wait in select, and serve every ready
// channel (accept on a listening channel, read and write on the others).

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ccm.h"
#include "ccm_error.h"
#include "ccm_io.h"
#include "ccm_lock.h"
#include "ccm_wakeup.h"
#include "ctools.h"
#include "ipcmsg.h"
#include "wq_trace.h"
#include "zudnst.h"

namespace {

// The three descriptor sets of a pass, as 64-bit words: descriptor d is bit
// (d % 64) of word (d / 64), the layout of the kernel's fd_set on this 64-bit
// host. They are passed to select cast to fd_set*; that is safe although
// fd_set itself is only FD_SETSIZE bits, because the kernel copies in and out
// only the first nfds bits (rounded up to whole longs), and nfds never
// exceeds the words the sets have.
//
// Each network thread has its own sets (one set of sets shared by the whole
// process would be raced over by the network threads of two contexts). They
// are sized by the descriptors that are watched: the first ones cover
// kInlineWords * 64 descriptors in thread-local storage, enough for a small
// program such as the job messenger, which so needs no allocation and no
// page of its own for them. A pass that watches a higher descriptor moves
// them to a zeroed heap block of twice the size as often as needed, up to
// kCcmSelectSetBits descriptors (1.5 MiB for the three); the block is kept
// for the thread's later passes and released when the thread ends.
//
// Only bits up to the highest descriptor of a pass are ever set, by the pass
// itself or by select (which writes back only the first nfds bits), so the
// next pass clears just the words up to that descriptor.
struct SelectSets {
  uint64_t *rd;
  uint64_t *wr;
  uint64_t *er;
  int words;        // capacity of each set
  int dirty_words;  // words of each set that may hold a bit
};

constexpr int kInlineWords = 4;

// The heap block of a thread's sets, made on the first growth only, is the
// thread's value of this key: the key's destructor frees it when the thread
// ends (a plain POSIX thread-specific value, so that the library needs no
// C++ run-time support for thread-exit hooks).
pthread_key_t heap_sets_key;
pthread_once_t heap_sets_key_once = PTHREAD_ONCE_INIT;
void make_heap_sets_key() { pthread_key_create(&heap_sets_key, free); }

SelectSets &thread_sets() {
  static thread_local uint64_t inline_words[3 * kInlineWords];
  static thread_local SelectSets ts;
  if (!ts.rd) {
    ts.rd = inline_words;
    ts.wr = inline_words + kInlineWords;
    ts.er = inline_words + 2 * kInlineWords;
    ts.words = kInlineWords;
    ts.dirty_words = kInlineWords;
  }
  return ts;
}

// Makes the sets hold descriptor `fd` (below kCcmSelectSetBits). false when
// memory is short; the sets are unchanged then.
bool sets_cover(SelectSets &ts, int fd) {
  if (fd / 64 < ts.words) return true;
  int words = ts.words;
  while (fd / 64 >= words) words *= 2;
  if (words > kCcmSelectSetWords) words = kCcmSelectSetWords;
  auto *block = static_cast<uint64_t *>(calloc(3 * (size_t)words, sizeof(uint64_t)));
  if (!block) return false;
  pthread_once(&heap_sets_key_once, make_heap_sets_key);
  free(pthread_getspecific(heap_sets_key));
  pthread_setspecific(heap_sets_key, block);
  ts.rd = block;
  ts.wr = block + words;
  ts.er = block + 2 * (size_t)words;
  ts.words = words;
  ts.dirty_words = 0;
  return true;
}

// Connections a pass takes over from one readable listening channel when
// tracing is off.
constexpr int kAcceptBurst = 64;

// Whether a connection (or data) waits on `s` right now.
bool readable_now(int s) {
  struct pollfd p;
  p.fd = s;
  p.events = POLLIN;
  p.revents = 0;
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

inline void set_bit(uint64_t *set, int fd) { set[fd / 64] |= (uint64_t)1 << (fd % 64); }
inline bool test_bit(const uint64_t *set, int fd) { return (set[fd / 64] >> (fd % 64)) & 1; }
inline fd_set *as_fdset(uint64_t *set) { return reinterpret_cast<fd_set *>(set); }
inline bool fd_fits(int fd) { return fd >= 0 && fd < kCcmSelectSetBits; }

// Trace lines of the select pass, written under its name by its steps.
constexpr const char kPass[] = "ccm_network_select";
#define PASS_TRC(fmt, ...) \
  do { if (WQ_TRACE_ON()) __trace_text(0, "%s:      " fmt, kPass __VA_OPT__(, ) __VA_ARGS__); } while (0)

void trace_channel(const ccm_channel_t *ch) {
  char desc[512];
  __trace_text(0, "%s:        ==> %s", kPass, ccm_channel_describe(ch, desc, sizeof desc));
}

// Takes over the channels chained since the last pass and hands the
// context's queued messages to their channels.
//
// Every channel taken over gets SO_OOBINLINE: an urgent byte (MSG_OOB) then
// stays in the stream, where the frame checks judge it like any other byte,
// and reading past it ends the exceptional condition that select reports.
// Without it the byte waits outside the stream, unread for ever, and a
// socket in the exception set would make every select return at once. Set
// here, it covers every way a channel comes in (accepted, connected, a pair,
// a descriptor a user or another process handed over); for what is no
// socket the call fails, which changes nothing.
void take_over_new_work(ccm_context_t *ccm) {
  ccm_channel_t *taken = nullptr;
  {
    CcmLockGuard cl(ccm->channel_lock);
    if (ccm->channel_newq.head) {
      taken = ccm->channel_newq.head;
      ccm_channel_merge_newq(ccm);
    }
  }
  // The channels taken over are the tail of channelq, which only this thread changes.
  for (const int on = 1; taken; taken = taken->nxt)
    if (taken->s >= 0) setsockopt(taken->s, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
  ccm_dispatch_send_messages(ccm);
}

// A channel that ended while it was served owes a close notice, which counts
// as room taken in the receive queue until the sweep has posted it.
void owe_close_notice_if_ended(ccm_context_t *ccm, const ccm_channel_t *ch) {
  if (!ccm_flag_test(ch->flag, CCM_CHF_DELETED)) return;
  CcmLockGuard ql(ccm->queue_lock);
  ccm->recvq_due += ccm_msg_memory_for(kCcmNormalSize);
}

// Writes, before the pass waits, every channel that has messages queued
// and whose socket is not known to be full or still connecting. Such a
// socket almost always takes them at once, so a message that a wake-up
// brought leaves in this pass instead of after one more select that would
// only report the socket writable: one system call less on each hand-over,
// and one sleep less on a connection that answers each message with one.
// The others are waited on in the write set, as before (send_wait).
void write_without_waiting(ccm_context_t *ccm, ccm_error_t *ccmerr) {
  for (ccm_channel_t *ch = ccm->channelq.head; ch; ch = ch->nxt) {
    if (!ch->sendq.head || ch->send_wait != CCM_SEND_READY) continue;
    if (ch->type == CCM_CH_LISTEN || ch->type == CCM_CH_UNWATCHED || !fd_fits(ch->s)) continue;
    if (ccm_flag_test(ch->flag, CCM_CHF_DELETED)) continue;
    ccm_write_channel(ccm, ch, ccmerr);
    owe_close_notice_if_ended(ccm, ch);
  }
}

int64_t monotonic_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Whether listening channels are watched in this pass: not while an accept
// back-off lasts, and then *wait_ms is cut to the time it has left.
bool accepting(ccm_context_t *ccm, int64_t *wait_ms) {
  if (ccm->accept_resume_ms == 0) return true;
  const int64_t left = ccm->accept_resume_ms - monotonic_ms();
  if (left <= 0) {
    ccm->accept_resume_ms = 0;
    return true;
  }
  *wait_ms = std::min(*wait_ms, left);
  return false;
}

// After accept failed for want of descriptors or memory: the listening
// channels pause for the next back-off of the episode (kCcmAcceptBackoff*);
// the episode's first failure is logged.
void back_off_accepting(ccm_context_t *ccm, int err) {
  if (ccm->accept_backoff_ms == 0) {
    __log(CCM_MSGNR_SYSCALL, "accept(...,FIONBIO)|%d-%s", err, wq_strerror(err));
    ccm->accept_backoff_ms = kCcmAcceptBackoffFirstMs;
  } else {
    ccm->accept_backoff_ms = std::min(2 * ccm->accept_backoff_ms, kCcmAcceptBackoffMaxMs);
  }
  ccm->accept_resume_ms = monotonic_ms() + ccm->accept_backoff_ms;
}

// The highest descriptor the pass can watch. channelq is changed only by
// this thread, so it bounds every bit that the pass sets.
int highest_descriptor(const ccm_context_t *ccm) {
  int highest = fd_fits(ccm->network_wakeup[0]) ? ccm->network_wakeup[0] : 0;
  for (const ccm_channel_t *ch = ccm->channelq.head; ch; ch = ch->nxt)
    if (fd_fits(ch->s) && ch->s > highest) highest = ch->s;
  return highest;
}

// Fills the sets for one pass and returns the highest descriptor in them.
// While the receive queue is at its limit (`room` false) no channel is read
// and no connection accepted: they stay out of the read set, so select does
// not spin on them, TCP flow control holds their bytes in the peers and new
// connections wait in the kernel's backlog (an accept notice takes a whole
// message); the receiver's take that makes room wakes this thread. Listening
// channels also stay out while `listening` is false (an accept back-off).
// The exception set holds exactly the channels of the read set: a channel
// in it whose condition (an urgent byte) is not served would end every
// select at once, and an urgent byte is served by reading. *held tells
// whether a channel has complete frames waiting for room. channelq is walked
// without channel_lock: only this thread changes it, other threads only set
// flag bits on its channels.
int fill_sets(ccm_context_t *ccm, SelectSets *sets, bool room, bool listening, bool *held) {
  const size_t dirty = (size_t)sets->dirty_words * sizeof(uint64_t);
  memset(sets->rd, 0, dirty);
  memset(sets->wr, 0, dirty);
  memset(sets->er, 0, dirty);
  int maxfd = 0;
  *held = false;
  for (ccm_channel_t *ch = ccm->channelq.head; ch; ch = ch->nxt) {
    if (WQ_TRACE_ON()) trace_channel(ch);
    if (ccm_flag_test(ch->flag, CCM_CHF_DELETED)) {
      ccm_flag_set(ccm->flag, CCM_CTXF_DELETED);
      continue;
    }
    if (ch->type == CCM_CH_UNWATCHED) continue;
    if (!fd_fits(ch->s)) {
      // A descriptor the sets cannot hold is never watched; the channel is
      // closed instead of writing outside the sets.
      ccm_channel_set_reason(ch, CCM_MSGNR_SYSCALL, "select(s=%d(ID=%d))|descriptor outside the select sets|", ch->s,
                             ch->ID);
      ccm_channel_delete(ccm, ch);
      continue;
    }
    if (!ccm_flag_test(ch->flag, CCM_CHF_NOREAD) && room && (listening || ch->type != CCM_CH_LISTEN)) {
      set_bit(sets->rd, ch->s);
      set_bit(sets->er, ch->s);
    }
    if (ch->recv_held) *held = true;
    if (ch->sendq.head) set_bit(sets->wr, ch->s);
    if (ch->s > maxfd) maxfd = ch->s;
  }
  const int wake = ccm->network_wakeup[0];
  if (fd_fits(wake)) {
    set_bit(sets->rd, wake);
    if (wake > maxfd) maxfd = wake;
  }
  sets->dirty_words = maxfd / 64 + 1;
  return maxfd;
}

// Waits in select for the sets' descriptors up to `ms` milliseconds, tracing
// the sets before and after. Returns select's result, with its errno in *err.
int wait_in_select(SelectSets *sets, int maxfd, int64_t ms, int *err) {
  struct timeval tv;
  tv.tv_sec = (time_t)(ms / 1000);
  tv.tv_usec = (suseconds_t)(ms % 1000 * 1000);
  char rlist[1024];
  char wlist[1024];
  if (WQ_TRACE_ON()) {
    fdset2string(rlist, as_fdset(sets->rd), maxfd, sizeof rlist);
    fdset2string(wlist, as_fdset(sets->wr), maxfd, sizeof wlist);
    __trace_text(0, "%s:         select(maxfd=%d,READ[%s],WRITE[%s]) -->", kPass, maxfd + 1, rlist, wlist);
  }
  int rslt = select(maxfd + 1, as_fdset(sets->rd), as_fdset(sets->wr), as_fdset(sets->er), &tv);
  *err = errno;
  if (WQ_TRACE_ON()) {
    fdset2string(rlist, as_fdset(sets->rd), maxfd, sizeof rlist);
    fdset2string(wlist, as_fdset(sets->wr), maxfd, sizeof wlist);
    __trace_text(0, "%s:         select(...) <-- (rslt=%d,READ[%s],WRITE[%s])", kPass, rslt, rlist, wlist);
  }
  return rslt;
}

// Fills `ccmerr` for a failed select, naming both sets (cut to fit the insert).
void select_failed(SelectSets *sets, int maxfd, int err, ccm_error_t *ccmerr) {
  char rlist[1024];
  char wlist[1024];
  fdset2string(rlist, as_fdset(sets->rd), maxfd, sizeof rlist);
  fdset2string(wlist, as_fdset(sets->wr), maxfd, sizeof wlist);
  ccm_error_set(ccmerr, CCM_MSGNR_SYSCALL, "select(%d,RSET[%.480s],WSET[%.480s])|%d-%s", maxfd + 1, rlist, wlist, err,
                wq_strerror(err));
}

// The channel the pass serves first: the one after the channel whose frames
// last filled the receive queue (the pass goes round to it), so that a peer
// that always has frames waiting cannot keep the others from being read.
ccm_channel_t *first_to_serve(const ccm_context_t *ccm) {
  ccm_channel_t *first = ccm->channelq.head;
  for (ccm_channel_t *ch = ccm->recv_stop_ID ? ccm->channelq.head : nullptr; ch; ch = ch->nxt) {
    if (ch->ID != ccm->recv_stop_ID) continue;
    if (ch->nxt) first = ch->nxt;
    break;
  }
  return first;
}

// Accepts on a readable listening channel. Without tracing the pass takes
// over up to kAcceptBurst waiting connections instead of one, so that a
// burst of connects does not overflow the listen queue while every accept
// waits for a whole pass; the connections, their order and their notices
// are the same. A traced pass keeps to one accept, as its trace shows. Each
// further accept needs room in the receive queue for its notice, and stops
// with a failure (an accept back-off begins with one).
void accept_waiting(ccm_context_t *ccm, ccm_channel_t *ch, ccm_error_t *ccmerr) {
  if (!ccm_recvq_has_room(ccm)) return;  // an earlier channel of the pass filled the queue
  if (ccm_signal_on_listen(ccm, ch, ccmerr) == 0 && !WQ_TRACE_ON()) {
    ccm_error_t more;
    // Asked before each accept: the listening socket may be blocking.
    for (int i = 1; i < kAcceptBurst && !ccm_flag_test(ch->flag, CCM_CHF_DELETED) &&
                    ccm_recvq_has_room(ccm) && readable_now(ch->s);
         ++i) {
      memset(&more, 0, sizeof more);
      if (ccm_signal_on_listen(ccm, ch, &more) != 0) break;
    }
  }
  // Accepts without a shortage (no back-off began) end an episode of them.
  if (ccm->accept_resume_ms == 0) ccm->accept_backoff_ms = 0;
}

// Accepts, or reads (also when select reported the channel in the exception
// set, or when its frames wait for room and there is room now) and writes.
void serve_io(ccm_context_t *ccm, ccm_channel_t *ch, const SelectSets *sets, bool serve_held,
              ccm_error_t *ccmerr) {
  if (test_bit(sets->rd, ch->s) || test_bit(sets->er, ch->s) || (serve_held && ch->recv_held)) {
    if (ch->type == CCM_CH_LISTEN) {
      accept_waiting(ccm, ch, ccmerr);
      return;
    }
    if (ccm_read_channel(ccm, ch, ccmerr) != 0) return;
  }
  if (!ccm_flag_test(ch->flag, CCM_CHF_DELETED) && test_bit(sets->wr, ch->s)) ccm_write_channel(ccm, ch, ccmerr);
}

// Serves one channel after select. Channels marked deleted during the wait
// (by another thread or by an earlier channel of this pass) are left for the
// sweep; one that ends while served owes a close notice.
void serve_channel(ccm_context_t *ccm, ccm_channel_t *ch, const SelectSets *sets, bool serve_held,
                   ccm_error_t *ccmerr) {
  if (ccm_flag_test(ch->flag, CCM_CHF_DELETED)) return;
  if (ch->type == CCM_CH_UNWATCHED || !fd_fits(ch->s)) return;
  serve_io(ccm, ch, sets, serve_held, ccmerr);
  owe_close_notice_if_ended(ccm, ch);
}

}  // namespace

int ccm_network_select(ccm_context_t *ccm, int stimeout, ccm_error_t *ccmerr) {
  SelectSets *sets = &thread_sets();
  TRC_IN("(ccm=%p, sizeof(fd_read) = %d)", (void *)ccm, (int)(kCcmSelectSetWords * sizeof(uint64_t)));
  take_over_new_work(ccm);
  if (ccm->recvq_due) {  // the last pass's sweep has posted them
    CcmLockGuard ql(ccm->queue_lock);
    ccm->recvq_due = 0;
  }
  write_without_waiting(ccm, ccmerr);
  if (!sets_cover(*sets, highest_descriptor(ccm))) {
    CCM_ERROR_ALLOC(ccmerr, "FDSETS", kCcmUnit);
    TRC_OUT("no memory for the select sets");
    return -1;
  }
  // Channels whose complete frames wait for room (recv_held) are served as
  // soon as there is room, readable or not: select then only polls.
  const bool room = ccm_recvq_has_room(ccm);
  if (!room) TRC("receive queue full: no channel is read");
  int64_t wait_ms = stimeout < 0 ? 0 : (int64_t)stimeout * 1000;
  const bool listening = accepting(ccm, &wait_ms);
  bool held = false;
  const int maxfd = fill_sets(ccm, sets, room, listening, &held);
  const bool serve_held = room && held;
  int err = 0;
  const int rslt = wait_in_select(sets, maxfd, serve_held ? 0 : wait_ms, &err);
  ccm->net_passes.fetch_add(1, std::memory_order_relaxed);
  if (rslt > 0) ccm->net_ready_passes.fetch_add(1, std::memory_order_relaxed);
  if (rslt == 0 && !serve_held) {
    TRC_OUT("timeout");
    return 0;
  }
  if (rslt < 0 && err == EINTR) {
    TRC_OUT("signal wakeup");
    return 0;
  }
  if (rslt < 0) {
    select_failed(sets, maxfd, err, ccmerr);
    TRC_OUT("select error: %d-%s", err, wq_strerror(err));
    return -1;
  }
  const int wake = ccm->network_wakeup[0];
  if (fd_fits(wake) && test_bit(sets->rd, wake)) {
    // Every pending wake-up is taken at once: the work behind all of them is
    // picked up by the next pass's merge and dispatch.
    TRC("network woken up by other thread");
    ccm_take_network_wakeup(ccm);
  }
  ccm_channel_t *const first = first_to_serve(ccm);
  ccm_channel_t *next = nullptr;
  for (ccm_channel_t *ch = first; ch; ch = next) {
    next = ch->nxt ? ch->nxt : ccm->channelq.head;
    if (next == first) next = nullptr;
    serve_channel(ccm, ch, sets, serve_held, ccmerr);
  }
  TRC_OUT("OK");
  return 0;
}

// Accepts one connection on the listening channel `ccmch`, makes a channel of
// type 0 for it (non-blocking, linger 60 s), chains it and announces it with a
// "CHANNEL_ACCEPT" notice in the receive queue. Returns 0, or -1 when nothing
// was taken over; an accepted descriptor that cannot be taken over is closed.
int ccm_signal_on_listen(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_error_t *ccmerr) {
  TRC_IN("(ccm=%p, ccmch=%p)", (void *)ccm, (void *)ccmch);
  struct sockaddr_in6 peer;
  memset(&peer, 0, sizeof peer);
  socklen_t plen = sizeof peer;
  int s = accept(ccmch->s, reinterpret_cast<struct sockaddr *>(&peer), &plen);
  if (s < 0) {
    int err = errno;
    ccm_error_set(ccmerr, CCM_MSGNR_SYSCALL, "accept(...,FIONBIO)|%d-%s", err, wq_strerror(err));
    // The connection stays in the backlog and the listening socket readable.
    if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) back_off_accepting(ccm, err);
    TRC_OUT("accept error");
    return -1;
  }

  ccm_channel_t *ch = nullptr;
  if (ccm_channel_new_entry(ccm, &ch, ccmerr) != 0) {
    close(s);
    TRC_OUT("unable to allocate new socket entry for LISTEN");
    return -1;
  }
  ccm_address2string(&peer, ch->addr, sizeof ch->addr);
  ch->s = s;
  ch->timestamp_last_io = time(nullptr);  // its silence is counted from here (ccm_channel_delete_idle)
  if (peer.sin6_family == AF_INET)
    ch->port = ntohs(reinterpret_cast<struct sockaddr_in *>(&peer)->sin_port);
  else
    ch->port = ntohs(peer.sin6_port);

  // A connection that cannot be set up is dropped without a trace in the
  // channel table: type -1 destroys it silently and closes its descriptor.
  ccm_error_t scratch;
  if (ccm_set_nonblocking(ccm, ch, ccmerr) != 0) {
    ch->type = CCM_CH_SILENT;
    ccm_channel_destroy(ccm, ch, &scratch);
    TRC_OUT("error set non-blocking mode");
    return -1;
  }
  if (ccm_set_linger(ccm, ch, 1, 60, ccmerr) != 0) {
    ch->type = CCM_CH_SILENT;
    ccm_channel_destroy(ccm, ch, &scratch);
    TRC_OUT("error set linger");
    return -1;
  }

  ccm_msg_t *notice = ccm_msg_alloc(ccm, ccmerr);
  if (notice) {
    ipcmsg_channel_accept_t rec;
    memset(&rec, 0, sizeof rec);
    memcpy(rec.head.msgtype, "CHANNEL_ACCEPT", sizeof "CHANNEL_ACCEPT" - 1);
    rec.ID = ch->ID;
    memcpy(notice->msg_start, &rec, sizeof rec);
    notice->len = (int32_t)sizeof rec;
  }

  ccm_channel_chain(ccm, ch);
  // Without a notice the connection still works; its frames carry its ID.
  if (notice)
    send_IPC_internal(ccm, notice);
  else
    TRC("no accept notice for chID=%d (msg alloc error)", ch->ID);

  if (WQ_TRACE_ON()) {
    char desc[512];
    __trace_text(0, "%s <-- (new channel created: %s)", __func__, ccm_channel_describe(ch, desc, sizeof desc));
  }
  return 0;
}
