#include "wq_dnst.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Under a sanitizer, a failed allocation must come back as null to reach the
// program's own handling, and allocations above 256 MiB count as failed.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=256"; }
extern "C" const char *__tsan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=256"; }
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

namespace {

// Exhausted memory ends the process with status 1 and a message (printed on
// standard output, sent to stderr here for the death test to read). A copy of
// 2 GiB does not fit in 1 GiB of address space (nor, under a sanitizer, in
// its largest allocation). Areas come zeroed; freeing clears the pointer and
// is harmless twice (copies are rows of data/calls.txt).
TEST(WorkArea, ZeroedAreasFreeAndExhaustedMemory) {
  char *area = (char *)MemAllocRetArea(64);
  EXPECT_EQ(std::string(area, 64), std::string(64, '\0'));
  FreeMallocArea((void **)&area, "area"), FreeMallocArea((void **)&area, "area"), FreeMallocArea(nullptr, "none");
  EXPECT_EQ(area, nullptr);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const struct rlimit rl = {1u << 30, 1u << 30};
  EXPECT_EXIT({ dup2(2, 1); MemAllocRetArea(SIZE_MAX - 4096); }, ::testing::ExitedWithCode(1),
              "error on calloc\\(\\)-call, MemAllocRetArea\\(\\), '.+'");
  EXPECT_EXIT({ dup2(2, 1); kSanitized || setrlimit(RLIMIT_AS, &rl) == 0 ? mem_alloc_copy(nullptr, "x", INT_MAX - 2) : 0; },
              ::testing::ExitedWithCode(1), "error on malloc\\(\\)-call, mem_alloc_copy\\(\\), '.+'");
}

}  // namespace
