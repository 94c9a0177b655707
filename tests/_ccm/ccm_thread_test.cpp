// The network thread at work: start and stop, two contexts talking over
// loopback TCP, reset and refused connections, a peer that never
// acknowledges, the wake-ups between the user's thread and the network
// thread, and what peers can make a context hold (receive-queue limit,
// maximum frame, large frames; the send-queue limit, waiting senders and
// flushes), measured through the library's counters.

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "_ccm/ccm_io_testing.h"

using namespace ccmtest;
using wqtest::Words;

namespace {

#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if defined(__SANITIZE_THREAD__) || __has_feature(thread_sanitizer)
constexpr int kMessages = 100000;  // ThreadSanitizer runs far slower
#else
constexpr int kMessages = 1000000;
#endif
const size_t kNormal = ccm_msg_memory_for(kCcmNormalSize);  // one normal message
struct Piped : Context {  // a context with its wake-up pipes made at once
  Piped() { Pipes(); }
};
std::string text_frame(const std::string &text) { return wqtest::BlockFrame(0x04, text); }

// One pass driven by the test, with the sweep the network thread makes after it.
void Pass(Context &ctx, int seconds = 0) {
  ccm_network_select(ctx.ccm, seconds, &ctx.err);
  if (ccm_flag_test(ctx.ccm->flag, CCM_CTXF_DELETED)) ccm_destroy_deleted_channels(ctx.ccm);
}
// The head of the receive queue, not waited for; null when empty.
ccm_msg_t *take(Context &ctx) { ccm_msg_t *m = nullptr; return ccm_receive_message(ctx.ccm, 0, &m, nullptr) == 1 ? m : nullptr; }
int accepted_id(const ccm_msg_t *m) {  // the channel ID of a CHANNEL_ACCEPT notice, else -1
  ipcmsg_channel_accept_t a{};
  return m && is_ipc(m, "CHANNEL_ACCEPT") ? (memcpy(&a, m->msg_start, sizeof a), a.ID) : -1;
}
// The same of the next message, waited for and freed.
int next_accepted(ccm_context_t *ccm) { ccm_msg_t *m = receive(ccm); const int id = accepted_id(m); return ccm_msg_free(ccm, m), id; }
// A channel around one end of a new socket pair; the other end (blocking,
// the caller's to close) into *peer.
ccm_channel_t *PairChannel(Context &ctx, int *peer, const char *name = nullptr) {
  int sv[2];
  return socket_pair(sv), *peer = sv[1], ctx.Channel(sv[0], 0, name);
}
// A loopback TCP connection: the client into *client, the accepted end
// (non-blocking) as result.
int TcpPair(int *client) {
  int port = 0, ls = loopback_socket(&port, true);
  *client = wqtest::Connect(port);
  const int s = accept4(ls, nullptr, nullptr, SOCK_NONBLOCK);
  return close(ls), s;
}
// Closes `s` so that the peer gets a reset, not an orderly end.
void CloseWithReset(int s) { const struct linger lg = {1, 0}; setsockopt(s, SOL_SOCKET, SO_LINGER, &lg, sizeof lg), close(s); }
int ListenOn(Context &ctx, int backlog) {  // a listening channel; its port
  EXPECT_EQ(0, ccm_create_listen(ctx.ccm, "127.0.0.1", 0, backlog, &ctx.err)) << ctx.err.msginsert;
  return ccm_listen_port(ctx.ccm, "*LISTEN");
}
// Sends `bytes` on `s` in one sendmsg, descriptor `fd` passed along.
ssize_t SendWithFd(int s, const std::string &bytes, int fd) {
  struct iovec iov = {const_cast<char *>(bytes.data()), bytes.size()};
  alignas(struct cmsghdr) char ctl[CMSG_SPACE(sizeof(int))] = {};
  struct msghdr mh = {nullptr, 0, &iov, 1, ctl, put_fd(ctl, fd), 0};
  return sendmsg(s, &mh, 0);
}
// Queues a message by the internal route, which wakes the receiver as the
// read path does.
void Deliver(Context &ctx, const std::string &data) { send_IPC_internal(ctx.ccm, ctx.Msg(data, true)); }
// A message holding `body`, addressed to channel `id` and still the caller's.
ccm_msg_t *to_channel(Context &ctx, int id, const std::string &body) { ccm_msg_t *m = ctx.Msg(body, true); return m->addr.dst_ID = id, m; }
// A flush of channel `id` as "<result> <memory left>[ <error>]".
std::string Flush(Context &ctx, int id, int ms) {
  size_t left = 7;
  const int rc = ccm_flush(ctx.ccm, id, ms, &left, &ctx.err);
  return std::to_string(rc) + " " + std::to_string(left) + (rc ? " " + err_text(ctx.err) : "");
}

TEST(NetworkThread, StopRightAfterStartAndNameByRunningMode) {
  const char *names[] = {"AGENT/CCM", "LISTENER/CCM", "FTX/CCM", ""};
  for (int round = 0; round < 8; ++round) {
    LogRecorder log;
    auto ctx = std::make_unique<Context>(round % 4);
    ctx->Start();
    EXPECT_EQ(1, ccm_flag_get(ctx->ccm->loop));
    ctx->Stop();
    EXPECT_EQ(0, ccm_flag_get(ctx->ccm->loop));
    ctx.reset();
    EXPECT_EQ(std::vector<std::string>{names[round % 4]}, log.with(2000134)) << round;
  }
  EXPECT_EQ(0, ccm_thread_stop(nullptr));
}

TEST(NetworkThread, ChannelPairIsTwoConnectedChannelsOrNothing) {
  Piped ctx;
  const int fds = wqtest::FdCount();
  ccm_channel_t *a = nullptr, *b = nullptr;
  ccm_alloc_fail_at(2);  // the second entry
  const int rc = ccm_channel_create_pair(ctx.ccm, &a, &b, &ctx.err);
  ccm_alloc_fail_at(0);
  // "<result> <error> <channels chained> <notices> <descriptors left>": no close notice for a channel never shown.
  EXPECT_EQ("-1 3301 0 0 0", Words(rc, ctx.err.msgnr, ctx.ccm->channel_newq.head != nullptr, count_recvq(ctx.ccm), wqtest::FdCount() - fds));
  ASSERT_EQ(0, ccm_channel_create_pair(ctx.ccm, &a, &b, &ctx.err));
  // Both chained in order, of type 0, the first named by its ID, both non-blocking.
  EXPECT_EQ(Words(1, "*ID" + std::to_string(a->ID), 1),
            Words(a == ctx.ccm->channel_newq.head && b == a->nxt && a->type == 0 && b->type == 0, a->name,
                  (fcntl(a->s, F_GETFL) & fcntl(b->s, F_GETFL) & O_NONBLOCK) != 0));
}

// B connects to A's listener, traced from the start of both threads, so
// that each pass that sends or receives the first frame is traced whole;
// only lines written before that frame reaches the receiver are certain.
// Then a 70000-byte NAT payload, written in pieces and read over several reads.
TEST(NetworkThread, FramesTravelOverLoopbackTcpBetweenTwoContexts) {
  Context a, b;
  int a_id = 0, b_id = 0;
  ccm_msg_t *m = nullptr;
  const std::string out = wqtest::CaptureStdout([&] {
    trcFlag = 1, a.Start(), b.Start();
    const int port = ListenOn(a, 5);
    if ((b_id = ccm_connect(b.ccm, "127.0.0.1", port, 5, nullptr, 60, &b.err)) <= 0 || (a_id = next_accepted(a.ccm)) <= 0) return;
    a.Send(a.Msg(text_frame("greeting")), a_id), m = receive(b.ccm);
  });
  trcFlag = 0;
  ASSERT_TRUE(b_id > 0 && a_id > 0) << b_id << " " << a_id << " " << b.err.msginsert;
  for (const auto &l : wqtest::ReadRows("ccm_thread.txt"))
    if (l[0] == "trace") { EXPECT_NE(std::string::npos, out.find(l.at(1))) << l[1]; }
  ASSERT_NE(nullptr, m);
  EXPECT_EQ(Words(4, "greeting", 5, b_id), Words(m->protocol_key, msg_data(m), m->addr.src_type, m->addr.src_ID));
  ccm_msg_free(b.ccm, m);
  const std::string big = wqtest::Pattern(70000, 5);
  b.Send(b.Msg(frame(block(0x01, "JPAKTJ_R") + block(0xFF, big, 4))), b_id);
  ASSERT_NE(nullptr, m = receive(a.ccm));  // a huge message of exactly the frame's size
  EXPECT_EQ(Words(CCM_MSG_NAT, 48 + 10 + 5 + 70000, "JPAKTJ_R", a_id), Words(m->type, m->size, m->addr.dst_name, m->addr.src_ID));
  EXPECT_EQ(big, text_of(a.ccm, m));
}

// A connection reset by its peer and one refused end with a close notice of
// their channel, which is gone then; the reason names the failure. A refused
// connect may also fail at once; the notice then is of the channel made for it.
TEST(NetworkThread, ResetOrRefusedConnectionEndsWithACloseNoticeAndItsReason) {
  for (int error : {ECONNRESET, ECONNREFUSED}) {
    SCOPED_TRACE(strerror(error));
    Context ctx;
    ctx.Start();
    wqtest::ReservedPort refusing;
    int c = -1, id = error == ECONNRESET ? ctx.Channel(TcpPair(&c))->ID
                                        : ccm_connect(ctx.ccm, "127.0.0.1", refusing.port, 5, nullptr, 60, &ctx.err);
    if (c >= 0) CloseWithReset(c), ccm_wakeup_network(ctx.ccm);
    ccm_msg_t *m = receive(ctx.ccm);
    std::string why;
    const int closed = closed_id(m, &why);
    ccm_msg_free(ctx.ccm, m);
    EXPECT_TRUE(closed > 0 && (id <= 0 || id == closed) && !ccm_channel_existbyID(ctx.ccm, closed)) << closed << " for " << id;
    if (id < 0) why = err_text(ctx.err);
    EXPECT_TRUE(starts(why, id < 0 ? "2000102 connect()|" : "2002036 ") && why.find(strerror(error)) != std::string::npos) << why;
  }
}

// A loopback connection whose receiving end `far` never reads; `near`
// lingers 60 s with more unacknowledged data than `far` can ever take, so a
// waiting close of `near` would block for the whole linger time.
void MakeStalled(int *near, int *far, size_t *queued) {
  int port = 0, ls = loopback_socket(&port, true), tiny = 4096, big = 256 * 1024, outq = 0, rcvbuf = 0;
  // The accepted end takes the listener's small buffer, and a small window from the start.
  setsockopt(ls, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
  *near = wqtest::Connect(port);
  ASSERT_GE(*far = accept(ls, nullptr, nullptr), 0);
  close(ls);
  setsockopt(*near, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  const struct linger lg = {1, 60};
  ASSERT_EQ(0, setsockopt(*near, SOL_SOCKET, SO_LINGER, &lg, sizeof lg));
  fcntl(*near, F_SETFL, fcntl(*near, F_GETFL) | O_NONBLOCK);
  const std::string chunk = wqtest::Pattern(65536);
  for (ssize_t n; (n = send(*near, chunk.data(), chunk.size(), MSG_NOSIGNAL)) > 0;) *queued += (size_t)n;
  ASSERT_EQ(EAGAIN, errno);
  socklen_t len = sizeof rcvbuf;
  ASSERT_EQ(Words(0, 0), Words(ioctl(*near, SIOCOUTQ, &outq), getsockopt(*far, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len)));
  ASSERT_GT(outq, rcvbuf);
}

// The stalled socket reaches the network thread as a channel that is then
// destroyed, or as a second descriptor passed with the rest of a frame whose
// first bytes brought one already, which no frame takes. Either way the
// thread closes it without waiting: an event that can only come after that
// close (the close notice of the next channel of the sweep, the frame) arrives
// within the deadline, far below the linger time; the peer still gets
// everything, then an orderly end.
TEST(NetworkThread, PeerThatNeverAcknowledgesCannotHoldTheThread) {
  for (bool passed : {false, true}) {
    SCOPED_TRACE(passed ? "passed descriptor" : "channel");
    Context ctx;
    ctx.Start();
    int near = -1, far = -1, sv[2];
    size_t queued = 0;
    MakeStalled(&near, &far, &queued);
    socket_pair(sv);
    const std::string f = text_frame("after");
    if (passed) {
      ASSERT_EQ(20, SendWithFd(sv[1], f.substr(0, 20), 0));
      ASSERT_EQ((ssize_t)f.size() - 20, SendWithFd(sv[1], f.substr(20), near));
      close(near);  // the descriptor in flight is the last reference now
    }
    // Taken over only now: both pieces wait, each with its descriptor.
    const int stalled = passed ? 0 : ctx.Channel(near)->ID, next = ctx.Channel(sv[0])->ID;
    if (!passed) ccm_channel_deletebyID(ctx.ccm, stalled), ccm_channel_deletebyID(ctx.ccm, next);
    ccm_wakeup_network(ctx.ccm);
    for (int want : passed ? std::vector<int>{next} : std::vector<int>{stalled, next}) {
      ccm_msg_t *m = receive(ctx.ccm);
      ASSERT_NE(nullptr, m);
      if (passed) close(passed_fd(m->control_data, m->control_len));  // a copy of standard input, with the first piece
      EXPECT_EQ(Words(want, passed ? "after" : ""), Words(passed ? m->addr.src_ID : closed_id(m), passed ? msg_data(m) : ""));
      ccm_msg_free(ctx.ccm, m);
    }
    std::string got;
    errno = 0;  // an orderly end, no reset (which would leave ECONNRESET), after everything
    const int rc = wqtest::Receive(far, &got, [](const std::string &) { return false; }), error = errno;
    EXPECT_EQ(Words(0, 0, queued), Words(rc, error, got.size()));
    close(far), close(sv[1]);
  }
}

// The network thread's loop run by the test with a select time-out of an
// hour: what it serves within the suite's deadline, an event made it serve.
struct HourLoop {
  explicit HourLoop(Context &c) : ctx(c), net((ccm_loop_set(c.ccm, 1), [&c] { while (ccm_flag_get(c.ccm->loop)) Pass(c, 3600); })) {}
  ~HourLoop() {
    ccm_thread_stop(ctx.ccm);
    EXPECT_EQ(1, write(ctx.ccm->network_wakeup[1], "N", 1));  // past the pending flag, even after a failure
    net.join();
  }
  Context &ctx;
  std::thread net;
};

// The user's thread sends numbered messages through a channel pair; select
// passes with a time-out of an hour (a lost network wake-up leaves its
// message unserved past any deadline) write each into one end, read it from
// the other and queue it for the user. With 1 to 32 messages in flight,
// wake-ups meet both alone and in bursts; every message must arrive once
// and in order.
TEST(Wakeup, NoWakeupIsLost) {
  Piped ctx;
  ccm_channel_t *a = nullptr, *b = nullptr;
  ASSERT_EQ(0, ccm_channel_create_pair(ctx.ccm, &a, &b, &ctx.err));
  const int to = a->ID, from = b->ID;
  HourLoop loop(ctx);  // stopped also after a failure
  for (int got = 0, sent = 0, window = 1; got < kMessages; ++got) {
    for (; sent < kMessages && sent - got < window; ++sent)
      ASSERT_EQ(0, send_native_message(ctx.ccm, to_channel(ctx, to, block(0x04, std::to_string(sent)))));
    ccm_msg_t *m = receive(ctx.ccm);
    ASSERT_NE(nullptr, m) << "message " << got << " lost";
    const int src = m->addr.src_ID;
    ASSERT_EQ(Words(from, got), Words(src, text_of(ctx.ccm, m))) << "message " << got << " out of order or twice";
    if (got % 997 == 0) window = window * 5 % 32 + 1;
  }
  EXPECT_EQ(0, count_recvq(ctx.ccm));
}

// A message queued during a wait (of two deadlines) ends it with that
// message, whatever wake-up state the wait started from; a stale byte does
// not end it: the message queued only once the receiver has taken that byte
// still comes. With nothing queued a wait (of a second) ends empty. The
// steps: "taken", a message taken without waiting (its wake-up stays);
// "unwritten", a waker between its flag and its byte (the byte comes, but
// the receiver must not count on it for a message queued after its look);
// "late byte", a byte written late for a message taken before; "new", a
// message queued ("once taken": after the wake-up pipe is empty).
TEST(Wakeup, AWaitEndsWithAMessageQueuedDuringItNotWithAStaleByte) {
  const char *cases[][2] = {{"", "new"}, {"taken", "new"}, {"unwritten", "new"},  // before, during
                            {"taken", "new once taken"}, {"late byte", "new once taken"},
                            {"", "late byte, new once taken"}, {"", ""}};
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c[0]) + " before, " + c[1] + " during");
    Piped ctx;
    auto step = [&ctx](const std::string &s) {
      if (s == "taken") Deliver(ctx, "old"), ccm_msg_free(ctx.ccm, receive(ctx.ccm));
      if (s == "unwritten") ctx.ccm->processor_wakeup_pending.store(1);
      if (starts(s, "late byte")) { EXPECT_EQ(1, write(ctx.ccm->processor_wakeup[1], "P", 1)); }
      if (s.find("once") != std::string::npos) { EXPECT_TRUE(wqtest::Eventually([&] { return nothing_to_read(ctx.ccm->processor_wakeup[0]); })); }
      if (s.find("new") != std::string::npos) Deliver(ctx, "new");
    };
    step(c[0]);
    std::thread during(step, c[1]);
    const bool message = *c[1] != 0;
    ccm_msg_t *m = nullptr;
    EXPECT_EQ(message, ccm_receive_message(ctx.ccm, message ? 2 * wqtest::kDeadline : 1, &m, nullptr));
    during.join();
    EXPECT_EQ(message ? "new" : "<none>", text_of(ctx.ccm, m));
  }
}

