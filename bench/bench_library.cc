// bench_library.cc -- the library through its exports against a qzfaxd
// child (database in memory), each figure beside bare loopback TCP doing
// the same transfer in the same run:
//   - a user-log query answering 1, 1,000 and 100,000 records (508 bytes
//     each) against a bare transfer of the same bytes into a reused buffer,
//     with the call trace written and with the trace file unopenable;
//   - a small export call (RemoteSychronizeToServer) against a bare 40-byte
//     round trip, from 1 and from 8 threads at once on one session;
//   - one trace entry's cost (a short entry, and one dumping a record);
//   - the client's peak RSS during the queries against the answer's size
//     (qzfaxd is a child; the bare server's buffer comes after them).
// Ratios are printed after the table.
//
// Usage: qzlibrary_bench [Google Benchmark flags, e.g. --benchmark_min_time=0.5]
// Not a test: it prints figures and exits 0 unless setup fails.
//
// Thread-safety: the calling threads share the library's one session, as
// the library allows.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/trace_log.h"
#include "qzcsif/qzcsif.h"
#include "rpc/transport.h"
#include "tests/support/scripted_server.h"

namespace {

namespace fs = std::filesystem;
using namespace qz::rpc;

constexpr int kRecordCounts[] = {1, 1000, 100000};
constexpr size_t kRecord = sizeof(USERLOG_TABLE);

uint32_t g_id = 0;
std::map<int, std::string> g_condition;  // record count -> condition selecting exactly that many
fs::path g_traced, g_untraced;           // working directories
double g_rss_before = 0;                 // resident MiB when the benchmarks start

// A field of /proc/self/status in MiB (VmHWM: the peak resident set
// since the last ResetPeakRss; VmRSS: the resident set now).
double StatusMiB(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field, 0) == 0) return std::atof(line.c_str() + std::strlen(field)) / 1024.0;
  return 0;
}
double PeakRssMiB() { return StatusMiB("VmHWM:"); }
// The peak starts again from the resident set now.
void ResetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

// A bare loopback server: each request is a 4-byte length, the answer that
// many bytes from one buffer; the client reads into one reused buffer. The
// buffer is filled at the first connection, after the queries have run, so
// their peak memory is the client's alone.
class BareServer {
 public:
  BareServer() {
    int err = 0;
    listener_ = ListenTcpSocket("127.0.0.1", 0, &err);
    thread_ = std::thread([this] {
      while (auto t = listener_->Accept()) {
        if (out_.empty()) out_.assign(64u << 20, 0x5A);
        std::thread([t = std::shared_ptr<Transport>(std::move(t)), this] {
          uint32_t n = 0;
          while (t->ReadExact(&n, sizeof n, -1) == IoResult::kOk) {
            if (t->SendAll(std::span<const uint8_t>(out_.data(), n)) != IoResult::kOk) return;
          }
        }).detach();
      }
    });
  }
  uint16_t port() const { return listener_->port(); }
  // One round trip of a 4-byte request and an n-byte answer.
  static void RoundTrip(Transport& c, uint32_t n, std::vector<uint8_t>* in) {
    c.SendAll(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(&n), sizeof n));
    c.ReadExact(in->data(), n, 30000);
  }

 private:
  std::vector<uint8_t> out_;
  std::unique_ptr<Listener> listener_;
  std::thread thread_;
};
BareServer* g_bare = nullptr;

std::unique_ptr<Transport> ConnectBare() {
  int err = 0;
  return ConnectTcp("127.0.0.1", g_bare->port(), 5000, &err);
}

// The query's wire bytes: the records plus the reply's NDR (referent,
// counts, result: 16 bytes) and a 24-byte header per 65,528-byte fragment.
uint32_t QueryWireBytes(int records) {
  const size_t stub = records * kRecord + 16;
  return static_cast<uint32_t>(stub + (stub / 65504 + 1) * 24);
}

void BM_Query(benchmark::State& state) {
  const int records = static_cast<int>(state.range(0));
  fs::current_path(state.range(1) ? g_traced : g_untraced);
  for (auto _ : state) {
    USERLOG_TABLE* log = nullptr;
    uint32_t count = 0;
    if (RemoteQueryUserLog(g_id, g_condition[records].c_str(), &log, &count) != 1u ||
        count != static_cast<uint32_t>(records))
      state.SkipWithError("query failed");
    RDMemFree(log);
  }
  state.SetBytesProcessed(state.iterations() * records * kRecord);
  state.counters["peak_rss_MiB"] = PeakRssMiB();
}

void BM_BareTransfer(benchmark::State& state) {
  auto c = ConnectBare();
  const uint32_t n = QueryWireBytes(static_cast<int>(state.range(0)));
  std::vector<uint8_t> in(n);
  for (auto _ : state) BareServer::RoundTrip(*c, n, &in);
  state.SetBytesProcessed(state.iterations() * state.range(0) * kRecord);
}

