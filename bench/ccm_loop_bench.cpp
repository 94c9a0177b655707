// Channel manager end to end over loopback TCP: NAT messages of 276 payload
// bytes (339-byte frames) from one context to another, streamed and bounced,
// and the receive time of large frames. Each context has its own network
// thread, as in a real pair of processes.
//
// The plain blocking-socket baseline of the same traffic is
// bench/baseline/frame_loop.c; scripts/bench.sh runs both and compares.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ccm.h"
#include "ipcmsg.h"
#include "messenger_pcx.h"

namespace {

constexpr int kPayload = 276;  // the job report body
constexpr int kWaitSeconds = 30;

using Clock = std::chrono::steady_clock;

// One opened context with its network thread; stopped and closed in the
// documented order.
class Ctx {
 public:
  Ctx() {
    pcx_.running_mode = 3;
    ccm_error_t e{};
    if (ccm_open(&pcx_, &ccm, &e) != 0) ccm = nullptr;
  }
  bool start() {
    ccm_error_t e{};
    running_ = ccm && ccm_thread_start(ccm, &e) == 0;
    return running_;
  }
  ~Ctx() {
    if (!ccm) return;
    if (running_) {
      ccm_thread_stop(ccm);
      pthread_join(ccm->thread, nullptr);
    }
    ccm_channel_closeall(ccm);
    ccm_close(ccm, nullptr);
  }
  // Next message of the receive queue, or null after the deadline.
  ccm_msg_t *receive() {
    auto end = Clock::now() + std::chrono::seconds(kWaitSeconds);
    ccm_error_t e{};
    while (Clock::now() < end) {
      ccm_msg_t *m = nullptr;
      int rc = ccm_receive_message(ccm, 1, &m, &e);
      if (rc < 0) return nullptr;
      if (rc == 1) return m;
    }
    return nullptr;
  }
  // Waits for the accept notice of a new connection; its channel ID or 0.
  int accepted() {
    for (ccm_msg_t *m; (m = receive());) {
      bool acc = m->type == CCM_MSG_IPC && m->len >= (int)sizeof(ipcmsg_channel_accept_t) &&
                 memcmp(m->msg_start, "CHANNEL_ACCEPT", 14) == 0;
      int id = 0;
      if (acc) memcpy(&id, m->msg_start + offsetof(ipcmsg_channel_accept_t, ID), sizeof id);
      ccm_msg_free(ccm, m);
      if (acc) return id;
    }
    return 0;
  }
  // Listens on a free loopback port; the port or 0.
  int listen() {
    ccm_error_t e{};
    if (ccm_create_listen(ccm, "127.0.0.1", 0, 64, &e) != 0) return 0;
    ccm_channel_t *ch = ccm_channel_getbyName(ccm, "*LISTEN");
    if (!ch) return 0;
    int s = ch->s;
    ccm_channel_unlock(ccm);
    struct sockaddr_in sa {};
    socklen_t sl = sizeof sa;
    if (getsockname(s, (struct sockaddr *)&sa, &sl) != 0) return 0;
    return ntohs(sa.sin_port);
  }
  // Sends `n` payload bytes as a NAT message to "JPAKTJ_R" on channel `id`.
  bool send(int id, const unsigned char *payload, int n) {
    ccm_error_t e{};
    ccm_msg_t *m = ccm_msg_alloc(ccm, &e);
    if (!m) return false;
    memcpy(m->msg_start, payload, (size_t)n);
    m->len = n;
    m->type = CCM_MSG_NAT;
    ccm_setaddr(m, id, 0, "", "JPAKTJ_R", 0);
    if (send_NAT_message(ccm, m) == 0) return true;
    ccm_msg_free(ccm, m);  // a refused message stays with the sender
    return false;
  }

  ccm_context_t *ccm = nullptr;

