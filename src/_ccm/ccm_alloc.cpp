// Allocation with a failure hook for tests.
#include "ccm_alloc.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

namespace {
// Under AddressSanitizer every block comes from its heap, so that the bounds
// and the leaks of message blocks are checked; it does not look into
// mappings of their own.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMapLargeBlocks = false;
#else
constexpr bool kMapLargeBlocks = true;
#endif

bool mapped(size_t n) { return kMapLargeBlocks && n >= kCcmMapThreshold; }

// Allocations left until the one that fails; 0 = hook off.
std::atomic<int> fail_countdown{0};

bool should_fail() {
  int n = fail_countdown.load(std::memory_order_relaxed);
  while (n > 0) {
    if (fail_countdown.compare_exchange_weak(n, n - 1)) return n == 1;
  }
  return false;
}
// Asks for transparent huge pages for a large block from the first 2 MiB
// boundary at least 2 MiB into it. A frame of many megabytes is received
// into fresh memory (its message); with 4 KiB pages most of that time went
// to page faults, with 2 MiB pages it is one fault per 2 MiB. A huge page is
// backed whole at its first byte, though, so the first 2 MiB of a block keep
// small pages: a peer that announces a long frame and sends a little of it
// makes only what it sent resident, and a frame that has brought 2 MiB runs
// at most one 2 MiB page ahead of its bytes (never twice what arrived). Only
// advice: where the system does not offer huge pages on request nothing
// changes, and pages never touched are never backed either way.
void advise_huge_pages(void *p, size_t n) {
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  constexpr uintptr_t kSmallFirst = kHuge;
  if (!p || n < kSmallFirst + 2 * kHuge) return;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kSmallFirst + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + n) & ~(kHuge - 1);
  if (end > begin) madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)n;
#endif
}
}  // namespace

void *ccm_calloc(size_t nmemb, size_t size) { return should_fail() ? nullptr : calloc(nmemb, size); }

void *ccm_malloc(size_t size) { return should_fail() ? nullptr : malloc(size); }

void *ccm_block_alloc(size_t n) {
  if (n == 0 || should_fail()) return nullptr;
  if (!mapped(n)) return malloc(n);
  void *p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  advise_huge_pages(p, n);
  return p;
}

void ccm_block_free(void *p, size_t n) {
  if (!p) return;
  if (!mapped(n))
    free(p);
  else
    munmap(p, n);
}

void ccm_alloc_fail_at(int n) { fail_countdown.store(n > 0 ? n : 0); }
