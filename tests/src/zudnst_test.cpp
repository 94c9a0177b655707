#include "zudnst.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <random>

#include "msg_type2.h"
#include "common/data.h"
#include "wq_headm.h"
#include "zudnst_arith.h"
#include "zudnst_codepage.h"
#include "zudnst_dump.h"
#include "zudnst_match.h"
#include "zutime.h"

namespace {

using wqtest::Area, wqtest::Row;

std::string Bytes(const void *p, size_t n) { return std::string(static_cast<const char *>(p), n); }
char *In(Row &r, Area &out, size_t i) { return (char *)memcpy(out, r.s(i).data(), r.s(i).size()); }

void Match(Row &r, Area &) {
  char *s = r.p(0), *mask = r.p(1);
  const char *at = r.c.name == "strcstr" ? strcstr(s, mask, r.ch(2)) : strMatchPtr(s, mask, '*', r.ch(2));
  EXPECT_EQ(std::make_pair(at ? (long long)(at - s) : -1LL, std::string(mask)), std::make_pair(r.n(3), r.s(1)));
}
void Reorg(Row &r, Area &) {
  char *field = r.p(0);
  (r.c.name == "fix_len_reorg" ? fix_len_reorg : fix_len_reorg2)(field, field ? (int)r.bytes[0].size() - 1 : 4);
  if (field) { EXPECT_EQ(r.bytes[0], r.s(1)); }
}
void Field(Row &r, Area &out) {
  EXPECT_EQ((r.c.name == "GetRestField" ? GetRestField(r.p(0), (int)r.n(1), r.ch(2), out, (unsigned)r.n(3))
                                        : GetAttribute(r.p(0), (int)r.n(1), r.p(2), out, (unsigned)r.n(3))), r.n(4));
  r.Wrote(out, 5, r.n(3));
}
void Hexes(Row &r, Area &out) {
  EXPECT_EQ(r.c.name == "GetHexString" ? GetHexString(r.p(0), (int)r.n(1), out, (int)r.n(2))
                                       : GetMemTrace((unsigned char *)r.p(0), (int)r.n(1), out, (int)r.n(2)), (char *)out);
  r.Wrote(out, 3, r.n(2));
}
// In place at word 1 for the length of word 2.
void Eat(Row &r, Area &out) {
  const std::map<std::string, void (*)(char *, int)> fns = {
      {"EatTrailing", EatTrailing}, {"EatString", EatString}, {"ToLowerCase", ToLowerCase},
      {"EatTrailingStr", [](char *p, int) { EatTrailingStr(p); }}, {"strupr", [](char *p, int) { EXPECT_EQ(strupr(p), p); }},
      {"strlow", [](char *p, int) { EXPECT_EQ(strlow(p), p); }}};
  fns.at(r.c.name)(In(r, out, 0) + r.n(1), (int)r.n(2));
  r.Wrote(out, 3, 8);
}
void Add(Row &r, Area &) {
  long sum = (long)r.n(0), add = (long)r.n(1);
  r.c.name == "MyAddFrom8" ? MyAddFrom8(&sum, &add) : r.c.name == "MyAddFrom4" ? MyAddFrom4(&sum, (int)add) : myAdd8(&sum, (unsigned)add);
  EXPECT_EQ(sum, r.n(2));
}
void Code(Row &r, Area &out) { (r.c.name == "ToAscii" ? ToAscii : ToEbcdic)(In(r, out, 0), 1); r.Wrote(out, 1, 1); }
void Date(Row &r, Area &) {
  const time_t t = (time_t)r.n(0);
  DATUM_BUFF dt;
  memset(&dt, 0x5A, sizeof dt);
  GetDatumZeit2(&t, &dt);
  for (const DATUM_BUFF &x : {dt, *GetDatumZeit(&t)})
    EXPECT_EQ(std::vector<long long>({x.dt_time, x.dt_jahr, x.dt_mon, x.dt_tag, x.dt_std, x.dt_min, x.dt_sek, x.dt_msek,
                                      x.dt_usek, x.dt_nsek, x.utc_jahr, x.utc_mon, x.utc_tag, x.utc_std, x.utc_min,
                                      x.utc_sek, x.utc_msek, x.utc_usek, x.utc_nsek}), r.ns(0, 19));
  const std::string text = r.s(19);
  EXPECT_EQ(Bytes(dt.dt_xdat, sizeof dt.dt_xdat), text + std::string(32 - text.size(), '\0'));
  EXPECT_EQ(GetDtChar(&t), text);
}
void Utc(Row &r, Area &) {
  MSG_TYPE_TIMESTAMP ts{(int16_t)r.n(0), (int16_t)r.n(1), (int16_t)r.n(2), (int16_t)r.n(3), (int16_t)r.n(4), (int16_t)r.n(5), 777};
  EXPECT_EQ(CreateCharUtcTime(&ts), 0);
  EXPECT_EQ(std::vector<long long>({ts.jjjj, ts.mo, ts.tt, ts.hh, ts.mi, ts.ss}), r.ns(6, 6));
  EXPECT_EQ(ts.ns, 777);
}
void Order(Row &r, Area &) {
  const std::string wire = r.s(1);
  const short size = (short)wire.size();
  const uint64_t v = r.u(0), conv = size == 2 ? iCnvU16((uint16_t)v) : size == 4 ? iCnvU32((uint32_t)v) : iCnvU64(v);
  uint64_t big = v;
  CNV_X(&big, size);
  unsigned char put[8];
  size == 2 ? wq_put_u16(put, (uint16_t)v) : size == 4 ? wq_put_u32(put, (uint32_t)v) : wq_put_u64(put, v);
  EXPECT_EQ(Bytes(&conv, size) + Bytes(put, size) + Bytes(&big, size), wire + wire + std::string(wire.rbegin(), wire.rend()));
  EXPECT_EQ(size == 2 ? wq_get_u16(put) : size == 4 ? wq_get_u32(put) : wq_get_u64(put), v);
}

// Every call of data/calls.txt to the conversion, string and time library,
// in Central European time given as a rule (no zone database needed).
TEST(Library, EveryCallOfTheTable) {
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1), tzset();
  setenv("WQ_TEST_HOME", "/h", 1), unsetenv("WQ_TEST_UNSET"), setenv(std::string(63, 'N').c_str(), "v", 1);
  wqtest::CheckCalls({
      {"MyStrMatch", [](Row &r, Area &) { EXPECT_EQ(MyStrMatch(r.p(0), r.p(1), r.ch(2), r.ch(3)), r.n(4)); }},
      {"strMatchPtr", Match}, {"strcstr", Match}, {"fix_len_reorg", Reorg}, {"fix_len_reorg2", Reorg},
      {"strccmp", [](Row &r, Area &) { EXPECT_EQ(strccmp(r.p(0), r.p(1), r.ch(2)), r.n(3)); }},
      {"ExpandEnvironmentStringsA", [](Row &r, Area &out) {
         EXPECT_EQ(ExpandEnvironmentStringsA(r.p(0), out, (int)r.n(1)), r.n(2)); r.Wrote(out, 3, r.n(1)); }},
      {"GetRestField", Field}, {"GetAttribute", Field}, {"GetHexString", Hexes}, {"GetMemTrace", Hexes},
      {"CnvIntToChar", [](Row &r, Area &out) { EXPECT_EQ(CnvIntToChar(r.u(0), out, (int)r.n(1)), out + r.n(2)); r.Wrote(out, 3, r.n(1)); }},
      {"convert2hex", [](Row &r, Area &out) {
         EXPECT_EQ(convert2hex((unsigned char *)r.p(0), (int)r.n(1), out, (int)r.n(2)), r.n(3)); r.Wrote(out, 4, r.n(2)); }},
      {"CnvAddrStr", [](Row &r, Area &out) {
         EXPECT_EQ(CnvAddrStr((const void *)(uintptr_t)r.u(0), out, (int)r.n(1)), (char *)out); r.Wrote(out, 2, r.n(1)); }},
      {"_StringCopy", [](Row &r, Area &out) {  // into "keepxyz"
         EXPECT_EQ(_StringCopy((char *)memcpy(out, "keepxyz", 8), r.n(1), r.p(0), __FILE__, __LINE__), (char *)out); r.Wrote(out, 2, 8); }},
      {"_StringCat", [](Row &r, Area &out) {
         EXPECT_EQ(_StringCat(strcpy(out, r.p(0)), (int)r.n(2), r.p(1), __FILE__, __LINE__), (char *)out); r.Wrote(out, 3, 8); }},
      {"GetStringTh", [](Row &r, Area &out) {
         EXPECT_EQ(GetStringTh(r.p(0), (int)r.n(1), out, (int)r.n(2)), (char *)out); r.Wrote(out, 3, r.n(2)); }},
      {"EatTrailing", Eat}, {"EatString", Eat}, {"EatTrailingStr", Eat}, {"ToLowerCase", Eat}, {"strupr", Eat}, {"strlow", Eat},
      {"Zudnst_LongToB26", [](Row &r, Area &out) { EXPECT_EQ(Zudnst_LongToB26((unsigned)r.u(0), out), r.s(1)); }},
      {"Zudnst_B26ToLong", [](Row &r, Area &) { EXPECT_EQ(Zudnst_B26ToLong(r.p(0)), r.u(1)); }},
      {"Zudnst_Plausibility", [](Row &r, Area &) { EXPECT_EQ(Zudnst_Plausibility((unsigned)r.u(0), (unsigned)r.u(1), (unsigned)r.u(2)), r.n(3)); }},
      {"getnewkey", [](Row &r, Area &) { EXPECT_EQ(getnewkey((unsigned)r.u(0)), r.u(1)); }},
      {"memchiffre", [](Row &r, Area &) {
         char *area = r.p(1);
         EXPECT_EQ(memchiffre((unsigned)r.u(0), area, area ? (int)r.bytes[1].size() : 0), r.u(3));
         if (area) { EXPECT_EQ(r.bytes[1], r.s(2)); } }},
      {"MyGt8", [](Row &r, Area &) { long a = r.n(0), b = r.n(1); EXPECT_EQ(r.ns(2, 2), std::vector<long long>({MyGt8(&a, &b), MyLe8(&a, &b)})); }},
      {"MyGt4", [](Row &r, Area &) { int a = r.n(0), b = r.n(1); EXPECT_EQ(r.ns(2, 2), std::vector<long long>({MyGt4(&a, &b), MyLe4(&a, &b)})); }},
      {"MyAddFrom8", Add}, {"MyAddFrom4", Add}, {"myAdd8", Add}, {"ToEbcdic", Code}, {"ToAscii", Code},
      {"GetDatumZeit2", Date}, {"CreateCharUtcTime", Utc}, {"ByteOrder", Order},
      {"sec2hhmmss", [](Row &r, Area &out) { EXPECT_EQ(sec2hhmmss((int)r.n(0), out), r.s(1)); EXPECT_EQ(sec2hhmmss2((int)r.n(0)), r.s(1)); }},
      {"sec2hhmmss3", [](Row &r, Area &out) { sec2hhmmss3((int)r.n(0), out, (int)r.n(1)), sec2hhmmss3(0, nullptr, 8); r.Wrote(out, 2, r.n(1)); }},
      {"GetDtChar2", [](Row &r, Area &out) {  // no area: nothing written
         const time_t t = (time_t)r.n(0);
         GetDtChar2(&t, out, (int)r.n(1)), GetDtChar2(&t, nullptr, 32);
         r.Wrote(out, 2, r.n(1)); }},
  }, 223);
}

