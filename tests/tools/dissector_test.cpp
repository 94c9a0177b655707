// The Wireshark dissector tools/wireshark/wq8.lua, run through tshark over the
// hand-built captures of data/dissector.txt (header, key blocks, MELD records,
// IPC records, TCP reassembly, damaged frames), over random damage, and over
// one exchange of wq_jpmd and wq_jpagent captured live. Skipped without tshark.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/data.h"
#include "common/process.h"
#include "tools/capture_file.h"

namespace {

using namespace wqtest;

using Row = std::map<std::string, std::string>;           // field -> values joined by ','
using Want = std::vector<std::pair<std::string, std::string>>;  // "?": any non-empty value, "~x": contains x

std::string Tshark() { return FindInPath("tshark"); }

std::vector<std::string> TsharkArgs(int port) {
  return {Tshark(), "-n", "-X", "lua_script:" + std::string(WQ_SOURCE_DIR) + "/tools/wireshark/wq8.lua", "-o",
          "wq8.port:" + std::to_string(port)};
}

void AddFields(std::vector<std::string> &argv, const std::vector<std::string> &fields) {
  argv.insert(argv.end(), {"-T", "fields"});
  for (const std::string &f : fields) argv.insert(argv.end(), {"-e", f});
}

std::vector<Row> ParseRows(const std::string &out, const std::vector<std::string> &fields) {
  std::vector<Row> rows;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    Row &row = rows.emplace_back();
    std::istringstream cells(line);
    for (size_t i = 0; i < fields.size() && std::getline(cells, row[fields[i]], '\t'); ++i) {
    }
  }
  return rows;
}

void ExpectRow(Row &row, const Want &want, const std::string &where) {
  for (const auto &[field, value] : want) {
    const std::string &got = row[field];
    const bool ok = value == "?"   ? !got.empty()
                    : value[0] == '~' ? got.find(value.substr(1)) != std::string::npos
                                      : got == value;
    EXPECT_TRUE(ok) << where << ": " << field << " is '" << got << "', wanted '" << value << "'";
  }
}

// Runs tshark over `file`: the fields of every wq8 row, or (no fields) the
// whole packet tree with stderr.
std::string Decode(const CaptureFile &file, int port, const std::vector<std::string> &fields) {
  const std::string path = std::string(WQ_BINARY_DIR) + "/dissector_" + std::to_string(getpid()) + ".pcap";
  EXPECT_TRUE(file.Save(path));
  std::vector<std::string> argv = TsharkArgs(port);
  argv.insert(argv.end(), {"-r", path});
  if (fields.empty()) {
    argv.push_back("-V");
  } else {
    argv.insert(argv.end(), {"-Y", "wq8"});
    AddFields(argv, fields);
  }
  Child child;
  EXPECT_TRUE(child.Start(argv));
  EXPECT_EQ(child.Finish(Deadline(240)), 0) << child.err();
  unlink(path.c_str());
  return child.out() + (fields.empty() ? child.err() : "");
}

void ExpectNoLuaError(const CaptureFile &file) {
  const std::string tree = Decode(file, 4711, {});
  ASSERT_NE(tree.find("WQ8 channel frame"), std::string::npos) << tree.substr(0, 2000);
  const size_t at = tree.find("Lua Error");
  EXPECT_EQ(at, std::string::npos) << tree.substr(at > 3000 ? at - 3000 : 0, 6000);
  EXPECT_EQ(tree.find("could not be decoded"), std::string::npos);
}

// The captures of data/dissector.txt, the damaged frames on a capture of
// their own (one connection each, from port 41000 on), and every frame sent.
struct Captures {
  struct One {
    int port;
    CaptureFile file;
    std::vector<Want> wants;
  };
  std::vector<One> captures;
  CaptureFile damaged;
  std::vector<std::pair<bool, Want>> damage;  // flagged?, fields
  std::vector<std::string> frames;
};

