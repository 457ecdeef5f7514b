// trace_parse.h -- an incremental reader of the call trace log
// qzlogfile.qzx, independent of the library's own trace code.
//
// What the library writes, one entry after another:
//   "<Y>-<M>-<D>-<h>:<m>:<s> <ms>mm\t" then " <label>\n" (no label: nothing,
//   the first parameter line follows on the same line), parameter lines
//   "\t<name> = <value>\n" (" = 0x<hex>" for hexadecimal ones), further
//   label lines " <label>\n", and an empty line. A buffer dump follows its
//   pointer and size lines: a line holding only a tab, then rows
//   "\t0x<address>\t" + up to 16 "xx " groups; every full row that is not
//   the last is followed by "\t" and its 16 bytes raw (any byte, newlines
//   included) and a line feed; the last row ends in "\n\n". An entry may go
//   on after a dump's closing empty line (lines written after the dump).
//
// The reader takes the file in pieces of any size (a file that grows while
// it is read), parses dump rows by their structure rather than by lines,
// and bounds everything: line length, lines and dumps per entry, dump bytes
// kept. Bytes that are no entry are reported as garbage and skipped up to
// the next timestamp (also one in the middle of a line: an entry torn by a
// crash is followed directly by the next writer's entry). An entry that
// ends before its closing empty line is passed on marked torn.
//
// Thread-safety: a TraceParser belongs to one thread.
#ifndef QZFAX_TRACE_PARSE_H_
#define QZFAX_TRACE_PARSE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qzfax::trace {

// A timestamp as written (local time of the writing process).
struct Stamp {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
  // Milliseconds since 1970-01-01 00:00 of the same (local) clock.
  int64_t Millis() const;
  // "2026-12-09 23:05:07.045" (sep ' ') or with 'T'.
  std::string Text(char sep = ' ') const;
};
// Parses "2026-12-9-23:5:7 45" (the log's form) or ISO "2026-12-09",
// "2026-12-09T23:05", "2026-12-09 23:05:07", "2026-12-09T23:05:07.045".
std::optional<Stamp> ParseStampArgument(std::string_view text);

// A dump of bytes following its size line.
struct Dump {
  uint64_t total = 0;           // bytes in the log
  std::vector<uint8_t> bytes;   // the first of them (at most kMaxDumpKeep)
  bool complete = false;        // its closing line was read
};

// One line of an entry, in file order.
struct Line {
  enum Kind { kLabel, kParam } kind = kParam;
  std::string name;   // the label, or the parameter's name
  std::string value;  // the parameter's value ("0x" hexadecimal lines: the digits)
  bool hex = false;   // written " = 0x..."
  bool in_hex_base = false;  // a hexadecimal line or a dump came earlier in the entry
  int dump = -1;      // index into Entry::dumps of the dump after this line
};

struct Entry {
  uint64_t offset = 0;  // of the timestamp in the file
  Stamp stamp;
  std::vector<Line> lines;
  std::vector<Dump> dumps;
  bool torn = false;
  std::string torn_reason;
  size_t lines_dropped = 0;  // beyond kMaxLines
  size_t values_cut = 0;     // lines longer than kMaxLineBytes, kept cut

  // The labels, in order.
  std::vector<std::string> Labels() const;
  // The first parameter line called `name`, or null.
  const Line* Param(std::string_view name) const;
};

// Something in the file that is no (whole) entry.
struct Problem {
  uint64_t offset = 0;
  uint64_t length = 0;  // bytes concerned (0: a point)
  std::string what;
};

inline constexpr size_t kMaxLineBytes = 1u << 20;     // longer lines are cut
inline constexpr size_t kMaxLines = 4096;             // per entry
inline constexpr size_t kMaxDumps = 256;              // per entry
inline constexpr size_t kMaxDumpKeep = 4u << 20;      // bytes kept per dump

class TraceParser {
 public:
  using EntrySink = std::function<void(Entry&&)>;
  using ProblemSink = std::function<void(Problem&&)>;
  TraceParser(EntrySink on_entry, ProblemSink on_problem)
      : on_entry_(std::move(on_entry)), on_problem_(std::move(on_problem)) {}

  // Bytes that follow those fed before.
  void Feed(std::string_view bytes);
  // No more bytes for now. An entry whose closing empty line was read is
  // passed on; with `at_end` an unfinished one is passed on as torn and
  // unread garbage is reported.
  void Flush(bool at_end);
  // Forgets everything fed (a log read again from its start).
  void Reset();
  // True while an entry has begun and not been passed on.
  bool InEntry() const { return state_ != State::kBetween; }
  // True when the entry in progress lacks its closing empty line.
  bool Unfinished() const { return state_ == State::kEntry || state_ == State::kDump; }
  // Bytes fed so far.
  uint64_t Fed() const { return base_ + buf_.size(); }

 private:
  enum class State { kBetween, kEntry, kMaybeEnded, kDump };
  enum class Step { kDone, kNeedMore };

  // A line at `from`: [begin, end) is kept, next is where the following
  // line starts. False when its line feed is yet to come.
  struct LineRef {
    size_t begin, end, next;
    bool cut;
  };
  bool TakeLine(size_t from, LineRef* line);
  void Run();
  Step StepBetween();
  Step StepEntry();
  Step StepDump();
  void StartEntry(size_t at, size_t line_end);
  void AddLine(std::string_view text);
  void EndEntry(bool torn, const char* reason);
  void Garbage(uint64_t from, uint64_t to);
  void FlushGarbage();
  size_t Avail() const { return buf_.size() - pos_; }

  EntrySink on_entry_;
  ProblemSink on_problem_;
  std::string buf_;   // unconsumed input from pos_
  size_t pos_ = 0;
  uint64_t base_ = 0;  // file offset of buf_[0]
  State state_ = State::kBetween;
  Entry cur_;
  bool hex_base_ = false;
  bool skipping_line_ = false;  // discarding the rest of an overlong line
  uint64_t garbage_from_ = 0, garbage_to_ = 0;
  bool at_end_ = false;
};

// Finds the first timestamp "Y-M-D-h:m:s msmm\t" starting at or after
// `from` in text; npos if none. Sets *stamp and *end (just after the tab).
size_t FindStamp(std::string_view text, size_t from, Stamp* stamp, size_t* end);

}  // namespace qzfax::trace

#endif  // QZFAX_TRACE_PARSE_H_
