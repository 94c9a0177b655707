// The channel manager context: opening and closing it, its locks, and the two
// wake-up pipes between the user's thread and the network thread.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ccm.h"
#include "ccm_error.h"
#include "ccm_alloc.h"
#include "ccm_lock.h"
#include "ccm_sendq.h"
#include "ccm_wakeup.h"
#include "wq_trace.h"

namespace {
constexpr char kContextEyec[16] = {'#', '#', 'C', 'C', 'M', '_', 'C', 'O', 'N', 'E', 'X', 'T', '#', '#', '#', '#'};

// Frees every message of a queue through ccm_msg_free (which takes the queue
// lock itself) and leaves the queue empty.
void free_queue(ccm_context_t *ccm, ccm_msgq_t &q) {
  ccm_msg_t *m = q.head;
  ccmq_clear(q);
  while (m) {
    ccm_msg_t *nxt = m->nxt;
    ccm_msg_free(ccm, m);
    m = nxt;
  }
}

// Reads every byte that the (non-blocking) pipe holds. 1 when there was one.
int drain(int fd) {
  if (fd < 0) return 0;
  char buf[64];
  int any = 0;
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) any = 1;
    if (n == (ssize_t)sizeof buf || (n < 0 && errno == EINTR)) continue;
    return any;
  }
}

// The waker's side: one byte, only when no wake-up is pending. A failed
// write (a full pipe) still leaves a wake-up readable.
void wake(std::atomic<int> &pending, int fd, const char *byte) {
  if (fd == -1) return;
  if (pending.exchange(1) != 0) return;
  ssize_t rc = write(fd, byte, 1);
  (void)rc;
}

void close_pair(int fds[2]) {
  for (int i = 0; i < 2; ++i) {
    if (fds[i] != -1) close(fds[i]);
    fds[i] = -1;
  }
}
}  // namespace

int ccm_open(void *ppcx, ccm_context_t **pccm, ccm_error_t *ccmerr) {
  TRC_IN("(ppcx=%p)", ppcx);
  auto *ccm = static_cast<ccm_context_t *>(ccm_calloc(1, sizeof(ccm_context_t)));
  if (!ccm) {
    ccm_error_alloc(ccmerr, "CCM_OPEN", kCcmUnit, kCcmOpenAllocLine);
    TRC_OUT("calloc error");
    return -1;
  }
  memcpy(ccm->eyec, kContextEyec, sizeof ccm->eyec);
  pthread_mutex_init(&ccm->queue_lock, nullptr);
  pthread_mutex_init(&ccm->channel_lock, nullptr);
  ccm_sendq_init(ccm);
  ccm->unique_channel_ID = 1;
  ccm->unique_msg_ID = 1;
  ccm->network_wakeup[0] = ccm->network_wakeup[1] = -1;
  ccm->processor_wakeup[0] = ccm->processor_wakeup[1] = -1;
  ccm->program = static_cast<const ccm_program_head_t *>(ppcx);
  *pccm = ccm;

  // A host without IPv6 still gets a context; the failure is only logged.
  ccm_error_t v6err{};
  if (ccm_check_ipv6_support(&v6err) < 0) {
    __log(v6err.msgnr, "%s", v6err.msginsert);
    __log(CCM_LOG_NO_IPV6, "%s", "");
  } else {
    ccm_flag_set(ccm->flag, CCM_CTXF_IPV6);
  }
  TRC_OUT("OK(ccm=%p)", static_cast<void *>(ccm));
  return 0;
}

int ccm_close(ccm_context_t *ccm, ccm_error_t * /*ccmerr*/) {
  TRC_IN("(ccm=%p)", static_cast<void *>(ccm));
  if (!ccm) {
    TRC_OUT("ccm == null");
    return 0;
  }
  free_queue(ccm, ccm->sendq);
  free_queue(ccm, ccm->recvq);
  free_queue(ccm, ccm->msgq_inuse);
  free_queue(ccm, ccm->msgq_2dispatch);

  ccm_msg_t *m;
  {
    CcmLockGuard lock(ccm->queue_lock);
    m = ccm->msg_freeq.head;
    ccmq_clear(ccm->msg_freeq);
    ccm->nof_freemsg = 0;
  }
  while (m) {
    ccm_msg_t *nxt = m->nxt;
    TRC("free(msg(%p,msgID=%u,addr=%p,len=%d,pos=%d,flag=%.8X))", static_cast<void *>(m), (unsigned)m->ID,
        static_cast<void *>(m->buffer1), m->len, m->pos, m->flag);
    free(m);
    m = nxt;
  }

  pthread_mutex_destroy(&ccm->queue_lock);
  pthread_mutex_destroy(&ccm->channel_lock);
  ccm_sendq_destroy(ccm);
  ccm_close_wakeup_pipes(ccm);
  free(ccm);
  TRC_OUT("OK");
  return 0;
}

