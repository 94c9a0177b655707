// The end-to-end tests' view of a child program whose standard output and
// error share one pipe, read line by line against deadlines.
#pragma once

#include <string>
#include <vector>

#include "common/process.h"

class ChildProcess {
 public:
  bool start(const std::vector<std::string> &args) { return child_.Start(args, true); }
  // Next whole line, or false at the end of the output or after `seconds`.
  bool read_line(std::string *line, int seconds = 60) { return child_.ReadLine(line, seconds); }
  // Reads lines until one contains `text`.
  bool wait_for(const std::string &text, std::string *found = nullptr, int seconds = 60) {
    return child_.WaitFor(text, found, seconds);
  }
  // Reads all output and reaps the child: its exit status, or -1 when it did
  // not end within `seconds` or ended by a signal.
  int finish(int seconds = 120) { return child_.ExitCode(seconds); }
  void signal(int sig) { child_.Signal(sig); }
  const std::string &output() const { return child_.out(); }

 private:
  wqtest::Child child_;
};