Captures Load() {
  Captures all;
  for (const DataCase &c : ReadData("dissector.txt")) {
    if (c.name == "capture") all.captures.push_back({std::stoi(c.words[0]), {}, {}});
    if (c.name == "send") {
      std::vector<size_t> cuts;
      for (size_t i = 3; i < c.words.size(); ++i) cuts.push_back(std::stoul(c.words[i]));
      all.frames.push_back(Unhex(c.text));
      all.captures.back().file.Send((uint16_t)std::stoi(c.words[0]), (uint16_t)std::stoi(c.words[1]),
                                    c.words[2] == "c", all.frames.back(), cuts);
    }
    if (c.name == "damaged") {
      all.damaged.Send((uint16_t)(41000 + all.damage.size()), 4711, true, Unhex(c.text));
      all.damage.push_back({c.words[0] == "1", {}});
    }
    if (c.name == "want") {
      Want w;
      for (const std::string &line : Lines(c.text)) w.emplace_back(line.substr(0, line.find('=')), line.substr(line.find('=') + 1));
      if (!all.damage.empty()) {
        all.damage.back().second = w;  // what a damaged frame must still show
      } else {
        all.captures.back().wants.push_back(w);
      }
    }
  }
  return all;
}

class Wq8Dissector : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Tshark().empty()) GTEST_SKIP() << "tshark is not installed";
  }
};

TEST_F(Wq8Dissector, DecodesEveryFrameOfTheCaptures) {
  Captures all = Load();
  ASSERT_EQ(all.captures.size(), 3u);
  for (Captures::One &capture : all.captures) {
    std::vector<std::string> fields;
    for (const Want &w : capture.wants)
      for (const auto &fv : w)
        if (std::find(fields.begin(), fields.end(), fv.first) == fields.end()) fields.push_back(fv.first);
    std::vector<Row> rows = ParseRows(Decode(capture.file, capture.port, fields), fields);
    ASSERT_EQ(rows.size(), capture.wants.size()) << "port " << capture.port;
    for (size_t i = 0; i < rows.size(); ++i)
      ExpectRow(rows[i], capture.wants[i], "capture " + std::to_string(&capture - &all.captures[0]) + " row " + std::to_string(i));
  }
}

// Damaged frames are flagged as expert information, never a Lua error, and
// the frames behind them on other connections still decode.
TEST_F(Wq8Dissector, FlagsDamagedFramesWithoutLuaErrors) {
  Captures all = Load();
  const std::vector<std::string> fields = {"tcp.srcport", "wq8.malformed", "wq8.bad_key", "wq8.short",
                                           "wq8.job.nr", "wq8.var.name"};
  std::map<int, Row> by_port;
  for (Row &r : ParseRows(Decode(all.damaged, 4711, fields), fields)) by_port[std::stoi(r["tcp.srcport"])] = r;
  for (size_t i = 0; i < all.damage.size(); ++i) {
    Row &r = by_port[41000 + (int)i];
    const bool flagged = !(r["wq8.malformed"] + r["wq8.bad_key"] + r["wq8.short"]).empty();
    EXPECT_TRUE(flagged || !all.damage[i].first) << "damaged case " << i;
    ExpectRow(r, all.damage[i].second, "damaged case " + std::to_string(i));
  }
  ExpectNoLuaError(all.damaged);
}

// Random damage to every frame of the captures, each on its own connection.
TEST_F(Wq8Dissector, SurvivesRandomlyDamagedFrames) {
  const std::vector<std::string> seeds = Load().frames;
  CaptureFile file;
  std::mt19937 rng(20261206);
  for (int i = 0; i < 150; ++i) {
    std::string f = seeds[i % seeds.size()];
    for (int e = 1 + (int)(rng() % 4); e > 0; --e) {
      size_t at = (rng() % 2) ? 48 + rng() % 80 : rng() % f.size();  // mostly behind the header
      if (at < 8 && (rng() % 4) != 0) at += 48;                     // keep most lengths readable
      f[std::min(at, f.size() - 1)] = (char)(rng() & 0xFF);
    }
    if (rng() % 3 == 0 && f.size() > 48) {  // cut, the header agreeing: the blocks promise more
      f.resize(48 + rng() % (f.size() - 47));
      char len[16];
      snprintf(len, sizeof len, "%08zu", f.size());
      f.replace(0, 8, len);
    }
    file.Send((uint16_t)(42000 + i), 4711, true, f);
  }
  ExpectNoLuaError(file);
}

