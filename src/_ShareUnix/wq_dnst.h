// Platform services: zeroed work areas that end the process when memory is
// exhausted, a mutex-protected integer, and the program's general error
// record.
#pragma once

#include <pthread.h>

#include <cstddef>

typedef struct _wq8_error {
  int wq_result;
  int wq_errno;
  int wq_msgnr;
  char wq_msgInsert[1024];
} wq8_error;

typedef pthread_mutex_t atomic_lock_t;

typedef struct __atomic_int {
  int value;
  atomic_lock_t lock;
} atomic_int_t;

// A new zeroed area of `msgLength` bytes; never null. When memory is
// exhausted it prints "error on calloc()-call, MemAllocRetArea(), '<reason>'"
// to standard output and ends the process with status 1.
void *MemAllocRetArea(size_t msgLength);
// Frees *fArea when it is not null and clears the pointer; `Text` names the
// area for the reader only. Harmless on a cleared pointer.
void FreeMallocArea(void **fArea, const char *Text);
// Sets errno to 0 and returns a new area of Length + 2 zeroed bytes (from
// MemAllocRetArea) holding the first `Length` bytes of `Was` when it is not
// null. A negative length counts as 0.
char *MemCopy(const char *Was, int Length);
// Frees `dst`, then returns a new area of len + 2 bytes holding `len` bytes
// of `src` (when not null) followed by two zero bytes; the caller replaces
// its pointer by the result. Exhausted memory ends the process like
// MemAllocRetArea. A negative length counts as 0.
char *mem_alloc_copy(char *dst, const char *src, int len);

// The record's mutex: initialise (default attributes), destroy, lock,
// unlock. Each returns the mutex call's result (0 or an error number).
int atomic_lock_init(atomic_int_t *ai);
int atomic_lock_destroy(atomic_int_t *ai);
int atomic_lock(atomic_int_t *ai);
int atomic_unlock(atomic_int_t *ai);
// Sets `value` to 0 / to `pvalue` under the lock and returns the value set.
// The lock must have been initialised first.
int atomic_int_init(atomic_int_t *ai);
int atomic_int_set(atomic_int_t *ai, int pvalue);
// Returns `value` as read under the lock.
int atomic_int_get(atomic_int_t *ai);

// Sets wq_msgnr to 2000102 and wq_msgInsert to
// "getpwnam(<user_name>)|<error_code> - <strerror(error_code)>", bounded to
// the insert's size. Other fields are left unchanged.
void FillMessageOnPermissionError(wq8_error *error, int error_code, const char *user_name);
// Sets wq_msgnr to 2001007 and formats the insert from `msg_insert_format`
// and the further arguments, bounded to the insert's size. `error_code` is
// not stored; other fields are left unchanged.
void FillMessageOnPasswordError(wq8_error *error, int error_code, const char *msg_insert_format, ...)
    __attribute__((format(printf, 3, 4)));
