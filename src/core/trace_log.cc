// trace_log.cc -- the call trace log.
// Thread-safety: see trace_log.h (one mutex serialises the file appends).
#include "core/trace_log.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <algorithm>
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
    // Readable now (checked through a small buffer); read again at Write.
    if (n != 0 && !platform::ProbeRead(p, n, nullptr))
      throw std::runtime_error("unreadable dump buffer");
    pieces_.push_back(Piece{std::move(buf_), static_cast<const unsigned char*>(p), n});
    buf_.clear();
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

namespace {

// Rows of a dump: "\t0x<address>\t" and "xx " per byte; each row after the
// first starts with the previous row's 16 raw bytes; "\n\n" at the end.
// Formatted from reads of kDumpChunk bytes into one reused output piece.
constexpr size_t kDumpChunk = 16 * 1024;  // a multiple of 16

template <typename Sink>
bool EmitDump(const unsigned char* p, size_t n, Sink&& sink) {
  std::vector<unsigned char> bytes(16 + std::min(n, kDumpChunk));  // previous row + chunk
  std::string out;
  out.reserve(bytes.size() / 16 * 80 + 16);
  const uintptr_t base = reinterpret_cast<uintptr_t>(p);
  for (size_t off = 0; off < n; off += kDumpChunk) {
    const size_t part = std::min(kDumpChunk, n - off);
    if (off > 0) std::memcpy(bytes.data(), bytes.data() + 16 + kDumpChunk - 16, 16);
    if (!platform::ProbeRead(p + off, part, bytes.data() + 16))
      throw qz_except(QZ_E_TRACEFAILED, nullptr);
    out.clear();
    for (size_t k = 0; k < part; k += 16) {  // a chunk starts a row
      const size_t i = off + k;
      out.push_back('\t');
      if (i > 0) out.append(reinterpret_cast<const char*>(bytes.data() + k), 16);
      out += "\n\t0x";
      AppendHex(&out, base + i, 8, '0');
      out.push_back('\t');
      static constexpr char kDigits[] = "0123456789abcdef";
      char cells[16 * 3];
      const size_t m = std::min<size_t>(16, part - k);
      for (size_t j = 0; j < m; ++j) {
        const unsigned char b = bytes[16 + k + j];
        cells[3 * j] = kDigits[b >> 4];
        cells[3 * j + 1] = kDigits[b & 0xF];
        cells[3 * j + 2] = ' ';
      }
      out.append(cells, 3 * m);
    }
    if (!sink(std::string_view(out))) return false;
  }
  return sink(std::string_view("\n\n"));
}

}  // namespace

template <typename Sink>
bool TraceEntry::Emit(Sink&& sink) const {
  for (const Piece& piece : pieces_) {
    if (!sink(std::string_view(piece.text))) return false;
    if (!EmitDump(piece.dump, piece.n, sink)) return false;
  }
  // A dump's second line feed already is the closing empty line.
  if (!sink(std::string_view(buf_))) return false;
  return ends_with_dump_ || sink(std::string_view("\n"));
}

TraceEntry& TraceEntry::Buffer(std::string_view ptr_name, const void* p,
                               std::string_view size_name, size_t n) {
  return Hex(ptr_name, p).HexNext(size_name, n).Dump(p, n);
}

std::string TraceEntry::Text() const {
  std::string text;
  Step([&] {
    Emit([&](std::string_view piece) {
      text += piece;
      return true;
    });
  });
  return text;
}

namespace {

// The trace file, opened under the trace lock for one entry.
class TraceFile {
 public:
  TraceFile() : lock_(g_file_mutex) {
    fd_ = ::open(kTraceFileName, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  }
  ~TraceFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool open() const { return fd_ >= 0; }
  bool Put(std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

 private:
  std::lock_guard<std::mutex> lock_;
  int fd_ = -1;
};

}  // namespace

void TraceEntry::Write() const {
  Step([] {});  // the failure seam applies here too
  TraceFile file;
  if (!file.open()) return;  // dropped; nothing is formatted
  Step([&] { Emit([&](std::string_view piece) { return file.Put(piece); }); });
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
  TraceFile file;
  return file.open() && file.Put(bytes);
}

void SetTraceFailureForTesting(bool fail) { g_fail_for_testing.store(fail); }

}  // namespace qz
