// Filling the caller's error record and a channel's close reason: the one
// way the channel manager reports a failure. Private to the channel manager.
#pragma once

#include "ccm.h"
#include "ctools.h"  // wq_strerror, the error texts of the inserts

// Source unit names in the 3301 insert.
inline constexpr const char kCcmUnit[] = "src/_ccm/ccm";
inline constexpr const char kCcmMsgUnit[] = "src/_ccm/ccmmsg";

// Sets `err->msgnr` and formats `err->msginsert` (cut at 1023 characters);
// `xerrno` stays as it is. A null `err` is left alone.
void ccm_error_set(ccm_error_t *err, int msgnr, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// Clears the whole record. Null: nothing.
void ccm_error_clear(ccm_error_t *err);

// 3301, allocation failed: the insert "<tag>/<unit>(<line>)".
void ccm_error_alloc(ccm_error_t *err, const char *tag, const char *unit, int line);

// The allocation failure at the line where it is written.
#define CCM_ERROR_ALLOC(err, tag, unit) ccm_error_alloc((err), (tag), (unit), __LINE__)

// Records the reason why a channel is closed (logged when it is destroyed):
// its `msgnr` and `msginsert`, formatted like ccm_error_set. Null: nothing.
void ccm_channel_set_reason(ccm_channel_t *ch, int msgnr, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// The same from an error record already filled. Null channel or record: nothing.
void ccm_channel_take_reason(ccm_channel_t *ch, const ccm_error_t *err);

// The 3301 inserts of ccm_open and ccm_channel_new_entry name these lines of
// the channel manager's unit; callers compare the whole insert, so they stay
// as they are wherever the code moves.
inline constexpr int kCcmOpenAllocLine = 200;
inline constexpr int kCreateChannelAllocLine = 523;
