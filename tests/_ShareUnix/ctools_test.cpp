#include "ctools.h"

#include <gtest/gtest.h>

#include <sstream>

#include "common/data.h"

namespace {

// The members of a descriptor set written "3:5:100-199" ("-": none).
fd_set *Members(const std::string &text, fd_set *set) {
  FD_ZERO(set);
  std::istringstream in(text == "-" ? "" : text);
  for (std::string range; std::getline(in, range, ':');)
    for (int fd = std::stoi(range); fd <= std::stoi(range.substr(range.find('-') + 1)); ++fd) FD_SET(fd, set);
  return set;
}

TEST(TextTools, CallsOfTheTable) {
  const int known = wqtest::ForEachCall([](const std::string &f, wqtest::Row &r) {
    wqtest::Area out;
    const auto in_area = [&] { return r.p(0) ? strcpy(out, r.p(0)) : nullptr; };  // the first word
    char *const in = f == "strupper" || f == "str_replace_char" || f == "GetPName" ? in_area() : nullptr;
    fd_set set;
    if (f == "strip") {
      void (*const fns[])(char *) = {strip, rstrip, lstrip};
      for (int i = 0; i < 3; ++i) {
        char *text = in_area();
        fns[i](text);
        EXPECT_STREQ(text, r.p(i + 1)) << i;
      }
    } else if (f == "get_word_delimited") {
      EXPECT_EQ(get_word_delimited(r.p(0), '=', (int)r.n(1), out, (int)r.n(2)), r.n(3));
      r.Wrote(out, 4, r.n(2));
    } else if (f == "get_variable_msg_field") {
      EXPECT_EQ(get_variable_msg_field(out, r.p(0), (int)r.n(1), (int)r.n(2)), 0);
      r.Wrote(out, 3, 8);
    } else if (f == "strupper" || f == "str_replace_char") {
      EXPECT_EQ(f == "strupper" ? strupper(in) : str_replace_char(in, r.ch(1), r.ch(2)), in);
      if (in) r.Wrote(out, f == "strupper" ? 1 : 3, (long long)r.s(0).size() + 1);
    } else if (f == "ToUpperCase") {
      ToUpperCase(in_area(), (int)r.n(1));
      r.Wrote(out, 2, (long long)r.s(0).size() + 1);
    } else if (f == "GetPName") {
      EXPECT_EQ(GetPName(in) - in, r.n(1));
    } else if (f == "is_timer_elapsed") {  // START counts from now; again when a second began meanwhile
      int elapsed = -1;
      for (time_t now = 0; now != time(nullptr);) elapsed = is_timer_elapsed((now = time(nullptr)) + r.n(0), (int)r.n(1));
      EXPECT_EQ(elapsed, r.n(2));
    } else if (f == "fdset2string") {
      EXPECT_EQ(fdset2string(out, Members(r.c.words[0], &set), (int)r.n(1), (size_t)r.n(2)), (char *)out);
      r.Wrote(out, 3, r.n(2));
    } else {
      return false;
    }
    return true;
  });
  EXPECT_EQ(known, 37);
}

}  // namespace
