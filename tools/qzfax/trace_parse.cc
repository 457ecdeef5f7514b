// trace_parse.cc -- the incremental trace log reader (see trace_parse.h).
// Thread-safety: see trace_parse.h.
#include "trace_parse.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace qzfax::trace {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  return (c | 0x20) - 'a' + 10;
}

// Reads up to `max` digits ending just before text[*i] backwards; false
// when there is none. On success *i is the index of the first digit.
bool DigitsBack(std::string_view text, size_t* i, size_t lo, int max, int* value) {
  size_t j = *i;
  int n = 0;
  while (n < max && j > lo && IsDigit(text[j - 1])) {
    --j;
    ++n;
  }
  if (n == 0) return false;
  int v = 0;
  for (size_t k = j; k < *i; ++k) v = v * 10 + (text[k] - '0');
  *value = v;
  *i = j;
  return true;
}

// Parses the timestamp that ends at text[mm] ("mm\t" starts at mm),
// beginning no earlier than lo. Returns its start or npos.
size_t StampBefore(std::string_view text, size_t mm, size_t lo, Stamp* s) {
  size_t i = mm;
  // Backwards: ms ' ' sec ':' min ':' hour '-' day '-' month '-' year.
  struct Part {
    int* field;
    int max_digits;
    char sep_before;  // separator in front of the field, 0 for the year
  } parts[] = {{&s->millisecond, 3, ' '}, {&s->second, 2, ':'}, {&s->minute, 2, ':'},
               {&s->hour, 2, '-'},        {&s->day, 2, '-'},    {&s->month, 2, '-'},
               {&s->year, 4, 0}};
  for (const Part& p : parts) {
    if (!DigitsBack(text, &i, lo, p.max_digits, p.field)) return std::string_view::npos;
    if (p.sep_before != 0) {
      if (i == lo || text[i - 1] != p.sep_before) return std::string_view::npos;
      --i;
    }
  }
  const bool valid = s->month >= 1 && s->month <= 12 && s->day >= 1 && s->day <= 31 &&
                     s->hour <= 23 && s->minute <= 59 && s->second <= 60;
  return valid ? i : std::string_view::npos;
}

enum class RowResult { kRow, kLast, kNeedMore, kBad };

// One dump row at the start of v: "\t0x<addr>\t" + 1..16 "xx " groups,
// then "\t" + the 16 bytes raw + "\n" (a full row with more to come) or
// "\n\n" (the last row). The raw copy must repeat the row's bytes.
RowResult ParseRow(std::string_view v, uint8_t* bytes, int* count, size_t* used) {
  size_t i = 0;
  auto need = [&](size_t n) { return i + n <= v.size(); };
  if (!need(3)) return RowResult::kNeedMore;
  if (v.substr(0, 3) != "\t0x") return RowResult::kBad;
  i = 3;
  size_t digits = 0;
  while (need(1) && IsHex(v[i]) && digits < 16) {
    ++i;
    ++digits;
  }
  if (!need(1)) return RowResult::kNeedMore;
  if (digits == 0 || v[i] != '\t') return RowResult::kBad;
  ++i;
  int k = 0;
  while (k < 16) {
    if (!need(1)) return RowResult::kNeedMore;
    if (v[i] == '\t' || v[i] == '\n') break;
    if (!need(3)) return RowResult::kNeedMore;
    if (!IsHex(v[i]) || !IsHex(v[i + 1]) || v[i + 2] != ' ') break;
    bytes[k++] = static_cast<uint8_t>(HexValue(v[i]) * 16 + HexValue(v[i + 1]));
    i += 3;
  }
  if (!need(1)) return RowResult::kNeedMore;
  if (k == 0) return RowResult::kBad;
  *count = k;
  if (v[i] == '\t') {
    if (k != 16) return RowResult::kBad;
    if (!need(18)) return RowResult::kNeedMore;
    if (std::memcmp(v.data() + i + 1, bytes, 16) != 0 || v[i + 17] != '\n') return RowResult::kBad;
    *used = i + 18;
    return RowResult::kRow;
  }
  if (v[i] != '\n') return RowResult::kBad;
  if (!need(2)) return RowResult::kNeedMore;
  if (v[i + 1] != '\n') return RowResult::kBad;
  *used = i + 2;
  return RowResult::kLast;
}

