// The messenger and the agent program against peers that misbehave, one row
// a case. The messenger's main runs in this process against the agent
// program (each report kind, and its misbehaving options), a scripted agent
// for what the program will not do, or nobody at all: it ends within its
// bounds with the status of its report kind, sends its report only after a
// proper greeting, and leaves no descriptor or thread behind; the agent shows
// what arrived. Or clients attack the agent program: junk of every kind,
// frames announcing more than it takes, hundreds of silent connections, a
// client that sends and never reads, connections left idle, descriptors run
// out on either side, sixty messengers at once. Around each the agent serves
// real messengers, gives back every descriptor when the attackers go, stops
// cleanly, and its own counters show what it held.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <memory>
#include <sstream>

#include "ccm.h"
#include "ccm_alloc.h"
#include "common/agent.h"
#include "wq_exchange.h"
#include "wq_jpmd.h"
#include "wq_trace.h"

using namespace wqtest;

namespace {

struct Case {
  const char *name;
  std::vector<std::string> agent = {};        // options of the agent program; {"-"}: nobody listens
  ScriptedAgent::Script script = {};          // a scripted agent instead
  std::string words = "";                     // messenger words behind the common ones
  int status = 300, attempts = 1, waits = 0;  // its exit status, connection attempts, pauses between them
  bool greeted = false, abnormal = false;     // the greeting was accepted, the end counts as abnormal
  int reports = 0;                            // reports the agent received
  std::vector<std::string> shown = {};        // texts of the agent's output
  // Instead of the messenger in this process: an attack on the agent program
  // (its descriptors limited to `nofile` when > 0); the connections it leaves
  // open go into `held`, which the agent closes itself when `agent_closes`.
  // Its queue holds at most `peak` received messages at once (0: not checked).
  std::function<void(Agent &, std::vector<int> &held)> attack = {};
  int nofile = 0, peak = 0; bool agent_closes = false;
};

pthread_t g_messenger;  // the thread that runs the messenger

// Sends SIGUSR1 to the messenger every 2 ms, `n` times, or (n = 0) until
// `fd` has something to read or has ended.
void Storm(int fd, int n) {
  for (int i = 0; n == 0 || i < n; ++i)
    if (pthread_kill(g_messenger, SIGUSR1), Readable(fd, 2) && n == 0) return;
}

// Sends `bytes` one byte per send, 1 ms apart, so that they travel one by one.
bool Dribble(int fd, const std::string &bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [fd](char c) { return send(fd, &c, 1, MSG_NOSIGNAL) == 1 && !poll(nullptr, 0, 1); });
}

// Connects `n` clients that send `bytes` (and close at once unless `held`).
void Clients(int port, int n, const std::string &bytes, std::vector<int> *held = nullptr) {
  for (int i = 0, s; i < n; ++i) {
    ASSERT_GE(s = Connect(port), 0) << i;
    SendAll(s, bytes), held ? held->push_back(s) : (void)close(s);
  }
}

const std::string kGarbage(300, '\xff'), kShortReport = std::string("\x01\x08JPAKTJ_R\xff\x0a\x00\x00\x00", 15) + "MELD    03";

