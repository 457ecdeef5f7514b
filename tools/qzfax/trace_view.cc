// trace_view.cc -- meaning and display of trace entries (see trace_view.h).
// Thread-safety: see trace_view.h.
#include "trace_view.h"

#include <ctime>
#include <string_view>

#include "trace_records.h"
#include "statuses.h"

namespace qzfax::trace {
namespace {

bool StartsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }
bool EndsWith(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && s.substr(s.size() - p.size()) == p;
}
std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// A number line's value as the 32-bit pattern written: decimal (signed or
// not), or hexadecimal when the line or the entry's base says so.
std::optional<uint32_t> LineNumber(const Line& line) {
  const std::string& v = line.value;
  if (v.empty() || v.size() > 11) return std::nullopt;
  const bool hex = line.hex || (line.in_hex_base && v[0] != '-');
  if (hex) {
    if (v.size() > 8) return std::nullopt;
    uint32_t r = 0;
    for (char c : v) {
      if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
      r = r * 16 + static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(c))
                                             ? c - '0'
                                             : (c | 0x20) - 'a' + 10);
    }
    return r;
  }
  const bool neg = v[0] == '-';
  int64_t r = 0;
  for (size_t i = neg ? 1 : 0; i < v.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(v[i]))) return std::nullopt;
    r = r * 10 + (v[i] - '0');
  }
  if (neg ? r > 2147483648LL : r > 4294967295LL) return std::nullopt;
  return static_cast<uint32_t>(neg ? -r : r);
}

bool IsTimeField(std::string_view name) {
  return name == "dwTime" || name == "dwSince" || name == "dwCreated" || name == "dwModified" ||
         name == "dwNow" || (EndsWith(name, "Time") && StartsWith(name, "dw"));
}

std::string UtcText(uint32_t t) {
  const time_t tt = static_cast<time_t>(t);
  struct tm tm;
  gmtime_r(&tt, &tm);
  char buf[40];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return buf;
}

// Raw bytes with some escaped as \xNN: for the text view the control
// characters (a line feed as \n), for JSON, whose strings must be valid
// UTF-8, the bytes outside ASCII.
std::string Escaped(std::string_view s, bool for_text) {
  std::string out;
  for (unsigned char c : s) {
    if (for_text && c == '\n') {
      out += "\\n";
    } else if (for_text ? (c < 0x20 || c == 0x7f) : c >= 0x80) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}
std::string Printable(std::string_view s) { return Escaped(s, true); }
std::string JsonSafe(std::string_view s) { return Escaped(s, false); }

std::string HexString(const std::vector<uint8_t>& b, size_t from, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = from; i < from + n && i < b.size(); ++i) {
    out.push_back(kDigits[b[i] >> 4]);
    out.push_back(kDigits[b[i] & 15]);
  }
  return out;
}

// The record a dump holds, and the label and buffer name that chose it.
const RecordType* DumpRecord(const Entry& e, size_t line_index) {
  const Line& size_line = e.lines[line_index];
  std::string_view pointer;
  if (line_index > 0 && e.lines[line_index - 1].kind == Line::kParam)
    pointer = e.lines[line_index - 1].name;
  std::string_view label;
  for (size_t i = 0; i <= line_index; ++i)
    if (e.lines[i].kind == Line::kLabel) label = e.lines[i].name;
  return RecordForDump(label, pointer, size_line.name);
}

void PrintHexRows(std::FILE* out, const std::vector<uint8_t>& b, size_t from, size_t n,
                  const char* indent) {
  for (size_t row = 0; row < n; row += 16) {
    std::fprintf(out, "%s%04zx ", indent, row);
    std::string ascii;
    for (size_t k = 0; k < 16; ++k) {
      if (row + k < n) {
        const uint8_t c = b[from + row + k];
        std::fprintf(out, " %02x", c);
        ascii.push_back(c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '.');
      } else {
        std::fputs("   ", out);
      }
    }
    std::fprintf(out, "  |%s|\n", ascii.c_str());
  }
}

