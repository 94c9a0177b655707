// The channel table (IDs, lookups, deletion, destruction and its notices),
// listening and connecting, one select pass driven from the test thread
// (wake-ups, watched channels, accepting, errors), dispatching the send
// queue, and the receive queue with its counters.

#include <algorithm>
#include <map>
#include <set>

#include "_ccm/ccm_io_testing.h"
#include "ccm_wakeup.h"

using namespace ccmtest;

namespace {

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override { ctx.Pipes(); }
  bool ChannelLockHeld() { return pthread_mutex_trylock(&ctx.ccm->channel_lock) != 0 || pthread_mutex_unlock(&ctx.ccm->channel_lock) != 0; }
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
    wqtest::SocketPair p;
    return ctx.Channel(std::exchange(p.fd[0], -1), type, name, chain);
  }
  template <class F>
  auto Failing(int alloc, F call) {  // `call`, with allocation `alloc` failing
    ccm_alloc_fail_at(alloc);
    auto rc = call();
    return ccm_alloc_fail_at(0), rc;
  }
  Context ctx;
  ccm_error_t err{};
};

// The rows of tests/data/ccm_channel.txt of one kind, without it; "-" read as empty.
std::vector<std::vector<std::string>> Rows(const std::string &kind) {
  std::vector<std::vector<std::string>> v;
  for (auto r : wqtest::ReadRows("ccm_channel.txt"))
    if (r[0] == kind) std::replace(r.begin(), r.end(), std::string("-"), std::string()), v.emplace_back(r.begin() + 1, r.end());
  return v;
}

// IDs count up from 1 and are never reused nor used up by a failure; an
// entry without a name is called after its ID; a chained one is marked.
TEST_F(ChannelTest, IdsAndEntries) {
  ccm_channel_t *a = ctx.Channel(-1, 5, "*SERVER", false), *b = ctx.Channel(-1, 5, nullptr, false), *none = nullptr;
  ccm_channel_destroy(ctx.ccm, b, &err);  // never chained
  EXPECT_EQ(-1, Failing(1, [&] { return ccm_channel_new_entry(ctx.ccm, &none, &err); }));
  EXPECT_TRUE(!none && starts(err_text(err), "3301 CREATE_CHANNEL/src/_ccm/ccm(")) << err_text(err);
  EXPECT_EQ(3, ctx.Channel(-1)->ID);
  ccm_channel_chain(ctx.ccm, a);
  EXPECT_EQ(0, memcmp(a->eyec, "#CCMSOCK00000001", 16));
}

