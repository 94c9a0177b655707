// Allocation with a failure hook for tests.
#include "ccm_alloc.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

namespace {
// Allocations left until the one that fails; 0 = hook off.
std::atomic<int> fail_countdown{0};

bool should_fail() {
  int n = fail_countdown.load(std::memory_order_relaxed);
  while (n > 0) {
    if (fail_countdown.compare_exchange_weak(n, n - 1)) return n == 1;
  }
  return false;
}
// Asks for transparent huge pages under the 2 MiB-aligned middle of a large
// block. A frame of many megabytes is copied into fresh memory (its receive
// buffer, then its message); with 4 KiB pages most of that time went to page
// faults, with 2 MiB pages it is one fault per 2 MiB. Only advice: where the
// system does not offer huge pages on request nothing changes, and pages
// never touched are never backed either way.
void advise_huge_pages(void *p, size_t n) {
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  if (!p || n < 2 * kHuge) return;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + n) & ~(kHuge - 1);
  if (end > begin) madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)n;
#endif
}
}  // namespace

void *ccm_calloc(size_t nmemb, size_t size) {
  if (should_fail()) return nullptr;
  void *p = calloc(nmemb, size);
  // calloc has checked that the product does not overflow when it succeeds.
  if (p) advise_huge_pages(p, nmemb * size);
  return p;
}

void *ccm_malloc(size_t size) { return should_fail() ? nullptr : malloc(size); }

void ccm_alloc_fail_at(int n) { fail_countdown.store(n > 0 ? n : 0); }
