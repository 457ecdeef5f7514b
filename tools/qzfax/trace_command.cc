// trace_command.cc -- "qzfax trace": reads the call trace log (by default
// qzlogfile.qzx in the current directory), filters its entries by export,
// time, result and server ID, and prints them with the known records
// decoded, or a summary per export, as text or JSON; --follow keeps reading
// as the log grows, like tail -f.
//
// Calls and returns are paired per export name, first in first out (the
// log names no thread or process, so concurrent calls of one export pair
// by order). Only a bounded number of calls waits for its return.
//
// Thread-safety: single-threaded, as the command line is.
#include "trace_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "trace_parse.h"
#include "statuses.h"
#include "trace_view.h"

namespace qzfax {
namespace {

using trace::Call;
using trace::Entry;
using trace::Problem;
using json = nlohmann::ordered_json;

struct Options {
  std::string file = "qzlogfile.qzx";
  std::vector<std::string> exports;
  std::string since_text, until_text;
  std::optional<trace::Stamp> since, until;
  bool failures = false;
  std::optional<uint32_t> server_id;
  bool summary = false;
  bool follow = false;
  bool from_end = false;
  int interval_ms = 250;
  trace::ShowOptions show;
  bool json = false;
};

// Calls waiting for their return, at most this many in all.
constexpr size_t kMaxPending = 256;

struct ExportStats {
  bool procedure = false;
  uint64_t calls = 0, returns = 0, failures = 0;
  std::map<uint32_t, uint64_t> by_status;  // failures by status
  uint64_t timed = 0;
  int64_t total_ms = 0, min_ms = 0, max_ms = 0;
};

// JSON text; bytes that are not UTF-8 (names out of a damaged log) are
// replaced rather than thrown about.
std::string Text(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

class Pipeline {
 public:
  explicit Pipeline(const Options& o) : o_(o) {
    for (const std::string& e : o.exports) exports_.insert(e);
  }

  void OnEntry(Entry&& e) {
    ++entries_;
    Call c = trace::Classify(e);
    if (e.torn) {
      ++torn_;
      OnProblem(Problem{e.offset, 0, "torn entry: " + e.torn_reason});
    }
    std::optional<int64_t> duration;
    std::optional<Waiting> call;
    if (c.kind == Call::Kind::kCall) {
      Remember(e, c);
    } else if (c.kind == Call::Kind::kReturn) {
      call = TakeCall(c.name);
      if (call) {
        duration = e.stamp.Millis() - call->entry.stamp.Millis();
        if (!c.server_id) c.server_id = call->call.server_id;
      }
    }
    if (!Selected(e, c)) return;
    const bool failed = c.status.has_value() && c.ok == false;
    if (o_.failures) {
      if (!failed) return;
      if (call && Selected(call->entry, call->call)) Emit(call->entry, call->call, std::nullopt);
    }
    Emit(e, c, duration);
  }

  void OnProblem(Problem&& p) {
    ++problem_count_;
    if (o_.json && !o_.follow) {
      if (problems_.size() < 1000) problems_.push_back(trace::ProblemJson(p));
    } else if (o_.json) {
      json j = {{"type", "problem"}};
      j.update(trace::ProblemJson(p));
      std::printf("%s\n", Text(j).c_str());
    } else {
      std::fprintf(stderr, "qzfax trace: %s at byte %llu%s\n", p.what.c_str(),
                   static_cast<unsigned long long>(p.offset),
                   p.length ? (" (" + std::to_string(p.length) + " bytes)").c_str() : "");
    }
  }

  void Begin() {
    if (o_.json && !o_.follow) std::printf("{\"file\":%s,", Text(json(o_.file)).c_str());
    if (o_.json && !o_.follow && !o_.summary) std::fputs("\"entries\":[", stdout);
  }

  void End() {
    if (o_.json && !o_.follow) {
      if (!o_.summary) std::fputs("],", stdout);
      if (o_.summary) std::printf("\"summary\":%s,", Text(SummaryJson()).c_str());
      std::printf("\"entries_read\":%llu,\"torn_entries\":%llu,\"problems\":%s}\n",
                  static_cast<unsigned long long>(entries_),
                  static_cast<unsigned long long>(torn_), Text(json(problems_)).c_str());
    } else if (o_.json) {
      if (o_.summary)
        std::printf("%s\n", Text(json({{"type", "summary"}, {"summary", SummaryJson()}})).c_str());
    } else if (o_.summary) {
      PrintSummary();
    }
    if (!o_.json && problem_count_ > 0)
      std::fprintf(stderr, "qzfax trace: %llu problem(s) in %s (%llu torn entries)\n",
                   static_cast<unsigned long long>(problem_count_), o_.file.c_str(),
                   static_cast<unsigned long long>(torn_));
    std::fflush(stdout);
  }

 private:
  struct Waiting {
    Entry entry;
    Call call;
  };

  void Remember(const Entry& e, const Call& c) {
    if (pending_count_ >= kMaxPending) {  // forget the oldest waiting call
      auto oldest = pending_.end();
      for (auto it = pending_.begin(); it != pending_.end(); ++it)
        if (!it->second.empty() &&
            (oldest == pending_.end() ||
             it->second.front().entry.offset < oldest->second.front().entry.offset))
          oldest = it;
      oldest->second.pop_front();
      --pending_count_;
    }
    Entry kept;  // its time is enough, unless --failures shows it later
    if (o_.failures) kept = e;
    kept.offset = e.offset;
    kept.stamp = e.stamp;
    pending_[c.name].push_back(Waiting{std::move(kept), c});
    ++pending_count_;
  }

  std::optional<Waiting> TakeCall(const std::string& name) {
    auto it = pending_.find(name);
    if (it == pending_.end() || it->second.empty()) return std::nullopt;
    Waiting w = std::move(it->second.front());
    it->second.pop_front();
    --pending_count_;
    return w;
  }

  bool Selected(const Entry& e, const Call& c) const {
    if (!exports_.empty() && exports_.count(c.name) == 0) return false;
    const int64_t t = e.stamp.Millis();
    if (o_.since && t < o_.since->Millis()) return false;
    if (o_.until && t > o_.until->Millis()) return false;
    if (o_.server_id && c.server_id != o_.server_id) return false;
    return true;
  }

  // An entry that passed the filters: counted, or shown.
  void Emit(const Entry& e, const Call& c, std::optional<int64_t> duration) {
    if (o_.summary) {
      Count(c, duration);
    } else {
      Show(e, c, duration);
    }
  }

  void Count(const Call& c, std::optional<int64_t> duration) {
    ExportStats& s = stats_[c.name];
    s.procedure = c.procedure;
    if (c.kind == Call::Kind::kCall || c.kind == Call::Kind::kCallAndReturn) ++s.calls;
    if (c.kind == Call::Kind::kReturn || c.kind == Call::Kind::kCallAndReturn) ++s.returns;
    if (c.status && c.ok == false) {
      ++s.failures;
      ++s.by_status[*c.status];
    }
    if (duration) {
      s.min_ms = s.timed == 0 ? *duration : std::min(s.min_ms, *duration);
      s.max_ms = s.timed == 0 ? *duration : std::max(s.max_ms, *duration);
      s.total_ms += *duration;
      ++s.timed;
    }
  }

  void Show(const Entry& e, const Call& c, std::optional<int64_t> duration) {
    if (o_.json) {
      json j = trace::EntryJson(e, c, duration, o_.show);
      if (o_.follow) {
        json line = {{"type", "entry"}};
        line.update(j);
        std::printf("%s\n", Text(line).c_str());
      } else {
        std::printf("%s%s", shown_ ? "," : "", Text(j).c_str());
      }
    } else {
      if (shown_) std::fputc('\n', stdout);
      trace::PrintEntry(stdout, e, c, duration, o_.show);
    }
    ++shown_;
  }

  json SummaryJson() const {
    json out = json::array();
    for (const auto& [name, s] : stats_) {
      json statuses = json::array();
      for (const auto& [status, n] : s.by_status)
        statuses.push_back({{"status", StatusHex(status)},
                            {"lret", static_cast<int32_t>(status)},
                            {"name", StatusName(status)},
                            {"text", ModuleText(status)},
                            {"count", n}});
      json duration = nullptr;
      if (s.timed)
        duration = {{"count", s.timed},
                    {"min", s.min_ms},
                    {"mean", static_cast<double>(s.total_ms) / static_cast<double>(s.timed)},
                    {"max", s.max_ms}};
      out.push_back({{"name", name},
                     {"procedure", s.procedure},
                     {"calls", s.calls},
                     {"returns", s.returns},
                     {"failures", s.failures},
                     {"statuses", statuses},
                     {"duration_ms", duration}});
    }
    return out;
  }

  void PrintSummary() const {
    std::printf("%-32s %7s %7s %8s %9s %9s %9s\n", "export", "calls", "returns", "failures",
                "min ms", "mean ms", "max ms");
    for (const auto& [name, s] : stats_) {
      std::printf("%-32s %7llu %7llu %8llu", name.c_str(),
                  static_cast<unsigned long long>(s.calls),
                  static_cast<unsigned long long>(s.returns),
                  static_cast<unsigned long long>(s.failures));
      if (s.timed)
        std::printf(" %9lld %9.1f %9lld\n", static_cast<long long>(s.min_ms),
                    static_cast<double>(s.total_ms) / static_cast<double>(s.timed),
                    static_cast<long long>(s.max_ms));
      else
        std::printf(" %9s %9s %9s\n", "-", "-", "-");
      for (const auto& [status, n] : s.by_status) {
        const std::string name_text = StatusName(status);
        const std::string text = ModuleText(status);
        std::printf("    %6llu x %s%s%s%s%s\n", static_cast<unsigned long long>(n),
                    StatusHex(status).c_str(), name_text.empty() ? "" : " ",
                    name_text.c_str(), text.empty() ? "" : ": ", text.c_str());
      }
    }
  }

  const Options& o_;
  std::set<std::string> exports_;
  std::map<std::string, std::deque<Waiting>> pending_;
  size_t pending_count_ = 0;
  std::map<std::string, ExportStats> stats_;
  std::vector<json> problems_;
  uint64_t entries_ = 0, torn_ = 0, problem_count_ = 0, shown_ = 0;
};

// Reads what the file holds beyond *offset into the parser; false on a
// read error. *grew tells whether anything was read.
bool ReadMore(int fd, uint64_t* offset, trace::TraceParser* parser, bool* grew) {
  static std::vector<char> buf(1u << 20);
  *grew = false;
  while (!g_stop) {
    const ssize_t n = pread(fd, buf.data(), buf.size(), static_cast<off_t>(*offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    parser->Feed(std::string_view(buf.data(), static_cast<size_t>(n)));
    *offset += static_cast<uint64_t>(n);
    *grew = true;
  }
  return true;
}

void Pause(int ms) { (void)poll(nullptr, 0, ms); }

// One pass over the file. A writer may be appending: when the file ends
// inside an entry, it is given a moment to finish before the entry counts
// as torn.
int ReadOnce(const Options& o, trace::TraceParser& parser) {
  const int fd = open(o.file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "qzfax trace: cannot open %s: %s\n", o.file.c_str(), std::strerror(errno));
    return 1;
  }
  uint64_t offset = 0;
  bool grew = false;
  bool ok = ReadMore(fd, &offset, &parser, &grew);
  for (int tries = 0; ok && tries < 5 && parser.Unfinished(); ++tries) {
    Pause(50);
    ok = ReadMore(fd, &offset, &parser, &grew);
  }
  close(fd);
  parser.Flush(true);
  if (!ok) {
    std::fprintf(stderr, "qzfax trace: reading %s: %s\n", o.file.c_str(), std::strerror(errno));
    return 1;
  }
  return 0;
}

// Follows the file: waits for it to appear, reads what is added, starts
// over when it is replaced or truncated. Ends on SIGINT or SIGTERM.
int Follow(const Options& o, Pipeline& p, trace::TraceParser* parser) {
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  uint64_t offset = 0;
  bool skip_existing = o.from_end;  // only what a log that is there already holds
  int quiet = 0;
  while (!g_stop) {
    if (fd < 0) {
      fd = open(o.file.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) {
        struct stat st;
        fstat(fd, &st);
        dev = st.st_dev;
        ino = st.st_ino;
        offset = skip_existing ? static_cast<uint64_t>(st.st_size) : 0;
      }
      skip_existing = false;
    }
    bool grew = false;
    if (fd >= 0) {
      struct stat now, st;
      fstat(fd, &st);
      const bool replaced =
          stat(o.file.c_str(), &now) != 0 || now.st_dev != dev || now.st_ino != ino;
      if (static_cast<uint64_t>(st.st_size) < offset) {
        p.OnProblem(Problem{offset, 0, "the log was truncated; reading it again from the start"});
        parser->Flush(true);
        parser->Reset();
        offset = 0;
      }
      ReadMore(fd, &offset, parser, &grew);
      if (!grew && replaced) {  // the old file is read to its end: go to the new one
        parser->Flush(true);
        parser->Reset();
        close(fd);
        fd = -1;
        continue;
      }
    }
    quiet = grew ? 0 : quiet + 1;
    if (quiet == 1) parser->Flush(false);  // one quiet interval: finished entries go out
    std::fflush(stdout);
    Pause(o.interval_ms);
  }
  if (fd >= 0) close(fd);
  parser->Flush(true);
  return 0;
}

int Run(Options o) {
  if (!o.since_text.empty()) {
    o.since = trace::ParseStampArgument(o.since_text);
    if (!o.since) {
      std::fprintf(stderr, "qzfax trace: --since: not a time: %s\n", o.since_text.c_str());
      return 2;
    }
  }
  if (!o.until_text.empty()) {
    o.until = trace::ParseStampArgument(o.until_text);
    if (!o.until) {
      std::fprintf(stderr, "qzfax trace: --until: not a time: %s\n", o.until_text.c_str());
      return 2;
    }
  }
  Pipeline pipeline(o);
  trace::TraceParser parser([&pipeline](Entry&& e) { pipeline.OnEntry(std::move(e)); },
                            [&pipeline](Problem&& p) { pipeline.OnProblem(std::move(p)); });
  int status;
  if (o.follow) {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    pipeline.Begin();
    status = Follow(o, pipeline, &parser);
  } else {
    if (access(o.file.c_str(), R_OK) != 0) {
      std::fprintf(stderr, "qzfax trace: cannot read %s: %s\n", o.file.c_str(),
                   std::strerror(errno));
      return 1;
    }
    pipeline.Begin();
    status = ReadOnce(o, parser);
  }
  pipeline.End();
  return status;
}

}  // namespace

void AddTraceCommand(CLI::App& root, const bool& json, int& exit_status) {
  auto o = std::make_shared<Options>();
  CLI::App* t = root.add_subcommand(
      "trace", "Read the call trace log qzlogfile.qzx: filter, decode records, summarise, follow");
  t->fallthrough();  // the global --json may also follow the subcommand
  t->add_option("file", o->file, "Trace log to read")->capture_default_str();
  t->add_option("-e,--export", o->exports,
                "Only entries of this export or procedure (as named in the label; repeatable)")
      ->allow_extra_args(false);  // one name each time: a file may follow
  t->add_option("--since", o->since_text,
                "Only entries at or after this time (local, as written: 2026-12-9-13:5:7 45, or "
                "2026-12-09T13:05:07.045)");
  t->add_option("--until", o->until_text, "Only entries at or before this time");
  t->add_flag("--failures", o->failures,
              "Only calls whose lret is not success (the failing return and its call)");
  t->add_option("--server-id", o->server_id, "Only entries of this server ID");
  t->add_flag("--summary", o->summary,
              "Per export: calls, returns, failures by status with their texts, time from call "
              "to return");
  t->add_flag("-f,--follow", o->follow,
              "Keep reading as the log grows (waits for it to appear; JSON lines with --json)");
  t->add_flag("--new", o->from_end, "With --follow: skip what the log already holds");
  t->add_option("--interval", o->interval_ms, "With --follow: poll interval in milliseconds")
      ->check(CLI::Range(10, 60000))
      ->capture_default_str();
  t->add_option("--max-dump", o->show.max_dump_bytes,
                "Undecoded dump bytes shown per buffer")
      ->capture_default_str();
  t->add_option("--max-records", o->show.max_records,
                "Decoded records shown per buffer in text output (0: all)")
      ->capture_default_str();
  t->callback([o, &json, &exit_status] {
    Options run = *o;
    run.json = json;
    exit_status = Run(run);
  });
}

}  // namespace qzfax
