// The channel manager: one context with a table of channels, one network
// thread that owns every socket, wake-up pipes between the user's thread and
// the network thread, per-channel send queues and a global receive queue.
//
// Calling order: ccm_open, ccm_thread_start, channel and message work,
// ccm_thread_stop + pthread_join(ccm->thread), ccm_channel_closeall,
// ccm_close.
//
// Locks: the context's channel_lock guards the channel lists and the channel
// ID counter; the context's queue_lock guards the message queues, the free
// count and the message ID counter; each channel's queue_lock guards its own
// queues. channel_lock may be held while a queue lock is taken, never the
// other way round; the two kinds of queue lock are never held together. A
// successful lookup returns with channel_lock held. The context's
// send_wait_lock, under which waiting senders and flushes sleep, is a leaf:
// taken last, with or without the others, and nothing is taken under it.
//
// Failures return -1 (or NULL) and fill the caller's ccm_error_t (a null
// record is allowed: the failure is then only returned); no exception leaves
// this interface.
//
// Threads: a function whose comment says "Network thread" runs only on the
// network thread; every other function may be called from any thread, the
// locks above guarding what it shares.
#pragma once

#include <pthread.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "ccm_queue.h"
#include "wq_log.h"  // __log_set_logger: the channel manager's log messages

typedef void *gss_ctx_id_t;
typedef void *gss_cred_id_t;
typedef pthread_mutex_t ccm_lock_t;

// Flag words shared by the user's thread and the network thread are plain
// ints in the records (the records are copied byte for byte into notices);
// every access goes through these atomic helpers.
inline int ccm_flag_get(const int &w) { return std::atomic_ref<int>(const_cast<int &>(w)).load(); }
inline bool ccm_flag_test(const int &w, int bits) { return (ccm_flag_get(w) & bits) != 0; }
inline void ccm_flag_set(int &w, int bits) { std::atomic_ref<int>(w).fetch_or(bits); }
inline void ccm_flag_clear(int &w, int bits) { std::atomic_ref<int>(w).fetch_and(~bits); }

// ---- the calling program's context ---------------------------------------------
// ccm_open is given the calling program's context and keeps it in the channel
// manager context (`program`). The library reads only the head of it: the
// running mode (which names the network thread and decides whether NAT
// messages for "*SERVER" go through the local agent) and the channel manager
// context that the IPC logger sends with. A program's context begins with
// these fields (the job messenger's does). The library never reads `eyec` (it
// marks the record in memory dumps), and it reads running_mode whenever it
// decides, so the record must outlive the context.
typedef struct __ccm_program_head {
  char eyec[8];
  int running_mode;   // CCM_MODE_*
  void *ccm;          // the program's channel manager context, for ipc_logger
} ccm_program_head_t;

// Running modes of the calling program.
inline constexpr int CCM_MODE_AGENT = 0;
inline constexpr int CCM_MODE_LISTENER = 1;
inline constexpr int CCM_MODE_FTX = 2;
inline constexpr int CCM_MODE_MESSENGER = 3;
// A program that is none of the four: there is no local agent to route
// through, every NAT message goes to the channel it names ("*SERVER"
// included), and the network thread's log line names no role. The same as
// opening without a program context.
inline constexpr int CCM_MODE_NONE = -1;

// ---- error record -----------------------------------------------------------
typedef struct __ccm_error {
  int xerrno;
  int msgnr;
  char msginsert[1024];
} ccm_error_t;

// Message numbers of the channel manager. A failing operation puts one of
// the first group into the caller's ccm_error_t; the read and write paths
// record the close reasons in the channel; the rest are only logged.
inline constexpr int CCM_MSGNR_ALLOC = 3301;          // allocating a record failed: "<tag>/<unit>(<line>)"
inline constexpr int CCM_MSGNR_SYSCALL = 2000102;     // a system call failed: "<call>|<errno>..."
inline constexpr int CCM_MSGNR_THREAD = 2000136;      // creating the network thread failed
inline constexpr int CCM_MSGNR_FORWARD = 2003070;     // forwarding a NAT message failed
inline constexpr int CCM_MSGNR_NONBLOCK = -1;         // a socket pair could not be made non-blocking (no insert)
// Close reason: the channel's receiving side failed: a receive error, which
// is also how a connection that could not be made ends (a refused or timed-out
// connect, a reset), or an invalid frame. The insert names the channel and
// "<errno>(<text>)" or "invalid frame(<why>)". A peer that closes in order
// leaves no reason (msgnr 0).
inline constexpr int CCM_MSGNR_RECV = 2002036;
inline constexpr int CCM_MSGNR_SEND = 2002002;        // close reason: send failed
// A send or flush that could not finish (ccm_get_send_error, ccm_flush): the
// channel's send queue stayed at its limit for the whole send time-out, or a
// flush's deadline came first: "chID=<n>|queued=<bytes>|limit=<bytes>|<ms>ms";
// the destination is not (or no longer) an open channel: "chID=<n>|<address>|
// channel not open"; a flushed channel closed with messages unwritten:
// "chID=<n>|dropped=<bytes>|channel closed".
inline constexpr int CCM_MSGNR_SEND_TIMEOUT = 2002050;
inline constexpr int CCM_MSGNR_SEND_CLOSED = 2002051;
inline constexpr int CCM_LOG_THREAD_RUNNING = 2000134;  // the network thread runs: its name
inline constexpr int CCM_LOG_NO_IPV6 = 2000361;       // IPv6 sockets cannot be made (empty insert)
inline constexpr int CCM_LOG_CONNECTING = 2000348;    // a connection is being set up: "host:port(ID=n)"
inline constexpr int CCM_LOG_CLOSED = 2002040;        // a channel was closed: "s=..,ID=..|name"
inline constexpr int CCM_LOG_CLOSED_SERVER = 2000010; // a server connection was closed
inline constexpr int CCM_LOG_CLOSED_AGENT = 2000007;  // an agent connection was closed
inline constexpr int CCM_LOG_HOST_ADDRESS = 2000066;  // one address of a host: "host|address"
inline constexpr int CCM_LOG_PASS_FD = 2003060;       // a descriptor is passed: "fd/ID=listener"
inline constexpr int CCM_LOG_IPC_SENDER = 2000033;    // sender of an IPC record without handler: "name|"

// ---- routing address (wire layout, host byte order, 288 bytes) --------------
typedef struct __ccm_addr {
  char eyec[8];        // "#CCMADDR"
  int32_t type;
  int32_t dst_ID;
  char dst_addr[64];
  char dst_name[64];
  int32_t dst_acv;
  int32_t src_ID;
  char src_addr[64];
  char src_name[64];
  int32_t src_acv;
  int32_t src_type;
} ccm_addr_t;

static_assert(sizeof(ccm_addr_t) == 288);
static_assert(offsetof(ccm_addr_t, type) == 8);
static_assert(offsetof(ccm_addr_t, dst_ID) == 12);
static_assert(offsetof(ccm_addr_t, dst_addr) == 16);
static_assert(offsetof(ccm_addr_t, dst_name) == 80);
static_assert(offsetof(ccm_addr_t, dst_acv) == 144);
static_assert(offsetof(ccm_addr_t, src_ID) == 148);
static_assert(offsetof(ccm_addr_t, src_addr) == 152);
static_assert(offsetof(ccm_addr_t, src_name) == 216);
static_assert(offsetof(ccm_addr_t, src_acv) == 280);
static_assert(offsetof(ccm_addr_t, src_type) == 284);

