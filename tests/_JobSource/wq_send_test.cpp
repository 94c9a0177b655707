// The job messages: every record at its body offsets, gaps included, framed
// as the NAT message "JPAKTJ_R" on the context's send queue.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>

#include "ccm.h"
#include "wq_exchange.h"
#include "wq_jpmd.h"
#include "zudnst.h"

namespace {

constexpr int kFront = 48 + 10 + 5;  // header, name block, 0xFF length block

class SendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ccm_error_t err{};
    memset(&ctx_, 0, sizeof ctx_);
    ctx_.running_mode = 3;
    ctx_.agentID = 7;
    ctx_.status = 'R';
    ctx_.output_login = 'N';
    ASSERT_EQ(ccm_open(&ctx_, &ccm, &err), 0);
    ASSERT_EQ(ccm_create_wakeup_pipes(ccm, &err), 0);
  }
  void TearDown() override {
    ccm_error_t err{};
    ccm_close(ccm, &err);
    ccm = nullptr;
    wq_send_msg_alloc = ccm_msg_alloc;
  }

  // The one queued message: checks its frame and returns the MELD body.
  std::string take_body() {
    ccm_msg_t *m = ccm->sendq.head;
    EXPECT_NE(m, nullptr);
    if (!m) return {};
    EXPECT_EQ(m->nxt, nullptr);
    EXPECT_EQ(m->type, CCM_MSG_NAT);
    EXPECT_EQ(m->addr.dst_ID, 7);
    std::string f((const char *)m->msg_start, (size_t)m->len);
    char len8[9];
    snprintf(len8, sizeof len8, "%.8d", m->len);
    EXPECT_EQ(f.substr(0, 8), len8);
    EXPECT_EQ(f.substr(21, 3), "NAT");
    EXPECT_EQ(f.substr(48, 10), std::string("\x01\x08JPAKTJ_R", 10));
    EXPECT_EQ((unsigned char)f[58], 0xFF);
    uint32_t body_len = wq_get_u32((const unsigned char *)f.data() + 59);
    EXPECT_EQ(body_len + kFront, (uint32_t)m->len);
    ccm->sendq.head = nullptr;
    ccm->sendq.tail = nullptr;
    std::string body = f.substr(kFront);
    ccm_msg_free(ccm, m);
    return body;
  }

  static uint32_t le32(const std::string &b, size_t off) { return wq_get_u32((const unsigned char *)b.data() + off); }
  static uint16_t le16(const std::string &b, size_t off) { return wq_get_u16((const unsigned char *)b.data() + off); }

  // Version fields at the body offset of md_version, with the gaps around.
  static void expect_version(const std::string &b, size_t v) {
    EXPECT_EQ(b.substr(v, 32), "12.2.0+build.2108               ");
    EXPECT_EQ(b[v + 32], '\0');  // alignment gap
    EXPECT_EQ(le16(b, v + 33), 12);
    EXPECT_EQ(le16(b, v + 35), 2);
    EXPECT_EQ(le16(b, v + 37), 0);
    EXPECT_EQ(b.substr(v + 39, 2), "  ");
    EXPECT_EQ(b.substr(v + 41, 2), std::string(2, '\0'));
  }

  // Time stamp at `t` and its seconds at `s` describe the same UTC moment.
  static void expect_time(const std::string &b, size_t t, size_t s) {
    time_t secs = (time_t)wq_get_u64((const unsigned char *)b.data() + s);
    struct tm u {};
    gmtime_r(&secs, &u);
    EXPECT_EQ(le16(b, t), u.tm_year + 1900);
    EXPECT_EQ(le16(b, t + 2), u.tm_mon + 1);
    EXPECT_EQ(le16(b, t + 4), u.tm_mday);
    EXPECT_EQ(le16(b, t + 10), u.tm_sec);
    EXPECT_EQ(le32(b, t + 12), 0u);
    EXPECT_LE(labs((long)(secs - time(nullptr))), 600L);
  }

  PCX ctx_;
};

TEST_F(SendTest, JobStatusRecordAtItsOffsets) {
  ctx_.jobnri = 0x01020304;
  ctx_.reti = 300;
  ctx_.client = 0x0102;
  ctx_.status = 'E';
  StringCopy(ctx_.info_text, sizeof ctx_.info_text, "0123456789012345678901234567890123456789");
  ASSERT_EQ(SendJpMd(&ctx_), 0);
  std::string b = take_body();
  ASSERT_EQ(b.size(), 276u);
  EXPECT_EQ(b.substr(0, 10), "MELD    03");
  EXPECT_EQ(le16(b, 10), 0x0102);
  EXPECT_EQ(le32(b, 12), 0u);
  EXPECT_EQ(le32(b, 16), 0u);
  EXPECT_EQ(std::string(b.data() + 20, 4), std::string("\x04\x03\x02\x01", 4));
  EXPECT_EQ(b[24], 'E');
  EXPECT_EQ(b.substr(25, 32), std::string("0123456789012345678901234567890") + '\0');
  expect_version(b, 57);
  EXPECT_EQ(le32(b, 100), 300u);
  EXPECT_EQ(le32(b, 104), 0u);
  expect_time(b, 108, 124);
  EXPECT_EQ(le32(b, 132), (uint32_t)getpid());
  EXPECT_EQ(le32(b, 136), (uint32_t)getppid());
  EXPECT_EQ(le32(b, 140), (uint32_t)getpgrp());
  EXPECT_EQ(le32(b, 144), 0u);
  EXPECT_EQ(le32(b, 148), (uint32_t)getsid(0));
  EXPECT_EQ(b.substr(152), std::string(276 - 152, '\0'));
}

