// Time library.
#include "zutime.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "zudnst.h"
#include "jp_frame.h"

time_t GetElapsedTime(int *usec) {
  if (usec) *usec = -1;
  struct timeval tv;
  if (gettimeofday(&tv, nullptr) == 0) {
    if (usec) *usec = (int)tv.tv_usec;
    return tv.tv_sec;
  }
  return time(nullptr);
}

void GetDatumZeit2(const void *eT, DATUM_BUFF *dt) {
  memset(dt, 0, sizeof *dt);
  int usec = -1;
  if (eT == nullptr) {
    dt->dt_time = GetElapsedTime(&usec);
  } else {
    memcpy(&dt->dt_time, eT, sizeof dt->dt_time);
  }
  struct tm lt {};
  localtime_r(&dt->dt_time, &lt);
  dt->dt_jahr = (int16_t)(lt.tm_year + 1900);
  dt->dt_mon = (int16_t)(lt.tm_mon + 1);
  dt->dt_tag = (int16_t)lt.tm_mday;
  dt->dt_std = (int16_t)lt.tm_hour;
  dt->dt_min = (int16_t)lt.tm_min;
  dt->dt_sek = (int16_t)lt.tm_sec;
  // Built in a work text wide enough for any 16-bit field, then copied.
  char text[64];
  if (usec != -1) {
    dt->dt_msek = (int16_t)(usec / 1000);
    dt->dt_usek = (int16_t)(usec % 1000);
    snprintf(text, sizeof text, "%.4d%.2d%.2d/%.2d%.2d%.2d.%.3d", dt->dt_jahr, dt->dt_mon, dt->dt_tag, dt->dt_std,
             dt->dt_min, dt->dt_sek, dt->dt_msek);
  } else {
    snprintf(text, sizeof text, "%.4d%.2d%.2d/%.2d%.2d%.2d", dt->dt_jahr, dt->dt_mon, dt->dt_tag, dt->dt_std,
             dt->dt_min, dt->dt_sek);
  }
  _StringCopy(dt->dt_xdat, sizeof dt->dt_xdat, text, __FILE__, __LINE__);
  struct tm ut {};
  gmtime_r(&dt->dt_time, &ut);
  dt->utc_jahr = (int16_t)(ut.tm_year + 1900);
  dt->utc_mon = (int16_t)(ut.tm_mon + 1);
  dt->utc_tag = (int16_t)ut.tm_mday;
  dt->utc_std = (int16_t)ut.tm_hour;
  dt->utc_min = (int16_t)ut.tm_min;
  dt->utc_sek = (int16_t)ut.tm_sec;
  if (usec != -1) {
    dt->utc_msek = dt->dt_msek;
    dt->utc_usek = dt->dt_usek;
  }
}

DATUM_BUFF *GetDatumZeit(const void *eT) {
  static DATUM_BUFF dt;
  GetDatumZeit2(eT, &dt);
  return &dt;
}

int GetUsec(struct timeval *tv_s, int flag) {
  if (!tv_s) return 0;
  struct timeval now;
  if (gettimeofday(&now, nullptr) != 0) {
    now.tv_sec = time(nullptr);
    now.tv_usec = 0;
  }
  if (flag == 0) {
    *tv_s = now;
    return 0;
  }
  // Signed 32-bit arithmetic as documented; computed wide and narrowed so
  // that an over-long lap wraps instead of overflowing.
  long long diff = (long long)(now.tv_sec - tv_s->tv_sec) * 1000000LL + (now.tv_usec - tv_s->tv_usec);
  *tv_s = now;
  return (int)(int32_t)(uint32_t)diff;
}

char *GetDtChar(const void *eT) {
  static char text[32];
  _StringCopy(text, sizeof text, GetDatumZeit(eT)->dt_xdat, __FILE__, __LINE__);
  return text;
}

void GetDtChar2(const void *eT, char *xData, int Length) {
  if (!xData || Length < 1) return;
  DATUM_BUFF dt;
  GetDatumZeit2(eT, &dt);
  if (Length == 1) {
    xData[0] = '\0';
    return;
  }
  _StringCopy(xData, (size_t)(Length - 1), dt.dt_xdat, __FILE__, __LINE__);
}

int CreateCharUtcTime(MSG_TYPE_TIMESTAMP *ZeitStamp) {
  if (ZeitStamp->jjjj == 0) return 0;
  struct tm t {};
  t.tm_sec = ZeitStamp->ss;
  t.tm_min = ZeitStamp->mi;
  t.tm_hour = ZeitStamp->hh;
  t.tm_mday = ZeitStamp->tt;
  t.tm_mon = ZeitStamp->mo - 1;
  t.tm_year = ZeitStamp->jjjj - 1900;
  t.tm_isdst = 0;
  errno = 0;
  time_t secs = mktime(&t);
  if (secs == (time_t)-1) return -1;
  struct tm u {};
  gmtime_r(&secs, &u);
  ZeitStamp->jjjj = (int16_t)(u.tm_year + 1900);
  ZeitStamp->mo = (int16_t)(u.tm_mon + 1);
  ZeitStamp->tt = (int16_t)u.tm_mday;
  ZeitStamp->hh = (int16_t)u.tm_hour;
  ZeitStamp->mi = (int16_t)u.tm_min;
  ZeitStamp->ss = (int16_t)u.tm_sec;
  return 0;
}

void sec2hhmmss3(int psec, char *pWork, int wLen) {
  if (!pWork || wLen <= 0) return;
  int hours = psec / 3600;
  int rest = psec % 3600;
  snprintf(pWork, (size_t)wLen, "%.2d:%.2d:%.2d", hours, rest / 60, rest % 60);
}

char *sec2hhmmss(int psec, char *work) {
  sec2hhmmss3(psec, work, 16);
  return work;
}

char *sec2hhmmss2(int psec) {
  static char text[64];
  sec2hhmmss3(psec, text, sizeof text);
  return text;
}
