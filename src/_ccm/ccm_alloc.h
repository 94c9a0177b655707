// Heap allocation of the channel manager's records (context, channels,
// messages, buffers). Every allocation goes through here so that tests can
// make a chosen allocation fail and check the failure paths.
#pragma once

#include <cstddef>

// calloc / malloc, except that the allocation chosen by ccm_alloc_fail_at
// returns null.
void *ccm_calloc(size_t nmemb, size_t size);
void *ccm_malloc(size_t size);

// Blocks at least this large are anonymous mappings of their own.
inline constexpr size_t kCcmMapThreshold = size_t{128} << 10;

// A block of `n` bytes whose contents are undefined (message buffers: their
// users write what they send). Blocks of kCcmMapThreshold bytes and more are
// anonymous mappings: they read as zero, a page becomes resident only when
// it is first written, and freeing one returns it to the system at once. The
// C heap would instead serve blocks of up to 32 MiB from its arena once its
// own mapping threshold has risen, and calloc would then clear, and so make
// resident, every page of a 100 MB message of which a few bytes arrived.
// Beyond their first 2 MiB, blocks are backed by transparent huge pages
// where the system offers them on request. Null when memory is short, `n` is 0, or the
// allocation was chosen to fail by ccm_alloc_fail_at.
void *ccm_block_alloc(size_t n);
// Releases a block of ccm_block_alloc; `n` is the size it was asked with.
// Null: nothing.
void ccm_block_free(void *p, size_t n);

// Test hook: the n-th allocation from now on (n >= 1) fails, once; 0 turns
// the hook off. Safe to call from any thread.
void ccm_alloc_fail_at(int n);
