// Wake-ups between the user's thread and the network thread, as callers rely
// on them: no wake-up is lost (every message arrives once and in order), no
// wait outlasts its deadline while a message is queued, and no stale
// wake-up cuts a wait short. Wake-ups may coalesce, so nothing here counts
// bytes or passes.

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <thread>

#include "_ccm/ccm_io_testing.h"

using namespace ccmtest;

namespace {

#if defined(__SANITIZE_THREAD__)
#define WQ_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define WQ_UNDER_TSAN 1
#endif
#endif

// Messages of the no-lost-wake-up test; ThreadSanitizer runs far slower.
#ifdef WQ_UNDER_TSAN
constexpr int kMessages = 100000;
#else
constexpr int kMessages = 1000000;
#endif

using Clock = std::chrono::steady_clock;

pid_t this_tid() { return (pid_t)syscall(SYS_gettid); }

// Waits (bounded) until thread `tid` of this process sleeps in the kernel.
// Only makes a race more likely; no result depends on it.
void wait_until_blocked(pid_t tid) {
  auto end = Clock::now() + std::chrono::milliseconds(kDeadlineMs);
  char path[64];
  snprintf(path, sizeof path, "/proc/self/task/%d/stat", (int)tid);
  while (Clock::now() < end) {
    std::ifstream f(path);
    std::string stat;
    std::getline(f, stat);
    size_t p = stat.rfind(')');
    if (p != std::string::npos && p + 2 < stat.size() && stat[p + 2] == 'S') return;
    std::this_thread::yield();
  }
}

// Puts a message into the receive queue by the internal route, which wakes
// the receiver as the read path does.
void Deliver(Context &ctx, const std::string &data) { send_IPC_internal(ctx.ccm, ctx.Msg(data)); }

// Select passes on a thread of their own, as ccm_thread_run runs them, but
// with a time-out of an hour instead of 10 seconds: a lost network wake-up
// leaves its message unserved past any deadline of the test.
class NetworkPasses {
 public:
  explicit NetworkPasses(ccm_context_t *ccm) : ccm_(ccm) {
    ccm_loop_set(ccm, 1);
    thread_ = std::thread([this] {
      while (ccm_flag_get(ccm_->loop)) {
        ccm_error_t err{};
        ccm_network_select(ccm_, 3600, &err);
        if (ccm_flag_test(ccm_->flag, CCM_CTXF_DELETED)) ccm_destroy_deleted_channels(ccm_);
      }
    });
  }
  ~NetworkPasses() {
    ccm_thread_stop(ccm_);
    // Past the pending flag: ends the last pass even after a failure that
    // left the flag set.
    ssize_t rc = write(ccm_->network_wakeup[1], "N", 1);
    (void)rc;
    thread_.join();
  }

