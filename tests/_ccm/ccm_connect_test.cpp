#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

#include "_ccm/ccm_io_testing.h"
#include "ccm.h"
#include "ccm_alloc.h"

using ccmtest::open_fd_count;

namespace {

class CcmConnect : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ccm_open(nullptr, &ccm, &err), 0);
    ASSERT_EQ(ccm_create_wakeup_pipes(ccm, &err), 0);
    ipv6 = ccm_flag_test(ccm->flag, CCM_CTXF_IPV6);
  }
  void TearDown() override {
    ccm_channel_closeall(ccm);
    ccm_close(ccm, nullptr);
  }
  bool ipv6 = false;
  ccm_context_t *ccm = nullptr;
  ccm_error_t err{};

  // The listening channel, or null.
  ccm_channel_t *listener() {
    ccm_channel_t *ch = ccm_channel_getbyName(ccm, "*LISTEN");
    if (ch) ccm_channel_unlock(ccm);
    return ch;
  }
  static int local_port(int s, std::string *addr = nullptr) {
    sockaddr_in6 sa{};
    socklen_t len = sizeof sa;
    if (getsockname(s, reinterpret_cast<sockaddr *>(&sa), &len) != 0) return -1;
    if (addr) {
      char buf[64];
      ccm_address2string(&sa, buf, sizeof buf);
      *addr = buf;
    }
    return ntohs(sa.sin6_port);
  }
  // Whether small writes on socket `s` go out at once (no Nagle delay).
  static bool nodelay(int s) {
    int on = 0;
    socklen_t len = sizeof on;
    return getsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, &len) == 0 && on != 0;
  }
  void drain_notices() {
    while (ccm_msg_t *m = ccm->recvq.head) {
      ccm->recvq.head = m->nxt;
      ccm_msg_free(ccm, m);
    }
  }
};

TEST_F(CcmConnect, ListenOnLocalFollowsIpv6Support) {
  ASSERT_EQ(ccm_create_listen(ccm, "*LOCAL", 0, 5, &err), 0);
  ccm_channel_t *l = listener();
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(l->type, 1);
  EXPECT_TRUE(fcntl(l->s, F_GETFL) & O_NONBLOCK);
  std::string addr;
  EXPECT_GT(local_port(l->s, &addr), 0);
  EXPECT_EQ(addr, ipv6 ? "::1" : "127.0.0.1");

  // The same on a context without IPv6.
  ccm_flag_clear(ccm->flag, CCM_CTXF_IPV6);
  ASSERT_EQ(ccm_create_listen(ccm, "*LOCAL", 0, 5, &err), 0);
  EXPECT_GT(local_port(ccm->channel_newq.tail->s, &addr), 0);
  EXPECT_EQ(addr, "127.0.0.1");
}

