// The network thread at work: start and stop, two contexts talking over
// loopback TCP and a channel pair, descriptor passing, a peer that never
// acknowledges, the wake-ups between the user's thread and the network
// thread, and what peers can make a context hold (receive-queue limit,
// maximum frame, large frames; the send-queue limit, waiting senders and
// flushes), measured through the library's counters.

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <thread>
#include <tuple>

#include "_ccm/ccm_io_testing.h"

using namespace ccmtest;

namespace {

#if defined(__SANITIZE_THREAD__)
#define WQ_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define WQ_UNDER_TSAN 1
#endif
#endif
#ifdef WQ_UNDER_TSAN
constexpr int kMessages = 100000;  // ThreadSanitizer runs far slower
#else
constexpr int kMessages = 1000000;
#endif

TEST(NetworkThread, StopRightAfterStartAndNameByRunningMode) {
  const char *names[] = {"AGENT/CCM", "LISTENER/CCM", "FTX/CCM", ""};
  for (int round = 0; round < 8; ++round) {
    LogRecorder log;
    {
      Context ctx(round % 4);
      ctx.Start();
      EXPECT_EQ(1, ccm_flag_get(ctx.ccm->loop));
      ctx.Stop();
      EXPECT_EQ(0, ccm_flag_get(ctx.ccm->loop));
    }
    EXPECT_EQ(std::vector<std::string>{names[round % 4]}, log.with(2000134)) << round;
  }
  EXPECT_EQ(0, ccm_thread_stop(nullptr));
}

TEST(NetworkThread, ChannelPairIsTwoConnectedChannelsOrNothing) {
  Context ctx;
  ctx.Pipes();
  int fds = open_fd_count();
  ccm_channel_t *a = nullptr, *b = nullptr;
  ccm_error_t err{};
  ccm_alloc_fail_at(2);  // the second entry
  EXPECT_EQ(-1, ccm_channel_create_pair(ctx.ccm, &a, &b, &err));
  ccm_alloc_fail_at(0);
  EXPECT_EQ(3301, err.msgnr);
  EXPECT_EQ(nullptr, ctx.ccm->channel_newq.head);
  EXPECT_EQ(0, count_recvq(ctx.ccm));  // no close notice for a channel never shown
  EXPECT_EQ(fds, open_fd_count());
  ASSERT_EQ(0, ccm_channel_create_pair(ctx.ccm, &a, &b, &err));
  EXPECT_EQ(a, ctx.ccm->channel_newq.head);
  EXPECT_EQ(b, a->nxt);
  EXPECT_EQ(0, a->type + b->type);
  EXPECT_EQ("*ID" + std::to_string(a->ID), a->name);
  EXPECT_TRUE(fcntl(a->s, F_GETFL) & fcntl(b->s, F_GETFL) & O_NONBLOCK);
}

// Two contexts with running network threads; B connects to A's listener.
class TwoContexts : public ::testing::Test {
 protected:
  void SetUp() override {
    a.Start();
    b.Start();
    ccm_error_t err{};
    ASSERT_EQ(0, ccm_create_listen(a.ccm, "127.0.0.1", 0, 5, &err)) << err.msginsert;
    ccm_channel_t *l = ccm_channel_getbyName(a.ccm, "*LISTEN");
    ASSERT_NE(nullptr, l);
    int port = local_port(l->s);
    ccm_channel_unlock(a.ccm);
    ccm_wakeup_network(a.ccm);
    ASSERT_GT(b_id = ccm_connect(b.ccm, "127.0.0.1", port, 5, nullptr, 60, &err), 0) << err.msginsert;
    ccm_msg_t *n = receive(a.ccm);
    ASSERT_TRUE(n && is_ipc(n, "CHANNEL_ACCEPT"));
    ipcmsg_channel_accept_t rec;
    memcpy(&rec, n->msg_start, sizeof rec);
    a_id = rec.ID;
    ccm_msg_free(a.ccm, n);
  }
  Context a, b;
  int a_id = 0, b_id = 0;
};

// The first frame goes out traced; only the lines written before it reaches
// the receiver are certain.
TEST_F(TwoContexts, FramesTravelOverLoopbackTcp) {
  testing::internal::CaptureStdout();
  trcFlag = 1;
  a.Send(a.Msg(frame(block(0x04, "greeting"))), a_id);
  ccm_msg_t *m = receive(b.ccm);
  trcFlag = 0;
  fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  for (const char *l : {"ccm_network_select(ccm=", "sizeof(fd_read) = 524288) -->",
                        "ccm_dispatch_send_messages <-- (number of dispatched messages = 1)",
                        "ccm_dispatch_send_messages:      send to the partner (name : '*ID",
                        "ccm_network_select:         select(maxfd=", "ccm_write_channel(ccm=", "sendmsg() to channel(",
                        "ccm_parse_native_message:      protocol key = 4(0x04)", "recvmsg() data",
                        "ccm_read_channel:         resize buffer at"})
    EXPECT_NE(std::string::npos, out.find(l)) << l;
  ASSERT_NE(nullptr, m);
  EXPECT_EQ("4 greeting 5", std::to_string(m->protocol_key) + " " + msg_data(m) + " " + std::to_string(m->addr.src_type));
  EXPECT_EQ(b_id, m->addr.src_ID);
  ccm_msg_free(b.ccm, m);
  // A 70000-byte NAT payload, written in pieces and read over several reads.
  std::string big = pattern(70000, 5);
  b.Send(b.Msg(frame(block(0x01, "JPAKTJ_R") + block(0xFF, big, 4))), b_id);
  ASSERT_NE(nullptr, m = receive(a.ccm));
  EXPECT_EQ(CCM_MSG_NAT, m->type);
  EXPECT_EQ(48 + 10 + 5 + 70000, m->size);  // a huge message of exactly the frame's size
  EXPECT_STREQ("JPAKTJ_R", m->addr.dst_name);
  EXPECT_EQ(big, msg_data(m));
  EXPECT_EQ(a_id, m->addr.src_ID);
  ccm_msg_free(a.ccm, m);
}

TEST_F(TwoContexts, ResetPeerClosesTheChannelWithItsReason) {
  b.Send(b.Msg(frame(block(0x04, "up"))), b_id);  // the connection is up on both sides
  ccm_msg_free(a.ccm, receive(a.ccm));
  b.Stop();
  ccm_channel_t *ch = ccm_channel_getbyID(b.ccm, b_id);
  ASSERT_NE(nullptr, ch);
  struct linger lg = {1, 0};  // B's end goes away with a reset
  setsockopt(ch->s, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  ccm_channel_unlock(b.ccm);
  ccm_channel_closeall(b.ccm);
  ccm_msg_t *m = receive(a.ccm);
  std::string why;
  EXPECT_EQ(a_id, closed_id(m, &why));
  EXPECT_EQ(0u, why.find("2002036 ")) << why;
  EXPECT_NE(std::string::npos, why.find('|')) << why;
  ccm_msg_free(a.ccm, m);
  EXPECT_EQ(0, ccm_channel_existbyID(a.ccm, a_id));
}

TEST_F(TwoContexts, RefusedConnectionEndsWithACloseNotice) {
  int port = 0, bound = loopback_socket(&port);  // bound, never listening: refuses
  ccm_error_t err{};
  int id = ccm_connect(b.ccm, "127.0.0.1", port, 5, nullptr, 60, &err);
  ccm_msg_t *m = receive(b.ccm);  // also at once: the notice of the channel made before
  std::string why;
  int closed = closed_id(m, &why);
  EXPECT_GT(closed, 0);
  EXPECT_EQ(id > 0 ? id : closed, closed);
  if (id < 0) why = std::to_string(err.msgnr) + " " + err.msginsert;
  EXPECT_EQ(0u, why.find(id < 0 ? "2000102 connect()|" : "2002036 ")) << why;
  EXPECT_NE(std::string::npos, why.find(strerror(ECONNREFUSED))) << why;
  ccm_msg_free(b.ccm, m);
  close(bound);
}

// A descriptor sent with a frame arrives with it; every other copy sent with
// a piece of the frame is closed.
TEST_F(TwoContexts, DescriptorPassesOverAChannelPair) {
  ccm_channel_t *c1 = nullptr, *c2 = nullptr;
  ccm_error_t err{};
  ASSERT_EQ(0, ccm_channel_create_pair(a.ccm, &c1, &c2, &err));
  int c2_id = c2->ID, p[2];
  ASSERT_EQ(0, pipe(p));
  ccm_msg_t *m = a.Msg(frame(block(0x3B, pattern(50000), 2)));
  attach_fd(m, p[1]);
  a.Send(m, c1->ID);
  ccm_msg_t *got = receive(a.ccm);
  ASSERT_NE(nullptr, got);
  EXPECT_EQ(c2_id, got->addr.src_ID);
  EXPECT_EQ(pattern(50000), msg_data(got));
  int fd = passed_fd(got->control_data, got->control_len);
  ASSERT_EQ(1, write(fd, "z", 1));
  EXPECT_EQ('z', read_byte(p[0]));
  close(fd), close(p[1]);
  char z;
  ASSERT_TRUE(wait_readable(p[0]));
  EXPECT_EQ(0, read(p[0], &z, 1));  // no writer is left
  close(p[0]);
  ccm_msg_free(a.ccm, got);
}

// A loopback connection whose receiving end `far` never reads; `near`
// lingers 60 s with more unacknowledged data than `far` can ever take, so a
// waiting close of `near` would block for the whole linger time.
void MakeStalled(int *near, int *far, size_t *queued) {
  int port = 0, ls = loopback_socket(&port, true), tiny = 4096, big = 256 * 1024, outq = 0, rcvbuf = 0;
  // The accepted end takes the listener's small buffer, and a small window from the start.
  setsockopt(ls, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
  *near = connect_to(port);
  *far = accept(ls, nullptr, nullptr);
  close(ls);
  ASSERT_GE(*far, 0);
  setsockopt(*near, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  struct linger lg = {1, 60};
  ASSERT_EQ(0, setsockopt(*near, SOL_SOCKET, SO_LINGER, &lg, sizeof lg));
  fcntl(*near, F_SETFL, fcntl(*near, F_GETFL) | O_NONBLOCK);
  const std::string chunk = pattern(65536);
  *queued = 0;
  for (ssize_t n; (n = send(*near, chunk.data(), chunk.size(), MSG_NOSIGNAL)) > 0;) *queued += (size_t)n;
  ASSERT_EQ(EAGAIN, errno);
  socklen_t len = sizeof rcvbuf;
  ASSERT_EQ(0, ioctl(*near, SIOCOUTQ, &outq));
  ASSERT_EQ(0, getsockopt(*far, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len));
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
    if (!passed) {
      int stalled = ctx.Channel(near)->ID, next = ctx.Channel(sv[0])->ID;
      ccm_channel_deletebyID(ctx.ccm, stalled);
      ccm_channel_deletebyID(ctx.ccm, next);
      ccm_wakeup_network(ctx.ccm);
      for (int want : {stalled, next}) {
        ccm_msg_t *m = receive(ctx.ccm);
        EXPECT_EQ(want, closed_id(m));
        ccm_msg_free(ctx.ccm, m);
      }
    } else {
      const std::string f = frame(block(0x04, "after"));
      for (auto [off, n, fd] : {std::tuple{0, 20, 0}, std::tuple{20, (int)f.size() - 20, near}}) {
        struct iovec iov = {const_cast<char *>(f.data()) + off, (size_t)n};
        alignas(struct cmsghdr) char ctl[CMSG_SPACE(sizeof(int))] = {};
        put_fd(ctl, fd);
        struct msghdr mh = {nullptr, 0, &iov, 1, ctl, sizeof ctl, 0};
        ASSERT_EQ(n, sendmsg(sv[1], &mh, 0));
      }
      close(near);  // the descriptor in flight is the last reference now
      // Taken over only now: both pieces wait, each with its descriptor.
      int carrier = ctx.Channel(sv[0])->ID;
      ccm_wakeup_network(ctx.ccm);
      ccm_msg_t *m = receive(ctx.ccm);
      ASSERT_NE(nullptr, m);
      EXPECT_EQ(carrier, m->addr.src_ID);
      EXPECT_EQ("after", msg_data(m));
      close(passed_fd(m->control_data, m->control_len));  // a copy of standard input, with the first piece
      ccm_msg_free(ctx.ccm, m);
    }
    size_t got = 0;
    char buf[65536];
    ssize_t n = -1;
    while (wait_readable(far) && (n = recv(far, buf, sizeof buf, 0)) > 0) got += (size_t)n;
    EXPECT_EQ(0, n) << strerror(errno);  // an orderly end, no reset
    EXPECT_EQ(queued, got);
    close(far), close(sv[1]);
  }
}

// Waits (bounded) until thread `tid` sleeps in the kernel. Only makes a race
// more likely; no result depends on it.
void wait_until_blocked(pid_t tid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/self/task/%d/stat", (int)tid);
  eventually([&] {
    std::ifstream f(path);
    std::string stat;
    std::getline(f, stat);
    size_t p = stat.rfind(')');
    return p != std::string::npos && p + 2 < stat.size() && stat[p + 2] == 'S';
  });
}
// Queues a message by the internal route, which wakes the receiver as the
// read path does.
void Deliver(Context &ctx, const std::string &data) { send_IPC_internal(ctx.ccm, ctx.Msg(data, true)); }

// The network thread's loop run by the test with a select time-out of an
// hour: what it serves within the suite's deadline, an event made it serve.
struct HourLoop {
  explicit HourLoop(Context &c) : ctx(c) {
    ccm_loop_set(ctx.ccm, 1);
    net = std::thread([this] {
      tid = (pid_t)syscall(SYS_gettid);
      while (ccm_flag_get(ctx.ccm->loop)) {
        ccm_error_t e{};
        ccm_network_select(ctx.ccm, 3600, &e);
        if (ccm_flag_test(ctx.ccm->flag, CCM_CTXF_DELETED)) ccm_destroy_deleted_channels(ctx.ccm);
      }
    });
  }
  ~HourLoop() {
    ccm_thread_stop(ctx.ccm);
    EXPECT_EQ(1, write(ctx.ccm->network_wakeup[1], "N", 1));  // past the pending flag, even after a failure
    net.join();
  }
  Context &ctx;
  std::atomic<pid_t> tid{0};
  std::thread net;
};

// The user's thread sends numbered messages through a channel pair; select
// passes with a time-out of an hour (a lost network wake-up leaves its
// message unserved past any deadline) write each into one end, read it from
// the other and queue it for the user. With 1 to 32 messages in flight,
// wake-ups meet both alone and in bursts; every message must arrive once
// and in order.
TEST(Wakeup, NoWakeupIsLost) {
  Context ctx;
  ctx.Pipes();
  ccm_channel_t *a = nullptr, *b = nullptr;
  ccm_error_t err{};
  ASSERT_EQ(0, ccm_channel_create_pair(ctx.ccm, &a, &b, &err));
  const int to = a->ID, from = b->ID;
  HourLoop loop(ctx);  // stopped also after a failure
  for (int got = 0, sent = 0, window = 1; got < kMessages; ++got) {
    for (; sent < kMessages && sent - got < window; ++sent) {
      ccm_msg_t *m = ctx.Msg(block(0x04, std::to_string(sent)), true);
      m->addr.dst_ID = to;
      ASSERT_EQ(0, send_native_message(ctx.ccm, m));
    }
    ccm_msg_t *m = nullptr;
    ASSERT_EQ(1, ccm_receive_message(ctx.ccm, kDeadlineMs / 1000, &m, &err))
        << "message " << got << " lost";
    bool ok = m->addr.src_ID == from && msg_data(m) == std::to_string(got);
    ccm_msg_free(ctx.ccm, m);
    ASSERT_TRUE(ok) << "message " << got << " out of order or twice";
    if (got % 997 == 0) window = window * 5 % 32 + 1;
  }
  EXPECT_EQ(0, count_recvq(ctx.ccm));
}

// A message queued during a wait (of a minute) ends it at once; with none
// queued a wait (of a second) ends at its deadline and not before. Either
// whatever wake-up state the wait started from, and whatever stale byte
// arrives during it.
TEST(Wakeup, AWaitEndsAtOnceForAMessageAndOtherwiseAtItsDeadline) {
  auto none = [](Context &) {};
  auto taken = [](Context &ctx) { Deliver(ctx, "old"), ccm_msg_free(ctx.ccm, receive(ctx.ccm)); };
  // A waker between its flag and its byte: the byte comes, but the receiver
  // must not count on it for a message queued after its look.
  auto unwritten = [](Context &ctx) { ctx.ccm->processor_wakeup_pending.store(1); };
  auto late_byte = [](Context &ctx) { EXPECT_EQ(1, write(ctx.ccm->processor_wakeup[1], "P", 1)); };
  auto deliver = [](Context &ctx) { Deliver(ctx, "new"); };
  const struct {
    const char *what;
    std::function<void(Context &)> before, during;
    bool message;
  } cases[] = {
      {"message, nothing pending before", none, deliver, true},
      {"message, the wake-up of a message taken without waiting before", taken, deliver, true},
      {"message, a wake-up whose byte is not written yet before", unwritten, deliver, true},
      {"none, the byte of a message taken without waiting before", taken, none, false},
      {"none, a byte written late for a message taken before", late_byte, none, false},
      {"none, a byte written late during the wait", none, late_byte, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Context ctx;
    ctx.Pipes();
    c.before(ctx);
    std::thread during([&, me = (pid_t)syscall(SYS_gettid)] {
      wait_until_blocked(me);
      c.during(ctx);
    });
    const int timeout = c.message ? 2 * kDeadlineMs / 1000 : 1;  // a lost wake-up waits it out
    ccm_msg_t *m = nullptr;
    ccm_error_t err{};
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(c.message, ccm_receive_message(ctx.ccm, timeout, &m, &err));
    EXPECT_EQ(c.message, std::chrono::steady_clock::now() - t0 < std::chrono::seconds(timeout));
    during.join();
    EXPECT_EQ(c.message ? "new" : "<none>", m ? msg_data(m) : "<none>");
    ccm_msg_free(ctx.ccm, m);
  }
}

const size_t kNormal = ccm_msg_memory_for(kCcmNormalSize);  // one normal message
std::string text_frame(const std::string &text) { return frame(block(0x04, text)); }

// A peer that sends 3000 frames without ever reading keeps the receive queue
// at its limit; the receiver then takes every frame, once and in order.
TEST(Limits, SenderThatNeverReadsKeepsTheQueueAtItsLimit) {
  constexpr int kFrames = 3000;
  auto nth = [](int i) { return "#" + std::to_string(1000000 + i); };
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
  EXPECT_TRUE(eventually([&] { return ccm_get_recvq_bytes(ctx.ccm) >= limit; }));
  for (int got = 0; got < kFrames; ++got) {
    ccm_msg_t *m = receive(ctx.ccm);
    ASSERT_NE(nullptr, m) << got;
    ASSERT_EQ(nth(got), msg_data(m));
    ccm_msg_free(ctx.ccm, m);
  }
  sender.join();
  EXPECT_EQ(0u, ccm_get_recvq_bytes(ctx.ccm));
  // Frames are put in only while the queue is below its limit: with
  // normal messages only, it holds exactly the limit at its fullest.
  EXPECT_EQ(limit, ccm_get_recvq_peak(ctx.ccm));
  close(sv[1]);
}

// Passes driven by the test, with room for one message: a full queue leaves
// every channel unread, a take that makes room wakes the network thread,
// buffered frames go before new bytes, and the channel after the one that
// filled the queue is served first.
TEST(Limits, FullQueueIsServedInTurnFromBufferedFramesFirst) {
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
  ASSERT_EQ(0, ccm_network_select(ctx.ccm, 0, &err));
  EXPECT_EQ(1, count_recvq(ctx.ccm));
  EXPECT_EQ(1, cha->recv_held);  // a2 and a3 wait in the buffer
  write_all(a[1], text_frame("a4"));
  const int buffered = cha->recv_pos;
  ASSERT_EQ(0, ccm_network_select(ctx.ccm, 0, &err));  // full: nothing is read
  EXPECT_EQ(1, count_recvq(ctx.ccm));
  EXPECT_EQ(buffered, cha->recv_pos);
  EXPECT_TRUE(nothing_to_read(ctx.ccm->network_wakeup[0]));
  std::vector<std::string> order = {next_text(ctx.ccm)};
  EXPECT_FALSE(nothing_to_read(ctx.ccm->network_wakeup[0]));  // the take woke the network thread
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(0, ccm_network_select(ctx.ccm, 0, &err));
    EXPECT_EQ(1, count_recvq(ctx.ccm)) << i;
    order.push_back(next_text(ctx.ccm));
  }
  EXPECT_EQ((std::vector<std::string>{"a1", "b1", "a2", "a3", "a4"}), order);
  EXPECT_EQ(0, cha->recv_held);
  EXPECT_LE(ccm_get_recvq_peak(ctx.ccm), kNormal);
  EXPECT_EQ(-1, ccm_set_recvq_limit(ctx.ccm, 0) + ccm_set_recvq_limit(nullptr, 1) + 1);
  EXPECT_EQ(-3, ccm_set_max_frame(ctx.ccm, 47) + ccm_set_max_frame(ctx.ccm, 100000000) + ccm_set_max_frame(nullptr, 1000));
  EXPECT_EQ(0, ccm_set_max_frame(ctx.ccm, 48) + ccm_set_max_frame(ctx.ccm, 99999999));
  EXPECT_EQ(0u, ccm_get_recvq_bytes(nullptr) + ccm_get_recvq_peak(nullptr));
  close(a[1]), close(b[1]);
}

// A header announcing more than the maximum closes its channel with the
// reason; another channel goes on, and a frame of exactly the maximum passes.
TEST(Limits, LongerFrameClosesOnlyItsChannel) {
  Context ctx;
  ASSERT_EQ(0, ccm_set_max_frame(ctx.ccm, 1000));
  int bad[2], good[2];
  socket_pair(bad);
  socket_pair(good);
  const int bad_id = ctx.Channel(bad[0], 0, "*IPC(BAD)")->ID, good_id = ctx.Channel(good[0], 0, "*IPC(GOOD)")->ID;
  ctx.Start();
  write_all(good[1], frame(block(0x3B, std::string(1000 - 48 - 3, 'm'), 2)));
  write_all(bad[1], text_frame("fine") + frame(block(0x3B, std::string(1001 - 48 - 3, 'x'), 2)));
  std::multiset<std::string> got;
  std::string why;
  while (got.size() < 3 || why.empty()) {
    ccm_msg_t *m = receive(ctx.ccm);
    ASSERT_NE(nullptr, m);
    if (is_ipc(m, "CHANNEL_CLOSE")) {
      EXPECT_EQ(bad_id, closed_id(m, &why));
      write_all(good[1], text_frame("after"));
    } else {
      got.insert(std::to_string(m->addr.src_ID) + ":" + std::to_string(m->len));
    }
    ccm_msg_free(ctx.ccm, m);
  }
  EXPECT_EQ(0u, why.find("2002036 ")) << why;
  EXPECT_NE(std::string::npos, why.find("invalid frame(length 1001 above the maximum 1000)")) << why;
  const std::multiset<std::string> want = {std::to_string(bad_id) + ":4", std::to_string(good_id) + ":5",
                                          std::to_string(good_id) + ":949"};
  EXPECT_EQ(want, got);
  EXPECT_EQ(1, ccm_channel_existbyID(ctx.ccm, good_id));
  close(bad[1]), close(good[1]);
}

// A 50 MiB frame, written slowly in uneven pieces and followed by a small
// frame, arrives whole; it is larger than the queue's limit, which an empty
// queue admits anyway, and goes straight into its own message: the
// channel's receive buffer never grows beyond a normal message.
TEST(Limits, SlowFrameLargerThanTheQueueLimitArrivesWhole) {
  const std::string payload = pattern(50u << 20, 11), big = frame(block(0xFF, payload, 4));
  Context ctx;
  ASSERT_EQ(0, ccm_set_recvq_limit(ctx.ccm, kNormal));
  int sv[2], small = 65536;
  socket_pair(sv);
  setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  const int id = ctx.Channel(sv[0], 0, "*IPC(BIG)")->ID;
  ctx.Start();
  std::thread sender([&] {
    size_t off = 0;
    for (size_t piece : {size_t{5}, size_t{43}, size_t{1}, size_t{9000}}) write_all(sv[1], big.substr(off, piece)), off += piece;
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
  ASSERT_NE(nullptr, m = receive(ctx.ccm));
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

// One pass driven by the test, with the sweep the network thread makes after it.
void Pass(Context &ctx, int seconds = 0) {
  ccm_error_t e{};
  ccm_network_select(ctx.ccm, seconds, &e);
  if (ccm_flag_test(ctx.ccm->flag, CCM_CTXF_DELETED)) ccm_destroy_deleted_channels(ctx.ccm);
}
// How many of `n` passes driven now found a descriptor ready: a pass that
// finds one and has nothing to serve is a spin.
std::string ReadyIn(Context &ctx, int n) {
  ccm_net_stats_t a{}, b{};
  ccm_get_net_stats(ctx.ccm, &a);
  for (int i = 0; i < n; ++i) Pass(ctx);
  ccm_get_net_stats(ctx.ccm, &b);
  return std::to_string(b.ready_passes - a.ready_passes);
}
// A loopback TCP connection: the client into *client, the accepted end
// (non-blocking) as result.
int TcpPair(int *client) {
  int port = 0, ls = loopback_socket(&port, true);
  *client = connect_to(port);
  int s = accept(ls, nullptr, nullptr);
  close(ls);
  fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
  return s;
}
int ListenOn(Context &ctx, int backlog) {  // a listening channel; its port
  ccm_error_t err{};
  EXPECT_EQ(0, ccm_create_listen(ctx.ccm, "127.0.0.1", 0, backlog, &err));
  ccm_channel_t *l = ccm_channel_getbyName(ctx.ccm, "*LISTEN");  // whichever queue it is in by now
  const int port = l ? local_port(l->s) : -1;
  if (l) ccm_channel_unlock(ctx.ccm);
  return port;
}
// What `body` returns, run in a child process (which may lower its limits).
std::string InChild(const std::function<std::string()> &body) {
  int p[2];
  if (pipe(p) != 0) return "no pipe";
  pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    const std::string r = body();
    _exit(write(p[1], r.data(), r.size()) == (ssize_t)r.size() ? 0 : 1);
  }
  close(p[1]);
  std::string out = read_exact(p[0], 4096);
  close(p[0]);
  waitpid(pid, nullptr, 0);
  return out;
}
// Takes every queued message, the accept notices counted into *accepted.
void TakeAll(Context &ctx, int *accepted) {
  ccm_error_t e{};
  for (ccm_msg_t *m; ccm_receive_message(ctx.ccm, 0, &m, &e) == 1; ccm_msg_free(ctx.ccm, m))
    *accepted += is_ipc(m, "CHANNEL_ACCEPT");
}

// Conditions a peer (or a program) can create, each against a context of
// its own; what each row returns is made of events and counters only.
struct Hostile {
  const char *condition;
  std::function<std::string()> run;
  const char *want;
};
const Hostile kHostile[] = {
    // First, while the process has no other thread: the child is forked.
    {"descriptors exhausted", [] { return InChild([] {
       LogRecorder log;
       Context ctx;
       ctx.Pipes();
       const int port = ListenOn(ctx, 16);
       int sv[2], accepted = 0;
       socket_pair(sv);
       const int spare = ctx.Channel(sv[0])->ID;
       std::vector<int> clients, filler;
       for (int i = 0; i < 4; ++i) clients.push_back(connect_to(port));
       struct rlimit was, low = {256, 256};
       getrlimit(RLIMIT_NOFILE, &was);
       low.rlim_max = was.rlim_max;
       if (open_fd_count() > 200 || setrlimit(RLIMIT_NOFILE, &low) != 0) return std::string("no lower limit");
       for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) filler.push_back(fd);
       Pass(ctx);  // accept fails: the listening channel backs off
       std::string r = "ready:" + ReadyIn(ctx, 3);
       ccm_channel_deletebyID(ctx.ccm, spare);
       Pass(ctx), Pass(ctx);  // destroying it frees a descriptor, taken by one accept at once
       TakeAll(ctx, &accepted);
       r += " freed:" + std::to_string(accepted);
       setrlimit(RLIMIT_NOFILE, &was);
       for (int fd : filler) close(fd);
       for (int i = 0; i < 10 && accepted < 4; ++i) Pass(ctx, kDeadlineMs / 1000), TakeAll(ctx, &accepted);
       int logs = 0;
       for (const std::string &l : log.with(2000102)) logs += starts(l, "accept(...,FIONBIO)|24-");
       for (int c : clients) close(c);
       close(sv[1]);
       return r + " logs:" + std::to_string(logs) + " accepted:" + std::to_string(accepted);
     }); }, "ready:0 freed:1 logs:1 accepted:4"},
    {"an urgent byte", [] {
       Context ctx;
       ctx.Pipes();
       ccm_set_recvq_limit(ctx.ccm, 1);
       int c, s = TcpPair(&c);
       ctx.Channel(s);
       Deliver(ctx, "fill");  // the queue is at its limit
       const std::string f = text_frame("urgent");
       EXPECT_EQ(1, send(c, f.data(), 1, MSG_OOB));
       struct pollfd p = {s, POLLPRI, 0};
       EXPECT_EQ(1, poll(&p, 1, kDeadlineMs));
       Pass(ctx);  // takes the channel over
       std::string r = "full:" + ReadyIn(ctx, 3);
       next_text(ctx.ccm);
       Pass(ctx);  // room: the byte is read
       r += " room:" + ReadyIn(ctx, 3);
       write_all(c, f.substr(1));
       Pass(ctx);
       close(c);
       return r + " " + next_text(ctx.ccm);
     }, "full:0 room:0 urgent"},
    {"a queue at its limit and many connects", [] {
       Context ctx;
       ccm_set_recvq_limit(ctx.ccm, 1);
       const int port = ListenOn(ctx, 256);
       ctx.Start();
       const int fds = open_fd_count();
       for (int i = 0; i < 200; ++i) {
         int c = connect_to(port);
         write_all(c, text_frame(std::to_string(i)));
         close(c);
       }
       for (int i = 0; i < 5; ++i) {  // passes enough to take over every waiting connection
         ccm_net_stats_t before{}, now{};
         ccm_get_net_stats(ctx.ccm, &before);
         ccm_wakeup_network(ctx.ccm);
         eventually([&] { return ccm_get_net_stats(ctx.ccm, &now) == 0 && now.passes > before.passes; });
       }
       const bool idle_within = ccm_get_recvq_peak(ctx.ccm) <= 1 + 2 * kNormal;
       std::map<int, std::string> seen;
       for (int closed = 0; closed < 200;) {
         ccm_msg_t *m = receive(ctx.ccm);
         if (!m) break;
         ipcmsg_channel_accept_t a{};
         memcpy(&a, m->msg_start, std::min(sizeof a, (size_t)m->len));
         int id = closed_id(m);
         if (id > 0) ++closed;
         const bool acc = is_ipc(m, "CHANNEL_ACCEPT");
         seen[acc ? a.ID : id > 0 ? id : m->addr.src_ID] += acc ? 'A' : id > 0 ? 'C' : 'F';
         ccm_msg_free(ctx.ccm, m);
       }
       const long whole = std::count_if(seen.begin(), seen.end(), [](auto &e) { return e.second == "AFC"; });
       const bool within = idle_within && ccm_get_recvq_peak(ctx.ccm) <= 1 + 2 * kNormal;
       return std::string(within ? "within" : "over") + " the limit and two messages, " +
              std::to_string(whole) + " AFC, descriptors " +
              (eventually([&] { return open_fd_count() == fds; }) ? "back" : "left");
     }, "within the limit and two messages, 200 AFC, descriptors back"},
    {"a blocking channel with held frames", [] {
       Context ctx;
       ctx.Pipes();
       ccm_set_recvq_limit(ctx.ccm, 2 * kNormal);
       int b[2], o[2];
       EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, b));  // blocking
       socket_pair(o);
       ctx.Channel(b[0], 0, "*IPC(BLOCKING)"), ctx.Channel(o[0], 0, "*IPC(OTHER)");
       write_all(b[1], text_frame("1") + text_frame("2") + text_frame("3"));
       Pass(ctx);  // 1 and 2 fill the queue, 3 is held
       std::string r = next_text(ctx.ccm);
       r += next_text(ctx.ccm);
       ctx.Start();  // hands 3 over, then receives once more on the blocking descriptor
       r += next_text(ctx.ccm);
       write_all(o[1], text_frame(" other"));
       r += next_text(ctx.ccm);
       write_all(b[1], text_frame(" 4"));  // a receive that waited would end here
       r += next_text(ctx.ccm);
       close(b[1]), close(o[1]);
       return r;
     }, "123 other 4"},
    {"a peer that fails with complete frames held", [] {
       Context ctx;
       ctx.Pipes();
       ccm_set_recvq_limit(ctx.ccm, 1);
       int c, s = TcpPair(&c);
       const int id = ctx.Channel(s)->ID;
       write_all(c, text_frame("a") + text_frame("b") + text_frame("c"));
       EXPECT_TRUE(wait_readable(s));
       Pass(ctx);  // a fills the queue, b and c are held
       struct linger reset = {1, 0};
       setsockopt(c, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
       close(c);
       struct pollfd p = {s, 0, 0};
       EXPECT_EQ(1, poll(&p, 1, kDeadlineMs));
       ctx.Send(ctx.Msg(text_frame("answer")), id);  // writing it fails
       std::string r, why;
       for (int i = 0; i < 10 && why.empty(); ++i) {  // each take makes room for one more
         Pass(ctx);
         ccm_msg_t *m = nullptr;
         ccm_error_t e{};
         if (ccm_receive_message(ctx.ccm, 0, &m, &e) != 1) continue;
         r += closed_id(m, &why) == id ? " closed " + why.substr(0, 7) : msg_data(m);
         ccm_msg_free(ctx.ccm, m);
       }
       return r;
     }, "abc closed 2002002"},
    {"a descriptor passed behind a long frame", [] {
       Context ctx;
       ctx.Pipes();
       int sv[2];
       socket_pair(sv);
       ctx.Channel(sv[0], 0, "*IPC(FD)");
       write_all(sv[1], frame(block(0x3B, std::string(8000 - 51, 'L'), 2)));
       const std::string f = frame(block(0x3B, std::string(600 - 51, 's'), 2));
       struct iovec iov = {const_cast<char *>(f.data()), f.size()};
       alignas(struct cmsghdr) char ctl[CMSG_SPACE(sizeof(int))] = {};
       struct msghdr mh = {nullptr, 0, &iov, 1, ctl, put_fd(ctl, 0), 0};
       EXPECT_EQ((ssize_t)f.size(), sendmsg(sv[1], &mh, 0));
       std::string r;
       for (int i = 0; i < 4; ++i) {
         Pass(ctx);
         ccm_error_t e{};
         for (ccm_msg_t *m; ccm_receive_message(ctx.ccm, 0, &m, &e) == 1; ccm_msg_free(ctx.ccm, m)) {
           const int fd = passed_fd(m->control_data, m->control_len);
           r += std::to_string(m->len) + (fd >= 0 ? "+fd " : " ");
           if (fd >= 0) close(fd);
         }
       }
       close(sv[1]);
       return r;
     }, "7949 549+fd "},
    {"a listener made while the thread waits", [] {
       Context ctx;
       ctx.Pipes();
       HourLoop loop(ctx);
       eventually([&] { return loop.tid != 0; });
       wait_until_blocked(loop.tid);  // in its first select, of an hour
       const int c = connect_to(ListenOn(ctx, 5));
       ccm_msg_t *m = receive(ctx.ccm);
       const std::string r = m && is_ipc(m, "CHANNEL_ACCEPT") ? "accepted" : "not served";
       ccm_msg_free(ctx.ccm, m);
       close(c);
       return r;
     }, "accepted"},
};

TEST(Hostile, NoConditionMakesTheNetworkThreadSpinBlockOrHoldTooMuch) {
  for (const Hostile &h : kHostile) {
    SCOPED_TRACE(h.condition);
    EXPECT_EQ(h.want, h.run());
  }
}

// ---- the send side ----------------------------------------------------------

// A message holding `body`, addressed to channel `id` and still the caller's.
ccm_msg_t *to_channel(Context &ctx, int id, const std::string &body) {
  ccm_msg_t *m = ctx.Msg(body, true);
  m->addr.dst_ID = id;
  return m;
}

// A sender to a peer that never reads fills the kernel's buffer, then the
// channel's queue up to its limit, and waits there; once the peer reads,
// every message arrives once and in order. The limit held throughout.
TEST(Limits, SenderToAPeerThatNeverReadsWaitsAtTheLimit) {
  constexpr int kSends = 40;  // 1.2 MB of frames: far more than the socket takes
  auto nth = [](int i) { return block(0x3B, std::to_string(1000 + i) + pattern(30000, (unsigned)i), 2); };
  Context ctx;
  const size_t limit = 4 * kNormal;
  ASSERT_EQ(0, ccm_set_sendq_limit(ctx.ccm, limit));
  ASSERT_EQ(0, ccm_set_send_timeout(ctx.ccm, 2 * kDeadlineMs));  // a lost wake-up fails the send
  int sv[2], small = 65536;
  socket_pair(sv);
  setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  const int id = ctx.Channel(sv[0], 0, "*IPC(SLOW)")->ID;
  ctx.Start();
  std::atomic<int> sent{0}, failed{0};
  std::thread sender([&] {
    for (int i = 0; i < kSends; ++i) {
      ccm_msg_t *m = to_channel(ctx, id, nth(i));
      if (int rc = send_native_message(ctx.ccm, m); rc != 0) {
        ccm_msg_free(ctx.ccm, m);
        failed = rc;
        return;
      }
      sent = i + 1;
    }
  });
  EXPECT_TRUE(eventually(
      [&] { return ccm_get_sendq_bytes(ctx.ccm, id) == limit && ctx.ccm->send_waiters.load() == 1; }));
  EXPECT_LT(sent.load(), kSends);
  std::string want;
  for (int i = 0; i < kSends; ++i) want += frame(nth(i));
  const std::string got = read_exact(sv[1], want.size());
  sender.join();
  EXPECT_EQ(0, failed.load());
  ASSERT_EQ(want.size(), got.size());
  EXPECT_TRUE(want == got);  // once each, in order
  EXPECT_TRUE(eventually([&] { return ccm_get_sendq_bytes(ctx.ccm, id) == 0; }));
  EXPECT_TRUE(nothing_to_read(sv[1]));
  // With normal messages only, a channel holds exactly the limit at its fullest.
  EXPECT_EQ(limit, ccm_get_sendq_peak(ctx.ccm));
  size_t left = 1;
  ccm_error_t err{};
  EXPECT_EQ(0, ccm_flush(ctx.ccm, id, 0, &left, &err));
  EXPECT_EQ(0u, left);
  close(sv[1]);
}

// A channel full to its limit, with no network thread yet: nothing is
// written, so every count stays as the rows leave it.
struct FullChannel {
  FullChannel() {
    ctx.Pipes();
    EXPECT_EQ(0, ccm_set_sendq_limit(ctx.ccm, limit));
    EXPECT_EQ(0, ccm_set_send_timeout(ctx.ccm, 2 * kDeadlineMs));  // a lost wake-up ends in a time-out
    socket_pair(sv);
    id = ctx.Channel(sv[0], 0, "*IPC(FULL)")->ID;
    for (int i = 0; i < 2; ++i) EXPECT_EQ(0, send_native_message(ctx.ccm, Msg()));
    EXPECT_EQ(limit, ccm_get_sendq_bytes(ctx.ccm, id));
  }
  ~FullChannel() {
    if (sv[1] >= 0) close(sv[1]);
  }
  ccm_msg_t *Msg() { return to_channel(ctx, id, block(0x04, "x")); }
  // Runs `call` on a thread of its own and returns once it waits for room.
  std::thread Waiting(std::function<void()> call) {
    std::thread t(std::move(call));
    EXPECT_TRUE(eventually([&] { return ctx.ccm->send_waiters.load() == 1; }));
    return t;
  }
  Context ctx;
  const size_t limit = 2 * kNormal;
  int sv[2] = {-1, -1};
  int id = 0;
};

// What a message left with its caller looks like: as it was handed in, in
// the in-use list, uncounted; `msgnr` is the sending thread's send error.
void ExpectKept(FullChannel &f, ccm_msg_t *m, int msgnr, int want) {
  EXPECT_EQ(want, msgnr);
  EXPECT_EQ(block(0x04, "x"), msg_data(m));
  EXPECT_EQ(m->buffer1 + kCcmHeadroom, m->msg_start);
  EXPECT_EQ(m, f.ctx.ccm->msgq_inuse.head);
  EXPECT_EQ(f.limit, ccm_get_sendq_bytes(f.ctx.ccm, 0));
  ccm_msg_free(f.ctx.ccm, m);  // clean under ASan: nothing else refers to it
}

TEST(Limits, AFullChannelFailsASendOrEndsItsWaitWhenItCloses) {
  const struct {
    const char *what;
    std::function<void(FullChannel &)> run;
  } rows[] = {
      {"time-out 0 fails at once; a flush that only looks says what is queued",
       [](FullChannel &f) {
         ASSERT_EQ(0, ccm_set_send_timeout(f.ctx.ccm, 0));
         ccm_msg_t *m = f.Msg();
         EXPECT_EQ(CCM_SEND_TIMEDOUT, send_native_message(f.ctx.ccm, m));
         ccm_error_t err{};
         ccm_get_send_error(&err);
         EXPECT_EQ("2002050 chID=" + std::to_string(f.id) + "|queued=" + std::to_string(f.limit) + "|limit=" +
                       std::to_string(f.limit) + "|0ms",
                   err_text(err));
         ExpectKept(f, m, ccm_get_send_error(nullptr), CCM_MSGNR_SEND_TIMEOUT);
         size_t left = 0;
         EXPECT_EQ(-1, ccm_flush(f.ctx.ccm, f.id, 0, &left, &err));
         EXPECT_EQ(CCM_MSGNR_SEND_TIMEOUT, err.msgnr);
         EXPECT_EQ(f.limit, left);
         EXPECT_EQ(f.limit, ccm_get_sendq_bytes(f.ctx.ccm, 0));
       }},
      {"a waiting sender fails when its channel is deleted, and so does every later send",
       [](FullChannel &f) {
         ccm_msg_t *m = f.Msg();
         int rc = 0, msgnr = 0;
         std::thread t = f.Waiting([&] {
           rc = send_native_message(f.ctx.ccm, m);
           msgnr = ccm_get_send_error(nullptr);
         });
         ccm_channel_deletebyID(f.ctx.ccm, f.id);
         t.join();
         EXPECT_EQ(CCM_SEND_CLOSED, rc);
         ExpectKept(f, m, msgnr, CCM_MSGNR_SEND_CLOSED);
         EXPECT_EQ(CCM_SEND_CLOSED, send_native_message(f.ctx.ccm, m = f.Msg()));
         ExpectKept(f, m, ccm_get_send_error(nullptr), CCM_MSGNR_SEND_CLOSED);
       }},
      {"a flush with a dead peer returns with what remained, and the close notice counts it",
       [](FullChannel &f) {
         close(f.sv[1]);
         f.sv[1] = -1;
         int rc = 0;
         size_t left = 0;
         ccm_error_t err{};
         std::thread t = f.Waiting([&] { rc = ccm_flush(f.ctx.ccm, f.id, 2 * kDeadlineMs, &left, &err); });
         f.ctx.Start();  // the channel reads its end, is deleted and destroyed with its queue
         t.join();
         EXPECT_EQ(-1, rc);
         EXPECT_EQ("2002051 chID=" + std::to_string(f.id) + "|dropped=" + std::to_string(f.limit) +
                       "|channel closed",
                   err_text(err));
         EXPECT_EQ(f.limit, left);
         EXPECT_EQ(f.limit, ccm_get_sendq_dropped(f.ctx.ccm));
         ccm_msg_t *n = receive(f.ctx.ccm);
         ASSERT_EQ(f.id, closed_id(n));
         ipcmsg_channel_close_t rec;
         memcpy(static_cast<void *>(&rec), n->msg_start, sizeof rec);
         EXPECT_EQ(f.limit, rec.ccmch.sendq_dropped);
         ccm_msg_free(f.ctx.ccm, n);
         EXPECT_EQ(0, ccm_flush(f.ctx.ccm, 0, 0, &left, &err));  // nothing queued, nothing dropped since
         EXPECT_EQ(-1, ccm_flush(f.ctx.ccm, f.id, 0, &left, &err));  // no such channel any more
         EXPECT_EQ("2002051 chID=" + std::to_string(f.id) + "||channel not open 0",
                   err_text(err) + " " + std::to_string(left));
       }},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.what);
    FullChannel f;
    r.run(f);
  }
}

// Two threads send small numbered messages through one channel at a small
// limit, so that both keep waiting for room; the peer reads everything: none
// lost, none twice, each sender's order kept.
TEST(Limits, TwoSendersAtASmallLimitLoseNothing) {
  constexpr int kEach = 50000;  // 100,000 messages in all
  Context ctx;
  const size_t limit = 4 * kNormal;
  ASSERT_EQ(0, ccm_set_sendq_limit(ctx.ccm, limit));
  ASSERT_EQ(0, ccm_set_send_timeout(ctx.ccm, 2 * kDeadlineMs));
  int sv[2];
  socket_pair(sv);
  const int id = ctx.Channel(sv[0], 0, "*IPC(TWO)")->ID;
  ctx.Start();
  auto body = [](char who, int i) { return block(0x04, who + std::to_string(100000 + i)); };
  std::atomic<int> failed{0};
  auto send_all = [&](char who) {
    for (int i = 0; i < kEach && failed == 0; ++i) {
      ccm_msg_t *m = to_channel(ctx, id, body(who, i));
      if (int rc = send_native_message(ctx.ccm, m); rc != 0) {
        ccm_msg_free(ctx.ccm, m);
        failed = rc;
      }
    }
  };
  std::thread a(send_all, 'a'), b(send_all, 'b');
  const size_t total = 2 * kEach * frame(body('a', 0)).size();
  const std::string got = read_exact(sv[1], total);
  a.join(), b.join();
  EXPECT_EQ(0, failed.load());
  ASSERT_EQ(total, got.size());
  int next[2] = {0, 0};
  const std::string one = frame(body('a', 0));
  for (size_t off = 0; off < got.size(); off += one.size()) {
    const std::string f = got.substr(off, one.size());
    const int who = f[48 + 2] == 'b';
    ASSERT_EQ(frame(body(who ? 'b' : 'a', next[who])), f) << "at byte " << off;
    ++next[who];
  }
  EXPECT_EQ(kEach, next[0]);
  EXPECT_EQ(kEach, next[1]);
  EXPECT_LE(ccm_get_sendq_peak(ctx.ccm), limit);
  close(sv[1]);
}

}  // namespace
