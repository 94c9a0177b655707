// Reading and writing a channel: frames cut out of the byte stream,
// classified and unpacked or rejected (tests/data/ccm_read.txt), streams cut
// at every byte, the maximum frame, buffers and allocation failures; the send
// queue written in pieces and gathered.

#include <thread>

#include "_ccm/ccm_io_testing.h"
#include "ccm_wakeup.h"

using namespace ccmtest;

namespace {

// A channel on one end of a socket pair; the test writes into or reads from
// `peer` and calls the read and write paths directly.
class IoTest : public ::testing::Test {
 protected:
  void SetUp() override { ctx.Pipes(), Open(); }
  void TearDown() override { close(peer); }
  // A fresh channel on a pair of `type`, with a send buffer of `sndbuf` bytes.
  void Open(int type = SOCK_STREAM, int sndbuf = 1 << 20) {
    int sv[2];
    socket_pair(sv, type);
    close(std::exchange(peer, sv[1]));  // the previous channel's
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    ch = ctx.Channel(sv[0], 0, "*IPC(TEST)");  // an IPC name: no local address to ask for
  }
  int Read() { return ccm_read_channel(ctx.ccm, ch, &err); }
  int Feed(const std::string &bytes) { return write_all(peer, bytes), wqtest::Readable(ch->s) ? Read() : -2; }
  // What a read or write returning `rc` left: "RC kept|deleted MSGNR MESSAGES-QUEUED".
  std::string After(int rc) {
    return std::to_string(rc) + (ccm_flag_test(ch->flag, CCM_CHF_DELETED) ? " deleted " : " kept ") +
           std::to_string(ch->msgnr) + " " + std::to_string(count_recvq(ctx.ccm));
  }
  ccm_msg_t *Queue(const std::string &data) { return ccmq_append(ch->sendq, ctx.Msg(data)), ch->sendq.tail; }
  int Write() { return ccm_write_channel(ctx.ccm, ch, &err); }
  Context ctx;
  ccm_channel_t *ch = nullptr;
  int peer = -1;
  ccm_error_t err{};
};

// The whole length of a key block and its content, moved when asked; -1 for
// a length field of another size or a negative decimal length; no digits
// read as 0.
TEST(ReadLengths, KeyBlockLength) {
  const struct {
    std::string block;
    int keylen, whole;
    const char *moved;  // null: no destination
  } cases[] = {{block(0x41, "xyz", 7), 7, 11, "xyz"}, {block(0xFF, "abc", 4), 4, 8, nullptr}, {block(0xFF, "abc", 4), 3, -1, ""},
               {block(0x3B, "ab", 2), 2, 5, "ab"},    {"\x41-000005abcde", 7, -1, ""},        {"\x41zzzzzzzabc", 7, 8, ""}};
  for (const auto &c : cases) {
    unsigned char dst[8] = {0};
    EXPECT_EQ(c.whole, extract_protocol_data((const unsigned char *)c.block.data(), c.keylen, c.moved ? dst : nullptr))
        << c.block;
    EXPECT_STREQ(c.moved ? c.moved : "", (const char *)dst) << c.block;
  }
}

// Every row arrives on a channel of its own: a valid frame becomes one
// message, an invalid one deletes the channel with its reason. Only NAT data
// ends the connecting state.
TEST_F(IoTest, FramesOfTheTable) {
  for (const auto &r : wqtest::ReadRows("ccm_read.txt")) {
    SCOPED_TRACE(r[0]);
    ASSERT_GE(r.size(), r.size() > 3 && r[3] == "bad" ? 5u : 6u);
    Open();
    LogRecorder log;
    ccm_flag_set(ch->flag, CCM_CHF_CONNECTING);
    int rc = Feed(r[1] == "RAW" ? wqtest::Unhex(r[2]) : frame(wqtest::Unhex(r[2]), r[1].c_str()));
    EXPECT_EQ(r[3] == "bad" ? "-1 deleted 2002036 0" : "0 kept 0 1", After(rc)) << ch->msginsert;
    if (r[3] == "bad") {
      EXPECT_NE(nullptr, strstr(ch->msginsert, ("|invalid frame(" + r[4] + ")").c_str())) << ch->msginsert;
      continue;
    }
    ccm_msg_t *m = receive(ctx.ccm);
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(ch->ID, std::exchange(m->addr.src_ID, 0));
    EXPECT_EQ(r[3] + "|" + wqtest::Unhex(r[4]) + "|" + wqtest::Unhex(r[5]), "ok " + std::to_string(m->type) + " " + std::to_string(m->protocol_key) +
                                                                " " + std::to_string(m->flag) + "|" + msg_data(m) + "|" + addr_text(m->addr));
    EXPECT_TRUE(m->len == 0 || m->msg_start == m->buffer1 + (m->type == CCM_MSG_IPC ? 48 : 0));
    EXPECT_EQ(m->type != CCM_MSG_NAT, ccm_flag_test(ch->flag, CCM_CHF_CONNECTING));
    EXPECT_EQ(std::vector<std::string>(r.begin() + std::min<size_t>(r.size(), 6), r.end()), log.with(-1));
    ccm_msg_free(ctx.ccm, m);
  }
}

// A stream cut at every byte: the frames wholly before the cut are delivered
// at once, the rest (a partial header too) waits for the next read; a frame
// of the maximum (1000 here) passes. The frames before an invalid one (of a
// byte more, of an unknown key) are delivered, the receiver woken.
TEST_F(IoTest, StreamsCutAtEveryByteAndFramesBeforeAnInvalidOne) {
  ASSERT_EQ(0, ccm_set_max_frame(ctx.ccm, 1000));
  const std::string data[] = {"first", wqtest::Pattern(40), "x", std::string(1000 - 48 - 3, 'm')};
  const std::string f[] = {frame(block(0x04, data[0])), frame(block(0xFF, data[1], 4)), frame(block(0x07, data[2])),
                           frame(block(0x3B, data[3], 2))};
  const std::string stream = f[0] + f[1] + f[2] + f[3];
  for (size_t cut = 1; cut <= stream.size(); ++cut) {
    ASSERT_EQ(0, Feed(stream.substr(0, cut))) << cut;
    size_t whole = 0, n = 0;
    for (; n < 4 && whole + f[n].size() <= cut; ++n) whole += f[n].size();
    ASSERT_EQ((int)n, count_recvq(ctx.ccm)) << cut;
    EXPECT_EQ((int)(cut - whole), ch->recv_pos) << cut;
    ASSERT_EQ(0, cut < stream.size() ? Feed(stream.substr(cut)) : 0) << cut;
    ASSERT_EQ(4, count_recvq(ctx.ccm)) << cut;
    for (const auto &want : data) EXPECT_EQ(want, next_text(ctx.ccm)) << cut;
    EXPECT_EQ(0, ch->recv_pos);
  }
  const std::pair<std::string, std::string> invalid[] = {
      {frame(block(0x3B, std::string(1001 - 48 - 3, 'x'), 2)), "length 1001 above the maximum 1000"},
      {frame(block(0x05, "bad")), "invalid key 0x05"}};
  for (const auto &[bad, reason] : invalid) {
    Open();
    ccm_take_processor_wakeup(ctx.ccm);
    EXPECT_EQ("-1 deleted 2002036 1", After(Feed(f[0] + bad)));
    EXPECT_NE(nullptr, strstr(ch->msginsert, ("|invalid frame(" + reason + ")").c_str())) << ch->msginsert;
    EXPECT_EQ('P', read_byte(ctx.ccm->processor_wakeup[0]));
    EXPECT_EQ(data[0], next_text(ctx.ccm));
  }
}

// The receive buffer grows with the bytes that arrive, to at most twice its
// size and never beyond the frame at its start; a frame longer than a normal
// message goes into its own message and leaves the buffer as it was.
TEST_F(IoTest, BufferGrowsWithTheArrivedFrameNotWithItsHeader) {
  const int cases[][2] = {{151, 8192}, {12000, 12000}, {20000, 20000}, {32768, 32768}, {32769, 8192}, {200000, 8192}};
  for (const auto &c : cases) {
    Open();
    const std::string data = wqtest::Pattern((size_t)c[0] - 48 - 5, (unsigned)c[0]);
    std::thread writer([&] { write_all(peer, frame(block(0xFF, data, 4))); });
    while (count_recvq(ctx.ccm) == 0 && wqtest::Readable(ch->s)) ASSERT_EQ(0, Read());
    writer.join();
    EXPECT_EQ(c[1], ch->recv_size) << c[0];
    EXPECT_EQ(data, next_text(ctx.ccm)) << c[0];
  }
}

// Without memory the channel stays and no frame is delivered twice; with
// nothing to read it stays; an orderly close deletes it without an error.
TEST_F(IoTest, AllocationFailuresNothingToReadAndClose) {
  const std::string f[] = {frame(block(0x04, "0")), frame(block(0x04, "1")), frame(block(0x04, "2")), frame(block(0x04, "3"))};
  write_all(peer, f[0] + f[1] + f[2]);
  ASSERT_TRUE(wqtest::Readable(ch->s));
  ccm_alloc_fail_at(1);  // the receive buffer
  EXPECT_EQ("-1 kept 0 0", After(Read()));
  EXPECT_TRUE(starts(err_text(err), "3301 RECVBUFF/src/_ccm/ccm(")) << err_text(err);
  ccm_alloc_fail_at(3);  // buffer, first message, then the second message fails
  EXPECT_EQ("-1 kept 0 1", After(Read()));
  ccm_alloc_fail_at(0);
  EXPECT_EQ((int)(f[1].size() + f[2].size()), ch->recv_pos);
  EXPECT_EQ("0 kept 0 4", After(Feed(f[3])));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(std::to_string(i), next_text(ctx.ccm));
  EXPECT_EQ("0 kept 0 0", After(Read()));
  shutdown(peer, SHUT_WR);
  EXPECT_EQ("-1 deleted 0 0", After(Feed("")));  // an orderly close is no error
}

// The send queue written: unsound entries (a negative position, a position
// past the end, more ancillary data than its area holds) are dropped unsent;
// a message goes in pieces of at most 32768 bytes, each with its descriptor
// (a packet socket shows each sendmsg as a record); on a stream socket the
// messages behind it go out gathered, and after a short write only the head
// is partly written, the channel kept; a blocking socket never waits. A peer
// gone deletes the channel, whose queue stays (freed with it).
TEST_F(IoTest, QueueWrittenInPiecesAndGathered) {
  const struct {
    int type, sndbuf;
    bool blocking;
  } cases[] = {{SOCK_SEQPACKET, 1 << 20, false}, {SOCK_STREAM, 1 << 20, false}, {SOCK_STREAM, 4096, true}};
  int p[2];
  ASSERT_EQ(0, pipe(p));
  for (const auto &c : cases) {
    SCOPED_TRACE("type " + std::to_string(c.type) + ", send buffer " + std::to_string(c.sndbuf));
    Open(c.type, c.sndbuf);
    if (c.blocking) fcntl(ch->s, F_SETFL, fcntl(ch->s, F_GETFL) & ~O_NONBLOCK);
    Queue("never sent")->pos = -5;
    Queue("past the end")->pos = 13;
    Queue("too much ancillary data")->control_len = sizeof(ccm_msg_t::control_data) + 1;
    std::string expect = wqtest::Pattern(70000), got;
    attach_fd(Queue(expect), p[1]);
    std::vector<size_t> ends, want = {32768, 65536, 70000};  // where the records end
    for (int i = 0; i < 400; ++i) want.push_back((expect += msg_data(Queue(wqtest::Pattern(200 + i % 150, (unsigned)i)))).size());
    int fds = 0;
    for (int round = 0; round < 10000 && got.size() < expect.size(); ++round) {
      ASSERT_EQ(0, Write());
      ASSERT_EQ(0, Write());  // a full socket is no error either
      size_t queued = 0;
      for (ccm_msg_t *m = ch->sendq.head; m; m = m->nxt) {
        EXPECT_TRUE(m == ch->sendq.head ? m->pos < m->len : m->pos == 0);
        queued += (size_t)(m->len - m->pos);
      }
      ASSERT_FALSE(ccm_flag_test(ch->flag, CCM_CHF_DELETED));
      for (int fd; !nothing_to_read(peer); close(fd)) {
        ends.push_back((got += recv_with_fd(peer, &fd)).size());
        fds += fd >= 0;
        EXPECT_TRUE(fd < 0 || (write(fd, "x", 1) == 1 && read_byte(p[0]) == 'x'));  // a copy of the pipe's write end
      }
      ASSERT_EQ(expect.size() - queued, got.size());  // what left the queue, no more
      // A write goes on while the socket takes it: a stream takes everything at once.
      EXPECT_TRUE(c.blocking || round > 0 || got.size() >= (c.type == SOCK_STREAM ? expect.size() : 70000)) << got.size();
    }
    EXPECT_EQ(expect, got);  // and nothing queued (above): every message written and freed
    EXPECT_EQ(c.type == SOCK_SEQPACKET ? want : ends, ends);
    EXPECT_EQ(c.type == SOCK_SEQPACKET ? 3 : std::max(fds, 1), fds);  // a stream shows at least the first
  }
  close(p[0]), close(p[1]);
  close(peer), peer = -1;
  ccm_msg_t *m = Queue("nobody listens");  // without MSG_NOSIGNAL: SIGPIPE ends the test
  EXPECT_EQ("-1 deleted 2002002 0", After(Write()));
  EXPECT_NE(nullptr, strstr(ch->msginsert, ch->name));
  EXPECT_EQ(m, ch->sendq.head);
}

}  // namespace
