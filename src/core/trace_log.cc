// trace_log.cc -- the call trace log.
// Thread-safety: see trace_log.h (one mutex serialises the file appends).
#include "core/trace_log.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "core/qz_except.h"
#include "platform/probe.h"
#include "qzcsif/qzcsif.h"

namespace qz {
namespace {

std::mutex g_file_mutex;
std::atomic<bool> g_fail_for_testing{false};

// Longest string parameter written (condition texts may be long).
constexpr size_t kMaxTraceString = 16u << 20;

// Runs one formatting step; any exception becomes QZ_E_TRACEFAILED.
template <typename F>
void Step(F&& f) {
  try {
    if (g_fail_for_testing.load()) throw std::runtime_error("trace stream failure");
    f();
  } catch (const qz_except&) {
    throw;
  } catch (...) {
    throw qz_except(QZ_E_TRACEFAILED, nullptr);
  }
}

void AppendDec(std::string* out, uint64_t v) {
  char tmp[24];
  int n = 0;
  do {
    tmp[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n > 0) out->push_back(tmp[--n]);
}

void AppendHex(std::string* out, uint64_t v, int width, char fill) {
  static const char kDigits[] = "0123456789abcdef";
  char tmp[20];
  int n = 0;
  do {
    tmp[n++] = kDigits[v & 0xF];
    v >>= 4;
  } while (v != 0);
  for (int i = n; i < width; ++i) out->push_back(fill);
  while (n > 0) out->push_back(tmp[--n]);
}

}  // namespace

TraceTime TraceNow() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm;
  localtime_r(&ts.tv_sec, &tm);
  return TraceTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                   tm.tm_min,         tm.tm_sec,     static_cast<int>(ts.tv_nsec / 1000000)};
}

TraceEntry::TraceEntry(std::string_view label) { Begin(label, TraceNow()); }

TraceEntry::TraceEntry(std::string_view label, const TraceTime& when) { Begin(label, when); }

void TraceEntry::Begin(std::string_view label, const TraceTime& when) {
  Step([&] {
    buf_.reserve(128);
    const int parts[] = {when.year, when.month, when.day, when.hour, when.minute, when.second};
    const char seps[] = {'-', '-', '-', ':', ':', ' '};
    for (int i = 0; i < 6; ++i) {
      AppendDec(&buf_, static_cast<uint64_t>(parts[i] < 0 ? 0 : parts[i]));
      buf_.push_back(seps[i]);
    }
    AppendDec(&buf_, static_cast<uint64_t>(when.millisecond < 0 ? 0 : when.millisecond));
    buf_ += "mm\t";
    if (!label.empty()) {
      buf_.push_back(' ');
      buf_ += label;
      buf_.push_back('\n');
    }
  });
}

void TraceEntry::PutNumber(uint64_t value, bool negative) {
  std::string digits;
  if (hex_) {
    AppendHex(&digits, value, 0, fill_);
  } else {
    if (negative) digits.push_back('-');
    AppendDec(&digits, value);
  }
  for (int i = static_cast<int>(digits.size()); i < width_; ++i) buf_.push_back(fill_);
  width_ = 0;  // a width applies to one value only
  buf_ += digits;
}

void TraceEntry::Line(std::string_view name, std::string_view sep) {
  buf_.push_back('\t');
  buf_ += name;
  buf_ += sep;
  ends_with_dump_ = false;
}

TraceEntry& TraceEntry::Num(std::string_view name, uint32_t value) {
  Step([&] {
    Line(name, " = ");
    PutNumber(value, false);
    buf_.push_back('\n');
  });
  return *this;
}

TraceEntry& TraceEntry::Signed(std::string_view name, int32_t value) {
  Step([&] {
    Line(name, " = ");
    if (hex_) {
      // A hexadecimal stream writes a negative int as its 32-bit pattern.
      PutNumber(static_cast<uint32_t>(value), false);
    } else {
      int64_t v = value;
      PutNumber(static_cast<uint64_t>(v < 0 ? -v : v), v < 0);
    }
    buf_.push_back('\n');
  });
  return *this;
}