void PrintRecord(std::FILE* out, const RecordType& type, const nlohmann::ordered_json& rec) {
  size_t width = 0;
  for (const auto& [k, v] : rec.items()) width = std::max(width, k.size());
  for (const auto& [k, v] : rec.items()) {
    std::string shown = v.is_string() ? "\"" + Printable(v.get<std::string>()) + "\"" : v.dump();
    if (v.is_number_unsigned() && IsTimeField(k) && v.get<uint64_t>() != 0)
      shown += " (" + UtcText(v.get<uint32_t>()) + ")";
    std::fprintf(out, "          %-*s %s\n", static_cast<int>(width), k.c_str(), shown.c_str());
  }
  (void)type;
}

void PrintDump(std::FILE* out, const Entry& e, size_t line_index, const ShowOptions& show) {
  const Dump& d = e.dumps[e.lines[line_index].dump];
  const RecordType* type = DumpRecord(e, line_index);
  std::fprintf(out, "        [%llu bytes%s%s]\n", static_cast<unsigned long long>(d.total),
               d.complete ? "" : ", cut short",
               d.bytes.size() < d.total ? ", only the first kept" : "");
  size_t rest = d.bytes.size();
  size_t decoded_bytes = 0;
  if (type != nullptr) {
    const auto recs = DecodeRecords(*type, d.bytes, &rest);
    decoded_bytes = d.bytes.size() - rest;
    const size_t limit = show.max_records == 0 ? recs.size() : std::min(show.max_records, recs.size());
    for (size_t i = 0; i < limit; ++i) {
      std::fprintf(out, "        %s[%zu]\n", type->name, i);
      PrintRecord(out, *type, recs[i]);
    }
    if (limit < recs.size())
      std::fprintf(out, "        ... %zu more %s records\n", recs.size() - limit, type->name);
  }
  const size_t n = std::min(rest, show.max_dump_bytes);
  if (rest > 0 && type != nullptr)
    std::fprintf(out, "        %zu bytes after the records:\n", rest);
  PrintHexRows(out, d.bytes, decoded_bytes, n, "        ");
  if (n < rest) std::fprintf(out, "        ... %zu more bytes\n", rest - n);
}

std::string StatusLine(uint32_t status) {
  std::string s = StatusHex(status);
  const std::string name = StatusName(status);
  if (!name.empty()) s += " " + name;
  const std::string text = ModuleText(status);
  if (!text.empty()) s += ": " + text;
  return s;
}

}  // namespace

Call Classify(const Entry& entry) {
  Call c;
  const std::vector<std::string> labels = entry.Labels();
  if (!labels.empty()) {
    std::string_view first = TrimRight(labels[0]);
    if (StartsWith(first, "Call ")) {
      first.remove_prefix(5);
      if (first == "return" || EndsWith(first, " return")) {
        first.remove_suffix(6);
        c.kind = Call::Kind::kReturn;
      } else {
        c.kind = Call::Kind::kCall;
        for (size_t i = 1; i < labels.size(); ++i)
          if (EndsWith(TrimRight(labels[i]), "return")) c.kind = Call::Kind::kCallAndReturn;
      }
      c.name = std::string(TrimRight(first));
      c.procedure = StartsWith(c.name, "rpc");
    } else {
      c.name = std::string(first);
    }
  }
  if (const Line* l = entry.Param("lret")) {
    c.status = LineNumber(*l);
    if (c.status) {
      const bool zero_ok = c.name == "ServerStart" || c.name == "ServerStop" ||
                           c.name == "ServerBackup";
      c.ok = *c.status == (zero_ok ? 0u : 1u);
    }
  }
  if (const Line* l = entry.Param("dwServerID")) c.server_id = LineNumber(*l);
  return c;
}

const char* KindName(Call::Kind kind) {
  switch (kind) {
    case Call::Kind::kCall: return "call";
    case Call::Kind::kReturn: return "return";
    case Call::Kind::kCallAndReturn: return "call+return";
    case Call::Kind::kOther: break;
  }
  return "other";
}