// ---- message ----------------------------------------------------------------
inline constexpr int kCcmNormalSize = 32768;   // size class of a normal message
inline constexpr int kCcmHeadroom = 256;       // bytes in front of msg_start
inline constexpr int kCcmMaxFreeMsgs = 64;     // normal messages kept for reuse
// Longest NAT payload that a message of size class `size` takes at msg_start:
// its data area less the headroom and the room the NAT route keeps behind a
// payload for the callback block. 65,196 bytes for a normal message; a longer
// payload needs ccm_msg_alloc_huge.
inline constexpr int ccm_nat_payload_max(int32_t size) { return 2 * size - kCcmHeadroom - 84; }
inline constexpr int kCcmNatPayloadMax = ccm_nat_payload_max(kCcmNormalSize);

// Key bytes of the blocks of a native frame; each is followed by a length
// field of the size given and the content. NAT frames carry the routing
// blocks (name, access value, address), a NAT data block and a callback
// block with the source's name, access value and address.
inline constexpr unsigned char CCM_KEY_NAME = 0x01;      // 1-byte length: destination (or source) name
inline constexpr unsigned char CCM_KEY_ACV = 0x02;       // 1-byte length: access value, 4 bytes
inline constexpr unsigned char CCM_KEY_ADDR = 0x03;      // 1-byte length: destination (or source) address
inline constexpr unsigned char CCM_KEY_DATA = 0x04;      // 1-byte length: data (the agent's greeting)
inline constexpr unsigned char CCM_KEY_DATA_07 = 0x07;   // 1-byte length: data
inline constexpr unsigned char CCM_KEY_DATA_3B = 0x3B;   // 2-byte length: data
inline constexpr unsigned char CCM_KEY_DATA_41 = 0x41;   // 7 decimal digits: data
inline constexpr unsigned char CCM_KEY_DATA_44 = 0x44;   // 7 decimal digits: data
inline constexpr unsigned char CCM_KEY_DATA_F9 = 0xF9;   // 2-byte length: data
inline constexpr unsigned char CCM_KEY_CALLBACK = 0xFD;  // 2-byte length: source sub-blocks
inline constexpr unsigned char CCM_KEY_NAT_FE = 0xFE;    // 2-byte length: NAT data
inline constexpr unsigned char CCM_KEY_NAT = 0xFF;       // 4-byte length: NAT data

// Message kinds (type).
inline constexpr int CCM_MSG_NATIVE = 0;
inline constexpr int CCM_MSG_GSS = 1;
inline constexpr int CCM_MSG_NAT = 2;
inline constexpr int CCM_MSG_IPC = 3;

// Message flag bits.
inline constexpr uint32_t CCM_MSGF_SECURED = 0x02;
inline constexpr uint32_t CCM_MSGF_KEEP = 0x08;
inline constexpr uint32_t CCM_MSGF_XML = 0x20;

typedef struct __ccm_msg {
  char eyec[16];               // "##CCM#MESSAGE###"
  struct __ccm_msg *nxt;
  ccm_addr_t addr;
  int32_t type;
  uint8_t protocol_key;
  uint8_t filler[7];
  uint32_t flag;
  uint64_t ID;
  int32_t size;
  int32_t len;
  int32_t pos;
  int32_t passfd;
  int32_t agentID;
  // The channel whose send-queue count holds this message (0: none): set
  // when a send route accepts it, cleared when it is written or dropped.
  // (It fills what was padding in front of pATctx: the header keeps its size.)
  int32_t sendq_ID;
  gss_ctx_id_t pATctx;
  gss_cred_id_t pDelegCred;
  size_t control_len;
  unsigned char control_data[256];
  unsigned char *msg_start;
  unsigned char *buffer1;
  unsigned char *buffer2;
  uint64_t filler2aligne;
  unsigned char buffer[];      // 2 * size bytes
} ccm_msg_t;

// The header of a message; ccm_msg_memory counts it with the data area.
static_assert(offsetof(ccm_msg_t, buffer) == 672);

typedef ccm_queue_t<ccm_msg_t> ccm_msgq_t;

// ---- channel ----------------------------------------------------------------
// Channel types (the `type` field; the values are the interface).
inline constexpr int CCM_CH_ACCEPTED = 0;     // accepted connection, or one end of a channel pair
inline constexpr int CCM_CH_LISTEN = 1;       // listening socket "*LISTEN": accepted from, not read
inline constexpr int CCM_CH_SERVER = 3;       // server connection
inline constexpr int CCM_CH_AGENT = 4;        // agent connection
inline constexpr int CCM_CH_MESSENGER = 5;    // the job messenger's connection to its agent
inline constexpr int CCM_CH_CP = 6;           // connection to a communication process of the server
inline constexpr int CCM_CH_UNWATCHED = 255;  // not watched by the select loop; no close notice
inline constexpr int CCM_CH_SILENT = -1;      // destroyed without log message and close notice

// Channel flag bits.
inline constexpr int CCM_CHF_DELETED = 0x01;
inline constexpr int CCM_CHF_SECURED = 0x02;
inline constexpr int CCM_CHF_CONNECTING = 0x08;
inline constexpr int CCM_CHF_NOREAD = 0x10;
inline constexpr int CCM_CHF_BINDADDR = 0x40;

// Send states of a channel (send_wait). A connect in progress is waited on
// until the connection shows itself (bytes arrive on it, or a write after
// select reported the socket writable empties the queue), so that a refused
// connection is reported by its read as before; a socket that took a write
// only in part (or not at all) is waited on until a write empties the queue.
inline constexpr int CCM_SEND_READY = 0;
inline constexpr int CCM_SEND_FULL = 1;
inline constexpr int CCM_SEND_CONNECTING = 2;

typedef struct __ccm_connect_user_context {
  char key[32];
  char name[128];
  int client;
  int user;
  ccm_addr_t ccmaddr;
  gss_cred_id_t pDelegCred;
  int gss_len;
  unsigned char gss_content[4];  // gss_len bytes; the record's declared part ends here
} ccm_connect_user_context_t;

