// Creating TCP channels: the listening socket and outgoing connections, the
// two socket settings that accepted connections share, and the check for a
// connection to a server communication process that is already under way.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ccm.h"
#include "ccm_error.h"
#include "ccm_io.h"
#include "ccm_lock.h"
#include "wq_trace.h"
#include "zudnst.h"

namespace {
constexpr size_t kAddrTextSize = 64;

socklen_t sockaddr_len(int family) {
  return family == AF_INET ? sizeof(struct sockaddr_in) : sizeof(struct sockaddr_in6);
}

// Stores the port (network order) in a socket address of either family; the
// port lies at the same place in both.
void set_port(struct sockaddr_in6 *sa, int port) {
  static_assert(offsetof(struct sockaddr_in, sin_port) == offsetof(struct sockaddr_in6, sin6_port));
  sa->sin6_port = htons(static_cast<uint16_t>(port));
}

// Sends small writes at once instead of holding them back until the peer
// has acknowledged the data before them (Nagle). The network thread already
// writes all messages queued for a channel with one call; waiting for an
// acknowledgement, which the peer may delay by up to 40 ms, only stalls a
// stream that keeps a bounded number of messages in flight. The bytes on the
// wire are the same; only how they are cut into segments may differ. A
// failure is only traced: the channel works either way.
void set_nodelay(int s) {
  int on = 1;
  int rc = setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  TRC("setsockopt(TCP_NODELAY) = %d", rc);
}

}  // namespace

