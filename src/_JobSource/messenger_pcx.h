// The job messenger's per-process context (PCX) and its globals.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "ccm.h"

// Version shown by -V, the banner and the job records.
inline constexpr const char kWqVersion[] = "12.2.0+build.2108";
inline constexpr int kWqChangelist = 1530016094;

typedef struct __messenger_context {
  char eyec[8];
  int running_mode;     // CCM_MODE_*; the messenger runs in CCM_MODE_MESSENGER
  void *ccm;            // channel manager context for the IPC logger
  int agentID;          // channel ID of the agent, 0 = none
  int abnormal_end;     // 1 when the exchange ended abnormally
  char program_name[256];
  char ipAddr[64];
  char melder_type;     // first character of TYP
  char status;          // 'E' or 'R'
  char output_login;    // 'Y' or 'N'
  char output_file[1024];
  int connect_retry;
  int connect_wait;
  int IoTimeOut;
  char info_text[64];
  char var_name[256];
  char filler1;
  char var_value[1024];
  char filler2;
  char var_type;
  int jobnri;
  int portnri;
  int reti;
  short client;
  char pCmdBuffer[8192];
} PCX;

// The channel manager reads the head of the context it is given by ccm_open.
static_assert(offsetof(PCX, eyec) == offsetof(ccm_program_head_t, eyec));
static_assert(offsetof(PCX, running_mode) == offsetof(ccm_program_head_t, running_mode));
static_assert(offsetof(PCX, ccm) == offsetof(ccm_program_head_t, ccm));

// The one context of the process (wq_jpmd) and the pointers to it
// (messenger_globals). `pcx` is set by main; `GlbPcx` names the same context.
extern PCX spcx;
extern PCX *pcx;
extern PCX *GlbPcx;
