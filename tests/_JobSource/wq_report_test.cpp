// What the messenger emits: its console reports (data/report.txt) and every
// byte of its job messages (data/records.txt) as queued for the agent's channel.
#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <clocale>

#include "ccm.h"
#include "common/data.h"
#include "wq_exchange.h"
#include "wq_jpmd.h"
#include "zudnst.h"

namespace {

// A messenger as set up by `main` from the command line "wq_jpmd WORD...".
void StartMessenger(PCX *ctx, std::vector<std::string> words) {
  initialize_messenger(ctx);
  StringCopy(ctx->program_name, sizeof ctx->program_name, "wq_jpmd");
  words.insert(words.begin(), "wq_jpmd");
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(w.data());
  parse_arguments(ctx, (int)argv.size(), argv.data());
}

// The reports in a zone three hours east of UTC without summer time, so that
// local and UTC times differ by a known amount.
TEST(Report, EveryFormByteForByte) {
  setenv("TZ", "XYZ-3", 1);
  tzset();
  char ppid[16];
  snprintf(ppid, sizeof ppid, "%010i", (int)getppid());
  int cases = 0;
  for (const wqtest::DataCase &c : wqtest::ReadData("report.txt")) {
    SCOPED_TRACE(c.name + " " + (c.words.empty() ? "" : c.words[0]));
    PCX ctx;
    StartMessenger(&ctx, c.words);
    struct timeval before = {}, after = {};
    gettimeofday(&before, nullptr);
    int rc = 0;
    const std::string out = wqtest::CaptureStdout([&] {
      rc = c.name == "banner" ? printMelder(&ctx) : c.name == "outfile" ? printOutputViewReport(&ctx) : printRegisteredVariable(&ctx);
    });
    gettimeofday(&after, nullptr);
    EXPECT_EQ(rc, out.empty() ? -1 : 0);
    EXPECT_EQ(wqtest::Misfit(out, wqtest::Fill(c.text, {{"PPID", ppid}})), "") << out;
    if (c.name != "banner" || ++cases > 1) continue;
    // The UTC time is the moment of the call (between two clock readings); the local time is three hours on.
    const std::vector<std::string> lines = wqtest::Lines(out);
    ASSERT_EQ(lines.size(), 6u);
    struct tm tm = {};
    strptime(lines[3].substr(49, 21).c_str(), "%d.%m.%Y / %H:%M:%S", &tm);
    const time_t t = timegm(&tm), local = t + 3 * 3600;
    char text[32];
    strftime(text, sizeof text, "%d.%m.%Y / %H:%M:%S", gmtime(&local));
    EXPECT_TRUE(t >= before.tv_sec && t <= after.tv_sec && lines[2].substr(lines[2].size() - 24, 21) == text) << out;
  }
  EXPECT_EQ(cases, 7);
  setlocale(LC_ALL, "C.UTF-8");  // the variable type is one byte whatever the locale
  PCX ctx;
  StartMessenger(&ctx, {"NAME=A", "VALUE=b"});
  ctx.var_type = (char)0xE4;
  EXPECT_EQ(wqtest::CaptureStdout([&] { printRegisteredVariable(&ctx); }), "Registered variable: '\xE4' A=b\n");
}

// `n` bytes of `v`, least significant first, in hex.
std::string Le(uint64_t v, int n) {
  unsigned char b[8];
  wq_put_u64(b, v);
  return wqtest::Hex(std::string((const char *)b, n));
}

// Each is sent within one second of the clock, so that the time fields are
// known, from a free list whose buffer is full of old bytes, none of which
// may show. Without a message buffer nothing is sent.
TEST(Send, EveryRecordByteForByte) {
  int cases = 0;
  for (const wqtest::DataCase &c : wqtest::ReadData("records.txt")) {
    SCOPED_TRACE(c.name + " " + (c.words.empty() ? "" : c.words.back().substr(0, 20)));
    PCX ctx;
    StartMessenger(&ctx, c.words);
    ctx.agentID = 7;
    ccm_error_t err{};
    ASSERT_EQ(ccm_open(&ctx, &ccm, &err) + ccm_create_wakeup_pipes(ccm, &err), 0);
    const auto send = [&] { return c.name == "job" ? SendJpMd(&ctx) : c.name == "output" ? SendOutputViewMsg(&ctx) : SendRegVariableMsg(&ctx); };
    wq_send_msg_alloc = [](ccm_context_t *, ccm_error_t *) -> ccm_msg_t * { return nullptr; };
    EXPECT_EQ(send(), c.text.empty() ? -1 : kSendNoBuffer);
    wq_send_msg_alloc = ccm_msg_alloc;
    EXPECT_EQ(ccm->sendq.head, nullptr);
    struct timeval before = {}, after = {};
    int rc = 0;
    for (int tries = 0; tries < 10 && (tries == 0 || before.tv_sec != after.tv_sec); ++tries) {
      for (ccm_msg_t *m; (m = ccm->sendq.head) != nullptr; ccm_msg_free(ccm, m)) ccm->sendq.head = m->nxt;
      ccm->sendq.tail = nullptr;
      ccm_msg_t *dirty = ccm_msg_alloc(ccm, &err);
      memset(dirty->buffer1, 0xAA, 2 * (size_t)dirty->size);
      ccm_msg_free(ccm, dirty);
      gettimeofday(&before, nullptr);
      rc = send();
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

}  // namespace
