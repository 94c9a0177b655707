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
void print_status_line(const PCX *px, const char *local_time) {
  switch (px->melder_type) {
    case 'E':
      mprintf("**  JOB %08i (ProcID:%010i) ENDED AT   %s **", px->jobnri, wPid, local_time);
      break;
    case 'S':
      mprintf("**  JOB %08i (ProcID:%010i) START AT   %s **", px->jobnri, wPid, local_time);
      break;
    case '0':
      mprintf("**  SNOOZE-Message, TCP/IP = '%-15s' PNR=%i             **", px->ipAddr, px->portnri);
      break;
    case '1':
      mprintf("**  WAKEUP-Message, TCP/IP = '%-15s' PNR=%i             **", px->ipAddr, px->portnri);
      break;
    default:
      mprintf("**  JOB %08i (ProcID:%010i) RESTART AT %s **", px->jobnri, wPid, local_time);
      break;
  }
}

// Text line of the banner: the connection parameters for snooze and wakeup,
// the text with the return code for an end report, else the text alone.
void print_text_line(const PCX *px) {
  switch (px->melder_type) {
    case '0':
    case '1':
      mprintf("**  %-20s : RETRY=%02i, WAIT=%02i                        **", "parameters", px->connect_retry,
              px->connect_wait);
      break;
    case 'E':
      mprintf("**  TEXT=\"%-32s\"  RETCODE=%02i               **", px->info_text, px->reti);
      break;
    default:
      mprintf("**  TEXT=\"%-32s\"                           **", px->info_text);
      break;
  }
}

}  // namespace

int printMelder(PCX *px) {
  TRC_IN("()");
  DATUM_BUFF dt;
  GetDatumZeit2(nullptr, &dt);
  char local_time[64];
  snprintf(local_time, sizeof local_time, "%02i.%02i.%02i / %02i:%02i:%02i", dt.dt_tag, dt.dt_mon, dt.dt_jahr,
           dt.dt_std, dt.dt_min, dt.dt_sek);
  wPid = (int)getppid();

  mprintf("%s", kFrameLine);
  mprintf("**  %-10s version %-24s changelist %-8i **", px->program_name, kWqVersion, kWqChangelist);
  print_status_line(px, local_time);
  mprintf("**                                   UTC TIME   %02i.%02i.%02i / %02i:%02i:%02i **", dt.utc_tag,
          dt.utc_mon, dt.utc_jahr, dt.utc_std, dt.utc_min, dt.utc_sek);
  print_text_line(px);
  mprintf("%s", kFrameLine);
  TRC_OUT("OK");
  return 0;
}

int printOutputViewReport(PCX *px) {
  TRC_IN("(filename=%s,login=%c)", px->output_file, px->output_login);
  if (px->output_file[0] == '\0') {
    TRC_OUT("filename not defined");
    return -1;
  }
  char xData[32];
  GetDtChar2(nullptr, xData, sizeof xData);
  // The format's own line end and the one mprintf adds leave an empty line.
  mprintf("%s WQ8 messenger '%s', login check '%c', registered output file '%s'\n", xData, px->program_name,
          px->output_login, px->output_file);
  TRC_OUT("OK");
  return 0;
}

int printRegisteredVariable(PCX *px) {
  TRC_IN("()");
  // The type is one character shown as itself. It is placed as a byte rather
  // than through a wide-character conversion, which would depend on the
  // locale and fail for codes above 127; a type of 0 (no VTYPE) shows as an
  // empty pair of quotes instead of ending the line early.
  const char type[2] = {px->var_type, '\0'};
  mprintf("Registered variable: '%s' %s=%s", type, px->var_name[0] ? px->var_name : "NULL",
          px->var_value[0] ? px->var_value : "NULL");
  TRC_OUT("OK");
  return 0;
}
