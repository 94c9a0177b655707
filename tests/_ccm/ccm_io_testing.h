// Helpers of the channel manager tests: a log recorder, descriptor checks,
// frames and key blocks, socket pairs, waiting with deadlines, an opened
// context, and the rows of the data files under tests/data.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "ccm.h"
#include "ccm_alloc.h"
#include "ipcmsg.h"
#include "wq_trace.h"
#include "zudnst.h"

namespace ccmtest {

inline constexpr int kDeadlineMs = 30000;  // generous: the machine is small and busy

// Records every __log call (from any thread) while it exists.
struct LogRecorder {
  using Entries = std::vector<std::pair<int, std::string>>;
  static inline std::mutex mu;
  static inline Entries all;
  LogRecorder() {
    std::lock_guard<std::mutex> g(mu);
    all.clear();
    __log_set_logger(&Log);
  }
  ~LogRecorder() { __log_set_logger(messenger_logger); }
  static int Log(int msgnr, const char *insert) {
    std::lock_guard<std::mutex> g(mu);
    all.emplace_back(msgnr, insert ? insert : "");
    return 0;
  }
  Entries entries() {  // read only after the logging threads are done
    std::lock_guard<std::mutex> g(mu);
    return all;
  }
  std::vector<std::string> with(int msgnr) {  // inserts logged with msgnr, in order
    std::vector<std::string> out;
    for (auto &e : entries())
      if (e.first == msgnr) out.push_back(e.second);
    return out;
  }
};

inline int open_fd_count() {  // descriptors open in this process
  int n = -1;                 // the directory's own descriptor
  DIR *d = opendir("/proc/self/fd");
  while (struct dirent *e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}
inline bool fd_is_open(int fd) { return fd >= 0 && fcntl(fd, F_GETFD) != -1; }
inline bool wait_readable(int fd, int ms = kDeadlineMs) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}
inline bool nothing_to_read(int fd) { return !wait_readable(fd, 0); }
// One byte of `fd`, waited for up to the deadline; -1 when none came.
inline int read_byte(int fd) {
  unsigned char c;
  return wait_readable(fd) && read(fd, &c, 1) == 1 ? c : -1;
}
inline void write_all(int fd, const std::string &s) {
  for (size_t off = 0; off < s.size();) {
    ssize_t n = write(fd, s.data() + off, s.size() - off);
    ASSERT_GT(n, 0);
    off += (size_t)n;
  }
}
inline std::string read_exact(int fd, size_t n) {  // up to n bytes, each piece waited for
  std::string out;
  char buf[65536];
  for (ssize_t r = 1; out.size() < n && r > 0 && wait_readable(fd);)
    if ((r = read(fd, buf, std::min(sizeof buf, n - out.size()))) > 0) out.append(buf, (size_t)r);
  return out;
}
template <typename Cond>
bool eventually(Cond cond) {  // polls `cond` until it holds or the deadline passes
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
  for (; !cond(); poll(nullptr, 0, 2))
    if (std::chrono::steady_clock::now() >= end) return false;
  return true;
}

// A frame: the 48-byte protocol header of the whole length, then `body`.
inline std::string frame(const std::string &body, const char *protocol = "NAT") {
  char h[64];
  snprintf(h, sizeof h, "%.8dWQ8:global001%.3s%24s", (int)body.size() + 48, protocol, "");
  return h + body;
}
// A key block with a length field of 1, 2 or 4 little-endian bytes or 7 digits.
inline std::string block(unsigned key, const std::string &c, int keylen = 1) {
  unsigned char l[8];
  if (keylen == 7) snprintf((char *)l, sizeof l, "%.7d", (int)c.size());
  else wq_put_u32(l, (uint32_t)c.size());
  return std::string(1, (char)key) + std::string((const char *)l, (size_t)keylen) + c;
}
inline std::string pattern(size_t n, unsigned seed = 7) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = (char)((i * 31 + seed) & 0xFF);
  return s;
}
inline std::string msg_data(const ccm_msg_t *m) { return std::string((const char *)m->msg_start, (size_t)m->len); }
inline std::string err_text(const ccm_error_t &e) { return std::to_string(e.msgnr) + " " + e.msginsert; }
inline bool starts(const std::string &s, const std::string &prefix) { return s.rfind(prefix, 0) == 0; }
// "dst_ID dst_addr|dst_name|dst_acv src_ID src_addr|src_name|src_acv".
inline std::string addr_text(const ccm_addr_t &a) {
  char t[400];
  snprintf(t, sizeof t, "%d %.64s|%.64s|%d %d %.64s|%.64s|%d", a.dst_ID, a.dst_addr, a.dst_name, a.dst_acv, a.src_ID,
           a.src_addr, a.src_name, a.src_acv);
  return t;
}

