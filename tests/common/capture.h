// Capturing what code writes to standard output, and matching its text.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace wqtest {

// Runs `body` with descriptor 1 on a temporary file and returns everything
// written to standard output meanwhile. Nothing may assert inside `body`
// (the test framework's own messages would be captured). Meanwhile no file
// of the process may grow past 256 MiB: code that writes without end (a
// planted fault, say) dies of SIGXFSZ instead of filling the disk with a
// file nobody can see.
inline std::string CaptureStdout(const std::function<void()> &body) {
  char path[] = "/tmp/wq_capture_XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return "<mkstemp failed>";
  unlink(path);
  fflush(stdout);
  int saved = dup(1);
  dup2(fd, 1);
  struct rlimit was, cap;
  getrlimit(RLIMIT_FSIZE, &was), cap = was, cap.rlim_cur = std::min<rlim_t>(was.rlim_cur, rlim_t{256} << 20);
  setrlimit(RLIMIT_FSIZE, &cap), body(), fflush(stdout), setrlimit(RLIMIT_FSIZE, &was);
  dup2(saved, 1), close(saved);
  std::string out;
  lseek(fd, 0, SEEK_SET);
  char buf[4096];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, (size_t)n);
  return close(fd), out;
}

// How often `what` occurs in `text` (overlapping occurrences count).
inline int count_of(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

// The lines of a text without their line ends; a last unended line counts.
inline std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// True when `s` has the length of `mask` and fits it character by character:
// '#' stands for a decimal digit, '%' for an upper-case hexadecimal digit,
// every other mask character for itself.
inline bool FitsMask(const std::string &s, const std::string &mask) {
  for (size_t i = 0; i < s.size() && s.size() == mask.size(); ++i) {
    const bool digit = s[i] >= '0' && s[i] <= '9', hex = digit || (s[i] >= 'A' && s[i] <= 'F');
    if (mask[i] == '#' ? !digit : mask[i] == '%' ? !hex : mask[i] != s[i]) return false;
  }
  return s.size() == mask.size();
}

// Mask of the head of a trace line: thread id, time text, " - ".
inline const std::string kTraceHeadMask = "%%%%%%%%%%%%%%%% ########/######.### - ";

// The trace texts of every line of `out`: each behind its head, "" for a line that is no trace.
inline std::vector<std::string> TraceTexts(const std::string &out) {
  std::vector<std::string> texts;
  for (const std::string &line : Lines(out))
    texts.push_back(FitsMask(line.substr(0, kTraceHeadMask.size()), kTraceHeadMask) ? line.substr(kTraceHeadMask.size()) : "");
  return texts;
}

}  // namespace wqtest