// Longest a row can be; more than this buffered without a row is no row.
constexpr size_t kMaxRow = 3 + 16 + 1 + 48 + 1 + 16 + 1;
// Longest a timestamp with its "mm\t" can be.
constexpr size_t kMaxStamp = 4 + 1 + 2 + 1 + 2 + 1 + 2 + 1 + 2 + 1 + 2 + 1 + 3 + 3;

int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace

int64_t Stamp::Millis() const {
  const int64_t days = DaysFromCivil(year, month, day);
  return ((days * 24 + hour) * 60 + minute) * 60000 + int64_t{second} * 1000 + millisecond;
}

std::string Stamp::Text(char sep) const {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d%c%02d:%02d:%02d.%03d", year, month, day, sep,
                hour, minute, second, millisecond);
  return buf;
}

std::optional<Stamp> ParseStampArgument(std::string_view text) {
  int values[7] = {0, 0, 0, 0, 0, 0, 0};
  size_t n = 0, i = 0;
  char ms_sep = 0;
  int ms_digits = 0;
  while (i < text.size() && n < 7) {
    if (n > 0) {
      const char c = text[i];
      if (std::strchr("-:T .", c) == nullptr) return std::nullopt;
      if (n == 6) ms_sep = c;
      ++i;
    }
    size_t start = i;
    int64_t v = 0;
    while (i < text.size() && IsDigit(text[i]) && i - start < 9) v = v * 10 + (text[i++] - '0');
    if (i == start) return std::nullopt;
    if (n == 6) ms_digits = static_cast<int>(i - start);
    values[n++] = static_cast<int>(v);
  }
  if (i != text.size() || n < 3) return std::nullopt;
  Stamp s{values[0], values[1], values[2], values[3], values[4], values[5], values[6]};
  if (ms_sep == '.') {  // a decimal fraction of the second
    if (ms_digits > 3) return std::nullopt;
    for (int d = ms_digits; d < 3; ++d) s.millisecond *= 10;
  }
  if (s.month < 1 || s.month > 12 || s.day < 1 || s.day > 31 || s.hour > 23 || s.minute > 59 ||
      s.second > 60 || s.millisecond > 999)
    return std::nullopt;
  return s;
}

size_t FindStamp(std::string_view text, size_t from, Stamp* stamp, size_t* end) {
  size_t at = from;
  while (true) {
    const size_t mm = text.find("mm\t", at);
    if (mm == std::string_view::npos) return mm;
    Stamp s;
    const size_t start = StampBefore(text, mm, from, &s);
    if (start != std::string_view::npos) {
      *stamp = s;
      *end = mm + 3;
      return start;
    }
    at = mm + 1;
  }
}

std::vector<std::string> Entry::Labels() const {
  std::vector<std::string> out;
  for (const Line& l : lines)
    if (l.kind == Line::kLabel) out.push_back(l.name);
  return out;
}

const Line* Entry::Param(std::string_view name) const {
  for (const Line& l : lines)
    if (l.kind == Line::kParam && l.name == name) return &l;
  return nullptr;
}

void TraceParser::Feed(std::string_view bytes) {
  buf_.append(bytes);
  Run();
}

void TraceParser::Reset() {
  buf_.clear();
  pos_ = 0;
  base_ = 0;
  state_ = State::kBetween;
  cur_ = Entry{};
  skipping_line_ = false;
  garbage_from_ = garbage_to_ = 0;
}

void TraceParser::Run() {
  while (true) {
    if (skipping_line_) {  // the rest of a line that was cut
      const size_t nl = buf_.find('\n', pos_);
      if (nl == std::string::npos) {
        pos_ = buf_.size();
        break;
      }
      pos_ = nl + 1;
      skipping_line_ = false;
    }
    Step step;
    switch (state_) {
      case State::kBetween: step = StepBetween(); break;
      case State::kDump: step = StepDump(); break;
      default: step = StepEntry(); break;
    }
    if (step == Step::kNeedMore) break;
  }
  if (pos_ > (1u << 16) && pos_ * 2 > buf_.size()) {
    buf_.erase(0, pos_);
    base_ += pos_;
    pos_ = 0;
  }
}

