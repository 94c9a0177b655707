// Host name resolution (IPv4) and socket buffer queries.
#include "wq_sock.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "wq_trace.h"
#include "zudnst.h"

namespace {

// Result of one reentrant look-up: the entry points into `storage`.
struct HostLookup {
  struct hostent entry;
  struct hostent *found = nullptr;
  int herr = 0;
  std::vector<char> storage = std::vector<char>(2048);
};

// The reentrant calls report a too small work area with ERANGE; the area is
// doubled up to a limit that no sane entry reaches.
constexpr size_t kMaxLookupStorage = 1 << 20;

void lookup_name(const char *name, HostLookup &l) {
  for (;;) {
    l.found = nullptr;
    l.herr = 0;
    int rc = wq_gethostbyname_r(name, &l.entry, l.storage.data(), l.storage.size(), &l.found, &l.herr);
    if (rc == ERANGE && l.storage.size() < kMaxLookupStorage) {
      l.storage.resize(l.storage.size() * 2);
      continue;
    }
    if (rc != 0 || !l.found || l.found->h_addrtype != AF_INET || !l.found->h_addr_list[0]) {
      l.found = nullptr;
      if (l.herr == 0) l.herr = rc == 0 ? NO_DATA : NO_RECOVERY;
    }
    return;
  }
}

void lookup_address(const struct in_addr &addr, HostLookup &l) {
  for (;;) {
    l.found = nullptr;
    l.herr = 0;
    int rc = wq_gethostbyaddr_r(&addr, sizeof addr, AF_INET, &l.entry, l.storage.data(), l.storage.size(), &l.found,
                             &l.herr);
    if (rc == ERANGE && l.storage.size() < kMaxLookupStorage) {
      l.storage.resize(l.storage.size() * 2);
      continue;
    }
    if (rc != 0 || !l.found || !l.found->h_name) {
      l.found = nullptr;
      if (l.herr == 0) l.herr = rc == 0 ? HOST_NOT_FOUND : NO_RECOVERY;
    }
    return;
  }
}

// The first address of a found entry as "%d.%d.%d.%d", bounded to `size`.
void first_address(const struct hostent *entry, char *out, int size) {
  const unsigned char *a = reinterpret_cast<const unsigned char *>(entry->h_addr_list[0]);
  if (out && size > 0) snprintf(out, (size_t)size, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
}

// inet_addr semantics: every form it accepts except 255.255.255.255, which
// is its error value.
bool parse_address(const char *text, struct in_addr *addr) {
  in_addr_t value = inet_addr(text);
  if (value == INADDR_NONE) return false;
  addr->s_addr = value;
  return true;
}

void clear(char *area, int size) {
  if (area && size > 0) memset(area, 0, (size_t)size);
}

// Parses the decimal port behind the colon like atoi, limited to int.
int parse_port(const char *text) {
  long value = strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return (int)value;
}

}  // namespace

wq_byname_fn wq_gethostbyname_r = gethostbyname_r;
wq_byaddr_fn wq_gethostbyaddr_r = gethostbyaddr_r;

char *getHerrnoString(char *resString, int resLen, int herrno) {
  const char *name;
  switch (herrno) {
    case HOST_NOT_FOUND: name = "HOST_NOT_FOUND"; break;
    case TRY_AGAIN: name = "TRY_AGAIN"; break;
    case NO_RECOVERY: name = "NO_RECOVERY"; break;
    case NO_DATA: name = "NO_DATA"; break;
    default: name = "????"; break;
  }
  if (resLen > 0) _StringCopy(resString, (size_t)resLen, name, __FILE__, __LINE__);
  return resString;
}

char *GetHostAddrTh(const char *Host, char *TcpAddr, int oLen) {
  TRC_IN("(%s)", Host ? Host : "(null)");
  clear(TcpAddr, oLen);
  if (!Host || !TcpAddr || oLen <= 0) {
    errno = EINVAL;
    TRC_OUT("no host or no result area");
    return TcpAddr;
  }

  struct in_addr addr;
  if (parse_address(Host, &addr)) {
    _StringCopy(TcpAddr, (size_t)oLen, Host, __FILE__, __LINE__);
    TRC_OUT("ip=%s, with inet_addr() call", TcpAddr);
    return TcpAddr;
  }

  HostLookup l;
  lookup_name(Host, l);
  if (l.found) {
    errno = 0;
    first_address(l.found, TcpAddr, oLen);
    TRC_OUT("ip=%s, with gethostbyname() call", TcpAddr);
    return TcpAddr;
  }
  TRC_LINE("%s:           error '%i' in gethostbyname('%s')' call", l.herr, Host);
  if (l.herr != 0) getHerrnoString(TcpAddr, oLen, l.herr);
  errno = l.herr;
  TRC_OUT("error in gethostbyname() call");
  return TcpAddr;
}

char *GetHostNameTh(const char *IpAddr, char *HostName, int oLen) {
  TRC_IN("(%s)", IpAddr ? IpAddr : "(null)");
  clear(HostName, oLen);
  if (!IpAddr || !HostName || oLen <= 0) {
    errno = EINVAL;
    TRC_OUT("no address or no result area");
    return HostName;
  }

  struct in_addr addr;
  if (!parse_address(IpAddr, &addr)) {
    // Not an address: the text is taken as the host name itself.
    _StringCopy(HostName, (size_t)oLen, IpAddr, __FILE__, __LINE__);
    errno = 0;
    TRC_OUT("hostname=%s", HostName);
    return HostName;
  }

  HostLookup l;
  lookup_address(addr, l);
  if (!l.found) {
    if (l.herr != 0) getHerrnoString(HostName, oLen, l.herr);
    errno = l.herr;
    TRC_OUT("error in gethostbyaddr()");
    return HostName;
  }
  _StringCopy(HostName, (size_t)oLen, l.found->h_name, __FILE__, __LINE__);
  errno = 0;
  TRC_OUT("hostname=%s", HostName);
  return HostName;
}

int verifyHostDef(const char *HostDef, char *hostName, int hostSize, char *ipAddr, int ipSize, wq8_error *wq8err) {
  TRC_LINE("%s --> started, host definition '%s'", HostDef ? HostDef : "(null)");
  wq8_error ignored;
  if (!wq8err) wq8err = &ignored;
  clear(hostName, hostSize);
  clear(ipAddr, ipSize);
  wq8err->wq_result = 0;
  wq8err->wq_errno = 0;
  wq8err->wq_msgnr = 0;
  wq8err->wq_msgInsert[0] = '\0';

  // Host part and port of the definition.
  char work[256];
  _StringCopy(work, 255, HostDef, __FILE__, __LINE__);
  int port = 0;
  if (char *colon = strchr(work, ':')) {
    *colon = '\0';
    port = parse_port(colon + 1);
    TRC_LINE("%s   determine port number '%i'", port);
  }

  struct in_addr addr;
  HostLookup l;
  if (parse_address(work, &addr)) {
    if (ipSize > 0) _StringCopy(ipAddr, (size_t)ipSize, work, __FILE__, __LINE__);
    lookup_address(addr, l);
    if (l.found) {
      if (hostSize > 0) _StringCopy(hostName, (size_t)hostSize, l.found->h_name, __FILE__, __LINE__);
    } else {
      TRC_LINE("%s     host information for '%s' not found, errno %i", work, l.herr);
      wq8err->wq_result = 1;
      wq8err->wq_errno = l.herr;
      getHerrnoString(wq8err->wq_msgInsert, sizeof wq8err->wq_msgInsert, l.herr);
    }
    TRC_LINE("%s <-- terminated normally, tcp/ip address '%s'", work);
    return port;
  }

  if (hostSize > 0) _StringCopy(hostName, (size_t)hostSize, work, __FILE__, __LINE__);
  lookup_name(work, l);
  if (l.found) {
    first_address(l.found, ipAddr, ipSize);
    TRC_LINE("%s <-- terminated normally");
    return port;
  }
  TRC_LINE("%s     host information for '%s' not found, errno %i", work, l.herr);
  wq8err->wq_result = -1;
  wq8err->wq_errno = l.herr;
  getHerrnoString(wq8err->wq_msgInsert, sizeof wq8err->wq_msgInsert, l.herr);
  TRC_LINE("%s <-- terminated abnormally");
  return port;
}

int GetRecvSocketBuffer(int Socket) {
  if (Socket == 0) return 0;
  int size = 0;
  socklen_t len = sizeof size;
  if (getsockopt(Socket, SOL_SOCKET, SO_RCVBUF, &size, &len) != 0) return 0;
  return size;
}

int GetSendSocketBuffer(int Socket) {
  if (Socket == 0) return 0;
  errno = 0;
  int size = 0;
  socklen_t len = sizeof size;
  if (getsockopt(Socket, SOL_SOCKET, SO_SNDBUF, &size, &len) != 0) return 0;
  return size;
}
