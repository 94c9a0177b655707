#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/capture.h"
#include "wq_jpmd.h"
#include "zudnst.h"

extern int wPid;

namespace {

using wqtest::CaptureStdout;
using wqtest::Lines;

const std::string kStars(72, '*');
const std::string kVersionLine = "**  wq_jpmd    version 12.2.0+build.2108        changelist 1530016094 **";

// Three hours east of UTC without summer time, so that local and UTC times
// differ by a known amount all year.
class Report : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *old = getenv("TZ");
    had_tz_ = old != nullptr;
    if (had_tz_) old_tz_ = old;
    setenv("TZ", "XYZ-3", 1);
    tzset();
    initialize_messenger(&ctx_);
    _StringCopy(ctx_.program_name, sizeof ctx_.program_name, "wq_jpmd", __FILE__, __LINE__);
  }
  void TearDown() override {
    had_tz_ ? setenv("TZ", old_tz_.c_str(), 1) : unsetenv("TZ");
    tzset();
  }

  // Prints the banner and checks the frame and that the local and UTC time
  // texts name the same moment near now. Returns the six lines with both
  // time texts replaced by "<local>" and "<utc>".
  std::vector<std::string> Banner() {
    // Two readings of the wall clock around the banner (time() may lag
    // gettimeofday by a clock tick, so it is no bound).
    struct timeval tv_before = {}, tv_after = {};
    gettimeofday(&tv_before, nullptr);
    std::string out = CaptureStdout([&] { EXPECT_EQ(printMelder(&ctx_), 0); });
    gettimeofday(&tv_after, nullptr);
    const time_t before = tv_before.tv_sec, after = tv_after.tv_sec;
    std::vector<std::string> lines = Lines(out);
    const std::string utc_head = "**                                   UTC TIME   ";
    if (out.back() != '\n' || lines.size() != 6 || lines[0] != kStars || lines[5] != kStars ||
        !wqtest::FitsMask(lines[3], utc_head + "##.##.#### / ##:##:## **")) {
      ADD_FAILURE() << out;
      return {};
    }
    struct tm tm = {};
    strptime(lines[3].c_str() + utc_head.size(), "%d.%m.%Y / %H:%M:%S", &tm);
    time_t t = timegm(&tm);
    EXPECT_TRUE(t >= before && t <= after) << lines[3];
    time_t local_as_utc = t + 3 * 3600;
    char local[64];
    strftime(local, sizeof local, "%d.%m.%Y / %H:%M:%S", gmtime(&local_as_utc));
    lines[3].replace(utc_head.size(), 21, "<utc>");
    size_t at = lines[2].find(local);
    if (at != std::string::npos) lines[2].replace(at, strlen(local), "<local>");
    return lines;
  }

  std::string Pid() {
    char buf[16];
    snprintf(buf, sizeof buf, "%010i", (int)getppid());
    return buf;
  }

  PCX ctx_;

 private:
  bool had_tz_ = false;
  std::string old_tz_;
};

TEST_F(Report, JobLineByKindAndTextLine) {
  const std::string blank_text = "**  TEXT=\"" + std::string(32, ' ') + "\"                           **";
  struct Case {
    char kind;
    int job;
    const char *head;
    std::string text_line;
  };
  const std::vector<Case> cases = {
      {'U', 0, "**  JOB 00000000 (ProcID:", blank_text},
      {'E', 42, "**  JOB 00000042 (ProcID:",
       "**  TEXT=\"done                            \"  RETCODE=03               **"},
      {'S', 123456789, "**  JOB 123456789 (ProcID:", blank_text},  // wider than eight digits
      {'#', 1, "**  JOB 00000001 (ProcID:", blank_text},          // below '0': restart
      {'e', 1, "**  JOB 00000001 (ProcID:", blank_text},
      {'\0', 1, "**  JOB 00000001 (ProcID:", blank_text}};
  for (const Case &c : cases) {
    ctx_.melder_type = c.kind;
    ctx_.jobnri = c.job;
    ctx_.reti = 3;
    strcpy(ctx_.info_text, c.kind == 'E' ? "done" : "");
    std::vector<std::string> lines = Banner();
    ASSERT_EQ(lines.size(), 6u);
    const char *what = c.kind == 'E' ? ") ENDED AT   " : c.kind == 'S' ? ") START AT   " : ") RESTART AT ";
    EXPECT_EQ(lines[1], kVersionLine);
    EXPECT_EQ(lines[2], c.head + Pid() + what + "<local> **") << (int)c.kind;
    EXPECT_EQ(lines[3], "**                                   UTC TIME   <utc> **");
    EXPECT_EQ(lines[4], c.text_line) << (int)c.kind;
  }
  EXPECT_EQ(wPid, (int)getppid());
}

