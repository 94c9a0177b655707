// The agent peer's server; see agent_server.h.
//
// Everything runs through the channel manager: the listening channel, the
// accept and close notices in the receive queue, the native route for the
// greeting and the answer. The main thread only waits on the receive queue,
// one second at a time, so that a stop request is seen promptly.
#include "agent_server.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>

#include <cstddef>
#include <cstring>
#include <set>
#include <string>

#include "agent_report.h"
#include "ccm.h"
#include "ipcmsg.h"
#include "wq_trace.h"

namespace {

volatile sig_atomic_t g_stop = 0;

// The program context handed to the channel manager: an agent.
ccm_program_head_t agent_pcx;

// Once the requested reports are in, the server waits this long for the
// messengers to close their connections, so that every answer is out.
constexpr int kDrainSeconds = 5;

// Connections the kernel holds for the agent until they are accepted. Jobs
// that end together start their messengers together; a short queue drops
// connects of such a burst whenever the network thread is busy, and each
// dropped messenger then waits its whole TIMEOUT for a greeting. The kernel
// caps the value at net.core.somaxconn.
constexpr int kListenBacklog = 4096;

// Key of the data block of the greeting and of the answer.
constexpr unsigned char kNativeDataKey = 4;

constexpr unsigned char kGreeting[] = "JPAGENT";
constexpr unsigned char kAnswer[] = "ACK";

// Width of the type name at the start of an internal record.
constexpr size_t kIpcTypeWidth = sizeof(ipcmsg_header_t::msgtype);

// Whether the record begins with the type name `name`, zero-padded.
bool ipc_type_is(const ccm_msg_t *m, const char *name) {
  char want[kIpcTypeWidth] = {};
  memcpy(want, name, strnlen(name, sizeof want));
  return m->len >= (int32_t)kIpcTypeWidth && memcmp(m->msg_start, want, kIpcTypeWidth) == 0;
}

// Reads a host-order int at `off` of the record when it lies inside it.
bool ipc_int(const ccm_msg_t *m, size_t off, int *v) {
  if (m->len < 0 || off + sizeof(int) > (size_t)m->len) return false;
  memcpy(v, m->msg_start + off, sizeof(int));
  return true;
}

class AgentServer {
 public:
  AgentServer(const AgentOptions &opt, FILE *out, FILE *err) : opt_(opt), out_(out), err_(err) {}

  int run() {
    trcFlag.store(opt_.trace);
    agent_pcx.running_mode = 0;
    ccm_error_t e{};
    if (ccm_open(&agent_pcx, &ccm_, &e) < 0) return fail("cannot open the channel manager", e);
    // Whatever clients send, the agent holds at most the queue limit of
    // received messages (plus one) and, per connection, one frame of at
    // most max_frame bytes, of which only the bytes that arrived.
    ccm_set_recvq_limit(ccm_, (size_t)opt_.queue_limit);
    ccm_set_max_frame(ccm_, (int32_t)opt_.max_frame);
    int status = serve(e);
    shutdown();
    return status;
  }

 private:
  int serve(ccm_error_t &e) {
    if (ccm_create_listen(ccm_, opt_.listen.c_str(), opt_.port, kListenBacklog, &e) < 0) return fail("cannot listen", e);
    int port = bound_port();
    if (port <= 0) return fail("cannot learn the bound port", e);
    if (!opt_.port_file.empty() && !write_port_file(port)) {
      fprintf(err_, "wq_jpagent: cannot write %s\n", opt_.port_file.c_str());
      return 1;
    }
    if (ccm_thread_start(ccm_, &e) < 0) return fail("cannot start the network thread", e);
    running_ = true;
    fprintf(out_, "wq_jpagent: listening on %s port %d\n", opt_.listen.c_str(), port);
    fflush(out_);

    time_t drain_until = 0;
    while (!g_stop) {
      if (opt_.count > 0 && reports_ >= opt_.count) {
        if (drain_until == 0) drain_until = time(nullptr) + kDrainSeconds;
        if (answered_.empty() || time(nullptr) >= drain_until) break;
      }
      close_idle_connections();
      ccm_msg_t *m = nullptr;
      int r = ccm_receive_message(ccm_, 1, &m, &e);
      if (r < 0) return fail("waiting for messages failed", e);
      if (r == 0 || !m) continue;
      handle(m);
      ccm_msg_free(ccm_, m);
    }
    fprintf(out_, "wq_jpagent: stopped after %ld reports\n", reports_);
    fprintf(out_, "wq_jpagent: receive queue peak %zu bytes, limit %ld\n", ccm_get_recvq_peak(ccm_),
            opt_.queue_limit);
    fflush(out_);
    return 0;
  }

  void shutdown() {
    if (!ccm_) return;
    if (running_) {
      ccm_thread_stop(ccm_);
      pthread_join(ccm_->thread, nullptr);
    }
    ccm_channel_closeall(ccm_);
    ccm_error_t e{};
    ccm_close(ccm_, &e);
    ccm_ = nullptr;
  }

  int fail(const char *what, const ccm_error_t &e) {
    char insert[sizeof e.msginsert + 1];
    memcpy(insert, e.msginsert, sizeof e.msginsert);
    insert[sizeof e.msginsert] = '\0';
    fprintf(err_, "wq_jpagent: %s (%d %s)\n", what, e.msgnr, insert);
    fflush(err_);
    return 1;
  }

