// The channel table (IDs, lookups, deletion, destruction and its notices),
// listening and connecting, one select pass driven from the test thread
// (wake-ups, watched channels, accepting, errors), dispatching the send
// queue, and the receive queue with its counters.

#include <netinet/tcp.h>

#include "_ccm/ccm_io_testing.h"

using namespace ccmtest;

namespace {

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override { ctx.Pipes(); }
  bool ChannelLockHeld() {
    if (pthread_mutex_trylock(&ctx.ccm->channel_lock) != 0) return true;
    pthread_mutex_unlock(&ctx.ccm->channel_lock);
    return false;
  }
  int DrainNotices() {
    int n = 0;
    for (ccm_msg_t *m; ccm_receive_message(ctx.ccm, 0, &m, nullptr) == 1; ++n) ccm_msg_free(ctx.ccm, m);
    return n;
  }
  int Pass(int stimeout = 30) {
    err = ccm_error_t{};
    return ccm_network_select(ctx.ccm, stimeout, &err);
  }
  int Listener(int *port) {  // a "*LISTEN" channel on a free loopback port; its socket
    EXPECT_EQ(0, ccm_create_listen(ctx.ccm, "127.0.0.1", 0, 16, &err));
    ccm_channel_t *l = ctx.ccm->channel_newq.tail;
    *port = local_port(l->s);
    return l->s;
  }
  Context ctx;
  ccm_error_t err{};
};

TEST_F(ChannelTest, IdsLookupsAndDeletion) {
  ccm_channel_t *a = ctx.Channel(-1, 5, "*SERVER", false), *b = ctx.Channel(-1, 5, nullptr, false);
  EXPECT_EQ(12, a->ID * 10 + b->ID);
  EXPECT_STREQ("*ID2", b->name);
  ccm_channel_destroy(ctx.ccm, b, &err);  // never chained
  ccm_channel_t *none = nullptr;
  ccm_alloc_fail_at(1);
  EXPECT_EQ(-1, ccm_channel_new_entry(ctx.ccm, &none, &err));
  ccm_alloc_fail_at(0);
  EXPECT_EQ(nullptr, none);
  EXPECT_EQ(3301, err.msgnr);
  EXPECT_EQ(0, strncmp(err.msginsert, "CREATE_CHANNEL/src/_ccm/ccm(", 28)) << err.msginsert;
  EXPECT_EQ(3, ctx.Channel(-1)->ID);  // no ID used up by the failure, none reused
  a->remoteID = 77;
  ccm_channel_chain(ctx.ccm, a);
  EXPECT_EQ(0, memcmp(a->eyec, "#CCMSOCK00000001", 16));
  // A found channel comes with the lock held; the remote ID is searched in
  // channelq only.
  EXPECT_EQ(a, ccm_channel_getbyName(ctx.ccm, "*SERVER"));
  EXPECT_TRUE(ChannelLockHeld());
  ccm_channel_unlock(ctx.ccm);
  EXPECT_EQ(a, ccm_channel_getbyID(ctx.ccm, a->ID));
  EXPECT_TRUE(ChannelLockHeld());
  ccm_channel_unlock(ctx.ccm);
  EXPECT_EQ(nullptr, ccm_channel_getbyRemoteID(ctx.ccm, 77));
  ctx.Merge();
  EXPECT_EQ(a, ccm_channel_getbyRemoteID(ctx.ccm, 77));
  ccm_channel_unlock(ctx.ccm);
  EXPECT_EQ(nullptr, ccm_channel_getbyID(ctx.ccm, 999));
  EXPECT_EQ(nullptr, ccm_channel_getbyName(ctx.ccm, "*SERVE"));
  EXPECT_EQ(2, ccm_channel_existbyID(ctx.ccm, a->ID) + ccm_channel_existbyName(ctx.ccm, "*SERVER"));
  EXPECT_EQ(0, ccm_channel_get_ip(ctx.ccm, a->ID, nullptr, nullptr, &err) +
                   ccm_channel_get_ip(ctx.ccm, 0, "*SERVER", nullptr, &err));
  EXPECT_EQ(-1, ccm_channel_get_ip(ctx.ccm, 999, "nope", nullptr, &err));
  EXPECT_FALSE(ChannelLockHeld());

  EXPECT_EQ(0, ccm_channel_deletebyID(ctx.ccm, 999) + ccm_channel_deletebyName(ctx.ccm, "nope"));
  EXPECT_FALSE(ccm_flag_test(ctx.ccm->flag, CCM_CTXF_DELETED));
  EXPECT_EQ(0, ccm_channel_deletebyName(ctx.ccm, "*SERVER"));
  EXPECT_TRUE(ccm_flag_test(a->flag, CCM_CHF_DELETED));
  EXPECT_TRUE(ccm_flag_test(ctx.ccm->flag, CCM_CTXF_DELETED));
  EXPECT_EQ(0, ccm_channel_existbyID(ctx.ccm, a->ID) + ccm_channel_existbyName(ctx.ccm, "*SERVER"));
  EXPECT_EQ(nullptr, ccm_channel_getbyID(ctx.ccm, a->ID));
  EXPECT_EQ(0, ccm_channel_deletebyID(ctx.ccm, 3));
  EXPECT_FALSE(ChannelLockHeld());
  EXPECT_EQ(a, ctx.ccm->channelq.tail);  // still in its queue until the sweep
}

