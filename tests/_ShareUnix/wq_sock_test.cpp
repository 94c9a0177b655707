#include "wq_sock.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include "src/rows.h"
#include "wq_trace.h"

// Only literal addresses, "localhost" and names under the reserved top-level
// domain .invalid are used: the tests must not depend on any name server.
namespace {

constexpr const char *kNoSuchHost = "no-such-host.invalid";

bool IsResolverFailure(const std::string &name, int err) {
  char expected[32];
  getHerrnoString(expected, sizeof expected, err);
  return (err == HOST_NOT_FOUND || err == TRY_AGAIN || err == NO_DATA) && name == expected;
}

TEST(Resolver, ErrorNamesAndFailures) {
  char host[64], ip[32];
  wqtest::Area out;
  EXPECT_TRUE(strcmp(getHerrnoString(out, 5, 1), "HOST") == 0 && out[5] == 'Q');
  const char *names[] = {"????", "HOST_NOT_FOUND", "TRY_AGAIN", "NO_RECOVERY", "NO_DATA", "????"};
  for (int err = 0; err <= 5; ++err) EXPECT_STREQ(getHerrnoString(out, 32, err == 5 ? 99 : err), names[err]);
  EXPECT_TRUE(strcmp(GetHostAddrTh("127.0.0.1", out, 32), "127.0.0.1") == 0 && out[31] == '\0');  // the whole area is cleared
  GetHostAddrTh(kNoSuchHost, out, 32);
  EXPECT_TRUE(IsResolverFailure(out.b, errno)) << out.b;
  errno = 5;
  EXPECT_STREQ(GetHostNameTh("some-name", out, 32), "some-name");  // no address: taken as the name
  EXPECT_EQ(errno, 0);
  // 192.0.2.0/24 is reserved for documentation: no resolver knows a name for it.
  wq8_error err;
  EXPECT_EQ(verifyHostDef("192.0.2.1", host, sizeof host, ip, sizeof ip, &err), 0);
  EXPECT_EQ(std::string(ip) + "|" + host + "|" + std::to_string(err.wq_result), "192.0.2.1||1");
  EXPECT_TRUE(IsResolverFailure(err.wq_msgInsert, err.wq_errno)) << err.wq_msgInsert;
  // A name without an address: result -1, the name stays, the port counts.
  EXPECT_EQ(verifyHostDef("no-such-host.invalid:21", host, sizeof host, ip, sizeof ip, &err), 21);
  EXPECT_EQ(std::string(host) + "|" + ip + "|" + std::to_string(err.wq_result), std::string(kNoSuchHost) + "||-1");
  EXPECT_TRUE(IsResolverFailure(err.wq_msgInsert, err.wq_errno)) << err.wq_msgInsert;
  verifyHostDef(std::string(400, 'h').c_str(), host, sizeof host, ip, sizeof ip, &err);  // cut, not overrun
  EXPECT_TRUE(std::string(host) == std::string(63, 'h') && err.wq_result != 0);
  EXPECT_EQ(verifyHostDef("127.0.0.1:99999999999", host, sizeof host, ip, sizeof ip, nullptr), 2147483647);
}

TEST(Resolver, LocalhostBothWaysBoundedAndTraced) {
  struct hostent *h = gethostbyname("localhost");
  in_addr_t lo = htonl(INADDR_LOOPBACK);
  if (!h || h->h_length != 4 || memcmp(h->h_addr_list[0], &lo, 4) != 0 || !(h = gethostbyaddr(&lo, 4, AF_INET)) || strcmp(h->h_name, "localhost"))
    GTEST_SKIP() << "needs the host tables (/etc/hosts) to map localhost to 127.0.0.1 both ways";
  char out[32], host[64], ip[32], small[8] = "QQQQQQQ";
  errno = 77;
  EXPECT_STREQ(GetHostAddrTh("localhost", out, sizeof out), "127.0.0.1");
  EXPECT_EQ(errno, 0);
  errno = 5;
  EXPECT_STREQ(GetHostNameTh("127.0.0.1", out, sizeof out), "localhost");
  EXPECT_EQ(errno, 0);
  GetHostAddrTh("localhost", small, 7);
  EXPECT_EQ(std::string(small, 8), std::string("127.0.\0", 8));
  memset(small, 'Q', sizeof small);
  GetHostNameTh("127.0.0.1", small, 4);
  EXPECT_EQ(std::string(small, 5), std::string("loc\0Q", 5));
  wq8_error err;
  memset(&err, 0x5A, sizeof err);
  trcFlag = 1;
  std::string got;
  const std::string trace = wqtest::CaptureStdout([&] {
    const int port = verifyHostDef("localhost:8080", host, sizeof host, ip, sizeof ip, &err);
    got = std::to_string(port) + "|" + host + "|" + ip + "|" + std::to_string(err.wq_result | err.wq_errno | err.wq_msgnr | err.wq_msgInsert[0]);
    const int none = verifyHostDef("127.0.0.1", host, sizeof host, ip, sizeof ip, &err);
    got += " " + std::to_string(none) + "|" + host + "|" + ip + "|" + std::to_string(err.wq_result);
    verifyHostDef(kNoSuchHost, host, sizeof host, ip, sizeof ip, &err);
    GetHostAddrTh(kNoSuchHost, ip, sizeof ip);
  });
  EXPECT_EQ(got, "8080|localhost|127.0.0.1|0 0|localhost|127.0.0.1|0");
  trcFlag = 0;
  EXPECT_EQ(verifyHostDef("localhost:1", host, 4, ip, 6, &err), 1);
  EXPECT_EQ(std::string(host) + "|" + ip, "loc|127.0");
  for (const char *line : {"verifyHostDef --> started, host definition 'localhost:8080'", "verifyHostDef   determine port number '8080'",
                           "verifyHostDef <-- terminated normally\n", "verifyHostDef <-- terminated normally, tcp/ip address '127.0.0.1'",
                           "verifyHostDef     host information for 'no-such-host.invalid' not found, errno ",
                           "verifyHostDef <-- terminated abnormally", "GetHostAddrTh:           error '",
                           "' in gethostbyname('no-such-host.invalid')' call", "GetHostAddrTh <-- (error in gethostbyname() call)"})
    EXPECT_NE(trace.find(line), std::string::npos) << line << "\n" << trace;
}

TEST(SocketBuffers, SizesOfARealSocket) {
  EXPECT_EQ(GetRecvSocketBuffer(0) + GetSendSocketBuffer(0), 0);
  const int fd = socket(AF_INET, SOCK_STREAM, 0), want = 65536;
  ASSERT_TRUE(fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &want, sizeof want) == 0 && setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &want, sizeof want) == 0);
  int rcv = 0, snd = 0;
  socklen_t len = sizeof rcv;
  getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcv, &len);
  getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &snd, &len);
  EXPECT_EQ(GetRecvSocketBuffer(fd), rcv);
  errno = 9;
  EXPECT_EQ(GetSendSocketBuffer(fd), snd);
  EXPECT_EQ(errno, 0);
  close(fd);
  EXPECT_EQ(GetRecvSocketBuffer(fd) + GetSendSocketBuffer(fd), 0);  // a closed descriptor fails
}

}  // namespace
