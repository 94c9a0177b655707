// IPv4 host name services on the classic resolver: host name to dotted
// address, address to host name, check of a host definition host[:port],
// resolver error names, and a socket's buffer sizes.
//
// Results are texts in caller-supplied buffers, always within the size given
// and terminated. Resolver failures never end the process: they come back as
// the resolver error's name (see getHerrnoString) in the result buffer with
// errno set to the resolver error number, or in a wq8_error record. The
// look-ups use the reentrant resolver calls, so concurrent callers do not
// share the resolver's static result.
#pragma once

#include <netdb.h>
#include <sys/socket.h>

#include "wq_dnst.h"

// The resolver's two look-ups, with the contracts of gethostbyname_r and
// gethostbyaddr_r (which they are unless replaced). A test puts look-ups of
// its own here, so that its results do not depend on the machine's host
// tables or name servers.
using wq_byname_fn = int (*)(const char *name, struct hostent *entry, char *buf, size_t buflen,
                             struct hostent **result, int *h_errnop);
using wq_byaddr_fn = int (*)(const void *addr, socklen_t len, int type, struct hostent *entry, char *buf,
                             size_t buflen, struct hostent **result, int *h_errnop);
extern wq_byname_fn wq_gethostbyname_r;
extern wq_byaddr_fn wq_gethostbyaddr_r;

// Writes the dotted IPv4 address of `Host` into `TcpAddr` (`oLen` bytes, all
// cleared first; 16 hold any address). A text that is already an address
// (inet_addr accepts it; 255.255.255.255 does not count) is copied as it is.
// A name is resolved; on success errno is 0. On failure `TcpAddr` holds the
// resolver error name (empty for error 0) and errno the resolver error.
// Returns `TcpAddr`.
char *GetHostAddrTh(const char *Host, char *TcpAddr, int oLen);

// Writes the host name of the address text `IpAddr` into `HostName` (`oLen`
// bytes, cleared first). A text that is not an address is taken as a host
// name and copied as it is. An address is looked up (PTR, AF_INET): on
// success `HostName` holds the official name; on failure the resolver error
// name (empty for error 0), with errno = the resolver error; errno is 0 on
// success. Returns `HostName`.
char *GetHostNameTh(const char *IpAddr, char *HostName, int oLen);

// Splits the host definition "host" or "host:port" (at most 254 characters
// are read) and resolves its host part. `hostName` (`hostSize` bytes) and
// `ipAddr` (`ipSize` bytes) are cleared, as are wq_result, wq_errno, wq_msgnr
// and wq_msgInsert of `wq8err`.
// - An address: `ipAddr` gets it, `hostName` its official name; without a
//   name wq_result = 1, wq_errno = the resolver error and wq_msgInsert its name.
// - A name: `hostName` gets it, `ipAddr` its first address; without an
//   address wq_result = -1, wq_errno and wq_msgInsert as above.
// Returns the port of the definition (decimal digits behind ":", limited to
// the int range), 0 when it has none; whatever the outcome of the look-up.
int verifyHostDef(const char *HostDef, char *hostName, int hostSize, char *ipAddr, int ipSize, wq8_error *wq8err);

// Writes the name of the resolver error `herrno` into `resString` (`resLen`
// bytes, cut to fit): 1 "HOST_NOT_FOUND", 2 "TRY_AGAIN", 3 "NO_RECOVERY",
// 4 "NO_DATA", any other value "????". Returns `resString`.
char *getHerrnoString(char *resString, int resLen, int herrno);

// The receive (SO_RCVBUF) and send (SO_SNDBUF) buffer size of `Socket`; 0 for
// `Socket` 0 (no system call) or when getsockopt fails. GetSendSocketBuffer
// sets errno to 0 before its call.
int GetRecvSocketBuffer(int Socket);
int GetSendSocketBuffer(int Socket);
