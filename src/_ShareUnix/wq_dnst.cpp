// Platform services: work areas, the mutex-protected integer and the error
// record fillers.
#include "wq_dnst.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ctools.h"

namespace {

// Exhausted memory is not something the program can carry on from: say so
// on standard output and end with status 1.
[[noreturn]] void out_of_memory(const char *call, const char *function) {
  printf("error on %s-call, %s(), '%s'\n", call, function, wq_strerror(errno));
  exit(1);
}

}  // namespace

void *MemAllocRetArea(size_t msgLength) {
  void *area = calloc(1, msgLength);
  if (area == nullptr) out_of_memory("calloc()", "MemAllocRetArea");
  return area;
}

void FreeMallocArea(void **fArea, const char * /*Text*/) {
  if (fArea == nullptr || *fArea == nullptr) return;
  free(*fArea);
  *fArea = nullptr;
}

char *MemCopy(const char *Was, int Length) {
  errno = 0;
  if (Length < 0) Length = 0;
  // The two extra zero bytes terminate the copy as a text.
  char *area = static_cast<char *>(MemAllocRetArea((size_t)Length + 2));
  if (Was != nullptr) memcpy(area, Was, (size_t)Length);
  return area;
}

char *mem_alloc_copy(char *dst, const char *src, int len) {
  free(dst);
  if (len < 0) len = 0;
  char *area = static_cast<char *>(malloc((size_t)len + 2));
  if (area == nullptr) out_of_memory("malloc()", "mem_alloc_copy");
  if (src != nullptr) memcpy(area, src, (size_t)len);
  area[len] = '\0';
  area[len + 1] = '\0';
  return area;
}

int atomic_lock_init(atomic_int_t *ai) { return pthread_mutex_init(&ai->lock, nullptr); }

int atomic_lock_destroy(atomic_int_t *ai) { return pthread_mutex_destroy(&ai->lock); }

int atomic_lock(atomic_int_t *ai) { return pthread_mutex_lock(&ai->lock); }

int atomic_unlock(atomic_int_t *ai) { return pthread_mutex_unlock(&ai->lock); }

// The value returned is the one read under the lock: reading the field after
// the unlock would race with the next writer.
int atomic_int_init(atomic_int_t *ai) { return atomic_int_set(ai, 0); }

int atomic_int_set(atomic_int_t *ai, int pvalue) {
  atomic_lock(ai);
  ai->value = pvalue;
  int value = ai->value;
  atomic_unlock(ai);
  return value;
}

int atomic_int_get(atomic_int_t *ai) {
  atomic_lock(ai);
  int value = ai->value;
  atomic_unlock(ai);
  return value;
}

void FillMessageOnPermissionError(wq8_error *error, int error_code, const char *user_name) {
  char text[256];
  const char *reason = strerror_r(error_code, text, sizeof text);
  error->wq_msgnr = 2000102;
  snprintf(error->wq_msgInsert, sizeof error->wq_msgInsert, "getpwnam(%s)|%i - %s",
           user_name ? user_name : "", error_code, reason);
}

void FillMessageOnPasswordError(wq8_error *error, int /*error_code*/, const char *msg_insert_format, ...) {
  error->wq_msgnr = 2001007;
  va_list args;
  va_start(args, msg_insert_format);
  vsnprintf(error->wq_msgInsert, sizeof error->wq_msgInsert, msg_insert_format, args);
  va_end(args);
}
