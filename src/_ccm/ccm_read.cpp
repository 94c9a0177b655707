// Reading a channel: the per-channel receive buffer, cutting frames by the
// length in their protocol header, classifying them (IPC, GSS, native) and
// unpacking the key blocks of native and NAT frames into the message.
//
// Nothing read from a socket is trusted: every length field is checked
// against the bytes that are actually there before anything is copied. A
// frame that breaks a rule is invalid; its channel gets the close reason
// 2002036 with an insert naming the fault and is deleted. The rules:
//   - cLength not a number, or below 48: invalid (the frame could not even
//     hold its header);
//   - a length field or block content running past the end of the frame:
//     invalid;
//   - a name or address block (also inside a callback block) of more than 63
//     bytes: invalid, because cutting a routing address could misroute;
//   - an access-value block of more than 4 bytes: invalid;
//   - a callback block larger than its 256-byte work area, or with a
//     sub-block running past its end: invalid;
//   - an unknown sub-block key in a callback block is logged ("invalid kz")
//     and ends the walk of that callback block only.

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ccm.h"
#include "ccm_alloc.h"
#include "ccm_io.h"
#include "ccm_lock.h"
#include "ctools.h"
#include "wq_sr.h"
#include "wq_trace.h"
#include "zudnst.h"

namespace {

// Size of the length field that follows each key byte; 0 for an unknown key.
int key_length_field(unsigned key) {
  switch (key) {
    case 0x01: case 0x02: case 0x03: case 0x04: case 0x07: return 1;
    case 0x3B: case 0xF9: case 0xFD: case 0xFE: return 2;
    case 0xFF: return 4;
    case 0x41: case 0x44: return 7;
    default: return 0;
  }
}

bool is_moved_data_key(unsigned key) {
  return key == 0x04 || key == 0x07 || key == 0x3B || key == 0x41 || key == 0x44 || key == 0xF9;
}

// Content length of the block at `blk` whose length field has `keylen` bytes
// (the field must be present). -1 when a decimal field is negative.
int64_t content_length(const unsigned char *blk, int keylen) {
  switch (keylen) {
    case 1: return blk[1];
    case 2: return wq_get_u16(blk + 1);
    case 4: return wq_get_u32(blk + 1);
    case 7: {
      char digits[8] = {0};
      memcpy(digits, blk + 1, 7);
      long v = strtol(digits, nullptr, 10);  // as atoi: no digits reads as 0
      return v < 0 ? -1 : v;
    }
    default: return -1;
  }
}

// Fills `ccmerr` with the close reason of an invalid frame. Returns -1.
int invalid_frame(ccm_error_t *ccmerr, const ccm_channel_t *ch, const char *what) {
  ccmerr->msgnr = kCcmMsgRecvError;
  snprintf(ccmerr->msginsert, sizeof ccmerr->msginsert, "%s|invalid frame(%s),S(%d(ID=%d))|", ch ? ch->name : "",
           what, ch ? ch->s : -1, ch ? ch->ID : 0);
  return -1;
}

// Copies a text block of `n` (at most 63) bytes into a 64-byte address field,
// clearing the field first so that no byte of an earlier value survives.
void set_text(char *field, const unsigned char *src, int64_t n) {
  memset(field, 0, 64);
  memcpy(field, src, (size_t)n);
}

// Copies an access value of `n` (at most 4) raw bytes, host order.
void set_acv(int32_t *field, const unsigned char *src, int64_t n) {
  unsigned char raw[4] = {0, 0, 0, 0};
  memcpy(raw, src, (size_t)n);
  memcpy(field, raw, sizeof raw);
}

// Walks the sub-blocks of a callback (0xFD) block of `n` content bytes.
int parse_callback(const ccm_channel_t *ch, ccm_msg_t *msg, const unsigned char *content, int64_t n,
                   ccm_error_t *ccmerr) {
  if (n > kCcmCallbackArea) return invalid_frame(ccmerr, ch, "callback block larger than 256 bytes");
  unsigned char work[kCcmCallbackArea];
  memcpy(work, content, (size_t)n);
  int64_t cp = 0;
  while (cp < n) {
    unsigned key = work[cp];
    if (key != 0x01 && key != 0x02 && key != 0x03) {
      __log(-1, "invalid kz");
      break;  // the rest of this callback block is skipped, the body goes on
    }
    if (cp + 2 > n) return invalid_frame(ccmerr, ch, "callback sub-block length cut");
    int64_t len = work[cp + 1];
    if (cp + 2 + len > n) return invalid_frame(ccmerr, ch, "callback sub-block runs past its block");
    const unsigned char *data = work + cp + 2;
    if (key == 0x02) {
      if (len > 4) return invalid_frame(ccmerr, ch, "callback access value longer than 4 bytes");
      set_acv(&msg->addr.src_acv, data, len);
    } else {
      if (len > kCcmAddrTextMax) return invalid_frame(ccmerr, ch, "callback name or address longer than 63 bytes");
      set_text(key == 0x01 ? msg->addr.src_name : msg->addr.src_addr, data, len);
    }
    cp += 2 + len;
  }
  return 0;
}

// Closes the descriptors of an SCM_RIGHTS record that no frame took over, so
// that descriptors sent with a piece of a longer frame do not pile up.
void close_passed_descriptors(struct msghdr *mh) {
  for (struct cmsghdr *c = CMSG_FIRSTHDR(mh); c; c = CMSG_NXTHDR(mh, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    size_t nfd = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < nfd; ++i) {
      int fd;
      memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      ccm_close_nowait(fd);
    }
  }
}

// Grows the receive buffer of `ch` by 8192 bytes, or at once to the size of a
// frame whose header is already buffered. Returns 0, or -1 (3301).
int grow_receive_buffer(ccm_context_t *ccm, ccm_channel_t *ch, ccm_error_t *ccmerr) {
  int newsize = ch->recv_size + kCcmRecvGrow;
  if (ch->recv_pos >= 8) {
    size_t flen = ccm_get_msg_length(ccm, ch, ch->recv_buffer);
    if (flen >= (size_t)kProtocolHeaderSize && flen > (size_t)newsize)
      newsize = (int)((flen + kCcmRecvGrow - 1) / kCcmRecvGrow * kCcmRecvGrow);
  }
  if (WQ_TRACE_ON())
    __trace_text(0, "%s:         resize buffer at %p: %d ==> %d", "ccm_read_channel", (void *)ch->recv_buffer,
                 ch->recv_size, newsize);
  char *nb = static_cast<char *>(ccm_calloc((size_t)newsize, 1));
  if (!nb) {
    ccmerr->msgnr = kCcmMsgAlloc;
    snprintf(ccmerr->msginsert, sizeof ccmerr->msginsert, "%s/%s(%d)", "RECVBUFF", "src/_ccm/ccm", __LINE__);
    return -1;
  }
  if (ch->recv_pos > 0) memcpy(nb, ch->recv_buffer, (size_t)ch->recv_pos);
  free(ch->recv_buffer);
  ch->recv_buffer = nb;
  ch->recv_size = newsize;
  return 0;
}

void record_close_reason(ccm_channel_t *ch, const ccm_error_t *err) {
  ch->msgnr = err->msgnr;
  StringCopy(ch->msginsert, sizeof ch->msginsert, err->msginsert);
}

}  // namespace

