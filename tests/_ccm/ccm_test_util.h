// Helpers shared by the channel manager tests: a log recorder, an open
// descriptor count and deadline-bounded reads.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "wq_trace.h"

namespace ccmtest {

// Records every __log call while installed.
class LogRecorder {
 public:
  LogRecorder() {
    instance() = this;
    __log_set_logger(&LogRecorder::logger);
  }
  ~LogRecorder() {
    __log_set_logger(messenger_logger);
    instance() = nullptr;
  }
  std::vector<std::pair<int, std::string>> entries() {
    std::lock_guard<std::mutex> g(mu_);
    return entries_;
  }
  // Inserts logged with `msgnr`, in order.
  std::vector<std::string> with(int msgnr) {
    std::vector<std::string> out;
    for (auto &e : entries())
      if (e.first == msgnr) out.push_back(e.second);
    return out;
  }
  void clear() {
    std::lock_guard<std::mutex> g(mu_);
    entries_.clear();
  }

 private:
  static LogRecorder *&instance() {
    static LogRecorder *p = nullptr;
    return p;
  }
  static int logger(int msgnr, const char *insert) {
    LogRecorder *r = instance();
    if (r) {
      std::lock_guard<std::mutex> g(r->mu_);
      r->entries_.emplace_back(msgnr, insert ? insert : "");
    }
    return 0;
  }
  std::mutex mu_;
  std::vector<std::pair<int, std::string>> entries_;
};

// Number of descriptors open in this process.
inline int open_fd_count() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  if (!d) return -1;
  while (struct dirent *e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n - 1;  // the directory's own descriptor
}

inline bool fd_is_open(int fd) { return fd >= 0 && fcntl(fd, F_GETFD) != -1; }

// Reads one byte from `fd`, waiting for it up to `seconds`. Returns the byte
// or -1 when none came.
inline int read_byte(int fd, int seconds = 20) {
  struct pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, seconds * 1000) != 1) return -1;
  unsigned char c;
  return read(fd, &c, 1) == 1 ? c : -1;
}

// True when `fd` has nothing to read right now.
inline bool nothing_to_read(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 0) == 0;
}

}  // namespace ccmtest
