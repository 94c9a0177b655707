// Contexts, wake-up pipes, messages and the free list, the send routes with
// their frames and records (tests/data/ccm_frames.txt), refusals and
// allocation failures, IPC dispatch, and address resolution over a resolver
// of the test's own.

#include <netdb.h>

#include <climits>
#include <functional>
#include <iterator>
#include <sstream>

#include "_ccm/ccm_io_testing.h"
#include "ccm_resolve.h"
#include "wq_sr.h"

using namespace ccmtest;

namespace {

// A resolver list of the blank-separated numeric addresses in `text` ("-" for
// none), in that order, as the system's resolver gives them without any
// look-up; null when empty.
addrinfo *address_list(const std::string &text) {
  addrinfo *head = nullptr, **tail = &head, hints{};
  hints.ai_flags = AI_NUMERICHOST, hints.ai_socktype = SOCK_STREAM;
  std::istringstream words(text == "-" ? "" : text);
  for (std::string a; words >> a; tail = &(*tail)->ai_next) EXPECT_EQ(0, getaddrinfo(a.c_str(), nullptr, &hints, tail));
  return head;
}

// The hosts of this program's resolver: addresses, "-" for an empty answer, "!" for none.
const std::pair<std::string, std::string> kHosts[] = {
    {"two.example", "::1 2001:db8::1 127.0.0.1 10.0.0.7"}, {"empty.example", "-"}, {"", "!"}};

// The resolver of this program answers the hosts above without any look-up;
// other names go to the system's.
const bool kOwnResolver = (ccm_getaddrinfo = [](const char *node, const char *service, const addrinfo *hints,
                                                  addrinfo **res) {
  for (const auto &[name, addrs] : kHosts)
    if (node && name == node) return addrs == "!" ? EAI_NONAME : (*res = address_list(addrs), 0);
  return getaddrinfo(node, service, hints, res);
}, true);

// Registers the context's process context with the dispatcher (with a
// "CHANNEL_CLOSE" record): ipc_logger sends through the manager named there.
void keep_for_logger(Context &ctx) {
  ccm_msg_t rec{};
  rec.msg_start = (unsigned char *)"CHANNEL_CLOSE\0\0", rec.len = 16;
  ASSERT_EQ(0, process_IPC_message(&ctx.pcx, ctx.ccm, &rec));
}

// Messages left in every queue are released on close (LeakSanitizer checks).
// Each wake-up reaches its own pipe; new pipes replace the four descriptors
// and forget a pending wake-up; a waker never blocks on a full pipe.
TEST(Context, OpenCloseAndWakeupPipes) {
  const int before = wqtest::FdCount();
  {
    Context ctx;
    ccm_context_t *ccm = ctx.ccm;
    EXPECT_EQ(ccm_flag_test(ccm->flag, CCM_CTXF_IPV6), ccm_check_ipv6_support(&ctx.err) == 0);
    EXPECT_EQ(str(0, before), str(ccm_close_wakeup_pipes(ccm), wqtest::FdCount()));  // none made: nothing to close
    ccm_msgq_t *queues[] = {&ccm->sendq, &ccm->recvq, &ccm->msgq_2dispatch, &ccm->recvq};
    for (ccm_msgq_t *q : queues) ccmq_append(*q, ctx.Msg(wqtest::Pattern(q == queues[3] ? 100000 : 10)));
    ccm_msg_free(ccm, ctx.Msg("free list"));
    ctx.Msg("in use", true);
    ctx.Pipes();
    EXPECT_EQ(str(before + 4, 0), str(wqtest::FdCount(), ccm_wakeup_network(ccm)));
    EXPECT_EQ(str(true, 'N'), str(nothing_to_read(ccm->processor_wakeup[0]), (char)read_byte(ccm->network_wakeup[0])));
    EXPECT_EQ(0, ccm_wakeup_processor(ccm));
    EXPECT_EQ('P', read_byte(ccm->processor_wakeup[0]));
    ccm_wakeup_network(ccm);  // pending, and a byte in the old pipe
    ctx.Pipes();
    EXPECT_EQ(str(before + 4, true), str(wqtest::FdCount(), nothing_to_read(ccm->network_wakeup[0])));
    for (int fd : {ccm->processor_wakeup[1], ccm->network_wakeup[1]}) {
      ASSERT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
      while (write(fd, "x", 1) == 1) continue;
    }
    ccm_wakeup_processor(ccm), ccm_wakeup_network(ccm);  // none pending: both write, and must not block
    EXPECT_EQ(str('x', 'x'), str((char)read_byte(ccm->processor_wakeup[0]), (char)read_byte(ccm->network_wakeup[0])));
  }
  EXPECT_EQ(before, wqtest::FdCount());
}

// Fresh: 256 bytes of headroom, the whole double area usable (AddressSanitizer
// checks). Recycled: most recently freed first, fresh ID, cleared header,
// data kept. At most 64 normal messages are kept; huge ones never. Freeing
// unlinks from any place of the in-use list.
TEST(Messages, FreshRecycledAndTheFreeList) {
  Context ctx;
  ccm_context_t *ccm = ctx.ccm;
  ccm_msg_t *a = ccm_msg_alloc(ccm, nullptr), *b = ccm_msg_alloc(ccm, nullptr);
  EXPECT_EQ("1 32768 256 ", str(a->ID, a->buffer2 - a->buffer1, a->msg_start - a->buffer1));
  memset(a->msg_start, 0xAB, 2 * 32768 - 256);
  memcpy(b->buffer1 + 300, "old bytes", 9);
  b->len = 77, b->type = 2, b->flag = 0x20, b->msg_start += 10, b->addr.dst_name[0] = 'X';
  const uint64_t oldID = b->ID;
  ccm_msg_free(ccm, a), ccm_msg_free(ccm, b);
  EXPECT_EQ(2, ccm->nof_freemsg);
  ccm_msg_t *c = ccm_msg_alloc(ccm, nullptr);
  EXPECT_EQ(str(b, 0, 0, 0, 0, 256, true, "old bytes"),
            str(c, c->len, c->type, c->flag, (int)c->addr.dst_name[0], c->msg_start - c->buffer1, c->ID > oldID,
                std::string((char *)c->buffer1 + 300, 9)));
  EXPECT_EQ(str(a, 0), str(ccm_msg_alloc(ccm, nullptr), ccm->msg_freeq.tail));
  std::vector<ccm_msg_t *> v = {a, c};
  for (int i = 0; i < 68; ++i) v.push_back(ccm_msg_alloc(ccm, nullptr));
  for (auto *m : v) ccm_msg_free(ccm, m);
  int listed = 0;
  for (ccm_msg_t *m = ccm->msg_freeq.head; m; m = m->nxt) ++listed;
  EXPECT_EQ(str(64, 64), str(ccm->nof_freemsg, listed));
  ccm_msg_t *normal = ccm_msg_alloc(ccm, nullptr);  // room for one more in the list
  for (int size : {1, 100, 40000, 1 << 20}) {       // the last one a mapping of its own
    ccm_msg_t *h = ccm_msg_alloc_huge(ccm, size, nullptr);
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(str(size, size), str(h->size, h->buffer2 - h->buffer1));
    memset(h->buffer1, 0x5A, std::max(2 * (size_t)size, size_t{256}));
    ccm_msg_free(ccm, h);
    EXPECT_EQ(63, ccm->nof_freemsg) << size;  // neither taken from the list nor kept
  }
  ccm_msg_free(ccm, normal);
  a = ccm_msg_alloc(ccm, nullptr), b = ccm_msg_alloc(ccm, nullptr), c = ccm_msg_alloc(ccm, nullptr);
  ccm_msg_free(ccm, b);  // the middle of c, b, a
  EXPECT_EQ(a, c->nxt);
  ccm_msg_free(ccm, a), ccm_msg_free(ccm, ctx.Msg("outside"));  // the tail, and one held outside every list
  EXPECT_EQ(str(c, c), str(ccm->msgq_inuse.head, ccm->msgq_inuse.tail));
  ccm_msg_free(ccm, c);
  EXPECT_EQ(nullptr, ccm->msgq_inuse.tail);
}

TEST(Messages, HeaderAndBlocksRefuseWhatDoesNotFit) {
  Context ctx;
  ccm_msg_t *m = ctx.Msg("");
  m->msg_start -= 48, m->len = 339;
  EXPECT_EQ(0, ccm_msg_set_protocol_header(m, "NAT"));
  m->len = 100000000;  // a length the 8 digits cannot carry
  EXPECT_EQ(-1, ccm_msg_set_protocol_header(m, "IPC"));
  EXPECT_EQ(339, GetProtocolLength(m->msg_start));
  // Routing blocks that do not fit in front of or behind the payload.
  strcpy(m->addr.dst_name, "F");
  m->msg_start = m->buffer1 + 4, m->len = 1;
  EXPECT_EQ(-1, cmm_msg_write_sr_data(m));
  EXPECT_EQ(str(4, 1), str(m->msg_start - m->buffer1, m->len));
  m->msg_start = m->buffer1 + 256, m->len = 2 * 32768 - 256;
  strcpy(m->addr.src_name, "CB");
  EXPECT_EQ(str(-1, 2 * 32768 - 256), str(cmm_msg_write_sr_data(m), m->len));
  m->msg_start = m->buffer1, m->len = 2 * 32768, m->addr.dst_ID = ctx.Channel(-1)->ID;
  EXPECT_EQ(-1, send_NAT_message(ctx.ccm, m));  // stays with the caller, and counts no more
  EXPECT_EQ(str(0, 0), str(ctx.ccm->sendq.head, ccm_get_sendq_bytes(ctx.ccm, m->addr.dst_ID)));
  // The longest payload a normal message is sure to take, with the longest routing blocks.
  m->msg_start = m->buffer1 + kCcmHeadroom, m->len = kCcmNatPayloadMax;
  ctx.Channel(-1, 3, "*SERVER");  // where "*CP..." goes
  ccm_setaddr(m, 0, 0, ("*CP" + std::string(60, 'a')).c_str(), "FUNCTION", 7);
  ccm_setback(m, std::string(63, 'b').c_str(), "CALLBACK", 9);
  ASSERT_EQ(0, send_NAT_message(ctx.ccm, m));
  EXPECT_EQ(m, ctx.TakeSent());
  ccm_msg_free(ctx.ccm, m);
}

// ccm_msg_emptying_queues frees the context's lists but its send queue, and
// the queues of live channels; the common send step appends in order.
TEST(Messages, EmptyingQueuesAndTheCommonStep) {
  Context ctx;
  ccm_context_t *ccm = ctx.ccm;
  ccm_channel_t *live = ctx.Channel(-1, 0, nullptr, false), *dead = ctx.Channel(-1, 0, nullptr, false);
  ccmq_append(ccm->channelq, live), ccmq_append(ccm->channelq, dead);
  ccm_flag_set(dead->flag, CCM_CHF_DELETED);
  live->recv_pos = 17, dead->recv_pos = 5;
  for (ccm_msgq_t *q : {&ccm->recvq, &ccm->msgq_2dispatch, &ccm->sendq, &live->sendq, &live->recvq, &dead->sendq})
    ccmq_append(*q, ctx.Msg("m"));
  ctx.Msg("in use", true);
  EXPECT_EQ(0, ccm_msg_emptying_queues(ccm));
  for (ccm_msgq_t *q : {&ccm->recvq, &ccm->msgq_inuse, &ccm->msgq_2dispatch, &live->sendq, &live->recvq})
    EXPECT_EQ(nullptr, q->head);
  EXPECT_EQ(str(0, 5, 5, true, true), str(live->recv_pos, dead->recv_pos, ccm->nof_freemsg, !!ccm->sendq.head, !!dead->sendq.head));
  EXPECT_EQ(0, ccm_channel_emptying_msg_queue(ccm, dead));
  EXPECT_EQ(str(0, 6), str(dead->sendq.head, ccm->nof_freemsg));
  Context two;
  ccm_msg_t *a = two.Msg("a", true), *b = two.Msg("b", true);
  a->addr.dst_ID = b->addr.dst_ID = two.Channel(-1)->ID;
  const int first = ccm_send_message_common(two.ccm, a, "first");  // before the second
  ASSERT_EQ(str(0, 0), str(first, ccm_send_message_common(two.ccm, b, "second")));
  EXPECT_EQ(str(a, b, b), str(two.ccm->sendq.head, a->nxt, two.ccm->sendq.tail));
}

// A frame is at most as long as its header's 8 digits announce. A longer one
// is refused before anything goes out: the NAT route leaves the payload with
// the caller as it was, a header route releases it, and neither counts for
// its channel any more. (The data areas are mappings of which only the
// pages written here become resident.)
TEST(SendRoutes, FramesUpToTheLongestTheHeaderAnnounces) {
  // NAT: a payload behind a 10-byte name block and a 5-byte length block.
  const struct { bool nat; int32_t len; int rc; } rows[] = {
      {true, 99999999 - 48 - 15, 0}, {true, 99999999 - 48 - 15 + 1, -1}, {false, 99999999 - 48, 0}, {false, 99999999 - 48 + 1, -1}};
  for (const auto &r : rows) {
    SCOPED_TRACE(str(r.nat, r.len));
    Context ctx;
    ccm_msg_t *m = ccm_msg_alloc_huge(ctx.ccm, 50000200, nullptr);
    ASSERT_NE(nullptr, m);
    const int ch = ctx.Channel(-1)->ID;
    m->len = r.len;
    ccm_setaddr(m, ch, 0, "", "F", 0);
    unsigned char *const start = m->msg_start;
    EXPECT_EQ(r.rc, r.nat ? send_NAT_message(ctx.ccm, m) : send_native_message(ctx.ccm, m));
    if (r.rc == 0) {
      EXPECT_EQ("99999999WQ8:global001NAT", ctx.Sent().substr(0, 24));
    } else if (r.nat) {
      EXPECT_EQ(str((void *)start, r.len), str((void *)m->msg_start, m->len));
      ccm_msg_free(ctx.ccm, m);
    }
    EXPECT_EQ(str(0, 0, 0), str(ctx.ccm->sendq.head, ctx.ccm->msgq_inuse.head, r.rc ? ccm_get_sendq_bytes(ctx.ccm, ch) : 0));
  }
}

TEST(SendRoutes, FramesRecordsAndRefusalsOfTheTable) {
  for (const auto &r : wqtest::ReadRows("ccm_frames.txt")) {
    SCOPED_TRACE(r[0] + " " + r[1] + " " + r[3] + " " + r[9]);
    ASSERT_EQ(11u, r.size());
    Context ctx;
    ctx.Pipes(), ctx.ccm->unique_channel_ID = 4;
    for (const char *name : {"*IPC(FTX)", "*IPC(AGENT)", "*SERVER", "*IPC(GONE)"}) ctx.Channel(-1, name[1] == 'S' ? 3 : 0, name);
    ccm_channel_deletebyID(ctx.ccm, 7);
    std::istringstream how(r[0]);
    std::vector<std::string> w{std::istream_iterator<std::string>(how), {}};  // the route and the words behind it
    w.resize(4);
    const size_t bang = w[0].find('!');
    const std::string route = w[0].substr(0, bang), arg = w[1], payload = wqtest::Unhex(r[8]);
    auto num = [&](int i) { return std::atoi(w[i].c_str()); };
    auto has = [&](const char *word) { return std::find(w.begin(), w.end(), word) != w.end(); };
    auto text = [&](int i) { return r[i] == "-" ? "" : r[i].c_str(); };
    if (has("noagent")) ccm_channel_deletebyID(ctx.ccm, 5);
    if (has("agent")) ctx.pcx.running_mode = 0;
    const bool own = std::string(" passfd logger huge open close wakeup ").find(" " + route + " ") != std::string::npos;
    ccm_msg_t *m = own ? nullptr : ctx.Msg(payload, true);
    if (m) {
      m->type = route == "native" ? CCM_MSG_NAT : CCM_MSG_NATIVE, m->addr.src_ID = 11, m->addr.src_type = 12, m->addr.type = 13;
      ccm_setaddr(m, std::stoi(r[1]), 0, text(2), text(3), std::stoi(r[4]));
      ccm_setback(m, text(5), text(6), std::stoi(r[7]));
      if (route == "nat@0") memmove(m->buffer1, m->msg_start, (size_t)m->len), m->msg_start = m->buffer1;
      if (route == "block") memset(m->msg_start, 0, payload.size() + 2), m->len = 0;
    }
    ccm_msg_t *const given = has("null") ? nullptr : m;
    ccm_context_t *const cc = has("noctx") ? nullptr : ctx.ccm, *const sentinel = (ccm_context_t *)&r, *opened = sentinel;
    unsigned char *const start = m ? m->msg_start : nullptr;
    const int freed = ctx.ccm->nof_freemsg, ids = ctx.ccm->unique_msg_ID;
    if (route == "logger") keep_for_logger(ctx), ctx.pcx.ccm = has("unkept") ? nullptr : ctx.ccm;
    ccm_error_t err{};
    LogRecorder log;
    ccm_alloc_fail_at(bang == std::string::npos ? 0 : std::stoi(w[0].substr(bang + 1)));
    int rc = route == "sr"         ? cmm_msg_write_sr_data(m)
             : route == "block"    ? (ccm_msg_write_native_data(m, (char)num(1), (const unsigned char *)payload.data(),
                                                                (int)payload.size()) ? 1 : 0)
             : route == "common"   ? ccm_send_message_common(cc, given, "x")
             : route == "native"   ? send_native_message(cc, given)
             : route == "ipc"      ? send_IPC_message(cc, given)
             : route == "gss"      ? send_GSS_message(cc, given, arg.empty() ? nullptr : arg.c_str())
             : route == "passfd"   ? send_file_descriptor(cc, text(2), num(1), num(2), num(3), text(3))
             : route == "logger"   ? ipc_logger(num(1), payload.c_str())
             : route == "fwd"      ? ccm_forward_NAT_message(cc, given, num(1), w[2].c_str(), &err, num(3))
             : route == "huge"     ? (ccm_msg_alloc_huge(cc, num(1), &err) ? 0 : -1)
             : route == "open"     ? ccm_open(nullptr, &opened, &err)
             : route == "dispatch" ? process_IPC_message(&ctx.pcx, cc, given)
             : route == "notimpl"  ? process_ipc_not_implemented(&ctx.pcx, given)
             : route == "close"    ? ccm_close(cc, nullptr)
             : route == "wakeup"   ? (w[2] == "network" ? ccm_wakeup_network(cc) : ccm_wakeup_processor(cc))
             : route == "free"     ? ccm_msg_free(ctx.ccm, nullptr)
                                   : send_NAT_message(cc, given);
    ccm_alloc_fail_at(0);
    if (starts(r[9], "refused")) {  // nothing queued, the message the caller's as it was, its own released
      EXPECT_EQ(r[9] + " ", str("refused", rc, ctx.ccm->unique_msg_ID - ids));
      if (route == "dispatch" || route == "notimpl") {
        std::string logged;
        for (const auto &[nr, insert] : log.entries()) logged += (logged.empty() ? "" : "; ") + str(nr) + insert;
        EXPECT_TRUE(r[10] == "?" || r[10] == (logged.empty() ? "-" : logged)) << logged;
      } else if (r[10] != "-") {
        EXPECT_EQ(CCM_MSGNR_SEND_CLOSED, err.msgnr ? CCM_MSGNR_SEND_CLOSED : ccm_get_send_error(&err));  // else its own
        EXPECT_TRUE(starts(err_text(err), r[10])) << err_text(err);
      }
      EXPECT_EQ(str(m, 0, sentinel), str(ctx.ccm->msgq_inuse.head, ctx.ccm->sendq.head, opened));
      EXPECT_EQ(m ? str(payload, (void *)start, 0) : "", m ? str(msg_data(m), (void *)m->msg_start, m->nxt) : "");
      continue;
    }
    ASSERT_EQ(0, rc);
    if (r[9] == "-") {  // sr, block: the message's data
      const size_t behind = route == "block" ? payload.size() + 2 - m->len : 0;  // block: the rest untouched
      EXPECT_EQ(wqtest::Unhex(r[10]) + std::string(behind, '\0'), std::string((char *)m->msg_start, m->len + behind));
      continue;
    }
    const bool routed = r[9][0] == '3' && route == "nat";  // the record took a new buffer, the message went back
    EXPECT_EQ(str(route == "fwd" ? m : nullptr, freed + routed), str(ctx.ccm->msgq_inuse.head, ctx.ccm->nof_freemsg));
    EXPECT_EQ('N', read_byte(ctx.ccm->network_wakeup[0]));
    ccm_msg_t *sent = ctx.TakeSent();
    ASSERT_NE(nullptr, sent);
    EXPECT_EQ(nullptr, ctx.TakeSent());
    EXPECT_TRUE(!m || routed || route == "fwd" || m == sent);  // the caller's own message, framed
    EXPECT_EQ(wqtest::Unhex(r[10]), msg_data(sent));
    EXPECT_TRUE(route != "passfd" || (payload == std::string((char *)sent->control_data, payload.size()) &&
                                      payload.size() <= sent->control_len));  // the ancillary data, handed over whole
    EXPECT_TRUE(route != "fwd" || payload == msg_data(m));                     // the caller's, unchanged
    int type, id, channel;
    std::string addr;
    std::istringstream(r[9]) >> type >> id >> addr >> channel;
    EXPECT_EQ(str(type, id, addr == "-" ? "" : addr, ccm_msg_memory(sent)),
              str(sent->type, sent->addr.dst_ID, sent->addr.dst_addr, ccm_get_sendq_bytes(ctx.ccm, channel)));
    ccm_msg_free(ctx.ccm, sent);
  }
}

TEST(SendRoutes, AddressSetters) {
  Context ctx;
  ccm_msg_t *m = ctx.Msg("PAYLOAD", true), *r = ctx.Msg("y", true);
  m->addr.src_ID = 11, m->addr.src_type = 5;
  ccm_addr_t *a = ccm_setaddr(m, 3, 99, "*IPC(AGENT)", std::string(100, 'n').c_str(), 0x01020304);
  EXPECT_EQ(&m->addr, a);
  memset(a->eyec, 0, 8);
  ccm_setback(m, "*SERVER", "CALLBACK", 77);
  EXPECT_EQ("#CCMADDR 0 5 ", str(std::string(a->eyec, 8), a->type, a->src_type));
  EXPECT_EQ("3 *IPC(AGENT)|" + std::string(63, 'n') + "|16909060 11 *SERVER|CALLBACK|77", addr_text(*a));
  memset(m->addr.src_name, 'c', sizeof m->addr.src_name), m->addr.src_ID = 7;  // no terminator
  ccm_setaddr_reply(r, m);
  EXPECT_EQ("7 *SERVER|" + std::string(63, 'c') + "|77 0 ||0", addr_text(r->addr));
}

// Rows of ccm_resolve.txt, then names that only this program's resolver knows.
TEST(Resolve, RowsOfTheTable) {
  std::vector<std::vector<std::string>> table = wqtest::ReadRows("ccm_resolve.txt");
  table.insert(table.end(), {{"resolve", "two.example", "2", "10.0.0.7"}, {"resolve", "[two.example]", "1", "2001:db8::1"},
                             {"resolve", "empty.example", "2", "2000102 getaddrinfo|0(nothing found)"}});
  sockaddr_in6 sa{};
  char buf[64], out[256];
  ccm_error_t err{};
  for (auto r : table) {
    SCOPED_TRACE(r[0] + " " + r[1]);
    std::string in = r[1][0] == '"' ? r[1].substr(1, r[1].size() - 2) : r[1];
    if (r[0] == "resolve") {
      err = {99, 0, ""}, memset(&sa, 0xEE, sizeof sa);
      std::string got = ccm_hostname2address(in.c_str(), std::stoi(r[2]), &sa, &err) == 0 && err.msgnr == 0 ? address_text(&sa) : err_text(err);
      for (size_t i = sizeof(sockaddr_in); sa.sin6_family == AF_INET && i < sizeof sa; ++i)
        EXPECT_EQ(0, ((unsigned char *)&sa)[i]);  // only the IPv4 part is filled; the rest is cleared
      EXPECT_TRUE(starts(got, r[3])) << got;
    } else if (r[0] == "format") {
      const char *f = ccm_addressformatted(in.c_str(), out);
      EXPECT_EQ(str(r[3], in == r[3]), str(f, f == in.c_str()));  // unchanged: the input itself
    } else {
      addrinfo *list = address_list(in);
      const addrinfo *chosen = ccm_choose_address(list, std::stoi(r[2]));
      EXPECT_EQ(r[3], chosen ? address_text(chosen->ai_addr) : "(none)");
      if (list) freeaddrinfo(list);
    }
  }
  EXPECT_EQ(-1, ccm_hostname2address(nullptr, 2, &sa, &err));
  sa.sin6_family = AF_INET6, inet_pton(AF_INET6, "2001:db8::1", &sa.sin6_addr);
  EXPECT_EQ(str(-1, ""), str(ccm_address2string(&sa, buf, 5), buf));  // too small
  sa.sin6_family = AF_UNIX, strcpy(buf, "junk");
  EXPECT_EQ(str(-1, ""), str(ccm_address2string(&sa, buf, sizeof buf), buf));
  EXPECT_EQ(255u, strlen(ccm_addressformatted(std::string(300, ':').c_str(), out)));
  LogRecorder log;
  EXPECT_EQ(0, ccm_log_all_ip("two.example", &err));
  const std::vector<std::string> all = {"two.example|[::1]", "two.example|[2001:db8::1]", "two.example|127.0.0.1", "two.example|10.0.0.7"};
  EXPECT_EQ(all, log.with(2000066));
  EXPECT_EQ(str(-1, 2000102), str(ccm_log_all_ip("", &err), err.msgnr));
}

}  // namespace
