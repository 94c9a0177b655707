// Writing a channel: as much of its send queue as the socket takes without
// blocking, in pieces of at most 32768 bytes, keeping the position inside a
// partly written message and freeing each message once it is written.

#include <errno.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "ccm.h"
#include "ccm_io.h"
#include "ccm_lock.h"
#include "wq_trace.h"

namespace {

// Takes the written (or unwritable) head off the channel's sendq and frees
// it; returns the new head. The tail is left as it is (emptiness is judged by
// the head).
ccm_msg_t *drop_head(ccm_context_t *ccm, ccm_channel_t *ch, ccm_msg_t *msg) {
  ccm_msg_t *next;
  {
    CcmLockGuard ql(ch->queue_lock);
    ch->sendq.head = msg->nxt;
    next = ch->sendq.head;
  }
  ccm_msg_free(ccm, msg);
  return next;
}

}  // namespace

// Writes the channel's queued messages while the socket accepts whole pieces.
// Ancillary data of a message goes with every piece of it. Returns 0 when
// written as far as possible (also when the socket would block: the message
// keeps its position), -1 after a send error: the channel is deleted with
// close reason 2002002 and `ccmerr` is not filled. Runs on the network thread.
int ccm_write_channel(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_error_t *ccmerr) {
  (void)ccmerr;
  TRC_IN("(ccm=%p, ccmch=%p)", (void *)ccm, (void *)ccmch);
  ccm_msg_t *msg;
  {
    CcmLockGuard ql(ccmch->queue_lock);
    msg = ccmch->sendq.head;
  }

  while (msg) {
    if (msg->pos < 0 || msg->len < 0 || msg->pos > msg->len || msg->control_len > sizeof msg->control_data) {
      // Never seen in a sound queue; writing it would read outside the message.
      TRC_DUMP(msg, (int)sizeof(ccm_msg_t), "invalid CCMMSG");
      msg = drop_head(ccm, ccmch, msg);
      continue;
    }
    int chunk = msg->len - msg->pos;
    if (chunk > kCcmWriteChunk) chunk = kCcmWriteChunk;
    TRC_DUMP(msg->msg_start + msg->pos, chunk, "sendmsg() to channel(%p,s=%d/chID=%d,%s,flag=%.8X)", (void *)ccmch,
             ccmch->s, ccmch->ID, ccmch->name, (unsigned)ccm_flag_get(ccmch->flag));

    struct iovec iov;
    iov.iov_base = msg->msg_start + msg->pos;
    iov.iov_len = (size_t)chunk;
    union {
      struct cmsghdr align;
      unsigned char buf[kCcmControlSize];
    } control;
    struct msghdr mh;
    memset(&mh, 0, sizeof mh);
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    if (msg->control_len > 0) {
      // Copied into an aligned buffer: the kernel walks it as cmsghdr records.
      memcpy(control.buf, msg->control_data, msg->control_len);
      mh.msg_control = control.buf;
      mh.msg_controllen = msg->control_len;
      TRC_DUMP(msg->control_data, (int)msg->control_len, "control data");
    }

    ccmch->timestamp_last_io = time(nullptr);
    errno = 0;
    // MSG_NOSIGNAL: a peer that has gone away must not end the process with
    // SIGPIPE; the error is handled below like any other.
    ssize_t sent = sendmsg(ccmch->s, &mh, MSG_NOSIGNAL);
    int err = errno;
    if (sent < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)) {
      TRC_OUT("WouldBlock,pos=%d", msg->pos);
      return 0;
    }
    if (sent < 0) {
      ccmch->msgnr = kCcmMsgSendError;
      snprintf(ccmch->msginsert, sizeof ccmch->msginsert, "%d(%s)|%s(%d/ID=%d)|", err, strerror(err), ccmch->name,
               ccmch->s, ccmch->ID);
      ccm_channel_delete(ccm, ccmch);
      TRC_OUT("socket send() error");
      return -1;
    }
    msg->pos += (int32_t)sent;
    const bool whole_chunk = sent == chunk;
    if (msg->pos == msg->len) msg = drop_head(ccm, ccmch, msg);
    if (!whole_chunk) break;  // the socket is full; the next writable event goes on
  }

  TRC_OUT("OK");
  return 0;
}
