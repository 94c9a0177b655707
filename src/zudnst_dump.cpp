// Memory dumps in layouts A and B, and one-line hex texts.
#include "zudnst_dump.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <pthread.h>

namespace {

constexpr int kBytesPerLine = 16;
constexpr char kHexUpper[] = "0123456789ABCDEF";

// Where the lines of a dump go: standard output, or one bounded text.
class DumpSink {
 public:
  virtual ~DumpSink() = default;
  virtual void line(const char *text) = 0;
};

class StdoutSink : public DumpSink {
 public:
  void line(const char *text) override { fputs(text, stdout); }
};

// Keeps whole lines only, as long as they fit with the terminator.
class TextSink : public DumpSink {
 public:
  TextSink(char *out, size_t size) : out_(out), size_(size) {
    if (out_ && size_) out_[0] = '\0';
  }
  void line(const char *text) override {
    size_t n = strlen(text);
    if (full_ || !out_ || len_ + n + 1 > size_) {
      full_ = true;  // later lines would leave a gap in the dump
      return;
    }
    memcpy(out_ + len_, text, n + 1);
    len_ += n;
  }
  size_t length() const { return len_; }

 private:
  char *out_;
  size_t size_;
  size_t len_ = 0;
  bool full_ = false;
};

// Appends a formatted piece at `pos` within `size`; returns the new length
// (never beyond size - 1).
size_t put(char *line, size_t size, size_t pos, const char *format, ...) __attribute__((format(printf, 4, 5)));
size_t put(char *line, size_t size, size_t pos, const char *format, ...) {
  if (pos + 1 >= size) return pos;
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(line + pos, size - pos, format, ap);
  va_end(ap);
  if (n < 0) return pos;
  pos += (size_t)n;
  return pos < size ? pos : size - 1;
}

size_t pad_to(char *line, size_t size, size_t pos, size_t width) {
  while (pos < width && pos + 1 < size) line[pos++] = ' ';
  line[pos] = '\0';
  return pos;
}

// Layout A shows only characters that are harmless in every trace reader.
bool shown_in_layout_a(unsigned char c) {
  return (c >= 0x20 && c <= 0x2D) || (c >= 0x2F && c <= 0x5A) || c == 0x5C || c == 0x5F ||
         (c >= 0x61 && c <= 0x7A) || c == 0x7E;
}

bool shown_in_layout_b(unsigned char c) { return c >= 0x20 && c <= 0x7E; }

// Columns that the offset and the hex of a full line take behind the indent.
constexpr int kHexOfFullLine = 8 + 1 + 4 * (1 + 8);

void layout_b(const char *id, const void *addr, int len, DumpSink &sink) {
  // Header: the id, and the address and length from offset 66 on.
  char head[256];
  snprintf(head, sizeof head, "----->  TRACE: (%s)", id ? id : "");
  pad_to(head, sizeof head, strlen(head), 68);
  snprintf(head + 66, sizeof head - 66, len >= 0 ? "%p %.5d\n" : "%p %.4d\n", addr, len);
  sink.line(head);
  if (len <= 0 || !addr) return;
  constexpr int kIndent = 14;
  ZUMEM_DumpLines(addr, len, kIndent, kIndent + kHexOfFullLine,
                  [](const char *line, void *s) { static_cast<DumpSink *>(s)->line(line); }, &sink);
}

}  // namespace

int iPrtMem(const void *pAddr, unsigned int lSize, const char *pTitle) {
  printf("%-69s 0x%.6x (%.5u)\n", pTitle ? pTitle : "", lSize, lSize);
  if (!pAddr) return 0;
  const unsigned char *bytes = static_cast<const unsigned char *>(pAddr);
  unsigned int offset = 0;
  while (offset < lSize) {
    const unsigned int rest = lSize - offset;
    const int count = rest < (unsigned int)kBytesPerLine ? (int)rest : kBytesPerLine;
    const unsigned char *shown = bytes + offset;
    char line[160];
    size_t p = put(line, sizeof line, 0, "  0x%.16lx (%.6x)  >", (unsigned long)(uintptr_t)shown, offset);
    for (int i = 0; i < count; ++i) {
      p = put(line, sizeof line, p, "%.2x", shown[i]);
      if (i % 4 == 3 && i != count - 1) p = put(line, sizeof line, p, " ");
    }
    p = put(line, sizeof line, p, "<");
    p = pad_to(line, sizeof line, p, 68);

    offset += (unsigned int)count;
    if (count == kBytesPerLine) {
      while (lSize - offset > 15 && memcmp(bytes + offset, shown, kBytesPerLine) == 0) {
        offset += kBytesPerLine;
        line[1] = '=';
      }
    }

    p = put(line, sizeof line, p, ">");
    for (int i = 0; i < count; ++i)
      p = put(line, sizeof line, p, "%c", shown_in_layout_a(shown[i]) ? (char)shown[i] : '.');
    put(line, sizeof line, p, "<\n");
    fputs(line, stdout);
  }
  return 0;
}

