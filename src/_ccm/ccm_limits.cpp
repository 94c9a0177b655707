// The limits of what peers can make a context hold: the receive queue's
// memory, the longest frame and the time a connection may stay silent, with
// the counters that show them at work.
#include <algorithm>
#include <ctime>

#include "ccm.h"
#include "ccm_io.h"
#include "ccm_lock.h"
#include "wq_sr.h"

int ccm_set_recvq_limit(ccm_context_t *ccm, size_t bytes) {
  if (!ccm || bytes == 0) return -1;
  {
    CcmLockGuard ql(ccm->queue_lock);
    const bool full = !ccm_recvq_has_room_locked(ccm);
    ccm->recvq_limit = bytes;
    if (full && ccm_recvq_has_room_locked(ccm)) ccm->recvq_room_since = time(nullptr);
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

int ccm_get_net_stats(ccm_context_t *ccm, ccm_net_stats_t *stats) {
  if (!ccm || !stats) return -1;
  stats->passes = ccm->net_passes.load(std::memory_order_relaxed);
  stats->ready_passes = ccm->net_ready_passes.load(std::memory_order_relaxed);
  return 0;
}

int ccm_channel_delete_idle(ccm_context_t *ccm, int seconds) {
  if (!ccm || seconds <= 0) return 0;
  const time_t now = time(nullptr);
  time_t heard_at_least = now;  // while the queue is full, nobody is read: nobody is silent
  {
    CcmLockGuard ql(ccm->queue_lock);
    if (ccm_recvq_has_room_locked(ccm)) heard_at_least = ccm->recvq_room_since;
  }
  int n = 0;
  {
    CcmLockGuard cl(ccm->channel_lock);
    for (ccm_channel_t *ch = ccm->channelq.head; ch; ch = ch->nxt) {
      if (ccm_flag_test(ch->flag, CCM_CHF_DELETED)) continue;
      if (ch->type == CCM_CH_LISTEN || ch->type == CCM_CH_UNWATCHED) continue;
      const time_t last = std::max(ccm_last_io(ch), heard_at_least);
      if (now - last < seconds) continue;
      ccm_channel_delete(ccm, ch);
      ++n;
    }
  }
  if (n > 0) ccm_wakeup_network(ccm);  // the network thread closes them after its pass
  return n;
}