// Frame length from the 8 length characters at `buffer` (leading blanks and
// a sign accepted, conversion stops at the first non-digit). 0 when they hold
// no number or a negative one, so that the caller rejects the frame.
size_t ccm_get_msg_length(ccm_context_t *, ccm_channel_t *, const char *buffer) {
  char work[16];
  memset(work, 0, sizeof work);
  memcpy(work, buffer, 8);
  char *end = nullptr;
  long v = strtol(work, &end, 10);
  if (end == work || v < 0) return 0;
  return (size_t)v;
}

// Whole length of the key block at `src` whose length field has `keylen`
// bytes (1, 2, 4 little-endian, or 7 decimal characters); when `dst` is given
// the content is moved there (overlap allowed). The caller has checked that
// the block lies within its frame. -1 for another keylen or a length that
// does not fit the result.
int32_t extract_protocol_data(const unsigned char *src, int keylen, unsigned char *dst) {
  if (keylen != 1 && keylen != 2 && keylen != 4 && keylen != 7) return -1;
  int64_t clen = content_length(src, keylen);
  if (clen < 0 || clen > INT32_MAX - 8) return -1;
  if (dst) memmove(dst, src + 1 + keylen, (size_t)clen);
  return (int32_t)(1 + keylen + clen);
}

// Parses the body of a native frame (msg_start, len) block by block into the
// message's address and data: data blocks end up at buffer1 with `len` their
// content length, NAT data (keys 0xFE, 0xFF) makes the message type 2 and
// clears the channel's connecting flag. Returns 0, or -1 with `ccmerr` filled
// for an invalid body.
int ccm_parse_native_message(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_msg_t *ccmmsg, ccm_error_t *ccmerr) {
  (void)ccm;
  TRC_IN("(ccmch=%p, ccmmsg=%p)", (void *)ccmch, (void *)ccmmsg);
  ccmmsg->type = CCM_MSG_NATIVE;
  // The walk runs over the body as received; data moves only write in front
  // of the current block, so they never reach bytes still to be walked.
  unsigned char *const body = ccmmsg->msg_start;
  const int64_t total = ccmmsg->len;
  bool data_seen = false;
  int64_t pos = 0;

  while (pos < total) {
    const unsigned char *blk = body + pos;
    const unsigned key = blk[0];
    TRC("protocol key = %d(0x%.2X)", key, key);
    const int keylen = key_length_field(key);
    if (keylen == 0) {
      char what[32];
      snprintf(what, sizeof what, "invalid key 0x%.2X", key);
      invalid_frame(ccmerr, ccmch, what);
      TRC_OUT("invalid key %d(0x%.2X)", key, key);
      return -1;
    }
    const int64_t room = total - pos;
    if (1 + keylen > room) {
      invalid_frame(ccmerr, ccmch, "length field cut at the end of the frame");
      TRC_OUT("length field of key 0x%.2X cut", key);
      return -1;
    }
    const int64_t clen = content_length(blk, keylen);
    if (clen < 0 || 1 + keylen + clen > room) {
      invalid_frame(ccmerr, ccmch, "key block runs past the end of the frame");
      TRC_OUT("block of key 0x%.2X runs past the frame", key);
      return -1;
    }
    const unsigned char *content = blk + 1 + keylen;

    if (is_moved_data_key(key)) {
      ccmmsg->protocol_key = (uint8_t)key;
      extract_protocol_data(blk, keylen, ccmmsg->msg_start);
      ccmmsg->len = (int32_t)clen;
      data_seen = true;
    } else if (key == 0xFE || key == 0xFF) {
      ccmmsg->protocol_key = 0;
      ccmmsg->msg_start = const_cast<unsigned char *>(content);
      ccmmsg->len = (int32_t)clen;
      ccmmsg->type = CCM_MSG_NAT;
      if (ccmch) ccm_flag_clear(ccmch->flag, CCM_CHF_CONNECTING);
      data_seen = true;
    } else if (key == 0x02) {
      if (clen > 4) {
        invalid_frame(ccmerr, ccmch, "access value longer than 4 bytes");
        TRC_OUT("access value too long");
        return -1;
      }
      set_acv(&ccmmsg->addr.dst_acv, content, clen);
    } else if (key == 0x01 || key == 0x03) {
      if (clen > kCcmAddrTextMax) {
        invalid_frame(ccmerr, ccmch, "name or address longer than 63 bytes");
        TRC_OUT("name or address too long");
        return -1;
      }
      char *field = key == 0x01 ? ccmmsg->addr.dst_name : ccmmsg->addr.dst_addr;
      set_text(field, content, clen);
      strip(field);
    } else {  // 0xFD
      if (parse_callback(ccmch, ccmmsg, content, clen, ccmerr) != 0) {
        TRC_OUT("invalid callback block");
        return -1;
      }
    }
    pos += 1 + keylen + clen;
  }

  if (data_seen) {
    memmove(ccmmsg->buffer1, ccmmsg->msg_start, (size_t)ccmmsg->len);
    ccmmsg->msg_start = ccmmsg->buffer1;
  }
  TRC_OUT("OK");
  return 0;
}

