// The IPC dispatcher and the logger that sends "LOGGING" records.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ccm.h"
#include "ipcmsg.h"
#include "wq_trace.h"

namespace {

std::vector<std::pair<int, std::string>> g_logged;
int capture(int msgnr, const char *insert) {
  g_logged.emplace_back(msgnr, insert ? insert : "");
  return 0;
}

class IpcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    memset(&ctx_, 0, sizeof ctx_);
    ccm_error_t err{};
    ASSERT_EQ(ccm_open(&ctx_, &ccm_, &err), 0);
    ASSERT_EQ(ccm_create_wakeup_pipes(ccm_, &err), 0);
    g_logged.clear();
    __log_set_logger(capture);
  }
  void TearDown() override {
    __log_set_logger(messenger_logger);
    ccm_error_t err{};
    ccm_close(ccm_, &err);
  }

  ccm_msg_t *record(const std::string &bytes) {
    ccm_error_t err{};
    ccm_msg_t *m = ccm_msg_alloc(ccm_, &err);
    memcpy(m->msg_start, bytes.data(), bytes.size());
    m->len = (int32_t)bytes.size();
    m->type = CCM_MSG_IPC;
    strcpy(m->addr.src_name, "SRC");
    return m;
  }

  ccm_program_head_t ctx_;
  ccm_context_t *ccm_ = nullptr;
};

TEST_F(IpcTest, DispatchByTheWholeTypeName) {
  ccm_msg_t *m = record(std::string("CHANNEL_CLOSE\0\0\0", 16) + std::string(64, '\0'));
  EXPECT_EQ(process_IPC_message(&ctx_, ccm_, m), 0);
  EXPECT_TRUE(g_logged.empty());
  ccm_msg_free(ccm_, m);

  m = record(std::string("CHANNEL_ACCEPT\0\0", 16) + std::string(4, '\0'));
  EXPECT_EQ(process_IPC_message(&ctx_, ccm_, m), -1);
  ASSERT_EQ(g_logged.size(), 2u);
  EXPECT_EQ(g_logged[0], std::make_pair(-1, std::string("IPC message (CHANNEL_ACCEPT) is not known")));
  EXPECT_EQ(g_logged[1], std::make_pair(2000033, std::string("SRC|")));
  ccm_msg_free(ccm_, m);

  // Same first 13 characters, a non-zero byte behind them: not recognised.
  g_logged.clear();
  m = record(std::string("CHANNEL_CLOSEX\0\0", 16));
  EXPECT_EQ(process_IPC_message(&ctx_, ccm_, m), -1);
  EXPECT_EQ(g_logged.size(), 2u);
  ccm_msg_free(ccm_, m);

  // A record shorter than a type name, and no message at all.
  m = record("CHAN");
  EXPECT_EQ(process_IPC_message(&ctx_, ccm_, m), -1);
  ccm_msg_free(ccm_, m);
  EXPECT_EQ(process_IPC_message(&ctx_, ccm_, nullptr), -1);

  g_logged.clear();
  m = record(std::string("PASSFD\0\0\0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ(process_ipc_not_implemented(&ctx_, m), -1);
  ASSERT_FALSE(g_logged.empty());
  EXPECT_EQ(g_logged[0].second, "IPC message (PASSFD) is not implemented");
  ccm_msg_free(ccm_, m);
}

TEST_F(IpcTest, LoggerSendsTheFirst1024CharactersToTheAgent) {
  ctx_.ccm = ccm_;
  ccm_msg_t *m = record(std::string("CHANNEL_CLOSE\0\0\0", 16));
  process_IPC_message(&ctx_, ccm_, m);  // registers the process context
  ccm_msg_free(ccm_, m);

  std::string insert(2000, 'i');
  EXPECT_EQ(ipc_logger(4711, insert.c_str()), 0);
  ccm_msg_t *sent = ccm_->sendq.head;
  ASSERT_NE(sent, nullptr);
  ASSERT_EQ(sent->len, 1092);
  EXPECT_EQ(sent->type, CCM_MSG_IPC);
  EXPECT_STREQ(sent->addr.dst_addr, "*IPC(AGENT)");
  ipcmsg_logging_t rec;
  memcpy(&rec, sent->msg_start + 48, sizeof rec);
  EXPECT_EQ(std::string(rec.head.msgtype, 16), std::string("LOGGING\0\0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ(rec.msgnr, 4711);
  EXPECT_EQ(std::string(rec.msginsert, 1024), insert.substr(0, 1024));
  ccm_->sendq.head = ccm_->sendq.tail = nullptr;
  ccm_msg_free(ccm_, sent);

  // Without a channel manager in the kept context nothing is sent.
  ctx_.ccm = nullptr;
  EXPECT_EQ(ipc_logger(1, "x"), 0);
  EXPECT_EQ(ccm_->sendq.head, nullptr);
}

}  // namespace