int ccm_create_listen(ccm_context_t *ccm, const char *pbind_addr, int port, int listen_count, ccm_error_t *ccmerr) {
  TRC_IN("(bindaddr=%s,port=%d,listen_count=%d)", pbind_addr ? pbind_addr : "(null)", port, listen_count);
  bool ipv6 = ccm_flag_test(ccm->flag, CCM_CTXF_IPV6);
  char bind_addr[256];
  _StringCopy(bind_addr, sizeof bind_addr, pbind_addr, __FILE__, __LINE__);
  if (strcmp(bind_addr, "*LOCAL") == 0)
    _StringCopy(bind_addr, sizeof bind_addr, ipv6 ? "::1" : "127.0.0.1", __FILE__, __LINE__);

  struct sockaddr_in6 sa;
  memset(&sa, 0, sizeof sa);
  sa.sin6_family = ipv6 ? AF_INET6 : AF_INET;
  if (bind_addr[0] != '\0') {
    TRC("using bindaddr = %s", bind_addr);
    if (ccm_hostname2address(bind_addr, 2, &sa, ccmerr) != 0) {
      TRC_OUT("ccm_hostname2address error");
      return -1;
    }
  }
  int family = sa.sin6_family;

  CcmFd s(socket(family, SOCK_STREAM, 0));
  if (s.get() < 0) {
    int err = errno;
    ccm_error_set(ccmerr, CCM_MSGNR_SYSCALL, "socket(family=%d,addr=)|%d(%s)", family, err, wq_strerror(err));
    TRC_OUT("socket() error");
    return -1;
  }
  // Neither option is essential: their results are only traced.
  int on = 1;
  int rc = setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  TRC("setsockopt(SO_REUSEADDR) = %d", rc);
  if (family == AF_INET6) {
    int off = 0;  // accept IPv4 connections on the same socket
    rc = setsockopt(s.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    TRC("setsockopt(IPV6_V6ONLY=0) = %d", rc);
  }
  // Accepted connections inherit it from the listening socket.
  set_nodelay(s.get());

  set_port(&sa, port);
  if (bind(s.get(), reinterpret_cast<struct sockaddr *>(&sa), sockaddr_len(family)) != 0) {
    int err = errno;
    ccm_error_set(ccmerr, CCM_MSGNR_SYSCALL, "bind(%s:%d)|%d(%s)", bind_addr, port, err, wq_strerror(err));
    TRC_OUT("bind() error");
    return -1;
  }
  if (listen(s.get(), listen_count) != 0) {
    const int err = errno;
    ccm_error_set(ccmerr, CCM_MSGNR_SYSCALL, "listen()|%d(%s)", err, wq_strerror(err));
    TRC_OUT("listen() error");
    return -1;
  }
  int nb = 1;
  if (ioctl(s.get(), FIONBIO, &nb) != 0) {
    const int err = errno;
    ccm_error_set(ccmerr, CCM_MSGNR_SYSCALL, "ioctl(...,FIONBIO)|%d-%s", err, wq_strerror(err));
    TRC_OUT("ioctl error, dontblock");
    return -1;
  }

  ccm_channel_t *ch = nullptr;
  if (ccm_channel_new_entry(ccm, &ch, ccmerr) != 0) {
    TRC_OUT("channel entry create error");
    return -1;
  }
  ch->s = s.release();
  ch->type = CCM_CH_LISTEN;
  _StringCopy(ch->name, sizeof ch->name, "*LISTEN", __FILE__, __LINE__);
  char desc[512];
  if (WQ_TRACE_ON()) ccm_channel_describe(ch, desc, sizeof desc);
  ccm_channel_chain(ccm, ch);
  // A running network thread takes the channel over at once, not after its
  // select time-out.
  ccm_wakeup_network(ccm);
  TRC_OUT("OK,%s", desc);
  return 0;
}

// The descriptor is read under channel_lock, which the lookup returns held:
// a channel is destroyed only after the sweep has taken it out of the list
// under that lock, so it cannot be closed while it is read here.
int ccm_listen_port(ccm_context_t *ccm, const char *name) {
  TRC_IN("(name=%s)", name ? name : "(null)");
  ccm_channel_t *ch = ccm ? ccm_channel_getbyName(ccm, name) : nullptr;
  if (!ch) {
    TRC_OUT("no channel");
    return -1;
  }
  CcmChannelLockHeld held(ccm);
  struct sockaddr_in6 local;
  memset(&local, 0, sizeof local);
  socklen_t len = sizeof local;
  if (ch->type != CCM_CH_LISTEN || getsockname(ch->s, reinterpret_cast<struct sockaddr *>(&local), &len) != 0) {
    TRC_OUT("not a listening channel, or no address");
    return -1;
  }
  // The port lies at the same place in both families (set_port).
  const int port = ntohs(local.sin6_port);
  TRC_OUT("port=%d", port);
  return port;
}

int ccm_set_nonblocking(ccm_context_t * /*ccm*/, ccm_channel_t *ccmch, ccm_error_t *ccmerr) {
  TRC_IN("(chID=%d,s=%d)", ccmch->ID, ccmch->s);
  int on = 1;
  if (ioctl(ccmch->s, FIONBIO, &on) < 0) {
    const int err = errno;
    ccm_error_set(ccmerr, CCM_MSGNR_SYSCALL, "ioctl(...,FIONBIO)|%d-%s", err, wq_strerror(err));
    TRC_OUT("ioctl error, dontblock");
    return -1;
  }
  TRC_OUT("OK");
  return 0;
}

int ccm_set_linger(ccm_context_t * /*ccm*/, ccm_channel_t *ccmch, int onoff, int ptime, ccm_error_t *ccmerr) {
  TRC_IN("(chID=%d,s=%d,onoff=%d,time=%d)", ccmch->ID, ccmch->s, onoff, ptime);
  struct linger l;
  l.l_onoff = onoff;
  l.l_linger = ptime;
  if (setsockopt(ccmch->s, SOL_SOCKET, SO_LINGER, &l, sizeof l) < 0) {
    int err = errno;
    ccm_error_set(ccmerr, CCM_MSGNR_SYSCALL, "setsockopt(SO_LINGER,s=%d,ID=%d)|%d-%s", ccmch->s, ccmch->ID, err,
                  wq_strerror(err));
    TRC_OUT("setting linger error");
    return -1;
  }
  TRC_OUT("OK");
  return 0;
}

int ccm_is_cp_connecting(ccm_context_t *ccm, const char *host, int port, ccm_error_t *ccmerr) {
  TRC_IN("(host=%s,port=%d)", host ? host : "(null)", port);
  struct sockaddr_in6 sa;
  if (ccm_hostname2address(host, 2, &sa, ccmerr) != 0) {
    TRC_OUT("error resolve hostname");
    return -1;
  }
  char addr[kAddrTextSize];
  ccm_address2string(&sa, addr, sizeof addr);
  TRC("host(%s) ==> addr(%s)", host, addr);

  bool found = false;
  {
    CcmLockGuard lock(ccm->channel_lock);
    const struct {
      const ccm_channelq_t *q;
      const char *label;
    } queues[] = {{&ccm->channelq, ""}, {&ccm->channel_newq, "(newq)"}};
    for (const auto &entry : queues) {
      for (ccm_channel_t *ch = entry.q->head; ch && !found; ch = ch->nxt) {
        TRC("   --> %stype=%d,%s:%d", entry.label, ch->type, ch->addr, ch->port);
        found = !ccm_flag_test(ch->flag, CCM_CHF_DELETED) && ch->type == CCM_CH_CP && ch->port == port &&
                strcmp(ch->addr, addr) == 0;
      }
      if (found) break;
    }
  }
  if (found) {
    TRC_OUT("already connecting to that CP");
    return 1;
  }
  TRC_OUT("CP not found in channel list");
  return 0;
}

int ccm_connect(ccm_context_t *ccm, const char *host, int port, int type, ccm_connect_user_context_t *cuc,
                int connwait, ccm_error_t *ccmerr) {
  TRC_IN("(host=%s,port=%d,type=%d,cuc=%p,connwait=%d)", host ? host : "(null)", port, type,
         static_cast<void *>(cuc), connwait);
  // The user context belongs to the channel manager from this call on,
  // whatever the outcome, so the caller never has to guess who frees it.
  struct sockaddr_in6 server;
  if (ccm_hostname2address(host, 2, &server, ccmerr) != 0) {
    free(cuc);
    TRC_OUT("error resolve hostname");
    return -1;
  }
  ccm_channel_t *ch = nullptr;
  if (ccm_channel_new_entry(ccm, &ch, ccmerr) != 0) {
    free(cuc);
    TRC_OUT("channel entry create error");
    return -1;
  }
  ch->type = type;
  ch->port = port;
  _StringCopy(ch->host, sizeof ch->host, host, __FILE__, __LINE__);
  ccm_address2string(&server, ch->addr, sizeof ch->addr);
  ch->cuc = cuc;
  __log(CCM_LOG_CONNECTING, "%s:%d(ID=%d)", host, port, ch->ID);

  int family = server.sin6_family;
  ch->s = socket(family, SOCK_STREAM, 0);
  if (ch->s == -1) {
    const int err = errno;
    ccm_error_set(ccmerr, CCM_MSGNR_SYSCALL, "socket()|%d(%s),S(%d(ID=%d))|", err, wq_strerror(err), ch->s,
                  ch->ID);
    ccm_channel_destroy(ccm, ch, nullptr);
    TRC_OUT("socket() error");
    return -1;
  }
  if (ccm_set_nonblocking(ccm, ch, ccmerr) != 0) {
    ccm_channel_destroy(ccm, ch, nullptr);
    TRC_OUT("error set non-blocking mode");
    return -1;
  }
  if (ccm_set_linger(ccm, ch, 1, 60, ccmerr) != 0) {
    ccm_channel_destroy(ccm, ch, nullptr);
    TRC_OUT("error set linger");
    return -1;
  }
  set_nodelay(ch->s);

  // Port 0 on the wildcard address: the system picks the local side.
  struct sockaddr_in6 local;
  memset(&local, 0, sizeof local);
  local.sin6_family = static_cast<sa_family_t>(family);
  socklen_t len = sockaddr_len(family);
  if (bind(ch->s, reinterpret_cast<struct sockaddr *>(&local), len) != 0) {
    const int err = errno;
    ccm_error_set(ccmerr, CCM_MSGNR_SYSCALL, "bind()|%d(%s),S(%d(ID=%d))|", err, wq_strerror(err), ch->s,
                  ch->ID);
    ccm_channel_destroy(ccm, ch, nullptr);
    TRC_OUT("bind() error");
    return -1;
  }

  set_port(&server, port);
  if (connect(ch->s, reinterpret_cast<struct sockaddr *>(&server), len) != 0 && errno != EINPROGRESS) {
    const int err = errno;
    ccm_error_set(ccmerr, CCM_MSGNR_SYSCALL, "connect()|%d(%s),S(%d(ID=%d))|", err, wq_strerror(err), ch->s,
                  ch->ID);
    ccm_channel_destroy(ccm, ch, nullptr);
    TRC_OUT("connect() error");
    return -1;
  }

  // Everything the network thread reads is set before the channel becomes
  // visible to it.
  ccm_flag_set(ch->flag, CCM_CHF_CONNECTING);
  ch->send_wait = CCM_SEND_CONNECTING;
  ch->connect_timeout_secs = connwait;
  ch->connect_timeout = time(nullptr) + connwait;
  int id = ch->ID;
  ccm_channel_chain(ccm, ch);
  ccm_wakeup_network(ccm);
  TRC_OUT("ID=%d", id);
  return id;
}
