#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <cstring>
#include <string>
#include <vector>

#include "_ccm/ccm_io_testing.h"
#include "ccm.h"

namespace {

std::string text_of(const sockaddr_in6 &sa) {
  char buf[64];
  EXPECT_EQ(ccm_address2string(&sa, buf, sizeof buf), 0);
  return buf;
}

TEST(CcmResolve, LiteralsAndBrackets) {
  struct Case {
    const char *in;
    int family;
    const char *out;
  } cases[] = {{"127.0.0.1", AF_INET, "127.0.0.1"},  // loopback only: fallback to the first entry
               {"10.1.2.3", AF_INET, "10.1.2.3"},
               {"[fe80::1]", AF_INET6, "fe80::1"},
               {"  [::1]  ", AF_INET6, "::1"},
               {"::1", AF_INET6, "::1"},
               {"2001:db8::5", AF_INET6, "2001:db8::5"}};
  for (const auto &c : cases) {
    sockaddr_in6 sa;
    memset(&sa, 0xEE, sizeof sa);
    ccm_error_t err{};
    err.msgnr = 99;
    ASSERT_EQ(ccm_hostname2address(c.in, 2, &sa, &err), 0) << c.in;
    EXPECT_EQ(err.msgnr, 0);
    EXPECT_EQ(sa.sin6_family, c.family) << c.in;
    EXPECT_EQ(sa.sin6_port, 0);
    EXPECT_EQ(text_of(sa), c.out);
    if (c.family == AF_INET) {
      // Only the IPv4 part is filled; the rest of the area is cleared.
      const unsigned char *p = reinterpret_cast<const unsigned char *>(&sa);
      for (size_t i = sizeof(sockaddr_in); i < sizeof sa; ++i) EXPECT_EQ(p[i], 0) << i;
    }
  }
  sockaddr_in6 sa;
  ccm_error_t err{};
  EXPECT_EQ(ccm_hostname2address("localhost", 2, &sa, &err), 0);
}

TEST(CcmResolve, UnresolvableNamesFail) {
  for (const char *name : {"", "[]", "   ", static_cast<const char *>(nullptr)}) {
    sockaddr_in6 sa;
    ccm_error_t err{};
    EXPECT_EQ(ccm_hostname2address(name, 2, &sa, &err), -1);
    EXPECT_EQ(err.msgnr, 2000102);
    EXPECT_EQ(std::string(err.msginsert).rfind("getaddrinfo|", 0), 0u) << err.msginsert;
  }
}

// A resolver list built by hand, in a chosen order.
class FakeList {
 public:
  void add(const char *text) {
    auto *sa = new sockaddr_in6{};
    auto *ai = new addrinfo{};
    if (strchr(text, ':')) {
      sa->sin6_family = AF_INET6;
      inet_pton(AF_INET6, text, &sa->sin6_addr);
      ai->ai_addrlen = sizeof(sockaddr_in6);
    } else {
      auto *v4 = reinterpret_cast<sockaddr_in *>(sa);
      v4->sin_family = AF_INET;
      inet_pton(AF_INET, text, &v4->sin_addr);
      ai->ai_addrlen = sizeof(sockaddr_in);
    }
    ai->ai_family = sa->sin6_family;
    ai->ai_addr = reinterpret_cast<sockaddr *>(sa);
    if (!entries_.empty()) entries_.back()->ai_next = ai;
    entries_.push_back(ai);
  }
  ~FakeList() {
    for (auto *ai : entries_) {
      delete reinterpret_cast<sockaddr_in6 *>(ai->ai_addr);
      delete ai;
    }
  }
  const addrinfo *head() const { return entries_.empty() ? nullptr : entries_.front(); }
  std::string chosen(int options) const {
    const addrinfo *ai = ccm_choose_address(head(), options);
    if (!ai) return "(none)";
    sockaddr_in6 sa{};
    memcpy(&sa, ai->ai_addr, ai->ai_addrlen);
    return text_of(sa);
  }

 private:
  std::vector<addrinfo *> entries_;
};

TEST(CcmResolve, PreferenceRules) {
  struct Case {
    std::vector<const char *> list;
    int options;
    const char *chosen;
  };
  const std::vector<Case> cases = {
      // First non-loopback IPv4 with options 2, though IPv6 came first.
      {{"::1", "2001:db8::1", "127.0.0.1", "10.0.0.7", "10.0.0.8"}, 2, "10.0.0.7"},
      {{"::1", "2001:db8::1", "127.0.0.1", "10.0.0.7"}, 1, "2001:db8::1"},
      {{"::1", "2001:db8::1", "127.0.0.1", "10.0.0.7"}, 0, "2001:db8::1"},
      {{"FE80::9", "fe80::1", "2001:db8::2"}, 2, "2001:db8::2"},  // no IPv4: first usable entry
      {{"fe80::1", "127.0.0.1"}, 2, "fe80::1"},                   // nothing usable: the first
      {{}, 2, "(none)"}};
  for (const Case &c : cases) {
    FakeList l;
    for (const char *a : c.list) l.add(a);
    EXPECT_EQ(l.chosen(c.options), c.chosen) << c.options << " " << (c.list.empty() ? "" : c.list[0]);
  }
}

TEST(CcmAddressText, ConversionAndBrackets) {
  sockaddr_in6 sa{};
  char buf[64];
  sa.sin6_family = AF_INET6;
  inet_pton(AF_INET6, "2001:db8::1", &sa.sin6_addr);
  EXPECT_EQ(ccm_address2string(&sa, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "2001:db8::1");
  EXPECT_EQ(ccm_address2string(&sa, buf, 5), -1);  // too small
  EXPECT_STREQ(buf, "");
  sa.sin6_family = AF_UNIX;
  strcpy(buf, "junk");
  EXPECT_EQ(ccm_address2string(&sa, buf, sizeof buf), -1);
  EXPECT_STREQ(buf, "");

  char out[256];
  const char *v4 = "10.0.0.1";
  EXPECT_EQ(ccm_addressformatted(v4, out), v4);
  EXPECT_STREQ(ccm_addressformatted("::1", out), "[::1]");
  EXPECT_EQ(ccm_addressformatted("::1", out), out);
  const char *br = "[::1]";
  EXPECT_EQ(ccm_addressformatted(br, out), br);
  std::string longv6(300, ':');
  EXPECT_EQ(strlen(ccm_addressformatted(longv6.c_str(), out)), 255u);
}

TEST(CcmAddressText, LogAllAndOwnAddress) {
  ccmtest::LogRecorder log;
  ccm_error_t err{};
  EXPECT_EQ(ccm_log_all_ip("127.0.0.1", &err), 0);
  EXPECT_EQ(ccm_log_all_ip("::1", &err), 0);
  EXPECT_EQ(log.with(2000066), (std::vector<std::string>{"127.0.0.1|127.0.0.1", "::1|[::1]"}));
  EXPECT_EQ(ccm_log_all_ip("", &err), -1);
  EXPECT_EQ(err.msgnr, 2000102);

  char ip[64] = "unchanged";
  ccm_error_t e{};
  int rc = ccm_getmyIP(0, ip, &e);
  if (rc == 0) {
    unsigned char bin[16];
    EXPECT_TRUE(inet_pton(AF_INET, ip, bin) == 1 || inet_pton(AF_INET6, ip, bin) == 1) << ip;
  } else {
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(e.msgnr, 2000102);
    EXPECT_STREQ(ip, "unchanged");
  }
}

}  // namespace