TEST_F(Report, SnoozeAndWakeupShowConnectionParameters) {
  ctx_.melder_type = '0';
  strcpy(ctx_.ipAddr, "10.1.2.3");
  ctx_.portnri = 4711;
  std::vector<std::string> lines = Banner();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[2], "**  SNOOZE-Message, TCP/IP = '10.1.2.3       ' PNR=4711             **");
  EXPECT_EQ(lines[4], "**  parameters           : RETRY=03, WAIT=120                        **");

  ctx_.melder_type = '1';
  strcpy(ctx_.ipAddr, "fe80::1234:5678:9abc");
  ctx_.connect_retry = 1;
  ctx_.connect_wait = 5;
  lines = Banner();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[2], "**  WAKEUP-Message, TCP/IP = 'fe80::1234:5678:9abc' PNR=4711             **");
  EXPECT_EQ(lines[4], "**  parameters           : RETRY=01, WAIT=05                        **");
}

TEST_F(Report, LongFieldsWidenTheirLines) {
  std::string name(30, 'n');
  _StringCopy(ctx_.program_name, sizeof ctx_.program_name, name.c_str(), __FILE__, __LINE__);
  std::string text(63, 't');
  _StringCopy(ctx_.info_text, sizeof ctx_.info_text, text.c_str(), __FILE__, __LINE__);
  std::vector<std::string> lines = Banner();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[1], "**  " + name + " version 12.2.0+build.2108        changelist 1530016094 **");
  EXPECT_EQ(lines[4], "**  TEXT=\"" + text + "\"                           **");
}

TEST_F(Report, OutputFileLineIsFollowedByAnEmptyLine) {
  ctx_.melder_type = 'O';
  ctx_.output_login = 'Y';
  strcpy(ctx_.output_file, "/tmp/job.out");
  std::string out = CaptureStdout([&] { EXPECT_EQ(printOutputViewReport(&ctx_), 0); });
  ASSERT_GT(out.size(), 19u);
  EXPECT_TRUE(wqtest::FitsMask(out.substr(0, 19), "########/######.###")) << out;
  EXPECT_EQ(out.substr(19), " WQ8 messenger 'wq_jpmd', login check 'Y', registered output file '/tmp/job.out'\n\n");

  ctx_.output_file[0] = '\0';
  EXPECT_EQ(CaptureStdout([&] { EXPECT_EQ(printOutputViewReport(&ctx_), -1); }), "");
}

TEST_F(Report, VariableLineShowsNullForEmptyPartsWhateverTheLocale) {
  struct Case {
    const char *name, *value;
    char type;
    const char *line;
  };
  const char *had = setlocale(LC_ALL, nullptr);
  std::string saved = had ? had : "C";
  setlocale(LC_ALL, "C.UTF-8");
  std::vector<std::string> got;
  const std::vector<Case> cases = {{"", "", 'X', "Registered variable: 'X' NULL=NULL\n"},
                                   {"COUNT", "", 'X', "Registered variable: 'X' COUNT=NULL\n"},
                                   {"", "17", 'N', "Registered variable: 'N' NULL=17\n"},
                                   {"A", "b", (char)0xE4, "Registered variable: '\xE4' A=b\n"},
                                   {"A", "b", '\0', "Registered variable: '' A=b\n"}};
  for (const Case &c : cases) {
    strcpy(ctx_.var_name, c.name);
    strcpy(ctx_.var_value, c.value);
    ctx_.var_type = c.type;
    got.push_back(CaptureStdout([&] { printRegisteredVariable(&ctx_); }));
  }
  setlocale(LC_ALL, saved.c_str());
  for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(got[i], cases[i].line);
}

}  // namespace
