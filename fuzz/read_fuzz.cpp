// Fuzz target: the read path of one channel. Arbitrary bytes arrive in
// arbitrary pieces through a socket pair and ccm_read_channel cuts, classifies
// and unpacks them (every key block, the callback block, IPC and GSS frames,
// invalid lengths, a peer that closes). Every delivered message and the
// channel are freed after each run, so a leak shows at once.
//
// The receive queue has room for one message, so that frames also wait in
// the buffer for room (the harness takes them after every read).
//
// Input: byte 0 chooses the run's shape, byte 1 seeds the piece sizes, the
// rest is the stream. Shape bits:
//   0x01  the stream is one frame body: a protocol header of the right
//         length is put in front of it (protocol by bits 0x06: NAT, IPC, GSS,
//         or an unknown one), so that the fuzzer reaches the key blocks at
//         once;
//   0x08  the peer closes after the last piece;
//   0x10  the channel has a name of its own (no local address is asked for);
//   0x20  one allocation of the channel manager fails (which one by byte 1);
//   0xC0  largest piece: 1, 7, 64 or 4096 bytes.
// Byte 1 also gives the channel type (its value mod 8) and switches the trace
// on when its value mod 16 is 15.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "ccm.h"
#include "ccm_alloc.h"
#include "messenger_pcx.h"
#include "wq_trace.h"

namespace {

int quiet_logger(int, const char *) { return 0; }

PCX fuzz_pcx;
ccm_context_t *ccm = nullptr;

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

bool readable(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

void open_context() {
  ccm_error_t err{};
  fuzz_pcx.running_mode = 3;
  if (ccm_open(&fuzz_pcx, &ccm, &err) != 0 || ccm_create_wakeup_pipes(ccm, &err) != 0) __builtin_trap();
  set_nonblocking(ccm->processor_wakeup[0]);
  // Room for one message in the receive queue, so that every run also goes
  // through frames waiting for room; frames above 1 MiB are refused, those
  // above a normal message go into their own.
  ccm_set_recvq_limit(ccm, 1);
  ccm_set_max_frame(ccm, 1 << 20);
  __log_set_logger(quiet_logger);
  if (!freopen("/dev/null", "w", stdout)) __builtin_trap();  // trace lines
}

// Takes and frees every message of the context's receive queue, each of
// which must lie within its message; the wake-up bytes go too.
void drain() {
  for (;;) {
    ccm_msg_t *m = nullptr;
    ccm_error_t err{};
    if (ccm_receive_message(ccm, 0, &m, &err) != 1) break;
    if (m->len < 0 || m->msg_start < m->buffer || m->msg_start + m->len > m->buffer + 2 * (size_t)m->size)
      __builtin_trap();
    ccm_msg_free(ccm, m);
  }
  char buf[256];
  while (read(ccm->processor_wakeup[0], buf, sizeof buf) > 0) {
  }
}

std::string with_header(const uint8_t *body, size_t n, unsigned which) {
  static const char *const protocols[] = {"NAT", "IPC", "GSS", "XQZ"};
  char h[64];
  snprintf(h, sizeof h, "%.8d%s%s%.3s%8s%16s", (int)(n + 48), "WQ8:global", "001", protocols[which & 3], "", "");
  std::string s(h, 48);
  s.append((const char *)body, n);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (!ccm) open_context();
  if (size < 2) return 0;
  const unsigned shape = data[0];
  unsigned seed = data[1];
  std::string stream = (shape & 0x01) ? with_header(data + 2, size - 2, shape >> 1)
                                      : std::string((const char *)data + 2, size - 2);

  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) __builtin_trap();
  set_nonblocking(sv[0]);
  int bufsize = 1 << 20;
  setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &bufsize, sizeof bufsize);

  ccm_channel_t *ch = nullptr;
  ccm_error_t err{};
  if (ccm_channel_new_entry(ccm, &ch, &err) != 0) __builtin_trap();
  ch->s = sv[0];
  ch->type = (int)(seed % 8);
  if (shape & 0x10) snprintf(ch->name, sizeof ch->name, "*IPC(FUZZ)");
  if (shape & 0x20) ccm_alloc_fail_at(1 + (int)(seed % 4));
  trcFlag.store(seed % 16 == 15 ? 1 : 0);  // the trace lines and dumps of the path

  static const size_t largest[] = {1, 7, 64, 4096};
  const size_t maxpiece = largest[shape >> 6];
  int rc = 0;
  size_t off = 0;
  while (rc == 0 && off < stream.size()) {
    seed = seed * 1103515245u + 12345u;
    size_t n = 1 + (seed >> 8) % maxpiece;
    if (n > stream.size() - off) n = stream.size() - off;
    if (write(sv[1], stream.data() + off, n) != (ssize_t)n) __builtin_trap();
    off += n;
    while (rc == 0 && (readable(sv[0]) || ch->recv_held)) {
      rc = ccm_read_channel(ccm, ch, &err);
      drain();
    }
  }
  if (rc == 0 && (shape & 0x08)) {
    close(sv[1]);
    sv[1] = -1;
    while (rc == 0 && (readable(sv[0]) || ch->recv_held)) {
      rc = ccm_read_channel(ccm, ch, &err);
      drain();
    }
  }
  ccm_alloc_fail_at(0);
  trcFlag.store(0);
  drain();
  if (ccm->msgq_inuse.head) __builtin_trap();  // a message neither delivered nor freed
  ccm_channel_destroy(ccm, ch, &err);           // closes sv[0], posts its close notice
  drain();
  if (sv[1] >= 0) close(sv[1]);
  return 0;
}
