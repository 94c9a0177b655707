// Small network helpers shared by the tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace wqtest {

// A loopback TCP port on which nobody listens, held for the object's life:
// the socket is bound to a port of the system's choice and kept, never
// listened on, so a connection to it is refused and no other socket (of this
// or a parallel test) can take the number meanwhile. port() is 0 on failure.
class ReservedPort {
 public:
  ReservedPort() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t l = sizeof a;
    if (fd_ >= 0 && bind(fd_, (struct sockaddr *)&a, sizeof a) == 0 &&
        getsockname(fd_, (struct sockaddr *)&a, &l) == 0)
      port_ = ntohs(a.sin_port);
  }
  ~ReservedPort() {
    if (fd_ >= 0) close(fd_);
  }
  ReservedPort(const ReservedPort &) = delete;
  ReservedPort &operator=(const ReservedPort &) = delete;
  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

}  // namespace wqtest

// Older form, kept for the callers not yet moved to wqtest::ReservedPort: a
// port that was free a moment ago. It is released at once, so a parallel test
// may take it before the caller uses it.
inline int unused_port() { return wqtest::ReservedPort().port(); }
