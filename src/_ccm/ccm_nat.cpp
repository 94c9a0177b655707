// Addressing and the NAT route: the setters of a message's routing address,
// the NAT send route with its redirection of "*SERVER" through the local
// agent's IPC channel, and the forwarding of a received NAT message.
#include <cstddef>
#include <cstring>

#include "ccm.h"
#include "ccm_error.h"
#include "ccm_send_internal.h"
#include "ccm_sendq.h"
#include "ipcmsg.h"
#include "wq_trace.h"
#include "zudnst.h"

namespace {

constexpr char kAddrEyec[8] = {'#', 'C', 'C', 'M', 'A', 'D', 'D', 'R'};

// Bounded copy into a 64-character address field; a null text gives "".
void copy_field(char (&dst)[64], const char *src) {
  _StringCopy(dst, sizeof dst, src, "src/_ccm/ccm", __LINE__);
}

// Largest prefix the routing blocks put in front of a payload (0xFF length,
// "*CP" address, name, access value) plus the protocol header, and the
// largest callback block behind it.
constexpr int kNatFront = 5 + (2 + 63) + 10 + 6 + kProtocolHeaderLen;
constexpr int kNatBack = 3 + (2 + 63) + 10 + 6;

// A normal message when `need` bytes fit behind msg_start, otherwise a huge
// one large enough for them.
ccm_msg_t *alloc_for(ccm_context_t *ccm, int64_t need, ccm_error_t *err) {
  if (need <= 2LL * kCcmNormalSize - kCcmHeadroom) return ccm_msg_alloc(ccm, err);
  int64_t size = (need + kCcmHeadroom + 1) / 2;
  if (size > INT32_MAX / 2) return nullptr;
  return ccm_msg_alloc_huge(ccm, (int32_t)size, err);
}

}  // namespace

// Fills the destination half of the address (ID, address, name, access
// value; texts cut to 63 characters, null as "") and the eye-catcher.
// reply_ID is not used. Returns &ccmmsg->addr.
ccm_addr_t *ccm_setaddr(ccm_msg_t *ccmmsg, int32_t ID, int32_t reply_ID, const char *addr, const char *name,
                        int32_t acv) {
  (void)reply_ID;  // accepted for the interface, not used
  ccm_addr_t *a = &ccmmsg->addr;
  memcpy(a->eyec, kAddrEyec, sizeof a->eyec);
  a->dst_ID = ID;
  a->dst_acv = acv;
  copy_field(a->dst_addr, addr);
  copy_field(a->dst_name, name);
  return a;
}

// Fills the source half (address, name, access value) and the eye-catcher;
// src_ID stays. Returns &ccmmsg->addr.
ccm_addr_t *ccm_setback(ccm_msg_t *ccmmsg, const char *addr, const char *name, int32_t acv) {
  ccm_addr_t *a = &ccmmsg->addr;
  memcpy(a->eyec, kAddrEyec, sizeof a->eyec);
  a->src_acv = acv;
  copy_field(a->src_addr, addr);
  copy_field(a->src_name, name);
  return a;
}

// Addresses ccmd back to the sender of ccms: its source ID, address, name and
// access value become ccmd's destination. Returns &ccmd->addr.
ccm_addr_t *ccm_setaddr_reply(ccm_msg_t *ccmd, const ccm_msg_t *ccms) {
  ccm_addr_t *d = &ccmd->addr;
  const ccm_addr_t *s = &ccms->addr;
  memcpy(d->eyec, kAddrEyec, sizeof d->eyec);
  d->dst_ID = s->src_ID;
  d->dst_acv = s->src_acv;
  // The source fields of a received message are filled from the wire without
  // a guaranteed terminator inside the field; copy at most 63 characters.
  char tmp[64];
  memcpy(tmp, s->src_addr, 63);
  tmp[63] = '\0';
  copy_field(d->dst_addr, tmp);
  memcpy(tmp, s->src_name, 63);
  tmp[63] = '\0';
  copy_field(d->dst_name, tmp);
  return d;
}

