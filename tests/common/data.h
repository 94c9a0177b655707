// Expectation files under tests/data/: inputs and expected outputs, no steps.
//
// A file is a list of cases. "@@ NAME WORD..." starts a case; the lines up to
// the next "@@" are its expected text, each written with a '|' behind its last
// character (so that trailing blanks stay visible), which is not part of it.
// Lines before the first "@@" describe the file and are not read.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/capture.h"

namespace wqtest {

struct DataCase {
  std::string name;
  std::vector<std::string> words;  // the words behind the name
  std::string text;                // expected lines, each with its '\n'
};

inline std::vector<DataCase> ReadData(const std::string &file) {
  std::ifstream in(std::string(WQ_TEST_DATA) + "/" + file);
  std::vector<DataCase> cases;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("@@ ", 0) == 0) {
      std::istringstream words(line.substr(3));
      cases.emplace_back();
      words >> cases.back().name;
      for (std::string w; words >> w;) cases.back().words.push_back(w);
    } else if (!cases.empty()) cases.back().text += line.substr(0, line.size() - (!line.empty() && line.back() == '|')) + "\n";
  }
  return cases;
}

// The bytes of a text of pieces separated by ",", blanks or line ends: hex
// digit pairs (several in one piece), "XX*N" for N bytes XX, or a text in
// double quotes (which keeps its commas and blanks). The one notation of
// bytes in the suite's data files.
inline std::string Unhex(const std::string &text) {
  std::string out;
  for (size_t i = 0, n = 0; i < text.size();) {
    if (text[i] == ',' || text[i] == ' ' || text[i] == '\n') {
      ++i;
    } else if (text[i] == '"') {
      const size_t end = text.find('"', i + 1);
      out += text.substr(i + 1, end - i - 1);
      i = end == std::string::npos ? text.size() : end + 1;
    } else if (i + 2 < text.size() && text[i + 2] == '*') {
      out.append(std::stoul(text.substr(i + 3), &n), (char)std::stoi(text.substr(i, 2), nullptr, 16));
      i += 3 + n;
    } else {
      out += (char)std::stoi(text.substr(i, 2), nullptr, 16);
      i += 2;
    }
  }
  return out;
}

// The other layout of an expectation file: one case a line, its fields
// separated by " | "; blank lines and lines starting with '#' are skipped.
inline std::vector<std::vector<std::string>> ReadRows(const std::string &file) {
  std::ifstream in(std::string(WQ_TEST_DATA) + "/" + file);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    rows.emplace_back();
    for (size_t p = 0, q = 0; q != std::string::npos; p = q + 3)
      rows.back().push_back(line.substr(p, (q = line.find(" | ", p)) == std::string::npos ? q : q - p));
  }
  EXPECT_FALSE(rows.empty()) << file;
  return rows;
}

// The `n` bytes of `v`, least significant first (the wire's byte order).
inline std::string LittleEndian(uint64_t v, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += (char)(v >> (8 * i));
  return out;
}

// `n` bytes of a fixed pattern that differs with `seed` (no byte repeats
// within 256).
inline std::string Pattern(size_t n, unsigned seed = 7) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = (char)((i * 31 + seed) & 0xFF);
  return s;
}

// Upper-case hex text of `bytes`.
inline std::string Hex(const std::string &bytes) {
  std::string out;
  for (unsigned char c : bytes) out += {"0123456789ABCDEF"[c >> 4], "0123456789ABCDEF"[c & 15]};
  return out;
}

// `text` with every "{KEY}" of `values` ({KEY, value} pairs) replaced.
inline std::string Fill(std::string text, const std::vector<std::pair<std::string, std::string>> &values) {
  for (const auto &[key, value] : values)
    for (size_t at; (at = text.find("{" + key + "}")) != std::string::npos;) text.replace(at, key.size() + 2, value);
  return text;
}

// Empty when every line of `out` fits the line of `expected` at its place
// (FitsMask); otherwise the first line that does not, with its expectation.
inline std::string Misfit(const std::string &out, const std::string &expected) {
  const std::vector<std::string> got = Lines(out), want = Lines(expected);
  for (size_t i = 0; i < got.size() || i < want.size(); ++i) {
    const std::string g = i < got.size() ? got[i] : "<none>", w = i < want.size() ? want[i] : "<none>";
    if (!FitsMask(g, w)) return "line " + std::to_string(i + 1) + "\n got: " + g + "|\nwant: " + w + "|";
  }
  return out.size() && out.back() != '\n' ? "no line end at the end" : "";
}

// Calls and their results read from calls.txt: "@@ FUNCTION WORD...", one
// call a case. A word is a number, "-" for a null pointer, or bytes as Unhex
// reads them ("text" in quotes, hex pairs, "XX*N").
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

// An area of 'Q's for a call to write into.
struct Area {
  Area() { memset(b, 'Q', sizeof b); }
  operator char *() { return b; }
  char b[4200];
};

// The checks of calls.txt by function: each gets the row and a fresh Area.
using Calls = std::map<std::string, std::function<void(Row &, Area &)>>;
// Runs the check of every case of calls.txt whose function `calls` has,
// naming the case on a failure; there must be `count` of them.
inline void CheckCalls(const Calls &calls, int count) {
  int known = 0;
  for (const DataCase &c : ReadData("calls.txt")) {
    if (!calls.count(c.name)) continue;
    std::string name = c.name;
    for (const std::string &w : c.words) name.append(" ").append(w.substr(0, 40));
    SCOPED_TRACE(name);
    Row r(c);
    Area out;
    calls.at(c.name)(r, out), ++known;
  }
  EXPECT_EQ(known, count);
}


}  // namespace wqtest
