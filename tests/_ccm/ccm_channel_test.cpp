#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "_ccm/ccm_io_testing.h"
#include "ccm.h"
#include "ccm_alloc.h"
#include "ipcmsg.h"

using ccmtest::fd_is_open;
using ccmtest::LogRecorder;

namespace {

class CcmChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ccm_open(nullptr, &ccm, &err), 0);
    ASSERT_EQ(ccm_create_wakeup_pipes(ccm, &err), 0);
  }
  void TearDown() override {
    ccm_channel_closeall(ccm);
    ccm_close(ccm, nullptr);
  }
  ccm_channel_t *entry(int type = 5) {
    ccm_channel_t *ch = nullptr;
    EXPECT_EQ(ccm_channel_new_entry(ccm, &ch, &err), 0);
    ch->type = type;
    return ch;
  }
  // Takes the next message of the receive queue (as the receiver would).
  ccm_msg_t *take_recv() { return ccmq_take_head(ccm->recvq); }
  // Frees every queued notice and counts them.
  int drain_notices() {
    int n = 0;
    for (ccm_msg_t *m; (m = take_recv()) != nullptr; ++n) ccm_msg_free(ccm, m);
    return n;
  }
  bool lock_is_held(pthread_mutex_t *m) {
    if (pthread_mutex_trylock(m) == 0) {
      pthread_mutex_unlock(m);
      return false;
    }
    return true;
  }

  ccm_context_t *ccm = nullptr;
  ccm_error_t err{};
};

TEST_F(CcmChannel, IdsCountFromOneWithoutReuse) {
  ccm_channel_t *a = entry();
  ccm_channel_t *b = entry();
  EXPECT_EQ(a->ID * 10 + b->ID, 12);
  EXPECT_STREQ(a->name, "*ID1");
  ccm_channel_chain(ccm, a);
  EXPECT_EQ(memcmp(a->eyec, "#CCMSOCK00000001", 16), 0);
  ccm_channel_destroy(ccm, b, &err);  // never chained
  ccm_channel_t *c = entry(-1);
  EXPECT_EQ(c->ID, 3);

  // A failed entry uses up no ID.
  ccm_channel_t *none = nullptr;
  ccm_error_t e{};
  ccm_alloc_fail_at(1);
  EXPECT_EQ(ccm_channel_new_entry(ccm, &none, &e), -1);
  ccm_alloc_fail_at(0);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(e.msgnr, 3301);
  EXPECT_STREQ(e.msginsert, "CREATE_CHANNEL/src/_ccm/ccm(523)");
  EXPECT_EQ(ccm->unique_channel_ID, 4);
  ccm_channel_destroy(ccm, c, &err);
}

TEST_F(CcmChannel, LookupsReturnWithTheLockHeld) {
  ccm_channel_t *a = entry();
  strcpy(a->name, "*SERVER");
  a->remoteID = 77;
  ccm_channel_chain(ccm, a);  // still in channel_newq

  for (int by_name = 0; by_name < 2; ++by_name) {
    EXPECT_EQ(by_name ? ccm_channel_getbyName(ccm, "*SERVER") : ccm_channel_getbyID(ccm, a->ID), a);
    EXPECT_TRUE(lock_is_held(&ccm->channel_lock));
    ccm_channel_unlock(ccm);
  }
  // The remote ID is searched in channelq only.
  EXPECT_EQ(ccm_channel_getbyRemoteID(ccm, 77), nullptr);
  EXPECT_FALSE(lock_is_held(&ccm->channel_lock));

  // Moved over, as the network thread does.
  ccm->channelq = ccm->channel_newq;
  ccmq_clear(ccm->channel_newq);
  EXPECT_EQ(ccm_channel_getbyRemoteID(ccm, 77), a);
  ccm_channel_unlock(ccm);

  EXPECT_EQ(ccm_channel_getbyID(ccm, 999), nullptr);
  EXPECT_EQ(ccm_channel_getbyName(ccm, "*SERVE"), nullptr);
  EXPECT_FALSE(lock_is_held(&ccm->channel_lock));
  EXPECT_EQ(ccm_channel_existbyID(ccm, a->ID), 1);
  EXPECT_EQ(ccm_channel_existbyName(ccm, "*SERVER"), 1);
  EXPECT_EQ(ccm_channel_get_ip(ccm, a->ID, nullptr, nullptr, &err), 0);
  EXPECT_EQ(ccm_channel_get_ip(ccm, 0, "*SERVER", nullptr, &err), 0);
  EXPECT_EQ(ccm_channel_get_ip(ccm, 999, "nope", nullptr, &err), -1);
  EXPECT_FALSE(lock_is_held(&ccm->channel_lock));
}

