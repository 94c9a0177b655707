// The Wireshark dissector tools/wireshark/wq8.lua, run through tshark over
// hand-built captures (header, key blocks, MELD records, IPC records, TCP
// reassembly, damaged frames). Skipped when tshark is not installed.

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tools/pcap_writer.h"
#include "tools/subprocess.h"
#include "tools/wq8_frames.h"

namespace {

using wqtest::Block;
using wqtest::Frame;
using wqtest::Name8;
using wqtest::NatFrame;
using wqtest::PcapWriter;
using wqtest::TcpStream;

constexpr uint16_t kAgentPort = 4711;

std::string Tshark() { return wqtest::FindInPath("tshark"); }

std::string LuaScript() { return std::string(WQ_SOURCE_DIR) + "/tools/wireshark/wq8.lua"; }

std::chrono::steady_clock::time_point Deadline(int seconds) {
  return std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
}

// A capture file in the build tree, removed at the end of the test.
class CaptureFile {
 public:
  explicit CaptureFile(const std::string &tag) {
    path_ = std::string(WQ_BINARY_DIR) + "/dissector_" + tag + "_" + std::to_string(getpid()) +
            ".pcap";
  }
  ~CaptureFile() { unlink(path_.c_str()); }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

// Decoded fields of the packets of a capture that hold at least one frame:
// one map per packet from field name to its value (several values of one
// packet joined by ',').
using Row = std::map<std::string, std::string>;

struct Decoded {
  int status = -1;
  std::string err;
  std::vector<Row> rows;
};

std::vector<std::string> SplitTabs(const std::string &line) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    out.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return out;
    start = tab + 1;
  }
}

Decoded Decode(const std::string &pcap, const std::vector<std::string> &fields,
               uint16_t port = kAgentPort) {
  std::vector<std::string> argv = {Tshark(), "-n", "-X", "lua_script:" + LuaScript(),
                                   "-o", "wq8.port:" + std::to_string(port),
                                   "-r", pcap, "-Y", "wq8", "-T", "fields"};
  for (const auto &f : fields) {
    argv.push_back("-e");
    argv.push_back(f);
  }
  wqtest::Child child;
  Decoded d;
  if (!child.Start(argv)) return d;
  d.status = child.Finish(Deadline(240));
  d.err = child.err();
  std::istringstream in(child.out());
  std::string line;
  while (std::getline(in, line)) {
    auto values = SplitTabs(line);
    Row row;
    for (size_t i = 0; i < fields.size() && i < values.size(); ++i) row[fields[i]] = values[i];
    d.rows.push_back(row);
  }
  return d;
}

// The whole packet tree as text, for checks over every line.
std::string Verbose(const std::string &pcap) {
  wqtest::Child child;
  if (!child.Start({Tshark(), "-n", "-X", "lua_script:" + LuaScript(), "-o",
                    "wq8.port:" + std::to_string(kAgentPort), "-r", pcap, "-V"}))
    return "";
  child.Finish(Deadline(240));
  return child.out() + child.err();
}

class Wq8Dissector : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Tshark().empty()) GTEST_SKIP() << "tshark is not installed";
    ASSERT_EQ(access(LuaScript().c_str(), R_OK), 0) << LuaScript();
  }
};

const std::string kGreeting = Frame("NAT", Block(0x04, "HELLO"));