// One channel table for every way to a channel: lookups by ID and name (both
// queues) and by remote ID (channelq only), live channels only, the lock
// held exactly when one is found; the CP check (live CP channels of both
// queues, by port and address); the dispatch of the send queue (by ID, else
// by name, "*CP..." to "*SERVER", unroutable ones freed unless kept, NAT
// messages to a secured channel marked); the counts by type; deletion.
TEST_F(ChannelTest, RoutingTable) {
  std::map<std::string, ccm_channel_t *> ch;
  for (const auto &t : Rows("channel")) {  // name type port addr where
    ccm_channel_t *c = ch[t[0]] = ctx.Channel(-1, std::stoi(t[1]), t[0].c_str(), t[4] == "n");
    c->port = std::stoi(t[2]), c->remoteID = 100 + c->ID;
    strcpy(c->addr, t[3].c_str());
    if (t[4] != "n") ccmq_append(ctx.ccm->channelq, c);
    if (t[4] == "d") ccm_channel_delete(ctx.ccm, c);
  }
  ccm_flag_set(ch["SECURE"]->flag, CCM_CHF_SECURED), ch["SECURE"]->pATctx = &ch["SECURE"]->pATctx;
  auto id = [&](const std::string &name) { return ch.count(name) ? ch[name]->ID : 999; };
  auto found = [&](ccm_channel_t *c) { return Found(c) ? std::string(c->name) : ""; };
  ccm_flag_clear(ctx.ccm->flag, CCM_CTXF_DELETED);
  ccm_take_network_wakeup(ctx.ccm);
  for (const auto &l : Rows("lookup")) {  // how key port result
    const char *key = l[1].c_str();
    const int port = std::stoi(l[2]);
    std::string got;
    switch (l[0][0]) {
      case 'I': got = found(ccm_channel_getbyID(ctx.ccm, id(key))); break;
      case 'N': got = found(ccm_channel_getbyName(ctx.ccm, key)); break;
      case 'R': got = found(ccm_channel_getbyRemoteID(ctx.ccm, 100 + id(key))); break;
      case 'i': got = std::to_string(ccm_channel_existbyID(ctx.ccm, id(key))); break;
      case 'n': got = std::to_string(ccm_channel_existbyName(ctx.ccm, key)); break;
      case 'p': got = std::to_string(ccm_channel_get_ip(ctx.ccm, port ? id(key) : 0, port ? nullptr : key, nullptr, &err)); break;
      case 'C': got = std::to_string(ccm_is_cp_connecting(ctx.ccm, key, port, &err)); break;
      default: got = std::to_string(l[0] == "d" ? ccm_channel_deletebyName(ctx.ccm, key) : ccm_channel_deletebyID(ctx.ccm, id(key)));
        got += " " + std::to_string(ccm_flag_test(ctx.ccm->flag, CCM_CTXF_DELETED));
    }
    EXPECT_EQ(l[3], got) << l[0] << " " << key << " " << port;
    EXPECT_FALSE(ChannelLockHeld());
  }
  EXPECT_EQ('N', read_byte(ctx.ccm->network_wakeup[0]));  // a deleted channel is destroyed now, not after a time-out
  EXPECT_EQ(ch["UNWATCHED"], ch["CP10"]->nxt);             // and stays in its queue until the sweep
  const auto sends = Rows("send");  // by_id addr nat keep want
  auto sendq = [&] { return str(ccm_get_sendq_count(ctx.ccm), ccm_is_all_sendq_empty(ctx.ccm)); };
  ccmq_append(ch["SILENT"]->sendq, ctx.Msg("s"));  // neither the silent kind nor a deleted channel counts
  ccmq_append(ch["GONE"]->sendq, ctx.Msg("g"));
  EXPECT_EQ("0 1 ", sendq());
  std::vector<ccm_msg_t *> msgs;
  std::map<std::string, std::string> want = {{"GONE", "g "}, {"SILENT", "s "}}, got;
  for (const auto &s : sends) {
    ccm_msg_t *m = ctx.Msg(std::to_string(msgs.size()));
    want[s[4]] += msg_data(m) + " ";
    StringCopy(m->addr.dst_addr, sizeof m->addr.dst_addr, s[1].c_str());
    m->type = s[2] == "1" ? CCM_MSG_NAT : CCM_MSG_NATIVE, m->flag |= s[3] == "1" ? CCM_MSGF_KEEP : 0;
    ctx.Send(m, s[0].empty() ? 0 : id(s[0]));
    msgs.push_back(m);
  }
  EXPECT_EQ(str(msgs.size(), 0), sendq());
  std::swap(ctx.ccm->sendq, ctx.ccm->msgq_2dispatch);  // a batch taken but not yet dispatched counts
  EXPECT_EQ("0 0 ", sendq());
  std::swap(ctx.ccm->sendq, ctx.ccm->msgq_2dispatch);
  const int free_before = ctx.ccm->nof_freemsg;
  EXPECT_EQ(0, ccm_dispatch_send_messages(ctx.ccm));
  EXPECT_EQ("0 0 ", sendq());
  std::set<ccm_msg_t *> queued;
  for (auto &[name, c] : ch)
    for (ccm_msg_t *m = c->sendq.head; m; m = m->nxt) {
      got[name + (m->flag & CCM_MSGF_SECURED && m->pATctx == c->pATctx ? " secured" : "")] += msg_data(m) + " ";
      queued.insert(m);
    }
  for (size_t i = 0; i < msgs.size(); ++i)
    if (!queued.count(msgs[i])) got[sends[i][3] == "1" ? "kept" : "freed"] += std::to_string(i) + " ";
  EXPECT_EQ(want, got);
  EXPECT_EQ("*SERVER 0 2 ", str(msgs[0]->addr.dst_addr, ctx.ccm->msgq_2dispatch.head, ctx.ccm->nof_freemsg - free_before));  // kept: its owner's
  ccm_msg_free(ctx.ccm, msgs.back());
  // Live channels of channelq: all but 255, CP and server, those and listening, agents.
  EXPECT_EQ("8 3 4 1 ", str(ccm_get_nof_channels(ctx.ccm), ccm_get_nof_server_connections(ctx.ccm),
                            ccm_get_nof_connections(ctx.ccm), ccm_get_nof_agent_connections(ctx.ccm)));
  ccmch_queue_lock(ctx.ccm, ch["AG1"]);  // a channel's queue lock is held until it is given back
  EXPECT_EQ(EBUSY, pthread_mutex_trylock(&ch["AG1"]->queue_lock));
  ccmch_queue_unlock(ctx.ccm, ch["AG1"]);
  EXPECT_EQ(0, pthread_mutex_trylock(&ch["AG1"]->queue_lock));
  pthread_mutex_unlock(&ch["AG1"]->queue_lock);
}

