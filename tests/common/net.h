// Loopback and local sockets for tests: clients, a refused port, socket
// pairs, whole sends and reads that wait on the socket (or pipe) with the
// suite's deadline.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>

#include "common/process.h"

namespace wqtest {

inline struct sockaddr_in Loopback(int port = 0) { return {AF_INET, htons((uint16_t)port), {htonl(INADDR_LOOPBACK)}, {}}; }

// Binds `fd` to a loopback port of the system's choice; that port, 0 on failure.
inline int BindLoopback(int fd) {
  struct sockaddr_in a = Loopback();
  socklen_t l = sizeof a;
  return bind(fd, (struct sockaddr *)&a, sizeof a) == 0 && getsockname(fd, (struct sockaddr *)&a, &l) == 0 ? ntohs(a.sin_port) : 0;
}

// The local port of the socket `s` (IPv4 or IPv6), -1 on failure.
inline int LocalPort(int s) {
  struct sockaddr_in6 a = {};
  socklen_t l = sizeof a;
  return getsockname(s, (struct sockaddr *)&a, &l) == 0 ? ntohs(a.sin6_port) : -1;
}

// The options of socket `s` the channel manager sets, as text: "NONBLOCK
// NODELAY LINGER-ON LINGER-SECONDS" (1 or 0 for the first three).
inline std::string SocketOptions(int s) {
  int nodelay = 0;
  struct linger lg = {};
  socklen_t n = sizeof nodelay, m = sizeof lg;
  getsockopt(s, IPPROTO_TCP, TCP_NODELAY, &nodelay, &n), getsockopt(s, SOL_SOCKET, SO_LINGER, &lg, &m);
  return std::to_string(!!(fcntl(s, F_GETFL) & O_NONBLOCK)) + " " + std::to_string(!!nodelay) + " " + std::to_string(!!lg.l_onoff) +
         " " + std::to_string(lg.l_linger);
}

// A loopback port on which nobody listens, held for the object's life: the
// bound socket is kept and never listens, so a connection to it is refused
// and no other socket (of this or a parallel test) can take the number.
struct ReservedPort {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), port = BindLoopback(fd);
  ~ReservedPort() { close(fd); }
};

// A loopback client of `port` (receive buffer of `rcvbuf` bytes when > 0); -1 on failure.
inline int Connect(int port, int rcvbuf = 0) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (rcvbuf > 0) setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  struct sockaddr_in a = Loopback(port);
  if (s >= 0 && connect(s, (struct sockaddr *)&a, sizeof a) == 0) return s;
  if (s >= 0) close(s);
  return -1;
}

// Writes all of `bytes` to the socket or pipe `s` (a closed peer raises no
// signal); false when a write fails.
inline bool SendAll(int s, const std::string &bytes) {
  for (size_t off = 0, n; off < bytes.size(); off += n) {
    ssize_t r = send(s, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (r < 0 && errno == ENOTSOCK) r = write(s, bytes.data() + off, bytes.size() - off);
    if ((ssize_t)(n = (size_t)r) <= 0) return false;
  }
  return true;
}

// True when `fd` has something to read (or has ended) within `ms` milliseconds.
inline bool Readable(int fd, int ms = kDeadline * 1000) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}

// Appends what arrives on the socket or pipe `s` to *got, at most `most`
// bytes in all, until done(*got) holds (1), the peer closes (0: end or
// reset) or `seconds` pass (-1).
inline int Receive(int s, std::string *got, const std::function<bool(const std::string &)> &done, int seconds = kDeadline,
                   size_t most = SIZE_MAX) {
  for (auto end = Deadline(seconds); !done(*got);) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    char buf[65536];
    if (left <= 0 || got->size() >= most || !Readable(s, (int)left)) return -1;
    ssize_t n = read(s, buf, std::min(sizeof buf, most - got->size()));
    if (n <= 0) return 0;
    got->append(buf, (size_t)n);
  }
  return 1;
}

// The next `n` bytes of `fd` (fewer when it ends or the deadline passes first).
inline std::string ReadExact(int fd, size_t n, int seconds = kDeadline) {
  std::string got;
  Receive(fd, &got, [n](const std::string &g) { return g.size() >= n; }, seconds, n);
  return got;
}

// A connected pair of local sockets of `type`, closed with the object: [0]
// non-blocking (for the code under test), [1] blocking (for the test).
struct SocketPair {
  explicit SocketPair(int type = SOCK_STREAM) {
    if (socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fd) == 0) fcntl(fd[0], F_SETFL, fcntl(fd[0], F_GETFL) | O_NONBLOCK);
  }
  ~SocketPair() {
    for (int s : fd)
      if (s >= 0) close(s);
  }
  SocketPair(const SocketPair &) = delete;
  int fd[2] = {-1, -1};
};

inline bool PeerClosed(int s, int seconds = kDeadline) {
  std::string dropped;
  return Receive(s, &dropped, [&](auto &) { return dropped.clear(), false; }, seconds) == 0;
}

}  // namespace wqtest
