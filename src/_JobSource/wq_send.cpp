// The job messages to the agent.
//
// Each message body is a MSG_TYPE_MELD record (16-byte head, message number,
// 256-byte insert area) with one job record at body offset 20. The records
// are written field by field into the message buffer at their offsets, so
// the layout pinned in jp_frame.h, gaps included, is what travels. Integers
// marked little-endian go through wq_put_*; host-order fields are copied as
// they lie in memory.
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include "jp_frame.h"
#include "msg_type2.h"
#include "wq_exchange.h"
#include "wq_jpmd.h"
#include "wq_trace.h"
#include "zudnst.h"
#include "zutime.h"

ccm_msg_t *(*wq_send_msg_alloc)(ccm_context_t *ctx, ccm_error_t *err) = ccm_msg_alloc;

namespace {

constexpr size_t kRec = offsetof(MSG_TYPE_MELD, msg_insert);  // body offset of the job record
constexpr int kMeldLen = (int)sizeof(MSG_TYPE_MELD);           // 276
// Length of a variable message without its variable record.
constexpr int kVarBaseLen = kMeldLen + 20;                      // 296
constexpr int kVarFullLen = kVarBaseLen + (int)sizeof(MSG_TYPE_STATUS_VALUE);  // 1521
constexpr int32_t kVarDist = (int32_t)sizeof(JP_EXMLDV);        // 112

// Source position handed to every bounded copy of this unit.
constexpr const char kSourceFile[] = "src/_JobSource/wq_send";

// "12.2.0+build.2108" followed by blanks to the width of md_version, and
// the version as numbers.
constexpr size_t kMdVersionWidth = sizeof(JP_EXMLDJ::md_version);
constexpr char kMdVersion[kMdVersionWidth + 1] = "12.2.0+build.2108               ";
static_assert(sizeof kMdVersion == 33);
constexpr int16_t kMdMajor = 12, kMdMinor = 2, kMdPatch = 0;

constexpr size_t kInfoTextWidth = sizeof(JP_EXMLDJ::infoText);
constexpr size_t kFileNameWidth = sizeof(JP_EXMLDO::fileName);
// Longest variable name and value: their fields keep a terminator.
constexpr size_t kVarNameMax = sizeof(MSG_TYPE_STATUS_VALUE::name) - 1;
constexpr size_t kVarValueMax = sizeof(MSG_TYPE_STATUS_VALUE::value) - 1;

void put_host16(unsigned char *p, int16_t v) { memcpy(p, &v, sizeof v); }
void put_host32(unsigned char *p, int32_t v) { memcpy(p, &v, sizeof v); }

// The version fields shared by the three records, at the record's own
// offsets of md_version, mdMajor, mdMinor, mdPatch and filler.
template <typename R>
void put_version(unsigned char *rec) {
  memcpy(rec + offsetof(R, md_version), kMdVersion, kMdVersionWidth);
  put_host16(rec + offsetof(R, mdMajor), kMdMajor);
  put_host16(rec + offsetof(R, mdMinor), kMdMinor);
  put_host16(rec + offsetof(R, mdPatch), kMdPatch);
  memset(rec + offsetof(R, filler), ' ', sizeof(R::filler));
}

// MSG_TYPE_TIMESTAMP of the UTC fields of `dt`, every field little-endian.
void put_timestamp(unsigned char *p, const DATUM_BUFF &dt) {
  wq_put_u16(p + offsetof(MSG_TYPE_TIMESTAMP, jjjj), (uint16_t)dt.utc_jahr);
  wq_put_u16(p + offsetof(MSG_TYPE_TIMESTAMP, mo), (uint16_t)dt.utc_mon);
  wq_put_u16(p + offsetof(MSG_TYPE_TIMESTAMP, tt), (uint16_t)dt.utc_tag);
  wq_put_u16(p + offsetof(MSG_TYPE_TIMESTAMP, hh), (uint16_t)dt.utc_std);
  wq_put_u16(p + offsetof(MSG_TYPE_TIMESTAMP, mi), (uint16_t)dt.utc_min);
  wq_put_u16(p + offsetof(MSG_TYPE_TIMESTAMP, ss), (uint16_t)dt.utc_sek);
  wq_put_u32(p + offsetof(MSG_TYPE_TIMESTAMP, ns), 0);
}

// The current time as the record's time stamp at `stamp` and its seconds
// since the epoch at `epoch`.
void put_now(unsigned char *stamp, unsigned char *epoch) {
  DATUM_BUFF dt;
  GetDatumZeit2(nullptr, &dt);
  put_timestamp(stamp, dt);
  wq_put_u64(epoch, (uint64_t)dt.dt_time);
}

// Writes the variable record behind the JP_EXMLDV record `rec` when a
// variable name is set, and the record's distance and length fields.
// Returns the length of the variable record (0 without a name).
int32_t put_variable(unsigned char *rec, const PCX *px) {
  int32_t dist = 0, vlen = 0;
  if (px->var_name[0] != '\0') {
    dist = kVarDist;
    vlen = (int32_t)sizeof(MSG_TYPE_STATUS_VALUE);
    unsigned char *var = rec + dist;
    // Zero-padded texts.
    memcpy(var + offsetof(MSG_TYPE_STATUS_VALUE, name), px->var_name, strnlen(px->var_name, kVarNameMax));
    memcpy(var + offsetof(MSG_TYPE_STATUS_VALUE, value), px->var_value, strnlen(px->var_value, kVarValueMax));
    var[offsetof(MSG_TYPE_STATUS_VALUE, type)] = (unsigned char)px->var_type;
  }
  put_host32(rec + offsetof(JP_EXMLDV, variable_dist), dist);
  put_host32(rec + offsetof(JP_EXMLDV, variable_len), vlen);
  return vlen;
}

// Takes a message buffer, marks it a NAT message of `len` bytes, clears the
// first `clear` body bytes and writes the MELD head. Null when no buffer.
ccm_msg_t *start_message(const PCX *px, int len, int clear) {
  ccm_error_t err{};
  ccm_msg_t *msg = wq_send_msg_alloc ? wq_send_msg_alloc(ccm, &err) : nullptr;
  if (!msg) return nullptr;
  msg->type = CCM_MSG_NAT;
  msg->len = len;
  memset(msg->msg_start, 0, (size_t)clear);
  WQ_HEADM head;
  CreateWqHeadm(&head, "MELD    ", px->client, 0);
  memcpy(msg->msg_start + offsetof(MSG_TYPE_MELD, header), &head, sizeof head);
  return msg;
}

// Addresses the message to the agent's channel under "JPAKTJ_R" and hands it
// to the NAT route. A message the route refuses stays ours and is freed.
void send_report(const PCX *px, ccm_msg_t *msg) {
  ccm_setaddr(msg, px->agentID, 0, "", kReportFunction, 0);
  if (send_NAT_message(ccm, msg) < 0) ccm_msg_free(ccm, msg);
}

}  // namespace