// Every ASCII code but 0x13 goes there and back; three of the others have a
// code; a call converts exactly the length given. Own tables: substitutes
// for invalid values, conversions of the length given. A partial size is
// left as it is; a short message type is padded with NULs; base 26 goes
// there and back.
TEST(Conversions, CodePagesByteOrderAndBase26) {
  const auto Conv = [](void (*f)(char *, int), int c) { char ch = (char)c; return f(&ch, 1), (int)(unsigned char)ch; };
  int high_with_code = 0;
  for (int a = 0; a < 0x100; ++a) {
    if (a < 0x7F && a != 0x13) { EXPECT_EQ(Conv(ToAscii, Conv(ToEbcdic, a)), a) << std::hex << a; }
    high_with_code += a >= 0x80 && Conv(ToEbcdic, a) != 0x07;
  }
  EXPECT_EQ(high_with_code, 3);
  char text[] = {'a', '\0', 'b', 'c'};
  ToEbcdic(text, 3), ToEbcdic(text, 0), ToEbcdic(text, -4), ToAscii(nullptr, 4);
  EXPECT_EQ(std::string(text, 4), std::string("\x81\0\x82" "c", 4));
  unsigned char desc[512] = {}, tab[256];
  for (int i = 0; i < 256; ++i) desc[i] = (unsigned char)(255 - i);
  SetCodeTab(tab, desc);
  EXPECT_EQ(std::string((char *)tab, 256), std::string(256, ' '));  // nothing valid, no substitute given
  SetCodeTab(tab, nullptr), SetCodeTab(nullptr, desc);  // either one missing: nothing is read or written
  EXPECT_EQ(tab[0], ' ');
  // Value 5's target is the substitute, 5 itself invalid; a later substitute
  // mark does not count, 9 is valid.
  desc[256 + 5] = 2, desc[256 + 9] = 2 | 1, desc[256 + 'A'] = 1;
  SetCodeTab(tab, desc);
  EXPECT_EQ(std::vector<int>({tab[0], tab[5], tab[9], tab['A'], tab[255]}), std::vector<int>({250, 250, 246, 255 - 'A', 250}));
  for (int i = 0; i < 256; ++i) tab[i] = (unsigned char)(i + 1);
  unsigned char in[4] = {0, 1, 0xFF, 7}, out[4] = {9, 9, 9, 9};
  // Nothing for no length or no area; the last call in place.
  EXPECT_EQ(std::vector<int>({AreaConv(out, in, 0, tab), AreaConv(out, in, -3, tab), AreaConv(nullptr, in, 3, tab),
                              AreaConv(out, in, 3, tab), AreaConv(in, in, 4, tab)}), std::vector<int>({0, 0, 0, 3, 4}));
  EXPECT_EQ(std::vector<int>(out, out + 4), std::vector<int>({1, 2, 0, 9}));
  EXPECT_EQ(in[3], 8);
  unsigned char three[3] = {1, 2, 3};
  CNV_X(three, 3);
  WQ_HEADM head;
  memset(&head, 0xEE, sizeof head);
  CreateWqHeadm(&head, "AB", 0x12345, 7);
  EXPECT_EQ(Bytes(three, 3) + Bytes(&head, 16), wqtest::Unhex("010203,4142,00*6,3033,4523,07000000"));
  EXPECT_EQ(_StringCopy(nullptr, 8, "ab", __FILE__, __LINE__), nullptr);
  EXPECT_EQ(Zudnst_LongToB26(1, nullptr), nullptr);
  std::mt19937 rng(26);
  char b26[8];
  for (int i = 0; i < 2000; ++i) {
    const unsigned v = (unsigned)rng();
    ASSERT_EQ(Zudnst_B26ToLong(Zudnst_LongToB26(v, b26)), v) << b26;
  }
}