int ccm_queue_lock(ccm_context_t *ccm) {
  TRC_IN("()");
  pthread_mutex_lock(&ccm->queue_lock);
  TRC_OUT("OK");
  return 0;
}

int ccm_queue_unlock(ccm_context_t *ccm) {
  TRC_IN("()");
  pthread_mutex_unlock(&ccm->queue_lock);
  TRC_OUT("OK");
  return 0;
}

int ccmch_queue_lock(ccm_context_t * /*ccm*/, ccm_channel_t *ccmch) {
  TRC_IN("(chID=%d)", ccmch->ID);
  pthread_mutex_lock(&ccmch->queue_lock);
  TRC_OUT("OK");
  return 0;
}

int ccmch_queue_unlock(ccm_context_t * /*ccm*/, ccm_channel_t *ccmch) {
  TRC_IN("(chID=%d)", ccmch->ID);
  pthread_mutex_unlock(&ccmch->queue_lock);
  TRC_OUT("OK");
  return 0;
}

int ccm_channel_lock(ccm_context_t *ccm) {
  TRC_IN("()");
  pthread_mutex_lock(&ccm->channel_lock);
  TRC_OUT("OK");
  return 0;
}

int ccm_channel_unlock(ccm_context_t *ccm) {
  TRC_IN("()");
  pthread_mutex_unlock(&ccm->channel_lock);
  TRC_OUT("OK");
  return 0;
}

int ccm_create_wakeup_pipes(ccm_context_t *ccm, ccm_error_t *ccmerr) {
  TRC_IN("()");
  ccm_close_wakeup_pipes(ccm);
  // Both ends non-blocking: a waker never blocks on a full pipe, and the
  // waiting side reads until the pipe is empty.
  if (pipe2(ccm->network_wakeup, O_NONBLOCK) != 0 || pipe2(ccm->processor_wakeup, O_NONBLOCK) != 0) {
    int err = errno;
    // pipe() leaves its array untouched on failure, so the pair that was
    // not made still reads -1; the one that was made is closed again.
    close_pair(ccm->network_wakeup);
    close_pair(ccm->processor_wakeup);
    ccm_error_set(ccmerr, CCM_MSGNR_SYSCALL, "pipe(wakeups)|%d-%s|", err, wq_strerror(err));
    TRC_OUT("pipe() error");
    return -1;
  }
  ccm->network_wakeup_pending.store(0);
  ccm->processor_wakeup_pending.store(0);
  TRC("network wakeup FDs=%d,%d", ccm->network_wakeup[0], ccm->network_wakeup[1]);
  TRC("processor wakeup FDs=%d,%d", ccm->processor_wakeup[0], ccm->processor_wakeup[1]);
  TRC_OUT("OK");
  return 0;
}

int ccm_close_wakeup_pipes(ccm_context_t *ccm) {
  TRC_IN("()");
  close_pair(ccm->network_wakeup);
  close_pair(ccm->processor_wakeup);
  ccm->network_wakeup_pending.store(0);
  ccm->processor_wakeup_pending.store(0);
  TRC_OUT("OK");
  return 0;
}

int ccm_wakeup_network(ccm_context_t *ccm) {
  TRC_IN("()");
  if (ccm) wake(ccm->network_wakeup_pending, ccm->network_wakeup[1], "N");
  TRC_OUT("OK");
  return 0;
}

int ccm_wakeup_processor(ccm_context_t *ccm) {
  TRC_IN("()");
  if (ccm) wake(ccm->processor_wakeup_pending, ccm->processor_wakeup[1], "P");
  TRC_OUT("OK");
  return 0;
}

// Drain first, then reset: see ccm_wakeup.h for why this order loses nothing.
int ccm_take_network_wakeup(ccm_context_t *ccm) {
  int any = drain(ccm->network_wakeup[0]);
  ccm->network_wakeup_pending.exchange(0);
  return any;
}

int ccm_take_processor_wakeup(ccm_context_t *ccm) {
  int any = drain(ccm->processor_wakeup[0]);
  ccm->processor_wakeup_pending.exchange(0);
  return any;
}
