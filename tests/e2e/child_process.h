// A child program with its standard output (and error) on a pipe, read line
// by line against a deadline. Used by the end-to-end tests.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;
  ~ChildProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }

  // Starts `args[0]` with the arguments; stdout and stderr share one pipe.
  bool start(const std::vector<std::string> &args) {
    int p[2];
    if (pipe(p) != 0) return false;
    std::vector<char *> argv;
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      dup2(p[1], 1);
      dup2(p[1], 2);
      close(p[0]);
      close(p[1]);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(p[1]);
    fd_ = p[0];
    return true;
  }

  // Next whole line (without line end), or false at end of output or when
  // `seconds` pass first.
  bool read_line(std::string *line, int seconds = 60) {
    time_t deadline = time(nullptr) + seconds;
    for (;;) {
      size_t nl = buf_.find('\n');
      if (nl != std::string::npos) {
        *line = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        return true;
      }
      if (eof_ || !fill(deadline)) return false;
    }
  }

  // Reads until a line containing `text` arrives; every line read is kept.
  bool wait_for(const std::string &text, std::string *found = nullptr, int seconds = 60) {
    std::string line;
    while (read_line(&line, seconds)) {
      if (line.find(text) != std::string::npos) {
        if (found) *found = line;
        return true;
      }
    }
    return false;
  }

  // Reads all output to its end, then reaps the child. Returns its exit
  // status, or -1 when it did not end within `seconds` or ended by a signal.
  int finish(int seconds = 120) {
    time_t deadline = time(nullptr) + seconds;
    while (!eof_ && fill(deadline)) {
    }
    if (!eof_) return -1;
    int st = 0;
    if (waitpid(pid_, &st, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }

  void signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
  }
  const std::string &output() const { return all_; }

 private:
  bool fill(time_t deadline) {
    time_t now = time(nullptr);
    if (now >= deadline) return false;
    struct pollfd pfd {fd_, POLLIN, 0};
    int r = poll(&pfd, 1, (int)(deadline - now) * 1000);
    if (r <= 0) return false;
    char tmp[4096];
    ssize_t n = read(fd_, tmp, sizeof tmp);
    if (n <= 0) {
      eof_ = true;
      return true;
    }
    buf_.append(tmp, (size_t)n);
    all_.append(tmp, (size_t)n);
    return true;
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  bool eof_ = false;
  std::string buf_;
  std::string all_;
};
