// The common send step, the header routes and descriptor passing.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "ccm.h"
#include "ipcmsg.h"

namespace {

class SendRouteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    memset(&ctx_, 0, sizeof ctx_);
    ccm_error_t err{};
    ASSERT_EQ(ccm_open(&ctx_, &ccm_, &err), 0);
    ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err), 0);
  }
  void TearDown() override {
    ccm_error_t err{};
    ccm_close(ccm_, &err);
  }

  ccm_msg_t *payload(const std::string &p, int type = 0) {
    ccm_error_t err{};
    ccm_msg_t *m = ccm_msg_alloc(ccm_, &err);
    memcpy(m->msg_start, p.data(), p.size());
    m->len = (int32_t)p.size();
    m->type = type;
    return m;
  }

  // Takes the head of the context's send queue (still owned by the test).
  ccm_msg_t *take() {
    ccm_msg_t *m = ccm_->sendq.head;
    if (m) {
      ccm_->sendq.head = m->nxt;
      if (!ccm_->sendq.head) ccm_->sendq.tail = nullptr;
    }
    return m;
  }

  static std::string frame(const ccm_msg_t *m) { return std::string((const char *)m->msg_start, (size_t)m->len); }

  ccm_program_head_t ctx_;
  ccm_context_t *ccm_ = nullptr;
};

TEST_F(SendRouteTest, HeaderRoutesAndTheirTypes) {
  send_native_message(ccm_, payload("\x04\x02hi", 2));
  send_GSS_message(ccm_, payload("g"), "KRB5");
  send_GSS_message(ccm_, payload("g"), "ABCDEFGHIJKL");
  send_IPC_message(ccm_, payload(std::string("LOGGING\0\0\0\0\0\0\0\0\0", 16), 0));

  ccm_msg_t *m = take();
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(frame(m), std::string("00000052WQ8:global001NAT") + std::string(24, ' ') + "\x04\x02hi");
  EXPECT_EQ(m->type, 2);  // left as the caller set it
  ccm_msg_free(ccm_, m);

  m = take();
  EXPECT_EQ(frame(m).substr(21, 11), "GSSKRB5    ");
  EXPECT_EQ(m->type, 0);
  ccm_msg_free(ccm_, m);
  m = take();
  EXPECT_EQ(frame(m).substr(21, 11), "GSSABCDEFGH");
  EXPECT_EQ(frame(m).substr(32, 16), std::string(16, ' '));
  ccm_msg_free(ccm_, m);

  m = take();
  EXPECT_EQ(frame(m).substr(0, 24), "00000064WQ8:global001IPC");
  EXPECT_EQ(m->type, CCM_MSG_IPC);
  ccm_msg_free(ccm_, m);
  EXPECT_EQ(take(), nullptr);
  EXPECT_EQ(ccm_->msgq_inuse.head, nullptr);
}

TEST_F(SendRouteTest, CommonStepKeepsOrderAndWakesTheNetworkThread) {
  ccm_msg_t *a = payload("a"), *b = payload("b");
  ccm_send_message_common(ccm_, a, "first");
  ccm_send_message_common(ccm_, b, "second");
  EXPECT_EQ(ccm_->sendq.head, a);
  EXPECT_EQ(a->nxt, b);
  EXPECT_EQ(ccm_->sendq.tail, b);
  char byte = 0;
  EXPECT_EQ(read(ccm_->network_wakeup[0], &byte, 1), 1);  // the network thread is woken
  EXPECT_EQ(byte, 'N');
  EXPECT_EQ(ccm_send_message_common(ccm_, nullptr, "none"), -1);
}

// The PASSFD frame carries a descriptor that really arrives on the other end
// of a local socket when the message is written as the write path does.
TEST_F(SendRouteTest, PassedDescriptorArrivesAtThePartner) {
  int pfd[2], sp[2];
  ASSERT_EQ(pipe(pfd), 0);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sp), 0);
  ASSERT_EQ(send_file_descriptor(ccm_, "*IPC(AGENT)", pfd[1], 12, 34, "listener-name"), 0);
  ccm_msg_t *m = take();
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(m->len, 48 + 156);
  EXPECT_EQ(m->type, CCM_MSG_IPC);
  EXPECT_STREQ(m->addr.dst_addr, "*IPC(AGENT)");
  ipcmsg_passfd_t rec;
  memcpy(&rec, m->msg_start + 48, sizeof rec);
  EXPECT_EQ(std::string(rec.head.msgtype, 16), std::string("PASSFD\0\0\0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ((std::vector<int>{rec.fd, rec.listenerID, rec.agentID}), (std::vector<int>{pfd[1], 12, 34}));
  EXPECT_STREQ(rec.name, "listener-name");
  ASSERT_GT(m->control_len, 0u);

  struct iovec iov {m->msg_start, (size_t)m->len};
  struct msghdr mh {};
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  mh.msg_control = m->control_data;
  mh.msg_controllen = m->control_len;
  ASSERT_EQ(sendmsg(sp[0], &mh, 0), (ssize_t)m->len);
  ccm_msg_free(ccm_, m);

  char data[512];
  alignas(struct cmsghdr) char ctl[256];
  struct iovec riov {data, sizeof data};
  struct msghdr rh {};
  rh.msg_iov = &riov;
  rh.msg_iovlen = 1;
  rh.msg_control = ctl;
  rh.msg_controllen = sizeof ctl;
  ASSERT_EQ(recvmsg(sp[1], &rh, 0), 48 + 156);
  struct cmsghdr *c = CMSG_FIRSTHDR(&rh);
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(c->cmsg_type, SCM_RIGHTS);
  int got = -1;
  memcpy(&got, CMSG_DATA(c), sizeof got);
  ASSERT_GE(got, 0);
  ASSERT_EQ(write(got, "z", 1), 1);  // the received descriptor is the pipe's write end
  char z = 0;
  EXPECT_EQ(read(pfd[0], &z, 1), 1);
  EXPECT_EQ(z, 'z');
  for (int fd : {got, pfd[0], pfd[1], sp[0], sp[1]}) close(fd);
}

TEST_F(SendRouteTest, RoutesWithoutMessageOrContextDoNotCrash) {
  EXPECT_EQ(send_native_message(ccm_, nullptr), -1);
  EXPECT_EQ(send_GSS_message(ccm_, nullptr, nullptr), -1);
  EXPECT_EQ(send_IPC_message(ccm_, nullptr), -1);
  EXPECT_EQ(send_file_descriptor(nullptr, "*IPC(AGENT)", 0, 0, 0, "x"), -1);
  ccm_msg_t *m = payload("g");
  EXPECT_EQ(send_GSS_message(ccm_, m, nullptr), 0);  // no coding: blanks
  m = take();
  EXPECT_EQ(frame(m).substr(24, 8), std::string(8, ' '));
  ccm_msg_free(ccm_, m);
}

}  // namespace
