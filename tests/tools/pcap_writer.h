// A small writer of classic pcap files holding TCP conversations over IPv4
// and Ethernet, for feeding hand-built traffic to packet dissectors.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace wqtest {

// Appends v as n little-endian bytes.
inline void PutLE(std::string &out, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// Appends v as n big-endian (network order) bytes.
inline void PutBE(std::string &out, uint64_t v, int n) {
  for (int i = n - 1; i >= 0; --i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// Collects packets in memory; Save() writes them as one pcap file
// (link type Ethernet, microsecond time stamps).
class PcapWriter {
 public:
  void AddPacket(const std::string &frame) {
    ++seconds_;
    std::string rec;
    PutLE(rec, seconds_, 4);
    PutLE(rec, 0, 4);
    PutLE(rec, frame.size(), 4);
    PutLE(rec, frame.size(), 4);
    records_ += rec + frame;
  }

  // Returns false when the file cannot be written completely.
  bool Save(const std::string &path) const {
    std::string head;
    PutLE(head, 0xA1B2C3D4u, 4);
    PutLE(head, 2, 2);
    PutLE(head, 4, 2);
    PutLE(head, 0, 4);
    PutLE(head, 0, 4);
    PutLE(head, 262144, 4);
    PutLE(head, 1, 4);  // Ethernet
    FILE *fp = std::fopen(path.c_str(), "wb");
    if (!fp) return false;
    bool ok = std::fwrite(head.data(), 1, head.size(), fp) == head.size() &&
              std::fwrite(records_.data(), 1, records_.size(), fp) == records_.size();
    return std::fclose(fp) == 0 && ok;
  }

 private:
  uint32_t seconds_ = 1700000000;
  std::string records_;
};

// One TCP connection between a client and a server on 127.0.0.1 with
// sequence numbers that follow the bytes sent. The constructor writes the
// three-way handshake.
class TcpStream {
 public:
  TcpStream(PcapWriter &pcap, uint16_t client_port, uint16_t server_port)
      : pcap_(pcap), cport_(client_port), sport_(server_port) {
    Segment(true, kSyn, "");
    ++cseq_;
    Segment(false, kSyn | kAck, "");
    ++sseq_;
    Segment(true, kAck, "");
  }

  // Sends bytes in one segment from the client (or the server).
  void Send(bool from_client, const std::string &bytes) {
    Segment(from_client, kPsh | kAck, bytes);
    (from_client ? cseq_ : sseq_) += static_cast<uint32_t>(bytes.size());
  }

  // Sends bytes cut into segments of the given sizes; the rest goes last.
  void SendSplit(bool from_client, const std::string &bytes, const std::vector<size_t> &cuts) {
    size_t pos = 0;
    for (size_t n : cuts) {
      if (pos >= bytes.size()) break;
      Send(from_client, bytes.substr(pos, n));
      pos += n;
    }
    if (pos < bytes.size()) Send(from_client, bytes.substr(pos));
  }

 private:
  static constexpr uint8_t kSyn = 0x02, kPsh = 0x08, kAck = 0x10;

  void Segment(bool from_client, uint8_t flags, const std::string &payload) {
    std::string tcp;
    PutBE(tcp, from_client ? cport_ : sport_, 2);
    PutBE(tcp, from_client ? sport_ : cport_, 2);
    PutBE(tcp, from_client ? cseq_ : sseq_, 4);
    PutBE(tcp, (flags & kAck) ? (from_client ? sseq_ : cseq_) : 0, 4);
    tcp.push_back(0x50);  // header of 5 words
    tcp.push_back(static_cast<char>(flags));
    PutBE(tcp, 65535, 2);
    PutBE(tcp, 0, 2);  // checksum not checked by the reader
    PutBE(tcp, 0, 2);
    tcp += payload;

    std::string ip;
    PutBE(ip, 0x4500, 2);
    PutBE(ip, 20 + tcp.size(), 2);
    PutBE(ip, ++ip_id_, 2);
    PutBE(ip, 0x4000, 2);  // don't fragment
    ip.push_back(64);
    ip.push_back(6);  // TCP
    PutBE(ip, 0, 2);
    PutBE(ip, 0x7F000001, 4);
    PutBE(ip, 0x7F000001, 4);
    uint32_t sum = 0;
    for (size_t i = 0; i < 20; i += 2)
      sum += (static_cast<uint8_t>(ip[i]) << 8) | static_cast<uint8_t>(ip[i + 1]);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    ip[10] = static_cast<char>((~sum >> 8) & 0xFF);
    ip[11] = static_cast<char>(~sum & 0xFF);

    std::string eth(12, '\0');
    eth[5] = 1;
    eth[11] = 2;
    PutBE(eth, 0x0800, 2);
    pcap_.AddPacket(eth + ip + tcp);
  }

  PcapWriter &pcap_;
  uint16_t cport_, sport_;
  uint32_t cseq_ = 1000, sseq_ = 5000;
  uint16_t ip_id_ = 0;
};

}  // namespace wqtest
