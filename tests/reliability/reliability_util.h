// Helpers of the reliability tests: a child program with its output on a
// pipe, frames as the agent and the messenger send them, a scripted agent
// served from threads of the test, loopback clients and process counters
// read from /proc. Every wait has a generous deadline; nothing sleeps to
// wait for an event.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/net.h"
#include "common/text.h"

namespace rel {

inline constexpr int kDeadlineSeconds = 60;  // generous: the machine is small and busy

const std::string kBin = WQ_BINARY_DIR;
const std::string kAgent = kBin + "/wq_jpagent";
const std::string kJpmd = kBin + "/wq_jpmd";

inline int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// ---- counters ------------------------------------------------------------------

// Entries of a /proc directory (descriptors, threads); -1 when unreadable.
inline int count_dir(const std::string &path) {
  DIR *d = opendir(path.c_str());
  if (!d) return -1;
  int n = 0;
  while (struct dirent *e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}
inline int own_fd_count() { return count_dir("/proc/self/fd") - 1; }  // minus the directory's own
inline int own_thread_count() { return count_dir("/proc/self/task"); }
inline int fd_count(pid_t pid) { return count_dir("/proc/" + std::to_string(pid) + "/fd"); }

// Resident memory of a process in kB (VmRSS), -1 when unreadable.
inline long rss_kb(pid_t pid) {
  FILE *f = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (!f) return -1;
  char line[256];
  long kb = -1;
  while (fgets(line, sizeof line, f))
    if (strncmp(line, "VmRSS:", 6) == 0) kb = atol(line + 6);
  fclose(f);
  return kb;
}

// Whether resident memory says anything about growth: under a sanitizer the
// freed blocks stay in its quarantine, so only the plain build checks it
// (the sanitizer checks for leaks instead).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kMemoryMeasurable = false;
#else
inline constexpr bool kMemoryMeasurable = true;
#endif

// Number of live processes whose parent is `pid`.
inline int child_count(pid_t pid) {
  DIR *d = opendir("/proc");
  if (!d) return -1;
  int n = 0;
  while (struct dirent *e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    FILE *f = fopen(("/proc/" + std::string(e->d_name) + "/stat").c_str(), "r");
    if (!f) continue;
    char buf[512] = {0};
    size_t got = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[got] = '\0';
    const char *rp = strrchr(buf, ')');  // the command name may hold blanks
    int ppid = 0;
    char state = 0;
    if (rp && sscanf(rp + 1, " %c %d", &state, &ppid) == 2 && ppid == pid) ++n;
  }
  closedir(d);
  return n;
}

// Polls `cond` until it holds or the deadline passes.
inline bool eventually(const std::function<bool()> &cond, int seconds = kDeadlineSeconds) {
  int64_t end = now_ms() + seconds * 1000LL;
  for (;;) {
    if (cond()) return true;
    if (now_ms() >= end) return false;
    poll(nullptr, 0, 20);
  }
}

// ---- a child program -------------------------------------------------------------

class Child {
 public:
  Child() = default;
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
    if (fd_ >= 0) close(fd_);
  }

  // Starts args[0]; stdout and stderr share one pipe, read all the time by
  // a thread of the test, so the child never blocks on its output.
  // `nofile` > 0 limits the child's descriptors; `quiet` sends its output
  // to /dev/null instead.
  bool start(const std::vector<std::string> &args, int nofile = 0, bool quiet = false) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return false;
    std::vector<char *> argv;
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      int out = quiet ? open("/dev/null", O_WRONLY) : p[1];
      dup2(out, 1);
      dup2(out, 2);
      close(p[0]);
      close(p[1]);
      if (nofile > 0) {
        struct rlimit rl = {(rlim_t)nofile, (rlim_t)nofile};
        setrlimit(RLIMIT_NOFILE, &rl);
      }
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(p[1]);
    fd_ = p[0];
    reader_ = std::thread([this] { read_all(); });
    return true;
  }
  pid_t pid() const { return pid_; }

