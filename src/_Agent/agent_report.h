// Decoding of the job messenger's "JPAKTJ_R" report and its one-line forms.
//
// The report body is a MSG_TYPE_MELD record with one job record at body
// offset 20: the job status record, the output-file record or the variable
// record (the last possibly followed by a variable record). Every read is
// bounded by the bytes that arrived; a body that cannot be a report is
// described by `error` instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Function name that the job messenger addresses its report to.
inline constexpr char kAgentReportFunction[] = "JPAKTJ_R";

enum class ReportKind { Job, Output, Variable };

struct AgentReport {
  std::string error;        // empty when the body is a report
  int len = 0;              // body length as received

  // Message head and number.
  std::string msg_typ;      // "MELD" (blanks removed)
  std::string head_version; // "03"
  unsigned client = 0;
  uint32_t user = 0;
  int32_t msgnr = 0;

  // Fields common to the three job records.
  ReportKind kind = ReportKind::Job;
  uint32_t job = 0;
  char status = 0;
  std::string md_version;   // trailing blanks removed
  int major = 0, minor = 0, patch = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;  // UTC
  uint64_t epoch = 0;

  // Job status record.
  std::string info;
  int32_t ret = 0;
  uint32_t pid = 0, ppid = 0, pgrp = 0, sid = 0;

  // Output-file record.
  char login = 0;
  std::string file;
  bool file_cut = false;    // the name reached the end of the body unterminated

  // Variable record.
  bool has_var = false;
  std::string var_name, var_value;
  char var_type = 0;
};

// Decodes `len` bytes at `body` (len may be anything, body may be null when
// len <= 0). Never reads outside [body, body + len) and keeps no pointer
// into it. A body that is no report gives a record with `error` set (and
// `len`) instead of a failure. Any thread.
AgentReport decode_report(const unsigned char *body, int len);

// The two one-line forms of a report.
enum class ReportForm { Text, Json };

// One line without line end: readable "report key=value ..." text, or one
// JSON object, of the fields of the report's kind (or of its error).
// `channel` is the channel ID the report came on. The two functions only
// pick the form; both walk the same field table. Any thread.
std::string format_report_text(const AgentReport &r, int channel);
std::string format_report_json(const AgentReport &r, int channel);

// Escapes `s` for a quoted value of `form`: printable ASCII stays, '"' and
// '\\' get a backslash, every other byte becomes \xNN (text) or \u00NN
// (JSON, the byte taken as a Latin-1 character).
std::string escape_report_field(const std::string &s, ReportForm form);
