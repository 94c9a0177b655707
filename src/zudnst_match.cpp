// Wildcard matching, field normalising, environment expansion, keyed field
// lists and numbers/bytes as text.
#include "zudnst_match.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wq_trace.h"
#include "zudnst.h"

const char g_Conv[] = "0123456789ABCDEF";

namespace {

// A wildcard given as 0 is switched off: it never equals a mask character
// (not even the terminating NUL).
inline bool is_wild(char c, char wildcard) { return wildcard != '\0' && c == wildcard; }

// 1 when the text at `str` begins with the `seg_len` mask characters at
// `seg`, `one` matching any character but not the end of the text.
bool segment_at(const char *str, const char *seg, size_t seg_len, char one) {
  for (size_t i = 0; i < seg_len; ++i) {
    if (str[i] == '\0') return false;
    if (!is_wild(seg[i], one) && seg[i] != str[i]) return false;
  }
  return true;
}

// Leftmost position at which the segment lies in `str`, or null.
char *find_segment(char *str, const char *seg, size_t seg_len, char one) {
  for (char *p = str;; ++p) {
    if (segment_at(p, seg, seg_len, one)) return p;
    if (*p == '\0') return nullptr;
  }
}

// Appends `s` to the text of `len` characters in `work` (size `size`) when it
// fits whole; returns false and leaves the text as it is otherwise.
bool append_whole(char *work, size_t size, size_t &len, const char *s) {
  size_t n = strlen(s);
  if (len + n + 1 > size) return false;
  memcpy(work + len, s, n + 1);
  len += n;
  return true;
}

}  // namespace

// ---- matching -----------------------------------------------------------------

int MyStrMatch(const char *str, const char *mask, char more, char one) {
  if (!str || !mask) return 0;

  // Up to the first `more` the mask must match character by character.
  while (*str && !is_wild(*mask, more)) {
    if (!is_wild(*mask, one) && *mask != *str) return 0;  // also a mask ending first
    ++mask;
    ++str;
  }

  // Behind a `more`: try the rest of the mask at each later text position,
  // going back to the last `more` on a mismatch (one place further on).
  const char *mask_back = nullptr;
  const char *str_back = nullptr;
  while (*str) {
    if (is_wild(*mask, more)) {
      if (*++mask == '\0') return 1;  // a trailing `more` takes the rest
      mask_back = mask;
      str_back = str + 1;
    } else if (is_wild(*mask, one) || *mask == *str) {
      ++mask;
      ++str;
    } else {
      mask = mask_back;
      str = str_back++;
    }
  }

  while (is_wild(*mask, more)) ++mask;
  return *mask == '\0' ? 1 : 0;
}

char *strMatchPtr(char *str, const char *mask, char more, char one) {
  TRC_IN("(mask=%s)", mask ? mask : "(null)");
  if (!str || !mask) {
    TRC_OUT("no text");
    return nullptr;
  }
  if (*mask == '\0') {
    TRC_OUT("empty mask");
    return str;
  }

  const bool has_more = more == '\0' || strchr(mask, more) != nullptr;
  const bool has_one = one == '\0' || strchr(mask, one) != nullptr;
  if (!has_more && !has_one) {
    char *found = strncmp(str, mask, strlen(mask)) == 0 ? str : nullptr;
    TRC_OUT("%s", found ? "prefix" : "no prefix");
    return found;
  }

  bool anywhere = false;
  if (is_wild(*mask, more)) {
    ++mask;
    anywhere = true;
    if (*mask == '\0') {
      TRC_OUT("mask is one wildcard");
      return str;
    }
  }

  size_t seg_len = 0;
  while (mask[seg_len] && !is_wild(mask[seg_len], more)) ++seg_len;
  const char *rest = mask + seg_len;  // empty or beginning with `more`

  char *found = nullptr;
  if (*rest == '\0') {
    // The mask ends with the segment, so the text must end with it: the only
    // place to look is the text's last seg_len characters.
    size_t len = strlen(str);
    if (len >= seg_len && (anywhere || len == seg_len)) {
      char *tail = str + (len - seg_len);
      if (segment_at(tail, mask, seg_len, one)) found = tail;
    }
  } else {
    // The rest begins with `more`; if it fails behind the leftmost place it
    // fails behind every later one too, as those leave a suffix of that text.
    found = anywhere ? find_segment(str, mask, seg_len, one) : (segment_at(str, mask, seg_len, one) ? str : nullptr);
    if (found && !MyStrMatch(found + seg_len, rest, more, one)) found = nullptr;
  }
  TRC_OUT("%s", found ? "match" : "no match");
  return found;
}

