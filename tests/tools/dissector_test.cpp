// The Wireshark dissector tools/wireshark/wq8.lua, run through tshark over
// hand-built captures (header, key blocks, MELD records, IPC records, TCP
// reassembly, damaged frames) and over one live exchange. Skipped when
// tshark is not installed.

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/process.h"
#include "tools/pcap_writer.h"
#include "tools/wq8_frames.h"

namespace {

using namespace wqtest;

constexpr uint16_t kAgentPort = 4711;
std::string Tshark() { return FindInPath("tshark"); }
std::string LuaScript() { return std::string(WQ_SOURCE_DIR) + "/tools/wireshark/wq8.lua"; }

// Field name to value for one packet (several values joined by ',').
using Row = std::map<std::string, std::string>;
// Expected values: "?" stands for any non-empty value, "~x" for one containing x.
using Want = std::vector<std::pair<std::string, std::string>>;

std::vector<Row> ParseRows(const std::string &out, const std::vector<std::string> &fields) {
  std::vector<Row> rows;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    Row row;
    size_t start = 0;
    for (const std::string &f : fields) {
      size_t tab = line.find('\t', start);
      row[f] = line.substr(start, tab == std::string::npos ? std::string::npos : tab - start);
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    rows.push_back(row);
  }
  return rows;
}

std::vector<std::string> TsharkArgs(uint16_t port) {
  return {Tshark(), "-n", "-X", "lua_script:" + LuaScript(), "-o", "wq8.port:" + std::to_string(port)};
}

void AddFields(std::vector<std::string> &argv, const std::vector<std::string> &fields) {
  argv.insert(argv.end(), {"-T", "fields"});
  for (const auto &f : fields) argv.insert(argv.end(), {"-e", f});
}

void ExpectRow(Row &row, const Want &want, const std::string &where) {
  for (const auto &[field, value] : want) {
    const std::string &got = row[field];
    bool ok = value == "?" ? !got.empty()
              : !value.empty() && value[0] == '~' ? got.find(value.substr(1)) != std::string::npos
                                                  : got == value;
    EXPECT_TRUE(ok) << where << ": " << field << " is '" << got << "', wanted '" << value << "'";
  }
}

// A capture built by `fill`, decoded with every field that `want` names
// (plus `extra`); each packet row is checked against its expectations.
std::vector<Row> Decode(const std::function<void(PcapWriter &)> &fill, const std::vector<Want> &want,
                        uint16_t port = kAgentPort, const std::vector<std::string> &extra = {}) {
  std::string path = std::string(WQ_BINARY_DIR) + "/dissector_" + std::to_string(getpid()) + ".pcap";
  PcapWriter pcap;
  fill(pcap);
  EXPECT_TRUE(pcap.Save(path));
  std::vector<std::string> fields = extra;
  for (const Want &w : want)
    for (const auto &fv : w)
      if (std::find(fields.begin(), fields.end(), fv.first) == fields.end()) fields.push_back(fv.first);
  std::vector<std::string> argv = TsharkArgs(port);
  argv.insert(argv.end(), {"-r", path, "-Y", "wq8"});
  AddFields(argv, fields);
  Child child;
  EXPECT_TRUE(child.Start(argv));
  EXPECT_EQ(child.Finish(Deadline(240)), 0) << child.err();
  unlink(path.c_str());
  std::vector<Row> rows = ParseRows(child.out(), fields);
  EXPECT_TRUE(want.empty() || rows.size() == want.size()) << rows.size() << " rows\n" << child.err();
  for (size_t i = 0; i < rows.size() && i < want.size(); ++i) ExpectRow(rows[i], want[i], "row " + std::to_string(i));
  return rows;
}

// The whole packet tree of a capture: no Lua error anywhere.
void ExpectNoLuaError(const std::function<void(PcapWriter &)> &fill) {
  std::string path = std::string(WQ_BINARY_DIR) + "/dissector_v" + std::to_string(getpid()) + ".pcap";
  PcapWriter pcap;
  fill(pcap);
  ASSERT_TRUE(pcap.Save(path));
  std::vector<std::string> argv = TsharkArgs(kAgentPort);
  argv.insert(argv.end(), {"-r", path, "-V"});
  Child child;
  ASSERT_TRUE(child.Start(argv));
  child.Finish(Deadline(240));
  unlink(path.c_str());
  std::string tree = child.out() + child.err();
  ASSERT_NE(tree.find("WQ8 channel frame"), std::string::npos) << tree.substr(0, 2000);
  size_t at = tree.find("Lua Error");
  EXPECT_EQ(at, std::string::npos) << tree.substr(at > 3000 ? at - 3000 : 0, 6000);
  EXPECT_EQ(tree.find("could not be decoded"), std::string::npos);
}

class Wq8Dissector : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Tshark().empty()) GTEST_SKIP() << "tshark is not installed";
    ASSERT_EQ(access(LuaScript().c_str(), R_OK), 0) << LuaScript();
  }
};

