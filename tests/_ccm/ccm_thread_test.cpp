// The network thread: start and stop, dispatching the send queue, the
// internal channel pair, two contexts in one process talking over loopback
// TCP and over a socket pair with the thread running, and a peer that never
// acknowledges, which must not hold the thread.

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "_ccm/ccm_io_testing.h"
#include "ccm_alloc.h"
#include "ipcmsg.h"
#include "wq_trace.h"

using namespace ccmtest;

namespace {

// A stop right after the start ends the thread within the deadline; the
// thread names itself after the running mode.
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

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx.Pipes();
    server = Named("*SERVER", 3);
    agent = Named("*IPC(AGENT)", 0);
    secured = Named("SECURE", 0);
    ccm_flag_set(secured->flag, CCM_CHF_SECURED);
    secured->pATctx = &secured->pATctx;
    ctx.Merge();
  }
  ccm_channel_t *Named(const char *name, int type) { return ctx.Channel(-1, type, name); }
  ccm_msg_t *To(int id, const char *addr, const std::string &data, int type = CCM_MSG_NATIVE) {
    ccm_msg_t *m = ctx.Msg(data);
    m->addr.dst_ID = id;
    StringCopy(m->addr.dst_addr, sizeof m->addr.dst_addr, addr);
    m->type = type;
    ctx.Send(m);
    return m;
  }
  static std::string Queue(const ccm_channel_t *ch) {
    std::string s;
    for (ccm_msg_t *m = ch->sendq.head; m; m = m->nxt) s += msg_data(m) + ";";
    return s;
  }
  Context ctx;
  ccm_channel_t *server, *agent, *secured;
};

TEST_F(DispatchTest, RoutesByIdThenByName) {
  ccm_msg_t *cp = To(0, "*CP0815", "cp");
  To(agent->ID, "*SERVER", "by-id-wins");
  To(0, "*IPC(AGENT)", "by-name");
  To(agent->ID, "", "third");
  EXPECT_EQ(0, ccm_dispatch_send_messages(ctx.ccm));
  EXPECT_EQ("cp;", Queue(server));
  EXPECT_STREQ("*SERVER", cp->addr.dst_addr);
  EXPECT_EQ("by-id-wins;by-name;third;", Queue(agent));
  EXPECT_EQ(nullptr, ctx.ccm->sendq.head);
  EXPECT_EQ(nullptr, ctx.ccm->msgq_2dispatch.head);
}

TEST_F(DispatchTest, UnroutableMessagesAreFreedUnlessKept) {
  ccm_channel_delete(ctx.ccm, agent);
  int free_before = ctx.ccm->nof_freemsg;
  To(agent->ID, "", "to a deleted channel");
  To(0, "NOBODY", "to nobody");
  ccm_msg_t *kept = To(0, "NOBODY", "kept");
  kept->flag |= CCM_MSGF_KEEP;
  EXPECT_EQ(0, ccm_dispatch_send_messages(ctx.ccm));
  EXPECT_EQ(free_before + 2, ctx.ccm->nof_freemsg);
  EXPECT_EQ("", Queue(agent));
  // The kept message is in no queue; it is still its owner's to free.
  EXPECT_EQ("kept", msg_data(kept));
  ccm_msg_free(ctx.ccm, kept);
}

TEST_F(DispatchTest, SecuredChannelMarksRoutedMessages) {
  ccm_msg_t *nat = To(secured->ID, "", "nat", CCM_MSG_NAT);
  ccm_msg_t *native = To(secured->ID, "", "native", CCM_MSG_NATIVE);
  ccm_msg_t *plain = To(agent->ID, "", "plain nat", CCM_MSG_NAT);
  ccm_dispatch_send_messages(ctx.ccm);
  EXPECT_TRUE(nat->flag & CCM_MSGF_SECURED);
  EXPECT_FALSE(native->flag & CCM_MSGF_SECURED);
  EXPECT_FALSE(plain->flag & CCM_MSGF_SECURED);
  EXPECT_EQ(secured->pATctx, nat->pATctx);
  EXPECT_EQ(nullptr, plain->pATctx);
}

TEST(ChannelPair, TwoConnectedNonBlockingChannelsOrNothingOnFailure) {
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
  EXPECT_EQ(a->type + b->type, 0);
  EXPECT_EQ("*ID" + std::to_string(a->ID), a->name);
  EXPECT_TRUE(fcntl(a->s, F_GETFL) & fcntl(b->s, F_GETFL) & O_NONBLOCK);
  ASSERT_EQ(3, write(a->s, "abc", 3));
  EXPECT_EQ("abc", read_exact(b->s, 3));
}

