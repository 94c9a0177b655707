// Small text helpers shared by the tests.
#pragma once

#include <string>

// How often `what` occurs in `text` (overlapping occurrences count).
inline int count_of(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}