int SendJpMd(PCX *px) {
  TRC_IN("(job=%d)", px->jobnri);
  ccm_msg_t *msg = start_message(px, kMeldLen, kMeldLen);
  if (!msg) {
    TRC_OUT("no message buffer");
    return kSendNoBuffer;
  }
  unsigned char *rec = msg->msg_start + kRec;
  wq_put_u32(rec + offsetof(JP_EXMLDJ, jobNr), (uint32_t)px->jobnri);
  rec[offsetof(JP_EXMLDJ, status)] = (unsigned char)px->status;
  char *info = (char *)rec + offsetof(JP_EXMLDJ, infoText);
  memset(info, ' ', kInfoTextWidth);
  _StringCopy(info, kInfoTextWidth, px->info_text, kSourceFile, __LINE__);
  put_version<JP_EXMLDJ>(rec);
  wq_put_u32(rec + offsetof(JP_EXMLDJ, retCode), (uint32_t)px->reti);

  put_now(rec + offsetof(JP_EXMLDJ, sTime), rec + offsetof(JP_EXMLDJ, jtime));

  pid_t pid = getpid(), ppid = getppid(), pgrp = getpgrp(), sid = getsid(pid);
  TRC("%-30s : %i", "process ID", (int)pid);
  TRC("%-30s : %i", "parent process ID", (int)ppid);
  TRC("%-30s : %i", "groupID of the calling process", (int)pgrp);
  TRC("%-30s : %i", "session ID", (int)sid);
  wq_put_u32(rec + offsetof(JP_EXMLDJ, pid), (uint32_t)pid);
  wq_put_u32(rec + offsetof(JP_EXMLDJ, ppid), (uint32_t)ppid);
  wq_put_u32(rec + offsetof(JP_EXMLDJ, pgrp), (uint32_t)pgrp);
  wq_put_u32(rec + offsetof(JP_EXMLDJ, sid), (uint32_t)sid);

  send_report(px, msg);
  TRC_OUT("OK");
  return 0;
}

int SendOutputViewMsg(PCX *px) {
  TRC_IN("(job=%d)", px->jobnri);
  if (px->output_file[0] == '\0') {
    TRC_OUT("filename not defined");
    return -1;
  }
  ccm_msg_t *msg = start_message(px, kMeldLen, kMeldLen);
  if (!msg) {
    TRC_OUT("no message buffer");
    return kSendNoBuffer;
  }
  unsigned char *rec = msg->msg_start + kRec;
  wq_put_u32(rec + offsetof(JP_EXMLDO, jobNr), (uint32_t)px->jobnri);
  rec[offsetof(JP_EXMLDO, status)] = 'O';
  put_version<JP_EXMLDO>(rec);

  put_now(rec + offsetof(JP_EXMLDO, currTime), rec + offsetof(JP_EXMLDO, currTime_t));
  rec[offsetof(JP_EXMLDO, loginCheck)] = (unsigned char)px->output_login;
  // The whole field is written inside the buffer; the message keeps the
  // length of MSG_TYPE_MELD, so the peer receives the first 183 bytes.
  unsigned char *file = rec + offsetof(JP_EXMLDO, fileName);
  memset(file, 0, kFileNameWidth);
  memcpy(file, px->output_file, strnlen(px->output_file, kFileNameWidth));

  send_report(px, msg);
  TRC_OUT("OK");
  return 0;
}

int SendRegVariableMsg(PCX *px) {
  TRC_IN("(job=%d, name=%s)", px->jobnri, px->var_name);
  // Everything up to the longest length is cleared, so the bytes behind the
  // variable record (no field lies there) and the 20 bytes behind the MELD
  // record of a message without variable never carry an earlier message.
  ccm_msg_t *msg = start_message(px, kMeldLen, kVarFullLen);
  if (!msg) {
    TRC_OUT("no message buffer");
    return kSendNoBuffer;
  }
  unsigned char *rec = msg->msg_start + kRec;
  wq_put_u32(rec + offsetof(JP_EXMLDV, jobNr), (uint32_t)px->jobnri);
  rec[offsetof(JP_EXMLDV, status)] = 'V';
  memset(rec + offsetof(JP_EXMLDV, infoText), ' ', sizeof(JP_EXMLDV::infoText));
  put_version<JP_EXMLDV>(rec);

  put_now(rec + offsetof(JP_EXMLDV, currTime), rec + offsetof(JP_EXMLDV, currTime_t));
  msg->len = kVarBaseLen + put_variable(rec, px);

  send_report(px, msg);
  TRC_OUT("OK");
  return 0;
}
