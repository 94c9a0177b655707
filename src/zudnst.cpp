// Conversion library: byte order and in-place string functions.
#include "zudnst.h"

#include <cctype>
#include <cstring>

// ---- byte order -------------------------------------------------------------

int iIsIntel() {
  uint16_t one = 1;
  unsigned char first;
  memcpy(&first, &one, 1);
  return first == 1 ? 1 : 0;
}

int iIsEbcdic() { return '0' == 0x30 ? 0 : 1; }

namespace {
// Reverses the n bytes at p: byte 0 with n-1, 1 with n-2, and so on.
void reverse_bytes(void *p, size_t n) {
  unsigned char *b = static_cast<unsigned char *>(p);
  for (size_t i = 0; i < n / 2; ++i) {
    unsigned char t = b[i];
    b[i] = b[n - 1 - i];
    b[n - 1 - i] = t;
  }
}

template <typename T>
T to_little_endian(T v) {
  if (!iIsIntel()) reverse_bytes(&v, sizeof v);
  return v;
}
}  // namespace

uint16_t iCnvU16(uint16_t u16) { return to_little_endian(u16); }
int16_t iCnvI16(int16_t i16) { return to_little_endian(i16); }
uint32_t iCnvU32(uint32_t u32) { return to_little_endian(u32); }
int32_t iCnvI32(int32_t i32) { return to_little_endian(i32); }
uint64_t iCnvU64(uint64_t u64) { return to_little_endian(u64); }
int64_t iCnvI64(int64_t i64) { return to_little_endian(i64); }

long *_CnvInt64(long *i64) {
  if (!iIsIntel()) reverse_bytes(i64, 8);
  return i64;
}

unsigned long *_CnvUint64(unsigned long *u64) {
  if (!iIsIntel()) reverse_bytes(u64, 8);
  return u64;
}

void CNV_Int(void *num, short size) {
  if (!iIsIntel() && (size == 2 || size == 4 || size == 8)) reverse_bytes(num, (size_t)size);
}

int CnvInt4(int l) { return to_little_endian(l); }
short CnvInt2(short s) { return to_little_endian(s); }
int CNV_Int4(int l) { return l; }
short CNV_Int2(short s) { return s; }

void CNV_X(void *num, short size) {
  if (iIsIntel() && (size == 2 || size == 4 || size == 8)) reverse_bytes(num, (size_t)size);
}

// ---- strings --------------------------------------------------------------------

char *_StringCopy(char *RcvArea, size_t RcvSize, const char *SndArea, const char * /*FileName*/, int /*line*/) {
  if (!RcvArea) return nullptr;
  if (RcvSize == 0) return RcvArea;
  RcvArea[0] = '\0';
  if (!SndArea || !*SndArea) return RcvArea;
  size_t n = strnlen(SndArea, RcvSize);
  if (n < RcvSize) {
    memcpy(RcvArea, SndArea, n + 1);
  } else {
    memset(RcvArea, 0, RcvSize);
    memcpy(RcvArea, SndArea, RcvSize - 1);
  }
  return RcvArea;
}

char *_StringCat(char *RcvArea, int RcvSize, const char *SndArea, const char *FileName, int line) {
  if (!RcvArea) return nullptr;
  if (!SndArea || !*SndArea || RcvSize <= 0) return RcvArea;
  size_t have = strnlen(RcvArea, (size_t)RcvSize);
  if (have >= (size_t)RcvSize) return RcvArea;  // no terminator within the area: nothing fits
  _StringCopy(RcvArea + have, (size_t)RcvSize - have, SndArea, FileName, line);
  return RcvArea;
}

void EatString(char *pChar, int Idx) {
  // Walks back by index so that no pointer before the field is ever formed.
  for (int i = 0; i <= Idx && pChar[-i] == ' '; ++i) pChar[-i] = '\0';
}

void EatTrailing(char *Area, int Length) {
  if (!Area || Length <= 0) return;
  EatString(Area + Length - 1, Length - 1);
}

void EatTrailingStr(char *Area) {
  if (!Area) return;
  EatTrailing(Area, (int)strlen(Area));
}

char *GetStringTh(const char *Text, int tLength, char *Value, int vLength) {
  if (vLength <= 0) return Value;
  int n = tLength < vLength - 1 ? tLength : vLength - 1;
  if (n < 0) n = 0;
  memcpy(Value, Text, (size_t)n);
  Value[n] = '\0';
  EatTrailing(Value, n);
  return Value;
}

char *strupr(char *string) {
  for (char *p = string; p && *p; ++p) *p = (char)toupper((unsigned char)*p);
  return string;
}

char *ToUpperStr(char *Text) { return strupr(Text); }

void ToLowerCase(char *Text, int tLength) {
  for (int i = 0; i < tLength; ++i) Text[i] = (char)tolower((unsigned char)Text[i]);
}

char *strlow(char *string) {
  for (char *p = string; p && *p; ++p) *p = (char)tolower((unsigned char)*p);
  return string;
}

char *ToLowerStr(char *Text) { return strlow(Text); }