// Destroying logs the reason and the close by type, posts a close notice
// (not for types 255 and -1), frees everything and closes the descriptor.
TEST_F(ChannelTest, DestroyLogsByTypeAndPostsTheNotice) {
  const struct {
    int type, msgnr;
    const char *insert;  // %I: the ID
    bool notice;
  } cases[] = {{1, 2002040, "s=%s,ID=%I|*LISTEN", true}, {3, 2000010, "NAME(s=%s,ID=%I)", true},
               {6, 2000010, "NAME(s=%s,ID=%I)", true},   {4, 2000007, "NAME(s=%s,ID=%I)", true},
               {0, 2002040, "s=%s,ID=%I|NAME", true},    {5, 2002040, "s=%s,ID=%I|NAME", true},
               {255, 2002040, "s=%s,ID=%I|NAME", false}, {-1, 0, "", false}};
  // Without memory for the notice the channel still goes, descriptor and all.
  int sv[2];
  socket_pair(sv);
  close(sv[1]);
  ccm_channel_t *ch = ctx.Channel(sv[0], 5, nullptr, false);
  ccm_alloc_fail_at(1);
  EXPECT_EQ(0, ccm_channel_destroy(ctx.ccm, ch, &err));
  ccm_alloc_fail_at(0);
  EXPECT_FALSE(fd_is_open(sv[0]));
  EXPECT_EQ(0, DrainNotices());
  for (const auto &c : cases) {
    LogRecorder log;
    int sv[2];
    socket_pair(sv);
    close(sv[1]);
    ccm_channel_t *ch = ctx.Channel(sv[0], c.type, "NAME", false);
    ch->port = 4711;
    strcpy(ch->host, "agent");
    ch->msgnr = c.msgnr ? 1234 : 0;
    strcpy(ch->msginsert, "reason %d");  // logged as text, not as a format
    ch->recv_buffer = (char *)malloc(100);
    ch->send_buffer = (char *)malloc(10);
    ch->cuc = (ccm_connect_user_context_t *)calloc(1, sizeof(ccm_connect_user_context_t));
    strcpy(ch->cuc->key, "KEY");
    ccmq_append(ch->sendq, ctx.Msg("queued"));
    std::string want = c.insert;
    for (auto [key, value] : {std::pair{"%I", ch->ID}, {"%s", sv[0]}})
      if (want.find(key) != std::string::npos) want.replace(want.find(key), 2, std::to_string(value));
    int id = ch->ID;
    EXPECT_EQ(0, ccm_channel_destroy(ctx.ccm, ch, &err));
    EXPECT_FALSE(fd_is_open(sv[0])) << c.type;
    auto logged = log.entries();
    ASSERT_EQ(c.msgnr ? 2u : 0u, logged.size()) << c.type;
    if (c.msgnr) {
      EXPECT_EQ(std::make_pair(1234, std::string("reason %d")), logged[0]);
      EXPECT_EQ(std::make_pair(c.msgnr, want), logged[1]) << c.type;
    }
    ccm_msg_t *m = nullptr;
    EXPECT_EQ(c.notice, ccm_receive_message(ctx.ccm, 0, &m, &err) == 1) << c.type;
    if (!m) continue;
    ASSERT_EQ((int)sizeof(ipcmsg_channel_close_t), m->len);
    ipcmsg_channel_close_t rec;
    memcpy(static_cast<void *>(&rec), m->msg_start, sizeof rec);
    EXPECT_EQ(id, closed_id(m));
    EXPECT_EQ((std::vector<int>{4711, 1234}), (std::vector<int>{rec.ccmch.port, rec.ccmch.msgnr})) << c.type;
    EXPECT_EQ("agent|KEY", std::string(rec.ccmch.host) + "|" + rec.cuc.key);
    ccm_msg_free(ctx.ccm, m);
  }
}

