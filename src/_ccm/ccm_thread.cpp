// The network thread: starting, running and stopping it, taking over newly
// chained channels, handing the context's send queue to the channels, and
// the internal channel pair.
//
// All socket work of a context happens on this one thread. The user's
// threads append to channel_newq and to the context's sendq and wake it
// through the network wake-up pipe (one byte while no wake-up is pending);
// the thread picks both up at the start of every select pass.

#include <errno.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "ccm.h"
#include "ccm_error.h"
#include "ccm_io.h"
#include "ccm_lock.h"
#include "ccm_sendq.h"
#include "wq_trace.h"
#include "zudnst.h"

int ccm_thread_start(ccm_context_t *ccm, ccm_error_t *ccmerr) {
  TRC_IN("(ccm=%p)", (void *)ccm);
  pthread_attr_init(&ccm->thread_attr);
  pthread_attr_setdetachstate(&ccm->thread_attr, PTHREAD_CREATE_JOINABLE);

  if (ccm_create_wakeup_pipes(ccm, ccmerr) != 0) {
    pthread_attr_destroy(&ccm->thread_attr);
    TRC_OUT("error creating wakeup pipes");
    return -1;
  }

  // Only this call sets loop to 1, and it does so before the thread exists,
  // so a stop requested at any moment after the start is never overwritten.
  ccm_loop_set(ccm, 1);

  errno = 0;
  int rc = pthread_create(&ccm->thread, &ccm->thread_attr, ccm_thread_run, ccm);
  int err = errno;
  pthread_attr_destroy(&ccm->thread_attr);
  if (rc != 0) {
    // pthread_create reports its error as the result; errno may be 0.
    if (err == 0) err = rc;
    ccm_loop_set(ccm, 0);
    ccm_error_set(ccmerr, CCM_MSGNR_THREAD, "%s|%s=%d(%d-%s)", "CCM-thread", "pthread_create()", rc, err,
                  wq_strerror(err));
    TRC_OUT("pthread_create() error");
    return -1;
  }
  TRC_OUT("OK");
  return 0;
}

// The thread's start routine: one select pass after the other while `loop`
// is set, each followed by the sweep of deleted channels when one is pending.
// Channels and pipes are left for the user to close after the join.
void *ccm_thread_run(void *pccm) {
  ccm_context_t *ccm = static_cast<ccm_context_t *>(pccm);
  TRC_IN("(ccm=%p)", pccm);

  char name[33] = "";
  switch (ccm_running_mode(ccm)) {
    case CCM_MODE_AGENT: StringCopy(name, sizeof name, "AGENT/CCM"); break;
    case CCM_MODE_LISTENER: StringCopy(name, sizeof name, "LISTENER/CCM"); break;
    case CCM_MODE_FTX: StringCopy(name, sizeof name, "FTX/CCM"); break;
    default: break;
  }
  ccm_sendq_mark_network_thread(ccm);  // its own sends (a logger's) never wait
  __log(CCM_LOG_THREAD_RUNNING, "%s", name);

  ccm_error_t err;
  while (ccm_flag_get(ccm->loop) != 0) {
    memset(&err, 0, sizeof err);
    // A failed pass is reported into err only; the next pass follows at once.
    ccm_network_select(ccm, 10, &err);
    if (ccm_flag_test(ccm->flag, CCM_CTXF_DELETED)) ccm_destroy_deleted_channels(ccm);
  }

  TRC("ccm_thread_run <-- (BYE-BYE)");
  // Returning from the start routine ends the thread exactly as
  // pthread_exit(NULL) would, but without the forced unwind behind
  // pthread_exit, for which glibc loads libgcc_s into the process at run
  // time: a measurable part of a messenger's whole run.
  return nullptr;
}

int ccm_thread_stop(ccm_context_t *ccm) {
  TRC_IN("(ccm=%p)", (void *)ccm);
  if (!ccm) {
    TRC_OUT("ccm == null");
    return 0;
  }
  ccm_loop_set(ccm, 0);
  ccm_wakeup_network(ccm);
  TRC("stopping network thread initiated");
  TRC_OUT("OK");
  return 0;
}

int ccm_channel_merge_newq(ccm_context_t *ccm) {
  if (!ccm->channel_newq.head) return 0;
  if (ccm->channelq.head)
    ccm->channelq.tail->nxt = ccm->channel_newq.head;
  else
    ccm->channelq.head = ccm->channel_newq.head;
  ccm->channelq.tail = ccm->channel_newq.tail;
  ccmq_clear(ccm->channel_newq);
  return 0;
}

