// Reading a channel: cutting frames out of the byte stream, classifying
// them, unpacking the key blocks, and rejecting frames that break the rules.

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "_ccm/ccm_io_testing.h"
#include "ccm.h"
#include "ccm_alloc.h"
#include "wq_trace.h"

using namespace ccmtest;

namespace {

// A context with pipes and one channel on one end of a socket pair; the test
// writes into the other end (`peer`) and calls the read path directly.
class ReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx.Pipes();
    int sv[2];
    socket_pair(sv);
    peer = sv[1];
    nonblocking(sv[0]);
    ch = ctx.Entry(sv[0]);
    StringCopy(ch->name, sizeof ch->name, "*IPC(TEST)");  // no local address to ask for
  }
  void TearDown() override {
    if (peer >= 0) close(peer);
    ctx.Discard(ch);
  }
  // Sends `bytes` and runs one read; returns its result.
  int Feed(const std::string &bytes) {
    write_all(peer, bytes);
    EXPECT_TRUE(wait_readable(ch->s));
    ccm_error_t err{};
    return ccm_read_channel(ctx.ccm, ch, &err);
  }
  // Classifies `f` as if it had arrived on the channel.
  int Classify(const std::string &f, ccm_msg_t **out, ccm_error_t *err) {
    ccm_msg_t *m = ctx.Msg("");
    memcpy(m->buffer1, f.data(), f.size());
    m->msg_start = m->buffer1;
    m->len = (int32_t)f.size();
    *out = m;
    return ccm_classify_message(ctx.ccm, ch, m, err);
  }
  void Free(ccm_msg_t *m) { ccm_msg_free(ctx.ccm, m); }

  Context ctx;
  ccm_channel_t *ch = nullptr;
  int peer = -1;
};

TEST(ReadLengths, FrameLengthAndBlockLength) {
  EXPECT_EQ(339u, ccm_get_msg_length(nullptr, nullptr, "00000339WQ8"));
  EXPECT_EQ(100u, ccm_get_msg_length(nullptr, nullptr, "   00100"));
  EXPECT_EQ(0u, ccm_get_msg_length(nullptr, nullptr, "abcdefgh"));
  EXPECT_EQ(0u, ccm_get_msg_length(nullptr, nullptr, "-0000050"));
  // Only the 8 length characters count, whatever follows them.
  EXPECT_EQ(12345678u, ccm_get_msg_length(nullptr, nullptr, "123456789"));

  unsigned char dst[16] = {0};
  std::string b = block2(0x3B, "hello");
  EXPECT_EQ(8, extract_protocol_data((const unsigned char *)b.data(), 2, dst));
  EXPECT_EQ(0, memcmp(dst, "hello", 5));
  b = block4(0xFF, "abc");
  EXPECT_EQ(8, extract_protocol_data((const unsigned char *)b.data(), 4, nullptr));
  b = block7(0x41, "xyz");
  EXPECT_EQ(11, extract_protocol_data((const unsigned char *)b.data(), 7, dst));
  EXPECT_EQ(0, memcmp(dst, "xyz", 3));
  EXPECT_EQ(-1, extract_protocol_data((const unsigned char *)b.data(), 3, dst));
}

TEST_F(ReadTest, GreetingBlockGivesItsData) {
  ccm_msg_t *m;
  ccm_error_t err{};
  ASSERT_EQ(0, Classify(frame(block1(0x04, "hello agent")), &m, &err));
  EXPECT_EQ(CCM_MSG_NATIVE, m->type);
  EXPECT_EQ(4, m->protocol_key);
  EXPECT_EQ(m->buffer1, m->msg_start);
  EXPECT_EQ("hello agent", msg_data(m));
  Free(m);
}

TEST_F(ReadTest, DataKeysMoveTheirContent) {
  struct Case {
    unsigned key;
    std::string body;
  } cases[] = {
      {0x07, block1(0x07, "seven")},
      {0x3B, block2(0x3B, pattern(300))},
      {0x41, block7(0x41, pattern(1000))},
      {0x44, block7(0x44, "D-data")},
      {0xF9, block2(0xF9, "f9")},
  };
  for (const auto &c : cases) {
    ccm_msg_t *m;
    ccm_error_t err{};
    ASSERT_EQ(0, Classify(frame(c.body), &m, &err)) << c.key;
    EXPECT_EQ(c.key, m->protocol_key);
    EXPECT_EQ(c.body.substr(c.key == 0x41 || c.key == 0x44 ? 8 : (c.key == 0x07 ? 2 : 3)), msg_data(m)) << c.key;
    EXPECT_EQ(m->buffer1, m->msg_start);
    Free(m);
  }
}

