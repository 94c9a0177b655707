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
  r.md_version = rtrim(b.text(kRec + (int)offsetof(R, md_version), (int)sizeof(R::md_version)));
  r.major = b.host16(kRec + (int)offsetof(R, mdMajor));
  r.minor = b.host16(kRec + (int)offsetof(R, mdMinor));
  r.patch = b.host16(kRec + (int)offsetof(R, mdPatch));
}

void decode_job(const Body &b, AgentReport &r) {
  r.kind = ReportKind::Job;
  r.info = b.text(kRec + (int)offsetof(JP_EXMLDJ, infoText), (int)sizeof(JP_EXMLDJ::infoText));
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
  r.file = b.text(kRec + (int)offsetof(JP_EXMLDO, fileName), (int)sizeof(JP_EXMLDO::fileName), &r.file_cut);
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
  r.var_name = b.text(v + (int)offsetof(MSG_TYPE_STATUS_VALUE, name), (int)sizeof(MSG_TYPE_STATUS_VALUE::name));
  r.var_value = b.text(v + (int)offsetof(MSG_TYPE_STATUS_VALUE, value), (int)sizeof(MSG_TYPE_STATUS_VALUE::value));
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

std::string printed(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string printed(const char *fmt, ...) {
  char buf[64];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return n > 0 ? std::string(buf, (size_t)n < sizeof buf ? (size_t)n : sizeof buf - 1) : std::string();
}

// Report kinds a field belongs to; kInvalid stands for a body that is no
// report.
constexpr unsigned kJob = 1u << (int)ReportKind::Job;
constexpr unsigned kOutput = 1u << (int)ReportKind::Output;
constexpr unsigned kVariable = 1u << (int)ReportKind::Variable;
constexpr unsigned kInvalid = 1u << 3;
constexpr unsigned kReport = kJob | kOutput | kVariable;

// How a field's value is shown in the two forms.
enum class Show : unsigned char {
  Number,    // a number in both
  Word,      // text: bare; JSON: a string
  Quoted,    // a string in both
  Version,   // text: the string and "(major.minor.patch)"; JSON: the string
  FileCut,   // text: "yes" when the file name was cut, else left out; JSON: true/false
  Variable,  // the variable record, or none
};

// One field of the one-line forms: its key in the text form and in the
// JSON form (null: not shown in that form), the kinds that carry it, how
// it is shown, and its value as text (null for FileCut and Variable, which
// read the report themselves). The rows are in the order of both forms; the
// process ids come twice because the text form shows them after the time,
// JSON with the job's own fields.
struct ReportField {
  const char *text;
  const char *json;
  unsigned kinds;
  Show show;
  std::string (*get)(const AgentReport &r, int channel);
};

std::string number(long long n) { return printed("%lld", n); }

using Rep = const AgentReport &;
constexpr ReportField kFields[] = {
    {"channel", "channel", kReport | kInvalid, Show::Number, [](Rep, int ch) { return number(ch); }},
    {"invalid", "error", kInvalid, Show::Quoted, [](Rep r, int) { return r.error; }},
    {"kind", "kind", kReport, Show::Word, [](Rep r, int) { return std::string(kind_name(r.kind)); }},
    {"job", "job", kReport, Show::Number, [](Rep r, int) { return number(r.job); }},
    {"status", "status", kReport, Show::Word, [](Rep r, int) { return char_text(r.status); }},
    {"ret", "ret", kJob, Show::Number, [](Rep r, int) { return number(r.ret); }},
    {"text", "text", kJob, Show::Quoted, [](Rep r, int) { return r.info; }},
    {nullptr, "pid", kJob, Show::Number, [](Rep r, int) { return number(r.pid); }},
    {nullptr, "ppid", kJob, Show::Number, [](Rep r, int) { return number(r.ppid); }},
    {nullptr, "pgrp", kJob, Show::Number, [](Rep r, int) { return number(r.pgrp); }},
    {nullptr, "sid", kJob, Show::Number, [](Rep r, int) { return number(r.sid); }},
    {"login", "login", kOutput, Show::Word, [](Rep r, int) { return char_text(r.login); }},
    {"file", "file", kOutput, Show::Quoted, [](Rep r, int) { return r.file; }},
    {"file_cut", "file_cut", kOutput, Show::FileCut, nullptr},
    {"variable", "variable", kVariable, Show::Variable, nullptr},
    {"time", "time", kReport, Show::Word,
     [](Rep r, int) {
       return printed("%04d-%02d-%02dT%02d:%02d:%02dZ", r.year, r.month, r.day, r.hour, r.minute, r.second);
     }},
    {"epoch", "epoch", kReport, Show::Number, [](Rep r, int) { return printed("%llu", (unsigned long long)r.epoch); }},
    {"pid", nullptr, kJob, Show::Number, [](Rep r, int) { return number(r.pid); }},
    {"ppid", nullptr, kJob, Show::Number, [](Rep r, int) { return number(r.ppid); }},
    {"pgrp", nullptr, kJob, Show::Number, [](Rep r, int) { return number(r.pgrp); }},
    {"sid", nullptr, kJob, Show::Number, [](Rep r, int) { return number(r.sid); }},
    {"client", "client", kReport, Show::Number, [](Rep r, int) { return number(r.client); }},
    {"version", "version", kReport, Show::Version, [](Rep r, int) { return r.md_version; }},
    {nullptr, "major", kReport, Show::Number, [](Rep r, int) { return number(r.major); }},
    {nullptr, "minor", kReport, Show::Number, [](Rep r, int) { return number(r.minor); }},
    {nullptr, "patch", kReport, Show::Number, [](Rep r, int) { return number(r.patch); }},
    {"len", "len", kReport | kInvalid, Show::Number, [](Rep r, int) { return number(r.len); }},
};

// A line under construction in one of the two forms: "report k=v k=v" or
// {"k":v,"k":v}.
class Line {
 public:
  explicit Line(ReportForm form) : form_(form), out_(form == ReportForm::Json ? "{" : "report") {}

  // Appends one key with its value, already in the form's notation.
  void put(const char *key, const std::string &shown) {
    if (form_ == ReportForm::Json) {
      out_ += first_ ? "\"" : ",\"";
      out_ += key;
      out_ += "\":" + shown;
    } else {
      out_ += ' ';
      out_ += key;
      out_ += '=' + shown;
    }
    first_ = false;
  }
  std::string quoted(const std::string &s) const { return '"' + escape_report_field(s, form_) + '"'; }
  std::string word(const std::string &s) const {
    return form_ == ReportForm::Json ? quoted(s) : escape_report_field(s, form_);
  }
  std::string finish() { return form_ == ReportForm::Json ? out_ + "}" : out_; }
  ReportForm form() const { return form_; }

 private:
  ReportForm form_;
  std::string out_;
  bool first_ = true;
};

// The variable record: text shows its three fields (or variable=none),
// JSON one object (or null).
void put_variable(Line &line, const char *key, const AgentReport &r) {
  const bool json = line.form() == ReportForm::Json;
  if (!r.has_var) {
    line.put(key, json ? "null" : "none");
  } else if (json) {
    line.put(key, "{\"name\":" + line.quoted(r.var_name) + ",\"value\":" + line.quoted(r.var_value) +
                      ",\"type\":" + line.quoted(char_text(r.var_type)) + "}");
  } else {
    line.put("name", line.quoted(r.var_name));
    line.put("value", line.quoted(r.var_value));
    line.put("vtype", line.quoted(char_text(r.var_type)));
  }
}

// Appends field `f` of report `r` to the line.
void put_field(Line &line, const char *key, const ReportField &f, const AgentReport &r, int channel) {
  const bool json = line.form() == ReportForm::Json;
  switch (f.show) {
    case Show::Number:
      line.put(key, f.get(r, channel));
      break;
    case Show::Word:
      line.put(key, line.word(f.get(r, channel)));
      break;
    case Show::Quoted:
      line.put(key, line.quoted(f.get(r, channel)));
      break;
    case Show::Version:
      line.put(key, line.quoted(f.get(r, channel)) + (json ? "" : printed(" (%d.%d.%d)", r.major, r.minor, r.patch)));
      break;
    case Show::FileCut:
      if (json)
        line.put(key, r.file_cut ? "true" : "false");
      else if (r.file_cut)
        line.put(key, "yes");
      break;
    case Show::Variable:
      put_variable(line, key, r);
      break;
  }
}

// The whole line of report `r` in `form`: the fields of its kind, or of an
// invalid body, in table order.
std::string format_report(const AgentReport &r, int channel, ReportForm form) {
  const unsigned kind = r.error.empty() ? 1u << (int)r.kind : kInvalid;
  Line line(form);
  for (const ReportField &f : kFields) {
    const char *key = form == ReportForm::Json ? f.json : f.text;
    if (key && (f.kinds & kind)) put_field(line, key, f, r, channel);
  }
  return line.finish();
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

std::string escape_report_field(const std::string &s, ReportForm form) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += (char)c;
    } else if (c >= 0x20 && c < 0x7f) {
      out += (char)c;
    } else {
      // JSON takes the byte as a Latin-1 character.
      out += printed(form == ReportForm::Json ? "\\u%04X" : "\\x%02X", c);
    }
  }
  return out;
}

std::string format_report_text(const AgentReport &r, int channel) {
  return format_report(r, channel, ReportForm::Text);
}

std::string format_report_json(const AgentReport &r, int channel) {
  return format_report(r, channel, ReportForm::Json);
}