// What a peer writes to a channel, in uneven pieces (the first ones tiny),
// and the data of every message the context takes from it, each followed by
// '|' ("<closed>|" for the close notice); another channel is served after.
// A large frame goes straight into its own message: the channel's receive
// buffer never grows beyond a normal message.
TEST(Limits, APeerStreamArrivesWholeOnceAndInOrderWithinTheLimits) {
  std::string many, many_got, huge = wqtest::Pattern(50u << 20, 11);
  for (int i = 1000000; i < 1003000; ++i) many += text_frame("#" + std::to_string(i)), many_got += "#" + std::to_string(i) + "|";
  // The receive queue's limit and peak (0: the default, not checked), the maximum frame (0: the default), the bytes the peer
  // writes, the data taken, the reason of the close notice.
  const struct { const char *what; size_t limit, peak; int max_frame; std::string bytes, got; const char *reason; } rows[] = {
      {"3000 frames of a sender that never reads keep the queue at its limit, which it holds exactly at its fullest",
       4 * kNormal, 4 * kNormal, 0, many, many_got, nullptr},
      {"a frame of exactly the maximum passes", 0, 0, 1000,
       frame(block(0x3B, std::string(949, 'm'), 2)) + text_frame("after"), std::string(949, 'm') + "|after|", nullptr},
      {"a frame one byte longer closes the channel with the reason", 0, 0, 1000,
       text_frame("fine") + frame(block(0x3B, std::string(950, 'x'), 2)) + text_frame("lost"), "fine|<closed>|",
       "invalid frame(length 1001 above the maximum 1000)"},
      {"a 50 MiB frame, above the queue's limit, which an empty queue admits", kNormal, 0, 0,
       frame(block(0xFF, huge, 4)) + text_frame("next"), huge + "|next|", nullptr},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.what);
    Context ctx;
    ASSERT_EQ(std::make_pair(0, 0), std::make_pair(r.limit ? ccm_set_recvq_limit(ctx.ccm, r.limit) : 0,
                                                   r.max_frame ? ccm_set_max_frame(ctx.ccm, r.max_frame) : 0));
    int peer, other, small = 65536;
    const int id = PairChannel(ctx, &peer)->ID;
    PairChannel(ctx, &other);
    setsockopt(peer, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ctx.Start();
    std::thread writer([&] {  // blocks while the channel is not read
      const size_t first[] = {5, 43, 1, 9000}, size = r.bytes.size();
      for (size_t off = 0, i = 0, piece = 65537, n; off < size; off += n, piece = i++ < 4 ? piece : piece * 3 % 1000003 + 1)
        if (!wqtest::SendAll(peer, r.bytes.substr(off, n = std::min(i < 4 ? first[i] : piece, size - off)))) break;
    });
    if (r.limit) { EXPECT_TRUE(wqtest::Eventually([&] { return ccm_get_recvq_bytes(ctx.ccm) >= r.limit; })); }
    std::string got, why;
    for (ccm_msg_t *m; got.size() < r.got.size() && (m = receive(ctx.ccm)); ccm_msg_free(ctx.ccm, m)) {
      const int closed = closed_id(m, &why);  // of the channel; a NAT message when larger than a normal one
      EXPECT_EQ(Words(id, 1), Words(closed > 0 ? closed : m->addr.src_ID, m->len <= kCcmNormalSize || m->type == CCM_MSG_NAT));
      got += closed > 0 ? std::string("<closed>|") : msg_data(m) + "|";
    }
    EXPECT_TRUE(got == r.got) << got.substr(0, 200);
    EXPECT_TRUE(!r.reason || (starts(why, "2002036 ") && why.find(r.reason) != std::string::npos)) << why;
    write_all(other, text_frame("other"));
    EXPECT_EQ("other", next_text(ctx.ccm));
    writer.join();
    EXPECT_EQ(Words(0, r.peak), Words(ccm_get_recvq_bytes(ctx.ccm), r.peak ? ccm_get_recvq_peak(ctx.ccm) : 0));
    ctx.Stop();
    ccm_channel_t *ch = ccm_channel_getbyID(ctx.ccm, id);  // still open unless closed, its buffer never grown
    EXPECT_TRUE(r.reason ? !ch : ch && ch->recv_size <= kCcmNormalSize);
    if (ch) ccm_channel_unlock(ctx.ccm);
    close(peer), close(other);
  }
}