TEST_F(CcmConnect, EmptyBindAddressListensEverywhere) {
  ASSERT_EQ(ccm_create_listen(ccm, "", 0, 5, &err), 0);
  ccm_channel_t *l = listener();
  ASSERT_NE(l, nullptr);
  std::string addr;
  int port = local_port(l->s, &addr);
  EXPECT_EQ(addr, ipv6 ? "::" : "0.0.0.0");
  if (ipv6) {
    int v6only = -1;
    socklen_t len = sizeof v6only;
    ASSERT_EQ(getsockopt(l->s, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &len), 0);
    EXPECT_EQ(v6only, 0);
  }
  // An IPv4 client gets through on both kinds of socket.
  int c = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(connect(c, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
  // Accepted connections send small writes at once, like connecting ones.
  pollfd p = {l->s, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, ccmtest::kDeadlineMs), 1);
  int acc = accept(l->s, nullptr, nullptr);
  ASSERT_GE(acc, 0);
  EXPECT_TRUE(nodelay(acc));
  close(acc);
  close(c);
}

TEST_F(CcmConnect, ListenFailuresLeaveNothingBehind) {
  ASSERT_EQ(ccm_create_listen(ccm, "127.0.0.1", 0, 5, &err), 0);
  int port = local_port(listener()->s);
  int fds = open_fd_count();
  int nextID = ccm->unique_channel_ID;

  // Port in use, an unresolvable address, no memory for the entry.
  for (auto [addr, at_port, fail_alloc, msgnr, prefix] :
       std::vector<std::tuple<const char *, int, int, int, std::string>>{
           {"127.0.0.1", port, 0, 2000102, "bind(127.0.0.1:" + std::to_string(port) + ")|"},
           {"[]", 0, 0, 2000102, "getaddrinfo|"},
           {"127.0.0.1", 0, 1, 3301, ""}}) {
    ccm_error_t e{};
    ccm_alloc_fail_at(fail_alloc);
    EXPECT_EQ(ccm_create_listen(ccm, addr, at_port, 5, &e), -1);
    ccm_alloc_fail_at(0);
    EXPECT_EQ(e.msgnr, msgnr);
    EXPECT_EQ(std::string(e.msginsert).rfind(prefix, 0), 0u) << e.msginsert;
  }

  EXPECT_EQ(open_fd_count(), fds);
  EXPECT_EQ(ccm->unique_channel_ID, nextID);
  EXPECT_EQ(ccm->channel_newq.head, ccm->channel_newq.tail);  // only the first listener
}

TEST_F(CcmConnect, ConnectStartsANonBlockingConnection) {
  ccmtest::LogRecorder log;
  int port = 0;
  int srv = ccmtest::loopback_socket(&port, true);
  ASSERT_GE(srv, 0);

  auto *cuc = static_cast<ccm_connect_user_context_t *>(calloc(1, sizeof(ccm_connect_user_context_t)));
  time_t t0 = time(nullptr);
  int id = ccm_connect(ccm, "127.0.0.1", port, 5, cuc, 60, &err);
  time_t t1 = time(nullptr);
  ASSERT_GE(id, 1);
  ccm_channel_t *ch = ccm->channel_newq.head;
  ASSERT_NE(ch, nullptr);
  EXPECT_EQ((std::vector<int>{ch->ID, ch->type, ch->port}), (std::vector<int>{id, 5, port}));
  EXPECT_EQ(std::string(ch->host) + "|" + ch->addr, "127.0.0.1|127.0.0.1");
  EXPECT_EQ(ch->cuc, cuc);
  EXPECT_TRUE(ccm_flag_test(ch->flag, CCM_CHF_CONNECTING));
  EXPECT_TRUE(fcntl(ch->s, F_GETFL) & O_NONBLOCK);
  EXPECT_EQ(ch->connect_timeout_secs, 60);
  EXPECT_GE(ch->connect_timeout, t0 + 60);
  EXPECT_LE(ch->connect_timeout, t1 + 60);
  linger lg{};
  socklen_t len = sizeof lg;
  ASSERT_EQ(getsockopt(ch->s, SOL_SOCKET, SO_LINGER, &lg, &len), 0);
  EXPECT_EQ(lg.l_onoff + lg.l_linger, 61);
  EXPECT_TRUE(nodelay(ch->s));
  EXPECT_EQ(ccmtest::read_byte(ccm->network_wakeup[0]), 'N');
  EXPECT_EQ(log.with(2000348), std::vector<std::string>{"127.0.0.1:" + std::to_string(port) + "(ID=" +
                                                        std::to_string(id) + ")"});
  // The server sees the connection.
  pollfd p = {srv, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 20000), 1);
  int acc = accept(srv, nullptr, nullptr);
  EXPECT_GE(acc, 0);
  close(acc);
  close(srv);
}

TEST_F(CcmConnect, ConnectOverIpv6) {
  if (!ipv6) GTEST_SKIP() << "no IPv6 on this host";
  ASSERT_EQ(ccm_create_listen(ccm, "*LOCAL", 0, 5, &err), 0);
  int port = local_port(listener()->s);
  int id = ccm_connect(ccm, "[::1]", port, 3, nullptr, 10, &err);
  ASSERT_GE(id, 1) << err.msginsert;
  ccm_channel_t *ch = ccm->channel_newq.tail;
  EXPECT_EQ(std::string(ch->host) + "|" + ch->addr, "[::1]|::1");
  pollfd p = {listener()->s, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 20000), 1);
}

TEST_F(CcmConnect, RefusedConnection) {
  int fds = open_fd_count();
  int port = ccmtest::closed_port();
  ccm_error_t e{};
  int id = ccm_connect(ccm, "127.0.0.1", port, 5, nullptr, 60, &e);
  if (id == -1) {
    // Refused at once: the channel is gone and its close is announced.
    EXPECT_EQ(e.msgnr, 2000102);
    EXPECT_EQ(std::string(e.msginsert).rfind("connect()|", 0), 0u) << e.msginsert;
    EXPECT_NE(std::string(e.msginsert).find(",S("), std::string::npos);
    EXPECT_EQ(ccm->channel_newq.head, nullptr);
    EXPECT_EQ(open_fd_count(), fds);
    ASSERT_NE(ccm->recvq.head, nullptr);
    drain_notices();
  } else {
    // Refused later: the channel waits for the network thread.
    ASSERT_GE(id, 1);
    EXPECT_EQ(ccm->channel_newq.head->ID, id);
  }
}

