// Fuzz target: the segment scanner of CMD= and the text decipherer under it,
// on arbitrary command texts (no shell is run).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "wq_cmd.h"
#include "zu002.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<char> cmd(data, data + size);
  cmd.push_back('\0');
  // The result is never longer than the command.
  std::vector<char> out(size + 1);
  size_t n = decipherCmd(cmd.data(), out.data(), out.size());
  if (n > strlen(cmd.data()) || out[n] != '\0') __builtin_trap();

  // The decipherer alone on the same text: it writes at most the input's
  // length plus a terminator (deciphering never grows a text).
  std::vector<char> dst(size + 1);
  ZUSTRNG_DeSeral2(dst.data(), cmd.data(), kCmdKey);
  return 0;
}