const std::vector<Case> kCases = {
    {.name = "agent_job_end", .agent = {"--count", "1"}, .words = "JNR=42 TXT=done MNR=7", .greeted = true, .reports = 1,
     .shown = {"kind=job job=42 status=E ret=300 text=\"done\"", "client=7 version=\"12.2.0+build.2108\" (12.2.0) len=276"}},
    {.name = "agent_job_restart", .words = "JNR=43 TYP=R RET=0", .status = 0, .greeted = true, .reports = 1,
     .shown = {"kind=job job=43 status=R ret=0 text=\"\""}},
    {.name = "agent_output", .words = "JNR=44 TYP=O OUTFILE=/var/log/job.out ULOGIN=Y", .status = 0, .greeted = true, .reports = 1,
     .shown = {"kind=output job=44 status=O login=Y file=\"/var/log/job.out\""}},
    {.name = "agent_output_without_file", .words = "TYP=O", .status = 0, .greeted = true},
    {.name = "agent_variable", .words = "JNR=45 TYP=V NAME=count VALUE=17 VTYPE=N", .status = 0, .greeted = true, .reports = 1,
     .shown = {"kind=variable job=45 status=V name=\"count\" value=\"17\" vtype=\"N\"", "len=1521"}},
    {.name = "agent_json", .agent = {"--json"}, .words = "JNR=9 TYP=V", .status = 0, .greeted = true, .reports = 1,
     .shown = {"\"kind\":\"variable\",\"job\":9,\"status\":\"V\",\"variable\":null"}},
    {.name = "agent_silent", .agent = {"--silent"}, .abnormal = true},
    {.name = "agent_closes_at_once", .agent = {"--close"}, .words = "WAIT=1", .attempts = 2, .waits = 1},
    {.name = "agent_greets_with_another_key", .agent = {"--greet-key", "7"}, .attempts = 2},
    {.name = "agent_never_answers", .agent = {"--no-answer"}, .greeted = true, .reports = 1},
    {.name = "nobody_listens", .agent = {"-"}, .attempts = 2},
    {.name = "nobody_listens_no_pause_after_the_last_attempt", .agent = {"-"}, .words = "RETRY=1 WAIT=120"},
    {.name = "no_attempt", .agent = {"-"}, .words = "RETRY=0", .attempts = 0},
    {.name = "no_attempt_lower_case_type", .agent = {"-"}, .words = "RETRY=0 TYP=e", .status = 0, .attempts = 0},
    // The kernel refuses a connection to the broadcast address at once: no attempt gets as far as a channel.
    {.name = "unreachable_address", .agent = {"-"}, .words = "IPA=255.255.255.255", .attempts = 2},
    {.name = "greets_then_closes", .script = [](int fd, auto &) { SendAll(fd, Greeting()); }, .greeted = true},
    {.name = "dribbles_one_byte_at_a_time", .script = [](int fd, auto &a) {
       Dribble(fd, Greeting()), a.TakeReport(fd) && Dribble(fd, Answer()) && PeerClosed(fd); }, .greeted = true, .reports = 1},
    {.name = "resets_mid_frame", .script = [](int fd, auto &) {  // the close behind the script resets
       struct linger lg = {1, 0};
       SendAll(fd, Greeting().substr(0, 20)), setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg); }, .attempts = 2},
    {.name = "sends_garbage", .script = [](int fd, auto &) { SendAll(fd, kGarbage) && PeerClosed(fd); }, .attempts = 2},
    {.name = "sends_a_second_frame_with_the_greeting", .script = [](int fd, auto &a) {
       SendAll(fd, Greeting() + BlockFrame(7, "unasked")) && a.TakeReport(fd) && PeerClosed(fd); }, .greeted = true, .reports = 1},
    {.name = "answers_with_garbage", .script = [](int fd, auto &a) {
       SendAll(fd, Greeting()) && a.TakeReport(fd) && SendAll(fd, kGarbage) && PeerClosed(fd); }, .greeted = true, .reports = 1},
    // SIGUSR1 again and again while the messenger waits (for the greeting,
    // between attempts, for the answer) changes nothing but timing.
    {.name = "user_signals_all_along", .script = [](int fd, auto &a) {
       const bool first = a.accepted == 1;
       Storm(fd, 20), SendAll(fd, Greeting(first ? 7 : 4));  // the first is refused: it pauses and tries again
       if (first) return Storm(fd, 0);        // ... signalled until the end of the exchange
       if (a.TakeReport(fd)) Storm(fd, 20), SendAll(fd, Answer());
       PeerClosed(fd); }, .words = "WAIT=1 TIMEOUT=30", .attempts = 2, .waits = 1, .greeted = true, .reports = 1},
    {.name = "junk", .attack = [](Agent &a, auto &) {
       // No header; a length below the header; an unknown key; a block longer
       // than the frame; a name block past the end; a negative length; a
       // notice from outside; a report cut short.
       for (const std::string &junk : {std::string(500, 'A'), Header(10), Header(52) + "\x05\x01xy",
                                       Header(60) + "\xff\xff\xff\xff\x7f" + std::string(7, 'z'), Header(55) + "\x01\xf0" + std::string(5, 'n'),
                                       Header(-1, "IPC"), Header(64, "IPC") + std::string("CHANNEL_CLOSE\0\0\0", 16), Header(48 + 25) + kShortReport})
         Clients(a.port, 5, junk);
       EXPECT_TRUE(a.WaitFor("invalid=\"short report\" len=10")); }},
    {.name = "oversize_announce", .attack = [](Agent &a, auto &held) { Clients(a.port, 20, Header(99999999) + "qqq", &held); }, .agent_closes = true},
    {.name = "silent_connections", .attack = [](Agent &a, auto &held) { Clients(a.port, 400, "", &held); }},
    // 20,000 reports on one connection that never reads an answer: the agent
    // with room for one received message reads them only as fast as it
    // handles them, and handles each.
    {.name = "client_that_never_reads", .agent = {"--queue-limit", "1"}, .attack = [](Agent &a, auto &held) {
       held.push_back(Connect(a.port, 2048));
       struct timeval tv = {kDeadline, 0};
       setsockopt(held[0], SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
       for (int i = 0; i < 20000; ++i) ASSERT_TRUE(SendAll(held[0], ReportFrame())) << i;
       for (int i = 0; i < 20000; ++i) ASSERT_TRUE(a.WaitFor("report channel=")) << i; }, .peak = 9},
    // Its descriptors nearly used up, the agent cannot accept everybody; it
    // serves again once the connections are gone.
    {.name = "descriptors_run_out", .attack = [](Agent &a, auto &) {
       std::vector<int> held;
       Clients(a.port, 60, "", &held);  // the kernel completes them, the agent may not take them
       EXPECT_TRUE(Eventually([&] { return FdCount(a.pid()) >= 24; }));
       for (int s : held) close(s); }, .nofile = 24},
    // With an idle deadline the agent itself closes connections that stop
    // talking: silent ones, and ones whose frame never completes.
    {.name = "idle_connections", .agent = {"--idle", "2"}, .attack = [](Agent &a, auto &held) {
       for (int i = 0; i < 500; ++i) Clients(a.port, 1, i % 2 ? Header(500000) + "partial" : "", &held); }, .agent_closes = true},
    // Messengers with few descriptors cannot make their pipes or their socket;
    // each ends all the same with its status, without a crash.
    {.name = "messengers_without_descriptors", .attack = [](Agent &a, auto &) {
       for (int limit : {5, 6, 7, 8, 9, 10}) {
         Child jpmd;
         ASSERT_TRUE(jpmd.Start({kJpmdProgram, "IPA=127.0.0.1", "PNR=" + std::to_string(a.port), "TYP=E", "RET=4",
                                 "RETRY=1", "TIMEOUT=2"}, true, limit));
         EXPECT_EQ(jpmd.Finish(), 4) << limit << jpmd.out();
       } }},
    {.name = "messengers_at_once", .attack = [](Agent &a, auto &) {
       std::vector<std::unique_ptr<Child>> all;
       for (int job = 100; job < 160; ++job)
         (all.emplace_back(new Child))->Start({kJpmdProgram, "IPA=127.0.0.1", "PNR=" + std::to_string(a.port),
                                               "JNR=" + std::to_string(job), "TYP=E", "RET=0", "RETRY=3", "WAIT=1"});
       for (auto &m : all) EXPECT_EQ(m->Finish(), 0) << m->out();
       a.Until([](auto &out, auto &) { return count_of(out, "report channel=") >= 61; });
       for (int job = 100; job < 160; ++job) EXPECT_EQ(count_of(a.out(), " job=" + std::to_string(job) + " "), 1) << job; }},
};