// Passes driven by the test, with room for one message: a full queue leaves
// every channel unread, a take that makes room wakes the network thread,
// buffered frames go before new bytes, and the channel after the one that
// filled the queue is served first.
TEST(Limits, FullQueueIsServedInTurnFromBufferedFramesFirst) {
  Piped ctx;
  ASSERT_EQ(0, ccm_set_recvq_limit(ctx.ccm, 1));
  int a, b;
  ccm_channel_t *cha = PairChannel(ctx, &a, "*IPC(A)");
  PairChannel(ctx, &b, "*IPC(B)");
  write_all(a, text_frame("a1") + text_frame("a2") + text_frame("a3"));
  write_all(b, text_frame("b1"));
  Pass(ctx);
  EXPECT_EQ(std::make_pair(1, 1), std::make_pair(count_recvq(ctx.ccm), cha->recv_held));  // a2 and a3 wait in the buffer
  write_all(a, text_frame("a4"));
  const int buffered = cha->recv_pos;
  Pass(ctx);  // full: nothing is read
  EXPECT_EQ(std::make_pair(1, buffered), std::make_pair(count_recvq(ctx.ccm), cha->recv_pos));
  EXPECT_TRUE(nothing_to_read(ctx.ccm->network_wakeup[0]));
  std::string order = next_text(ctx.ccm);
  EXPECT_FALSE(nothing_to_read(ctx.ccm->network_wakeup[0]));  // the take woke the network thread
  for (int i = 0; i < 4; ++i) {
    Pass(ctx);
    EXPECT_EQ(1, count_recvq(ctx.ccm)) << i;
    order += " " + next_text(ctx.ccm);
  }
  // Then nothing is held, and the queue never held more than one message.
  EXPECT_EQ("a1 b1 a2 a3 a4 0 1", Words(order, cha->recv_held, ccm_get_recvq_peak(ctx.ccm) <= kNormal));
  EXPECT_EQ("-1 -1 -1 -1 -1 0 0 0 0",
            Words(ccm_set_recvq_limit(ctx.ccm, 0), ccm_set_recvq_limit(nullptr, 1), ccm_set_max_frame(ctx.ccm, 47),
                  ccm_set_max_frame(ctx.ccm, 100000000), ccm_set_max_frame(nullptr, 1000), ccm_set_max_frame(ctx.ccm, 48),
                  ccm_set_max_frame(ctx.ccm, 99999999), ccm_get_recvq_bytes(nullptr), ccm_get_recvq_peak(nullptr)));
  close(a), close(b);
}

