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
    return pthread_mutex_unlock(&ctx.ccm->channel_lock), false;
  }
  // A lookup's result: the channel lock is held exactly when it found one.
  ccm_channel_t *Found(ccm_channel_t *ch) {
    EXPECT_EQ(ch != nullptr, ChannelLockHeld());
    if (ch) ccm_channel_unlock(ctx.ccm);
    return ch;
  }
  int DrainNotices() {
    int n = 0;
    for (ccm_msg_t *m; ccm_receive_message(ctx.ccm, 0, &m, nullptr) == 1; ++n) ccm_msg_free(ctx.ccm, m);
    return n;
  }
  int Pass(int stimeout = 30) { return err = ccm_error_t{}, ccm_network_select(ctx.ccm, stimeout, &err); }
  ccm_channel_t *Closed(int type = 0, const char *name = nullptr, bool chain = true) {  // around a closed pair
    int sv[2];
    socket_pair(sv);
    close(sv[1]);
    return ctx.Channel(sv[0], type, name, chain);
  }
  Context ctx;
  ccm_error_t err{};
};

TEST_F(ChannelTest, IdsLookupsAndDeletion) {
  ccm_channel_t *a = ctx.Channel(-1, 5, "*SERVER", false), *b = ctx.Channel(-1, 5, nullptr, false), *none = nullptr;
  EXPECT_EQ("1 2 *ID2", std::to_string(a->ID) + " " + std::to_string(b->ID) + " " + b->name);
  ccm_channel_destroy(ctx.ccm, b, &err);  // never chained
  ccm_alloc_fail_at(1);
  EXPECT_EQ(-1, ccm_channel_new_entry(ctx.ccm, &none, &err));
  ccm_alloc_fail_at(0);
  EXPECT_EQ(nullptr, none);
  EXPECT_TRUE(starts(err_text(err), "3301 CREATE_CHANNEL/src/_ccm/ccm(")) << err_text(err);
  EXPECT_EQ(3, ctx.Channel(-1)->ID);  // no ID used up by the failure, none reused
  a->remoteID = 77;
  ccm_channel_chain(ctx.ccm, a);
  EXPECT_EQ(0, memcmp(a->eyec, "#CCMSOCK00000001", 16));
  EXPECT_EQ(a, Found(ccm_channel_getbyName(ctx.ccm, "*SERVER")));
  EXPECT_EQ(a, Found(ccm_channel_getbyID(ctx.ccm, 1)));
  EXPECT_EQ(nullptr, Found(ccm_channel_getbyRemoteID(ctx.ccm, 77)));  // searched in channelq only
  ctx.Merge();
  EXPECT_EQ(a, Found(ccm_channel_getbyRemoteID(ctx.ccm, 77)));
  EXPECT_EQ(nullptr, Found(ccm_channel_getbyID(ctx.ccm, 999)));
  EXPECT_EQ(nullptr, Found(ccm_channel_getbyName(ctx.ccm, "*SERVE")));
  EXPECT_EQ(2, ccm_channel_existbyID(ctx.ccm, 1) + ccm_channel_existbyName(ctx.ccm, "*SERVER"));
  EXPECT_EQ(0, ccm_channel_get_ip(ctx.ccm, 1, nullptr, nullptr, &err) + ccm_channel_get_ip(ctx.ccm, 0, "*SERVER", nullptr, &err));
  EXPECT_EQ(-1, ccm_channel_get_ip(ctx.ccm, 999, "nope", nullptr, &err));
  EXPECT_FALSE(ChannelLockHeld());
  EXPECT_EQ(0, ccm_channel_deletebyID(ctx.ccm, 999) + ccm_channel_deletebyName(ctx.ccm, "nope"));
  EXPECT_FALSE(ccm_flag_test(ctx.ccm->flag, CCM_CTXF_DELETED));
  EXPECT_EQ(0, ccm_channel_deletebyName(ctx.ccm, "*SERVER"));
  EXPECT_TRUE(ccm_flag_test(a->flag, CCM_CHF_DELETED) && ccm_flag_test(ctx.ccm->flag, CCM_CTXF_DELETED));
  EXPECT_EQ('N', read_byte(ctx.ccm->network_wakeup[0]));  // destroyed now, not after a select time-out
  EXPECT_EQ(0, ccm_channel_existbyID(ctx.ccm, 1) + ccm_channel_existbyName(ctx.ccm, "*SERVER"));
  EXPECT_EQ(nullptr, Found(ccm_channel_getbyID(ctx.ccm, 1)));
  EXPECT_EQ(a, ctx.ccm->channelq.tail);  // still in its queue until the sweep
}