bool Ref(const char *s, const char *m, char more, char one) {  // plain recursion over the definition
  if (*m == '\0') return *s == '\0';
  if (more && *m == more) return Ref(s, m + 1, more, one) || (*s && Ref(s + 1, m, more, one));
  return *s && ((one && *m == one) || *m == *s) && Ref(s + 1, m + 1, more, one);
}

// Random texts and masks, some with a wildcard switched off, against the
// reference; without a result area nothing is found; the hex part of a long
// area is cut at a whole piece within 511 characters, without the text view.
TEST(Match, AgreesWithTheDefinition) {
  std::mt19937 rng(20261206);
  const auto random = [&rng](const char *alphabet, size_t max_len) {
    std::string s(rng() % (max_len + 1), ' ');
    for (char &c : s) c = alphabet[rng() % strlen(alphabet)];
    return s;
  };
  int matches = 0;
  for (int round = 0; round < 4000; ++round) {
    const std::string s = random("abc", 8), m = random("abc*?", 6);
    const char more = round % 3 == 1 ? 0 : '*', one = round % 3 == 2 ? 0 : '?';
    matches += Ref(s.c_str(), m.c_str(), more, one);
    ASSERT_EQ(MyStrMatch(s.c_str(), m.c_str(), more, one), Ref(s.c_str(), m.c_str(), more, one)) << s << " / " << m;
  }
  EXPECT_TRUE(matches > 200 && matches < 3800) << matches;  // both outcomes well represented
  EXPECT_EQ(GetAttribute("ID=7", 0, "ID", nullptr, 16), 0);
  std::vector<unsigned char> many(600, 0xAB);
  Area big;
  const std::string text = GetHexString(many.data(), (int)many.size(), big, 1024);
  EXPECT_TRUE(text.size() > 500 && text.size() <= 511 && text.find('>') == std::string::npos) << text.size();
}