int strccmp(const char *str1, const char *str2, char one) {
  if (!str1 || !str2) return 0;
  return segment_at(str1, str2, strlen(str2), one) ? 1 : 0;
}

char *strcstr(char *str1, const char *str2, char one) {
  if (!str1 || !str2) return nullptr;
  return find_segment(str1, str2, strlen(str2), one);
}

// ---- fixed-length fields ----------------------------------------------------------

void fix_len_reorg(char *p, int l) {
  if (!p || l <= 0) return;
  int start = 0;
  while (start < l && p[start] == ' ') ++start;
  int end = start;
  while (end < l && p[end] != ' ' && p[end] != '\0') ++end;
  int word = end - start;
  memmove(p, p + start, (size_t)word);
  memset(p + word, ' ', (size_t)(l - word));
}

void fix_len_reorg2(char *p, int l) {
  if (!p || l <= 0) return;
  int end = (int)strnlen(p, (size_t)l);
  int start = 0;
  while (start < end && p[start] == ' ') ++start;
  if (start == 0) return;  // nothing to move; a full field has no room for a NUL
  memmove(p, p + start, (size_t)(end - start));
  p[end - start] = '\0';
}

// ---- environment ----------------------------------------------------------------

int ExpandEnvironmentStringsA(const char *buf, char *logName, int logSize) {
  TRC_IN("(buf=%s, logSize=%d)", buf ? buf : "(null)", logSize);
  if (!logName || logSize <= 0) {
    TRC_OUT("no output area");
    return 0;
  }
  memset(logName, 0, (size_t)logSize);
  char work[2048];
  _StringCopy(work, sizeof work, buf, __FILE__, __LINE__);

  const int limit = logSize - 1;
  int written = 0;
  for (const char *p = work; *p && written < limit;) {
    if (*p != '%') {
      logName[written++] = *p++;
      continue;
    }
    // A reference: the name runs to the next "%" (consumed) or the end.
    ++p;
    char name[64];
    size_t n = 0;
    for (; *p && *p != '%'; ++p)
      if (n < sizeof name - 1) name[n++] = *p;
    if (*p == '%') ++p;
    name[n] = '\0';
    if (n == 0) continue;  // "%%"
    const char *value = getenv(name);
    for (; value && *value && written < limit; ++value) logName[written++] = *value;
  }
  TRC_OUT("%d characters", written);
  return written;
}

// ---- keyed field lists ---------------------------------------------------------------

int GetRestField(const char *rest_area, int rest_len, char search, char *result, unsigned int retSize) {
  TRC_IN("(rest_len=%d, search=%c)", rest_len, search);
  if (!rest_area || !result || retSize == 0 || rest_len <= 0) {
    TRC_OUT("nothing to search");
    return 0;
  }
  int pos = 0;
  for (;;) {
    // A field needs at least its code, "=" and the delimiter in the area.
    if (rest_len - pos < 3 || rest_area[pos + 1] != '=') {
      TRC_OUT("not found");
      return 0;
    }
    const bool match = rest_area[pos] == search;
    const char delim = rest_area[pos + 2];
    pos += 3;
    unsigned int copied = 0;
    for (;; ++pos) {
      if (pos >= rest_len) {
        TRC_OUT("field not closed");
        return 0;
      }
      if (rest_area[pos] == delim) break;
      if (!match) continue;
      if (copied == retSize - 1) {  // cut at the bound
        result[copied] = '\0';
        TRC_OUT("cut");
        return 1;
      }
      result[copied++] = rest_area[pos];
    }
    ++pos;  // the closing delimiter
    if (match) {
      result[copied] = '\0';
      TRC_OUT("OK");
      return 1;
    }
  }
}

