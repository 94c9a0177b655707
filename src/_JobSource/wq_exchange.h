// The messenger's channel-manager globals and the seam through which the job
// messages take their message buffer.
#pragma once

#include "ccm.h"

// Channel manager context opened by agent_exchange; null before and after.
extern ccm_context_t *ccm;
// Result of the last ccm_connect.
extern int ccmID;
// The message last received from the agent.
extern ccm_msg_t *ccmmsg;

// Allocation used by SendJpMd, SendOutputViewMsg and SendRegVariableMsg on
// the main thread: ccm_msg_alloc unless a test replaces it (for instance by
// one that yields no buffer). Gives the caller a message buffer of context
// `ctx`, or null with the reason in *err.
extern ccm_msg_t *(*wq_send_msg_alloc)(ccm_context_t *ctx, ccm_error_t *err);

// Result of a send function that got no message buffer: nothing was sent and
// the exchange ends abnormally.
inline constexpr int kSendNoBuffer = -2;

// Destination function name of every job message.
inline constexpr const char kReportFunction[] = "JPAKTJ_R";
