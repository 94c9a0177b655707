#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ccm.h"
#include "ccm_alloc.h"
#include "wq_sr.h"

namespace {

class CcmMsg : public ::testing::Test {
 protected:
  void SetUp() override {
    ccm_error_t err{};
    ASSERT_EQ(ccm_open(nullptr, &ccm, &err), 0);
  }
  void TearDown() override { ccm_close(ccm, nullptr); }

  int count(const ccm_msgq_t &q) {
    int n = 0;
    for (ccm_msg_t *m = q.head; m; m = m->nxt) ++n;
    return n;
  }

  ccm_context_t *ccm = nullptr;
  ccm_error_t err{};
};

// Fresh message: 256 bytes of headroom, the whole double area usable
// (AddressSanitizer checks the bounds). Recycling: most recently freed first,
// a fresh ID and a cleared header, the data left as it was.
TEST_F(CcmMsg, FreshAndRecycledMessages) {
  ccm_msg_t *a = ccm_msg_alloc(ccm, &err);
  ccm_msg_t *b = ccm_msg_alloc(ccm, &err);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->ID, 1u);
  EXPECT_EQ(a->buffer2, a->buffer1 + 32768);
  EXPECT_EQ(a->msg_start, a->buffer1 + 256);
  memset(a->msg_start, 0xAB, 2 * 32768 - 256);
  memcpy(b->buffer1 + 300, "old bytes", 9);
  b->len = 77;
  b->type = 2;
  b->flag = 0x20;
  b->msg_start += 10;
  strcpy(b->addr.dst_name, "X");
  uint64_t oldID = b->ID;
  ccm_msg_free(ccm, a);
  ccm_msg_free(ccm, b);
  EXPECT_EQ(ccm->nof_freemsg, 2);
  EXPECT_EQ(ccm->msgq_inuse.tail, nullptr);

  ccm_msg_t *c = ccm_msg_alloc(ccm, &err);
  EXPECT_EQ(c, b);
  EXPECT_EQ(ccm->nof_freemsg, 1);
  EXPECT_GT(c->ID, oldID);
  EXPECT_EQ(c->len + c->type + (int)c->flag + c->addr.dst_name[0], 0);
  EXPECT_EQ(c->nxt, nullptr);
  EXPECT_EQ(c->msg_start, c->buffer1 + 256);
  EXPECT_EQ(memcmp(c->buffer1 + 300, "old bytes", 9), 0);
  EXPECT_EQ(ccm_msg_alloc(ccm, &err), a);
  EXPECT_EQ(ccm->msg_freeq.tail, nullptr);
  ccm_msg_free(ccm, c);
  ccm_msg_free(ccm, a);
}

// The free list keeps at most 64 normal messages; huge ones are never kept.
TEST_F(CcmMsg, FreeListHoldsAtMost64AndNoHugeMessage) {
  std::vector<ccm_msg_t *> v;
  for (int i = 0; i < 70; ++i) v.push_back(ccm_msg_alloc(ccm, &err));
  for (auto *m : v) ccm_msg_free(ccm, m);
  EXPECT_EQ(ccm->nof_freemsg, 64);
  EXPECT_EQ(count(ccm->msg_freeq), 64);
  ccm_msg_t *normal = ccm_msg_alloc(ccm, &err);  // room for one more in the list
  for (int size : {1, 100, 40000, 1 << 20}) {  // the last one a mapping of its own
    ccm_msg_t *h = ccm_msg_alloc_huge(ccm, size, &err);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->size, size);
    EXPECT_EQ(h->buffer2, h->buffer1 + size);
    memset(h->buffer1, 0x5A, std::max(2 * static_cast<size_t>(size), size_t{256}));  // headroom inside the block
    EXPECT_EQ(ccm->nof_freemsg, 63);  // not taken from the free list
    ccm_msg_free(ccm, h);
    EXPECT_EQ(ccm->nof_freemsg, 63);  // released, not kept
  }
  ccm_msg_free(ccm, normal);
}

