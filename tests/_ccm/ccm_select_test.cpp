// One select pass, driven directly from the test thread: the wake-up pipe,
// which channels are watched, accepting, and select errors.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <string>

#include "_ccm/ccm_io_testing.h"
#include "ccm_alloc.h"
#include "ipcmsg.h"

using namespace ccmtest;

namespace {

class SelectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx.Pipes();
    int sv[2];
    socket_pair(sv);
    peer = sv[1];
    ch = ctx.Channel(sv[0], 0, "*IPC(PAIR)");
  }
  void TearDown() override {
    if (peer >= 0) close(peer);
  }
  int Pass(int stimeout = 30) {
    err = ccm_error_t{};
    return ccm_network_select(ctx.ccm, stimeout, &err);
  }
  ccm_msg_t *SendTo(int id, const std::string &data) {
    ccm_msg_t *m = ctx.Msg(data);
    m->addr.dst_ID = id;
    ctx.Send(m);
    return m;
  }
  Context ctx;
  ccm_channel_t *ch = nullptr;
  int peer = -1;
  ccm_error_t err{};
};

// A pass woken by the pipe takes every pending wake-up, so the next one
// is written anew and ends the next pass's wait.
TEST_F(SelectTest, WokenPassTakesEveryPendingWakeup) {
  for (int i = 0; i < 2; ++i) {
    ccm_wakeup_network(ctx.ccm);
    ccm_wakeup_network(ctx.ccm);
    ASSERT_FALSE(nothing_to_read(ctx.ccm->network_wakeup[0]));
    EXPECT_EQ(0, Pass());
    EXPECT_TRUE(nothing_to_read(ctx.ccm->network_wakeup[0]));
  }
  EXPECT_EQ(0, Pass(0));  // nothing to do: the time-out ends the pass
}

TEST_F(SelectTest, NewChannelIsTakenOverReadAndWrittenInOnePass) {
  write_all(peer, frame(block(0x04, "hi")));
  SendTo(ch->ID, "outgoing");
  EXPECT_EQ(0, Pass());
  EXPECT_EQ(nullptr, ctx.ccm->channel_newq.head);
  EXPECT_EQ(ch, ctx.ccm->channelq.head);
  EXPECT_EQ("outgoing", read_exact(peer, 8));
  EXPECT_EQ(nullptr, ch->sendq.head);
  ccm_msg_t *m = receive(ctx.ccm);
  ASSERT_NE(nullptr, m);
  EXPECT_EQ("hi", msg_data(m));
  ccm_msg_free(ctx.ccm, m);
}

TEST_F(SelectTest, UnreadableAndDeletedChannelsAreNotRead) {
  ccm_channel_t *quiet = ctx.Channel(dup(ch->s));
  ccm_flag_set(quiet->flag, CCM_CHF_NOREAD);
  ctx.Merge();
  ccm_channel_delete(ctx.ccm, ch);
  ccm_flag_clear(ctx.ccm->flag, CCM_CTXF_DELETED);
  write_all(peer, frame(block(0x04, "ignored")));
  EXPECT_EQ(0, Pass(0));
  // The deleted channel asks for the sweep even when select times out.
  EXPECT_TRUE(ccm_flag_test(ctx.ccm->flag, CCM_CTXF_DELETED));
  EXPECT_EQ(0, ch->recv_pos);
  EXPECT_EQ(0, quiet->recv_pos);
  EXPECT_FALSE(nothing_to_read(quiet->s));
}

TEST_F(SelectTest, ChannelClosedByReadIsNotWritten) {
  close(peer);
  peer = -1;
  ccm_msg_t *m = SendTo(ch->ID, "never");
  EXPECT_EQ(0, Pass());
  EXPECT_TRUE(ccm_flag_test(ch->flag, CCM_CHF_DELETED));
  EXPECT_EQ(m, ch->sendq.head);  // still queued: no write after the failed read
}