// Destroying logs the reason and the close by type, posts a close notice
// (not for types 255 and -1), frees everything and closes the descriptor;
// without memory for the notice the rest still happens.
TEST_F(ChannelTest, DestroyLogsByTypeAndPostsTheNotice) {
  const struct {
    int type, msgnr;
    std::string insert;  // with the descriptor for %s and the ID for %I
    int fail_alloc = 0;  // no memory for the notice (first: no free message yet)
  } cases[] = {{5, 2002040, "s=%s,ID=%I|NAME", 1}, {1, 2002040, "s=%s,ID=%I|*LISTEN"},
               {3, 2000010, "NAME(s=%s,ID=%I)"},    {6, 2000010, "NAME(s=%s,ID=%I)"},
               {4, 2000007, "NAME(s=%s,ID=%I)"},    {0, 2002040, "s=%s,ID=%I|NAME"},
               {5, 2002040, "s=%s,ID=%I|NAME"},     {255, 2002040, "s=%s,ID=%I|NAME"},
               {-1, 0, ""}};
  for (auto c : cases) {
    LogRecorder log;
    ccm_channel_t *ch = Closed(c.type, "NAME", false);
    ch->port = 4711;
    strcpy(ch->host, "agent");
    ch->msgnr = c.msgnr ? 1234 : 0;
    strcpy(ch->msginsert, "reason %d");  // logged as text, not as a format
    ch->recv_buffer = (char *)malloc(100);
    ch->send_buffer = (char *)malloc(10);
    ch->cuc = (ccm_connect_user_context_t *)calloc(1, sizeof(ccm_connect_user_context_t));
    strcpy(ch->cuc->key, "KEY");
    ccmq_append(ch->sendq, ctx.Msg("queued"));
    for (auto [key, value] : {std::pair{"%I", ch->ID}, {"%s", ch->s}})
      if (c.msgnr) c.insert.replace(c.insert.find(key), 2, std::to_string(value));
    int id = ch->ID, s = ch->s;
    ccm_alloc_fail_at(c.fail_alloc);
    EXPECT_EQ(0, ccm_channel_destroy(ctx.ccm, ch, &err));
    ccm_alloc_fail_at(0);
    EXPECT_FALSE(wqtest::FdIsOpen(s)) << c.type;
    auto want = c.msgnr ? LogRecorder::Entries{{1234, "reason %d"}, {c.msgnr, c.insert}} : LogRecorder::Entries{};
    EXPECT_EQ(want, log.entries()) << c.type;
    ccm_msg_t *m = nullptr;
    bool notice = c.type != 255 && c.type != -1 && !c.fail_alloc;
    EXPECT_EQ(notice, ccm_receive_message(ctx.ccm, 0, &m, &err) == 1) << c.type;
    if (!m) continue;
    ASSERT_EQ((int)sizeof(ipcmsg_channel_close_t), m->len);
    ipcmsg_channel_close_t rec;
    memcpy(static_cast<void *>(&rec), m->msg_start, sizeof rec);
    EXPECT_EQ(id, closed_id(m));
    EXPECT_EQ("4711 1234 agent|KEY", std::to_string(rec.ccmch.port) + " " + std::to_string(rec.ccmch.msgnr) + " " +
                                         rec.ccmch.host + "|" + rec.cuc.key);
    ccm_msg_free(ctx.ccm, m);
  }
}