TEST_F(ReadTest, DataBlockAmongOthersHasItsContentLength) {
  ccm_msg_t *m;
  ccm_error_t err{};
  std::string body = block1(0x01, "NAME") + block1(0x03, "ADDR") + block1(0x04, "payload!");
  ASSERT_EQ(0, Classify(frame(body), &m, &err));
  EXPECT_EQ("payload!", msg_data(m));
  EXPECT_STREQ("NAME", m->addr.dst_name);
  EXPECT_STREQ("ADDR", m->addr.dst_addr);
  Free(m);
}

TEST_F(ReadTest, NatFrameWithCallback) {
  ccm_flag_set(ch->flag, CCM_CHF_CONNECTING);
  int32_t acv = 0x11223344;
  std::string acvb((const char *)&acv, 4);
  std::string cb = block1(0x03, "*IPC(BACK)") + block1(0x01, "CALLBACK") + block1(0x02, acvb);
  std::string payload = pattern(276);
  std::string body = block1(0x02, acvb) + block1(0x01, " JPAKTJ_R ") + block1(0x03, "*CP01") + block4(0xFF, payload) +
                     block2(0xFD, cb);
  ccm_msg_t *m;
  ccm_error_t err{};
  ASSERT_EQ(0, Classify(frame(body), &m, &err));
  EXPECT_EQ(CCM_MSG_NAT, m->type);
  EXPECT_EQ(0, m->protocol_key);
  EXPECT_EQ(payload, msg_data(m));
  EXPECT_EQ(m->buffer1, m->msg_start);
  EXPECT_STREQ("JPAKTJ_R", m->addr.dst_name);  // stripped
  EXPECT_STREQ("*CP01", m->addr.dst_addr);
  EXPECT_EQ(acv, m->addr.dst_acv);
  EXPECT_STREQ("*IPC(BACK)", m->addr.src_addr);
  EXPECT_STREQ("CALLBACK", m->addr.src_name);
  EXPECT_EQ(acv, m->addr.src_acv);
  EXPECT_FALSE(ccm_flag_test(ch->flag, CCM_CHF_CONNECTING));
  EXPECT_FALSE(m->flag & CCM_MSGF_XML);
  Free(m);
}

TEST_F(ReadTest, LaterShorterNameLeavesNoResidue) {
  ccm_msg_t *m;
  ccm_error_t err{};
  ASSERT_EQ(0, Classify(frame(block1(0x01, "LONGNAME") + block1(0x01, "AB") + block2(0xFE, "x")), &m, &err));
  EXPECT_STREQ("AB", m->addr.dst_name);
  Free(m);
}

TEST_F(ReadTest, XmlAndIpcAndEmptyBodies) {
  ccm_msg_t *m;
  ccm_error_t err{};
  ASSERT_EQ(0, Classify(frame(block2(0xFE, "<?xml version='1.0'?><a/>")), &m, &err));
  EXPECT_TRUE(m->flag & CCM_MSGF_XML);
  Free(m);

  // An IPC frame is never parsed: its body may hold any bytes.
  std::string rec = std::string("PASSFD", 6) + std::string(10, '\0') + "\x05\xEE\x77";
  ASSERT_EQ(0, Classify(frame(rec, "IPC"), &m, &err));
  EXPECT_EQ(CCM_MSG_IPC, m->type);
  EXPECT_EQ(m->buffer1 + 48, m->msg_start);
  EXPECT_EQ(rec, msg_data(m));
  EXPECT_STREQ("*IPC(TEST)", m->addr.src_addr);
  Free(m);

  // A frame that is only a header has an empty native body.
  ASSERT_EQ(0, Classify(header(48), &m, &err));
  EXPECT_EQ(0, m->len);
  Free(m);
}

int captured_kz = 0;
int capture_logger(int msgnr, const char *text) {
  if (msgnr == -1 && strcmp(text, "invalid kz") == 0) ++captured_kz;
  return 0;
}

