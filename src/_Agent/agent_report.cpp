// Decoding of the "JPAKTJ_R" report; see agent_report.h.
#include "agent_report.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "jp_frame.h"
#include "msg_type2.h"
#include "zudnst.h"

namespace {

constexpr int kRec = (int)offsetof(MSG_TYPE_MELD, msg_insert);  // 20
constexpr int kMeldLen = (int)sizeof(MSG_TYPE_MELD);           // 276

// A bounded view of the body: reads outside it yield nothing.
class Body {
 public:
  Body(const unsigned char *p, int len) : p_(p), len_(p && len > 0 ? len : 0) {}
  int len() const { return len_; }
  bool has(int off, int n) const { return off >= 0 && n >= 0 && off <= len_ && n <= len_ - off; }
  uint16_t le16(int off) const { return has(off, 2) ? wq_get_u16(p_ + off) : 0; }
  uint32_t le32(int off) const { return has(off, 4) ? wq_get_u32(p_ + off) : 0; }
  uint64_t le64(int off) const { return has(off, 8) ? wq_get_u64(p_ + off) : 0; }
  int16_t host16(int off) const {
    int16_t v = 0;
    if (has(off, 2)) memcpy(&v, p_ + off, 2);
    return v;
  }
  int32_t host32(int off) const {
    int32_t v = 0;
    if (has(off, 4)) memcpy(&v, p_ + off, 4);
    return v;
  }
  char byte(int off) const { return has(off, 1) ? (char)p_[off] : 0; }
  // Text of at most `n` bytes, ending at the first zero byte or at the end of
  // the body; `cut` tells whether the end of the body stopped it first.
  std::string text(int off, int n, bool *cut = nullptr) const {
    if (cut) *cut = false;
    if (off < 0 || off >= len_ || n <= 0) return {};
    int avail = len_ - off < n ? len_ - off : n;
    size_t l = strnlen((const char *)p_ + off, (size_t)avail);
    if (cut) *cut = (int)l == avail && avail < n;
    return std::string((const char *)p_ + off, l);
  }

