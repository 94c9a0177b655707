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
// database is needed.
class TimeInBerlin : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *old = getenv("TZ");
    had_tz_ = old != nullptr;
    if (had_tz_) old_tz_ = old;
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
  }
  void TearDown() override {
    if (had_tz_) {
      setenv("TZ", old_tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool had_tz_ = false;
  std::string old_tz_;
};

// 2026-12-31 23:30:15 UTC, which is 2027-01-01 00:30:15 in Berlin.
constexpr time_t kNewYear = 1798759815;
// 2026-07-01 10:00:00 UTC, 12:00:00 summer time in Berlin.
constexpr time_t kSummer = 1782900000;

TEST_F(TimeInBerlin, GivenTimeFillsBothHalvesAndShortText) {
  DATUM_BUFF dt;
  memset(&dt, 0x5A, sizeof dt);
  time_t t = kNewYear;
  GetDatumZeit2(&t, &dt);
  EXPECT_EQ(dt.dt_time, kNewYear);
  EXPECT_EQ((std::vector<int>{dt.dt_jahr, dt.dt_mon, dt.dt_tag, dt.dt_std, dt.dt_min, dt.dt_sek, dt.utc_jahr,
                              dt.utc_mon, dt.utc_tag, dt.utc_std, dt.utc_min, dt.utc_sek, dt.dt_msek, dt.dt_usek,
                              dt.utc_msek, dt.utc_usek, dt.dt_nsek, dt.utc_nsek}),
            (std::vector<int>{2027, 1, 1, 0, 30, 15, 2026, 12, 31, 23, 30, 15, 0, 0, 0, 0, 0, 0}));
  EXPECT_STREQ(dt.dt_xdat, "20270101/003015");
  EXPECT_EQ(dt.dt_xdat[31], '\0');  // the record is cleared first

  t = kSummer;
  DATUM_BUFF *st = GetDatumZeit(&t);
  EXPECT_STREQ(st->dt_xdat, "20260701/120000");
  EXPECT_EQ(st->utc_std, 10);
  EXPECT_STREQ(GetDtChar(&t), "20260701/120000");
}

TEST_F(TimeInBerlin, CurrentTimeHasSubSecondText) {
  struct timeval before = {}, after = {};
  gettimeofday(&before, nullptr);
  DATUM_BUFF dt;
  GetDatumZeit2(nullptr, &dt);
  gettimeofday(&after, nullptr);
  EXPECT_GE(dt.dt_time, before.tv_sec);
  EXPECT_LE(dt.dt_time, after.tv_sec);
  ASSERT_EQ(strlen(dt.dt_xdat), 19u);
  EXPECT_TRUE(wqtest::FitsMask(dt.dt_xdat, "########/######.###")) << dt.dt_xdat;
  EXPECT_TRUE(dt.dt_msek >= 0 && dt.dt_msek <= 999 && dt.dt_usek >= 0 && dt.dt_usek <= 999);
  EXPECT_EQ(dt.utc_msek, dt.dt_msek);
  EXPECT_EQ(dt.utc_usek, dt.dt_usek);
  char tail[8];
  snprintf(tail, sizeof tail, ".%.3d", dt.dt_msek);
  EXPECT_EQ(std::string(dt.dt_xdat + 15), tail);
  // The text and the calendar fields describe the same moment.
  char head[64];
  snprintf(head, sizeof head, "%.4d%.2d%.2d/%.2d%.2d%.2d", dt.dt_jahr, dt.dt_mon, dt.dt_tag, dt.dt_std, dt.dt_min,
           dt.dt_sek);
  EXPECT_EQ(std::string(dt.dt_xdat, 15), head);
}

TEST(ElapsedTime, MicrosecondsAndLapTimer) {
  int usec = -5;
  // The seconds of the wall clock, read between two readings of it (as in
  // the current-time test: time() may lag gettimeofday by a clock tick).
  struct timeval before = {}, after = {};
  gettimeofday(&before, nullptr);
  const time_t now = GetElapsedTime(&usec);
  gettimeofday(&after, nullptr);
  EXPECT_GE(now, before.tv_sec);
  EXPECT_LE(now, after.tv_sec);
  EXPECT_TRUE(usec >= 0 && usec <= 999999) << usec;
  EXPECT_EQ(GetUsec(nullptr, 1), 0);
  struct timeval tv = {};
  EXPECT_EQ(GetUsec(&tv, 0), 0);
  EXPECT_GT(tv.tv_sec, 0);
  // Pretend the start was one and a half seconds earlier.
  struct timeval start = tv;
  tv.tv_sec -= 1;
  if (tv.tv_usec >= 500000) {
    tv.tv_usec -= 500000;
  } else {
    tv.tv_sec -= 1;
    tv.tv_usec += 500000;
  }
  int lap = GetUsec(&tv, 1);
  EXPECT_GE(lap, 1500000);
  // The lap restarted the interval from now.
  EXPECT_TRUE(tv.tv_sec > start.tv_sec || (tv.tv_sec == start.tv_sec && tv.tv_usec >= start.tv_usec));
  EXPECT_GE(GetUsec(&tv, 1), 0);
}

TEST_F(TimeInBerlin, DtChar2IsBounded) {
  char buf[32];
  memset(buf, 'x', sizeof buf);
  GetDtChar2(nullptr, buf, 32);
  EXPECT_EQ(strlen(buf), 19u);
  memset(buf, 'x', sizeof buf);
  GetDtChar2(nullptr, buf, 16);
  EXPECT_EQ(strlen(buf), 14u);
  EXPECT_EQ(buf[15], 'x');
  memset(buf, 'x', sizeof buf);
  GetDtChar2(nullptr, buf, 1);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(buf[1], 'x');
}

std::vector<int> UtcOf(std::vector<int> local) {
  MSG_TYPE_TIMESTAMP ts;
  memset(&ts, 0, sizeof ts);
  int16_t *f[] = {&ts.jjjj, &ts.mo, &ts.tt, &ts.hh, &ts.mi, &ts.ss};
  for (int i = 0; i < 6; ++i) *f[i] = (int16_t)local[i];
  ts.ns = 777;
  EXPECT_EQ(CreateCharUtcTime(&ts), 0);
  return {ts.jjjj, ts.mo, ts.tt, ts.hh, ts.mi, ts.ss, ts.ns};
}

TEST_F(TimeInBerlin, UtcStampUsesStandardTimeAllYear) {
  EXPECT_EQ(UtcOf({2026, 1, 15, 12, 5, 6}), (std::vector<int>{2026, 1, 15, 11, 5, 6, 777}));
  // Summer: the standard offset (+1), not the summer offset (+2).
  EXPECT_EQ(UtcOf({2026, 7, 1, 12, 0, 0}), (std::vector<int>{2026, 7, 1, 11, 0, 0, 777}));
  EXPECT_EQ(UtcOf({2027, 1, 1, 0, 30, 0}), (std::vector<int>{2026, 12, 31, 23, 30, 0, 777}));
  EXPECT_EQ(UtcOf({0, 5, 6, 7, 8, 9}), (std::vector<int>{0, 5, 6, 7, 8, 9, 777}));  // no year: untouched
}

TEST(SecondsText, AllThreeForms) {
  char work[16];
  EXPECT_STREQ(sec2hhmmss(3661, work), "01:01:01");
  EXPECT_STREQ(sec2hhmmss(0, work), "00:00:00");
  EXPECT_STREQ(sec2hhmmss(360000, work), "100:00:00");
  EXPECT_STREQ(sec2hhmmss(-3661, work), "-01:-01:-01");
  EXPECT_STREQ(sec2hhmmss(INT_MIN, work), "-596523:-14:-08");
  EXPECT_STREQ(sec2hhmmss(INT_MAX, work), "596523:14:07");
  EXPECT_STREQ(sec2hhmmss2(59), "00:00:59");
  char small[8];
  memset(small, 'x', sizeof small);
  sec2hhmmss3(3661, small, 5);
  EXPECT_STREQ(small, "01:0");
  EXPECT_EQ(small[5], 'x');
}

}  // namespace