TEST_F(ReadTest, UnknownCallbackKeyEndsOnlyThatBlock) {
  logger_function_t *old = default_logger;
  __log_set_logger(capture_logger);
  captured_kz = 0;
  std::string cb = block1(0x01, "CB") + block1(0x09, "zz") + block1(0x03, "NOTREAD");
  ccm_msg_t *m;
  ccm_error_t err{};
  int rc = Classify(frame(block2(0xFD, cb) + block1(0x01, "AFTER") + block2(0xFE, "data")), &m, &err);
  __log_set_logger(old);
  ASSERT_EQ(0, rc);
  EXPECT_EQ(1, captured_kz);
  EXPECT_STREQ("CB", m->addr.src_name);
  EXPECT_STREQ("", m->addr.src_addr);
  EXPECT_STREQ("AFTER", m->addr.dst_name);
  EXPECT_EQ("data", msg_data(m));
  Free(m);
}

TEST_F(ReadTest, InvalidBodiesAreRejected) {
  std::string name64(64, 'N');
  struct Case {
    const char *what;
    std::string body;
  } cases[] = {
      {"unknown key", block1(0x05, "x")},
      {"1-byte block past end", std::string("\x04\x10", 2) + "short"},
      {"2-byte block past end", block2(0xFE, "abcdef").substr(0, 6)},
      {"4-byte block past end", block4(0xFF, pattern(100)).substr(0, 50)},
      {"7-digit block past end", std::string("\x41") + "0009999" + "abc"},
      {"negative 7-digit length", std::string("\x41") + "-000005" + "abcde"},
      {"length field cut", std::string("\xFF\x01\x00", 3)},
      {"name longer than 63", block1(0x01, name64) + block2(0xFE, "d")},
      {"address longer than 63", block1(0x03, name64)},
      {"access value longer than 4", block1(0x02, "12345")},
      {"callback larger than 256", block2(0xFD, std::string(257, '\x01'))},
      {"callback sub-block past its block", block2(0xFD, std::string("\x01\x09", 2) + "abc")},
      {"callback name longer than 63", block2(0xFD, block1(0x01, name64))},
      {"callback access value longer than 4", block2(0xFD, block1(0x02, "123456"))},
  };
  for (const auto &c : cases) {
    ccm_msg_t *m;
    ccm_error_t err{};
    EXPECT_EQ(-1, Classify(frame(c.body), &m, &err)) << c.what;
    EXPECT_EQ(2002036, err.msgnr) << c.what;
    EXPECT_NE(nullptr, strstr(err.msginsert, "invalid frame")) << c.what;
    Free(m);
  }
  // A header-less piece is refused before any field is read.
  ccm_msg_t *m;
  ccm_error_t err{};
  EXPECT_EQ(-1, Classify("0000004", &m, &err));
  Free(m);
}

TEST_F(ReadTest, ManyFramesInOneReadAndARemainder) {
  std::string f1 = frame(block1(0x04, "one"));
  std::string f2 = frame(block2(0xFE, "two"));
  std::string f3 = frame(block1(0x04, "three"));
  ASSERT_EQ(0, Feed(f1 + f2 + f3.substr(0, 5)));
  EXPECT_EQ(2, count_recvq(ctx.ccm));
  EXPECT_EQ(2, drain_pipe(ctx.ccm->processor_wakeup[0]));
  EXPECT_EQ(5, ch->recv_pos);
  EXPECT_EQ(0, memcmp(ch->recv_buffer, f3.data(), 5));

  ASSERT_EQ(0, Feed(f3.substr(5)));
  EXPECT_EQ(0, ch->recv_pos);
  const char *want[] = {"one", "two", "three"};
  for (const char *w : want) {
    ccm_msg_t *m = receive(ctx.ccm);
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(w, msg_data(m));
    EXPECT_EQ(ch->ID, m->addr.src_ID);
    EXPECT_EQ(ch->type, m->addr.src_type);
    Free(m);
  }
}

