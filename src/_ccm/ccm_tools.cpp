// Address resolution for the channel manager: host name or address text to
// one socket address (IPv4 preferred), socket address to text, brackets for
// IPv6 texts, the local host's address, and the IPv6 probe.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ccm.h"
#include "ccm_error.h"
#include "ccm_lock.h"
#include "ccm_resolve.h"
#include "ctools.h"
#include "wq_trace.h"
#include "zudnst.h"

ccm_getaddrinfo_fn ccm_getaddrinfo = getaddrinfo;

namespace {
constexpr size_t kHostNameSize = 256;
constexpr size_t kAddrTextSize = 64;

// Frees a getaddrinfo list when it goes out of scope.
struct AddrInfoList {
  struct addrinfo *head = nullptr;
  ~AddrInfoList() {
    if (head) freeaddrinfo(head);
  }
};

// Resolves `name` with stream-socket hints of any family. On failure fills
// `ccmerr` and returns -1 (resolver error) or -2 (empty result).
int lookup(const char *name, AddrInfoList &list, ccm_error_t *ccmerr) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  int rc = ccm_getaddrinfo(name, nullptr, &hints, &list.head);
  if (rc != 0) {
    // The resolver's own code says why; errno does so only for EAI_SYSTEM.
    int code = rc == EAI_SYSTEM ? errno : rc;
    const char *text = rc == EAI_SYSTEM ? wq_strerror(errno) : gai_strerror(rc);
    ccm_error_set(ccmerr, CCM_MSGNR_SYSCALL, "getaddrinfo|%d(%s)", code, text);
    list.head = nullptr;
    return -1;
  }
  if (!list.head) {
    ccm_error_set(ccmerr, CCM_MSGNR_SYSCALL, "getaddrinfo|%d(%s)", 0, "nothing found");
    return -2;
  }
  return 0;
}

// An address literal in the usual form ("10.1.2.3", "2001:db8::5") into
// `addr`, as the resolver would give it: family and address, the rest zero.
// false for anything else (names, shorthand IPv4 forms, scoped IPv6), which
// goes to the resolver. The resolver reaches the same result, but its code
// is a few more pages of the C library to map into a short-lived process.
bool literal_address(const char *name, struct sockaddr_in6 *addr) {
  auto *a4 = reinterpret_cast<struct sockaddr_in *>(addr);
  if (inet_pton(AF_INET, name, &a4->sin_addr) == 1) {
    a4->sin_family = AF_INET;
    return true;
  }
  if (inet_pton(AF_INET6, name, &addr->sin6_addr) == 1) {
    addr->sin6_family = AF_INET6;
    return true;
  }
  memset(addr, 0, sizeof *addr);
  return false;
}

// Text of an entry's address, or "" when it cannot be converted.
void entry_text(const struct addrinfo *ai, char *out, size_t size) {
  struct sockaddr_in6 sa;
  memset(&sa, 0, sizeof sa);
  size_t n = ai->ai_addrlen < sizeof sa ? ai->ai_addrlen : sizeof sa;
  memcpy(&sa, ai->ai_addr, n);
  if (ccm_address2string(&sa, out, static_cast<socklen_t>(size)) != 0) out[0] = '\0';
}
}  // namespace

int ccm_hostname2address(const char *phostname, int options, struct sockaddr_in6 *addr, ccm_error_t *ccmerr) {
  TRC_IN("(hostname=%s,options=%d)", phostname ? phostname : "(null)", options);
  char name[kHostNameSize];
  _StringCopy(name, sizeof name, phostname, __FILE__, __LINE__);
  str_replace_char(name, '[', ' ');
  str_replace_char(name, ']', ' ');
  strip(name);
  TRC("hostname without brackets=%s", name);

  ccm_error_clear(ccmerr);
  memset(addr, 0, sizeof *addr);

  if (literal_address(name, addr)) {
    char text[kAddrTextSize];
    if (ccm_address2string(addr, text, sizeof text) != 0)
      _StringCopy(text, sizeof text, "error resolve address", __FILE__, __LINE__);
    TRC_OUT("OK,family=%d,address=%s", addr->sin6_family, text);
    return 0;
  }
  AddrInfoList list;
  if (int rc = lookup(name, list, ccmerr); rc != 0) {
    TRC_OUT("%s", rc == -2 ? "nothing found" : "getaddrinfo error");
    return -1;
  }

  const struct addrinfo *result = ccm_choose_address(list.head, options);
  size_t n = result->ai_addrlen < sizeof *addr ? result->ai_addrlen : sizeof *addr;
  memcpy(addr, result->ai_addr, n);

  char text[kAddrTextSize];
  if (ccm_address2string(addr, text, sizeof text) != 0)
    _StringCopy(text, sizeof text, "error resolve address", __FILE__, __LINE__);
  TRC_OUT("OK,family=%d,address=%s", result->ai_family, text);
  return 0;
}

