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
#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace wqtest {

// The one deadline of every wait in the suite, in seconds: generous, because
// the machine is small and busy. A wait that reaches it is a failure.
inline constexpr int kDeadline = 60;

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

// An argv array of `words` for a main function or exec: argv()[size()] is
// null; the texts are the object's own, valid (and writable) as long as it.
class Argv {
 public:
  explicit Argv(std::vector<std::string> words) : words_(std::move(words)) {
    for (std::string &w : words_) ptrs_.push_back(w.data());
    ptrs_.push_back(nullptr);
  }
  Argv(const Argv &) = delete;
  char **argv() { return ptrs_.data(); }
  int size() const { return (int)words_.size(); }

 private:
  std::vector<std::string> words_;
  std::vector<char *> ptrs_;
};

inline bool FdIsOpen(int fd) { return fd >= 0 && fcntl(fd, F_GETFD) != -1; }

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
    Argv args(argv);
    if ((pid_ = fork()) == 0) {
      struct rlimit rl = {(rlim_t)nofile, (rlim_t)nofile};
      dup2(open("/dev/null", O_RDONLY), 0), dup2(out[1], 1), dup2(merged ? out[1] : err[1], 2);
      if (nofile > 0) setrlimit(RLIMIT_NOFILE, &rl);
      execvp(path.empty() ? args.argv()[0] : path.c_str(), args.argv());
      _exit(127);
    }
    close(out[1]), close(err[1]);
    // Merged, the error pipe ends at once: it is closed here, not by a reader
    // at some later moment, so that descriptor counts taken now hold.
    ended_ = merged ? 1 : 0;
    if (merged) close(err[0]);
    readers_[0] = std::thread([this, fd = out[0]] { Read(fd, out_); });
    if (!merged) readers_[1] = std::thread([this, fd = err[0]] { Read(fd, err_); });
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
    cv_.wait_until(g, Deadline(seconds), [&] { return (met = pred(out_, err_)) || ended_ == 2; });
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
      if (!cv_.wait_until(g, Deadline(seconds), [&] { return ended_ == 2; })) kill(pid_, SIGKILL);
      g.unlock();
      waitpid(pid_, &st, 0);
      pid_ = -1;
    }
    for (std::thread &t : readers_)
      if (t.joinable()) t.join();
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }

 private:
  // Appends what arrives on `fd` to `to` until the pipe ends; one thread per pipe.
  void Read(int fd, std::string &to) {
    char buf[8192];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR);) {
      std::lock_guard<std::mutex> g(mu_);
      to.append(buf, (size_t)std::max<ssize_t>(n, 0));
      cv_.notify_all();
    }
    close(fd);
    std::lock_guard<std::mutex> g(mu_);
    ++ended_;
    cv_.notify_all();
  }

  pid_t pid_ = -1;
  std::thread readers_[2];
  std::mutex mu_;
  std::condition_variable cv_;
  int ended_ = 0;  // pipes that have ended
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
