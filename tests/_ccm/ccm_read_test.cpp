// Reading and writing a channel: frames cut out of the byte stream,
// classified and unpacked or rejected (tests/data/ccm_read.txt), buffers
// and allocation failures; the send queue written in pieces and gathered.

#include <thread>

#include "_ccm/ccm_io_testing.h"

using namespace ccmtest;

namespace {

// A channel on one end of a socket pair; the test writes into `peer` and
// calls the read path directly.
class ReadTest : public ::testing::Test {
 protected:
  void SetUp() override { ctx.Pipes(), Open(); }
  void TearDown() override { close(peer); }
  void Open() {
    int sv[2];
    socket_pair(sv);
    peer = sv[1];
    ch = ctx.Channel(sv[0], 0, "*IPC(TEST)");  // an IPC name: no local address to ask for
  }
  int Feed(const std::string &bytes) {
    write_all(peer, bytes);
    EXPECT_TRUE(wait_readable(ch->s));
    return ccm_read_channel(ctx.ccm, ch, &err);
  }
  Context ctx;
  ccm_channel_t *ch = nullptr;
  int peer = -1;
  ccm_error_t err{};
};

// The whole length of a key block, its content moved when asked; -1 for a
// length field of another size.
TEST(ReadLengths, KeyBlockLength) {
  unsigned char dst[8] = {0};
  std::string b = block(0x41, "xyz", 7);
  EXPECT_EQ(11, extract_protocol_data((const unsigned char *)b.data(), 7, dst));
  EXPECT_EQ(0, memcmp(dst, "xyz", 3));
  b = block(0xFF, "abc", 4);
  EXPECT_EQ(8, extract_protocol_data((const unsigned char *)b.data(), 4, nullptr));
  EXPECT_EQ(-1, extract_protocol_data((const unsigned char *)b.data(), 3, dst));
}

// Every row arrives on a channel of its own: a valid frame becomes one
// message, an invalid one deletes the channel with its reason. Only NAT data
// ends the connecting state.
TEST_F(ReadTest, FramesOfTheTable) {
  for (const auto &r : rows("ccm_read.txt")) {
    SCOPED_TRACE(r[0]);
    ASSERT_GE(r.size(), 5u);
    close(peer);
    Open();
    LogRecorder log;
    ccm_flag_set(ch->flag, CCM_CHF_CONNECTING);
    int rc = Feed(r[1] == "RAW" ? bytes(r[2]) : frame(bytes(r[2]), r[1].c_str()));
    if (r[3] == "bad") {
      EXPECT_EQ(-1, rc);
      EXPECT_TRUE(ccm_flag_test(ch->flag, CCM_CHF_DELETED));
      EXPECT_EQ(2002036, ch->msgnr);
      EXPECT_NE(nullptr, strstr(ch->msginsert, ("|invalid frame(" + r[4] + ")").c_str())) << ch->msginsert;
      EXPECT_EQ(0, count_recvq(ctx.ccm));
      continue;
    }
    ASSERT_EQ(0, rc) << ch->msginsert;
    ASSERT_GE(r.size(), 6u);
    ccm_msg_t *m = receive(ctx.ccm);
    ASSERT_NE(nullptr, m);
    char got[64];
    snprintf(got, sizeof got, "ok %d %d %u", m->type, m->protocol_key, m->flag);
    EXPECT_EQ(r[3], got);
    EXPECT_EQ(bytes(r[4]), msg_data(m));
    EXPECT_EQ(ch->ID, m->addr.src_ID);
    EXPECT_TRUE(m->len == 0 || m->msg_start == m->buffer1 + (m->type == CCM_MSG_IPC ? 48 : 0));
    EXPECT_EQ(m->type != CCM_MSG_NAT, ccm_flag_test(ch->flag, CCM_CHF_CONNECTING));
    m->addr.src_ID = 0;
    EXPECT_EQ(bytes(r[5]), addr_text(m->addr));
    EXPECT_EQ(std::vector<std::string>(r.begin() + std::min<size_t>(r.size(), 6), r.end()), log.with(-1));
    ccm_msg_free(ctx.ccm, m);
  }
}

// At every cut of a stream of three frames the frames wholly before the cut
// are delivered at once and the rest waits for the next read.
TEST_F(ReadTest, FramesSplitAtEveryBytePosition) {
  const std::string data[] = {"first", pattern(40), "x"};
  const std::string f[] = {frame(block(0x04, data[0])), frame(block(0xFF, data[1], 4)),
                           frame(block(0x07, data[2]))};
  const std::string stream = f[0] + f[1] + f[2];
  for (size_t cut = 1; cut < stream.size(); ++cut) {
    ASSERT_EQ(0, Feed(stream.substr(0, cut))) << cut;
    size_t whole = 0, n = 0;
    for (; n < 3 && whole + f[n].size() <= cut; ++n) whole += f[n].size();
    ASSERT_EQ((int)n, count_recvq(ctx.ccm)) << cut;
    EXPECT_EQ((int)(cut - whole), ch->recv_pos) << cut;
    ASSERT_EQ(0, Feed(stream.substr(cut))) << cut;
    ASSERT_EQ(3, count_recvq(ctx.ccm)) << cut;
    for (const auto &want : data) EXPECT_EQ(want, next_text(ctx.ccm)) << cut;
    EXPECT_EQ(0, ch->recv_pos);
  }
}

// Frames before an invalid one are delivered, the receiver woken.
TEST_F(ReadTest, FramesBeforeAnInvalidOneAreDelivered) {
  EXPECT_EQ(-1, Feed(frame(block(0x04, "ok")) + frame(block(0x05, "bad"))));
  EXPECT_EQ('P', read_byte(ctx.ccm->processor_wakeup[0]));
  EXPECT_EQ(1, count_recvq(ctx.ccm));
  EXPECT_EQ("ok", next_text(ctx.ccm));
}

// The receive buffer grows with the bytes that arrive, to at most twice its
// size and never beyond the frame at its start; a frame longer than a normal
// message goes into its own message and leaves the buffer as it was.
TEST_F(ReadTest, BufferGrowsWithTheArrivedFrameNotWithItsHeader) {
  const int cases[][2] = {{151, 8192}, {12000, 12000}, {20000, 20000}, {32768, 32768}, {32769, 8192}, {200000, 8192}};
  for (const auto &c : cases) {
    close(peer);
    Open();
    const std::string data = pattern((size_t)c[0] - 48 - 5, (unsigned)c[0]);
    std::thread writer([&] { write_all(peer, frame(block(0xFF, data, 4))); });
    while (count_recvq(ctx.ccm) == 0 && wait_readable(ch->s)) ASSERT_EQ(0, ccm_read_channel(ctx.ccm, ch, &err));
    writer.join();
    EXPECT_EQ(c[1], ch->recv_size) << c[0];
    EXPECT_EQ(data, next_text(ctx.ccm)) << c[0];
  }
}

TEST_F(ReadTest, AllocationFailuresKeepTheChannelAndDeliverEachFrameOnce) {
  std::string f[4];
  for (int i = 0; i < 4; ++i) f[i] = frame(block(0x04, std::to_string(i)));
  write_all(peer, f[0] + f[1] + f[2]);
  ASSERT_TRUE(wait_readable(ch->s));
  ccm_alloc_fail_at(1);  // the receive buffer
  EXPECT_EQ(-1, ccm_read_channel(ctx.ccm, ch, &err));
  EXPECT_TRUE(starts(err_text(err), "3301 RECVBUFF/src/_ccm/ccm(")) << err_text(err);
  ccm_alloc_fail_at(3);  // buffer, first message, then the second message fails
  EXPECT_EQ(-1, ccm_read_channel(ctx.ccm, ch, &err));
  ccm_alloc_fail_at(0);
  EXPECT_FALSE(ccm_flag_test(ch->flag, CCM_CHF_DELETED));
  EXPECT_EQ(1, count_recvq(ctx.ccm));
  EXPECT_EQ((int)(f[1].size() + f[2].size()), ch->recv_pos);
  ASSERT_EQ(0, Feed(f[3]));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(std::to_string(i), next_text(ctx.ccm));
  EXPECT_EQ(0, count_recvq(ctx.ccm));
}

TEST_F(ReadTest, NothingToReadKeepsTheChannelAndCloseDeletesIt) {
  EXPECT_EQ(0, ccm_read_channel(ctx.ccm, ch, &err));
  EXPECT_FALSE(ccm_flag_test(ch->flag, CCM_CHF_DELETED));
  shutdown(peer, SHUT_WR);
  ASSERT_TRUE(wait_readable(ch->s));
  EXPECT_EQ(-1, ccm_read_channel(ctx.ccm, ch, &err));
  EXPECT_TRUE(ccm_flag_test(ch->flag, CCM_CHF_DELETED));
  EXPECT_EQ(0, ch->msgnr);  // an orderly close is no error
}

// The send queue of a channel on one end of a pair of `type`.
class WriteTest : public ::testing::Test {
 protected:
  void Open(int type, int sndbuf) {
    int sv[2];
    socket_pair(sv, type);
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    peer = sv[1];
    ch = ctx.Channel(sv[0]);
  }
  void TearDown() override { close(peer); }
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
    alignas(struct cmsghdr) char ctl[256];
    struct iovec iov = {buf.data(), buf.size()};
    struct msghdr mh = {nullptr, 0, &iov, 1, ctl, sizeof ctl, 0};
    ssize_t n = wait_readable(peer) ? recvmsg(peer, &mh, 0) : -1;
    *fd = passed_fd(ctl, mh.msg_controllen);
    return n > 0 ? std::string(buf.data(), (size_t)n) : "";
  }
  Context ctx;
  ccm_channel_t *ch = nullptr;
  int peer = -1;
};

