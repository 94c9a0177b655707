// Private constants of the network thread's I/O: the size of the select sets,
// the receive buffer growth, the write chunk size and the message numbers
// that the read and write paths record in a channel before deleting it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ccm.h"
#include "ccm_lock.h"

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

// Close reasons recorded in a channel (msgnr) before it is deleted.
inline constexpr int kCcmMsgRecvError = 2002036;   // receive failed or invalid frame
inline constexpr int kCcmMsgSendError = 2002002;   // send failed
inline constexpr int kCcmMsgSysCall = 2000102;     // a system call failed
inline constexpr int kCcmMsgAlloc = 3301;          // allocation failed
inline constexpr int kCcmMsgThread = 2000136;      // thread creation failed
inline constexpr int kCcmMsgThreadRunning = 2000134;

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

// Whether the receive queue takes another frame: its memory is below the limit.
inline bool ccm_recvq_has_room_locked(const ccm_context_t *ccm) {
  return ccm->recvq_bytes < ccm_recvq_limit_locked(ccm);
}

// Moves `m` from msgq_inuse to the tail of recvq and counts its memory.
inline void ccm_recvq_put_locked(ccm_context_t *ccm, ccm_msg_t *m) {
  ccmq_unlink(ccm->msgq_inuse, m);
  ccmq_append(ccm->recvq, m);
  ccm->recvq_bytes += ccm_msg_memory(m);
  if (ccm->recvq_bytes > ccm->recvq_peak) ccm->recvq_peak = ccm->recvq_bytes;
}

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
  return m;
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