// Classifies a complete frame at msg_start: "IPC" frames become type 3 with
// the header skipped and the channel name as source address; GSS frames stay
// whole (type 1); everything else is parsed as native. Data that starts with
// "<?xml" gets flag 0x20; NAT data without it goes through msgconv_ToHost.
// Returns 0, or -1 with `ccmerr` filled.
int ccm_classify_message(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_msg_t *ccmmsg, ccm_error_t *ccmerr) {
  TRC_IN("(ccmch=%p, ccmmsg=%p)", (void *)ccmch, (void *)ccmmsg);
  if (ccmmsg->len < kProtocolHeaderSize) {
    invalid_frame(ccmerr, ccmch, "frame shorter than its header");
    TRC_OUT("frame shorter than its header");
    return -1;
  }
  if (memcmp(ccmmsg->msg_start + offsetof(WQ8_PROTOCOL_HEADER, cProtocol), "IPC", 3) == 0) {
    ccmmsg->type = CCM_MSG_IPC;
    ccmmsg->msg_start += kProtocolHeaderSize;
    ccmmsg->len -= kProtocolHeaderSize;
    if (ccmch) StringCopy(ccmmsg->addr.src_addr, sizeof ccmmsg->addr.src_addr, ccmch->name);
    TRC_OUT("IPC message");
    return 0;
  }
  if (is_gss_message(ccm, ccmmsg)) {
    ccmmsg->type = CCM_MSG_GSS;
    TRC_OUT("GSS protocol message");
    return 0;
  }
  ccmmsg->msg_start += kProtocolHeaderSize;
  ccmmsg->len -= kProtocolHeaderSize;
  if (ccm_parse_native_message(ccm, ccmch, ccmmsg, ccmerr) != 0) {
    TRC_OUT("error parsing message");
    return -1;
  }
  if (ccmmsg->len >= 5 && memcmp(ccmmsg->msg_start, "<?xml", 5) == 0) ccmmsg->flag |= CCM_MSGF_XML;
  if (ccmmsg->type == CCM_MSG_NAT && !(ccmmsg->flag & CCM_MSGF_XML) && msgconv_ToHost(ccm, ccmmsg) < 0) {
    invalid_frame(ccmerr, ccmch, "msgconv ToHost");
    TRC_OUT("msgconv ToHost error");
    return -1;
  }
  TRC_OUT("OK");
  return 0;
}

