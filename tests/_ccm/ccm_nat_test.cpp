// Addressing, the NAT route with its "*SERVER" redirection, and forwarding.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "_ccm/ccm_io_testing.h"
#include "ccm.h"
#include "ccm_wakeup.h"
#include "ipcmsg.h"
#include "zudnst.h"

namespace {

class NatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    memset(&ctx_, 0, sizeof ctx_);
    ctx_.running_mode = 3;
    ccm_error_t err{};
    ASSERT_EQ(ccm_open(&ctx_, &ccm_, &err), 0);
    ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err), 0);
  }
  void TearDown() override {
    ccm_channel_closeall(ccm_);
    ccm_error_t err{};
    ccm_close(ccm_, &err);
  }

  ccm_msg_t *payload(const std::string &p) {
    ccm_error_t err{};
    ccm_msg_t *m = ccm_msg_alloc(ccm_, &err);
    memcpy(m->msg_start, p.data(), p.size());
    m->len = (int32_t)p.size();
    return m;
  }

  // Takes the head of the context's send queue as bytes and frees it.
  std::string take_sent(ccm_msg_t **keep = nullptr) {
    ccm_msg_t *m = ccm_->sendq.head;
    if (!m) return "<none>";
    ccm_->sendq.head = m->nxt;
    if (!ccm_->sendq.head) ccm_->sendq.tail = nullptr;
    std::string f((const char *)m->msg_start, (size_t)m->len);
    if (keep)
      *keep = m;
    else
      ccm_msg_free(ccm_, m);
    return f;
  }

  // Takes the pending network wake-up, as a pass would; true when there was one.
  bool network_woken() { return ccm_take_network_wakeup(ccm_) == 1; }

  ccm_program_head_t ctx_;
  ccm_context_t *ccm_ = nullptr;
};

TEST_F(NatTest, SettersFillTheirHalvesOnly) {
  ccm_msg_t *m = payload("x");
  m->addr.src_ID = 11;
  m->addr.src_type = 5;
  std::string longname(100, 'n');
  ccm_addr_t *a = ccm_setaddr(m, 3, 99, "*IPC(AGENT)", longname.c_str(), 0x01020304);
  EXPECT_EQ(a, &m->addr);
  memset(a->eyec, 0, 8);
  ccm_setback(m, "*SERVER", "CALLBACK", 77);
  EXPECT_EQ(std::string(a->eyec, 8), "#CCMADDR");
  EXPECT_EQ(std::string(a->dst_name), std::string(63, 'n'));  // bounded to the field
  EXPECT_EQ(std::string(a->dst_addr) + "|" + a->src_addr + "|" + a->src_name, "*IPC(AGENT)|*SERVER|CALLBACK");
  EXPECT_EQ((std::vector<int>{a->dst_ID, a->dst_acv, a->src_acv, a->src_ID, a->src_type, a->type}),
            (std::vector<int>{3, 0x01020304, 77, 11, 5, 0}));

  // Reply to a message that arrived on channel 7 with a callback block whose
  // name fills the whole field without terminator.
  ccm_msg_t *r = payload("y");
  memset(m->addr.src_name, 'c', sizeof m->addr.src_name);
  m->addr.src_ID = 7;
  ccm_setaddr_reply(r, m);
  EXPECT_EQ(std::string(r->addr.dst_name), std::string(63, 'c'));
  EXPECT_STREQ(r->addr.dst_addr, "*SERVER");
  EXPECT_EQ((std::vector<int>{r->addr.dst_ID, r->addr.dst_acv, r->addr.src_ID}), (std::vector<int>{7, 77, 0}));
  ccm_msg_free(ccm_, m);
  ccm_msg_free(ccm_, r);
}

TEST_F(NatTest, JobMessageFrame) {
  ccm_msg_t *m = payload(std::string(276, 'p'));
  m->type = CCM_MSG_NAT;
  ccm_setaddr(m, 4, 0, "", "JPAKTJ_R", 0);
  ASSERT_EQ(send_NAT_message(ccm_, m), 0);
  EXPECT_EQ(ccm_->msgq_inuse.head, nullptr);  // handed over
  EXPECT_TRUE(network_woken());
  ccm_msg_t *sent = nullptr;
  std::string f = take_sent(&sent);
  ASSERT_EQ(f.size(), 339u);
  EXPECT_EQ(f, "00000339WQ8:global001NAT" + std::string(24, ' ') +
                   std::string("\x01\x08JPAKTJ_R\xff\x14\x01\x00\x00", 15) + std::string(276, 'p'));
  EXPECT_EQ(sent->type, CCM_MSG_NAT);
  EXPECT_EQ(sent->addr.dst_ID, 4);
  ccm_msg_free(ccm_, sent);
}

TEST_F(NatTest, AllRoutingBlocksAroundAPayloadWithoutHeadroom) {
  // A received message has its payload at the very start of its buffer.
  ccm_msg_t *m = payload("data");
  memmove(m->buffer1, m->msg_start, 4);
  m->msg_start = m->buffer1;
  ccm_setaddr(m, 0, 0, "*CP1", "FUNCTION_LONG", 0x11223344);
  ccm_setback(m, "*CPX", "BACK", 5);
  ASSERT_EQ(send_NAT_message(ccm_, m), 0);
  std::string f = take_sent();
  std::string body = f.substr(48);
  std::string want = std::string("\x02\x04\x44\x33\x22\x11", 6) + "\x01\x08" "FUNCTION" + "\x03\x04*CP1" +
                     std::string("\xff\x04\x00\x00\x00", 5) + "data" + std::string("\xfd\x16\x00", 3) +
                     "\x03\x04*CPX" + "\x01\x08" "BACK    " + std::string("\x02\x04\x05\x00\x00\x00", 6);
  EXPECT_EQ(body, want);
  EXPECT_EQ(atoi(f.substr(0, 8).c_str()), (int)f.size());
}