  // Waits until a line holding `text` has arrived after the lines already
  // looked at (the line into *found).
  bool wait_for(const std::string &text, std::string *found = nullptr, int seconds = kDeadlineSeconds) {
    std::unique_lock<std::mutex> g(mu_);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
      size_t nl;
      while ((nl = all_.find('\n', cursor_)) != std::string::npos) {
        std::string line = all_.substr(cursor_, nl - cursor_);
        cursor_ = nl + 1;
        if (line.find(text) != std::string::npos) {
          if (found) *found = line;
          return true;
        }
      }
      if (eof_) return false;
      if (cv_.wait_until(g, end) == std::cv_status::timeout) return false;
    }
  }

  // Waits until the child has ended, without reaping it (its pid stays
  // reserved). False when the deadline passed.
  bool wait_ended(int seconds = kDeadlineSeconds) {
    int64_t end = now_ms() + seconds * 1000LL;
    for (;;) {
      siginfo_t si{};
      if (waitid(P_PID, (id_t)pid_, &si, WEXITED | WNOHANG | WNOWAIT) == 0 && si.si_pid == pid_) return true;
      if (now_ms() >= end) return false;
      poll(nullptr, 0, 10);
    }
  }

  // Reaps the child and waits for the rest of its output. Its exit status,
  // -2 when a signal ended it, -1 when it did not end within the deadline.
  int finish(int seconds = kDeadlineSeconds) {
    if (!wait_ended(seconds)) return -1;
    int st = 0;
    if (waitpid(pid_, &st, 0) != pid_) return -1;
    pid_ = -1;
    if (reader_.joinable()) reader_.join();  // a grandchild holding the pipe would show here
    return WIFEXITED(st) ? WEXITSTATUS(st) : -2;
  }

  std::string output() {
    std::lock_guard<std::mutex> g(mu_);
    return all_;
  }

 private:
  void read_all() {
    char tmp[4096];
    for (;;) {
      ssize_t n = read(fd_, tmp, sizeof tmp);
      if (n < 0 && errno == EINTR) continue;
      std::lock_guard<std::mutex> g(mu_);
      if (n <= 0) {
        eof_ = true;
        cv_.notify_all();
        return;
      }
      all_.append(tmp, (size_t)n);
      cv_.notify_all();
    }
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  std::thread reader_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool eof_ = false;
  size_t cursor_ = 0;
  std::string all_;
};

// Text that a crashed or sanitizer-stopped program leaves in its output.
inline bool shows_crash(const std::string &out) {
  for (const char *s : {"AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error:", "terminate called",
                        "Segmentation fault", "stack trace", "Aborted", "#0 0x"})
    if (out.find(s) != std::string::npos) return true;
  return false;
}

// ---- the agent peer -------------------------------------------------------------------

// Starts the agent peer with `options` (descriptors limited to `nofile` when
// > 0) and returns its port, 0 when it did not come up.
inline int start_agent(Child &agent, std::vector<std::string> options, int nofile = 0) {
  options.insert(options.begin(), kAgent);
  if (!agent.start(options, nofile)) return 0;
  std::string line;
  if (!agent.wait_for("listening on", &line)) return 0;
  size_t at = line.rfind(" port ");
  return at == std::string::npos ? 0 : atoi(line.c_str() + at + 6);
}

// Stops the agent peer with SIGTERM: it must end with status 0 and without
// any crash text in its output.
inline void expect_clean_stop(Child &agent) {
  kill(agent.pid(), SIGTERM);
  EXPECT_EQ(agent.finish(), 0);
  EXPECT_FALSE(shows_crash(agent.output())) << agent.output().substr(0, 4000);
}

// ---- frames ------------------------------------------------------------------------

// A protocol header whose length field reads `len`.
inline std::string header(int len, const char *protocol = "NAT") {
  char h[64];
  snprintf(h, sizeof h, "%.8dWQ8:global001%3.3s%8s%16s", len, protocol, "", "");
  return std::string(h, 48);
}

// A native frame of one data block with a 1-byte length: the greeting (key
// 4) or an answer.
inline std::string block_frame(unsigned key, const std::string &data) {
  std::string body(1, (char)key);
  body += (char)data.size();
  body += data;
  return header((int)body.size() + 48) + body;
}

// A report as the messenger sends it: name block "JPAKTJ_R", 0xFF block
// with a MELD body of `n` bytes (all but its type name zero).
inline std::string report_frame(size_t n = 200) {
  std::string meld(n, '\0');
  memcpy(&meld[0], "MELD    ", 8);
  std::string body = std::string("\x01\x08JPAKTJ_R", 10);
  body += '\xff';
  uint32_t len = (uint32_t)meld.size();
  unsigned char l[4] = {(unsigned char)len, (unsigned char)(len >> 8), (unsigned char)(len >> 16),
                        (unsigned char)(len >> 24)};
  body.append((const char *)l, 4);
  body += meld;
  return header((int)body.size() + 48) + body;
}

// ---- sockets -------------------------------------------------------------------------

inline int connect_loopback(int port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_port = htons((uint16_t)port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, (struct sockaddr *)&a, sizeof a) != 0) {
    close(s);
    return -1;
  }
  return s;
}

using ::unused_port;

