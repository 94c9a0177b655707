// The messenger against agents that behave and agents that misbehave: the
// agent program with its misbehaving options, a scripted agent for what the
// program will not do, nobody at all. The messenger's main runs in this
// process: it ends within its bounds with the status of its report kind,
// sends its report only after a proper greeting, and leaves no descriptor
// or thread behind.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "ccm_alloc.h"
#include "common/agent.h"
#include "common/capture.h"
#include "common/net.h"
#include "common/text.h"
#include "wq_exchange.h"
#include "wq_jpmd.h"
#include "wq_trace.h"

using namespace wqtest;

namespace {

using Script = ScriptedAgent::Script;

struct Row {
  const char *name;
  char peer;                       // 'A': the agent program with `agent`; 'S': `script`; '-': nobody
  std::vector<std::string> agent;
  Script script;
  std::string words;               // messenger words behind the common ones
  int status, attempts, waits;     // exit status, connection attempts, pauses between them
  bool greeted, abnormal;          // the greeting was accepted, the end counts as abnormal
  int reports;                     // reports the agent received
};

// Sends `bytes` one byte per send, 1 ms apart, so that they travel one by one.
void Dribble(int fd, const std::string &bytes) {
  for (char c : bytes)
    if (send(fd, &c, 1, MSG_NOSIGNAL) != 1 || poll(nullptr, 0, 1) != 0) return;
}
const std::string kGarbage(300, '\xff');

const std::vector<Row> kRows = {
    {"agent", 'A', {}, {}, "", 300, 1, 0, true, false, 1},
    {"agent_output_report_without_file", 'A', {}, {}, "TYP=O", 0, 1, 0, true, false, 0},
    {"agent_silent", 'A', {"--silent"}, {}, "", 300, 1, 0, false, true, 0},
    {"agent_closes_at_once", 'A', {"--close"}, {}, "WAIT=1", 300, 2, 1, false, false, 0},
    {"agent_greets_with_another_key", 'A', {"--greet-key", "7"}, {}, "", 300, 2, 0, false, false, 0},
    {"agent_never_answers", 'A', {"--no-answer"}, {}, "", 300, 1, 0, true, false, 1},
    {"nobody_listens", '-', {}, {}, "", 300, 2, 0, false, false, 0},
    {"nobody_listens_no_pause_after_the_last_attempt", '-', {}, {}, "RETRY=1 WAIT=120", 300, 1, 0, false, false, 0},
    {"no_attempt", '-', {}, {}, "RETRY=0", 300, 0, 0, false, false, 0},
    {"no_attempt_lower_case_type", '-', {}, {}, "RETRY=0 TYP=e", 0, 0, 0, false, false, 0},
    {"unresolvable_address", '-', {}, {}, "IPA=no-such-host.invalid", 300, 2, 0, false, false, 0},
    {"greets_then_closes", 'S', {}, [](int fd, auto &) { SendAll(fd, Greeting()); }, "", 300, 1, 0, true, false, 0},
    {"dribbles_one_byte_at_a_time", 'S', {},
     [](int fd, auto &a) {
       Dribble(fd, Greeting());
       if (a.TakeReport(fd)) Dribble(fd, Answer());
       PeerClosed(fd);
     },
     "", 300, 1, 0, true, false, 1},
    {"resets_mid_frame", 'S', {},
     [](int fd, auto &) {
       SendAll(fd, Greeting().substr(0, 20));
       struct linger lg = {1, 0};  // the close behind the script resets
       setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
     },
     "", 300, 2, 0, false, false, 0},
    {"sends_garbage", 'S', {},
     [](int fd, auto &) {
       SendAll(fd, kGarbage);
       PeerClosed(fd);
     },
     "", 300, 2, 0, false, false, 0},
    {"sends_a_second_frame_with_the_greeting", 'S', {},
     [](int fd, auto &a) {
       SendAll(fd, Greeting() + BlockFrame(7, "unasked"));
       a.TakeReport(fd);
       PeerClosed(fd);
     },
     "", 300, 1, 0, true, false, 1},
    {"answers_with_garbage", 'S', {},
     [](int fd, auto &a) {
       SendAll(fd, Greeting());
       if (a.TakeReport(fd)) SendAll(fd, kGarbage);
       PeerClosed(fd);
     },
     "", 300, 1, 0, true, false, 1},
};

// One of the peers of a row: the agent program, a scripted agent or a port
// held where nobody listens.
struct Peer {
  explicit Peer(const Row &r) {
    if (r.peer == 'S') port = (scripted = std::make_unique<ScriptedAgent>(r.script))->port;
    else port = r.peer == 'A' ? agent.Start(r.agent) : nobody.port();
  }
  // Stops the peer; the reports it received.
  long Reports() { return scripted ? scripted->Stop() : agent.pid() > 0 ? agent.Stop() : 0; }
  std::unique_ptr<ScriptedAgent> scripted;
  Agent agent;
  ReservedPort nobody;
  int port;
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
  *out = CaptureStdout([&] { status = wq_jpmd_main((int)w.size(), argv.data()); });
  trcFlag.store(0);
  return status;
}

TEST(HostileAgent, EveryPeerEndsTheExchangeWithinItsBoundsLeavingNothingBehind) {
  for (const Row &r : kRows) {
    SCOPED_TRACE(r.name);
    const int fds = FdCount(), threads = ThreadCount();
    {
      Peer peer(r);
      ASSERT_GT(peer.port, 0);
      std::string out;
      EXPECT_EQ(RunMessenger(peer.port, r.words, &out), r.status);
      EXPECT_EQ(count_of(out, "connection attempt #"), r.attempts) << out;
      EXPECT_EQ(count_of(out, "before retry connecting"), r.waits) << out;
      EXPECT_EQ(count_of(out, "executordata arrived"), r.greeted) << out;
      EXPECT_EQ(count_of(out, r.abnormal ? "ended abnormally" : "ended normally"), 1) << out;
      EXPECT_EQ(peer.Reports(), r.reports);
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
  EXPECT_EQ(count_of(out, "executordata arrived") + count_of(out, "ended abnormally"), 2) << out;
  EXPECT_GE(agent.Stop(), 1);  // the last run of the loop had no failure: its report arrived
}

// The messenger program with few descriptors cannot make its pipes or its
// socket; it ends all the same, with its status and without a crash. With
// enough of them the same run delivers its report.
TEST(HostileAgent, DescriptorExhaustionEndsCleanly) {
  Agent agent;
  ASSERT_GT(agent.Start(), 0);
  for (int limit : {5, 6, 7, 8, 9, 10, 64}) {
    SCOPED_TRACE(limit);
    Child jpmd;
    ASSERT_TRUE(jpmd.Start({kJpmdProgram, "IPA=127.0.0.1", "PNR=" + std::to_string(agent.port), "TYP=E", "RET=4",
                            "RETRY=1", "TIMEOUT=2"},
                           true, limit));
    EXPECT_EQ(jpmd.Finish(), 4);
    EXPECT_FALSE(ShowsCrash(jpmd.out())) << jpmd.out();
  }
  EXPECT_GE(agent.Stop(), 1);
}

// SIGUSR1 again and again while the messenger program waits (for the
// connection, the greeting, between attempts, for the answer) changes
// nothing but timing: same attempts, the report sent once, the same end.
TEST(HostileAgent, RepeatedSigusr1ChangesNothingButTiming) {
  std::atomic<long> signals{0};
  std::atomic<bool> stop{false};
  auto await_signals = [&](long more) {
    long target = signals + more;
    return Eventually([&] { return stop || signals >= target; });
  };
  std::atomic<int> connection{0};
  ScriptedAgent agent([&](int fd, ScriptedAgent &a) {
    await_signals(20);  // the messenger waits for the greeting meanwhile
    if (connection++ == 0) return (void)(SendAll(fd, Greeting(7)) && PeerClosed(fd));  // refused: it tries again
    SendAll(fd, Greeting());
    if (a.TakeReport(fd) && await_signals(50)) SendAll(fd, Answer());  // ... and for the answer
    PeerClosed(fd);
  });
  Child jpmd;
  ASSERT_TRUE(jpmd.Start({kJpmdProgram, "IPA=127.0.0.1", "PNR=" + std::to_string(agent.port), "TYP=E", "RET=9",
                          "RETRY=2", "WAIT=1", "TIMEOUT=30", "TRC=1"}));
  ASSERT_TRUE(jpmd.WaitFor("*****"));  // the handler is in place once the report is printed
  std::thread storm([&] {
    for (; !stop; poll(nullptr, 0, 2), ++signals) jpmd.Signal(SIGUSR1);
  });
  EXPECT_TRUE(jpmd.WaitFor("ended normally"));
  stop = true;
  storm.join();
  EXPECT_EQ(jpmd.Finish(), 9);
  const std::string out = jpmd.out();
  EXPECT_FALSE(ShowsCrash(out)) << out;
  EXPECT_EQ(count_of(out, "connection attempt #"), 2) << out;
  EXPECT_EQ(count_of(out, "executordata arrived"), 1) << out;
  EXPECT_EQ(agent.Stop(), 1);
  EXPECT_GE(signals, 90);
}

}  // namespace
