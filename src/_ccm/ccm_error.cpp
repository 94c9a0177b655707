// The channel manager's error record and channel close reasons.
#include "ccm_error.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "zudnst.h"

namespace {
// Sets a message number and its insert (an error record's or a channel's).
void set_numbered(int *msgnr, char *insert, size_t size, int nr, const char *fmt, va_list ap) {
  *msgnr = nr;
  if (vsnprintf(insert, size, fmt, ap) < 0) insert[0] = '\0';
}
}  // namespace

void ccm_error_set(ccm_error_t *err, int msgnr, const char *fmt, ...) {
  if (!err) return;
  va_list ap;
  va_start(ap, fmt);
  set_numbered(&err->msgnr, err->msginsert, sizeof err->msginsert, msgnr, fmt, ap);
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
  va_list ap;
  va_start(ap, fmt);
  set_numbered(&ch->msgnr, ch->msginsert, sizeof ch->msginsert, msgnr, fmt, ap);
  va_end(ap);
}

void ccm_channel_take_reason(ccm_channel_t *ch, const ccm_error_t *err) {
  if (!ch || !err) return;
  ch->msgnr = err->msgnr;
  StringCopy(ch->msginsert, sizeof ch->msginsert, err->msginsert);
}
