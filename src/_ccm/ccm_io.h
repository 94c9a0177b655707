// Private constants of the network thread's I/O: the size of the select sets,
// the receive buffer growth, the write chunk size and the message numbers
// that the read and write paths record in a channel before deleting it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ccm.h"

// Each select set covers this many descriptors (64 sets of 65,536).
inline constexpr int kCcmSelectSetBits = 4194304;
inline constexpr int kCcmSelectSetWords = kCcmSelectSetBits / 64;

// The receive buffer of a channel grows by this much when it is full.
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
