// Console report: what the messenger is about to tell the agent, printed to
// standard output (the job's own output) before it connects.
#include <unistd.h>

#include <cstdio>

#include "wq_jpmd.h"
#include "wq_trace.h"
#include "zutime.h"

// Process id shown in the banner: the parent, i.e. the job that called us.
int wPid;

namespace {

constexpr const char kFrameLine[] =
    "************************************************************************";

// Status line of the banner, chosen by the report kind.
void print_status_line(const PCX *pcx, const char *local_time) {
  switch (pcx->melder_type) {
    case 'E':
      mprintf("**  JOB %08i (ProcID:%010i) ENDED AT   %s **", pcx->jobnri, wPid, local_time);
      break;
    case 'S':
      mprintf("**  JOB %08i (ProcID:%010i) START AT   %s **", pcx->jobnri, wPid, local_time);
      break;
    case '0':
      mprintf("**  SNOOZE-Message, TCP/IP = '%-15s' PNR=%i             **", pcx->ipAddr, pcx->portnri);
      break;
    case '1':
      mprintf("**  WAKEUP-Message, TCP/IP = '%-15s' PNR=%i             **", pcx->ipAddr, pcx->portnri);
      break;
    default:
      mprintf("**  JOB %08i (ProcID:%010i) RESTART AT %s **", pcx->jobnri, wPid, local_time);
      break;
  }
}

// Text line of the banner: the connection parameters for snooze and wakeup,
// the text with the return code for an end report, else the text alone.
void print_text_line(const PCX *pcx) {
  switch (pcx->melder_type) {
    case '0':
    case '1':
      mprintf("**  %-20s : RETRY=%02i, WAIT=%02i                        **", "parameters", pcx->connect_retry,
              pcx->connect_wait);
      break;
    case 'E':
      mprintf("**  TEXT=\"%-32s\"  RETCODE=%02i               **", pcx->info_text, pcx->reti);
      break;
    default:
      mprintf("**  TEXT=\"%-32s\"                           **", pcx->info_text);
      break;
  }
}

}  // namespace

int printMelder(PCX *pcx) {
  TRC_IN("()");
  DATUM_BUFF dt;
  GetDatumZeit2(nullptr, &dt);
  char local_time[64];
  snprintf(local_time, sizeof local_time, "%02i.%02i.%02i / %02i:%02i:%02i", dt.dt_tag, dt.dt_mon, dt.dt_jahr,
           dt.dt_std, dt.dt_min, dt.dt_sek);
  wPid = (int)getppid();

  mprintf("%s", kFrameLine);
  mprintf("**  %-10s version %-24s changelist %-8i **", pcx->program_name, kWqVersion, kWqChangelist);
  print_status_line(pcx, local_time);
  mprintf("**                                   UTC TIME   %02i.%02i.%02i / %02i:%02i:%02i **", dt.utc_tag,
          dt.utc_mon, dt.utc_jahr, dt.utc_std, dt.utc_min, dt.utc_sek);
  print_text_line(pcx);
  mprintf("%s", kFrameLine);
  TRC_OUT("OK");
  return 0;
}

int printOutputViewReport(PCX *pcx) {
  TRC_IN("(filename=%s,login=%c)", pcx->output_file, pcx->output_login);
  if (pcx->output_file[0] == '\0') {
    TRC_OUT("filename not defined");
    return -1;
  }
  char xData[32];
  GetDtChar2(nullptr, xData, sizeof xData);
  // The format's own line end and the one mprintf adds leave an empty line.
  mprintf("%s WQ8 messenger '%s', login check '%c', registered output file '%s'\n", xData, pcx->program_name,
          pcx->output_login, pcx->output_file);
  TRC_OUT("OK");
  return 0;
}

int printRegisteredVariable(PCX *pcx) {
  TRC_IN("()");
  // The type is one character shown as itself. It is placed as a byte rather
  // than through a wide-character conversion, which would depend on the
  // locale and fail for codes above 127; a type of 0 (no VTYPE) shows as an
  // empty pair of quotes instead of ending the line early.
  const char type[2] = {pcx->var_type, '\0'};
  mprintf("Registered variable: '%s' %s=%s", type, pcx->var_name[0] ? pcx->var_name : "NULL",
          pcx->var_value[0] ? pcx->var_value : "NULL");
  TRC_OUT("OK");
  return 0;
}
