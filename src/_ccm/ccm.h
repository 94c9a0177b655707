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
// successful lookup returns with channel_lock held.
//
// Failures return -1 (or NULL) and fill the caller's ccm_error_t; no
// exception leaves this interface.
#pragma once

#include <pthread.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "ccm_queue.h"
#include "messenger_pcx.h"

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

// ---- error record -----------------------------------------------------------
typedef struct __ccm_error {
  int xerrno;
  int msgnr;
  char msginsert[1024];
} ccm_error_t;

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

typedef ccm_queue_t<ccm_msg_t> ccm_msgq_t;

// ---- channel ----------------------------------------------------------------
// Channel flag bits.
inline constexpr int CCM_CHF_DELETED = 0x01;
inline constexpr int CCM_CHF_SECURED = 0x02;
inline constexpr int CCM_CHF_CONNECTING = 0x08;
inline constexpr int CCM_CHF_NOREAD = 0x10;
inline constexpr int CCM_CHF_BINDADDR = 0x40;

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
} ccm_context_t;

inline void ccm_loop_set(ccm_context_t *ccm, int v) { std::atomic_ref<int>(ccm->loop).store(v); }

// ---- context and locks -------------------------------------------------------
int ccm_open(void *ppcx, ccm_context_t **pccm, ccm_error_t *ccmerr);
int ccm_close(ccm_context_t *ccm, ccm_error_t *ccmerr);
int ccm_queue_lock(ccm_context_t *ccm);
int ccm_queue_unlock(ccm_context_t *ccm);
int ccmch_queue_lock(ccm_context_t *ccm, ccm_channel_t *ccmch);
int ccmch_queue_unlock(ccm_context_t *ccm, ccm_channel_t *ccmch);
int ccm_channel_lock(ccm_context_t *ccm);
int ccm_channel_unlock(ccm_context_t *ccm);
int ccm_create_wakeup_pipes(ccm_context_t *ccm, ccm_error_t *ccmerr);
int ccm_close_wakeup_pipes(ccm_context_t *ccm);
int ccm_wakeup_network(ccm_context_t *ccm);
int ccm_wakeup_processor(ccm_context_t *ccm);

// ---- address resolution ----------------------------------------------------
int ccm_hostname2address(const char *phostname, int options, struct sockaddr_in6 *addr, ccm_error_t *ccmerr);
int ccm_address2string(const struct sockaddr_in6 *addr, char *dst, socklen_t size);
char *ccm_addressformatted(const char *in, char *out);
int ccm_getmyIP(int options, char *out, ccm_error_t *ccmerr);
int ccm_log_all_ip(const char *hostname, ccm_error_t *ccmerr);
int ccm_check_ipv6_support(ccm_error_t *ccmerr);
// The entry of a resolver list that ccm_hostname2address takes: the first
// entry of the wanted family (options 2 = IPv4, 1 = IPv6) that is neither
// loopback nor IPv6 link-local; else the first such entry of any family;
// else the list's first entry. Null for an empty list.
struct addrinfo;
const struct addrinfo *ccm_choose_address(const struct addrinfo *list, int options);

// ---- channel table -----------------------------------------------------------
int ccm_channel_new_entry(ccm_context_t *ccm, ccm_channel_t **ccmch, ccm_error_t *ccmerr);
int ccm_channel_chain(ccm_context_t *ccm, ccm_channel_t *ccmch);
ccm_channel_t *ccm_channel_getbyID(ccm_context_t *ccm, int ID);
ccm_channel_t *ccm_channel_getbyRemoteID(ccm_context_t *ccm, int ID);
ccm_channel_t *ccm_channel_getbyName(ccm_context_t *ccm, const char *name);
int ccm_channel_existbyID(ccm_context_t *ccm, int ID);
int ccm_channel_existbyName(ccm_context_t *ccm, const char *name);
int ccm_channel_get_ip(ccm_context_t *ccm, int ID, const char *name, char *ip, ccm_error_t *ccmerr);
int ccm_channel_delete(ccm_context_t *ccm, ccm_channel_t *ccmch);
int ccm_channel_deletebyID(ccm_context_t *ccm, int ID);
int ccm_channel_deletebyName(ccm_context_t *ccm, const char *name);
int ccm_channel_destroy(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_error_t *ccmerr);
int ccm_channel_bindaddr_inquire(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_error_t *ccmerr);
int ccm_channel_closeall(ccm_context_t *ccm);
int ccm_destroy_deleted_channels(ccm_context_t *ccm);
// Writes the trace description of a channel, "channel(name=...,chID=...,...)",
// into `buf` (bounded to `size`). Returns `buf`.
char *ccm_channel_describe(const ccm_channel_t *ccmch, char *buf, size_t size);

// ---- listening and connecting ------------------------------------------------
int ccm_create_listen(ccm_context_t *ccm, const char *pbind_addr, int port, int listen_count, ccm_error_t *ccmerr);
int ccm_set_nonblocking(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_error_t *ccmerr);
int ccm_set_linger(ccm_context_t *ccm, ccm_channel_t *ccmch, int onoff, int ptime, ccm_error_t *ccmerr);
int ccm_is_cp_connecting(ccm_context_t *ccm, const char *host, int port, ccm_error_t *ccmerr);
int ccm_connect(ccm_context_t *ccm, const char *host, int port, int type, ccm_connect_user_context_t *cuc,
                int connwait, ccm_error_t *ccmerr);

