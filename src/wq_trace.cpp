// Trace lines, log messages, console lines and hex dumps.
#include "wq_trace.h"

#include <pthread.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "zudnst_dump.h"
#include "zutime.h"

std::atomic<int> trcFlag{0};
logger_function_t *default_logger = messenger_logger;

namespace {
constexpr size_t kLineSize = 2048;
}  // namespace

int trc_level() { return trcFlag.load(std::memory_order_relaxed); }

int __trace_text(int /*_stdout*/, const char *text, ...) {
  char line[kLineSize] = "";  // stays empty if formatting fails
  va_list ap;
  va_start(ap, text);
  vsnprintf(line, sizeof line, text, ap);
  va_end(ap);
  DATUM_BUFF dt;
  GetDatumZeit2(nullptr, &dt);
  // The thread id is shown as an unsigned 32-bit value.
  unsigned int tid = (unsigned int)(uintptr_t)pthread_self();
  printf("%.16X %s - %s\n", tid, dt.dt_xdat, line);
  return 0;
}

int __log(int msgnr, const char *insert, ...) {
  char text[kLineSize] = "";
  va_list ap;
  va_start(ap, insert);
  vsnprintf(text, sizeof text, insert, ap);
  va_end(ap);
  logger_function_t *logger = default_logger;
  if (logger) logger(msgnr, text);
  return 0;
}

int __log_set_logger(logger_function_t *function_pointer) {
  default_logger = function_pointer;
  return 0;
}

int messenger_logger(int msgnr, const char *msginsert) {
  if (msgnr == -1) printf("%d - %s", msgnr, msginsert);
  return 0;
}

int mprintf(const char *format, ...) {
  char line[kLineSize] = "";  // stays empty if formatting fails
  va_list ap;
  va_start(ap, format);
  vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  printf("%s\n", line);
  fflush(stdout);
  return 0;
}

int trcdump(const void *area, int len, const char *format, ...) {
  char insert[1024] = "";
  va_list ap;
  va_start(ap, format);
  vsnprintf(insert, sizeof insert, format, ap);
  va_end(ap);

  DATUM_BUFF dt;
  GetDatumZeit2(nullptr, &dt);
  // Head record: title, blanks to column 70, then address and length written
  // from column 68 on (over the last blanks and any longer title).
  char head[512];
  int n = snprintf(head, sizeof head, "%s U0009909 TRACE: (%s)", dt.dt_xdat, insert);
  if (n < 0) n = 0;
  if (n > (int)sizeof head - 1) n = (int)sizeof head - 1;
  while (n < 70) head[n++] = ' ';
  head[n] = '\0';
  snprintf(head + 68, sizeof head - 68, len >= 0 ? "%p %.5d" : "%p %.4d", area, len);
  printf("%s\n", head);

  // The dump lines, 20 columns in; the hex of a dump shorter than one line
  // is padded to 61 columns.
  ZUMEM_DumpLines(area, len, 20, 61, [](const char *line, void *) { fputs(line, stdout); }, nullptr);
  return 0;
}

int trcdump_limited(const void *, int, int, const char *, ...) { return 0; }
