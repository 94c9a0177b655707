// The resolver, socket buffer sizes and the protocol header of the wq8 channel.
#include "wq_sock.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/data.h"
#include "wq_sr.h"
#include "wq_trace.h"

namespace {

constexpr const char *kNoSuchHost = "no-such-host.invalid";

bool IsResolverFailure(const std::string &name, int err) {
  char expected[32];
  getHerrnoString(expected, sizeof expected, err);
  return (err == HOST_NOT_FOUND || err == TRY_AGAIN || err == NO_DATA) && name == expected;
}

// Rows that name localhost need the host tables (/etc/hosts) to map it to
// 127.0.0.1 both ways, as on most systems but not on every one.
TEST(Resolver, CallsOfTheTable) {
  struct hostent *h = gethostbyname("localhost");
  const in_addr_t lo = htonl(INADDR_LOOPBACK);
  const bool localhost = h && h->h_length == 4 && memcmp(h->h_addr_list[0], &lo, 4) == 0 &&
                         (h = gethostbyaddr(&lo, 4, AF_INET)) && std::string(h->h_name) == "localhost";
  int skipped = 0;
  EXPECT_EQ(wqtest::ForEachCall([&](const std::string &f, wqtest::Row &r) {
              if (f != "getHerrnoString" && f != "GetHostAddrTh" && f != "GetHostNameTh" && f != "verifyHostDef")
                return false;
              const auto named = [](const std::string &w) { return w.find("localhost") != std::string::npos; };
              if (!localhost && std::any_of(r.c.words.begin(), r.c.words.end(), named)) return ++skipped > 0;
              wqtest::Area out, ip;
              wq8_error err;
              memset(&err, 0x5A, sizeof err);
              errno = 5;
              if (f == "getHerrnoString") {
                EXPECT_EQ(getHerrnoString(out, (int)r.n(1), (int)r.n(0)), (char *)out);
              } else if (f != "verifyHostDef") {
                const auto get = f == "GetHostAddrTh" ? GetHostAddrTh : GetHostNameTh;
                EXPECT_EQ(get(r.p(0), out, (int)r.n(1)), (char *)out);
                EXPECT_EQ(errno, r.n(2));
              } else {
                EXPECT_EQ(verifyHostDef(r.p(0), out, (int)r.n(1), ip, (int)r.n(2), &err), r.n(3));
                EXPECT_EQ(std::string(out) + "|" + ip.b + "|" + std::to_string(err.wq_result),
                          r.s(5) + "|" + r.s(6) + "|" + r.c.words[4]);
                if (err.wq_result) {
                  EXPECT_TRUE(IsResolverFailure(err.wq_msgInsert, err.wq_errno)) << err.wq_msgInsert;
                }
                if (!err.wq_result) { EXPECT_EQ(err.wq_errno | err.wq_msgnr | err.wq_msgInsert[0], 0); }
                return true;
              }
              r.Wrote(out, f == "getHerrnoString" ? 2 : 3, r.n(1));
              return true;
            }), 19);
  if (skipped) GTEST_SKIP() << skipped << " rows need the host tables to map localhost to 127.0.0.1 both ways";
}

TEST(Resolver, FailuresBoundsAndTraces) {
  char host[64], ip[32];
  wq8_error err;
  GetHostAddrTh(kNoSuchHost, ip, sizeof ip);
  EXPECT_TRUE(IsResolverFailure(ip, errno)) << ip;
  EXPECT_EQ(verifyHostDef("127.0.0.1:99999999999", host, sizeof host, ip, sizeof ip, nullptr), 2147483647);
  trcFlag = 1;
  const std::string trace = wqtest::CaptureStdout([&] {
    verifyHostDef("127.0.0.1:8080", host, sizeof host, ip, sizeof ip, &err);
    verifyHostDef(kNoSuchHost, host, sizeof host, ip, sizeof ip, &err);
    GetHostAddrTh(kNoSuchHost, ip, sizeof ip);
  });
  trcFlag = 0;
  for (const char *line : {"verifyHostDef --> started, host definition '127.0.0.1:8080'",
                           "verifyHostDef   determine port number '8080'",
                           "verifyHostDef     host information for 'no-such-host.invalid' not found, errno ",
                           "verifyHostDef <-- terminated abnormally", "GetHostAddrTh:           error '",
                           "' in gethostbyname('no-such-host.invalid')' call",
                           "GetHostAddrTh <-- (error in gethostbyname() call)"})
    EXPECT_NE(trace.find(line), std::string::npos) << line << "\n" << trace;
}

TEST(SocketBuffers, SizesOfARealSocket) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  int rcv = 0, snd = 0;
  socklen_t len = sizeof rcv;
  ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcv, &len) + getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &snd, &len), 0);
  errno = 9;
  EXPECT_EQ(std::vector<int>({GetRecvSocketBuffer(fd), GetSendSocketBuffer(fd), errno}),
            std::vector<int>({rcv, snd, 0}));
  close(fd);
  EXPECT_EQ(GetRecvSocketBuffer(fd) + GetSendSocketBuffer(fd) + GetRecvSocketBuffer(0) + GetSendSocketBuffer(0), 0);
}


// Only the digits ever change, and only behind a valid eye-catcher; reading
// is like atoi.
TEST(ProtocolHeader, LengthDigitsOnlyBehindAValidEyeCatcher) {
  unsigned char h[49];
  h[48] = 0xAB;
  EXPECT_EQ(CrProtocolHeader(h), 48);
  const std::string head((const char *)h, 49);
  EXPECT_EQ(head, "00000048WQ8:global001NAT" + std::string(24, ' ') + "\xAB");  // nothing behind the 48 bytes
  EXPECT_EQ(wqtest::ForEachCall([&](const std::string &f, wqtest::Row &r) {
              if (f != "SetProtocolLength") return false;
              EXPECT_EQ(SetProtocolLength(h, (int)r.n(0)), r.n(0));
              EXPECT_EQ(std::string((const char *)h, 49), r.s(1) + head.substr(8));
              EXPECT_EQ(GetProtocolLength(h), r.n(2));
              return true;
            }), 6);
  memcpy(h, "  123x45", 8);
  EXPECT_EQ(GetProtocolLength(h), 123);
  CrProtocolHeader(h);
  h[17] = 'L';  // "WQ8:globaL": reads 0 and is not written
  EXPECT_EQ(std::vector<int>({GetProtocolLength(h), SetProtocolLength(h, 77)}), std::vector<int>({0, 77}));
  EXPECT_EQ(std::string((const char *)h, 8), "00000048");
  unsigned char src[7] = {0, 1, 2, 3, 4, 5, 6}, dst[7] = {};
  i4_memcopy(dst + 1, src + 3);
  EXPECT_EQ(std::string((const char *)dst, 7), std::string("\0\3\4\5\6\0\0", 7));
}

}  // namespace
