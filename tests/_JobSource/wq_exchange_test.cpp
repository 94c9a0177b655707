// The agent exchange in process, against a peer made of plain sockets.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <future>
#include <string>

#include "_ccm/ccm_io_testing.h"
#include "ccm.h"
#include "wq_exchange.h"
#include "wq_jpmd.h"
#include "zudnst.h"

namespace {

// One-connection peer: accepts, sends `greeting`, optionally answers the
// first frame, and collects everything until the messenger closes.
class Peer {
 public:
  Peer() { ls_ = ccmtest::loopback_socket(&port_, true); }
  ~Peer() { close(ls_); }
  int port() const { return port_; }

  std::future<std::string> serve(std::string greeting, bool answer) {
    return std::async(std::launch::async, [this, greeting, answer] {
      std::string got;
      if (!ready(ls_)) return got;
      int s = accept(ls_, nullptr, nullptr);
      if (s < 0) return got;
      send(s, greeting.data(), greeting.size(), MSG_NOSIGNAL);
      char buf[4096];
      bool answered = false;
      while (ready(s)) {
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, (size_t)n);
        if (answer && !answered && got.size() >= 48 && got.size() >= (size_t)atoi(got.substr(0, 8).c_str())) {
          std::string a = ccmtest::frame(ccmtest::block(0x04, "ok"));
          send(s, a.data(), a.size(), MSG_NOSIGNAL);
          answered = true;
        }
      }
      close(s);
      return got;
    });
  }

 private:
  static bool ready(int fd) {
    struct pollfd p {fd, POLLIN, 0};
    return poll(&p, 1, 60000) == 1;
  }
  int ls_ = -1;
  int port_ = 0;
};

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    memset(&ctx_, 0, sizeof ctx_);
    ctx_.running_mode = 3;
    ctx_.status = 'R';
    ctx_.melder_type = 'U';
    ctx_.connect_retry = 1;
    ctx_.connect_wait = 0;
    ctx_.IoTimeOut = 30;
    StringCopy(ctx_.ipAddr, sizeof ctx_.ipAddr, "127.0.0.1");
  }
  void TearDown() override { wq_send_msg_alloc = ccm_msg_alloc; }
  PCX ctx_;
};

TEST_F(ExchangeTest, ReportSentAfterGreetingAndAnswerAwaited) {
  Peer peer;
  ASSERT_GT(peer.port(), 0);
  ctx_.portnri = peer.port();
  ctx_.melder_type = 'E';
  ctx_.status = 'E';
  ctx_.reti = 300;
  auto got = peer.serve(ccmtest::frame(ccmtest::block(0x04, "hello")), true);
  EXPECT_EQ(agent_exchange(&ctx_), 300);
  EXPECT_GT(ctx_.agentID, 0);
  EXPECT_EQ(ctx_.abnormal_end, 0);
  EXPECT_EQ(ccm, nullptr);
  std::string f = got.get();
  ASSERT_EQ(f.size(), 339u);
  EXPECT_EQ(f.substr(48, 10), std::string("\x01\x08JPAKTJ_R", 10));
  EXPECT_EQ(f[63 + 24], 'E');
}

TEST_F(ExchangeTest, NoAttemptAtAllWithoutRetries) {
  ctx_.connect_retry = 0;
  ctx_.melder_type = 'E';
  ctx_.reti = 7;
  EXPECT_EQ(agent_exchange(&ctx_), 7);
  EXPECT_EQ(ctx_.agentID, 0);
  EXPECT_EQ(ctx_.abnormal_end, 0);
  ctx_.melder_type = 'e';  // only 'E' carries the return code
  EXPECT_EQ(agent_exchange(&ctx_), 0);
}

TEST_F(ExchangeTest, UnresolvableAddressFailsEveryAttempt) {
  StringCopy(ctx_.ipAddr, sizeof ctx_.ipAddr, "no-such-host.invalid");
  ctx_.connect_retry = 2;
  ctx_.portnri = 1;
  EXPECT_EQ(agent_exchange(&ctx_), 0);
  EXPECT_EQ(ccmID, -1);
  EXPECT_EQ(ctx_.agentID, 0);
  EXPECT_EQ(ctx_.abnormal_end, 0);
}

TEST_F(ExchangeTest, NoMessageBufferEndsAbnormallyWithoutReport) {
  Peer peer;
  ctx_.portnri = peer.port();
  wq_send_msg_alloc = [](ccm_context_t *, ccm_error_t *) -> ccm_msg_t * { return nullptr; };
  auto got = peer.serve(ccmtest::frame(ccmtest::block(0x04, "g")), true);
  EXPECT_EQ(agent_exchange(&ctx_), 0);
  EXPECT_EQ(ctx_.abnormal_end, 1);
  EXPECT_GT(ctx_.agentID, 0);
  EXPECT_EQ(got.get(), "");  // the connection closed without any frame
}

TEST_F(ExchangeTest, OutputReportWithoutFileSendsNothing) {
  Peer peer;
  ctx_.portnri = peer.port();
  ctx_.melder_type = 'O';
  ctx_.IoTimeOut = 3;  // the answer wait runs out: no report, no answer
  auto got = peer.serve(ccmtest::frame(ccmtest::block(0x04, "g")), true);
  EXPECT_EQ(agent_exchange(&ctx_), 0);
  EXPECT_EQ(ctx_.abnormal_end, 0);
  EXPECT_EQ(got.get(), "");
}

}  // namespace
