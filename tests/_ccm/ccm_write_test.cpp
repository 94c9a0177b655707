// Writing a channel's send queue: pieces of at most 32768 bytes, the
// position kept across a full socket, ancillary data with every piece, and
// send errors.

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "_ccm/ccm_io_testing.h"
#include "ccm.h"

using namespace ccmtest;

namespace {

class WriteTest : public ::testing::Test {
 protected:
  // The channel gets sv[0]; the test reads from `peer`.
  void Open(int type, int sndbuf = 0) {
    int sv[2];
    socket_pair(sv, type);
    if (sndbuf) setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    nonblocking(sv[0]);
    peer = sv[1];
    ch = ctx.Entry(sv[0]);
  }
  void TearDown() override {
    if (peer >= 0) close(peer);
    if (ch) ctx.Discard(ch);
  }
  // Queues a message with `data` on the channel.
  ccm_msg_t *Queue(const std::string &data) {
    ccm_msg_t *m = ctx.Msg(data);
    ccm_queue_lock(ctx.ccm);
    ccmq_unlink(ctx.ccm->msgq_inuse, m);
    ccm_queue_unlock(ctx.ccm);
    ccmq_append(ch->sendq, m);
    return m;
  }
  int Write() {
    ccm_error_t err{};
    return ccm_write_channel(ctx.ccm, ch, &err);
  }

  Context ctx;
  ccm_channel_t *ch = nullptr;
  int peer = -1;
};

// Receives one record of a packet socket with its ancillary data.
struct Record {
  std::string data;
  int fd = -1;
};
Record recv_record(int s) {
  Record r;
  std::vector<char> buf(70000);
  union {
    struct cmsghdr align;
    char c[256];
  } u;
  struct iovec iov = {buf.data(), buf.size()};
  struct msghdr mh = {};
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  mh.msg_control = u.c;
  mh.msg_controllen = sizeof u.c;
  if (!wait_readable(s)) return r;
  ssize_t n = recvmsg(s, &mh, 0);
  if (n < 0) return r;
  r.data.assign(buf.data(), (size_t)n);
  for (struct cmsghdr *c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c))
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) memcpy(&r.fd, CMSG_DATA(c), sizeof r.fd);
  return r;
}

TEST_F(WriteTest, EmptyQueueWritesNothing) {
  Open(SOCK_STREAM);
  EXPECT_EQ(0, Write());
  EXPECT_TRUE(!readable_now(peer));
}

TEST_F(WriteTest, LargeMessageGoesOutInPiecesAndIsFreed) {
  // A packet socket keeps the boundary of every sendmsg visible.
  Open(SOCK_SEQPACKET, 1 << 20);
  std::string data = pattern(70000);
  Queue(data);
  ASSERT_EQ(0, Write());
  EXPECT_EQ(nullptr, ch->sendq.head);
  Record a = recv_record(peer), b = recv_record(peer), c = recv_record(peer);
  EXPECT_EQ(32768u, a.data.size());
  EXPECT_EQ(32768u, b.data.size());
  EXPECT_EQ(4464u, c.data.size());
  EXPECT_EQ(data, a.data + b.data + c.data);
}

TEST_F(WriteTest, MessagesKeepTheirOrder) {
  Open(SOCK_STREAM);
  Queue("first.");
  Queue("second.");
  Queue("third.");
  ASSERT_EQ(0, Write());
  EXPECT_EQ(nullptr, ch->sendq.head);
  EXPECT_EQ("first.second.third.", read_exact(peer, 19));
}

TEST_F(WriteTest, FullSocketKeepsThePosition) {
  Open(SOCK_STREAM, 4096);
  std::string data = pattern(300000, 11);
  ccm_msg_t *m = Queue(data);
  ASSERT_EQ(0, Write());
  // The socket took a part only: the message stays at the head with its
  // position, and the call ended without an error.
  ASSERT_EQ(m, ch->sendq.head);
  EXPECT_GT(m->pos, 0);
  EXPECT_LT(m->pos, m->len);
  EXPECT_FALSE(ccm_flag_test(ch->flag, CCM_CHF_DELETED));

  std::string got;
  char buf[65536];
  for (int i = 0; i < 100000 && ch->sendq.head; ++i) {
    if (!wait_readable(peer)) break;
    ssize_t n = read(peer, buf, sizeof buf);
    ASSERT_GT(n, 0);
    got.append(buf, (size_t)n);
    ASSERT_EQ(0, Write());
  }
  EXPECT_EQ(nullptr, ch->sendq.head);
  got += read_exact(peer, data.size() - got.size());
  EXPECT_EQ(data, got);
}

TEST_F(WriteTest, AncillaryDataGoesWithEveryPiece) {
  Open(SOCK_SEQPACKET, 1 << 20);
  int p[2];
  ASSERT_EQ(0, pipe(p));
  ccm_msg_t *m = ctx.Msg(pattern(40000));
  struct msghdr mh = {};
  mh.msg_control = m->control_data;
  mh.msg_controllen = CMSG_SPACE(sizeof(int));
  struct cmsghdr *c = CMSG_FIRSTHDR(&mh);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  memcpy(CMSG_DATA(c), &p[1], sizeof(int));
  m->control_len = CMSG_SPACE(sizeof(int));
  ccm_queue_lock(ctx.ccm);
  ccmq_unlink(ctx.ccm->msgq_inuse, m);
  ccm_queue_unlock(ctx.ccm);
  ccmq_append(ch->sendq, m);

  ASSERT_EQ(0, Write());
  Record a = recv_record(peer), b = recv_record(peer);
  EXPECT_EQ(32768u, a.data.size());
  EXPECT_EQ(40000u - 32768u, b.data.size());
  ASSERT_GE(a.fd, 0);
  ASSERT_GE(b.fd, 0);
  // Both copies are the pipe's write end.
  ASSERT_EQ(1, write(b.fd, "x", 1));
  char x = 0;
  ASSERT_EQ(1, read(p[0], &x, 1));
  EXPECT_EQ('x', x);
  close(a.fd);
  close(b.fd);
  close(p[0]);
  close(p[1]);
}

TEST_F(WriteTest, PeerGoneDeletesTheChannelWithoutSignal) {
  Open(SOCK_STREAM);
  close(peer);
  peer = -1;
  // Without MSG_NOSIGNAL this write would end the test process with SIGPIPE.
  Queue("nobody listens");
  EXPECT_EQ(-1, Write());
  EXPECT_TRUE(ccm_flag_test(ch->flag, CCM_CHF_DELETED));
  EXPECT_EQ(2002002, ch->msgnr);
  EXPECT_NE(nullptr, strstr(ch->msginsert, ch->name));
  // The unwritten message stays queued; destroying the channel frees it.
  EXPECT_NE(nullptr, ch->sendq.head);
}

TEST_F(WriteTest, UnsoundPositionIsDroppedNotWritten) {
  Open(SOCK_STREAM);
  ccm_msg_t *bad = Queue("never sent");
  bad->pos = -5;
  Queue("sent");
  ASSERT_EQ(0, Write());
  EXPECT_EQ(nullptr, ch->sendq.head);
  EXPECT_EQ("sent", read_exact(peer, 4));
}

}  // namespace
