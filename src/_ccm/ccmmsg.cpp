// Message buffers: allocation with a free list of normal-size messages, the
// protocol header and the NAT routing blocks written in front of a payload,
// and emptying of message queues.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ccm.h"
#include "ccm_error.h"
#include "ccm_alloc.h"
#include "ccm_io.h"
#include "ccm_lock.h"
#include "ccm_sendq.h"
#include "wq_trace.h"
#include "zudnst.h"

namespace {
constexpr char kMsgEyec[16] = {'#', '#', 'C', 'C', 'M', '#', 'M', 'E', 'S', 'S', 'A', 'G', 'E', '#', '#', '#'};
constexpr size_t kMsgHeaderSize = offsetof(ccm_msg_t, buffer);
// A normal message is a heap block: ccm_close releases the free list with free().
static_assert(kMsgHeaderSize + 2 * kCcmNormalSize < kCcmMapThreshold);

// Frees a detached chain of messages one by one.
void free_chain(ccm_context_t *ccm, ccm_msg_t *m) {
  while (m) {
    ccm_msg_t *nxt = m->nxt;
    ccm_msg_free(ccm, m);
    m = nxt;
  }
}

// Writes `name` as exactly 8 characters, cut or padded with blanks.
void put_name8(unsigned char *p, const char *name, size_t cap) {
  size_t n = strnlen(name, cap);
  for (size_t i = 0; i < 8; ++i) p[i] = i < n ? static_cast<unsigned char>(name[i]) : ' ';
}
}  // namespace

ccm_msg_t *ccm_msg_alloc(ccm_context_t *ccm, ccm_error_t *ccmerr) {
  return ccm_msg_alloc_huge(ccm, kCcmNormalSize, ccmerr);
}

ccm_msg_t *ccm_msg_alloc_huge(ccm_context_t *ccm, int32_t size, ccm_error_t *ccmerr) {
  TRC_IN("(size=%d)", size);
  // A size that is not positive, or whose doubled data area does not fit the
  // 32-bit size arithmetic of the message, gives no message at all.
  if (!ccm || size <= 0 || size > INT32_MAX / 2) {
    CCM_ERROR_ALLOC(ccmerr, "CCMMSG", kCcmMsgUnit);
    TRC_OUT("invalid size %d", size);
    return nullptr;
  }
  ccm_msg_t *m = nullptr;
  if (size == kCcmNormalSize) {
    CcmLockGuard lock(ccm->queue_lock);
    m = ccmq_pop(ccm->msg_freeq);
    if (m) ccm->nof_freemsg--;
  }
  if (!m) {
    // The data area always covers the headroom, so msg_start never points
    // outside the block, even for a tiny huge message. It is not cleared:
    // whoever fills a message writes every byte it sends (a recycled
    // message keeps its old bytes just the same), and a large block stays
    // unbacked until the bytes of its frame arrive.
    m = static_cast<ccm_msg_t *>(ccm_block_alloc(ccm_msg_memory_for(size)));
    if (!m) {
      CCM_ERROR_ALLOC(ccmerr, "CCMMSG", kCcmMsgUnit);
      TRC_OUT("malloc error, message queue");
      return nullptr;
    }
  }
  // Only the header is cleared: a recycled data area keeps its old bytes.
  memset(m, 0, kMsgHeaderSize);
  memcpy(m->eyec, kMsgEyec, sizeof m->eyec);
  m->size = size;
  m->buffer1 = m->buffer;
  m->buffer2 = m->buffer1 + size;
  m->msg_start = m->buffer1 + kCcmHeadroom;
  {
    CcmLockGuard lock(ccm->queue_lock);
    m->ID = static_cast<uint64_t>(static_cast<int64_t>(ccm->unique_msg_ID));
    ccm->unique_msg_ID = static_cast<int>(static_cast<unsigned>(ccm->unique_msg_ID) + 1u);
    ccmq_push(ccm->msgq_inuse, m);
  }
  TRC_OUT("OK(msg=%p,msgID=%llu,size=%d)", static_cast<void *>(m), static_cast<unsigned long long>(m->ID), size);
  return m;
}