TEST_F(CcmMsg, InvalidSizesAndAllocationFailureReport3301) {
  // A size <= 0, or one whose doubled area would overflow, allocates nothing.
  for (int32_t size : {0, -1, INT32_MIN, INT32_MAX, INT32_MAX / 2 + 1}) {
    ccm_error_t e{};
    EXPECT_EQ(ccm_msg_alloc_huge(ccm, size, &e), nullptr) << size;
    EXPECT_EQ(e.msgnr, 3301);
    EXPECT_EQ(std::string(e.msginsert).rfind("CCMMSG/src/_ccm/ccmmsg(", 0), 0u) << e.msginsert;
  }
  int idBefore = ccm->unique_msg_ID;
  ccm_error_t e{};
  ccm_alloc_fail_at(1);
  EXPECT_EQ(ccm_msg_alloc(ccm, &e), nullptr);
  ccm_alloc_fail_at(0);
  EXPECT_EQ(e.msgnr, 3301);
  EXPECT_EQ(std::string(e.msginsert).rfind("CCMMSG/src/_ccm/ccmmsg(", 0), 0u);
  EXPECT_EQ(ccm->unique_msg_ID, idBefore);
  EXPECT_EQ(ccm->msgq_inuse.head, nullptr);
}

TEST_F(CcmMsg, FreeUnlinksFromAnyPlaceOfTheInUseList) {
  ccm_msg_t *a = ccm_msg_alloc(ccm, &err);
  ccm_msg_t *b = ccm_msg_alloc(ccm, &err);
  ccm_msg_t *c = ccm_msg_alloc(ccm, &err);
  EXPECT_EQ(ccm->msgq_inuse.head, c);  // stack order c, b, a
  ccm_msg_free(ccm, a);                // the tail
  EXPECT_EQ(ccm->msgq_inuse.tail, b);
  EXPECT_EQ(b->nxt, nullptr);
  ccm_msg_t *d = ccm_msg_alloc(ccm, &err);
  ccm_msg_free(ccm, c);  // the middle
  EXPECT_EQ(d->nxt, b);
  ccm_msg_free(ccm, d);
  ccm_msg_free(ccm, b);
  EXPECT_EQ(ccm->msgq_inuse.tail, nullptr);
  // A message held outside every list is freed without touching the lists.
  ccm_msg_t *x = ccm_msg_alloc(ccm, &err);
  ccm_msg_t *y = ccm_msg_alloc(ccm, &err);
  ccm_queue_lock(ccm);
  ccmq_unlink(ccm->msgq_inuse, x);
  ccm_queue_unlock(ccm);
  ccm_msg_free(ccm, x);
  EXPECT_EQ(ccm->msgq_inuse.head, y);
  EXPECT_EQ(ccm->msgq_inuse.tail, y);
  ccm_msg_free(ccm, y);
  EXPECT_EQ(ccm_msg_free(ccm, nullptr), 0);
}

TEST(CcmQueue, AppendJudgesEmptinessByHeadOnly) {
  struct E { E *nxt; int v; } e1{nullptr, 1}, e2{nullptr, 2}, e3{nullptr, 3};
  ccm_queue_t<E> q{};
  ccmq_append(q, &e1);
  ccmq_append(q, &e2);
  // A consumer takes both heads and leaves the tail behind.
  EXPECT_EQ(ccmq_take_head(q), &e1);
  EXPECT_EQ(ccmq_take_head(q), &e2);
  EXPECT_EQ(ccmq_take_head(q), nullptr);
  EXPECT_EQ(q.head, nullptr);
  EXPECT_EQ(q.tail, &e2);
  ccmq_append(q, &e3);
  EXPECT_EQ(q.head, &e3);
  EXPECT_EQ(q.tail, &e3);
  EXPECT_EQ(e2.nxt, nullptr);  // the stale tail is not linked to
}

TEST_F(CcmMsg, ProtocolHeader) {
  ccm_msg_t *m = ccm_msg_alloc(ccm, &err);
  m->msg_start -= 48;
  m->len = 339;
  memset(m->msg_start, 0, 48);
  EXPECT_EQ(ccm_msg_set_protocol_header(m, "NAT"), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(m->msg_start), 48),
            "00000339WQ8:global001NAT" + std::string(24, ' '));
  EXPECT_EQ(GetProtocolLength(m->msg_start), 339);
  m->len = 100000000;  // a length the 8 digits cannot carry
  EXPECT_EQ(ccm_msg_set_protocol_header(m, "IPC"), -1);
  EXPECT_EQ(GetProtocolLength(m->msg_start), 339);
  ccm_msg_free(ccm, m);
}