// Two contexts with running network threads.
class TwoContexts : public ::testing::Test {
 protected:
  void SetUp() override {
    a.Start();
    b.Start();
  }
  // A listens on the loopback, B connects; returns B's channel ID and sets
  // `accepted` to A's channel ID of the connection.
  int Connect(int *accepted) {
    ccm_error_t err{};
    EXPECT_EQ(0, ccm_create_listen(a.ccm, "127.0.0.1", 0, 5, &err)) << err.msginsert;
    ccm_channel_t *l = ccm_channel_getbyName(a.ccm, "*LISTEN");
    EXPECT_NE(nullptr, l);
    struct sockaddr_in sa = {};
    socklen_t len = sizeof sa;
    getsockname(l->s, (struct sockaddr *)&sa, &len);
    ccm_channel_unlock(a.ccm);
    ccm_wakeup_network(a.ccm);
    int id = ccm_connect(b.ccm, "127.0.0.1", ntohs(sa.sin_port), 5, nullptr, 60, &err);
    EXPECT_GT(id, 0) << err.msginsert;
    ccm_msg_t *n = receive(a.ccm);
    EXPECT_NE(nullptr, n);
    if (n && is_ipc(n, "CHANNEL_ACCEPT")) {
      ipcmsg_channel_accept_t rec;
      memcpy(&rec, n->msg_start, sizeof rec);
      *accepted = rec.ID;
    }
    if (n) ccm_msg_free(a.ccm, n);
    return id;
  }
  // Takes the next notice of `ctx`: a CHANNEL_CLOSE for channel `id` with
  // reason 2002036; returns its insert.
  std::string CloseReason(Context &ctx, int id) {
    ccm_msg_t *m = receive(ctx.ccm);
    if (!m || !is_ipc(m, "CHANNEL_CLOSE")) {
      ADD_FAILURE() << "no close notice";
      if (m) ccm_msg_free(ctx.ccm, m);
      return "";
    }
    ipcmsg_channel_close_t rec;
    memcpy(static_cast<void *>(&rec), m->msg_start, sizeof rec);
    ccm_msg_free(ctx.ccm, m);
    EXPECT_EQ(id, rec.ccmch.ID);
    EXPECT_EQ(2002036, rec.ccmch.msgnr);
    return rec.ccmch.msginsert;
  }
  // Sends `frame_bytes` from `from` to its channel `id`.
  void SendFrame(Context &from, int id, const std::string &frame_bytes) {
    ccm_msg_t *m = from.Msg(frame_bytes);
    m->addr.dst_ID = id;
    from.Send(m);
  }
  Context a, b;
};

TEST_F(TwoContexts, FramesTravelOverLoopbackTcp) {
  int a_id = 0;
  int b_id = Connect(&a_id);
  ASSERT_GT(a_id, 0);

  // The greeting: a native frame with a key 0x04 block.
  SendFrame(a, a_id, frame(block(0x04, "greeting")));
  ccm_msg_t *m = receive(b.ccm);
  ASSERT_NE(nullptr, m);
  EXPECT_EQ(4, m->protocol_key);
  EXPECT_EQ("greeting", msg_data(m));
  EXPECT_EQ(b_id, m->addr.src_ID);
  EXPECT_EQ(5, m->addr.src_type);
  ccm_msg_free(b.ccm, m);

  // A 70000-byte NAT payload, written in pieces and read over several reads.
  std::string big = pattern(70000, 5);
  SendFrame(b, b_id, frame(block(0x01, "JPAKTJ_R") + block(0xFF, big, 4)));
  m = receive(a.ccm);
  ASSERT_NE(nullptr, m);
  EXPECT_EQ(CCM_MSG_NAT, m->type);
  EXPECT_EQ(48 + 10 + 5 + 70000, m->size);  // a huge message of exactly the frame's size
  EXPECT_STREQ("JPAKTJ_R", m->addr.dst_name);
  EXPECT_EQ(big, msg_data(m));
  EXPECT_EQ(a_id, m->addr.src_ID);
  ccm_msg_free(a.ccm, m);

  // Many frames in a burst arrive complete and in order.
  for (int i = 0; i < 200; ++i) SendFrame(b, b_id, frame(block(0xFE, std::to_string(i), 2)));
  for (int i = 0; i < 200; ++i) {
    m = receive(a.ccm);
    ASSERT_NE(nullptr, m) << i;
    EXPECT_EQ(std::to_string(i), msg_data(m));
    ccm_msg_free(a.ccm, m);
  }
}