// How many of `n` passes driven now found a descriptor ready: a pass that
// finds one and has nothing to serve is a spin.
std::string ReadyIn(Context &ctx, int n) {
  ccm_net_stats_t a{}, b{};
  ccm_get_net_stats(ctx.ccm, &a);
  for (int i = 0; i < n; ++i) Pass(ctx);
  return ccm_get_net_stats(ctx.ccm, &b), std::to_string(b.ready_passes - a.ready_passes);
}
// What `body` returns, run in a child process (which may lower its limits).
std::string InChild(const std::function<std::string()> &body) {
  int p[2];
  if (pipe(p) != 0) return "no pipe";
  const pid_t pid = fork();
  if (pid == 0) { const std::string r = body(); _exit(write(p[1], r.data(), r.size()) == (ssize_t)r.size() ? 0 : 1); }
  close(p[1]);
  const std::string out = wqtest::ReadExact(p[0], 4096);
  return close(p[0]), waitpid(pid, nullptr, 0), out;
}
// Whether `fd` shows one of `events` (or an error or hang-up) within the deadline.
bool Polled(int fd, short events) { struct pollfd p = {fd, events, 0}; return poll(&p, 1, kDeadlineMs) == 1; }
int AcceptsTaken(Context &ctx) {  // takes every queued message; how many were accept notices
  int n = 0;
  for (ccm_msg_t *m; (m = take(ctx)); ccm_msg_free(ctx.ccm, m)) n += accepted_id(m) > 0;
  return n;
}