// ---- network thread and select loop ------------------------------------------
int ccm_thread_start(ccm_context_t *ccm, ccm_error_t *ccmerr);
void *ccm_thread_run(void *pccm);
int ccm_thread_stop(ccm_context_t *ccm);
int ccm_dispatch_send_messages(ccm_context_t *ccm);
int ccm_channel_merge_newq(ccm_context_t *ccm);
int ccm_channel_maintenance(ccm_context_t *ccm);
int ccm_channel_create_pair(ccm_context_t *ccm, ccm_channel_t **pch1, ccm_channel_t **pch2, ccm_error_t *ccmerr);
int ccm_network_select(ccm_context_t *ccm, int stimeout, ccm_error_t *ccmerr);
int ccm_signal_on_listen(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_error_t *ccmerr);

// ---- messages ------------------------------------------------------------------
ccm_msg_t *ccm_msg_alloc(ccm_context_t *ccm, ccm_error_t *ccmerr);
ccm_msg_t *ccm_msg_alloc_huge(ccm_context_t *ccm, int32_t size, ccm_error_t *ccmerr);
int ccm_msg_free(ccm_context_t *ccm, ccm_msg_t *ccmmsg);
int ccm_msg_set_protocol_header(ccm_msg_t *ccmmsg, const char *protocol);
unsigned char *ccm_msg_write_native_data(ccm_msg_t *ccmmsg, char key, const unsigned char *data, int32_t len);
int cmm_msg_write_sr_data(ccm_msg_t *ccmmsg);
int ccm_msg_set_ipc_header(ccm_msg_t *ccmmsg, size_t len);
int ccm_msg_emptying_queues(ccm_context_t *ccm);
int ccm_channel_emptying_msg_queue(ccm_context_t *ccm, ccm_channel_t *ccmch);

// ---- reading and writing -------------------------------------------------------
int ccm_read_channel(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_error_t *ccmerr);
size_t ccm_get_msg_length(ccm_context_t *ccm, ccm_channel_t *ccmch, const char *buffer);
int ccm_classify_message(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_msg_t *ccmmsg, ccm_error_t *ccmerr);
int ccm_parse_native_message(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_msg_t *ccmmsg, ccm_error_t *ccmerr);
int32_t extract_protocol_data(const unsigned char *src, int keylen, unsigned char *dst);
int msgconv_ToHost(ccm_context_t *ccm, ccm_msg_t *ccmmsg);
int msgconv_ToLan(ccm_context_t *ccm, ccm_msg_t *ccmmsg);
int ccm_write_channel(ccm_context_t *ccm, ccm_channel_t *ccmch, ccm_error_t *ccmerr);

// ---- addressing and send routes --------------------------------------------------
ccm_addr_t *ccm_setaddr(ccm_msg_t *ccmmsg, int32_t ID, int32_t reply_ID, const char *addr, const char *name,
                        int32_t acv);
ccm_addr_t *ccm_setback(ccm_msg_t *ccmmsg, const char *addr, const char *name, int32_t acv);
ccm_addr_t *ccm_setaddr_reply(ccm_msg_t *ccmd, const ccm_msg_t *ccms);
int send_NAT_message(ccm_context_t *ccm, ccm_msg_t *ccmmsg);
int send_NAT_message_route(ccm_context_t *ccm, ccm_msg_t *ccmmsg);
int ccm_forward_NAT_message(ccm_context_t *ccm, ccm_msg_t *ccmmsg, int32_t channelID, const char *channelName,
                            ccm_error_t *ccmerr, int32_t check_channel);
int ccm_send_message_common(ccm_context_t *ccm, ccm_msg_t *ccmmsg, const char *text);
int send_native_message(ccm_context_t *ccm, ccm_msg_t *ccmmsg);
int send_GSS_message(ccm_context_t *ccm, ccm_msg_t *ccmmsg, const char *coding);
int send_IPC_message(ccm_context_t *ccm, ccm_msg_t *ccmmsg);
int send_IPC_internal(ccm_context_t *ccm, ccm_msg_t *ccmmsg);
int send_file_descriptor(ccm_context_t *ccm, const char *destination, int32_t fd, int32_t listenerID,
                         int32_t agentID, const char *name);

// ---- receiving and counters ------------------------------------------------------
int ccm_receive_message(ccm_context_t *ccm, int32_t stimeout, ccm_msg_t **ccmmsg, ccm_error_t *ccmerr);
int ccm_wait_processor(ccm_context_t *ccm, int32_t stimeout, ccm_error_t *ccmerr);
int32_t ccm_get_nof_server_connections(ccm_context_t *ccm);
int32_t ccm_get_nof_connections(ccm_context_t *ccm);
int32_t ccm_get_nof_agent_connections(ccm_context_t *ccm);
int32_t ccm_get_nof_channels(ccm_context_t *ccm);
int32_t ccm_get_sendq_count(ccm_context_t *ccm);
int32_t ccm_is_all_sendq_empty(ccm_context_t *ccm);
