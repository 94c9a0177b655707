#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "_JobSource/stdout_capture.h"
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
    if (had_tz_) {
      setenv("TZ", old_tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

  // Prints the banner and checks the frame, the version line and that the
  // local and UTC time texts name the same moment near now. Returns the six
  // lines with both time texts replaced by "<local>" and "<utc>".
  std::vector<std::string> Banner() {
    time_t before = time(nullptr);
    std::string out = CaptureStdout([&] { EXPECT_EQ(printMelder(&ctx_), 0); });
    time_t after = time(nullptr);
    std::vector<std::string> lines = Lines(out);
    EXPECT_EQ(out.back(), '\n');
    if (lines.size() != 6) {
      ADD_FAILURE() << out;
      return lines;
    }
    EXPECT_EQ(lines[0], kStars);
    EXPECT_EQ(lines[5], kStars);
    const std::string utc_head = "**                                   UTC TIME   ";
    if (!wqtest::FitsMask(lines[3], utc_head + "##.##.#### / ##:##:## **")) {
      ADD_FAILURE() << lines[3];
      return lines;
    }
    std::string utc = lines[3].substr(utc_head.size(), 21);
    struct tm tm = {};
    sscanf(utc.c_str(), "%d.%d.%d / %d:%d:%d", &tm.tm_mday, &tm.tm_mon, &tm.tm_year, &tm.tm_hour, &tm.tm_min,
           &tm.tm_sec);
    tm.tm_mon -= 1;
    tm.tm_year -= 1900;
    time_t t = timegm(&tm);
    EXPECT_GE(t, before);
    EXPECT_LE(t, after);
    time_t local_as_utc = t + 3 * 3600;
    struct tm lt;
    gmtime_r(&local_as_utc, &lt);
    char local[64];
    snprintf(local, sizeof local, "%02d.%02d.%04d / %02d:%02d:%02d", lt.tm_mday, lt.tm_mon + 1, lt.tm_year + 1900,
             lt.tm_hour, lt.tm_min, lt.tm_sec);
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

TEST_F(Report, DefaultIsRestartWithEmptyText) {
  std::vector<std::string> lines = Banner();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[1], kVersionLine);
  EXPECT_EQ(lines[2], "**  JOB 00000000 (ProcID:" + Pid() + ") RESTART AT <local> **");
  EXPECT_EQ(lines[3], "**                                   UTC TIME   <utc> **");
  EXPECT_EQ(lines[4], "**  TEXT=\"" + std::string(32, ' ') + "\"                           **");
  EXPECT_EQ(wPid, (int)getppid());
}

TEST_F(Report, EndReportShowsReturnCode) {
  ctx_.melder_type = 'E';
  ctx_.jobnri = 42;
  ctx_.reti = 3;
  strcpy(ctx_.info_text, "done");
  std::vector<std::string> lines = Banner();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[2], "**  JOB 00000042 (ProcID:" + Pid() + ") ENDED AT   <local> **");
  EXPECT_EQ(lines[4], "**  TEXT=\"done                            \"  RETCODE=03               **");
}

TEST_F(Report, StartAndOtherKinds) {
  ctx_.melder_type = 'S';
  ctx_.jobnri = 123456789;  // wider than eight digits: widens the line
  std::vector<std::string> lines = Banner();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[2], "**  JOB 123456789 (ProcID:" + Pid() + ") START AT   <local> **");
  EXPECT_EQ(lines[4], "**  TEXT=\"" + std::string(32, ' ') + "\"                           **");

  // Below '0', and lower-case 'e': restart with the plain text line.
  for (char kind : {'#', 'e', '\0'}) {
    ctx_.melder_type = kind;
    lines = Banner();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[2], "**  JOB 123456789 (ProcID:" + Pid() + ") RESTART AT <local> **") << (int)kind;
    EXPECT_EQ(lines[4], "**  TEXT=\"" + std::string(32, ' ') + "\"                           **");
  }
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

TEST_F(Report, VariableLineShowsNullForEmptyParts) {
  ctx_.var_type = 'X';
  EXPECT_EQ(CaptureStdout([&] { EXPECT_EQ(printRegisteredVariable(&ctx_), 0); }),
            "Registered variable: 'X' NULL=NULL\n");
  strcpy(ctx_.var_name, "COUNT");
  EXPECT_EQ(CaptureStdout([&] { printRegisteredVariable(&ctx_); }), "Registered variable: 'X' COUNT=NULL\n");
  ctx_.var_name[0] = '\0';
  strcpy(ctx_.var_value, "17");
  ctx_.var_type = 'N';
  EXPECT_EQ(CaptureStdout([&] { printRegisteredVariable(&ctx_); }), "Registered variable: 'N' NULL=17\n");
}

TEST_F(Report, VariableTypeDoesNotDependOnTheLocale) {
  strcpy(ctx_.var_name, "A");
  strcpy(ctx_.var_value, "b");
  const char *had = setlocale(LC_ALL, nullptr);
  std::string saved = had ? had : "C";
  setlocale(LC_ALL, "C.UTF-8");
  ctx_.var_type = 'S';
  std::string ascii = CaptureStdout([&] { printRegisteredVariable(&ctx_); });
  ctx_.var_type = (char)0xE4;
  std::string high = CaptureStdout([&] { printRegisteredVariable(&ctx_); });
  setlocale(LC_ALL, saved.c_str());
  EXPECT_EQ(ascii, "Registered variable: 'S' A=b\n");
  EXPECT_EQ(high, "Registered variable: '\xE4' A=b\n");
  // No VTYPE: the rest of the line is still shown.
  ctx_.var_type = '\0';
  EXPECT_EQ(CaptureStdout([&] { printRegisteredVariable(&ctx_); }), "Registered variable: '' A=b\n");
}

}  // namespace
