// Conversion library: wire byte order, the bounded string copy and the
// in-place string functions.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- byte order -----------------------------------------------------------
// Every integer placed in a message travels least significant byte first.
// Each iCnv* call turns a host value into its wire form and back (it is its
// own inverse); on a little-endian host it returns its argument.

// 1 when the host is little-endian (tested at run time).
int iIsIntel();
// 1 when the host character set is EBCDIC.
int iIsEbcdic();

uint16_t iCnvU16(uint16_t u16);
int16_t iCnvI16(int16_t i16);
uint32_t iCnvU32(uint32_t u32);
int32_t iCnvI32(int32_t i32);
uint64_t iCnvU64(uint64_t u64);
int64_t iCnvI64(int64_t i64);

// In place: reverse the bytes on a big-endian host; return the argument.
long *_CnvInt64(long *i64);
unsigned long *_CnvUint64(unsigned long *u64);
// In place for sizes 2, 4, 8 on a big-endian host; other sizes unchanged.
void CNV_Int(void *num, short size);

int CnvInt4(int l);
short CnvInt2(short s);
int CNV_Int4(int l);    // unchanged on every host
short CNV_Int2(short s);  // unchanged on every host

// Host value to big-endian and back, in place, for sizes 2, 4 and 8.
void CNV_X(void *num, short size);

// Stores `v` at `p` in wire (little-endian) order; reads it back. These are
// the only way integers enter or leave a byte stream.
inline void wq_put_u16(unsigned char *p, uint16_t v) { p[0] = (unsigned char)v; p[1] = (unsigned char)(v >> 8); }
inline void wq_put_u32(unsigned char *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = (unsigned char)(v >> (8 * i));
}
inline void wq_put_u64(unsigned char *p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = (unsigned char)(v >> (8 * i));
}
inline uint16_t wq_get_u16(const unsigned char *p) { return (uint16_t)(p[0] | (p[1] << 8)); }
inline uint32_t wq_get_u32(const unsigned char *p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
inline uint64_t wq_get_u64(const unsigned char *p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// ---- strings ----------------------------------------------------------------

// Bounded copy. A null RcvArea gives null. Otherwise RcvArea is emptied; a
// null or empty SndArea, or RcvSize 0, leaves it empty. A source shorter than
// RcvSize is copied whole with its terminator; a longer one has its first
// RcvSize-1 characters copied into the cleared area, so the result is always
// terminated. FileName/line name the caller and do not change the result.
char *_StringCopy(char *RcvArea, size_t RcvSize, const char *SndArea, const char *FileName, int line);
#define StringCopy(dst, size, src) _StringCopy((dst), (size), (src), __FILE__, __LINE__)

// Bounded append: the whole text with its terminator stays within RcvSize.
char *_StringCat(char *RcvArea, int RcvSize, const char *SndArea, const char *FileName, int line);

// Copies min(tLength, vLength-1) bytes, terminates, removes trailing blanks.
char *GetStringTh(const char *Text, int tLength, char *Value, int vLength);

void EatTrailingStr(char *Area);
void EatTrailing(char *Area, int Length);
void EatString(char *pChar, int Idx);

char *strupr(char *string);
char *ToUpperStr(char *Text);
void ToLowerCase(char *Text, int tLength);
char *strlow(char *string);
char *ToLowerStr(char *Text);
