// What peers can make a context hold: the receive queue's limit (no channel
// is read while it is full; nothing is lost or reordered), the maximum frame
// length, and large frames received straight into their message. Everything
// is measured through the library's own counters.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "_ccm/ccm_io_testing.h"
#include "ipcmsg.h"

using namespace ccmtest;

namespace {

const size_t kNormal = ccm_msg_memory_for(kCcmNormalSize);  // one normal message

// A frame carrying `text` in a key-4 block.
std::string text_frame(const std::string &text) { return frame(block(0x04, text)); }

// The text of frame number i of a numbered stream.
std::string nth(int i) {
  char t[16];
  snprintf(t, sizeof t, "#%06d", i);
  return t;
}

// Waits, up to the deadline, until `cond` holds.
template <typename Cond>
bool eventually(Cond cond) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    poll(nullptr, 0, 2);
  }
  return true;
}

// A peer that sends 3000 frames without ever reading keeps the receive queue
// at its limit; the receiver then takes every frame, once and in order.
TEST(RecvqLimit, SenderThatNeverReadsKeepsTheQueueAtItsLimit) {
  constexpr int kFrames = 3000;
  Context ctx;
  const size_t limit = 4 * kNormal;
  ASSERT_EQ(0, ccm_set_recvq_limit(ctx.ccm, limit));
  int sv[2];
  socket_pair(sv);
  ctx.Channel(sv[0], 0, "*IPC(FLOOD)");
  ctx.Start();
  std::thread sender([&] {
    std::string all;
    for (int i = 0; i < kFrames; ++i) all += text_frame(nth(i));
    write_all(sv[1], all);  // blocks while the channel is not read
  });

  // The queue fills up to its limit, and no further.
  EXPECT_TRUE(eventually([&] { return ccm_get_recvq_bytes(ctx.ccm) >= limit; }));
  int got = 0;
  for (; got < kFrames; ++got) {
    ccm_msg_t *m = receive(ctx.ccm);
    ASSERT_NE(nullptr, m) << got;
    ASSERT_EQ(nth(got), msg_data(m));
    ccm_msg_free(ctx.ccm, m);
  }
  sender.join();
  EXPECT_EQ(0u, ccm_get_recvq_bytes(ctx.ccm));
  EXPECT_GE(ccm_get_recvq_peak(ctx.ccm), limit);
  EXPECT_LE(ccm_get_recvq_peak(ctx.ccm), limit + kNormal);
  ctx.Stop();
  EXPECT_EQ(0, count_recvq(ctx.ccm));
  close(sv[1]);
}

// Select passes driven by the test, with room for one message: a full queue
// leaves every channel unread, a take that makes room wakes the network
// thread, buffered frames go before new bytes, and the channel after the one
// that filled the queue is served first.
TEST(RecvqLimit, FullQueueIsServedInTurnFromBufferedFramesFirst) {
  Context ctx;
  ctx.Pipes();
  ASSERT_EQ(0, ccm_set_recvq_limit(ctx.ccm, 1));
  int a[2], b[2];
  socket_pair(a);
  socket_pair(b);
  ccm_channel_t *cha = ctx.Channel(a[0], 0, "*IPC(A)");
  ctx.Channel(b[0], 0, "*IPC(B)");
  write_all(a[1], text_frame("a1") + text_frame("a2") + text_frame("a3"));
  write_all(b[1], text_frame("b1"));
  ccm_error_t err{};
  auto pass = [&] { return ccm_network_select(ctx.ccm, 0, &err); };
  auto take = [&]() -> std::string {
    ccm_msg_t *m = nullptr;
    if (ccm_receive_message(ctx.ccm, 0, &m, &err) != 1) return "none";
    std::string s = msg_data(m);
    ccm_msg_free(ctx.ccm, m);
    return s;
  };

  ASSERT_EQ(0, pass());
  EXPECT_EQ(1, count_recvq(ctx.ccm));
  EXPECT_EQ(1, cha->recv_held);  // a2 and a3 wait in the buffer
  write_all(a[1], text_frame("a4"));
  const int buffered = cha->recv_pos;
  ASSERT_EQ(0, pass());  // full: nothing is read
  EXPECT_EQ(1, count_recvq(ctx.ccm));
  EXPECT_EQ(buffered, cha->recv_pos);

  EXPECT_TRUE(nothing_to_read(ctx.ccm->network_wakeup[0]));
  EXPECT_EQ("a1", take());
  EXPECT_FALSE(nothing_to_read(ctx.ccm->network_wakeup[0]));  // the take woke the network thread
  std::vector<std::string> order = {"a1"};
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(0, pass());
    EXPECT_EQ(1, count_recvq(ctx.ccm)) << i;
    order.push_back(take());
  }
  EXPECT_EQ((std::vector<std::string>{"a1", "b1", "a2", "a3", "a4"}), order);
  EXPECT_EQ(0, cha->recv_held);
  EXPECT_LE(ccm_get_recvq_peak(ctx.ccm), kNormal);
  close(a[1]);
  close(b[1]);
}

