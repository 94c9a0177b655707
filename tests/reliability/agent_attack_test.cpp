// Clients that attack the agent program, and load: junk of every kind, frames
// announcing more than the agent takes, hundreds of silent connections, a
// client that sends and never reads, connections left idle, descriptors run
// out on either side, sixty messengers at once. Around each the agent serves real
// messengers, gives back every descriptor when the attackers go, stops
// cleanly, and its own counters show what it held.
#include <gtest/gtest.h>

#include "ccm.h"
#include "common/agent.h"

using namespace wqtest;

namespace {

struct Attack {
  const char *name;
  std::vector<std::string> options;
  int nofile;                                                // descriptor limit of the agent, 0: none
  std::function<void(Agent &, std::vector<int> &held)> run;  // connections still open go into `held`
  bool agent_closes;                                         // the agent itself closes the held ones
  int peak;  // received messages its queue may hold at most at once (0: not checked)
};

// Connects `n` clients that send `bytes` (and close at once unless `held`).
void Clients(int port, int n, const std::string &bytes, std::vector<int> *held = nullptr) {
  for (int i = 0; i < n; ++i) {
    int s = Connect(port);
    ASSERT_GE(s, 0) << i;
    SendAll(s, bytes);
    if (held) held->push_back(s);
    else close(s);
  }
}

const std::string kShortReport = std::string("\x01\x08JPAKTJ_R\xff\x0a\x00\x00\x00", 15) + "MELD    03";

const std::vector<Attack> kAttacks = {
    {"junk", {}, 0, [](Agent &a, auto &) {
       for (const std::string &junk : {
                std::string(500, 'A'),
                Header(10),                                                   // length below the header
                Header(52) + "\x05\x01xy",                                    // unknown key
                Header(60) + "\xff\xff\xff\xff\x7f" + std::string(7, 'z'),    // block longer than the frame
                Header(55) + "\x01\xf0" + std::string(5, 'n'),                // name block past the end
                Header(-1, "IPC"),
                Header(64, "IPC") + std::string("CHANNEL_CLOSE\0\0\0", 16),  // a notice from outside
                Header(48 + 25) + kShortReport})                              // a report cut short
         Clients(a.port, 5, junk);
       EXPECT_TRUE(a.WaitFor("invalid=\"short report\" len=10"));
     }, false, 0},
    {"oversize_announce", {}, 0, [](Agent &a, auto &held) { Clients(a.port, 20, Header(99999999) + "qqq", &held); },
     true, 0},
    {"silent_connections", {}, 0, [](Agent &a, auto &held) { Clients(a.port, 400, "", &held); }, false, 0},
    // 20,000 reports on one connection that never reads an answer: the agent
    // with room for one received message reads them only as fast as it
    // handles them, and handles each.
    {"client_that_never_reads", {"--queue-limit", "1"}, 0, [](Agent &a, auto &held) {
       held.push_back(Connect(a.port, 2048));
       struct timeval tv = {kDeadline, 0};
       setsockopt(held[0], SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
       std::string batch;
       for (int i = 0; i < 100; ++i) batch += ReportFrame();
       for (int i = 0; i < 200; ++i) ASSERT_TRUE(SendAll(held[0], batch));
       for (int i = 0; i < 20000; ++i) ASSERT_TRUE(a.WaitFor("report channel=")) << i;
     }, false, 9},
    // Its descriptors nearly used up, the agent cannot accept everybody; it
    // serves again once the connections are gone.
    {"descriptors_run_out", {}, 24, [](Agent &a, auto &) {
       std::vector<int> held;
       Clients(a.port, 60, "", &held);  // the kernel completes them, the agent may not take them
       EXPECT_TRUE(Eventually([&] { return FdCount(a.pid()) >= 24; }));
       for (int s : held) close(s);
     }, false, 0},
    // With an idle deadline the agent itself closes connections that stop
    // talking: silent ones, and ones whose frame never completes.
    {"idle_connections", {"--idle", "2"}, 0, [](Agent &a, auto &held) {
       for (int i = 0; i < 500; ++i) Clients(a.port, 1, i % 2 ? Header(500000) + "partial" : "", &held);
     }, true, 0},
    // Messengers with few descriptors cannot make their pipes or their socket;
    // each ends all the same with its status, without a crash.
    {"messengers_without_descriptors", {}, 0, [](Agent &a, auto &) {
       for (int limit : {5, 6, 7, 8, 9, 10}) {
         Child jpmd;
         ASSERT_TRUE(jpmd.Start({kJpmdProgram, "IPA=127.0.0.1", "PNR=" + std::to_string(a.port), "TYP=E", "RET=4",
                                 "RETRY=1", "TIMEOUT=2"}, true, limit));
         EXPECT_EQ(jpmd.Finish(), 4) << limit << jpmd.out();
       }
     }, false, 0},
    {"messengers_at_once", {}, 0, [](Agent &a, auto &) {
       std::vector<std::unique_ptr<Child>> all;
       for (int job = 100; job < 160; ++job)
         (all.emplace_back(new Child))->Start({kJpmdProgram, "IPA=127.0.0.1", "PNR=" + std::to_string(a.port),
                                               "JNR=" + std::to_string(job), "TYP=E", "RET=0", "RETRY=3", "WAIT=1"});
       for (auto &m : all) EXPECT_EQ(m->Finish(), 0) << m->out();
       a.Until([](auto &out, auto &) { return count_of(out, "report channel=") >= 61; });
       for (int job = 100; job < 160; ++job) EXPECT_EQ(count_of(a.out(), " job=" + std::to_string(job) + " "), 1) << job;
     }, false, 0},
};

void Endure(const Attack &r) {
  SCOPED_TRACE(r.name);
  Agent agent;
  ASSERT_GT(agent.Start(r.options, r.nofile), 0) << agent.out();
  const int fds = FdCount(agent.pid());  // idle: its pipes and the listening socket
  ASSERT_TRUE(agent.Served(1));
  std::vector<int> held;
  r.run(agent, held);
  EXPECT_TRUE(agent.Served(2));  // while the attackers are still there
  bool closed = true;  // after the first that stays open, none is waited for
  for (int s : held) closed = (closed && (!r.agent_closes || PeerClosed(s))), close(s);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(Eventually([&] { return FdCount(agent.pid()) == fds; })) << FdCount(agent.pid()) << " vs " << fds;
  EXPECT_TRUE(agent.Served(3));
  agent.Stop();
  const long peak = agent.Counter("receive queue peak ");
  EXPECT_GT(peak, 0);
  // One message beyond the limit, and at most the accept and close notices
  // of the connections besides.
  EXPECT_LE((size_t)peak, (r.peak ? r.peak : 1000000) * ccm_msg_memory_for(kCcmNormalSize));
}

TEST(AgentAttack, ServesMessengersThroughEveryAttack) {
  for (const Attack &r : kAttacks) Endure(r);
}

}  // namespace
