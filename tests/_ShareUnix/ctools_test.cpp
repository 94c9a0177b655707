#include "ctools.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include "common/data.h"

namespace {

TEST(TextTools, CallsOfTheTable) {
  const int known = wqtest::ForEachCall([](const std::string &f, wqtest::Row &r) {
    wqtest::Area out;
    if (f == "strip") {
      void (*const fns[])(char *) = {strip, rstrip, lstrip};
      for (int i = 0; i < 3; ++i) EXPECT_STREQ((fns[i](strcpy(out, r.p(0))), out), r.p(i + 1)) << i;
    } else if (f == "get_word_delimited") {
      EXPECT_EQ(get_word_delimited(r.p(0), '=', (int)r.n(1), out, (int)r.n(2)), r.n(3));
      r.Wrote(out, 4, r.n(2));
    }
    return f == "strip" || f == "get_word_delimited";
  });
  EXPECT_EQ(known, 16);
  strip(nullptr);
  char out[8], up[] = "a-b.c", part[] = "abcdef", rep[] = "[fe80::1]", path[] = "/usr/bin/wq_jpmd", dir[] = "dir/";
  EXPECT_EQ(get_variable_msg_field(out, "0123456789", 2, 3), 0);
  EXPECT_STREQ(out, "234");
  EXPECT_STREQ(strupper(up), "A-B.C");
  ToUpperCase(part, 3);
  EXPECT_STREQ(part, "ABCdef");
  str_replace_char(rep, '[', ' ');
  EXPECT_STREQ(str_replace_char(str_replace_char(rep, ']', ' '), '\0', 'z'), " fe80::1 ");
  EXPECT_TRUE(GetPName(path) == path + 9 && GetPName(path + 9) == path + 9 && *GetPName(dir) == '\0');
}

// Elapsed only when start + span lies strictly before now, read between two
// clock readings of the same second.
TEST(TextTools, TimerAndDescriptorList) {
  for (int tries = 0; tries < 100; ++tries) {
    struct timeval before = {}, after = {};
    gettimeofday(&before, nullptr);
    const int at_the_bound = is_timer_elapsed(before.tv_sec - 10, 10);
    const int before_it = is_timer_elapsed(before.tv_sec - 12, 10);
    gettimeofday(&after, nullptr);
    if (after.tv_sec != before.tv_sec) continue;
    EXPECT_EQ(at_the_bound * 10 + before_it, 1);
    break;
  }
  char work[1024];
  fd_set set;
  FD_ZERO(&set);
  EXPECT_EQ(fdset2string(work, &set, 10), work);
  EXPECT_STREQ(work, "");
  for (int fd : {0, 7, 3, 5, 12}) FD_SET(fd, &set);
  EXPECT_STREQ(fdset2string(work, &set, 7), "0,3,5,7");
  EXPECT_STREQ(fdset2string(work, &set, 12), "0,3,5,7,12");
  FD_ZERO(&set);
  for (int fd = 100; fd < 200; ++fd) FD_SET(fd, &set);
  memset(work, 'x', sizeof work);
  EXPECT_STREQ(fdset2string(work, &set, 199, 12), "100,101");  // "100,101,102," would fill all 12 bytes
  EXPECT_EQ(work[12], 'x');
}

}  // namespace
