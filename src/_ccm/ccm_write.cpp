// Writing a channel: as much of its send queue as the socket takes without
// blocking, in pieces of at most 32768 bytes, keeping the position inside a
// partly written message and freeing each message once it is written.

#include <errno.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "ccm.h"
#include "ccm_error.h"
#include "ccm_io.h"
#include "ccm_lock.h"
#include "ccm_sendq.h"
#include "wq_trace.h"

namespace {

// Takes the written (or unwritable) head off the channel's sendq, uncounts
// and frees it, and wakes the senders and flushes waiting for the channel
// when its queue fell below half its limit or ran empty; returns the new
// head. The tail is left as it is (emptiness is judged by the head).
ccm_msg_t *drop_head(ccm_context_t *ccm, ccm_channel_t *ch, ccm_msg_t *msg) {
  ccm_msg_t *next;
  bool tell;
  {
    CcmLockGuard ql(ch->queue_lock);
    ch->sendq.head = msg->nxt;
    next = ch->sendq.head;
    tell = ccm_sendq_uncount_chlocked(ccm, ch, msg);
  }
  ccm_msg_free(ccm, msg);
  if (tell) ccm_sendq_notify(ccm);
  return next;
}

// Messages handed to one sendmsg at most.
constexpr int kGatherMax = 64;

// Whether `s` is a byte-stream socket, on which the boundaries between
// sendmsg calls are not seen by the peer.
bool is_stream_socket(int s) {
  int type = 0;
  socklen_t len = sizeof type;
  return getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM;
}

// Adds the messages queued behind `msg` to the gather list `iov`, which holds
// the rest of `msg` (*total bytes): whole messages without ancillary data, in
// queue order, as long as the list stays within kGatherMax entries and
// kCcmWriteChunk bytes. Only on a stream socket, where the bytes on the wire
// are the same as with one sendmsg per message and only the number of calls
// drops (a packet socket would see one record instead of several). Returns
// the number of entries.
int gather(ccm_channel_t *ch, ccm_msg_t *msg, struct iovec *iov, size_t *total) {
  int n = 1;
  size_t sum = *total;
  {
    CcmLockGuard ql(ch->queue_lock);
    for (ccm_msg_t *m = msg->nxt; m && n < kGatherMax; m = m->nxt) {
      if (m->control_len != 0 || m->pos != 0 || m->len < 0) break;
      if (sum + (size_t)m->len > (size_t)kCcmWriteChunk) break;
      iov[n].iov_base = m->msg_start;
      iov[n].iov_len = (size_t)m->len;
      sum += (size_t)m->len;
      ++n;
    }
  }
  if (n == 1 || !is_stream_socket(ch->s)) return 1;
  *total = sum;
  return n;
}

// A message whose position, length or ancillary data lie outside it is
// never seen in a sound queue; writing it would read outside the message.
bool is_sound(const ccm_msg_t *msg) {
  return msg->pos >= 0 && msg->len >= 0 && msg->pos <= msg->len && msg->control_len <= sizeof msg->control_data;
}

// One sendmsg: the next piece of the head message (at most kCcmWriteChunk
// bytes), the whole messages gathered behind it, and the head's ancillary
// data.
struct Piece {
  struct iovec iov[kGatherMax];
  int niov;
  size_t total;
  struct msghdr mh;
  union {
    struct cmsghdr align;
    unsigned char buf[kCcmControlSize];
  } control;  // last: cmsghdr ends in a flexible array
};

void build_piece(ccm_channel_t *ch, ccm_msg_t *msg, Piece *p) {
  int chunk = msg->len - msg->pos;
  if (chunk > kCcmWriteChunk) chunk = kCcmWriteChunk;
  TRC_DUMP(msg->msg_start + msg->pos, chunk, "sendmsg() to channel(%p,s=%d/chID=%d,%s,flag=%.8X)", (void *)ch, ch->s,
           ch->ID, ch->name, (unsigned)ccm_flag_get(ch->flag));
  p->iov[0].iov_base = msg->msg_start + msg->pos;
  p->iov[0].iov_len = (size_t)chunk;
  p->niov = 1;
  p->total = (size_t)chunk;
  if (msg->control_len == 0 && !WQ_TRACE_ON() && msg->pos + chunk == msg->len) p->niov = gather(ch, msg, p->iov, &p->total);
  memset(&p->mh, 0, sizeof p->mh);
  p->mh.msg_iov = p->iov;
  p->mh.msg_iovlen = (size_t)p->niov;
  if (msg->control_len > 0) {
    // Copied into an aligned buffer: the kernel walks it as cmsghdr records.
    memcpy(p->control.buf, msg->control_data, msg->control_len);
    p->mh.msg_control = p->control.buf;
    p->mh.msg_controllen = msg->control_len;
    TRC_DUMP(msg->control_data, (int)msg->control_len, "control data");
  }
}

// Sends the piece; the result of sendmsg, with its errno in *err.
ssize_t send_piece(ccm_channel_t *ch, Piece *p, int *err) {
  ccm_stamp_io(ch);
  errno = 0;
  // MSG_NOSIGNAL: a peer that has gone away must not end the process with
  // SIGPIPE; the error is handled like any other. MSG_DONTWAIT: a channel
  // whose descriptor came in blocking (made by a user, or passed from
  // another process) must not hold the network thread either.
  ssize_t sent = sendmsg(ch->s, &p->mh, MSG_NOSIGNAL | MSG_DONTWAIT);
  *err = errno;
  return sent;
}

// Moves the positions of the gathered messages on by the `sent` bytes, in
// queue order; each one that is complete leaves the queue. Returns the new
// head of the queue.
ccm_msg_t *account_sent(ccm_context_t *ccm, ccm_channel_t *ch, ccm_msg_t *msg, const Piece &p, size_t sent) {
  size_t left = sent;
  for (int i = 0; i < p.niov && msg; ++i) {
    size_t take = left < p.iov[i].iov_len ? left : p.iov[i].iov_len;
    msg->pos += (int32_t)take;
    left -= take;
    if (msg->pos != msg->len) break;
    msg = drop_head(ccm, ch, msg);
  }
  return msg;
}

}  // namespace

