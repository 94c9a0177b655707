#include "wq_headm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(MessageHead, FieldsAtTheirOffsetsAndShortTypeZeroPadded) {
  WQ_HEADM head;
  memset(&head, 0xEE, sizeof head);
  CreateWqHeadm(&head, "MELD    ", 0x12345, 7);
  unsigned char raw[16];
  memcpy(raw, &head, sizeof raw);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(raw), 10), "MELD    03");
  EXPECT_EQ(raw[10] | raw[11] << 8, 0x2345);  // low 16 bits of the client, host order
  EXPECT_EQ(head.i4UsrIdNr, 7u);
  CreateWqHeadm(&head, "AB", -1, 0);
  EXPECT_EQ(std::string(head.msg_typ, 8), std::string("AB\0\0\0\0\0\0", 8));
  EXPECT_EQ(head.i2Mandant, 0xFFFF);
  EXPECT_EQ(head.i4UsrIdNr, 0u);
}

}  // namespace
