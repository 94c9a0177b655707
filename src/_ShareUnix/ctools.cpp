// Small text tools shared by the channel manager and the job messenger.
#include "ctools.h"

#include <cctype>
#include <cstdio>
#include <cstring>

void rstrip(char *string) {
  if (!string) return;
  size_t n = strlen(string);
  while (n > 0 && string[n - 1] == ' ') string[--n] = '\0';
}

void lstrip(char *string) {
  if (!string) return;
  // One move of the whole rest instead of a shift per blank; same result.
  size_t lead = strspn(string, " ");
  if (lead) memmove(string, string + lead, strlen(string + lead) + 1);
}

void strip(char *string) {
  lstrip(string);
  rstrip(string);
}

char *fdset2string(char *work, const fd_set *set, int maxfd, size_t work_size) {
  if (!work || work_size == 0) return work;
  work[0] = '\0';
  size_t used = 0;
  for (int fd = 0; fd <= maxfd; ++fd) {
    // The sets of the select loop are larger than fd_set; test the bit
    // directly instead of FD_ISSET, which is bounded to FD_SETSIZE.
    const unsigned long *words = reinterpret_cast<const unsigned long *>(set);
    const size_t bits = 8 * sizeof(unsigned long);
    if (!(words[fd / bits] & (1UL << (fd % bits)))) continue;
    char num[16];
    int n = snprintf(num, sizeof num, "%d,", fd);
    if (used + (size_t)n >= work_size) break;  // cut to fit
    memcpy(work + used, num, (size_t)n + 1);
    used += (size_t)n;
  }
  if (used > 0) work[used - 1] = '\0';
  return work;
}

int get_variable_msg_field(char *out, const char *in, int dist, int len) {
  if (len < 0) len = 0;
  memcpy(out, in + dist, (size_t)len);
  out[len] = '\0';
  return 0;
}

char *strupper(char *string) {
  for (char *p = string; p && *p; ++p) *p = (char)toupper((unsigned char)*p);
  return string;
}

char *str_replace_char(char *string, char c1, char c2) {
  for (char *p = string; p && *p; ++p)
    if (*p == c1) *p = c2;
  return string;
}

int is_timer_elapsed(time_t start_time, int timespan) { return start_time + timespan < time(nullptr) ? 1 : 0; }

const char *wq_strerror(int err) {
  // The descriptions are constant texts of the C library, not translated and
  // never written, so any thread may read them at any time.
  if (const char *text = strerrordesc_np(err)) return text;
  static thread_local char unknown[32];
  snprintf(unknown, sizeof unknown, "Unknown error %d", err);
  return unknown;
}

char *GetPName(char *ProgName) {
  char *slash = strrchr(ProgName, '/');
  return slash ? slash + 1 : ProgName;
}

void ToUpperCase(char *Text, int tLength) {
  for (int i = 0; i < tLength; ++i) Text[i] = (char)toupper((unsigned char)Text[i]);
}

int get_word_delimited(const char *src, char delimiter, int n, char *dst, int dst_len) {
  const int k = n < 0 ? -n : n;
  if (dst_len > 0) dst[0] = '\0';
  const char *p = src;
  int i = 1;
  while (*p && i != k) {
    while (*p && *p != delimiter) ++p;
    if (*p == delimiter) ++p;
    ++i;
  }
  if (i != k || dst_len <= 0) return 0;
  if (n < 0) {
    strncpy(dst, p, (size_t)dst_len);
    dst[dst_len - 1] = '\0';
    return (int)strlen(dst);
  }
  int count = 0;
  while (p[count] && p[count] != delimiter && count < dst_len) {
    dst[count] = p[count];
    ++count;
  }
  if (count == dst_len) {
    dst[dst_len - 1] = '\0';
  } else {
    dst[count] = '\0';
  }
  return count;
}
