#include "zudnst.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(StringCopy, CutsAndAlwaysTerminates) {
  char buf[8];
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(_StringCopy(buf, 4, "abcdef", __FILE__, __LINE__), buf);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(buf[3], '\0');
  _StringCopy(buf, 8, "ab", __FILE__, __LINE__);
  EXPECT_STREQ(buf, "ab");
  _StringCopy(buf, 8, nullptr, __FILE__, __LINE__);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(_StringCopy(nullptr, 8, "ab", __FILE__, __LINE__), nullptr);
}