inline int count_recvq(ccm_context_t *ccm) {
  ccm_queue_lock(ccm);
  int n = 0;
  for (ccm_msg_t *m = ccm->recvq.head; m; m = m->nxt) ++n;
  ccm_queue_unlock(ccm);
  return n;
}
// The next message of the receive queue, waited for up to the deadline.
inline ccm_msg_t *receive(ccm_context_t *ccm) {
  ccm_msg_t *m = nullptr;
  ccm_error_t err{};
  return ccm_receive_message(ccm, kDeadlineMs / 1000, &m, &err) == 1 ? m : nullptr;
}
// The data of the next received message, which is freed ("<none>" if none came).
inline std::string next_text(ccm_context_t *ccm) {
  ccm_msg_t *m = receive(ccm);
  std::string s = m ? msg_data(m) : "<none>";
  ccm_msg_free(ccm, m);
  return s;
}
inline bool is_ipc(const ccm_msg_t *m, const char *type) {
  char name[16] = {0};
  memcpy(name, type, strlen(type));
  return m->type == CCM_MSG_IPC && m->len >= 16 && memcmp(m->msg_start, name, 16) == 0;
}
// The channel ID of a CHANNEL_CLOSE notice (its reason into *why), else -1.
inline int closed_id(const ccm_msg_t *m, std::string *why = nullptr) {
  if (!m || !is_ipc(m, "CHANNEL_CLOSE")) return -1;
  ipcmsg_channel_close_t rec;
  memcpy(static_cast<void *>(&rec), m->msg_start, sizeof rec);
  if (why) *why = std::to_string(rec.ccmch.msgnr) + " " + rec.ccmch.msginsert;
  return rec.ccmch.ID;
}
// SCM_RIGHTS with one descriptor as ancillary data (in `control`, at least
// CMSG_SPACE(sizeof(int)) bytes, or of a message); returns its length.
inline size_t put_fd(void *control, int fd) {
  struct msghdr mh = {};
  mh.msg_control = control;
  mh.msg_controllen = CMSG_SPACE(sizeof(int));
  struct cmsghdr *c = CMSG_FIRSTHDR(&mh);
  *c = {CMSG_LEN(sizeof(int)), SOL_SOCKET, SCM_RIGHTS};
  memcpy(CMSG_DATA(c), &fd, sizeof fd);
  return CMSG_SPACE(sizeof(int));
}
inline void attach_fd(ccm_msg_t *m, int fd) { m->control_len = put_fd(m->control_data, fd); }
// The descriptor of SCM_RIGHTS ancillary data, -1 when there is none.
inline int passed_fd(void *control, size_t len) {
  struct msghdr mh = {};
  mh.msg_control = control;
  mh.msg_controllen = len;
  struct cmsghdr *c = CMSG_FIRSTHDR(&mh);
  int fd = -1;
  if (c && c->cmsg_type == SCM_RIGHTS) memcpy(&fd, CMSG_DATA(c), sizeof fd);
  return fd;
}

