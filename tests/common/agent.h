// The peers of the job messenger in tests, one harness for the whole suite:
// the agent program wq_jpagent as a child (its ready line, report lines and
// stop line with its counters), a scripted agent served from threads of the
// test for what the agent program will not do, the frames both sides send,
// and loopback clients. Every wait has a generous deadline.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/process.h"

namespace wqtest {

const std::string kAgentProgram = std::string(WQ_BINARY_DIR) + "/wq_jpagent";
const std::string kJpmdProgram = std::string(WQ_BINARY_DIR) + "/wq_jpmd";

// A protocol header whose length field reads `len`.
inline std::string Header(int len, const char *protocol = "NAT") {
  char h[64];
  snprintf(h, sizeof h, "%.8dWQ8:global001%3.3s%24s", len, protocol, "");
  return std::string(h, 48);
}

// A native frame of one data block with a 1-byte length.
inline std::string BlockFrame(unsigned key, const std::string &data) {
  return Header((int)data.size() + 50) + (char)key + (char)data.size() + data;
}
inline std::string Greeting(unsigned key = 4) { return BlockFrame(key, "JPAGENT"); }
inline std::string Answer() { return BlockFrame(4, "ACK"); }

// A report as the messenger sends it: the name block "JPAKTJ_R", then a
// 0xFF block of a MELD body of `n` bytes (all but its type name zero).
inline std::string ReportFrame(uint32_t n = 200) {
  std::string body = std::string("\x01\x08JPAKTJ_R\xff", 11) + (char)n + (char)(n >> 8) + (char)(n >> 16) +
                     (char)(n >> 24) + "MELD    " + std::string(n - 8, '\0');
  return Header((int)body.size() + 48) + body;
}

// A loopback client of `port` (receive buffer of `rcvbuf` bytes when > 0);
// -1 on failure.
inline int Connect(int port, int rcvbuf = 0) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (rcvbuf > 0) setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  struct sockaddr_in a = {AF_INET, htons((uint16_t)port), {htonl(INADDR_LOOPBACK)}, {}};
  if (s >= 0 && connect(s, (struct sockaddr *)&a, sizeof a) == 0) return s;
  if (s >= 0) close(s);
  return -1;
}

inline bool SendAll(int s, const std::string &bytes) {
  for (size_t off = 0, n; off < bytes.size(); off += n)
    if ((ssize_t)(n = (size_t)send(s, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL)) <= 0) return false;
  return true;
}

// Appends what arrives on `s` to *got until done(*got) holds (1), the peer
// closes (0: end or reset) or `seconds` pass (-1).
inline int Receive(int s, std::string *got, const std::function<bool(const std::string &)> &done,
                   int seconds = kDeadline) {
  for (auto end = Deadline(seconds); !done(*got);) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    struct pollfd p = {s, POLLIN, 0};
    char buf[4096];
    if (left <= 0 || poll(&p, 1, (int)left) <= 0) return -1;
    ssize_t n = recv(s, buf, sizeof buf, 0);
    if (n <= 0) return 0;
    got->append(buf, (size_t)n);
  }
  return 1;
}

// Reads one whole frame, its header's length first (the messenger and the
// agent send nothing behind the frames read here).
inline bool RecvFrame(int s, std::string *frame, int seconds = kDeadline) {
  frame->clear();
  return Receive(s, frame, [](auto &f) { return f.size() >= 48 && f.size() >= (size_t)atoi(f.c_str()); },
                 seconds) == 1;
}
inline bool PeerClosed(int s, int seconds = kDeadline) {
  std::string dropped;
  return Receive(s, &dropped, [&](auto &) { return dropped.clear(), false; }, seconds) == 0;
}

// A scripted agent: a listening loopback socket whose connections are each
// served by a thread of their own running the script, and closed behind it.
class ScriptedAgent {
 public:
  using Script = std::function<void(int fd, ScriptedAgent &self)>;

  explicit ScriptedAgent(Script script) : script_(std::move(script)) {
    struct sockaddr_in a = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t l = sizeof a;
    if (bind(ls_, (struct sockaddr *)&a, sizeof a) == 0 && listen(ls_, 64) == 0 &&
        getsockname(ls_, (struct sockaddr *)&a, &l) == 0)
      port = ntohs(a.sin_port);
    acceptor_ = std::thread([this] {
      for (int fd, one = 1; (fd = accept4(ls_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0 || !stopping_;) {
        if (fd < 0) continue;
        ++accepted;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        threads_.emplace_back([this, fd] { script_(fd, *this), close(fd); });
      }
    });
  }
  ~ScriptedAgent() { Stop(); }

  // Stops accepting and joins every connection's thread; the reports received.
  int Stop() {
    if (acceptor_.joinable()) {
      stopping_ = true;
      shutdown(ls_, SHUT_RDWR);
      acceptor_.join();
      for (auto &t : threads_) t.join();
      close(ls_);
    }
    return reports;
  }

  // Reads the messenger's report frame and counts it; false when none came.
  bool TakeReport(int fd) {
    std::string f;
    return RecvFrame(fd, &f) && f.find("JPAKTJ_R") != std::string::npos && ++reports;
  }

  int port = 0;
  std::atomic<int> accepted{0}, reports{0};

 private:
  Script script_;
  int ls_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::vector<std::thread> threads_;
};

// The agent program as a child.
class Agent : public Child {
 public:
  // Starts it with `options` behind the `wrapper` command (valgrind), with
  // descriptors limited to `nofile` when > 0; its port from the ready line,
  // 0 when it did not come up.
  int Start(std::vector<std::string> options = {}, int nofile = 0, std::vector<std::string> wrapper = {}) {
    options.insert(options.begin(), kAgentProgram);
    options.insert(options.begin(), wrapper.begin(), wrapper.end());
    std::string line;
    if (!Child::Start(options, true, nofile) || !WaitFor("listening on", &line, 4 * kDeadline)) return 0;
    return port = atoi(line.c_str() + line.rfind(" port ") + 6);
  }

  // Runs the messenger program with job number `job` and waits for the
  // agent's report line of it. True when both happened.
  bool Served(int job) {
    RunResult r = Run(kJpmdProgram, {kJpmdProgram, "IPA=127.0.0.1", "PNR=" + std::to_string(port),
                                     "JNR=" + std::to_string(job), "TYP=E", "RET=0", "RETRY=1", "TIMEOUT=30"});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    return r.exit_code == 0 && WaitFor("job=" + std::to_string(job) + " ");
  }

  // Stops it with SIGTERM (`signal`) or waits for it to stop by itself: it
  // must end with status 0 (a crash or a sanitizer's finding ends it
  // otherwise). The report count of its stop line, -1 without one.
  long Stop(bool signal = true) {
    if (signal) Signal(SIGTERM);
    EXPECT_EQ(Finish(4 * kDeadline), 0) << out().substr(0, 4000);
    return Counter("stopped after ");
  }
  // The number behind `name` in the output, -1 when it is not there.
  long Counter(const std::string &name) {
    const std::string o = out();
    return o.find(name) == std::string::npos ? -1 : atol(o.c_str() + o.find(name) + name.size());
  }

  int port = 0;
};

}  // namespace wqtest