// Runs the messenger's main in this process with the words of `words`; its
// result and what it printed.
int RunMessenger(int port, const std::string &words, std::string *out) {
  std::istringstream in("wq_jpmd TRC=1 IPA=127.0.0.1 PNR=" + std::to_string(port) + " TYP=E RET=300 RETRY=2 WAIT=0 TIMEOUT=2 " + words);
  Argv argv({std::istream_iterator<std::string>(in), {}});
  int status = -1;
  g_messenger = pthread_self();
  *out = CaptureStdout([&] { status = wq_jpmd_main(argv.size(), argv.argv()); });
  trcFlag.store(0);
  return status;
}

// The agent program under attack: it serves a messenger before, during and
// after, and gives back every descriptor when the attackers go.
void Attack(const Case &r, Agent &agent) {
  const int fds = FdCount(agent.pid());  // idle: its pipes and the listening socket
  ASSERT_TRUE(agent.Served(1));
  std::vector<int> held;
  r.attack(agent, held);
  EXPECT_TRUE(agent.Served(2));
  bool closed = true;  // after the first that stays open, none is waited for
  for (int s : held) closed = (closed && (!r.agent_closes || PeerClosed(s))), close(s);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(Eventually([&] { return FdCount(agent.pid()) == fds; })) << FdCount(agent.pid()) << " vs " << fds;
  EXPECT_TRUE(agent.Served(3));
  agent.Stop();
  // One message beyond the limit, and at most the accept and close notices
  // of the connections besides.
  const long peak = agent.Counter("receive queue peak ");
  EXPECT_GT(peak, 0);
  EXPECT_LE((size_t)peak, (r.peak ? r.peak : 1000000) * ccm_msg_memory_for(kCcmNormalSize));
}

