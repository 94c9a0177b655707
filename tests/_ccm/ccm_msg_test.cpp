// Contexts, wake-up pipes, messages and the free list, the send routes with
// their frames (tests/data/ccm_frames.txt), NAT routing and forwarding, IPC
// records, descriptor passing, and address resolution.

#include <netdb.h>

#include <climits>
#include <functional>
#include <sstream>
#include <thread>

#include "_ccm/ccm_io_testing.h"
#include "wq_sr.h"

using namespace ccmtest;

namespace {

TEST(Context, OpenCloseAndAllocationFailure) {
  int before = open_fd_count();
  {
    Context ctx;
    ccm_error_t v6{};
    EXPECT_EQ(ccm_flag_test(ctx.ccm->flag, CCM_CTXF_IPV6), ccm_check_ipv6_support(&v6) == 0);
    EXPECT_EQ(0, ccm_close_wakeup_pipes(ctx.ccm));  // never made: nothing to close
    EXPECT_EQ(before, open_fd_count());
    // Messages left in every queue are released (LeakSanitizer checks).
    ccm_msgq_t *queues[] = {&ctx.ccm->sendq, &ctx.ccm->recvq, &ctx.ccm->msgq_2dispatch, &ctx.ccm->recvq};
    for (ccm_msgq_t *q : queues) ccmq_append(*q, ctx.Msg(pattern(q == queues[3] ? 100000 : 10)));
    ccm_msg_free(ctx.ccm, ctx.Msg("free list"));
    ctx.Msg("in use", true);
  }
  EXPECT_EQ(0, ccm_close(nullptr, nullptr) + ccm_wakeup_network(nullptr) + ccm_wakeup_processor(nullptr));
  ccm_context_t *sentinel = reinterpret_cast<ccm_context_t *>(0x1234), *ccm = sentinel;
  ccm_error_t err{};
  ccm_alloc_fail_at(1);
  EXPECT_EQ(-1, ccm_open(nullptr, &ccm, &err));
  ccm_alloc_fail_at(0);
  EXPECT_EQ(sentinel, ccm);
  EXPECT_EQ(3301, err.msgnr);
  EXPECT_EQ(0, strncmp(err.msginsert, "CCM_OPEN/src/_ccm/ccm(", 22)) << err.msginsert;
}

// Each wake-up reaches its own pipe; new pipes replace the four descriptors
// and forget a pending wake-up; a waker never blocks on a full pipe.
TEST(Context, WakeupPipes) {
  int before = open_fd_count();
  {
    Context ctx;
    ctx.Pipes();
    ccm_context_t *ccm = ctx.ccm;
    EXPECT_EQ(before + 4, open_fd_count());
    EXPECT_EQ(0, ccm_wakeup_network(ccm));
    EXPECT_TRUE(nothing_to_read(ccm->processor_wakeup[0]));
    EXPECT_EQ('N', read_byte(ccm->network_wakeup[0]));
    EXPECT_EQ(0, ccm_wakeup_processor(ccm));
    EXPECT_EQ('P', read_byte(ccm->processor_wakeup[0]));
    ccm_wakeup_network(ccm);  // pending, and a byte in the old pipe
    ctx.Pipes();
    EXPECT_EQ(before + 4, open_fd_count());
    EXPECT_TRUE(nothing_to_read(ccm->network_wakeup[0]));
    for (int fd : {ccm->processor_wakeup[1], ccm->network_wakeup[1]}) {
      ASSERT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
      while (write(fd, "x", 1) == 1) {
      }
    }
    ccm_wakeup_processor(ccm);  // none pending: both write, and must not block
    ccm_wakeup_network(ccm);
    EXPECT_EQ('x', read_byte(ccm->processor_wakeup[0]));
    EXPECT_EQ('x', read_byte(ccm->network_wakeup[0]));
  }
  EXPECT_EQ(before, open_fd_count());
}

// Fresh: 256 bytes of headroom, the whole double area usable (AddressSanitizer
// checks). Recycled: most recently freed first, fresh ID, cleared header,
// data kept. At most 64 normal messages are kept; huge ones never.
TEST(Messages, FreshRecycledAndTheFreeList) {
  Context ctx;
  ccm_context_t *ccm = ctx.ccm;
  ccm_error_t err{};
  ccm_msg_t *a = ccm_msg_alloc(ccm, &err), *b = ccm_msg_alloc(ccm, &err);
  EXPECT_EQ(1u, a->ID);
  EXPECT_EQ(a->buffer1 + 32768, a->buffer2);
  EXPECT_EQ(a->buffer1 + 256, a->msg_start);
  memset(a->msg_start, 0xAB, 2 * 32768 - 256);
  memcpy(b->buffer1 + 300, "old bytes", 9);
  b->len = 77, b->type = 2, b->flag = 0x20, b->msg_start += 10, b->addr.dst_name[0] = 'X';
  uint64_t oldID = b->ID;
  ccm_msg_free(ccm, a);
  ccm_msg_free(ccm, b);
  EXPECT_EQ(2, ccm->nof_freemsg);
  ccm_msg_t *c = ccm_msg_alloc(ccm, &err);
  EXPECT_EQ(b, c);
  EXPECT_GT(c->ID, oldID);
  EXPECT_EQ(0, c->len + c->type + (int)c->flag + c->addr.dst_name[0]);
  EXPECT_EQ(c->buffer1 + 256, c->msg_start);
  EXPECT_EQ(0, memcmp(c->buffer1 + 300, "old bytes", 9));
  EXPECT_EQ(a, ccm_msg_alloc(ccm, &err));
  EXPECT_EQ(nullptr, ccm->msg_freeq.tail);

  std::vector<ccm_msg_t *> v = {a, c};
  for (int i = 0; i < 68; ++i) v.push_back(ccm_msg_alloc(ccm, &err));
  for (auto *m : v) ccm_msg_free(ccm, m);
  int listed = 0;
  for (ccm_msg_t *m = ccm->msg_freeq.head; m; m = m->nxt) ++listed;
  EXPECT_EQ(64, ccm->nof_freemsg);
  EXPECT_EQ(64, listed);
  ccm_msg_t *normal = ccm_msg_alloc(ccm, &err);  // room for one more in the list
  for (int size : {1, 100, 40000, 1 << 20}) {    // the last one a mapping of its own
    ccm_msg_t *h = ccm_msg_alloc_huge(ccm, size, &err);
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(size, h->size);
    EXPECT_EQ(h->buffer1 + size, h->buffer2);
    memset(h->buffer1, 0x5A, std::max(2 * (size_t)size, size_t{256}));
    ccm_msg_free(ccm, h);
    EXPECT_EQ(63, ccm->nof_freemsg) << size;  // neither taken from the list nor kept
  }
  ccm_msg_free(ccm, normal);
  // A size <= 0, or one whose doubled area would overflow, allocates nothing.
  int idBefore = ccm->unique_msg_ID;
  for (int32_t size : {0, -1, INT32_MIN, INT32_MAX, INT32_MAX / 2 + 1, 40000}) {
    ccm_error_t e{};
    if (size == 40000) ccm_alloc_fail_at(1);
    EXPECT_EQ(nullptr, ccm_msg_alloc_huge(ccm, size, &e)) << size;
    ccm_alloc_fail_at(0);
    EXPECT_EQ(3301, e.msgnr);
    EXPECT_EQ(0, strncmp(e.msginsert, "CCMMSG/src/_ccm/ccmmsg(", 23)) << e.msginsert;
  }
  EXPECT_EQ(idBefore, ccm->unique_msg_ID);
  EXPECT_EQ(nullptr, ccm->msgq_inuse.head);
}

TEST(Messages, FreeUnlinksFromAnyPlace) {
  Context ctx;
  ccm_context_t *ccm = ctx.ccm;
  ccm_error_t err{};
  ccm_msg_t *a = ccm_msg_alloc(ccm, &err), *b = ccm_msg_alloc(ccm, &err), *c = ccm_msg_alloc(ccm, &err);
  ccm_msg_free(ccm, b);  // the middle of c, b, a
  EXPECT_EQ(a, c->nxt);
  ccm_msg_free(ccm, a);  // the tail
  EXPECT_EQ(c, ccm->msgq_inuse.tail);
  ccm_msg_free(ccm, ctx.Msg("outside"));  // held outside every list: the list stays
  EXPECT_EQ(c, ccm->msgq_inuse.head);
  ccm_msg_free(ccm, c);
  EXPECT_EQ(nullptr, ccm->msgq_inuse.tail);
  EXPECT_EQ(0, ccm_msg_free(ccm, nullptr));
}

TEST(Messages, HeaderAndNativeBlockRefuseWhatDoesNotFit) {
  Context ctx;
  ccm_msg_t *m = ctx.Msg("");
  m->msg_start -= 48;
  m->len = 339;
  EXPECT_EQ(0, ccm_msg_set_protocol_header(m, "NAT"));
  m->len = 100000000;  // a length the 8 digits cannot carry
  EXPECT_EQ(-1, ccm_msg_set_protocol_header(m, "IPC"));
  EXPECT_EQ(339, GetProtocolLength(m->msg_start));
  m->msg_start += 48;
  m->len = 0;
  const unsigned char abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(nullptr, ccm_msg_write_native_data(m, 0x04, abc, 3));
  EXPECT_EQ("\x04\x03" "abc", msg_data(m));
  m->len = 0;  // other keys, and blocks longer than their length byte, are not written
  std::vector<unsigned char> big(300, 'x');
  ccm_msg_write_native_data(m, 0x05, abc, 3);
  ccm_msg_write_native_data(m, 0x04, big.data(), 300);
  EXPECT_EQ(0, m->len);
  EXPECT_EQ('a', m->msg_start[2]);
  // Routing blocks that do not fit in front of or behind the payload.
  strcpy(m->addr.dst_name, "F");
  m->msg_start = m->buffer1 + 4;
  m->len = 1;
  EXPECT_EQ(-1, cmm_msg_write_sr_data(m));
  EXPECT_EQ(m->buffer1 + 4, m->msg_start);
  EXPECT_EQ(1, m->len);
  m->msg_start = m->buffer1 + 256;
  m->len = 2 * 32768 - 256;
  strcpy(m->addr.src_name, "CB");
  EXPECT_EQ(-1, cmm_msg_write_sr_data(m));
  EXPECT_EQ(2 * 32768 - 256, m->len);
  m->msg_start = m->buffer1;
  m->len = 2 * 32768;
  m->addr.dst_ID = ctx.Channel(-1)->ID;
  EXPECT_EQ(-1, send_NAT_message(ctx.ccm, m));  // stays with the caller
  EXPECT_EQ(nullptr, ctx.ccm->sendq.head);
  EXPECT_EQ(0u, ccm_get_sendq_bytes(ctx.ccm, m->addr.dst_ID));  // and counts no more
  EXPECT_EQ(-2, send_NAT_message(ctx.ccm, nullptr) + send_NAT_message(nullptr, nullptr));
  ccm_msg_free(ctx.ccm, m);
}

TEST(Messages, EmptyingQueuesSkipsDeletedChannelsAndTheSendQueue) {
  Context ctx;
  ccm_context_t *ccm = ctx.ccm;
  ccm_channel_t *live = ctx.Channel(-1, 0, nullptr, false), *dead = ctx.Channel(-1, 0, nullptr, false);
  ccmq_append(ccm->channelq, live);
  ccmq_append(ccm->channelq, dead);
  ccm_flag_set(dead->flag, CCM_CHF_DELETED);
  live->recv_pos = 17;
  dead->recv_pos = 5;
  for (ccm_msgq_t *q : {&ccm->recvq, &ccm->msgq_2dispatch, &ccm->sendq, &live->sendq, &live->recvq, &dead->sendq})
    ccmq_append(*q, ctx.Msg("m"));
  ctx.Msg("in use", true);
  EXPECT_EQ(0, ccm_msg_emptying_queues(ccm));
  for (ccm_msgq_t *q : {&ccm->recvq, &ccm->msgq_inuse, &ccm->msgq_2dispatch, &live->sendq, &live->recvq})
    EXPECT_EQ(nullptr, q->head);
  EXPECT_EQ(0, live->recv_pos);
  EXPECT_NE(nullptr, ccm->sendq.head);
  EXPECT_NE(nullptr, dead->sendq.head);
  EXPECT_EQ(5, dead->recv_pos);
  EXPECT_EQ(5, ccm->nof_freemsg);
  EXPECT_EQ(0, ccm_channel_emptying_msg_queue(ccm, dead));
  EXPECT_EQ(nullptr, dead->sendq.head);
  EXPECT_EQ(6, ccm->nof_freemsg);
}

TEST(SendRoutes, FramesOfTheTable) {
  for (const auto &r : rows("ccm_frames.txt")) {
    SCOPED_TRACE(r[0] + " " + r[2] + " " + r[7]);
    ASSERT_EQ(9u, r.size());
    Context ctx;
    ctx.Pipes();
    ctx.ccm->unique_channel_ID = 4;
    ctx.Channel(-1);  // the destination, channel 4
    auto text = [&](int i) { return r[i] == "-" ? "" : r[i].c_str(); };
    ccm_msg_t *m = ctx.Msg(bytes(r[7]), true);
    const int type_in = r[0] == "native" || r[0].rfind("nat", 0) == 0 ? CCM_MSG_NAT : CCM_MSG_NATIVE;
    m->type = type_in;
    ccm_setaddr(m, 4, 0, text(1), text(2), std::stoi(r[3]));
    ccm_setback(m, text(4), text(5), std::stoi(r[6]));
    if (r[0] == "nat@0") memmove(m->buffer1, m->msg_start, (size_t)m->len), m->msg_start = m->buffer1;
    int rc = r[0] == "sr"         ? cmm_msg_write_sr_data(m)
             : r[0] == "native"   ? send_native_message(ctx.ccm, m)
             : r[0] == "ipc"      ? send_IPC_message(ctx.ccm, m)
             : r[0] == "gss"      ? send_GSS_message(ctx.ccm, m, nullptr)
             : r[0].rfind("gss ", 0) == 0 ? send_GSS_message(ctx.ccm, m, r[0].c_str() + 4)
                                   : send_NAT_message(ctx.ccm, m);
    ASSERT_EQ(0, rc);
    if (r[0] == "sr") {
      EXPECT_EQ(bytes(r[8]), msg_data(m));
      ccm_msg_free(ctx.ccm, m);
      continue;
    }
    EXPECT_EQ(nullptr, ctx.ccm->msgq_inuse.head);  // handed over
    EXPECT_EQ('N', read_byte(ctx.ccm->network_wakeup[0]));
    ccm_msg_t *sent = ctx.TakeSent();
    ASSERT_EQ(m, sent);
    EXPECT_EQ(bytes(r[8]), msg_data(sent));
    EXPECT_EQ(r[0] == "ipc" ? CCM_MSG_IPC : type_in, sent->type);  // the others leave the caller's type
    EXPECT_EQ(4, sent->addr.dst_ID);
    EXPECT_EQ(ccm_msg_memory(sent), ccm_get_sendq_bytes(ctx.ccm, 4));  // counted for its channel
    ccm_msg_free(ctx.ccm, sent);
    EXPECT_EQ(nullptr, ctx.TakeSent());
  }
}

// A destination "*SERVER" goes through the agent as an IPC "ROUTENAT"
// record: the address, the payload length, the payload. An agent itself
// (running mode 0) sends it as a NAT frame.
TEST(SendRoutes, ServerDestinationIsRoutedThroughTheAgent) {
  Context ctx;
  ccm_msg_t *m = ctx.Msg("HELLO", true);
  ccm_setaddr(m, 0, 0, "*SERVER", "FUNC", 9);
  int freed = ctx.ccm->nof_freemsg;
  // No agent channel yet: the message stays the caller's, and the record is released.
  ASSERT_EQ(CCM_SEND_CLOSED, send_NAT_message(ctx.ccm, m));
  EXPECT_EQ(freed + 1, ctx.ccm->nof_freemsg);
  EXPECT_EQ(m, ctx.ccm->msgq_inuse.head);
  EXPECT_EQ("HELLO", msg_data(m));
  ctx.Channel(-1, 0, "*IPC(AGENT)");
  ctx.Channel(-1, 3, "*SERVER");
  freed = ctx.ccm->nof_freemsg;
  ASSERT_EQ(0, send_NAT_message(ctx.ccm, m));
  EXPECT_EQ(freed, ctx.ccm->nof_freemsg);  // the record took a recycled buffer, the routed message went back
  EXPECT_EQ(nullptr, ctx.ccm->msgq_inuse.head);
  ccm_msg_t *route = ctx.TakeSent();
  std::string f = msg_data(route);
  ASSERT_EQ(48u + 308u + 5u, f.size());
  EXPECT_EQ("00000361WQ8:global001IPC" + std::string(24, ' ') + std::string("ROUTENAT\0\0\0\0\0\0\0\0", 16), f.substr(0, 64));
  EXPECT_EQ("3 *IPC(AGENT)", std::to_string(route->type) + " " + route->addr.dst_addr);
  ccm_addr_t a;
  memcpy(&a, f.data() + 48 + 16, sizeof a);
  EXPECT_EQ("0 *SERVER|FUNC|9 0 ||0", addr_text(a));
  EXPECT_EQ(std::string("\5\0\0\0HELLO", 9), f.substr(48 + 304));
  ccm_msg_free(ctx.ccm, route);
  ctx.pcx.running_mode = 0;
  ccm_setaddr(m = ctx.Msg("HELLO", true), 0, 0, "*SERVER", "FUNC", 0);
  ASSERT_EQ(0, send_NAT_message(ctx.ccm, m));
  EXPECT_EQ("NAT", ctx.Sent().substr(21, 3));
}

TEST(SendRoutes, AddressSettersAndForwarding) {
  Context ctx;
  ccm_msg_t *m = ctx.Msg("PAYLOAD", true), *r = ctx.Msg("y", true);
  m->addr.src_ID = 11, m->addr.src_type = 5;
  ccm_addr_t *a = ccm_setaddr(m, 3, 99, "*IPC(AGENT)", std::string(100, 'n').c_str(), 0x01020304);
  EXPECT_EQ(&m->addr, a);
  memset(a->eyec, 0, 8);
  ccm_setback(m, "*SERVER", "CALLBACK", 77);
  EXPECT_EQ("#CCMADDR 0 5", std::string(a->eyec, 8) + " " + std::to_string(a->type) + " " + std::to_string(a->src_type));
  EXPECT_EQ("3 *IPC(AGENT)|" + std::string(63, 'n') + "|16909060 11 *SERVER|CALLBACK|77", addr_text(*a));
  memset(m->addr.src_name, 'c', sizeof m->addr.src_name);  // no terminator
  m->addr.src_ID = 7;
  ccm_setaddr_reply(r, m);
  EXPECT_EQ("7 *SERVER|" + std::string(63, 'c') + "|77 0 ||0", addr_text(r->addr));
  ccm_msg_free(ctx.ccm, r);
  ccm_error_t err{};
  ccm_setaddr(m, 0, 0, "", "JOBFUNC", 3);
  ccm_setback(m, "*CP9", "ANSWER", 4);
  EXPECT_EQ(-1, ccm_forward_NAT_message(ctx.ccm, m, 5, "nowhere", &err, 1));
  EXPECT_EQ("2003070 5/nowhere|channel not found|", err_text(err));
  EXPECT_EQ(nullptr, ctx.ccm->sendq.head);
  const int id = ctx.Channel(-1, 0, "*IPC(FTX)")->ID;
  for (int check : {1, 0}) {  // checked: found by name, sent by ID; unchecked: the name is the address
    ASSERT_EQ(0, ccm_forward_NAT_message(ctx.ccm, m, check ? 999 : 0, "*IPC(FTX)", &err, check));
    ccm_msg_t *fwd = ctx.TakeSent();
    EXPECT_EQ(std::to_string(check ? id : 0) + (check ? " " : " *IPC(FTX)") + "|JOBFUNC|3 0 *SERVER|ANSWER|4",
              addr_text(fwd->addr));
    EXPECT_NE(std::string::npos, msg_data(fwd).find("\xFF\x07\0\0\0PAYLOAD"));
    ccm_msg_free(ctx.ccm, fwd);
  }
  EXPECT_EQ("PAYLOAD", msg_data(m));  // the caller's, unchanged
  ccm_msg_free(ctx.ccm, m);
}

// Every route refuses a destination that is no open channel (a deleted one,
// or none of that ID or name) and leaves the message as it was, the caller's.
TEST(SendRoutes, ClosedDestinationLeavesTheMessageWithTheCaller) {
  Context ctx;
  ctx.Pipes();
  const int gone = ctx.Channel(-1, 0, "*IPC(GONE)")->ID;
  ccm_channel_deletebyID(ctx.ccm, gone);
  using Route = std::function<int(ccm_msg_t *)>;
  const struct {
    const char *what;
    Route send;
  } routes[] = {
      {"common", [&](ccm_msg_t *m) { return ccm_send_message_common(ctx.ccm, m, "x"); }},
      {"NAT", [&](ccm_msg_t *m) { return send_NAT_message(ctx.ccm, m); }},
      {"native", [&](ccm_msg_t *m) { return send_native_message(ctx.ccm, m); }},
      {"GSS", [&](ccm_msg_t *m) { return send_GSS_message(ctx.ccm, m, "KRB5"); }},
      {"IPC", [&](ccm_msg_t *m) { return send_IPC_message(ctx.ccm, m); }},
  };
  for (const auto &r : routes) {
    for (int dst : {gone, 0, 99}) {
      SCOPED_TRACE(std::string(r.what) + " to " + std::to_string(dst));
      ccm_msg_t *m = ctx.Msg("payload", true);
      ccm_setaddr(m, dst, 0, dst ? "" : "*IPC(GONE)", "F", 0);
      unsigned char *start = m->msg_start;
      ASSERT_EQ(CCM_SEND_CLOSED, r.send(m));
      EXPECT_EQ("payload", msg_data(m));
      EXPECT_EQ(start, m->msg_start);
      EXPECT_EQ(m, ctx.ccm->msgq_inuse.head);
      ccm_error_t err{};
      EXPECT_EQ(CCM_MSGNR_SEND_CLOSED, ccm_get_send_error(&err));
      EXPECT_EQ("2002051 chID=" + std::to_string(dst) + (dst ? "|" : "|*IPC(GONE)") + "|channel not open",
                err_text(err));
      ccm_msg_free(ctx.ccm, m);
    }
  }
  EXPECT_EQ(nullptr, ctx.ccm->sendq.head);
  EXPECT_EQ(nullptr, ctx.ccm->msgq_inuse.head);  // the descriptor's record is released
  EXPECT_EQ(CCM_SEND_CLOSED, send_file_descriptor(ctx.ccm, "*IPC(GONE)", 0, 0, 0, "x"));
  EXPECT_EQ(nullptr, ctx.ccm->msgq_inuse.head);
}

TEST(SendRoutes, CommonStepNullArgumentsAndPassedDescriptor) {
  Context ctx;
  ctx.Pipes();
  const int agent = ctx.Channel(-1, 0, "*IPC(AGENT)")->ID;
  ccm_msg_t *a = ctx.Msg("a", true), *b = ctx.Msg("b", true);
  a->addr.dst_ID = b->addr.dst_ID = agent;
  ccm_send_message_common(ctx.ccm, a, "first");
  ccm_send_message_common(ctx.ccm, b, "second");
  EXPECT_EQ(a, ctx.ccm->sendq.head);
  EXPECT_EQ(b, a->nxt);
  EXPECT_EQ(b, ctx.ccm->sendq.tail);
  EXPECT_EQ('N', read_byte(ctx.ccm->network_wakeup[0]));
  EXPECT_EQ(-5, ccm_send_message_common(ctx.ccm, nullptr, "none") + send_native_message(ctx.ccm, nullptr) +
                    send_GSS_message(ctx.ccm, nullptr, nullptr) + send_IPC_message(ctx.ccm, nullptr) +
                    send_file_descriptor(nullptr, "*IPC(AGENT)", 0, 0, 0, "x"));
  ctx.Sent(), ctx.Sent();

  int pfd[2], sp[2];
  ASSERT_EQ(0, pipe(pfd));
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sp));
  ASSERT_EQ(0, send_file_descriptor(ctx.ccm, "*IPC(AGENT)", pfd[1], 12, 34, "listener-name"));
  ccm_msg_t *m = ctx.TakeSent();
  ASSERT_EQ(48 + 156, m->len);
  EXPECT_EQ(CCM_MSG_IPC, m->type);
  EXPECT_STREQ("*IPC(AGENT)", m->addr.dst_addr);
  ipcmsg_passfd_t rec;
  memcpy(&rec, m->msg_start + 48, sizeof rec);
  EXPECT_EQ(std::string("PASSFD\0\0\0\0\0\0\0\0\0\0", 16), std::string(rec.head.msgtype, 16));
  EXPECT_EQ((std::vector<int>{pfd[1], 12, 34}), (std::vector<int>{rec.fd, rec.listenerID, rec.agentID}));
  EXPECT_STREQ("listener-name", rec.name);
  // Written as the write path does, the descriptor arrives with the record.
  struct iovec iov {m->msg_start, (size_t)m->len};
  struct msghdr mh = {nullptr, 0, &iov, 1, m->control_data, m->control_len, 0};
  ASSERT_EQ((ssize_t)m->len, sendmsg(sp[0], &mh, 0));
  ccm_msg_free(ctx.ccm, m);
  char data[512];
  alignas(struct cmsghdr) char ctl[256];
  struct iovec riov {data, sizeof data};
  struct msghdr rh = {nullptr, 0, &riov, 1, ctl, sizeof ctl, 0};
  ASSERT_EQ(48 + 156, recvmsg(sp[1], &rh, 0));
  int got = passed_fd(ctl, rh.msg_controllen);
  ASSERT_EQ(1, write(got, "z", 1));  // the pipe's write end
  EXPECT_EQ('z', read_byte(pfd[0]));
  for (int fd : {got, pfd[0], pfd[1], sp[0], sp[1]}) close(fd);
}

