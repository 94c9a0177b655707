// Trace and log output shared by the messenger and the channel manager.
//
// Trace lines go to standard output as "%.16X %s - %s" (thread id, local time
// text, formatted text) and only while the trace level is non-zero. Log
// messages carry a number and are handed to the current logger; the
// messenger's logger prints only number -1.
#pragma once

#include <atomic>

#include "wq_log.h"

// Trace level; 0 = off. Written by parameter parsing before any other thread
// exists, read by every thread.
extern std::atomic<int> trcFlag;

// The current logger (wq_log.h).
extern logger_function_t *default_logger;

// Returns the trace level.
int trc_level();

// Prints one trace line built from the printf format `text`; `_stdout` is
// ignored. Output longer than 2047 characters is cut.
int __trace_text(int _stdout, const char *text, ...) __attribute__((format(printf, 2, 3)));

// The start-up logger: prints "%d - %s" without line end for msgnr -1 only.
int messenger_logger(int msgnr, const char *msginsert);

// Console line: formats (bounded to 2047 characters), prints it with a line
// end and flushes standard output. Returns 0.
int mprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Hex dump of `len` bytes at `area` under a head line titled by `format`.
int trcdump(const void *area, int len, const char *format, ...) __attribute__((format(printf, 3, 4)));

// Limited dump; prints nothing.
int trcdump_limited(const void *area, int len, int limit, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// The trace convention, written once. Each macro costs one load of the trace
// level when tracing is off.
//   TRC_IN("(argc=%d)", argc)    ->  "<func>(argc=1) -->"
//   TRC_OUT("OK")                ->  "<func> <-- (OK)"
//   TRC("connect failed")        ->  "<func>:      connect failed"
#define WQ_TRACE_ON() (trcFlag.load(std::memory_order_relaxed) != 0)
#define TRC_IN(fmt, ...) \
  do { if (WQ_TRACE_ON()) __trace_text(0, "%s" fmt " -->", __func__ __VA_OPT__(,) __VA_ARGS__); } while (0)
#define TRC_OUT(fmt, ...) \
  do { if (WQ_TRACE_ON()) __trace_text(0, "%s <-- (" fmt ")", __func__ __VA_OPT__(,) __VA_ARGS__); } while (0)
#define TRC(fmt, ...) \
  do { if (WQ_TRACE_ON()) __trace_text(0, "%s:      " fmt, __func__ __VA_OPT__(,) __VA_ARGS__); } while (0)
// A trace line whose whole format is given by the caller (first argument is
// the function name, supplied here).
#define TRC_LINE(fmt, ...) \
  do { if (WQ_TRACE_ON()) __trace_text(0, fmt, __func__ __VA_OPT__(,) __VA_ARGS__); } while (0)
#define TRC_DUMP(area, len, fmt, ...) \
  do { if (WQ_TRACE_ON()) trcdump(area, len, fmt __VA_OPT__(,) __VA_ARGS__); } while (0)
