// Private constants of the network thread's I/O: the size of the select sets,
// the receive buffer growth and the write chunk size.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "ccm.h"
#include "ccm_lock.h"
#include "zudnst.h"

// Each select set covers this many descriptors (64 sets of 65,536).
inline constexpr int kCcmSelectSetBits = 4194304;
inline constexpr int kCcmSelectSetWords = kCcmSelectSetBits / 64;

// First size of a channel's receive buffer. It grows only while the frame at
// its start is incomplete, each time to at most twice its size and never
// beyond that frame's length; frames longer than a normal message are
// received straight into their own message instead, so the buffer stays at
// most 32768 bytes.
inline constexpr int kCcmRecvGrow = 8192;
// Ancillary data buffer of one receive and one send.
inline constexpr int kCcmControlSize = 256;
// Largest piece handed to one sendmsg.
inline constexpr int kCcmWriteChunk = 32768;
// Work area of a callback (0xFD) key block.
inline constexpr int kCcmCallbackArea = 256;
// Longest text that fits an address field with its terminator.
inline constexpr int kCcmAddrTextMax = 63;

// Access values (key 0x02 blocks, also inside a callback block) travel as 4
// bytes, least significant first, like every integer in a frame. Both
// directions go through the one byte-order conversion.
inline void ccm_acv_put(unsigned char *p, int32_t acv) {
  const uint32_t wire = iCnvU32(static_cast<uint32_t>(acv));
  memcpy(p, &wire, sizeof wire);
}
// The access value of a block of `n` (at most 4) bytes; missing high-order
// bytes read as zero.
inline int32_t ccm_acv_get(const unsigned char *p, size_t n) {
  unsigned char raw[4] = {0, 0, 0, 0};
  memcpy(raw, p, n < sizeof raw ? n : sizeof raw);
  uint32_t wire;
  memcpy(&wire, raw, sizeof wire);
  return static_cast<int32_t>(iCnvU32(wire));
}

// Releases channel_lock when it goes out of scope; for the lock that a
// successful channel lookup returns held.
class CcmChannelLockHeld {
 public:
  explicit CcmChannelLockHeld(ccm_context_t *ccm) : ccm_(ccm) {}
  ~CcmChannelLockHeld() { pthread_mutex_unlock(&ccm_->channel_lock); }
  CcmChannelLockHeld(const CcmChannelLockHeld &) = delete;
  CcmChannelLockHeld &operator=(const CcmChannelLockHeld &) = delete;

 private:
  ccm_context_t *ccm_;
};

// ---- receive-queue accounting (the caller holds the context's queue_lock) ----

inline size_t ccm_recvq_limit_locked(const ccm_context_t *ccm) {
  return ccm->recvq_limit ? ccm->recvq_limit : kCcmRecvqDefaultLimit;
}

// Whether the receive queue takes another frame: its memory, with the close
// notices still owed, is below the limit.
inline bool ccm_recvq_has_room_locked(const ccm_context_t *ccm) {
  return ccm->recvq_bytes + ccm->recvq_due < ccm_recvq_limit_locked(ccm);
}

// Moves `m` from msgq_inuse to the tail of recvq and counts its memory.
inline void ccm_recvq_put_locked(ccm_context_t *ccm, ccm_msg_t *m) {
  ccmq_unlink(ccm->msgq_inuse, m);
  ccmq_append(ccm->recvq, m);
  ccm->recvq_bytes += ccm_msg_memory(m);
  if (ccm->recvq_bytes > ccm->recvq_peak) ccm->recvq_peak = ccm->recvq_bytes;
}

// Which side takes a message that is handed over.
enum class CcmHandTo {
  kReceiver,  // the context's recvq, then a "P" wake-up
  kNetwork,   // the context's sendq, then an "N" wake-up
};

// The one hand-over of a message to the other thread: under the context's
// queue lock the message is unlinked from msgq_inuse and appended to the
// queue of `to` (recvq counts its memory); after the lock is released that
// side is woken, so the message is in its queue before the wake-up can be
// seen. Returns whether recvq still has room after a hand-over to the
// receiver; true after one to the network thread.
bool ccm_msg_hand_over(ccm_context_t *ccm, ccm_msg_t *m, CcmHandTo to);

// Takes the head of recvq (null when empty) and uncounts it. *resume becomes
// true when the take brought the queue from its limit to below it: the
// network thread, which reads no channel while the queue is full, must then
// be woken. (Messages put into recvq by hand, as some tests do, were never
// counted; the count does not go below 0 for them.)
inline ccm_msg_t *ccm_recvq_take_locked(ccm_context_t *ccm, bool *resume) {
  ccm_msg_t *m = ccmq_take_head(ccm->recvq);
  *resume = false;
  if (!m) return nullptr;
  const bool full = !ccm_recvq_has_room_locked(ccm);
  const size_t mem = ccm_msg_memory(m);
  ccm->recvq_bytes = ccm->recvq_bytes > mem ? ccm->recvq_bytes - mem : 0;
  *resume = full && ccm_recvq_has_room_locked(ccm);
  if (*resume) ccm->recvq_room_since = time(nullptr);
  return m;
}

// A channel's time of last input or output, written by the network thread
// and read by ccm_channel_delete_idle on the user's thread.
inline void ccm_stamp_io(ccm_channel_t *ch) {
  std::atomic_ref<time_t>(ch->timestamp_last_io).store(time(nullptr), std::memory_order_relaxed);
}
inline time_t ccm_last_io(const ccm_channel_t *ch) {
  return std::atomic_ref<time_t>(const_cast<time_t &>(ch->timestamp_last_io)).load(std::memory_order_relaxed);
}

// Network thread: whether the receive queue has room (takes queue_lock).
inline bool ccm_recvq_has_room(ccm_context_t *ccm) {
  CcmLockGuard ql(ccm->queue_lock);
  return ccm_recvq_has_room_locked(ccm);
}

// Releases what a channel's receive holds besides its buffer: a frame being
// received into its own message, and descriptors passed with bytes that no
// frame took. Called when the channel is destroyed or its queues emptied.
void ccm_read_release(ccm_context_t *ccm, ccm_channel_t *ccmch);
// Network thread, for a channel marked deleted: when the network thread
// deleted it because its peer ended or failed (a close reason is recorded)
// while complete frames wait in its buffer, hands them to the receive queue
// as far as it has room. True while such frames still wait (recv_held): the
// channel is then kept (deleted, out of every select set) until they are in
// the queue. Otherwise recv_held is cleared (a channel its owner deleted
// drops them) and the result is false.
bool ccm_read_deliver_held(ccm_context_t *ccm, ccm_channel_t *ccmch);