// A packet socket shows each sendmsg: pieces of at most 32768 bytes, each
// with the message's descriptor, in queue order.
TEST_F(WriteTest, PiecesOfAtMost32768EachWithTheDescriptor) {
  Open(SOCK_SEQPACKET, 1 << 20);
  int p[2];
  ASSERT_EQ(0, pipe(p));
  std::string data = pattern(70000);
  attach_fd(Queue(data), p[1]);
  Queue("next");
  ASSERT_EQ(0, Write());
  EXPECT_EQ(nullptr, ch->sendq.head);  // both written and freed
  int fd[4];
  std::string a = Record(&fd[0]), b = Record(&fd[1]), c = Record(&fd[2]);
  EXPECT_EQ((std::vector<size_t>{32768, 32768, 4464}), (std::vector<size_t>{a.size(), b.size(), c.size()}));
  EXPECT_EQ(data, a + b + c);
  EXPECT_EQ("next", Record(&fd[3]));
  EXPECT_EQ(-1, fd[3]);
  for (int i = 0; i < 3; ++i) {
    ASSERT_GE(fd[i], 0) << i;
    ASSERT_EQ(1, write(fd[i], "x", 1));  // a copy of the pipe's write end
    EXPECT_EQ('x', read_byte(p[0]));
    close(fd[i]);
  }
  close(p[0]), close(p[1]);
}