int ccm_write_channel(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_error_t * /*ccmerr*/) {
  TRC_IN("(ccm=%p, ccmch=%p)", (void *)ccm, (void *)ccmch);
  ccm_msg_t *msg;
  {
    CcmLockGuard ql(ccmch->queue_lock);
    msg = ccmch->sendq.head;
  }
  while (msg) {
    if (!is_sound(msg)) {
      TRC_DUMP(msg, (int)sizeof(ccm_msg_t), "invalid CCMMSG");
      msg = drop_head(ccm, ccmch, msg);
      continue;
    }
    Piece piece;
    build_piece(ccmch, msg, &piece);
    int err = 0;
    ssize_t sent = send_piece(ccmch, &piece, &err);
    if (sent < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)) {
      ccmch->send_wait = CCM_SEND_FULL;
      TRC_OUT("WouldBlock,pos=%d", msg->pos);
      return 0;
    }
    if (sent < 0) {
      ccm_channel_set_reason(ccmch, CCM_MSGNR_SEND, "%d(%s)|%s(%d/ID=%d)|", err, wq_strerror(err),
                             ccmch->name, ccmch->s, ccmch->ID);
      ccm_channel_delete(ccm, ccmch);
      TRC_OUT("socket send() error");
      return -1;
    }
    msg = account_sent(ccm, ccmch, msg, piece, (size_t)sent);
    if ((size_t)sent != piece.total) {
      ccmch->send_wait = CCM_SEND_FULL;  // the socket is full; the next writable event goes on
      break;
    }
  }
  if (!msg) ccmch->send_wait = CCM_SEND_READY;
  TRC_OUT("OK");
  return 0;
}