TEST(Ipc, DispatchByTheWholeTypeNameAndTheLogger) {
  Context ctx;
  const struct {
    std::string rec;
    int rc;
    const char *logged;  // "" when nothing is logged
    bool dispatched = true;  // else handed to process_ipc_not_implemented
  } cases[] = {
      {std::string("CHANNEL_CLOSE\0\0\0", 16) + std::string(64, '\0'), 0, ""},
      {std::string("CHANNEL_ACCEPT\0\0", 16) + std::string(4, '\0'), -1, "IPC message (CHANNEL_ACCEPT) is not known"},
      {std::string("CHANNEL_CLOSEX\0\0", 16), -1, "IPC message (CHANNEL_CLOSEX) is not known"},
      {"CHAN", -1, nullptr},
      {std::string("PASSFD\0\0\0\0\0\0\0\0\0\0", 16), -1, "IPC message (PASSFD) is not implemented", false},
  };
  for (const auto &c : cases) {
    LogRecorder log;
    ccm_msg_t *m = ctx.Msg(c.rec, true);
    m->type = CCM_MSG_IPC;
    strcpy(m->addr.src_name, "SRC");
    int rc = c.dispatched ? process_IPC_message(&ctx.pcx, ctx.ccm, m)
                          : process_ipc_not_implemented(&ctx.pcx, m);
    EXPECT_EQ(c.rc, rc) << c.rec;
    if (c.logged) {
      auto want = *c.logged ? std::vector<std::pair<int, std::string>>{{-1, c.logged}, {2000033, "SRC|"}}
                            : std::vector<std::pair<int, std::string>>{};
      EXPECT_EQ(want, log.entries());
    }
    ccm_msg_free(ctx.ccm, m);
  }
  EXPECT_EQ(-1, process_IPC_message(&ctx.pcx, ctx.ccm, nullptr));
  // The logger sends the first 1024 characters to the agent, once a process
  // context with a channel manager is registered.
  ctx.pcx.ccm = ctx.ccm;
  ccm_msg_t *m = ctx.Msg(std::string("CHANNEL_CLOSE\0\0\0", 16) + std::string(64, '\0'), true);
  process_IPC_message(&ctx.pcx, ctx.ccm, m);
  ccm_msg_free(ctx.ccm, m);
  std::string insert(2000, 'i');
  EXPECT_EQ(0, ipc_logger(4711, insert.c_str()));  // no agent channel: the record is dropped
  EXPECT_EQ(nullptr, ctx.ccm->sendq.head);
  EXPECT_EQ(nullptr, ctx.ccm->msgq_inuse.head);
  ctx.Channel(-1, 0, "*IPC(AGENT)");
  EXPECT_EQ(0, ipc_logger(4711, insert.c_str()));
  ccm_msg_t *sent = ctx.TakeSent();  // the record: type name, msgnr (host order), insert
  ASSERT_NE(nullptr, sent);
  int32_t msgnr = 4711;
  EXPECT_EQ("3 *IPC(AGENT) 00001092WQ8:global001IPC" + std::string(24, ' ') + std::string("LOGGING\0\0\0\0\0\0\0\0\0", 16) +
                std::string((char *)&msgnr, 4) + insert.substr(0, 1024),
            std::to_string(sent->type) + " " + sent->addr.dst_addr + " " + msg_data(sent));
  ccm_msg_free(ctx.ccm, sent);
  ctx.pcx.ccm = nullptr;
  EXPECT_EQ(0, ipc_logger(1, "x"));
  EXPECT_EQ(nullptr, ctx.ccm->sendq.head);
}

