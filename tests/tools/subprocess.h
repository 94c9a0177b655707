// Running helper programs from tests: a child with its standard output and
// error read through pipes, waited for with a deadline, never with sleeps.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace wqtest {

// Full path of an executable found in PATH, or "" when there is none.
inline std::string FindInPath(const std::string &name) {
  const char *path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string full = (end > start ? dirs.substr(start, end - start) : std::string(".")) +
                       "/" + name;
    if (access(full.c_str(), X_OK) == 0) return full;
    start = end + 1;
  }
  return "";
}

// A started child process with pipes on its standard output and error.
class Child {
 public:
  using Clock = std::chrono::steady_clock;

  Child() = default;
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      int st;
      waitpid(pid_, &st, 0);
    }
    CloseFd(out_fd_);
    CloseFd(err_fd_);
  }

  // Starts argv[0] (a path) with the given arguments. False on failure.
  bool Start(const std::vector<std::string> &argv) {
    int out[2], err[2];
    if (pipe(out) != 0) return false;
    if (pipe(err) != 0) {
      close(out[0]);
      close(out[1]);
      return false;
    }
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      int devnull = open("/dev/null", O_RDONLY);
      if (devnull >= 0) dup2(devnull, 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      close(out[0]);
      close(err[0]);
      execv(args[0], args.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (pid_ < 0) {
      close(out[0]);
      close(err[0]);
      return false;
    }
    out_fd_ = out[0];
    err_fd_ = err[0];
    return true;
  }

  const std::string &out() const { return out_; }
  const std::string &err() const { return err_; }
  pid_t pid() const { return pid_; }

  // Reads whatever arrives until pred() holds, both pipes are at their end,
  // or the deadline passes. Returns pred() at the end.
  template <class Pred>
  bool ReadUntil(Pred pred, Clock::time_point deadline) {
    while (!pred() && (out_fd_ >= 0 || err_fd_ >= 0)) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      struct pollfd fds[2];
      int n = 0;
      if (out_fd_ >= 0) fds[n++] = {out_fd_, POLLIN, 0};
      if (err_fd_ >= 0) fds[n++] = {err_fd_, POLLIN, 0};
      int r = poll(fds, n, static_cast<int>(left.count()));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      for (int i = 0; i < n; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        bool is_out = fds[i].fd == out_fd_;
        char buf[8192];
        ssize_t got = read(fds[i].fd, buf, sizeof buf);
        if (got > 0) {
          (is_out ? out_ : err_).append(buf, static_cast<size_t>(got));
        } else if (got == 0 || errno != EINTR) {
          CloseFd(is_out ? out_fd_ : err_fd_);
        }
      }
    }
    return pred();
  }

  // Reads both pipes to their end and reaps the child; on the deadline the
  // child is killed. Returns the wait status, or -1 when it was killed.
  int Finish(Clock::time_point deadline) {
    ReadUntil([] { return false; }, deadline);
    if (pid_ <= 0) return -1;
    int st = 0;
    for (;;) {
      pid_t r = waitpid(pid_, &st, WNOHANG);
      if (r == pid_) break;
      if (r < 0 && errno != EINTR) return -1;
      if (Clock::now() >= deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &st, 0);
        pid_ = -1;
        return -1;
      }
      // The pipes are closed: the child is ending; wait for it blocking.
      if (out_fd_ < 0 && err_fd_ < 0) {
        if (waitpid(pid_, &st, 0) == pid_) break;
      }
    }
    pid_ = -1;
    return st;
  }

  void Signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
  }

 private:
  static void CloseFd(int &fd) {
    if (fd >= 0) close(fd);
    fd = -1;
  }

  pid_t pid_ = -1;
  int out_fd_ = -1, err_fd_ = -1;
  std::string out_, err_;
};

}  // namespace wqtest