TEST_F(Wq8Dissector, DecodesGreetingJobReportAndAnswer) {
  CaptureFile cap("job");
  PcapWriter pcap;
  TcpStream s(pcap, 40001, kAgentPort);
  s.Send(false, kGreeting);
  s.Send(true, NatFrame("JPAKTJ_R", wqtest::MeldJob(4711, 'E', "nightly run", 3)));
  s.Send(false, Frame("NAT", Block(0x07, "OK")));
  ASSERT_TRUE(pcap.Save(cap.path()));

  auto d = Decode(cap.path(), {"wq8.length", "wq8.eyecatch", "wq8.hversion", "wq8.protocol",
                               "wq8.protocol_key", "wq8.data", "wq8.dst_name", "wq8.nat_len",
                               "wq8.meld.type", "wq8.meld.version", "wq8.meld.client",
                               "wq8.job.nr", "wq8.job.status", "wq8.job.info",
                               "wq8.job.md_version", "wq8.job.major", "wq8.job.minor",
                               "wq8.job.retcode", "wq8.job.time", "wq8.ts.year",
                               "wq8.job.time_t", "wq8.job.pid", "wq8.job.ppid", "wq8.job.sid",
                               "_ws.col.Info"});
  ASSERT_EQ(d.status, 0) << d.err;
  ASSERT_EQ(d.rows.size(), 3u) << d.err;

  Row &g = d.rows[0];
  EXPECT_EQ(g["wq8.length"], "55");
  EXPECT_EQ(g["wq8.eyecatch"], "WQ8:global");
  EXPECT_EQ(g["wq8.hversion"], "001");
  EXPECT_EQ(g["wq8.protocol"], "NAT");
  EXPECT_EQ(g["wq8.protocol_key"], "0x04");
  EXPECT_EQ(g["wq8.data"], "48454c4c4f");
  EXPECT_EQ(g["wq8.dst_name"], "");

  Row &r = d.rows[1];
  EXPECT_EQ(r["wq8.length"], "339");
  EXPECT_EQ(r["wq8.protocol"], "NAT");
  EXPECT_EQ(r["wq8.dst_name"], "JPAKTJ_R");
  EXPECT_EQ(r["wq8.nat_len"], "276");
  EXPECT_EQ(r["wq8.meld.type"], "MELD");
  EXPECT_EQ(r["wq8.meld.version"], "03");
  EXPECT_EQ(r["wq8.meld.client"], "7");
  EXPECT_EQ(r["wq8.job.nr"], "4711");
  EXPECT_EQ(r["wq8.job.status"], "E");
  EXPECT_EQ(r["wq8.job.info"], "nightly run");
  EXPECT_EQ(r["wq8.job.md_version"], "12.2.0+build.2108");
  EXPECT_EQ(r["wq8.job.major"], "12");
  EXPECT_EQ(r["wq8.job.minor"], "2");
  EXPECT_EQ(r["wq8.job.retcode"], "3");
  EXPECT_EQ(r["wq8.job.time"], "2026-12-06 12:31:56");
  EXPECT_EQ(r["wq8.ts.year"], "2026");
  EXPECT_EQ(r["wq8.job.time_t"], "1796560316");
  EXPECT_EQ(r["wq8.job.pid"], "4242");
  EXPECT_EQ(r["wq8.job.ppid"], "4241");
  EXPECT_EQ(r["wq8.job.sid"], "4239");
  EXPECT_NE(r["_ws.col.Info"].find("JPAKTJ_R"), std::string::npos) << r["_ws.col.Info"];
  EXPECT_NE(r["_ws.col.Info"].find("job=4711"), std::string::npos) << r["_ws.col.Info"];

  EXPECT_EQ(d.rows[2]["wq8.protocol_key"], "0x07");
}

TEST_F(Wq8Dissector, DecodesNegativeReturnCodeAndFullInfoText) {
  CaptureFile cap("rc");
  PcapWriter pcap;
  TcpStream s(pcap, 40002, kAgentPort);
  // 40 characters of text: the record keeps 31 and a terminator.
  s.Send(true, NatFrame("JPAKTJ_R", wqtest::MeldJob(1, 'R', std::string(40, 'x'), -1)));
  ASSERT_TRUE(pcap.Save(cap.path()));
  auto d = Decode(cap.path(), {"wq8.job.status", "wq8.job.info", "wq8.job.retcode"});
  ASSERT_EQ(d.rows.size(), 1u) << d.err;
  EXPECT_EQ(d.rows[0]["wq8.job.status"], "R");
  EXPECT_EQ(d.rows[0]["wq8.job.info"], std::string(31, 'x'));
  EXPECT_EQ(d.rows[0]["wq8.job.retcode"], "-1");
}

TEST_F(Wq8Dissector, OutputFileRecordIsCutByTheMessageLength) {
  CaptureFile cap("out");
  PcapWriter pcap;
  TcpStream s(pcap, 40003, kAgentPort);
  std::string longname = "/var/log/" + std::string(191, 'f');  // 200 characters
  s.Send(true, NatFrame("JPAKTJ_R", wqtest::MeldOutput(77, 'Y', longname)));
  s.Send(true, NatFrame("JPAKTJ_R", wqtest::MeldOutput(78, 'N', "/tmp/job.out")));
  ASSERT_TRUE(pcap.Save(cap.path()));
  auto d = Decode(cap.path(), {"wq8.length", "wq8.job.nr", "wq8.job.status", "wq8.out.login",
                               "wq8.out.file", "wq8.cut", "wq8.job.time"});
  ASSERT_EQ(d.rows.size(), 2u) << d.err;
  EXPECT_EQ(d.rows[0]["wq8.length"], "339");
  EXPECT_EQ(d.rows[0]["wq8.job.nr"], "77");
  EXPECT_EQ(d.rows[0]["wq8.job.status"], "O");
  EXPECT_EQ(d.rows[0]["wq8.out.login"], "Y");
  EXPECT_EQ(d.rows[0]["wq8.out.file"], longname.substr(0, 183));
  EXPECT_FALSE(d.rows[0]["wq8.cut"].empty());
  EXPECT_EQ(d.rows[0]["wq8.job.time"], "2026-12-06 12:31:56");
  EXPECT_EQ(d.rows[1]["wq8.out.login"], "N");
  EXPECT_EQ(d.rows[1]["wq8.out.file"], "/tmp/job.out");
  EXPECT_TRUE(d.rows[1]["wq8.cut"].empty());
}