 private:
  const unsigned char *p_;
  int len_;
};

std::string rtrim(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// The UTC time stamp at record offset `off`.
void read_time(const Body &b, int off, AgentReport &r) {
  r.year = (int16_t)b.le16(off + (int)offsetof(MSG_TYPE_TIMESTAMP, jjjj));
  r.month = (int16_t)b.le16(off + (int)offsetof(MSG_TYPE_TIMESTAMP, mo));
  r.day = (int16_t)b.le16(off + (int)offsetof(MSG_TYPE_TIMESTAMP, tt));
  r.hour = (int16_t)b.le16(off + (int)offsetof(MSG_TYPE_TIMESTAMP, hh));
  r.minute = (int16_t)b.le16(off + (int)offsetof(MSG_TYPE_TIMESTAMP, mi));
  r.second = (int16_t)b.le16(off + (int)offsetof(MSG_TYPE_TIMESTAMP, ss));
}

template <typename R>
void read_version(const Body &b, AgentReport &r) {
  r.md_version = rtrim(b.text(kRec + (int)offsetof(R, md_version), 32));
  r.major = b.host16(kRec + (int)offsetof(R, mdMajor));
  r.minor = b.host16(kRec + (int)offsetof(R, mdMinor));
  r.patch = b.host16(kRec + (int)offsetof(R, mdPatch));
}

void decode_job(const Body &b, AgentReport &r) {
  r.kind = ReportKind::Job;
  r.info = b.text(kRec + (int)offsetof(JP_EXMLDJ, infoText), 32);
  read_version<JP_EXMLDJ>(b, r);
  r.ret = (int32_t)b.le32(kRec + (int)offsetof(JP_EXMLDJ, retCode));
  read_time(b, kRec + (int)offsetof(JP_EXMLDJ, sTime), r);
  r.epoch = b.le64(kRec + (int)offsetof(JP_EXMLDJ, jtime));
  r.pid = b.le32(kRec + (int)offsetof(JP_EXMLDJ, pid));
  r.ppid = b.le32(kRec + (int)offsetof(JP_EXMLDJ, ppid));
  r.pgrp = b.le32(kRec + (int)offsetof(JP_EXMLDJ, pgrp));
  r.sid = b.le32(kRec + (int)offsetof(JP_EXMLDJ, sid));
}

void decode_output(const Body &b, AgentReport &r) {
  r.kind = ReportKind::Output;
  read_version<JP_EXMLDO>(b, r);
  read_time(b, kRec + (int)offsetof(JP_EXMLDO, currTime), r);
  r.epoch = b.le64(kRec + (int)offsetof(JP_EXMLDO, currTime_t));
  r.login = b.byte(kRec + (int)offsetof(JP_EXMLDO, loginCheck));
  r.file = b.text(kRec + (int)offsetof(JP_EXMLDO, fileName), 512, &r.file_cut);
}

void decode_variable(const Body &b, AgentReport &r) {
  r.kind = ReportKind::Variable;
  read_version<JP_EXMLDV>(b, r);
  read_time(b, kRec + (int)offsetof(JP_EXMLDV, currTime), r);
  r.epoch = b.le64(kRec + (int)offsetof(JP_EXMLDV, currTime_t));
  int32_t dist = b.host32(kRec + (int)offsetof(JP_EXMLDV, variable_dist));
  int32_t vlen = b.host32(kRec + (int)offsetof(JP_EXMLDV, variable_len));
  if (dist == 0 && vlen == 0) return;
  constexpr int kVarLen = (int)sizeof(MSG_TYPE_STATUS_VALUE);
  // The record must lie behind JP_EXMLDV and wholly inside the body.
  if (dist < (int32_t)sizeof(JP_EXMLDV) || vlen < kVarLen || !b.has(kRec + dist, kVarLen)) {
    char buf[96];
    snprintf(buf, sizeof buf, "variable record out of bounds (dist=%d, len=%d)", dist, vlen);
    r.error = buf;
    return;
  }
  int v = kRec + dist;
  r.has_var = true;
  r.var_name = b.text(v + (int)offsetof(MSG_TYPE_STATUS_VALUE, name), 200);
  r.var_value = b.text(v + (int)offsetof(MSG_TYPE_STATUS_VALUE, value), 1024);
  r.var_type = b.byte(v + (int)offsetof(MSG_TYPE_STATUS_VALUE, type));
}

const char *kind_name(ReportKind k) {
  switch (k) {
    case ReportKind::Output:
      return "output";
    case ReportKind::Variable:
      return "variable";
    default:
      return "job";
  }
}

// A single character as text; a zero byte is shown as nothing.
std::string char_text(char c) { return c ? std::string(1, c) : std::string(); }

void appendf(std::string &out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string &out, const char *fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n > 0) out.append(buf, (size_t)n < sizeof buf ? (size_t)n : sizeof buf - 1);
}

}  // namespace

AgentReport decode_report(const unsigned char *body, int len) {
  AgentReport r;
  Body b(body, len);
  r.len = b.len();
  if (b.len() < kMeldLen) {
    r.error = "short report";
    return r;
  }
  r.msg_typ = rtrim(b.text((int)offsetof(WQ_HEADM, msg_typ), 8));
  r.head_version = b.text((int)offsetof(WQ_HEADM, version), 2);
  if (r.msg_typ != "MELD") {
    r.error = "not a MELD message";
    return r;
  }
  uint16_t client = 0;
  uint32_t user = 0;
  memcpy(&client, body + offsetof(WQ_HEADM, i2Mandant), sizeof client);
  memcpy(&user, body + offsetof(WQ_HEADM, i4UsrIdNr), sizeof user);
  r.client = client;
  r.user = user;
  r.msgnr = b.host32((int)offsetof(MSG_TYPE_MELD, msgnr));
  r.job = b.le32(kRec + (int)offsetof(JP_EXMLDJ, jobNr));
  r.status = b.byte(kRec + (int)offsetof(JP_EXMLDJ, status));
  if (r.status == 'O')
    decode_output(b, r);
  else if (r.status == 'V')
    decode_variable(b, r);
  else
    decode_job(b, r);
  return r;
}

std::string escape_text(const std::string &s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += (char)c;
    } else if (c >= 0x20 && c < 0x7f) {
      out += (char)c;
    } else {
      appendf(out, "\\x%02X", c);
    }
  }
  return out;
}

