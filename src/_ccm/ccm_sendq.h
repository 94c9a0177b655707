// The send side's accounting: counting each message against the send-queue
// limit of its channel from the moment a send route accepts it until it is
// written or dropped, the waits for room and for flushes, and the signals
// that end them. Private to the channel manager.
//
// Where a message is counted. A message reaches the context's sendq before
// the network thread's dispatch knows its channel, so the send route itself
// resolves the destination (by the rules of the dispatch) and counts the
// message against that channel: the limit then holds from the first moment
// (a sender cannot run ahead of the dispatch), the sender can wait on the
// one channel it fills, and a send to a channel that is not open fails
// while the message is still its caller's. The message keeps the ID of the
// channel that counts it (sendq_ID). The dispatch finds the same channel in
// the normal case and has nothing to do; when the channel closed in between
// (or its name now belongs to another one) it moves or drops the count.
// Counting against the context until dispatch would have made a sender
// wait on every channel's traffic and could not tell a closed destination.
//
// The count is guarded by the channel's queue_lock. A closing channel's
// count goes to the context's dropped total, and to the flushes waiting,
// under channel_lock, so that a flush sees every byte either still queued
// or dropped, never both nor neither.
#pragma once

#include "ccm.h"

// A flush waiting now: the channel it waits for (0: all) and what was
// dropped with closed channels since it began. Guarded by channel_lock.
typedef struct __ccm_flush_watch {
  struct __ccm_flush_watch *nxt;
  int32_t ID;
  size_t dropped;
} ccm_flush_watch_t;

// Sets up and tears down the context's wait event and the defaults (ccm_open,
// ccm_close).
void ccm_sendq_init(ccm_context_t *ccm);
void ccm_sendq_destroy(ccm_context_t *ccm);

// Marks the calling thread as `ccm`'s network thread: its sends never wait.
void ccm_sendq_mark_network_thread(const ccm_context_t *ccm);

// Send routes: accepts `m` for its destination channel and counts it,
// waiting for room up to the send time-out. 0 (also when it was accepted
// already); CCM_SEND_CLOSED or CCM_SEND_TIMEDOUT with the thread's send
// error set and the message untouched. The caller holds no lock.
int ccm_sendq_admit(ccm_context_t *ccm, ccm_msg_t *m);
// Takes back the count of an accepted message that is not handed over after
// all (its framing failed). The caller holds no lock.
void ccm_sendq_cancel(ccm_context_t *ccm, ccm_msg_t *m);

// Uncounts a message that leaves `ch`'s sendq (written, or dropped as
// unsound); the caller holds ch->queue_lock. Returns whether waiters are to
// be told (ccm_sendq_notify, after the lock is released): the queue fell
// below half its limit or became empty.
bool ccm_sendq_uncount_chlocked(ccm_context_t *ccm, ccm_channel_t *ch, ccm_msg_t *m);

// Dispatch, for a message whose channel is found: `ch` (whose queue lock the
// caller holds, with channel_lock) counts it from now on, if it did not.
// The caller has moved the count off its earlier channel with
// ccm_sendq_release_locked first. Never waits.
void ccm_sendq_count_chlocked(ccm_context_t *ccm, ccm_channel_t *ch, ccm_msg_t *m);
// Takes the count of `m` off the channel that holds it, if that channel
// still exists (it may be closing); when `dropped`, the memory counts as
// dropped with it. The caller holds channel_lock and no queue lock. Returns
// whether waiters are to be told.
bool ccm_sendq_release_locked(ccm_context_t *ccm, ccm_msg_t *m, bool dropped);

// A channel leaves the table to be destroyed: what it still counts is
// dropped with it (into its sendq_dropped, the context's total and the
// waiting flushes), and its queued messages no longer count. The caller
// holds channel_lock. Returns whether waiters are to be told.
bool ccm_sendq_close_locked(ccm_context_t *ccm, ccm_channel_t *ch);

// Wakes every waiting sender and flush, if there is one, to look again. Any
// thread, any lock held (send_wait_lock is a leaf).
void ccm_sendq_notify(ccm_context_t *ccm);
