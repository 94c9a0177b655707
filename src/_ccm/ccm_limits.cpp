// The limits of what peers can make a context hold: the receive queue's
// memory and the longest frame, with the counters that show them at work.
#include "ccm.h"
#include "ccm_io.h"
#include "ccm_lock.h"
#include "wq_sr.h"

int ccm_set_recvq_limit(ccm_context_t *ccm, size_t bytes) {
  if (!ccm || bytes == 0) return -1;
  {
    CcmLockGuard ql(ccm->queue_lock);
    ccm->recvq_limit = bytes;
  }
  // A higher limit may make room in a full queue: the network thread, which
  // reads no channel while it is full, looks again.
  ccm_wakeup_network(ccm);
  return 0;
}

int ccm_set_max_frame(ccm_context_t *ccm, int32_t bytes) {
  if (!ccm || bytes < kProtocolHeaderSize || bytes > kCcmMaxFrameDefault) return -1;
  std::atomic_ref<int>(ccm->max_frame).store(bytes);
  return 0;
}

size_t ccm_get_recvq_bytes(ccm_context_t *ccm) {
  if (!ccm) return 0;
  CcmLockGuard ql(ccm->queue_lock);
  return ccm->recvq_bytes;
}

size_t ccm_get_recvq_peak(ccm_context_t *ccm) {
  if (!ccm) return 0;
  CcmLockGuard ql(ccm->queue_lock);
  return ccm->recvq_peak;
}