void BM_SmallCall(benchmark::State& state) {
  if (state.thread_index() == 0) fs::current_path(g_traced);
  for (auto _ : state) {
    if (RemoteSychronizeToServer(g_id) != 1u) state.SkipWithError("call failed");
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_BareRoundTrip(benchmark::State& state) {
  auto c = ConnectBare();
  std::vector<uint8_t> in(40);
  for (auto _ : state) BareServer::RoundTrip(*c, 40, &in);
  state.SetItemsProcessed(state.iterations());
}

void BM_TraceEntry(benchmark::State& state) {
  fs::current_path(g_traced);
  USERLOG_TABLE record{};
  for (auto _ : state) {
    qz::TraceEntry e("Call RemoteSychronizeToServer return");
    e.Num("dwServerID", g_id);
    if (state.range(0)) e.Buffer("(*ppUserLog)", &record, "(*pdwRecordCount * sizeof(USERLOG_TABLE))", kRecord);
    e.Write();
  }
  state.SetItemsProcessed(state.iterations());
}

// Prints the table as usual, then each library figure against its bare one.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      times_[r.benchmark_name()] = r.GetAdjustedRealTime();
      auto rss = r.counters.find("peak_rss_MiB");
      if (r.benchmark_name().rfind("BM_Query/", 0) == 0 && rss != r.counters.end())
        query_peak_ = std::max(query_peak_, rss->second.value);
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    printf("\nratios (real time, same run):\n");
    for (int n : kRecordCounts) {
      const double bare = At("BM_BareTransfer/" + std::to_string(n) + "/real_time");
      printf("  query of %6d records: traced %.2fx, untraced %.2fx the bare transfer\n", n,
             At("BM_Query/" + std::to_string(n) + "/1/real_time") / bare,
             At("BM_Query/" + std::to_string(n) + "/0/real_time") / bare);
    }
    const double one = At("BM_SmallCall/real_time/threads:1");
    printf("  small export call: %.2fx the bare round trip\n", one / At("BM_BareRoundTrip/real_time"));
    printf("  8 threads at once: %.2fx the calls per second of one thread\n",
           one / At("BM_SmallCall/real_time/threads:8") );
    const double answer = 100000.0 * kRecord / 1048576;
    printf("client RSS %.1f MiB before the queries, peak %.1f MiB during them: %.2fx the "
           "100,000-record answer (%.1f MiB)\n",
           g_rss_before, query_peak_, (query_peak_ - g_rss_before) / answer, answer);
  }

 private:
  double At(const std::string& name) const {
    auto it = times_.find(name);
    return it == times_.end() ? 0 : it->second;
  }
  std::map<std::string, double> times_;
  double query_peak_ = 0;
};

}  // namespace

BENCHMARK(BM_Query)->ArgsProduct({{1, 1000, 100000}, {1, 0}})->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareTransfer)->Arg(1)->Arg(1000)->Arg(100000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SmallCall)->Threads(1)->Threads(8)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TraceEntry)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  qz::test_support::FaxdProcess::Options fo;
  fo.extra_args = {"--db", ":memory:", "--max-reply-bytes", "67108864"};
  qz::test_support::FaxdProcess faxd;
  std::string error;
  if (!faxd.Start(fo, &error)) {
    fprintf(stderr, "qzfaxd: %s\n", error.c_str());
    return 1;
  }
  faxd.ApplyEnvironment();
  g_traced = faxd.directory();
  g_untraced = g_traced / "untraced";
  // A directory in the trace file's place: the trace cannot be opened.
  fs::create_directories(g_untraced / qz::kTraceFileName);
  fs::current_path(g_untraced);
  if (QZIfInitialize() != 0 || LogInServer(&g_id) != 1u) {
    fprintf(stderr, "login failed\n");
    return 1;
  }
  // 100,001 synchronisation entries in the user log, then the conditions
  // that select exactly the newest 1, 1,000 and 100,000 of them.
  const int want = kRecordCounts[2] + 1;
  std::vector<std::thread> fill;
  for (int t = 0; t < 8; ++t)
    fill.emplace_back([&] {
      for (int i = 0; i < want / 8 + 1; ++i) RemoteSychronizeFromServer(g_id);
    });
  for (auto& t : fill) t.join();
  // Their identifiers, oldest first, paging on as the server's answers end.
  std::vector<uint32_t> ids;
  for (;;) {
    USERLOG_TABLE* log = nullptr;
    uint32_t count = 0;
    std::string cond = "op=87";
    if (!ids.empty()) cond += ";after=" + std::to_string(ids.back());
    if (RemoteQueryUserLog(g_id, cond.c_str(), &log, &count) != 1u) break;
    for (uint32_t i = 0; i < count; ++i) ids.push_back(log[i].dwLogID);
    RDMemFree(log);
    if (count == 0) break;
  }
  if (ids.size() < static_cast<size_t>(want)) {
    fprintf(stderr, "filling the user log failed (%zu entries)\n", ids.size());
    return 1;
  }
  for (int n : kRecordCounts)
    g_condition[n] = "op=87;after=" + std::to_string(ids[ids.size() - n - 1]);
  BareServer bare;
  g_bare = &bare;

  RatioReporter reporter;
  g_rss_before = StatusMiB("VmRSS:");
  ResetPeakRss();
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  QZIfUninitialize();
  faxd.Stop();
  fflush(stdout);
  _exit(0);  // the bare server's threads are still waiting
}
