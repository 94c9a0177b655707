#include "zudnst.h"

#include <gtest/gtest.h>

#include "msg_type2.h"
#include "src/rows.h"
#include "wq_headm.h"
#include "zudnst_arith.h"
#include "zudnst_codepage.h"
#include "zudnst_dump.h"
#include "zudnst_match.h"
#include "zutime.h"

namespace {

std::string Bytes(const void *p, size_t n) { return std::string(static_cast<const char *>(p), n); }

// Every call of data/calls.txt to the conversion, string and time library,
// in Central European time given as a rule (no zone database needed).
TEST(Library, EveryCallOfTheTable) {
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  setenv("WQ_TEST_HOME", "/h", 1);
  unsetenv("WQ_TEST_UNSET");
  setenv(std::string(63, 'N').c_str(), "v", 1);
  const int known = wqtest::ForEachCall([](const std::string &f, wqtest::Row &r) {
    wqtest::Area out;
    const auto in_area = [&](size_t i) { return (char *)memcpy(out, r.s(i).data(), r.s(i).size()); };
    if (f == "MyStrMatch") {
      EXPECT_EQ(MyStrMatch(r.p(0), r.p(1), r.ch(2), r.ch(3)), r.n(4));
    } else if (f == "strMatchPtr" || f == "strcstr") {
      char *s = r.p(0), *mask = r.p(1);
      const char *at = f == "strcstr" ? strcstr(s, mask, r.ch(2)) : strMatchPtr(s, mask, '*', r.ch(2));
      EXPECT_TRUE((at ? at - s : -1) == r.n(3) && mask == r.s(1));  // the mask stays as it was
    } else if (f == "strccmp") {
      EXPECT_EQ(strccmp(r.p(0), r.p(1), r.ch(2)), r.n(3));
    } else if (f == "fix_len_reorg" || f == "fix_len_reorg2") {
      char *field = r.p(0);
      (f == "fix_len_reorg" ? fix_len_reorg : fix_len_reorg2)(field, field ? (int)r.bytes[0].size() - 1 : 4);
      if (field) EXPECT_EQ(r.bytes[0], r.s(1));
    } else if (f == "ExpandEnvironmentStringsA") {
      EXPECT_EQ(ExpandEnvironmentStringsA(r.p(0), out, (int)r.n(1)), r.n(2));
      r.Wrote(out, 3, r.n(1));
    } else if (f == "GetRestField" || f == "GetAttribute") {
      EXPECT_EQ((f == "GetRestField" ? GetRestField(r.p(0), (int)r.n(1), r.ch(2), out, (unsigned)r.n(3))
                                     : GetAttribute(r.p(0), (int)r.n(1), r.p(2), out, (unsigned)r.n(3))), r.n(4));
      r.Wrote(out, 5, r.n(3));
    } else if (f == "GetHexString" || f == "GetMemTrace") {
      EXPECT_EQ(f == "GetHexString" ? GetHexString(r.p(0), (int)r.n(1), out, (int)r.n(2))
                                    : GetMemTrace((unsigned char *)r.p(0), (int)r.n(1), out, (int)r.n(2)),
                (char *)out);
      r.Wrote(out, 3, r.n(2));
    } else if (f == "CnvIntToChar") {
      EXPECT_EQ(CnvIntToChar(r.u(0), out, (int)r.n(1)), out + r.n(2));
      r.Wrote(out, 3, r.n(1));
    } else if (f == "convert2hex") {
      EXPECT_EQ(convert2hex((unsigned char *)r.p(0), (int)r.n(1), out, (int)r.n(2)), r.n(3));
      r.Wrote(out, 4, r.n(2));
    } else if (f == "CnvAddrStr") {
      EXPECT_EQ(CnvAddrStr((const void *)(uintptr_t)r.u(0), out, (int)r.n(1)), (char *)out);
      r.Wrote(out, 2, r.n(1));
    } else if (f == "_StringCopy") {  // into "keepxyz"
      EXPECT_EQ(_StringCopy((char *)memcpy(out, "keepxyz", 8), r.n(1), r.p(0), __FILE__, __LINE__), (char *)out);
      r.Wrote(out, 2, 8);
    } else if (f == "_StringCat") {
      EXPECT_EQ(_StringCat(strcpy(out, r.p(0)), (int)r.n(2), r.p(1), __FILE__, __LINE__), (char *)out);
      r.Wrote(out, 3, 8);
    } else if (f == "GetStringTh") {
      EXPECT_EQ(GetStringTh(r.p(0), (int)r.n(1), out, (int)r.n(2)), (char *)out);
      r.Wrote(out, 3, r.n(2));
    } else if (f == "EatTrailing" || f == "EatString" || f == "EatTrailingStr" || f == "ToLowerCase") {
      const auto eat_str = [](char *p, int) { EatTrailingStr(p); };
      (f == "EatTrailing" ? EatTrailing : f == "EatString" ? EatString : f == "ToLowerCase" ? ToLowerCase : +eat_str)(
          in_area(0) + r.n(1), (int)r.n(2));
      r.Wrote(out, 3, 8);
    } else if (f == "strupr" || f == "strlow") {
      EXPECT_EQ((f == "strupr" ? strupr : strlow)(in_area(0)), (char *)out);
      r.Wrote(out, 1, 8);
    } else if (f == "Zudnst_LongToB26") {
      EXPECT_EQ(Zudnst_LongToB26((unsigned)r.u(0), out), r.s(1));
    } else if (f == "Zudnst_B26ToLong") {
      EXPECT_EQ(Zudnst_B26ToLong(r.p(0)), r.u(1));
    } else if (f == "Zudnst_Plausibility") {
      EXPECT_EQ(Zudnst_Plausibility((unsigned)r.u(0), (unsigned)r.u(1), (unsigned)r.u(2)), r.n(3));
    } else if (f == "getnewkey") {
      EXPECT_EQ(getnewkey((unsigned)r.u(0)), r.u(1));
    } else if (f == "memchiffre") {
      char *area = r.p(1);
      EXPECT_EQ(memchiffre((unsigned)r.u(0), area, area ? (int)r.bytes[1].size() : 0), r.u(3));
      if (area) EXPECT_EQ(r.bytes[1], r.s(2));
    } else if (f == "MyAddFrom8" || f == "MyAddFrom4" || f == "myAdd8") {
      long sum = (long)r.n(0), add = (long)r.n(1);
      f == "MyAddFrom8"   ? MyAddFrom8(&sum, &add)
      : f == "MyAddFrom4" ? MyAddFrom4(&sum, (int)add)
                          : myAdd8(&sum, (unsigned)add);
      EXPECT_EQ(sum, r.n(2));
    } else if (f == "ToEbcdic" || f == "ToAscii") {
      (f == "ToAscii" ? ToAscii : ToEbcdic)(in_area(0), 1);
      r.Wrote(out, 1, 1);
    } else if (f == "GetDatumZeit2") {
      const std::vector<long long> n = r.ns(0, 19);
      const time_t t = (time_t)n[0];
      DATUM_BUFF dt;
      memset(&dt, 0x5A, sizeof dt);
      GetDatumZeit2(&t, &dt);
      for (const DATUM_BUFF &x : {dt, *GetDatumZeit(&t)})
        EXPECT_EQ(std::vector<long long>({x.dt_time, x.dt_jahr, x.dt_mon, x.dt_tag, x.dt_std, x.dt_min, x.dt_sek,
                                          x.dt_msek, x.dt_usek, x.dt_nsek, x.utc_jahr, x.utc_mon, x.utc_tag, x.utc_std,
                                          x.utc_min, x.utc_sek, x.utc_msek, x.utc_usek, x.utc_nsek}),
                  n);
      const std::string text = r.s(19);
      EXPECT_EQ(Bytes(dt.dt_xdat, sizeof dt.dt_xdat), text + std::string(32 - text.size(), '\0'));
      EXPECT_EQ(GetDtChar(&t), text);
    } else if (f == "CreateCharUtcTime") {
      const std::vector<long long> n = r.ns(0, 12);
      MSG_TYPE_TIMESTAMP ts{(int16_t)n[0], (int16_t)n[1], (int16_t)n[2], (int16_t)n[3], (int16_t)n[4], (int16_t)n[5],
                            777};
      EXPECT_EQ(CreateCharUtcTime(&ts), 0);
      EXPECT_EQ(std::vector<long long>({ts.jjjj, ts.mo, ts.tt, ts.hh, ts.mi, ts.ss, ts.ns}),
                std::vector<long long>({n[6], n[7], n[8], n[9], n[10], n[11], 777}));
    } else if (f == "ByteOrder") {
      const uint64_t v = r.u(0);
      const std::string wire = r.s(1);
      const short size = (short)wire.size();
      const uint64_t conv = size == 2 ? iCnvU16((uint16_t)v) : size == 4 ? iCnvU32((uint32_t)v) : iCnvU64(v);
      uint64_t big = v;
      CNV_X(&big, size);
      unsigned char put[8];
      size == 2 ? wq_put_u16(put, (uint16_t)v) : size == 4 ? wq_put_u32(put, (uint32_t)v) : wq_put_u64(put, v);
      EXPECT_EQ(Bytes(&conv, size) + Bytes(put, size) + Bytes(&big, size),
                wire + wire + std::string(wire.rbegin(), wire.rend()));
      EXPECT_EQ(size == 2 ? wq_get_u16(put) : size == 4 ? wq_get_u32(put) : wq_get_u64(put), v);
    } else if (f == "sec2hhmmss") {
      EXPECT_EQ(sec2hhmmss((int)r.n(0), out), r.s(1));
    } else {
      return false;
    }
    return true;
  });
  EXPECT_EQ(known, 202);
}

TEST(ByteOrder, PartialSizesAndTheMessageHead) {
  ASSERT_EQ(iIsIntel() * 2 + iIsEbcdic(), 2);  // the host values of the table are laid out little-endian
  unsigned char three[3] = {1, 2, 3};
  CNV_X(three, 3);  // not a whole size: unchanged
  WQ_HEADM head;
  memset(&head, 0xEE, sizeof head);
  CreateWqHeadm(&head, "AB", 0x12345, 7);  // a short type is padded with NULs
  EXPECT_EQ(Bytes(three, 3) + Bytes(&head, 16), wqtest::Unhex("010203,4142,00*6,3033,4523,07000000"));
  EXPECT_EQ(_StringCopy(nullptr, 8, "ab", __FILE__, __LINE__), nullptr);
}

}  // namespace