TEST_F(Wq8Dissector, VariableRecordWithAndWithoutValueRecord) {
  CaptureFile cap("var");
  PcapWriter pcap;
  TcpStream s(pcap, 40004, kAgentPort);
  s.Send(true, NatFrame("JPAKTJ_R", wqtest::MeldVariable(5, "COUNT", "17", 'N')));
  s.Send(true, NatFrame("JPAKTJ_R", wqtest::MeldVariable(6, "", "", 0)));
  ASSERT_TRUE(pcap.Save(cap.path()));
  auto d = Decode(cap.path(), {"wq8.length", "wq8.nat_len", "wq8.job.status", "wq8.var.dist",
                               "wq8.var.len", "wq8.var.name", "wq8.var.value",
                               "wq8.var.type"});
  ASSERT_EQ(d.rows.size(), 2u) << d.err;
  EXPECT_EQ(d.rows[0]["wq8.nat_len"], "1521");
  EXPECT_EQ(d.rows[0]["wq8.length"], "1584");
  EXPECT_EQ(d.rows[0]["wq8.job.status"], "V");
  EXPECT_EQ(d.rows[0]["wq8.var.dist"], "112");
  EXPECT_EQ(d.rows[0]["wq8.var.len"], "1225");
  EXPECT_EQ(d.rows[0]["wq8.var.name"], "COUNT");
  EXPECT_EQ(d.rows[0]["wq8.var.value"], "17");
  EXPECT_EQ(d.rows[0]["wq8.var.type"], "N");
  EXPECT_EQ(d.rows[1]["wq8.nat_len"], "296");
  EXPECT_EQ(d.rows[1]["wq8.var.dist"], "0");
  EXPECT_EQ(d.rows[1]["wq8.var.name"], "");
}

TEST_F(Wq8Dissector, DecodesEveryKeyBlock) {
  CaptureFile cap("keys");
  PcapWriter pcap;
  TcpStream s(pcap, 40005, kAgentPort);
  std::string acv("\x44\x33\x22\x11", 4);
  std::string callback = Block(0x03, "*SERVER") + Block(0x01, Name8("CALLBK")) +
                         Block(0x02, std::string("\x01\x00\x00\x00", 4));
  // The order in which the NAT send route writes the blocks.
  s.Send(true, Frame("NAT", Block(0x02, acv) + Block(0x01, Name8("FUNC")) +
                                Block(0x03, "*CPHOST") + Block(0xFF, "abc") +
                                Block(0xFD, callback)));
  s.Send(true, Frame("NAT", Block(0xFE, "two-byte")));
  s.Send(true, Frame("NAT", Block(0x3B, "semi")));
  s.Send(true, Frame("NAT", Block(0x41, "seven")));
  s.Send(true, Frame("NAT", Block(0x44, "dee")));
  s.Send(true, Frame("GSS", Block(0xF9, "f9")));
  ASSERT_TRUE(pcap.Save(cap.path()));
  auto d = Decode(cap.path(), {"wq8.key", "wq8.dst_acv", "wq8.dst_name", "wq8.dst_addr",
                               "wq8.nat_len", "wq8.payload", "wq8.cb_key", "wq8.src_addr",
                               "wq8.src_name", "wq8.src_acv", "wq8.block_len",
                               "wq8.protocol_key", "wq8.data", "wq8.protocol"});
  ASSERT_EQ(d.rows.size(), 6u) << d.err;
  Row &n = d.rows[0];
  EXPECT_EQ(n["wq8.key"], "0x02,0x01,0x03,0xff,0xfd");
  EXPECT_EQ(n["wq8.dst_acv"], "0x11223344");
  EXPECT_EQ(n["wq8.dst_name"], "FUNC");
  EXPECT_EQ(n["wq8.dst_addr"], "*CPHOST");
  EXPECT_EQ(n["wq8.nat_len"], "3");
  EXPECT_EQ(n["wq8.payload"], "616263");
  EXPECT_EQ(n["wq8.cb_key"], "0x03,0x01,0x02");
  EXPECT_EQ(n["wq8.src_addr"], "*SERVER");
  EXPECT_EQ(n["wq8.src_name"], "CALLBK  ");
  EXPECT_EQ(n["wq8.src_acv"], "0x00000001");
  EXPECT_EQ(n["wq8.block_len"], "4,8,7,3,25,7,8,4");
  EXPECT_EQ(d.rows[1]["wq8.nat_len"], "8");
  EXPECT_EQ(d.rows[1]["wq8.payload"], "74776f2d62797465");
  EXPECT_EQ(d.rows[2]["wq8.protocol_key"], "0x3b");
  EXPECT_EQ(d.rows[2]["wq8.data"], "73656d69");
  EXPECT_EQ(d.rows[3]["wq8.protocol_key"], "0x41");
  EXPECT_EQ(d.rows[3]["wq8.block_len"], "5");
  EXPECT_EQ(d.rows[4]["wq8.protocol_key"], "0x44");
  EXPECT_EQ(d.rows[4]["wq8.data"], "646565");
  EXPECT_EQ(d.rows[5]["wq8.protocol"], "GSS");
  EXPECT_EQ(d.rows[5]["wq8.protocol_key"], "0xf9");
}

