#include "wq_sock.h"

#include "wq_trace.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

// Only literal addresses, "localhost" and names under the reserved top-level
// domain .invalid are used: the tests must not depend on any name server.
namespace {
constexpr const char *kNoSuchHost = "no-such-host.invalid";

bool is_resolver_failure(const std::string &name, int err) {
  char expected[32];
  getHerrnoString(expected, sizeof expected, err);
  return (err == HOST_NOT_FOUND || err == TRY_AGAIN || err == NO_DATA) && name == expected;
}
}  // namespace

TEST(GetHerrnoString, NamesAndBound) {
  char out[32];
  const char *names[] = {"????", "HOST_NOT_FOUND", "TRY_AGAIN", "NO_RECOVERY", "NO_DATA", "????"};
  for (int err = 0; err <= 5; ++err) EXPECT_STREQ(getHerrnoString(out, sizeof out, err == 5 ? 99 : err), names[err]);
  char small[6];
  memset(small, 'Q', sizeof small);
  EXPECT_STREQ(getHerrnoString(small, 5, 1), "HOST");
  EXPECT_EQ(small[5], 'Q');
}

TEST(GetHostAddrTh, LiteralsNamesAndFailure) {
  char out[32];
  memset(out, 'Q', sizeof out);
  EXPECT_STREQ(GetHostAddrTh("127.0.0.1", out, sizeof out), "127.0.0.1");
  EXPECT_EQ(out[31], '\0');  // the whole area is cleared

  errno = 77;
  EXPECT_STREQ(GetHostAddrTh("localhost", out, sizeof out), "127.0.0.1");
  EXPECT_EQ(errno, 0);

  GetHostAddrTh(kNoSuchHost, out, sizeof out);
  int err = errno;
  EXPECT_TRUE(is_resolver_failure(out, err)) << out << " errno " << err;

  // A small area holds a cut, terminated text.
  char small[8];
  memset(small, 'Q', sizeof small);
  GetHostAddrTh("localhost", small, 7);
  EXPECT_STREQ(small, "127.0.");
  EXPECT_EQ(small[7], 'Q');
}

TEST(GetHostNameTh, AddressesAndNames) {
  char out[256];
  for (auto [in, name] : {std::pair{"127.0.0.1", "localhost"}, {"some-name", "some-name"}}) {
    errno = 5;
    EXPECT_STREQ(GetHostNameTh(in, out, sizeof out), name);
    EXPECT_EQ(errno, 0);
  }

  char small[5];
  memset(small, 'Q', sizeof small);
  GetHostNameTh("127.0.0.1", small, 4);
  EXPECT_STREQ(small, "loc");
  EXPECT_EQ(small[4], 'Q');
}

TEST(VerifyHostDef, PortsNamesAndAddresses) {
  char host[64], ip[32];
  wq8_error err;
  memset(&err, 0x5A, sizeof err);
  EXPECT_EQ(verifyHostDef("localhost:8080", host, sizeof host, ip, sizeof ip, &err), 8080);
  EXPECT_STREQ(host, "localhost");
  EXPECT_STREQ(ip, "127.0.0.1");
  EXPECT_EQ(err.wq_result + err.wq_errno + err.wq_msgnr + err.wq_msgInsert[0], 0);

  EXPECT_EQ(verifyHostDef("127.0.0.1", host, sizeof host, ip, sizeof ip, &err), 0);
  EXPECT_STREQ(ip, "127.0.0.1");
  EXPECT_STREQ(host, "localhost");
  EXPECT_EQ(err.wq_result, 0);

  // A name without an address: result -1, the name stays, the port counts.
  EXPECT_EQ(verifyHostDef("no-such-host.invalid:21", host, sizeof host, ip, sizeof ip, &err), 21);
  EXPECT_EQ(err.wq_result, -1);
  EXPECT_STREQ(host, kNoSuchHost);
  EXPECT_STREQ(ip, "");
  EXPECT_TRUE(is_resolver_failure(err.wq_msgInsert, err.wq_errno)) << err.wq_msgInsert;

  // Bounded results.
  char small_host[4], small_ip[6];
  EXPECT_EQ(verifyHostDef("localhost:1", small_host, sizeof small_host, small_ip, sizeof small_ip, &err), 1);
  EXPECT_STREQ(small_host, "loc");
  EXPECT_STREQ(small_ip, "127.0");

  // A definition longer than the work text is cut, not overrun.
  std::string longdef(400, 'h');
  verifyHostDef(longdef.c_str(), host, sizeof host, ip, sizeof ip, &err);
  EXPECT_EQ(std::string(host), std::string(63, 'h'));
  EXPECT_NE(err.wq_result, 0);

  EXPECT_EQ(verifyHostDef("localhost:99999999999", host, sizeof host, ip, sizeof ip, nullptr), 2147483647);
}

TEST(VerifyHostDef, AddressWithoutNameKeepsTheAddress) {
  // 192.0.2.0/24 is reserved for documentation: no resolver knows a name
  // for it (here, or on a host with working DNS).
  char host[64], ip[32];
  wq8_error err;
  EXPECT_EQ(verifyHostDef("192.0.2.1", host, sizeof host, ip, sizeof ip, &err), 0);
  EXPECT_STREQ(ip, "192.0.2.1");
  EXPECT_STREQ(host, "");
  EXPECT_EQ(err.wq_result, 1);
  EXPECT_TRUE(is_resolver_failure(err.wq_msgInsert, err.wq_errno)) << err.wq_msgInsert;
}

TEST(SocketBuffers, SizesOfARealSocket) {
  EXPECT_EQ(GetRecvSocketBuffer(0), 0);
  EXPECT_EQ(GetSendSocketBuffer(0), 0);
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  int want = 65536;
  ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &want, sizeof want), 0);
  ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &want, sizeof want), 0);
  int rcv = 0, snd = 0;
  socklen_t len = sizeof rcv;
  getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcv, &len);
  getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &snd, &len);
  EXPECT_EQ(GetRecvSocketBuffer(fd), rcv);
  errno = 9;
  EXPECT_EQ(GetSendSocketBuffer(fd), snd);
  EXPECT_EQ(errno, 0);
  close(fd);
  // A closed descriptor fails: 0.
  EXPECT_EQ(GetRecvSocketBuffer(fd), 0);
  EXPECT_EQ(GetSendSocketBuffer(fd), 0);
}

TEST(VerifyHostDef, TracesInItsOwnWording) {
  char host[64], ip[32];
  wq8_error err;
  trcFlag = 1;
  testing::internal::CaptureStdout();
  verifyHostDef("localhost:8080", host, sizeof host, ip, sizeof ip, &err);
  verifyHostDef("127.0.0.1", host, sizeof host, ip, sizeof ip, &err);
  verifyHostDef(kNoSuchHost, host, sizeof host, ip, sizeof ip, &err);
  GetHostAddrTh(kNoSuchHost, ip, sizeof ip);
  std::string out = testing::internal::GetCapturedStdout();
  trcFlag = 0;
  for (const char *expected : {
           "verifyHostDef --> started, host definition 'localhost:8080'",
           "verifyHostDef   determine port number '8080'",
           "verifyHostDef <-- terminated normally\n",
           "verifyHostDef <-- terminated normally, tcp/ip address '127.0.0.1'",
           "verifyHostDef     host information for 'no-such-host.invalid' not found, errno ",
           "verifyHostDef <-- terminated abnormally",
           "GetHostAddrTh:           error '",
           "' in gethostbyname('no-such-host.invalid')' call",
           "GetHostAddrTh <-- (error in gethostbyname() call)",
       })
    EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n" << out;
}