// Destroying logs the reason and the close by type, posts a close notice
// (not for types 255 and -1), frees everything and closes the descriptor;
// without memory for the notice (first: no free message yet) the rest still happens.
TEST_F(ChannelTest, DestroyLogsByTypeAndPostsTheNotice) {
  for (const auto &c : Rows("destroy")) {  // type msgnr insert fail
    LogRecorder log;
    const int type = std::stoi(c[0]), msgnr = std::stoi(c[1]), fail = std::stoi(c[3]);
    ccm_channel_t *ch = Closed(type, "NAME", false);
    ch->port = 4711, ch->msgnr = msgnr ? 1234 : 0;
    strcpy(ch->host, "agent"), strcpy(ch->msginsert, "reason %d");  // the reason logged as text, not as a format
    ch->recv_buffer = (char *)malloc(100), ch->send_buffer = (char *)malloc(10);
    strcpy((ch->cuc = (ccm_connect_user_context_t *)calloc(1, sizeof(ccm_connect_user_context_t)))->key, "KEY");
    ccmq_append(ch->sendq, ctx.Msg("queued"));
    const int id = ch->ID, s = ch->s;
    const std::string insert = wqtest::Fill(c[2], {{"s", std::to_string(s)}, {"id", std::to_string(id)}});
    EXPECT_EQ(0, Failing(fail, [&] { return ccm_channel_destroy(ctx.ccm, ch, &err); }));
    EXPECT_FALSE(wqtest::FdIsOpen(s)) << type;
    EXPECT_EQ((msgnr ? LogRecorder::Entries{{1234, "reason %d"}, {msgnr, insert}} : LogRecorder::Entries{}), log.entries()) << type;
    ccm_msg_t *m = nullptr;
    EXPECT_EQ(type != 255 && type != -1 && !fail, ccm_receive_message(ctx.ccm, 0, &m, &err) == 1) << type;
    if (!m) continue;
    ASSERT_EQ((int)sizeof(ipcmsg_channel_close_t), m->len);
    ipcmsg_channel_close_t rec;
    memcpy(static_cast<void *>(&rec), m->msg_start, sizeof rec);
    EXPECT_EQ(str(id, 4711, 1234, "agent", "KEY"), str(closed_id(m), rec.ccmch.port, rec.ccmch.msgnr, rec.ccmch.host, rec.cuc.key));
    ccm_msg_free(ctx.ccm, m);
  }
}

// The sweep destroys the deleted channels of channelq, keeps the order of
// the others and traces every channel it looks at; closing all closes both
// queues and every descriptor, each with its notice.
TEST_F(ChannelTest, SweepKeepsOrderAndCloseAllClosesEveryDescriptor) {
  const int before = wqtest::FdCount();
  std::vector<ccm_channel_t *> v;
  for (int i = 0; i < 6; ++i) v.push_back(Closed(i ? 0 : 4, i ? nullptr : "AGENT", i == 5));
  for (int i = 0; i < 5; ++i) ccmq_append(ctx.ccm->channelq, v[i]);
  for (int i : {0, 3, 4}) ccm_channel_delete(ctx.ccm, v[i]);
  v[0]->port = 4711, strcpy(v[0]->host, "agent"), strcpy(v[0]->addr, "127.0.0.1");
  int rc = -1;
  const std::string out = wqtest::CaptureStdout([&] { trcFlag = 1, rc = ccm_destroy_deleted_channels(ctx.ccm), trcFlag = 0; });
  for (const auto &l : Rows("sweep")) EXPECT_NE(std::string::npos, out.find(l[0])) << l[0];
  EXPECT_EQ(str(0, 0, v[1], v[2], v[2], 0, 3), str(rc, ccm_flag_test(ctx.ccm->flag, CCM_CTXF_DELETED), ctx.ccm->channelq.head,
                                                         v[1]->nxt, ctx.ccm->channelq.tail, v[2]->nxt, DrainNotices()));
  ccm_channel_delete(ctx.ccm, v[1]);  // deleted or not, both queues go
  EXPECT_EQ("0 0 ", str(ccm_channel_closeall(ctx.ccm), ccm_channel_closeall(nullptr)));
  EXPECT_EQ(str(0, 0, before, 3), str(ctx.ccm->channelq.head, ctx.ccm->channel_newq.head, wqtest::FdCount(), DrainNotices()));
}