TEST_F(TwoContexts, TracedExchangeFollowsTheTraceConvention) {
  int a_id = 0;
  Connect(&a_id);
  ASSERT_GT(a_id, 0);
  testing::internal::CaptureStdout();
  trcFlag = 1;
  SendFrame(a, a_id, frame(block(0x04, "traced")));
  ccm_msg_t *m = receive(b.ccm);
  trcFlag = 0;
  fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_NE(nullptr, m);
  EXPECT_EQ("traced", msg_data(m));
  ccm_msg_free(b.ccm, m);
  // Only lines written before the frame reaches the receiver are certain to
  // be in the capture.
  const char *lines[] = {
      "ccm_network_select(ccm=",
      "sizeof(fd_read) = 524288) -->",
      "ccm_dispatch_send_messages <-- (number of dispatched messages = 1)",
      "ccm_dispatch_send_messages:      send to the partner (name : '*ID",
      "ccm_network_select:         select(maxfd=",
      "ccm_write_channel(ccm=",
      "sendmsg() to channel(",
      "ccm_parse_native_message:      protocol key = 4(0x04)",
      "recvmsg() data",
      "ccm_read_channel:         resize buffer at",
  };
  for (const char *l : lines) EXPECT_NE(std::string::npos, out.find(l)) << l;
}

