// Helpers shared by the send routes (NAT, native, GSS, IPC).
#pragma once

#include "ccm.h"
#include "wq_sr.h"

// Length of the text protocol header in front of every frame.
inline constexpr int kProtocolHeaderLen = 48;
static_assert(sizeof(WQ8_PROTOCOL_HEADER) == kProtocolHeaderLen);

// Makes sure that `front` bytes are free in front of msg_start and `back`
// bytes behind its `len` payload bytes, inside the message's data area. A
// payload with too little headroom is moved back within the buffer. Returns
// 0, or -1 (message unchanged) when the message is not sound or the payload
// cannot fit.
int ccm_msg_make_room(ccm_msg_t *ccmmsg, int front, int back);
