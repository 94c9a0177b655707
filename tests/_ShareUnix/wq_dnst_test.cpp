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
// its largest allocation).
TEST(WorkArea, ExhaustedMemoryEndsWithStatusOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const struct rlimit rl = {1u << 30, 1u << 30};
  EXPECT_EXIT({ dup2(2, 1); MemAllocRetArea(SIZE_MAX - 4096); }, ::testing::ExitedWithCode(1),
              "error on calloc\\(\\)-call, MemAllocRetArea\\(\\), '.+'");
  EXPECT_EXIT({ dup2(2, 1); kSanitized || setrlimit(RLIMIT_AS, &rl) == 0 ? mem_alloc_copy(nullptr, "x", INT_MAX - 2) : 0; },
              ::testing::ExitedWithCode(1), "error on malloc\\(\\)-call, mem_alloc_copy\\(\\), '.+'");
}

// Areas come zeroed; a copy has two zero bytes behind it (without a source
// only those are set); a new copy replaces and frees the old one.
TEST(WorkArea, ZeroedAreasCopiesAndFree) {
  char *area = (char *)MemAllocRetArea(64);
  EXPECT_EQ(std::string(area, 64), std::string(64, '\0'));
  FreeMallocArea((void **)&area, "area");
  FreeMallocArea((void **)&area, "area");  // twice: harmless
  FreeMallocArea(nullptr, "none");
  EXPECT_EQ(area, nullptr);
  struct Row { const char *src; int len; std::string bytes; };
  for (const Row &r : {Row{nullptr, 5, std::string(7, '\0')}, Row{"abcdef", 3, std::string("abc\0\0", 5)},
                       Row{"abc", -4, std::string(2, '\0')}}) {
    errno = EINVAL;
    char *copy = MemCopy(r.src, r.len);
    EXPECT_EQ(std::to_string(errno) + std::string(copy, r.bytes.size()), "0" + r.bytes) << r.len;
    const size_t from = r.src ? 0 : r.bytes.size() - 2;
    copy = mem_alloc_copy(copy, r.src, r.len);
    EXPECT_EQ(std::string(copy + from, r.bytes.size() - from), r.bytes.substr(from)) << r.len;
    free(copy);
  }
}

TEST(AtomicInt, SetGetAndInit) {
  atomic_int_t ai;
  ASSERT_EQ(atomic_lock_init(&ai), 0);
  EXPECT_EQ(std::vector<int>({atomic_int_set(&ai, 42), atomic_int_get(&ai), atomic_int_init(&ai), atomic_int_get(&ai),
                              atomic_lock(&ai), atomic_unlock(&ai), atomic_lock_destroy(&ai)}),
            std::vector<int>({42, 42, 0, 0, 0, 0, 0}));
}

std::string Record(const wq8_error &e) {
  return std::to_string(e.wq_result) + " " + std::to_string(e.wq_errno) + " " + std::to_string(e.wq_msgnr) + " " +
         e.wq_msgInsert;
}

// Only the number and the insert are set, the insert cut to its area.
TEST(ErrorRecord, NumberAndBoundedInsertOnly) {
  wq8_error err = {-1, 7, 0, {}};
  FillMessageOnPermissionError(&err, ENOENT, "batch");
  EXPECT_EQ(Record(err), std::string("-1 7 2000102 getpwnam(batch)|2 - ") + strerror(ENOENT));
  FillMessageOnPasswordError(&err, 13, "%s|%d", "pam", 9);
  EXPECT_EQ(Record(err), "-1 7 2001007 pam|9");
  const std::string long_name(3000, 'u');
  FillMessageOnPermissionError(&err, EACCES, long_name.c_str());
  const size_t after_permission = strlen(err.wq_msgInsert);
  FillMessageOnPasswordError(&err, 0, "%s", long_name.c_str());
  EXPECT_EQ(after_permission + strlen(err.wq_msgInsert), 2 * (sizeof err.wq_msgInsert - 1));
}

}  // namespace