typedef struct __ccm_channel {
  char eyec[16];               // "##CCM#CHANNEL###", then "#CCMSOCK%.8d"
  struct __ccm_channel *nxt;
  int type;
  int flag;                    // atomic access: ccm_flag_*
  int s;
  int ID;
  int remoteID;
  int port;
  char name[64];
  char addr[64];
  char bind_addr[64];
  char host[128];
  ccm_connect_user_context_t *cuc;
  int nof_connection;
  time_t connect_timeout_secs;
  time_t connect_timeout;
  time_t timestamp_last_io;
  int msgnr;
  char msginsert[1024];
  char *recv_buffer;
  int recv_size;
  int recv_pos;
  char *send_buffer;
  ccm_lock_t queue_lock;
  ccm_msgq_t sendq;
  ccm_msgq_t recvq;
  gss_ctx_id_t pATctx;
  gss_cred_id_t pDelegCred;
  // Receive state of the network thread (no lock; see ccm_read_channel).
  // A frame longer than a normal message is received straight into its
  // own message once its header is buffered: recv_msg (null when none)
  // holds recv_msg_got of its bytes. recv_held is 1 while buffered frames
  // wait for room in the context's receive queue. recv_ctl holds ancillary
  // data received (recv_ctl_len bytes, 0: none) until the frame it belongs
  // to is complete: the frame holding buffer offset recv_ctl_at, or the
  // large frame in recv_msg when recv_ctl_at is -1 (see ccm_read_channel).
  ccm_msg_t *recv_msg;
  int recv_msg_got;
  int recv_held;
  int recv_ctl_at;
  size_t recv_ctl_len;
  unsigned char recv_ctl[256];
  // Send state of the network thread (no lock), one of CCM_SEND_*: whether
  // the pass may write newly queued messages at once or waits for select to
  // report the socket writable first (see ccm_network_select).
  int send_wait;
  // Send-queue accounting (ccm_set_sendq_limit), guarded by queue_lock: the
  // message memory (ccm_msg_memory) of the messages that send routes have
  // accepted for this channel and that are not written or dropped yet,
  // wherever they wait (the context's sendq, the dispatch batch, this
  // sendq); and, once the channel is closed, the memory of those dropped
  // with it (its close notice carries the copy).
  size_t sendq_bytes;
  size_t sendq_dropped;
} ccm_channel_t;

typedef ccm_queue_t<ccm_channel_t> ccm_channelq_t;

// ---- context ----------------------------------------------------------------
inline constexpr int CCM_CTXF_IPV6 = 0x1;
inline constexpr int CCM_CTXF_DELETED = 0x2;

typedef struct __ccm_context {
  char eyec[16];               // "##CCM_CONEXT####"
  ccm_channelq_t channelq;
  ccm_channelq_t channel_newq;
  ccm_lock_t channel_lock;
  int flag;                    // atomic access: ccm_flag_*
  ccm_lock_t queue_lock;
  ccm_msgq_t sendq;
  ccm_msgq_t recvq;
  ccm_msgq_t msg_freeq;
  ccm_msgq_t msgq_inuse;
  ccm_msgq_t msgq_2dispatch;
  int nof_freemsg;
  pthread_t thread;
  pthread_attr_t thread_attr;
  int loop;                    // atomic access: ccm_flag_get / ccm_loop_set
  int unique_channel_ID;
  int unique_msg_ID;
  ccm_channel_t *signal_channel;
  int network_wakeup[2];
  int processor_wakeup[2];
  // Wake-ups are signals, not counts: 1 while a wake-up byte of the pipe is
  // written or on its way, so that further wake-ups write nothing. A waker
  // exchanges its flag to 1 and writes a byte only when it was 0; the waiting
  // side reads every byte of its pipe and then sets the flag back to 0
  // before it looks for work.
  std::atomic<int> network_wakeup_pending;
  std::atomic<int> processor_wakeup_pending;
  // Receive-queue accounting, guarded by queue_lock: the message memory
  // (ccm_msg_memory) of the messages in recvq, its highest value so far, and
  // the limit (0: kCcmRecvqDefaultLimit).
  size_t recvq_bytes;
  size_t recvq_peak;
  size_t recvq_limit;
  int max_frame;               // 0: kCcmMaxFrameDefault; atomic access
  int recv_stop_ID;            // network thread only: channel whose read the limit stopped last
  // What hostile peers cannot make the network thread do (spin, block,
  // accept past the limits), and the counters that show it.
  // The moment the receive queue last came back below its limit (queue_lock;
  // ccm_channel_delete_idle does not count time spent at the limit as silence).
  time_t recvq_room_since;
  // Memory of the close notices that the network thread owes for channels
  // that ended during its current pass (queue_lock): counted as taken room,
  // so that many channels ending at once do not overrun the limit.
  size_t recvq_due;
  // Accept back-off, network thread only: while accept_resume_ms (monotonic
  // clock) lies ahead, listening channels stay out of the read set;
  // accept_backoff_ms is the back-off of the current episode (0: none).
  int64_t accept_resume_ms;
  int accept_backoff_ms;
  // Counters of the network thread (ccm_get_net_stats): select passes, and
  // the passes in which select reported a ready descriptor.
  std::atomic<uint64_t> net_passes;
  std::atomic<uint64_t> net_ready_passes;
  // The calling program's context as given to ccm_open (may be null); its
  // running mode is read at the moment it decides something.
  const ccm_program_head_t *program;
  // Send-queue limit and the waits on it (ccm_sendq.cpp). The limit per
  // channel, the send time-out and the peak (the most any one channel has
  // held) are atomic. sendq_dropped (the memory of every message dropped
  // unwritten with its channel) and flush_watches (the flushes waiting now,
  // each told of such drops as they happen) are guarded by channel_lock.
  // Waiting senders and flushes sleep on one event: send_room, signalled
  // under send_wait_lock, which counts the signals in send_events;
  // send_waiters counts the sleepers, so that nobody signals when nobody
  // waits. send_wait_lock is a leaf: it may be taken with any other lock
  // held, and no other lock is taken while it is held.
  std::atomic<size_t> sendq_limit;
  std::atomic<int> send_timeout_ms;
  std::atomic<size_t> sendq_peak;
  size_t sendq_dropped;
  struct __ccm_flush_watch *flush_watches;
  pthread_mutex_t send_wait_lock;
  pthread_cond_t send_room;
  uint64_t send_events;
  std::atomic<int> send_waiters;
} ccm_context_t;

// The running mode of the program that opened `ccm`; CCM_MODE_NONE without a
// program context.
inline int ccm_running_mode(const ccm_context_t *ccm) {
  return ccm && ccm->program ? ccm->program->running_mode : CCM_MODE_NONE;
}

inline void ccm_loop_set(ccm_context_t *ccm, int v) { std::atomic_ref<int>(ccm->loop).store(v); }

// ---- limits of what a peer can make the context hold ---------------------------
// Default limit of the receive queue's message memory. Every frame of up to
// 32768 bytes takes a normal message of about 65 KiB (66,208 bytes), a longer
// one twice its length, so 8 MiB holds about 126 frames, or at least 4 MiB of
// large frames: enough that a receiver which takes its messages as they come
// never waits for the network thread, while a receiver that falls behind (or
// a peer that floods it) costs at most this much, not what every peer can send.
inline constexpr size_t kCcmRecvqDefaultLimit = size_t{8} << 20;
// Default maximum frame length: the largest length the 8 digits of the frame
// header can announce, so by default every frame is accepted.
inline constexpr int kCcmMaxFrameDefault = 99999999;
// Accept back-off. When accept fails for want of descriptors or memory
// (EMFILE, ENFILE, ENOBUFS, ENOMEM) the listening socket stays readable, and
// selecting on it would return at once on every pass. After such a failure
// the listening channels leave the read set for kCcmAcceptBackoffFirstMs,
// twice as long after each further failure up to kCcmAcceptBackoffMaxMs, or
// until the network thread destroys a channel (which frees a descriptor);
// the connections wait in the kernel's backlog meanwhile. The first failure
// of an episode is logged (2000102 "accept(...,FIONBIO)|<errno>-<text>"); the
// episode ends with the first pass whose accepts meet no such failure.
inline constexpr int kCcmAcceptBackoffFirstMs = 100;
inline constexpr int kCcmAcceptBackoffMaxMs = 1000;
// Default limit of the message memory queued for one channel on the send
// side, counted like the receive queue's: 8 MiB is about 126 normal
// messages, far more than a peer that reads needs in flight, while a peer
// that stops reading (or reads slowly) makes its senders wait instead of
// letting them fill memory.
inline constexpr size_t kCcmSendqDefaultLimit = size_t{8} << 20;
// Default send time-out: how long a send waits for room in a full channel
// queue before it fails (milliseconds).
inline constexpr int32_t kCcmSendTimeoutDefault = 60000;