const std::string kGreeting = Frame("NAT", Block(0x04, "HELLO"));
const std::string kLongFile = "/var/log/" + std::string(191, 'f');  // 200 characters

// One capture with every report kind, every key block and every IPC record.
TEST_F(Wq8Dissector, DecodesReportsKeyBlocksAndIpcRecords) {
  Decode(
      [](PcapWriter &p) {
        {
          TcpStream s(p, 40001, kAgentPort);
          s.Send(false, kGreeting);
          s.Send(true, NatFrame("JPAKTJ_R", MeldJob(4711, 'E', "nightly run", 3)));
          s.Send(false, Frame("NAT", Block(0x07, "OK")));
          // 40 characters of text: the record keeps 31 and a terminator.
          s.Send(true, NatFrame("JPAKTJ_R", MeldJob(1, 'R', std::string(40, 'x'), -1)));
          s.Send(true, NatFrame("JPAKTJ_R", MeldOutput(77, 'Y', kLongFile)));
          s.Send(true, NatFrame("JPAKTJ_R", MeldOutput(78, 'N', "/tmp/job.out")));
          s.Send(true, NatFrame("JPAKTJ_R", MeldVariable(5, "COUNT", "17", 'N')));
          s.Send(true, NatFrame("JPAKTJ_R", MeldVariable(6, "", "", 0)));
        }
        {
          TcpStream s(p, 40005, kAgentPort);
          std::string callback = Block(0x03, "*SERVER") + Block(0x01, Name8("CALLBK")) +
                                 Block(0x02, std::string("\x01\x00\x00\x00", 4));
          // The order in which the NAT send route writes the blocks.
          s.Send(true, Frame("NAT", Block(0x02, std::string("\x44\x33\x22\x11", 4)) + Block(0x01, Name8("FUNC")) +
                                        Block(0x03, "*CPHOST") + Block(0xFF, "abc") + Block(0xFD, callback)));
          s.Send(true, Frame("NAT", Block(0xFE, "two-byte")));
          s.Send(true, Frame("NAT", Block(0x3B, "semi")));
          s.Send(true, Frame("NAT", Block(0x41, "seven")));
          s.Send(true, Frame("NAT", Block(0x44, "dee")));
          s.Send(true, Frame("GSS", Block(0xF9, "f9")));
        }
        {
          TcpStream s(p, 40006, kAgentPort);
          s.Send(true, Frame("IPC", RouteNat(0, "*SERVER", "JPAKTJ_R", MeldJob(99, 'E', "routed", 8))));
          s.Send(true, Frame("IPC", PassFd(12, 3, 4, "listener-1")));
          s.Send(true, Frame("IPC", Logging(2003060, "12/ID=4")));
          s.Send(true, Frame("IPC", ChannelAccept(17)));
          s.Send(true, Frame("IPC", IpcRecord("CHANNEL_CLOSE", 64)));
        }
      },
      {{{"wq8.length", "55"}, {"wq8.eyecatch", "WQ8:global"}, {"wq8.hversion", "001"}, {"wq8.protocol", "NAT"},
        {"wq8.protocol_key", "0x04"}, {"wq8.data", "48454c4c4f"}, {"wq8.dst_name", ""}},
       {{"wq8.length", "339"}, {"wq8.protocol", "NAT"}, {"wq8.dst_name", "JPAKTJ_R"}, {"wq8.nat_len", "276"},
        {"wq8.meld.type", "MELD"}, {"wq8.meld.version", "03"}, {"wq8.meld.client", "7"}, {"wq8.job.nr", "4711"},
        {"wq8.job.status", "E"}, {"wq8.job.info", "nightly run"}, {"wq8.job.md_version", "12.2.0+build.2108"},
        {"wq8.job.major", "12"}, {"wq8.job.minor", "2"}, {"wq8.job.retcode", "3"},
        {"wq8.job.time", "2026-12-06 12:31:56"}, {"wq8.ts.year", "2026"}, {"wq8.job.time_t", "1796560316"},
        {"wq8.job.pid", "4242"}, {"wq8.job.ppid", "4241"}, {"wq8.job.sid", "4239"},
        {"_ws.col.Info", "~JPAKTJ_R"}, {"_ws.col.Info", "~job=4711"}},
       {{"wq8.protocol_key", "0x07"}},
       {{"wq8.job.status", "R"}, {"wq8.job.info", std::string(31, 'x')}, {"wq8.job.retcode", "-1"}},
       {{"wq8.length", "339"}, {"wq8.job.nr", "77"}, {"wq8.job.status", "O"}, {"wq8.out.login", "Y"},
        {"wq8.out.file", kLongFile.substr(0, 183)}, {"wq8.cut", "?"}, {"wq8.job.time", "2026-12-06 12:31:56"}},
       {{"wq8.out.login", "N"}, {"wq8.out.file", "/tmp/job.out"}, {"wq8.cut", ""}},
       {{"wq8.nat_len", "1521"}, {"wq8.length", "1584"}, {"wq8.job.status", "V"}, {"wq8.var.dist", "112"},
        {"wq8.var.len", "1225"}, {"wq8.var.name", "COUNT"}, {"wq8.var.value", "17"}, {"wq8.var.type", "N"}},
       {{"wq8.nat_len", "296"}, {"wq8.var.dist", "0"}, {"wq8.var.name", ""}},
       {{"wq8.key", "0x02,0x01,0x03,0xff,0xfd"}, {"wq8.dst_acv", "0x11223344"}, {"wq8.dst_name", "FUNC"},
        {"wq8.dst_addr", "*CPHOST"}, {"wq8.nat_len", "3"}, {"wq8.payload", "616263"},
        {"wq8.cb_key", "0x03,0x01,0x02"}, {"wq8.src_addr", "*SERVER"}, {"wq8.src_name", "CALLBK  "},
        {"wq8.src_acv", "0x00000001"}, {"wq8.block_len", "4,8,7,3,25,7,8,4"}},
       {{"wq8.nat_len", "8"}, {"wq8.payload", "74776f2d62797465"}},
       {{"wq8.protocol_key", "0x3b"}, {"wq8.data", "73656d69"}},
       {{"wq8.protocol_key", "0x41"}, {"wq8.block_len", "5"}},
       {{"wq8.protocol_key", "0x44"}, {"wq8.data", "646565"}},
       {{"wq8.protocol", "GSS"}, {"wq8.protocol_key", "0xf9"}},
       {{"wq8.length", std::to_string(48 + 308 + 276)}, {"wq8.protocol", "IPC"}, {"wq8.ipc.type", "ROUTENAT"},
        {"wq8.addr.eyec", "#CCMADDR"}, {"wq8.addr.dst_addr", "*SERVER"}, {"wq8.addr.dst_name", "JPAKTJ_R"},
        {"wq8.addr.dst_acv", "0x11223344"}, {"wq8.addr.src_id", "9"}, {"wq8.addr.src_name", "CALLBACK"},
        {"wq8.ipc.len", "276"}, {"wq8.job.nr", "99"}, {"wq8.job.retcode", "8"}},
       {{"wq8.length", "204"}, {"wq8.ipc.type", "PASSFD"}, {"wq8.ipc.fd", "12"}, {"wq8.ipc.agent_id", "3"},
        {"wq8.ipc.listener_id", "4"}, {"wq8.ipc.name", "listener-1"}},
       {{"wq8.length", "1092"}, {"wq8.ipc.type", "LOGGING"}, {"wq8.ipc.msgnr", "2003060"},
        {"wq8.ipc.insert", "12/ID=4"}},
       {{"wq8.ipc.type", "CHANNEL_ACCEPT"}, {"wq8.ipc.channel_id", "17"}},
       {{"wq8.ipc.type", "CHANNEL_CLOSE"}, {"wq8.ipc.record", "?"}}});
}