TEST_F(ChannelTest, SweepKeepsOrderAndCloseAllClosesEveryDescriptor) {
  int before = open_fd_count();
  std::vector<ccm_channel_t *> v;
  for (int i = 0; i < 6; ++i) {
    int sv[2];
    socket_pair(sv);
    close(sv[1]);
    v.push_back(ctx.Channel(sv[0], 0, nullptr, i == 5));
    if (i < 5) ccmq_append(ctx.ccm->channelq, v.back());
  }
  for (int i : {0, 3, 4}) ccm_channel_delete(ctx.ccm, v[i]);
  EXPECT_EQ(0, ccm_destroy_deleted_channels(ctx.ccm));
  EXPECT_FALSE(ccm_flag_test(ctx.ccm->flag, CCM_CTXF_DELETED));
  std::vector<int> ids;
  for (ccm_channel_t *c = ctx.ccm->channelq.head; c; c = c->nxt) ids.push_back(c->ID);
  EXPECT_EQ((std::vector<int>{v[1]->ID, v[2]->ID}), ids);
  EXPECT_EQ(v[2], ctx.ccm->channelq.tail);
  EXPECT_EQ(nullptr, v[2]->nxt);
  EXPECT_EQ(3, DrainNotices());
  ccm_channel_delete(ctx.ccm, v[1]);  // deleted or not, both queues go
  EXPECT_EQ(0, ccm_channel_closeall(ctx.ccm) + ccm_channel_closeall(nullptr));
  EXPECT_EQ(nullptr, ctx.ccm->channelq.head);
  EXPECT_EQ(nullptr, ctx.ccm->channel_newq.head);
  EXPECT_EQ(before, open_fd_count());
  EXPECT_EQ(3, DrainNotices());
}

TEST_F(ChannelTest, BindAddressInquiry) {
  ccm_channel_t *ipc = ctx.Channel(9999, 0, "*IPCwhatever");  // never asked
  EXPECT_EQ(0, ccm_channel_bindaddr_inquire(ctx.ccm, ipc, &err));
  EXPECT_TRUE(ccm_flag_test(ipc->flag, CCM_CHF_BINDADDR));
  EXPECT_STREQ("", ipc->bind_addr);
  ipc->s = -1;
  int port = 0;
  ccm_channel_t *tcp = ctx.Channel(loopback_socket(&port));
  EXPECT_EQ(0, ccm_channel_bindaddr_inquire(ctx.ccm, tcp, &err));
  EXPECT_STREQ("127.0.0.1", tcp->bind_addr);
  EXPECT_TRUE(ccm_flag_test(tcp->flag, CCM_CHF_BINDADDR));
  EXPECT_FALSE(ccm_flag_test(tcp->flag, CCM_CHF_DELETED));
  int p[2];
  ASSERT_EQ(0, pipe(p));
  close(p[1]);
  ccm_channel_t *bad = ctx.Channel(p[0]);  // no socket: the channel is marked deleted
  ccm_error_t e{};
  EXPECT_EQ(-1, ccm_channel_bindaddr_inquire(ctx.ccm, bad, &e));
  EXPECT_EQ(2000102, e.msgnr);
  std::string ins = e.msginsert;
  EXPECT_EQ(0u, ins.rfind("getsockname()|", 0)) << ins;
  EXPECT_NE(std::string::npos, ins.find(",S(" + std::to_string(p[0]) + "(ID=" + std::to_string(bad->ID) + "))|")) << ins;
  EXPECT_TRUE(ccm_flag_test(bad->flag, CCM_CHF_DELETED));
  EXPECT_FALSE(ccm_flag_test(bad->flag, CCM_CHF_BINDADDR));
}

bool nodelay(int s) {  // small writes go out at once
  int on = 0;
  socklen_t len = sizeof on;
  return getsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, &len) == 0 && on != 0;
}
std::string local_addr(int s) {
  sockaddr_in6 sa{};
  socklen_t len = sizeof sa;
  char buf[64] = "";
  getsockname(s, (sockaddr *)&sa, &len);
  ccm_address2string(&sa, buf, sizeof buf);
  return buf;
}

