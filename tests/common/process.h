// Running programs from tests: a child whose standard output and error a
// thread of the test reads all the time (so the child never blocks on a full
// pipe), waits on that output with generous deadlines (never sleeps), and
// descriptor and thread counts read from /proc.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace wqtest {

inline constexpr int kDeadline = 60;  // seconds; generous: the machine is small and busy

using Clock = std::chrono::steady_clock;
inline Clock::time_point Deadline(int seconds) { return Clock::now() + std::chrono::seconds(seconds); }

// Checks `cond` every 20 ms until it holds or `seconds` pass; its last value.
inline bool Eventually(const std::function<bool()> &cond, int seconds = kDeadline) {
  for (auto end = Deadline(seconds); !cond(); poll(nullptr, 0, 20))
    if (Clock::now() >= end) return cond();
  return true;
}

// Entries of a /proc directory: open descriptors of `pid` (0: of this
// process, the directory's own not counted), threads of this process.
inline int CountDir(const std::string &path) {
  std::error_code error;
  const int n = (int)std::distance(std::filesystem::directory_iterator(path, error), {});
  return error ? -1 : n;
}
inline int FdCount(pid_t pid = 0) { return pid ? CountDir("/proc/" + std::to_string(pid) + "/fd") : CountDir("/proc/self/fd") - 1; }
inline int ThreadCount() { return CountDir("/proc/self/task"); }

// A started child program.
class Child {
 public:
  ~Child() { Finish(0); }

  // Starts `path` (argv[0] when empty, looked up in PATH) with argv; standard input is
  // /dev/null. `merged`: standard error goes to out() too. `nofile` > 0
  // limits the child's descriptors.
  bool Start(const std::vector<std::string> &argv, bool merged = true, int nofile = 0, std::string path = "") {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return false;
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    if ((pid_ = fork()) == 0) {
      struct rlimit rl = {(rlim_t)nofile, (rlim_t)nofile};
      dup2(open("/dev/null", O_RDONLY), 0), dup2(out[1], 1), dup2(merged ? out[1] : err[1], 2);
      if (nofile > 0) setrlimit(RLIMIT_NOFILE, &rl);
      execvp(path.empty() ? args[0] : path.c_str(), args.data());
      _exit(127);
    }
    close(out[1]), close(err[1]);
    reader_ = std::thread([this, o = out[0], e = err[0]] { Read(o, e); });
    return pid_ > 0;
  }

  pid_t pid() const { return pid_; }
  void Signal(int sig) { pid_ > 0 && kill(pid_, sig); }
  std::string out() { std::lock_guard<std::mutex> g(mu_); return out_; }
  std::string err() { std::lock_guard<std::mutex> g(mu_); return err_; }

  // Waits until pred(out, err) holds, both pipes end, or `seconds` pass;
  // pred's last value.
  bool Until(const std::function<bool(const std::string &, const std::string &)> &pred, int seconds = kDeadline) {
    std::unique_lock<std::mutex> g(mu_);
    bool met = false;
    cv_.wait_until(g, Deadline(seconds), [&] { return (met = pred(out_, err_)) || ended_; });
    return met;
  }

  // Waits for the next line of out() (after those taken before) that holds
  // `text`; the line into *found.
  bool WaitFor(const std::string &text, std::string *found = nullptr, int seconds = kDeadline) {
    return Until([&](const std::string &out, const std::string &) {
      for (size_t nl, from; (nl = out.find('\n', from = taken_)) != std::string::npos;) {
        const std::string line = out.substr(from, (taken_ = nl + 1) - 1 - from);
        if (line.find(text) != std::string::npos) return (found ? *found = line : line), true;
      }
      return false;
    }, seconds);
  }

  // Waits up to `seconds` for the child's end (killing it then) and for the
  // rest of its output. Its exit status; -1 when it did not exit by itself.
  int Finish(int seconds = 2 * kDeadline) {
    int st = -1;
    if (pid_ > 0) {
      std::unique_lock<std::mutex> g(mu_);
      if (!cv_.wait_until(g, Deadline(seconds), [&] { return ended_; })) kill(pid_, SIGKILL);
      g.unlock();
      waitpid(pid_, &st, 0);
      pid_ = -1;
    }
    if (reader_.joinable()) reader_.join();
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }

 private:
  void Read(int out, int err) {
    struct pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
      if (poll(fds, 2, -1) < 0) continue;
      for (auto &p : fds) {
        char buf[8192];
        ssize_t n = p.fd >= 0 && p.revents ? read(p.fd, buf, sizeof buf) : -2;
        std::lock_guard<std::mutex> g(mu_);
        if (n > 0) (p.fd == out ? out_ : err_).append(buf, (size_t)n);
        if (n == 0 || (n == -1 && errno != EINTR)) close(std::exchange(p.fd, -1));
        cv_.notify_all();
      }
    }
    std::lock_guard<std::mutex> g(mu_);
    ended_ = true;
    cv_.notify_all();
  }

  pid_t pid_ = -1;
  std::thread reader_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool ended_ = false;
  size_t taken_ = 0;
  std::string out_, err_;
};

struct RunResult {
  int exit_code = -1;  // exit status, or -1 when the program did not exit by itself
  std::string out;     // standard output and standard error together
};

// Runs `program` with argv (argv[0] included) to its end.
inline RunResult Run(const std::string &program, const std::vector<std::string> &argv, int seconds = 120) {
  Child child;
  if (!child.Start(argv, true, 0, program)) return {};
  int status = child.Finish(seconds);
  return {status, child.out()};
}

// True when the command `name` is found in PATH.
inline bool Installed(const std::string &name) { return Run("/bin/sh", {"sh", "-c", "command -v " + name}).exit_code == 0; }

}  // namespace wqtest
