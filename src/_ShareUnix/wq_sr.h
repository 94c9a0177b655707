// The 48-byte text header in front of every frame on a channel.
#pragma once

#include <cstddef>

typedef struct _WQ8_PROTOCOL_HEADER {
  char cLength[8];      // frame length, "%08i"
  char cEyeCatch[10];   // "WQ8:global"
  char cVersion[3];     // "001"
  char cProtocol[3];    // "NAT", "IPC", "GSS"
  char cCoding[8];      // blanks
  char cSessionId[16];  // blanks
} WQ8_PROTOCOL_HEADER;

static_assert(sizeof(WQ8_PROTOCOL_HEADER) == 48);
static_assert(offsetof(WQ8_PROTOCOL_HEADER, cEyeCatch) == 8);
static_assert(offsetof(WQ8_PROTOCOL_HEADER, cVersion) == 18);
static_assert(offsetof(WQ8_PROTOCOL_HEADER, cProtocol) == 21);
static_assert(offsetof(WQ8_PROTOCOL_HEADER, cCoding) == 24);
static_assert(offsetof(WQ8_PROTOCOL_HEADER, cSessionId) == 32);

inline constexpr int kProtocolHeaderSize = 48;
inline constexpr char kProtocolEyeCatch[] = "WQ8:global";

// Writes a whole "NAT" header of length 48 at ProtAddr. Returns 48.
int CrProtocolHeader(void *ProtAddr);
// Length digits of a header with a valid eye-catcher, else 0.
int GetProtocolLength(const void *ProtAddr);
// Writes msgLen as "%08i" when the eye-catcher is valid. Returns msgLen.
int SetProtocolLength(void *ProtAddr, int msgLen);
// Copies 4 bytes one by one (no conversion).
void i4_memcopy(unsigned char *oByte, const unsigned char *iByte);
