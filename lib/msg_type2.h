// Message body records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wq_headm.h"

// A UTC moment; every field little-endian on the wire.
typedef struct _msg_type_timestamp {
  int16_t jjjj;  // year, four digits
  int16_t mo;
  int16_t tt;    // day
  int16_t hh;
  int16_t mi;
  int16_t ss;
  int32_t ns;    // always 0
} MSG_TYPE_TIMESTAMP;

static_assert(sizeof(MSG_TYPE_TIMESTAMP) == 16);
static_assert(offsetof(MSG_TYPE_TIMESTAMP, ns) == 12);

// The report message body: head, message number and a 256-byte insert area
// into whose start one job record is written.
typedef struct _msg_type_meld {
  WQ_HEADM header;
  int32_t msgnr;
  unsigned char msg_insert[256];
} MSG_TYPE_MELD;

static_assert(sizeof(MSG_TYPE_MELD) == 276);
static_assert(offsetof(MSG_TYPE_MELD, msgnr) == 16);
static_assert(offsetof(MSG_TYPE_MELD, msg_insert) == 20);

// A registered variable.
typedef struct _msg_type_status_value {
  char name[200];
  char value[1024];
  char type;
} MSG_TYPE_STATUS_VALUE;

static_assert(sizeof(MSG_TYPE_STATUS_VALUE) == 1225);
static_assert(offsetof(MSG_TYPE_STATUS_VALUE, value) == 200);
static_assert(offsetof(MSG_TYPE_STATUS_VALUE, type) == 1224);
