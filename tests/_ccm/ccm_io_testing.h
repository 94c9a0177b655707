// Helpers for the tests of the network thread's I/O: a context, frame
// builders, socket pairs and waiting with deadlines.
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

#include "_ccm/ccm_test_util.h"
#include "ccm.h"
#include "messenger_pcx.h"
#include "zudnst.h"

namespace ccmtest {

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

// A stream socket pair: [0] non-blocking for a channel, [1] blocking for the test.
inline void socket_pair(int sv[2], int type = SOCK_STREAM) {
  ASSERT_EQ(0, socketpair(AF_UNIX, type, 0, sv));
  fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
}

}  // namespace ccmtest