TEST_F(TwoContexts, ResetPeerClosesTheChannelWithItsReason) {
  int a_id = 0;
  int b_id = Connect(&a_id);
  ASSERT_GT(a_id, 0);
  // Make sure the connection is up on both sides before resetting it.
  SendFrame(b, b_id, frame(block(0x04, "up")));
  ccm_msg_t *m = receive(a.ccm);
  ASSERT_NE(nullptr, m);
  ccm_msg_free(a.ccm, m);

  // B's end goes away with a reset: no linger time.
  b.Stop();
  ccm_channel_t *ch = ccm_channel_getbyID(b.ccm, b_id);
  ASSERT_NE(nullptr, ch);
  struct linger lg = {1, 0};
  setsockopt(ch->s, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  ccm_channel_unlock(b.ccm);
  ccm_channel_closeall(b.ccm);

  EXPECT_NE(std::string::npos, CloseReason(a, a_id).find('|'));
  EXPECT_EQ(0, ccm_channel_existbyID(a.ccm, a_id));
}

TEST_F(TwoContexts, RefusedConnectionEndsWithACloseNotice) {
  ccm_error_t err{};
  int id = ccm_connect(b.ccm, "127.0.0.1", closed_port(), 5, nullptr, 60, &err);
  if (id < 0) {  // refused at once: nothing for the network thread to do
    EXPECT_EQ(0, strncmp(err.msginsert, "connect()|", 10));
    return;
  }
  std::string reason = CloseReason(b, id);
  EXPECT_NE(std::string::npos, reason.find(strerror(ECONNREFUSED))) << reason;
}

TEST_F(TwoContexts, DescriptorPassesOverAChannelPair) {
  ccm_channel_t *c1 = nullptr, *c2 = nullptr;
  ccm_error_t err{};
  ASSERT_EQ(0, ccm_channel_create_pair(a.ccm, &c1, &c2, &err));
  int c1_id = c1->ID, c2_id = c2->ID;
  int p[2];
  ASSERT_EQ(0, pipe(p));

  ccm_msg_t *m = a.Msg(frame(block(0x3B, pattern(50000), 2)));
  m->addr.dst_ID = c1_id;
  attach_fd(m, p[1]);
  a.Send(m);

  ccm_msg_t *got = receive(a.ccm);
  ASSERT_NE(nullptr, got);
  EXPECT_EQ(c2_id, got->addr.src_ID);
  EXPECT_EQ(pattern(50000), msg_data(got));
  ASSERT_GT(got->control_len, 0u);
  struct msghdr rh = {};
  rh.msg_control = got->control_data;
  rh.msg_controllen = got->control_len;
  struct cmsghdr *rc = CMSG_FIRSTHDR(&rh);
  ASSERT_NE(nullptr, rc);
  ASSERT_EQ(SCM_RIGHTS, rc->cmsg_type);
  int fd;
  memcpy(&fd, CMSG_DATA(rc), sizeof fd);
  ASSERT_EQ(1, write(fd, "z", 1));
  char z = 0;
  ASSERT_EQ(1, read(p[0], &z, 1));
  EXPECT_EQ('z', z);
  close(fd);
  close(p[1]);
  // Every other copy sent with a piece of the frame was closed: no writer is
  // left, the pipe reports its end.
  ASSERT_TRUE(wait_readable(p[0]));
  EXPECT_EQ(0, read(p[0], &z, 1));
  close(p[0]);
  ccm_msg_free(a.ccm, got);
}

// A loopback connection whose receiving end never reads: `far` has a small
// receive buffer, `near` lingers 60 s and holds more unacknowledged data than
// `far` can ever take. Closing `near` the waiting way blocks for the whole
// linger time. *queued: the bytes written to `near`.
void MakeStalled(int *near, int *far, size_t *queued) {
  int port = 0;
  int ls = loopback_socket(&port, true);
  ASSERT_GE(ls, 0);
  *far = socket(AF_INET, SOCK_STREAM, 0);
  int tiny = 4096;  // before connect, so that the window is small from the start
  setsockopt(*far, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons((uint16_t)port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, connect(*far, (struct sockaddr *)&sa, sizeof sa));
  *near = accept(ls, nullptr, nullptr);
  close(ls);
  ASSERT_GE(*near, 0);
  int big = 256 * 1024;
  setsockopt(*near, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  struct linger lg = {1, 60};
  ASSERT_EQ(0, setsockopt(*near, SOL_SOCKET, SO_LINGER, &lg, sizeof lg));
  fcntl(*near, F_SETFL, fcntl(*near, F_GETFL) | O_NONBLOCK);
  const std::string chunk = pattern(65536);
  *queued = 0;
  for (ssize_t n; (n = send(*near, chunk.data(), chunk.size(), MSG_NOSIGNAL)) > 0;) *queued += (size_t)n;
  ASSERT_EQ(EAGAIN, errno);  // the send buffer is full
  int outq = 0, rcvbuf = 0;
  socklen_t len = sizeof rcvbuf;
  ASSERT_EQ(0, ioctl(*near, SIOCOUTQ, &outq));
  ASSERT_EQ(0, getsockopt(*far, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len));
  ASSERT_GT(outq, rcvbuf);  // more is waiting than the peer can ever take
}

// Takes the next message of `ctx` and returns the channel ID of its close
// notice, or -1 when it is none.
int ClosedChannel(Context &ctx) {
  ccm_msg_t *m = receive(ctx.ccm);
  int id = -1;
  if (m && is_ipc(m, "CHANNEL_CLOSE")) {
    ipcmsg_channel_close_t rec;
    memcpy(static_cast<void *>(&rec), m->msg_start, sizeof rec);
    id = rec.ccmch.ID;
  }
  if (m) ccm_msg_free(ctx.ccm, m);
  return id;
}

// The stalled socket reaches the network thread as a channel that is then
// destroyed, or as a descriptor passed with the first bytes of a frame,
// which no frame takes and the read path closes. Either way the thread
// closes it without waiting: an event that can only come after that close
// (the close notice of the next channel in the sweep, the rest of the frame)
// arrives within the deadline, far below the 60 s linger time. The kernel
// still sends everything queued, and the peer sees an orderly end.
TEST(NetworkThread, PeerThatNeverAcknowledgesCannotHoldTheThread) {
  for (bool passed : {false, true}) {
    SCOPED_TRACE(passed ? "passed descriptor" : "channel");
    Context ctx;
    ctx.Start();
    int near = -1, far = -1;
    size_t queued = 0;
    MakeStalled(&near, &far, &queued);
    int sv[2];
    socket_pair(sv);
    if (!passed) {
      int stalled = ctx.Channel(near)->ID;
      int next = ctx.Channel(sv[0])->ID;
      ccm_channel_deletebyID(ctx.ccm, stalled);
      ccm_channel_deletebyID(ctx.ccm, next);
      ccm_wakeup_network(ctx.ccm);
      EXPECT_EQ(stalled, ClosedChannel(ctx));
      EXPECT_EQ(next, ClosedChannel(ctx));
    } else {
      const std::string f = frame(block(0x04, "after"));
      struct iovec iov = {const_cast<char *>(f.data()), 20};
      union {
        struct cmsghdr align;
        char buf[CMSG_SPACE(sizeof(int))];
      } control = {};
      struct msghdr mh = {};
      mh.msg_iov = &iov;
      mh.msg_iovlen = 1;
      mh.msg_control = control.buf;
      mh.msg_controllen = sizeof control.buf;
      struct cmsghdr *c = CMSG_FIRSTHDR(&mh);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int));
      memcpy(CMSG_DATA(c), &near, sizeof near);
      ASSERT_EQ(20, sendmsg(sv[1], &mh, 0));
      close(near);  // the descriptor in flight is the last reference now
      write_all(sv[1], f.substr(20));
      // Taken over only now, the carrier's first receive (which stops behind
      // the passed descriptor) gets the last reference; the rest of the frame
      // comes with the next one.
      int carrier = ctx.Channel(sv[0])->ID;
      ccm_wakeup_network(ctx.ccm);
      ccm_msg_t *m = receive(ctx.ccm);
      EXPECT_NE(nullptr, m);
      if (m) {
        EXPECT_EQ(carrier, m->addr.src_ID);
        EXPECT_EQ("after", msg_data(m));
        ccm_msg_free(ctx.ccm, m);
      }
    }
    // Everything queued arrives, then an orderly end (no reset).
    size_t got = 0;
    char buf[65536];
    ssize_t n = -1;
    while (wait_readable(far) && (n = recv(far, buf, sizeof buf, 0)) > 0) got += (size_t)n;
    EXPECT_EQ(0, n) << strerror(errno);
    EXPECT_EQ(queued, got);
    close(far);
    close(sv[1]);
  }
}

}  // namespace
