// Reading a channel: the per-channel receive buffer, cutting frames by the
// length in their protocol header, classifying them (IPC, GSS, native) and
// unpacking the key blocks of native and NAT frames into the message.
//
// Memory follows what arrives, never what a header announces: the buffer
// grows only with the frame at its start, a frame longer than a normal
// message is received straight into its own message, and frames go into
// the receive queue only while it is below its limit (ccm_set_recvq_limit);
// the others wait, in order, in the buffer and in the socket.
//
// Nothing read from a socket is trusted: every length field is checked
// against the bytes that are actually there before anything is copied. A
// frame that breaks a rule is invalid; its channel gets the close reason
// 2002036 with an insert naming the fault and is deleted. The rules:
//   - cLength not a number, or below 48: invalid (the frame could not even
//     hold its header);
//   - cLength above the context's maximum frame length (ccm_set_max_frame):
//     invalid, found as soon as the header's first 10 bytes are buffered;
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

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ccm.h"
#include "ccm_error.h"
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
    case CCM_KEY_NAME: case CCM_KEY_ACV: case CCM_KEY_ADDR: case CCM_KEY_DATA: case CCM_KEY_DATA_07: return 1;
    case CCM_KEY_DATA_3B: case CCM_KEY_DATA_F9: case CCM_KEY_CALLBACK: case CCM_KEY_NAT_FE: return 2;
    case CCM_KEY_NAT: return 4;
    case CCM_KEY_DATA_41: case CCM_KEY_DATA_44: return 7;
    default: return 0;
  }
}

bool is_moved_data_key(unsigned key) {
  return key == CCM_KEY_DATA || key == CCM_KEY_DATA_07 || key == CCM_KEY_DATA_3B || key == CCM_KEY_DATA_41 ||
         key == CCM_KEY_DATA_44 || key == CCM_KEY_DATA_F9;
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
  ccm_error_set(ccmerr, CCM_MSGNR_RECV, "%s|invalid frame(%s),S(%d(ID=%d))|", ch ? ch->name : "", what,
                ch ? ch->s : -1, ch ? ch->ID : 0);
  return -1;
}

// Copies a text block of `n` (at most 63) bytes into a 64-byte address field,
// clearing the field first so that no byte of an earlier value survives.
void set_text(char *field, const unsigned char *src, int64_t n) {
  memset(field, 0, 64);
  memcpy(field, src, (size_t)n);
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
    if (key != CCM_KEY_NAME && key != CCM_KEY_ACV && key != CCM_KEY_ADDR) {
      __log(-1, "invalid kz");
      break;  // the rest of this callback block is skipped, the body goes on
    }
    if (cp + 2 > n) return invalid_frame(ccmerr, ch, "callback sub-block length cut");
    int64_t len = work[cp + 1];
    if (cp + 2 + len > n) return invalid_frame(ccmerr, ch, "callback sub-block runs past its block");
    const unsigned char *data = work + cp + 2;
    if (key == CCM_KEY_ACV) {
      if (len > 4) return invalid_frame(ccmerr, ch, "callback access value longer than 4 bytes");
      msg->addr.src_acv = ccm_acv_get(data, (size_t)len);
    } else {
      if (len > kCcmAddrTextMax) return invalid_frame(ccmerr, ch, "callback name or address longer than 63 bytes");
      set_text(key == CCM_KEY_NAME ? msg->addr.src_name : msg->addr.src_addr, data, len);
    }
    cp += 2 + len;
  }
  return 0;
}

// Closes the descriptors of the SCM_RIGHTS records in `len` bytes of
// ancillary data, so that descriptors that no frame took over (a second copy
// sent with another piece of the same frame) do not pile up.
void close_passed_descriptors(unsigned char *ctl, size_t len) {
  struct msghdr mh;
  memset(&mh, 0, sizeof mh);
  mh.msg_control = ctl;
  mh.msg_controllen = len;
  for (struct cmsghdr *c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    size_t nfd = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < nfd; ++i) {
      int fd;
      memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      ccm_close_nowait(fd);
    }
  }
}