// The bound address is asked once, and never of an IPC channel; a descriptor
// that is no socket fails the inquiry and the socket options, or none at all.
TEST_F(ChannelTest, BindAddressInquiryAndSocketOptions) {
  int port = 0, p[2];
  ccm_channel_t *ipc = ctx.Channel(9999, 0, "*IPCwhatever"), *tcp = ctx.Channel(loopback_socket(&port));
  auto inquire = [&](ccm_channel_t *c) {  // "result flag bind_addr"
    const int rc = ccm_channel_bindaddr_inquire(ctx.ccm, c, &err);
    return std::to_string(rc) + " " + std::to_string(c->flag) + " " + c->bind_addr;
  };
  EXPECT_EQ("0 " + std::to_string(CCM_CHF_BINDADDR) + " ", inquire(ipc));  // never asked
  ipc->s = -1;
  EXPECT_EQ("0 " + std::to_string(CCM_CHF_BINDADDR) + " 127.0.0.1", inquire(tcp));
  ASSERT_EQ(0, pipe(p));
  close(p[1]);
  ccm_channel_t *bad = ctx.Channel(p[0]);  // no socket: the channel is marked deleted
  EXPECT_EQ("-1 " + std::to_string(CCM_CHF_DELETED) + " ", inquire(bad));
  EXPECT_TRUE(starts(err_text(err), "2000102 getsockname()|")) << err_text(err);
  EXPECT_NE(std::string::npos, err_text(err).find(",S(" + std::to_string(p[0]) + "(ID=" + std::to_string(bad->ID) + "))|"));
  EXPECT_EQ(-1, ccm_set_linger(ctx.ccm, bad, 1, 60, &err));
  EXPECT_TRUE(starts(err_text(err), std::string("2000102 setsockopt(SO_LINGER,s=") + std::to_string(p[0]) + ",ID=" + std::to_string(bad->ID) + ")|")) << err_text(err);
  bad->s = 100000;
  EXPECT_EQ(-1, ccm_set_nonblocking(ctx.ccm, bad, &err));
  EXPECT_TRUE(starts(err_text(err), "2000102 ioctl(...,FIONBIO)|")) << err_text(err);
  bad->s = p[0];
}