inline bool send_all(int s, const std::string &bytes) {
  for (size_t off = 0; off < bytes.size();) {
    ssize_t n = send(s, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += (size_t)n;
  }
  return true;
}

// Reads exactly n bytes before the deadline (absolute, ms). False on EOF,
// error or time-out.
inline bool recv_exact(int s, size_t n, std::string *out, int64_t end) {
  out->clear();
  char buf[4096];
  while (out->size() < n) {
    int64_t left = end - now_ms();
    if (left <= 0) return false;
    struct pollfd p = {s, POLLIN, 0};
    if (poll(&p, 1, (int)left) <= 0) return false;
    ssize_t r = recv(s, buf, std::min(sizeof buf, n - out->size()), 0);
    if (r <= 0) return false;
    out->append(buf, (size_t)r);
  }
  return true;
}

// Reads one whole frame (header length first). False on EOF or time-out.
inline bool recv_frame(int s, std::string *frame, int seconds = kDeadlineSeconds) {
  int64_t end = now_ms() + seconds * 1000LL;
  std::string head, rest;
  if (!recv_exact(s, 48, &head, end)) return false;
  int len = atoi(head.substr(0, 8).c_str());
  if (len < 48) return false;
  if (!recv_exact(s, (size_t)len - 48, &rest, end)) return false;
  *frame = head + rest;
  return true;
}

// Waits until the peer has closed (EOF or reset), reading and dropping what
// comes. False when the deadline passed first.
inline bool wait_peer_closed(int s, int seconds = kDeadlineSeconds) {
  int64_t end = now_ms() + seconds * 1000LL;
  char buf[4096];
  for (;;) {
    int64_t left = end - now_ms();
    if (left <= 0) return false;
    struct pollfd p = {s, POLLIN, 0};
    if (poll(&p, 1, (int)left) <= 0) return false;
    if (recv(s, buf, sizeof buf, 0) <= 0) return true;
  }
}

// Closes with a reset instead of an orderly end; `s` becomes -1.
inline void reset_close(int &s) {
  struct linger lg = {1, 0};
  setsockopt(s, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  close(s);
  s = -1;
}

// ---- scripted agent ------------------------------------------------------------------

// A listening loopback socket whose connections are each served by their own
// thread running the script chosen by the connection's number (0, 1, ...).
// Counts connections, reports received and connections the peer closed.
class ScriptedAgent {
 public:
  // A script that closes the connection itself sets `fd` to -1.
  using Script = std::function<void(int &fd, int index, ScriptedAgent &self)>;

  explicit ScriptedAgent(Script script) : script_(std::move(script)) {
    ls_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(ls_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t l = sizeof a;
    if (bind(ls_, (struct sockaddr *)&a, sizeof a) == 0 && listen(ls_, 64) == 0 &&
        getsockname(ls_, (struct sockaddr *)&a, &l) == 0)
      port_ = ntohs(a.sin_port);
    if (pipe2(stop_pipe_, O_CLOEXEC) != 0) stop_pipe_[0] = stop_pipe_[1] = -1;
    acceptor_ = std::thread([this] { accept_loop(); });
  }
  ~ScriptedAgent() { stop(); }

  int port() const { return port_; }

  // Ends accepting and joins every connection thread (each ends within its
  // own deadline); closes every descriptor.
  void stop() {
    if (!acceptor_.joinable()) return;
    if (write(stop_pipe_[1], "x", 1) != 1) {
    }
    acceptor_.join();
    std::vector<std::thread> ts;
    {
      std::lock_guard<std::mutex> g(mu_);
      ts.swap(threads_);
    }
    for (auto &t : ts) t.join();
    close(ls_);
    close(stop_pipe_[0]);
    close(stop_pipe_[1]);
  }

  // Reads the messenger's report frame; counts it. False when none came.
  bool take_report(int fd, int seconds = kDeadlineSeconds) {
    std::string f;
    if (!recv_frame(fd, &f, seconds)) return false;
    if (f.find("JPAKTJ_R") == std::string::npos) return false;
    ++reports;
    return true;
  }
  // Waits for the messenger to close the connection; counts that.
  void expect_close(int fd) {
    if (wait_peer_closed(fd)) ++closed_by_peer;
  }

  std::atomic<int> connections{0};
  std::atomic<int> reports{0};
  std::atomic<int> closed_by_peer{0};

 private:
  void accept_loop() {
    for (;;) {
      struct pollfd p[2] = {{ls_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
      if (poll(p, 2, -1) < 0) continue;
      if (p[1].revents) return;
      int fd = accept4(ls_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      int index = connections++;
      std::lock_guard<std::mutex> g(mu_);
      threads_.emplace_back([this, fd, index] {
        int f = fd;
        script_(f, index, *this);
        if (f >= 0) close(f);
      });
    }
  }

  Script script_;
  int ls_ = -1;
  int port_ = 0;
  int stop_pipe_[2] = {-1, -1};
  std::thread acceptor_;
  std::mutex mu_;
  std::vector<std::thread> threads_;
};

// The greeting and answer of a well-behaved agent.
inline std::string greeting(unsigned key = 4) { return block_frame(key, "JPAGENT"); }
inline std::string answer() { return block_frame(4, "ACK"); }

}  // namespace rel
