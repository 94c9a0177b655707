// Clients that attack the agent peer: garbage, a frame length of 99999999,
// hundreds of connections that never say anything, a thousand that reach the
// idle deadline together, a client that sends and never reads, frames that
// never complete, a descriptor limit that makes accepting fail. Meanwhile the
// agent keeps serving real messengers, its memory stays bounded (by its own
// counters), and it releases every descriptor when the attackers go.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <string>
#include <thread>
#include <vector>

#include "ccm.h"
#include "reliability/reliability_util.h"

using namespace rel;

namespace {

// Runs a real messenger with job number `job` against `port` and waits for
// the agent to print its report. True when both happened.
bool served(Child &agent, int port, int job) {
  Child jpmd;
  if (!jpmd.start({kJpmd, "IPA=127.0.0.1", "PNR=" + std::to_string(port), "JNR=" + std::to_string(job), "TYP=E",
                   "RET=0", "RETRY=1", "TIMEOUT=30"}))
    return false;
  int status = jpmd.finish();
  EXPECT_EQ(status, 0) << jpmd.output();
  return status == 0 && agent.wait_for("job=" + std::to_string(job) + " ");
}

void close_all(std::vector<int> &fds) {
  for (int fd : fds)
    if (fd >= 0) close(fd);
  fds.clear();
}

// The most memory the agent's received messages held, from its stop line;
// 0 when the line is missing.
size_t queue_peak(const std::string &out) {
  size_t at = out.find("receive queue peak ");
  return at == std::string::npos ? 0 : (size_t)atoll(out.c_str() + at + 19);
}

TEST(AgentAttack, ServesMessengersWhileUnderAttack) {
  Child agent;
  int port = start_agent(agent, {});
  ASSERT_GT(port, 0) << agent.output();
  ASSERT_TRUE(served(agent, port, 1));
  const int fds = fd_count(agent.pid());
  ASSERT_GT(fds, 0);

  // Garbage, then gone.
  for (int i = 0; i < 20; ++i) {
    int s = connect_loopback(port);
    ASSERT_GE(s, 0);
    send_all(s, std::string(500, (char)('A' + i)));
    close(s);
  }
  // A frame that announces 99999999 bytes, far above the agent's maximum
  // frame: the agent closes the connection instead of waiting for it.
  std::vector<int> oversize;
  for (int i = 0; i < 20; ++i) {
    int s = connect_loopback(port);
    ASSERT_GE(s, 0);
    send_all(s, header(99999999) + std::string(100, 'q'));
    oversize.push_back(s);
  }
  // Connections that never say anything.
  std::vector<int> held;
  for (int i = 0; i < 400; ++i) {
    int s = connect_loopback(port);
    ASSERT_GE(s, 0);
    held.push_back(s);
  }
  // Real messengers are served meanwhile.
  EXPECT_TRUE(served(agent, port, 2));
  for (int s : oversize) EXPECT_TRUE(wait_peer_closed(s));
  close_all(oversize);

  // Every descriptor goes with its client.
  close_all(held);
  EXPECT_TRUE(eventually([&] { return fd_count(agent.pid()) == fds; })) << fd_count(agent.pid()) << " vs " << fds;
  EXPECT_TRUE(served(agent, port, 3));

  expect_clean_stop(agent);
}

// A client that sends 20,000 reports on one connection and never reads an
// answer. With room for one received message the agent reads it only as fast
// as it handles the reports: the queue's memory stays at one frame beyond
// the limit plus the connection notices, where reading without a limit holds
// every report that has arrived. Every report is handled, and messengers are
// served meanwhile.
TEST(AgentAttack, ClientThatNeverReadsIsHeldAtTheQueueLimit) {
  const size_t message = ccm_msg_memory_for(kCcmNormalSize);
  Child agent;
  int port = start_agent(agent, {"--queue-limit", "1"});
  ASSERT_GT(port, 0) << agent.output();
  ASSERT_TRUE(served(agent, port, 1));

  int greedy = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int small = 2048;
  setsockopt(greedy, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  struct timeval tv = {kDeadlineSeconds, 0};
  setsockopt(greedy, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  {
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(greedy, (struct sockaddr *)&a, sizeof a), 0);
  }
  constexpr int kGreedyReports = 20000;
  std::thread sender([&] {
    std::string batch;
    for (int i = 0; i < 100; ++i) batch += report_frame();
    for (int i = 0; i < kGreedyReports / 100; ++i)
      if (!send_all(greedy, batch)) break;
  });

  EXPECT_TRUE(served(agent, port, 2));
  sender.join();
  EXPECT_TRUE(eventually([&] { return count_of(agent.output(), "report channel=") >= kGreedyReports + 2; }));
  close(greedy);
  EXPECT_TRUE(served(agent, port, 3));
  expect_clean_stop(agent);

  // One report beyond the limit, and at most the accept and close notices of
  // the four connections besides.
  const size_t peak = queue_peak(agent.output());
  EXPECT_GT(peak, 0u) << agent.output().substr(agent.output().size() - 300);
  EXPECT_LE(peak, 9 * message);
}

// Waits until at least `want` of the clients `fds` see the agent's end of
// their connection (the greeting they never read stays in their buffers, so
// only the end itself is asked for). Returns how many did within `seconds`
// (at least `want` unless the time ran out).
size_t wait_closed(const std::vector<int> &fds, size_t want, int seconds) {
  std::vector<struct pollfd> open;
  for (int fd : fds) open.push_back({fd, POLLRDHUP, 0});
  size_t closed = 0;
  const int64_t end = now_ms() + seconds * 1000LL;
  while (closed < want && !open.empty() && now_ms() < end) {
    if (poll(open.data(), open.size(), (int)(end - now_ms())) <= 0) continue;
    for (size_t i = 0; i < open.size();) {
      if (!open[i].revents) {
        ++i;
        continue;
      }
      open[i] = open.back();
      open.pop_back();
      ++closed;
    }
  }
  return closed;
}

// With an idle deadline the agent itself closes connections that stop
// talking: silent ones, and ones whose frame never completes. A thousand of
// them reaching the deadline together are all closed at once, and a
// connection made while they are being closed is greeted at once: no close
// waits for the peer to acknowledge. (Waiting, each close takes at least the
// peer's delayed acknowledgement of 40 ms, 40 s for the thousand; the bound
// below is far under that and far over what closing without waiting takes.)
TEST(AgentAttack, IdleConnectionsAreClosedAtOnceByTheAgent) {
  constexpr size_t kIdleClients = 1000;
  constexpr int kIdleSeconds = 2;
  constexpr int kSweepSeconds = 15;
  struct rlimit rl;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
  rl.rlim_cur = rl.rlim_max;
  setrlimit(RLIMIT_NOFILE, &rl);  // the agent inherits it
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
  if (rl.rlim_cur < kIdleClients + 100)
    GTEST_SKIP() << "needs an open-file limit of " << kIdleClients + 100 << " descriptors; the hard limit is "
                 << rl.rlim_max;

  Child agent;
  int port = start_agent(agent, {"--idle", std::to_string(kIdleSeconds)});
  ASSERT_GT(port, 0) << agent.output();
  ASSERT_TRUE(served(agent, port, 21));
  const int fds = fd_count(agent.pid());
  std::vector<int> held;
  for (size_t i = 0; i < kIdleClients; ++i) {
    int s = connect_loopback(port);
    ASSERT_GE(s, 0) << i;
    if (i % 2) send_all(s, header(500000) + "partial");  // a frame that never completes
    held.push_back(s);
  }
  // The first end seen shows that the agent has begun closing them.
  ASSERT_GE(wait_closed(held, 1, kDeadlineSeconds), 1u);
  int fresh = connect_loopback(port);
  ASSERT_GE(fresh, 0);
  std::string g;
  EXPECT_TRUE(recv_frame(fresh, &g, kSweepSeconds));
  EXPECT_EQ(g, greeting());
  EXPECT_EQ(wait_closed(held, kIdleClients, kIdleSeconds + kSweepSeconds), kIdleClients);
  close(fresh);
  close_all(held);
  EXPECT_TRUE(eventually([&] { return fd_count(agent.pid()) == fds; })) << fd_count(agent.pid()) << " vs " << fds;
  EXPECT_TRUE(served(agent, port, 22));
  expect_clean_stop(agent);
}

// With its descriptors nearly used up the agent cannot accept everybody;
// it survives that, and serves again once the connections are gone.
TEST(AgentAttack, AcceptFailsCleanlyWhenDescriptorsRunOut) {
  Child agent;
  int port = start_agent(agent, {}, 24);
  ASSERT_GT(port, 0) << agent.output();
  std::vector<int> held;
  for (int i = 0; i < 60; ++i) {
    int s = connect_loopback(port);  // the kernel completes it, the agent may not take it
    if (s >= 0) held.push_back(s);
  }
  EXPECT_TRUE(eventually([&] { return fd_count(agent.pid()) >= 24; }));
  close_all(held);
  EXPECT_TRUE(served(agent, port, 11));
  EXPECT_TRUE(served(agent, port, 12));
  expect_clean_stop(agent);
}

}  // namespace
