// An echo server on the channel manager: it listens on 127.0.0.1, sends every
// NAT message it receives back to the channel it came from, and stops once
// CLIENTS connections have closed (0, the default: never).
//
//   echo_server [PORT [CLIENTS]]      PORT 0 (the default) takes a free port
#include <ccm/ccm.h>
#include <ccm/ipcmsg.h>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

// The program's own context: the channel manager reads its head until
// ccm_close, so it lives as long as the program.
static ccm_program_head_t program = {{'E', 'C', 'H', 'O', 'S', 'R', 'V', ' '}, CCM_MODE_NONE, nullptr};

static int fail(const char *what, const ccm_error_t &err) {
  fprintf(stderr, "echo_server: %s: %d %s\n", what, err.msgnr, err.msginsert);
  return 1;
}

// Whether `m` is the network thread's notice `type`: an IPC record that came
// from no channel (a record read from a peer carries its channel's ID).
static bool is_notice(const ccm_msg_t *m, const char *type) {
  char name[sizeof(ipcmsg_header_t)] = {};
  memcpy(name, type, strlen(type));
  return m->type == CCM_MSG_IPC && m->addr.src_ID == 0 && m->len >= (int)sizeof name &&
         memcmp(m->msg_start, name, sizeof name) == 0;
}

// Sends the payload of `in` back to its sender in a message of its own; `in`
// stays the caller's. 0, or -1 when nothing was sent.
static int echo(ccm_context_t *ccm, const ccm_msg_t *in) {
  ccm_error_t err{};
  if (in->len > kCcmNatPayloadMax) return -1;  // a normal message holds no more
  ccm_msg_t *out = ccm_msg_alloc(ccm, &err);
  if (!out) return -1;
  memcpy(out->msg_start, in->msg_start, (size_t)in->len);
  out->len = in->len;
  ccm_setaddr_reply(out, in);  // to the channel (source ID) the message came from
  if (send_NAT_message(ccm, out) == 0) return 0;  // the channel manager's now
  ccm_msg_free(ccm, out);  // not sent (the client left, or stopped reading): still ours
  return -1;
}

int main(int argc, char **argv) {
  const int port = argc > 1 ? atoi(argv[1]) : 0, clients = argc > 2 ? atoi(argv[2]) : 0;
  ccm_context_t *ccm = nullptr;
  ccm_error_t err{};
  if (ccm_open(&program, &ccm, &err) != 0) return fail("open", err);
  program.ccm = ccm;
  if (ccm_create_listen(ccm, "127.0.0.1", port, 16, &err) != 0) return fail("listen", err);
  printf("echo_server: listening on port %d\n", ccm_listen_port(ccm, "*LISTEN"));
  fflush(stdout);
  if (ccm_thread_start(ccm, &err) != 0) return fail("start", err);

  long echoed = 0, accepted = 0, closed = 0;
  while (clients == 0 || closed < clients) {
    ccm_msg_t *in = nullptr;
    const int got = ccm_receive_message(ccm, 10, &in, &err);
    if (got < 0) return fail("receive", err);
    if (got == 0) continue;  // nothing within 10 seconds
    if (in->type == CCM_MSG_NAT)
      echoed += echo(ccm, in) == 0;
    else if (is_notice(in, "CHANNEL_ACCEPT"))
      ++accepted;
    else if (is_notice(in, "CHANNEL_CLOSE"))
      ++closed;
    ccm_msg_free(ccm, in);  // every received message is ours to free
  }

  // What is still queued for clients that are connected goes out first.
  size_t remaining = 0;
  if (ccm_flush(ccm, 0, 10000, &remaining, &err) != 0)
    fprintf(stderr, "echo_server: %zu bytes not written: %d %s\n", remaining, err.msgnr, err.msginsert);
  ccm_thread_stop(ccm);
  pthread_join(ccm->thread, nullptr);
  ccm_channel_closeall(ccm);
  ccm_close(ccm, &err);
  printf("echo_server: echoed %ld messages for %ld clients\n", echoed, accepted);
  return 0;
}