TEST_F(ReadTest, FramesSplitAtEveryBytePosition) {
  std::string stream = frame(block1(0x04, "first")) + frame(block4(0xFF, pattern(40))) + frame(block1(0x07, "x"));
  for (size_t cut = 1; cut < stream.size(); ++cut) {
    ASSERT_EQ(0, Feed(stream.substr(0, cut))) << cut;
    ASSERT_EQ(0, Feed(stream.substr(cut))) << cut;
    ASSERT_EQ(3, count_recvq(ctx.ccm)) << cut;
    ccm_msg_t *m = receive(ctx.ccm);
    EXPECT_EQ("first", msg_data(m));
    Free(m);
    m = receive(ctx.ccm);
    EXPECT_EQ(pattern(40), msg_data(m));
    Free(m);
    m = receive(ctx.ccm);
    EXPECT_EQ("x", msg_data(m));
    Free(m);
    EXPECT_EQ(0, ch->recv_pos);
    drain_pipe(ctx.ccm->processor_wakeup[0]);
  }
}

TEST_F(ReadTest, LargeFrameGoesIntoAHugeMessage) {
  std::string payload = pattern(70000, 3);
  std::string f = frame(block4(0xFF, payload));
  std::thread writer([&] { write_all(peer, f); });
  ccm_error_t err{};
  for (int i = 0; i < 1000 && count_recvq(ctx.ccm) == 0; ++i) {
    ASSERT_TRUE(wait_readable(ch->s));
    ASSERT_EQ(0, ccm_read_channel(ctx.ccm, ch, &err));
  }
  writer.join();
  ccm_msg_t *m = receive(ctx.ccm);
  ASSERT_NE(nullptr, m);
  EXPECT_EQ((int32_t)f.size(), m->size);
  EXPECT_EQ(payload, msg_data(m));
  Free(m);
}

TEST_F(ReadTest, BadFrameLengthDeletesTheChannel) {
  const char *bad[] = {"00000047", "garbage!", "-0000100", "        "};
  for (const char *b : bad) {
    ch->recv_pos = 0;
    ccm_flag_clear(ch->flag, CCM_CHF_DELETED);
    ch->msgnr = 0;
    std::string f = std::string(b, 8) + std::string(60, 'x');
    EXPECT_EQ(-1, Feed(f)) << b;
    EXPECT_TRUE(ccm_flag_test(ch->flag, CCM_CHF_DELETED)) << b;
    EXPECT_EQ(2002036, ch->msgnr) << b;
    EXPECT_EQ(0, count_recvq(ctx.ccm)) << b;
    // Whatever is left of this read is dropped with the channel later on.
    char sink[256];
    while (readable_now(ch->s) && read(ch->s, sink, sizeof sink) > 0) {
    }
  }
}

TEST_F(ReadTest, InvalidFrameAfterGoodOnesKeepsTheGoodOnes) {
  ASSERT_EQ(-1, Feed(frame(block1(0x04, "ok")) + frame(block1(0x05, "bad"))));
  EXPECT_EQ(1, count_recvq(ctx.ccm));
  EXPECT_TRUE(ccm_flag_test(ch->flag, CCM_CHF_DELETED));
  EXPECT_EQ(2002036, ch->msgnr);
  EXPECT_NE(nullptr, strstr(ch->msginsert, "invalid key 0x05"));
}

TEST_F(ReadTest, AllocationFailuresKeepTheChannelAndDeliverEachFrameOnce) {
  // No memory for the receive buffer: 3301 "RECVBUFF", nothing consumed.
  std::string f[4];
  for (int i = 0; i < 4; ++i) f[i] = frame(block1(0x04, "frame" + std::to_string(i)));
  write_all(peer, f[0] + f[1] + f[2]);
  ASSERT_TRUE(wait_readable(ch->s));
  ccm_error_t err{};
  ccm_alloc_fail_at(1);
  EXPECT_EQ(-1, ccm_read_channel(ctx.ccm, ch, &err));
  EXPECT_EQ(3301, err.msgnr);
  EXPECT_EQ(0, strncmp(err.msginsert, "RECVBUFF/src/_ccm/ccm(", 22));
  EXPECT_FALSE(ccm_flag_test(ch->flag, CCM_CHF_DELETED));

  // Buffer, first message, then the second message fails: the first frame
  // is delivered, the rest stays buffered for the next read.
  ccm_alloc_fail_at(3);
  EXPECT_EQ(-1, ccm_read_channel(ctx.ccm, ch, &err));
  ccm_alloc_fail_at(0);
  EXPECT_FALSE(ccm_flag_test(ch->flag, CCM_CHF_DELETED));
  EXPECT_EQ(1, count_recvq(ctx.ccm));
  EXPECT_EQ((int)(f[1].size() + f[2].size()), ch->recv_pos);

  ASSERT_EQ(0, Feed(f[3]));
  for (int i = 0; i < 4; ++i) {
    ccm_msg_t *m = receive(ctx.ccm);
    ASSERT_NE(nullptr, m);
    EXPECT_EQ("frame" + std::to_string(i), msg_data(m));
    Free(m);
  }
  EXPECT_EQ(0, count_recvq(ctx.ccm));
}