int ccm_msg_free(ccm_context_t *ccm, ccm_msg_t *ccmmsg) {
  TRC_IN("(msg=%p)", static_cast<void *>(ccmmsg));
  if (!ccmmsg) {
    TRC_OUT("msg == null");
    return 0;
  }
  if (!ccm) {
    ccm_block_free(ccmmsg, ccm_msg_memory(ccmmsg));
    TRC_OUT("no context, message freed");
    return 0;
  }
  enum { kHuge, kSurplus, kKept } what;
  {
    CcmLockGuard lock(ccm->queue_lock);
    ccmq_unlink(ccm->msgq_inuse, ccmmsg);
    ccmmsg->nxt = nullptr;
    if (ccmmsg->size != kCcmNormalSize) {
      what = kHuge;
    } else if (ccm->nof_freemsg >= kCcmMaxFreeMsgs) {
      what = kSurplus;
    } else {
      ccmq_push(ccm->msg_freeq, ccmmsg);
      ccm->nof_freemsg++;
      what = kKept;
    }
  }
  switch (what) {
    case kHuge:
      ccm_block_free(ccmmsg, ccm_msg_memory(ccmmsg));
      TRC_OUT("huge message is freed");
      break;
    case kSurplus:
      ccm_block_free(ccmmsg, ccm_msg_memory(ccmmsg));
      TRC_OUT("normal message freed");
      break;
    case kKept:
      TRC_OUT("put back to freeq");
      break;
  }
  return 0;
}

bool ccm_msg_hand_over(ccm_context_t *ccm, ccm_msg_t *m, CcmHandTo to) {
  bool room = true;
  {
    CcmLockGuard lock(ccm->queue_lock);
    if (to == CcmHandTo::kReceiver) {
      ccm_recvq_put_locked(ccm, m);
      room = ccm_recvq_has_room_locked(ccm);
    } else {
      ccmq_unlink(ccm->msgq_inuse, m);
      ccmq_append(ccm->sendq, m);
    }
  }
  if (to == CcmHandTo::kReceiver)
    ccm_wakeup_processor(ccm);
  else
    ccm_wakeup_network(ccm);
  return room;
}

int ccm_msg_set_protocol_header(ccm_msg_t *ccmmsg, const char *protocol) {
  TRC_IN("(msg=%p,protocol=%.3s)", static_cast<void *>(ccmmsg), protocol ? protocol : "");
  // The length field has 8 digits: a frame it cannot express gets no header.
  if (ccmmsg->len < 0 || ccmmsg->len > 99999999) {
    TRC_OUT("length %d does not fit the header", ccmmsg->len);
    return -1;
  }
  char digits[16];
  snprintf(digits, sizeof digits, "%.8d", ccmmsg->len);
  unsigned char *h = ccmmsg->msg_start;
  memcpy(h, digits, 8);
  memcpy(h + 8, "WQ8:global", 10);
  memcpy(h + 18, "001", 3);
  size_t plen = protocol ? strnlen(protocol, 3) : 0;
  for (size_t i = 0; i < 3; ++i) h[21 + i] = i < plen ? static_cast<unsigned char>(protocol[i]) : ' ';
  memset(h + 24, ' ', 8 + 16);
  TRC_OUT("OK");
  return 0;
}

unsigned char *ccm_msg_write_native_data(ccm_msg_t *ccmmsg, char key, const unsigned char *data, int32_t len) {
  TRC_IN("(msg=%p,key=%d,len=%d)", static_cast<void *>(ccmmsg), key, len);
  // The block's length is one byte: a longer block, or one that would run
  // past the data area, is not written.
  const unsigned char *end = ccmmsg->buffer1 + 2 * static_cast<size_t>(ccmmsg->size);
  if (key != static_cast<char>(CCM_KEY_DATA) || len < 0 || len > 255 || (!data && len > 0) || ccmmsg->msg_start + 2 + len > end) {
    TRC_OUT("not written");
    return nullptr;
  }
  ccmmsg->msg_start[0] = CCM_KEY_DATA;
  ccmmsg->msg_start[1] = static_cast<unsigned char>(len);
  if (len > 0) memcpy(ccmmsg->msg_start + 2, data, static_cast<size_t>(len));
  ccmmsg->len = len + 2;
  TRC_OUT("OK");
  return nullptr;
}

