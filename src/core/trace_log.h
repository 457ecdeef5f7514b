// trace_log.h -- the call trace log "qzlogfile.qzx" in the current
// directory.
//
// An entry is built in memory with TraceEntry and appended by Write() with
// one write(2) (open O_APPEND|O_CREAT mode 0600, write, close), under a
// process-wide mutex, so concurrent entries never interleave. A file that
// cannot be opened or written drops the entry silently.
//
// Entry layout: timestamp "Y-M-D-h:m:s ms" without leading zeros, "mm\t",
// then " <label>\n" when the label is not empty, one line per parameter,
// and an empty line. Value formatting follows a small stream model: the
// base (decimal/hexadecimal) and the fill character set by a value stay in
// force for the rest of the entry; a width applies to the next value only.
// Hex() writes its value 8 wide with '0' fill; HexNext() without width;
// both switch the entry to hexadecimal, so later Num() values are written
// in hexadecimal (without "0x") too. Dump() also leaves the base hex.
//
// Usage:
//   TraceEntry("Call GetServerInfo").Num("dwServerID", id).Write();
//   TraceEntry("Call RemoteQueryUserLog return").Lret(r)
//       .Buffer("(*ppUserLog)", TracePeekPointer(pp),
//               "(*pdwRecordCount * sizeof(USERLOG_TABLE))", TracePeekU32(pn) * size_t{508})
//       .Write();
//
// Failures: any exception while an entry is formatted or written (also an
// unreadable string or dump buffer, detected by probing) is rethrown as
// qz_except(QZ_E_TRACEFAILED); the export frame turns it into the result
// 0xC1FF0001.
//
// Thread-safety: a TraceEntry belongs to one thread; Write() may be called
// from any number of threads at once.
#ifndef QZ_CORE_TRACE_LOG_H_
#define QZ_CORE_TRACE_LOG_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qz {

inline constexpr char kTraceFileName[] = "qzlogfile.qzx";

// Local time of an entry's timestamp.
struct TraceTime {
  int year, month, day, hour, minute, second, millisecond;
};
// The current local time.
TraceTime TraceNow();

class TraceEntry {
 public:
  // Starts an entry stamped with the current local time.
  explicit TraceEntry(std::string_view label);
  // Starts an entry with a given timestamp (tests).
  TraceEntry(std::string_view label, const TraceTime& when);

  // Number line: tab, name, " = ", value in the current base, line feed.
  TraceEntry& Num(std::string_view name, uint32_t value);
  // Number line with a signed 32-bit value (decimal base: "-1040240638").
  TraceEntry& Signed(std::string_view name, int32_t value);
  // The result line "lret", written signed.
  TraceEntry& Lret(uint32_t result) { return Signed("lret", static_cast<int32_t>(result)); }
  // Hexadecimal line: tab, name, " = 0x", value 8 wide with '0' fill.
  TraceEntry& Hex(std::string_view name, uint64_t value);
  TraceEntry& Hex(std::string_view name, const void* p) {
    return Hex(name, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)));
  }
  // Hexadecimal line right after another: no width, no leading zeros.
  TraceEntry& HexNext(std::string_view name, uint64_t value);
  // Switches the entry back to decimal for the values that follow (after a
  // dump, whose hexadecimal base would otherwise stay in force).
  TraceEntry& Decimal() {
    hex_ = false;
    return *this;
  }
  // String line; a null pointer is written as quote, blank, quote.
  TraceEntry& Str(std::string_view name, const char* text);
  // Like Str, but the text is replaced by "********" (passwords).
  TraceEntry& Secret(std::string_view name, const char* text);
  // Hexadecimal dump of n bytes at p (after its pointer and size lines).
  // A null p (no block was returned) dumps no rows, whatever n says.
  TraceEntry& Dump(const void* p, size_t n);
  // Pointer line (Hex), size line (HexNext, value n) and Dump(p, n).
  TraceEntry& Buffer(std::string_view ptr_name, const void* p, std::string_view size_name,
                     size_t n);

  // A further label line inside the entry: a blank, the label, a line
  // feed (entries that record a call and its return under one timestamp).
  TraceEntry& Label(std::string_view label);

  // The entry as it will be written (with its closing empty line).
  std::string Text() const;
  // Appends the entry to the trace file (see the file comment).
  void Write() const;

 private:
  void Begin(std::string_view label, const TraceTime& when);
  void PutNumber(uint64_t value, bool negative);
  void Line(std::string_view name, std::string_view sep);

  std::string buf_;
  bool hex_ = false;   // current base
  char fill_ = ' ';    // current fill character
  int width_ = 0;      // width for the next value only
  bool ends_with_dump_ = false;
};

// Safe reads of output arguments for return entries, which also run when
// the session never filled them (variant B after a bad server ID): null or
// unreadable pointers read as null / 0.
const void* TracePeekPointer(const void* const* pp);
uint32_t TracePeekU32(const uint32_t* p);

// Appends already formatted bytes to the trace file as one write.
// Returns false when the file could not be opened or written.
bool AppendToTraceFile(const std::string& bytes);

// Test seam: when set, every formatting step throws as if the stream had
// failed, so callers see QZ_E_TRACEFAILED.
void SetTraceFailureForTesting(bool fail);

}  // namespace qz

#endif  // QZ_CORE_TRACE_LOG_H_