// Ancillary data and the frame it belongs to. A stream socket of the local
// domain ends a receive right behind the bytes that carried descriptors and
// glues the bytes sent before them (without any) in front, so the data
// belongs to the frame that holds the LAST byte of the receive that brought
// it: that frame's bytes are the ones sent with it (or a piece of them). It
// waits in recv_ctl until that frame is complete, and then goes with it and
// with no other frame. While it waits, a receive takes at most the bytes that
// frame still lacks, so a copy sent with a later piece of the same frame is
// recognised as such and closed, and the frame's successors are never
// received before it is complete. recv_ctl_at is the buffer offset of the
// owning byte, or kCtlLarge for the frame that is received into its message.
constexpr int kCtlLarge = -1;

// Drops pending ancillary data, closing its descriptors.
void drop_control(ccm_channel_t *ch) {
  if (ch->recv_ctl_len > 0) close_passed_descriptors(ch->recv_ctl, ch->recv_ctl_len);
  ch->recv_ctl_len = 0;
}

// Keeps the ancillary data of a receive whose last byte is at `at`, unless
// data already waits for the same frame: this one is a second copy.
void keep_control(ccm_channel_t *ch, unsigned char *ctl, size_t len, int at) {
  if (ch->recv_ctl_len > 0) {
    close_passed_descriptors(ctl, len);
    return;
  }
  memcpy(ch->recv_ctl, ctl, len);
  ch->recv_ctl_len = len;
  ch->recv_ctl_at = at;
}

// Gives a frame the ancillary data that waited for it.
void attach_control(ccm_channel_t *ch, ccm_msg_t *msg) {
  memcpy(msg->control_data, ch->recv_ctl, ch->recv_ctl_len);
  msg->control_len = ch->recv_ctl_len;
  ch->recv_ctl_len = 0;
  TRC_DUMP(msg->control_data, (int)msg->control_len, "control data");
}

// Progress lines of the read path, written under its name by the helpers.
#define READ_TRC(fmt, ...)                                                                             \
  do {                                                                                                 \
    if (WQ_TRACE_ON()) __trace_text(0, "%s:      " fmt, "ccm_read_channel" __VA_OPT__(, ) __VA_ARGS__); \
  } while (0)

// Makes room in the full receive buffer of `ch`. The first buffer has 8192
// bytes. Later the buffer is full only while the frame at its start, which
// is not longer than a normal message (longer ones go into their own
// message), is incomplete: it grows to twice its size, but not beyond that
// frame's length, so memory follows the bytes that have arrived instead of
// what a header announces. Returns 0, or -1 (3301).
int grow_receive_buffer(ccm_context_t *ccm, ccm_channel_t *ch, ccm_error_t *ccmerr) {
  int newsize = kCcmRecvGrow;
  if (ch->recv_size > 0) {
    newsize = 2 * ch->recv_size;
    if (ch->recv_pos >= 8) {
      size_t flen = ccm_get_msg_length(ccm, ch, ch->recv_buffer);
      if (flen > (size_t)ch->recv_size && flen < (size_t)newsize) newsize = (int)flen;
    }
  }
  if (WQ_TRACE_ON())
    __trace_text(0, "%s:         resize buffer at %p: %d ==> %d", "ccm_read_channel", (void *)ch->recv_buffer,
                 ch->recv_size, newsize);
  // Only the recv_pos bytes in front are ever read, so the rest need not be cleared.
  char *nb = static_cast<char *>(ccm_malloc((size_t)newsize));
  if (!nb) {
    CCM_ERROR_ALLOC(ccmerr, "RECVBUFF", kCcmUnit);
    return -1;
  }
  if (ch->recv_pos > 0) memcpy(nb, ch->recv_buffer, (size_t)ch->recv_pos);
  free(ch->recv_buffer);
  ch->recv_buffer = nb;
  ch->recv_size = newsize;
  return 0;
}

size_t max_frame_of(const ccm_context_t *ccm) {
  int v = ccm_flag_get(ccm->max_frame);
  return (size_t)(v > 0 ? v : kCcmMaxFrameDefault);
}

