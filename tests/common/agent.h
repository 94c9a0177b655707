// The peers of the job messenger in tests, one harness for the whole suite:
// the agent program wq_jpagent as a child (its ready line, report lines and
// stop line with its counters), a scripted agent served from threads of the
// test for what the agent program will not do, and the frames both sides
// send. Every wait has a generous deadline.
#pragma once

#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/capture.h"
#include "common/data.h"
#include "common/net.h"

namespace wqtest {

const std::string kAgentProgram = std::string(WQ_BINARY_DIR) + "/wq_jpagent";
const std::string kJpmdProgram = std::string(WQ_BINARY_DIR) + "/wq_jpmd";

// A protocol header whose length field reads `len`.
inline std::string Header(int len, const char *protocol = "NAT") {
  char h[64];
  snprintf(h, sizeof h, "%.8dWQ8:global001%3.3s%24s", len, protocol, "");
  return std::string(h, 48);
}

// A frame: the header of the whole length, then `body`.
inline std::string Frame(const std::string &body, const char *protocol = "NAT") {
  return Header((int)body.size() + 48, protocol) + body;
}

// A key block: the key, the length of `data` in `lenbytes` bytes (1, 2 or 4,
// least significant first, or 7 decimal digits), then `data`.
inline std::string Block(unsigned key, const std::string &data, int lenbytes = 1) {
  char digits[16];
  snprintf(digits, sizeof digits, "%.7d", (int)data.size());
  return (char)key + (lenbytes == 7 ? std::string(digits, 7) : LittleEndian(data.size(), lenbytes)) + data;
}

// A native frame of one data block with a 1-byte length.
inline std::string BlockFrame(unsigned key, const std::string &data) { return Frame(Block(key, data)); }
inline std::string Greeting(unsigned key = 4) { return BlockFrame(key, "JPAGENT"); }
inline std::string Answer() { return BlockFrame(4, "ACK"); }

// A report as the messenger sends it: the name block "JPAKTJ_R", then a
// 0xFF block of a MELD body of `n` bytes (all but its type name zero).
inline std::string ReportFrame(uint32_t n = 200) {
  std::string body = std::string("\x01\x08JPAKTJ_R\xff", 11) + (char)n + (char)(n >> 8) + (char)(n >> 16) +
                     (char)(n >> 24) + "MELD    " + std::string(n - 8, '\0');
  return Header((int)body.size() + 48) + body;
}

// A scripted agent: a listening loopback socket whose connections are each
// served by a thread of their own running the script, and closed behind it.
struct ScriptedAgent {
  using Script = std::function<void(int fd, ScriptedAgent &self)>;
  explicit ScriptedAgent(Script s) : script(std::move(s)) {
    if (listen(ls, 64) != 0) port = 0;
    acceptor = std::thread([this] {
      for (int fd, one = 1; (fd = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC)) >= 0 || !stopping;) {
        if (fd < 0) continue;
        ++accepted;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        threads.emplace_back([this, fd] { script(fd, *this), close(fd); });
      }
    });
  }
  ~ScriptedAgent() { Stop(); }

  // Stops accepting and joins every connection's thread; the reports received.
  int Stop() {
    if (acceptor.joinable()) {
      stopping = true;
      shutdown(ls, SHUT_RDWR);
      acceptor.join();
      for (auto &t : threads) t.join();
      close(ls);
    }
    return reports;
  }

  // Reads the messenger's report frame (whole by its header's length; it
  // sends nothing behind it) and counts it; false when none came.
  bool TakeReport(int fd) {
    std::string f;
    return Receive(fd, &f, [](auto &f) { return f.size() >= 48 && f.size() >= (size_t)atoi(f.c_str()); }) == 1 &&
           f.find("JPAKTJ_R") != std::string::npos && ++reports;
  }

  Script script;
  int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), port = BindLoopback(ls);
  std::atomic<int> accepted{0}, reports{0};
  std::atomic<bool> stopping{false};
  std::thread acceptor;
  std::vector<std::thread> threads;
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
