// Helpers shared by the channel manager tests: a log recorder, descriptor
// checks, a context, frame builders, socket pairs and waiting with deadlines.
#pragma once

#include <dirent.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ccm.h"
#include "messenger_pcx.h"
#include "wq_trace.h"
#include "zudnst.h"

namespace ccmtest {

// Records every __log call while installed.
class LogRecorder {
 public:
  LogRecorder() {
    instance() = this;
    __log_set_logger(&LogRecorder::logger);
  }
  ~LogRecorder() {
    __log_set_logger(messenger_logger);
    instance() = nullptr;
  }
  std::vector<std::pair<int, std::string>> entries() {
    std::lock_guard<std::mutex> g(mu_);
    return entries_;
  }
  // Inserts logged with `msgnr`, in order.
  std::vector<std::string> with(int msgnr) {
    std::vector<std::string> out;
    for (auto &e : entries())
      if (e.first == msgnr) out.push_back(e.second);
    return out;
  }
  void clear() {
    std::lock_guard<std::mutex> g(mu_);
    entries_.clear();
  }

 private:
  static LogRecorder *&instance() {
    static LogRecorder *p = nullptr;
    return p;
  }
  static int logger(int msgnr, const char *insert) {
    LogRecorder *r = instance();
    if (r) {
      std::lock_guard<std::mutex> g(r->mu_);
      r->entries_.emplace_back(msgnr, insert ? insert : "");
    }
    return 0;
  }
  std::mutex mu_;
  std::vector<std::pair<int, std::string>> entries_;
};

// Number of descriptors open in this process.
inline int open_fd_count() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  if (!d) return -1;
  while (struct dirent *e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n - 1;  // the directory's own descriptor
}

inline bool fd_is_open(int fd) { return fd >= 0 && fcntl(fd, F_GETFD) != -1; }

// Reads one byte from `fd`, waiting for it up to `seconds`. Returns the byte
// or -1 when none came.
inline int read_byte(int fd, int seconds = 20) {
  struct pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, seconds * 1000) != 1) return -1;
  unsigned char c;
  return read(fd, &c, 1) == 1 ? c : -1;
}

// True when `fd` has nothing to read right now.
inline bool nothing_to_read(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 0) == 0;
}


inline constexpr int kDeadlineMs = 30000;  // generous: the machine is small and busy

// A frame: protocol header of the whole length, then `body`.
inline std::string frame(const std::string &body, const char *protocol = "NAT") {
  char h[64];
  snprintf(h, sizeof h, "%.8d%s%s%.3s%8s%16s", (int)body.size() + 48, "WQ8:global", "001", protocol, "", "");
  return std::string(h, 48) + body;
}

// A key block whose length field has `keylen` bytes: 1, 2, 4 little-endian
// or 7 decimal digits.
inline std::string block(unsigned key, const std::string &c, int keylen = 1) {
  unsigned char l[8];
  if (keylen == 7) snprintf((char *)l, sizeof l, "%.7d", (int)c.size());
  else wq_put_u32(l, (uint32_t)c.size());
  std::string b(1, (char)key);
  b.append((const char *)l, (size_t)keylen).append(c);
  return b;
}

inline std::string pattern(size_t n, unsigned seed = 7) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = (char)((i * 31 + seed) & 0xFF);
  return s;
}

inline std::string msg_data(const ccm_msg_t *m) { return std::string((const char *)m->msg_start, (size_t)m->len); }

inline bool wait_readable(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, kDeadlineMs) > 0;
}

// Writes all of `s` to a blocking descriptor.
inline void write_all(int fd, const std::string &s) {
  for (size_t off = 0; off < s.size();) {
    ssize_t n = write(fd, s.data() + off, s.size() - off);
    ASSERT_GT(n, 0);
    off += (size_t)n;
  }
}

// Reads n bytes, waiting for each piece up to the deadline.
inline std::string read_exact(int fd, size_t n) {
  std::string out;
  char buf[65536];
  while (out.size() < n && wait_readable(fd)) {
    ssize_t r = read(fd, buf, std::min(sizeof buf, n - out.size()));
    if (r <= 0) break;
    out.append(buf, (size_t)r);
  }
  return out;
}

