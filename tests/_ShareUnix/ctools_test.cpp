#include "ctools.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(TextTools, StripCaseReplaceNameAndTimer) {
  struct Row { const char *in, *both, *right, *left; };
  for (const Row &r : {Row{"  a b  ", "a b", "  a b", "a b  "}, Row{"    ", "", "", ""}, Row{"", "", "", ""},
                       Row{"\tx\t", "\tx\t", "\tx\t", "\tx\t"}}) {  // only the blank is white space
    char s[16], rs[16], ls[16];
    strip(strcpy(s, r.in));
    rstrip(strcpy(rs, r.in));
    lstrip(strcpy(ls, r.in));
    EXPECT_EQ(std::string(s) + "|" + rs + "|" + ls, std::string(r.both) + "|" + r.right + "|" + r.left) << r.in;
  }
  strip(nullptr);
  char out[8];
  EXPECT_EQ(get_variable_msg_field(out, "0123456789", 2, 3), 0);
  EXPECT_STREQ(out, "234");
  char up[] = "a-b.c", part[] = "abcdef", rep[] = "[fe80::1]", path[] = "/usr/bin/wq_jpmd", dir[] = "dir/";
  EXPECT_STREQ(strupper(up), "A-B.C");
  ToUpperCase(part, 3);
  EXPECT_STREQ(part, "ABCdef");
  str_replace_char(rep, '[', ' ');
  EXPECT_STREQ(str_replace_char(rep, ']', ' '), " fe80::1 ");
  EXPECT_STREQ(str_replace_char(rep, '\0', 'z'), " fe80::1 ");
  EXPECT_EQ(GetPName(path), path + 9);
  EXPECT_EQ(GetPName(path + 9), path + 9);
  EXPECT_STREQ(GetPName(dir), "");
  // Elapsed only when start + span lies strictly before now: read the clock
  // on both sides of the call until both readings agree.
  for (int tries = 0; tries < 100; ++tries) {
    const time_t before = time(nullptr);
    const int at_the_bound = is_timer_elapsed(before - 10, 10);
    if (time(nullptr) != before) continue;
    EXPECT_EQ(at_the_bound, 0);
    EXPECT_EQ(is_timer_elapsed(before - 11, 10), 1);
    break;
  }
}

TEST(TextTools, DescriptorListCutToWholeNumbers) {
  char work[1024];
  fd_set set;
  FD_ZERO(&set);
  memset(work, 'x', sizeof work);
  EXPECT_EQ(fdset2string(work, &set, 10), work);
  EXPECT_STREQ(work, "");
  for (int fd : {0, 7, 3, 5, 12}) FD_SET(fd, &set);
  EXPECT_STREQ(fdset2string(work, &set, 7), "0,3,5,7");
  EXPECT_STREQ(fdset2string(work, &set, 12), "0,3,5,7,12");
  FD_ZERO(&set);
  for (int fd = 100; fd < 200; ++fd) FD_SET(fd, &set);
  char small[13];
  memset(small, 'x', sizeof small);
  fdset2string(small, &set, 199, 12);
  EXPECT_STREQ(small, "100,101");  // "100,101,102," would fill all 12 bytes
  EXPECT_EQ(small[12], 'x');
}

TEST(TextTools, WordsOfADelimitedText) {
  struct Row { const char *text; int word; size_t size; int result; const char *dst; };  // word < 0: the rest
  const Row rows[] = {
      {"KEY=a=b", 1, 16, 3, "KEY"}, {"KEY=a=b", -2, 16, 3, "a=b"}, {"KEY=a=b", 3, 16, 1, "b"},
      {"KEY=a=b", 4, 16, 0, ""},    {"plain", 1, 16, 5, "plain"},  {"plain", -2, 16, 0, ""},
      {"=x", 1, 16, 0, ""},         {"a==c", 3, 16, 1, "c"},       {"KEY=", -2, 16, 0, ""},
      // Longer than the area: size - 1 characters kept, the size counted.
      {"ABCDEFGHIJ=v", 1, 8, 8, "ABCDEFG"}, {"ABCDEFG", 1, 8, 7, "ABCDEFG"}, {"K=0123456789", -2, 8, 7, "0123456"}};
  for (const Row &r : rows) {
    char dst[24];
    memset(dst, 'x', sizeof dst);
    EXPECT_EQ(get_word_delimited(r.text, '=', r.word, dst, r.size), r.result) << r.text << " " << r.word;
    EXPECT_STREQ(dst, r.dst) << r.text << " " << r.word;
    EXPECT_EQ(dst[r.size], 'x');
  }
}

}  // namespace
