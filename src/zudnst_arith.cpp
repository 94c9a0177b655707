// Wide arithmetic, base-26 numbers, the message bounds test and the memory
// scrambler.
#include "zudnst_arith.h"

#include <cstdint>

#include "wq_trace.h"

namespace {
constexpr char kB26Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr int kB26Width = 7;  // 26^7 > 2^32: every 32-bit value fits
}  // namespace

// Additions go through unsigned arithmetic, where wrapping is defined.
void MyAddFrom8(long *Summe, const long *add) {
  *Summe = (long)((unsigned long)*Summe + (unsigned long)*add);
}

void MyAddFrom4(long *Summe, int add) { *Summe = (long)((unsigned long)*Summe + (unsigned long)(long)add); }

void myAdd8(long *gss_uint32, unsigned int add) {
  *gss_uint32 = (long)((unsigned long)*gss_uint32 + (unsigned long)add);
}

int MyGt8(const long *if1, const long *if2) { return *if1 > *if2 ? 1 : 0; }
int MyGt4(const int *if1, const int *if2) { return *if1 > *if2 ? 1 : 0; }
int MyLe8(const long *if1, const long *if2) { return *if1 <= *if2 ? 1 : 0; }
int MyLe4(const int *if1, const int *if2) { return *if1 <= *if2 ? 1 : 0; }

char *Zudnst_LongToB26(unsigned int iIn, char *pOut) {
  TRC_IN("(iIn=%u)", iIn);
  if (!pOut) {
    TRC_OUT("no output area");
    return nullptr;
  }
  for (int pos = kB26Width - 1; pos >= 0; --pos) {
    pOut[pos] = kB26Digits[iIn % 26];
    iIn /= 26;
  }
  pOut[kB26Width] = '\0';
  TRC_OUT("%s", pOut);
  return pOut;
}

unsigned int Zudnst_B26ToLong(const char *pIn) {
  TRC_IN("()");
  unsigned int value = 0;
  for (int i = 0; pIn && i < kB26Width && pIn[i] >= 'A' && pIn[i] <= 'Z'; ++i)
    value = value * 26u + (unsigned int)(pIn[i] - 'A');
  TRC_OUT("%u", value);
  return value;
}

int Zudnst_Plausibility(unsigned int MsgLen, unsigned int RestDist, unsigned int RestLen) {
  if (MsgLen == 0) return 1;
  // 64-bit sum: two 32-bit values cannot overflow it.
  return (uint64_t)RestDist + (uint64_t)RestLen <= (uint64_t)MsgLen ? 1 : 0;
}

unsigned int getnewkey(unsigned int key) {
  unsigned int feedback = (key ^ (key >> 3)) & 1u;
  return (key >> 1) | (feedback << 31);
}

unsigned int memchiffre(unsigned int key, void *ptr, int len) {
  TRC_IN("(len=%d)", len);
  key = getnewkey(key);
  const int stream_len = (int)(key & 127u) + 129;  // 129..256
  unsigned char stream[256];
  for (int i = 0; i < stream_len; ++i) {
    key = getnewkey(key);
    stream[i] = (unsigned char)(key % 255u + 1u);  // 1..255: every byte changes
  }
  if (ptr && len > 0) {
    unsigned char *area = static_cast<unsigned char *>(ptr);
    for (int j = 0; j < len; ++j) area[j] ^= stream[j % stream_len];
  }
  TRC_OUT("OK");
  return key;
}