TEST_F(SendTest, JobStatusWithoutTextIsTerminatorAndBlanks) {
  ASSERT_EQ(SendJpMd(&ctx_), 0);
  std::string b = take_body();
  ASSERT_EQ(b.size(), 276u);
  EXPECT_EQ(b[24], 'R');
  EXPECT_EQ(b.substr(25, 32), '\0' + std::string(31, ' '));
}

TEST_F(SendTest, OutputFileRecordCarriesTheFirst183Characters) {
  EXPECT_EQ(SendOutputViewMsg(&ctx_), -1);  // no file: nothing sent
  EXPECT_EQ(ccm->sendq.head, nullptr);

  std::string name;
  for (int i = 0; i < 200; ++i) name += (char)('a' + i % 26);
  StringCopy(ctx_.output_file, sizeof ctx_.output_file, name.c_str());
  ctx_.output_login = 'Y';
  ctx_.jobnri = 5;
  ASSERT_EQ(SendOutputViewMsg(&ctx_), 0);
  std::string b = take_body();
  ASSERT_EQ(b.size(), 276u);
  EXPECT_EQ(le32(b, 20), 5u);
  EXPECT_EQ(b[24], 'O');
  expect_version(b, 25);
  expect_time(b, 68, 84);
  EXPECT_EQ(b[92], 'Y');
  EXPECT_EQ(b.substr(93), name.substr(0, 183));
}

TEST_F(SendTest, VariableMessageWithAndWithoutRecord) {
  // A recycled buffer full of old bytes must not leak into the message.
  ccm_error_t err{};
  ccm_msg_t *dirty = ccm_msg_alloc(ccm, &err);
  ASSERT_NE(dirty, nullptr);
  memset(dirty->buffer1, 0xAA, 2 * (size_t)dirty->size);
  ccm_msg_free(ccm, dirty);

  ASSERT_EQ(SendRegVariableMsg(&ctx_), 0);
  std::string b = take_body();
  ASSERT_EQ(b.size(), 296u);
  EXPECT_EQ(b[24], 'V');
  EXPECT_EQ(b.substr(25, 32), std::string(32, ' '));
  expect_version(b, 57);
  expect_time(b, 100, 116);
  EXPECT_EQ(le32(b, 124), 0u);
  EXPECT_EQ(le32(b, 128), 0u);
  EXPECT_EQ(b.substr(132), std::string(296 - 132, '\0'));

  dirty = ccm_msg_alloc(ccm, &err);
  memset(dirty->buffer1, 0xAA, 2 * (size_t)dirty->size);
  ccm_msg_free(ccm, dirty);
  StringCopy(ctx_.var_name, sizeof ctx_.var_name, "x");
  StringCopy(ctx_.var_value, sizeof ctx_.var_value, "y");
  ctx_.var_type = 'S';
  ASSERT_EQ(SendRegVariableMsg(&ctx_), 0);
  b = take_body();
  ASSERT_EQ(b.size(), 1521u);
  EXPECT_EQ(le32(b, 124), 112u);
  EXPECT_EQ(le32(b, 128), 1225u);
  EXPECT_EQ(b[132], 'x');
  EXPECT_EQ(b.substr(133, 199), std::string(199, '\0'));
  EXPECT_EQ(b[332], 'y');
  EXPECT_EQ(b.substr(333, 1023), std::string(1023, '\0'));
  EXPECT_EQ(b[1356], 'S');
  EXPECT_EQ(b.substr(1357), std::string(1521 - 1357, '\0'));
}

TEST_F(SendTest, LongVariableTextsAreCutWithinTheirFields) {
  std::string n(250, 'n'), v(1100, 'v');
  StringCopy(ctx_.var_name, sizeof ctx_.var_name, n.c_str());
  StringCopy(ctx_.var_value, sizeof ctx_.var_value, v.c_str());
  ASSERT_EQ(SendRegVariableMsg(&ctx_), 0);
  std::string b = take_body();
  ASSERT_EQ(b.size(), 1521u);
  EXPECT_EQ(b.substr(132, 200), std::string(199, 'n') + '\0');
  EXPECT_EQ(b.substr(332, 1024), std::string(1023, 'v') + '\0');
}

TEST_F(SendTest, NoMessageBufferSendsNothing) {
  wq_send_msg_alloc = [](ccm_context_t *, ccm_error_t *) -> ccm_msg_t * { return nullptr; };
  StringCopy(ctx_.output_file, sizeof ctx_.output_file, "/tmp/f");
  EXPECT_EQ(SendJpMd(&ctx_), kSendNoBuffer);
  EXPECT_EQ(SendOutputViewMsg(&ctx_), kSendNoBuffer);
  EXPECT_EQ(SendRegVariableMsg(&ctx_), kSendNoBuffer);
  EXPECT_EQ(ccm->sendq.head, nullptr);
}

}  // namespace
