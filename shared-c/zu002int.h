// DES block cipher (FIPS 46) in electronic code book mode, table driven, with
// the key set-up of the text cipher, the hexadecimal block codec and the
// source of random filler bytes.
//
// The tables are process-wide and unlocked: key set-up and block operations
// are for one thread at a time.
#pragma once

// Key text of the current key set-up, NUL-terminated; its first byte being 0
// means that no key is set up. Only its first 8 bytes form the DES key.
inline constexpr int kKeyxSize = 12;
extern char keyx[kKeyxSize];

// The default key text "borzéska" (UTF-8, 9 bytes; its first 8 count).
extern const char kDefaultKey[];

// Sets up a key: a null or empty `p` selects the default key. Reseeds the
// random generator from the milliseconds of the current time, copies the key
// text (cut to 11 bytes) and its NUL to the start of `keyx`, whose bytes
// behind that keep their earlier contents (zero unless a longer key was set
// up before), and builds the DES tables from the first 8 bytes of `keyx`.
void initkey(const char *p);

// Builds the 16 round keys from the 8 bytes at `key`, and on its first call
// the key-independent tables: the permutations, the paired S-boxes and P.
// The least significant bit of each key byte (the parity bit) is ignored.
// Returns 0.
int desinit(const char *key);

// Enciphers / deciphers the 8-byte block at `inblock` into `outblock` with
// the round keys of the latest desinit. The two may be the same buffer.
void endes(const char *inblock, char *outblock);
void dedes(const char *inblock, char *outblock);

// Writes the 8 bytes at `src` as 16 hexadecimal characters ("0"-"9",
// "A"-"F", high nibble first) to `dst`; writes no NUL.
void byte2hex(char *dst, const char *src);

// Reads exactly 16 characters at `src` and writes 8 bytes to `dst`. Only
// "0"-"9" and upper-case "A"-"F" give their values; other characters give
// meaningless bytes without an error.
void hex2byte(char *dst, const char *src);

// A random byte: rand() & 255.
int garbage();