TEST_F(Wq8Dissector, DecodesIpcRecords) {
  CaptureFile cap("ipc");
  PcapWriter pcap;
  TcpStream s(pcap, 40006, kAgentPort);
  s.Send(true, Frame("IPC", wqtest::RouteNat(0, "*SERVER", "JPAKTJ_R",
                                             wqtest::MeldJob(99, 'E', "routed", 8))));
  s.Send(true, Frame("IPC", wqtest::PassFd(12, 3, 4, "listener-1")));
  s.Send(true, Frame("IPC", wqtest::Logging(2003060, "12/ID=4")));
  s.Send(true, Frame("IPC", wqtest::ChannelAccept(17)));
  s.Send(true, Frame("IPC", wqtest::IpcRecord("CHANNEL_CLOSE", 64)));
  ASSERT_TRUE(pcap.Save(cap.path()));
  auto d = Decode(cap.path(), {"wq8.length", "wq8.protocol", "wq8.ipc.type", "wq8.addr.eyec",
                               "wq8.addr.dst_addr", "wq8.addr.dst_name", "wq8.addr.dst_acv",
                               "wq8.addr.src_id", "wq8.addr.src_name", "wq8.ipc.len",
                               "wq8.job.nr", "wq8.job.retcode", "wq8.ipc.fd",
                               "wq8.ipc.agent_id", "wq8.ipc.listener_id", "wq8.ipc.name",
                               "wq8.ipc.msgnr", "wq8.ipc.insert", "wq8.ipc.channel_id",
                               "wq8.ipc.record"});
  ASSERT_EQ(d.rows.size(), 5u) << d.err;
  Row &r = d.rows[0];
  EXPECT_EQ(r["wq8.length"], std::to_string(48 + 308 + 276));
  EXPECT_EQ(r["wq8.protocol"], "IPC");
  EXPECT_EQ(r["wq8.ipc.type"], "ROUTENAT");
  EXPECT_EQ(r["wq8.addr.eyec"], "#CCMADDR");
  EXPECT_EQ(r["wq8.addr.dst_addr"], "*SERVER");
  EXPECT_EQ(r["wq8.addr.dst_name"], "JPAKTJ_R");
  EXPECT_EQ(r["wq8.addr.dst_acv"], "0x11223344");
  EXPECT_EQ(r["wq8.addr.src_id"], "9");
  EXPECT_EQ(r["wq8.addr.src_name"], "CALLBACK");
  EXPECT_EQ(r["wq8.ipc.len"], "276");
  EXPECT_EQ(r["wq8.job.nr"], "99");
  EXPECT_EQ(r["wq8.job.retcode"], "8");
  Row &p = d.rows[1];
  EXPECT_EQ(p["wq8.length"], "204");
  EXPECT_EQ(p["wq8.ipc.type"], "PASSFD");
  EXPECT_EQ(p["wq8.ipc.fd"], "12");
  EXPECT_EQ(p["wq8.ipc.agent_id"], "3");
  EXPECT_EQ(p["wq8.ipc.listener_id"], "4");
  EXPECT_EQ(p["wq8.ipc.name"], "listener-1");
  Row &l = d.rows[2];
  EXPECT_EQ(l["wq8.length"], "1092");
  EXPECT_EQ(l["wq8.ipc.type"], "LOGGING");
  EXPECT_EQ(l["wq8.ipc.msgnr"], "2003060");
  EXPECT_EQ(l["wq8.ipc.insert"], "12/ID=4");
  EXPECT_EQ(d.rows[3]["wq8.ipc.type"], "CHANNEL_ACCEPT");
  EXPECT_EQ(d.rows[3]["wq8.ipc.channel_id"], "17");
  EXPECT_EQ(d.rows[4]["wq8.ipc.type"], "CHANNEL_CLOSE");
  EXPECT_FALSE(d.rows[4]["wq8.ipc.record"].empty());
}

