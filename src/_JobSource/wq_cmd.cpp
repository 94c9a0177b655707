// The command runner: deciphers the enciphered segments of a command and
// passes the result to the shell.
#include "wq_cmd.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wq_dnst.h"
#include "wq_jpmd.h"
#include "wq_trace.h"
#include "zu002.h"

namespace {

// True when `p`, with `left` characters remaining, starts with a marker:
// two hyphens or 0xAD 0xAD, then the format version.
bool at_marker(const char *p, size_t left) {
  if (left < 4) return false;
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
    if (!at_marker(cmd + i, n - i)) {
      output.append(cmd + i, 1);
      i++;
      continue;
    }
    // The marker and the hexadecimal digits behind it; the first other
    // character stays in the input.
    size_t seglen = 4;
    memcpy(segment, cmd + i, 4);
    i += 4;
    while (i < n && isxdigit((unsigned char)cmd[i])) segment[seglen++] = cmd[i++];
    segment[seglen] = '\0';
    // Deciphering reads only upper-case digits.
    for (size_t k = 4; k < seglen; k++) segment[k] = (char)toupper((unsigned char)segment[k]);

    // Cleared for every segment, so that nothing of an earlier segment shows
    // behind a later one.
    memset(plain, 0, seglen + 1);
    int rc = ZUSTRNG_DeSeral2(plain, segment, kCmdKey);
    // A forged segment need not carry a NUL: take no more than it filled.
    size_t filled = rc == 0 ? (seglen - 4) / 2 : seglen;
    output.append(plain, strnlen(plain, filled));
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

  char *pBuff1 = static_cast<char *>(MemAllocRetArea(n + 4));
  char *pBuff2 = static_cast<char *>(MemAllocRetArea(n + 4));
  memcpy(pBuff1, px->pCmdBuffer, n);
  decipherCmd(pBuff1, pBuff2, n + 4);

  // The shell writes to the same standard output: what is buffered goes
  // first.
  fflush(stdout);
  errno = 0;
  int result = system(pBuff2);
  if (errno != 0) TRC("error '%d/%s', result %i", errno, strerror(errno), result);

  explicit_bzero(pBuff2, n + 4);
  FreeMallocArea(reinterpret_cast<void **>(&pBuff1), "pBuff1");
  FreeMallocArea(reinterpret_cast<void **>(&pBuff2), "pBuff2");
  TRC_OUT("result=%d", result);
  return result;
}