// Conditions a peer (or a program) can create, each against a context of
// its own (with wake-up pipes and the row's receive-queue limit); what each
// row returns is made of events and counters only.
struct Hostile {  // the receive-queue limit 0: the default
  const char *condition;
  size_t limit;
  std::function<std::string(Context &)> run;
  const char *want;
};
const Hostile kHostile[] = {
    // First, while the process has no other thread: the child is forked.
    {"descriptors exhausted", 0, [](Context &ctx) { return InChild([&] {
       LogRecorder log;
       const int port = ListenOn(ctx, 16);
       int peer;
       const int spare = PairChannel(ctx, &peer)->ID;
       for (int i = 0; i < 4; ++i) wqtest::Connect(port);
       struct rlimit was, low;
       getrlimit(RLIMIT_NOFILE, &was), low = {256, was.rlim_max};
       if (wqtest::FdCount() > 200 || setrlimit(RLIMIT_NOFILE, &low) != 0) return std::string("no lower limit");
       std::vector<int> filler;
       for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) filler.push_back(fd);
       Pass(ctx);  // accept fails: the listening channel backs off
       std::string r = "ready:" + ReadyIn(ctx, 3);
       ccm_channel_deletebyID(ctx.ccm, spare);
       Pass(ctx), Pass(ctx);  // destroying it frees a descriptor, taken by one accept at once
       int accepted = AcceptsTaken(ctx);
       r += " freed:" + std::to_string(accepted);
       setrlimit(RLIMIT_NOFILE, &was);
       for (int fd : filler) close(fd);
       for (int i = 0; i < 10 && accepted < 4; ++i) Pass(ctx, wqtest::kDeadline), accepted += AcceptsTaken(ctx);
       const auto logged = log.with(2000102);
       const auto logs = std::count_if(logged.begin(), logged.end(), [](auto &l) { return starts(l, "accept(...,FIONBIO)|24-"); });
       return r + " logs:" + std::to_string(logs) + " accepted:" + std::to_string(accepted);
     }); }, "ready:0 freed:1 logs:1 accepted:4"},
    {"an urgent byte", 1, [](Context &ctx) {
       int c, s = TcpPair(&c);
       ctx.Channel(s);
       Deliver(ctx, "fill");  // the queue is at its limit
       const std::string f = text_frame("urgent");
       EXPECT_EQ(1, send(c, f.data(), 1, MSG_OOB));
       EXPECT_TRUE(Polled(s, POLLPRI));
       Pass(ctx);  // takes the channel over
       std::string r = "full:" + ReadyIn(ctx, 3);
       next_text(ctx.ccm);
       Pass(ctx);  // room: the byte is read
       r += " room:" + ReadyIn(ctx, 3);
       write_all(c, f.substr(1));
       Pass(ctx), close(c);
       return r + " " + next_text(ctx.ccm);
     }, "full:0 room:0 urgent"},
    {"a queue at its limit and many connects", 1, [](Context &ctx) {
       const int port = ListenOn(ctx, 256);
       ctx.Start();
       const int fds = wqtest::FdCount();
       for (int i = 0, c; i < 200; ++i) c = wqtest::Connect(port), write_all(c, text_frame(std::to_string(i))), close(c);
       for (int i = 0; i < 5; ++i) {  // passes enough to take over every waiting connection
         ccm_net_stats_t was{}, now{};
         ccm_get_net_stats(ctx.ccm, &was), ccm_wakeup_network(ctx.ccm);
         wqtest::Eventually([&] { return ccm_get_net_stats(ctx.ccm, &now) == 0 && now.passes > was.passes; });
       }
       std::map<int, std::string> seen;  // what each channel brought: Accept, Frame, Close
       ccm_msg_t *m;
       for (int closed = 0; closed < 200 && (m = receive(ctx.ccm)); ccm_msg_free(ctx.ccm, m)) {
         const int acc = accepted_id(m), id = closed_id(m);
         closed += id > 0;
         seen[acc > 0 ? acc : id > 0 ? id : m->addr.src_ID] += acc > 0 ? 'A' : id > 0 ? 'C' : 'F';
       }
       const long whole = std::count_if(seen.begin(), seen.end(), [](auto &e) { return e.second == "AFC"; });
       const bool within = ccm_get_recvq_peak(ctx.ccm) <= 1 + 2 * kNormal;  // the most held since the start
       return std::string(within ? "within" : "over") + " the limit and two messages, " + std::to_string(whole) +
              " AFC, descriptors " + (wqtest::Eventually([&] { return wqtest::FdCount() == fds; }) ? "back" : "left");
     }, "within the limit and two messages, 200 AFC, descriptors back"},
    {"a blocking channel with held frames", 2 * kNormal, [](Context &ctx) {
       int b[2], o;
       EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, b));  // blocking
       ctx.Channel(b[0], 0, "*IPC(BLOCKING)"), PairChannel(ctx, &o, "*IPC(OTHER)");
       auto then = [&](int fd, const char *text) { return write_all(fd, text_frame(text)), next_text(ctx.ccm); };
       write_all(b[1], text_frame("1") + text_frame("2") + text_frame("3"));
       Pass(ctx);  // 1 and 2 fill the queue, 3 is held
       std::string r = next_text(ctx.ccm);
       r += next_text(ctx.ccm);
       ctx.Start();  // hands 3 over, then receives once more on the blocking descriptor
       r += next_text(ctx.ccm);
       r += then(o, " other");
       r += then(b[1], " 4");  // a receive that waited would end here
       return close(b[1]), close(o), r;
     }, "123 other 4"},
    {"a peer that fails with complete frames held", 1, [](Context &ctx) {
       int c, s = TcpPair(&c);
       const int id = ctx.Channel(s)->ID;
       write_all(c, text_frame("a") + text_frame("b") + text_frame("c"));
       EXPECT_TRUE(wqtest::Readable(s));
       Pass(ctx);  // a fills the queue, b and c are held
       CloseWithReset(c);
       EXPECT_TRUE(Polled(s, 0));  // the reset has come
       ctx.Send(ctx.Msg(text_frame("answer")), id);  // writing it fails
       std::string r, why;
       for (int i = 0; i < 10 && why.empty(); ++i) {  // each take makes room for one more
         Pass(ctx);
         ccm_msg_t *m = take(ctx);
         if (m) r += closed_id(m, &why) == id ? " closed " + why.substr(0, 7) : msg_data(m);
         ccm_msg_free(ctx.ccm, m);
       }
       return r;
     }, "abc closed 2002002"},
    {"a descriptor passed behind a long frame", 0, [](Context &ctx) {
       int peer;
       PairChannel(ctx, &peer, "*IPC(FD)");
       write_all(peer, frame(block(0x3B, std::string(8000 - 51, 'L'), 2)));
       const std::string f = frame(block(0x3B, std::string(600 - 51, 's'), 2));
       EXPECT_EQ((ssize_t)f.size(), SendWithFd(peer, f, 0));
       std::string r;
       for (int i = 0; i < 4; ++i) {
         Pass(ctx);
         for (ccm_msg_t *m; (m = take(ctx)); ccm_msg_free(ctx.ccm, m)) {
           const int fd = passed_fd(m->control_data, m->control_len);
           r += std::to_string(m->len) + (fd >= 0 ? "+fd " : " ");
           if (fd >= 0) close(fd);
         }
       }
       return close(peer), r;
     }, "7949 549+fd "},
    {"a listener made while the thread waits in a select of an hour", 0, [](Context &ctx) {
       HourLoop loop(ctx);
       const int c = wqtest::Connect(ListenOn(ctx, 5));
       const std::string r = next_accepted(ctx.ccm) > 0 ? "accepted" : "not served";
       return close(c), r;
     }, "accepted"},
};