// An opened context, closed in the documented order.
class Context {
 public:
  explicit Context(int running_mode = 3) {
    pcx.running_mode = running_mode;
    ccm_error_t err{};
    EXPECT_EQ(0, ccm_open(&pcx, &ccm, &err));
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
  void Stop() {  // stops the thread and joins it within the deadline
    ccm_thread_stop(ccm);
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_sec += kDeadlineMs / 1000;
    EXPECT_EQ(0, pthread_timedjoin_np(ccm->thread, nullptr, &ts));
    running = false;
  }
  // A channel entry around descriptor `s`, chained unless told otherwise.
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
  void Merge() {  // takes chained channels over into channelq, as a pass would
    ccm_channel_lock(ccm);
    ccm_channel_merge_newq(ccm);
    ccm_channel_unlock(ccm);
  }
  // A message holding `data` at msg_start; in msgq_inuse only when `inuse`.
  ccm_msg_t *Msg(const std::string &data, bool inuse = false) {
    ccm_error_t err{};
    bool huge = data.size() + kCcmHeadroom > 2u * kCcmNormalSize;
    ccm_msg_t *m = huge ? ccm_msg_alloc_huge(ccm, (int32_t)data.size(), &err) : ccm_msg_alloc(ccm, &err);
    if (huge) m->msg_start = m->buffer1;
    memcpy(m->msg_start, data.data(), data.size());
    m->len = (int32_t)data.size();
    if (!inuse) {
      ccm_queue_lock(ccm);
      ccmq_unlink(ccm->msgq_inuse, m);
      ccm_queue_unlock(ccm);
    }
    return m;
  }
  void Send(ccm_msg_t *m, int dst_ID = 0) {  // to the context's send queue, waking the thread
    if (dst_ID) m->addr.dst_ID = dst_ID;
    ccm_queue_lock(ccm);
    ccmq_append(ccm->sendq, m);
    ccm_queue_unlock(ccm);
    ccm_wakeup_network(ccm);
  }
  ccm_msg_t *TakeSent() {  // the head of the context's send queue, now the caller's
    ccm_queue_lock(ccm);
    ccm_msg_t *m = ccmq_take_head(ccm->sendq);
    ccm_queue_unlock(ccm);
    return m;
  }
  std::string Sent() {  // the bytes of the head of the send queue, which is freed
    ccm_msg_t *m = TakeSent();
    std::string s = m ? msg_data(m) : "<none>";
    ccm_msg_free(ccm, m);
    return s;
  }

  ccm_program_head_t pcx{};
  ccm_context_t *ccm = nullptr;
  bool running = false;
};

// A TCP socket bound to a free loopback port (listening when asked), its
// port in *port; -1 on failure.
inline int loopback_socket(int *port, bool listening = false) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (s < 0 || bind(s, (struct sockaddr *)&sa, sizeof sa) != 0 || getsockname(s, (struct sockaddr *)&sa, &len) != 0 ||
      (listening && listen(s, 16) != 0)) {
    if (s >= 0) close(s);
    return -1;
  }
  *port = ntohs(sa.sin_port);
  return s;
}
// A client socket connected to loopback `port`.
inline int connect_to(int port) {
  int c = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons((uint16_t)port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(0, connect(c, (struct sockaddr *)&sa, sizeof sa));
  return c;
}
inline int local_port(int s) {
  struct sockaddr_in6 sa = {};
  socklen_t len = sizeof sa;
  return getsockname(s, (struct sockaddr *)&sa, &len) == 0 ? ntohs(sa.sin6_port) : -1;
}
// A stream socket pair: [0] non-blocking for a channel, [1] blocking for the test.
inline void socket_pair(int sv[2], int type = SOCK_STREAM) {
  ASSERT_EQ(0, socketpair(AF_UNIX, type, 0, sv));
  fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
}

// The rows of tests/data/`file`: one case a line, fields separated by " | ";
// blank lines and lines starting with '#' are skipped.
inline std::vector<std::vector<std::string>> rows(const char *file) {
  std::ifstream in(std::string(WQ_TEST_DATA) + "/" + file);
  std::vector<std::vector<std::string>> out;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    out.emplace_back();
    for (size_t p = 0, q = 0; q != std::string::npos; p = q + 3)
      out.back().push_back(line.substr(p, (q = line.find(" | ", p)) == std::string::npos ? q : q - p));
  }
  EXPECT_FALSE(out.empty()) << file;
  return out;
}
// The bytes of a field: hex pairs, XX*N for N bytes XX, "text"; blanks
// outside quotes separate pieces.
inline std::string bytes(const std::string &f) {
  std::string out;
  for (size_t i = 0, n = 0; i < f.size();) {
    if (f[i] == ' ') {
      ++i;
    } else if (f[i] == '"') {
      size_t e = f.find('"', i + 1);
      out += f.substr(i + 1, e - i - 1);
      i = e + 1;
    } else {
      char b = (char)std::stoi(f.substr(i, 2), nullptr, 16);
      i += 2;
      if (i < f.size() && f[i] == '*') out.append(std::stoul(f.substr(i + 1), &n), b), i += 1 + n;
      else out += b;
    }
  }
  return out;
}

}  // namespace ccmtest