// Listening channels on each kind of address, their ports by name; failures
// leave no channel, no descriptor and no used-up ID, and a connection takes
// its user context over all the same (LeakSanitizer). No live listening
// channel of the name: -1, with the lock free and the channel unchanged.
TEST_F(ChannelTest, ListenAddressesAndFailures) {
  const bool ipv6 = ccm_flag_test(ctx.ccm->flag, CCM_CTXF_IPV6);
  const struct { const char *bind; bool v6; const char *addr; } cases[] = {
      {"*LOCAL", ipv6, ipv6 ? "::1" : "127.0.0.1"}, {"*LOCAL", false, "127.0.0.1"},
      {"", ipv6, ipv6 ? "::" : "0.0.0.0"}, {"127.0.0.1", ipv6, "127.0.0.1"}};
  for (const auto &c : cases) {
    if (!c.v6) ccm_flag_clear(ctx.ccm->flag, CCM_CTXF_IPV6);
    ASSERT_EQ(0, ccm_create_listen(ctx.ccm, c.bind, 0, 5, &err)) << c.bind;
    if (ipv6) ccm_flag_set(ctx.ccm->flag, CCM_CTXF_IPV6);
    ccm_channel_t *l = ctx.ccm->channel_newq.tail;
    sockaddr_in6 sa{};
    socklen_t len = sizeof sa;
    getsockname(l->s, (sockaddr *)&sa, &len);
    EXPECT_EQ(str("*LISTEN", 1, c.addr), str(l->name, l->type, address_text(&sa)));
    EXPECT_TRUE(starts(wqtest::SocketOptions(l->s), "1 1 ")) << c.bind;  // an accepted socket takes no delay over
    snprintf(l->name, sizeof l->name, "L%d", l->ID);  // each listener's port by its own name
    EXPECT_EQ(wqtest::LocalPort(l->s), ccm_listen_port(ctx.ccm, l->name)) << c.bind;
    EXPECT_FALSE(ChannelLockHeld());
    if (*c.bind) continue;
    int c4 = wqtest::Connect(wqtest::LocalPort(l->s));  // IPv4 gets through, also on an IPv6 socket
    EXPECT_TRUE(wqtest::Readable(l->s));
    close(c4);
  }
  ccm_channel_t *last = ctx.ccm->channel_newq.tail;
  wqtest::ReservedPort refused;
  const int port = wqtest::LocalPort(last->s), fds = wqtest::FdCount(), id = ctx.ccm->unique_channel_ID;
  for (auto f : Rows("failure")) {  // call addr port fail error
    for (auto &w : f) w = wqtest::Fill(w, {{"used", std::to_string(port)}, {"refused", std::to_string(refused.port)}});
    auto *cuc = f[0] == "listen" ? nullptr : (ccm_connect_user_context_t *)calloc(1, sizeof(ccm_connect_user_context_t));
    EXPECT_EQ(-1, Failing(std::stoi(f[3]), [&] {
      const char *addr = f[1].c_str();
      return cuc ? ccm_connect(ctx.ccm, addr, std::stoi(f[2]), 5, cuc, 60, &err) : ccm_create_listen(ctx.ccm, addr, std::stoi(f[2]), 5, &err);
    }));
    EXPECT_TRUE(starts(err_text(err), f[4])) << err_text(err);
  }
  EXPECT_EQ(str(fds, id, last), str(wqtest::FdCount(), ctx.ccm->unique_channel_ID, ctx.ccm->channel_newq.tail));
  ccm_channel_t *gone = ctx.ccm->channel_newq.head, *plain = ctx.Channel(-1, 0, "PLAIN");
  ccm_channel_delete(ctx.ccm, gone);
  for (const char *name : {"*LISTEN", "PLAIN", (const char *)gone->name, (const char *)nullptr}) {
    EXPECT_EQ(-1, ccm_listen_port(ctx.ccm, name)) << (name ? name : "(null)");
    EXPECT_FALSE(ChannelLockHeld());
  }
  EXPECT_EQ(0, plain->flag);
}

TEST_F(ChannelTest, ConnectStartsANonBlockingConnection) {
  LogRecorder log;
  int port = 0, srv = loopback_socket(&port, true);
  auto *cuc = (ccm_connect_user_context_t *)calloc(1, sizeof(ccm_connect_user_context_t));
  const time_t t0 = time(nullptr);
  const int id = ccm_connect(ctx.ccm, "127.0.0.1", port, 5, cuc, 60, &err);
  const time_t t1 = time(nullptr);
  ASSERT_GE(id, 1);
  ccm_channel_t *ch = ctx.ccm->channel_newq.head;
  EXPECT_EQ(str(id, 5, port, "127.0.0.1", "127.0.0.1", 60, CCM_SEND_CONNECTING),
            str(ch->ID, ch->type, ch->port, ch->host, ch->addr, ch->connect_timeout_secs, ch->send_wait));
  EXPECT_TRUE(cuc == ch->cuc && ccm_flag_test(ch->flag, CCM_CHF_CONNECTING));
  EXPECT_TRUE(ch->connect_timeout >= t0 + 60 && ch->connect_timeout <= t1 + 60);
  EXPECT_EQ("1 1 1 60", wqtest::SocketOptions(ch->s));
  EXPECT_EQ('N', read_byte(ctx.ccm->network_wakeup[0]));
  EXPECT_EQ(std::vector<std::string>{"127.0.0.1:" + std::to_string(port) + "(ID=" + std::to_string(id) + ")"},
            log.with(2000348));
  EXPECT_TRUE(wqtest::Readable(srv));  // the server sees the connection
  close(srv);
  if (!ccm_flag_test(ctx.ccm->flag, CCM_CTXF_IPV6)) return;
  ASSERT_EQ(0, ccm_create_listen(ctx.ccm, "*LOCAL", 0, 5, &err));
  ASSERT_GE(ccm_connect(ctx.ccm, "[::1]", wqtest::LocalPort(ctx.ccm->channel_newq.tail->s), 3, nullptr, 10, &err), 1);
  EXPECT_EQ("[::1] ::1 ", str(ctx.ccm->channel_newq.tail->host, ctx.ccm->channel_newq.tail->addr));
}

