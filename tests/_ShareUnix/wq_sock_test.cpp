// The resolver's functions over a resolver of the test's own, socket buffer
// queries, and the protocol header of the wq8 channel.
#include "wq_sock.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "common/data.h"
#include "wq_sr.h"

namespace {

// The resolver of the rows of data/calls.txt (described there): a host, its
// address ("" for a failure), the resolver error and the call's result.
struct Host { const char *name, *addr; int herr, rc; };
const Host kHosts[] = {{"agent.example", "192.0.2.7"}, {"localhost", "127.0.0.1"}, {"big.example", "10.0.0.9"},
                       {"v6.example", "2001:db8::7"}, {"busy.example", "", TRY_AGAIN, EAGAIN},
                       {"broken.example", "", 0, EINVAL}};

// The entry of the host named (or, not by name, of the address) `key`; its
// address list, address and name go to `buf`.
int Look(const std::string &key, bool by_name, struct hostent *e, char *buf, size_t len, struct hostent **found,
         int *herr) {
  *found = nullptr;
  for (const Host &h : kHosts) {
    if (key != (by_name ? h.name : h.addr)) continue;
    if (!*h.addr) return *herr = h.herr, h.rc;
    if (len < (h.name == kHosts[2].name ? 8192u : 64u)) return ERANGE;
    char **list = reinterpret_cast<char **>(buf), *addr = buf + 2 * sizeof(char *), *name = addr + 16;
    const int family = strchr(h.addr, ':') ? AF_INET6 : AF_INET;
    inet_pton(family, h.addr, addr);
    list[0] = addr, list[1] = nullptr;
    *e = {strcpy(name, h.name), nullptr, family, family == AF_INET ? 4 : 16, list};
    return *found = e, 0;
  }
  *herr = by_name ? HOST_NOT_FOUND : 0;  // an unknown address: no entry, no resolver error
  return 0;
}

TEST(Resolver, CallsOfTheTableAndTheProtocolHeader) {
  wq_gethostbyname_r = [](const char *name, struct hostent *e, char *buf, size_t len, struct hostent **found,
                          int *herr) { return Look(name, true, e, buf, len, found, herr); };
  wq_gethostbyaddr_r = [](const void *a, socklen_t, int, struct hostent *e, char *buf, size_t len,
                          struct hostent **found, int *herr) {
    char text[16];
    return Look(inet_ntop(AF_INET, a, text, sizeof text), false, e, buf, len, found, herr);
  };
  EXPECT_EQ(wqtest::ForEachCall([&](const std::string &f, wqtest::Row &r) {
              wqtest::Area out, ip;
              wq8_error err;
              memset(&err, 0x5A, sizeof err);
              errno = 5;
              if (f == "getHerrnoString") {
                EXPECT_EQ(getHerrnoString(out, (int)r.n(1), (int)r.n(0)), (char *)out);
                r.Wrote(out, 2, r.n(1));
              } else if (f == "GetHostAddrTh" || f == "GetHostNameTh") {
                EXPECT_EQ((f == "GetHostAddrTh" ? GetHostAddrTh : GetHostNameTh)(r.p(0), out, (int)r.n(1)), (char *)out);
                EXPECT_EQ(errno, r.n(2));
                r.Wrote(out, 3, r.n(1));
              } else if (f == "verifyHostDef") {
                EXPECT_EQ(verifyHostDef(r.p(0), out, (int)r.n(1), ip, (int)r.n(2), &err), r.n(3));
                EXPECT_EQ(std::string(out) + "|" + ip.b + "|" + std::to_string(err.wq_result) + " " +
                              std::to_string(err.wq_errno) + " " + std::to_string(err.wq_msgnr) + " " + err.wq_msgInsert,
                          r.s(7) + "|" + r.s(8) + "|" + r.c.words[4] + " " + r.c.words[5] + " 0 " + r.s(6));
              } else if (f == "SetProtocolLength") {
                out[48] = (char)0xAB;
                EXPECT_EQ(CrProtocolHeader(out), 48);
                EXPECT_EQ(std::string(out, 49), "00000048WQ8:global001NAT" + std::string(24, ' ') + "\xAB");
                memcpy(out, r.p(0), 24);
                EXPECT_EQ(SetProtocolLength(out, (int)r.n(1)), r.n(1));
                EXPECT_EQ(std::string(out, 49), r.s(2) + r.s(0).substr(8) + std::string(24, ' ') + "\xAB");
                EXPECT_EQ(GetProtocolLength(out), r.n(3));
              } else if (f == "i4_memcopy") {
                i4_memcopy((unsigned char *)out.b + r.n(1), (const unsigned char *)r.p(0) + r.n(2));
                r.Wrote(out, 3, r.s(3).size());
              } else {
                return false;
              }
              return true;
            }), 44);
}

TEST(SocketBuffers, OfASocketOnlyAndNeverOfDescriptorZero) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(std::vector<bool>({GetRecvSocketBuffer(fd) > 0, GetSendSocketBuffer(fd) > 0, GetRecvSocketBuffer(0) == 0,
                               GetSendSocketBuffer(0) == 0, GetRecvSocketBuffer(-1) == 0, GetSendSocketBuffer(-1) == 0}),
            std::vector<bool>(6, true));
  close(fd);
}

}  // namespace