const struct addrinfo *ccm_choose_address(const struct addrinfo *list, int options) {
  const struct addrinfo *first = nullptr;
  for (const struct addrinfo *ai = list; ai; ai = ai->ai_next) {
    char text[kAddrTextSize];
    entry_text(ai, text, sizeof text);
    strupper(text);
    TRC("sockaddr(%p): nxt=%p, addr=%p, family=%d, addrstr=%s", static_cast<const void *>(ai),
        static_cast<void *>(ai->ai_next), static_cast<void *>(ai->ai_addr), ai->ai_family, text);
    // Loopback and IPv6 link-local addresses are taken only as a last resort.
    if (strcmp(text, "127.0.0.1") == 0 || strcmp(text, "::1") == 0 || strncmp(text, "FE80:", 5) == 0) continue;
    if (!first) first = ai;
    if (((options & 2) && ai->ai_family == AF_INET) || ((options & 1) && ai->ai_family == AF_INET6)) {
      TRC("preferred found");
      return ai;
    }
  }
  return first ? first : list;
}

int ccm_address2string(const struct sockaddr_in6 *addr, char *dst, socklen_t size) {
  TRC_IN("(addr=%p)", static_cast<const void *>(addr));
  if (!dst || size == 0) {
    TRC_OUT("ERROR,%d-%s", EINVAL, wq_strerror(EINVAL));
    return -1;
  }
  dst[0] = '\0';
  const char *r = nullptr;
  if (addr && addr->sin6_family == AF_INET6) {
    r = inet_ntop(AF_INET6, &addr->sin6_addr, dst, size);
  } else if (addr) {
    const auto *v4 = reinterpret_cast<const struct sockaddr_in *>(addr);
    r = inet_ntop(v4->sin_family, &v4->sin_addr, dst, size);
  } else {
    errno = EINVAL;
  }
  if (!r) {
    int err = errno;
    dst[0] = '\0';
    TRC_OUT("ERROR,%d-%s", err, wq_strerror(err));
    return -1;
  }
  TRC_OUT("OK,%s", dst);
  return 0;
}

char *ccm_addressformatted(const char *in, char *out) {
  if (!strchr(in, ':') || in[0] == '[') return const_cast<char *>(in);
  snprintf(out, 256, "[%s]", in);
  return out;
}

int ccm_getmyIP(int /*options*/, char *out, ccm_error_t *ccmerr) {
  TRC_IN("()");
  char name[kHostNameSize];
  memset(name, 0, sizeof name);
  if (gethostname(name, sizeof name - 1) != 0) {
    int err = errno;
    ccm_error_set(ccmerr, CCM_MSGNR_SYSCALL, "getmyIP/gethostname()|%d(%s)", err, wq_strerror(err));
    TRC_OUT("gethostname error");
    return -1;
  }
  struct sockaddr_in6 addr;
  if (ccm_hostname2address(name, 2, &addr, ccmerr) != 0) {
    TRC_OUT("ccm_hostname2address error");
    return -1;
  }
  ccm_address2string(&addr, out, kAddrTextSize);
  TRC_OUT("OK,%s", out);
  return 0;
}

int ccm_log_all_ip(const char *hostname, ccm_error_t *ccmerr) {
  TRC_IN("(hostname=%s)", hostname ? hostname : "(null)");
  ccm_error_clear(ccmerr);
  AddrInfoList list;
  if (int rc = lookup(hostname, list, ccmerr); rc != 0) {
    TRC_OUT("%s", rc == -2 ? "nothing found" : "getaddrinfo error");
    return -1;
  }
  for (const struct addrinfo *ai = list.head; ai; ai = ai->ai_next) {
    char text[kAddrTextSize];
    char bracketed[256];
    entry_text(ai, text, sizeof text);
    __log(CCM_LOG_HOST_ADDRESS, "%s|%s", hostname, ccm_addressformatted(text, bracketed));
  }
  TRC_OUT("OK");
  return 0;
}

int ccm_check_ipv6_support(ccm_error_t *ccmerr) {
  TRC_IN("()");
  CcmFd s(socket(AF_INET6, SOCK_STREAM, 0));
  if (s.get() < 0) {
    int err = errno;
    ccm_error_set(ccmerr, CCM_MSGNR_SYSCALL, "socket(AF_INET6/IPv6)|%d(%s)", err, wq_strerror(err));
    TRC_OUT("socket() error");
    return -1;
  }
  TRC_OUT("OK - IPv6 supported");
  return 0;
}
