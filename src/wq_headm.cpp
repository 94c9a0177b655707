// The message head.
#include "wq_headm.h"

#include <cstring>

void CreateWqHeadm(WQ_HEADM *o_head, const char *msgTyp, int Mandant, int UsrIdnr) {
  memset(o_head, 0, sizeof *o_head);
  // Exactly 8 characters; a shorter type text is padded with zero bytes.
  memcpy(o_head->msg_typ, msgTyp, strnlen(msgTyp, sizeof o_head->msg_typ));
  memcpy(o_head->version, "03", 2);
  o_head->i2Mandant = (uint16_t)Mandant;
  o_head->i4UsrIdNr = (uint32_t)UsrIdnr;
}