TEST_F(Wq8Dissector, ReassemblesFramesOverSegments) {
  CaptureFile cap("tcp");
  PcapWriter pcap;
  TcpStream s(pcap, 40007, kAgentPort);
  std::string report = NatFrame("JPAKTJ_R", wqtest::MeldJob(1, 'E', "a", 0));
  std::string second = NatFrame("JPAKTJ_R", wqtest::MeldJob(2, 'E', "b", 0));
  std::string third = NatFrame("JPAKTJ_R", wqtest::MeldJob(3, 'E', "c", 0));
  // A frame in three pieces, the first shorter than the length digits.
  s.SendSplit(true, report, {5, 100});
  // Two whole frames and the start of a third in one segment, then its rest.
  s.SendSplit(true, kGreeting + second + third, {kGreeting.size() + second.size() + 20});
  ASSERT_TRUE(pcap.Save(cap.path()));
  auto d = Decode(cap.path(), {"wq8.length", "wq8.job.nr", "tcp.len"});
  ASSERT_EQ(d.rows.size(), 3u) << d.err;
  EXPECT_EQ(d.rows[0]["wq8.length"], "339");
  EXPECT_EQ(d.rows[0]["wq8.job.nr"], "1");
  EXPECT_EQ(d.rows[0]["tcp.len"], std::to_string(339 - 105));
  EXPECT_EQ(d.rows[1]["wq8.length"], "55,339");
  EXPECT_EQ(d.rows[1]["wq8.job.nr"], "2");
  EXPECT_EQ(d.rows[2]["wq8.length"], "339");
  EXPECT_EQ(d.rows[2]["wq8.job.nr"], "3");
}