// The sweep traces every channel it looks at.
TEST_F(ChannelTest, SweepKeepsOrderAndCloseAllClosesEveryDescriptor) {
  int before = open_fd_count();
  std::vector<ccm_channel_t *> v;
  for (int i = 0; i < 6; ++i) v.push_back(Closed(i ? 0 : 4, i ? nullptr : "AGENT", i == 5));
  for (int i = 0; i < 5; ++i) ccmq_append(ctx.ccm->channelq, v[i]);
  for (int i : {0, 3, 4}) ccm_channel_delete(ctx.ccm, v[i]);
  v[0]->port = 4711;
  strcpy(v[0]->host, "agent");
  strcpy(v[0]->addr, "127.0.0.1");
  testing::internal::CaptureStdout();
  trcFlag = 1;
  EXPECT_EQ(0, ccm_destroy_deleted_channels(ctx.ccm));
  trcFlag = 0;
  std::string out = testing::internal::GetCapturedStdout();
  for (const char *line :
       {"ccm_destroy_deleted_channels:      channel(name=AGENT               ,chID=1,s=",
        ",type=00000004,flag=00000001,deleted,host=agent(127.0.0.1),port=4711",
        "channel(name=*ID2                ,chID=2,s=", ",type=00000000,flag=00000000,active,host=(),port=0",
        "ccm_destroy_deleted_channels <-- (number of deleted channels = 3)"})
    EXPECT_NE(std::string::npos, out.find(line)) << line;
  EXPECT_FALSE(ccm_flag_test(ctx.ccm->flag, CCM_CTXF_DELETED));
  EXPECT_TRUE(ctx.ccm->channelq.head == v[1] && v[1]->nxt == v[2]);
  EXPECT_TRUE(ctx.ccm->channelq.tail == v[2] && !v[2]->nxt);
  EXPECT_EQ(3, DrainNotices());
  ccm_channel_delete(ctx.ccm, v[1]);  // deleted or not, both queues go
  EXPECT_EQ(0, ccm_channel_closeall(ctx.ccm) + ccm_channel_closeall(nullptr));
  EXPECT_EQ(nullptr, ctx.ccm->channelq.head);
  EXPECT_EQ(nullptr, ctx.ccm->channel_newq.head);
  EXPECT_EQ(before, open_fd_count());
  EXPECT_EQ(3, DrainNotices());
}

// The bound address is asked once, and never of an IPC channel; a descriptor
// that is no socket fails the inquiry and the socket options, or none at all.
TEST_F(ChannelTest, BindAddressInquiryAndSocketOptions) {
  int port = 0, p[2];
  ccm_channel_t *ipc = ctx.Channel(9999, 0, "*IPCwhatever"), *tcp = ctx.Channel(loopback_socket(&port));
  EXPECT_EQ(0, ccm_channel_bindaddr_inquire(ctx.ccm, ipc, &err));  // never asked
  EXPECT_EQ(CCM_CHF_BINDADDR, ipc->flag);
  EXPECT_STREQ("", ipc->bind_addr);
  ipc->s = -1;
  EXPECT_EQ(0, ccm_channel_bindaddr_inquire(ctx.ccm, tcp, &err));
  EXPECT_STREQ("127.0.0.1", tcp->bind_addr);
  EXPECT_EQ(CCM_CHF_BINDADDR, tcp->flag);
  ASSERT_EQ(0, pipe(p));
  close(p[1]);
  ccm_channel_t *bad = ctx.Channel(p[0]);  // no socket: the channel is marked deleted
  EXPECT_EQ(-1, ccm_channel_bindaddr_inquire(ctx.ccm, bad, &err));
  std::string e = err_text(err);
  EXPECT_TRUE(starts(e, "2000102 getsockname()|")) << e;
  EXPECT_NE(std::string::npos, e.find(",S(" + std::to_string(p[0]) + "(ID=" + std::to_string(bad->ID) + "))|")) << e;
  EXPECT_EQ(CCM_CHF_DELETED, bad->flag);
  EXPECT_EQ(-1, ccm_set_linger(ctx.ccm, bad, 1, 60, &err));
  EXPECT_TRUE(starts(err_text(err), "2000102 setsockopt(SO_LINGER,s=" + std::to_string(p[0]) + ",ID=" +
                                        std::to_string(bad->ID) + ")|")) << err_text(err);
  EXPECT_EQ(0, ccm_set_nonblocking(ctx.ccm, bad, &err));  // FIONBIO works on pipes
  bad->s = 100000;
  EXPECT_EQ(-1, ccm_set_nonblocking(ctx.ccm, bad, &err));
  EXPECT_TRUE(starts(err_text(err), "2000102 ioctl(...,FIONBIO)|")) << err_text(err);
  bad->s = p[0];
}