TEST_F(CcmChannel, DeletedChannelsAreInvisible) {
  ccm_channel_t *a = entry();
  ccm_channel_chain(ccm, a);
  ccm_channel_t *b = entry();
  ccm_channel_chain(ccm, b);

  EXPECT_EQ(ccm_channel_deletebyID(ccm, 999) + ccm_channel_deletebyName(ccm, "nope"), 0);
  EXPECT_FALSE(ccm_flag_test(ccm->flag, CCM_CTXF_DELETED));

  EXPECT_EQ(ccm_channel_deletebyID(ccm, a->ID), 0);
  EXPECT_TRUE(ccm_flag_test(a->flag, CCM_CHF_DELETED));
  EXPECT_TRUE(ccm_flag_test(ccm->flag, CCM_CTXF_DELETED));
  EXPECT_FALSE(lock_is_held(&ccm->channel_lock));
  EXPECT_EQ(ccm_channel_getbyID(ccm, a->ID), nullptr);
  EXPECT_EQ(ccm_channel_existbyID(ccm, a->ID) + ccm_channel_existbyName(ccm, "*ID1"), 0);
  EXPECT_EQ(ccm->channel_newq.head, a);  // still in its queue

  EXPECT_EQ(ccm_channel_deletebyName(ccm, "*ID2"), 0);
  EXPECT_TRUE(ccm_flag_test(b->flag, CCM_CHF_DELETED));
}

TEST_F(CcmChannel, DestroyLogsByTypeAndPostsCloseNotice) {
  LogRecorder log;
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  close(fds[1]);

  ccm_channel_t *ch = entry(5);
  ch->s = fds[0];
  ch->port = 4711;
  strcpy(ch->host, "agent");
  ch->msgnr = 1234;
  strcpy(ch->msginsert, "reason %d");  // logged as text, not as a format
  ch->recv_buffer = static_cast<char *>(malloc(100));
  ch->send_buffer = static_cast<char *>(malloc(10));
  ch->cuc = static_cast<ccm_connect_user_context_t *>(calloc(1, sizeof(ccm_connect_user_context_t)));
  strcpy(ch->cuc->key, "KEY");
  ccm_msg_t *queued = ccm_msg_alloc(ccm, &err);
  ccmq_unlink(ccm->msgq_inuse, queued);
  ccmq_append(ch->sendq, queued);
  int id = ch->ID;
  int s = ch->s;

  EXPECT_EQ(ccm_channel_destroy(ccm, ch, &err), 0);
  EXPECT_FALSE(fd_is_open(s));
  auto entries = log.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0], std::make_pair(1234, std::string("reason %d")));
  EXPECT_EQ(entries[1], std::make_pair(2002040, "s=" + std::to_string(s) + ",ID=" + std::to_string(id) + "|*ID" +
                                                    std::to_string(id)));

  EXPECT_EQ(ccmtest::read_byte(ccm->processor_wakeup[0]), 'P');
  ccm_msg_t *m = take_recv();
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->type, 3);
  EXPECT_EQ(m->len, static_cast<int>(sizeof(ipcmsg_channel_close_t)));
  ipcmsg_channel_close_t rec;
  memcpy(&rec, m->msg_start, sizeof rec);
  char name[16] = "CHANNEL_CLOSE";
  EXPECT_EQ(memcmp(rec.head.msgtype, name, 16), 0);
  EXPECT_EQ((std::vector<int>{rec.ccmch.ID, rec.ccmch.port, rec.ccmch.msgnr}), (std::vector<int>{id, 4711, 1234}));
  EXPECT_EQ(std::string(rec.ccmch.host) + "|" + rec.cuc.key, "agent|KEY");
  EXPECT_EQ(ccm->recvq.head, nullptr);
  ccm_msg_free(ccm, m);
}

TEST_F(CcmChannel, CloseMessagesPerType) {
  LogRecorder log;
  struct Case {
    int type;
    int msgnr;
    std::string insert;  // with %S for the name
    bool notice;
  } cases[] = {{1, 2002040, "s=-1,ID=%I|*LISTEN", true},  {3, 2000010, "%N(s=-1,ID=%I)", true},
               {6, 2000010, "%N(s=-1,ID=%I)", true},      {4, 2000007, "%N(s=-1,ID=%I)", true},
               {0, 2002040, "s=-1,ID=%I|%N", true},       {255, 2002040, "s=-1,ID=%I|%N", false},
               {-1, 0, "", false}};
  for (const auto &c : cases) {
    log.clear();
    ccm_channel_t *ch = entry(c.type);
    strcpy(ch->name, "NAME");
    std::string expect = c.insert;
    for (auto p = expect.find("%I"); p != std::string::npos; p = expect.find("%I"))
      expect.replace(p, 2, std::to_string(ch->ID));
    for (auto p = expect.find("%N"); p != std::string::npos; p = expect.find("%N")) expect.replace(p, 2, "NAME");
    ccm_channel_destroy(ccm, ch, &err);
    auto e = log.entries();
    if (c.msgnr == 0) {
      EXPECT_TRUE(e.empty()) << c.type;
    } else {
      ASSERT_EQ(e.size(), 1u) << c.type;
      EXPECT_EQ(e[0].first, c.msgnr) << c.type;
      EXPECT_EQ(e[0].second, expect) << c.type;
    }
    ccm_msg_t *m = take_recv();
    EXPECT_EQ(m != nullptr, c.notice) << c.type;
    if (m) ccm_msg_free(ccm, m);
  }
}

