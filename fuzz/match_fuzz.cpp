// Fuzz target: the matching and field functions of the shared library on
// arbitrary texts, masks, wildcard characters and buffer sizes. Every input
// and output lives in a heap block of exactly its size, so that a read past
// a text's end or a write past a buffer shows at once.
//
// Input: byte 0 and 1 are the wildcards `more` and `one` (a NUL switches
// one off), byte 2 gives the output buffer size (1..256), byte 3 the search
// code; the rest is a text and a mask (or second text) separated by the
// first NUL byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "ctools.h"
#include "zudnst.h"
#include "zudnst_match.h"

namespace {

// A heap copy of `s` with its terminator and nothing behind it.
std::unique_ptr<char[]> text(const std::string &s) {
  std::unique_ptr<char[]> p(new char[s.size() + 1]);
  memcpy(p.get(), s.data(), s.size());
  p[s.size()] = '\0';
  return p;
}

// A heap block of exactly `n` bytes holding the first n bytes of `s` (no
// terminator unless `s` has one there).
std::unique_ptr<char[]> field(const std::string &s, size_t n) {
  std::unique_ptr<char[]> p(new char[n ? n : 1]);
  memset(p.get(), 'x', n ? n : 1);
  memcpy(p.get(), s.data(), s.size() < n ? s.size() : n);
  return p;
}

void check_terminated(const char *buf, size_t size) {
  if (memchr(buf, '\0', size) == nullptr) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 4) return 0;
  const char more = (char)data[0], one = (char)data[1];
  const size_t outsize = 1 + data[2];
  const char code = (char)data[3];
  std::string rest((const char *)data + 4, size - 4);
  size_t cut = rest.find('\0');
  std::string a = rest.substr(0, cut);
  std::string b = cut == std::string::npos ? std::string() : rest.substr(cut + 1);
  if (b.find('\0') != std::string::npos) b.resize(b.find('\0'));

  auto str = text(a), mask = text(b);
  MyStrMatch(str.get(), mask.get(), more, one);
  char *p = strMatchPtr(str.get(), mask.get(), more, one);
  if (p && (p < str.get() || p > str.get() + a.size())) __builtin_trap();
  if (memcmp(mask.get(), b.c_str(), b.size() + 1) != 0) __builtin_trap();  // the mask is only read
  strccmp(str.get(), mask.get(), one);
  p = strcstr(str.get(), mask.get(), one);
  if (p && (p < str.get() || p > str.get() + a.size())) __builtin_trap();

  // Fixed-length fields: the bytes of the text, no terminator necessary.
  {
    auto f = field(a, a.size());
    fix_len_reorg(f.get(), (int)a.size());
    auto g = field(a, a.size());
    fix_len_reorg2(g.get(), (int)a.size());
  }

  auto out = std::unique_ptr<char[]>(new char[outsize]);
  ExpandEnvironmentStringsA(str.get(), out.get(), (int)outsize);
  check_terminated(out.get(), outsize);

  // Keyed field lists read within the given length only: the area holds no
  // terminator (a length of 0 would mean "up to the NUL").
  if (!a.empty()) {
    auto area = field(a, a.size());
    if (GetRestField(area.get(), (int)a.size(), code, out.get(), (unsigned)outsize)) check_terminated(out.get(), outsize);
    if (GetAttribute(area.get(), (int)a.size(), mask.get(), out.get(), (unsigned)outsize))
      check_terminated(out.get(), outsize);
  }
  if (GetAttribute(str.get(), 0, mask.get(), out.get(), (unsigned)outsize)) check_terminated(out.get(), outsize);

  GetHexString(a.data(), (int)(a.size() < 600 ? a.size() : 600), out.get(), (int)outsize);
  check_terminated(out.get(), outsize);
  unsigned long num = 0;
  memcpy(&num, data, size < sizeof num ? size : sizeof num);
  CnvIntToChar(num, out.get(), (int)outsize);
  {
    auto hex = std::unique_ptr<char[]>(new char[outsize]);
    convert2hex((const unsigned char *)a.data(), (int)a.size(), hex.get(), (int)outsize);
  }

  // Word splitting of parameter words.
  for (int n : {1, 2, -2, 3}) {
    get_word_delimited(str.get(), more ? more : '=', n, out.get(), (int)outsize);
    check_terminated(out.get(), outsize);
  }
  return 0;
}