bool nodelay(int s) {  // small writes go out at once
  int on = 0;
  socklen_t len = sizeof on;
  return getsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, &len) == 0 && on != 0;
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
    sockaddr_in6 sa{};
    socklen_t len = sizeof sa;
    char addr[64] = "";
    getsockname(l->s, (sockaddr *)&sa, &len);
    ccm_address2string(&sa, addr, sizeof addr);
    EXPECT_EQ(std::string("*LISTEN 1 ") + c.addr, std::string(l->name) + " " + std::to_string(l->type) + " " + addr);
    EXPECT_TRUE(fcntl(l->s, F_GETFL) & O_NONBLOCK);
    snprintf(l->name, sizeof l->name, "L%d", l->ID);  // each listener's port by its own name
    EXPECT_EQ(local_port(l->s), ccm_listen_port(ctx.ccm, l->name)) << c.bind;
    EXPECT_FALSE(ChannelLockHeld());
    if (*c.bind) continue;
    int c4 = connect_to(local_port(l->s));  // IPv4 gets through, also on an IPv6 socket
    ASSERT_TRUE(wait_readable(l->s));
    int acc = accept(l->s, nullptr, nullptr);
    EXPECT_TRUE(nodelay(acc));
    close(acc), close(c4);
  }
  // Failures leave no channel, no descriptor and no used-up ID; a connection
  // takes its user context over all the same (LeakSanitizer).
  ccm_channel_t *last = ctx.ccm->channel_newq.tail;
  const int port = local_port(last->s), fds = open_fd_count(), id = ctx.ccm->unique_channel_ID;
  const struct {
    bool listen;
    const char *addr;
    int port, fail_alloc;
    std::string error;
  } failures[] = {{true, "127.0.0.1", port, 0, "2000102 bind(127.0.0.1:" + std::to_string(port) + ")|"},
                  {true, "[]", 0, 0, "2000102 getaddrinfo|"},
                  {true, "127.0.0.1", 0, 1, "3301 "},
                  {false, "", 80, 0, "2000102 getaddrinfo|"},
                  {false, "127.0.0.1", 80, 1, "3301 "}};
  for (const auto &f : failures) {
    auto *cuc = f.listen ? nullptr
                         : (ccm_connect_user_context_t *)calloc(1, sizeof(ccm_connect_user_context_t));
    ccm_alloc_fail_at(f.fail_alloc);
    EXPECT_EQ(-1, f.listen ? ccm_create_listen(ctx.ccm, f.addr, f.port, 5, &err)
                           : ccm_connect(ctx.ccm, f.addr, f.port, 5, cuc, 60, &err));
    ccm_alloc_fail_at(0);
    EXPECT_TRUE(starts(err_text(err), f.error)) << err_text(err);
  }
  EXPECT_EQ(fds, open_fd_count());
  EXPECT_EQ(id, ctx.ccm->unique_channel_ID);
  EXPECT_EQ(last, ctx.ccm->channel_newq.tail);
  // No live listening channel of the name: -1, with the lock free and the channel unchanged.
  ccm_channel_t *gone = ctx.ccm->channel_newq.head, *plain = ctx.Channel(-1, 0, "PLAIN");
  ccm_channel_delete(ctx.ccm, gone);
  const char *names[] = {"*LISTEN", "PLAIN", gone->name, nullptr};
  for (const char *name : names) {
    EXPECT_EQ(-1, ccm_listen_port(ctx.ccm, name)) << (name ? name : "(null)");
    EXPECT_FALSE(ChannelLockHeld());
  }
  EXPECT_EQ(0, plain->flag);
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
  EXPECT_EQ(std::to_string(id) + " 5 " + std::to_string(port) + " 127.0.0.1|127.0.0.1 60",
            std::to_string(ch->ID) + " " + std::to_string(ch->type) + " " + std::to_string(ch->port) + " " + ch->host +
                "|" + ch->addr + " " + std::to_string(ch->connect_timeout_secs));
  EXPECT_EQ(cuc, ch->cuc);
  EXPECT_TRUE(ccm_flag_test(ch->flag, CCM_CHF_CONNECTING));
  EXPECT_TRUE(fcntl(ch->s, F_GETFL) & O_NONBLOCK);
  EXPECT_TRUE(ch->connect_timeout >= t0 + 60 && ch->connect_timeout <= t1 + 60);
  linger lg{};
  socklen_t len = sizeof lg;
  ASSERT_EQ(0, getsockopt(ch->s, SOL_SOCKET, SO_LINGER, &lg, &len));
  EXPECT_EQ(61, lg.l_onoff + lg.l_linger);
  EXPECT_TRUE(nodelay(ch->s));
  EXPECT_EQ('N', read_byte(ctx.ccm->network_wakeup[0]));
  EXPECT_EQ(std::vector<std::string>{"127.0.0.1:" + std::to_string(port) + "(ID=" + std::to_string(id) + ")"},
            log.with(2000348));
  EXPECT_TRUE(wait_readable(srv));  // the server sees the connection
  close(srv);
  if (!ccm_flag_test(ctx.ccm->flag, CCM_CTXF_IPV6)) return;
  ASSERT_EQ(0, ccm_create_listen(ctx.ccm, "*LOCAL", 0, 5, &err));
  ASSERT_GE(ccm_connect(ctx.ccm, "[::1]", local_port(ctx.ccm->channel_newq.tail->s), 3, nullptr, 10, &err), 1);
  EXPECT_EQ("[::1]|::1", std::string(ctx.ccm->channel_newq.tail->host) + "|" + ctx.ccm->channel_newq.tail->addr);
}

