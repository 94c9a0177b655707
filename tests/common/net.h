// Loopback sockets for tests: clients, a refused port, whole sends and reads
// that wait on the socket with a generous deadline.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

inline bool SendAll(int s, const std::string &bytes) {
  for (size_t off = 0, n; off < bytes.size(); off += n)
    if ((ssize_t)(n = (size_t)send(s, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL)) <= 0) return false;
  return true;
}

// Appends what arrives on `s` to *got until done(*got) holds (1), the peer
// closes (0: end or reset) or `seconds` pass (-1).
inline int Receive(int s, std::string *got, const std::function<bool(const std::string &)> &done, int seconds = kDeadline) {
  for (auto end = Deadline(seconds); !done(*got);) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    struct pollfd p = {s, POLLIN, 0};
    char buf[4096];
    if (left <= 0 || poll(&p, 1, (int)left) <= 0) return -1;
    ssize_t n = recv(s, buf, sizeof buf, 0);
    if (n <= 0) return 0;
    got->append(buf, (size_t)n);
  }
  return 1;
}

inline bool PeerClosed(int s, int seconds = kDeadline) {
  std::string dropped;
  return Receive(s, &dropped, [&](auto &) { return dropped.clear(), false; }, seconds) == 0;
}

}  // namespace wqtest
