// platform_test.cc -- tests of the platform layer.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace qz::platform {
namespace {

TEST(ThreadErrorBlock, ZeroFilledAndPerThread) {
  uint8_t* mine = ThreadErrorBlock();
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(ThreadErrorBlock(), mine);  // the same block on every call
  mine[0] = 0x7f;
  uint8_t* other = nullptr;
  bool other_zero = false;
  const uint8_t* peek_before = reinterpret_cast<const uint8_t*>(1);
  std::thread([&] {
    peek_before = PeekThreadErrorBlock();  // a new thread has none yet
    other = ThreadErrorBlock();
    other_zero = true;
    for (size_t i = 0; i < kThreadErrorBlockSize; ++i) other_zero = other_zero && other[i] == 0;
  }).join();
  EXPECT_EQ(peek_before, nullptr);
  EXPECT_NE(other, nullptr);
  EXPECT_TRUE(other_zero);
  EXPECT_EQ(mine[0], 0x7f);  // not touched by the other thread
  mine[0] = 0;
}

TEST(Heap, AllocZeroFilledAndFree) {
  EXPECT_EQ(HeapAlloc(0), nullptr);
  auto* p = static_cast<uint8_t*>(HeapAlloc(64));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(p[i], 0);
  EXPECT_NE(HeapFree(p), 0u);
  EXPECT_EQ(HeapFree(nullptr), 0u);
}

// Whether any mapping overlapping [p, p + n) carries the huge-page advice
// ("hg" among its VmFlags in /proc/self/smaps).
bool AdvisedHuge(const void* p, size_t n) {
  std::ifstream smaps("/proc/self/smaps");
  const uintptr_t from = reinterpret_cast<uintptr_t>(p), to = from + n;
  bool overlaps = false;
  for (std::string line; std::getline(smaps, line);) {
    uintptr_t lo = 0, hi = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx ", &lo, &hi) == 2 && line.find('-') < 17) {
      overlaps = lo < to && from < hi;
    } else if (overlaps && line.rfind("VmFlags:", 0) == 0 && line.find(" hg") != std::string::npos) {
      return true;
    }
  }
  return false;
}

// Growth keeps the bytes and at least doubles; the huge-page advice starts
// exactly at kLargeBlockBytes.
TEST(Heap, LargeBuffersGrowAdvisedFromTheThreshold) {
  struct Case {
    size_t size;
    bool advised;
  };
  for (const Case& c : {Case{kLargeBlockBytes - 1, false}, Case{kLargeBlockBytes, true}}) {
    SCOPED_TRACE(c.size);
    void* block = HeapAlloc(c.size);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(AdvisedHuge(block, c.size), c.advised);
    HeapFree(block);
    std::vector<uint8_t> v;
    ReserveMore(&v, c.size);
    EXPECT_GE(v.capacity(), c.size);
    EXPECT_EQ(AdvisedHuge(v.data(), c.size), c.advised);
  }
  std::vector<uint8_t> v = {1, 2, 3};
  for (size_t step = 0; v.size() < 3 * kLargeBlockBytes; ++step) {
    const size_t before = v.capacity();
    ReserveMore(&v, v.capacity() - v.size() + 1);  // one byte past the room there is
    ASSERT_GE(v.capacity(), 2 * before);
    v.resize(v.capacity(), static_cast<uint8_t>(step));
  }
  EXPECT_EQ(v[0] + v[1] + v[2], 6);
  EXPECT_TRUE(AdvisedHuge(v.data(), v.size()));
  EXPECT_THROW(ReserveMore(&v, v.max_size()), std::bad_alloc);
}