TEST_F(CcmConnect, EarlyFailuresCreateNoChannel) {
  int fds = open_fd_count();
  int nextID = ccm->unique_channel_ID;
  // The user context is taken over even when the call fails (LeakSanitizer
  // checks that it is freed).
  for (auto [host, fail_alloc, msgnr, prefix] : std::vector<std::tuple<const char *, int, int, std::string>>{
           {"", 0, 2000102, "getaddrinfo|"}, {"127.0.0.1", 1, 3301, ""}}) {
    auto *cuc = static_cast<ccm_connect_user_context_t *>(calloc(1, sizeof(ccm_connect_user_context_t)));
    ccm_error_t e{};
    ccm_alloc_fail_at(fail_alloc);
    EXPECT_EQ(ccm_connect(ccm, host, 80, 5, cuc, 60, &e), -1);
    ccm_alloc_fail_at(0);
    EXPECT_EQ(e.msgnr, msgnr);
    EXPECT_EQ(std::string(e.msginsert).rfind(prefix, 0), 0u) << e.msginsert;
  }
  EXPECT_EQ(ccm->unique_channel_ID, nextID);
  EXPECT_EQ(ccm->channel_newq.head, nullptr);
  EXPECT_EQ(open_fd_count(), fds);
}

TEST_F(CcmConnect, SocketSettingFailures) {
  ccm_channel_t *ch = nullptr;
  ASSERT_EQ(ccm_channel_new_entry(ccm, &ch, &err), 0);
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  close(p[1]);
  ch->s = p[0];  // a pipe has no socket options
  ccm_error_t e{};
  EXPECT_EQ(ccm_set_linger(ccm, ch, 1, 60, &e), -1);
  EXPECT_EQ(e.msgnr, 2000102);
  std::string prefix = "setsockopt(SO_LINGER,s=" + std::to_string(p[0]) + ",ID=" + std::to_string(ch->ID) + ")|";
  EXPECT_EQ(std::string(e.msginsert).rfind(prefix, 0), 0u) << e.msginsert;
  EXPECT_EQ(ccm_set_nonblocking(ccm, ch, &e), 0);  // FIONBIO works on pipes
  ch->s = 100000;                                  // no such descriptor
  ccm_error_t n{};
  EXPECT_EQ(ccm_set_nonblocking(ccm, ch, &n), -1);
  EXPECT_EQ(std::string(n.msginsert).rfind("ioctl(...,FIONBIO)|", 0), 0u);
  ch->s = p[0];
  ch->type = -1;
  ccm_channel_destroy(ccm, ch, &err);
  EXPECT_FALSE(ccmtest::fd_is_open(p[0]));
}

TEST_F(CcmConnect, CpConnectionCheck) {
  auto add = [&](int type, int port, const char *addr, bool chain_to_main, bool deleted) {
    ccm_channel_t *ch = nullptr;
    EXPECT_EQ(ccm_channel_new_entry(ccm, &ch, &err), 0);
    ch->type = type;
    ch->port = port;
    strcpy(ch->addr, addr);
    if (deleted) ccm_flag_set(ch->flag, CCM_CHF_DELETED);
    if (chain_to_main)
      ccmq_append(ccm->channelq, ch);
    else
      ccm_channel_chain(ccm, ch);
  };
  add(5, 7000, "127.0.0.1", true, false);   // other type
  add(6, 7000, "127.0.0.1", true, true);    // deleted
  add(6, 7001, "127.0.0.1", true, false);   // other port
  add(6, 7000, "10.0.0.1", true, false);    // other address
  EXPECT_EQ(ccm_is_cp_connecting(ccm, "127.0.0.1", 7000, &err), 0);
  add(6, 7000, "127.0.0.1", false, false);  // still in channel_newq
  EXPECT_EQ(ccm_is_cp_connecting(ccm, "127.0.0.1", 7000, &err), 1);
  EXPECT_EQ(ccm_is_cp_connecting(ccm, "[10.0.0.1]", 7000, &err), 1);
  EXPECT_EQ(ccm_is_cp_connecting(ccm, "", 7000, &err), -1);
  EXPECT_EQ(ccm_channel_lock(ccm), 0);  // released on every path
  ccm_channel_unlock(ccm);
}

TEST_F(CcmConnect, TracesDescribeTheChannels) {
  testing::internal::CaptureStdout();
  trcFlag = 1;
  ASSERT_EQ(ccm_create_listen(ccm, "127.0.0.1", 0, 5, &err), 0);
  int port = local_port(listener()->s);
  int id = ccm_connect(ccm, "127.0.0.1", port, 4, nullptr, 60, &err);
  ccm_channel_deletebyID(ccm, id);
  ccm->channelq = ccm->channel_newq;  // taken over, as by the network thread
  ccmq_clear(ccm->channel_newq);
  ccm_destroy_deleted_channels(ccm);
  trcFlag = 0;
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_GE(id, 1);
  EXPECT_NE(out.find("ccm_destroy_deleted_channels:      channel(name=*LISTEN             ,chID=1,s="),
            std::string::npos);
  EXPECT_NE(out.find(",type=00000004,flag=00000009,deleted,host=127.0.0.1(127.0.0.1),port=" + std::to_string(port)),
            std::string::npos);
  EXPECT_NE(out.find("ccm_destroy_deleted_channels <-- (number of deleted channels = 1)"), std::string::npos);
  drain_notices();
}

}  // namespace
