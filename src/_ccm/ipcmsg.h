// IPC records: control traffic between a process and its agent, and the
// notices of the network thread to the user's thread. Every record starts
// with a 16-byte type name padded with zero bytes; names are compared over
// all 16 bytes. Host byte order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ccm.h"

typedef struct __ipcmsg_header {
  char msgtype[16];
} ipcmsg_header_t;

typedef struct __ipcmsg_channel_close {
  ipcmsg_header_t head;           // "CHANNEL_CLOSE"
  ccm_channel_t ccmch;            // copy of the destroyed channel
  ccm_connect_user_context_t cuc; // copy of its user context, or zeros
} ipcmsg_channel_close_t;

typedef struct __ipcmsg_channel_accept {
  ipcmsg_header_t head;           // "CHANNEL_ACCEPT"
  int32_t ID;
} ipcmsg_channel_accept_t;

typedef struct __ipcmsg_routenat {
  ipcmsg_header_t head;           // "ROUTENAT"
  ccm_addr_t addr;
  int32_t len;
  // followed by `len` payload bytes
} ipcmsg_routenat_t;

typedef struct __ipcmsg_passfd {
  ipcmsg_header_t head;           // "PASSFD"
  int32_t fd;
  int32_t agentID;
  int32_t listenerID;
  char name[128];
} ipcmsg_passfd_t;

typedef struct __ipcmsg_logging {
  ipcmsg_header_t head;           // "LOGGING"
  int32_t msgnr;
  char msginsert[1024];
} ipcmsg_logging_t;

static_assert(sizeof(ipcmsg_header_t) == 16);
static_assert(offsetof(ipcmsg_routenat_t, addr) == 16);
static_assert(offsetof(ipcmsg_routenat_t, len) == 304);
static_assert(sizeof(ipcmsg_routenat_t) == 308);
static_assert(offsetof(ipcmsg_passfd_t, fd) == 16);
static_assert(offsetof(ipcmsg_passfd_t, agentID) == 20);
static_assert(offsetof(ipcmsg_passfd_t, listenerID) == 24);
static_assert(offsetof(ipcmsg_passfd_t, name) == 28);
static_assert(sizeof(ipcmsg_passfd_t) == 156);
static_assert(offsetof(ipcmsg_logging_t, msgnr) == 16);
static_assert(offsetof(ipcmsg_logging_t, msginsert) == 20);
static_assert(sizeof(ipcmsg_logging_t) == 1044);
static_assert(offsetof(ipcmsg_channel_accept_t, ID) == 16);

// Dispatch table row: a type name and its handler (process context, message).
typedef struct __sr_function {
  char name[16];
  int32_t (*function_addr)(void *pcx, ccm_msg_t *ccmmsg);
} sr_function_t;

extern const sr_function_t ipc_function_list[];
extern const char control_data_type_text[8][16];

// Runs the handler of the record's type name (the fallback for unknown
// names) with (pcx, ccmmsg) and returns its result; keeps `pcx` (a program
// context beginning with ccm_program_head_t) for ipc_logger. The message
// stays with the caller. -1 for a null message. The receiving thread.
int32_t process_IPC_message(void *pcx, ccm_context_t *ccm, ccm_msg_t *ccmmsg);
// "CHANNEL_CLOSE": the notice needs no work in this program, so the handler
// only answers 0, as its contract asks.
int32_t process_ipc_channel_close(void *pcx, ccm_msg_t *ccmmsg);
// Unknown and not implemented records: log -1 "IPC message (<type>) is not
// known" / "... is not implemented" and 2000033 "<source name>|". -1.
int32_t process_ipc_unknown(void *pcx, ccm_msg_t *ccmmsg);
int32_t process_ipc_not_implemented(void *pcx, ccm_msg_t *ccmmsg);
// A logger (logger_function_t) that sends number and insert (at most 1024
// characters) as a "LOGGING" record to "*IPC(AGENT)" through the channel
// manager of the context that process_IPC_message kept. Always 0; nothing is
// sent before a context was kept or without a channel manager in it, and a
// record that the agent's channel does not take (not open, or full for the
// send time-out; on the network thread a send never waits) is dropped.
int ipc_logger(int32_t msgnr, const char *msginsert);