// A woken pass takes every pending wake-up, so the next one is written anew;
// a new channel is taken over, read and written in one pass; a message for
// a channel whose socket is not waited on leaves before the pass waits (its
// select finds nothing ready); a channel whose connect is still waited on is
// read first, and one whose read ends it is not written.
TEST_F(ChannelTest, PassTakesEveryWakeupAndServesANewChannel) {
  for (int i = 0; i < 2; ++i) {
    ccm_wakeup_network(ctx.ccm), ccm_wakeup_network(ctx.ccm);
    ASSERT_FALSE(nothing_to_read(ctx.ccm->network_wakeup[0]));
    EXPECT_EQ(0, Pass());
    EXPECT_TRUE(nothing_to_read(ctx.ccm->network_wakeup[0]));
  }
  wqtest::SocketPair sv;
  ccm_channel_t *ch = ctx.Channel(std::exchange(sv.fd[0], -1), 0, "*IPC(PAIR)");
  write_all(sv.fd[1], frame(block(0x04, "hi")));
  ctx.Send(ctx.Msg("outgoing"), ch->ID);
  EXPECT_EQ(0, Pass());
  EXPECT_EQ("outgoing hi ", str(wqtest::ReadExact(sv.fd[1], 8), next_text(ctx.ccm)));
  const uint64_t ready = ctx.ccm->net_ready_passes.load();
  ctx.Send(ctx.Msg("at once"), ch->ID);
  ccm_take_network_wakeup(ctx.ccm);
  EXPECT_EQ(0, Pass(0));
  EXPECT_EQ(str("at once", ready), str(wqtest::ReadExact(sv.fd[1], 7), ctx.ccm->net_ready_passes.load()));
  ch->send_wait = CCM_SEND_CONNECTING;  // the first bytes read show the connection up
  write_all(sv.fd[1], frame(block(0x04, "up")));
  EXPECT_EQ(0, Pass(0));
  EXPECT_EQ(str("up", CCM_SEND_READY), str(next_text(ctx.ccm), ch->send_wait));
  shutdown(sv.fd[1], SHUT_WR);
  ch->send_wait = CCM_SEND_CONNECTING;
  ccm_msg_t *never = ctx.Msg("never");
  ctx.Send(never, ch->ID);
  EXPECT_EQ(0, Pass());
  EXPECT_EQ(str(true, never, true), str(ccm_flag_test(ch->flag, CCM_CHF_DELETED), ch->sendq.head, nothing_to_read(sv.fd[1])));
}

