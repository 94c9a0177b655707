// Time library: one moment as seconds, local and UTC calendar fields and a
// local time text.
#pragma once

#include <sys/time.h>
#include <cstdint>
#include <ctime>

typedef struct _dt {
  time_t dt_time;
  int16_t dt_jahr, dt_mon, dt_tag, dt_std, dt_min, dt_sek, dt_msek, dt_usek;
  int32_t dt_nsek;
  int16_t utc_jahr, utc_mon, utc_tag, utc_std, utc_min, utc_sek, utc_msek, utc_usek;
  int32_t utc_nsek;
  char dt_xdat[32];
} DATUM_BUFF;

struct _msg_type_timestamp;

// Fills *dt with the current moment (eT null) or the time_t at eT.
void GetDatumZeit2(const void *eT, DATUM_BUFF *dt);
// The same into a static record (not thread-safe).
DATUM_BUFF *GetDatumZeit(const void *eT);
// Seconds since the epoch; *usec gets the microseconds or -1.
time_t GetElapsedTime(int *usec);
// Lap timer: flag 0 starts, non-zero returns microseconds since the last call.
int GetUsec(struct timeval *tv_s, int flag);
char *GetDtChar(const void *eT);
void GetDtChar2(const void *eT, char *xData, int Length);
int CreateCharUtcTime(struct _msg_type_timestamp *ZeitStamp);
char *sec2hhmmss(int psec, char *work);
char *sec2hhmmss2(int psec);
void sec2hhmmss3(int psec, char *pWork, int wLen);