TEST_F(ChannelTest, ListenAddressesAndFailures) {
  const bool ipv6 = ccm_flag_test(ctx.ccm->flag, CCM_CTXF_IPV6);
  const struct {
    const char *bind;
    bool v6;
    const char *addr;
  } cases[] = {{"*LOCAL", ipv6, ipv6 ? "::1" : "127.0.0.1"}, {"*LOCAL", false, "127.0.0.1"},
               {"", ipv6, ipv6 ? "::" : "0.0.0.0"},        {"127.0.0.1", ipv6, "127.0.0.1"}};
  for (const auto &c : cases) {
    if (!c.v6) ccm_flag_clear(ctx.ccm->flag, CCM_CTXF_IPV6);
    ASSERT_EQ(0, ccm_create_listen(ctx.ccm, c.bind, 0, 5, &err)) << c.bind;
    if (ipv6) ccm_flag_set(ctx.ccm->flag, CCM_CTXF_IPV6);
    ccm_channel_t *l = ctx.ccm->channel_newq.tail;
    EXPECT_EQ("*LISTEN 1", std::string(l->name) + " " + std::to_string(l->type));
    EXPECT_TRUE(fcntl(l->s, F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(c.addr, local_addr(l->s)) << c.bind;
    if (*c.bind) continue;
    int c4 = connect_to(local_port(l->s));  // IPv4 gets through, also on an IPv6 socket
    ASSERT_TRUE(wait_readable(l->s));
    int acc = accept(l->s, nullptr, nullptr);
    EXPECT_TRUE(nodelay(acc));
    close(acc), close(c4);
  }
  const int port = local_port(ctx.ccm->channel_newq.tail->s), fds = open_fd_count();
  const int nextID = ctx.ccm->unique_channel_ID;
  const struct {
    const char *addr;
    int port, fail_alloc, msgnr;
    std::string prefix;
  } failures[] = {{"127.0.0.1", port, 0, 2000102, "bind(127.0.0.1:" + std::to_string(port) + ")|"},
                  {"[]", 0, 0, 2000102, "getaddrinfo|"},
                  {"127.0.0.1", 0, 1, 3301, ""}};
  for (const auto &f : failures) {
    ccm_error_t e{};
    ccm_alloc_fail_at(f.fail_alloc);
    EXPECT_EQ(-1, ccm_create_listen(ctx.ccm, f.addr, f.port, 5, &e));
    ccm_alloc_fail_at(0);
    EXPECT_EQ(f.msgnr, e.msgnr);
    EXPECT_EQ(0u, std::string(e.msginsert).rfind(f.prefix, 0)) << e.msginsert;
  }
  EXPECT_EQ(fds, open_fd_count());
  EXPECT_EQ(nextID, ctx.ccm->unique_channel_ID);
}

TEST_F(ChannelTest, ConnectStartsANonBlockingConnection) {
  LogRecorder log;
  int port = 0, srv = loopback_socket(&port, true);
  auto *cuc = (ccm_connect_user_context_t *)calloc(1, sizeof(ccm_connect_user_context_t));
  time_t t0 = time(nullptr);
  int id = ccm_connect(ctx.ccm, "127.0.0.1", port, 5, cuc, 60, &err);
  time_t t1 = time(nullptr);
  ASSERT_GE(id, 1);
  ccm_channel_t *ch = ctx.ccm->channel_newq.head;
  EXPECT_EQ((std::vector<int>{id, 5, port}), (std::vector<int>{ch->ID, ch->type, ch->port}));
  EXPECT_EQ("127.0.0.1|127.0.0.1", std::string(ch->host) + "|" + ch->addr);
  EXPECT_EQ(cuc, ch->cuc);
  EXPECT_TRUE(ccm_flag_test(ch->flag, CCM_CHF_CONNECTING));
  EXPECT_TRUE(fcntl(ch->s, F_GETFL) & O_NONBLOCK);
  EXPECT_EQ(60, ch->connect_timeout_secs);
  EXPECT_TRUE(ch->connect_timeout >= t0 + 60 && ch->connect_timeout <= t1 + 60);
  linger lg{};
  socklen_t len = sizeof lg;
  ASSERT_EQ(0, getsockopt(ch->s, SOL_SOCKET, SO_LINGER, &lg, &len));
  EXPECT_EQ(61, lg.l_onoff + lg.l_linger);
  EXPECT_TRUE(nodelay(ch->s));
  EXPECT_EQ('N', read_byte(ctx.ccm->network_wakeup[0]));
  EXPECT_EQ(std::vector<std::string>{"127.0.0.1:" + std::to_string(port) + "(ID=" + std::to_string(id) + ")"},
            log.with(2000348));
  ASSERT_TRUE(wait_readable(srv));  // the server sees the connection
  close(srv);
  if (ccm_flag_test(ctx.ccm->flag, CCM_CTXF_IPV6)) {
    int lport = 0;
    ASSERT_EQ(0, ccm_create_listen(ctx.ccm, "*LOCAL", 0, 5, &err));
    lport = local_port(ctx.ccm->channel_newq.tail->s);
    ASSERT_GE(ccm_connect(ctx.ccm, "[::1]", lport, 3, nullptr, 10, &err), 1) << err.msginsert;
    EXPECT_EQ("[::1]|::1", std::string(ctx.ccm->channel_newq.tail->host) + "|" + ctx.ccm->channel_newq.tail->addr);
  }
}

// Failures before the connection is under way leave no channel and no
// descriptor; the user context is taken over all the same (LeakSanitizer).
TEST_F(ChannelTest, ConnectFailures) {
  int fds = open_fd_count(), nextID = ctx.ccm->unique_channel_ID;
  const struct {
    const char *host;
    int fail_alloc, msgnr;
    const char *prefix;
  } cases[] = {{"", 0, 2000102, "getaddrinfo|"}, {"127.0.0.1", 1, 3301, ""}};
  for (const auto &c : cases) {
    auto *cuc = (ccm_connect_user_context_t *)calloc(1, sizeof(ccm_connect_user_context_t));
    ccm_error_t e{};
    ccm_alloc_fail_at(c.fail_alloc);
    EXPECT_EQ(-1, ccm_connect(ctx.ccm, c.host, 80, 5, cuc, 60, &e));
    ccm_alloc_fail_at(0);
    EXPECT_EQ(c.msgnr, e.msgnr);
    EXPECT_EQ(0, strncmp(e.msginsert, c.prefix, strlen(c.prefix))) << e.msginsert;
  }
  EXPECT_EQ(nextID, ctx.ccm->unique_channel_ID);
  EXPECT_EQ(nullptr, ctx.ccm->channel_newq.head);
  EXPECT_EQ(fds, open_fd_count());
  // A port bound without a listener refuses: at once, or later through the
  // network thread.
  int port = 0, bound = loopback_socket(&port);
  ccm_error_t e{};
  int id = ccm_connect(ctx.ccm, "127.0.0.1", port, 5, nullptr, 60, &e);
  if (id == -1) {
    EXPECT_EQ(2000102, e.msgnr);
    EXPECT_EQ(0, strncmp(e.msginsert, "connect()|", 10)) << e.msginsert;
    EXPECT_NE(nullptr, strstr(e.msginsert, ",S("));
    EXPECT_EQ(nullptr, ctx.ccm->channel_newq.head);
    EXPECT_EQ(fds + 1, open_fd_count());
    EXPECT_EQ(1, DrainNotices());
  } else {
    EXPECT_EQ(id, ctx.ccm->channel_newq.head->ID);
  }
  close(bound);
  // Socket options on a descriptor that is no socket, or none at all.
  int p[2];
  ASSERT_EQ(0, pipe(p));
  close(p[1]);
  ccm_channel_t *ch = ctx.Channel(p[0], -1, nullptr, false);
  EXPECT_EQ(-1, ccm_set_linger(ctx.ccm, ch, 1, 60, &e));
  EXPECT_EQ(2000102, e.msgnr);
  std::string prefix = "setsockopt(SO_LINGER,s=" + std::to_string(p[0]) + ",ID=" + std::to_string(ch->ID) + ")|";
  EXPECT_EQ(0u, std::string(e.msginsert).rfind(prefix, 0)) << e.msginsert;
  EXPECT_EQ(0, ccm_set_nonblocking(ctx.ccm, ch, &e));  // FIONBIO works on pipes
  ch->s = 100000;
  EXPECT_EQ(-1, ccm_set_nonblocking(ctx.ccm, ch, &e));
  EXPECT_EQ(0u, std::string(e.msginsert).rfind("ioctl(...,FIONBIO)|", 0));
  ch->s = p[0];
  ccm_channel_destroy(ctx.ccm, ch, &err);
  EXPECT_FALSE(fd_is_open(p[0]));
}

TEST_F(ChannelTest, CpConnectionCheckAndTraces) {
  const struct {
    int type, port;
    const char *addr;
    bool main, deleted;
  } others[] = {{5, 7000, "127.0.0.1", true, false},
                {6, 7000, "127.0.0.1", true, true},
                {6, 7001, "127.0.0.1", true, false},
                {6, 7000, "10.0.0.1", true, false},
                {6, 7000, "127.0.0.1", false, false}};
  for (const auto &o : others) {
    EXPECT_EQ(0, ccm_is_cp_connecting(ctx.ccm, "127.0.0.1", 7000, &err));
    ccm_channel_t *ch = ctx.Channel(-1, o.type, nullptr, !o.main);
    ch->port = o.port;
    strcpy(ch->addr, o.addr);
    if (o.deleted) ccm_flag_set(ch->flag, CCM_CHF_DELETED);
    if (o.main) ccmq_append(ctx.ccm->channelq, ch);
  }
  EXPECT_EQ(1, ccm_is_cp_connecting(ctx.ccm, "127.0.0.1", 7000, &err));  // the one in channel_newq
  EXPECT_EQ(1, ccm_is_cp_connecting(ctx.ccm, "[10.0.0.1]", 7000, &err));
  EXPECT_EQ(-1, ccm_is_cp_connecting(ctx.ccm, "", 7000, &err));
  EXPECT_FALSE(ChannelLockHeld());
  ccm_channel_closeall(ctx.ccm);
  DrainNotices();

  testing::internal::CaptureStdout();
  trcFlag = 1;
  int port = 0;
  Listener(&port);
  int id = ccm_connect(ctx.ccm, "127.0.0.1", port, 4, nullptr, 60, &err);
  ccm_channel_deletebyID(ctx.ccm, id);
  ctx.Merge();
  ccm_destroy_deleted_channels(ctx.ccm);
  trcFlag = 0;
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_GE(id, 1);
  for (std::string line : {"ccm_destroy_deleted_channels:      channel(name=*LISTEN             ,chID=6,s=",
                           ",type=00000004,flag=00000009,deleted,host=127.0.0.1(127.0.0.1),port=",
                           "ccm_destroy_deleted_channels <-- (number of deleted channels = 1)"})
    EXPECT_NE(std::string::npos, out.find(line)) << line;
}

// A woken pass takes every pending wake-up, so the next one is written anew.
TEST_F(ChannelTest, PassTakesEveryWakeupAndServesANewChannel) {
  for (int i = 0; i < 2; ++i) {
    ccm_wakeup_network(ctx.ccm);
    ccm_wakeup_network(ctx.ccm);
    ASSERT_FALSE(nothing_to_read(ctx.ccm->network_wakeup[0]));
    EXPECT_EQ(0, Pass());
    EXPECT_TRUE(nothing_to_read(ctx.ccm->network_wakeup[0]));
  }
  EXPECT_EQ(0, Pass(0));  // nothing to do: the time-out ends the pass
  int sv[2];
  socket_pair(sv);
  ccm_channel_t *ch = ctx.Channel(sv[0], 0, "*IPC(PAIR)");
  write_all(sv[1], frame(block(0x04, "hi")));
  ctx.Send(ctx.Msg("outgoing"), ch->ID);
  EXPECT_EQ(0, Pass());  // taken over, read and written in one pass
  EXPECT_EQ(nullptr, ctx.ccm->channel_newq.head);
  EXPECT_EQ(ch, ctx.ccm->channelq.head);
  EXPECT_EQ("outgoing", read_exact(sv[1], 8));
  ccm_msg_t *m = receive(ctx.ccm);
  EXPECT_EQ("hi", msg_data(m));
  ccm_msg_free(ctx.ccm, m);
  // A channel whose read ends it is not written.
  shutdown(sv[1], SHUT_WR);
  ccm_msg_t *never = ctx.Msg("never");
  ctx.Send(never, ch->ID);
  EXPECT_EQ(0, Pass());
  EXPECT_TRUE(ccm_flag_test(ch->flag, CCM_CHF_DELETED));
  EXPECT_EQ(never, ch->sendq.head);
  EXPECT_TRUE(nothing_to_read(sv[1]));
  close(sv[1]);
}

// Channels not to be read stay unread, also when they sit in another word of
// the select sets than the last pass used; the bits select left for them
// do not reach the next pass. Descriptors outside the sets are never watched.
TEST_F(ChannelTest, UnreadableDeletedAndOutOfRangeChannels) {
  int sv[2];
  socket_pair(sv);
  int high = fcntl(sv[0], F_DUPFD, 1000);
  ASSERT_GE(high, 1000) << "needs an open-file limit above 1000";
  close(sv[0]);
  ccm_channel_t *ch = ctx.Channel(high);
  write_all(sv[1], frame(block(0x04, "first")));
  ASSERT_EQ(0, Pass(0));
  ASSERT_EQ(1, DrainNotices());
  ccm_flag_set(ch->flag, CCM_CHF_NOREAD);
  write_all(sv[1], frame(block(0x04, "second")));
  EXPECT_EQ(0, Pass(0));
  EXPECT_EQ(0, ch->recv_pos);
  ccm_flag_clear(ch->flag, CCM_CHF_NOREAD);
  ccm_channel_delete(ctx.ccm, ch);
  ccm_flag_clear(ctx.ccm->flag, CCM_CTXF_DELETED);
  int lp[2];
  socket_pair(lp);
  ctx.Channel(lp[0]);
  write_all(lp[1], frame(block(0x04, "low")));
  EXPECT_EQ(0, Pass(0));
  EXPECT_TRUE(ccm_flag_test(ctx.ccm->flag, CCM_CTXF_DELETED));  // asks for the sweep
  ccm_msg_t *m = receive(ctx.ccm);
  EXPECT_EQ("low", msg_data(m));
  ccm_msg_free(ctx.ccm, m);
  EXPECT_EQ(0, count_recvq(ctx.ccm));
  EXPECT_EQ(0, ch->recv_pos);
  EXPECT_FALSE(nothing_to_read(high));

  ccm_channel_t *big = ctx.Channel(4194304), *none = ctx.Channel(-1);
  EXPECT_EQ(0, Pass(0));
  EXPECT_TRUE(ccm_flag_test(big->flag, CCM_CHF_DELETED));
  EXPECT_TRUE(ccm_flag_test(none->flag, CCM_CHF_DELETED));
  EXPECT_EQ(2000102, big->msgnr);
  big->s = -1;
  int dead = dup(0);
  close(dead);
  ccm_channel_t *bad = ctx.Channel(dead);
  EXPECT_EQ(-1, Pass());
  EXPECT_EQ(2000102, err.msgnr);
  std::string want = "select(" + std::to_string(std::max({dead, lp[0], ctx.ccm->network_wakeup[0]}) + 1) + ",";
  EXPECT_EQ(0u, std::string(err.msginsert).rfind(want, 0)) << err.msginsert;
  bad->s = -1;
  close(sv[1]), close(lp[1]);
}

// One pass takes over every waiting connection, in accept order, each with
// its notice; the new channels are read from the next pass on. A connection
// that gets no channel entry is closed at once.
TEST_F(ChannelTest, ListeningChannelAcceptsEveryWaitingConnection) {
  int port = 0, ls = Listener(&port);
  std::vector<int> clients;
  for (int i = 0; i < 5; ++i) clients.push_back(connect_to(port));
  write_all(clients[0], frame(block(0x04, "first words")));
  ASSERT_TRUE(wait_readable(ls));
  EXPECT_EQ(0, Pass());
  std::vector<ccm_channel_t *> chans;
  for (ccm_channel_t *ch = ctx.ccm->channel_newq.head; ch; ch = ch->nxt) chans.push_back(ch);
  ASSERT_EQ(5u, chans.size());
  for (size_t i = 0; i < chans.size(); ++i) {
    ccm_msg_t *m = nullptr;
    ASSERT_EQ(1, ccm_receive_message(ctx.ccm, 0, &m, &err));
    ASSERT_TRUE(is_ipc(m, "CHANNEL_ACCEPT"));
    ASSERT_EQ((int)sizeof(ipcmsg_channel_accept_t), m->len);
    ipcmsg_channel_accept_t rec;
    memcpy(&rec, m->msg_start, sizeof rec);
    EXPECT_EQ(chans[i]->ID, rec.ID);
    EXPECT_EQ("*ID" + std::to_string(chans[i]->ID), chans[i]->name);
    EXPECT_EQ(local_port(clients[i]), chans[i]->port);
    EXPECT_NE(nullptr, strstr(chans[i]->addr, "127.0.0.1")) << chans[i]->addr;
    EXPECT_EQ(0, chans[i]->type);
    ccm_msg_free(ctx.ccm, m);
  }
  EXPECT_TRUE(nothing_to_read(ls));
  EXPECT_EQ(0, Pass());
  ccm_msg_t *m = receive(ctx.ccm);
  EXPECT_EQ("first words", msg_data(m));
  EXPECT_EQ(chans[0]->ID, m->addr.src_ID);
  ccm_msg_free(ctx.ccm, m);

  int fds = open_fd_count(), c = connect_to(port);
  ASSERT_TRUE(wait_readable(ls));
  ccm_alloc_fail_at(1);
  EXPECT_EQ(0, Pass());
  ccm_alloc_fail_at(0);
  EXPECT_EQ(3301, err.msgnr);
  char byte;
  EXPECT_TRUE(wait_readable(c));
  EXPECT_EQ(0, read(c, &byte, 1));  // the peer end is gone
  close(c);
  EXPECT_EQ(fds, open_fd_count());
  for (int cl : clients) close(cl);
}

// Messages go to the channel of their ID, else of their address; "*CP..."
// goes to "*SERVER"; unroutable ones are freed unless kept; a secured
// channel marks the NAT messages routed to it.
TEST_F(ChannelTest, DispatchRoutesByIdThenByName) {
  ccm_channel_t *server = ctx.Channel(-1, 3, "*SERVER"), *agent = ctx.Channel(-1, 0, "*IPC(AGENT)"),
                *secured = ctx.Channel(-1, 0, "SECURE"), *gone = ctx.Channel(-1, 0, "GONE");
  ccm_flag_set(secured->flag, CCM_CHF_SECURED);
  secured->pATctx = &secured->pATctx;
  ccm_channel_delete(ctx.ccm, gone);
  ctx.Merge();
  auto to = [&](int id, const char *addr, const char *data, int type = CCM_MSG_NATIVE) {
    ccm_msg_t *m = ctx.Msg(data);
    StringCopy(m->addr.dst_addr, sizeof m->addr.dst_addr, addr);
    m->type = type;
    ctx.Send(m, id);
    return m;
  };
  ccm_msg_t *cp = to(0, "*CP0815", "cp");
  to(agent->ID, "*SERVER", "by-id-wins");
  to(0, "*IPC(AGENT)", "by-name");
  ccm_msg_t *nat = to(secured->ID, "", "nat", CCM_MSG_NAT), *native = to(secured->ID, "", "native");
  ccm_msg_t *plain = to(agent->ID, "", "plain nat", CCM_MSG_NAT);
  int free_before = ctx.ccm->nof_freemsg;
  to(gone->ID, "", "to a deleted channel");
  to(0, "NOBODY", "to nobody");
  ccm_msg_t *kept = to(0, "NOBODY", "kept");
  kept->flag |= CCM_MSGF_KEEP;
  EXPECT_EQ(0, ccm_dispatch_send_messages(ctx.ccm));
  auto queue = [](const ccm_channel_t *ch) {
    std::string s;
    for (ccm_msg_t *m = ch->sendq.head; m; m = m->nxt) s += msg_data(m) + ";";
    return s;
  };
  EXPECT_EQ("cp;", queue(server));
  EXPECT_STREQ("*SERVER", cp->addr.dst_addr);
  EXPECT_EQ("by-id-wins;by-name;plain nat;", queue(agent));
  EXPECT_EQ("nat;native;", queue(secured));
  EXPECT_EQ("", queue(gone));
  EXPECT_EQ(nullptr, ctx.ccm->sendq.head);
  EXPECT_EQ(nullptr, ctx.ccm->msgq_2dispatch.head);
  EXPECT_EQ(free_before + 2, ctx.ccm->nof_freemsg);
  EXPECT_EQ("kept", msg_data(kept));  // in no queue: still its owner's
  ccm_msg_free(ctx.ccm, kept);
  EXPECT_TRUE(nat->flag & CCM_MSGF_SECURED);
  EXPECT_FALSE((native->flag | plain->flag) & CCM_MSGF_SECURED);
  EXPECT_EQ(secured->pATctx, nat->pATctx);
  EXPECT_EQ(nullptr, plain->pATctx);
}

// Queued messages are taken at once and in order, also with a zero time-out
// and after the queue ran empty; a broken pipe is a wait error.
TEST_F(ChannelTest, ReceiveOrderAndWaitErrors) {
  ccm_msg_t *m = nullptr;
  send_IPC_internal(ctx.ccm, ctx.Msg("a", true));
  send_IPC_internal(ctx.ccm, ctx.Msg("b", true));
  for (const char *want : {"a", "b", "c"}) {
    if (*want == 'c') send_IPC_internal(ctx.ccm, ctx.Msg("c", true));  // behind a stale tail
    ASSERT_EQ(1, ccm_receive_message(ctx.ccm, 0, &m, &err));
    EXPECT_EQ(want, msg_data(m));
    EXPECT_EQ(CCM_MSG_IPC, m->type);
    ccm_msg_free(ctx.ccm, m);
  }
  EXPECT_EQ(0, ccm_receive_message(ctx.ccm, 0, &m, &err));
  EXPECT_EQ(nullptr, m);
  int saved = ctx.ccm->processor_wakeup[0], dead = dup(saved);
  close(dead);
  ctx.ccm->processor_wakeup[0] = dead;
  EXPECT_EQ(-1, ccm_receive_message(ctx.ccm, 5, &m, &err));
  EXPECT_EQ(2000102, err.msgnr);
  std::string want = "select(processor_wakeup(" + std::to_string(dead) + "))|";
  EXPECT_EQ(0u, std::string(err.msginsert).rfind(want, 0)) << err.msginsert;
  ctx.ccm->processor_wakeup[0] = -1;  // no pipe at all is no time-out either
  err = ccm_error_t{};
  EXPECT_EQ(-1, ccm_wait_processor(ctx.ccm, 5, &err));
  EXPECT_EQ(2000102, err.msgnr);
  ctx.ccm->processor_wakeup[0] = saved;
}

TEST_F(ChannelTest, ChannelAndSendQueueCounts) {
  const int types[] = {0, 1, 3, 3, 4, 4, 5, 6, 255, -1};
  std::vector<ccm_channel_t *> ch;
  for (int t : types) ch.push_back(ctx.Channel(-1, t));
  EXPECT_EQ(0, ccm_get_nof_channels(ctx.ccm));  // channel_newq is not counted yet
  ctx.Merge();
  auto counts = [&] {
    return std::vector<int>{ccm_get_nof_channels(ctx.ccm), ccm_get_nof_server_connections(ctx.ccm),
                            ccm_get_nof_connections(ctx.ccm), ccm_get_nof_agent_connections(ctx.ccm)};
  };
  EXPECT_EQ((std::vector<int>{9, 3, 4, 2}), counts());  // channels: all but 255
  ccm_channel_delete(ctx.ccm, ch[4]);                   // an agent connection
  ccm_channel_delete(ctx.ccm, ch[7]);                   // the CP connection
  EXPECT_EQ((std::vector<int>{7, 2, 3, 1}), counts());

  auto sendq = [&] { return std::to_string(ccm_get_sendq_count(ctx.ccm)) + std::to_string(ccm_is_all_sendq_empty(ctx.ccm)); };
  EXPECT_EQ("01", sendq());
  ccm_msg_t *a = ctx.Msg("a"), *b = ctx.Msg("b");
  ctx.Send(a), ctx.Send(b);
  EXPECT_EQ("20", sendq());
  // A batch taken from the context's sendq but not yet dispatched counts:
  // a caller waiting for its report to be written must not go on.
  ccmq_clear(ctx.ccm->sendq);
  ccmq_append(ctx.ccm->msgq_2dispatch, a);
  EXPECT_EQ("00", sendq());
  ccmq_clear(ctx.ccm->msgq_2dispatch);
  ccmq_append(ch[9]->sendq, a);  // the silent kind does not count
  EXPECT_EQ("01", sendq());
  ccmq_append(ch[0]->sendq, b);
  EXPECT_EQ("00", sendq());
  ccm_channel_delete(ctx.ccm, ch[0]);
  EXPECT_EQ("01", sendq());
}

}  // namespace
