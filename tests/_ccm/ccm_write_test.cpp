// Writing a channel's send queue: pieces of at most 32768 bytes, the
// position kept across a full socket, ancillary data with every piece, and
// send errors.

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "_ccm/ccm_io_testing.h"

using namespace ccmtest;

namespace {

class WriteTest : public ::testing::Test {
 protected:
  // The channel gets one end of a pair of `type`; the test reads from `peer`.
  void Open(int type, int sndbuf) {
    int sv[2];
    socket_pair(sv, type);
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    peer = sv[1];
    ch = ctx.Channel(sv[0]);
  }
  void TearDown() override {
    if (peer >= 0) close(peer);
  }
  ccm_msg_t *Queue(const std::string &data) {
    ccm_msg_t *m = ctx.Msg(data);
    ccmq_append(ch->sendq, m);
    return m;
  }
  int Write() {
    ccm_error_t err{};
    return ccm_write_channel(ctx.ccm, ch, &err);
  }
  // One record of a packet socket, with the descriptor that came along.
  std::string Record(int *fd) {
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
    *fd = -1;
    if (!wait_readable(peer)) return "";
    ssize_t n = recvmsg(peer, &mh, 0);
    struct cmsghdr *c = CMSG_FIRSTHDR(&mh);
    if (c && c->cmsg_type == SCM_RIGHTS) memcpy(fd, CMSG_DATA(c), sizeof *fd);
    return n > 0 ? std::string(buf.data(), (size_t)n) : "";
  }

  Context ctx;
  ccm_channel_t *ch = nullptr;
  int peer = -1;
};

TEST_F(WriteTest, PiecesOfAtMost32768AndOrderKept) {
  Open(SOCK_SEQPACKET, 1 << 20);  // a packet socket shows each sendmsg
  std::string data = pattern(70000);
  Queue(data);
  Queue("next");
  ASSERT_EQ(0, Write());
  EXPECT_EQ(nullptr, ch->sendq.head);  // both written and freed
  int fd;
  std::string a = Record(&fd), b = Record(&fd), c = Record(&fd);
  EXPECT_EQ(32768u, a.size());
  EXPECT_EQ(32768u, b.size());
  EXPECT_EQ(4464u, c.size());
  EXPECT_EQ(data, a + b + c);
  EXPECT_EQ("next", Record(&fd));
}

TEST_F(WriteTest, FullSocketKeepsThePosition) {
  Open(SOCK_STREAM, 4096);
  // Even a descriptor left blocking never makes the write wait.
  fcntl(ch->s, F_SETFL, fcntl(ch->s, F_GETFL) & ~O_NONBLOCK);
  std::string data = pattern(300000, 11);
  ccm_msg_t *m = Queue(data);
  ASSERT_EQ(0, Write());
  // The socket took a part only: no error, the message stays with its position.
  ASSERT_EQ(m, ch->sendq.head);
  EXPECT_GT(m->pos, 0);
  EXPECT_LT(m->pos, m->len);
  EXPECT_FALSE(ccm_flag_test(ch->flag, CCM_CHF_DELETED));

  std::string got;
  char buf[65536];
  while (ch->sendq.head && wait_readable(peer)) {
    ssize_t n = read(peer, buf, sizeof buf);
    ASSERT_GT(n, 0);
    got.append(buf, (size_t)n);
    ASSERT_EQ(0, Write());
  }
  got += read_exact(peer, data.size() - got.size());
  EXPECT_EQ(data, got);
}

TEST_F(WriteTest, AncillaryDataGoesWithEveryPiece) {
  Open(SOCK_SEQPACKET, 1 << 20);
  int p[2];
  ASSERT_EQ(0, pipe(p));
  attach_fd(Queue(pattern(40000)), p[1]);
  ASSERT_EQ(0, Write());
  int fa, fb;
  EXPECT_EQ(32768u, Record(&fa).size());
  EXPECT_EQ(40000u - 32768u, Record(&fb).size());
  ASSERT_GE(fa, 0);
  ASSERT_GE(fb, 0);
  ASSERT_EQ(1, write(fb, "x", 1));  // a copy of the pipe's write end
  EXPECT_EQ('x', read_byte(p[0]));
  for (int fd : {fa, fb, p[0], p[1]}) close(fd);
}

TEST_F(WriteTest, PeerGoneDeletesTheChannelWithoutSignal) {
  Open(SOCK_STREAM, 65536);
  close(peer);
  peer = -1;
  // Without MSG_NOSIGNAL this write would end the test process with SIGPIPE.
  ccm_msg_t *m = Queue("nobody listens");
  EXPECT_EQ(-1, Write());
  EXPECT_TRUE(ccm_flag_test(ch->flag, CCM_CHF_DELETED));
  EXPECT_EQ(2002002, ch->msgnr);
  EXPECT_NE(nullptr, strstr(ch->msginsert, ch->name));
  EXPECT_EQ(m, ch->sendq.head);  // freed when the channel is destroyed
}

TEST_F(WriteTest, UnsoundPositionIsDroppedNotWritten) {
  Open(SOCK_STREAM, 65536);
  Queue("never sent")->pos = -5;
  Queue("sent");
  ASSERT_EQ(0, Write());
  EXPECT_EQ(nullptr, ch->sendq.head);
  EXPECT_EQ("sent", read_exact(peer, 4));
}

}  // namespace
