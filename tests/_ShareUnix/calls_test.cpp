// The text tools, work areas and error record, the resolver's functions over
// a resolver of the test's own, socket buffer queries and the protocol header
// of the wq8 channel: every call of data/calls.txt to them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "common/data.h"
#include "ctools.h"
#include "wq_dnst.h"
#include "wq_sock.h"
#include "wq_sr.h"

namespace {

using wqtest::Area, wqtest::Row;

// The resolver of the rows of data/calls.txt (described there): a host, its
// address ("" for a failure), the resolver error and the call's result.
struct Host { const char *name, *addr; int herr, rc; };
const Host kHosts[] = {{"agent.example", "192.0.2.7", 0, 0}, {"localhost", "127.0.0.1", 0, 0}, {"big.example", "10.0.0.9", 0, 0},
                       {"v6.example", "2001:db8::7", 0, 0}, {"busy.example", "", TRY_AGAIN, EAGAIN}, {"broken.example", "", 0, EINVAL}};

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

std::string Record(const wq8_error &e) {
  return std::to_string(e.wq_result) + " " + std::to_string(e.wq_errno) + " " + std::to_string(e.wq_msgnr) + " " + e.wq_msgInsert;
}
// The members of a descriptor set written "3:5:100-199" ("-": none).
fd_set *Members(const std::string &text, fd_set *set) {
  FD_ZERO(set);
  std::istringstream in(text == "-" ? "" : text);
  for (std::string range; std::getline(in, range, ':');)
    for (int fd = std::stoi(range); fd <= std::stoi(range.substr(range.find('-') + 1)); ++fd) FD_SET(fd, set);
  return set;
}
char *In(Row &r, Area &out) { return r.p(0) ? strcpy(out, r.p(0)) : nullptr; }  // the first word
void Replace(Row &r, Area &out) {
  char *in = In(r, out);
  EXPECT_EQ(r.c.name == "strupper" ? strupper(in) : str_replace_char(in, r.ch(1), r.ch(2)), in);
  if (in) r.Wrote(out, r.c.name == "strupper" ? 1 : 3, (long long)r.s(0).size() + 1);
}
void Fill(Row &r, Area &) {  // the result and the error number stay
  wq8_error err = {-1, 7, 0, {}};
  const bool pw = r.c.name == "FillMessageOnPasswordError";
  pw ? FillMessageOnPasswordError(&err, 13, r.p(0), r.p(1), (int)r.n(2)) : FillMessageOnPermissionError(&err, (int)r.n(0), r.p(1));
  EXPECT_EQ(Record(err), "-1 7 " + r.c.words[pw ? 3 : 2] + " " + r.s(pw ? 4 : 3));
}

TEST(ShareUnix, CallsOfTheTable) {
  wq_gethostbyname_r = [](const char *name, struct hostent *e, char *buf, size_t len, struct hostent **found, int *herr) {
    return Look(name, true, e, buf, len, found, herr);
  };
  wq_gethostbyaddr_r = [](const void *a, socklen_t, int, struct hostent *e, char *buf, size_t len, struct hostent **found,
                          int *herr) {
    char text[16];
    return Look(inet_ntop(AF_INET, a, text, sizeof text), false, e, buf, len, found, herr);
  };
  const auto host = [](Row &r, Area &out) {
    errno = 5;
    EXPECT_EQ((r.c.name == "GetHostAddrTh" ? GetHostAddrTh : GetHostNameTh)(r.p(0), out, (int)r.n(1)), (char *)out);
    EXPECT_EQ(errno, r.n(2));
    r.Wrote(out, 3, r.n(1));
  };
  wqtest::CheckCalls({
      {"strip", [](Row &r, Area &out) {
         for (size_t i : {1, 2, 3}) {
           char *text = In(r, out);
           (i == 1 ? strip : i == 2 ? rstrip : lstrip)(text);
           EXPECT_STREQ(text, r.p(i)) << i; } }},
      {"get_word_delimited", [](Row &r, Area &out) {
         EXPECT_EQ(get_word_delimited(r.p(0), '=', (int)r.n(1), out, (int)r.n(2)), r.n(3)); r.Wrote(out, 4, r.n(2)); }},
      {"get_variable_msg_field", [](Row &r, Area &out) {
         EXPECT_EQ(get_variable_msg_field(out, r.p(0), (int)r.n(1), (int)r.n(2)), 0); r.Wrote(out, 3, 8); }},
      {"strupper", Replace}, {"str_replace_char", Replace},
      {"ToUpperCase", [](Row &r, Area &out) { ToUpperCase(In(r, out), (int)r.n(1)), r.Wrote(out, 2, (long long)r.s(0).size() + 1); }},
      {"GetPName", [](Row &r, Area &out) { char *in = In(r, out); EXPECT_EQ(GetPName(in) - in, r.n(1)); }},
      {"is_timer_elapsed", [](Row &r, Area &) {  // START counts from now; again when a second began meanwhile
         int elapsed = -1;
         for (time_t now = 0; now != time(nullptr);) elapsed = is_timer_elapsed((now = time(nullptr)) + r.n(0), (int)r.n(1));
         EXPECT_EQ(elapsed, r.n(2)); }},
      {"fdset2string", [](Row &r, Area &out) {
         fd_set set;
         EXPECT_EQ(fdset2string(out, Members(r.c.words[0], &set), (int)r.n(1), (size_t)r.n(2)), (char *)out); r.Wrote(out, 3, r.n(2)); }},
      {"MemCopy", [](Row &r, Area &) {
         errno = EINVAL;
         char *copy = MemCopy(r.p(0), (int)r.n(1));
         const size_t size = r.s(2).size(), from = r.p(0) ? 0 : size - 2;
         EXPECT_EQ(errno, 0);
         EXPECT_EQ(std::string(copy, size), r.s(2));
         copy = mem_alloc_copy(copy, r.p(0), (int)r.n(1));
         EXPECT_EQ(std::string(copy + from, size - from), r.s(2).substr(from));
         free(copy); }},
      {"atomic_int_set", [](Row &r, Area &) {
         atomic_int_t ai;
         ASSERT_EQ(atomic_lock_init(&ai), 0);
         EXPECT_EQ(std::vector<long long>({atomic_int_set(&ai, (int)r.n(0)), atomic_int_get(&ai), atomic_int_init(&ai), atomic_int_get(&ai)}),
                   std::vector<long long>({r.n(0), r.n(0), 0, 0}));
         atomic_lock_destroy(&ai); }},
      {"FillMessageOnPermissionError", Fill}, {"FillMessageOnPasswordError", Fill},
      {"getHerrnoString", [](Row &r, Area &out) {
         EXPECT_EQ(getHerrnoString(out, (int)r.n(1), (int)r.n(0)), (char *)out); r.Wrote(out, 2, r.n(1)); }},
      {"GetHostAddrTh", host}, {"GetHostNameTh", host},
      {"verifyHostDef", [](Row &r, Area &out) {
         Area ip;
         wq8_error err;
         memset(&err, 0x5A, sizeof err);
         EXPECT_EQ(verifyHostDef(r.p(0), out, (int)r.n(1), ip, (int)r.n(2), &err), r.n(3));
         EXPECT_EQ(std::string(out) + "|" + ip.b + "|" + Record(err), r.s(7) + "|" + r.s(8) + "|" + r.c.words[4] + " " + r.c.words[5] + " 0 " + r.s(6)); }},
      {"SetProtocolLength", [](Row &r, Area &out) {
         out[48] = (char)0xAB;
         EXPECT_EQ(CrProtocolHeader(out), 48);
         EXPECT_EQ(std::string(out, 49), "00000048WQ8:global001NAT" + std::string(24, ' ') + "\xAB");
         memcpy(out, r.p(0), 24);
         EXPECT_EQ(SetProtocolLength(out, (int)r.n(1)), r.n(1));
         EXPECT_EQ(std::string(out, 49), r.s(2) + r.s(0).substr(8) + std::string(24, ' ') + "\xAB");
         EXPECT_EQ(GetProtocolLength(out), r.n(3)); }},
      {"i4_memcopy", [](Row &r, Area &out) {
         i4_memcopy((unsigned char *)out.b + r.n(1), (const unsigned char *)r.p(0) + r.n(2)), r.Wrote(out, 3, r.s(3).size()); }},
      {"GetRecvSocketBuffer", [](Row &r, Area &) {
         const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), in = dup(0), fd = r.c.words[0] == "socket" ? s : (int)r.n(0);
         dup2(s, 0);  // descriptor 0 a socket too
         EXPECT_EQ(std::vector<long long>({GetRecvSocketBuffer(fd) > 0, GetSendSocketBuffer(fd) > 0}), std::vector<long long>(2, r.n(1)));
         dup2(in, 0), close(in), close(s); }},
  }, 93);
}

}  // namespace