TEST_F(ChannelTest, CpConnectionCheck) {
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
}

// A woken pass takes every pending wake-up, so the next one is written anew;
// a new channel is taken over, read and written in one pass; a channel
// whose read ends it is not written.
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
  EXPECT_EQ(0, Pass());
  EXPECT_EQ(ch, ctx.ccm->channelq.head);
  EXPECT_EQ("outgoing", read_exact(sv[1], 8));
  EXPECT_EQ("hi", next_text(ctx.ccm));
  shutdown(sv[1], SHUT_WR);
  ccm_msg_t *never = ctx.Msg("never");
  ctx.Send(never, ch->ID);
  EXPECT_EQ(0, Pass());
  EXPECT_TRUE(ccm_flag_test(ch->flag, CCM_CHF_DELETED));
  EXPECT_EQ(never, ch->sendq.head);
  EXPECT_TRUE(nothing_to_read(sv[1]));
  close(sv[1]);
}

// Channels not to be read stay unread, also in another word of the select
// sets than the last pass used: the bits select left for them do not reach
// the next pass. Descriptors outside the sets are never watched; a select
// error is reported.
TEST_F(ChannelTest, UnreadableDeletedAndOutOfRangeChannels) {
  int sv[2], lp[2];
  socket_pair(sv);
  int high = fcntl(sv[0], F_DUPFD, 1000);
  if (high < 0) GTEST_SKIP() << "needs an open-file limit above 1000";
  close(sv[0]);
  ccm_channel_t *ch = ctx.Channel(high);
  write_all(sv[1], frame(block(0x04, "first")));
  ASSERT_EQ(0, Pass(0));
  ASSERT_EQ(1, DrainNotices());
  ccm_flag_set(ch->flag, CCM_CHF_NOREAD);
  write_all(sv[1], frame(block(0x04, "second")));
  EXPECT_EQ(0, Pass(0));
  ccm_flag_clear(ch->flag, CCM_CHF_NOREAD);
  ccm_channel_delete(ctx.ccm, ch);
  ccm_flag_clear(ctx.ccm->flag, CCM_CTXF_DELETED);
  socket_pair(lp);
  ctx.Channel(lp[0]);
  write_all(lp[1], frame(block(0x04, "low")));
  EXPECT_EQ(0, Pass(0));
  EXPECT_TRUE(ccm_flag_test(ctx.ccm->flag, CCM_CTXF_DELETED));  // asks for the sweep
  EXPECT_EQ("low", next_text(ctx.ccm));
  EXPECT_EQ(0, ch->recv_pos);
  EXPECT_FALSE(nothing_to_read(high));  // "second" is still there
  ccm_channel_t *big = ctx.Channel(4194304), *none = ctx.Channel(-1);
  EXPECT_EQ(0, Pass(0));
  EXPECT_TRUE(ccm_flag_test(big->flag, CCM_CHF_DELETED) && ccm_flag_test(none->flag, CCM_CHF_DELETED));
  EXPECT_EQ(2000102, big->msgnr);
  big->s = -1;
  int dead = dup(0);
  close(dead);
  ccm_channel_t *bad = ctx.Channel(dead);
  EXPECT_EQ(-1, Pass());
  std::string want = "2000102 select(" + std::to_string(std::max({dead, lp[0], ctx.ccm->network_wakeup[0]}) + 1) + ",";
  EXPECT_TRUE(starts(err_text(err), want)) << err_text(err);
  bad->s = -1;
  close(sv[1]), close(lp[1]);
}

