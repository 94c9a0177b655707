// Character code conversion through 256-byte tables: entry i of a table is
// the code that byte value i becomes. All operations work on bytes, not on
// NUL-terminated texts; a NUL inside the length is converted like any other
// byte (the fixed tables map 0 to 0).
#pragma once

// Converts the `textLength` bytes at `Text` in place from EBCDIC to ASCII.
// The table covers 7-bit ASCII with the German convention (A, O and U umlaut
// on the codes of "[", "\" and "]") against EBCDIC code page 037; an EBCDIC
// code without counterpart becomes 0xFE, EBCDIC 0x07 stays 0x07 and EBCDIC
// 0x13 becomes 0x12. A null `Text` or a length <= 0 converts nothing.
void ToAscii(char *Text, int textLength);

// Converts the `textLength` bytes at `Text` in place from ASCII to EBCDIC 037
// with the German exceptions ("[" 0xBB, "\" 0xBC, "]" 0xBD, "^" 0x6A, "`"
// 0x4A, "{" 0xFB, "}" 0xFD, "~" 0xFF). Of 0x80-0xFF only the ISO 8859-1
// umlauts 0xC4, 0xD6, 0xDC have a code (0xBB, 0xBC, 0xBD); all others become
// 0x07. A null `Text` or a length <= 0 converts nothing.
void ToEbcdic(char *Text, int textLength);

// Builds the 256-byte conversion table `cCodeTab` from a 512-byte code
// description `InpCode`: bytes 0-255 are the target codes, bytes 256-511 one
// attribute byte per source value (bit 0: the value is valid; bit 1: its
// target code is the substitution character). Valid values get their target
// code, all others the substitution character: the target code of the lowest
// value with bit 1, or a space when no value has it. Null arguments do
// nothing.
void SetCodeTab(unsigned char *cCodeTab, const unsigned char *InpCode);

// OutArea[i] = cCodeTab[ConvArea[i]] for i = 0 .. AreaLen-1; `OutArea` may
// be `ConvArea`. Returns the number of bytes converted: 0 when `AreaLen` <= 0
// or an argument is null.
int AreaConv(unsigned char *OutArea, const unsigned char *ConvArea, int AreaLen, const unsigned char *cCodeTab);

// Code of the program's own character set: 1 (ASCII).
int OwnCode();

// Translates `size` bytes at `from` in place between EBCDIC 273 (code 0) and
// PC code page 850 (non-zero code); nothing when the codes are equal.
void Swapcode(int srccode, int trgcode, unsigned char *from, int size);