// Channels not to be read stay unread, also in another word of the select
// sets than the last pass used: the bits select left for them do not reach
// the next pass. Descriptors outside the sets are never watched; a select
// error is reported.
TEST_F(ChannelTest, UnreadableDeletedAndOutOfRangeChannels) {
  wqtest::SocketPair sv, lp;
  const int high = fcntl(sv.fd[0], F_DUPFD, 200);  // in a word of the select sets of its own
  close(std::exchange(sv.fd[0], -1));
  ccm_channel_t *ch = ctx.Channel(high);
  write_all(sv.fd[1], frame(block(0x04, "first")));
  ASSERT_EQ(0, Pass(0));
  ASSERT_EQ(1, DrainNotices());
  ccm_flag_set(ch->flag, CCM_CHF_NOREAD);
  write_all(sv.fd[1], frame(block(0x04, "second")));
  EXPECT_EQ(0, Pass(0));
  ccm_flag_clear(ch->flag, CCM_CHF_NOREAD), ccm_channel_delete(ctx.ccm, ch);
  ccm_flag_clear(ctx.ccm->flag, CCM_CTXF_DELETED);
  ctx.Channel(lp.fd[0]);
  write_all(lp.fd[1], frame(block(0x04, "low")));
  EXPECT_EQ(0, Pass(0));
  // It asks for the sweep; "second" is still there.
  EXPECT_EQ("1 low 0 0 ", str(ccm_flag_test(ctx.ccm->flag, CCM_CTXF_DELETED), next_text(ctx.ccm), ch->recv_pos, nothing_to_read(high)));
  ccm_channel_t *big = ctx.Channel(4194304), *none = ctx.Channel(-1);
  EXPECT_EQ(0, Pass(0));
  EXPECT_EQ("1 1 2000102 ", str(ccm_flag_test(big->flag, CCM_CHF_DELETED), ccm_flag_test(none->flag, CCM_CHF_DELETED), big->msgnr));
  big->s = -1;
  int dead = dup(0);
  close(dead);
  ccm_channel_t *bad = ctx.Channel(dead);
  EXPECT_EQ(-1, Pass());
  std::string want = "2000102 select(" + std::to_string(std::max({dead, lp.fd[0], ctx.ccm->network_wakeup[0]}) + 1) + ",";
  EXPECT_TRUE(starts(err_text(err), want)) << err_text(err);
  bad->s = -1;
  lp.fd[0] = -1;  // the channel's
}

// One pass takes over every waiting connection, in accept order, each with
// its notice; the new channels are read from the next pass on. A connection
// that gets no channel entry is closed at once.
TEST_F(ChannelTest, ListeningChannelAcceptsEveryWaitingConnection) {
  ASSERT_EQ(0, ccm_create_listen(ctx.ccm, "127.0.0.1", 0, 16, &err));
  int ls = ctx.ccm->channel_newq.tail->s, port = wqtest::LocalPort(ls);
  std::vector<int> clients;
  for (int i = 0; i < 5; ++i) clients.push_back(wqtest::Connect(port));
  ASSERT_TRUE(wqtest::Readable(ls));
  EXPECT_EQ(0, Pass());
  ccm_channel_t *ch = ctx.ccm->channel_newq.head;
  for (int i = 0; i < 5; ++i, ch = ch->nxt) {
    ASSERT_NE(nullptr, ch);
    ccm_msg_t *m = receive(ctx.ccm);
    ASSERT_TRUE(m && is_ipc(m, "CHANNEL_ACCEPT") && m->len == (int)sizeof(ipcmsg_channel_accept_t));
    ipcmsg_channel_accept_t rec;
    memcpy(&rec, m->msg_start, sizeof rec);
    EXPECT_EQ(str("*ID" + std::to_string(ch->ID), ch->ID, 0, wqtest::LocalPort(clients[i]), "127.0.0.1"),
              str(ch->name, rec.ID, ch->type, ch->port, ch->addr));
    ccm_msg_free(ctx.ccm, m);
  }
  EXPECT_EQ(nullptr, ch);
  int fds = wqtest::FdCount(), c = wqtest::Connect(port);
  ASSERT_TRUE(wqtest::Readable(ls));
  EXPECT_EQ("0 3301 ", Failing(1, [&] { const int rc = Pass(); return str(rc, err.msgnr); }));
  close(c);
  EXPECT_EQ(fds, wqtest::FdCount());  // the accepted end is closed
  for (int cl : clients) close(cl);
}

// A broken wake-up pipe, or none at all, is a wait error, not a time-out.
TEST_F(ChannelTest, WaitErrors) {
  ccm_msg_t *m = nullptr;
  int saved = ctx.ccm->processor_wakeup[0], dead = dup(saved);
  close(dead), ctx.ccm->processor_wakeup[0] = dead;
  EXPECT_EQ(-1, ccm_receive_message(ctx.ccm, 5, &m, &err));
  EXPECT_TRUE(starts(err_text(err), "2000102 select(processor_wakeup(" + std::to_string(dead) + "))|")) << err_text(err);
  ctx.ccm->processor_wakeup[0] = -1, err = ccm_error_t{};
  EXPECT_EQ("-1 2000102 ", str(ccm_wait_processor(ctx.ccm, 5, &err), err.msgnr));
  ctx.ccm->processor_wakeup[0] = saved;
}

}  // namespace