void ZUMEM_DumpLines(const void *addr, int len, int indent, int lone_hex_end, void (*emit)(const char *line, void *arg),
                     void *arg) {
  if (!addr || len <= 0) return;
  const unsigned char *bytes = static_cast<const unsigned char *>(addr);
  const int hex_end = len < kBytesPerLine ? lone_hex_end : indent + kHexOfFullLine;
  int offset = 0;
  while (offset < len) {
    const int count = len - offset < kBytesPerLine ? len - offset : kBytesPerLine;
    char line[256];
    size_t p = put(line, sizeof line, 0, "%*s%.8X ", indent, "", (unsigned int)offset);
    for (int i = 0; i < count; ++i) p = put(line, sizeof line, p, "%s%.2X", i % 4 == 0 ? " " : "", bytes[offset + i]);
    p = pad_to(line, sizeof line, p, (size_t)hex_end);
    p = put(line, sizeof line, p, "  >");
    for (int i = 0; i < count; ++i)
      p = put(line, sizeof line, p, "%c", shown_in_layout_b(bytes[offset + i]) ? (char)bytes[offset + i] : '.');
    put(line, sizeof line, p, "<\n");

    // Fold repeats, but always leave more than nothing for the last line.
    const unsigned char *shown = bytes + offset;
    offset += count;
    while (len - offset > kBytesPerLine && memcmp(bytes + offset, shown, kBytesPerLine) == 0) {
      offset += kBytesPerLine;
      line[indent + 8] = '=';
    }
    emit(line, arg);
  }
}

int ZUMEM_Trace(const char *id, const void *addr, int len) {
  StdoutSink sink;
  layout_b(id, addr, len, sink);
  return 0;
}

int MemTrace(const char *id, const void *Area, int Length) { return ZUMEM_Trace(id, Area, Length); }

int FormMemTrace(const char *id, const void *Area, int Length) {
  char title[256];
  snprintf(title, sizeof title, "%40s : ", id ? id : "");
  return ZUMEM_Trace(title, Area, Length);
}

size_t ZUMEM_TraceText(const char *id, const void *addr, int len, char *out, size_t outSize) {
  TextSink sink(out, outSize);
  layout_b(id, addr, len, sink);
  return sink.length();
}

namespace {
// The buffer of ZUMEM_TraceStr is the thread's value of this key, allocated
// on the thread's first call and freed by the key's destructor when the
// thread ends. A plain POSIX thread-specific value rather than a
// thread_local object with a destructor: that would pull the C++ run-time's
// thread-exit and exception support into every program that links this file.
pthread_key_t trace_str_key;
pthread_once_t trace_str_key_once = PTHREAD_ONCE_INIT;
void make_trace_str_key() { pthread_key_create(&trace_str_key, free); }
}  // namespace

char *ZUMEM_TraceStr(const char *id, const void *addr, int len) {
  static char no_memory[] = "";
  pthread_once(&trace_str_key_once, make_trace_str_key);
  auto *record = static_cast<char *>(pthread_getspecific(trace_str_key));
  if (!record) {
    record = static_cast<char *>(malloc(ZUMEM_TRACESTR_SIZE));
    if (!record || pthread_setspecific(trace_str_key, record) != 0) {
      free(record);
      return no_memory;  // an empty text: the caller only prints it
    }
  }
  ZUMEM_TraceText(id, addr, len, record, ZUMEM_TRACESTR_SIZE);
  return record;
}

char *GetMemTrace(const unsigned char *iPtr, int iLen, char *oPtr, int oLen) {
  if (!oPtr || oLen <= 0) return oPtr;
  memset(oPtr, 0, (size_t)oLen);
  if (!iPtr) return oPtr;
  int written = 0;
  for (int i = 0; i < iLen; ++i) {
    if (written + 4 > oLen) break;  // room for a space, two digits and the NUL
    if (i > 0 && i % 4 == 0) oPtr[written++] = ' ';
    oPtr[written++] = kHexUpper[iPtr[i] >> 4];
    oPtr[written++] = kHexUpper[iPtr[i] & 0x0F];
  }
  return oPtr;
}

char *CnvAddrStr(const void *Was, char *cAddr, int iLen) {
  if (!cAddr || iLen <= 0) return cAddr;
  memset(cAddr, 0, (size_t)iLen);
  // Taken from the value, so the host's byte order cannot confuse the digits.
  const uint64_t value = (uint64_t)(uintptr_t)Was;
  snprintf(cAddr, (size_t)iLen, "%08X %08X", (unsigned int)(value >> 32), (unsigned int)(value & 0xFFFFFFFFu));
  return cAddr;
}