TEST_F(Wq8Dissector, ReassemblesSegmentsAndFindsFramesOnAnyPort) {
  auto report = [](int nr, const char *text) { return NatFrame("JPAKTJ_R", MeldJob(nr, 'E', text, 0)); };
  Decode(
      [&](PcapWriter &p) {
        TcpStream s(p, 40007, kAgentPort);
        // A frame in three pieces, the first shorter than the length digits.
        s.SendSplit(true, report(1, "a"), {5, 100});
        // Two whole frames and the start of a third in one segment, then its rest.
        s.SendSplit(true, kGreeting + report(2, "b") + report(3, "c"), {kGreeting.size() + 339 + 20});
      },
      {{{"wq8.length", "339"}, {"wq8.job.nr", "1"}, {"tcp.len", std::to_string(339 - 105)}},
       {{"wq8.length", "55,339"}, {"wq8.job.nr", "2"}},
       {{"wq8.length", "339"}, {"wq8.job.nr", "3"}}});
  // No port configured: frames are found by their eye-catcher, HTTP is not.
  Decode(
      [&](PcapWriter &p) {
        TcpStream s(p, 40008, 5999);
        s.Send(false, kGreeting);
        s.Send(true, NatFrame("JPAKTJ_R", MeldJob(31, 'R', "", 0)));
        TcpStream other(p, 40009, 5998);
        other.Send(true, "GET / HTTP/1.0\r\n\r\n");
      },
      {{{"wq8.length", "55"}}, {{"wq8.job.nr", "31"}}}, 0);
}