  // Port of the listening channel, asked from its socket.
  int bound_port() {
    ccm_channel_t *ch = ccm_channel_getbyName(ccm_, "*LISTEN");
    if (!ch) return -1;
    int s = ch->s;
    ccm_channel_unlock(ccm_);
    struct sockaddr_storage sa {};
    socklen_t sl = sizeof sa;
    if (getsockname(s, (struct sockaddr *)&sa, &sl) != 0) return -1;
    if (sa.ss_family == AF_INET) return ntohs(((struct sockaddr_in *)&sa)->sin_port);
    if (sa.ss_family == AF_INET6) return ntohs(((struct sockaddr_in6 *)&sa)->sin6_port);
    return -1;
  }

  // Written under another name and renamed, so a reader never sees half.
  bool write_port_file(int port) {
    std::string tmp = opt_.port_file + ".tmp";
    FILE *f = fopen(tmp.c_str(), "w");
    if (!f) return false;
    bool ok = fprintf(f, "%d\n", port) > 0;
    ok = (fclose(f) == 0) && ok;
    return ok && rename(tmp.c_str(), opt_.port_file.c_str()) == 0;
  }

  // Closes the connections that have sent nothing for --idle seconds: a
  // client that announces a long frame and then stays silent, or never says
  // anything, holds its buffer and descriptor only that long. Silence is
  // judged by what the channel received, not by what this thread has taken
  // so far: a client whose frames wait in the channel manager (the receive
  // queue at its limit, a slow standard output) did speak. Once a second.
  void close_idle_connections() {
    const time_t now = time(nullptr);
    if (opt_.idle <= 0 || now == idle_checked_) return;
    idle_checked_ = now;
    ccm_channel_delete_idle(ccm_, opt_.idle);
  }

  void handle(ccm_msg_t *m) {
    if (m->type == CCM_MSG_IPC) {
      int id = 0;
      if (ipc_type_is(m, "CHANNEL_ACCEPT") && ipc_int(m, offsetof(ipcmsg_channel_accept_t, ID), &id)) {
        on_accept(id);
      } else if (ipc_type_is(m, "CHANNEL_CLOSE") &&
                 ipc_int(m, offsetof(ipcmsg_channel_close_t, ccmch) + offsetof(ccm_channel_t, ID), &id)) {
        answered_.erase(id);
      }
      return;
    }
    if (m->type == CCM_MSG_NAT) on_nat(m);
    // Native frames of a messenger carry nothing for the agent.
  }

  void on_accept(int id) {
    if (opt_.close_at_once) {
      ccm_channel_deletebyID(ccm_, id);
      ccm_wakeup_network(ccm_);  // the network thread closes it in its next pass
      return;
    }
    if (opt_.silent) return;
    send_block(id, (unsigned char)opt_.greet_key, kGreeting, sizeof kGreeting - 1);
  }

  void on_nat(ccm_msg_t *m) {
    int channel = m->addr.src_ID;
    char function[sizeof m->addr.dst_name + 1];
    memcpy(function, m->addr.dst_name, sizeof m->addr.dst_name);
    function[sizeof m->addr.dst_name] = '\0';
    if (strcmp(function, kAgentReportFunction) == 0) {
      AgentReport r = decode_report(m->msg_start, m->len);
      std::string line = opt_.json ? format_report_json(r, channel) : format_report_text(r, channel);
      fprintf(out_, "%s\n", line.c_str());
      ++reports_;
    } else if (opt_.json) {
      fprintf(out_, "{\"channel\":%d,\"function\":\"%s\",\"len\":%d}\n", channel,
              escape_report_field(function, ReportForm::Json).c_str(), m->len);
    } else {
      fprintf(out_, "message channel=%d function=\"%s\" len=%d\n", channel,
              escape_report_field(function, ReportForm::Text).c_str(), m->len);
    }
    fflush(out_);
    if (opt_.silent || opt_.no_answer) return;
    // One exchange per connection: a client that sends more reports and
    // never reads gets no pile of answers queued for it.
    if (answered_.count(channel)) return;
    if (send_block(channel, kNativeDataKey, kAnswer, sizeof kAnswer - 1)) answered_.insert(channel);
  }

  // Sends one native frame made of one data block with a 1-byte length. The
  // library writes key 0x04 blocks; other keys (a greeting that must be
  // refused, for tests) are written here in the same form.
  bool send_block(int channel, unsigned char key, const unsigned char *data, int n) {
    ccm_error_t e{};
    ccm_msg_t *m = ccm_msg_alloc(ccm_, &e);
    if (!m) return false;
    if (key == kNativeDataKey) {
      ccm_msg_write_native_data(m, kNativeDataKey, data, n);
    } else {
      m->msg_start[0] = key;
      m->msg_start[1] = (unsigned char)n;
      memcpy(m->msg_start + 2, data, (size_t)n);
      m->len = n + 2;
    }
    ccm_setaddr(m, channel, 0, "", "", 0);
    const int rc = send_native_message(ccm_, m);
    // A channel that has closed (or stays full) does not take the frame,
    // which is then still ours.
    if (rc == CCM_SEND_TIMEDOUT || rc == CCM_SEND_CLOSED) ccm_msg_free(ccm_, m);
    return rc == 0;
  }

  const AgentOptions &opt_;
  FILE *out_;
  FILE *err_;
  ccm_context_t *ccm_ = nullptr;
  bool running_ = false;
  long reports_ = 0;
  std::set<int> answered_;  // channels answered and not closed yet
  time_t idle_checked_ = 0;  // when idle connections were last looked for
};

}  // namespace

void agent_request_stop() { g_stop = 1; }

int run_agent(const AgentOptions &opt, FILE *out, FILE *err) {
  g_stop = 0;
  AgentServer server(opt, out, err);
  return server.run();
}
