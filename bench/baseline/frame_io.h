/* Blocking-socket helpers shared by the plain C baselines: whole reads and
 * writes, one frame read by the length field of its 48-byte header, and the
 * frames of the exchange (greeting, answer, a NAT report frame). */
#ifndef BASELINE_FRAME_IO_H
#define BASELINE_FRAME_IO_H

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define HDR 48

/* A blocking TCP connection to ip:port (texts of the command line). The
   socket, -2 when the address is not an IPv4 one, -1 when it fails. */
static inline int connect_tcp(const char *ip, const char *port) {
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons((unsigned short)atoi(port));
  if (inet_pton(AF_INET, ip, &a.sin_addr) != 1) return -2;
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s >= 0 && connect(s, (struct sockaddr *)&a, sizeof a) == 0) return s;
  if (s >= 0) close(s);
  return -1;
}

/* Writes all n bytes; 0, or -1 on an error. */
static inline int write_all(int s, const void *p, size_t n) {
  const char *c = (const char *)p;
  while (n > 0) {
    ssize_t w = write(s, c, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return -1;
    c += w;
    n -= (size_t)w;
  }
  return 0;
}

/* Reads exactly n bytes; 0, or -1 on an error or end of stream. */
static inline int read_all(int s, void *p, size_t n) {
  char *c = (char *)p;
  while (n > 0) {
    ssize_t r = read(s, c, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return -1;
    c += r;
    n -= (size_t)r;
  }
  return 0;
}

/* Length of the frame whose header is at h (8 decimal digits); 0 if none. */
static inline size_t frame_length(const char *h) {
  char d[9];
  memcpy(d, h, 8);
  d[8] = 0;
  long v = strtol(d, NULL, 10);
  return v < HDR ? 0 : (size_t)v;
}

/* Reads one frame into *buf (grown as needed, capacity *cap). Returns its
 * length, or 0 on an error or end of stream. */
static inline size_t read_frame(int s, char **buf, size_t *cap) {
  if (*cap < HDR) {
    *buf = (char *)realloc(*buf, 65536);
    *cap = 65536;
  }
  if (read_all(s, *buf, HDR) != 0) return 0;
  size_t len = frame_length(*buf);
  if (len == 0) return 0;
  if (len > *cap) {
    char *nb = (char *)realloc(*buf, len);
    if (!nb) return 0;
    *buf = nb;
    *cap = len;
  }
  if (read_all(s, *buf + HDR, len - HDR) != 0) return 0;
  return len;
}

/* Writes the 48-byte header of a frame of `len` bytes with `protocol`. */
static inline void put_header(char *h, size_t len, const char *protocol) {
  char t[96];
  snprintf(t, sizeof t, "%.8zuWQ8:global001%3.3s%8s%16s", len, protocol, "", "");
  memcpy(h, t, HDR);
}

/* A native frame of one key-0x04 block holding `text`; returns its length. */
static inline size_t native_frame(char *f, const char *text) {
  size_t n = strlen(text);
  put_header(f, HDR + 2 + n, "NAT");
  f[HDR] = 0x04;
  f[HDR + 1] = (char)n;
  memcpy(f + HDR + 2, text, n);
  return HDR + 2 + n;
}

/* A NAT frame to "JPAKTJ_R" around `n` payload bytes: header, name block,
 * 0xFF length block, payload. Returns its length (n + 63). */
static inline size_t nat_frame(char *f, const char *payload, uint32_t n) {
  size_t len = HDR + 10 + 5 + n;
  put_header(f, len, "NAT");
  char *p = f + HDR;
  p[0] = 0x01;
  p[1] = 8;
  memcpy(p + 2, "JPAKTJ_R", 8);
  p[10] = (char)0xFF;
  p[11] = (char)(n & 0xFF);
  p[12] = (char)((n >> 8) & 0xFF);
  p[13] = (char)((n >> 16) & 0xFF);
  p[14] = (char)((n >> 24) & 0xFF);
  if (payload) memcpy(p + 15, payload, n);
  else memset(p + 15, 'x', n);
  return len;
}

/* The receive side of a network thread in the baselines that have one: a
 * descriptor is read once when select says it is readable (whatever it
 * holds, never waiting for more), and whole frames are cut off the front.
 * The storage is part of the record, so a program that keeps its buffers in
 * static storage allocates nothing for them (a thread's first malloc would
 * give it an arena of its own). Frames longer than the buffer are refused. */
#define FRAME_BUF_SIZE 65536
struct frame_buf {
  size_t len; /* bytes held, from p[0] */
  char p[FRAME_BUF_SIZE];
};

/* Reads once from s into the free room of b. Returns the bytes read, 0 at
 * the end of the stream, -1 on an error or when b is full (a frame longer
 * than the buffer). */
static inline ssize_t frame_buf_fill(int s, struct frame_buf *b) {
  if (b->len == sizeof b->p) return -1;
  ssize_t r;
  do r = read(s, b->p + b->len, sizeof b->p - b->len);
  while (r < 0 && errno == EINTR);
  if (r > 0) b->len += (size_t)r;
  return r;
}

/* Length of the whole frame at the front of b; 0 while it is incomplete,
 * (size_t)-1 when its header is invalid or announces more than fits. */
static inline size_t frame_buf_whole(const struct frame_buf *b) {
  if (b->len < HDR) return 0;
  size_t n = frame_length(b->p);
  if (n == 0 || n > sizeof b->p) return (size_t)-1;
  return n <= b->len ? n : 0;
}

/* Drops the first n bytes of b (a frame that was handed on). */
static inline void frame_buf_drop(struct frame_buf *b, size_t n) {
  b->len -= n;
  if (b->len) memmove(b->p, b->p + n, b->len);
}

/* Waits for the next whole frame in b, reading s once per wait (the
 * blocking read of a user thread on its pipe). Its length, or 0 on an
 * error or the end of the stream; the caller drops it when done. */
static inline size_t frame_buf_next(int s, struct frame_buf *b) {
  size_t n;
  while ((n = frame_buf_whole(b)) == 0)
    if (frame_buf_fill(s, b) <= 0) return 0;
  return n == (size_t)-1 ? 0 : n;
}

static inline double now_s(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

#endif
