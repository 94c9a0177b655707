// Calls and their results read from tests/data/calls.txt: "@@ FUNCTION WORD...",
// one call a case. A word is a number, "-" for a null pointer, or bytes as
// wqtest::Unhex reads them ("text" in quotes, hex pairs, "XX*N").
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/data.h"

namespace wqtest {

struct Row {
  explicit Row(const DataCase &c) : c(c), bytes(c.words.size()) {}
  // Word i as bytes in an area of its own (null for "-"), valid as long as the row.
  char *p(size_t i) { return c.words.at(i) == "-" ? nullptr : (bytes[i] = Unhex(c.words[i])).data(); }
  std::string s(size_t i) const { return Unhex(c.words.at(i)); }
  char ch(size_t i) const { return s(i)[0]; }
  long long n(size_t i) const { return std::stoll(c.words.at(i), nullptr, 0); }
  unsigned long long u(size_t i) const { return std::stoull(c.words.at(i), nullptr, 0); }
  std::vector<long long> ns(size_t from, size_t count) const {
    std::vector<long long> v;
    for (size_t i = from; i < from + count; ++i) v.push_back(n(i));
    return v;
  }
  // Checks an area of 'Q's after a call: it begins with the bytes of word i,
  // and its byte at `size` is still 'Q'.
  void Wrote(const char *area, size_t i, long long size) const {
    EXPECT_EQ(std::string(area, s(i).size()), s(i));
    EXPECT_EQ(area[size], 'Q');
  }
  const DataCase &c;
  std::vector<std::string> bytes;
};

// Runs `check` on every case of calls.txt whose function it knows (check
// returns false for the others), naming the case on a failure; returns how
// many it knew.
template <class Check>
int ForEachCall(Check check) {
  int known = 0;
  for (const DataCase &c : ReadData("calls.txt")) {
    Row r(c);
    std::string name = c.name;
    for (const std::string &w : c.words) name += " " + w.substr(0, 40);
    SCOPED_TRACE(name);
    known += check(c.name, r) ? 1 : 0;
  }
  return known;
}

// An area of 'Q's for a call to write into.
struct Area {
  Area() { memset(b, 'Q', sizeof b); }
  operator char *() { return b; }
  char b[4200];
};

}  // namespace wqtest
