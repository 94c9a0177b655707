// A writer of classic pcap files holding TCP conversations on 127.0.0.1, for
// feeding hand-built traffic to a packet dissector.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace wqtest {

// Collects packets; Save() writes them as one pcap file (Ethernet, the
// checksums left 0: the reader does not check them).
class CaptureFile {
 public:
  // Sends `bytes` on the connection from client port `client` to port
  // `server` (a handshake first when the connection is new), from the client
  // or from the server, cut into segments of the sizes `cuts` (the rest last).
  void Send(uint16_t client, uint16_t server, bool from_client, const std::string &bytes,
            const std::vector<size_t> &cuts = {}) {
    Conn &c = conns_[((uint32_t)client << 16) | server];
    if (c.cseq == 0) {
      c = {1000, 5000};
      Segment(client, server, true, 0x02, c, "");
      ++c.cseq;
      Segment(client, server, false, 0x12, c, "");
      ++c.sseq;
      Segment(client, server, true, 0x10, c, "");
    }
    size_t pos = 0;
    for (size_t i = 0; pos < bytes.size(); ++i) {
      const std::string piece = bytes.substr(pos, i < cuts.size() ? cuts[i] : std::string::npos);
      Segment(client, server, from_client, 0x18, c, piece);
      (from_client ? c.cseq : c.sseq) += (uint32_t)piece.size();
      pos += piece.size();
    }
  }

  bool Save(const std::string &path) const {
    std::string head;
    for (uint32_t v : {0xA1B2C3D4u, 0x00040002u, 0u, 0u, 262144u, 1u}) Put(head, v, 4, false);  // Ethernet
    FILE *fp = std::fopen(path.c_str(), "wb");
    const bool ok = fp && std::fwrite(head.data(), 1, head.size(), fp) == head.size() &&
                    std::fwrite(records_.data(), 1, records_.size(), fp) == records_.size();
    return fp && std::fclose(fp) == 0 && ok;
  }

 private:
  struct Conn {
    uint32_t cseq = 0, sseq = 0;
  };

  static void Put(std::string &out, uint64_t v, int n, bool big_endian) {
    for (int i = 0; i < n; ++i) out.push_back((char)(v >> (8 * (big_endian ? n - 1 - i : i))));
  }

  void Segment(uint16_t client, uint16_t server, bool from_client, uint8_t flags, const Conn &c,
               const std::string &payload) {
    std::string p(12, '\0');  // Ethernet addresses
    Put(p, 0x0800, 2, true);
    for (uint64_t v : {0x45000000ull | (40 + payload.size()), 0x00004000ull, 0x40060000ull, 0x7F000001ull, 0x7F000001ull})
      Put(p, v, 4, true);  // IPv4: length, don't fragment, TTL 64, TCP, from and to 127.0.0.1
    Put(p, from_client ? client : server, 2, true);
    Put(p, from_client ? server : client, 2, true);
    Put(p, from_client ? c.cseq : c.sseq, 4, true);
    Put(p, (flags & 0x10) ? (from_client ? c.sseq : c.cseq) : 0, 4, true);
    Put(p, 0x5000ull | flags, 2, true);
    Put(p, 0xFFFF0000ull, 4, true);  // window, checksum
    Put(p, 0, 2, true);
    p += payload;
    Put(records_, ++seconds_, 4, false);
    Put(records_, 0, 4, false);
    Put(records_, p.size(), 4, false);
    Put(records_, p.size(), 4, false);
    records_ += p;
  }

  std::map<uint32_t, Conn> conns_;
  uint32_t seconds_ = 1700000000;
  std::string records_;
};

}  // namespace wqtest
