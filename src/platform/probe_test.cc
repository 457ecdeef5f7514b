// probe_test.cc -- tests of the caller-memory probes on real mappings.
#include "platform/probe.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace qz::platform {
namespace {

// Two pages: the first read/write, the second as the test sets it. Runs
// with both probing methods (false: process_vm_*, true: pipe).
class ProbeTest : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    SetPipeProbingForTesting(GetParam());
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* m = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(m, MAP_FAILED);
    base_ = static_cast<char*>(m);
  }
  void TearDown() override {
    SetPipeProbingForTesting(false);
    munmap(base_, 2 * page_);
  }
  void Protect(int prot) { ASSERT_EQ(mprotect(base_ + page_, page_, prot), 0); }

  size_t page_ = 0;
  char* base_ = nullptr;
};

TEST_P(ProbeTest, ReadStopsAtUnreadablePage) {
  Protect(PROT_NONE);
  std::memset(base_, 'a', page_);
  char copy[16] = {};
  EXPECT_TRUE(ProbeRead(base_ + page_ - 16, 16, copy));
  EXPECT_EQ(std::memcmp(copy, base_ + page_ - 16, 16), 0);
  EXPECT_FALSE(ProbeRead(base_ + page_ - 8, 16, copy));  // crosses into the guard page
  EXPECT_FALSE(ProbeRead(base_ + page_, 1, nullptr));
  EXPECT_TRUE(ProbeRead(base_ + page_, 0, nullptr));  // nothing to read
  EXPECT_FALSE(ProbeRead(nullptr, 4, nullptr));
  EXPECT_TRUE(ProbeRead(base_, page_, nullptr));

  uint32_t v = 0;
  std::memcpy(base_ + 8, "\x01\x02\x03\x04", 4);
  EXPECT_TRUE(SafeReadU32(base_ + 8, &v));
  EXPECT_EQ(v, 0x04030201u);
  EXPECT_FALSE(SafeReadU32(base_ + page_ - 2, &v));
  EXPECT_FALSE(SafeReadU32(nullptr, &v));
}

TEST_P(ProbeTest, WriteRefusesReadOnlyMemory) {
  Protect(PROT_READ);
  const char data[8] = {'x', 'y', 'z', 'w', '1', '2', '3', '4'};
  EXPECT_TRUE(ProbeWrite(base_ + 100, 8, data));
  EXPECT_EQ(std::memcmp(base_ + 100, data, 8), 0);
  EXPECT_FALSE(ProbeWrite(base_ + page_, 8, data));
  EXPECT_FALSE(ProbeWrite(base_ + page_ - 4, 8, data));  // half writable
  EXPECT_TRUE(ProbeWrite(base_ + 200, 64, nullptr));      // writability test only
  EXPECT_FALSE(ProbeWrite(base_ + page_, 64, nullptr));
  EXPECT_FALSE(ProbeWrite(nullptr, 1, data));
}

TEST_P(ProbeTest, StringLengthNearUnmappedPage) {
  Protect(PROT_NONE);
  char* s = base_ + page_ - 6;
  std::memcpy(s, "hello", 6);  // NUL is the last readable byte
  size_t len = 0;
  EXPECT_TRUE(SafeStrLen(s, 1000, &len));
  EXPECT_EQ(len, 5u);
  std::memcpy(s, "hellox", 6);  // no NUL before the guard page
  EXPECT_FALSE(SafeStrLen(s, 1000, &len));
  EXPECT_TRUE(SafeStrLen(s, 3, &len));  // bounded read stays readable
  EXPECT_EQ(len, 3u);
  EXPECT_FALSE(SafeStrLen(nullptr, 10, &len));
  EXPECT_TRUE(SafeStrLen("", 10, &len));
  EXPECT_EQ(len, 0u);
}

// A child of fork() probes its own memory, not its parent's: a write in
// the child changes the child's copy only.
TEST_P(ProbeTest, ChildOfForkProbesItsOwnMemory) {
  static volatile uint32_t cell = 1;
  uint32_t seen = 0;
  ASSERT_TRUE(SafeReadU32(const_cast<uint32_t*>(&cell), &seen));  // probes used before fork
  pid_t child = fork();
  if (child == 0) {
    const uint32_t two = 2;
    uint32_t back = 0;
    bool ok = ProbeWrite(const_cast<uint32_t*>(&cell), sizeof two, &two) &&
              SafeReadU32(const_cast<uint32_t*>(&cell), &back) && back == 2 && cell == 2;
    _exit(ok ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(cell, 1u);
}

INSTANTIATE_TEST_SUITE_P(Methods, ProbeTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& i) {
                           return i.param ? "Pipe" : "ProcessVm";
                         });

}  // namespace
}  // namespace qz::platform