void TraceParser::Flush(bool at_end) {
  at_end_ = at_end;
  Run();
  // Nothing more is known to follow: the closing empty line ended it. (A
  // follower calls this only once the file has been quiet.)
  if (state_ == State::kMaybeEnded && (at_end || Avail() == 0)) EndEntry(false, nullptr);
  if (at_end) {
    if (state_ != State::kBetween) EndEntry(true, "the log ends inside this entry");
    size_t rest = pos_;
    while (rest < buf_.size() && buf_[rest] == '\n') ++rest;
    if (rest < buf_.size()) Garbage(base_ + rest, base_ + buf_.size());
    pos_ = buf_.size();
    skipping_line_ = false;
    FlushGarbage();
  }
  at_end_ = false;
}

bool TraceParser::TakeLine(size_t from, LineRef* l) {
  const size_t nl = buf_.find('\n', from);
  l->begin = from;
  if (nl != std::string::npos) {
    l->cut = nl - from > kMaxLineBytes;
    l->end = from + std::min(nl - from, kMaxLineBytes);
    l->next = nl + 1;
    return true;
  }
  const size_t avail = buf_.size() - from;
  if (avail == 0 || (avail <= kMaxLineBytes && !at_end_)) return false;
  // At the end of the log, or longer than any line is kept: what is there
  // (at most the bound) is the line; the rest of a long one is skipped.
  l->cut = avail > kMaxLineBytes;
  l->end = from + std::min(avail, kMaxLineBytes);
  l->next = buf_.size();
  skipping_line_ = l->cut && !at_end_;
  return true;
}

TraceParser::Step TraceParser::StepBetween() {
  while (pos_ < buf_.size() && buf_[pos_] == '\n') ++pos_;
  if (Avail() == 0) return Step::kNeedMore;
  const std::string_view view(buf_);
  Stamp stamp;
  size_t end = 0;
  const size_t at = FindStamp(view, pos_, &stamp, &end);
  if (at == std::string_view::npos) {
    // Keep a tail that may be the beginning of a timestamp.
    const size_t keep = at_end_ ? 0 : std::min(Avail(), kMaxStamp);
    Garbage(base_ + pos_, base_ + buf_.size() - keep);
    pos_ = buf_.size() - keep;
    return Step::kNeedMore;
  }
  if (at > pos_) Garbage(base_ + pos_, base_ + at);
  pos_ = at;
  LineRef l;  // the rest of the first line: the label
  if (!TakeLine(end, &l)) {
    if (!at_end_) return Step::kNeedMore;
    l = LineRef{end, end, end, false};
  }
  FlushGarbage();
  cur_ = Entry{};
  cur_.offset = base_ + at;
  cur_.stamp = stamp;
  hex_base_ = false;
  state_ = State::kEntry;
  AddLine(view.substr(l.begin, l.end - l.begin));
  if (l.cut) ++cur_.values_cut;
  pos_ = l.next;
  return Step::kDone;
}

TraceParser::Step TraceParser::StepEntry() {
  const std::string_view view(buf_);
  LineRef l;
  if (!TakeLine(pos_, &l)) return Step::kNeedMore;
  const std::string_view line = view.substr(l.begin, l.end - l.begin);
  // A timestamp in the line: the next entry (at its start), or this one
  // torn and the next writer's entry right behind it.
  Stamp stamp;
  size_t stamp_end = 0;
  const size_t s = FindStamp(line, 0, &stamp, &stamp_end);
  if (s != std::string_view::npos) {
    skipping_line_ = false;
    if (state_ == State::kMaybeEnded) {
      EndEntry(false, nullptr);
      if (s > 0) Garbage(base_ + pos_, base_ + pos_ + s);
    } else {
      AddLine(line.substr(0, s));  // the torn line's beginning
      EndEntry(true, "cut short: the next entry begins inside it");
    }
    pos_ += s;
    return Step::kDone;
  }
  if (line.empty()) {
    state_ = State::kMaybeEnded;
    pos_ = l.next;
    return Step::kDone;
  }
  if (line == "\t" && !l.cut) {  // a dump starts, or a stray tab
    if (buf_.size() - l.next < 3 && !at_end_) return Step::kNeedMore;
    if (view.substr(l.next, 3) == "\t0x" && !cur_.lines.empty() &&
        cur_.dumps.size() < kMaxDumps) {
      cur_.lines.back().dump = static_cast<int>(cur_.dumps.size());
      cur_.dumps.emplace_back();
      state_ = State::kDump;
      pos_ = l.next;
      return Step::kDone;
    }
  }
  const bool entry_line = line[0] == '\t' || line[0] == ' ';
  if (state_ == State::kMaybeEnded) {
    const bool param = line[0] == '\t' && line.find(" = ") != std::string_view::npos;
    if (!param && line[0] != ' ') {
      skipping_line_ = false;
      EndEntry(false, nullptr);  // what follows is not part of it
      return Step::kDone;
    }
    state_ = State::kEntry;
  }
  if (entry_line || cur_.lines.empty()) {
    AddLine(line);
  } else if (cur_.lines.back().value.size() < kMaxLineBytes) {
    // A string parameter with line feeds in it goes on.
    std::string& value = cur_.lines.back().value;
    value += '\n';
    value.append(line.substr(0, kMaxLineBytes - std::min(kMaxLineBytes, value.size())));
  }
  if (l.cut) ++cur_.values_cut;
  pos_ = l.next;
  return Step::kDone;
}

