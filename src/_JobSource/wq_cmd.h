// The command runner of CMD=: enciphered segments of a command are replaced
// by their plain text before the command goes to the shell.
#pragma once

#include <cstddef>

#include "messenger_pcx.h"

// The key under which command segments are enciphered.
inline constexpr char kCmdKey[] = "Hm3Tx#6q";

// Builds the command line to run from `cmd`. A segment begins at a marker,
// "--10" or 0xAD 0xAD "10", found anywhere in the text (also inside words),
// and goes on over the hexadecimal digits (either case) behind it. Each
// segment is upper-cased behind its marker and deciphered with kCmdKey; its
// plain text, up to its NUL and never past the bytes the segment deciphered
// to, takes its place. A segment that is no valid enciphered text stays as
// it was, upper-cased. Segments of any length are deciphered whole.
//
// Writes at most `outSize` bytes to `out`, terminated when outSize > 0; the
// result is never longer than `cmd`, so strlen(cmd) + 1 bytes always
// suffice. Returns the length of the result (0 for a null `cmd` or `out`).
// Work areas are taken and given back here (an allocation failure ends the
// process); the deciphered texts are cleared before they are freed. Uses
// the cipher's shared key state: one thread at a time (the main thread).
size_t decipherCmd(const char *cmd, char *out, size_t outSize);

// Runs px->pCmdBuffer through decipherCmd and the shell, on the main thread
// before any channel manager exists. Returns the result of system(): the
// shell's wait status (0 when the command ended with 0), or -1 when no shell
// could be started. The work areas are released in every case.
int processCmd(PCX *pcx);
