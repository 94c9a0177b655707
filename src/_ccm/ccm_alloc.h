// Heap allocation of the channel manager's records (context, channels,
// messages, buffers). Every allocation goes through here so that tests can
// make a chosen allocation fail and check the failure paths.
#pragma once

#include <cstddef>

// calloc / malloc, except that the allocation chosen by ccm_alloc_fail_at
// returns null. Blocks of 4 MiB and more from ccm_calloc are backed by
// transparent huge pages where the system offers them on request.
void *ccm_calloc(size_t nmemb, size_t size);
void *ccm_malloc(size_t size);

// Test hook: the n-th allocation from now on (n >= 1) fails, once; 0 turns
// the hook off. Safe to call from any thread.
void ccm_alloc_fail_at(int n);
