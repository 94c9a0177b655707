// The channel table: creating, chaining, looking up, marking deleted and
// destroying channels, and the two sweeps over the context's channel list.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ccm.h"
#include "ccm_error.h"
#include "ccm_alloc.h"
#include "ccm_io.h"
#include "ccm_lock.h"
#include "ccm_sendq.h"
#include "ipcmsg.h"
#include "wq_trace.h"

namespace {
constexpr char kChannelEyec[16] = {'#', '#', 'C', 'C', 'M', '#', 'C', 'H', 'A', 'N', 'N', 'E', 'L', '#', '#', '#'};

bool is_live(const ccm_channel_t *ch) { return !ccm_flag_test(ch->flag, CCM_CHF_DELETED); }

// First live channel of `q` for which `match` holds. Caller holds channel_lock.
template <typename Match>
ccm_channel_t *find_in(const ccm_channelq_t &q, Match match) {
  for (ccm_channel_t *ch = q.head; ch; ch = ch->nxt)
    if (is_live(ch) && match(ch)) return ch;
  return nullptr;
}

// Takes channel_lock and looks for the first live channel for which `match`
// holds, in channelq and, when `with_newq`, in channel_newq. A found channel
// is returned with the lock still held; otherwise the lock is released.
template <typename Match>
ccm_channel_t *lookup_locked(ccm_context_t *ccm, bool with_newq, Match match) {
  pthread_mutex_lock(&ccm->channel_lock);
  ccm_channel_t *ch = find_in(ccm->channelq, match);
  if (!ch && with_newq) ch = find_in(ccm->channel_newq, match);
  if (!ch) pthread_mutex_unlock(&ccm->channel_lock);
  return ch;
}

// Puts a "CHANNEL_CLOSE" notice with a copy of the channel (and of its user
// context) into the context's receive queue. Without memory the notice is
// skipped.
void post_close_notice(ccm_context_t *ccm, ccm_channel_t *ch) {
  ccm_error_t err{};
  ccm_msg_t *m = ccm_msg_alloc_huge(ccm, kCcmNormalSize, &err);
  if (!m) {
    TRC("no message for the close notice of chID=%d", ch->ID);
    return;
  }
  ipcmsg_channel_close_t rec;
  memset(&rec, 0, sizeof rec);
  strncpy(rec.head.msgtype, "CHANNEL_CLOSE", sizeof rec.head.msgtype);
  memcpy(static_cast<void *>(&rec.ccmch), ch, sizeof rec.ccmch);
  if (ch->cuc) memcpy(static_cast<void *>(&rec.cuc), ch->cuc, sizeof rec.cuc);
  memcpy(m->msg_start, &rec, sizeof rec);
  m->len = static_cast<int32_t>(sizeof rec);
  send_IPC_internal(ccm, m);
}
}  // namespace

