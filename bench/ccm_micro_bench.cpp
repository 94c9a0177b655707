// Micro-benchmarks of the channel manager's message work, without a network
// thread: allocation and recycling of messages, NAT framing of a report,
// classification of a frame, and the read path (receive, cut, classify,
// queue) over a local socket pair, in bytes per second.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "ccm.h"
#include "messenger_pcx.h"

namespace {

constexpr int kPayload = 276;

// An opened context with its wake-up pipes and no thread.
struct Ctx {
  PCX pcx{};
  ccm_context_t *ccm = nullptr;
  Ctx() {
    pcx.running_mode = 3;
    ccm_error_t e{};
    ccm_open(&pcx, &ccm, &e);
    ccm_create_wakeup_pipes(ccm, &e);
  }
  ~Ctx() {
    ccm_channel_closeall(ccm);
    ccm_close(ccm, nullptr);
  }
  // Empties the receive queue; the last call, on the empty queue, also takes
  // the wake-up that announced it.
  void drain() {
    for (ccm_msg_t *m; ccm_receive_message(ccm, 0, &m, nullptr) == 1;) ccm_msg_free(ccm, m);
  }
};

// The 339-byte NAT frame of a report: header, name block, length block,
// payload.
std::string report_frame() {
  std::string body;
  body += '\x01';
  body += '\x08';
  body += "JPAKTJ_R";
  body += '\xFF';
  unsigned char l[4] = {(unsigned char)(kPayload & 0xFF), (unsigned char)(kPayload >> 8), 0, 0};
  body.append((const char *)l, 4);
  for (int i = 0; i < kPayload; ++i) body += (char)(i * 7);
  char h[64];
  snprintf(h, sizeof h, "%.8dWQ8:global001NAT%8s%16s", (int)body.size() + 48, "", "");
  return std::string(h, 48) + body;
}

// A normal message taken from and given back to the free list.
void BM_MsgAllocFree(benchmark::State &state) {
  Ctx c;
  ccm_error_t e{};
  for (auto _ : state) {
    ccm_msg_t *m = ccm_msg_alloc(c.ccm, &e);
    benchmark::DoNotOptimize(m);
    ccm_msg_free(c.ccm, m);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MsgAllocFree);

// A huge message: always a fresh heap block, released on free.
void BM_MsgAllocFreeHuge(benchmark::State &state) {
  Ctx c;
  ccm_error_t e{};
  for (auto _ : state) {
    ccm_msg_t *m = ccm_msg_alloc_huge(c.ccm, (int32_t)state.range(0), &e);
    benchmark::DoNotOptimize(m);
    ccm_msg_free(c.ccm, m);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MsgAllocFreeHuge)->Arg(65536)->Arg(1 << 20);

// Routing blocks and protocol header around a 276-byte payload, as
// send_NAT_message builds them (the payload is not copied).
void BM_NatFraming(benchmark::State &state) {
  Ctx c;
  ccm_error_t e{};
  ccm_msg_t *m = ccm_msg_alloc(c.ccm, &e);
  memset(m->buffer1 + 256, 'x', kPayload);
  for (auto _ : state) {
    m->msg_start = m->buffer1 + 256;
    m->len = kPayload;
    ccm_setaddr(m, 1, 0, "", "JPAKTJ_R", 0);
    cmm_msg_write_sr_data(m);
    m->msg_start -= 48;
    m->len += 48;
    ccm_msg_set_protocol_header(m, "NAT");
    benchmark::DoNotOptimize(m->msg_start);
  }
  ccm_msg_free(c.ccm, m);
  state.SetBytesProcessed(state.iterations() * (kPayload + 63));
}
BENCHMARK(BM_NatFraming);

// Classification of one received report frame already in a message.
void BM_Classify(benchmark::State &state) {
  Ctx c;
  ccm_error_t e{};
  const std::string f = report_frame();
  ccm_msg_t *m = ccm_msg_alloc(c.ccm, &e);
  for (auto _ : state) {
    memcpy(m->buffer1, f.data(), f.size());
    m->msg_start = m->buffer1;
    m->len = (int32_t)f.size();
    if (ccm_classify_message(c.ccm, nullptr, m, &e) != 0 || m->len != kPayload) {
      state.SkipWithError("classification failed");
      break;
    }
  }
  ccm_msg_free(c.ccm, m);
  state.SetBytesProcessed(state.iterations() * (int64_t)f.size());
}
BENCHMARK(BM_Classify);

// The read path: range(0) report frames written to a socket pair at once are
// received, cut, classified and queued by ccm_read_channel.
void BM_ReadCutClassify(benchmark::State &state) {
  Ctx c;
  int sv[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
  fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
  int big = 1 << 20;
  setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  ccm_error_t e{};
  ccm_channel_t *ch = nullptr;
  ccm_channel_new_entry(c.ccm, &ch, &e);
  ch->s = sv[0];
  ccm_channel_chain(c.ccm, ch);

  const int frames = (int)state.range(0);
  std::string batch;
  for (int i = 0; i < frames; ++i) batch += report_frame();
  for (auto _ : state) {
    state.PauseTiming();
    if (write(sv[1], batch.data(), batch.size()) != (ssize_t)batch.size()) {
      state.SkipWithError("short write");
      break;
    }
    state.ResumeTiming();
    // Until the socket is empty and no piece of a frame is left buffered.
    bool failed = false;
    for (;;) {
      if (ccm_read_channel(c.ccm, ch, &e) != 0) {
        failed = true;
        break;
      }
      char probe;
      if (ch->recv_pos == 0 && recv(sv[0], &probe, 1, MSG_PEEK | MSG_DONTWAIT) <= 0) break;
    }
    if (failed) {
      state.SkipWithError("read failed");
      break;
    }
    state.PauseTiming();
    c.drain();
    state.ResumeTiming();
  }
  close(sv[1]);
  state.SetBytesProcessed(state.iterations() * (int64_t)batch.size());
}
BENCHMARK(BM_ReadCutClassify)->Arg(64);

}  // namespace

BENCHMARK_MAIN();
