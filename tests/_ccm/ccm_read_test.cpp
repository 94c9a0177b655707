// Reading a channel: cutting frames out of the byte stream, classifying
// them, unpacking the key blocks, and rejecting frames that break the rules.

#include <unistd.h>

#include <string>
#include <thread>

#include "_ccm/ccm_io_testing.h"
#include "ccm_alloc.h"

using namespace ccmtest;

namespace {

// A channel on one end of a socket pair; the test writes into `peer` and
// calls the read path directly.
class ReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx.Pipes();
    int sv[2];
    socket_pair(sv);
    peer = sv[1];
    ch = ctx.Channel(sv[0], 0, "*IPC(TEST)");  // an IPC name: no local address to ask for
  }
  void TearDown() override {
    if (peer >= 0) close(peer);
  }
  int Feed(const std::string &bytes) {
    write_all(peer, bytes);
    EXPECT_TRUE(wait_readable(ch->s));
    ccm_error_t err{};
    return ccm_read_channel(ctx.ccm, ch, &err);
  }
  // Classifies frame `f` as if it had arrived on the channel; the caller frees *out.
  int Classify(const std::string &f, ccm_msg_t **out, ccm_error_t *err) {
    *out = ctx.Msg(f);
    (*out)->msg_start = (*out)->buffer1;
    memcpy((*out)->buffer1, f.data(), f.size());
    return ccm_classify_message(ctx.ccm, ch, *out, err);
  }
  void Free(ccm_msg_t *m) { ccm_msg_free(ctx.ccm, m); }

  Context ctx;
  ccm_channel_t *ch = nullptr;
  int peer = -1;
};

TEST(ReadLengths, FrameLengthAndBlockLength) {
  EXPECT_EQ(339u, ccm_get_msg_length(nullptr, nullptr, "00000339WQ8"));
  EXPECT_EQ(100u, ccm_get_msg_length(nullptr, nullptr, "   00100"));
  EXPECT_EQ(12345678u, ccm_get_msg_length(nullptr, nullptr, "123456789"));  // 8 characters only
  EXPECT_EQ(0u, ccm_get_msg_length(nullptr, nullptr, "abcdefgh"));
  EXPECT_EQ(0u, ccm_get_msg_length(nullptr, nullptr, "-0000050"));

  unsigned char dst[8] = {0};
  std::string b = block(0x41, "xyz", 7);
  EXPECT_EQ(11, extract_protocol_data((const unsigned char *)b.data(), 7, dst));
  EXPECT_EQ(0, memcmp(dst, "xyz", 3));
  b = block(0xFF, "abc", 4);
  EXPECT_EQ(8, extract_protocol_data((const unsigned char *)b.data(), 4, nullptr));
  EXPECT_EQ(-1, extract_protocol_data((const unsigned char *)b.data(), 3, dst));
}

TEST_F(ReadTest, DataBlocksEndUpAtTheBufferStart) {
  struct Case {
    unsigned key;
    std::string body, data;
  } cases[] = {
      {0x04, block(0x04, "hello agent"), "hello agent"},  // the greeting
      {0x07, block(0x07, "seven"), "seven"},
      {0x3B, block(0x3B, pattern(300), 2), pattern(300)},
      {0x41, block(0x41, pattern(1000), 7), pattern(1000)},
      {0x44, block(0x44, "D-data", 7), "D-data"},
      {0xF9, block(0xF9, "f9", 2), "f9"},
      // A 0x04 block among others gives its content length too.
      {0x04, block(0x01, "NAME") + block(0x04, "payload!") + block(0x03, "ADDR"), "payload!"},
  };
  for (const auto &c : cases) {
    ccm_msg_t *m;
    ccm_error_t err{};
    ASSERT_EQ(0, Classify(frame(c.body), &m, &err)) << c.key;
    EXPECT_EQ(CCM_MSG_NATIVE, m->type);
    EXPECT_EQ(c.key, m->protocol_key);
    EXPECT_EQ(m->buffer1, m->msg_start);
    EXPECT_EQ(c.data, msg_data(m)) << c.key;
    Free(m);
  }
}

TEST_F(ReadTest, NatFrameWithCallback) {
  ccm_flag_set(ch->flag, CCM_CHF_CONNECTING);
  int32_t acv = 0x11223344;
  std::string acvb((const char *)&acv, 4);
  std::string cb = block(0x03, "*IPC(BACK)") + block(0x01, "CALLBACK") + block(0x02, acvb);
  std::string payload = pattern(276);
  // The second, shorter name replaces the first without leftovers.
  std::string body = block(0x02, acvb) + block(0x01, "LONGNAME") + block(0x01, " JPAKTJ ") + block(0x03, "*CP01") +
                     block(0xFF, payload, 4) + block(0xFD, cb, 2);
  ccm_msg_t *m;
  ccm_error_t err{};
  ASSERT_EQ(0, Classify(frame(body), &m, &err));
  EXPECT_EQ(CCM_MSG_NAT, m->type);
  EXPECT_EQ(0, m->protocol_key);
  EXPECT_EQ(payload, msg_data(m));
  EXPECT_EQ(m->buffer1, m->msg_start);
  EXPECT_STREQ("JPAKTJ", m->addr.dst_name);
  EXPECT_STREQ("*CP01", m->addr.dst_addr);
  EXPECT_EQ(acv, m->addr.dst_acv);
  EXPECT_STREQ("*IPC(BACK)", m->addr.src_addr);
  EXPECT_STREQ("CALLBACK", m->addr.src_name);
  EXPECT_EQ(acv, m->addr.src_acv);
  EXPECT_FALSE(ccm_flag_test(ch->flag, CCM_CHF_CONNECTING));
  EXPECT_FALSE(m->flag & CCM_MSGF_XML);
  Free(m);
}