TraceEntry& TraceEntry::Hex(std::string_view name, uint64_t value) {
  Step([&] {
    Line(name, " = 0x");
    hex_ = true;
    fill_ = '0';
    width_ = 8;
    PutNumber(value, false);
    buf_.push_back('\n');
  });
  return *this;
}

TraceEntry& TraceEntry::HexNext(std::string_view name, uint64_t value) {
  Step([&] {
    Line(name, " = 0x");
    hex_ = true;
    PutNumber(value, false);
    buf_.push_back('\n');
  });
  return *this;
}

TraceEntry& TraceEntry::Str(std::string_view name, const char* text) {
  Step([&] {
    std::string value;
    if (text == nullptr) {
      value = "\" \"";
    } else {
      size_t len = 0;
      if (!platform::SafeStrLen(text, kMaxTraceString, &len))
        throw std::runtime_error("unreadable string parameter");
      value.assign(text, len);
    }
    Line(name, " = ");
    buf_ += value;
    buf_.push_back('\n');
  });
  return *this;
}

TraceEntry& TraceEntry::Secret(std::string_view name, const char* text) {
  Step([&] {
    Line(name, " = ");
    buf_ += text == nullptr ? "\" \"" : "********";
    buf_.push_back('\n');
  });
  return *this;
}

TraceEntry& TraceEntry::Dump(const void* p, size_t n) {
  if (p == nullptr) n = 0;
  Step([&] {
    std::vector<unsigned char> bytes(n);
    if (n != 0 && !platform::ProbeRead(p, n, bytes.data()))
      throw std::runtime_error("unreadable dump buffer");
    const uintptr_t base = reinterpret_cast<uintptr_t>(p);
    for (size_t i = 0; i < n; ++i) {
      if (i % 16 == 0) {
        buf_.push_back('\t');
        if (i > 0) buf_.append(reinterpret_cast<const char*>(&bytes[i - 16]), 16);
        buf_ += "\n\t0x";
        AppendHex(&buf_, base + i, 8, '0');
        buf_.push_back('\t');
      }
      AppendHex(&buf_, bytes[i], 2, '0');
      buf_.push_back(' ');
    }
    buf_ += "\n\n";
    hex_ = true;
    fill_ = '0';
    width_ = 0;
    ends_with_dump_ = true;
  });
  return *this;
}

TraceEntry& TraceEntry::Label(std::string_view label) {
  Step([&] {
    buf_.push_back(' ');
    buf_ += label;
    buf_.push_back('\n');
    ends_with_dump_ = false;
  });
  return *this;
}

TraceEntry& TraceEntry::Buffer(std::string_view ptr_name, const void* p,
                               std::string_view size_name, size_t n) {
  return Hex(ptr_name, p).HexNext(size_name, n).Dump(p, n);
}

std::string TraceEntry::Text() const {
  // A dump's second line feed already is the closing empty line.
  return ends_with_dump_ ? buf_ : buf_ + "\n";
}

void TraceEntry::Write() const {
  std::string text;
  Step([&] { text = Text(); });
  (void)AppendToTraceFile(text);
}

const void* TracePeekPointer(const void* const* pp) {
  const void* p = nullptr;
  if (pp == nullptr || !platform::ProbeRead(pp, sizeof p, &p)) return nullptr;
  return p;
}

uint32_t TracePeekU32(const uint32_t* p) {
  uint32_t v = 0;
  return platform::SafeReadU32(p, &v) ? v : 0;
}

bool AppendToTraceFile(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(g_file_mutex);
  int fd = ::open(kTraceFileName, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = true;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  return ok;
}

void SetTraceFailureForTesting(bool fail) { g_fail_for_testing.store(fail); }

}  // namespace qz
