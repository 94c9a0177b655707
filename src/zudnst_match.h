// Text operations beyond copying: wildcard matching with caller-chosen
// wildcard characters, search with a one-character wildcard, normalising of
// fixed-length fields, expansion of %NAME% references from the environment,
// values out of two kinds of keyed field lists, and numbers and bytes as
// text. Matching is case-sensitive and byte-wise everywhere.
//
// Every function that writes into a caller's buffer stays within the size it
// is given and reads its input no further than the input's end (its NUL or
// its given length, whichever comes first).
#pragma once

// 1 when the whole of `str` matches `mask`, else 0. In the mask the character
// `more` matches any sequence of characters (also none) and `one` exactly one
// character; a wildcard given as 0 is switched off. An empty mask matches only
// the empty text. Null arguments give 0.
int MyStrMatch(const char *str, const char *mask, char more, char one);

// Where in `str` a match of `mask` begins, or null:
// - an empty mask gives `str`;
// - a mask without `more` and `one` (a wildcard given as 0 counts as
//   present) is a plain prefix: `str` when `str` begins with it;
// - otherwise the first segment of the mask (up to its next `more`) must lie
//   at the start of `str`, or anywhere (the leftmost place) when the mask
//   begins with `more`; the text behind it must match the rest of the mask
//   by MyStrMatch. When the mask ends with that segment, the text must end
//   with it, and the result is the place where it ends the text.
// The mask is only read (the caller's mask is left as it was).
char *strMatchPtr(char *str, const char *mask, char more, char one);

// 1 when `str1` begins with `str2`, where `one` in `str2` matches any
// character (0: no wildcard); 0 otherwise, also when `str1` is shorter.
int strccmp(const char *str1, const char *str2, char one);

// The leftmost position in `str1` at which strccmp finds `str2`, or null.
// An empty `str2` is found at `str1`.
char *strcstr(char *str1, const char *str2, char one);

// Replaces the `l`-byte field at `p` by its first word (the characters after
// its leading spaces up to the next space, NUL or the field's end),
// left-aligned and filled up with spaces to `l` bytes. No NUL is written.
void fix_len_reorg(char *p, int l);

// Removes the leading spaces of the `l`-byte field at `p`: the rest (up to a
// NUL or the field's end) moves to the front and ends with a NUL; the bytes
// behind that NUL keep their contents. A field without leading spaces stays
// as it is (in particular no NUL is written behind a full field).
void fix_len_reorg2(char *p, int l);

// Copies `buf` (at most 2047 characters) into `logName`, replacing each
// %NAME% reference by the value of the environment variable NAME (getenv).
// A reference without its closing "%" runs to the end of the text; an unset
// variable and "%%" yield nothing; names are cut to 63 characters. All
// `logSize` bytes of `logName` are cleared first and at most `logSize` - 1
// characters are written (longer output is cut). Returns the number of
// characters written.
int ExpandEnvironmentStringsA(const char *buf, char *logName, int logSize);

// Reads a list of fields "<code>=<delim><value><delim>" following each other
// directly (for example A=/x y/B=#z#) in the `rest_len` bytes at `rest_area`
// and copies the value of the first field whose code is `search` into
// `result`, a buffer of `retSize` bytes: at most `retSize` - 1 characters and
// a NUL (a longer value is cut; the result is still 1). Returns 1 when the
// field was found, 0 when it is not there, when a field lacks its "=" or
// its closing delimiter before the area ends, or when `retSize` is 0.
int GetRestField(const char *rest_area, int rest_len, char search, char *result, unsigned int retSize);

// Reads a list "NAME=value,NAME2=value2" in the text `Area` (ending at its NUL,
// or after `Length` bytes when `Length` > 0): finds the first occurrence of
// `search` (plain substring search), skips to the next "=" and copies the
// characters behind it up to the next "," or the text's end into `result`, a
// buffer of `retSize` bytes (at most `retSize` - 1 characters and a NUL).
// Returns 1 when the value is not empty (also when it was cut), else 0.
int GetAttribute(const char *Area, int Length, const char *search, char *result, unsigned int retSize);

// Writes the hex and character view of the first `aLength` bytes (at most
// 500) at `addr` into `cValue`, a buffer of `vLength` bytes: "'", the bytes
// as "%.2X" with a space before every group of four after the first, "'";
// and, only while that text has at most 256 characters, spaces up to a
// multiple of 40, ">", the bytes as characters (printable 0x20-0x7E as
// themselves, others as "."), "<". The text is built within 511 characters
// and copied cut to `vLength` - 1 characters, always terminated. Returns
// `cValue`.
char *GetHexString(const void *addr, int aLength, char *cValue, int vLength);

// Clears the `oLen` bytes at `oPtr` and writes the decimal digits of `Ptr`
// right-aligned so that the last digit stands at position 31, spaces before
// them from position 0 on. Returns a pointer to the first digit. A value of 0
// gives "0" at `oPtr` and returns `oPtr`. With `oLen` < 33 the field ends at
// position `oLen` - 2 instead; when the digits do not fit at all, the text
// stays empty and `oPtr` is returned.
char *CnvIntToChar(unsigned long Ptr, char *oPtr, int oLen);

// Upper-case hex digits of the conversions below.
extern const char g_Conv[];

// Writes the `inBufLen` bytes at `in` as pairs of upper-case hex digits and a
// NUL into `str` (`strLen` bytes). Returns 0, or -1 without writing when
// `strLen` / 2 is not greater than `inBufLen`.
int convert2hex(const unsigned char *in, int inBufLen, char *str, int strLen);
