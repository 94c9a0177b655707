// The Wireshark dissector tools/wireshark/wq8.lua, run through tshark over the
// hand-built captures of data/dissector.txt (header, key blocks, MELD records,
// IPC records, TCP reassembly, damaged frames).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "common/process.h"
#include "common/data.h"

namespace {

using namespace wqtest;

using Row = std::map<std::string, std::string>;                 // field -> values joined by ','
using Want = std::vector<std::pair<std::string, std::string>>;  // "?": any value, "~x": contains x

// Four bytes of `v`, least significant first.
std::string Le32(uint32_t v) { return {(char)v, (char)(v >> 8), (char)(v >> 16), (char)(v >> 24)}; }

// A classic pcap file of TCP segments on 127.0.0.1 (Ethernet; the checksums
// are 0, tshark does not check them).
struct CaptureFile {
  // Sends `bytes` on the connection from port `client` to port `server`, from
  // the client or from the server, in segments of the sizes `cuts` (the rest last).
  void Send(int client, int server, bool from_client, const std::string &bytes, std::vector<size_t> cuts) {
    auto &[cseq, sseq] = seq.try_emplace(client << 16 | server, 1000, 5000).first->second;
    uint32_t &own = from_client ? cseq : sseq, &other = from_client ? sseq : cseq;
    for (size_t pos = 0, i = 0, n; pos < bytes.size(); pos += n, ++i) {
      n = std::min(bytes.size() - pos, i < cuts.size() ? cuts[i] : bytes.size());
      const int from = from_client ? client : server, to = from_client ? server : client;
      char h[160];  // Ethernet, type IPv4; IPv4 from and to 127.0.0.1; TCP with PSH and ACK, a window
      snprintf(h, sizeof h, "00*12,0800,4500%04zx,00004000,40060000,7f000001,7f000001,%04x%04x%08x%08x,%s",
               40 + n, from, to, own, other, "5018ffff,00*4");
      const std::string p = Unhex(h) + bytes.substr(pos, n);
      records += Le32(++packets) + Le32(0) + Le32((uint32_t)p.size()) + Le32((uint32_t)p.size()) + p;
      own += (uint32_t)n;
    }
  }
  bool Save(const std::string &path) const {
    const std::string head = Le32(0xA1B2C3D4) + Le32(0x00040002) + Le32(0) + Le32(0) + Le32(262144) + Le32(1);
    return (bool)(std::ofstream(path, std::ios::binary) << head << records);
  }
  std::map<int, std::pair<uint32_t, uint32_t>> seq;  // of each connection: the client's and the server's next
  uint32_t packets = 0;
  std::string records;
};

std::vector<std::string> Tshark(int port, const std::vector<std::string> &fields) {
  std::vector<std::string> argv = {"tshark", "-n", "-X",
                                   "lua_script:" + std::string(WQ_SOURCE_DIR) + "/tools/wireshark/wq8.lua", "-o",
                                   "wq8.port:" + std::to_string(port)};
  if (!fields.empty()) argv.insert(argv.end(), {"-T", "fields"});
  for (const std::string &f : fields) argv.insert(argv.end(), {"-e", f});
  return argv;
}

// The fields that `wants` name, each once.
std::vector<std::string> Fields(const std::vector<Want> &wants) {
  std::vector<std::string> first;
  for (const Want &w : wants)
    for (const auto &fv : w)
      if (std::find(first.begin(), first.end(), fv.first) == first.end()) first.push_back(fv.first);
  return first;
}

std::vector<Row> ParseRows(const std::string &out, const std::vector<std::string> &fields) {
  std::vector<Row> rows;
  for (const std::string &line : Lines(out)) {
    std::istringstream cells(line);
    Row &row = rows.emplace_back();
    for (const std::string &f : fields) std::getline(cells, row[f], '\t');
  }
  return rows;
}

void ExpectRow(Row &row, const Want &want, const std::string &where) {
  for (const auto &[field, value] : want) {
    const std::string &got = row[field];
    const bool ok = value == "?" ? !got.empty() : value[0] == '~' ? got.find(value.substr(1)) != std::string::npos
                                                                  : got == value;
    EXPECT_TRUE(ok) << where << ": " << field << " is '" << got << "', wanted '" << value << "'";
  }
}

// The fields of every wq8 frame of `file`, or (no fields) the whole packet
// tree with the errors.
std::string Decode(const CaptureFile &file, int port, const std::vector<std::string> &fields) {
  const std::string path = std::string(WQ_BINARY_DIR) + "/dissector_" + std::to_string(getpid()) + ".pcap";
  EXPECT_TRUE(file.Save(path));
  std::vector<std::string> argv = Tshark(port, fields);
  for (const char *a : {"-r", path.c_str(), fields.empty() ? "-V" : "-Y", fields.empty() ? nullptr : "wq8"})
    if (a) argv.push_back(a);
  Child tshark;
  EXPECT_TRUE(tshark.Start(argv, fields.empty()));
  EXPECT_EQ(tshark.Finish(4 * kDeadline), 0) << tshark.err();
  unlink(path.c_str());
  return tshark.out();
}

// The captures of data/dissector.txt: port, file, frames.
using Captures = std::vector<std::tuple<int, CaptureFile, std::vector<Want>>>;

Captures Load() {
  Captures all;
  for (const DataCase &c : ReadData("dissector.txt")) {
    if (c.name == "capture") all.emplace_back(std::stoi(c.words[0]), CaptureFile{}, std::vector<Want>{});
    if (c.name == "send") {
      std::vector<size_t> cuts;
      for (size_t i = 3; i < c.words.size(); ++i) cuts.push_back(std::stoul(c.words[i]));
      std::get<1>(all.back())
          .Send(std::stoi(c.words[0]), std::stoi(c.words[1]), c.words[2] == "c", Unhex(c.text), cuts);
    }
    if (c.name != "want") continue;
    Want &w = std::get<2>(all.back()).emplace_back();
    for (const std::string &line : Lines(c.text)) w.emplace_back(line.substr(0, line.find('=')), line.substr(line.find('=') + 1));
  }
  return all;
}

struct Wq8Dissector : ::testing::Test {
  void SetUp() override {
    if (!Installed("tshark")) GTEST_SKIP() << "tshark is not installed";
  }
};

// Damaged frames are flagged as expert information, never a Lua error.
TEST_F(Wq8Dissector, DecodesEveryFrameOfTheCaptures) {
  for (auto &[port, file, wants] : Load()) {
    const std::vector<std::string> fields = Fields(wants);
    std::vector<Row> rows = ParseRows(Decode(file, port, fields), fields);
    ASSERT_EQ(rows.size(), wants.size()) << "port " << port;
    for (size_t i = 0; i < rows.size(); ++i) ExpectRow(rows[i], wants[i], "port " + std::to_string(port) + " row " + std::to_string(i));
    const std::string tree = Decode(file, port, {});
    ASSERT_NE(tree.find("WQ8 channel frame"), std::string::npos) << tree.substr(0, 2000);
    const size_t at = tree.find("Lua Error");
    EXPECT_EQ(at, std::string::npos) << tree.substr(at > 3000 ? at - 3000 : 0, 6000);
    EXPECT_EQ(tree.find("could not be decoded"), std::string::npos);
  }
}

}  // namespace