// Frames the payload as a NAT message (routing blocks, "NAT" header) and
// queues it for the network thread; "*SERVER" in a non-agent process goes
// through the agent instead. 0: the message is handed over; -1: it stays
// with the caller (conversion hook failed, no room, no buffer for routing);
// CCM_SEND_TIMEDOUT, CCM_SEND_CLOSED: its channel did not accept it, and it
// stays with the caller as it was (it is accepted before it is framed).
int send_NAT_message(ccm_context_t *ccm, ccm_msg_t *ccmmsg) {
  TRC_IN("(ccm=%p, msg=%p)", (void *)ccm, (void *)ccmmsg);
  if (!ccm || !ccmmsg) {
    TRC_OUT("no context or message");
    return -1;
  }
  // A process other than an agent sends what is meant for the server through
  // its agent, which frames and forwards it.
  const int mode = ccm_running_mode(ccm);
  if (mode != -1 && mode != CCM_MODE_AGENT && strncmp(ccmmsg->addr.dst_addr, "*SERVER", 64) == 0) {
    const int rc = send_NAT_message_route(ccm, ccmmsg);
    if (rc < 0) {
      TRC_OUT("route error (%d)", rc);
      return rc;
    }
    TRC_OUT("routed");
    return 0;
  }
  const int rc = ccm_sendq_admit(ccm, ccmmsg);
  if (rc < 0) {
    TRC_OUT("not accepted for its channel (%d)", rc);
    return rc;
  }
  if ((ccmmsg->flag & CCM_MSGF_XML) == 0 && msgconv_ToLan(ccm, ccmmsg) < 0) {
    ccm_sendq_cancel(ccm, ccmmsg);
    TRC_OUT("msgconv ToLAN() error");
    return -1;
  }
  if (ccm_msg_make_room(ccmmsg, kNatFront, kNatBack) < 0) {
    ccm_sendq_cancel(ccm, ccmmsg);
    TRC_OUT("message does not fit its buffer");
    return -1;
  }
  if (WQ_TRACE_ON()) {
    // The message type is the first 8 payload bytes, as far as there are any.
    char msgtype[9] = "";
    memcpy(msgtype, ccmmsg->msg_start, ccmmsg->len < 8 ? (size_t)ccmmsg->len : 8);
    TRC("%8.8s send %8.8s  to  %s b-acv: %.8X  c-acv: %.8X", ccmmsg->addr.src_name, msgtype, ccmmsg->addr.dst_addr,
        (unsigned)ccmmsg->addr.src_acv, (unsigned)ccmmsg->addr.dst_acv);
  }
  cmm_msg_write_sr_data(ccmmsg);
  ccmmsg->msg_start -= kProtocolHeaderLen;
  ccmmsg->len += kProtocolHeaderLen;
  ccm_msg_set_protocol_header(ccmmsg, "NAT");
  ccmmsg->type = CCM_MSG_NAT;
  ccm_send_message_common(ccm, ccmmsg, "NAT message");
  TRC_OUT("OK");
  return 0;
}

