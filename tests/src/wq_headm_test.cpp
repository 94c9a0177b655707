#include "wq_headm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(MessageHead, FieldsAtTheirOffsets) {
  unsigned char raw[16];
  memset(raw, 0xEE, sizeof raw);
  WQ_HEADM head;
  memset(&head, 0xEE, sizeof head);
  CreateWqHeadm(&head, "MELD    ", 0x12345, 7);
  memcpy(raw, &head, sizeof raw);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(raw), 10), "MELD    03");
  // Low 16 bits of the client number, host order.
  EXPECT_EQ(head.i2Mandant, 0x2345);
  EXPECT_EQ(raw[10], 0x45);
  EXPECT_EQ(raw[11], 0x23);
  EXPECT_EQ(head.i4UsrIdNr, 7u);
}

TEST(MessageHead, ShortTypeIsZeroPadded) {
  WQ_HEADM head;
  memset(&head, 0xEE, sizeof head);
  CreateWqHeadm(&head, "AB", -1, 0);
  EXPECT_EQ(std::string(head.msg_typ, 8), std::string("AB\0\0\0\0\0\0", 8));
  EXPECT_EQ(head.i2Mandant, 0xFFFF);
  EXPECT_EQ(head.i4UsrIdNr, 0u);
}

}  // namespace
