// The Seral text cipher on top of the DES block cipher.
#include "zu002.h"

#include <cstring>

const unsigned char head_magic[4] = {0xAD, 0xAD, 0, 0};
const char head_vers[4] = {'1', '0', 0, 0};

namespace {

// Writes the header, then each 8-byte block of the text and its NUL
// enciphered as 16 hexadecimal characters; a short last block is filled up
// with random bytes. Every group is followed by a NUL, so the result is
// terminated after the last one.
void enSeral(char *dst, const char *src) {
  memcpy(dst, head_magic, 2);
  memcpy(dst + 2, head_vers, 2);
  dst += 4;
  size_t n = strlen(src) + 1;  // the NUL is enciphered too
  for (;;) {
    char block[8];
    if (n >= 8) {
      memcpy(block, src, 8);
    } else {
      memcpy(block, src, n);
      for (size_t i = n; i < 8; i++) block[i] = (char)garbage();
    }
    endes(block, block);
    byte2hex(dst, block);
    dst[16] = '\0';
    if (n <= 8) break;
    src += 8;
    dst += 16;
    n -= 8;
  }
}

// True when `src` (of `len` characters) carries the header of an enciphered
// text: 0xAD 0xAD or "--", then the version "10".
bool has_header(const char *src, size_t len) {
  if (len < 4) return false;
  const unsigned char *u = reinterpret_cast<const unsigned char *>(src);
  bool magic = (u[0] == head_magic[0] && u[1] == head_magic[1]) || (u[0] == '-' && u[1] == '-');
  return magic && src[2] == head_vers[0] && src[3] == head_vers[1];
}

// Deciphers each group of 16 hexadecimal characters behind the header into
// 8 bytes at `dst`; returns 0. Anything that is no enciphered text is copied
// unchanged and gives 1.
int deSeral(char *dst, const char *src) {
  size_t len = strlen(src);
  if (!has_header(src, len) || (len - 4) % 16 != 0) {
    if (dst != src) memmove(dst, src, len + 1);
    return 1;
  }
  // Block i is read from src + 4 + 16i before dst + 8i .. + 7 is written, and
  // those bytes lie before any later group: deciphering in place is safe.
  const char *hex = src + 4;
  for (size_t i = 0; i < (len - 4) / 16; i++) {
    char block[8];
    hex2byte(block, hex);
    dedes(block, dst);
    hex += 16;
    dst += 8;
  }
  return 0;
}

int enSeralBin(char *dst, const char *src, int srclen) {
  int written = 0;
  while (srclen > 7) {
    endes(src, dst);
    src += 8;
    dst += 8;
    srclen -= 8;
    written += 8;
  }
  if (srclen > 0) {
    char block[8];
    memcpy(block, src, (size_t)srclen);
    for (int i = srclen; i < 8; i++) block[i] = (char)garbage();
    endes(block, dst);
    dst[8] = (char)srclen;  // how many bytes of the last block are data
    written += 9;
  }
  return written;
}

int deSeralBin(char *dst, const char *src, int srclen) {
  int written = 0;
  while (srclen > 7) {
    dedes(src, dst);
    src += 8;
    dst += 8;
    srclen -= 8;
    written += 8;
  }
  // A trailing count byte tells how much of the last block was data.
  if (srclen > 0 && written > 0) {
    int r = (unsigned char)*src;
    if (r >= 1 && r <= 7) written -= 8 - r;
  }
  return written;
}

// Sets up the default key unless a key is set up.
void ensure_key() {
  if (keyx[0] == '\0') initkey(nullptr);
}

// Leaves no key set up: a later call without a key sets up the default one.
// Only the first byte is cleared; the rest is what a later, shorter key text
// finds behind its NUL.
void drop_key() { keyx[0] = '\0'; }

}  // namespace

int ZUSTRNG_EnSeral(char *dst, const char *src) {
  ensure_key();
  enSeral(dst, src);
  return 0;
}

int ZUSTRNG_EnSeral2(char *dst, const char *src, const char *keyString) {
  initkey(keyString);
  enSeral(dst, src);
  drop_key();
  return 0;
}

int ZUSTRNG_DeSeral(char *dst, const char *src) {
  ensure_key();
  return deSeral(dst, src);
}

int ZUSTRNG_DeSeral2(char *dst, const char *src, const char *keyString) {
  initkey(keyString);
  int rc = deSeral(dst, src);
  drop_key();
  return rc;
}

int ZUSTRNG_EnSeralBin(char *dst, const char *src, int srclen) {
  ensure_key();
  return enSeralBin(dst, src, srclen);
}

int ZUSTRNG_EnSeralBin2(char *dst, const char *src, int srclen, const char *keyString) {
  initkey(keyString);
  int n = enSeralBin(dst, src, srclen);
  drop_key();
  return n;
}

int ZUSTRNG_DeSeralBin(char *dst, const char *src, int srclen) {
  ensure_key();
  return deSeralBin(dst, src, srclen);
}

int ZUSTRNG_DeSeralBin2(char *dst, const char *src, int srclen, const char *keyString) {
  initkey(keyString);
  int n = deSeralBin(dst, src, srclen);
  drop_key();
  return n;
}
