#include "wq_dnst.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define WQ_SANITIZED 1
// Under a sanitizer, a failed allocation must come back as null to reach the
// program's own handling, and allocations above 256 MiB count as failed.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=256"; }
extern "C" const char *__tsan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=256"; }
#else
#define WQ_SANITIZED 0
#endif

namespace {

// Limits the address space to what is in use now plus `headroom`, so that a
// larger allocation fails. Nothing to do under a sanitizer (see above).
void limit_address_space(size_t headroom) {
  if (WQ_SANITIZED) return;
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0;
  statm >> pages;
  size_t used = pages * (size_t)sysconf(_SC_PAGESIZE);
  struct rlimit rl = {used + headroom, used + headroom};
  setrlimit(RLIMIT_AS, &rl);
}

class WorkAreaDeath : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(WorkAreaDeath, ExhaustedMemoryEndsWithStatusOne) {
  // The message goes to standard output; it is sent to stderr here so that
  // the death test can read it.
  EXPECT_EXIT(
      {
        dup2(2, 1);
        MemAllocRetArea(SIZE_MAX - 4096);
      },
      ::testing::ExitedWithCode(1), "error on calloc\\(\\)-call, MemAllocRetArea\\(\\), '.+'");

  constexpr int kLen = 1 << 30;
  EXPECT_EXIT(
      {
        dup2(2, 1);
        // A readable source of the full length, so that only the allocation
        // can fail.
        void *src = mmap(nullptr, kLen, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (src == MAP_FAILED) _exit(3);
        limit_address_space(64u << 20);
        char *area = mem_alloc_copy(nullptr, static_cast<const char *>(src), kLen);
        fprintf(stderr, "allocated %p\n", static_cast<void *>(area));
        _exit(2);
      },
      ::testing::ExitedWithCode(1), "error on malloc\\(\\)-call, mem_alloc_copy\\(\\), '.+'");
}

TEST(WorkArea, AllocFreeAndCopies) {
  char *area = static_cast<char *>(MemAllocRetArea(64));
  for (int i = 0; i < 64; i++) ASSERT_EQ(area[i], 0);
  FreeMallocArea(reinterpret_cast<void **>(&area), "area");
  EXPECT_EQ(area, nullptr);
  FreeMallocArea(reinterpret_cast<void **>(&area), "area");  // twice: harmless
  FreeMallocArea(nullptr, "none");

  errno = EINVAL;
  char *copy = MemCopy(nullptr, 5);
  EXPECT_EQ(errno, 0);
  for (int i = 0; i < 7; i++) EXPECT_EQ(copy[i], 0);
  FreeMallocArea(reinterpret_cast<void **>(&copy), "copy");

  copy = MemCopy("abcdef", 3);
  EXPECT_STREQ(copy, "abc");
  EXPECT_EQ(copy[4], 0);
  FreeMallocArea(reinterpret_cast<void **>(&copy), "copy");

  // mem_alloc_copy replaces the old area (the leak checker sees it freed).
  char *p = mem_alloc_copy(nullptr, "first", 5);
  EXPECT_STREQ(p, "first");
  p = mem_alloc_copy(p, "second text", 6);
  EXPECT_STREQ(p, "second");
  EXPECT_EQ(p[7], 0);
  p = mem_alloc_copy(p, nullptr, -4);
  EXPECT_STREQ(p, "");
  free(p);
}

TEST(AtomicInt, SetGetAndMutualExclusion) {
  atomic_int_t ai;
  ASSERT_EQ(atomic_lock_init(&ai), 0);
  EXPECT_EQ(atomic_int_set(&ai, 42), 42);
  EXPECT_EQ(atomic_int_get(&ai), 42);
  EXPECT_EQ(atomic_int_init(&ai), 0);
  EXPECT_EQ(atomic_int_get(&ai), 0);

  // Increments under the record's lock from several threads lose nothing.
  constexpr int kThreads = 4, kRounds = 5000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&ai] {
      for (int i = 0; i < kRounds; i++) {
        atomic_lock(&ai);
        ai.value++;
        atomic_unlock(&ai);
        if (i % 1000 == 0) atomic_int_get(&ai);
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(atomic_int_get(&ai), kThreads * kRounds);
  EXPECT_EQ(atomic_lock_destroy(&ai), 0);
}

TEST(ErrorRecord, FillersSetNumberAndBoundedInsert) {
  wq8_error err;
  memset(&err, 0, sizeof err);
  err.wq_result = -1;
  err.wq_errno = 7;
  FillMessageOnPermissionError(&err, ENOENT, "batch");
  EXPECT_EQ(err.wq_msgnr, 2000102);
  EXPECT_EQ(std::string(err.wq_msgInsert), std::string("getpwnam(batch)|2 - ") + strerror(ENOENT));
  EXPECT_EQ(err.wq_result, -1);
  EXPECT_EQ(err.wq_errno, 7);

  std::string long_name(3000, 'u');
  FillMessageOnPermissionError(&err, EACCES, long_name.c_str());
  EXPECT_EQ(strlen(err.wq_msgInsert), sizeof err.wq_msgInsert - 1);

  FillMessageOnPasswordError(&err, 13, "%s|%d", "pam", 9);
  EXPECT_EQ(err.wq_msgnr, 2001007);
  EXPECT_STREQ(err.wq_msgInsert, "pam|9");
  EXPECT_EQ(err.wq_errno, 7);
  FillMessageOnPasswordError(&err, 0, "%s", long_name.c_str());
  EXPECT_EQ(strlen(err.wq_msgInsert), sizeof err.wq_msgInsert - 1);
}

}  // namespace