int ccm_close_nowait(int fd) {
  if (fd < 0) return 0;
  // Only a lingering close with time left waits; a socket without linger, or
  // with linger 0 (its owner wants a reset), is closed as it is. On anything
  // that is no socket getsockopt fails and the descriptor is closed as well.
  struct linger l;
  memset(&l, 0, sizeof l);
  socklen_t len = sizeof l;
  if (getsockopt(fd, SOL_SOCKET, SO_LINGER, &l, &len) == 0 && l.l_onoff != 0 && l.l_linger > 0) {
    l.l_onoff = 0;
    l.l_linger = 0;
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  return close(fd);
}

char *ccm_channel_describe(const ccm_channel_t *ch, char *buf, size_t size) {
  int flag = ccm_flag_get(ch->flag);
  snprintf(buf, size,
           "channel(name=%-20s,chID=%d,s=%d,type=%.8X,flag=%.8X,%s,host=%s(%s),port=%d,sendq=%p)", ch->name,
           ch->ID, ch->s, static_cast<unsigned>(ch->type), static_cast<unsigned>(flag),
           (flag & CCM_CHF_DELETED) ? "deleted" : "active", ch->host, ch->addr, ch->port,
           static_cast<void *>(ch->sendq.head));
  return buf;
}

int ccm_channel_new_entry(ccm_context_t *ccm, ccm_channel_t **ccmch, ccm_error_t *ccmerr) {
  TRC_IN("()");
  auto *ch = static_cast<ccm_channel_t *>(ccm_calloc(1, sizeof(ccm_channel_t)));
  if (!ch) {
    ccm_error_alloc(ccmerr, "CREATE_CHANNEL", kCcmUnit, kCreateChannelAllocLine);
    TRC_OUT("calloc error, message queue");
    return -1;
  }
  memcpy(ch->eyec, kChannelEyec, sizeof ch->eyec);
  pthread_mutex_init(&ch->queue_lock, nullptr);
  // No descriptor yet: destroying the entry before its creator sets one
  // must not close descriptor 0.
  ch->s = -1;
  {
    CcmLockGuard lock(ccm->channel_lock);
    ch->ID = ccm->unique_channel_ID;
    ccm->unique_channel_ID++;
  }
  snprintf(ch->name, sizeof ch->name, "*ID%d", ch->ID);
  *ccmch = ch;
  TRC_OUT("OK(chID=%d)", ch->ID);
  return 0;
}

int ccm_channel_chain(ccm_context_t *ccm, ccm_channel_t *ccmch) {
  TRC_IN("(chID=%d)", ccmch->ID);
  char eyec[32];
  snprintf(eyec, sizeof eyec, "#CCMSOCK%.8d", ccmch->ID);
  memcpy(ccmch->eyec, eyec, sizeof ccmch->eyec);
  {
    CcmLockGuard lock(ccm->channel_lock);
    ccmq_append(ccm->channel_newq, ccmch);
  }
  TRC_OUT("OK");
  return 0;
}

ccm_channel_t *ccm_channel_getbyID(ccm_context_t *ccm, int ID) {
  TRC_IN("(ID=%d)", ID);
  ccm_channel_t *ch = lookup_locked(ccm, true, [ID](const ccm_channel_t *c) { return c->ID == ID; });
  if (!ch) {
    TRC_OUT("not found");
    return nullptr;
  }
  TRC_OUT("OK(channel=%p)", static_cast<void *>(ch));
  return ch;  // channel_lock stays held
}

ccm_channel_t *ccm_channel_getbyRemoteID(ccm_context_t *ccm, int ID) {
  TRC_IN("(remoteID=%d)", ID);
  ccm_channel_t *ch = lookup_locked(ccm, false, [ID](const ccm_channel_t *c) { return c->remoteID == ID; });
  if (!ch) {
    TRC_OUT("not found");
    return nullptr;
  }
  TRC_OUT("OK(channel=%p)", static_cast<void *>(ch));
  return ch;  // channel_lock stays held
}

ccm_channel_t *ccm_channel_getbyName(ccm_context_t *ccm, const char *name) {
  TRC_IN("(name=%s)", name ? name : "(null)");
  if (!name) {
    TRC_OUT("name == null");
    return nullptr;
  }
  ccm_channel_t *ch = lookup_locked(ccm, true, [name](const ccm_channel_t *c) { return strcmp(c->name, name) == 0; });
  if (!ch) {
    TRC_OUT("not found");
    return nullptr;
  }
  TRC_OUT("OK(channel=%p)", static_cast<void *>(ch));
  return ch;  // channel_lock stays held
}

int ccm_channel_existbyID(ccm_context_t *ccm, int ID) {
  TRC_IN("(ID=%d)", ID);
  if (ccm_channel_getbyID(ccm, ID)) {
    pthread_mutex_unlock(&ccm->channel_lock);
    TRC_OUT("AGENT[ID=%i] EXISTS", ID);
    return 1;
  }
  TRC_OUT("AGENT[ID=%i] does NOT exists", ID);
  return 0;
}

int ccm_channel_existbyName(ccm_context_t *ccm, const char *name) {
  TRC_IN("(name=%s)", name ? name : "(null)");
  if (ccm_channel_getbyName(ccm, name)) {
    pthread_mutex_unlock(&ccm->channel_lock);
    TRC_OUT("AGENT[name=%s] EXISTS", name);
    return 1;
  }
  TRC_OUT("AGENT[name=%s] does NOT exists", name ? name : "(null)");
  return 0;
}

int ccm_channel_get_ip(ccm_context_t *ccm, int ID, const char *name, char * /*ip*/, ccm_error_t * /*ccmerr*/) {
  TRC_IN("(ID=%d,name=%s)", ID, name ? name : "(null)");
  ccm_channel_t *ch = ID >= 1 ? ccm_channel_getbyID(ccm, ID) : nullptr;
  if (!ch) ch = ccm_channel_getbyName(ccm, name);
  if (!ch) {
    TRC_OUT("channel not found, ID=%d, name=%s", ID, name ? name : "(null)");
    return -1;
  }
  pthread_mutex_unlock(&ccm->channel_lock);
  TRC_OUT("OK");
  return 0;
}

// The wake-up ends the network thread's wait at once, so that the channel is
// closed (and its notice posted) now rather than after a select time-out; on
// the network thread itself it costs one more pass at most.
int ccm_channel_delete(ccm_context_t *ccm, ccm_channel_t *ccmch) {
  TRC_IN("(chID=%d)", ccmch ? ccmch->ID : 0);
  if (ccmch) {
    ccm_flag_set(ccmch->flag, CCM_CHF_DELETED);
    ccm_flag_set(ccm->flag, CCM_CTXF_DELETED);
    ccm_wakeup_network(ccm);
    ccm_sendq_notify(ccm);  // senders waiting for room in it fail now
  }
  TRC_OUT("OK");
  return 0;
}

int ccm_channel_deletebyID(ccm_context_t *ccm, int ID) {
  TRC_IN("(ID=%d)", ID);
  ccm_channel_t *ch = ccm_channel_getbyID(ccm, ID);
  if (ch) {
    ccm_channel_delete(ccm, ch);
    pthread_mutex_unlock(&ccm->channel_lock);
  }
  TRC_OUT("channel=%p deleted", static_cast<void *>(ch));
  return 0;
}

int ccm_channel_deletebyName(ccm_context_t *ccm, const char *name) {
  TRC_IN("(name=%s)", name ? name : "(null)");
  ccm_channel_t *ch = ccm_channel_getbyName(ccm, name);
  if (ch) {
    ccm_channel_delete(ccm, ch);
    pthread_mutex_unlock(&ccm->channel_lock);
  }
  TRC_OUT("channel=%p deleted", static_cast<void *>(ch));
  return 0;
}

int ccm_channel_destroy(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_error_t * /*ccmerr*/) {
  TRC_IN("(channel=%p)", static_cast<void *>(ccmch));
  if (!ccmch) {
    TRC_OUT("ccmch == null");
    return 0;
  }
  ccm_channel_t *ch = ccmch;
  if (ch->msgnr != 0) __log(ch->msgnr, "%s", ch->msginsert);

  switch (ch->type) {
    case CCM_CH_SILENT:
      break;
    case CCM_CH_LISTEN:
      __log(CCM_LOG_CLOSED, "s=%d,ID=%d|%s", ch->s, ch->ID, "*LISTEN");
      break;
    case CCM_CH_SERVER:
    case CCM_CH_CP:
      __log(CCM_LOG_CLOSED_SERVER, "%s(s=%d,ID=%d)", ch->name, ch->s, ch->ID);
      break;
    case CCM_CH_AGENT:
      __log(CCM_LOG_CLOSED_AGENT, "%s(s=%d,ID=%d)", ch->name, ch->s, ch->ID);
      break;
    default:
      __log(CCM_LOG_CLOSED, "s=%d,ID=%d|%s", ch->s, ch->ID, ch->name);
      break;
  }
  if (ch->type != CCM_CH_UNWATCHED && ch->type != CCM_CH_SILENT) post_close_notice(ccm, ch);

  ccm_channel_emptying_msg_queue(ccm, ch);
  ccm_read_release(ccm, ch);  // a large frame in progress, descriptors no frame took
  free(ch->recv_buffer);
  free(ch->send_buffer);
  free(ch->cuc);
  if (ch->s >= 0) {
    TRC("closing socket = %d", ch->s);
    ccm_close_nowait(ch->s);
    ch->s = -1;
  }
  pthread_mutex_destroy(&ch->queue_lock);
  memset(static_cast<void *>(ch), 0, sizeof *ch);
  free(ch);
  TRC_OUT("OK");
  return 0;
}

int ccm_channel_bindaddr_inquire(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_error_t *ccmerr) {
  TRC_IN("(chID=%d)", ccmch->ID);
  if (strncmp(ccmch->name, "*IPC", 4) == 0) {
    ccm_flag_set(ccmch->flag, CCM_CHF_BINDADDR);
    TRC_OUT("IPC channel, no bind addr");
    return 0;
  }
  struct sockaddr_in6 local;
  memset(&local, 0, sizeof local);
  socklen_t len = sizeof local;
  if (getsockname(ccmch->s, reinterpret_cast<struct sockaddr *>(&local), &len) != 0) {
    int err = errno;
    ccm_channel_delete(ccm, ccmch);
    ccm_error_set(ccmerr, CCM_MSGNR_SYSCALL, "getsockname()|%d(%s),S(%d(ID=%d))|", err, wq_strerror(err),
                  ccmch->s, ccmch->ID);
    TRC_OUT("getsockname() error, bind address");
    return -1;
  }
  // A successful call settles the address; errno carries no meaning after it.
  ccm_address2string(&local, ccmch->bind_addr, sizeof ccmch->bind_addr);
  ccm_flag_set(ccmch->flag, CCM_CHF_BINDADDR);
  TRC_OUT("OK, bind address = %s", ccmch->bind_addr);
  return 0;
}

int ccm_channel_closeall(ccm_context_t *ccm) {
  TRC_IN("()");
  if (!ccm) {
    TRC_OUT("ccm == null");
    return 0;
  }
  // Channels chained after the network thread's last pass are still in
  // channel_newq; they own descriptors and memory as well. Both lists are
  // taken under channel_lock and destroyed after it is released: destroying
  // logs, and a logger may send (ipc_logger), which takes channel_lock.
  ccm_channel_t *lists[2];
  {
    CcmLockGuard lock(ccm->channel_lock);
    int i = 0;
    for (ccm_channelq_t *q : {&ccm->channelq, &ccm->channel_newq}) {
      lists[i++] = q->head;
      for (ccm_channel_t *ch = q->head; ch; ch = ch->nxt) ccm_sendq_close_locked(ccm, ch);
      ccmq_clear(*q);
    }
  }
  ccm_sendq_notify(ccm);
  for (ccm_channel_t *ch : lists) {
    while (ch) {
      ccm_channel_t *nxt = ch->nxt;
      ccm_channel_destroy(ccm, ch, nullptr);
      ch = nxt;
    }
  }
  TRC_OUT("OK");
  return 0;
}

int ccm_destroy_deleted_channels(ccm_context_t *ccm) {
  TRC_IN("()");
  // A channel whose peer ended or failed first hands over its complete
  // frames; while some wait for room it stays, and its notice follows them.
  for (ccm_channel_t *ch = ccm->channelq.head; ch; ch = ch->nxt)
    if (!is_live(ch)) ccm_read_deliver_held(ccm, ch);
  ccm_channelq_t doomed{};
  {
    CcmLockGuard lock(ccm->channel_lock);
    ccm_channel_t *ch = ccm->channelq.head;
    ccmq_clear(ccm->channelq);
    while (ch) {
      ccm_channel_t *nxt = ch->nxt;
      if (WQ_TRACE_ON()) {
        char desc[512];
        TRC("%s", ccm_channel_describe(ch, desc, sizeof desc));
      }
      if (is_live(ch) || ch->recv_held) {
        ccmq_append(ccm->channelq, ch);
      } else {
        ccm_sendq_close_locked(ccm, ch);  // what it still counts is dropped with it
        ccmq_append(doomed, ch);
      }
      ch = nxt;
    }
    ccm_flag_clear(ccm->flag, CCM_CTXF_DELETED);
  }
  if (doomed.head) ccm_sendq_notify(ccm);
  int n = 0;
  for (ccm_channel_t *ch = doomed.head; ch;) {
    ccm_channel_t *nxt = ch->nxt;
    ccm_channel_destroy(ccm, ch, nullptr);
    ch = nxt;
    ++n;
  }
  if (n > 0) ccm->accept_resume_ms = 0;  // a descriptor is free: listening channels try again
  TRC_OUT("number of deleted channels = %d", n);
  return 0;
}