nlohmann::ordered_json EntryJson(const Entry& e, const Call& c, std::optional<int64_t> duration_ms,
                                 const ShowOptions& show) {
  using json = nlohmann::ordered_json;
  json j;
  j["offset"] = e.offset;
  j["time"] = e.stamp.Text('T');
  const auto labels = e.Labels();
  j["label"] = labels.empty() ? "" : JsonSafe(labels[0]);
  j["name"] = JsonSafe(c.name);
  j["kind"] = KindName(c.kind);
  j["procedure"] = c.procedure;
  j["server_id"] = c.server_id ? json(*c.server_id) : json(nullptr);
  j["lret"] = c.status ? json(static_cast<int32_t>(*c.status)) : json(nullptr);
  j["status"] = c.status ? json(StatusHex(*c.status)) : json(nullptr);
  j["ok"] = c.ok ? json(*c.ok) : json(nullptr);
  if (c.status && c.ok == false) {
    j["status_name"] = StatusName(*c.status);
    j["status_text"] = ModuleText(*c.status);
  }
  j["duration_ms"] = duration_ms ? json(*duration_ms) : json(nullptr);
  j["torn"] = e.torn;
  if (e.torn) j["torn_reason"] = e.torn_reason;
  json lines = json::array();
  json dumps = json::array();
  for (size_t i = 0; i < e.lines.size(); ++i) {
    const Line& l = e.lines[i];
    if (l.kind == Line::kLabel) {
      lines.push_back({{"label", JsonSafe(l.name)}});
      continue;
    }
    json p = {{"name", JsonSafe(l.name)}, {"value", JsonSafe(l.hex ? "0x" + l.value : l.value)}};
    lines.push_back(p);
    if (l.dump < 0) continue;
    const Dump& d = e.dumps[l.dump];
    json dj;
    dj["size_name"] = JsonSafe(l.name);
    dj["pointer_name"] =
        i > 0 && e.lines[i - 1].kind == Line::kParam ? JsonSafe(e.lines[i - 1].name) : "";
    dj["bytes"] = d.total;
    dj["complete"] = d.complete;
    size_t rest = d.bytes.size();
    if (const RecordType* type = DumpRecord(e, i)) {
      dj["record"] = type->name;
      dj["records"] = DecodeRecords(*type, d.bytes, &rest);
    } else {
      dj["record"] = nullptr;
    }
    const size_t from = d.bytes.size() - rest;
    dj["rest_hex"] = HexString(d.bytes, from, std::min(rest, show.max_dump_bytes));
    dj["rest_bytes"] = d.total - from;
    dumps.push_back(dj);
  }
  j["lines"] = lines;
  j["dumps"] = dumps;
  if (e.lines_dropped) j["lines_dropped"] = e.lines_dropped;
  if (e.values_cut) j["values_cut"] = e.values_cut;
  return j;
}

void PrintEntry(std::FILE* out, const Entry& e, const Call& c, std::optional<int64_t> duration_ms,
                const ShowOptions& show) {
  const auto labels = e.Labels();
  std::fprintf(out, "%s  %s", e.stamp.Text().c_str(),
               labels.empty() ? "(no label)" : Printable(labels[0]).c_str());
  if (c.status) std::fprintf(out, "  -> %s", c.ok == true ? "ok" : StatusLine(*c.status).c_str());
  if (duration_ms) std::fprintf(out, "  (%lld ms)", static_cast<long long>(*duration_ms));
  std::fprintf(out, "  @%llu\n", static_cast<unsigned long long>(e.offset));
  bool first_label = true;
  for (size_t i = 0; i < e.lines.size(); ++i) {
    const Line& l = e.lines[i];
    if (l.kind == Line::kLabel) {
      if (!first_label) std::fprintf(out, "    %s\n", Printable(l.name).c_str());
      first_label = false;
      continue;
    }
    std::fprintf(out, "    %s = %s%s\n", Printable(l.name).c_str(), l.hex ? "0x" : "",
                 Printable(l.value).c_str());
    if (l.dump >= 0) PrintDump(out, e, i, show);
  }
  if (e.lines_dropped) std::fprintf(out, "    ... %zu more lines not kept\n", e.lines_dropped);
  if (e.values_cut)
    std::fprintf(out, "    ... %zu line(s) cut at %zu bytes\n", e.values_cut, kMaxLineBytes);
  if (e.torn) std::fprintf(out, "    !! torn entry: %s\n", e.torn_reason.c_str());
}

nlohmann::ordered_json ProblemJson(const Problem& p) {
  return {{"offset", p.offset}, {"length", p.length}, {"what", p.what}};
}

}  // namespace qzfax::trace
