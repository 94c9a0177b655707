// The messenger against agents that misbehave: it ends within its bounds with
// the exit status of its report kind, sends its report only after a proper
// greeting, prints no crash, and leaves no descriptor or thread behind. Each
// agent runs both against the real program and against the messenger's main
// in this process (where descriptors and threads can be counted).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "ccm_alloc.h"
#include "reliability/reliability_util.h"
#include "wq_jpmd.h"

using namespace rel;

namespace {

// Sends `bytes` one byte per send. The hostile peer paces itself (1 ms) so
// that the bytes really travel one by one; nothing waits on it.
void dribble(int fd, const std::string &bytes) {
  for (char c : bytes) {
    if (send(fd, &c, 1, MSG_NOSIGNAL) != 1) return;
    struct timespec ts = {0, 1000000};
    nanosleep(&ts, nullptr);
  }
}

const std::string kGarbage(300, '\xff');

struct Case {
  const char *name;
  ScriptedAgent::Script script;  // null: nobody listens
  int attempts;                  // connection attempts of the messenger
  int reports;                   // reports the agent received
  int closes;                    // connections the agent saw the messenger close
  bool greeted;                  // the greeting was accepted
  bool abnormal;                 // the end counts as abnormal
};

std::vector<Case> cases() {
  using A = ScriptedAgent;
  return {
      {"well_behaved",
       [](int &fd, int, A &a) {
         send_all(fd, greeting());
         if (a.take_report(fd)) send_all(fd, answer());
         a.expect_close(fd);
       },
       1, 1, 1, true, false},
      {"refuses", nullptr, 2, 0, 0, false, false},
      {"accepts_and_stays_silent", [](int &fd, int, A &a) { a.expect_close(fd); }, 1, 0, 1, false, true},
      {"closes_after_accepting", [](int &, int, A &) {}, 2, 0, 0, false, false},
      {"greets_with_another_key",
       [](int &fd, int, A &a) {
         send_all(fd, greeting(7));
         a.expect_close(fd);
       },
       2, 0, 2, false, false},
      {"greets_then_closes", [](int &fd, int, A &) { send_all(fd, greeting()); }, 1, 0, 0, true, false},
      {"greets_and_never_answers",
       [](int &fd, int, A &a) {
         send_all(fd, greeting());
         a.take_report(fd);
         a.expect_close(fd);
       },
       1, 1, 1, true, false},
      {"dribbles_one_byte_at_a_time",
       [](int &fd, int, A &a) {
         dribble(fd, greeting());
         if (a.take_report(fd)) dribble(fd, answer());
         a.expect_close(fd);
       },
       1, 1, 1, true, false},
      {"resets_mid_frame",
       [](int &fd, int, A &) {
         send_all(fd, greeting().substr(0, 20));
         reset_close(fd);
       },
       2, 0, 0, false, false},
      {"sends_garbage",
       [](int &fd, int, A &a) {
         send_all(fd, kGarbage);
         a.expect_close(fd);
       },
       2, 0, 2, false, false},
      {"sends_a_second_frame_with_the_greeting",
       [](int &fd, int, A &a) {
         send_all(fd, greeting() + block_frame(7, "unasked"));
         a.take_report(fd);
         a.expect_close(fd);
       },
       1, 1, 1, true, false},
      {"answers_with_garbage",
       [](int &fd, int, A &a) {
         send_all(fd, greeting());
         if (a.take_report(fd)) send_all(fd, kGarbage);
         a.expect_close(fd);
       },
       1, 1, 1, true, false},
  };
}

std::vector<std::string> words(int port, const char *ret) {
  return {"IPA=127.0.0.1", "PNR=" + std::to_string(port), "TYP=E", std::string("RET=") + ret, "RETRY=2",
          "WAIT=0",        "TIMEOUT=2"};
}

// Runs the messenger's main in this process; returns its exit status.
int run_in_process(std::vector<std::string> w) {
  w.insert(w.begin(), "wq_jpmd");
  std::vector<char *> argv;
  for (auto &s : w) argv.push_back(s.data());
  argv.push_back(nullptr);
  return wq_jpmd_main((int)w.size(), argv.data());
}

TEST(HostileAgent, RealMessengerEndsWithinItsBoundsWithItsStatus) {
  for (const Case &c : cases()) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<ScriptedAgent> agent;
    int port = unused_port();
    if (c.script) {
      agent = std::make_unique<ScriptedAgent>(c.script);
      port = agent->port();
    }
    ASSERT_GT(port, 0);
    std::vector<std::string> args{kJpmd, "TRC=1"};
    for (auto &w : words(port, "7")) args.push_back(w);
    Child jpmd;
    ASSERT_TRUE(jpmd.start(args));
    EXPECT_EQ(jpmd.finish(), 7);
    const std::string out = jpmd.output();
    EXPECT_FALSE(shows_crash(out)) << out;
    EXPECT_EQ(count_of(out, "connection attempt #"), c.attempts) << out;
    EXPECT_EQ(out.find("executordata arrived") != std::string::npos, c.greeted) << out;
    EXPECT_NE(out.find(c.abnormal ? "ended abnormally" : "ended normally"), std::string::npos) << out;
    if (agent) {
      agent->stop();
      EXPECT_EQ(agent->connections.load(), c.attempts);
      EXPECT_EQ(agent->reports.load(), c.reports);
      EXPECT_EQ(agent->closed_by_peer.load(), c.closes);
    }
  }
}