TEST(RecvqLimit, SettersRefuseWhatCannotWork) {
  Context ctx;
  EXPECT_EQ(-1, ccm_set_recvq_limit(ctx.ccm, 0));
  EXPECT_EQ(-1, ccm_set_recvq_limit(nullptr, 1));
  EXPECT_EQ(-1, ccm_set_max_frame(ctx.ccm, 47));
  EXPECT_EQ(-1, ccm_set_max_frame(ctx.ccm, 100000000));
  EXPECT_EQ(-1, ccm_set_max_frame(nullptr, 1000));
  EXPECT_EQ(0, ccm_set_max_frame(ctx.ccm, 48));
  EXPECT_EQ(0, ccm_get_recvq_bytes(nullptr) + ccm_get_recvq_peak(nullptr));
}

// A header announcing more than the maximum closes its channel with the
// reason; another channel goes on, and a frame of exactly the maximum passes.
TEST(MaxFrame, LongerFrameClosesOnlyItsChannel) {
  Context ctx;
  ASSERT_EQ(0, ccm_set_max_frame(ctx.ccm, 1000));
  int bad[2], good[2];
  socket_pair(bad);
  socket_pair(good);
  const int bad_id = ctx.Channel(bad[0], 0, "*IPC(BAD)")->ID;
  const int good_id = ctx.Channel(good[0], 0, "*IPC(GOOD)")->ID;
  ctx.Start();
  write_all(good[1], frame(block(0x3B, std::string(1000 - 48 - 3, 'm'), 2)));
  write_all(bad[1], text_frame("fine") + frame(block(0x3B, std::string(1001 - 48 - 3, 'x'), 2)));

  std::vector<std::string> got;
  std::string reason;
  while (got.size() < 3 || reason.empty()) {
    ccm_msg_t *m = receive(ctx.ccm);
    ASSERT_NE(nullptr, m);
    if (is_ipc(m, "CHANNEL_CLOSE")) {
      ipcmsg_channel_close_t rec;
      memcpy(&rec, m->msg_start, sizeof rec);
      EXPECT_EQ(bad_id, rec.ccmch.ID);
      EXPECT_EQ(2002036, rec.ccmch.msgnr);
      reason = rec.ccmch.msginsert;
      write_all(good[1], text_frame("after"));
    } else {
      got.push_back(std::to_string(m->addr.src_ID) + ":" + std::to_string(m->len));
    }
    ccm_msg_free(ctx.ccm, m);
  }
  EXPECT_NE(std::string::npos, reason.find("invalid frame(length 1001 above the maximum 1000)")) << reason;
  std::sort(got.begin(), got.end());
  std::vector<std::string> want = {std::to_string(bad_id) + ":4", std::to_string(good_id) + ":5",
                                   std::to_string(good_id) + ":949"};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(want, got);
  EXPECT_EQ(1, ccm_channel_existbyID(ctx.ccm, good_id));
  close(bad[1]);
  close(good[1]);
}

// A 50 MiB frame, written slowly in uneven pieces and followed by a small
// frame, arrives whole and byte for byte; it is larger than the queue's
// limit, which an empty queue admits anyway. The channel's receive buffer
// never grows beyond a normal message: the frame goes straight into its own.
TEST(LargeFrame, SlowFrameLargerThanTheQueueLimitArrivesWhole) {
  const std::string payload = pattern(50u << 20, 11);
  const std::string big = frame(block(0xFF, payload, 4));
  Context ctx;
  ASSERT_EQ(0, ccm_set_recvq_limit(ctx.ccm, kNormal));
  int sv[2];
  socket_pair(sv);
  int small = 65536;
  setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  const int id = ctx.Channel(sv[0], 0, "*IPC(BIG)")->ID;
  ctx.Start();
  std::thread sender([&] {
    size_t off = 0;
    for (size_t piece : {size_t{5}, size_t{43}, size_t{1}, size_t{9000}}) {
      write_all(sv[1], big.substr(off, piece));
      off += piece;
    }
    for (size_t piece = 65537; off < big.size(); off += piece, piece = piece * 3 % 1000003 + 1)
      write_all(sv[1], big.substr(off, std::min(piece, big.size() - off)));
    write_all(sv[1], text_frame("next"));
  });
  ccm_msg_t *m = receive(ctx.ccm);
  ASSERT_NE(nullptr, m);
  EXPECT_EQ(CCM_MSG_NAT, m->type);
  ASSERT_EQ(payload.size(), (size_t)m->len);
  EXPECT_TRUE(memcmp(payload.data(), m->msg_start, payload.size()) == 0);
  ccm_msg_free(ctx.ccm, m);
  m = receive(ctx.ccm);
  ASSERT_NE(nullptr, m);
  EXPECT_EQ("next", msg_data(m));
  ccm_msg_free(ctx.ccm, m);
  sender.join();
  ctx.Stop();
  ccm_channel_t *ch = ccm_channel_getbyID(ctx.ccm, id);
  ASSERT_NE(nullptr, ch);
  EXPECT_LE(ch->recv_size, kCcmNormalSize);
  ccm_channel_unlock(ctx.ccm);
  close(sv[1]);
}

}  // namespace