TEST(HostileAgent, EveryPeerAndEveryAttackEndWithinTheirBoundsLeavingNothingBehind) {
  for (const Case &r : kCases) {
    SCOPED_TRACE(r.name);
    const int fds = FdCount(), threads [[maybe_unused]] = ThreadCount();  // not compared under ThreadSanitizer
    [&] {
      Agent agent;
      ReservedPort nobody;
      std::unique_ptr<ScriptedAgent> scripted(r.script ? new ScriptedAgent(r.script) : nullptr);
      const bool none = r.agent.size() == 1 && r.agent[0] == "-";
      const int port = scripted ? scripted->port : none ? nobody.port : agent.Start(r.agent, r.nofile);
      ASSERT_GT(port, 0) << agent.out();
      if (r.attack) return Attack(r, agent);
      std::string out;
      EXPECT_EQ(RunMessenger(port, r.words, &out), r.status);
      EXPECT_EQ(std::vector<int>({count_of(out, "connection attempt #"), count_of(out, "before retry connecting"), count_of(out, "executordata arrived"),
                                  count_of(out, r.abnormal ? "ended abnormally" : "ended normally")}), std::vector<int>({r.attempts, r.waits, r.greeted, 1})) << out;
      EXPECT_EQ(scripted ? scripted->Stop() : none ? 0 : agent.Stop(r.agent.empty() || r.agent[0] != "--count"), r.reports);
      for (const std::string &s : r.shown) EXPECT_NE(agent.out().find(s), std::string::npos) << agent.out();
    }();
    EXPECT_EQ(FdCount(), fds);
#ifndef __SANITIZE_THREAD__
    // ThreadSanitizer starts a thread of its own at some point of the run. A
    // joined thread may still be listed while the kernel finishes its exit.
    EXPECT_TRUE(Eventually([&] { return ThreadCount() == threads; })) << ThreadCount() << " vs " << threads;
#endif
  }
}

// Every allocation of the channel manager during one whole exchange fails in
// turn: the messenger still ends with its status and nothing stays open. When
// the n-th allocation did not come during the exchange the countdown still
// runs: every step has had its failure. A report that finds no message buffer
// (the report's own allocation hook) is not sent, and the run ends abnormally.
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
    for (int i = 0; i < n && reached; ++i) { void *p = ccm_malloc(1); reached = p != nullptr, free(p); }
    ccm_alloc_fail_at(0);
    EXPECT_TRUE(Eventually([&] { return FdCount() == fds; }));
  }
  EXPECT_TRUE(n > 3 && n < 500) << n;  // an exchange allocates a context, a channel and messages
  wq_send_msg_alloc = [](ccm_context_t *, ccm_error_t *) -> ccm_msg_t * { return nullptr; };
  EXPECT_EQ(RunMessenger(agent.port, "", &out), 300);
  wq_send_msg_alloc = ccm_msg_alloc;
  EXPECT_EQ(std::vector<int>({count_of(out, "executordata arrived"), count_of(out, "ended abnormally")}), std::vector<int>({1, 1})) << out;
  EXPECT_GE(agent.Stop(), 1);  // the last run of the loop had no failure: its report arrived
}

}  // namespace
