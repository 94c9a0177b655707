#include "wq_trace.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include "common/data.h"
#include "common/log.h"
#include "zudnst_codepage.h"

namespace {

using namespace wqtest;

void traced_function(int x) {
  TRC_IN("(x=%d)", x);
  TRC("%-10s : '%s'", "label", "value");
  TRC_LINE("%s <-- (result=%d)", x);
  TRC_OUT("OK");
}

// Trace lines: their head, the macros, the bound, nothing when tracing is off.
// Log and console lines: bounded, the messenger's logger on the console, or
// another logger instead.
TEST(TraceAndLog, LineFormatsMacrosBoundsAndLoggers) {
  trcFlag.store(1);
  std::string out = CaptureStdout([] { __trace_text(0, "hello %d", 5); });
  char tid[32];
  snprintf(tid, sizeof tid, "%.16X", (unsigned int)(uintptr_t)pthread_self());
  EXPECT_TRUE(FitsMask(out, tid + kTraceHeadMask.substr(16) + "hello 5\n")) << out;
  EXPECT_EQ(TraceTexts(CaptureStdout([] { traced_function(3); })),
            (std::vector<std::string>{"traced_function(x=3) -->", "traced_function:      label      : 'value'",
                                      "traced_function <-- (result=3)", "traced_function <-- (OK)"}));
  const std::string big(5000, 'q');
  out = CaptureStdout([&] { __trace_text(0, "%s", big.c_str()); });
  EXPECT_TRUE(FitsMask(out, kTraceHeadMask + big.substr(0, 2047) + "\n")) << out.size();
  trcFlag.store(0);
  EXPECT_EQ(CaptureStdout([] { traced_function(3); }), "");
  std::vector<int> rcs;  // in the order of the calls
  EXPECT_EQ(CaptureStdout([&] {
              rcs = {__log(-1, "IPC message (%s) is not known", "XY"), __log(2000134, "dropped"), mprintf("line %d", 1),
                     mprintf("%s", big.c_str()), __log_set_logger(messenger_logger)};
            }),
            "-1 - IPC message (XY) is not known" "line 1\n" + big.substr(0, 2047) + "\n");
  EXPECT_EQ(rcs, std::vector<int>(5, 0));
  LogRecorder recorder;
  EXPECT_EQ(CaptureStdout([&] { __log(42, "%s", big.c_str()); }), "");
  EXPECT_EQ(recorder.entries(), LogRecorder::Entries({{42, big.substr(0, 2047)}}));
}

unsigned char Swap(int from, unsigned char c) { return Swapcode(from, 1 - from, &c, 1), c; }

// Every code that has a counterpart goes there and back unchanged in one call
// over an area; equal codes change nothing.
TEST(CharacterCode, PairsExceptionsAndRoundTrip) {
  CheckCalls({{"Swapcode", [](Row &r, Area &) { EXPECT_EQ(Swap((int)r.n(0), r.ch(1)), (unsigned char)r.ch(2)); }}}, 116);
  for (int from : {0, 1}) {
    unsigned char area[256];
    for (int i = 0; i < 256; ++i) area[i] = (unsigned char)i;
    Swapcode(from, from, area, 256), Swapcode(from, 1 - from, area, 256), Swapcode(1 - from, from, area, 256);
    for (int i = 0; i < 256; ++i) EXPECT_TRUE(area[i] == i || Swap(from, (unsigned char)i) == 0xFF) << from << " " << i;
  }
}

}  // namespace