TEST_F(ReadTest, XmlIpcAndEmptyBodies) {
  ccm_msg_t *m;
  ccm_error_t err{};
  ASSERT_EQ(0, Classify(frame(block(0xFE, "<?xml version='1.0'?><a/>", 2)), &m, &err));
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

  ASSERT_EQ(0, Classify(frame(""), &m, &err));
  EXPECT_EQ(0, m->len);
  Free(m);
}

TEST_F(ReadTest, UnknownCallbackKeyEndsOnlyThatBlock) {
  LogRecorder log;
  std::string cb = block(0x01, "CB") + block(0x09, "zz") + block(0x03, "NOTREAD");
  ccm_msg_t *m;
  ccm_error_t err{};
  ASSERT_EQ(0, Classify(frame(block(0xFD, cb, 2) + block(0x01, "AFTER") + block(0xFE, "data", 2)), &m, &err));
  EXPECT_EQ(std::vector<std::string>{"invalid kz"}, log.with(-1));
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
      {"unknown key", block(0x05, "x")},
      {"1-byte block past end", std::string("\x04\x10", 2) + "short"},
      {"2-byte block past end", block(0xFE, "abcdef", 2).substr(0, 6)},
      {"4-byte block past end", block(0xFF, pattern(100), 4).substr(0, 50)},
      {"7-digit block past end", std::string("\x41") + "0009999" + "abc"},
      {"negative 7-digit length", std::string("\x41") + "-000005" + "abcde"},
      {"length field cut", std::string("\xFF\x01\x00", 3)},
      {"name longer than 63", block(0x01, name64)},
      {"address longer than 63", block(0x03, name64)},
      {"access value longer than 4", block(0x02, "12345")},
      {"callback larger than 256", block(0xFD, std::string(257, '\x01'), 2)},
      {"callback sub-block past its block", block(0xFD, std::string("\x01\x09", 2) + "abc", 2)},
      {"callback name longer than 63", block(0xFD, block(0x01, name64), 2)},
      {"callback access value longer than 4", block(0xFD, block(0x02, "123456"), 2)},
      {"shorter than a header", ""},
  };
  for (const auto &c : cases) {
    ccm_msg_t *m;
    ccm_error_t err{};
    EXPECT_EQ(-1, Classify(c.body.empty() ? "0000004" : frame(c.body), &m, &err)) << c.what;
    EXPECT_EQ(2002036, err.msgnr) << c.what;
    EXPECT_NE(nullptr, strstr(err.msginsert, "invalid frame")) << c.what;
    Free(m);
  }
}

TEST_F(ReadTest, ManyFramesInOneReadAndARemainder) {
  std::string f3 = frame(block(0x04, "three"));
  ASSERT_EQ(0, Feed(frame(block(0x04, "one")) + frame(block(0xFE, "two", 2)) + f3.substr(0, 5)));
  EXPECT_EQ(2, count_recvq(ctx.ccm));
  EXPECT_EQ('P', read_byte(ctx.ccm->processor_wakeup[0]));  // the receiver is woken
  EXPECT_EQ(5, ch->recv_pos);
  EXPECT_EQ(0, memcmp(ch->recv_buffer, f3.data(), 5));

  ASSERT_EQ(0, Feed(f3.substr(5)));
  EXPECT_EQ(0, ch->recv_pos);
  for (const char *want : {"one", "two", "three"}) {
    ccm_msg_t *m = receive(ctx.ccm);
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(want, msg_data(m));
    EXPECT_EQ(ch->ID, m->addr.src_ID);
    Free(m);
  }
}

TEST_F(ReadTest, FramesSplitAtEveryBytePosition) {
  const std::string data[] = {"first", pattern(40), "x"};
  std::string stream = frame(block(0x04, data[0])) + frame(block(0xFF, data[1], 4)) + frame(block(0x07, data[2]));
  for (size_t cut = 1; cut < stream.size(); ++cut) {
    ASSERT_EQ(0, Feed(stream.substr(0, cut))) << cut;
    ASSERT_EQ(0, Feed(stream.substr(cut))) << cut;
    ASSERT_EQ(3, count_recvq(ctx.ccm)) << cut;
    for (const auto &want : data) {
      ccm_msg_t *m = receive(ctx.ccm);
      EXPECT_EQ(want, msg_data(m)) << cut;
      Free(m);
    }
    EXPECT_EQ(0, ch->recv_pos);
  }
}

