// The messenger against agents that behave and agents that misbehave: the
// agent program (each report kind, and its misbehaving options), a scripted
// agent for what the program will not do, nobody at all. The messenger's main
// runs in this process: it ends within its bounds with the status of its
// report kind, sends its report only after a proper greeting, and leaves no
// descriptor or thread behind; the agent shows what arrived.
#include <gtest/gtest.h>
#include <pthread.h>

#include <memory>
#include <sstream>

#include "ccm_alloc.h"
#include "common/agent.h"
#include "common/capture.h"
#include "common/net.h"
#include "wq_exchange.h"
#include "wq_jpmd.h"
#include "wq_trace.h"

using namespace wqtest;

namespace {

struct Row {
  const char *name;
  char peer;  // 'A': the agent program with options `agent`; 'S': `script`; '-': nobody
  std::vector<std::string> agent;
  ScriptedAgent::Script script;
  std::string words;            // messenger words behind the common ones
  int status, attempts, waits;  // exit status, connection attempts, pauses between them
  bool greeted, abnormal;       // the greeting was accepted, the end counts as abnormal
  int reports;                  // reports the agent received
  std::vector<std::string> shown = {};  // texts of the agent's output
};

pthread_t g_messenger;  // the thread that runs the messenger

// Sends SIGUSR1 to the messenger every 2 ms, `n` times, or (n = 0) until
// `fd` has something to read or has ended.
void Storm(int fd, int n) {
  for (int i = 0; n == 0 || i < n; ++i) {
    pthread_kill(g_messenger, SIGUSR1);
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 2) > 0 && n == 0) return;
  }
}

// Sends `bytes` one byte per send, 1 ms apart, so that they travel one by one.
bool Dribble(int fd, const std::string &bytes) {
  for (char c : bytes)
    if (send(fd, &c, 1, MSG_NOSIGNAL) != 1 || poll(nullptr, 0, 1) != 0) return false;
  return true;
}
const std::string kGarbage(300, '\xff');

const std::vector<Row> kRows = {
    {"agent_job_end", 'A', {"--count", "1"}, {}, "JNR=42 TXT=done MNR=7", 300, 1, 0, true, false, 1,
     {"kind=job job=42 status=E ret=300 text=\"done\"", "client=7 version=\"12.2.0+build.2108\" (12.2.0) len=276"}},
    {"agent_job_restart", 'A', {}, {}, "JNR=43 TYP=R RET=0", 0, 1, 0, true, false, 1,
     {"kind=job job=43 status=R ret=0 text=\"\""}},
    {"agent_output", 'A', {}, {}, "JNR=44 TYP=O OUTFILE=/var/log/job.out ULOGIN=Y", 0, 1, 0, true, false, 1,
     {"kind=output job=44 status=O login=Y file=\"/var/log/job.out\""}},
    {"agent_output_without_file", 'A', {}, {}, "TYP=O", 0, 1, 0, true, false, 0},
    {"agent_variable", 'A', {}, {}, "JNR=45 TYP=V NAME=count VALUE=17 VTYPE=N", 0, 1, 0, true, false, 1,
     {"kind=variable job=45 status=V name=\"count\" value=\"17\" vtype=\"N\"", "len=1521"}},
    {"agent_json", 'A', {"--json"}, {}, "JNR=9 TYP=V", 0, 1, 0, true, false, 1,
     {"\"kind\":\"variable\",\"job\":9,\"status\":\"V\",\"variable\":null"}},
    {"agent_silent", 'A', {"--silent"}, {}, "", 300, 1, 0, false, true, 0},
    {"agent_closes_at_once", 'A', {"--close"}, {}, "WAIT=1", 300, 2, 1, false, false, 0},
    {"agent_greets_with_another_key", 'A', {"--greet-key", "7"}, {}, "", 300, 2, 0, false, false, 0},
    {"agent_never_answers", 'A', {"--no-answer"}, {}, "", 300, 1, 0, true, false, 1},
    {"nobody_listens", '-', {}, {}, "", 300, 2, 0, false, false, 0},
    {"nobody_listens_no_pause_after_the_last_attempt", '-', {}, {}, "RETRY=1 WAIT=120", 300, 1, 0, false, false, 0},
    {"no_attempt", '-', {}, {}, "RETRY=0", 300, 0, 0, false, false, 0},
    {"no_attempt_lower_case_type", '-', {}, {}, "RETRY=0 TYP=e", 0, 0, 0, false, false, 0},
    // The kernel refuses a connection to the broadcast address at once: no attempt gets as far as a channel.
    {"unreachable_address", '-', {}, {}, "IPA=255.255.255.255", 300, 2, 0, false, false, 0},
    {"greets_then_closes", 'S', {}, [](int fd, auto &) { SendAll(fd, Greeting()); }, "", 300, 1, 0, true, false, 0},
    {"dribbles_one_byte_at_a_time", 'S', {},
     [](int fd, auto &a) { Dribble(fd, Greeting()), a.TakeReport(fd) && Dribble(fd, Answer()) && PeerClosed(fd); },
     "", 300, 1, 0, true, false, 1},
    {"resets_mid_frame", 'S', {}, [](int fd, auto &) {  // the close behind the script resets
       struct linger lg = {1, 0};
       SendAll(fd, Greeting().substr(0, 20)), setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
     }, "", 300, 2, 0, false, false, 0},
    {"sends_garbage", 'S', {}, [](int fd, auto &) { SendAll(fd, kGarbage) && PeerClosed(fd); },
     "", 300, 2, 0, false, false, 0},
    {"sends_a_second_frame_with_the_greeting", 'S', {}, [](int fd, auto &a) {
       SendAll(fd, Greeting() + BlockFrame(7, "unasked")) && a.TakeReport(fd) && PeerClosed(fd);
     }, "", 300, 1, 0, true, false, 1},
    {"answers_with_garbage", 'S', {}, [](int fd, auto &a) {
       SendAll(fd, Greeting()) && a.TakeReport(fd) && SendAll(fd, kGarbage) && PeerClosed(fd);
     }, "", 300, 1, 0, true, false, 1},
    // SIGUSR1 again and again while the messenger waits (for the greeting,
    // between attempts, for the answer) changes nothing but timing.
    {"user_signals_all_along", 'S', {}, [](int fd, auto &a) {
       const bool first = a.accepted == 1;
       Storm(fd, 20);
       SendAll(fd, Greeting(first ? 7 : 4));  // the first is refused: it pauses and tries again
       if (first) return Storm(fd, 0);        // ... signalled until the end of the exchange
       if (a.TakeReport(fd)) Storm(fd, 20), SendAll(fd, Answer());
       PeerClosed(fd);
     }, "WAIT=1 TIMEOUT=30", 300, 2, 1, true, false, 1},
};