TEST_F(CcmChannel, DestroyWithoutMemorySkipsOnlyTheNotice) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  close(fds[1]);
  ccm_channel_t *ch = entry(5);
  ch->s = fds[0];
  ccm_alloc_fail_at(1);
  EXPECT_EQ(ccm_channel_destroy(ccm, ch, &err), 0);
  ccm_alloc_fail_at(0);
  EXPECT_FALSE(fd_is_open(fds[0]));
  EXPECT_EQ(ccm->recvq.head, nullptr);
}

TEST_F(CcmChannel, CloseAllDestroysEveryChannelAndClosesItsDescriptor) {
  int before = ccmtest::open_fd_count();
  std::vector<int> fds;
  for (int i = 0; i < 4; ++i) {
    int p[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, p), 0);
    close(p[1]);
    ccm_channel_t *ch = entry(0);
    ch->s = p[0];
    fds.push_back(p[0]);
    ccm_channel_chain(ccm, ch);
    if (i == 1) ccm_channel_delete(ccm, ch);
    if (i < 3) {  // three moved to channelq, one left in channel_newq
      ccm->channel_newq.head = ch->nxt;
      if (!ccm->channel_newq.head) ccm->channel_newq.tail = nullptr;
      ccmq_append(ccm->channelq, ch);
    }
  }
  EXPECT_EQ(ccm_channel_closeall(ccm), 0);
  EXPECT_EQ(ccm->channelq.head, nullptr);
  EXPECT_EQ(ccm->channel_newq.head, nullptr);
  for (int fd : fds) EXPECT_FALSE(fd_is_open(fd));
  EXPECT_EQ(ccmtest::open_fd_count(), before);
  EXPECT_EQ(ccm_channel_closeall(nullptr), 0);
  EXPECT_EQ(drain_notices(), 4);
}

TEST_F(CcmChannel, SweepDestroysDeletedAndKeepsOrder) {
  std::vector<ccm_channel_t *> v;
  for (int i = 0; i < 6; ++i) {
    ccm_channel_t *ch = entry(0);
    ccmq_append(ccm->channelq, ch);
    v.push_back(ch);
  }
  for (int i : {0, 3, 5}) ccm_channel_delete(ccm, v[i]);
  std::vector<int> keep = {v[1]->ID, v[2]->ID, v[4]->ID};
  EXPECT_EQ(ccm_destroy_deleted_channels(ccm), 0);
  EXPECT_FALSE(ccm_flag_test(ccm->flag, CCM_CTXF_DELETED));
  std::vector<int> ids;
  for (ccm_channel_t *c = ccm->channelq.head; c; c = c->nxt) ids.push_back(c->ID);
  EXPECT_EQ(ids, keep);
  EXPECT_EQ(ccm->channelq.tail, v[4]);
  EXPECT_EQ(v[4]->nxt, nullptr);
  EXPECT_EQ(drain_notices(), 3);
}

TEST_F(CcmChannel, BindAddressInquiry) {
  ccm_channel_t *ipc = entry(0);
  strcpy(ipc->name, "*IPCwhatever");
  ipc->s = 9999;  // never asked
  EXPECT_EQ(ccm_channel_bindaddr_inquire(ccm, ipc, &err), 0);
  EXPECT_TRUE(ccm_flag_test(ipc->flag, CCM_CHF_BINDADDR));
  EXPECT_EQ(ipc->bind_addr[0], '\0');
  ipc->s = -1;
  ccm_channel_destroy(ccm, ipc, &err);

  int port = 0;
  int s = ccmtest::loopback_socket(&port);
  ASSERT_GE(s, 0);
  ccm_channel_t *tcp = entry(0);
  tcp->s = s;
  errno = 0;
  EXPECT_EQ(ccm_channel_bindaddr_inquire(ccm, tcp, &err), 0);
  EXPECT_STREQ(tcp->bind_addr, "127.0.0.1");
  EXPECT_TRUE(ccm_flag_test(tcp->flag, CCM_CHF_BINDADDR));
  EXPECT_FALSE(ccm_flag_test(tcp->flag, CCM_CHF_DELETED));

  // A descriptor that is no socket: the channel is marked deleted.
  ccm_channel_t *bad = entry(0);
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  close(p[1]);
  bad->s = p[0];
  ccm_error_t e{};
  EXPECT_EQ(ccm_channel_bindaddr_inquire(ccm, bad, &e), -1);
  EXPECT_EQ(e.msgnr, 2000102);
  std::string ins = e.msginsert;
  EXPECT_EQ(ins.rfind("getsockname()|", 0), 0u) << ins;
  EXPECT_NE(ins.find(",S(" + std::to_string(p[0]) + "(ID=" + std::to_string(bad->ID) + "))|"), std::string::npos)
      << ins;
  EXPECT_TRUE(ccm_flag_test(bad->flag, CCM_CHF_DELETED));
  EXPECT_FALSE(ccm_flag_test(bad->flag, CCM_CHF_BINDADDR));
  ccmq_append(ccm->channelq, tcp);
  ccmq_append(ccm->channelq, bad);
}

}  // namespace