TEST(Hostile, NoConditionMakesTheNetworkThreadSpinBlockOrHoldTooMuch) {
  for (const Hostile &h : kHostile) {
    SCOPED_TRACE(h.condition);
    Piped ctx;
    if (h.limit) { ASSERT_EQ(0, ccm_set_recvq_limit(ctx.ccm, h.limit)); }
    EXPECT_EQ(h.want, h.run(ctx));
  }
}

// ---- the send side ----------------------------------------------------------

// Senders of numbered messages through one channel at a limit of four
// messages, to a peer that reads only once they all wait (the kernel's
// buffer full, then the channel's queue up to its limit, none sent in
// full): then every message arrives once and each sender's in order; with
// normal messages only, the queue held exactly its limit at its fullest.
TEST(Limits, SendersToAPeerThatNeverReadsWaitAtTheLimitAndLoseNothing) {
  const struct { const char *what; int senders, each; size_t pad; } rows[] = {
      {"one sender of 1.2 MB of frames, far more than the socket takes", 1, 40, 30000},
      {"two senders of 50,000 small messages each", 2, 50000, 0},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.what);
    Context ctx;
    const size_t limit = 4 * kNormal;  // the time-out: only a lost wake-up fails a send
    ASSERT_EQ(Words(0, 0), Words(ccm_set_sendq_limit(ctx.ccm, limit), ccm_set_send_timeout(ctx.ccm, 2 * kDeadlineMs)));
    int peer, small = 65536;
    ccm_channel_t *ch = PairChannel(ctx, &peer, "*IPC(SLOW)");
    const int id = ch->ID;
    setsockopt(ch->s, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ctx.Start();
    auto body = [&](int who, int i) { return block(0x3B, "ab"[who] + std::to_string(100000 + i) + wqtest::Pattern(r.pad, (unsigned)i), 2); };
    std::atomic<int> sent{0}, failed{0};
    std::vector<std::thread> senders;
    for (int who = 0; who < r.senders; ++who)
      senders.emplace_back([&, who] {
        for (int i = 0; i < r.each && failed == 0; ++i) {
          ccm_msg_t *m = to_channel(ctx, id, body(who, i));
          if (int rc = send_native_message(ctx.ccm, m); rc != 0) failed = rc, ccm_msg_free(ctx.ccm, m);
          else ++sent;
        }
      });
    // Waiting senders wake when the queue falls below half its limit.
    EXPECT_TRUE(wqtest::Eventually([&] { return 2 * ccm_get_sendq_bytes(ctx.ccm, id) >= limit && ctx.ccm->send_waiters.load() == r.senders; }))
        << ccm_get_sendq_bytes(ctx.ccm, id) << " queued, " << ctx.ccm->send_waiters.load() << " waiting";
    EXPECT_LT(sent.load(), r.senders * r.each);
    const size_t one = frame(body(0, 0)).size(), total = r.senders * r.each * one;
    const std::string got = wqtest::ReadExact(peer, total);
    for (std::thread &t : senders) t.join();
    ASSERT_EQ(Words(0, total), Words(failed.load(), got.size()));
    int next[2] = {0, 0};
    for (size_t off = 0; off < got.size(); off += one) {
      const int who = got[off + 48 + 3] == 'b';
      ASSERT_TRUE(frame(body(who, next[who]++)) == got.substr(off, one)) << "at byte " << off;
    }
    EXPECT_TRUE(wqtest::Eventually([&] { return ccm_get_sendq_bytes(ctx.ccm, id) == 0; }));
    EXPECT_EQ(Words(1, limit, "0 0"), Words(nothing_to_read(peer), ccm_get_sendq_peak(ctx.ccm), Flush(ctx, id, 0)));
    close(peer);
  }
}

