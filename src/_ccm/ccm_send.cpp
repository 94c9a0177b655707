// The common send step and the header routes (native, GSS, IPC), and the
// passing of an open descriptor over an IPC channel.
//
// Every route first accepts the message for its channel (ccm_sendq_admit),
// which may wait for room; a message that is not accepted stays with the
// caller as it was. An accepted message is framed and taken over: after the
// call it belongs to the network thread. Headers go into the headroom in
// front of msg_start, so no route copies the payload.
#include <sys/socket.h>

#include <cstddef>
#include <cstring>

#include "ccm.h"
#include "ccm_io.h"
#include "ccm_lock.h"
#include "ccm_send_internal.h"
#include "ccm_sendq.h"
#include "ipcmsg.h"
#include "wq_trace.h"
#include "zudnst.h"

namespace {

// Puts the protocol header with `protocol` in front of the payload.
int prepend_header(ccm_msg_t *msg, const char *protocol) {
  if (ccm_msg_make_room(msg, kProtocolHeaderLen, 0) < 0) return -1;
  msg->msg_start -= kProtocolHeaderLen;
  msg->len += kProtocolHeaderLen;
  ccm_msg_set_protocol_header(msg, protocol);
  return 0;
}

// A message that cannot be framed was handed over all the same: it is
// released, as the network thread would release an unroutable one.
int drop(ccm_context_t *ccm, ccm_msg_t *msg) {
  if (ccm && msg) ccm_msg_free(ccm, msg);
  return -1;
}

// The first steps of a header route: accept the message for its channel,
// then frame it. 0 when it is ready for the common step; CCM_SEND_TIMEDOUT
// or CCM_SEND_CLOSED when it was not accepted (it is the caller's, as it
// was); -1 when it cannot be framed (it is released).
int accept_and_frame(ccm_context_t *ccm, ccm_msg_t *msg, const char *protocol) {
  if (!ccm || !msg) return drop(ccm, msg);
  const int rc = ccm_sendq_admit(ccm, msg);
  if (rc < 0) return rc;
  if (prepend_header(msg, protocol) < 0) {
    ccm_sendq_cancel(ccm, msg);
    return drop(ccm, msg);
  }
  return 0;
}

}  // namespace

int ccm_msg_make_room(ccm_msg_t *m, int front, int back) {
  if (!m || !m->buffer1 || !m->msg_start || m->len < 0 || m->size <= 0 || front < 0 || back < 0) return -1;
  int64_t cap = 2LL * m->size;
  int64_t start = m->msg_start - m->buffer1;
  if (start < 0 || start > cap || start + m->len > cap) return -1;
  if (start >= front && start + m->len + back <= cap) return 0;
  if ((int64_t)front + m->len + back > cap) return -1;
  memmove(m->buffer1 + front, m->msg_start, (size_t)m->len);
  m->msg_start = m->buffer1 + front;
  return 0;
}

// Accepts a framed message for its channel (unless its route did), moves it
// from the in-use list to the context's send queue and wakes the network
// thread. 0; -1 without context or message; CCM_SEND_TIMEDOUT or
// CCM_SEND_CLOSED when it was not accepted (it stays with the caller).
int ccm_send_message_common(ccm_context_t *ccm, ccm_msg_t *ccmmsg, const char *text) {
  TRC_IN("(ccm=%p, msg=%p, %s)", (void *)ccm, (void *)ccmmsg, text ? text : "");
  if (!ccm || !ccmmsg) {
    TRC_OUT("no context or message");
    return -1;
  }
  const int rc = ccm_sendq_admit(ccm, ccmmsg);
  if (rc < 0) {
    TRC_OUT("not accepted for its channel (%d)", rc);
    return rc;
  }
  TRC_DUMP(ccmmsg->msg_start, ccmmsg->len, "%s", text ? text : "");
  ccm_msg_hand_over(ccm, ccmmsg, CcmHandTo::kNetwork);
  TRC_OUT("OK");
  return 0;
}

// Header routes: put the 48-byte header in front of the payload and queue
// the message. One that cannot be framed is released (-1); one that its
// channel does not accept stays with the caller (CCM_SEND_TIMEDOUT,
// CCM_SEND_CLOSED).
int send_native_message(ccm_context_t *ccm, ccm_msg_t *ccmmsg) {
  TRC_IN("(msg=%p)", (void *)ccmmsg);
  const int rc = accept_and_frame(ccm, ccmmsg, "NAT");
  if (rc < 0) {
    TRC_OUT("not sent (%d)", rc);
    return rc;
  }
  ccm_send_message_common(ccm, ccmmsg, "native message");
  TRC_OUT("OK");
  return 0;
}