std::string escape_json(const std::string &s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += (char)c;
    } else if (c >= 0x20 && c < 0x7f) {
      out += (char)c;
    } else {
      appendf(out, "\\u%04X", c);  // bytes taken as Latin-1 characters
    }
  }
  return out;
}

std::string format_report_text(const AgentReport &r, int channel) {
  std::string out;
  if (!r.error.empty()) {
    appendf(out, "report channel=%d invalid=\"%s\" len=%d", channel, escape_text(r.error).c_str(), r.len);
    return out;
  }
  appendf(out, "report channel=%d kind=%s job=%u status=%s", channel, kind_name(r.kind), r.job,
          escape_text(char_text(r.status)).c_str());
  switch (r.kind) {
    case ReportKind::Job:
      appendf(out, " ret=%d", r.ret);
      out += " text=\"" + escape_text(r.info) + "\"";
      break;
    case ReportKind::Output:
      out += " login=" + escape_text(char_text(r.login));
      out += " file=\"" + escape_text(r.file) + "\"";
      if (r.file_cut) out += " file_cut=yes";
      break;
    case ReportKind::Variable:
      if (r.has_var) {
        out += " name=\"" + escape_text(r.var_name) + "\"";
        out += " value=\"" + escape_text(r.var_value) + "\"";
        out += " vtype=\"" + escape_text(char_text(r.var_type)) + "\"";
      } else {
        out += " variable=none";
      }
      break;
  }
  appendf(out, " time=%04d-%02d-%02dT%02d:%02d:%02dZ epoch=%llu", r.year, r.month, r.day, r.hour, r.minute,
          r.second, (unsigned long long)r.epoch);
  if (r.kind == ReportKind::Job) appendf(out, " pid=%u ppid=%u pgrp=%u sid=%u", r.pid, r.ppid, r.pgrp, r.sid);
  appendf(out, " client=%u version=\"%s\" (%d.%d.%d) len=%d", r.client, escape_text(r.md_version).c_str(), r.major,
          r.minor, r.patch, r.len);
  return out;
}

std::string format_report_json(const AgentReport &r, int channel) {
  std::string out;
  if (!r.error.empty()) {
    appendf(out, "{\"channel\":%d,\"error\":\"%s\",\"len\":%d}", channel, escape_json(r.error).c_str(), r.len);
    return out;
  }
  appendf(out, "{\"channel\":%d,\"kind\":\"%s\",\"job\":%u,\"status\":\"%s\"", channel, kind_name(r.kind), r.job,
          escape_json(char_text(r.status)).c_str());
  switch (r.kind) {
    case ReportKind::Job:
      appendf(out, ",\"ret\":%d", r.ret);
      out += ",\"text\":\"" + escape_json(r.info) + "\"";
      appendf(out, ",\"pid\":%u,\"ppid\":%u,\"pgrp\":%u,\"sid\":%u", r.pid, r.ppid, r.pgrp, r.sid);
      break;
    case ReportKind::Output:
      out += ",\"login\":\"" + escape_json(char_text(r.login)) + "\"";
      out += ",\"file\":\"" + escape_json(r.file) + "\"";
      out += r.file_cut ? ",\"file_cut\":true" : ",\"file_cut\":false";
      break;
    case ReportKind::Variable:
      if (r.has_var) {
        out += ",\"variable\":{\"name\":\"" + escape_json(r.var_name) + "\"";
        out += ",\"value\":\"" + escape_json(r.var_value) + "\"";
        out += ",\"type\":\"" + escape_json(char_text(r.var_type)) + "\"}";
      } else {
        out += ",\"variable\":null";
      }
      break;
  }
  appendf(out, ",\"time\":\"%04d-%02d-%02dT%02d:%02d:%02dZ\",\"epoch\":%llu", r.year, r.month, r.day, r.hour,
          r.minute, r.second, (unsigned long long)r.epoch);
  appendf(out, ",\"client\":%u,\"version\":\"%s\",\"major\":%d,\"minor\":%d,\"patch\":%d,\"len\":%d}", r.client,
          escape_json(r.md_version).c_str(), r.major, r.minor, r.patch, r.len);
  return out;
}
