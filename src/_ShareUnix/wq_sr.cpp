// The 48-byte protocol header.
#include "wq_sr.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
bool eye_catcher_valid(const void *ProtAddr) {
  return memcmp(static_cast<const WQ8_PROTOCOL_HEADER *>(ProtAddr)->cEyeCatch, kProtocolEyeCatch, 10) == 0;
}
}  // namespace

int CrProtocolHeader(void *ProtAddr) {
  WQ8_PROTOCOL_HEADER *h = static_cast<WQ8_PROTOCOL_HEADER *>(ProtAddr);
  memcpy(h->cEyeCatch, kProtocolEyeCatch, 10);
  memcpy(h->cVersion, "001", 3);
  memcpy(h->cProtocol, "NAT", 3);
  memset(h->cCoding, ' ', sizeof h->cCoding);
  memset(h->cSessionId, ' ', sizeof h->cSessionId);
  SetProtocolLength(ProtAddr, kProtocolHeaderSize);
  return kProtocolHeaderSize;
}

int GetProtocolLength(const void *ProtAddr) {
  if (!eye_catcher_valid(ProtAddr)) return 0;
  char digits[9] = {};
  memcpy(digits, static_cast<const WQ8_PROTOCOL_HEADER *>(ProtAddr)->cLength, 8);
  return atoi(digits);
}

int SetProtocolLength(void *ProtAddr, int msgLen) {
  if (!eye_catcher_valid(ProtAddr)) return msgLen;
  // Lengths outside what 8 characters hold are not written.
  if (msgLen > 99999999 || msgLen < -9999999) return msgLen;
  char digits[16];
  snprintf(digits, sizeof digits, "%08i", msgLen);
  memcpy(static_cast<WQ8_PROTOCOL_HEADER *>(ProtAddr)->cLength, digits, 8);
  return msgLen;
}

void i4_memcopy(unsigned char *oByte, const unsigned char *iByte) {
  for (int i = 0; i < 4; ++i) oByte[i] = iByte[i];
}