// Damaged frames are shown with expert information, never a Lua error, and
// the frames behind them on other connections still decode.
TEST_F(Wq8Dissector, ReportsDamagedFramesWithoutLuaErrors) {
  std::string shortlen = Frame("NAT", Block(0x04, "x"));
  shortlen.replace(0, 8, "00000010");
  std::string route = RouteNat(0, "", "", "MELD");
  SetLE(route, offsetof(ipcmsg_routenat_t, len), 100000, 4);
  std::string far_var = MeldVariable(5, "N", "V", 'T');
  SetLE(far_var, kInsert + offsetof(JP_EXMLDV, variable_dist), 0x7FFFFFF0, 4);
  struct Bad {
    std::string bytes;
    bool flagged;
    Want want;
  };
  const std::vector<Bad> bad = {
      {std::string("\x00\x01\x02garbage that is not a frame at all", 37), true, {}},
      {Frame("NAT", "").substr(0, 20), false, {}},  // header cut: nothing to show yet
      {shortlen, true, {}},                          // length below the header
      {Frame("NAT", Block(0x05, "x")), true, {{"wq8.bad_key", "?"}}},
      {Frame("NAT", std::string("\xFF\xFF\xFF\x00\x00", 5) + "abc"), true, {}},  // 0xFF too long
      {Frame("NAT", "\x41" "12x4567abc"), false, {}},                      // odd decimal length
      {Frame("NAT", "\x41" "-000003abc"), true, {}},                       // negative length
      {Frame("NAT", std::string("\xFD\x04\x00\x09\x01zz", 7)), true, {}},  // bad callback key
      {Frame("NAT", std::string("\xFD\x03\x00\x01\x09z", 6)), true, {}},   // sub-block overrun
      {Frame("IPC", "ROUTE"), true, {}},                                   // record cut
      {Frame("IPC", route), true, {}},                                     // payload past the frame
      {Frame("IPC", IpcRecord("LOGGING", 18)), false, {}},
      {NatFrame("JPAKTJ_R", MeldJob(1, 'E', "", 0).substr(0, 30)), false, {{"wq8.job.nr", "1"}}},
      {NatFrame("JPAKTJ_R", std::string("MELD")), false, {}},
      {NatFrame("JPAKTJ_R", far_var), true, {}},  // record far outside
      {NatFrame("JPAKTJ_R", MeldVariable(5, "N", "V", 'T').substr(0, 500)), true, {{"wq8.var.name", "N"}}},
      {NatFrame("JPAKTJ_R", MeldJob(8, 'E', "ok", 0)), false, {{"wq8.job.nr", "8"}}}};
  std::vector<Want> want;
  auto fill = [&](PcapWriter &p) {
    for (size_t i = 0; i < bad.size(); ++i) TcpStream(p, (uint16_t)(41000 + i), kAgentPort).Send(true, bad[i].bytes);
  };
  std::vector<Row> rows = Decode(fill, {}, kAgentPort,
                                 {"tcp.srcport", "wq8.malformed", "wq8.bad_key", "wq8.short", "wq8.job.nr", "wq8.var.name"});
  std::map<int, Row> by_port;
  for (auto &r : rows) by_port[std::stoi(r["tcp.srcport"])] = r;
  for (size_t i = 0; i < bad.size(); ++i) {
    Row &r = by_port[41000 + (int)i];
    bool flagged = !(r["wq8.malformed"] + r["wq8.bad_key"] + r["wq8.short"]).empty();
    EXPECT_TRUE(flagged || !bad[i].flagged) << "case " << i;
    ExpectRow(r, bad[i].want, "case " + std::to_string(i));
  }
  ExpectNoLuaError(fill);
}

