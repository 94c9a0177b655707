// Small text tools shared by the channel manager and the job messenger.
// Only the blank (0x20) counts as white space.
#pragma once

#include <sys/select.h>
#include <ctime>

void rstrip(char *string);
void lstrip(char *string);
void strip(char *string);

// Lists the members 0..maxfd of `set` as "3,5,7" into `work`, bounded to
// `work_size` bytes (the list is cut to fit). Returns `work`.
char *fdset2string(char *work, const fd_set *set, int maxfd, size_t work_size = 1024);

int get_variable_msg_field(char *out, const char *in, int dist, int len);
char *strupper(char *string);
char *str_replace_char(char *string, char c1, char c2);
// 1 when start_time + timespan is strictly before now.
int is_timer_elapsed(time_t start_time, int timespan);
// The text of error number `err`, safe on any number of threads at once
// (strerror may share one buffer between them): the C library's description,
// or "Unknown error <err>" in a buffer of the calling thread for a number it
// does not know. The text stays valid at least until the thread's next call.
const char *wq_strerror(int err);

// Pointer behind the last '/' of ProgName, or ProgName itself.
char *GetPName(char *ProgName);
// Upper-cases the first tLength characters in place.
void ToUpperCase(char *Text, int tLength);
// Word n (from 1) of src split at single delimiters; n < 0 asks for the rest
// of the text from word |n| on. See the implementation for the exact result.
int get_word_delimited(const char *src, char delimiter, int n, char *dst, int dst_len);
