// Builders of WQ8 channel frames for dissector tests: the 48-byte header,
// key blocks, the MELD body with its three job records, and IPC records.
// Record offsets come from the pinned record definitions of the program.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "_ccm/ccm.h"
#include "_ccm/ipcmsg.h"
#include "jp_frame.h"
#include "msg_type2.h"
#include "tools/pcap_writer.h"

namespace wqtest {

inline void SetLE(std::string &s, size_t off, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) s[off + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

inline void SetText(std::string &s, size_t off, const std::string &text) {
  memcpy(&s[off], text.data(), text.size());
}

// A whole frame: header with the given protocol and the body behind it.
inline std::string Frame(const char *protocol, const std::string &body) {
  char len[16];
  snprintf(len, sizeof len, "%08zu", body.size() + 48);
  std::string h = std::string(len) + "WQ8:global" + "001" + std::string(protocol, 3) +
                  std::string(8, ' ') + std::string(16, ' ');
  return h + body;
}

// One key block with the length field that its key prescribes.
inline std::string Block(uint8_t key, const std::string &content) {
  std::string b(1, static_cast<char>(key));
  switch (key) {
    case 0x3B: case 0xF9: case 0xFD: case 0xFE:
      PutLE(b, content.size(), 2);
      break;
    case 0xFF:
      PutLE(b, content.size(), 4);
      break;
    case 0x41: case 0x44: {
      char digits[16];
      snprintf(digits, sizeof digits, "%07zu", content.size());
      b += digits;
      break;
    }
    default:
      b.push_back(static_cast<char>(content.size()));
  }
  return b + content;
}

inline std::string Name8(const std::string &name) {
  std::string n = name.substr(0, 8);
  n.resize(8, ' ');
  return n;
}

// The frame that a job messenger sends: name block, 0xFF block, payload.
inline std::string NatFrame(const std::string &dst_name, const std::string &payload) {
  return Frame("NAT", Block(0x01, Name8(dst_name)) + Block(0xFF, payload));
}

struct JobTime {
  int year = 2026, month = 12, day = 6, hour = 12, minute = 31, second = 56;
  uint64_t seconds = 1796560316;  // the same moment since 1970
};

constexpr size_t kInsert = offsetof(MSG_TYPE_MELD, msg_insert);

inline std::string MeldHead(uint16_t client) {
  std::string b(sizeof(MSG_TYPE_MELD), '\0');
  SetText(b, offsetof(WQ_HEADM, msg_typ), "MELD    ");
  SetText(b, offsetof(WQ_HEADM, version), "03");
  SetLE(b, offsetof(WQ_HEADM, i2Mandant), client, 2);
  return b;
}

inline void PutVersion(std::string &b, size_t rec, size_t ver, size_t major) {
  SetText(b, rec + ver, std::string("12.2.0+build.2108") + std::string(15, ' '));
  SetLE(b, rec + major, 12, 2);
  SetLE(b, rec + major + 2, 2, 2);
  SetLE(b, rec + major + 4, 0, 2);
  SetText(b, rec + major + 6, "  ");
}

inline void PutTime(std::string &b, size_t off, const JobTime &t) {
  SetLE(b, off + offsetof(MSG_TYPE_TIMESTAMP, jjjj), t.year, 2);
  SetLE(b, off + offsetof(MSG_TYPE_TIMESTAMP, mo), t.month, 2);
  SetLE(b, off + offsetof(MSG_TYPE_TIMESTAMP, tt), t.day, 2);
  SetLE(b, off + offsetof(MSG_TYPE_TIMESTAMP, hh), t.hour, 2);
  SetLE(b, off + offsetof(MSG_TYPE_TIMESTAMP, mi), t.minute, 2);
  SetLE(b, off + offsetof(MSG_TYPE_TIMESTAMP, ss), t.second, 2);
}

// Job status body (276 bytes).
inline std::string MeldJob(uint32_t job, char status, const std::string &text, int32_t rc,
                           uint32_t pid = 4242, const JobTime &t = JobTime()) {
  std::string b = MeldHead(7);
  const size_t r = kInsert;
  SetLE(b, r + offsetof(JP_EXMLDJ, jobNr), job, 4);
  b[r + offsetof(JP_EXMLDJ, status)] = status;
  std::string info(32, ' ');
  memcpy(&info[0], text.data(), std::min<size_t>(text.size(), 31));
  info[std::min<size_t>(text.size(), 31)] = '\0';
  SetText(b, r + offsetof(JP_EXMLDJ, infoText), info);
  PutVersion(b, r, offsetof(JP_EXMLDJ, md_version), offsetof(JP_EXMLDJ, mdMajor));
  SetLE(b, r + offsetof(JP_EXMLDJ, retCode), static_cast<uint32_t>(rc), 4);
  PutTime(b, r + offsetof(JP_EXMLDJ, sTime), t);
  SetLE(b, r + offsetof(JP_EXMLDJ, jtime), t.seconds, 8);
  SetLE(b, r + offsetof(JP_EXMLDJ, pid), pid, 4);
  SetLE(b, r + offsetof(JP_EXMLDJ, ppid), pid - 1, 4);
  SetLE(b, r + offsetof(JP_EXMLDJ, pgrp), pid - 2, 4);
  SetLE(b, r + offsetof(JP_EXMLDJ, sid), pid - 3, 4);
  return b;
}

// Output-file body: 276 bytes, so the file name is cut at 183 bytes.
inline std::string MeldOutput(uint32_t job, char login, const std::string &file) {
  std::string b = MeldHead(7);
  const size_t r = kInsert;
  SetLE(b, r + offsetof(JP_EXMLDO, jobNr), job, 4);
  b[r + offsetof(JP_EXMLDO, status)] = 'O';
  PutVersion(b, r, offsetof(JP_EXMLDO, md_version), offsetof(JP_EXMLDO, mdMajor));
  PutTime(b, r + offsetof(JP_EXMLDO, currTime), JobTime());
  SetLE(b, r + offsetof(JP_EXMLDO, currTime_t), JobTime().seconds, 8);
  b[r + offsetof(JP_EXMLDO, loginCheck)] = login;
  size_t at = r + offsetof(JP_EXMLDO, fileName);
  SetText(b, at, file.substr(0, b.size() - at));
  return b;
}

// Variable body: 296 bytes without a variable record, 1521 with one.
inline std::string MeldVariable(uint32_t job, const std::string &name, const std::string &value,
                                char type) {
  std::string b = MeldHead(7);
  const size_t r = kInsert;
  const bool with = !name.empty();
  b.resize(296 + (with ? sizeof(MSG_TYPE_STATUS_VALUE) : 0), '\0');
  SetLE(b, r + offsetof(JP_EXMLDV, jobNr), job, 4);
  b[r + offsetof(JP_EXMLDV, status)] = 'V';
  SetText(b, r + offsetof(JP_EXMLDV, infoText), std::string(32, ' '));
  PutVersion(b, r, offsetof(JP_EXMLDV, md_version), offsetof(JP_EXMLDV, mdMajor));
  PutTime(b, r + offsetof(JP_EXMLDV, currTime), JobTime());
  SetLE(b, r + offsetof(JP_EXMLDV, currTime_t), JobTime().seconds, 8);
  if (with) {
    SetLE(b, r + offsetof(JP_EXMLDV, variable_dist), sizeof(JP_EXMLDV), 4);
    SetLE(b, r + offsetof(JP_EXMLDV, variable_len), sizeof(MSG_TYPE_STATUS_VALUE), 4);
    size_t v = r + sizeof(JP_EXMLDV);
    SetText(b, v + offsetof(MSG_TYPE_STATUS_VALUE, name), name.substr(0, 199));
    SetText(b, v + offsetof(MSG_TYPE_STATUS_VALUE, value), value.substr(0, 1023));
    b[v + offsetof(MSG_TYPE_STATUS_VALUE, type)] = type;
  }
  return b;
}

// IPC record of the given type name with `size` bytes (type name included).
inline std::string IpcRecord(const std::string &type, size_t size) {
  std::string b(size, '\0');
  SetText(b, 0, type.substr(0, 16));
  return b;
}

inline std::string RouteNat(int32_t dst_id, const std::string &dst_addr,
                            const std::string &dst_name, const std::string &payload) {
  std::string b = IpcRecord("ROUTENAT", sizeof(ipcmsg_routenat_t));
  const size_t a = offsetof(ipcmsg_routenat_t, addr);
  SetText(b, a + offsetof(ccm_addr_t, eyec), "#CCMADDR");
  SetLE(b, a + offsetof(ccm_addr_t, dst_ID), static_cast<uint32_t>(dst_id), 4);
  SetText(b, a + offsetof(ccm_addr_t, dst_addr), dst_addr);
  SetText(b, a + offsetof(ccm_addr_t, dst_name), dst_name);
  SetLE(b, a + offsetof(ccm_addr_t, dst_acv), 0x11223344, 4);
  SetLE(b, a + offsetof(ccm_addr_t, src_ID), 9, 4);
  SetText(b, a + offsetof(ccm_addr_t, src_name), "CALLBACK");
  SetLE(b, offsetof(ipcmsg_routenat_t, len), payload.size(), 4);
  return b + payload;
}

inline std::string PassFd(int32_t fd, int32_t agent, int32_t listener, const std::string &name) {
  std::string b = IpcRecord("PASSFD", sizeof(ipcmsg_passfd_t));
  SetLE(b, offsetof(ipcmsg_passfd_t, fd), static_cast<uint32_t>(fd), 4);
  SetLE(b, offsetof(ipcmsg_passfd_t, agentID), static_cast<uint32_t>(agent), 4);
  SetLE(b, offsetof(ipcmsg_passfd_t, listenerID), static_cast<uint32_t>(listener), 4);
  SetText(b, offsetof(ipcmsg_passfd_t, name), name);
  return b;
}

inline std::string Logging(int32_t msgnr, const std::string &insert) {
  std::string b = IpcRecord("LOGGING", sizeof(ipcmsg_logging_t));
  SetLE(b, offsetof(ipcmsg_logging_t, msgnr), static_cast<uint32_t>(msgnr), 4);
  SetText(b, offsetof(ipcmsg_logging_t, msginsert), insert.substr(0, 1024));
  return b;
}

inline std::string ChannelAccept(int32_t id) {
  std::string b = IpcRecord("CHANNEL_ACCEPT", sizeof(ipcmsg_channel_accept_t));
  SetLE(b, offsetof(ipcmsg_channel_accept_t, ID), static_cast<uint32_t>(id), 4);
  return b;
}

}  // namespace wqtest
