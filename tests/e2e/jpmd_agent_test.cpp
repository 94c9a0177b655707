// End to end: the real job messenger build/wq_jpmd against the real agent
// peer build/wq_jpagent on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "child_process.h"
#include "common/net.h"
#include "common/text.h"

namespace {

const std::string kBin = WQ_BINARY_DIR;
const std::string kAgent = kBin + "/wq_jpagent";
const std::string kJpmd = kBin + "/wq_jpmd";

// Starts the agent on a free loopback port and returns that port (0 when it
// did not come up).
int start_agent(ChildProcess &agent, std::vector<std::string> options) {
  options.insert(options.begin(), kAgent);
  if (!agent.start(options)) return 0;
  std::string line;
  if (!agent.wait_for("listening on", &line)) return 0;
  size_t at = line.rfind(" port ");
  return at == std::string::npos ? 0 : atoi(line.c_str() + at + 6);
}

// Runs the messenger against `port` with the given words; returns its exit
// status and leaves its output in *out.
int run_jpmd(int port, std::vector<std::string> words, std::string *out) {
  std::vector<std::string> args{kJpmd, "IPA=127.0.0.1", "PNR=" + std::to_string(port)};
  args.insert(args.end(), words.begin(), words.end());
  ChildProcess jpmd;
  if (!jpmd.start(args)) return -1;
  int status = jpmd.finish();
  *out = jpmd.output();
  return status;
}

// A protocol header whose length field reads `len`.
std::string header(int len, const char *protocol) {
  char h[64];
  snprintf(h, sizeof h, "%.8dWQ8:global001%3.3s%8s%16s", len, protocol, "", "");
  return std::string(h, 48);
}


TEST(JpmdAgent, EachReportKindArrivesAndIsAnswered) {
  ChildProcess agent;
  int port = start_agent(agent, {"--count", "4"});
  ASSERT_GT(port, 0) << agent.output();
  std::string out, line;

  // End report: the exit status is the return code modulo 256.
  EXPECT_EQ(run_jpmd(port, {"JNR=42", "TYP=E", "RET=300", "TXT=all done", "MNR=7", "WAIT=0"}, &out), 44) << out;
  ASSERT_TRUE(agent.wait_for("report channel=", &line)) << agent.output();
  EXPECT_NE(line.find("kind=job job=42 status=E ret=300 text=\"all done\""), std::string::npos) << line;
  EXPECT_NE(line.find("client=7 version=\"12.2.0+build.2108\" (12.2.0) len=276"), std::string::npos) << line;

  EXPECT_EQ(run_jpmd(port, {"JNR=43", "TYP=R", "WAIT=0"}, &out), 0) << out;
  ASSERT_TRUE(agent.wait_for("report channel=", &line));
  EXPECT_NE(line.find("kind=job job=43 status=R ret=0 text=\"\""), std::string::npos) << line;

  EXPECT_EQ(run_jpmd(port, {"JNR=44", "TYP=O", "OUTFILE=/var/log/job.out", "ULOGIN=Y", "WAIT=0"}, &out), 0) << out;
  ASSERT_TRUE(agent.wait_for("report channel=", &line));
  EXPECT_NE(line.find("kind=output job=44 status=O login=Y file=\"/var/log/job.out\""), std::string::npos) << line;

  EXPECT_EQ(run_jpmd(port, {"JNR=45", "TYP=V", "NAME=count", "VALUE=17", "VTYPE=N", "WAIT=0"}, &out), 0) << out;
  ASSERT_TRUE(agent.wait_for("report channel=", &line));
  EXPECT_NE(line.find("kind=variable job=45 status=V name=\"count\" value=\"17\" vtype=\"N\""), std::string::npos)
      << line;
  EXPECT_NE(line.find("len=1521"), std::string::npos) << line;

  // The agent stops by itself after the fourth report.
  EXPECT_EQ(agent.finish(), 0);
  EXPECT_NE(agent.output().find("stopped after 4 reports"), std::string::npos) << agent.output();
}

TEST(JpmdAgent, JsonLinesAndStopBySignal) {
  ChildProcess agent;
  int port = start_agent(agent, {"--json"});
  ASSERT_GT(port, 0);
  std::string out, line;
  EXPECT_EQ(run_jpmd(port, {"JNR=9", "TYP=V", "WAIT=0"}, &out), 0) << out;
  ASSERT_TRUE(agent.wait_for("{\"channel\":", &line));
  EXPECT_NE(line.find("\"kind\":\"variable\",\"job\":9,\"status\":\"V\",\"variable\":null"), std::string::npos)
      << line;
  agent.signal(SIGTERM);
  EXPECT_EQ(agent.finish(), 0);
}

TEST(JpmdAgent, SilentAgentEndsAfterOneTimeoutWithoutRetry) {
  ChildProcess agent;
  int port = start_agent(agent, {"--silent"});
  ASSERT_GT(port, 0);
  std::string out;
  EXPECT_EQ(run_jpmd(port, {"TYP=E", "RET=5", "RETRY=3", "WAIT=0", "TIMEOUT=1", "TRC=1"}, &out), 5) << out;
  EXPECT_EQ(count_of(out, "connection attempt #"), 1) << out;
  EXPECT_NE(out.find("ended abnormally"), std::string::npos) << out;
  EXPECT_EQ(out.find("executordata arrived"), std::string::npos) << out;
}

TEST(JpmdAgent, GreetingWithAnotherKeyIsRetriedAndNoReportIsSent) {
  ChildProcess agent;
  int port = start_agent(agent, {"--greet-key", "7"});
  ASSERT_GT(port, 0);
  std::string out;
  EXPECT_EQ(run_jpmd(port, {"TYP=E", "RET=1", "RETRY=2", "WAIT=0", "TIMEOUT=30", "TRC=1"}, &out), 1) << out;
  EXPECT_EQ(count_of(out, "connection attempt #"), 2) << out;
  EXPECT_EQ(count_of(out, "invalid answer"), 2) << out;
  EXPECT_NE(out.find("ended normally"), std::string::npos) << out;
  agent.signal(SIGTERM);
  EXPECT_EQ(agent.finish(), 0);
  EXPECT_EQ(agent.output().find("report channel="), std::string::npos) << agent.output();
}

TEST(JpmdAgent, NobodyListeningEndsAtOnceWithOneAttempt) {
  int port = unused_port();
  ASSERT_GT(port, 0);
  std::string out;
  EXPECT_EQ(run_jpmd(port, {"TYP=E", "RET=3", "RETRY=1", "TIMEOUT=30", "TRC=1"}, &out), 3) << out;
  EXPECT_EQ(count_of(out, "connection attempt #"), 1) << out;
  EXPECT_EQ(out.find("wait 120 seconds"), std::string::npos) << out;
  EXPECT_NE(out.find("ended normally"), std::string::npos) << out;
}

TEST(JpmdAgent, AgentThatClosesAfterAcceptingIsRetried) {
  ChildProcess agent;
  int port = start_agent(agent, {"--close"});
  ASSERT_GT(port, 0);
  std::string out;
  EXPECT_EQ(run_jpmd(port, {"TYP=R", "RETRY=2", "WAIT=0", "TIMEOUT=30", "TRC=1"}, &out), 0) << out;
  EXPECT_EQ(count_of(out, "connection attempt #"), 2) << out;
  EXPECT_EQ(count_of(out, "invalid answer"), 2) << out;
  EXPECT_EQ(out.find("executordata arrived"), std::string::npos) << out;
}

TEST(JpmdAgent, MissingAnswerDoesNotChangeTheOutcome) {
  ChildProcess agent;
  int port = start_agent(agent, {"--no-answer"});
  ASSERT_GT(port, 0);
  std::string out, line;
  EXPECT_EQ(run_jpmd(port, {"JNR=8", "TYP=E", "RET=2", "WAIT=0", "TIMEOUT=3", "TRC=1"}, &out), 2) << out;
  EXPECT_NE(out.find("executordata arrived"), std::string::npos) << out;
  EXPECT_NE(out.find("ended normally"), std::string::npos) << out;
  ASSERT_TRUE(agent.wait_for("report channel=", &line));
  EXPECT_NE(line.find("job=8 status=E ret=2"), std::string::npos) << line;
}

// Garbage on a connection must not take the agent down: afterwards it still
// serves a real messenger.
TEST(JpmdAgent, AgentSurvivesHostilePeers) {
  ChildProcess agent;
  int port = start_agent(agent, {"--count", "2"});
  ASSERT_GT(port, 0);
  const std::string garbled_report = std::string("\x01\x08JPAKTJ_R\xff\x0a\x00\x00\x00", 15) + "MELD    03";
  const std::vector<std::string> junk = {
      std::string(100, '\xff'),
      header(10, "NAT"),                                              // length below the header
      header(52, "NAT") + "\x05\x01xy",                               // unknown key
      header(60, "NAT") + "\xff\xff\xff\xff\x7f" + std::string(7, 'z'),  // block longer than the frame
      header(55, "NAT") + "\x01\xf0" + std::string(5, 'n'),            // name block past the end
      header(-1, "IPC"),
      header(64, "IPC") + std::string("CHANNEL_CLOSE\0\0\0", 16),     // a notice from outside
      header(99999999, "NAT") + std::string(200, 'q'),                 // frame that never completes
      header(48 + 25, "NAT") + garbled_report,                         // a report cut short
  };
  for (const auto &bytes : junk) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(s, (struct sockaddr *)&a, sizeof a), 0);
    ASSERT_EQ(send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL), (ssize_t)bytes.size());
    shutdown(s, SHUT_WR);
    close(s);
  }
  std::string out, line;
  ASSERT_TRUE(agent.wait_for("report channel=", &line)) << agent.output();
  EXPECT_NE(line.find("invalid=\"short report\" len=10"), std::string::npos) << line;
  EXPECT_EQ(run_jpmd(port, {"JNR=1", "TYP=E", "RET=0", "WAIT=0"}, &out), 0) << out;
  ASSERT_TRUE(agent.wait_for("report channel=", &line)) << agent.output();
  EXPECT_NE(line.find("job=1 status=E"), std::string::npos) << line;
  EXPECT_EQ(agent.finish(), 0) << agent.output();
}

}  // namespace