// Moves every message of the context's sendq to the sendq of its destination
// channel: by dst_ID when set, else by the channel named dst_addr ("*CP..."
// is rewritten to "*SERVER" first). A message without a live destination is
// freed, unless it carries message flag 0x8, in which case it only leaves the
// batch; either way it no longer counts against a channel's send-queue
// limit. Runs on the network thread only. Returns 0.
int ccm_dispatch_send_messages(ccm_context_t *ccm) {
  TRC_IN("(ccm=%p)", (void *)ccm);
  {
    CcmLockGuard ql(ccm->queue_lock);
    ccm->msgq_2dispatch = ccm->sendq;
    ccmq_clear(ccm->sendq);
  }

  // The batch belongs to the network thread alone while it is walked, so it is
  // walked without the queue lock; the lock order forbids holding the queue
  // lock across the channel lookups anyway. Its head stays set until every
  // message has reached its channel: ccm_is_all_sendq_empty reads it (under
  // the queue lock) to see messages that are in neither kind of sendq.
  int count = 0;
  ccm_msg_t *next = nullptr;
  for (ccm_msg_t *msg = ccm->msgq_2dispatch.head; msg; msg = next) {
    next = msg->nxt;
    ++count;
    TRC_LINE("%s:        ==> msg(%p,msgID=%u,addr=%p,len=%d,pos=%d,flag=%.8X)", (void *)msg, (unsigned)msg->ID,
             (void *)msg->msg_start, msg->len, msg->pos, msg->flag);

    if (strncmp(msg->addr.dst_addr, "*CP", 3) == 0)
      StringCopy(msg->addr.dst_addr, sizeof msg->addr.dst_addr, "*SERVER");

    ccm_channel_t *ch = msg->addr.dst_ID != 0 ? ccm_channel_getbyID(ccm, msg->addr.dst_ID)
                                              : ccm_channel_getbyName(ccm, msg->addr.dst_addr);
    if (!ch) {
      // Its channel closed after the send route counted it: the count goes
      // (as dropped) if the channel is still there.
      bool tell = false;
      if (msg->sendq_ID != 0) {
        CcmLockGuard cl(ccm->channel_lock);
        tell = ccm_sendq_release_locked(ccm, msg, true);
      }
      if (tell) ccm_sendq_notify(ccm);
      if (msg->flag & CCM_MSGF_KEEP) {
        msg->nxt = nullptr;  // left to its owner
      } else {
        ccm_msg_free(ccm, msg);
      }
      continue;
    }

    bool tell = false;
    {
      CcmChannelLockHeld held(ccm);  // the lookup returned with channel_lock held
      TRC("send to the partner (name : '%s' function : '%s', call back :'%08X')", ch->name,
          msg->addr.dst_name, (unsigned)msg->addr.dst_ID);
      msg->pATctx = ch->pATctx;
      if (ccm_flag_test(ch->flag, CCM_CHF_SECURED) && msg->type == CCM_MSG_NAT) msg->flag |= CCM_MSGF_SECURED;
      // Normally the send route counted it for this very channel. Otherwise
      // (its name now belongs to another channel, or it was queued by hand)
      // this channel counts it from now on.
      if (msg->sendq_ID != ch->ID) tell = ccm_sendq_release_locked(ccm, msg, false);
      CcmLockGuard chql(ch->queue_lock);
      ccm_sendq_count_chlocked(ccm, ch, msg);
      ccmq_append(ch->sendq, msg);
    }
    if (tell) ccm_sendq_notify(ccm);
  }
  {
    CcmLockGuard ql(ccm->queue_lock);
    ccmq_clear(ccm->msgq_2dispatch);
  }
  TRC_OUT("number of dispatched messages = %d", count);
  return 0;
}

int ccm_channel_maintenance(ccm_context_t *ccm) {
  TRC_IN("(ccm=%p)", (void *)ccm);
  TRC_OUT("OK");
  return 0;
}

// Destroys an entry that never got chained, without log line or notice
// (type -1 is the silent kind). `fd` becomes its descriptor and is closed.
static void discard_unchained(ccm_context_t *ccm, ccm_channel_t *ch, int fd) {
  if (!ch) {
    if (fd >= 0) close(fd);
    return;
  }
  ccm_error_t err;
  memset(&err, 0, sizeof err);
  ch->type = CCM_CH_SILENT;
  ch->s = fd;
  ccm_channel_destroy(ccm, ch, &err);
}

// Creates two channels joined by a local stream socket pair, both
// non-blocking, and chains them (the first, then the second). Returns 0 with
// *pch1/*pch2 set, or -1 with `ccmerr` filled; on failure nothing is left
// open or allocated.
int ccm_channel_create_pair(ccm_context_t *ccm, ccm_channel_t **pch1, ccm_channel_t **pch2, ccm_error_t *ccmerr) {
  TRC_IN("(ccm=%p)", (void *)ccm);
  ccm_channel_t *ch1 = nullptr;
  ccm_channel_t *ch2 = nullptr;
  if (ccm_channel_new_entry(ccm, &ch1, ccmerr) != 0) {
    TRC_OUT("error creating channel entry (WAKEUP)");
    return -1;
  }
  if (ccm_channel_new_entry(ccm, &ch2, ccmerr) != 0) {
    discard_unchained(ccm, ch1, -1);
    TRC_OUT("error creating channel entry (SIGNAL)");
    return -1;
  }

  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
    int err = errno;
    ccm_error_set(ccmerr, CCM_MSGNR_SYSCALL, "socketpair()|%d-%s|", err, wq_strerror(err));
    discard_unchained(ccm, ch1, -1);
    discard_unchained(ccm, ch2, -1);
    TRC_OUT("error creating socket pair");
    return -1;
  }
  ch1->s = sv[0];
  ch2->s = sv[1];

  int on = 1;
  if (ioctl(ch1->s, FIONBIO, &on) != 0 || ioctl(ch2->s, FIONBIO, &on) != 0) {
    ccm_error_set(ccmerr, CCM_MSGNR_NONBLOCK, "%s", "");
    discard_unchained(ccm, ch1, sv[0]);
    discard_unchained(ccm, ch2, sv[1]);
    TRC_OUT("ioctl error, dontblock");
    return -1;
  }

  *pch1 = ch1;
  *pch2 = ch2;
  ccm_channel_chain(ccm, ch1);
  ccm_channel_chain(ccm, ch2);
  TRC("WAKEUP channel(%p,s=%d/chID=%d,%s)", (void *)ch1, ch1->s, ch1->ID, ch1->name);
  TRC("SIGNAL channel(%p,s=%d/chID=%d,%s)", (void *)ch2, ch2->s, ch2->ID, ch2->name);
  TRC_OUT("OK");
  return 0;
}