TEST_F(SelectTest, DescriptorOutsideTheSetsIsNeverWatched) {
  ccm_channel_t *big = ctx.Channel(4194304);
  ccm_channel_t *none = ctx.Channel(-1);
  EXPECT_EQ(0, Pass(0));
  EXPECT_TRUE(ccm_flag_test(big->flag, CCM_CHF_DELETED));
  EXPECT_TRUE(ccm_flag_test(none->flag, CCM_CHF_DELETED));
  EXPECT_EQ(2000102, big->msgnr);
  big->s = -1;  // nothing to close
}

TEST_F(SelectTest, SelectErrorIsReported) {
  int dead = dup(0);
  close(dead);
  ccm_channel_t *bad = ctx.Channel(dead);
  EXPECT_EQ(-1, Pass());
  EXPECT_EQ(2000102, err.msgnr);
  int maxfd = std::max({dead, ch->s, ctx.ccm->network_wakeup[0]});
  char want[32];
  snprintf(want, sizeof want, "select(%d,", maxfd + 1);
  EXPECT_EQ(0, strncmp(err.msginsert, want, strlen(want))) << err.msginsert;
  bad->s = -1;
}

TEST_F(SelectTest, ListeningChannelAcceptsAndAnnounces) {
  int ls = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t al = sizeof a;
  ASSERT_EQ(0, bind(ls, (struct sockaddr *)&a, sizeof a));
  ASSERT_EQ(0, listen(ls, 4));
  ASSERT_EQ(0, getsockname(ls, (struct sockaddr *)&a, &al));
  ctx.Channel(ls, 1, "*LISTEN");

  int c = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(0, connect(c, (struct sockaddr *)&a, sizeof a));
  struct sockaddr_in mine = {};
  socklen_t ml = sizeof mine;
  ASSERT_EQ(0, getsockname(c, (struct sockaddr *)&mine, &ml));
  // The listening socket is only accepted from; the new channel is read
  // from the next pass on.
  write_all(c, frame(block(0x04, "first words")));
  EXPECT_EQ(0, Pass());

  ccm_msg_t *notice = receive(ctx.ccm);
  ASSERT_NE(nullptr, notice);
  ASSERT_TRUE(is_ipc(notice, "CHANNEL_ACCEPT"));
  ASSERT_EQ((int32_t)sizeof(ipcmsg_channel_accept_t), notice->len);
  ipcmsg_channel_accept_t rec;
  memcpy(&rec, notice->msg_start, sizeof rec);
  ccm_msg_free(ctx.ccm, notice);
  ccm_channel_t *ach = ctx.ccm->channel_newq.head;
  ASSERT_NE(nullptr, ach);
  EXPECT_EQ(rec.ID, ach->ID);
  EXPECT_EQ(0, ach->type);
  EXPECT_EQ(ach->ID, atoi(ach->name + 3));
  EXPECT_EQ(0, strncmp(ach->name, "*ID", 3));
  EXPECT_EQ(ntohs(mine.sin_port), ach->port);
  EXPECT_NE(nullptr, strstr(ach->addr, "127.0.0.1")) << ach->addr;

  EXPECT_EQ(0, Pass());
  ccm_msg_t *m = receive(ctx.ccm);
  ASSERT_NE(nullptr, m);
  EXPECT_EQ("first words", msg_data(m));
  EXPECT_EQ(ach->ID, m->addr.src_ID);
  ccm_msg_free(ctx.ccm, m);

  // A connection that cannot get a channel entry is closed at once.
  int fds = open_fd_count();
  int c2 = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(0, connect(c2, (struct sockaddr *)&a, sizeof a));
  ccm_alloc_fail_at(1);
  EXPECT_EQ(0, Pass());
  ccm_alloc_fail_at(0);
  EXPECT_EQ(3301, err.msgnr);
  ASSERT_TRUE(wait_readable(c2));
  char byte;
  EXPECT_EQ(0, read(c2, &byte, 1));  // the peer end is gone
  close(c2);
  EXPECT_EQ(fds, open_fd_count());
  close(c);
}

}  // namespace
