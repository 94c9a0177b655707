// The channel manager's error record and channel close reasons.
#include "ccm_error.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "zudnst.h"

namespace {
void format_insert(char *insert, size_t size, const char *fmt, va_list ap) {
  if (vsnprintf(insert, size, fmt, ap) < 0) insert[0] = '\0';
}
}  // namespace

void ccm_error_set(ccm_error_t *err, int msgnr, const char *fmt, ...) {
  if (!err) return;
  err->msgnr = msgnr;
  va_list ap;
  va_start(ap, fmt);
  format_insert(err->msginsert, sizeof err->msginsert, fmt, ap);
  va_end(ap);
}

void ccm_error_clear(ccm_error_t *err) {
  if (err) memset(err, 0, sizeof *err);
}

void ccm_error_alloc(ccm_error_t *err, const char *tag, const char *unit, int line) {
  ccm_error_set(err, CCM_MSGNR_ALLOC, "%s/%s(%d)", tag, unit, line);
}

void ccm_channel_set_reason(ccm_channel_t *ch, int msgnr, const char *fmt, ...) {
  if (!ch) return;
  ch->msgnr = msgnr;
  va_list ap;
  va_start(ap, fmt);
  format_insert(ch->msginsert, sizeof ch->msginsert, fmt, ap);
  va_end(ap);
}

void ccm_channel_take_reason(ccm_channel_t *ch, const ccm_error_t *err) {
  if (!ch || !err) return;
  ch->msgnr = err->msgnr;
  StringCopy(ch->msginsert, sizeof ch->msginsert, err->msginsert);
}