std::string text_of(const void *sa) {
  char buf[64];
  return ccm_address2string((const sockaddr_in6 *)sa, buf, sizeof buf) == 0 ? buf : "(none)";
}

TEST(Resolve, RowsOfTheTable) {
  for (auto r : rows("ccm_resolve.txt")) {
    SCOPED_TRACE(r[0] + " " + r[1]);
    std::string in = r[1][0] == '"' ? r[1].substr(1, r[1].size() - 2) : r[1], got;
    if (r[0] == "resolve") {
      sockaddr_in6 sa;
      memset(&sa, 0xEE, sizeof sa);
      ccm_error_t err{99, 0, ""};
      got = ccm_hostname2address(in.c_str(), std::stoi(r[2]), &sa, &err) == 0 && err.msgnr == 0 ? text_of(&sa) : err_text(err);
      for (size_t i = sizeof(sockaddr_in); sa.sin6_family == AF_INET && i < sizeof sa; ++i)
        EXPECT_EQ(0, ((unsigned char *)&sa)[i]);  // only the IPv4 part is filled; the rest is cleared
      EXPECT_TRUE(starts(got, r[3])) << got;
      continue;
    }
    if (r[0] == "format") {
      char out[256];
      const char *f = ccm_addressformatted(in.c_str(), out);
      EXPECT_EQ(r[3], f);
      EXPECT_EQ(in == r[3], f == in.c_str());  // unchanged: the input itself
      continue;
    }
    std::vector<sockaddr_in6> sa(64);
    std::vector<addrinfo> ai(64);
    size_t n = 0;
    std::istringstream list(in == "-" ? "" : in);
    for (std::string a; list >> a; ++n) {
      bool v6 = a.find(':') != std::string::npos;
      sa[n] = {}, ai[n] = {};
      sa[n].sin6_family = ai[n].ai_family = v6 ? AF_INET6 : AF_INET;
      inet_pton(sa[n].sin6_family, a.c_str(), v6 ? (void *)&sa[n].sin6_addr : &((sockaddr_in *)&sa[n])->sin_addr);
      ai[n].ai_addrlen = v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
      ai[n].ai_addr = (sockaddr *)&sa[n];
      if (n) ai[n - 1].ai_next = &ai[n];
    }
    const addrinfo *chosen = ccm_choose_address(n ? ai.data() : nullptr, std::stoi(r[2]));
    EXPECT_EQ(r[3], chosen ? text_of(chosen->ai_addr) : "(none)");
  }
  sockaddr_in6 sa{};
  char buf[64], out[256];
  ccm_error_t err{};
  EXPECT_EQ(-1, ccm_hostname2address(nullptr, 2, &sa, &err));
  sa.sin6_family = AF_INET6;
  inet_pton(AF_INET6, "2001:db8::1", &sa.sin6_addr);
  EXPECT_EQ(-1, ccm_address2string(&sa, buf, 5));  // too small
  EXPECT_STREQ("", buf);
  sa.sin6_family = AF_UNIX;
  strcpy(buf, "junk");
  EXPECT_EQ(-1, ccm_address2string(&sa, buf, sizeof buf));
  EXPECT_STREQ("", buf);
  EXPECT_EQ(255u, strlen(ccm_addressformatted(std::string(300, ':').c_str(), out)));
  LogRecorder log;
  EXPECT_EQ(0, ccm_log_all_ip("127.0.0.1", &err) + ccm_log_all_ip("::1", &err));
  EXPECT_EQ((std::vector<std::string>{"127.0.0.1|127.0.0.1", "::1|[::1]"}), log.with(2000066));
  EXPECT_EQ(-1, ccm_log_all_ip("", &err));
  EXPECT_EQ(2000102, err.msgnr);
}

}  // namespace