// Memory of a message: its header and its data area (2 * size bytes, at
// least the 256 bytes of headroom). The receive queue counts this much for
// every message it holds.
inline size_t ccm_msg_memory_for(int32_t size) {
  size_t area = 2 * static_cast<size_t>(size > 0 ? size : 0);
  return offsetof(ccm_msg_t, buffer) + (area < static_cast<size_t>(kCcmHeadroom) ? kCcmHeadroom : area);
}
inline size_t ccm_msg_memory(const ccm_msg_t *m) { return ccm_msg_memory_for(m->size); }

// Sets the limit of the receive queue: received frames are put into it only
// while the memory of the messages it holds is below `bytes`. A queue at its
// limit makes the network thread read no channel and accept no connection:
// the bytes wait in the channels' buffers and in the peers' sockets, TCP
// flow control holds the peers back, and new connections wait in the
// kernel's backlog, until the receiver takes messages and brings the queue
// below the limit again; nothing is dropped or reordered. An empty queue
// always takes one frame, so a frame larger than the limit still arrives
// (the queue then holds that one message). Close notices are never held
// back, but those of channels that end while the network thread serves them
// count as room taken from then on, so with normal messages the queue holds
// at most the limit plus two messages (a frame or an accept notice admitted
// just below it, and a close notice), besides the close notices of channels
// that their owner deletes. A channel whose peer ends or fails while complete frames wait in
// its buffer is closed only once they are in the queue, before its notice.
// Takes effect from the network thread's next pass (the call wakes it); safe
// from any thread. 0, or -1 (limit unchanged) for a null context or `bytes` 0.
int ccm_set_recvq_limit(ccm_context_t *ccm, size_t bytes);
// Sets the maximum frame length: a frame whose header announces more than
// `bytes` is an invalid frame, and its channel is deleted with the reason
// 2002036 "...|invalid frame(length <n> above the maximum <bytes>)..." and
// its close notice (only that channel). Frames up to the maximum are read as
// always; memory grows only with the bytes that have arrived. Safe from any
// thread; applies to headers read from then on. 0, or -1 (unchanged) for a
// null context or `bytes` outside 48 (a bare header) .. 99,999,999.
int ccm_set_max_frame(ccm_context_t *ccm, int32_t bytes);
// Counters of the receive queue (take the queue lock): the message memory it
// holds now, and the most it has held since the context was opened (limit
// plus at most one frame plus internal notices). 0 for a null context.
size_t ccm_get_recvq_bytes(ccm_context_t *ccm);
size_t ccm_get_recvq_peak(ccm_context_t *ccm);
// Counters of the network thread since the context was opened: select
// passes, and passes in which select reported a ready descriptor. A thread
// that spins shows as ready passes without the events to justify them.
typedef struct __ccm_net_stats {
  uint64_t passes;
  uint64_t ready_passes;
} ccm_net_stats_t;
// Fills *stats (any thread). 0, or -1 for a null context or record.
int ccm_get_net_stats(ccm_context_t *ccm, ccm_net_stats_t *stats);
// Marks deleted every live channel of channelq, listening and unwatched ones
// excepted, that has had no input or output (timestamp_last_io, stamped at
// accept and by every receive and send) for `seconds` seconds or more; time
// during which the receive queue was at its limit does not count, because no
// channel is read then. Frames already buffered of such a channel are
// dropped, as with every delete by its owner. Wakes the network thread when
// it marked one. Any thread. The number of channels marked; 0 for a null
// context or `seconds` <= 0.
int ccm_channel_delete_idle(ccm_context_t *ccm, int seconds);

// Sets the limit of the message memory queued for each channel of the
// context on the send side (default kCcmSendqDefaultLimit). A message counts
// with its ccm_msg_memory from the moment a send route accepts it for its
// channel until it is written (or dropped with a closed channel). A route
// accepts a message while its channel holds less than the limit, so a
// channel holds at most the limit plus one message, and one message larger
// than the limit still goes when its channel holds nothing. A send to a full
// channel waits for room on the caller's thread (see the send routes);
// waiting senders wake when the channel's queue falls below half the limit.
// Any thread; applies to every channel from the next send, and wakes the
// waiting senders so that they look again. 0, or -1 (unchanged) for a null
// context or `bytes` 0.
int ccm_set_sendq_limit(ccm_context_t *ccm, size_t bytes);
// Sets how long a send to a full channel waits for room, in milliseconds
// (default kCcmSendTimeoutDefault); 0 fails at once, as a non-blocking send
// does. Sends made on the network thread (a logger's records) never wait.
// Any thread; applies to sends that start waiting from then on. 0, or -1
// (unchanged) for a null context or a negative `ms`.
int ccm_set_send_timeout(ccm_context_t *ccm, int32_t ms);
// Counters of the send side (any thread; take channel_lock and the
// channels' queue locks): the message memory queued for the channel
// `channelID` now (0 once it is destroyed; channelID 0: for every channel of
// the context together); the most that any one channel has held
// since the context was opened (at most the limit plus one message, and a
// single larger message); and the memory of every message dropped unwritten
// because its channel closed. 0 for a null context.
size_t ccm_get_sendq_bytes(ccm_context_t *ccm, int32_t channelID);
size_t ccm_get_sendq_peak(ccm_context_t *ccm);
size_t ccm_get_sendq_dropped(ccm_context_t *ccm);

// ---- context and locks -------------------------------------------------------
// Allocates a zeroed context (eye-catcher, both locks, IDs from 1, wake-up
// descriptors -1), keeps `ppcx` (the program's context, beginning with
// ccm_program_head_t, or null) as `program`, and sets flag 0x1 when IPv6
// sockets can be made (a failing probe is logged, 2000361). The caller owns
// the context and closes it with ccm_close. 0 with *pccm set; -1 with 3301
// "CCM_OPEN/src/_ccm/ccm(200)" when memory is short (*pccm untouched).
int ccm_open(void *ppcx, ccm_context_t **pccm, ccm_error_t *ccmerr);
// Frees every message of sendq, recvq, msgq_inuse, msgq_2dispatch and the free
// list, destroys the locks, closes the wake-up pipes and frees the context.
// Channels and the thread must be gone already. Null context: 0 at once.
int ccm_close(ccm_context_t *ccm, ccm_error_t *ccmerr);
// Take or release one mutex (context queue lock, channel queue lock, context
// channel lock). Always 0. The mutexes are not recursive.
int ccm_queue_lock(ccm_context_t *ccm);
int ccm_queue_unlock(ccm_context_t *ccm);
int ccmch_queue_lock(ccm_context_t *ccm, ccm_channel_t *ccmch);
int ccmch_queue_unlock(ccm_context_t *ccm, ccm_channel_t *ccmch);
int ccm_channel_lock(ccm_context_t *ccm);
int ccm_channel_unlock(ccm_context_t *ccm);
// Closes open wake-up pipes and makes both anew, with no wake-up pending;
// both ends are non-blocking (a full pipe already holds pending wake-ups,
// and the waiting side reads until the pipe is empty). -1 with 2000102
// "pipe(wakeups)|..." on failure, and then no pipe is left open.
int ccm_create_wakeup_pipes(ccm_context_t *ccm, ccm_error_t *ccmerr);
// Closes the four wake-up descriptors that are open and sets all to -1.
int ccm_close_wakeup_pipes(ccm_context_t *ccm);
// Wake the network thread ("N") or a thread waiting for received messages
// ("P"). A wake-up that is still pending absorbs this one: the byte is
// written only when none is, so a burst of wake-ups costs one write and one
// pass. Whatever the caller queued before the call is seen by the woken
// side. Null context or closed pipe: nothing. Always 0.
int ccm_wakeup_network(ccm_context_t *ccm);
int ccm_wakeup_processor(ccm_context_t *ccm);

