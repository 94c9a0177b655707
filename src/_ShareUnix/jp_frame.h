// The three job records that travel in the insert area of MSG_TYPE_MELD.
// Their layouts, alignment gaps included, are the wire format.
#pragma once

#include <cstddef>
#include <cstdint>

#include "msg_type2.h"

typedef struct _jpex_exmldj {      // job status
  uint32_t jobNr;
  char status;                     // 'E' or 'R'
  char infoText[32];
  char md_version[32];
  int16_t mdMajor;
  int16_t mdMinor;
  int16_t mdPatch;
  char filler[2];
  uint32_t retCode;
  uint32_t cpuTime;
  MSG_TYPE_TIMESTAMP sTime;
  uint64_t jtime;
  uint32_t pid, ppid, pgrp, pgid, sid, uid, euid, gid, egid, ucpu, scpu, ioCount;
} JP_EXMLDJ;

static_assert(sizeof(JP_EXMLDJ) == 160);
static_assert(offsetof(JP_EXMLDJ, status) == 4);
static_assert(offsetof(JP_EXMLDJ, infoText) == 5);
static_assert(offsetof(JP_EXMLDJ, md_version) == 37);
static_assert(offsetof(JP_EXMLDJ, mdMajor) == 70);
static_assert(offsetof(JP_EXMLDJ, mdMinor) == 72);
static_assert(offsetof(JP_EXMLDJ, mdPatch) == 74);
static_assert(offsetof(JP_EXMLDJ, filler) == 76);
static_assert(offsetof(JP_EXMLDJ, retCode) == 80);
static_assert(offsetof(JP_EXMLDJ, cpuTime) == 84);
static_assert(offsetof(JP_EXMLDJ, sTime) == 88);
static_assert(offsetof(JP_EXMLDJ, jtime) == 104);
static_assert(offsetof(JP_EXMLDJ, pid) == 112);
static_assert(offsetof(JP_EXMLDJ, ppid) == 116);
static_assert(offsetof(JP_EXMLDJ, pgrp) == 120);
static_assert(offsetof(JP_EXMLDJ, pgid) == 124);
static_assert(offsetof(JP_EXMLDJ, sid) == 128);
static_assert(offsetof(JP_EXMLDJ, uid) == 132);
static_assert(offsetof(JP_EXMLDJ, euid) == 136);
static_assert(offsetof(JP_EXMLDJ, gid) == 140);
static_assert(offsetof(JP_EXMLDJ, egid) == 144);
static_assert(offsetof(JP_EXMLDJ, ucpu) == 148);
static_assert(offsetof(JP_EXMLDJ, scpu) == 152);
static_assert(offsetof(JP_EXMLDJ, ioCount) == 156);

typedef struct _jpex_exmldo {      // output file
  uint32_t jobNr;
  char status;                     // 'O'
  char md_version[32];
  int16_t mdMajor;
  int16_t mdMinor;
  int16_t mdPatch;
  char filler[2];
  MSG_TYPE_TIMESTAMP currTime;
  uint64_t currTime_t;
  char loginCheck;                 // 'Y' or 'N'
  char fileName[512];
} JP_EXMLDO;

static_assert(sizeof(JP_EXMLDO) == 592);
static_assert(offsetof(JP_EXMLDO, md_version) == 5);
static_assert(offsetof(JP_EXMLDO, mdMajor) == 38);
static_assert(offsetof(JP_EXMLDO, mdMinor) == 40);
static_assert(offsetof(JP_EXMLDO, mdPatch) == 42);
static_assert(offsetof(JP_EXMLDO, filler) == 44);
static_assert(offsetof(JP_EXMLDO, currTime) == 48);
static_assert(offsetof(JP_EXMLDO, currTime_t) == 64);
static_assert(offsetof(JP_EXMLDO, loginCheck) == 72);
static_assert(offsetof(JP_EXMLDO, fileName) == 73);

typedef struct _jpex_exmldv {      // variable
  uint32_t jobNr;
  char status;                     // 'V'
  char infoText[32];
  char md_version[32];
  int16_t mdMajor;
  int16_t mdMinor;
  int16_t mdPatch;
  char filler[2];
  MSG_TYPE_TIMESTAMP currTime;
  uint64_t currTime_t;
  int32_t variable_dist;           // 112 or 0, host order
  int32_t variable_len;            // 1225 or 0, host order
} JP_EXMLDV;

static_assert(sizeof(JP_EXMLDV) == 112);
static_assert(offsetof(JP_EXMLDV, infoText) == 5);
static_assert(offsetof(JP_EXMLDV, md_version) == 37);
static_assert(offsetof(JP_EXMLDV, mdMajor) == 70);
static_assert(offsetof(JP_EXMLDV, filler) == 76);
static_assert(offsetof(JP_EXMLDV, currTime) == 80);
static_assert(offsetof(JP_EXMLDV, currTime_t) == 96);
static_assert(offsetof(JP_EXMLDV, variable_dist) == 104);
static_assert(offsetof(JP_EXMLDV, variable_len) == 108);