TEST_F(Wq8Dissector, FindsFramesOnAnyPortByTheEyeCatcher) {
  CaptureFile cap("heur");
  PcapWriter pcap;
  TcpStream s(pcap, 40008, 5999);
  s.Send(false, kGreeting);
  s.Send(true, NatFrame("JPAKTJ_R", wqtest::MeldJob(31, 'R', "", 0)));
  TcpStream other(pcap, 40009, 5998);
  other.Send(true, "GET / HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(pcap.Save(cap.path()));
  auto d = Decode(cap.path(), {"wq8.length", "wq8.job.nr"}, 0);
  ASSERT_EQ(d.rows.size(), 2u) << d.err;
  EXPECT_EQ(d.rows[0]["wq8.length"], "55");
  EXPECT_EQ(d.rows[1]["wq8.job.nr"], "31");
}

// Damaged frames are shown with expert information, never a Lua error, and
// the frames behind them on other connections still decode.
TEST_F(Wq8Dissector, ReportsDamagedFramesWithoutLuaErrors) {
  CaptureFile cap("bad");
  PcapWriter pcap;
  uint16_t port = 41000;
  auto stream_with = [&](const std::string &bytes) {
    TcpStream s(pcap, port++, kAgentPort);
    s.Send(true, bytes);
  };
  stream_with(std::string("\x00\x01\x02garbage that is not a frame at all", 37));
  stream_with(Frame("NAT", "").substr(0, 20));                       // header cut
  std::string shortlen = Frame("NAT", Block(0x04, "x"));
  shortlen.replace(0, 8, "00000010");                                // below 48
  stream_with(shortlen);
  stream_with(Frame("NAT", Block(0x05, "x")));                       // unknown key
  stream_with(Frame("NAT", std::string("\xFF\xFF\xFF\x00\x00", 5) + "abc"));  // 0xFF too long
  stream_with(Frame("NAT", "\x41" "12x4567abc"));                    // odd decimal length
  stream_with(Frame("NAT", "\x41" "-000003abc"));                    // negative length
  stream_with(Frame("NAT", std::string("\xFD\x04\x00\x09\x01zz", 7)));  // bad callback key
  stream_with(Frame("NAT", std::string("\xFD\x03\x00\x01\x09z", 6)));   // sub-block overrun
  stream_with(Frame("IPC", "ROUTE"));                                // record cut
  std::string route = wqtest::RouteNat(0, "", "", "MELD");
  wqtest::SetLE(route, offsetof(ipcmsg_routenat_t, len), 100000, 4);
  stream_with(Frame("IPC", route));                                  // payload past frame
  stream_with(Frame("IPC", wqtest::IpcRecord("LOGGING", 18)));       // fields missing
  stream_with(NatFrame("JPAKTJ_R", wqtest::MeldJob(1, 'E', "", 0).substr(0, 30)));
  stream_with(NatFrame("JPAKTJ_R", std::string("MELD")));
  std::string var = wqtest::MeldVariable(5, "N", "V", 'T');
  wqtest::SetLE(var, wqtest::kInsert + offsetof(JP_EXMLDV, variable_dist), 0x7FFFFFF0, 4);
  stream_with(NatFrame("JPAKTJ_R", var));                            // record far outside
  stream_with(NatFrame("JPAKTJ_R", wqtest::MeldVariable(5, "N", "V", 'T').substr(0, 500)));
  TcpStream good(pcap, port++, kAgentPort);
  good.Send(true, NatFrame("JPAKTJ_R", wqtest::MeldJob(8, 'E', "ok", 0)));
  ASSERT_TRUE(pcap.Save(cap.path()));

  auto d = Decode(cap.path(), {"tcp.srcport", "wq8.malformed", "wq8.bad_key", "wq8.short",
                               "wq8.job.nr", "wq8.var.name"});
  ASSERT_EQ(d.status, 0) << d.err;
  std::map<int, Row> by_port;
  for (auto &r : d.rows) by_port[std::stoi(r["tcp.srcport"])] = r;
  auto flagged = [&](int p) {
    Row &r = by_port[p];
    return !(r["wq8.malformed"] + r["wq8.bad_key"] + r["wq8.short"]).empty();
  };
  EXPECT_TRUE(flagged(41000));  // garbage
  EXPECT_TRUE(flagged(41002));  // length below the header
  EXPECT_TRUE(flagged(41003));
  EXPECT_FALSE(by_port[41003]["wq8.bad_key"].empty());
  EXPECT_TRUE(flagged(41004));
  EXPECT_TRUE(flagged(41006));
  EXPECT_TRUE(flagged(41007));
  EXPECT_TRUE(flagged(41008));
  EXPECT_TRUE(flagged(41009));
  EXPECT_TRUE(flagged(41010));
  EXPECT_TRUE(flagged(41014));
  EXPECT_TRUE(flagged(41015));
  EXPECT_EQ(by_port[41015]["wq8.var.name"], "N");
  EXPECT_EQ(by_port[41012]["wq8.job.nr"], "1");
  EXPECT_EQ(by_port[port - 1]["wq8.job.nr"], "8");

  std::string tree = Verbose(cap.path());
  EXPECT_EQ(tree.find("Lua Error"), std::string::npos) << tree.substr(0, 4000);
  EXPECT_EQ(tree.find("could not be decoded"), std::string::npos);
}

// Random damage to valid frames: every byte value at every place must be
// survivable. Each damaged frame travels on its own connection.
TEST_F(Wq8Dissector, SurvivesRandomlyDamagedFrames) {
  CaptureFile cap("fuzz");
  PcapWriter pcap;
  std::mt19937 rng(20261206);
  const std::vector<std::string> seeds = {
      NatFrame("JPAKTJ_R", wqtest::MeldJob(1, 'E', "text", 0)),
      NatFrame("JPAKTJ_R", wqtest::MeldOutput(2, 'Y', "/tmp/x")),
      NatFrame("JPAKTJ_R", wqtest::MeldVariable(3, "N", "V", 'T')),
      Frame("NAT", Block(0x02, "abcd") + Block(0x01, "FUNC    ") + Block(0xFF, "xy") +
                       Block(0xFD, Block(0x01, "CB      ") + Block(0x03, "*A"))),
      Frame("IPC", wqtest::RouteNat(1, "*SERVER", "F", wqtest::MeldJob(4, 'R', "", 0))),
      Frame("IPC", wqtest::PassFd(1, 2, 3, "n")),
  };
  uint16_t port = 42000;
  for (int i = 0; i < 300; ++i) {
    std::string f = seeds[i % seeds.size()];
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      // Most damage goes to the key blocks and record heads behind the
      // header, where the length fields lie.
      size_t at = (rng() % 2) ? 48 + rng() % 80 : rng() % f.size();
      if (at < 8 && (rng() % 4) != 0) at += 48;  // keep most lengths readable
      if (at >= f.size()) at = f.size() - 1;
      f[at] = static_cast<char>(rng() & 0xFF);
    }
    if (rng() % 3 == 0) {
      // Cut the frame and make its header agree, so that the blocks inside
      // promise more than the frame holds.
      f.resize(48 + rng() % (f.size() - 47));
      char len[16];
      snprintf(len, sizeof len, "%08zu", f.size());
      f.replace(0, 8, len);
    }
    TcpStream s(pcap, port++, kAgentPort);
    s.Send(true, f);
  }
  ASSERT_TRUE(pcap.Save(cap.path()));
  std::string tree = Verbose(cap.path());
  ASSERT_NE(tree.find("WQ8 channel frame"), std::string::npos) << tree.substr(0, 2000);
  EXPECT_EQ(tree.find("Lua Error"), std::string::npos)
      << tree.substr(tree.find("Lua Error") > 3000 ? tree.find("Lua Error") - 3000 : 0, 6000);
  EXPECT_EQ(tree.find("could not be decoded"), std::string::npos);
}

