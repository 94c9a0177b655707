// Small numeric operations: additions and comparisons on integers passed by
// pointer, a base-26 letter code for 32-bit numbers, a bounds test for an
// area inside a message, and a keyed XOR scrambler for memory areas.
#pragma once

// *Summe += *add, 64-bit, wrapping modulo 2^64.
void MyAddFrom8(long *Summe, const long *add);
// *Summe += add, the 32-bit value sign-extended; wrapping.
void MyAddFrom4(long *Summe, int add);
// *gss_uint32 += add, the 32-bit value taken as unsigned; wrapping.
void myAdd8(long *gss_uint32, unsigned int add);

// Signed comparisons: 1 when the relation holds, else 0.
int MyGt8(const long *if1, const long *if2);  // *if1 >  *if2
int MyGt4(const int *if1, const int *if2);    // *if1 >  *if2
int MyLe8(const long *if1, const long *if2);  // *if1 <= *if2
int MyLe4(const int *if1, const int *if2);    // *if1 <= *if2

// Writes the 7-letter base-26 code of `iIn` and a NUL into `pOut` (8 bytes):
// digits A = 0 .. Z = 25, most significant first, leading A's for small
// numbers (0 -> AAAAAAA, 4294967295 -> NXMRLXV). Returns `pOut`; a null
// `pOut` gives null.
char *Zudnst_LongToB26(unsigned int iIn, char *pOut);

// The number the letters at `pIn` stand for: at most 7 characters are read;
// each upper-case letter makes the value 26 * value + digit (unsigned 32-bit
// arithmetic, so codes above NXMRLXV wrap). Reading ends at the end of the
// text or at the first character that is not an upper-case letter, with the
// value of the letters before it and no further factor: "AB" and "AB-x" both
// give 1. An empty text, a leading non-letter and a null `pIn` give 0.
unsigned int Zudnst_B26ToLong(const char *pIn);

// 1 when an area of `RestLen` bytes at distance `RestDist` lies within a
// message of `MsgLen` bytes (RestDist + RestLen <= MsgLen, computed without
// overflow); a `MsgLen` of 0 means "no length given" and always gives 1.
int Zudnst_Plausibility(unsigned int MsgLen, unsigned int RestDist, unsigned int RestLen);

// The next key of the 32-bit shift register: the key shifted right by one,
// bit 31 = bit 0 XOR bit 3 of the old key.
unsigned int getnewkey(unsigned int key);

// Scrambles (or, applied again with the same key, unscrambles) `len` bytes at
// `ptr` in place: the key is advanced once to choose the stream length
// L = (key & 127) + 129, then L times more for the stream bytes
// (key mod 255) + 1, never 0; byte j of the area is XORed with stream byte
// j mod L. Returns the last key generated, so that a caller can continue with
// a fresh stream. With `len` <= 0 or a null `ptr` nothing changes, but the key
// still advances L + 1 steps.
unsigned int memchiffre(unsigned int key, void *ptr, int len);
