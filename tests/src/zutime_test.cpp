#include "zutime.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/capture.h"
#include "msg_type2.h"

namespace {

// Central European time with summer time, given as a rule so that no zone
// database is needed. Each test runs in a process of its own.
void InBerlin() {
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
}

std::vector<int> Fields(const DATUM_BUFF &d) {
  return {d.dt_jahr,  d.dt_mon,  d.dt_tag,  d.dt_std,  d.dt_min,  d.dt_sek,  d.dt_msek,  d.dt_usek,  d.dt_nsek,
          d.utc_jahr, d.utc_mon, d.utc_tag, d.utc_std, d.utc_min, d.utc_sek, d.utc_msek, d.utc_usek, d.utc_nsek};
}

TEST(DateTime, GivenMomentInLocalAndUtcFieldsAndText) {
  InBerlin();
  struct Row { time_t t; std::vector<int> fields; const char *text; };
  const Row rows[] = {
      {1798759815, {2027, 1, 1, 0, 30, 15, 0, 0, 0, 2026, 12, 31, 23, 30, 15, 0, 0, 0}, "20270101/003015"},
      {1782900000, {2026, 7, 1, 12, 0, 0, 0, 0, 0, 2026, 7, 1, 10, 0, 0, 0, 0, 0}, "20260701/120000"}};  // summer
  for (const Row &r : rows) {
    DATUM_BUFF dt;
    memset(&dt, 0x5A, sizeof dt);
    GetDatumZeit2(&r.t, &dt);
    EXPECT_EQ(dt.dt_time, r.t);
    EXPECT_EQ(Fields(dt), r.fields) << r.text;
    EXPECT_EQ(std::string(dt.dt_xdat, sizeof dt.dt_xdat), r.text + std::string(32 - strlen(r.text), '\0'));
    EXPECT_EQ(Fields(*GetDatumZeit(&r.t)), r.fields);
    EXPECT_STREQ(GetDtChar(&r.t), r.text);
  }
}

TEST(DateTime, CurrentMomentBetweenTwoClockReadings) {
  InBerlin();
  struct timeval before = {}, after = {};
  gettimeofday(&before, nullptr);
  DATUM_BUFF dt;
  GetDatumZeit2(nullptr, &dt);
  int usec = -5;
  const time_t now = GetElapsedTime(&usec);
  gettimeofday(&after, nullptr);
  EXPECT_TRUE(dt.dt_time >= before.tv_sec && now >= dt.dt_time && now <= after.tv_sec);
  EXPECT_TRUE(usec >= 0 && usec <= 999999) << usec;
  // The text, the calendar fields and the sub-second fields tell one moment.
  char text[64];
  snprintf(text, sizeof text, "%.4d%.2d%.2d/%.2d%.2d%.2d.%.3d", dt.dt_jahr, dt.dt_mon, dt.dt_tag, dt.dt_std, dt.dt_min,
           dt.dt_sek, dt.dt_msek);
  EXPECT_EQ(std::string(dt.dt_xdat), text);
  EXPECT_TRUE(wqtest::FitsMask(dt.dt_xdat, "########/######.###")) << dt.dt_xdat;
  EXPECT_TRUE(dt.dt_usek >= 0 && dt.dt_usek <= 999 && dt.utc_msek == dt.dt_msek && dt.utc_usek == dt.dt_usek);

  char buf[40];
  for (auto [size, len] : std::vector<std::pair<int, size_t>>{{32, 19}, {16, 14}, {1, 0}}) {
    memset(buf, 'x', sizeof buf);
    GetDtChar2(nullptr, buf, size);
    EXPECT_EQ(strlen(buf), len) << size;
    EXPECT_EQ(buf[size], 'x');
  }
}

TEST(DateTime, LapTimer) {
  struct timeval tv = {};
  EXPECT_EQ(GetUsec(nullptr, 1), 0);
  EXPECT_EQ(GetUsec(&tv, 0), 0);
  const struct timeval start = tv;
  tv.tv_sec -= 2;  // pretend the lap began 1.5 seconds earlier
  tv.tv_usec += 500000;
  if (tv.tv_usec >= 1000000) tv.tv_sec += 1, tv.tv_usec -= 1000000;
  EXPECT_GE(GetUsec(&tv, 1), 1500000);
  EXPECT_TRUE(tv.tv_sec > start.tv_sec || (tv.tv_sec == start.tv_sec && tv.tv_usec >= start.tv_usec));
  EXPECT_GE(GetUsec(&tv, 1), 0);  // the lap restarted from now
}

TEST(DateTime, UtcStampUsesStandardTimeAllYear) {
  InBerlin();
  struct Row { std::vector<int> local, utc; };
  const Row rows[] = {{{2026, 1, 15, 12, 5, 6}, {2026, 1, 15, 11, 5, 6}},
                      {{2026, 7, 1, 12, 0, 0}, {2026, 7, 1, 11, 0, 0}},  // +1 in summer too
                      {{2027, 1, 1, 0, 30, 0}, {2026, 12, 31, 23, 30, 0}},
                      {{0, 5, 6, 7, 8, 9}, {0, 5, 6, 7, 8, 9}}};  // no year: untouched
  for (const Row &r : rows) {
    MSG_TYPE_TIMESTAMP ts{};
    int16_t *f[] = {&ts.jjjj, &ts.mo, &ts.tt, &ts.hh, &ts.mi, &ts.ss};
    for (int i = 0; i < 6; ++i) *f[i] = (int16_t)r.local[i];
    ts.ns = 777;
    EXPECT_EQ(CreateCharUtcTime(&ts), 0);
    EXPECT_EQ(std::vector<int>({ts.jjjj, ts.mo, ts.tt, ts.hh, ts.mi, ts.ss, ts.ns}),
              std::vector<int>({r.utc[0], r.utc[1], r.utc[2], r.utc[3], r.utc[4], r.utc[5], 777}));
  }
}

TEST(DateTime, SecondsAsHoursMinutesSeconds) {
  char work[16];
  for (auto [secs, text] : std::vector<std::pair<int, const char *>>{
           {3661, "01:01:01"}, {0, "00:00:00"}, {360000, "100:00:00"}, {-3661, "-01:-01:-01"},
           {INT_MIN, "-596523:-14:-08"}, {INT_MAX, "596523:14:07"}})
    EXPECT_STREQ(sec2hhmmss(secs, work), text);
  EXPECT_STREQ(sec2hhmmss2(59), "00:00:59");
  char small[8];
  memset(small, 'x', sizeof small);
  sec2hhmmss3(3661, small, 5);
  EXPECT_EQ(std::string(small, 6), std::string("01:0\0x", 6));
}

}  // namespace