TEST_F(CcmMsg, NativeDataBlock) {
  ccm_msg_t *m = ccm_msg_alloc(ccm, &err);
  const unsigned char data[] = {'a', 'b', 'c'};
  EXPECT_EQ(ccm_msg_write_native_data(m, 0x04, data, 3), nullptr);
  EXPECT_EQ(m->len, 5);
  EXPECT_EQ(memcmp(m->msg_start, "\x04\x03" "abc", 5), 0);
  // Other keys, or a block whose length does not fit its length byte, are not written.
  m->len = 0;
  std::vector<unsigned char> big(300, 'x');
  ccm_msg_write_native_data(m, 0x05, data, 3);
  ccm_msg_write_native_data(m, 0x04, big.data(), 300);
  EXPECT_EQ(m->len, 0);
  EXPECT_EQ(m->msg_start[2], 'a');
  ccm_msg_free(ccm, m);
}

class CcmSrData : public CcmMsg {
 protected:
  ccm_msg_t *payload(int n) {
    ccm_msg_t *m = ccm_msg_alloc(ccm, &err);
    for (int i = 0; i < n; ++i) m->msg_start[i] = static_cast<unsigned char>('A' + i % 26);
    m->len = n;
    return m;
  }
  std::string front(ccm_msg_t *m, const unsigned char *orig) {
    return std::string(reinterpret_cast<char *>(m->msg_start), static_cast<size_t>(orig - m->msg_start));
  }
};

TEST_F(CcmSrData, BlocksInWireOrder) {
  ccm_msg_t *m = payload(276);
  unsigned char *orig = m->msg_start;
  strcpy(m->addr.dst_name, "JPAKTJ_R");
  EXPECT_EQ(cmm_msg_write_sr_data(m), 0);
  EXPECT_EQ(m->len, 291);
  EXPECT_EQ(front(m, orig), std::string("\x01\x08JPAKTJ_R\xFF\x14\x01\x00\x00", 15));
  EXPECT_EQ(orig[0], 'A');
  ccm_msg_free(ccm, m);

  m = payload(4);
  orig = m->msg_start;
  strcpy(m->addr.dst_addr, "*CP0815");
  strcpy(m->addr.dst_name, "LONGFUNCTIONNAME");
  m->addr.dst_acv = 0x01020304;
  strcpy(m->addr.src_addr, "*IPC(A)");
  strcpy(m->addr.src_name, "CB");
  m->addr.src_acv = -2;
  EXPECT_EQ(cmm_msg_write_sr_data(m), 0);
  std::string expect_front = std::string("\x02\x04\x04\x03\x02\x01", 6) + "\x01\x08LONGFUNC" +
                             std::string("\x03\x07*CP0815", 9) + std::string("\xFF\x04\x00\x00\x00", 5);
  EXPECT_EQ(front(m, orig), expect_front);
  std::string expect_cb = std::string("\xFD\x19\x00", 3) + std::string("\x03\x07*IPC(A)", 9) +
                          std::string("\x01\x08" "CB      ", 10) + std::string("\x02\x04\xFE\xFF\xFF\xFF", 6);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(orig + 4), expect_cb.size()), expect_cb);
  EXPECT_EQ(m->len, static_cast<int>(expect_front.size() + 4 + expect_cb.size()));
  ccm_msg_free(ccm, m);

  // An address not starting with "*CP" stays out; no source, no callback.
  m = payload(2);
  orig = m->msg_start;
  strcpy(m->addr.dst_addr, "*SERVER");
  EXPECT_EQ(cmm_msg_write_sr_data(m), 0);
  EXPECT_EQ(front(m, orig), std::string("\xFF\x02\x00\x00\x00", 5));
  EXPECT_EQ(m->len, 7);
  ccm_msg_free(ccm, m);
}