// One pass takes over every waiting connection, in accept order, each with
// its notice; the new channels are read from the next pass on. A connection
// that gets no channel entry is closed at once.
TEST_F(ChannelTest, ListeningChannelAcceptsEveryWaitingConnection) {
  ASSERT_EQ(0, ccm_create_listen(ctx.ccm, "127.0.0.1", 0, 16, &err));
  int ls = ctx.ccm->channel_newq.tail->s, port = local_port(ls);
  std::vector<int> clients;
  for (int i = 0; i < 5; ++i) clients.push_back(connect_to(port));
  write_all(clients[0], frame(block(0x04, "first words")));
  ASSERT_TRUE(wait_readable(ls));
  EXPECT_EQ(0, Pass());
  ccm_channel_t *ch = ctx.ccm->channel_newq.head;
  for (int i = 0; i < 5; ++i, ch = ch->nxt) {
    ASSERT_NE(nullptr, ch);
    ccm_msg_t *m = nullptr;
    ASSERT_EQ(1, ccm_receive_message(ctx.ccm, 0, &m, &err));
    ASSERT_TRUE(is_ipc(m, "CHANNEL_ACCEPT") && m->len == (int)sizeof(ipcmsg_channel_accept_t));
    ipcmsg_channel_accept_t rec;
    memcpy(&rec, m->msg_start, sizeof rec);
    EXPECT_EQ(ch->ID, rec.ID);
    EXPECT_EQ("*ID" + std::to_string(ch->ID) + " 0 " + std::to_string(local_port(clients[i])),
              std::string(ch->name) + " " + std::to_string(ch->type) + " " + std::to_string(ch->port));
    EXPECT_NE(nullptr, strstr(ch->addr, "127.0.0.1")) << ch->addr;
    ccm_msg_free(ctx.ccm, m);
  }
  EXPECT_EQ(nullptr, ch);
  EXPECT_EQ(0, Pass());
  ccm_msg_t *m = receive(ctx.ccm);
  EXPECT_EQ("first words", msg_data(m));
  EXPECT_EQ(ctx.ccm->channelq.head->nxt->ID, m->addr.src_ID);
  ccm_msg_free(ctx.ccm, m);
  int fds = open_fd_count(), c = connect_to(port);
  ASSERT_TRUE(wait_readable(ls));
  ccm_alloc_fail_at(1);
  EXPECT_EQ(0, Pass());
  ccm_alloc_fail_at(0);
  EXPECT_EQ(3301, err.msgnr);
  close(c);
  EXPECT_EQ(fds, open_fd_count());  // the accepted end is closed
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
  std::string queues;
  for (ccm_channel_t *ch : {server, agent, secured, gone})
    for (ccm_msg_t *m = ch->sendq.head; m; m = m->nxt) queues += std::string(ch->name) + ":" + msg_data(m) + ";";
  EXPECT_EQ("*SERVER:cp;*IPC(AGENT):by-id-wins;*IPC(AGENT):by-name;*IPC(AGENT):plain nat;SECURE:nat;SECURE:native;", queues);
  EXPECT_STREQ("*SERVER", cp->addr.dst_addr);
  EXPECT_EQ(nullptr, ctx.ccm->sendq.head);
  EXPECT_EQ(nullptr, ctx.ccm->msgq_2dispatch.head);
  EXPECT_EQ(free_before + 2, ctx.ccm->nof_freemsg);
  EXPECT_EQ("kept", msg_data(kept));  // in no queue: still its owner's
  ccm_msg_free(ctx.ccm, kept);
  EXPECT_EQ((std::vector<uint32_t>{CCM_MSGF_SECURED, 0, 0}),
            (std::vector<uint32_t>{nat->flag & CCM_MSGF_SECURED, native->flag & CCM_MSGF_SECURED, plain->flag & CCM_MSGF_SECURED}));
  EXPECT_EQ(secured->pATctx, nat->pATctx);
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
    EXPECT_EQ(std::string(want) + " 3", msg_data(m) + " " + std::to_string(m->type));
    ccm_msg_free(ctx.ccm, m);
  }
  EXPECT_EQ(0, ccm_receive_message(ctx.ccm, 0, &m, &err));
  EXPECT_EQ(nullptr, m);
  int saved = ctx.ccm->processor_wakeup[0], dead = dup(saved);
  close(dead);
  ctx.ccm->processor_wakeup[0] = dead;
  EXPECT_EQ(-1, ccm_receive_message(ctx.ccm, 5, &m, &err));
  EXPECT_TRUE(starts(err_text(err), "2000102 select(processor_wakeup(" + std::to_string(dead) + "))|")) << err_text(err);
  ctx.ccm->processor_wakeup[0] = -1;  // no pipe at all is no time-out either
  err = ccm_error_t{};
  EXPECT_EQ(-1, ccm_wait_processor(ctx.ccm, 5, &err));
  EXPECT_EQ(2000102, err.msgnr);
  ctx.ccm->processor_wakeup[0] = saved;
}

TEST_F(ChannelTest, ChannelAndSendQueueCounts) {
  std::vector<ccm_channel_t *> ch;
  for (int t : {0, 1, 3, 3, 4, 4, 5, 6, 255, -1}) ch.push_back(ctx.Channel(-1, t));
  auto counts = [&] {
    return std::vector<int>{ccm_get_nof_channels(ctx.ccm), ccm_get_nof_server_connections(ctx.ccm),
                            ccm_get_nof_connections(ctx.ccm), ccm_get_nof_agent_connections(ctx.ccm)};
  };
  EXPECT_EQ((std::vector<int>{0, 0, 0, 0}), counts());  // channel_newq is not counted yet
  ctx.Merge();
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
  ccmch_queue_lock(ctx.ccm, ch[1]);  // a channel's queue lock is held until it is given back
  EXPECT_EQ(EBUSY, pthread_mutex_trylock(&ch[1]->queue_lock));
  ccmch_queue_unlock(ctx.ccm, ch[1]);
  EXPECT_EQ(0, pthread_mutex_trylock(&ch[1]->queue_lock));
  pthread_mutex_unlock(&ch[1]->queue_lock);
}

}  // namespace