long long Usec(const struct timeval &tv) { return tv.tv_sec * 1000000LL + tv.tv_usec; }

// The current moment lies between two clock readings around the call (the
// calendar and text of a given moment are rows of data/calls.txt). A lap that
// began 1.5 seconds before a reading lasts that long; the lap restarts from now.
TEST(DateTime, CurrentMomentAndLapsBetweenTwoClockReadings) {
  struct timeval before = {}, after = {}, tv = {};
  DATUM_BUFF dt;
  int usec = -5;
  char text[64] = {};
  gettimeofday(&before, nullptr);
  GetDatumZeit2(nullptr, &dt);
  const time_t now = GetElapsedTime(&usec);
  GetDtChar2(nullptr, text, 32);
  gettimeofday(&after, nullptr);
  EXPECT_TRUE(dt.dt_time >= before.tv_sec && now >= dt.dt_time && now <= after.tv_sec && strlen(text) == 19) << now << text;
  EXPECT_TRUE(usec >= 0 && usec <= 999999 && dt.dt_usek >= 0 && dt.dt_usek <= 999) << usec << " " << dt.dt_usek;
  EXPECT_EQ(std::vector<int>({dt.utc_msek, dt.utc_usek, GetUsec(nullptr, 1), GetUsec(&tv, 0)}), std::vector<int>({dt.dt_msek, dt.dt_usek, 0, 0}));
  const long long start = Usec(tv);
  tv = {(start - 1500000) / 1000000, (start - 1500000) % 1000000};
  gettimeofday(&before, nullptr);
  const int lap = GetUsec(&tv, 1);
  gettimeofday(&after, nullptr);
  EXPECT_TRUE(lap >= 1500000 + Usec(before) - start && lap <= 1500000 + Usec(after) - start) << lap;
  EXPECT_TRUE(Usec(tv) >= Usec(before) && Usec(tv) <= Usec(after));
}

}  // namespace