// The receive buffer grows with the bytes that arrive, each time to at most
// twice its size and never beyond the frame at its start; a frame longer than
// a normal message goes into its own message and leaves the buffer as it was.
TEST_F(ReadTest, BufferGrowsWithTheArrivedFrameNotWithItsHeader) {
  struct Case {
    int frame_len, buffer_size;
  } cases[] = {{151, 8192}, {12000, 12000}, {20000, 20000}, {32768, 32768}, {32769, 8192}, {200000, 8192}};
  for (const auto &c : cases) {
    int sv[2];
    socket_pair(sv);
    ccm_channel_t *own = ctx.Channel(sv[0], 0, "*IPC(GROW)");
    const std::string data = pattern((size_t)c.frame_len - 48 - 5, (unsigned)c.frame_len);
    std::thread writer([&] { write_all(sv[1], frame(block(0xFF, data, 4))); });
    ccm_error_t err{};
    while (count_recvq(ctx.ccm) == 0 && wait_readable(own->s)) ASSERT_EQ(0, ccm_read_channel(ctx.ccm, own, &err));
    writer.join();
    EXPECT_EQ(c.buffer_size, own->recv_size) << c.frame_len;
    ccm_msg_t *m = receive(ctx.ccm);
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(data, msg_data(m)) << c.frame_len;
    Free(m);
    close(sv[1]);
  }
}

TEST_F(ReadTest, BadFrameLengthDeletesTheChannel) {
  for (const char *bad : {"00000047", "garbage!", "-0000100", "        "}) {
    ccm_flag_clear(ch->flag, CCM_CHF_DELETED);
    ch->recv_pos = 0;
    EXPECT_EQ(-1, Feed(std::string(bad, 8) + std::string(40, 'x'))) << bad;
    EXPECT_TRUE(ccm_flag_test(ch->flag, CCM_CHF_DELETED)) << bad;
    EXPECT_EQ(2002036, ch->msgnr) << bad;
    EXPECT_EQ(0, count_recvq(ctx.ccm)) << bad;
  }
  // Frames before an invalid one are delivered; the reason names the fault.
  ch->recv_pos = 0;
  EXPECT_EQ(-1, Feed(frame(block(0x04, "ok")) + frame(block(0x05, "bad"))));
  EXPECT_EQ(1, count_recvq(ctx.ccm));
  EXPECT_NE(nullptr, strstr(ch->msginsert, "invalid key 0x05")) << ch->msginsert;
}

TEST_F(ReadTest, AllocationFailuresKeepTheChannelAndDeliverEachFrameOnce) {
  std::string f[4];
  for (int i = 0; i < 4; ++i) f[i] = frame(block(0x04, std::to_string(i)));
  write_all(peer, f[0] + f[1] + f[2]);
  ASSERT_TRUE(wait_readable(ch->s));
  ccm_error_t err{};
  ccm_alloc_fail_at(1);  // the receive buffer
  EXPECT_EQ(-1, ccm_read_channel(ctx.ccm, ch, &err));
  EXPECT_EQ(3301, err.msgnr);
  EXPECT_EQ(0, strncmp(err.msginsert, "RECVBUFF/src/_ccm/ccm(", 22));

  ccm_alloc_fail_at(3);  // buffer, first message, then the second message fails
  EXPECT_EQ(-1, ccm_read_channel(ctx.ccm, ch, &err));
  ccm_alloc_fail_at(0);
  EXPECT_FALSE(ccm_flag_test(ch->flag, CCM_CHF_DELETED));
  EXPECT_EQ(1, count_recvq(ctx.ccm));
  EXPECT_EQ((int)(f[1].size() + f[2].size()), ch->recv_pos);

  ASSERT_EQ(0, Feed(f[3]));
  for (int i = 0; i < 4; ++i) {
    ccm_msg_t *m = receive(ctx.ccm);
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(std::to_string(i), msg_data(m));
    Free(m);
  }
  EXPECT_EQ(0, count_recvq(ctx.ccm));
}

TEST_F(ReadTest, NothingToReadKeepsTheChannelAndCloseDeletesIt) {
  ccm_error_t err{};
  EXPECT_EQ(0, ccm_read_channel(ctx.ccm, ch, &err));
  EXPECT_FALSE(ccm_flag_test(ch->flag, CCM_CHF_DELETED));
  close(peer);
  peer = -1;
  ASSERT_TRUE(wait_readable(ch->s));
  EXPECT_EQ(-1, ccm_read_channel(ctx.ccm, ch, &err));
  EXPECT_TRUE(ccm_flag_test(ch->flag, CCM_CHF_DELETED));
  EXPECT_EQ(0, ch->msgnr);  // an orderly close is no error
}

}  // namespace