TEST_F(NatTest, ServerDestinationIsRoutedThroughTheAgent) {
  ccm_msg_t *m = payload("HELLO");
  ccm_setaddr(m, 0, 0, "*SERVER", "FUNC", 9);
  int freed_before = ccm_->nof_freemsg;
  ASSERT_EQ(send_NAT_message(ccm_, m), 0);
  EXPECT_EQ(ccm_->nof_freemsg, freed_before + 1);  // the routed message is released
  ccm_msg_t *route = nullptr;
  std::string f = take_sent(&route);
  ASSERT_EQ(f.size(), 48u + 308u + 5u);
  EXPECT_EQ(f.substr(21, 3), "IPC");
  EXPECT_EQ(route->type, CCM_MSG_IPC);
  EXPECT_STREQ(route->addr.dst_addr, "*IPC(AGENT)");
  EXPECT_EQ(f.substr(48, 16), std::string("ROUTENAT\0\0\0\0\0\0\0\0", 16));
  ccm_addr_t a;
  memcpy(&a, f.data() + 48 + 16, sizeof a);
  EXPECT_EQ(std::string(a.dst_addr) + "|" + a.dst_name, "*SERVER|FUNC");
  EXPECT_EQ(a.dst_acv, 9);
  EXPECT_EQ(wq_get_u32((const unsigned char *)f.data() + 48 + 304), 5u);
  EXPECT_EQ(f.substr(48 + 308), "HELLO");
  ccm_msg_free(ccm_, route);

  // An agent itself sends such a message as a NAT frame.
  ctx_.running_mode = 0;
  m = payload("HELLO");
  ccm_setaddr(m, 0, 0, "*SERVER", "FUNC", 0);
  ASSERT_EQ(send_NAT_message(ccm_, m), 0);
  EXPECT_EQ(take_sent().substr(21, 3), "NAT");
}

TEST_F(NatTest, ForwardingCopiesThePayloadToTheNamedChannel) {
  ccm_msg_t *in = payload("PAYLOAD");
  ccm_setaddr(in, 0, 0, "", "JOBFUNC", 3);
  ccm_setback(in, "*CP9", "ANSWER", 4);
  ccm_error_t err{};
  EXPECT_EQ(ccm_forward_NAT_message(ccm_, in, 5, "nowhere", &err, 1), -1);
  EXPECT_EQ(err.msgnr, 2003070);
  EXPECT_STREQ(err.msginsert, "5/nowhere|channel not found|");
  EXPECT_EQ(ccm_->sendq.head, nullptr);

  ccm_channel_t *ch = nullptr;
  ASSERT_EQ(ccm_channel_new_entry(ccm_, &ch, &err), 0);
  ch->s = -1;
  StringCopy(ch->name, sizeof ch->name, "*IPC(FTX)");
  ccm_channel_chain(ccm_, ch);

  // Found by name although the ID is unknown; routed by its real ID.
  ASSERT_EQ(ccm_forward_NAT_message(ccm_, in, 999, "*IPC(FTX)", &err, 1), 0);
  ccm_msg_t *fwd = nullptr;
  std::string f = take_sent(&fwd);
  EXPECT_EQ(fwd->addr.dst_ID, ch->ID);
  EXPECT_EQ(std::string(fwd->addr.dst_name) + "|" + fwd->addr.src_addr + "|" + fwd->addr.src_name,
            "JOBFUNC|*SERVER|ANSWER");
  EXPECT_EQ(f.substr(f.find("PAYLOAD"), 7), "PAYLOAD");
  ccm_msg_free(ccm_, fwd);

  // By name without a check: the channel name is the destination address.
  ASSERT_EQ(ccm_forward_NAT_message(ccm_, in, 0, "*IPC(FTX)", &err, 0), 0);
  take_sent(&fwd);
  EXPECT_EQ(fwd->addr.dst_ID, 0);
  EXPECT_STREQ(fwd->addr.dst_addr, "*IPC(FTX)");
  ccm_msg_free(ccm_, fwd);

  // The given message stays with the caller, unchanged.
  EXPECT_EQ(std::string((char *)in->msg_start, (size_t)in->len), "PAYLOAD");
  ccm_msg_free(ccm_, in);
}

TEST_F(NatTest, UnsoundMessagesAreRefusedWithoutCrash) {
  EXPECT_EQ(send_NAT_message(ccm_, nullptr), -1);
  EXPECT_EQ(send_NAT_message(nullptr, nullptr), -1);
  ccm_msg_t *m = payload("x");
  m->len = 2 * m->size;  // payload fills the whole buffer: no room for blocks
  m->msg_start = m->buffer1;
  EXPECT_EQ(send_NAT_message(ccm_, m), -1);  // stays with the caller
  EXPECT_EQ(ccm_->sendq.head, nullptr);
  ccm_msg_free(ccm_, m);
}

}  // namespace
