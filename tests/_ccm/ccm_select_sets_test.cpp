// The select sets are cleared only as far as the last pass used them: bits
// that a pass or select left behind must not reach the next pass.

#include <fcntl.h>
#include <unistd.h>

#include "_ccm/ccm_io_testing.h"

using namespace ccmtest;

namespace {

int Pass(Context &ctx) {
  ccm_error_t err{};
  return ccm_network_select(ctx.ccm, 0, &err);
}

void DrainReceiveQueue(Context &ctx) {
  for (ccm_msg_t *m; ccm_receive_message(ctx.ccm, 0, &m, nullptr) == 1;) ccm_msg_free(ctx.ccm, m);
}

// A channel far above the wake-up pipe, in another word of the sets, is read
// in one pass; once it must not be read, the read bit that select left set
// for it in that pass is gone, whether the pass watches fewer descriptors or
// the same ones.
TEST(SelectSets, ReadyBitOfAPassDoesNotOutliveIt) {
  Context ctx;
  ctx.Pipes();
  int sv[2];
  socket_pair(sv);
  int high = fcntl(sv[0], F_DUPFD, 1000);
  ASSERT_GE(high, 1000);
  close(sv[0]);
  ccm_channel_t *ch = ctx.Channel(high);

  write_all(sv[1], frame(block(0x04, "first")));
  ASSERT_EQ(0, Pass(ctx));
  ASSERT_EQ(1, count_recvq(ctx.ccm));
  DrainReceiveQueue(ctx);

  ccm_flag_set(ch->flag, CCM_CHF_NOREAD);
  write_all(sv[1], frame(block(0x04, "second")));
  EXPECT_EQ(0, Pass(ctx));
  EXPECT_EQ(0, count_recvq(ctx.ccm));
  EXPECT_EQ(0, ch->recv_pos);

  // A low channel alone: the pass watches far fewer descriptors than the
  // last one; the high channel's data stays unread.
  int lp[2];
  socket_pair(lp);
  ctx.Channel(lp[0]);
  write_all(lp[1], frame(block(0x04, "low")));
  ccm_channel_delete(ctx.ccm, ch);
  EXPECT_EQ(0, Pass(ctx));
  ccm_msg_t *m = receive(ctx.ccm);
  ASSERT_NE(nullptr, m);
  EXPECT_EQ("low", msg_data(m));
  ccm_msg_free(ctx.ccm, m);
  EXPECT_EQ(0, count_recvq(ctx.ccm));
  EXPECT_FALSE(nothing_to_read(high));
  close(sv[1]);
  close(lp[1]);
}

}  // namespace