// ---- address resolution ----------------------------------------------------
// Resolves a host name or address text (brackets and surrounding blanks are
// dropped; names below 256 characters) into `*addr`, chosen by
// ccm_choose_address. Clears *ccmerr and *addr first. 0, or -1 with 2000102
// "getaddrinfo|<code>(<text>)".
int ccm_hostname2address(const char *phostname, int options, struct sockaddr_in6 *addr, ccm_error_t *ccmerr);
// Numeric text of an IPv6 or IPv4 address into `dst` (at most `size` bytes
// with terminator). 0, or -1 with `dst` empty.
int ccm_address2string(const struct sockaddr_in6 *addr, char *dst, socklen_t size);
// `in` itself when it holds no ':' or starts with '['; otherwise `out`
// (at least 256 bytes) filled with "[in]", cut to fit.
char *ccm_addressformatted(const char *in, char *out);
// The local host's address (IPv4 preferred) as text into `out` (64 bytes).
// 0, or -1 with *ccmerr filled.
int ccm_getmyIP(int options, char *out, ccm_error_t *ccmerr);
// Logs every address of `hostname` as 2000066 "host|address". 0, or -1.
int ccm_log_all_ip(const char *hostname, ccm_error_t *ccmerr);
// 0 when an IPv6 stream socket can be made; -1 with 2000102 otherwise.
int ccm_check_ipv6_support(ccm_error_t *ccmerr);
// The entry of a resolver list that ccm_hostname2address takes: the first
// entry of the wanted family (options 2 = IPv4, 1 = IPv6) that is neither
// loopback nor IPv6 link-local; else the first such entry of any family;
// else the list's first entry. Null for an empty list.
struct addrinfo;
const struct addrinfo *ccm_choose_address(const struct addrinfo *list, int options);

// ---- channel table -----------------------------------------------------------
// A new unchained entry: next ID (takes channel_lock), name "*ID<n>", s = -1,
// type/flag/port 0. -1 with 3301 "CREATE_CHANNEL/..." (no ID used up).
int ccm_channel_new_entry(ccm_context_t *ccm, ccm_channel_t **ccmch, ccm_error_t *ccmerr);
// Sets the eye-catcher "#CCMSOCK<ID>" and appends the entry to channel_newq
// (takes channel_lock). The network thread takes it over on its next pass.
int ccm_channel_chain(ccm_context_t *ccm, ccm_channel_t *ccmch);
// Lookups of live (not deleted) channels. Found: returned with channel_lock
// HELD, the caller releases it with ccm_channel_unlock. Not found: null and
// the lock is free. By ID and name both queues are searched, by remote ID
// channelq only.
ccm_channel_t *ccm_channel_getbyID(ccm_context_t *ccm, int ID);
ccm_channel_t *ccm_channel_getbyRemoteID(ccm_context_t *ccm, int ID);
ccm_channel_t *ccm_channel_getbyName(ccm_context_t *ccm, const char *name);
// 1 when a live channel has that ID / name, else 0; the lock is released.
int ccm_channel_existbyID(ccm_context_t *ccm, int ID);
int ccm_channel_existbyName(ccm_context_t *ccm, const char *name);
// 0 when a live channel has `ID` (if >= 1) or else `name`; -1 otherwise.
// `ip` is not written.
int ccm_channel_get_ip(ccm_context_t *ccm, int ID, const char *name, char *ip, ccm_error_t *ccmerr);
// Marks the channel deleted (channel flag 0x1, context flag 0x2) and wakes
// the network thread, which destroys it after its current pass, and the
// senders waiting for room in it, which then fail; takes no lock but the
// leaf send_wait_lock, and that only when somebody waits. Complete frames
// still waiting in its buffer for room in the receive queue are dropped with
// it (its owner asked for its end). Always 0.
int ccm_channel_delete(ccm_context_t *ccm, ccm_channel_t *ccmch);
// Look up and mark; an unknown ID or name changes nothing. Always 0.
int ccm_channel_deletebyID(ccm_context_t *ccm, int ID);
int ccm_channel_deletebyName(ccm_context_t *ccm, const char *name);
// Destroys a channel that is in no queue (or whose queue the caller drops):
// logs its close reason and close by type, posts a "CHANNEL_CLOSE" notice
// (not for types 255 and -1), frees its messages, buffers and user context,
// closes its descriptor and frees the record. Always 0.
//
// The descriptor is closed with ccm_close_nowait, never the waiting way.
// TCP channels carry SO_LINGER on with 60 s (ccm_set_linger), and with it
// close() waits until the peer has acknowledged everything queued and the
// end of the connection: at least the peer's delayed acknowledgement, and
// up to the whole minute for a peer whose receive window stays shut. The one
// network thread destroys channels between its passes, so a single such
// peer would stop every other channel of the process. Clearing the linger
// setting just before close() keeps the orderly end: the kernel still sends
// whatever is queued and then the end of the connection, in the background.
// The wait bought nothing else: when the linger time runs out the kernel
// keeps sending in the background all the same, so a caller that must know
// its data arrived waits for an answer (as the messenger does, and for its
// send queues to empty) before it stops. The other mechanisms were worse:
// closing in a thread of its own would keep each descriptor open for as
// long as its peer stalls, and a linger time of 0 resets the connection and
// drops what is queued.
int ccm_channel_destroy(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_error_t *ccmerr);
// Closes `fd` without waiting for the peer: a socket that lingers with time
// left (SO_LINGER on, l_linger > 0) gets linger off just before close(), so
// that close() returns at once while the kernel still delivers what is
// queued, gracefully. Other settings are left as they are (linger 0 still
// resets), and descriptors that are no sockets are simply closed. The
// setting belongs to the socket, not the descriptor: a process that holds
// the same socket through descriptor passing sees linger off from then on.
// Negative `fd`: 0. Otherwise the result of close().
int ccm_close_nowait(int fd);
// Stores the socket's local address in bind_addr and sets flag 0x40 (an
// "*IPC..." channel gets 0x40 without asking). 0, or -1 with 2000102
// "getsockname()|..." and the channel marked deleted.
int ccm_channel_bindaddr_inquire(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_error_t *ccmerr);
// After the network thread has ended: destroys every channel of channelq and
// channel_newq, deleted or not, in order (taken out under channel_lock,
// destroyed after it is released); what they still had queued counts as
// dropped (ccm_get_sendq_dropped). Always 0. Like every destroy it
// does not wait for peers (see ccm_channel_destroy): a user stopping with many
// connections, some of them stalled, would otherwise wait up to a minute for
// each, while the data still goes out after the process has ended.
int ccm_channel_closeall(ccm_context_t *ccm);
// Network thread: takes the deleted channels out of channelq (the others keep
// their order), clears context flag 0x2 and destroys them; what they still
// had queued to send counts as dropped (ccm_get_sendq_dropped, the close
// notice's copy of the channel: sendq_dropped). A channel that the network
// thread deleted because its peer ended or failed first hands its complete
// buffered frames to the receive queue: while some wait for room it stays in
// channelq, deleted, and its close notice comes after them. Once a channel is
// destroyed, listening channels in an accept back-off are watched again at
// once. Always 0.
int ccm_destroy_deleted_channels(ccm_context_t *ccm);
// Writes the trace description of a channel, "channel(name=...,chID=...,...)",
// into `buf` (bounded to `size`). Returns `buf`.
char *ccm_channel_describe(const ccm_channel_t *ccmch, char *buf, size_t size);

