// Load against one agent peer, in the size CI affords (scripts/soak.sh runs
// the long versions): many messengers at once, and many reports one after
// another. Every report arrives exactly once, and the agent's descriptors
// and memory do not grow with the number of exchanges.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "reliability/reliability_util.h"

using namespace rel;

namespace {

std::vector<std::string> messenger(int port, int job) {
  return {kJpmd, "IPA=127.0.0.1", "PNR=" + std::to_string(port), "JNR=" + std::to_string(job), "TYP=E", "RET=0",
          "RETRY=3", "WAIT=1", "TIMEOUT=60"};
}

// How often each job number shows in the agent's report lines.
std::map<int, int> jobs_reported(const std::string &out) {
  std::map<int, int> seen;
  const std::string key = "kind=job job=";
  for (size_t p = out.find(key); p != std::string::npos; p = out.find(key, p + 1))
    ++seen[atoi(out.c_str() + p + key.size())];
  return seen;
}

bool each_once(const std::map<int, int> &seen, int first, int n) {
  for (int j = first; j < first + n; ++j) {
    auto it = seen.find(j);
    if (it == seen.end() || it->second != 1) {
      ADD_FAILURE() << "job " << j << " reported " << (it == seen.end() ? 0 : it->second) << " times";
      return false;
    }
  }
  return true;
}

TEST(Load, MessengersAtOnceEachReportArrivesOnce) {
  constexpr int kAtOnce = 60;
  Child agent;
  int port = start_agent(agent, {});
  ASSERT_GT(port, 0) << agent.output();
  std::vector<std::unique_ptr<Child>> all;
  for (int i = 1; i <= kAtOnce; ++i) {
    all.push_back(std::make_unique<Child>());
    ASSERT_TRUE(all.back()->start(messenger(port, i)));
  }
  for (auto &m : all) EXPECT_EQ(m->finish(120), 0) << m->output();
  EXPECT_TRUE(eventually([&] { return count_of(agent.output(), "report channel=") >= kAtOnce; }));
  EXPECT_TRUE(each_once(jobs_reported(agent.output()), 1, kAtOnce));
  expect_clean_stop(agent);
}

TEST(Load, ReportsOneAfterAnotherLeaveTheAgentAsItWas) {
  constexpr int kReports = 1000;
  Child agent;
  int port = start_agent(agent, {});
  ASSERT_GT(port, 0) << agent.output();
  const int fds = fd_count(agent.pid());  // an idle agent: its pipes and the listening socket
  long rss = 0;
  for (int i = 1; i <= kReports; ++i) {
    Child m;
    ASSERT_TRUE(m.start(messenger(port, 1000 + i), 0, true));  // as from a job: output not read
    ASSERT_EQ(m.finish(), 0) << m.output();
    if (i == 100) {
      ASSERT_TRUE(agent.wait_for("job=1100 "));
      // Once the last connection is closed the agent is idle again.
      ASSERT_TRUE(eventually([&] { return fd_count(agent.pid()) == fds; })) << fd_count(agent.pid()) << " vs " << fds;
      rss = rss_kb(agent.pid());
    }
  }
  EXPECT_TRUE(eventually([&] { return count_of(agent.output(), "report channel=") >= kReports; }));
  EXPECT_TRUE(each_once(jobs_reported(agent.output()), 1001, kReports));
  EXPECT_TRUE(eventually([&] { return fd_count(agent.pid()) == fds; })) << fd_count(agent.pid()) << " vs " << fds;
  if (kMemoryMeasurable) {
    EXPECT_LE(rss_kb(agent.pid()) - rss, 2048) << "kB grown after the first hundred";
  }
  expect_clean_stop(agent);
}

}  // namespace
