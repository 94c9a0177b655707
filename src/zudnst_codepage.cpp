// Character code conversion: the table pair of ToAscii/ToEbcdic, tables built
// from a code description, and conversion of an area through any table.
#include "zudnst_codepage.h"

#include "wq_trace.h"

namespace {
// kAsciiToEbcdic and kEbcdicToAscii, generated from the cp037 codec.
#include "zudnst_codepage_tables.inc"
// ebcdic2ascii and ascii2ebcdic: EBCDIC 273 and PC code page 850, for Swapcode.
#include "swapcode_tables.inc"

constexpr unsigned char kValid = 0x01;         // attribute bit 0
constexpr unsigned char kSubstitution = 0x02;  // attribute bit 1
constexpr unsigned char kDefaultSubstitution = 0x20;

void convert_in_place(char *Text, int textLength, const unsigned char *table) {
  if (!Text || textLength <= 0) return;
  unsigned char *p = reinterpret_cast<unsigned char *>(Text);
  for (int i = 0; i < textLength; ++i) p[i] = table[p[i]];
}
}  // namespace

void ToAscii(char *Text, int textLength) {
  TRC_IN("(len=%d)", textLength);
  convert_in_place(Text, textLength, kEbcdicToAscii);
  TRC_OUT("OK");
}

void ToEbcdic(char *Text, int textLength) {
  TRC_IN("(len=%d)", textLength);
  convert_in_place(Text, textLength, kAsciiToEbcdic);
  TRC_OUT("OK");
}

void SetCodeTab(unsigned char *cCodeTab, const unsigned char *InpCode) {
  TRC_IN("()");
  if (!cCodeTab || !InpCode) {
    TRC_OUT("no table");
    return;
  }
  const unsigned char *target = InpCode;
  const unsigned char *attribute = InpCode + 256;

  unsigned char substitution = kDefaultSubstitution;
  for (int i = 0; i < 256; ++i) {
    if (attribute[i] & kSubstitution) {
      substitution = target[i];
      break;  // the lowest such value decides
    }
  }
  for (int i = 0; i < 256; ++i) cCodeTab[i] = (attribute[i] & kValid) ? target[i] : substitution;
  TRC_OUT("OK");
}

int AreaConv(unsigned char *OutArea, const unsigned char *ConvArea, int AreaLen, const unsigned char *cCodeTab) {
  TRC_IN("(len=%d)", AreaLen);
  if (!OutArea || !ConvArea || !cCodeTab || AreaLen <= 0) {
    TRC_OUT("nothing to convert");
    return 0;
  }
  for (int i = 0; i < AreaLen; ++i) OutArea[i] = cCodeTab[ConvArea[i]];
  TRC_OUT("OK");
  return AreaLen;
}

int OwnCode() { return 1; }

void Swapcode(int srccode, int trgcode, unsigned char *from, int size) {
  if (srccode == trgcode || !from) return;
  const unsigned char *table = trgcode == 0 ? ascii2ebcdic : ebcdic2ascii;
  for (int i = 0; i < size; ++i) from[i] = table[from[i]];
}