// ---- listening and connecting ------------------------------------------------
// Chains a non-blocking listening channel "*LISTEN" (type 1) bound to
// `pbind_addr` ("*LOCAL" = loopback of the context's family, "" = every
// local address, IPv6 sockets also accept IPv4) and `port`. 0 (not the ID),
// or -1 with the error of the failing step; nothing is left open on failure.
int ccm_create_listen(ccm_context_t *ccm, const char *pbind_addr, int port, int listen_count, ccm_error_t *ccmerr);
// The local port (host byte order) of the live listening channel named
// `name` ("*LISTEN" unless renamed), for a listener made on port 0. -1 when
// no live listening channel has that name or its address cannot be read;
// nothing is written (the channel keeps its bind address and state). Takes
// channel_lock and releases it: the caller must not hold it. Any thread.
int ccm_listen_port(ccm_context_t *ccm, const char *name);
// Non-blocking mode for the channel's socket. 0, or -1 with 2000102.
int ccm_set_nonblocking(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_error_t *ccmerr);
// SO_LINGER {onoff, ptime seconds} on the channel's socket. 0, or -1 with 2000102.
// The setting stays while the channel is open; destroying the channel clears
// a linger time just before closing, so that no close waits (ccm_close_nowait).
int ccm_set_linger(ccm_context_t *ccm, ccm_channel_t *ccmch, int onoff, int ptime, ccm_error_t *ccmerr);
// 1 when a live type-6 channel to that address and port exists (either
// queue), 0 if none, -1 when `host` cannot be resolved.
int ccm_is_cp_connecting(ccm_context_t *ccm, const char *host, int port, ccm_error_t *ccmerr);
// Starts a non-blocking connection and chains its channel of `type` with flag
// 0x8 and connect_timeout = now + connwait; wakes the network thread. Returns
// the channel ID, or -1 with the error of the failing step (a channel made
// before the failure is destroyed, with its close notice). `cuc` (malloc'ed,
// or null) belongs to the channel manager from this call on, also on failure.
int ccm_connect(ccm_context_t *ccm, const char *host, int port, int type, ccm_connect_user_context_t *cuc,
                int connwait, ccm_error_t *ccmerr);

// ---- network thread and select loop ------------------------------------------
// Creates the wake-up pipes, sets `loop` to 1 and starts the joinable network
// thread (ccm_thread_run). User's thread. 0, or -1 with 2000102 (pipes) or
// 2000136 (thread) in `ccmerr`; no thread runs then.
int ccm_thread_start(ccm_context_t *ccm, ccm_error_t *ccmerr);
// The network thread's start routine (`pccm` is the context): logs 2000134
// with a name taken from the running mode, then one ccm_network_select pass
// after the other while `loop` is set, each followed by the sweep of deleted
// channels. Returns null; channels and pipes are left to the user.
void *ccm_thread_run(void *pccm);
// Sets `loop` to 0 and wakes the network thread; it ends after its pass. Does
// not wait: the caller joins ccm->thread. Any thread. 0.
int ccm_thread_stop(ccm_context_t *ccm);
// Network thread: moves every message of the context's sendq to the sendq of
// its destination channel (dst_ID, else the channel named dst_addr, "*CP..."
// read as "*SERVER"). A message without a live destination is freed, or only
// leaves the batch when it carries CCM_MSGF_KEEP. 0.
int ccm_dispatch_send_messages(ccm_context_t *ccm);
// Appends channel_newq to channelq, in order, and empties it. The caller
// holds channel_lock (the network thread, at the start of a pass). 0.
int ccm_channel_merge_newq(ccm_context_t *ccm);
// Hook for periodic work on the channels: does nothing, as its contract asks
// nothing yet. 0.
int ccm_channel_maintenance(ccm_context_t *ccm);
// Two channels of type 0 joined by a local stream socket pair, both
// non-blocking, chained first then second. Any thread. 0 with *pch1/*pch2
// set; -1 with 3301, 2000102 or -1 (non-blocking mode) in `ccmerr`, and then
// nothing is left open or allocated.
int ccm_channel_create_pair(ccm_context_t *ccm, ccm_channel_t **pch1, ccm_channel_t **pch2, ccm_error_t *ccmerr);
// Network thread: one pass of the select loop (take over new channels and
// queued messages, wait up to `stimeout` seconds, accept, read, write). 0
// after a time-out, a signal or a served pass; -1 with 2000102 (select) or
// 3301 (select sets) in `ccmerr`.
int ccm_network_select(ccm_context_t *ccm, int stimeout, ccm_error_t *ccmerr);
// Network thread: accepts one connection on the listening channel, makes it
// a chained channel of type 0 (non-blocking, linger 60 s) and posts a
// "CHANNEL_ACCEPT" notice. 0; -1 with `ccmerr` filled when nothing was taken
// over (a descriptor that was accepted is closed).
int ccm_signal_on_listen(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_error_t *ccmerr);

