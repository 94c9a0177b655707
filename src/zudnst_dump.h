// Hexadecimal dumps of memory areas for trace output, in two line layouts,
// and short one-line hex texts of an area and of an address. Dumps are
// printed on standard output; a line whose 16 bytes repeat the line before
// it is folded into a mark on that line.
#pragma once

#include <cstddef>

// Layout A: prints the title line "%-69s 0x%.6x (%.5u)" (title, size in hex
// and decimal), then one line per 16 bytes:
//   "  0x<16 hex digits> (<offset, 6 hex digits>)  >" , the bytes as "%.2x"
//   with a space after every fourth byte except at the line's end, "<",
//   spaces so that ">" is the 69th character, the bytes as characters, "<".
// Characters 0x20-0x2D, 0x2F-0x5A, "\", "_", 0x61-0x7A and "~" show as
// themselves, all others as ".". While more than 15 bytes remain behind a
// full line and the next 16 equal it, they are skipped and the line's second
// character becomes "=". A null title prints as empty; a null area prints
// only the title. Returns 0.
int iPrtMem(const void *pAddr, unsigned int lSize, const char *pTitle);

// Layout B: prints the header "----->  TRACE: (<id>)", padded with spaces,
// with "%p %.5d" (address and length; "%p %.4d" for a negative length) from
// offset 66 on, then, for `len` > 0, one line per 16 bytes:
//   14 spaces, the offset as "%.8X", a space, the bytes as "%.2X" with a space
//   before every group of four, spaces up to 59 characters, "  >", the bytes
//   as characters (0x20-0x7E as themselves, others as "."), "<".
// While more than 16 bytes remain behind a line and the next 16 equal it,
// they are skipped and the 23rd character of the line becomes "=". A null
// `id` prints as empty; a null area prints only the header. Returns 0.
int ZUMEM_Trace(const char *id, const void *addr, int len);

// The body lines of a layout-B dump, for any dump of that form (also the
// trace dump of trcdump): for each 16 bytes of `len` at `addr`, `indent`
// spaces, the offset as "%.8X", a space, the bytes as "%.2X" with a space
// before every group of four, spaces up to the column where the hex of a
// full line ends (`indent` + 45; up to `lone_hex_end` instead when the whole
// dump is shorter than one line), "  >", the bytes as characters (0x20-0x7E
// as themselves, others as "."), "<" and a line end. While more than 16
// bytes remain behind a line and the next 16 equal it, they are skipped and
// the space behind the offset becomes "=". Each line is handed to `emit`.
void ZUMEM_DumpLines(const void *addr, int len, int indent, int lone_hex_end, void (*emit)(const char *line, void *arg),
                     void *arg);

// The same as ZUMEM_Trace.
int MemTrace(const char *id, const void *Area, int Length);

// ZUMEM_Trace with `id` formatted as "%40s : " (cut to 255 characters).
int FormMemTrace(const char *id, const void *Area, int Length);

// Builds the layout-B dump (header and all lines, each ending in a line end)
// as one text into `out`, a buffer of `outSize` bytes, without printing it.
// Only whole lines are taken: a dump that does not fit ends with the last
// line that does. Returns the length of the text.
size_t ZUMEM_TraceText(const char *id, const void *addr, int len, char *out, size_t outSize);

// Size of the buffer behind ZUMEM_TraceStr, terminator included.
constexpr size_t ZUMEM_TRACESTR_SIZE = 65536;

// The layout-B dump as one text (ZUMEM_TraceText into a buffer of
// ZUMEM_TRACESTR_SIZE bytes that belongs to the calling thread); nothing is
// printed. The text stays valid until the thread's next call. Without
// memory for the buffer the text is empty.
char *ZUMEM_TraceStr(const char *id, const void *addr, int len);

// Clears `oLen` bytes at `oPtr` and writes the `iLen` bytes at `iPtr` as
// upper-case hex, a space before every byte whose index is a non-zero
// multiple of 4; it stops before a byte when fewer than 4 characters of room
// are left, so the text and its NUL stay within `oLen`. Returns `oPtr`.
char *GetMemTrace(const unsigned char *iPtr, int iLen, char *oPtr, int oLen);

// Clears `iLen` bytes at `cAddr` and writes the 64-bit value of the address
// `Was`, most significant byte first, as two groups of eight upper-case hex
// digits ("00000000 0040C756"), cut to `iLen` like snprintf. Returns `cAddr`.
char *CnvAddrStr(const void *Was, char *cAddr, int iLen);
