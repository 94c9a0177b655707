// The command runner: deciphers the enciphered segments of a command and
// passes the result to the shell.
#include "wq_cmd.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ctools.h"
#include "wq_dnst.h"
#include "wq_jpmd.h"
#include "wq_trace.h"
#include "zu002.h"

namespace {

// A marker: two hyphens or 0xAD 0xAD, then the two characters of the format
// version.
constexpr size_t kMarkerLength = 4;

// Bytes that processCmd's work areas hold beyond the command.
constexpr size_t kCmdSlack = 4;

// True when `p`, with `left` characters remaining, starts with a marker.
bool at_marker(const char *p, size_t left) {
  if (left < kMarkerLength) return false;
  const unsigned char *u = reinterpret_cast<const unsigned char *>(p);
  bool magic = (u[0] == '-' && u[1] == '-') || (u[0] == head_magic[0] && u[1] == head_magic[1]);
  return magic && p[2] == head_vers[0] && p[3] == head_vers[1];
}

// The output under construction; appends are bounded by its size and the
// text stays terminated.
struct Output {
  char *buf;
  size_t size;
  size_t len;

  void append(const char *text, size_t n) {
    if (len + 1 >= size) return;
    size_t room = size - 1 - len;
    if (n > room) n = room;
    memcpy(buf + len, text, n);
    len += n;
    buf[len] = '\0';
  }
};

// Copies the segment at cmd[*i] (the marker and the hexadecimal digits
// behind it; the first other character stays in the input) into `segment`,
// upper-cased behind the marker because deciphering reads only upper-case
// digits, and moves *i past it. Returns the segment's length.
size_t take_segment(const char *cmd, size_t n, size_t *i, char *segment) {
  size_t seglen = kMarkerLength;
  memcpy(segment, cmd + *i, kMarkerLength);
  *i += kMarkerLength;
  while (*i < n && isxdigit((unsigned char)cmd[*i])) segment[seglen++] = cmd[(*i)++];
  segment[seglen] = '\0';
  for (size_t k = kMarkerLength; k < seglen; k++) segment[k] = (char)toupper((unsigned char)segment[k]);
  return seglen;
}

// Deciphers `segment` into `plain` (seglen + 1 bytes) and appends its plain
// text to `output`. `plain` is cleared first, so that nothing of an earlier
// segment shows behind a later one.
void append_plain(const char *segment, size_t seglen, char *plain, Output &output) {
  memset(plain, 0, seglen + 1);
  int rc = ZUSTRNG_DeSeral2(plain, segment, kCmdKey);
  // A forged segment need not carry a NUL: take no more than it filled.
  size_t filled = rc == 0 ? (seglen - kMarkerLength) / 2 : seglen;
  output.append(plain, strnlen(plain, filled));
}

}  // namespace

size_t decipherCmd(const char *cmd, char *out, size_t outSize) {
  if (out == nullptr || outSize == 0) return 0;
  out[0] = '\0';
  if (cmd == nullptr) return 0;

  // The work texts are sized from the command: no segment is longer than
  // the command, and a segment deciphers to at most its own length.
  const size_t n = strlen(cmd);
  char *segment = static_cast<char *>(MemAllocRetArea(n + 1));
  char *plain = static_cast<char *>(MemAllocRetArea(n + 1));
  Output output = {out, outSize, 0};

  size_t i = 0;
  while (i < n) {
    if (at_marker(cmd + i, n - i)) {
      size_t seglen = take_segment(cmd, n, &i, segment);
      append_plain(segment, seglen, plain, output);
    } else {
      output.append(cmd + i, 1);
      i++;
    }
  }

  // The plain text may be secret: leave none of it in freed memory.
  explicit_bzero(plain, n + 1);
  FreeMallocArea(reinterpret_cast<void **>(&segment), "segment");
  FreeMallocArea(reinterpret_cast<void **>(&plain), "plain");
  return output.len;
}

int processCmd(PCX *px) {
  // The command as given: its segments are still enciphered here.
  const size_t n = strnlen(px->pCmdBuffer, sizeof px->pCmdBuffer);
  TRC_LINE("%s(cmd=%.*s) -->", (int)n, px->pCmdBuffer);

  char *pBuff1 = static_cast<char *>(MemAllocRetArea(n + kCmdSlack));
  char *pBuff2 = static_cast<char *>(MemAllocRetArea(n + kCmdSlack));
  memcpy(pBuff1, px->pCmdBuffer, n);
  decipherCmd(pBuff1, pBuff2, n + kCmdSlack);

  // The shell writes to the same standard output: what is buffered goes
  // first.
  fflush(stdout);
  errno = 0;
  int result = system(pBuff2);
  if (errno != 0) TRC("error '%d/%s', result %i", errno, wq_strerror(errno), result);

  explicit_bzero(pBuff2, n + kCmdSlack);
  FreeMallocArea(reinterpret_cast<void **>(&pBuff1), "pBuff1");
  FreeMallocArea(reinterpret_cast<void **>(&pBuff2), "pBuff2");
  TRC_OUT("result=%d", result);
  return result;
}