TEST(HostileAgent, InProcessNothingIsLeftBehind) {
  for (const Case &c : cases()) {
    SCOPED_TRACE(c.name);
    const int fds = own_fd_count(), threads = own_thread_count();
    {
      std::unique_ptr<ScriptedAgent> agent;
      int port = unused_port();
      if (c.script) {
        agent = std::make_unique<ScriptedAgent>(c.script);
        port = agent->port();
      }
      EXPECT_EQ(run_in_process(words(port, "300")), 300);
      if (agent) {
        agent->stop();
        EXPECT_EQ(agent->reports.load(), c.reports);
        EXPECT_EQ(agent->closed_by_peer.load(), c.closes);
      }
    }
    EXPECT_EQ(own_fd_count(), fds);
#ifndef __SANITIZE_THREAD__
    // ThreadSanitizer starts a thread of its own at some point of the run.
    // A joined thread may still be listed for a moment while the kernel
    // finishes its exit, so the count is awaited, not read once.
    EXPECT_TRUE(eventually([&] { return own_thread_count() == threads; })) << own_thread_count() << " vs " << threads;
#else
    (void)threads;
#endif
    EXPECT_EQ(child_count(getpid()), 0);
  }
}

// Every allocation of the channel manager during one whole exchange fails in
// turn: the messenger still ends with its status, and nothing stays open.
TEST(HostileAgent, AllocationFailureAtEveryStepOfAnExchange) {
  ScriptedAgent agent([](int &fd, int, ScriptedAgent &a) {
    send_all(fd, greeting());
    if (a.take_report(fd)) send_all(fd, answer());
    a.expect_close(fd);
  });
  const int fds = own_fd_count();
  int n = 1;
  for (; n < 500; ++n) {
    SCOPED_TRACE(n);
    ccm_alloc_fail_at(n);
    std::vector<std::string> w = words(agent.port(), "5");
    w.push_back("RETRY=1");
    EXPECT_EQ(run_in_process(w), 5);
    // When the n-th allocation did not come during the exchange, the
    // countdown is still running: every step has had its failure.
    bool reached = true;
    for (int i = 0; i < n && reached; ++i) {
      void *p = ccm_malloc(1);
      if (!p) reached = false;
      free(p);
    }
    ccm_alloc_fail_at(0);
    EXPECT_TRUE(eventually([&] { return own_fd_count() == fds; }));
    if (!reached) break;
  }
  RecordProperty("allocations", n - 1);
  EXPECT_LT(n, 500);
  EXPECT_GT(n, 3);  // an exchange allocates a context, channels and messages
  agent.stop();
  // The last run had no failure: its report arrived.
  EXPECT_GE(agent.reports.load(), 1);
}

