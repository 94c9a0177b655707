// Recording what the program logs: every __log call, from any thread, while
// a LogRecorder exists; the messenger's own logger is put back behind it.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "wq_trace.h"

namespace wqtest {

struct LogRecorder {
  using Entries = std::vector<std::pair<int, std::string>>;
  LogRecorder() {
    std::lock_guard<std::mutex> g(mu);
    all.clear();
    __log_set_logger(&Log);
  }
  ~LogRecorder() { __log_set_logger(messenger_logger); }
  LogRecorder(const LogRecorder &) = delete;

  // Every message number and insert logged so far, in order.
  Entries entries() {
    std::lock_guard<std::mutex> g(mu);
    return all;
  }
  // The inserts logged with `msgnr`, in order.
  std::vector<std::string> with(int msgnr) {
    std::vector<std::string> out;
    for (auto &e : entries())
      if (e.first == msgnr) out.push_back(e.second);
    return out;
  }

 private:
  static int Log(int msgnr, const char *insert) {
    std::lock_guard<std::mutex> g(mu);
    all.emplace_back(msgnr, insert ? insert : "");
    return 0;
  }
  static inline std::mutex mu;
  static inline Entries all;
};

}  // namespace wqtest