// Receives once from the channel's socket into its receive buffer and hands
// every complete frame over to the context's receive queue, one wake-up byte
// per frame. Returns 0 when the read was handled (also with no complete frame
// yet, and when the socket had nothing after all), -1 on failure: the peer
// closed or the receive failed (channel deleted, 2002036 recorded for a
// failure), an invalid frame (channel deleted, reason recorded), no memory
// for the buffer or a message (3301 in `ccmerr`, channel kept; the frames
// already handed over are dropped from the buffer, the failed one stays).
int ccm_read_channel(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_error_t *ccmerr) {
  TRC_IN("(ccm=%p, ccmch=%p)", (void *)ccm, (void *)ccmch);
  if (ccmch->recv_size == ccmch->recv_pos && grow_receive_buffer(ccm, ccmch, ccmerr) != 0) {
    TRC_OUT("calloc error, receive buffer");
    return -1;
  }
  if (!ccm_flag_test(ccmch->flag, CCM_CHF_BINDADDR)) ccm_channel_bindaddr_inquire(ccm, ccmch, ccmerr);

  union {
    struct cmsghdr align;
    unsigned char buf[kCcmControlSize];
  } control;
  memset(&control, 0, sizeof control);
  struct iovec iov;
  iov.iov_base = ccmch->recv_buffer + ccmch->recv_pos;
  iov.iov_len = (size_t)(ccmch->recv_size - ccmch->recv_pos);
  struct msghdr mh;
  memset(&mh, 0, sizeof mh);
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  mh.msg_control = control.buf;
  mh.msg_controllen = sizeof control.buf;

  ccmch->timestamp_last_io = time(nullptr);
  ssize_t got = recvmsg(ccmch->s, &mh, 0);
  int err = errno;
  if (got < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)) {
    // Readiness that vanished (or a signal) is no reason to drop a channel.
    TRC_OUT("nothing to read (%d)", err);
    return 0;
  }
  if (got < 0) {
    ccmch->msgnr = kCcmMsgRecvError;
    snprintf(ccmch->msginsert, sizeof ccmch->msginsert, "%s|%d(%s),S(%d(ID=%d))|", ccmch->name, err, strerror(err),
             ccmch->s, ccmch->ID);
  }
  if (got <= 0) {
    ccm_channel_delete(ccm, ccmch);
    TRC_OUT("receive error");
    return -1;
  }
  TRC_DUMP(ccmch->recv_buffer + ccmch->recv_pos, (int)got, "recvmsg() data");
  ccmch->recv_pos += (int)got;

  const size_t ctl_len = mh.msg_controllen;
  bool ctl_taken = false;
  int rc = 0;
  int off = 0;
  while (ccmch->recv_pos - off > 9) {
    const char *frame = ccmch->recv_buffer + off;
    const int avail = ccmch->recv_pos - off;
    const size_t flen = ccm_get_msg_length(ccm, ccmch, frame);
    if (flen < (size_t)kProtocolHeaderSize) {
      char what[64];
      snprintf(what, sizeof what, "length '%.8s'", frame);
      invalid_frame(ccmerr, ccmch, what);
      record_close_reason(ccmch, ccmerr);
      ccm_channel_delete(ccm, ccmch);
      TRC_OUT("invalid frame length");
      rc = -1;
      break;
    }
    if ((size_t)avail < flen) {
      TRC("not enough data pos(%d) < len(%d)", avail, (int)flen);
      break;
    }

    ccm_msg_t *msg = flen <= (size_t)kCcmNormalSize ? ccm_msg_alloc(ccm, ccmerr)
                                                    : ccm_msg_alloc_huge(ccm, (int32_t)flen, ccmerr);
    if (!msg) {
      TRC_OUT("msg alloc error, message queue");
      rc = -1;
      break;
    }
    memcpy(msg->buffer1, frame, flen);
    msg->len = (int32_t)flen;
    msg->msg_start = msg->buffer1;
    msg->addr.src_ID = ccmch->ID;
    msg->addr.src_type = ccmch->type;
    TRC_DUMP(msg->buffer1, (int)flen, "complete message from channel(%p,s=%d/chID=%d,%s,flag=%.8X)", (void *)ccmch,
             ccmch->s, ccmch->ID, ccmch->name, (unsigned)ccm_flag_get(ccmch->flag));

    if (ccm_classify_message(ccm, ccmch, msg, ccmerr) != 0) {
      record_close_reason(ccmch, ccmerr);
      ccm_channel_delete(ccm, ccmch);
      ccm_msg_free(ccm, msg);
      TRC_OUT("qualifing message error");
      rc = -1;
      break;
    }
    if (ctl_len > 0) {
      memcpy(msg->control_data, control.buf, ctl_len);
      msg->control_len = ctl_len;
      ctl_taken = true;
      TRC_DUMP(msg->control_data, (int)ctl_len, "control data");
    }
    {
      CcmLockGuard ql(ccm->queue_lock);
      ccmq_unlink(ccm->msgq_inuse, msg);
      ccmq_append(ccm->recvq, msg);
    }
    ccm_wakeup_processor(ccm);
    off += (int)flen;
  }

  // Whatever was handed over leaves the buffer, so no frame is delivered twice.
  if (off > 0) {
    memmove(ccmch->recv_buffer, ccmch->recv_buffer + off, (size_t)(ccmch->recv_pos - off));
    ccmch->recv_pos -= off;
  }
  if (ctl_len > 0 && !ctl_taken) close_passed_descriptors(&mh);
  if (rc == 0) TRC_OUT("datalen=%d,pos=%d", (int)got, ccmch->recv_pos);
  return rc;
}

// Conversion of a received NAT payload to the host's representation. The
// payloads of this system travel exactly as built. Returns 0.
int msgconv_ToHost(ccm_context_t *ccm, ccm_msg_t *ccmmsg) {
  TRC_IN("(ccm=%p, ccmmsg=%p)", (void *)ccm, (void *)ccmmsg);
  TRC_OUT("OK");
  return 0;
}

// Conversion of a NAT payload to the LAN representation before sending. The
// payloads of this system travel exactly as built. Returns 0.
int msgconv_ToLan(ccm_context_t *ccm, ccm_msg_t *ccmmsg) {
  TRC_IN("(ccm=%p, ccmmsg=%p)", (void *)ccm, (void *)ccmmsg);
  TRC_OUT("OK");
  return 0;
}
