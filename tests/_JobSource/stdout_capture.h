// Test helpers: capture what a piece of code writes to standard output, and
// run the built messenger program with given words and collect its output.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

extern char **environ;

namespace wqtest {

// Runs `body` with file descriptor 1 pointing at a temporary file and returns
// everything written to standard output meanwhile. Nothing may assert inside
// `body` (the test framework's own messages would be captured).
inline std::string CaptureStdout(const std::function<void()> &body) {
  char path[] = "/tmp/wq_capture_XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return "<mkstemp failed>";
  unlink(path);
  fflush(stdout);
  int saved = dup(1);
  dup2(fd, 1);
  body();
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::string out;
  lseek(fd, 0, SEEK_SET);
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, (size_t)n);
  close(fd);
  return out;
}

struct RunResult {
  int exit_code = -1;  // exit status, or -1 when the program did not exit normally
  std::string out;     // standard output and standard error together
};

// Runs `program` with the given argv (argv[0] included) and waits for it to
// end, with a generous deadline after which it is killed.
inline RunResult RunProgram(const std::string &program, const std::vector<std::string> &args,
                            int deadline_seconds = 120) {
  RunResult result;
  int pipefd[2];
  if (pipe(pipefd) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipefd[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipefd[1], 2);
  posix_spawn_file_actions_addclose(&actions, pipefd[0]);
  posix_spawn_file_actions_addclose(&actions, pipefd[1]);
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipefd[1]);
  if (rc != 0) {
    close(pipefd[0]);
    result.out = "<spawn failed>";
    return result;
  }
  const time_t deadline = time(nullptr) + deadline_seconds;
  char buf[4096];
  for (;;) {
    struct pollfd p = {pipefd[0], POLLIN, 0};
    int left = (int)(deadline - time(nullptr));
    if (left <= 0 || poll(&p, 1, left * 1000) == 0) {
      kill(pid, SIGKILL);
      break;
    }
    ssize_t n = read(pipefd[0], buf, sizeof buf);
    if (n <= 0) break;
    result.out.append(buf, (size_t)n);
  }
  close(pipefd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

// Splits a text into its lines (without line ends); a last line without a
// line end is kept too.
inline std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// True when `s` has the length of `mask` and fits it character by character:
// '#' stands for a decimal digit, '%' for an upper-case hexadecimal digit,
// every other mask character for itself.
inline bool FitsMask(const std::string &s, const std::string &mask) {
  if (s.size() != mask.size()) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    const bool digit = c >= '0' && c <= '9';
    if (mask[i] == '#') {
      if (!digit) return false;
    } else if (mask[i] == '%') {
      if (!digit && !(c >= 'A' && c <= 'F')) return false;
    } else if (mask[i] != c) {
      return false;
    }
  }
  return true;
}

// Mask of the head of a trace line: thread id, time text, " - ".
inline const std::string kTraceHeadMask = "%%%%%%%%%%%%%%%% ########/######.### - ";

// Text of a trace line behind its head, or "" when the line is no trace line.
inline std::string TraceText(const std::string &line) {
  if (line.size() < kTraceHeadMask.size() || !FitsMask(line.substr(0, kTraceHeadMask.size()), kTraceHeadMask))
    return "";
  return line.substr(kTraceHeadMask.size());
}

}  // namespace wqtest