// One real exchange between wq_jpmd and wq_jpagent, captured on the loopback
// interface while it happens and decoded live.
TEST_F(Wq8Dissector, DecodesARealExchangeCapturedOnLoopback) {
  const std::string bin = WQ_BINARY_DIR;
  Child agent;
  ASSERT_TRUE(agent.Start({bin + "/wq_jpagent", "--count", "1"}));
  std::string first;
  ASSERT_TRUE(agent.ReadLine(&first)) << agent.err();
  const std::string port = first.substr(first.rfind(" port ") + 6);
  ASSERT_GT(std::stoi(port), 0) << first;
  // A UDP probe on the loopback interface shows when the capture really runs.
  int rx = socket(AF_INET, SOCK_DGRAM, 0), tx = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in sa {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  ASSERT_EQ(bind(rx, (sockaddr *)&sa, sizeof sa), 0);
  ASSERT_EQ(getsockname(rx, (sockaddr *)&sa, &len), 0);
  const std::string probe = std::to_string(ntohs(sa.sin_port));
  const std::vector<std::string> fields = {"udp.dstport", "tcp.srcport", "wq8.length", "wq8.protocol",
                                           "wq8.protocol_key", "wq8.dst_name", "wq8.nat_len", "wq8.job.nr",
                                           "wq8.job.status", "wq8.job.retcode", "wq8.job.info", "wq8.job.pid"};
  std::vector<std::string> argv = TsharkArgs(std::stoi(port));
  argv.insert(argv.end(), {"-l", "-i", "lo", "-f", "tcp port " + port + " or udp port " + probe, "-Y",
                           "wq8 or udp.dstport == " + probe, "-a", "duration:300"});
  AddFields(argv, fields);
  Child tshark;
  ASSERT_TRUE(tshark.Start(argv));
  const bool capturing = tshark.ReadUntil([&] { return tshark.err().find("Capturing on") != std::string::npos; },
                                          Deadline(120));
  auto probe_seen = [&] { return tshark.out().find(probe + "\t") != std::string::npos; };
  for (auto end = Deadline(120); capturing && !probe_seen() && Clock::now() < end;) {
    sendto(tx, "probe", 5, 0, (const sockaddr *)&sa, sizeof sa);
    tshark.ReadUntil(probe_seen, std::min(end, Clock::now() + std::chrono::milliseconds(250)));
  }
  close(rx);
  close(tx);
  if (!capturing || !probe_seen())
    GTEST_SKIP() << "needs the right to capture on the loopback interface: " << tshark.err();

  Child jpmd;
  ASSERT_TRUE(jpmd.Start({bin + "/wq_jpmd", "IPA=127.0.0.1", "PNR=" + port, "TYP=E", "JNR=4711", "RET=3",
                          "TXT=captured run", "RETRY=1", "TIMEOUT=60"}));
  const std::string jpmd_pid = std::to_string(jpmd.pid());
  EXPECT_EQ(jpmd.ExitCode(180), 3) << jpmd.out();
  auto exchange = [&] {  // greeting, report and answer: one row each
    std::vector<Row> rows;
    for (Row &r : ParseRows(tshark.out(), fields))
      if (r["udp.dstport"].empty()) rows.push_back(r);
    return rows;
  };
  const bool all = tshark.ReadUntil([&] { return exchange().size() >= 3; }, Deadline(120));
  tshark.Signal(SIGINT);
  tshark.Finish(Deadline(60));
  agent.Signal(SIGTERM);
  agent.Finish(Deadline(60));
  EXPECT_NE(agent.out().find("job=4711"), std::string::npos) << agent.out() << agent.err();
  ASSERT_TRUE(all) << tshark.out() << tshark.err();
  std::vector<Row> rows = exchange();
  ExpectRow(rows[0], {{"tcp.srcport", port}, {"wq8.protocol_key", "0x04"}}, "greeting");
  EXPECT_NE(rows[1]["tcp.srcport"], port);
  ExpectRow(rows[1], {{"wq8.length", "339"}, {"wq8.protocol", "NAT"}, {"wq8.dst_name", "JPAKTJ_R"},
                      {"wq8.nat_len", "276"}, {"wq8.job.nr", "4711"}, {"wq8.job.status", "E"},
                      {"wq8.job.retcode", "3"}, {"wq8.job.info", "captured run"}, {"wq8.job.pid", jpmd_pid}},
            "report");
  ExpectRow(rows[2], {{"tcp.srcport", port}, {"wq8.length", "?"}}, "answer");
}

}  // namespace