// A UDP socket on the loopback interface and a sender to it: datagrams
// that show when a live capture really sees packets.
class UdpProbe {
 public:
  UdpProbe() {
    rx_ = socket(AF_INET, SOCK_DGRAM, 0);
    tx_ = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (rx_ >= 0 && bind(rx_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
        getsockname(rx_, reinterpret_cast<sockaddr *>(&sa), &len) == 0) {
      addr_ = sa;
      port_ = ntohs(sa.sin_port);
    }
  }
  ~UdpProbe() {
    if (rx_ >= 0) close(rx_);
    if (tx_ >= 0) close(tx_);
  }
  int port() const { return port_; }
  void Send() {
    if (tx_ >= 0 && port_ > 0)
      sendto(tx_, "probe", 5, 0, reinterpret_cast<const sockaddr *>(&addr_), sizeof addr_);
  }

 private:
  int rx_ = -1, tx_ = -1, port_ = 0;
  struct sockaddr_in addr_ {};
};

std::vector<Row> Rows(const std::string &out, const std::vector<std::string> &fields) {
  std::vector<Row> rows;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    auto values = SplitTabs(line);
    Row row;
    for (size_t i = 0; i < fields.size() && i < values.size(); ++i) row[fields[i]] = values[i];
    rows.push_back(row);
  }
  return rows;
}