int GetAttribute(const char *Area, int Length, const char *search, char *result, unsigned int retSize) {
  TRC_IN("(search=%s)", search ? search : "(null)");
  if (!Area || !search || !result || retSize == 0) {
    TRC_OUT("nothing to search");
    return 0;
  }
  const size_t len = Length > 0 ? strnlen(Area, (size_t)Length) : strlen(Area);
  const size_t search_len = strlen(search);
  const char *found = nullptr;
  for (size_t i = 0; i + search_len <= len; ++i)
    if (memcmp(Area + i, search, search_len) == 0) {
      found = Area + i;
      break;
    }
  const char *end = Area + len;
  if (!found) {
    TRC_OUT("not found");
    return 0;
  }
  const char *p = found;
  while (p < end && *p != '=') ++p;
  if (p == end) {
    TRC_OUT("no value");
    return 0;
  }
  ++p;
  unsigned int copied = 0;
  for (; p < end && *p != ','; ++p) {
    if (copied == retSize - 1) {  // cut at the bound
      result[copied] = '\0';
      TRC_OUT("cut");
      return 1;
    }
    result[copied++] = *p;
  }
  result[copied] = '\0';
  TRC_OUT("%s", copied ? "OK" : "empty value");
  return copied ? 1 : 0;
}

// ---- numbers and bytes as text -----------------------------------------------------------

char *GetHexString(const void *addr, int aLength, char *cValue, int vLength) {
  if (!cValue || vLength <= 0) return cValue;
  const unsigned char *bytes = static_cast<const unsigned char *>(addr);
  int n = (addr && aLength > 0) ? aLength : 0;
  if (n > 500) n = 500;

  char work[512];
  size_t len = 0;
  work[0] = '\0';
  append_whole(work, sizeof work, len, "'");
  for (int i = 0; i < n; ++i) {
    char hex[4];
    snprintf(hex, sizeof hex, "%s%.2X", (i > 0 && i % 4 == 0) ? " " : "", bytes[i]);
    if (!append_whole(work, sizeof work, len, hex)) break;
  }
  append_whole(work, sizeof work, len, "'");

  // The character view only follows a short hex part.
  if (len <= 256) {
    while (len % 40 != 0) append_whole(work, sizeof work, len, " ");
    append_whole(work, sizeof work, len, ">");
    for (int i = 0; i < n; ++i) {
      char c[2] = {(bytes[i] >= 0x20 && bytes[i] <= 0x7E) ? (char)bytes[i] : '.', '\0'};
      append_whole(work, sizeof work, len, c);
    }
    append_whole(work, sizeof work, len, "<");
  }

  memset(cValue, 0, (size_t)vLength);
  memcpy(cValue, work, len < (size_t)vLength ? len : (size_t)vLength - 1);
  return cValue;
}

char *CnvIntToChar(unsigned long Ptr, char *oPtr, int oLen) {
  if (!oPtr || oLen <= 0) return oPtr;
  memset(oPtr, 0, (size_t)oLen);
  if (Ptr == 0) {
    if (oLen >= 2) oPtr[0] = '0';
    return oPtr;
  }
  char digits[24];
  int count = snprintf(digits, sizeof digits, "%lu", Ptr);
  int last = oLen >= 33 ? 31 : oLen - 2;  // position of the last digit
  int first = last - count + 1;
  if (first < 0) return oPtr;  // does not fit: empty text
  memset(oPtr, ' ', (size_t)first);
  memcpy(oPtr + first, digits, (size_t)count);
  return oPtr + first;
}

int convert2hex(const unsigned char *in, int inBufLen, char *str, int strLen) {
  if (!str || inBufLen < 0 || (inBufLen > 0 && !in) || strLen / 2 <= inBufLen) return -1;
  for (int i = 0; i < inBufLen; ++i) {
    str[2 * i] = g_Conv[in[i] >> 4];
    str[2 * i + 1] = g_Conv[in[i] & 0x0F];
  }
  str[2 * inBufLen] = '\0';
  return 0;
}