int send_GSS_message(ccm_context_t *ccm, ccm_msg_t *ccmmsg, const char *coding) {
  TRC_IN("(msg=%p, coding=%s)", (void *)ccmmsg, coding ? coding : "");
  const int rc = accept_and_frame(ccm, ccmmsg, "GSS");
  if (rc < 0) {
    TRC_OUT("not sent (%d)", rc);
    return rc;
  }
  unsigned char *cod = ccmmsg->msg_start + offsetof(WQ8_PROTOCOL_HEADER, cCoding);
  memset(cod, ' ', 8);
  if (coding) memcpy(cod, coding, strnlen(coding, 8));
  ccm_send_message_common(ccm, ccmmsg, "GSS protocol message");
  TRC_OUT("OK");
  return 0;
}

int send_IPC_message(ccm_context_t *ccm, ccm_msg_t *ccmmsg) {
  if (!ccm || !ccmmsg) {
    TRC_IN("(msg=%p)", (void *)ccmmsg);
    TRC_OUT("no context or message");
    return drop(ccm, ccmmsg);
  }
  char name[17] = "";
  if (ccmmsg->len > 0 && ccmmsg->msg_start) memcpy(name, ccmmsg->msg_start, ccmmsg->len < 16 ? ccmmsg->len : 16);
  TRC_IN("(msg=%p, type=%s)", (void *)ccmmsg, name);
  const int rc = accept_and_frame(ccm, ccmmsg, "IPC");
  if (rc < 0) {
    TRC_OUT("not sent (%d)", rc);
    return rc;
  }
  ccmmsg->type = CCM_MSG_IPC;
  ccm_send_message_common(ccm, ccmmsg, "IPC message");
  TRC_OUT("OK");
  return 0;
}

// Sends a "PASSFD" record to the channel named `destination` with `fd` as
// SCM_RIGHTS ancillary data; the descriptor stays open here. 0; -1 when no
// message buffer could be had; the route's failure when the record was not
// queued (it is released).
int send_file_descriptor(ccm_context_t *ccm, const char *destination, int32_t fd, int32_t listenerID,
                         int32_t agentID, const char *name) {
  const char *dst = destination ? destination : "";
  TRC_LINE("%s(passing fd=%d to partner %s) -->", fd, dst);
  __log(CCM_LOG_PASS_FD, "%d/ID=%d", fd, listenerID);
  ccm_error_t err{};
  ccm_msg_t *msg = ccm ? ccm_msg_alloc(ccm, &err) : nullptr;
  if (!msg) {
    TRC_OUT("msg alloc error");
    return -1;
  }
  memset(msg->msg_start, 0, sizeof(ipcmsg_passfd_t));
  msg->len = (int32_t)sizeof(ipcmsg_passfd_t);
  memcpy(msg->msg_start + offsetof(ipcmsg_passfd_t, head), "PASSFD", 6);

  // One SCM_RIGHTS control message carrying the descriptor. The length handed
  // to sendmsg is the aligned space of that message, which the platform needs
  // to see the whole descriptor.
  static_assert(CMSG_SPACE(sizeof(int)) <= sizeof msg->control_data);
  memset(msg->control_data, 0, sizeof msg->control_data);
  struct cmsghdr cm {};
  cm.cmsg_len = CMSG_LEN(sizeof(int));
  cm.cmsg_level = SOL_SOCKET;
  cm.cmsg_type = SCM_RIGHTS;
  memcpy(msg->control_data, &cm, sizeof cm);
  int ifd = fd;
  memcpy(msg->control_data + CMSG_LEN(0), &ifd, sizeof ifd);
  msg->control_len = CMSG_SPACE(sizeof(int));

  unsigned char *rec = msg->msg_start;
  memcpy(rec + offsetof(ipcmsg_passfd_t, fd), &fd, sizeof fd);
  memcpy(rec + offsetof(ipcmsg_passfd_t, agentID), &agentID, sizeof agentID);
  memcpy(rec + offsetof(ipcmsg_passfd_t, listenerID), &listenerID, sizeof listenerID);
  _StringCopy((char *)rec + offsetof(ipcmsg_passfd_t, name), 128, name, "src/_ccm/ccmmsg", __LINE__);

  ccm_setaddr(msg, 0, 0, dst, "", 0);
  const int rc = send_IPC_message(ccm, msg);
  if (rc == CCM_SEND_TIMEDOUT || rc == CCM_SEND_CLOSED) ccm_msg_free(ccm, msg);  // not taken over
  if (rc < 0) {
    TRC_OUT("not sent (%d)", rc);
    return rc;
  }
  TRC_OUT("OK");
  return 0;
}