namespace {

// Which routing blocks a message's address asks for, and their sizes.
struct RoutingPlan {
  size_t dst_addr_n, src_addr_n;
  bool dst_addr, dst_name, dst_acv;       // blocks in front of the payload
  bool src_addr, src_name, src_acv;       // sub-blocks of the callback block
  bool callback;
  size_t front, back;                     // bytes in front of and behind the payload
};

RoutingPlan plan_routing(const ccm_addr_t &a) {
  RoutingPlan r{};
  r.dst_addr_n = strnlen(a.dst_addr, sizeof a.dst_addr);
  r.src_addr_n = strnlen(a.src_addr, sizeof a.src_addr);
  r.dst_addr = r.dst_addr_n >= 3 && memcmp(a.dst_addr, "*CP", 3) == 0;
  r.dst_name = a.dst_name[0] != '\0';
  r.dst_acv = a.dst_acv != 0;
  r.src_addr = r.src_addr_n > 0;
  r.src_name = a.src_name[0] != '\0';
  r.src_acv = a.src_acv != 0;
  r.callback = r.src_addr || r.src_name || r.src_acv;
  r.front = 5 + (r.dst_addr ? r.dst_addr_n + 2 : 0) + (r.dst_name ? 10 : 0) + (r.dst_acv ? 6 : 0);
  r.back = r.callback ? 3 + (r.src_addr ? r.src_addr_n + 2 : 0) + (r.src_name ? 10 : 0) + (r.src_acv ? 6 : 0) : 0;
  return r;
}

// Writes a name block (key 0x01, 8 blank-padded characters) at `p`.
void put_name_block(unsigned char *p, const char *name, size_t cap) {
  p[0] = CCM_KEY_NAME;
  p[1] = 0x08;
  put_name8(p + 2, name, cap);
}

// Writes an access-value block (key 0x02, 4 bytes) at `p`.
void put_acv_block(unsigned char *p, int32_t acv) {
  p[0] = CCM_KEY_ACV;
  p[1] = 0x04;
  ccm_acv_put(p + 2, acv);
}

// Writes an address block (key 0x03, `n` characters) at `p`.
void put_addr_block(unsigned char *p, const char *addr, size_t n) {
  p[0] = CCM_KEY_ADDR;
  p[1] = static_cast<unsigned char>(n);
  memcpy(p + 2, addr, n);
}

// Prepends the length block and the destination blocks one after the other
// (the last written is first on the wire) and moves msg_start to the first.
void prepend_front_blocks(ccm_msg_t *m, const RoutingPlan &r) {
  const ccm_addr_t &a = m->addr;
  unsigned char *p = m->msg_start - 5;
  p[0] = CCM_KEY_NAT;
  wq_put_u32(p + 1, static_cast<uint32_t>(m->len));
  if (r.dst_addr) {
    p -= r.dst_addr_n + 2;
    put_addr_block(p, a.dst_addr, r.dst_addr_n);
  }
  if (r.dst_name) {
    p -= 10;
    put_name_block(p, a.dst_name, sizeof a.dst_name);
  }
  if (r.dst_acv) {
    p -= 6;
    put_acv_block(p, a.dst_acv);
  }
  m->len += static_cast<int32_t>(m->msg_start - p);
  m->msg_start = p;
}

// Appends the callback block (key 0xFD, 2-byte length of its sub-blocks)
// with the source blocks behind the payload.
void append_callback_block(ccm_msg_t *m, const RoutingPlan &r) {
  const ccm_addr_t &a = m->addr;
  unsigned char *cb = m->msg_start + m->len;
  unsigned char *q = cb + 3;
  if (r.src_addr) {
    put_addr_block(q, a.src_addr, r.src_addr_n);
    q += r.src_addr_n + 2;
  }
  if (r.src_name) {
    put_name_block(q, a.src_name, sizeof a.src_name);
    q += 10;
  }
  if (r.src_acv) {
    put_acv_block(q, a.src_acv);
    q += 6;
  }
  size_t sub = static_cast<size_t>(q - cb) - 3;
  cb[0] = CCM_KEY_CALLBACK;
  wq_put_u16(cb + 1, static_cast<uint16_t>(sub));
  m->len += static_cast<int32_t>(sub + 3);
}

}  // namespace