// ---- messages ------------------------------------------------------------------
// A message belongs to its creator from allocation until it is handed to a
// send route, and to the channel manager from then on (see each route for a
// failure); a received message belongs to the receiver. Any thread.
//
// A normal message (size class 32768): ccm_msg_alloc_huge(ccm, 32768, ...).
ccm_msg_t *ccm_msg_alloc(ccm_context_t *ccm, ccm_error_t *ccmerr);
// A message with a 2*size data area, header cleared (the data area is not:
// its bytes are undefined), fresh ID, msg_start 256 bytes into the area,
// pushed on msgq_inuse; the caller owns it. Size 32768 reuses the most
// recently freed normal message (its data bytes are kept). Null with 3301
// "CCMMSG/src/_ccm/ccmmsg(<line>)" when memory is short or size is <= 0 or
// larger than INT32_MAX / 2.
ccm_msg_t *ccm_msg_alloc_huge(ccm_context_t *ccm, int32_t size, ccm_error_t *ccmerr);
// Takes the message back: unlinks it from msgq_inuse (if there) and keeps it
// in the free list (normal size, fewer than 64 kept) or releases it. Null
// message: nothing. Null context: the message is released. 0.
int ccm_msg_free(ccm_context_t *ccm, ccm_msg_t *ccmmsg);
// Writes the 48-byte protocol header at msg_start: len as 8 digits,
// "WQ8:global", "001", the 3 protocol characters, 24 blanks. The caller has
// moved msg_start back 48 bytes and counted them in len. 0, or -1 (nothing
// written) when len does not fit in 8 digits.
int ccm_msg_set_protocol_header(ccm_msg_t *ccmmsg, const char *protocol);
// Writes a key-4 block (0x04, len, len bytes) at msg_start and sets len to
// len + 2. Other keys, len outside 0..255 or a block that does not fit the
// data area leave the message untouched. Always null.
unsigned char *ccm_msg_write_native_data(ccm_msg_t *ccmmsg, char key, const unsigned char *data, int32_t len);
// Wraps the payload (msg_start, len) in the NAT routing blocks taken from
// `addr`: [0x02 acv] [0x01 name] [0x03 "*CP" address] [0xFF length] payload
// [0xFD callback]; lengths and access values little-endian. 0, or -1 (message
// untouched) when the blocks do not fit in front of or behind the payload.
int cmm_msg_write_sr_data(ccm_msg_t *ccmmsg);
// An IPC record needs no header of its own beyond the protocol header that
// send_IPC_message writes, so this changes nothing, as its contract asks. 0.
int ccm_msg_set_ipc_header(ccm_msg_t *ccmmsg, size_t len);
// Shutdown only (no other thread may use the queues): frees the messages of
// recvq, msgq_inuse, msgq_2dispatch and of every live channel of channelq
// (resetting its recv_pos and dropping a large frame in progress). The
// context's sendq and free list stay. 0.
int ccm_msg_emptying_queues(ccm_context_t *ccm);
// Frees every message of the channel's sendq and recvq, taking those of the
// sendq off the channel's send-queue count (takes the channel's queue lock,
// frees after releasing it). 0.
int ccm_channel_emptying_msg_queue(ccm_context_t *ccm, ccm_channel_t *ccmch);

// ---- reading and writing -------------------------------------------------------
// Network thread: hands the complete frames buffered in the channel to the
// context's receive queue while it has room, and then, if it still has room,
// receives once more from the socket, without waiting even on a blocking
// descriptor (see ccm_set_recvq_limit). Ancillary data (passed descriptors)
// goes with the one frame that holds the last byte of the receive that
// brought it, the bytes the sender sent with it. 0 when the
// read was handled (also with nothing new, and with the queue at its limit),
// -1 when the channel failed or ended (deleted, reason recorded) or memory
// was short (3301 in `ccmerr`, channel kept). A null `ccmerr` is allowed.
int ccm_read_channel(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_error_t *ccmerr);
// Frame length from the 8 length characters at `buffer` (leading blanks and a
// sign accepted, conversion stops at the first non-digit); 0 when they hold
// no number or a negative one. Reads 8 bytes; any thread.
size_t ccm_get_msg_length(ccm_context_t *ccm, ccm_channel_t *ccmch, const char *buffer);
// Classifies a complete frame at msg_start (len bytes, header included):
// "IPC" frames become type 3 with the header skipped and the channel name as
// source address; everything else is parsed as native (flag 0x20 for data
// starting "<?xml"). 0, or -1 with 2002036 "...invalid frame(...)..." in
// `ccmerr`. The message stays with the caller either way. Network thread.
int ccm_classify_message(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_msg_t *ccmmsg, ccm_error_t *ccmerr);
// Parses the body of a native frame (msg_start, len) key block by key block
// into the message's address and data (data moved to buffer1, NAT data makes
// type 2 and clears the channel's connecting flag). 0, or -1 with 2002036 in
// `ccmerr` for an invalid body. `ccmch` may be null. Network thread.
int ccm_parse_native_message(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_msg_t *ccmmsg, ccm_error_t *ccmerr);
// Whole length of the key block at `src` whose length field has `keylen`
// bytes (1, 2, 4 little-endian, or 7 decimal characters); the content is
// moved to `dst` when given (overlap allowed). The caller has checked that
// the block lies within its frame. -1 for another keylen.
int32_t extract_protocol_data(const unsigned char *src, int keylen, unsigned char *dst);
// Whether a frame is a GSS message, kept whole by the classification. This
// program knows none: always 0.
int is_gss_message(ccm_context_t *ccm, ccm_msg_t *ccmmsg);
// Conversion hooks of a NAT payload to the host's and to the LAN
// representation. The payloads of this system travel exactly as built, so
// they change nothing, as their contract asks. 0.
int msgconv_ToHost(ccm_context_t *ccm, ccm_msg_t *ccmmsg);
int msgconv_ToLan(ccm_context_t *ccm, ccm_msg_t *ccmmsg);
// Network thread: writes the channel's queued messages while the socket takes
// whole pieces, freeing each written message. 0 when written as far as
// possible (also when the socket would block), -1 after a send error: the
// channel is deleted with close reason 2002002 and `ccmerr` is not filled.
int ccm_write_channel(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_error_t *ccmerr);

// ---- addressing and send routes --------------------------------------------------
// Address setters fill the message's routing address (texts cut to 63
// characters, null as "") and its eye-catcher, and return &ccmmsg->addr.
// The caller owns the message. Any thread.
// Destination half: ID, address, name, access value; reply_ID is not used.
ccm_addr_t *ccm_setaddr(ccm_msg_t *ccmmsg, int32_t ID, int32_t reply_ID, const char *addr, const char *name,
                        int32_t acv);
// Source half: address, name, access value; src_ID stays.
ccm_addr_t *ccm_setback(ccm_msg_t *ccmmsg, const char *addr, const char *name, int32_t acv);
// ccmd's destination becomes the sender of ccms: its source ID, address,
// name and access value.
ccm_addr_t *ccm_setaddr_reply(ccm_msg_t *ccmd, const ccm_msg_t *ccms);
// The send routes queue a message for the network thread and wake it. Each
// first accepts the message for its destination channel (dst_ID when it is
// not 0, else the channel named dst_addr, "*CP..." read as "*SERVER"; a
// channel marked deleted is not open) and counts it against that channel's
// send-queue limit (ccm_set_sendq_limit):
//  - the channel holds less than the limit: the message is accepted at once;
//  - the channel is full: the call waits on the caller's thread for the
//    network thread to bring the queue below half the limit, up to the
//    context's send time-out (ccm_set_send_timeout; 0: not at all; a call on
//    the network thread never waits), and fails with CCM_SEND_TIMEDOUT when
//    it runs out;
//  - no open channel has the destination (never made, closed, broken by its
//    peer, or closing while the call waits): CCM_SEND_CLOSED, at once.
// The wait is an event (a condition variable that the network thread
// signals), not a polling loop, and holds no channel manager lock. Any
// thread may call the routes; the caller holds no channel manager lock (a
// route takes channel_lock and the channel's queue lock to count, then the
// context's queue lock to queue). ccm_get_send_error gives the number
// (CCM_MSGNR_SEND_TIMEOUT, CCM_MSGNR_SEND_CLOSED) and insert of such a failure.
//
// Who owns the message when a send route returns:
//
//   result                  send_NAT_message,         send_native_message,
//                           ccm_send_message_common   send_GSS_message,
//                                                     send_IPC_message
//   0                       channel manager           channel manager
//   -1                      caller, who frees it      channel manager, which
//                           (no context or message:   released it (it could
//                           nothing to own)           not be framed)
//   CCM_SEND_TIMEDOUT (-2)  caller, unchanged         caller, unchanged
//   CCM_SEND_CLOSED (-3)    caller, unchanged         caller, unchanged
//
// "Unchanged": not framed, not counted, as it was handed in, so that the
// caller can send it again (a time-out) or free it.
inline constexpr int CCM_SEND_TIMEDOUT = -2;
inline constexpr int CCM_SEND_CLOSED = -3;
// The calling thread's record of its last send that failed with
// CCM_SEND_TIMEDOUT or CCM_SEND_CLOSED (in any context), copied into
// *ccmerr when it is not null. Returns its message number, 0 when no send of
// this thread has failed so.
int ccm_get_send_error(ccm_error_t *ccmerr);
// Waits until the messages queued for the channel `channelID` (0: for every
// channel of the context) have been written, or dropped with their channel
// when it closed, at most `timeout_ms` milliseconds (0: only looks). The wait
// is an event (the network thread signals each queue it empties and each
// channel it closes) on the caller's thread, holding no lock; on the network
// thread the call only looks. Messages sent while it waits count as well. A
// channel marked deleted counts until the network thread destroys it, at
// the end of its pass. *remaining (when not null) becomes the message memory
// that was not written: what is still queued at the deadline plus what was
// dropped with closed channels while the flush waited. 0 when everything was
// written (*remaining 0); -1 with `ccmerr` filled otherwise:
// CCM_MSGNR_SEND_TIMEOUT when messages were still queued at the deadline,
// CCM_MSGNR_SEND_CLOSED when nothing is queued any more but something was
// dropped, or when `channelID` names no channel at the start (nothing that
// is known remains then). -1 without an error for a null context or a
// negative argument. The caller holds no channel manager lock.
int ccm_flush(ccm_context_t *ccm, int32_t channelID, int32_t timeout_ms, size_t *remaining,
              ccm_error_t *ccmerr);
