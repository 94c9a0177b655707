// Receiving from the context's queue with the wake-up pipe, and the counting
// queries over the channels and the send queues.

#include <unistd.h>

#include <vector>

#include "_ccm/ccm_io_testing.h"
#include "ccm_io.h"

using namespace ccmtest;

namespace {

class ReceiveTest : public ::testing::Test {
 protected:
  void SetUp() override { ctx.Pipes(); }
  // Puts a message into the receive queue the way the read path does.
  ccm_msg_t *Deliver(const std::string &data) {
    ccm_msg_t *m = ctx.Msg(data);
    ccm_queue_lock(ctx.ccm);
    ccm_recvq_put_locked(ctx.ccm, m);
    ccm_queue_unlock(ctx.ccm);
    ccm_wakeup_processor(ctx.ccm);
    return m;
  }
  Context ctx;
};

// Queued messages are taken at once, in order, also with a zero time-out;
// an empty queue then gives 0 without waiting.
TEST_F(ReceiveTest, OrderKeptAndZeroTimeoutPolls) {
  ccm_msg_t *m = nullptr;
  ccm_error_t err{};
  Deliver("a");
  Deliver("b");
  for (const char *want : {"a", "b", "c"}) {
    // "c" comes after the queue ran empty, when its tail is stale.
    if (*want == 'c') Deliver("c");
    ASSERT_EQ(1, ccm_receive_message(ctx.ccm, 0, &m, &err));
    EXPECT_EQ(want, msg_data(m));
    ccm_msg_free(ctx.ccm, m);
  }
  EXPECT_EQ(0, ccm_receive_message(ctx.ccm, 0, &m, &err));
  EXPECT_EQ(nullptr, m);
}

TEST_F(ReceiveTest, BrokenPipeIsAWaitError) {
  int saved = ctx.ccm->processor_wakeup[0];
  int dead = dup(saved);
  close(dead);
  ctx.ccm->processor_wakeup[0] = dead;
  ccm_msg_t *m = nullptr;
  ccm_error_t err{};
  EXPECT_EQ(-1, ccm_receive_message(ctx.ccm, 5, &m, &err));
  EXPECT_EQ(2000102, err.msgnr);
  char want[64];
  snprintf(want, sizeof want, "select(processor_wakeup(%d))|", dead);
  EXPECT_EQ(0, strncmp(err.msginsert, want, strlen(want))) << err.msginsert;
  // A pipe that is not there at all is no time-out either.
  ctx.ccm->processor_wakeup[0] = -1;
  err = ccm_error_t{};
  EXPECT_EQ(-1, ccm_wait_processor(ctx.ccm, 5, &err));
  EXPECT_EQ(2000102, err.msgnr);
  ctx.ccm->processor_wakeup[0] = saved;
}

TEST_F(ReceiveTest, ChannelCounts) {
  const int types[] = {0, 1, 3, 3, 4, 4, 5, 6, 255, -1};
  ccm_channel_t *chans[10];
  for (int i = 0; i < 10; ++i) chans[i] = ctx.Channel(-1, types[i]);
  // Channels still waiting in channel_newq are not counted yet.
  EXPECT_EQ(0, ccm_get_nof_channels(ctx.ccm));
  ctx.Merge();
  auto counts = [&] {
    return std::vector<int>{ccm_get_nof_channels(ctx.ccm), ccm_get_nof_server_connections(ctx.ccm),
                            ccm_get_nof_connections(ctx.ccm), ccm_get_nof_agent_connections(ctx.ccm)};
  };
  EXPECT_EQ(counts(), (std::vector<int>{9, 3, 4, 2}));  // channels: all but 255
  ccm_channel_delete(ctx.ccm, chans[4]);               // one agent connection
  ccm_channel_delete(ctx.ccm, chans[7]);               // the CP connection
  EXPECT_EQ(counts(), (std::vector<int>{7, 2, 3, 1}));
}

TEST_F(ReceiveTest, SendQueueQueries) {
  ccm_channel_t *plain = ctx.Channel(-1, 0);
  ccm_channel_t *silent = ctx.Channel(-1, -1);
  ctx.Merge();
  EXPECT_EQ(0, ccm_get_sendq_count(ctx.ccm));
  EXPECT_EQ(1, ccm_is_all_sendq_empty(ctx.ccm));

  ccm_msg_t *a = ctx.Msg("a");
  ccm_msg_t *b = ctx.Msg("b");
  ctx.Send(a);
  ctx.Send(b);
  EXPECT_EQ(2, ccm_get_sendq_count(ctx.ccm));
  EXPECT_EQ(0, ccm_is_all_sendq_empty(ctx.ccm));

  // A batch that the network thread has taken from the context's sendq but
  // not yet put into channel queues still counts: a caller waiting for its
  // report to be written must not go on while the report is in flight there.
  ccmq_clear(ctx.ccm->sendq);
  ccmq_append(ctx.ccm->msgq_2dispatch, a);
  EXPECT_EQ(0, ccm_get_sendq_count(ctx.ccm));
  EXPECT_EQ(0, ccm_is_all_sendq_empty(ctx.ccm));
  ccmq_clear(ctx.ccm->msgq_2dispatch);

  // On channels: the silent kind does not count, the plain one does, unless
  // it is deleted.
  ccmq_append(silent->sendq, a);
  EXPECT_EQ(0, ccm_get_sendq_count(ctx.ccm));
  EXPECT_EQ(1, ccm_is_all_sendq_empty(ctx.ccm));
  ccmq_append(plain->sendq, b);
  EXPECT_EQ(0, ccm_is_all_sendq_empty(ctx.ccm));
  ccm_channel_delete(ctx.ccm, plain);
  EXPECT_EQ(1, ccm_is_all_sendq_empty(ctx.ccm));
}

}  // namespace
