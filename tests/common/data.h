// Expectation files under tests/data/: inputs and expected outputs, no steps.
//
// A file is a list of cases. "@@ NAME WORD..." starts a case; the lines up to
// the next "@@" are its expected text, each written with a '|' behind its last
// character (so that trailing blanks stay visible), which is not part of it.
// Lines before the first "@@" describe the file and are not read.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
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

// The bytes of a text of pieces separated by "," or line ends: hex digit
// pairs, "XX*N" for N bytes XX, or a text in double quotes.
inline std::string Unhex(std::string hex) {
  for (char &c : hex) c = c == '\n' ? ',' : c;
  std::string out;
  std::istringstream pieces(hex);
  for (std::string p; std::getline(pieces, p, ',');) {
    const size_t star = p.find('*');
    if (!p.empty() && p[0] == '"') out += p.substr(1, p.rfind('"') - 1);
    else if (star != std::string::npos) out.append(std::stoul(p.substr(star + 1)), (char)std::stoi(p, nullptr, 16));
    else for (size_t i = 0; i + 1 < p.size(); i += 2) out += (char)std::stoi(p.substr(i, 2), nullptr, 16);
  }
  return out;
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
