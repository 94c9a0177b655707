// An echo client on the channel manager: it sends COUNT NAT messages
// (default 1000) of changing length to an echo server on 127.0.0.1 and checks
// that every one comes back once, intact and in order. At most kWindow
// messages are on their way at a time.
//
//   echo_client PORT [COUNT]
#include <ccm/ccm.h>
#include <ccm/ipcmsg.h>
#include <pthread.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static ccm_program_head_t program = {{'E', 'C', 'H', 'O', 'C', 'L', 'N', 'T'}, CCM_MODE_NONE, nullptr};
static constexpr uint32_t kWindow = 16;

static bool is_notice(const ccm_msg_t *m, const char *type) {  // as in echo_server.cpp
  char name[sizeof(ipcmsg_header_t)] = {};
  memcpy(name, type, strlen(type));
  return m->type == CCM_MSG_IPC && m->addr.src_ID == 0 && m->len >= (int)sizeof name &&
         memcmp(m->msg_start, name, sizeof name) == 0;
}

// Payload number `seq`: every tenth one the longest a normal message takes,
// the others up to 6 KB; the number in its first 4 bytes, then bytes that
// depend on both.
static int32_t payload_len(uint32_t seq) { return seq % 10 == 9 ? kCcmNatPayloadMax : 4 + seq * 7919 % 6000; }
static unsigned char payload_byte(uint32_t seq, int32_t i) { return (unsigned char)(seq * 131 + i); }

static int send_one(ccm_context_t *ccm, int channel, uint32_t seq) {
  ccm_error_t err{};
  ccm_msg_t *m = ccm_msg_alloc(ccm, &err);
  if (!m) return -1;
  m->len = payload_len(seq);  // the payload goes at msg_start
  memcpy(m->msg_start, &seq, 4);
  for (int32_t i = 4; i < m->len; ++i) m->msg_start[i] = payload_byte(seq, i);
  ccm_setaddr(m, channel, 0, "", "ECHO", 0);  // by channel ID, to the function "ECHO"
  const int rc = send_NAT_message(ccm, m);
  if (rc == 0) return 0;  // queued: the channel manager's now
  ccm_msg_free(ccm, m);   // not sent: still ours
  if ((rc == CCM_SEND_TIMEDOUT || rc == CCM_SEND_CLOSED) && ccm_get_send_error(&err) != 0)
    fprintf(stderr, "echo_client: send: %d %s\n", err.msgnr, err.msginsert);
  return -1;
}

static bool intact(const ccm_msg_t *m, uint32_t seq) {
  uint32_t got = 0;
  if (m->len != payload_len(seq) || (memcpy(&got, m->msg_start, 4), got) != seq) return false;
  for (int32_t i = 4; i < m->len; ++i)
    if (m->msg_start[i] != payload_byte(seq, i)) return false;
  return true;
}

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: echo_client PORT [COUNT]\n");
    return 2;
  }
  const int port = atoi(argv[1]);
  const uint32_t count = argc > 2 ? (uint32_t)atol(argv[2]) : 1000;
  ccm_context_t *ccm = nullptr;
  ccm_error_t err{};
  if (ccm_open(&program, &ccm, &err) != 0 || ccm_thread_start(ccm, &err) != 0) {
    fprintf(stderr, "echo_client: %d %s\n", err.msgnr, err.msginsert);
    return 1;
  }
  program.ccm = ccm;
  // The connection is made in the background; what is sent meanwhile waits.
  const int channel = ccm_connect(ccm, "127.0.0.1", port, CCM_CH_SERVER, nullptr, 10, &err);
  const char *problem = channel < 0 ? "connect failed" : nullptr;

  uint32_t sent = 0, echoed = 0;
  bool closed = channel < 0;
  while (!closed) {
    while (!problem && sent < count && sent - echoed < kWindow)
      if (send_one(ccm, channel, sent++) != 0) problem = "send failed";
    if (problem) ccm_channel_deletebyID(ccm, channel);  // its close notice ends the loop
    ccm_msg_t *m = nullptr;
    const int got = ccm_receive_message(ccm, 10, &m, &err);
    if (got < 0) break;
    if (got == 0) continue;
    if (m->type == CCM_MSG_NAT && m->addr.src_ID == channel && !problem) {
      if (echoed == count || !intact(m, echoed))
        problem = "an echo came back wrong, twice or out of order";
      else if (++echoed == count)
        ccm_channel_deletebyID(ccm, channel);  // all back: close the connection
    } else if (is_notice(m, "CHANNEL_CLOSE")) {
      ipcmsg_channel_close_t rec;  // a copy of the channel as it was closed
      memcpy(&rec, m->msg_start, sizeof rec);
      closed = rec.ccmch.ID == channel;
      if (closed && echoed < count) {
        // msgnr 2002036 with "111(Connection refused)" when no server listens.
        fprintf(stderr, "echo_client: connection closed: %d %s\n", rec.ccmch.msgnr, rec.ccmch.msginsert);
        if (!problem) problem = "connection lost";
      }
    }
    ccm_msg_free(ccm, m);
  }

  ccm_thread_stop(ccm);
  pthread_join(ccm->thread, nullptr);
  ccm_channel_closeall(ccm);
  ccm_close(ccm, &err);
  if (problem || !closed) {
    fprintf(stderr, "echo_client: %s after %u of %u echoes\n", problem ? problem : "receive failed", echoed, count);
    return 1;
  }
  printf("echo_client: %u messages echoed once, intact and in order\n", echoed);
  return 0;
}
