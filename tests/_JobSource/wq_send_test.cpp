// The job messages, every byte of their frames (data/records.txt), as queued
// for the agent's channel.
#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include "ccm.h"
#include "common/data.h"
#include "wq_exchange.h"
#include "wq_jpmd.h"
#include "zudnst.h"

// A messenger as set up by `main` from the command line "wq_jpmd WORD..." (wq_report_test.cpp).
void StartMessenger(PCX *ctx, std::vector<std::string> words);

namespace {

// `n` bytes of `v`, least significant first, in hex.
std::string Le(uint64_t v, int n) {
  unsigned char b[8];
  wq_put_u64(b, v);
  return wqtest::Hex(std::string((const char *)b, n));
}

// Each is sent within one second of the clock, so that the time fields are
// known, from a free list whose buffer is full of old bytes, none of which
// may show.
TEST(Send, EveryRecordByteForByte) {
  int cases = 0;
  for (const wqtest::DataCase &c : wqtest::ReadData("records.txt")) {
    SCOPED_TRACE(c.name + " " + (c.words.empty() ? "" : c.words.back().substr(0, 20)));
    PCX ctx;
    StartMessenger(&ctx, c.words);
    ctx.agentID = 7;
    ccm_error_t err{};
    ASSERT_EQ(ccm_open(&ctx, &ccm, &err) + ccm_create_wakeup_pipes(ccm, &err), 0);
    struct timeval before = {}, after = {};
    int rc = 0;
    for (int tries = 0; tries < 10 && (tries == 0 || before.tv_sec != after.tv_sec); ++tries) {
      for (ccm_msg_t *m; (m = ccm->sendq.head) != nullptr; ccm_msg_free(ccm, m)) ccm->sendq.head = m->nxt;
      ccm->sendq.tail = nullptr;
      ccm_msg_t *dirty = ccm_msg_alloc(ccm, &err);
      memset(dirty->buffer1, 0xAA, 2 * (size_t)dirty->size);
      ccm_msg_free(ccm, dirty);
      gettimeofday(&before, nullptr);
      rc = c.name == "job" ? SendJpMd(&ctx) : c.name == "output" ? SendOutputViewMsg(&ctx) : SendRegVariableMsg(&ctx);
      gettimeofday(&after, nullptr);
    }
    struct tm u = {};
    gmtime_r(&before.tv_sec, &u);
    const std::string stamp = Le(u.tm_year + 1900, 2) + Le(u.tm_mon + 1, 2) + Le(u.tm_mday, 2) + Le(u.tm_hour, 2) +
                              Le(u.tm_min, 2) + Le(u.tm_sec, 2);
    const std::string expected = wqtest::Unhex(wqtest::Fill(
        c.text, {{"PID", Le(getpid(), 4)}, {"PPID", Le(getppid(), 4)}, {"PGRP", Le(getpgrp(), 4)},
                 {"SID", Le(getsid(0), 4)}, {"SECONDS", Le(before.tv_sec, 8)}, {"STAMP", stamp}}));
    ccm_msg_t *m = ccm->sendq.head;
    EXPECT_EQ(rc, expected.empty() ? -1 : 0);
    EXPECT_TRUE(m ? m->nxt == nullptr && m->type == CCM_MSG_NAT && m->addr.dst_ID == 7 : expected.empty());
    EXPECT_EQ(m ? wqtest::Hex(std::string((const char *)m->msg_start, (size_t)m->len)) : "", wqtest::Hex(expected));
    ccm_close(ccm, &err);  // frees the queued message
    ccm = nullptr;
    ++cases;
  }
  EXPECT_EQ(cases, 7);
}

TEST(Send, NoMessageBufferSendsNothing) {
  PCX ctx;
  StartMessenger(&ctx, {"OUTFILE=/tmp/f"});
  ccm_error_t err{};
  ASSERT_EQ(ccm_open(&ctx, &ccm, &err), 0);
  wq_send_msg_alloc = [](ccm_context_t *, ccm_error_t *) -> ccm_msg_t * { return nullptr; };
  EXPECT_EQ(std::vector<int>({SendJpMd(&ctx), SendOutputViewMsg(&ctx), SendRegVariableMsg(&ctx)}),
            std::vector<int>(3, kSendNoBuffer));
  EXPECT_EQ(ccm->sendq.head, nullptr);
  wq_send_msg_alloc = ccm_msg_alloc;
  ccm_close(ccm, &err);
  ccm = nullptr;
}

}  // namespace