 private:
  PCX pcx_{};
  bool running_ = false;
};

// Context `a` listens, context `b` connects to it.
struct Pair {
  Ctx a, b;
  int a_id = 0;  // a's channel to b
  int b_id = 0;  // b's channel to a
  bool ok = false;
  Pair() {
    int port = a.listen();
    if (!port || !a.start() || !b.start()) return;
    ccm_error_t e{};
    b_id = ccm_connect(b.ccm, "127.0.0.1", port, 5, nullptr, 60, &e);
    a_id = a.accepted();
    ok = b_id > 0 && a_id > 0;
  }
};

std::vector<unsigned char> payload() {
  std::vector<unsigned char> p(kPayload);
  for (int i = 0; i < kPayload; ++i) p[i] = (unsigned char)(i * 7);
  return p;
}

// Messages per second, one way: a sender thread streams NAT messages from b
// to a as fast as the send route takes them, the benchmark thread receives
// them, as the baseline's writer and reader threads do. The channel's
// send-queue limit is the only flow control: a send to a full channel waits
// until the network thread has written it below half the limit. The counter
// send_peak_bytes is the most message memory the sender's channel held.
void BM_NatStream(benchmark::State &state) {
  Pair p;
  if (!p.ok) {
    state.SkipWithError("no connection");
    return;
  }
  const auto body = payload();
  const int batch = (int)state.range(0);
  std::atomic<bool> stop{false};
  std::atomic<bool> done{false};
  std::atomic<bool> send_failed{false};
  std::thread sender([&] {
    while (!stop.load()) {
      if (!p.b.send(p.b_id, body.data(), kPayload)) {
        send_failed = true;
        break;
      }
    }
    done = true;
  });
  // The sender may be waiting for room: the receiver goes on taking
  // messages until it has seen the stop.
  auto end_sender = [&] {
    stop = true;
    while (!done.load()) {
      ccm_msg_t *m = nullptr;
      ccm_error_t e{};
      if (ccm_receive_message(p.a.ccm, 1, &m, &e) == 1) ccm_msg_free(p.a.ccm, m);
    }
    sender.join();
  };
  for (auto _ : state) {
    for (int i = 0; i < batch; ++i) {
      ccm_msg_t *m = send_failed ? nullptr : p.a.receive();
      if (!m || m->type != CCM_MSG_NAT || m->len != kPayload) {
        ccm_msg_free(p.a.ccm, m);
        end_sender();
        state.SkipWithError("message lost or changed");
        return;
      }
      ccm_msg_free(p.a.ccm, m);
    }
  }
  end_sender();
  state.SetItemsProcessed(state.iterations() * batch);
  state.SetBytesProcessed(state.iterations() * batch * (kPayload + 63));
  state.counters["send_peak_bytes"] = (double)ccm_get_sendq_peak(p.b.ccm);
}
BENCHMARK(BM_NatStream)->Arg(1000)->UseRealTime()->Unit(benchmark::kMillisecond);

// Round trips: b sends, a's own thread answers with the same payload, b
// receives. Percentiles of the round trip in microseconds as counters.
void BM_NatPingPong(benchmark::State &state) {
  Pair p;
  if (!p.ok) {
    state.SkipWithError("no connection");
    return;
  }
  std::atomic<bool> stop{false};
  std::thread echo([&] {
    ccm_error_t e{};
    while (!stop.load()) {
      ccm_msg_t *m = nullptr;
      if (ccm_receive_message(p.a.ccm, 1, &m, &e) != 1) continue;
      if (m->type == CCM_MSG_NAT) p.a.send(m->addr.src_ID, m->msg_start, m->len);
      ccm_msg_free(p.a.ccm, m);
    }
  });
  const auto body = payload();
  std::vector<double> rtt;
  rtt.reserve(100000);
  for (auto _ : state) {
    auto t0 = Clock::now();
    ccm_msg_t *m = p.b.send(p.b_id, body.data(), kPayload) ? p.b.receive() : nullptr;
    if (!m || m->len != kPayload) {
      state.SkipWithError("round trip failed");
      break;
    }
    ccm_msg_free(p.b.ccm, m);
    rtt.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  stop = true;
  echo.join();
  if (rtt.empty()) return;
  std::sort(rtt.begin(), rtt.end());
  auto pct = [&](double q) { return rtt[std::min(rtt.size() - 1, (size_t)(q * (double)rtt.size()))]; };
  state.counters["p50_us"] = pct(0.50);
  state.counters["p90_us"] = pct(0.90);
  state.counters["p99_us"] = pct(0.99);
  state.counters["p999_us"] = pct(0.999);
}
BENCHMARK(BM_NatPingPong)->Iterations(20000)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Writes all of `f` to a blocking socket.
void write_all(int s, const std::string &f) {
  for (size_t off = 0; off < f.size();) {
    ssize_t n = write(s, f.data() + off, f.size() - off);
    if (n <= 0) return;
    off += (size_t)n;
  }
}

// Receive time of one NAT frame of range(0) MiB, written by a plain blocking
// socket into a listening context: from the first byte written until the
// message is in the caller's hands.
void BM_LargeFrame(benchmark::State &state) {
  Ctx a;
  int port = a.listen();
  if (!port || !a.start()) {
    state.SkipWithError("no context");
    return;
  }
  int s = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in sa {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons((uint16_t)port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, (struct sockaddr *)&sa, sizeof sa) != 0 || a.accepted() == 0) {
    state.SkipWithError("no connection");
    close(s);
    return;
  }
  const uint32_t n = (uint32_t)state.range(0) << 20;
  std::string f(48 + 5 + (size_t)n, 'x');
  char h[64];
  snprintf(h, sizeof h, "%.8uWQ8:global001NAT%8s%16s", (unsigned)f.size(), "", "");
  memcpy(&f[0], h, 48);
  f[48] = (char)0xFF;
  for (int i = 0; i < 4; ++i) f[49 + i] = (char)((n >> (8 * i)) & 0xFF);

  // One frame, from the first byte written until it is in the caller's hands.
  auto receive_one = [&] {
    std::thread w([&] { write_all(s, f); });
    ccm_msg_t *m = a.receive();
    w.join();
    bool ok = m && (uint32_t)m->len == n;
    ccm_msg_free(a.ccm, m);
    return ok;
  };
  // The channel's first large frame also grows its receive buffer, once in
  // the channel's life; the timed frames are those of a channel in use.
  if (!receive_one()) state.SkipWithError("frame lost or changed");
  for (auto _ : state) {
    if (!receive_one()) {
      state.SkipWithError("frame lost or changed");
      break;
    }
  }
  close(s);
  state.SetBytesProcessed(state.iterations() * (int64_t)f.size());
}
// Seven single receives per size; the table takes their median, as it does
// for the baseline's runs (one slow receive should not decide the growth).
BENCHMARK(BM_LargeFrame)
    ->Arg(1)
    ->Arg(8)
    ->Arg(64)
    ->Iterations(1)
    ->Repetitions(7)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