TEST_F(CcmSrData, BlocksThatDoNotFitLeaveTheMessageAlone) {
  ccm_msg_t *m = payload(1);
  strcpy(m->addr.dst_name, "F");
  m->msg_start = m->buffer1 + 4;  // no room left in front
  unsigned char *start = m->msg_start;
  EXPECT_EQ(cmm_msg_write_sr_data(m), -1);
  EXPECT_EQ(m->msg_start, start);
  EXPECT_EQ(m->len, 1);
  ccm_msg_t *full = payload(0);
  full->len = 2 * 32768 - 256;  // payload fills the area; the callback would run past it
  strcpy(full->addr.src_name, "CB");
  EXPECT_EQ(cmm_msg_write_sr_data(full), -1);
  EXPECT_EQ(full->len, 2 * 32768 - 256);
  ccm_msg_free(ccm, m);
  ccm_msg_free(ccm, full);
}

TEST_F(CcmMsg, EmptyingQueues) {
  ccm_channel_t *live = nullptr;
  ccm_channel_t *dead = nullptr;
  ASSERT_EQ(ccm_channel_new_entry(ccm, &live, &err), 0);
  ASSERT_EQ(ccm_channel_new_entry(ccm, &dead, &err), 0);
  ccmq_append(ccm->channelq, live);
  ccmq_append(ccm->channelq, dead);
  ccm_flag_set(dead->flag, CCM_CHF_DELETED);
  live->recv_pos = 17;
  dead->recv_pos = 5;
  auto move = [&](ccm_msgq_t &q) {
    ccm_msg_t *m = ccm_msg_alloc(ccm, &err);
    ccmq_unlink(ccm->msgq_inuse, m);
    ccmq_append(q, m);
    return m;
  };
  move(ccm->recvq);
  move(ccm->msgq_2dispatch);
  ccm_msg_t *ctxSend = move(ccm->sendq);
  move(live->sendq);
  move(live->recvq);
  ccm_msg_t *deadMsg = move(dead->sendq);
  ccm_msg_alloc(ccm, &err);  // stays in use
  EXPECT_EQ(ccm_msg_emptying_queues(ccm), 0);
  for (ccm_msgq_t *q : {&ccm->recvq, &ccm->msgq_inuse, &ccm->msgq_2dispatch, &live->sendq, &live->recvq})
    EXPECT_EQ(q->head, nullptr);
  EXPECT_EQ(live->recv_pos, 0);
  EXPECT_EQ(ccm->sendq.head, ctxSend);  // left alone
  EXPECT_EQ(dead->sendq.head, deadMsg);  // deleted channels are skipped
  EXPECT_EQ(dead->recv_pos, 5);
  EXPECT_EQ(ccm->nof_freemsg, 5);

  EXPECT_EQ(ccm_channel_emptying_msg_queue(ccm, dead), 0);
  EXPECT_EQ(dead->sendq.head, nullptr);
  EXPECT_EQ(ccm->nof_freemsg, 6);
  ccm_channel_closeall(ccm);
}

TEST_F(CcmMsg, ConcurrentAllocAndFreeFromTwoThreads) {
  auto work = [this] {
    ccm_error_t e{};
    for (int i = 0; i < 500; ++i) {
      ccm_msg_t *a = ccm_msg_alloc(ccm, &e);
      ccm_msg_t *b = ccm_msg_alloc_huge(ccm, 64, &e);
      ASSERT_NE(a, nullptr);
      ASSERT_NE(b, nullptr);
      a->msg_start[0] = 1;
      ccm_msg_free(ccm, b);
      ccm_msg_free(ccm, a);
    }
  };
  std::thread t1(work), t2(work);
  t1.join();
  t2.join();
  EXPECT_EQ(ccm->msgq_inuse.head, nullptr);
  EXPECT_LE(ccm->nof_freemsg, 64);
  EXPECT_EQ(count(ccm->msg_freeq), ccm->nof_freemsg);
  EXPECT_EQ(ccm->unique_msg_ID, 1 + 2 * 2 * 500);
}

}  // namespace