// With few descriptors allowed the messenger cannot make its pipes or its
// socket; it ends all the same, with its status and without a crash. With
// enough of them the same run delivers its report.
TEST(HostileAgent, DescriptorExhaustionEndsCleanly) {
  ScriptedAgent agent([](int &fd, int, ScriptedAgent &a) {
    send_all(fd, greeting());
    if (a.take_report(fd)) send_all(fd, answer());
    a.expect_close(fd);
  });
  for (int limit : {5, 6, 7, 8, 9, 10, 64}) {
    SCOPED_TRACE(limit);
    std::vector<std::string> args{kJpmd, "RETRY=1"};
    for (auto &w : words(agent.port(), "4")) args.push_back(w);
    Child jpmd;
    ASSERT_TRUE(jpmd.start(args, limit));
    EXPECT_EQ(jpmd.finish(), 4);
    EXPECT_FALSE(shows_crash(jpmd.output())) << jpmd.output();
  }
  agent.stop();
  EXPECT_GE(agent.reports.load(), 1);
}

// SIGUSR1 arriving again and again while the messenger waits (for the
// connection, the greeting, between attempts, for the answer) changes
// nothing but timing: same attempts, the report sent once, the same end.
TEST(HostileAgent, RepeatedSigusr1ChangesNothingButTiming) {
  std::atomic<long> signals{0};
  std::atomic<bool> stop{false};
  auto await_signals = [&](long more) {
    long target = signals.load() + more;
    return eventually([&] { return stop.load() || signals.load() >= target; });
  };
  ScriptedAgent agent([&](int &fd, int index, ScriptedAgent &a) {
    if (index == 0) {  // an invalid greeting: the messenger pauses and tries again
      await_signals(20);
      send_all(fd, greeting(7));
      a.expect_close(fd);
      return;
    }
    await_signals(50);  // the messenger is waiting for the greeting meanwhile
    send_all(fd, greeting());
    if (a.take_report(fd)) {
      await_signals(50);  // ... and for the answer
      send_all(fd, answer());
    }
    a.expect_close(fd);
  });
  Child jpmd;
  ASSERT_TRUE(jpmd.start({kJpmd, "IPA=127.0.0.1", "PNR=" + std::to_string(agent.port()), "TYP=E", "RET=9",
                          "RETRY=2", "WAIT=1", "TIMEOUT=30", "TRC=1"}));
  // The handler is in place once the report is printed.
  ASSERT_TRUE(jpmd.wait_for("*****"));
  std::thread storm([&] {
    while (!stop.load()) {
      kill(jpmd.pid(), SIGUSR1);
      ++signals;
      struct timespec ts = {0, 2000000};
      nanosleep(&ts, nullptr);
    }
  });
  bool ended = jpmd.wait_ended();
  stop = true;
  storm.join();
  ASSERT_TRUE(ended);
  EXPECT_EQ(jpmd.finish(), 9);
  const std::string out = jpmd.output();
  EXPECT_FALSE(shows_crash(out)) << out;
  EXPECT_EQ(count_of(out, "connection attempt #"), 2) << out;
  EXPECT_NE(out.find("executordata arrived"), std::string::npos) << out;
  EXPECT_NE(out.find("ended normally"), std::string::npos) << out;
  agent.stop();
  EXPECT_EQ(agent.reports.load(), 1);
  EXPECT_EQ(agent.closed_by_peer.load(), 2);
  EXPECT_GT(signals.load(), 120);
}

}  // namespace
