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

void *MemAllocRetArea(size_t msgLength);
void FreeMallocArea(void **fArea, const char *Text);
char *MemCopy(const char *Was, int Length);
char *mem_alloc_copy(char *dst, const char *src, int len);

int atomic_lock_init(atomic_int_t *ai);
int atomic_lock_destroy(atomic_int_t *ai);
int atomic_lock(atomic_int_t *ai);
int atomic_unlock(atomic_int_t *ai);
int atomic_int_init(atomic_int_t *ai);
int atomic_int_set(atomic_int_t *ai, int pvalue);
int atomic_int_get(atomic_int_t *ai);

void FillMessageOnPermissionError(wq8_error *error, int error_code, const char *user_name);
void FillMessageOnPasswordError(wq8_error *error, int error_code, const char *msg_insert_format, ...)
    __attribute__((format(printf, 3, 4)));