int cmm_msg_write_sr_data(ccm_msg_t *ccmmsg) {
  TRC_IN("(msg=%p,len=%d)", static_cast<void *>(ccmmsg), ccmmsg->len);
  const RoutingPlan plan = plan_routing(ccmmsg->addr);
  // Everything must fit between the start of the data area and its end;
  // otherwise the message is left as it is.
  size_t headroom = static_cast<size_t>(ccmmsg->msg_start - ccmmsg->buffer1);
  size_t area = 2 * static_cast<size_t>(ccmmsg->size);
  if (ccmmsg->len < 0 || plan.front > headroom || headroom + static_cast<size_t>(ccmmsg->len) + plan.back > area) {
    TRC_OUT("routing blocks do not fit");
    return -1;
  }
  prepend_front_blocks(ccmmsg, plan);
  if (plan.callback) append_callback_block(ccmmsg, plan);
  TRC_OUT("OK(len=%d)", ccmmsg->len);
  return 0;
}

int ccm_msg_set_ipc_header(ccm_msg_t * /*ccmmsg*/, size_t /*len*/) {
  TRC_IN("()");
  TRC_OUT("OK");
  return 0;
}

int ccm_msg_emptying_queues(ccm_context_t *ccm) {
  TRC_IN("()");
  if (!ccm) {
    TRC_OUT("ccm == null");
    return 0;
  }
  TRC("empty global RECV queue");
  ccm_msg_t *recv = ccm->recvq.head;
  ccm_msg_t *inuse = ccm->msgq_inuse.head;
  ccm_msg_t *dispatch = ccm->msgq_2dispatch.head;
  ccmq_clear(ccm->recvq);
  ccmq_clear(ccm->msgq_inuse);
  ccmq_clear(ccm->msgq_2dispatch);
  {
    CcmLockGuard lock(ccm->queue_lock);
    ccm->recvq_bytes = 0;
  }
  free_chain(ccm, recv);
  free_chain(ccm, inuse);
  free_chain(ccm, dispatch);

  for (ccm_channel_t *ch = ccm->channelq.head; ch; ch = ch->nxt) {
    TRC("empty RECV/SENDQ queue of channel(%p,s=%d/chID=%d,%s,flag=%.8X)", static_cast<void *>(ch), ch->s, ch->ID,
        ch->name, ccm_flag_get(ch->flag));
    if (ccm_flag_test(ch->flag, CCM_CHF_DELETED)) continue;
    ch->recv_pos = 0;
    ccm_read_release(ccm, ch);
    ccm_channel_emptying_msg_queue(ccm, ch);
  }
  TRC_OUT("OK");
  return 0;
}

int ccm_channel_emptying_msg_queue(ccm_context_t *ccm, ccm_channel_t *ccmch) {
  TRC_IN("(chID=%d)", ccmch ? ccmch->ID : 0);
  if (!ccmch) {
    TRC_OUT("ccmch == null");
    return 0;
  }
  // Detach both lists under the channel's lock, free them after releasing
  // it: freeing takes the context's queue lock, and the two kinds of queue
  // lock are never held together.
  ccm_msg_t *send;
  ccm_msg_t *recv;
  bool tell = false;
  {
    CcmLockGuard lock(ccmch->queue_lock);
    send = ccmch->sendq.head;
    recv = ccmch->recvq.head;
    for (ccm_msg_t *m = send; m; m = m->nxt) tell = ccm_sendq_uncount_chlocked(ccm, ccmch, m) || tell;
    ccmq_clear(ccmch->sendq);
    ccmq_clear(ccmch->recvq);
  }
  free_chain(ccm, send);
  free_chain(ccm, recv);
  if (tell) ccm_sendq_notify(ccm);
  TRC_OUT("OK");
  return 0;
}
