// Allocation with a failure hook for tests.
#include "ccm_alloc.h"

#include <atomic>
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
}  // namespace

void *ccm_calloc(size_t nmemb, size_t size) { return should_fail() ? nullptr : calloc(nmemb, size); }

void *ccm_malloc(size_t size) { return should_fail() ? nullptr : malloc(size); }

void ccm_alloc_fail_at(int n) { fail_countdown.store(n > 0 ? n : 0); }
