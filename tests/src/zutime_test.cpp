#include "zutime.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include "msg_type2.h"
#include "src/rows.h"

namespace {

long long Usec(const struct timeval &tv) { return tv.tv_sec * 1000000LL + tv.tv_usec; }

// Central European time with summer time, given as a rule so that no zone
// database is needed. Each test runs in a process of its own.
TEST(DateTime, CallsOfTheTable) {
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  const int known = wqtest::ForEachCall([](const std::string &f, wqtest::Row &r) {
    std::vector<long long> want;
    for (size_t i = 0; (f == "GetDatumZeit2" || f == "CreateCharUtcTime") && i < r.c.words.size() && r.c.words[i][0] != '"'; ++i) want.push_back(r.n(i));
    if (f == "GetDatumZeit2") {
      const time_t t = (time_t)r.n(0);
      DATUM_BUFF dt;
      memset(&dt, 0x5A, sizeof dt);
      GetDatumZeit2(&t, &dt);
      for (const DATUM_BUFF &x : {dt, *GetDatumZeit(&t)})
        EXPECT_EQ(std::vector<long long>({x.dt_time, x.dt_jahr, x.dt_mon, x.dt_tag, x.dt_std, x.dt_min, x.dt_sek, x.dt_msek, x.dt_usek,
                                          x.dt_nsek, x.utc_jahr, x.utc_mon, x.utc_tag, x.utc_std, x.utc_min, x.utc_sek, x.utc_msek,
                                          x.utc_usek, x.utc_nsek}), want);
      EXPECT_EQ(std::string(dt.dt_xdat, sizeof dt.dt_xdat), r.s(19) + std::string(32 - r.s(19).size(), '\0'));
      EXPECT_EQ(GetDtChar(&t), r.s(19));
    } else if (f == "CreateCharUtcTime") {
      MSG_TYPE_TIMESTAMP ts{(int16_t)want[0], (int16_t)want[1], (int16_t)want[2], (int16_t)want[3], (int16_t)want[4], (int16_t)want[5], 777};
      EXPECT_EQ(CreateCharUtcTime(&ts), 0);
      want.resize(12);
      want.push_back(777);  // the nanoseconds stay
      EXPECT_EQ(std::vector<long long>({ts.jjjj, ts.mo, ts.tt, ts.hh, ts.mi, ts.ss, ts.ns}),
                std::vector<long long>(want.begin() + 6, want.end()));
    } else if (f == "sec2hhmmss") {
      char work[16];
      EXPECT_EQ(sec2hhmmss((int)r.n(0), work), r.s(1));
    } else {
      return false;
    }
    return true;
  });
  EXPECT_EQ(known, 12);
  EXPECT_STREQ(sec2hhmmss2(59), "00:00:59");
  char small[8] = "xxxxxxx";
  sec2hhmmss3(3661, small, 5);
  EXPECT_EQ(std::string(small, 6), std::string("01:0\0x", 6));
}

// The current moment lies between two clock readings around the call; its
// text, calendar and sub-second fields tell one moment.
TEST(DateTime, CurrentMomentAndLapsBetweenTwoClockReadings) {
  struct timeval before = {}, after = {}, tv = {};
  gettimeofday(&before, nullptr);
  DATUM_BUFF dt;
  GetDatumZeit2(nullptr, &dt);
  int usec = -5;
  const time_t now = GetElapsedTime(&usec);
  gettimeofday(&after, nullptr);
  EXPECT_TRUE(dt.dt_time >= before.tv_sec && now >= dt.dt_time && now <= after.tv_sec && usec >= 0 && usec <= 999999) << usec;
  char text[64];
  snprintf(text, sizeof text, "%.4d%.2d%.2d/%.2d%.2d%.2d.%.3d", dt.dt_jahr, dt.dt_mon, dt.dt_tag, dt.dt_std, dt.dt_min, dt.dt_sek, dt.dt_msek);
  EXPECT_EQ(std::string(dt.dt_xdat), text);
  EXPECT_TRUE(dt.dt_usek >= 0 && dt.dt_usek <= 999 && dt.utc_msek == dt.dt_msek && dt.utc_usek == dt.dt_usek);
  for (auto [size, len] : std::vector<std::pair<int, size_t>>{{32, 19}, {16, 14}, {1, 0}}) {
    memset(text, 'x', sizeof text);
    GetDtChar2(nullptr, text, size);
    EXPECT_TRUE(strlen(text) == len && text[size] == 'x') << size;
  }
  // A lap that began 1.5 seconds before `start`: its length, and the lap restarted from now.
  EXPECT_EQ(GetUsec(nullptr, 1) + GetUsec(&tv, 0), 0);
  const long long start = Usec(tv);
  tv.tv_sec -= 1;
  tv.tv_usec < 500000 ? (tv.tv_sec -= 1, tv.tv_usec += 500000) : tv.tv_usec -= 500000;
  gettimeofday(&before, nullptr);
  const int lap = GetUsec(&tv, 1);
  gettimeofday(&after, nullptr);
  EXPECT_TRUE(lap >= 1500000 + Usec(before) - start && lap <= 1500000 + Usec(after) - start) << lap;
  EXPECT_TRUE(Usec(tv) >= Usec(before) && Usec(tv) <= Usec(after));
}

}  // namespace