TraceParser::Step TraceParser::StepDump() {
  uint8_t bytes[16];
  int count = 0;
  size_t used = 0;
  const RowResult r = ParseRow(std::string_view(buf_).substr(pos_), bytes, &count, &used);
  if (r == RowResult::kNeedMore && Avail() < kMaxRow && !at_end_) return Step::kNeedMore;
  if (r == RowResult::kNeedMore) {  // at the end: the rest is this entry's
    EndEntry(true, "the log ends inside a dump");
    pos_ = buf_.size();
    return Step::kDone;
  }
  if (r == RowResult::kBad) {
    EndEntry(true, "a dump row is malformed");
    // The torn row's bytes belong to this entry when the next entry
    // follows within a row's length; anything longer is garbage.
    Stamp stamp;
    size_t end = 0;
    const size_t next = FindStamp(std::string_view(buf_), pos_, &stamp, &end);
    if (next != std::string_view::npos && next - pos_ <= kMaxRow) pos_ = next;
    return Step::kDone;
  }
  Dump& d = cur_.dumps.back();
  d.total += static_cast<uint64_t>(count);
  const size_t room = kMaxDumpKeep - std::min(kMaxDumpKeep, d.bytes.size());
  d.bytes.insert(d.bytes.end(), bytes, bytes + std::min<size_t>(room, count));
  pos_ += used;
  if (r == RowResult::kLast) {
    d.complete = true;
    hex_base_ = true;
    state_ = State::kMaybeEnded;  // the dump's second line feed is the empty line
  }
  return Step::kDone;
}

void TraceParser::AddLine(std::string_view text) {
  if (text.empty()) return;
  if (cur_.lines.size() >= kMaxLines) {
    ++cur_.lines_dropped;
    return;
  }
  Line l;
  if (text[0] == ' ') {
    l.kind = Line::kLabel;
    l.name.assign(text.substr(1));
  } else {
    const std::string_view body = text[0] == '\t' ? text.substr(1) : text;
    const size_t eq = body.find(" = ");
    l.name.assign(body.substr(0, eq));
    if (eq != std::string_view::npos) {
      std::string_view value = body.substr(eq + 3);
      if (value.size() > 2 && value.substr(0, 2) == "0x" &&
          std::all_of(value.begin() + 2, value.end(), IsHex)) {
        l.hex = true;
        value.remove_prefix(2);
      }
      l.value.assign(value);
    }
    l.in_hex_base = hex_base_;
    if (l.hex) hex_base_ = true;
  }
  cur_.lines.push_back(std::move(l));
}

void TraceParser::EndEntry(bool torn, const char* reason) {
  if (torn) {
    cur_.torn = true;
    cur_.torn_reason = reason;
  }
  state_ = State::kBetween;
  Entry done = std::move(cur_);
  cur_ = Entry{};
  on_entry_(std::move(done));
}

void TraceParser::Garbage(uint64_t from, uint64_t to) {
  if (to <= from) return;
  if (garbage_to_ > garbage_from_ && from == garbage_to_) {
    garbage_to_ = to;
    return;
  }
  FlushGarbage();
  garbage_from_ = from;
  garbage_to_ = to;
}

void TraceParser::FlushGarbage() {
  if (garbage_to_ <= garbage_from_) return;
  on_problem_(Problem{garbage_from_, garbage_to_ - garbage_from_, "bytes that are no trace entry"});
  garbage_from_ = garbage_to_ = 0;
}

}  // namespace qzfax::trace