TEST_F(ReadTest, OrderlyCloseDeletesWithoutReason) {
  close(peer);
  peer = -1;
  ASSERT_TRUE(wait_readable(ch->s));
  ccm_error_t err{};
  EXPECT_EQ(-1, ccm_read_channel(ctx.ccm, ch, &err));
  EXPECT_TRUE(ccm_flag_test(ch->flag, CCM_CHF_DELETED));
  EXPECT_EQ(0, ch->msgnr);
}

TEST_F(ReadTest, NothingToReadKeepsTheChannel) {
  ccm_error_t err{};
  EXPECT_EQ(0, ccm_read_channel(ctx.ccm, ch, &err));
  EXPECT_FALSE(ccm_flag_test(ch->flag, CCM_CHF_DELETED));
}

// Sends `bytes` with the descriptor `fd` attached.
void send_with_fd(int s, const std::string &bytes, int fd) {
  union {
    struct cmsghdr align;
    char buf[CMSG_SPACE(sizeof(int))];
  } u;
  memset(&u, 0, sizeof u);
  struct iovec iov = {const_cast<char *>(bytes.data()), bytes.size()};
  struct msghdr mh = {};
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  mh.msg_control = u.buf;
  mh.msg_controllen = sizeof u.buf;
  struct cmsghdr *c = CMSG_FIRSTHDR(&mh);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  memcpy(CMSG_DATA(c), &fd, sizeof fd);
  ASSERT_EQ((ssize_t)bytes.size(), sendmsg(s, &mh, 0));
}

int fd_of(const ccm_msg_t *m) {
  struct msghdr mh = {};
  mh.msg_control = const_cast<unsigned char *>(m->control_data);
  mh.msg_controllen = m->control_len;
  struct cmsghdr *c = CMSG_FIRSTHDR(&mh);
  if (!c || c->cmsg_type != SCM_RIGHTS) return -1;
  int fd;
  memcpy(&fd, CMSG_DATA(c), sizeof fd);
  return fd;
}

TEST_F(ReadTest, PassedDescriptorTravelsWithItsFrame) {
  int p[2];
  ASSERT_EQ(0, pipe(p));
  std::string f = frame(block1(0x04, "fd"));
  // The first piece carries a descriptor but completes no frame: that copy is
  // closed. The second piece completes the frame and delivers its copy.
  send_with_fd(peer, f.substr(0, 20), p[1]);
  ccm_error_t err{};
  ASSERT_TRUE(wait_readable(ch->s));
  ASSERT_EQ(0, ccm_read_channel(ctx.ccm, ch, &err));
  EXPECT_EQ(0, count_recvq(ctx.ccm));
  send_with_fd(peer, f.substr(20), p[1]);
  ASSERT_TRUE(wait_readable(ch->s));
  ASSERT_EQ(0, ccm_read_channel(ctx.ccm, ch, &err));
  close(p[1]);

  ccm_msg_t *m = receive(ctx.ccm);
  ASSERT_NE(nullptr, m);
  ASSERT_GT(m->control_len, 0u);
  int got = fd_of(m);
  ASSERT_GE(got, 0);
  ASSERT_EQ(1, write(got, "!", 1));
  char c = 0;
  ASSERT_EQ(1, read(p[0], &c, 1));
  EXPECT_EQ('!', c);
  // Once the delivered copy is closed no writer is left: the undelivered copy
  // was closed by the read path.
  close(got);
  ASSERT_TRUE(wait_readable(p[0]));
  EXPECT_EQ(0, read(p[0], &c, 1));
  close(p[0]);
  Free(m);
}

}  // namespace
