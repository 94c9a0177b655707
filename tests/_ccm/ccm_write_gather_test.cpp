// Several queued messages handed to one sendmsg on a stream socket: the byte
// stream is the messages in queue order, each is freed once written, and a
// short write leaves the exact position inside the message it stopped in.

#include <unistd.h>

#include <string>

#include "_ccm/ccm_io_testing.h"

using namespace ccmtest;

namespace {

struct Gather {
  Context ctx;
  ccm_channel_t *ch = nullptr;
  int peer = -1;
  explicit Gather(int sndbuf) {
    int sv[2];
    socket_pair(sv);
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    peer = sv[1];
    ch = ctx.Channel(sv[0]);
  }
  ~Gather() { close(peer); }
  int Write() {
    ccm_error_t err{};
    return ccm_write_channel(ctx.ccm, ch, &err);
  }
};

TEST(WriteGather, ManySmallMessagesKeepTheirBytesAndOrder) {
  Gather g(1 << 20);
  std::string expect;
  for (int i = 0; i < 150; ++i) {  // more than one gather list holds
    std::string d = pattern(200 + i, (unsigned)i);
    expect += d;
    ccmq_append(g.ch->sendq, g.ctx.Msg(d));
  }
  ASSERT_EQ(0, g.Write());
  EXPECT_EQ(nullptr, g.ch->sendq.head);
  EXPECT_EQ(expect, read_exact(g.peer, expect.size()));
  EXPECT_TRUE(nothing_to_read(g.peer));
}

TEST(WriteGather, ShortWritesResumeInsideTheRightMessage) {
  Gather g(4096);  // the socket takes far less than is queued
  std::string expect;
  for (int i = 0; i < 400; ++i) {
    std::string d = pattern(339, (unsigned)i);
    expect += d;
    ccmq_append(g.ch->sendq, g.ctx.Msg(d));
  }
  std::string got;
  for (int round = 0; round < 10000 && got.size() < expect.size(); ++round) {
    ASSERT_EQ(0, g.Write());
    // Everything written so far has left the queue; only the head may be
    // partly written. What is still queued tells how much is on its way.
    size_t queued = 0;
    for (ccm_msg_t *m = g.ch->sendq.head; m; m = m->nxt) {
      if (m != g.ch->sendq.head) {
        EXPECT_EQ(0, m->pos);
      } else {
        EXPECT_LT(m->pos, m->len);
      }
      queued += (size_t)(m->len - m->pos);
    }
    got += read_exact(g.peer, expect.size() - queued - got.size());
  }
  EXPECT_EQ(expect, got);
  EXPECT_EQ(nullptr, g.ch->sendq.head);
}

}  // namespace