// Random damage to valid frames: every byte value at every place must be
// survivable. Each damaged frame travels on its own connection.
TEST_F(Wq8Dissector, SurvivesRandomlyDamagedFrames) {
  const std::vector<std::string> seeds = {
      NatFrame("JPAKTJ_R", MeldJob(1, 'E', "text", 0)), NatFrame("JPAKTJ_R", MeldOutput(2, 'Y', "/tmp/x")),
      NatFrame("JPAKTJ_R", MeldVariable(3, "N", "V", 'T')),
      Frame("NAT", Block(0x02, "abcd") + Block(0x01, "FUNC    ") + Block(0xFF, "xy") +
                       Block(0xFD, Block(0x01, "CB      ") + Block(0x03, "*A"))),
      Frame("IPC", RouteNat(1, "*SERVER", "F", MeldJob(4, 'R', "", 0))), Frame("IPC", PassFd(1, 2, 3, "n"))};
  ExpectNoLuaError([&](PcapWriter &p) {
    std::mt19937 rng(20261206);
    for (int i = 0; i < 150; ++i) {
      std::string f = seeds[i % seeds.size()];
      for (int e = 1 + static_cast<int>(rng() % 4); e > 0; --e) {
        // Most damage goes behind the header, where the length fields lie.
        size_t at = (rng() % 2) ? 48 + rng() % 80 : rng() % f.size();
        if (at < 8 && (rng() % 4) != 0) at += 48;  // keep most lengths readable
        f[std::min(at, f.size() - 1)] = static_cast<char>(rng() & 0xFF);
      }
      if (rng() % 3 == 0) {
        // Cut the frame and make its header agree: the blocks promise more.
        f.resize(48 + rng() % (f.size() - 47));
        char len[16];
        snprintf(len, sizeof len, "%08zu", f.size());
        f.replace(0, 8, len);
      }
      TcpStream(p, (uint16_t)(42000 + i), kAgentPort).Send(true, f);
    }
  });
}

