#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <clocale>

#include "common/data.h"
#include "wq_jpmd.h"
#include "zudnst.h"

void StartMessenger(PCX *ctx, std::vector<std::string> words) {
  initialize_messenger(ctx);
  StringCopy(ctx->program_name, sizeof ctx->program_name, "wq_jpmd");
  words.insert(words.begin(), "wq_jpmd");
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(w.data());
  parse_arguments(ctx, (int)argv.size(), argv.data());
}

namespace {

// The reports of data/report.txt, in a zone three hours east of UTC without
// summer time, so that local and UTC times differ by a known amount.
TEST(Report, EveryFormByteForByte) {
  setenv("TZ", "XYZ-3", 1);
  tzset();
  char ppid[16];
  snprintf(ppid, sizeof ppid, "%010i", (int)getppid());
  int cases = 0;
  for (const wqtest::DataCase &c : wqtest::ReadData("report.txt")) {
    PCX ctx;
    StartMessenger(&ctx, c.words);
    struct timeval before = {}, after = {};
    gettimeofday(&before, nullptr);
    int rc = 0;
    const std::string out = wqtest::CaptureStdout([&] {
      rc = c.name == "banner"    ? printMelder(&ctx)
           : c.name == "outfile" ? printOutputViewReport(&ctx)
                                 : printRegisteredVariable(&ctx);
    });
    gettimeofday(&after, nullptr);
    const std::string where = c.name + " " + (c.words.empty() ? "" : c.words[0]);
    EXPECT_EQ(rc, out.empty() ? -1 : 0) << where;
    EXPECT_EQ(wqtest::Misfit(out, wqtest::Fill(c.text, {{"PPID", ppid}})), "") << where << "\n" << out;
    if (c.name != "banner" || ++cases > 1) continue;
    // The UTC time is the moment of the call; the local time is three hours on.
    const std::vector<std::string> lines = wqtest::Lines(out);
    ASSERT_EQ(lines.size(), 6u);
    struct tm tm = {};
    strptime(lines[3].substr(49, 21).c_str(), "%d.%m.%Y / %H:%M:%S", &tm);
    const time_t t = timegm(&tm), local = t + 3 * 3600;
    char text[32];
    strftime(text, sizeof text, "%d.%m.%Y / %H:%M:%S", gmtime(&local));
    EXPECT_TRUE(t >= before.tv_sec && t <= after.tv_sec && lines[2].substr(lines[2].size() - 24, 21) == text) << out;
  }
  EXPECT_EQ(cases, 7);
  setlocale(LC_ALL, "C.UTF-8");  // the variable type is one byte whatever the locale
  PCX ctx;
  StartMessenger(&ctx, {"NAME=A", "VALUE=b"});
  ctx.var_type = (char)0xE4;
  EXPECT_EQ(wqtest::CaptureStdout([&] { printRegisteredVariable(&ctx); }), "Registered variable: '\xE4' A=b\n");
}

}  // namespace
