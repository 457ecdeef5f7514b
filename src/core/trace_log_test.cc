// trace_log_test.cc -- byte-exact trace entries, the file appends and
// concurrent writers. Every test runs in a fresh temporary directory.
#include "core/trace_log.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/qz_except.h"
#include "qzcsif/qzcsif.h"

namespace qz {
namespace {

namespace fs = std::filesystem;

class TraceTest : public testing::Test {
 protected:
  void SetUp() override {
    old_ = fs::current_path();
    char tmpl[] = "/tmp/qz_trace_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    fs::current_path(dir_);
  }
  void TearDown() override {
    SetTraceFailureForTesting(false);
    fs::current_path(old_);
    fs::remove_all(dir_);
  }
  static std::string ReadLog() {
    std::ifstream in(kTraceFileName, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static std::string Addr(const void* p) {
    char b[32];
    snprintf(b, sizeof b, "%08llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return b;
  }
  fs::path old_, dir_;
};

const TraceTime kWhen{2026, 12, 8, 13, 5, 7, 45};

TEST_F(TraceTest, TimestampsWithoutLeadingZeros) {
  struct Case {
    TraceTime t;
    const char* text;
  } cases[] = {
      {{2026, 12, 8, 13, 5, 7, 45}, "2026-12-8-13:5:7 45mm\t Call GetServerInfo\n\n"},
      {{2027, 2, 1, 9, 3, 4, 5}, "2027-2-1-9:3:4 5mm\t Call GetServerInfo\n\n"},
      {{2026, 1, 1, 0, 0, 0, 0}, "2026-1-1-0:0:0 0mm\t Call GetServerInfo\n\n"},
      {{2026, 10, 31, 23, 59, 59, 999}, "2026-10-31-23:59:59 999mm\t Call GetServerInfo\n\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(TraceEntry("Call GetServerInfo", c.t).Text(), c.text);
  // An empty label writes no label line; a label's trailing blank is kept.
  EXPECT_EQ(TraceEntry("", kWhen).Text(), "2026-12-8-13:5:7 45mm\t\n");
  EXPECT_EQ(TraceEntry("Call Advise ", kWhen).Text(), "2026-12-8-13:5:7 45mm\t Call Advise \n\n");
}

TEST_F(TraceTest, NumberStringAndSignedLines) {
  std::string t = TraceEntry("Call ChangePassword", kWhen)
                      .Num("dwServerID", 0xC1FF3002u)
                      .Lret(1)
                      .Lret(0xC1FF3002u)
                      .Lret(0xC1FF301Au)
                      .Str("lpszOldPwd", nullptr)
                      .Str("pszCondition", "a = 'b'\tc")
                      .Secret("lpszNewPwd", "hunter2")
                      .Text();
  EXPECT_EQ(t,
            "2026-12-8-13:5:7 45mm\t Call ChangePassword\n"
            "\tdwServerID = 3254726658\n"
            "\tlret = 1\n"
            "\tlret = -1040240638\n"
            "\tlret = -1040240614\n"
            "\tlpszOldPwd = \" \"\n"
            "\tpszCondition = a = 'b'\tc\n"
            "\tlpszNewPwd = ********\n"
            "\n");
}

TEST_F(TraceTest, HexWidthAndStickyBase) {
  std::string t = TraceEntry("L", kWhen)
                      .Num("before", 255)
                      .Hex("pvBuff", uint64_t{0x1234})
                      .HexNext("dwSize", 0x10)
                      .Num("dwLockFlag", 255)  // base stays hexadecimal
                      .Lret(0xC1FF3002u)       // a negative value in hex: its bit pattern
                      .Hex("second", uint64_t{0xab})
                      .Text();
  EXPECT_EQ(t,
            "2026-12-8-13:5:7 45mm\t L\n"
            "\tbefore = 255\n"
            "\tpvBuff = 0x00001234\n"
            "\tdwSize = 0x10\n"
            "\tdwLockFlag = ff\n"
            "\tlret = c1ff3002\n"
            "\tsecond = 0x000000ab\n"
            "\n");
  // A new entry starts decimal again.
  EXPECT_EQ(TraceEntry("L", kWhen).Num("n", 255).Text(), "2026-12-8-13:5:7 45mm\t L\n\tn = 255\n\n");
}

TEST_F(TraceTest, DumpOfZeroBytes) {
  char b[1] = {};
  EXPECT_EQ(TraceEntry("L", kWhen).Buffer("(*ppInfo)", b, "(*pdwSize)", 0).Text(),
            "2026-12-8-13:5:7 45mm\t L\n"
            "\t(*ppInfo) = 0x" + Addr(b) + "\n"
            "\t(*pdwSize) = 0x0\n"
            "\n\n");
}

TEST_F(TraceTest, DumpOfSixteenAndTwentyBytes) {
  unsigned char b[20];
  for (int i = 0; i < 20; ++i) b[i] = static_cast<unsigned char>('A' + i);
  b[3] = '\n';  // control characters go out raw
  b[4] = 0;
  std::string row1_chars(reinterpret_cast<char*>(b), 16);
  std::string row1 = "\t\n\t0x" + Addr(b) +
                     "\t41 42 43 0a 00 46 47 48 49 4a 4b 4c 4d 4e 4f 50 ";
  EXPECT_EQ(TraceEntry("L", kWhen).Buffer("p", b, "n", 16).Text(),
            "2026-12-8-13:5:7 45mm\t L\n\tp = 0x" + Addr(b) + "\n\tn = 0x10\n" + row1 + "\n\n");
  EXPECT_EQ(TraceEntry("L", kWhen).Buffer("p", b, "n", 20).Text(),
            "2026-12-8-13:5:7 45mm\t L\n\tp = 0x" + Addr(b) + "\n\tn = 0x14\n" + row1 + "\t" +
                row1_chars + "\n\t0x" + Addr(b + 16) + "\t51 52 53 54 \n\n");
}

// Dumps are formatted a chunk at a time: rows on both sides of a chunk's
// end (the first row of a chunk repeats the last row of the one before)
// read exactly as one row-by-row formatting of the whole block.
TEST_F(TraceTest, DumpRowsAcrossTheFormattingChunks) {
  std::vector<unsigned char> block(3 * 16384 + 20);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 37 + (i >> 9));
  for (size_t n : {size_t{16383}, size_t{16384}, size_t{16385}, size_t{16384 + 20}, block.size()}) {
    SCOPED_TRACE(n);
    std::string rows;
    for (size_t i = 0; i < n; ++i) {
      if (i % 16 == 0) {
        rows += "\t";
        if (i > 0) rows.append(reinterpret_cast<const char*>(&block[i - 16]), 16);
        rows += "\n\t0x" + Addr(&block[i]) + "\t";
      }
      char cell[4];
      snprintf(cell, sizeof cell, "%02x ", block[i]);
      rows += cell;
    }
    const std::string text = TraceEntry("L", kWhen).Dump(block.data(), n).Text();
    const std::string head = "2026-12-8-13:5:7 45mm\t L\n";
    ASSERT_EQ(text.substr(0, head.size()), head);
    EXPECT_TRUE(text.substr(head.size()) == rows + "\n\n");
  }
}

TEST_F(TraceTest, ParameterAfterDumpFollowsTheEmptyLine) {
  unsigned char b[2] = {1, 2};
  EXPECT_EQ(TraceEntry("L", kWhen).Dump(b, 2).Num("dwInfoType", 10).Text(),
            "2026-12-8-13:5:7 45mm\t L\n\t\n\t0x" + Addr(b) + "\t01 02 \n\n\tdwInfoType = a\n\n");
}

TEST_F(TraceTest, NullBlockDumpsNothingAndPeeksAreSafe) {
  EXPECT_EQ(TraceEntry("L", kWhen).Buffer("(*ppInfo)", nullptr, "n", 508).Text(),
            "2026-12-8-13:5:7 45mm\t L\n\t(*ppInfo) = 0x00000000\n\tn = 0x1fc\n\n\n");
  int x = 5;
  const void* px = &x;
  uint32_t count = 3;
  EXPECT_EQ(TracePeekPointer(&px), &x);
  EXPECT_EQ(TracePeekPointer(nullptr), nullptr);
  EXPECT_EQ(TracePeekPointer(reinterpret_cast<const void* const*>(uintptr_t{24})), nullptr);
  EXPECT_EQ(TracePeekU32(&count), 3u);
  EXPECT_EQ(TracePeekU32(nullptr), 0u);
  EXPECT_EQ(TracePeekU32(reinterpret_cast<const uint32_t*>(uintptr_t{24})), 0u);
}

TEST_F(TraceTest, UnreadableMemoryFailsTheEntry) {
  const void* bad = reinterpret_cast<const void*>(uintptr_t{8});
  try {
    TraceEntry("L", kWhen).Buffer("p", bad, "n", 4);
    FAIL() << "no exception";
  } catch (const qz_except& e) {
    EXPECT_EQ(e.GetErrorCode(), QZ_E_TRACEFAILED);
  }
  EXPECT_THROW(TraceEntry("L", kWhen).Str("s", static_cast<const char*>(bad)), qz_except);
}

TEST_F(TraceTest, FailureSeamThrowsTraceFailed) {
  SetTraceFailureForTesting(true);
  try {
    TraceEntry("L").Num("x", 1).Write();
    FAIL() << "no exception";
  } catch (const qz_except& e) {
    EXPECT_EQ(e.GetErrorCode(), QZ_E_TRACEFAILED);
  }
  SetTraceFailureForTesting(false);
  EXPECT_FALSE(fs::exists(kTraceFileName));
}

TEST_F(TraceTest, AppendsWithMode0600) {
  TraceEntry("one", kWhen).Write();
  TraceEntry("two", kWhen).Num("x", 2).Write();
  EXPECT_EQ(ReadLog(), "2026-12-8-13:5:7 45mm\t one\n\n2026-12-8-13:5:7 45mm\t two\n\tx = 2\n\n");
  struct stat st;
  ASSERT_EQ(stat(kTraceFileName, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(TraceTest, UnopenableFileDropsEntriesSilently) {
  // A directory of the log's name cannot be opened for writing, even by root.
  ASSERT_TRUE(fs::create_directory(kTraceFileName));
  EXPECT_NO_THROW(TraceEntry("lost").Num("x", 1).Write());
  EXPECT_FALSE(AppendToTraceFile("x"));
  EXPECT_TRUE(fs::is_directory(kTraceFileName));
}

TEST_F(TraceTest, ConcurrentEntriesNeverInterleave) {
  constexpr int kThreads = 6, kPerThread = 300;
  std::vector<std::thread> threads;
  std::vector<unsigned char> payload(40);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<unsigned char>('a' + i % 26);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i)
        TraceEntry("Call T" + std::to_string(t), kWhen)
            .Num("i", static_cast<uint32_t>(i))
            .Buffer("p", payload.data(), "n", payload.size())
            .Write();
    });
  }
  for (auto& th : threads) th.join();
  const std::string expected_tail =
      TraceEntry("", kWhen).Buffer("p", payload.data(), "n", payload.size()).Text().substr(22);  // drop the timestamp and "mm\t"
  std::string log = ReadLog();
  // Split into entries at each timestamp start and check every one whole.
  const std::string stamp = "2026-12-8-13:5:7 45mm\t Call T";
  std::vector<int> next(kThreads, 0);
  size_t pos = 0;
  int entries = 0;
  while (pos < log.size()) {
    ASSERT_EQ(log.compare(pos, stamp.size(), stamp), 0) << "at " << pos;
    size_t end = log.find(stamp, pos + 1);
    if (end == std::string::npos) end = log.size();
    std::string entry = log.substr(pos, end - pos);
    int t = entry[stamp.size()] - '0';
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    std::string want = stamp + std::to_string(t) + "\n\ti = " + std::to_string(next[t]++) + "\n" +
                       expected_tail;
    ASSERT_EQ(entry, want);
    ++entries;
    pos = end;
  }
  EXPECT_EQ(entries, kThreads * kPerThread);
}

}  // namespace
}  // namespace qz

namespace qz {
namespace {

// Tracing N bytes takes O(1) extra memory: in a child whose address space
// leaves 6 MiB spare, a 2 MiB reply's dump (about 10 MB of text) is
// still written in full, byte for byte what Text() gives.
TEST_F(TraceTest, LongDumpsAreWrittenInBoundedPieces) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "address-space limits do not mix with sanitizer shadow memory";
#endif
  std::vector<unsigned char> block(2u << 20);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 31 + 7);
  const std::string want =
      TraceEntry("Call Big return", kWhen).Buffer("p", block.data(), "n", block.size()).Text();
  pid_t child = fork();
  if (child == 0) {
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0;
    statm >> pages;
    const rlim_t limit = pages * static_cast<size_t>(sysconf(_SC_PAGESIZE)) + (6u << 20);
    rlimit rl{limit, limit};
    if (setrlimit(RLIMIT_AS, &rl) != 0) _exit(4);
    try {
      TraceEntry("Call Big return", kWhen).Buffer("p", block.data(), "n", block.size()).Write();
    } catch (...) {
      _exit(2);
    }
    _exit(0);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(ReadLog() == want) << ReadLog().size() << " bytes written, " << want.size()
                                 << " expected";
}

// The file is opened before anything is formatted: an entry that cannot be
// written reads nothing (its buffer may be gone by then); one that can
// reads the dump at that moment and reports bytes that went away.
TEST_F(TraceTest, TheFileIsOpenedBeforeTheDumpIsRead) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  for (bool openable : {false, true}) {
    SCOPED_TRACE(openable ? "openable" : "unopenable");
    fs::remove_all(kTraceFileName);
    if (!openable) fs::create_directory(kTraceFileName);  // open(2) fails on it
    void* m = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(m, MAP_FAILED);
    TraceEntry e("Call X return", kWhen);
    e.Buffer("p", m, "n", 64);
    ASSERT_EQ(mprotect(m, page, PROT_NONE), 0);
    uint32_t code = 0;
    try {
      e.Write();
    } catch (const qz_except& x) {
      code = x.GetErrorCode();
    }
    EXPECT_EQ(code, openable ? QZ_E_TRACEFAILED : 0u);
    munmap(m, page);
  }
  fs::remove_all(kTraceFileName);
}

}  // namespace
}  // namespace qz