TEST(LastError, PerThreadAndErrnoMapping) {
  struct Case {
    int err;
    uint32_t win32;
  } cases[] = {{0, 0}, {ENOENT, 2}, {ENOTDIR, 3}, {EACCES, 5}, {EPERM, 5},
               {EBADF, 6}, {ENOMEM, 8}, {EINVAL, 87}, {ENOSPC, 112}};
  for (const Case& c : cases) {
    SetLastErrorFromErrno(c.err);
    EXPECT_EQ(GetLastError(), c.win32) << "errno " << c.err;
    // Every code we map to has a text.
    EXPECT_NE(SystemMessageText(c.win32), nullptr) << c.win32;
  }
  SetLastError(126);
  uint32_t seen = 99;
  std::thread([&] { seen = GetLastError(); }).join();
  EXPECT_EQ(seen, 0u);  // a fresh thread starts at 0
  EXPECT_EQ(GetLastError(), 126u);
}

TEST(SystemMessages, CoversCodesTheLibraryRaises) {
  EXPECT_TRUE(SystemMessageTableIsSorted());
  const uint32_t codes[] = {0,    2,    3,    5,    6,    8,    14,   87,   126,  317,
                            1130, 1700, 1702, 1703, 1704, 1706, 1707, 1708, 1717, 1722,
                            1723, 1726, 1727, 1728, 1730, 1745, 1752, 1753, 1764, 1780,
                            1783, 1818, 1820, 0xC0000005u};
  for (uint32_t c : codes) {
    const char* t = SystemMessageText(c);
    ASSERT_NE(t, nullptr) << c;
    EXPECT_GT(std::string(t).size(), 5u) << c;
  }
  EXPECT_EQ(SystemMessageText(0xC1FF3002u), nullptr);  // library statuses are not here
  EXPECT_EQ(SystemMessageText(123456), nullptr);
  EXPECT_STREQ(SystemMessageText(126), "The specified module could not be found.");
  EXPECT_STREQ(SystemMessageText(0x800706BAu), SystemMessageText(1722));  // HRESULT form
  EXPECT_STREQ(SystemMessageText(0x80070057u), "One or more arguments are invalid.");
  EXPECT_EQ(SystemMessageText(0x80071234u), nullptr);
}

std::vector<std::string>* g_boxes;
void CaptureBox(const char* text, const char* caption) {
  g_boxes->push_back(std::string(caption) + "|" + text);
}

TEST(MessageBox, SinkIsReplaceable) {
  std::vector<std::string> boxes;
  g_boxes = &boxes;
  MessageBoxSink old = SetMessageBoxSink(&CaptureBox);
  ShowMessageBox("access violation", "Exception Happen");
  ShowMessageBox(nullptr, nullptr);
  SetMessageBoxSink(old);
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0], "Exception Happen|access violation");
  EXPECT_EQ(boxes[1], "|");
}

TEST(MessageBox, DefaultWritesOneLineToStderr) {
  SetMessageBoxSink(nullptr);
  testing::internal::CaptureStderr();
  ShowMessageBox("Error Code: (0x00000005), Message: Access is denied.\n", "Quazel");
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out, "Quazel: Error Code: (0x00000005), Message: Access is denied.\n");
}

TEST(Modules, DirectoryAndLoadFailures) {
  std::string dir = ModuleDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.front(), '/');
  EXPECT_EQ(dir.back(), '/');

  EXPECT_EQ(LoadModule("/nonexistent-dir/libnothing.so"), nullptr);
  EXPECT_EQ(GetLastError(), 2u);
  EXPECT_EQ(LoadModule("libqz-no-such-module.so"), nullptr);
  EXPECT_EQ(GetLastError(), 126u);
  EXPECT_EQ(LoadModule("/proc/self/status"), nullptr);  // exists, not loadable
  EXPECT_EQ(GetLastError(), 193u);

  void* libc = LoadModule("libc.so.6");
  ASSERT_NE(libc, nullptr);
  EXPECT_NE(ModuleSymbol(libc, "strlen"), nullptr);
  EXPECT_EQ(ModuleSymbol(libc, "qz_no_such_symbol"), nullptr);
  FreeModule(libc);
}

}  // namespace
}  // namespace qz::platform
