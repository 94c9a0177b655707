#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "_ccm/ccm_io_testing.h"
#include "ccm.h"
#include "ccm_alloc.h"

using ccmtest::open_fd_count;
using ccmtest::read_byte;

namespace {

ccm_context_t *open_ctx() {
  ccm_context_t *ccm = nullptr;
  ccm_error_t err{};
  EXPECT_EQ(ccm_open(nullptr, &ccm, &err), 0);
  return ccm;
}

TEST(CcmOpen, FreshContextAndNullArguments) {
  ccm_context_t *ccm = open_ctx();
  ASSERT_NE(ccm, nullptr);
  ccm_error_t v6{};
  EXPECT_EQ(ccm_flag_test(ccm->flag, CCM_CTXF_IPV6), ccm_check_ipv6_support(&v6) == 0);
  // Closing pipes that were never made closes nothing.
  int before = open_fd_count();
  EXPECT_EQ(ccm_close_wakeup_pipes(ccm), 0);
  EXPECT_EQ(open_fd_count(), before);
  EXPECT_EQ(ccm_close(ccm, nullptr), 0);
  EXPECT_EQ(ccm_close(nullptr, nullptr), 0);
  EXPECT_EQ(ccm_wakeup_network(nullptr), 0);
  EXPECT_EQ(ccm_wakeup_processor(nullptr), 0);
}

TEST(CcmOpen, AllocationFailureReports3301AndLeavesOutputAlone) {
  ccm_context_t *sentinel = reinterpret_cast<ccm_context_t *>(0x1234);
  ccm_context_t *ccm = sentinel;
  ccm_error_t err{};
  ccm_alloc_fail_at(1);
  EXPECT_EQ(ccm_open(nullptr, &ccm, &err), -1);
  ccm_alloc_fail_at(0);
  EXPECT_EQ(ccm, sentinel);
  EXPECT_EQ(err.msgnr, 3301);
  EXPECT_STREQ(err.msginsert, "CCM_OPEN/src/_ccm/ccm(200)");
}

TEST(CcmOpen, CloseReleasesMessagesOfEveryQueue) {
  // LeakSanitizer checks that nothing of these survives ccm_close.
  ccm_context_t *ccm = open_ctx();
  ccm_error_t err{};
  ccm_msg_t *m[5];
  for (auto &p : m) ASSERT_NE(p = ccm_msg_alloc(ccm, &err), nullptr);
  ccm_msg_t *huge = ccm_msg_alloc_huge(ccm, 100000, &err);
  ASSERT_NE(huge, nullptr);
  ccm_queue_lock(ccm);
  for (auto [msg, q] : {std::pair{m[0], &ccm->sendq}, {m[1], &ccm->recvq}, {m[2], &ccm->msgq_2dispatch},
                        {huge, &ccm->recvq}}) {
    ccmq_unlink(ccm->msgq_inuse, msg);
    ccmq_append(*q, msg);
  }
  ccm_queue_unlock(ccm);
  ccm_msg_free(ccm, m[3]);  // one already in the free list
  EXPECT_EQ(ccm->nof_freemsg, 1);
  EXPECT_EQ(ccm_close(ccm, nullptr), 0);
}

// Each wake-up call makes its own pipe readable. Pipes made anew replace the
// old four descriptors, drop their bytes and forget a pending wake-up: the
// first wake-up on the new pipes is written, not absorbed.
TEST(CcmWakeup, WakeupReachesItsPipeAndNewPipesStartWithNonePending) {
  int before = open_fd_count();
  ccm_context_t *ccm = open_ctx();
  ccm_error_t err{};
  ASSERT_EQ(ccm_create_wakeup_pipes(ccm, &err), 0);
  EXPECT_EQ(open_fd_count(), before + 4);

  EXPECT_EQ(ccm_wakeup_network(ccm), 0);
  EXPECT_EQ(read_byte(ccm->network_wakeup[0]), 'N');
  EXPECT_TRUE(ccmtest::nothing_to_read(ccm->processor_wakeup[0]));
  EXPECT_EQ(ccm_wakeup_processor(ccm), 0);
  EXPECT_EQ(read_byte(ccm->processor_wakeup[0]), 'P');

  ccm_wakeup_network(ccm);  // pending, and a byte in the old pipe
  ASSERT_EQ(ccm_create_wakeup_pipes(ccm, &err), 0);
  EXPECT_EQ(open_fd_count(), before + 4);
  EXPECT_TRUE(ccmtest::nothing_to_read(ccm->network_wakeup[0]));
  ccm_wakeup_network(ccm);
  ccm_wakeup_processor(ccm);
  EXPECT_EQ(read_byte(ccm->network_wakeup[0]), 'N');
  EXPECT_EQ(read_byte(ccm->processor_wakeup[0]), 'P');

  EXPECT_EQ(ccm_close(ccm, nullptr), 0);
  EXPECT_EQ(open_fd_count(), before);
}

// A waker never blocks, not even on a pipe that is full.
TEST(CcmWakeup, FullPipeNeverBlocksTheWriter) {
  ccm_context_t *ccm = open_ctx();
  ccm_error_t err{};
  ASSERT_EQ(ccm_create_wakeup_pipes(ccm, &err), 0);
  for (int fd : {ccm->processor_wakeup[1], ccm->network_wakeup[1]}) {
    ASSERT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    while (write(fd, "x", 1) == 1) {
    }
  }
  // No wake-up is pending, so both calls write: with a blocking write end
  // they would hang for good.
  ccm_wakeup_processor(ccm);
  ccm_wakeup_network(ccm);
  EXPECT_EQ(read_byte(ccm->processor_wakeup[0]), 'x');
  EXPECT_EQ(read_byte(ccm->network_wakeup[0]), 'x');
  EXPECT_EQ(ccm_close(ccm, nullptr), 0);
}

}  // namespace