// Stamps, classifies and queues a complete frame of `flen` bytes at
// msg->buffer1, with the ancillary data that waited for it when `with_ctl`,
// and wakes the receiver. *room tells afterwards whether the
// receive queue still has room. False for an invalid frame: the channel is
// deleted with its reason and the message freed.
bool queue_frame(ccm_context_t *ccm, ccm_channel_t *ch, ccm_msg_t *msg, size_t flen, bool with_ctl,
                 ccm_error_t *ccmerr, bool *room) {
  msg->len = (int32_t)flen;
  msg->msg_start = msg->buffer1;
  msg->addr.src_ID = ch->ID;
  msg->addr.src_type = ch->type;
  TRC_DUMP(msg->buffer1, (int)flen, "complete message from channel(%p,s=%d/chID=%d,%s,flag=%.8X)", (void *)ch, ch->s,
           ch->ID, ch->name, (unsigned)ccm_flag_get(ch->flag));
  if (ccm_classify_message(ccm, ch, msg, ccmerr) != 0) {
    ccm_channel_take_reason(ch, ccmerr);
    ccm_channel_delete(ccm, ch);
    ccm_msg_free(ccm, msg);
    return false;
  }
  if (with_ctl) attach_control(ch, msg);
  *room = ccm_msg_hand_over(ccm, msg, CcmHandTo::kReceiver);
  return true;
}

// Why cutting frames out of a receive buffer stopped.
enum class Cut {
  kNeedBytes,  // no complete frame left (or a large frame goes on in its message)
  kFull,       // the receive queue is at its limit; complete frames wait
  kBadLength,  // a length that is not a number, below 48 or above the maximum: channel deleted
  kNoMemory,   // no message for a frame (3301): channel kept, the frame stays buffered
  kBadFrame,   // a frame failed classification: channel deleted
};

// Cuts the frames at the start of the receive buffer of `ch` while the
// receive queue has room (*room, kept up to date). A complete frame is queued.
// A frame longer than a normal message gets its own message as soon as its
// header is buffered: the buffered bytes of it move there, and the rest is
// received straight into that message (recv_msg), never through the buffer.
// Whatever was cut leaves the buffer; recv_held tells whether complete frames
// wait for room.
Cut cut_frames(ccm_context_t *ccm, ccm_channel_t *ch, ccm_error_t *ccmerr, bool *room) {
  const size_t max_frame = max_frame_of(ccm);
  Cut why = Cut::kNeedBytes;
  int off = 0;
  while (ch->recv_pos - off > 9) {
    const char *frame = ch->recv_buffer + off;
    const int avail = ch->recv_pos - off;
    const size_t flen = ccm_get_msg_length(ccm, ch, frame);
    if (flen < (size_t)kProtocolHeaderSize || flen > max_frame) {
      char what[96];
      if (flen < (size_t)kProtocolHeaderSize)
        snprintf(what, sizeof what, "length '%.8s'", frame);
      else
        snprintf(what, sizeof what, "length %zu above the maximum %zu", flen, max_frame);
      invalid_frame(ccmerr, ch, what);
      ccm_channel_take_reason(ch, ccmerr);
      ccm_channel_delete(ccm, ch);
      why = Cut::kBadLength;
      break;
    }
    const bool large = flen > (size_t)kCcmNormalSize;
    if (!large && (size_t)avail < flen) {
      READ_TRC("not enough data pos(%d) < len(%d)", avail, (int)flen);
      break;
    }
    if (!*room) {
      why = Cut::kFull;
      break;
    }
    ccm_msg_t *msg = large ? ccm_msg_alloc_huge(ccm, (int32_t)flen, ccmerr) : ccm_msg_alloc(ccm, ccmerr);
    if (!msg) {
      why = Cut::kNoMemory;
      break;
    }
    const size_t take = std::min((size_t)avail, flen);
    memcpy(msg->buffer1, frame, take);
    const bool with_ctl =
        ch->recv_ctl_len > 0 && ch->recv_ctl_at >= off && (size_t)(ch->recv_ctl_at - off) < flen;
    off += (int)take;
    if (take < flen) {
      // The channel holds the message until the frame is complete; it is in
      // no queue meanwhile, and destroying the channel frees it.
      {
        CcmLockGuard ql(ccm->queue_lock);
        ccmq_unlink(ccm->msgq_inuse, msg);
      }
      msg->len = (int32_t)flen;
      ch->recv_msg = msg;
      ch->recv_msg_got = (int)take;
      if (with_ctl) ch->recv_ctl_at = kCtlLarge;
      READ_TRC("not enough data pos(%d) < len(%d)", avail, (int)flen);
      break;
    }
    if (!queue_frame(ccm, ch, msg, flen, with_ctl, ccmerr, room)) {
      why = Cut::kBadFrame;
      break;
    }
  }
  // Whatever was handed over leaves the buffer, so no frame is delivered twice.
  if (off > 0) {
    memmove(ch->recv_buffer, ch->recv_buffer + off, (size_t)(ch->recv_pos - off));
    ch->recv_pos -= off;
    if (ch->recv_ctl_len > 0 && ch->recv_ctl_at != kCtlLarge) {
      ch->recv_ctl_at -= off;
      if (ch->recv_ctl_at < 0) drop_control(ch);  // its frame was invalid
    }
  }
  ch->recv_held = why == Cut::kFull;
  return why;
}

}  // namespace

