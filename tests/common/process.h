// Running programs from tests: a child with its standard output and error
// read through pipes against deadlines (never with sleeps), and a one-call
// run that collects both together.
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

using Clock = std::chrono::steady_clock;
inline Clock::time_point Deadline(int seconds) { return Clock::now() + std::chrono::seconds(seconds); }

// Full path of an executable found in PATH, or "" when there is none.
inline std::string FindInPath(const std::string &name) {
  const char *path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string full = (end > start ? dirs.substr(start, end - start) : ".") + "/" + name;
    if (access(full.c_str(), X_OK) == 0) return full;
    start = end + 1;
  }
  return "";
}

// A started child process. Its standard output is read into out(), its
// standard error into err() (or into out() too when started merged).
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
    CloseFd(out_fd_);
    CloseFd(err_fd_);
  }

  // Starts `path` (argv[0] when empty) with argv. False on failure.
  bool Start(const std::vector<std::string> &argv, bool merged = false, std::string path = "") {
    if (path.empty()) path = argv[0];
    int out[2], err[2] = {-1, -1};
    if (pipe(out) != 0) return false;
    if (!merged && pipe(err) != 0) {
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
      dup2(merged ? out[1] : err[1], 2);
      for (int fd : {out[0], out[1], err[0], err[1]})
        if (fd > 2) close(fd);
      execv(path.c_str(), args.data());
      _exit(127);
    }
    close(out[1]);
    if (!merged) close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
    if (pid_ < 0) {
      CloseFd(out_fd_);
      CloseFd(err_fd_);
      return false;
    }
    return true;
  }

  const std::string &out() const { return out_; }
  const std::string &err() const { return err_; }
  pid_t pid() const { return pid_; }
  void Signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
  }

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
        if (got > 0) (is_out ? out_ : err_).append(buf, static_cast<size_t>(got));
        else if (got == 0 || errno != EINTR) CloseFd(is_out ? out_fd_ : err_fd_);
      }
    }
    return pred();
  }

  // Next whole line of the output not yet taken (without its line end);
  // false at the end of the output or when `seconds` pass first.
  bool ReadLine(std::string *line, int seconds = 60) {
    auto deadline = Deadline(seconds);
    if (!ReadUntil([&] { return out_.find('\n', taken_) != std::string::npos; }, deadline))
      return false;
    size_t nl = out_.find('\n', taken_);
    *line = out_.substr(taken_, nl - taken_);
    taken_ = nl + 1;
    return true;
  }

  // Takes lines until one contains `text`.
  bool WaitFor(const std::string &text, std::string *found = nullptr, int seconds = 60) {
    std::string line;
    while (ReadLine(&line, seconds)) {
      if (line.find(text) != std::string::npos) {
        if (found) *found = line;
        return true;
      }
    }
    return false;
  }

  // Reads both pipes to their end and reaps the child; on the deadline the
  // child is killed. Returns the wait status, or -1 when it was killed.
  int Finish(Clock::time_point deadline) {
    ReadUntil([] { return false; }, deadline);
    if (pid_ <= 0) return -1;
    int st = 0;
    for (;;) {
      pid_t r = waitpid(pid_, &st, out_fd_ < 0 && err_fd_ < 0 ? 0 : WNOHANG);
      if (r == pid_) break;
      if ((r < 0 && errno != EINTR) || Clock::now() >= deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &st, 0);
        pid_ = -1;
        return -1;
      }
    }
    pid_ = -1;
    return st;
  }

  // Exit status after Finish, or -1 when the child did not exit normally.
  int ExitCode(int seconds = 120) {
    int st = Finish(Deadline(seconds));
    return st != -1 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }

 private:
  static void CloseFd(int &fd) {
    if (fd >= 0) close(fd);
    fd = -1;
  }

  pid_t pid_ = -1;
  int out_fd_ = -1, err_fd_ = -1;
  size_t taken_ = 0;
  std::string out_, err_;
};

struct RunResult {
  int exit_code = -1;  // exit status, or -1 when the program did not exit normally
  std::string out;     // standard output and standard error together
};

// Runs `program` with argv (argv[0] included) to its end, killed after a
// generous deadline.
inline RunResult Run(const std::string &program, const std::vector<std::string> &argv,
                     int seconds = 120) {
  RunResult r;
  Child child;
  if (!child.Start(argv, true, program)) return r;
  r.exit_code = child.ExitCode(seconds);
  r.out = child.out();
  return r;
}

}  // namespace wqtest