//
// NAT route: wraps the payload in the routing blocks and the "NAT" header;
// in a program whose running mode is not CCM_MODE_AGENT, a message for
// "*SERVER" goes as a "ROUTENAT" record through the local agent instead
// (the record is counted against the agent's channel).
// 0: the message is handed over. -1: it STAYS WITH THE CALLER, who frees it
// (conversion hook failed, no room for the blocks, a frame longer than
// kCcmMaxFrameDefault, no buffer for routing) -- the opposite of the header
// routes below. CCM_SEND_TIMEDOUT, CCM_SEND_CLOSED: see above.
int send_NAT_message(ccm_context_t *ccm, ccm_msg_t *ccmmsg);
// Wraps address and payload in a "ROUTENAT" record to "*IPC(AGENT)" and frees
// the routed message: 0. Otherwise the routed message stays with the caller,
// unchanged: -1 when no buffer could be had (or the record could not be
// framed), CCM_SEND_TIMEDOUT or CCM_SEND_CLOSED for the agent's channel.
int send_NAT_message_route(ccm_context_t *ccm, ccm_msg_t *ccmmsg);
// Sends a copy of the payload of ccmmsg to another channel (by ID when
// non-zero, else by name; looked up first when `check_channel`), with
// "*SERVER" as call-back address. ccmmsg stays with the caller in every case.
// 0, or -1 with 2003070 in `ccmerr` (channel not found, no buffer, not sent).
int ccm_forward_NAT_message(ccm_context_t *ccm, ccm_msg_t *ccmmsg, int32_t channelID, const char *channelName,
                            ccm_error_t *ccmerr, int32_t check_channel);
// The common send step of every route: accepts the message for its channel
// (unless its route did), dumps the framed message under `text` when tracing
// and hands it to the network thread (ccm_msg_hand_over). 0; -1 without
// context or message; CCM_SEND_TIMEDOUT or CCM_SEND_CLOSED (see above).
int ccm_send_message_common(ccm_context_t *ccm, ccm_msg_t *ccmmsg, const char *text);
// Header routes: put the 48-byte header ("NAT", "GSS" with `coding` in
// cCoding, "IPC" with type 3) in front of the payload and queue the message.
// 0 when queued; -1 when it could not be framed (no room, or longer than
// kCcmMaxFrameDefault): it is then RELEASED; the message stays with the
// caller only after CCM_SEND_TIMEDOUT or CCM_SEND_CLOSED (see above).
int send_native_message(ccm_context_t *ccm, ccm_msg_t *ccmmsg);
int send_GSS_message(ccm_context_t *ccm, ccm_msg_t *ccmmsg, const char *coding);
int send_IPC_message(ccm_context_t *ccm, ccm_msg_t *ccmmsg);
// Internal route (the network thread's notices): takes over a message whose
// msg_start/len hold an IPC record: type 3, moved from msgq_inuse to the
// context's recvq, then one "P" wake-up. No header, no socket. 0.
int send_IPC_internal(ccm_context_t *ccm, ccm_msg_t *ccmmsg);
// Sends a "PASSFD" record to the channel named `destination` with `fd` as
// SCM_RIGHTS ancillary data; `fd` stays open and the caller's. 0; -1 when no
// message buffer could be had; CCM_SEND_TIMEDOUT or CCM_SEND_CLOSED when the
// record could not be queued (it is released). Any thread.
int send_file_descriptor(ccm_context_t *ccm, const char *destination, int32_t fd, int32_t listenerID,
                         int32_t agentID, const char *name);

// ---- receiving and counters ------------------------------------------------------
// The receiving side: the user's thread (one receiving thread per context,
// as the wake-up bytes are shared). Takes the head of the receive queue: 1 with *ccmmsg set (the caller owns
// the message and frees it with ccm_msg_free). A queued message is taken at
// once. With an empty queue the call waits up to `stimeout` seconds (0 or
// less: not at all) for one; the wait ends only when a message is there, at
// the deadline or on a signal, never early on a stale wake-up. 0 with
// *ccmmsg null when nothing could be taken; -1 when waiting failed (2000102
// in `ccmerr`, which is written only then).
int ccm_receive_message(ccm_context_t *ccm, int32_t stimeout, ccm_msg_t **ccmmsg, ccm_error_t *ccmerr);
// Waits up to `stimeout` seconds (0 polls) for a processor wake-up and takes
// it (and any other pending one). 0 after a wake-up, a time-out or a signal;
// -1 with 2000102 when the wait fails.
int ccm_wait_processor(ccm_context_t *ccm, int32_t stimeout, ccm_error_t *ccmerr);
// Counts of live (not deleted) channels of channelq, taken under
// channel_lock from any thread: server connections (types 6 and 3), all
// connections (6, 3 and listening 1), agent connections (4), and channels of
// every type but 255.
int32_t ccm_get_nof_server_connections(ccm_context_t *ccm);
int32_t ccm_get_nof_connections(ccm_context_t *ccm);
int32_t ccm_get_nof_agent_connections(ccm_context_t *ccm);
int32_t ccm_get_nof_channels(ccm_context_t *ccm);
// Messages in the context's sendq (under the queue lock; any thread).
int32_t ccm_get_sendq_count(ccm_context_t *ccm);
// 1 when the context's sendq, the batch the network thread is dispatching
// and the sendq of every live channel (type -1 excepted) are empty, else 0.
// Any thread; takes channel_lock, the queue lock and each channel's queue
// lock, one after the other.
int32_t ccm_is_all_sendq_empty(ccm_context_t *ccm);