// This program knows no GSS messages: the hook answers 0 for every message,
// as its contract asks.
int is_gss_message(ccm_context_t * /*ccm*/, ccm_msg_t * /*ccmmsg*/) { return 0; }

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

namespace {

// Trace lines of the native parse, written under its name by its steps.
#define PARSE_TRC(fmt, ...)                                                                                      \
  do {                                                                                                           \
    if (WQ_TRACE_ON()) __trace_text(0, "%s:      " fmt, "ccm_parse_native_message" __VA_OPT__(, ) __VA_ARGS__); \
  } while (0)
#define PARSE_TRC_OUT(fmt, ...)                                                                                   \
  do {                                                                                                            \
    if (WQ_TRACE_ON()) __trace_text(0, "%s <-- (" fmt ")", "ccm_parse_native_message" __VA_OPT__(, ) __VA_ARGS__); \
  } while (0)

// Checks the key block at `blk` with `room` bytes left in the body: a known
// key, a length field and content within the body. Its content length goes
// to *clen and the size of its length field to *keylen. -1 with `ccmerr`
// filled (and the parse's exit traced) for an invalid block.
int check_key_block(const ccm_channel_t *ch, const unsigned char *blk, int64_t room, int *keylen, int64_t *clen,
                    ccm_error_t *ccmerr) {
  const unsigned key = blk[0];
  PARSE_TRC("protocol key = %d(0x%.2X)", key, key);
  *keylen = key_length_field(key);
  if (*keylen == 0) {
    char what[32];
    snprintf(what, sizeof what, "invalid key 0x%.2X", key);
    invalid_frame(ccmerr, ch, what);
    PARSE_TRC_OUT("invalid key %d(0x%.2X)", key, key);
    return -1;
  }
  if (1 + *keylen > room) {
    invalid_frame(ccmerr, ch, "length field cut at the end of the frame");
    PARSE_TRC_OUT("length field of key 0x%.2X cut", key);
    return -1;
  }
  *clen = content_length(blk, *keylen);
  if (*clen < 0 || 1 + *keylen + *clen > room) {
    invalid_frame(ccmerr, ch, "key block runs past the end of the frame");
    PARSE_TRC_OUT("block of key 0x%.2X runs past the frame", key);
    return -1;
  }
  return 0;
}

// Takes the content of a checked key block into the message: data blocks
// (moved to msg_start, or NAT data pointed at in place), the destination
// access value, name and address, and the callback block. *data_seen is set
// by a data block. -1 with `ccmerr` filled for invalid content.
int apply_key_block(ccm_channel_t *ch, ccm_msg_t *msg, const unsigned char *blk, int keylen, int64_t clen,
                    bool *data_seen, ccm_error_t *ccmerr) {
  const unsigned key = blk[0];
  const unsigned char *content = blk + 1 + keylen;
  if (is_moved_data_key(key)) {
    msg->protocol_key = (uint8_t)key;
    extract_protocol_data(blk, keylen, msg->msg_start);
    msg->len = (int32_t)clen;
    *data_seen = true;
  } else if (key == CCM_KEY_NAT_FE || key == CCM_KEY_NAT) {
    msg->protocol_key = 0;
    msg->msg_start = const_cast<unsigned char *>(content);
    msg->len = (int32_t)clen;
    msg->type = CCM_MSG_NAT;
    if (ch) ccm_flag_clear(ch->flag, CCM_CHF_CONNECTING);
    *data_seen = true;
  } else if (key == CCM_KEY_ACV) {
    if (clen > 4) {
      invalid_frame(ccmerr, ch, "access value longer than 4 bytes");
      PARSE_TRC_OUT("access value too long");
      return -1;
    }
    msg->addr.dst_acv = ccm_acv_get(content, (size_t)clen);
  } else if (key == CCM_KEY_NAME || key == CCM_KEY_ADDR) {
    if (clen > kCcmAddrTextMax) {
      invalid_frame(ccmerr, ch, "name or address longer than 63 bytes");
      PARSE_TRC_OUT("name or address too long");
      return -1;
    }
    char *field = key == CCM_KEY_NAME ? msg->addr.dst_name : msg->addr.dst_addr;
    set_text(field, content, clen);
    strip(field);
  } else {  // CCM_KEY_CALLBACK
    if (parse_callback(ch, msg, content, clen, ccmerr) != 0) {
      PARSE_TRC_OUT("invalid callback block");
      return -1;
    }
  }
  return 0;
}

}  // namespace