int send_NAT_message_route(ccm_context_t *ccm, ccm_msg_t *ccmmsg) {
  TRC_IN("(ccm=%p, msg=%p, len=%d)", (void *)ccm, (void *)ccmmsg, ccmmsg ? ccmmsg->len : 0);
  if (!ccm || !ccmmsg || ccmmsg->len < 0) {
    TRC_OUT("no context or message");
    return -1;
  }
  ccm_error_t err{};
  int64_t need = (int64_t)sizeof(ipcmsg_routenat_t) + ccmmsg->len;
  ccm_msg_t *route = alloc_for(ccm, need, &err);
  if (!route) {
    // The routed message stays with the caller, who learns of it by -1.
    TRC_OUT("msg alloc error");
    return -1;
  }
  memset(route->msg_start, 0, sizeof(ipcmsg_routenat_t));
  memcpy(route->msg_start + offsetof(ipcmsg_routenat_t, head), "ROUTENAT", 8);
  memcpy(route->msg_start + offsetof(ipcmsg_routenat_t, addr), &ccmmsg->addr, sizeof(ccm_addr_t));
  memcpy(route->msg_start + offsetof(ipcmsg_routenat_t, len), &ccmmsg->len, sizeof(int32_t));
  memcpy(route->msg_start + sizeof(ipcmsg_routenat_t), ccmmsg->msg_start, (size_t)ccmmsg->len);
  route->len = (int32_t)need;
  ccm_setaddr(route, 0, 0, "*IPC(AGENT)", "", 0);
  const int rc = send_IPC_message(ccm, route);
  if (rc < 0) {
    // The record was released (-1) or is still ours; the routed message
    // stays with the caller either way.
    if (rc != -1) ccm_msg_free(ccm, route);
    TRC_OUT("record not sent (%d)", rc);
    return rc;
  }
  ccm_msg_free(ccm, ccmmsg);
  TRC_OUT("OK");
  return 0;
}

// Sends a copy of the payload of ccmmsg to another channel (by ID, or by
// name), with "*SERVER" as call-back address. ccmmsg stays with the caller.
// 0, or -1 with 2003070 in ccmerr (channel not found, no buffer, not sent).
int ccm_forward_NAT_message(ccm_context_t *ccm, ccm_msg_t *ccmmsg, int32_t channelID, const char *channelName,
                            ccm_error_t *ccmerr, int32_t check_channel) {
  const char *cname = channelName ? channelName : "";
  TRC_IN("(ID=%d, name=%s, check=%d)", channelID, cname, check_channel);
  int fwdID = 0;
  char fwdName[64] = "";
  if (check_channel) {
    ccm_channel_t *ch = nullptr;
    if (channelID != 0) ch = ccm_channel_getbyID(ccm, channelID);
    if (!ch) ch = ccm_channel_getbyName(ccm, cname);
    if (!ch) {
      ccm_error_set(ccmerr, CCM_MSGNR_FORWARD, "%d/%s|channel not found|", channelID, cname);
      TRC_OUT("ftx ipc channel not found");
      return -1;
    }
    fwdID = ch->ID;
    memcpy(fwdName, ch->name, sizeof fwdName - 1);
    ccm_channel_unlock(ccm);
  } else {
    // Without a check the given ID is taken as it is, so that the message
    // can still be routed by it.
    fwdID = channelID;
  }

  int32_t len = ccmmsg->len < 0 ? 0 : ccmmsg->len;
  ccm_error_t err{};
  ccm_msg_t *fwd = alloc_for(ccm, (int64_t)len + kNatBack, &err);
  if (!fwd) {
    ccm_error_set(ccmerr, CCM_MSGNR_FORWARD, "%d/%s|alloc error|", channelID, cname);
    TRC_OUT("alloc error");
    return -1;
  }
  // Received fields may fill their whole 64 bytes; pass terminated copies.
  char dname[64], sname[64];
  memcpy(dname, ccmmsg->addr.dst_name, 63);
  dname[63] = '\0';
  memcpy(sname, ccmmsg->addr.src_name, 63);
  sname[63] = '\0';
  if (channelID != 0)
    ccm_setaddr(fwd, fwdID, 0, "", dname, ccmmsg->addr.dst_acv);
  else
    ccm_setaddr(fwd, 0, 0, cname, dname, ccmmsg->addr.dst_acv);
  ccm_setback(fwd, "*SERVER", sname, ccmmsg->addr.src_acv);
  memcpy(fwd->msg_start, ccmmsg->msg_start, (size_t)len);
  fwd->len = len;
  if (send_NAT_message(ccm, fwd) < 0) {
    ccm_msg_free(ccm, fwd);
    ccm_error_set(ccmerr, CCM_MSGNR_FORWARD, "%d/%s|send error|", channelID, cname);
    TRC_OUT("send error");
    return -1;
  }
  TRC_OUT("fowarded to ID=%d,name='%s'", fwdID, fwdName);
  return 0;
}
