// Fixtures of the channel manager tests: an opened context with its channels
// and messages, the receive queue, close notices, addresses as text and
// descriptors passed as ancillary data. Frames, sockets, waits, descriptor
// counts, the log recorder and the data files come from tests/common; the
// short names below are the ones the channel manager tests were written with.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "ccm.h"
#include "ccm_alloc.h"
#include "common/agent.h"
#include "common/data.h"
#include "common/log.h"
#include "common/net.h"
#include "common/process.h"
#include "ipcmsg.h"
#include "wq_trace.h"
#include "zudnst.h"

namespace ccmtest {

inline constexpr int kDeadlineMs = wqtest::kDeadline * 1000;
inline std::string frame(const std::string &body, const char *protocol = "NAT") { return wqtest::Frame(body, protocol); }
inline std::string block(unsigned key, const std::string &c, int keylen = 1) { return wqtest::Block(key, c, keylen); }
using wqtest::LogRecorder;
inline bool nothing_to_read(int fd) { return !wqtest::Readable(fd, 0); }
inline void write_all(int fd, const std::string &s) { ASSERT_TRUE(wqtest::SendAll(fd, s)); }

// One byte of `fd`, waited for up to the deadline; -1 when none came.
inline int read_byte(int fd) {
  const std::string b = wqtest::ReadExact(fd, 1);
  return b.empty() ? -1 : (unsigned char)b[0];
}
// A TCP socket bound to a free loopback port (listening when asked), its
// port in *port; -1 on failure.
inline int loopback_socket(int *port, bool listening = false) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if ((*port = wqtest::BindLoopback(s)) != 0 && (!listening || listen(s, 16) == 0)) return s;
  close(s);
  return -1;
}
// A stream socket pair, the caller's to close: [0] non-blocking for a
// channel, [1] blocking for the test.
inline void socket_pair(int sv[2], int type = SOCK_STREAM) {
  wqtest::SocketPair p(type);
  ASSERT_GE(p.fd[1], 0);
  sv[0] = std::exchange(p.fd[0], -1), sv[1] = std::exchange(p.fd[1], -1);
}

// The values, each followed by a blank: several expectations in one line.
template <class... T>
std::string str(const T &...v) { return sizeof...(v) ? wqtest::Words(v...) + ' ' : std::string(); }
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

// The address at `sa` (IPv4 or IPv6) as text, "(none)" for another family.
inline std::string address_text(const void *sa) {
  char buf[64];
  return ccm_address2string((const sockaddr_in6 *)sa, buf, sizeof buf) == 0 ? buf : "(none)";
}

inline int count_recvq(ccm_context_t *ccm) {
  ccm_queue_lock(ccm);
  int n = 0;
  for (ccm_msg_t *m = ccm->recvq.head; m; m = m->nxt) ++n;
  return ccm_queue_unlock(ccm), n;
}
// The next message of the receive queue, waited for up to the deadline.
inline ccm_msg_t *receive(ccm_context_t *ccm) {
  ccm_msg_t *m = nullptr;
  return ccm_receive_message(ccm, wqtest::kDeadline, &m, nullptr) == 1 ? m : nullptr;
}
// The data of `m`, which is freed ("<none>" without a message).
inline std::string text_of(ccm_context_t *ccm, ccm_msg_t *m) {
  std::string s = m ? msg_data(m) : "<none>";
  return ccm_msg_free(ccm, m), s;
}
inline std::string next_text(ccm_context_t *ccm) { return text_of(ccm, receive(ccm)); }
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
  struct msghdr mh = {nullptr, 0, nullptr, 0, control, CMSG_SPACE(sizeof(int)), 0};
  struct cmsghdr *c = CMSG_FIRSTHDR(&mh);
  *c = {CMSG_LEN(sizeof(int)), SOL_SOCKET, SCM_RIGHTS};
  memcpy(CMSG_DATA(c), &fd, sizeof fd);
  return CMSG_SPACE(sizeof(int));
}
inline void attach_fd(ccm_msg_t *m, int fd) { m->control_len = put_fd(m->control_data, fd); }
// The descriptor of SCM_RIGHTS ancillary data, -1 when there is none.
inline int passed_fd(void *control, size_t len) {
  struct msghdr mh = {nullptr, 0, nullptr, 0, control, len, 0};
  struct cmsghdr *c = CMSG_FIRSTHDR(&mh);
  int fd = -1;
  if (c && c->cmsg_type == SCM_RIGHTS) memcpy(&fd, CMSG_DATA(c), sizeof fd);
  return fd;
}
// One record (or piece of a stream) of the socket `s`, at most 70000 bytes,
// with the descriptor that came along into *fd (-1: none).
inline std::string recv_with_fd(int s, int *fd) {
  std::vector<char> buf(70000);
  alignas(struct cmsghdr) char control[256] = {};
  struct iovec iov = {buf.data(), buf.size()};
  struct msghdr mh = {nullptr, 0, &iov, 1, control, sizeof control, 0};
  const ssize_t n = recvmsg(s, &mh, 0);
  *fd = passed_fd(control, mh.msg_controllen);
  return std::string(buf.data(), (size_t)std::max<ssize_t>(n, 0));
}

// An opened context, closed in the documented order.
class Context {
 public:
  explicit Context(int running_mode = 3) {
    pcx.running_mode = running_mode;
    EXPECT_EQ(0, ccm_open(&pcx, &ccm, &err));
  }
  ~Context() {
    if (running) Stop();
    ccm_channel_closeall(ccm);
    ccm_close(ccm, nullptr);
  }
  void Pipes() {
    ASSERT_EQ(0, ccm_create_wakeup_pipes(ccm, &err));
  }
  void Start() {
    ASSERT_EQ(0, ccm_thread_start(ccm, &err));
    running = true;
  }
  void Stop() {  // stops the thread and joins it within the deadline
    ccm_thread_stop(ccm);
    struct timespec ts = {time(nullptr) + wqtest::kDeadline, 0};  // pthread_timedjoin_np's clock
    EXPECT_EQ(0, pthread_timedjoin_np(ccm->thread, nullptr, &ts));
    running = false;
  }
  // A channel entry around descriptor `s`, chained unless told otherwise.
  ccm_channel_t *Channel(int s, int type = 0, const char *name = nullptr, bool chain = true) {
    ccm_channel_t *ch = nullptr;
    EXPECT_EQ(0, ccm_channel_new_entry(ccm, &ch, &err));
    ch->s = s;
    ch->type = type;
    if (name) StringCopy(ch->name, sizeof ch->name, name);
    if (chain) ccm_channel_chain(ccm, ch);
    return ch;
  }
  // A message holding `data` at msg_start; in msgq_inuse only when `inuse`.
  ccm_msg_t *Msg(const std::string &data, bool inuse = false) {
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
  std::string Sent() { return text_of(ccm, TakeSent()); }  // the bytes of the send queue's head, freed

  ccm_program_head_t pcx{};
  ccm_context_t *ccm = nullptr;
  ccm_error_t err{};  // of the helpers' calls
  bool running = false;
};

}  // namespace ccmtest