// One real exchange between wq_jpmd and wq_jpagent, captured on the
// loopback interface while it happens and decoded live.
TEST_F(Wq8Dissector, DecodesARealExchangeCapturedOnLoopback) {
  const std::string bin = WQ_BINARY_DIR;
  Child agent;
  ASSERT_TRUE(agent.Start({bin + "/wq_jpagent", "--count", "1"}));
  std::string first;
  ASSERT_TRUE(agent.ReadLine(&first)) << agent.err();
  ASSERT_NE(first.find(" port "), std::string::npos) << first;
  const std::string port = first.substr(first.rfind(" port ") + 6);
  ASSERT_GT(std::stoi(port), 0);

  // A UDP probe on the loopback interface shows when the capture really runs.
  int rx = socket(AF_INET, SOCK_DGRAM, 0), tx = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in sa {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
  ASSERT_EQ(getsockname(rx, reinterpret_cast<sockaddr *>(&sa), &len), 0);
  const std::string probe_port = std::to_string(ntohs(sa.sin_port));

  const std::vector<std::string> fields = {
      "udp.dstport",   "tcp.srcport", "wq8.length",     "wq8.protocol",    "wq8.protocol_key",
      "wq8.dst_name",  "wq8.nat_len", "wq8.meld.type",  "wq8.job.nr",      "wq8.job.status",
      "wq8.job.retcode", "wq8.job.info", "wq8.job.md_version", "wq8.job.pid"};
  std::vector<std::string> argv = TsharkArgs((uint16_t)std::stoi(port));
  argv.insert(argv.end(), {"-l", "-i", "lo", "-f", "tcp port " + port + " or udp port " + probe_port, "-Y",
                           "wq8 or udp.dstport == " + probe_port, "-a", "duration:300"});
  AddFields(argv, fields);
  Child tshark;
  ASSERT_TRUE(tshark.Start(argv));
  if (!tshark.ReadUntil([&] { return tshark.err().find("Capturing on") != std::string::npos; }, Deadline(120))) {
    close(rx);
    close(tx);
    GTEST_SKIP() << "capturing on the loopback interface is not possible here: " << tshark.err();
  }
  auto probe_seen = [&] { return tshark.out().find(probe_port + "\t") != std::string::npos; };
  for (auto end = Deadline(120); !probe_seen() && Clock::now() < end;) {
    sendto(tx, "probe", 5, 0, reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
    tshark.ReadUntil(probe_seen, std::min(end, Clock::now() + std::chrono::milliseconds(250)));
  }
  close(rx);
  close(tx);
  ASSERT_TRUE(probe_seen()) << tshark.err();

  Child jpmd;
  ASSERT_TRUE(jpmd.Start({bin + "/wq_jpmd", "IPA=127.0.0.1", "PNR=" + port, "TYP=E", "JNR=4711", "RET=3",
                          "TXT=captured run", "RETRY=1", "TIMEOUT=60"}));
  const std::string jpmd_pid = std::to_string(jpmd.pid());
  EXPECT_EQ(jpmd.ExitCode(180), 3) << jpmd.out();

  // Greeting, report and answer: one line each.
  auto exchange = [&] {
    std::vector<Row> rows;
    for (auto &r : ParseRows(tshark.out(), fields))
      if (r["udp.dstport"].empty()) rows.push_back(r);
    return rows;
  };
  bool all = tshark.ReadUntil([&] { return exchange().size() >= 3; }, Deadline(120));
  tshark.Signal(SIGINT);
  tshark.Finish(Deadline(60));
  agent.Signal(SIGTERM);
  agent.Finish(Deadline(60));
  EXPECT_NE(agent.out().find("job=4711"), std::string::npos) << agent.out() << agent.err();
  ASSERT_TRUE(all) << tshark.out() << tshark.err();
  std::vector<Row> rows = exchange();
  ExpectRow(rows[0], {{"tcp.srcport", port}, {"wq8.protocol_key", "0x04"}}, "greeting");
  EXPECT_NE(rows[1]["tcp.srcport"], port);
  ExpectRow(rows[1],
            {{"wq8.length", "339"}, {"wq8.protocol", "NAT"}, {"wq8.dst_name", "JPAKTJ_R"}, {"wq8.nat_len", "276"},
             {"wq8.meld.type", "MELD"}, {"wq8.job.nr", "4711"}, {"wq8.job.status", "E"}, {"wq8.job.retcode", "3"},
             {"wq8.job.info", "captured run"}, {"wq8.job.md_version", "12.2.0+build.2108"},
             {"wq8.job.pid", jpmd_pid}},
            "report");
  ExpectRow(rows[2], {{"tcp.srcport", port}, {"wq8.length", "?"}}, "answer");
}

}  // namespace