// Runs the messenger's main in this process with the words of `words`; its
// result and what it printed.
int RunMessenger(int port, const std::string &words, std::string *out) {
  std::istringstream in("wq_jpmd TRC=1 IPA=127.0.0.1 PNR=" + std::to_string(port) +
                        " TYP=E RET=300 RETRY=2 WAIT=0 TIMEOUT=2 " + words);
  std::vector<std::string> w{std::istream_iterator<std::string>(in), {}};
  std::vector<char *> argv;
  for (auto &s : w) argv.push_back(s.data());
  argv.push_back(nullptr);
  int status = -1;
  g_messenger = pthread_self();
  *out = CaptureStdout([&] { status = wq_jpmd_main((int)w.size(), argv.data()); });
  trcFlag.store(0);
  return status;
}

TEST(HostileAgent, EveryPeerEndsTheExchangeWithinItsBoundsLeavingNothingBehind) {
  for (const Row &r : kRows) {
    SCOPED_TRACE(r.name);
    const int fds = FdCount(), threads = ThreadCount();
    {
      Agent agent;
      ReservedPort nobody;
      std::unique_ptr<ScriptedAgent> scripted(r.peer == 'S' ? new ScriptedAgent(r.script) : nullptr);
      const int port = scripted ? scripted->port : r.peer == 'A' ? agent.Start(r.agent) : nobody.port;
      ASSERT_GT(port, 0);
      std::string out;
      EXPECT_EQ(RunMessenger(port, r.words, &out), r.status);
      EXPECT_EQ(std::vector<int>({count_of(out, "connection attempt #"), count_of(out, "before retry connecting"),
                                  count_of(out, "executordata arrived"), count_of(out, r.abnormal ? "ended abnormally" : "ended normally")}),
                std::vector<int>({r.attempts, r.waits, r.greeted, 1})) << out;
      EXPECT_EQ(scripted ? scripted->Stop() : r.peer == 'A' ? agent.Stop(r.agent.empty() || r.agent[0] != "--count") : 0, r.reports);
      for (const std::string &s : r.shown) EXPECT_NE(agent.out().find(s), std::string::npos) << agent.out();
    }
    EXPECT_EQ(FdCount(), fds);
#ifndef __SANITIZE_THREAD__
    // ThreadSanitizer starts a thread of its own at some point of the run. A
    // joined thread may still be listed while the kernel finishes its exit.
    EXPECT_TRUE(Eventually([&] { return ThreadCount() == threads; })) << ThreadCount() << " vs " << threads;
#endif
  }
}

// Every allocation of the channel manager during one whole exchange fails in
// turn: the messenger still ends with its status and nothing stays open. A
// report that finds no message buffer (the report's own allocation hook)
// is not sent, and the run ends abnormally.
TEST(HostileAgent, AllocationFailureAtEveryStepOfAnExchange) {
  Agent agent;
  ASSERT_GT(agent.Start(), 0);
  const int fds = FdCount();
  std::string out;
  int n = 1;
  for (bool reached = true; reached && n < 500; ++n) {
    SCOPED_TRACE(n);
    ccm_alloc_fail_at(n);
    EXPECT_EQ(RunMessenger(agent.port, "RETRY=1", &out), 300);
    // When the n-th allocation did not come during the exchange the
    // countdown still runs: every step has had its failure.
    for (int i = 0; i < n && reached; ++i) {
      void *p = ccm_malloc(1);
      reached = p != nullptr;
      free(p);
    }
    ccm_alloc_fail_at(0);
    EXPECT_TRUE(Eventually([&] { return FdCount() == fds; }));
  }
  EXPECT_LT(n, 500);
  EXPECT_GT(n, 3);  // an exchange allocates a context, a channel and messages
  wq_send_msg_alloc = [](ccm_context_t *, ccm_error_t *) -> ccm_msg_t * { return nullptr; };
  EXPECT_EQ(RunMessenger(agent.port, "", &out), 300);
  wq_send_msg_alloc = ccm_msg_alloc;
  EXPECT_EQ(std::vector<int>({count_of(out, "executordata arrived"), count_of(out, "ended abnormally")}),
            std::vector<int>({1, 1})) << out;
  EXPECT_GE(agent.Stop(), 1);  // the last run of the loop had no failure: its report arrived
}

}  // namespace
