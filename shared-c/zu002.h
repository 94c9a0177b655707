// The Seral text cipher: DES in electronic code book mode over a text or a
// byte area, written as printable hexadecimal text.
//
// Enciphered text: 0xAD 0xAD "10" (on input "--10" too), then one group of 16
// upper-case hexadecimal characters per 8-byte block of the text and its NUL
// (the last block filled up with random bytes), then a NUL. A text of n
// characters gives 4 + 16 * (n / 8 + 1) characters.
//
// Enciphered byte area: the full 8-byte blocks enciphered; a short rest of r
// bytes (1-7) is filled up to a block with random bytes, enciphered, and
// followed by one plain byte holding r.
//
// Calls without the suffix 2 keep the key set-up they find and set up the
// default key only when there is none. Calls with the suffix 2 use the key
// they are given (null or empty: the default key) and leave no key set up.
// Only the first 8 bytes of a key text count. One thread at a time.
#pragma once

#include "zu002int.h"  // initkey, keyx and the DES block cipher

// Marker bytes of an enciphered text: 0xAD 0xAD and the format version "10".
extern const unsigned char head_magic[4];
extern const char head_vers[4];

// Enciphers the text `src` into `dst`, which receives 4 + 16k + 1 bytes
// (k = strlen(src) / 8 + 1). Returns 0.
int ZUSTRNG_EnSeral(char *dst, const char *src);
int ZUSTRNG_EnSeral2(char *dst, const char *src, const char *keyString);

// Deciphers the enciphered text `src` into `dst`: 8 bytes for each group of
// 16 hexadecimal characters (the plain text ends at the NUL it carried; the
// filler behind it is written too) and returns 0. Reads only upper-case
// hexadecimal digits. A `src` without the header, with another version or
// whose length is not 4 plus a multiple of 16 is copied unchanged into `dst`
// (which must then hold strlen(src) + 1 bytes), and the result is 1.
// `dst` may equal `src`.
int ZUSTRNG_DeSeral(char *dst, const char *src);
int ZUSTRNG_DeSeral2(char *dst, const char *src, const char *keyString);

// Enciphers `srclen` bytes at `src` into `dst`; returns the length written
// (srclen when it is a multiple of 8, else 8 * (srclen / 8) + 9).
int ZUSTRNG_EnSeralBin(char *dst, const char *src, int srclen);
int ZUSTRNG_EnSeralBin2(char *dst, const char *src, int srclen, const char *keyString);

// Deciphers an enciphered byte area of `srclen` bytes into `dst` (8 bytes per
// full input block) and returns the length of the plain data: the bytes
// written less the filler of a short last block, as told by the trailing
// count byte.
int ZUSTRNG_DeSeralBin(char *dst, const char *src, int srclen);
int ZUSTRNG_DeSeralBin2(char *dst, const char *src, int srclen, const char *keyString);
