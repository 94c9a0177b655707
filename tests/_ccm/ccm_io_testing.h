// Helpers for the tests of the network thread's I/O: a context with its
// wake-up pipes, frame builders, socket pairs and waiting with deadlines.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "ccm.h"
#include "messenger_pcx.h"
#include "zudnst.h"

namespace ccmtest {

inline constexpr int kDeadlineMs = 30000;  // generous: the machine is small and busy

// A 48-byte protocol header for a frame of `total` bytes.
inline std::string header(size_t total, const char *protocol = "NAT") {
  char h[49];
  snprintf(h, sizeof h, "%.8d%s%s%.3s%8s%16s", (int)total, "WQ8:global", "001", protocol, "", "");
  return std::string(h, 48);
}

inline std::string frame(const std::string &body, const char *protocol = "NAT") {
  return header(body.size() + 48, protocol) + body;
}

// Key blocks with a 1-, 2-, 4-byte little-endian or 7-digit decimal length.
inline std::string block1(unsigned key, const std::string &c) {
  return std::string(1, (char)key) + std::string(1, (char)c.size()) + c;
}
inline std::string block2(unsigned key, const std::string &c) {
  unsigned char l[2];
  wq_put_u16(l, (uint16_t)c.size());
  return std::string(1, (char)key) + std::string((char *)l, 2) + c;
}
inline std::string block4(unsigned key, const std::string &c) {
  unsigned char l[4];
  wq_put_u32(l, (uint32_t)c.size());
  return std::string(1, (char)key) + std::string((char *)l, 4) + c;
}
inline std::string block7(unsigned key, const std::string &c) {
  char d[8];
  snprintf(d, sizeof d, "%.7d", (int)c.size());
  return std::string(1, (char)key) + std::string(d, 7) + c;
}

inline std::string pattern(size_t n, unsigned seed = 7) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = (char)((i * 31 + seed) & 0xFF);
  return s;
}

inline std::string msg_data(const ccm_msg_t *m) { return std::string((const char *)m->msg_start, (size_t)m->len); }

// Waits until `fd` is readable (or has an error/hang-up). False on time-out.
inline bool wait_readable(int fd, int ms = kDeadlineMs) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}
inline bool readable_now(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

inline void write_all(int fd, const std::string &s) {
  size_t off = 0;
  while (off < s.size()) {
    ssize_t n = write(fd, s.data() + off, s.size() - off);
    if (n < 0 && errno == EAGAIN) {
      struct pollfd p = {fd, POLLOUT, 0};
      ASSERT_GT(poll(&p, 1, kDeadlineMs), 0);
      continue;
    }
    ASSERT_GT(n, 0);
    off += (size_t)n;
  }
}

// Reads exactly n bytes from a (possibly non-blocking) socket, with deadline.
inline std::string read_exact(int fd, size_t n) {
  std::string out;
  char buf[65536];
  while (out.size() < n) {
    if (!wait_readable(fd)) break;
    ssize_t r = read(fd, buf, std::min(sizeof buf, n - out.size()));
    if (r <= 0) {
      if (r < 0 && errno == EAGAIN) continue;
      break;
    }
    out.append(buf, (size_t)r);
  }
  return out;
}

// Number of bytes waiting in a pipe (consumed).
inline int drain_pipe(int fd) {
  int n = 0;
  char c;
  while (readable_now(fd) && read(fd, &c, 1) == 1) ++n;
  return n;
}

inline int count_recvq(ccm_context_t *ccm) {
  ccm_queue_lock(ccm);
  int n = 0;
  for (ccm_msg_t *m = ccm->recvq.head; m; m = m->nxt) ++n;
  ccm_queue_unlock(ccm);
  return n;
}

// Takes the next message of the receive queue, waiting up to the deadline.
inline ccm_msg_t *receive(ccm_context_t *ccm, int ms = kDeadlineMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  ccm_error_t err{};
  while (std::chrono::steady_clock::now() < end) {
    ccm_msg_t *m = nullptr;
    int rc = ccm_receive_message(ccm, 1, &m, &err);
    if (rc == 1) return m;
    if (rc < 0) return nullptr;
  }
  return nullptr;
}

inline bool is_ipc(const ccm_msg_t *m, const char *type) {
  char name[16] = {0};
  memcpy(name, type, strlen(type));
  return m->type == CCM_MSG_IPC && m->len >= 16 && memcmp(m->msg_start, name, 16) == 0;
}

// An opened context with its wake-up pipes, closed in the documented order.
class Context {
 public:
  explicit Context(int running_mode = 3) {
    pcx_.running_mode = running_mode;
    ccm_error_t err{};
    EXPECT_EQ(0, ccm_open(&pcx_, &ccm, &err));
  }
  ~Context() {
    if (running) Stop();
    ccm_channel_closeall(ccm);
    ccm_error_t err{};
    ccm_close(ccm, &err);
  }
  void Pipes() {
    ccm_error_t err{};
    ASSERT_EQ(0, ccm_create_wakeup_pipes(ccm, &err));
  }
  void Start() {
    ccm_error_t err{};
    ASSERT_EQ(0, ccm_thread_start(ccm, &err));
    running = true;
  }
  // Stops the thread and joins it within the deadline.
  void Stop() {
    ccm_thread_stop(ccm);
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_sec += kDeadlineMs / 1000;
    EXPECT_EQ(0, pthread_timedjoin_np(ccm->thread, nullptr, &ts));
    running = false;
  }
  // Channel entry around descriptor `s`, not chained.
  ccm_channel_t *Entry(int s, int type = 0) {
    ccm_channel_t *ch = nullptr;
    ccm_error_t err{};
    EXPECT_EQ(0, ccm_channel_new_entry(ccm, &ch, &err));
    ch->s = s;
    ch->type = type;
    return ch;
  }
  // Destroys an entry that was never chained, without notice.
  void Discard(ccm_channel_t *ch) {
    ccm_error_t err{};
    ch->type = -1;
    ccm_channel_destroy(ccm, ch, &err);
  }
  // Takes chained channels over into channelq, as a pass would.
  void Merge() {
    ccm_channel_lock(ccm);
    ccm_channel_merge_newq(ccm);
    ccm_channel_unlock(ccm);
  }
  // Hands a message over to the context's send queue and wakes the thread.
  void Send(ccm_msg_t *m) {
    ccm_queue_lock(ccm);
    ccmq_unlink(ccm->msgq_inuse, m);
    ccmq_append(ccm->sendq, m);
    ccm_queue_unlock(ccm);
    ccm_wakeup_network(ccm);
  }
  // A message holding the bytes `data` at msg_start.
  ccm_msg_t *Msg(const std::string &data) {
    ccm_error_t err{};
    ccm_msg_t *m = data.size() + 256 <= 2u * 32768 ? ccm_msg_alloc(ccm, &err)
                                                   : ccm_msg_alloc_huge(ccm, (int32_t)data.size(), &err);
    EXPECT_NE(nullptr, m);
    if (data.size() + 256 > 2u * 32768) m->msg_start = m->buffer1;
    memcpy(m->msg_start, data.data(), data.size());
    m->len = (int32_t)data.size();
    return m;
  }

  ccm_context_t *ccm = nullptr;
  bool running = false;

 private:
  PCX pcx_{};
};

inline void socket_pair(int sv[2], int type = SOCK_STREAM) {
  ASSERT_EQ(0, socketpair(AF_UNIX, type, 0, sv));
}
inline void nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace ccmtest
