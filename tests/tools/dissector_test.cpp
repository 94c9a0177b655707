// The Wireshark dissector tools/wireshark/wq8.lua, run through tshark over the
// hand-built captures of data/dissector.txt (header, key blocks, MELD records,
// IPC records, TCP reassembly, damaged frames).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "common/process.h"
#include "common/data.h"

namespace {

using namespace wqtest;

using Want = std::vector<std::pair<std::string, std::string>>;  // field, value

// Four bytes of `v`, least significant first.
std::string Le32(uint32_t v) { return LittleEndian(v, 4); }

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
    // The file header: magic, version 2.4, no time zone, no accuracy, snap length 262144, Ethernet.
    return (bool)(std::ofstream(path, std::ios::binary) << Unhex("D4C3B2A1,02000400,00*8,00000400,01000000") << records);
  }
  std::map<int, std::pair<uint32_t, uint32_t>> seq;  // of each connection: the client's and the server's next
  uint32_t packets = 0;
  std::string records;
};

// Decodes `file` with wq8 on `port`: the fields of every wq8 frame, or (no
// fields) the whole packet tree with the errors.
std::string Decode(const CaptureFile &file, int port, const std::set<std::string> &fields) {
  const std::string path = std::string(WQ_BINARY_DIR) + "/dissector_" + std::to_string(getpid()) + ".pcap";
  EXPECT_TRUE(file.Save(path));
  std::vector<std::string> argv = {"tshark", "-n", "-X", "lua_script:" + std::string(WQ_SOURCE_DIR) + "/tools/wireshark/wq8.lua",
                                   "-o", "wq8.port:" + std::to_string(port), "-r", path};
  for (const std::string &f : fields) argv.insert(argv.end(), {"-e", f});
  argv.insert(argv.end(), fields.empty() ? std::initializer_list<std::string>{"-V"} : std::initializer_list<std::string>{"-T", "fields", "-Y", "wq8"});
  Child tshark;
  EXPECT_TRUE(tshark.Start(argv, fields.empty()));
  EXPECT_EQ(tshark.Finish(4 * kDeadline), 0) << tshark.err();
  unlink(path.c_str());
  return tshark.out();
}

// A capture of data/dissector.txt: its port, file, the fields each frame
// must show, and the fields these name (each once).
struct Capture { int port; CaptureFile file; std::vector<Want> wants; std::set<std::string> fields; };

std::vector<Capture> Load() {
  std::vector<Capture> all;
  for (const DataCase &c : ReadData("dissector.txt")) {
    if (c.name == "capture") all.push_back({std::stoi(c.words[0]), {}, {}, {}});
    if (c.name == "send") {
      std::vector<size_t> cuts;
      for (size_t i = 3; i < c.words.size(); ++i) cuts.push_back(std::stoul(c.words[i]));
      all.back().file.Send(std::stoi(c.words[0]), std::stoi(c.words[1]), c.words[2] == "c", Unhex(c.text), cuts);
    }
    if (c.name != "want") continue;
    Want &w = all.back().wants.emplace_back();
    for (const std::string &line : Lines(c.text)) {
      w.emplace_back(line.substr(0, line.find('=')), line.substr(line.find('=') + 1));
      all.back().fields.insert(w.back().first);
    }
  }
  return all;
}

// Every frame shows its fields ("?": any value, "~x": one that contains x);
// damaged frames are flagged as expert information, never a Lua error.
TEST(Wq8Dissector, DecodesEveryFrameOfTheCaptures) {
  if (!Installed("tshark")) GTEST_SKIP() << "tshark is not installed";
  for (const Capture &c : Load()) {
    const std::vector<std::string> lines = Lines(Decode(c.file, c.port, c.fields));
    ASSERT_EQ(lines.size(), c.wants.size()) << "port " << c.port;
    for (size_t i = 0; i < lines.size(); ++i) {
      std::istringstream cells(lines[i]);
      std::map<std::string, std::string> got;  // field -> values joined by ','
      for (const std::string &f : c.fields) std::getline(cells, got[f], '\t');
      for (const auto &[field, value] : c.wants[i]) {
        const std::string &g = got[field];
        EXPECT_TRUE(value == "?" ? !g.empty() : value[0] == '~' ? g.find(value.substr(1)) != std::string::npos : g == value)
            << "port " << c.port << " row " << i << ": " << field << " is '" << g << "', wanted '" << value << "'";
      }
    }
    const std::string tree = Decode(c.file, c.port, {});
    ASSERT_NE(tree.find("WQ8 channel frame"), std::string::npos) << tree.substr(0, 2000);
    const size_t at = tree.find("Lua Error");
    EXPECT_EQ(at, std::string::npos) << tree.substr(at > 3000 ? at - 3000 : 0, 6000);
    EXPECT_EQ(tree.find("could not be decoded"), std::string::npos);
  }
}

}  // namespace