// One real exchange between wq_jpmd and wq_jpagent, captured on the
// loopback interface while it happens and decoded live.
TEST_F(Wq8Dissector, DecodesARealExchangeCapturedOnLoopback) {
  const std::string bin = WQ_BINARY_DIR;
  if (access((bin + "/wq_jpmd").c_str(), X_OK) != 0 ||
      access((bin + "/wq_jpagent").c_str(), X_OK) != 0)
    GTEST_SKIP() << "wq_jpmd or wq_jpagent is not built";

  // The agent picks a free port and names it in its first line.
  wqtest::Child agent;
  ASSERT_TRUE(agent.Start({bin + "/wq_jpagent", "--count", "1"}));
  const std::string tag = " port ";
  ASSERT_TRUE(agent.ReadUntil(
      [&] { return agent.out().find('\n') != std::string::npos; }, Deadline(60)))
      << agent.err();
  std::string first = agent.out().substr(0, agent.out().find('\n'));
  ASSERT_NE(first.find(tag), std::string::npos) << first;
  const int port = std::stoi(first.substr(first.rfind(tag) + tag.size()));
  ASSERT_GT(port, 0);

  UdpProbe probe;
  ASSERT_GT(probe.port(), 0);
  const std::string probe_port = std::to_string(probe.port());
  const std::vector<std::string> fields = {
      "udp.dstport", "tcp.srcport", "wq8.length", "wq8.protocol", "wq8.protocol_key",
      "wq8.dst_name", "wq8.nat_len", "wq8.meld.type", "wq8.job.nr", "wq8.job.status",
      "wq8.job.retcode", "wq8.job.info", "wq8.job.md_version", "wq8.job.pid"};
  std::vector<std::string> argv = {
      Tshark(), "-n", "-l", "-i", "lo", "-f",
      "tcp port " + std::to_string(port) + " or udp port " + probe_port,
      "-X", "lua_script:" + LuaScript(), "-o", "wq8.port:" + std::to_string(port),
      "-Y", "wq8 or udp.dstport == " + probe_port, "-T", "fields", "-a", "duration:300"};
  for (const auto &f : fields) {
    argv.push_back("-e");
    argv.push_back(f);
  }
  wqtest::Child tshark;
  ASSERT_TRUE(tshark.Start(argv));
  bool capturing = tshark.ReadUntil(
      [&] { return tshark.err().find("Capturing on") != std::string::npos; }, Deadline(120));
  if (!capturing) {
    tshark.Signal(SIGINT);
    tshark.Finish(Deadline(30));
    agent.Signal(SIGTERM);
    GTEST_SKIP() << "capturing on the loopback interface is not possible here: " << tshark.err();
  }
  // "Capturing on" comes before the capture really runs: send probes until
  // one of them is decoded.
  auto probe_seen = [&] { return tshark.out().find(probe_port + "\t") != std::string::npos; };
  const auto probe_deadline = Deadline(120);
  while (!probe_seen() && std::chrono::steady_clock::now() < probe_deadline) {
    probe.Send();
    tshark.ReadUntil(probe_seen, std::min(probe_deadline, std::chrono::steady_clock::now() +
                                                              std::chrono::milliseconds(250)));
  }
  ASSERT_TRUE(probe_seen()) << tshark.err();

  wqtest::Child jpmd;
  ASSERT_TRUE(jpmd.Start({bin + "/wq_jpmd", "IPA=127.0.0.1", "PNR=" + std::to_string(port),
                          "TYP=E", "JNR=4711", "RET=3", "TXT=captured run", "RETRY=1",
                          "TIMEOUT=60"}));
  const pid_t jpmd_pid = jpmd.pid();
  int status = jpmd.Finish(Deadline(180));
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 3) << jpmd.out();

  // Greeting, report and answer: one line each.
  auto exchange_rows = [&] {
    std::vector<Row> rows;
    for (auto &r : Rows(tshark.out(), fields))
      if (r["udp.dstport"].empty()) rows.push_back(r);
    return rows;
  };
  bool all = tshark.ReadUntil([&] { return exchange_rows().size() >= 3; }, Deadline(120));
  tshark.Signal(SIGINT);
  tshark.Finish(Deadline(60));
  agent.Signal(SIGTERM);
  agent.Finish(Deadline(60));
  EXPECT_NE(agent.out().find("job=4711"), std::string::npos) << agent.out() << agent.err();
  ASSERT_TRUE(all) << tshark.out() << tshark.err();

  std::vector<Row> rows = exchange_rows();
  const std::string agent_port = std::to_string(port);
  Row &greeting = rows[0];
  EXPECT_EQ(greeting["tcp.srcport"], agent_port);
  EXPECT_EQ(greeting["wq8.protocol_key"], "0x04");

  Row &report = rows[1];
  EXPECT_NE(report["tcp.srcport"], agent_port);
  EXPECT_EQ(report["wq8.length"], "339");
  EXPECT_EQ(report["wq8.protocol"], "NAT");
  EXPECT_EQ(report["wq8.dst_name"], "JPAKTJ_R");
  EXPECT_EQ(report["wq8.nat_len"], "276");
  EXPECT_EQ(report["wq8.meld.type"], "MELD");
  EXPECT_EQ(report["wq8.job.nr"], "4711");
  EXPECT_EQ(report["wq8.job.status"], "E");
  EXPECT_EQ(report["wq8.job.retcode"], "3");
  EXPECT_EQ(report["wq8.job.info"], "captured run");
  EXPECT_EQ(report["wq8.job.md_version"], "12.2.0+build.2108");
  EXPECT_EQ(report["wq8.job.pid"], std::to_string(jpmd_pid));

  Row &answer = rows[2];
  EXPECT_EQ(answer["tcp.srcport"], agent_port);
  EXPECT_FALSE(answer["wq8.length"].empty());
}

}  // namespace