// Parses the body of a native frame (msg_start, len) block by block into the
// message's address and data: data blocks end up at buffer1 with `len` their
// content length, NAT data (keys 0xFE, 0xFF) makes the message type 2 and
// clears the channel's connecting flag. Returns 0, or -1 with `ccmerr` filled
// for an invalid body.
int ccm_parse_native_message(ccm_context_t * /*ccm*/, ccm_channel_t *ccmch, ccm_msg_t *ccmmsg, ccm_error_t *ccmerr) {
  TRC_IN("(ccmch=%p, ccmmsg=%p)", (void *)ccmch, (void *)ccmmsg);
  ccmmsg->type = CCM_MSG_NATIVE;
  // The walk runs over the body as received; data moves only write in front
  // of the current block, so they never reach bytes still to be walked.
  unsigned char *const body = ccmmsg->msg_start;
  const int64_t total = ccmmsg->len;
  bool data_seen = false;
  for (int64_t pos = 0; pos < total;) {
    const unsigned char *blk = body + pos;
    int keylen = 0;
    int64_t clen = 0;
    if (check_key_block(ccmch, blk, total - pos, &keylen, &clen, ccmerr) != 0) return -1;
    if (apply_key_block(ccmch, ccmmsg, blk, keylen, clen, &data_seen, ccmerr) != 0) return -1;
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

namespace {

// The trace line and result of a cut that failed.
int cut_failed(Cut why) {
  const char *what = why == Cut::kBadLength  ? "invalid frame length"
                     : why == Cut::kNoMemory ? "msg alloc error, message queue"
                                             : "qualifing message error";
  if (WQ_TRACE_ON()) __trace_text(0, "%s <-- (%s)", "ccm_read_channel", what);
  return -1;
}

}  // namespace

namespace {

// Whether a cut left the channel usable.
bool cut_ok(Cut why) { return why == Cut::kNeedBytes || why == Cut::kFull; }

// Bytes that the frame at the start of the receive buffer still lacks, or
// that are missing before its length can be read.
size_t lacking_at_start(ccm_context_t *ccm, ccm_channel_t *ch) {
  if (ch->recv_pos < 10) return (size_t)(10 - ch->recv_pos);
  const size_t flen = ccm_get_msg_length(ccm, ch, ch->recv_buffer);
  return flen > (size_t)ch->recv_pos ? flen - (size_t)ch->recv_pos : 1;
}

// Receives once from the socket without waiting (the descriptor may be
// blocking: a channel a user built, or a descriptor passed from elsewhere):
// straight into the message of a large frame in progress (at most the bytes
// it still lacks), else into the free end of the receive buffer (at most the
// bytes its first frame lacks while ancillary data waits for that frame).
// Ancillary data that came along is kept for its frame. Returns what recvmsg
// returned, with its errno in *err; *iov tells where the bytes went.
ssize_t receive_once(ccm_context_t *ccm, ccm_channel_t *ch, struct iovec *iov, int *err) {
  ccm_msg_t *const large = ch->recv_msg;
  if (large) {
    iov->iov_base = large->buffer1 + ch->recv_msg_got;
    iov->iov_len = (size_t)(large->len - ch->recv_msg_got);
  } else {
    iov->iov_base = ch->recv_buffer + ch->recv_pos;
    iov->iov_len = (size_t)(ch->recv_size - ch->recv_pos);
    if (ch->recv_ctl_len > 0) iov->iov_len = std::min(iov->iov_len, lacking_at_start(ccm, ch));
  }
  union {
    struct cmsghdr align;
    unsigned char buf[kCcmControlSize];
  } ctl;
  struct msghdr mh;
  memset(&mh, 0, sizeof mh);
  mh.msg_iov = iov;
  mh.msg_iovlen = 1;
  mh.msg_control = ctl.buf;
  mh.msg_controllen = sizeof ctl.buf;
  ccm_stamp_io(ch);
  ssize_t got = recvmsg(ch->s, &mh, MSG_DONTWAIT);
  *err = errno;
  if (got > 0 && ch->send_wait == CCM_SEND_CONNECTING) ch->send_wait = CCM_SEND_READY;  // the connection is up
  if (got > 0 && mh.msg_controllen > 0)
    keep_control(ch, ctl.buf, mh.msg_controllen, large ? kCtlLarge : ch->recv_pos + (int)got - 1);
  return got;
}

// Takes `got` bytes just received into the large frame in progress: once it
// is complete it is queued. *done is false while the frame still lacks
// bytes. -1 for an invalid frame (channel deleted).
int take_into_large(ccm_context_t *ccm, ccm_channel_t *ch, ssize_t got, ccm_error_t *ccmerr, bool *room, bool *done) {
  ccm_msg_t *const large = ch->recv_msg;
  ch->recv_msg_got += (int)got;
  *done = ch->recv_msg_got >= large->len;
  if (!*done) {
    // Descriptors sent with a piece of the frame are closed when the call ends.
    READ_TRC("not enough data pos(%d) < len(%d)", ch->recv_msg_got, large->len);
    return 0;
  }
  ch->recv_msg = nullptr;
  ch->recv_msg_got = 0;
  const bool with_ctl = ch->recv_ctl_len > 0 && ch->recv_ctl_at == kCtlLarge;
  if (!queue_frame(ccm, ch, large, (size_t)large->len, with_ctl, ccmerr, room))
    return cut_failed(Cut::kBadFrame);
  return 0;
}

// Takes `got` bytes just received into the receive buffer and cuts the
// frames that are complete. -1 when a cut failed.
int take_into_buffer(ccm_context_t *ccm, ccm_channel_t *ch, ssize_t got, ccm_error_t *ccmerr, bool *room) {
  ch->recv_pos += (int)got;
  Cut why = cut_frames(ccm, ch, ccmerr, room);
  return cut_ok(why) ? 0 : cut_failed(why);
}

}  // namespace

// Hands the frames already buffered in the channel over to the context's
// receive queue while it has room, then, if it still has room, receives once
// from the socket: into the receive buffer, or straight into the message of
// a large frame in progress (at most the bytes that frame still lacks, so
// that the next frame's bytes land in the buffer). The receive never waits,
// whether the descriptor is blocking or not. Every complete frame is queued
// with one wake-up each; passed descriptors go with the frame they belong to
// (see kCtlLarge above). A queue at its limit takes no frame, and then
// nothing is received either: the bytes wait in the buffer and the socket.
//
// Returns 0 when the read was handled (also with no complete frame yet, when
// the socket had nothing after all, and with the queue at its limit), -1 on
// failure: the peer closed or the receive failed (channel deleted, 2002036
// recorded for a failure), an invalid frame (channel deleted, reason
// recorded), no memory for the buffer or a message (3301 in `ccmerr`,
// channel kept; the frames already handed over are dropped from the buffer,
// the failed one stays).
int ccm_read_channel(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_error_t *ccmerr) {
  TRC_IN("(ccm=%p, ccmch=%p)", (void *)ccm, (void *)ccmch);
  // Close reasons pass through an error record on their way to the channel.
  ccm_error_t own{};
  if (!ccmerr) ccmerr = &own;
  const bool room_before = ccm_recvq_has_room(ccm);
  bool room = room_before;
  Cut why = cut_frames(ccm, ccmch, ccmerr, &room);
  if (!cut_ok(why)) return cut_failed(why);
  if (!room) {
    // The select loop serves the channels after this one first next time.
    if (room_before) ccm->recv_stop_ID = ccmch->ID;
    TRC_OUT("receive queue full, pos=%d", ccmch->recv_pos);
    return 0;
  }
  if (!ccmch->recv_msg && ccmch->recv_size == ccmch->recv_pos && grow_receive_buffer(ccm, ccmch, ccmerr) != 0) {
    TRC_OUT("calloc error, receive buffer");
    return -1;
  }
  if (!ccm_flag_test(ccmch->flag, CCM_CHF_BINDADDR)) ccm_channel_bindaddr_inquire(ccm, ccmch, ccmerr);

  const bool large = ccmch->recv_msg != nullptr;
  struct iovec iov;
  int err = 0;
  ssize_t got = receive_once(ccm, ccmch, &iov, &err);
  if (got < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)) {
    // Readiness that vanished (or a signal) is no reason to drop a channel.
    TRC_OUT("nothing to read (%d)", err);
    return 0;
  }
  if (got < 0)
    ccm_channel_set_reason(ccmch, CCM_MSGNR_RECV, "%s|%d(%s),S(%d(ID=%d))|", ccmch->name, err,
                           wq_strerror(err), ccmch->s, ccmch->ID);
  if (got <= 0) {
    ccm_channel_delete(ccm, ccmch);
    TRC_OUT("receive error");
    return -1;
  }
  TRC_DUMP(iov.iov_base, (int)got, "recvmsg() data");
  if (large) {
    bool done = false;
    if (take_into_large(ccm, ccmch, got, ccmerr, &room, &done) != 0) return -1;
    if (!done) {
      TRC_OUT("datalen=%d,pos=%d", (int)got, ccmch->recv_pos);
      return 0;
    }
  } else if (take_into_buffer(ccm, ccmch, got, ccmerr, &room) != 0) {
    return -1;
  }
  if (!room) ccm->recv_stop_ID = ccmch->ID;
  TRC_OUT("datalen=%d,pos=%d", (int)got, ccmch->recv_pos);
  return 0;
}

// Frees a large frame in progress and closes descriptors no frame took.
void ccm_read_release(ccm_context_t *ccm, ccm_channel_t *ccmch) {
  if (!ccmch) return;
  if (ccmch->recv_msg) ccm_msg_free(ccm, ccmch->recv_msg);
  ccmch->recv_msg = nullptr;
  ccmch->recv_msg_got = 0;
  ccmch->recv_held = 0;
  drop_control(ccmch);
}

bool ccm_read_deliver_held(ccm_context_t *ccm, ccm_channel_t *ccmch) {
  if (ccmch->msgnr == 0) ccmch->recv_held = 0;  // deleted by its owner: the frames go with it
  if (!ccmch->recv_held) return false;
  bool room = ccm_recvq_has_room(ccm);
  ccm_error_t err{};
  cut_frames(ccm, ccmch, &err, &room);
  return ccmch->recv_held != 0;
}

int msgconv_ToHost(ccm_context_t *ccm, ccm_msg_t *ccmmsg) {
  TRC_IN("(ccm=%p, ccmmsg=%p)", (void *)ccm, (void *)ccmmsg);
  TRC_OUT("OK");
  return 0;
}

int msgconv_ToLan(ccm_context_t *ccm, ccm_msg_t *ccmmsg) {
  TRC_IN("(ccm=%p, ccmmsg=%p)", (void *)ccm, (void *)ccmmsg);
  TRC_OUT("OK");
  return 0;
}
