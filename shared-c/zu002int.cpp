// Table-driven DES. Memory is traded for speed: each 64-bit permutation is 16
// lookups ORed together, the eight S-boxes are four lookups of 12 bits, and P
// is four byte lookups. desinit builds those tables from the standard's.
#include "zu002int.h"

#include <pthread.h>
#include <sys/time.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

char keyx[kKeyxSize];
const char kDefaultKey[] = "borz\xC3\xA9ska";

namespace {

// Tables of the standard. Entries are 1-based bit numbers, bit 1 being the
// most significant bit of the first byte.

// Initial permutation IP.
const unsigned char ip[64] = {
    58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
    62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
    57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
    61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};

// Final permutation, the inverse of IP.
const unsigned char fp[64] = {
    40, 8, 48, 16, 56, 24, 64, 32, 39, 7, 47, 15, 55, 23, 63, 31,
    38, 6, 46, 14, 54, 22, 62, 30, 37, 5, 45, 13, 53, 21, 61, 29,
    36, 4, 44, 12, 52, 20, 60, 28, 35, 3, 43, 11, 51, 19, 59, 27,
    34, 2, 42, 10, 50, 18, 58, 26, 33, 1, 41, 9,  49, 17, 57, 25};

// Permuted choice 1: 56 of the 64 key bits; the parity bits 8, 16, ... 64
// are not among them.
const unsigned char pc1[56] = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
    10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
    63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
    14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

// Cumulative left rotations of the key halves before each round.
const unsigned char totrot[16] = {1, 2, 4, 6, 8, 10, 12, 14, 15, 17, 19, 21, 23, 25, 27, 28};

// Permuted choice 2: the 48 round-key bits out of the 56 rotated bits.
const unsigned char pc2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10,
    23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48,
    44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

// S-boxes S1-S8, each 4 rows of 16 values.
const unsigned char si[8][64] = {
    {14, 4,  13, 1,  2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0,  7,
     0,  15, 7,  4,  14, 2,  13, 1,  10, 6,  12, 11, 9,  5,  3,  8,
     4,  1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,  3,  10, 5,  0,
     15, 12, 8,  2,  4,  9,  1,  7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7,  2,  13, 12, 0,  5,  10,
     3,  13, 4,  7,  15, 2,  8,  14, 12, 0,  1,  10, 6,  9,  11, 5,
     0,  14, 7,  11, 10, 4,  13, 1,  5,  8,  12, 6,  9,  3,  2,  15,
     13, 8,  10, 1,  3,  15, 4,  2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6,  3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8,
     13, 7,  0,  9,  3,  4,  6,  10, 2,  8,  5,  14, 12, 11, 15, 1,
     13, 6,  4,  9,  8,  15, 3,  0,  11, 1,  2,  12, 5,  10, 14, 7,
     1,  10, 13, 0,  6,  9,  8,  7,  4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3,  0,  6,  9,  10, 1,  2,  8,  5,  11, 12, 4,  15,
     13, 8,  11, 5,  6,  15, 0,  3,  4,  7,  2,  12, 1,  10, 14, 9,
     10, 6,  9,  0,  12, 11, 7,  13, 15, 1,  3,  14, 5,  2,  8,  4,
     3,  15, 0,  6,  10, 1,  13, 8,  9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6,  8,  5,  3,  15, 13, 0,  14, 9,
     14, 11, 2,  12, 4,  7,  13, 1,  5,  0,  15, 10, 3,  9,  8,  6,
     4,  2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,  6,  3,  0,  14,
     11, 8,  12, 7,  1,  14, 2,  13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6,  8,  0,  13, 3,  4,  14, 7,  5,  11,
     10, 15, 4,  2,  7,  12, 9,  5,  6,  1,  13, 14, 0,  11, 3,  8,
     9,  14, 15, 5,  2,  8,  12, 3,  7,  0,  4,  10, 1,  13, 11, 6,
     4,  3,  2,  12, 9,  5,  15, 10, 11, 14, 1,  7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0,  8,  13, 3,  12, 9,  7,  5,  10, 6,  1,
     13, 0,  11, 7,  4,  9,  1,  10, 14, 3,  5,  12, 2,  15, 8,  6,
     1,  4,  11, 13, 12, 3,  7,  14, 10, 15, 6,  8,  0,  5,  9,  2,
     6,  11, 13, 8,  1,  4,  10, 7,  9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2,  8,  4,  6,  15, 11, 1,  10, 9,  3,  14, 5,  0,  12, 7,
     1,  15, 13, 8,  10, 3,  7,  4,  12, 5,  6,  11, 0,  14, 9,  2,
     7,  11, 4,  1,  9,  12, 14, 2,  0,  6,  10, 13, 15, 3,  5,  8,
     2,  1,  14, 7,  4,  10, 8,  13, 15, 12, 9,  0,  3,  5,  6,  11}};

// Permutation P of the round function.
const unsigned char p32i[32] = {
    16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
    2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

// The bits of a byte and of a nibble, most significant first.
const unsigned char bytebit[8] = {0200, 0100, 040, 020, 010, 04, 02, 01};
const unsigned char nibblebit[4] = {010, 04, 02, 01};

// Derived tables, built by desinit (the round keys anew for every key).
unsigned char iperm[16][16][8];  // IP of each nibble position and value alone
unsigned char fperm[16][16][8];  // the same for the final permutation
unsigned char kn[16][6];         // round keys, 8 bits per byte, MSB first
unsigned char s[4][4096];        // S-boxes combined in pairs
unsigned char p32[4][256][4];    // P of each output byte position and value
unsigned char pc1m[56];          // key bits after permuted choice 1
unsigned char pcr[56];           // key bits after a round's rotation

// Builds the nibble-wise table of the 64-bit permutation `p`.
void perminit(unsigned char perm[16][16][8], const unsigned char p[64]) {
  memset(perm, 0, 16 * 16 * 8);
  for (int i = 0; i < 16; i++) {
    for (int j = 0; j < 16; j++) {
      for (int k = 0; k < 64; k++) {
        int l = p[k] - 1;  // source bit of output bit k
        if (l / 4 != i) continue;
        if (!(j & nibblebit[l % 4])) continue;
        perm[i][j][k / 8] |= bytebit[k % 8];
      }
    }
  }
}

// Builds the 16 round keys from the 8 key bytes.
void kinit(const unsigned char *key) {
  for (int j = 0; j < 56; j++) {
    int l = pc1[j] - 1;
    pc1m[j] = (key[l / 8] & bytebit[l % 8]) ? 1 : 0;
  }
  memset(kn, 0, sizeof kn);
  for (int i = 0; i < 16; i++) {
    // Rotate each 28-bit half by the round's cumulative count.
    for (int j = 0; j < 56; j++) {
      int l = j + totrot[i];
      int end = j < 28 ? 28 : 56;
      pcr[j] = pc1m[l < end ? l : l - 28];
    }
    for (int j = 0; j < 48; j++) {
      if (pcr[pc2[j] - 1]) kn[i][j / 8] |= bytebit[j % 8];
    }
  }
}

// S-box k (0-based) for the 6-bit input v: the outer bits choose the row,
// the middle four the column.
int getcomp(int k, int v) {
  int row = ((v >> 4) & 2) | (v & 1);
  int col = (v >> 1) & 15;
  return si[k][16 * row + col];
}

// Combines the S-boxes in pairs, so that one lookup maps 12 input bits to 8
// output bits.
void sinit() {
  for (int i = 0; i < 4; i++) {
    for (int j = 0; j < 4096; j++) {
      s[i][j] = (unsigned char)(16 * getcomp(2 * i, j >> 6) + (getcomp(2 * i + 1, j & 63) & 15));
    }
  }
}

// Builds P for each byte of the S-box output alone.
void p32init() {
  memset(p32, 0, sizeof p32);
  for (int i = 0; i < 4; i++) {
    for (int v = 0; v < 256; v++) {
      for (int j = 0; j < 32; j++) {
        int l = p32i[j] - 1;
        if (l / 8 != i) continue;
        if (!(v & bytebit[l % 8])) continue;
        p32[i][v][j / 8] |= bytebit[j % 8];
      }
    }
  }
}

// Applies a 64-bit permutation table: 16 lookups ORed together.
void permute(const unsigned char *inblock, unsigned char perm[16][16][8], unsigned char *outblock) {
  uint64_t acc = 0;
  for (int b = 0; b < 8; b++) {
    uint64_t hi, lo;
    memcpy(&hi, perm[2 * b][inblock[b] >> 4], 8);
    memcpy(&lo, perm[2 * b + 1][inblock[b] & 15], 8);
    acc |= hi | lo;
  }
  memcpy(outblock, &acc, 8);
}

// The rounds work on the halves as 32-bit values whose most significant
// bit is the standard's bit 1 of the half.
uint32_t load_be32(const unsigned char *p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

void store_be32(unsigned char *p, uint32_t v) {
  p[0] = (unsigned char)(v >> 24);
  p[1] = (unsigned char)(v >> 16);
  p[2] = (unsigned char)(v >> 8);
  p[3] = (unsigned char)v;
}

// The expansion E: 32 bits become eight 6-bit groups, group g being input
// bits 4g .. 4g+5 (1-based, bit 0 meaning bit 32 and bit 33 meaning bit 1).
// The 48 bits are returned in the low bits, bit 1 of E highest.
uint64_t expand(uint32_t right) {
  uint32_t t = (right >> 1) | (right << 31);  // bit 32 in front of bit 1
  uint64_t e = 0;
  for (int g = 0; g < 7; g++) e = (e << 6) | ((t >> (26 - 4 * g)) & 63);
  return (e << 6) | ((t & 15) << 2) | (t >> 30);  // the last group wraps round
}

// The S-boxes: four 12-bit groups of the 48 bits, one paired lookup each;
// output byte i comes from group i.
uint32_t contract(uint64_t in48) {
  return (uint32_t)s[0][(in48 >> 36) & 0xFFF] << 24 | (uint32_t)s[1][(in48 >> 24) & 0xFFF] << 16 |
         (uint32_t)s[2][(in48 >> 12) & 0xFFF] << 8 | s[3][in48 & 0xFFF];
}

// The permutation P: four byte lookups ORed together.
uint32_t perm32(uint32_t in) {
  uint32_t acc = 0;  // the ORed bytes, in memory order
  for (int i = 0; i < 4; i++) {
    uint32_t part;
    memcpy(&part, p32[i][(in >> (24 - 8 * i)) & 255], 4);
    acc |= part;
  }
  unsigned char out[4];
  memcpy(out, &acc, 4);
  return load_be32(out);
}

// The round function f(R, K): expand, add the round key, S-boxes, P.
uint32_t f(uint32_t right, int num) {
  uint64_t k = 0;
  for (int i = 0; i < 6; i++) k = (k << 8) | kn[num][i];
  return perm32(contract(expand(right) ^ k));
}

// One round: L' = R, R' = L xor f(R, K[num]).
void iter(int num, const uint32_t inblock[2], uint32_t outblock[2]) {
  outblock[0] = inblock[1];
  outblock[1] = inblock[0] ^ f(inblock[1], num);
}

// The 16 rounds between the two permutations; `decipher` takes the round
// keys in reverse order. Works on copies, so input and output may overlap.
void crypt_block(const char *inblock, char *outblock, bool decipher) {
  unsigned char block[8];
  uint32_t iters[17][2];
  permute(reinterpret_cast<const unsigned char *>(inblock), iperm, block);
  iters[0][0] = load_be32(block);
  iters[0][1] = load_be32(block + 4);
  for (int i = 0; i < 16; i++) iter(decipher ? 15 - i : i, iters[i], iters[i + 1]);
  // The halves are exchanged after the last round.
  store_be32(block, iters[16][1]);
  store_be32(block + 4, iters[16][0]);
  permute(block, fperm, reinterpret_cast<unsigned char *>(outblock));
}

}  // namespace

int desinit(const char *key) {
  // The permutation, S-box and P tables do not depend on the key: they are
  // built once (the first call; thread-safe), the round keys every time.
  static pthread_once_t fixed_tables_once = PTHREAD_ONCE_INIT;
  pthread_once(&fixed_tables_once, [] {
    perminit(iperm, ip);
    perminit(fperm, fp);
    sinit();
    p32init();
  });
  kinit(reinterpret_cast<const unsigned char *>(key));
  return 0;
}

void endes(const char *inblock, char *outblock) { crypt_block(inblock, outblock, false); }

void dedes(const char *inblock, char *outblock) { crypt_block(inblock, outblock, true); }

void byte2hex(char *dst, const char *src) {
  for (int i = 0; i < 8; i++) {
    unsigned char b = (unsigned char)src[i];
    int hi = b >> 4, lo = b & 15;
    dst[2 * i] = (char)(hi < 10 ? hi + 0x30 : hi + 0x37);
    dst[2 * i + 1] = (char)(lo < 10 ? lo + 0x30 : lo + 0x37);
  }
}

void hex2byte(char *dst, const char *src) {
  for (int i = 0; i < 8; i++) {
    int v[2];
    for (int k = 0; k < 2; k++) {
      int c = (unsigned char)src[2 * i + k];
      v[k] = (c >= '0' && c <= '9') ? c - 0x30 : c - 0x37;
    }
    dst[i] = (char)(unsigned char)((16 * v[0] + v[1]) & 255);
  }
}

int garbage() { return rand() & 255; }

void initkey(const char *p) {
  if (p == nullptr || *p == '\0') p = kDefaultKey;

  // Filler bytes of the following encipherments come from rand(); seed it
  // from the millisecond of the current time.
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  srand((unsigned)(tv.tv_usec / 1000));

  // The key text and its NUL go to the start of keyx, cut to what keyx
  // holds; the bytes behind the NUL keep what an earlier key left there.
  // Peers derive a short key text's DES key the same way, so the DES key of
  // a key text shorter than 8 bytes includes those bytes.
  size_t n = strnlen(p, kKeyxSize - 1);
  memcpy(keyx, p, n);
  keyx[n] = '\0';
  desinit(keyx);
}
