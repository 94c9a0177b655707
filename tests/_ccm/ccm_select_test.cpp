// One select pass, driven directly from the test thread: the wake-up pipe,
// which channels are watched, accepting, and select errors.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "_ccm/ccm_io_testing.h"
#include "ccm.h"
#include "ipcmsg.h"

using namespace ccmtest;

namespace {

class SelectTest : public ::testing::Test {
 protected:
  void SetUp() override { ctx.Pipes(); }
  int Pass(int stimeout = 30) {
    err = ccm_error_t{};
    return ccm_network_select(ctx.ccm, stimeout, &err);
  }
  // A channel on one end of a socket pair, taken over into channelq.
  ccm_channel_t *PairChannel(int *peer, int type = 0) {
    int sv[2];
    socket_pair(sv);
    nonblocking(sv[0]);
    *peer = sv[1];
    ccm_channel_t *ch = ctx.Entry(sv[0], type);
    StringCopy(ch->name, sizeof ch->name, "*IPC(PAIR)");
    ccm_channel_chain(ctx.ccm, ch);
    return ch;
  }
  Context ctx;
  ccm_error_t err{};
};

TEST_F(SelectTest, WakeupBytesEndTheWaitOneEach) {
  ccm_wakeup_network(ctx.ccm);
  ccm_wakeup_network(ctx.ccm);
  EXPECT_EQ(0, Pass());
  EXPECT_TRUE(readable_now(ctx.ccm->network_wakeup[0]));  // one byte left
  EXPECT_EQ(0, Pass());
  EXPECT_FALSE(readable_now(ctx.ccm->network_wakeup[0]));
  // Nothing else to do: a zero time-out pass returns at once.
  EXPECT_EQ(0, Pass(0));
}

TEST_F(SelectTest, NewChannelsAreTakenOverAndRead) {
  int peer;
  ccm_channel_t *ch = PairChannel(&peer);
  EXPECT_EQ(ch, ctx.ccm->channel_newq.head);
  write_all(peer, frame(block1(0x04, "hi")));
  EXPECT_EQ(0, Pass());
  EXPECT_EQ(nullptr, ctx.ccm->channel_newq.head);
  EXPECT_EQ(ch, ctx.ccm->channelq.head);
  ccm_msg_t *m = receive(ctx.ccm);
  ASSERT_NE(nullptr, m);
  EXPECT_EQ("hi", msg_data(m));
  EXPECT_EQ(ch->ID, m->addr.src_ID);
  ccm_msg_free(ctx.ccm, m);
  close(peer);
}

TEST_F(SelectTest, QueuedMessageIsDispatchedAndWrittenInOnePass) {
  int peer;
  ccm_channel_t *ch = PairChannel(&peer);
  ccm_msg_t *m = ctx.Msg("outgoing");
  m->addr.dst_ID = ch->ID;
  ctx.Send(m);
  EXPECT_EQ(0, Pass());
  EXPECT_EQ("outgoing", read_exact(peer, 8));
  EXPECT_EQ(nullptr, ch->sendq.head);
  close(peer);
}

TEST_F(SelectTest, UnreadableChannelIsLeftAlone) {
  int peer;
  ccm_channel_t *ch = PairChannel(&peer);
  ccm_flag_set(ch->flag, CCM_CHF_NOREAD);
  write_all(peer, frame(block1(0x04, "ignored")));
  ccm_wakeup_network(ctx.ccm);
  EXPECT_EQ(0, Pass());
  EXPECT_EQ(0, ch->recv_pos);
  EXPECT_EQ(0, count_recvq(ctx.ccm));
  EXPECT_TRUE(readable_now(ch->s));
  close(peer);
}

TEST_F(SelectTest, DeletedChannelAsksForTheSweepEvenOnTimeout) {
  int peer;
  ccm_channel_t *ch = PairChannel(&peer);
  ctx.Merge();
  ccm_channel_delete(ctx.ccm, ch);
  ccm_flag_clear(ctx.ccm->flag, CCM_CTXF_DELETED);
  write_all(peer, "data that is never read");
  EXPECT_EQ(0, Pass(0));
  EXPECT_TRUE(ccm_flag_test(ctx.ccm->flag, CCM_CTXF_DELETED));
  EXPECT_EQ(0, ch->recv_pos);
  close(peer);
}

TEST_F(SelectTest, ChannelClosedByReadIsNotWritten) {
  int peer;
  ccm_channel_t *ch = PairChannel(&peer);
  close(peer);
  ccm_msg_t *m = ctx.Msg("never");
  m->addr.dst_ID = ch->ID;
  ctx.Send(m);
  EXPECT_EQ(0, Pass());
  EXPECT_TRUE(ccm_flag_test(ch->flag, CCM_CHF_DELETED));
  EXPECT_EQ(m, ch->sendq.head);  // still queued: no write after the failed read
  EXPECT_EQ(0, ch->msgnr);       // an orderly close is no error
}

TEST_F(SelectTest, DescriptorBeyondTheSetsIsNeverWatched) {
  ccm_channel_t *ch = ctx.Entry(4194304);
  ccm_channel_chain(ctx.ccm, ch);
  ccm_channel_t *neg = ctx.Entry(-1, 0);
  ccm_channel_chain(ctx.ccm, neg);
  EXPECT_EQ(0, Pass(0));
  EXPECT_TRUE(ccm_flag_test(ch->flag, CCM_CHF_DELETED));
  EXPECT_TRUE(ccm_flag_test(neg->flag, CCM_CHF_DELETED));
  EXPECT_EQ(2000102, ch->msgnr);
  ch->s = -1;  // nothing to close
}

TEST_F(SelectTest, SelectErrorIsReported) {
  int dead = dup(0);
  close(dead);
  ccm_channel_t *ch = ctx.Entry(dead);
  ccm_channel_chain(ctx.ccm, ch);
  EXPECT_EQ(-1, Pass());
  EXPECT_EQ(2000102, err.msgnr);
  int maxfd = std::max(dead, ctx.ccm->network_wakeup[0]);
  std::string want = "select(" + std::to_string(maxfd + 1) + ",";
  EXPECT_EQ(0, strncmp(err.msginsert, want.c_str(), want.size())) << err.msginsert;
  ch->s = -1;
}

TEST_F(SelectTest, ListeningChannelAcceptsAndAnnounces) {
  int ls = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(ls, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(ls, (struct sockaddr *)&a, sizeof a));
  ASSERT_EQ(0, listen(ls, 4));
  socklen_t al = sizeof a;
  ASSERT_EQ(0, getsockname(ls, (struct sockaddr *)&a, &al));
  nonblocking(ls);
  ccm_channel_t *lch = ctx.Entry(ls, 1);
  StringCopy(lch->name, sizeof lch->name, "*LISTEN");
  ccm_channel_chain(ctx.ccm, lch);

  int c = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(0, connect(c, (struct sockaddr *)&a, sizeof a));
  struct sockaddr_in mine = {};
  socklen_t ml = sizeof mine;
  ASSERT_EQ(0, getsockname(c, (struct sockaddr *)&mine, &ml));
  // Bytes already sent are not read from the listening socket: it is only
  // accepted from, and the new channel is served from the next pass on.
  write_all(c, frame(block1(0x04, "first words")));

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
  EXPECT_EQ("*ID" + std::to_string(ach->ID), std::string(ach->name));
  EXPECT_EQ(ntohs(mine.sin_port), ach->port);
  EXPECT_NE(nullptr, strstr(ach->addr, "127.0.0.1")) << ach->addr;

  EXPECT_EQ(0, Pass());
  ccm_msg_t *m = receive(ctx.ccm);
  ASSERT_NE(nullptr, m);
  EXPECT_EQ("first words", msg_data(m));
  EXPECT_EQ(ach->ID, m->addr.src_ID);
  ccm_msg_free(ctx.ccm, m);
  close(c);
}

}  // namespace
