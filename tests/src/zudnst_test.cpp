#include "zudnst.h"

#include <gtest/gtest.h>

#include "src/rows.h"
#include "wq_headm.h"

namespace {

std::string Bytes(const void *p, size_t n) { return std::string(static_cast<const char *>(p), n); }

TEST(ByteOrder, WireBytesLeastSignificantFirstBigEndianOnRequest) {
  ASSERT_EQ(iIsIntel() * 2 + iIsEbcdic(), 2);  // the host values below are laid out little-endian
  struct Row { uint64_t v; short size; const char *wire; };
  for (const Row &r : {Row{0x1234, 2, "3412"}, Row{0x12345678, 4, "78563412"}, Row{0x8877665544332211, 8, "1122334455667788"}}) {
    const uint64_t conv = r.size == 2 ? iCnvU16((uint16_t)r.v) : r.size == 4 ? iCnvU32((uint32_t)r.v) : iCnvU64(r.v);
    unsigned char buf[8];
    r.size == 2 ? wq_put_u16(buf, (uint16_t)r.v) : r.size == 4 ? wq_put_u32(buf, (uint32_t)r.v) : wq_put_u64(buf, r.v);
    uint64_t big = r.v;
    CNV_X(&big, r.size);
    const std::string wire = wqtest::Unhex(r.wire);
    EXPECT_EQ(Bytes(&conv, r.size) + Bytes(buf, r.size) + Bytes(&big, r.size), wire + wire + std::string(wire.rbegin(), wire.rend()));
    EXPECT_EQ(r.size == 2 ? wq_get_u16(buf) : r.size == 4 ? wq_get_u32(buf) : wq_get_u64(buf), r.v);
  }
  unsigned char three[3] = {1, 2, 3};
  CNV_X(three, 3);  // not a whole size: unchanged
  EXPECT_EQ(Bytes(three, 3), "\x01\x02\x03");
  WQ_HEADM head;
  memset(&head, 0xEE, sizeof head);
  CreateWqHeadm(&head, "AB", 0x12345, 7);  // a short type is padded with NULs
  EXPECT_EQ(Bytes(&head, 16), wqtest::Unhex("4142,00*6,3033,4523,07000000"));
}

TEST(StringCopyTrimAndCase, CallsOfTheTable) {
  const int known = wqtest::ForEachCall([](const std::string &f, wqtest::Row &r) {
    wqtest::Area out;
    if (f == "_StringCopy") {
      memcpy(out, "keepxyz", 8);
      EXPECT_EQ(_StringCopy(out, r.n(1), r.p(0), __FILE__, __LINE__), (char *)out);
    } else if (f == "_StringCat") {
      strcpy(out, r.p(0));
      EXPECT_EQ(_StringCat(out, (int)r.n(2), r.p(1), __FILE__, __LINE__), (char *)out);
    } else if (f == "GetStringTh") {
      EXPECT_EQ(GetStringTh(r.p(0), (int)r.n(1), out, (int)r.n(2)), (char *)out);
      r.Wrote(out, 3, r.n(2));
      return true;
    } else if (f == "EatTrailing" || f == "EatString" || f == "EatTrailingStr" || f == "strupr" || f == "ToLowerCase" || f == "strlow") {
      const std::string area = r.s(0);
      memcpy(out, area.data(), area.size());
      char *at = out + r.n(1);
      const int len = (int)r.n(2);
      if (f == "EatTrailing") EatTrailing(at, len);
      if (f == "EatString") EatString(at, len);
      if (f == "EatTrailingStr") EatTrailingStr(at);
      if (f == "strupr") EXPECT_EQ(strupr(at), at);
      if (f == "ToLowerCase") ToLowerCase(at, len);
      if (f == "strlow") EXPECT_EQ(strlow(at), at);
    } else {
      return false;
    }
    const std::string want = r.s(r.c.words.size() - 1);
    EXPECT_EQ(std::string(out, want.size()), want);
    EXPECT_EQ(out[8], 'Q');
    return true;
  });
  EXPECT_EQ(known, 22);
  EXPECT_EQ(_StringCopy(nullptr, 8, "ab", __FILE__, __LINE__), nullptr);
}

}  // namespace
