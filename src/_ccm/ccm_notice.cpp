// The internal route: records that the network thread puts straight into
// the context's receive queue, without a socket.
#include "ccm.h"
#include "ccm_io.h"
#include "ccm_lock.h"
#include "wq_trace.h"

int send_IPC_internal(ccm_context_t *ccm, ccm_msg_t *ccmmsg) {
  TRC_IN("(msg=%p)", static_cast<void *>(ccmmsg));
  if (!ccm || !ccmmsg) {
    TRC_OUT("ccm or msg == null");
    return 0;
  }
  ccmmsg->type = CCM_MSG_IPC;
  TRC_DUMP(ccmmsg->msg_start, ccmmsg->len, "internal IPC message");
  // Notices are never held back by the queue's limit; they are counted.
  ccm_msg_hand_over(ccm, ccmmsg, CcmHandTo::kReceiver);
  TRC_OUT("OK");
  return 0;
}
