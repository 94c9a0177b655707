// The job messages, every byte of their frames (data/records.txt), as queued
// for the agent's channel.
#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "ccm.h"
#include "common/data.h"
#include "wq_exchange.h"
#include "wq_jpmd.h"
#include "zudnst.h"

namespace {

// `n` bytes of `v`, least significant first, in hex.
std::string Le(uint64_t v, int n) {
  unsigned char b[8];
  wq_put_u64(b, v);
  return wqtest::Hex(std::string((const char *)b, n));
}

// A message buffer full of old bytes on the free list: none may reach a message.
void DirtyFreeList() {
  ccm_error_t err{};
  ccm_msg_t *dirty = ccm_msg_alloc(ccm, &err);
  memset(dirty->buffer1, 0xAA, 2 * (size_t)dirty->size);
  ccm_msg_free(ccm, dirty);
}

TEST(Send, EveryRecordByteForByte) {
  int cases = 0;
  for (const wqtest::DataCase &c : wqtest::ReadData("records.txt")) {
    SCOPED_TRACE(c.name + " " + (c.words.empty() ? "" : c.words.back().substr(0, 20)));
    PCX ctx;
    initialize_messenger(&ctx);
    std::vector<std::string> words{"wq_jpmd"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    parse_arguments(&ctx, (int)argv.size(), argv.data());
    ctx.agentID = 7;
    ccm_error_t err{};
    ASSERT_EQ(ccm_open(&ctx, &ccm, &err), 0);
    ASSERT_EQ(ccm_create_wakeup_pipes(ccm, &err), 0);
    // Sent within one second of the clock, so that the time fields are known.
    struct timeval before = {}, after = {};
    int rc = 0;
    for (int tries = 0; tries < 10 && (tries == 0 || before.tv_sec != after.tv_sec); ++tries) {
      for (ccm_msg_t *m; (m = ccm->sendq.head) != nullptr; ccm_msg_free(ccm, m)) ccm->sendq.head = m->nxt;
      ccm->sendq.tail = nullptr;
      DirtyFreeList();
      gettimeofday(&before, nullptr);
      rc = c.name == "job" ? SendJpMd(&ctx) : c.name == "output" ? SendOutputViewMsg(&ctx) : SendRegVariableMsg(&ctx);
      gettimeofday(&after, nullptr);
    }
    struct tm u = {};
    gmtime_r(&before.tv_sec, &u);
    const std::string expected = wqtest::Unhex(wqtest::Fill(
        c.text, {{"PID", Le(getpid(), 4)}, {"PPID", Le(getppid(), 4)}, {"PGRP", Le(getpgrp(), 4)},
                 {"SID", Le(getsid(0), 4)}, {"SECONDS", Le(before.tv_sec, 8)},
                 {"STAMP", Le(u.tm_year + 1900, 2) + Le(u.tm_mon + 1, 2) + Le(u.tm_mday, 2) + Le(u.tm_hour, 2) +
                               Le(u.tm_min, 2) + Le(u.tm_sec, 2)}}));
    ccm_msg_t *m = ccm->sendq.head;
    EXPECT_EQ(rc, expected.empty() ? -1 : 0);
    ASSERT_EQ(m != nullptr, !expected.empty());
    if (m) {
      EXPECT_TRUE(m->nxt == nullptr && m->type == CCM_MSG_NAT && m->addr.dst_ID == 7);
      const std::string frame((const char *)m->msg_start, (size_t)m->len);
      size_t at = 0;
      while (at < frame.size() && at < expected.size() && frame[at] == expected[at]) ++at;
      EXPECT_EQ(at, std::max(frame.size(), expected.size()))
          << "first difference at byte " << at << " of " << frame.size() << " (expected " << expected.size() << ")";
      ccm->sendq.head = ccm->sendq.tail = nullptr;
      ccm_msg_free(ccm, m);
    }
    ccm_close(ccm, &err);
    ccm = nullptr;
    ++cases;
  }
  EXPECT_EQ(cases, 7);
}

TEST(Send, NoMessageBufferSendsNothing) {
  PCX ctx;
  initialize_messenger(&ctx);
  StringCopy(ctx.output_file, sizeof ctx.output_file, "/tmp/f");
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