 private:
  ccm_context_t *ccm_;
  std::thread thread_;
};

// The user's thread sends numbered messages through a channel pair of the
// context; the network thread writes each into one end, reads it from the
// other and queues it for the user. Every message wakes the network thread
// on its way there and the user on its way back, with between 1 and 32
// messages in flight, so that wake-ups meet both alone and in bursts.
TEST(Wakeup, NoWakeupIsLost) {
  Context ctx;
  ctx.Pipes();
  ccm_channel_t *a = nullptr;
  ccm_channel_t *b = nullptr;
  ccm_error_t err{};
  ASSERT_EQ(0, ccm_channel_create_pair(ctx.ccm, &a, &b, &err));
  const int to = a->ID;
  const int from = b->ID;
  NetworkPasses net(ctx.ccm);

  auto text = [](int n) { return std::to_string(n); };
  int sent = 0;
  int window = 1;
  for (int got = 0; got < kMessages; ++got) {
    for (; sent < kMessages && sent - got < window; ++sent) {
      ccm_msg_t *m = ctx.Msg(block(0x04, text(sent)));
      m->addr.dst_ID = to;
      ASSERT_EQ(0, send_native_message(ctx.ccm, m));
    }
    // A lost wake-up on either side leaves this wait without its message.
    ccm_msg_t *m = nullptr;
    ASSERT_EQ(1, ccm_receive_message(ctx.ccm, kDeadlineMs / 1000, &m, &err)) << "message " << got << " lost";
    EXPECT_EQ(from, m->addr.src_ID);
    bool in_order = msg_data(m) == text(got);
    ccm_msg_free(ctx.ccm, m);
    ASSERT_TRUE(in_order) << "message " << got << " out of order or twice";
    if (got % 997 == 0) window = window * 5 % 32 + 1;
  }
  EXPECT_EQ(0, count_recvq(ctx.ccm));
}

// A receiver waiting up to an hour must get a message delivered while it
// waits, whatever wake-up state it started from.
TEST(Wakeup, NoWaitOutlastsItsDeadlineWhileAMessageIsQueued) {
  const struct {
    const char *what;
    std::function<void(Context &)> before;
  } cases[] = {
      {"nothing pending", [](Context &) {}},
      {"the wake-up of a message taken without waiting",
       [](Context &ctx) {
         Deliver(ctx, "old");
         ccm_msg_t *m = receive(ctx.ccm);
         ASSERT_NE(nullptr, m);
         ccm_msg_free(ctx.ccm, m);
       }},
      // A waker between its flag and its byte: the byte comes, but the
      // receiver must not count on it for a message queued after its look.
      {"a wake-up whose byte is not written yet", [](Context &ctx) { ctx.ccm->processor_wakeup_pending.store(1); }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Context ctx;
    ctx.Pipes();
    c.before(ctx);
    std::atomic<pid_t> tid{0};
    ccm_msg_t *m = nullptr;
    std::promise<int> result;
    std::thread receiver([&] {
      tid = this_tid();
      ccm_error_t err{};
      result.set_value(ccm_receive_message(ctx.ccm, 3600, &m, &err));
    });
    while (tid.load() == 0) std::this_thread::yield();
    wait_until_blocked(tid.load());
    Deliver(ctx, "new");
    auto done = result.get_future();
    bool in_time = done.wait_for(std::chrono::milliseconds(kDeadlineMs)) == std::future_status::ready;
    EXPECT_TRUE(in_time) << "the message was queued, the receiver slept on";
    if (!in_time) {
      ssize_t rc = write(ctx.ccm->processor_wakeup[1], "P", 1);  // let it go
      (void)rc;
    }
    receiver.join();
    EXPECT_EQ(1, done.get());
    ASSERT_NE(nullptr, m);
    EXPECT_EQ("new", msg_data(m));
    ccm_msg_free(ctx.ccm, m);
  }
}

// With nothing queued, a wait ends at its deadline and not before, whatever
// wake-up bytes are left over from messages already taken: before the call,
// or arriving while it waits.
TEST(Wakeup, StaleWakeupNeverCutsAWaitShort) {
  const struct {
    const char *what;
    std::function<void(Context &)> before;
    bool byte_during_wait;
  } cases[] = {
      {"byte of a message taken without waiting",
       [](Context &ctx) {
         Deliver(ctx, "taken");
         ccm_msg_t *m = receive(ctx.ccm);
         ASSERT_NE(nullptr, m);
         ccm_msg_free(ctx.ccm, m);
       },
       false},
      {"byte written late for a message already taken",
       [](Context &ctx) { ASSERT_EQ(1, write(ctx.ccm->processor_wakeup[1], "P", 1)); }, false},
      {"byte arriving during the wait", [](Context &) {}, true},
  };
  constexpr int kSeconds = 1;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Context ctx;
    ctx.Pipes();
    c.before(ctx);
    std::thread late;
    if (c.byte_during_wait) {
      pid_t me = this_tid();
      late = std::thread([&ctx, me] {
        wait_until_blocked(me);
        ssize_t rc = write(ctx.ccm->processor_wakeup[1], "P", 1);
        (void)rc;
      });
    }
    ccm_msg_t *m = nullptr;
    ccm_error_t err{};
    auto t0 = Clock::now();
    EXPECT_EQ(0, ccm_receive_message(ctx.ccm, kSeconds, &m, &err));
    auto waited = Clock::now() - t0;
    if (late.joinable()) late.join();
    EXPECT_EQ(nullptr, m);
    EXPECT_GE(waited, std::chrono::seconds(kSeconds));
  }
}

}  // namespace