inline int count_recvq(ccm_context_t *ccm) {
  ccm_queue_lock(ccm);
  int n = 0;
  for (ccm_msg_t *m = ccm->recvq.head; m; m = m->nxt) ++n;
  ccm_queue_unlock(ccm);
  return n;
}

// Takes the next message of the receive queue, waiting up to the deadline.
inline ccm_msg_t *receive(ccm_context_t *ccm) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
  ccm_error_t err{};
  ccm_msg_t *m = nullptr;
  while (std::chrono::steady_clock::now() < end) {
    int rc = ccm_receive_message(ccm, 1, &m, &err);
    if (rc != 0) return rc == 1 ? m : nullptr;
  }
  return nullptr;
}

inline bool is_ipc(const ccm_msg_t *m, const char *type) {
  char name[16] = {0};
  memcpy(name, type, strlen(type));
  return m->type == CCM_MSG_IPC && m->len >= 16 && memcmp(m->msg_start, name, 16) == 0;
}

// Places a descriptor as SCM_RIGHTS ancillary data into a message.
inline void attach_fd(ccm_msg_t *m, int fd) {
  struct msghdr mh = {};
  mh.msg_control = m->control_data;
  mh.msg_controllen = CMSG_SPACE(sizeof(int));
  struct cmsghdr *c = CMSG_FIRSTHDR(&mh);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  memcpy(CMSG_DATA(c), &fd, sizeof fd);
  m->control_len = CMSG_SPACE(sizeof(int));
}

// An opened context, closed in the documented order.
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
    ccm_close(ccm, nullptr);
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
  // A channel entry around descriptor `s`; chained unless told otherwise.
  ccm_channel_t *Channel(int s, int type = 0, const char *name = nullptr, bool chain = true) {
    ccm_channel_t *ch = nullptr;
    ccm_error_t err{};
    EXPECT_EQ(0, ccm_channel_new_entry(ccm, &ch, &err));
    ch->s = s;
    ch->type = type;
    if (name) StringCopy(ch->name, sizeof ch->name, name);
    if (chain) ccm_channel_chain(ccm, ch);
    return ch;
  }
  // Takes chained channels over into channelq, as a pass would.
  void Merge() {
    ccm_channel_lock(ccm);
    ccm_channel_merge_newq(ccm);
    ccm_channel_unlock(ccm);
  }
  // A message holding `data` at msg_start, out of msgq_inuse.
  ccm_msg_t *Msg(const std::string &data) {
    ccm_error_t err{};
    bool huge = data.size() + 256 > 2u * 32768;
    ccm_msg_t *m = huge ? ccm_msg_alloc_huge(ccm, (int32_t)data.size(), &err) : ccm_msg_alloc(ccm, &err);
    if (huge) m->msg_start = m->buffer1;
    memcpy(m->msg_start, data.data(), data.size());
    m->len = (int32_t)data.size();
    ccm_queue_lock(ccm);
    ccmq_unlink(ccm->msgq_inuse, m);
    ccm_queue_unlock(ccm);
    return m;
  }
  // Hands a message to the context's send queue and wakes the thread.
  void Send(ccm_msg_t *m) {
    ccm_queue_lock(ccm);
    ccmq_append(ccm->sendq, m);
    ccm_queue_unlock(ccm);
    ccm_wakeup_network(ccm);
  }

  ccm_context_t *ccm = nullptr;
  bool running = false;

 private:
  PCX pcx_{};
};

// A TCP socket bound to a free loopback port (listening when asked); its
// port in *port. -1 on failure.
inline int loopback_socket(int *port, bool listening = false) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (s < 0 || bind(s, (struct sockaddr *)&sa, sizeof sa) != 0 || getsockname(s, (struct sockaddr *)&sa, &len) != 0 ||
      (listening && listen(s, 5) != 0)) {
    if (s >= 0) close(s);
    return -1;
  }
  *port = ntohs(sa.sin_port);
  return s;
}

// A loopback port where nobody listens (bound once, then released).
inline int closed_port() {
  int port = 0;
  int s = loopback_socket(&port);
  if (s >= 0) close(s);
  return port;
}

// A stream socket pair: [0] non-blocking for a channel, [1] blocking for the test.
inline void socket_pair(int sv[2], int type = SOCK_STREAM) {
  ASSERT_EQ(0, socketpair(AF_UNIX, type, 0, sv));
  fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
}

}  // namespace ccmtest