// A channel full to its limit, with no network thread yet: nothing is
// written, so every count stays as the rows leave it. A message left with
// its caller is as it was handed in, in the in-use list and uncounted, and
// the sending thread's send error says why.
TEST(Limits, AFullChannelFailsASendOrEndsItsWaitWhenItCloses) {
  const char *rows[] = {
      "time-out 0 fails at once; a flush that only looks says what is queued",
      "a waiting sender fails when its channel is deleted, and so does every later send",
      "a flush with a dead peer returns with what remained, and the close notice counts it",
  };
  for (const std::string row : rows) {
    SCOPED_TRACE(row);
    Piped ctx;
    const size_t limit = 2 * kNormal;  // the time-out: only a lost wake-up ends a wait
    ASSERT_EQ(Words(0, 0), Words(ccm_set_sendq_limit(ctx.ccm, limit), ccm_set_send_timeout(ctx.ccm, 2 * kDeadlineMs)));
    int peer;
    const int id = PairChannel(ctx, &peer, "*IPC(FULL)")->ID;
    auto msg = [&] { return to_channel(ctx, id, block(0x04, "x")); };
    for (int i = 0; i < 2; ++i) EXPECT_EQ(0, send_native_message(ctx.ccm, msg()));
    EXPECT_EQ(limit, ccm_get_sendq_bytes(ctx.ccm, id));
    // {id} and {limit} filled in.
    auto fill = [&](const char *t) { return wqtest::Fill(t, {{"id", std::to_string(id)}, {"limit", std::to_string(limit)}}); };
    auto kept = [&](ccm_msg_t *m, int msgnr) {  // "<send error> <data> at <offset>[ in use] <queued>"; m is freed
      const std::string k = std::to_string(msgnr) + " " + msg_data(m) + " at " + std::to_string(m->msg_start - m->buffer1) +
                            (m == ctx.ccm->msgq_inuse.head ? " in use " : " ") + std::to_string(ccm_get_sendq_bytes(ctx.ccm, 0));
      return ccm_msg_free(ctx.ccm, m), k;  // clean under ASan: nothing else refers to it
    };
    const std::string x = block(0x04, "x"), headroom = std::to_string(kCcmHeadroom);
    auto waiting = [&](std::function<void()> call) {  // `call` on a thread of its own, once it waits for room
      std::thread t(std::move(call));
      EXPECT_TRUE(wqtest::Eventually([&] { return ctx.ccm->send_waiters.load() == 1; }));
      return t;
    };
    if (row == rows[0]) {
      ASSERT_EQ(0, ccm_set_send_timeout(ctx.ccm, 0));
      ccm_msg_t *m = msg();
      EXPECT_EQ(CCM_SEND_TIMEDOUT, send_native_message(ctx.ccm, m));
      ccm_get_send_error(&ctx.err);
      EXPECT_EQ(fill("2002050 chID={id}|queued={limit}|limit={limit}|0ms"), err_text(ctx.err));
      EXPECT_EQ(fill("2002050 ") + x + " at " + headroom + fill(" in use {limit}"), kept(m, ccm_get_send_error(nullptr)));
      EXPECT_TRUE(starts(Flush(ctx, id, 0), fill("-1 {limit} 2002050 "))) << Flush(ctx, id, 0);
      EXPECT_EQ(limit, ccm_get_sendq_bytes(ctx.ccm, 0));
    } else if (row == rows[1]) {
      ccm_msg_t *m = msg();
      int rc = 0, msgnr = 0;
      std::thread t = waiting([&] { rc = send_native_message(ctx.ccm, m), msgnr = ccm_get_send_error(nullptr); });
      ccm_channel_deletebyID(ctx.ccm, id);
      t.join();
      EXPECT_EQ(CCM_SEND_CLOSED, rc);
      EXPECT_EQ("2002051 " + x + " at " + headroom + fill(" in use {limit}"), kept(m, msgnr));
      EXPECT_EQ(CCM_SEND_CLOSED, send_native_message(ctx.ccm, m = msg()));
      EXPECT_EQ("2002051 " + x + " at " + headroom + fill(" in use {limit}"), kept(m, ccm_get_send_error(nullptr)));
    } else {
      close(std::exchange(peer, -1));
      std::string flushed;
      std::thread t = waiting([&] { flushed = Flush(ctx, id, 2 * kDeadlineMs); });
      ctx.Start();  // the channel reads its end, is deleted and destroyed with its queue
      t.join();
      EXPECT_EQ(fill("-1 {limit} 2002051 chID={id}|dropped={limit}|channel closed"), flushed);
      EXPECT_EQ(limit, ccm_get_sendq_dropped(ctx.ccm));
      ccm_msg_t *n = receive(ctx.ccm);
      ipcmsg_channel_close_t rec{};
      if (closed_id(n) == id) memcpy(static_cast<void *>(&rec), n->msg_start, sizeof rec);
      EXPECT_EQ(Words(id, limit), Words(closed_id(n), rec.ccmch.sendq_dropped));
      ccm_msg_free(ctx.ccm, n);
      EXPECT_EQ("0 0", Flush(ctx, 0, 0));  // nothing queued, nothing dropped since
      EXPECT_EQ(fill("-1 0 2002051 chID={id}||channel not open"), Flush(ctx, id, 0));  // no such channel any more
    }
    if (peer >= 0) close(peer);
  }
}

}  // namespace
