#include "zutime.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

long long Usec(const struct timeval &tv) { return tv.tv_sec * 1000000LL + tv.tv_usec; }

// The current moment lies between two clock readings around the call (the
// calendar and text of a given moment are rows of data/calls.txt). A lap that began 1.5
// seconds before a reading lasts that long; the lap restarts from now.
TEST(DateTime, CurrentMomentAndLapsBetweenTwoClockReadings) {
  struct timeval before = {}, after = {}, tv = {};
  gettimeofday(&before, nullptr);
  DATUM_BUFF dt;
  GetDatumZeit2(nullptr, &dt);
  int usec = -5;
  const time_t now = GetElapsedTime(&usec);
  gettimeofday(&after, nullptr);
  EXPECT_TRUE(dt.dt_time >= before.tv_sec && now >= dt.dt_time && now <= after.tv_sec) << now;
  EXPECT_TRUE(usec >= 0 && usec <= 999999) << usec;
  char text[64];
  EXPECT_TRUE(dt.dt_usek >= 0 && dt.dt_usek <= 999 && dt.utc_msek == dt.dt_msek && dt.utc_usek == dt.dt_usek);
  for (auto [size, len] : std::vector<std::pair<int, size_t>>{{32, 19}, {16, 14}, {1, 0}}) {
    memset(text, 'x', sizeof text);
    GetDtChar2(nullptr, text, size);
    EXPECT_TRUE(strlen(text) == len && text[size] == 'x') << size;
  }
  memset(text, 'x', sizeof text);
  GetDtChar2(nullptr, text, 0);  // no room: nothing written
  GetDtChar2(nullptr, nullptr, 32);
  EXPECT_EQ('x', text[0]);
  EXPECT_EQ(GetUsec(nullptr, 1) + GetUsec(&tv, 0), 0);
  const long long start = Usec(tv);
  tv.tv_sec -= 1;
  tv.tv_usec < 500000 ? (tv.tv_sec -= 1, tv.tv_usec += 500000) : tv.tv_usec -= 500000;
  gettimeofday(&before, nullptr);
  const int lap = GetUsec(&tv, 1);
  gettimeofday(&after, nullptr);
  EXPECT_TRUE(lap >= 1500000 + Usec(before) - start && lap <= 1500000 + Usec(after) - start) << lap;
  EXPECT_TRUE(Usec(tv) >= Usec(before) && Usec(tv) <= Usec(after));
  char small[8] = "xxxxxxx";
  sec2hhmmss3(3661, small, 5);
  EXPECT_EQ(std::string(small, 6) + sec2hhmmss2(59), std::string("01:0\0x00:00:59", 14));
}

}  // namespace
