// The 16-byte message head in front of every message body record.
#pragma once

#include <cstddef>
#include <cstdint>

typedef struct _wq_headm {
  char msg_typ[8];      // e.g. "MELD    "
  char version[2];      // "03"
  uint16_t i2Mandant;   // client number, host order
  uint32_t i4UsrIdNr;   // user id number, host order
} WQ_HEADM;

static_assert(sizeof(WQ_HEADM) == 16);
static_assert(offsetof(WQ_HEADM, version) == 8);
static_assert(offsetof(WQ_HEADM, i2Mandant) == 10);
static_assert(offsetof(WQ_HEADM, i4UsrIdNr) == 12);

// Clears the head, copies exactly 8 characters of msgTyp, writes "03", the
// low 16 bits of Mandant and UsrIdnr (host order).
void CreateWqHeadm(WQ_HEADM *o_head, const char *msgTyp, int Mandant, int UsrIdnr);