TEST_F(WriteTest, PeerGoneDeletesTheChannelAndUnsoundPositionIsDropped) {
  Open(SOCK_STREAM, 65536);
  // Unsound entries are dropped unsent: a negative position, a position past
  // the end, more ancillary data than its area holds.
  Queue("never sent")->pos = -5;
  Queue("past the end")->pos = 13;
  Queue("too much ancillary data")->control_len = sizeof(ccm_msg_t::control_data) + 1;
  Queue("sent");
  ASSERT_EQ(0, Write());
  EXPECT_EQ(nullptr, ch->sendq.head);
  EXPECT_EQ("sent", read_exact(peer, 4));
  close(peer);
  peer = -1;
  ccm_msg_t *m = Queue("nobody listens");  // without MSG_NOSIGNAL: SIGPIPE ends the test
  EXPECT_EQ(-1, Write());
  EXPECT_TRUE(ccm_flag_test(ch->flag, CCM_CHF_DELETED));
  EXPECT_EQ(2002002, ch->msgnr);
  EXPECT_NE(nullptr, strstr(ch->msginsert, ch->name));
  EXPECT_EQ(m, ch->sendq.head);  // freed when the channel is destroyed
}

// Many queued messages go out gathered: the stream is the messages in order,
// and after a short write only the head of the queue is partly written, the
// channel kept. Even on a blocking socket the write never waits.
TEST_F(WriteTest, GatheredMessagesResumeInsideTheRightMessage) {
  for (int sndbuf : {1 << 20, 4096}) {
    SCOPED_TRACE(sndbuf);
    close(peer);
    Open(SOCK_STREAM, sndbuf);
    if (sndbuf == 4096) fcntl(ch->s, F_SETFL, fcntl(ch->s, F_GETFL) & ~O_NONBLOCK);
    std::string expect, got;
    for (int i = 0; i < 400; ++i) expect += msg_data(Queue(pattern(200 + i % 150, (unsigned)i)));
    for (int round = 0; round < 10000 && got.size() < expect.size(); ++round) {
      ASSERT_EQ(0, Write());
      ASSERT_EQ(0, Write());  // a full socket is no error either
      size_t queued = 0;
      for (ccm_msg_t *m = ch->sendq.head; m; m = m->nxt) {
        EXPECT_TRUE(m == ch->sendq.head ? m->pos < m->len : m->pos == 0);
        queued += (size_t)(m->len - m->pos);
      }
      ASSERT_FALSE(ccm_flag_test(ch->flag, CCM_CHF_DELETED));
      got += read_exact(peer, expect.size() - queued - got.size());
    }
    EXPECT_EQ(expect, got);
    EXPECT_EQ(nullptr, ch->sendq.head);
    EXPECT_TRUE(nothing_to_read(peer));
  }
}

}  // namespace
