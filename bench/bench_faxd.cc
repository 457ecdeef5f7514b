// bench_faxd.cc -- qzfaxd through the library's exports, beside a bare
// 40-byte TCP ping-pong measured in the same run: calls per second and p99
// latency of a small export call (RemoteSychronizeFromServer) with 1, 8
// and 64 calling threads, and the cost of a 20 MB user-log query end to end.
// Each phase also prints where the time went: CPU microseconds per call
// spent in qzfaxd (from /proc/<pid>/stat) and in this process (the library
// and the calling threads, from getrusage), so that a figure can be put
// down to the server, the client or waiting.
//
// Usage: qzfaxd_bench [--faxd PATH] [--db-memory] [--seconds S] [--no-query]
//                     [--no-small] [-- qzfaxd options]
//   --faxd PATH   the qzfaxd to measure (default: the one built here)
//   --db-memory   run qzfaxd with --db :memory: (default: a file on disk)
//   --no-query    skip the 20 MB query (filling the log takes long on a
//                 server that syncs every call)
//   --no-small    skip the small calls (the query alone)
// The 20 MB query needs qzfaxd to answer that much: pass
// "-- --max-reply-bytes 21000000" to a qzfaxd that bounds its answers.
// Calls per second count successful calls only; failures (e.g. connections
// over the server's per-peer cap) are printed apart.
// Not a test: it prints figures and always exits 0 unless setup fails.
//
// Thread-safety: single program; the calling threads share the library's
// one session, as the library allows.
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qzcsif/qzcsif.h"
#include "rpc/transport.h"
#include "tests/support/scripted_server.h"

namespace {

using Clock = std::chrono::steady_clock;

double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// CPU seconds used so far by process `pid` (user + system).
double ProcessCpu(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Fields after the command name (which may hold blanks) start at ") ".
  size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i)
    if (i == 14 || i == 15) ticks += atof(f.c_str());  // utime, stime
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double OwnCpu() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec +
         ru.ru_stime.tv_usec / 1e6;
}

// CPU used by qzfaxd and by this process between Start() and Stop().
struct CpuSplit {
  pid_t server;
  double server_start = 0, own_start = 0, server_s = 0, own_s = 0;
  void Start() {
    server_start = ProcessCpu(server);
    own_start = OwnCpu();
  }
  void Stop() {
    server_s = ProcessCpu(server) - server_start;
    own_s = OwnCpu() - own_start;
  }
};

struct Figures {
  double calls_per_second = 0;
  double mean_us = 0;
  double p99_us = 0;
  size_t failures = 0;
};

// Latencies of the successful calls; `failures` more failed.
Figures Summarise(std::vector<double> lat, double seconds, size_t failures) {
  Figures f;
  f.failures = failures;
  if (lat.empty()) return f;
  std::sort(lat.begin(), lat.end());
  double sum = 0;
  for (double v : lat) sum += v;
  f.mean_us = sum / lat.size();
  f.p99_us = lat[std::min(lat.size() - 1, lat.size() * 99 / 100)];
  f.calls_per_second = lat.size() / seconds;
  return f;
}

// Bare TCP: 40 bytes each way, one connection, `seconds` long.
Figures BarePingPong(double seconds) {
  using namespace qz::rpc;
  int err = 0;
  auto listener = ListenTcpSocket("127.0.0.1", 0, &err);
  uint16_t port = listener->port();
  std::atomic<bool> done{false};
  std::thread server([&] {
    auto t = listener->Accept();
    uint8_t buf[40];
    while (t->ReadExact(buf, sizeof buf, 30000) == IoResult::kOk)
      if (t->SendAll(std::span<const uint8_t>(buf, sizeof buf)) != IoResult::kOk) return;
  });
  auto c = ConnectTcp("127.0.0.1", port, 5000, &err);
  uint8_t out[40] = {1}, in[40];
  std::vector<double> lat;
  auto start = Clock::now();
  auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (Clock::now() < end) {
    auto t0 = Clock::now();
    c->SendAll(std::span<const uint8_t>(out, sizeof out));
    c->ReadExact(in, sizeof in, 30000);
    lat.push_back(Us(Clock::now() - t0));
  }
  double took = std::chrono::duration<double>(Clock::now() - start).count();
  c.reset();
  server.join();
  return Summarise(std::move(lat), took, 0);
}

// `threads` threads call RemoteSychronizeFromServer for `seconds`.
Figures SmallCalls(uint32_t id, int threads, double seconds) {
  std::vector<std::vector<double>> per(threads);
  std::atomic<size_t> failures{0};
  auto start = Clock::now();
  auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; ++i) {
    pool.emplace_back([&, i] {
      while (Clock::now() < end) {
        auto t0 = Clock::now();
        if (RemoteSychronizeFromServer(id) != 1u) ++failures;
        else per[i].push_back(Us(Clock::now() - t0));
      }
    });
  }
  for (auto& t : pool) t.join();
  double took = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> all;
  for (auto& v : per) all.insert(all.end(), v.begin(), v.end());
  return Summarise(std::move(all), took, failures.load());
}

}  // namespace

int main(int argc, char** argv) {
  qz::test_support::FaxdProcess::Options fo;
  bool memory = false;
  double seconds = 2.0;
  bool query = true;
  bool small = true;
  setvbuf(stdout, nullptr, _IOLBF, 0);
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--faxd" && i + 1 < argc) fo.executable = argv[++i];
    else if (a == "--db-memory") memory = true;
    else if (a == "--no-query") query = false;
    else if (a == "--no-small") small = false;
    else if (a == "--seconds" && i + 1 < argc) seconds = atof(argv[++i]);
    else if (a == "--") {
      for (++i; i < argc; ++i) fo.extra_args.push_back(argv[i]);
    } else {
      fprintf(stderr, "usage: qzfaxd_bench [--faxd PATH] [--db-memory] [--seconds S] [-- ...]\n");
      return 2;
    }
  }
  if (memory) fo.extra_args.insert(fo.extra_args.begin(), {"--db", ":memory:"});
  qz::test_support::FaxdProcess faxd;
  std::string error;
  if (!faxd.Start(fo, &error)) {
    fprintf(stderr, "qzfaxd: %s\n", error.c_str());
    return 1;
  }
  faxd.ApplyEnvironment();
  std::filesystem::current_path(faxd.directory());
  uint32_t id = 0;
  if (QZIfInitialize() != 0 || LogInServer(&id) != 1u) {
    fprintf(stderr, "login failed\n");
    return 1;
  }
  printf("qzfaxd %s, database %s\n", fo.executable.empty() ? "(built here)" : fo.executable.c_str(),
         memory ? ":memory:" : "on disk");
  Figures bare = BarePingPong(seconds);
  printf("bare TCP 40-byte ping-pong: mean %.1f us, p99 %.1f us\n", bare.mean_us, bare.p99_us);
  CpuSplit cpu{faxd.pid()};
  for (int threads : {1, 8, 64}) {
    if (!small) break;
    cpu.Start();
    Figures f = SmallCalls(id, threads, seconds);
    cpu.Stop();
    double calls = f.calls_per_second * seconds + static_cast<double>(f.failures);
    printf("RemoteSychronizeFromServer, %2d threads: %8.0f calls/s, mean %8.1f us (%.1fx bare), "
           "p99 %8.1f us, failures %zu; CPU per call: qzfaxd %.1f us, client %.1f us\n",
           threads, f.calls_per_second, f.mean_us, f.mean_us / bare.mean_us, f.p99_us, f.failures,
           cpu.server_s * 1e6 / calls, cpu.own_s * 1e6 / calls);
  }
  // A 20 MB answer: about 41,300 user-log records of 508 bytes. The calls
  // above left rows already; more are added until there are enough.
  constexpr size_t kRecord = 508, kWant = (20u << 20) / kRecord;
  USERLOG_TABLE* log = nullptr;
  uint32_t count = 0;
  size_t have = 0;
  for (int round = 0; round < 50 && query; ++round) {
    if (RemoteQueryUserLog(id, "op=87", &log, &count) == 1u) have = count;
    RDMemFree(log);
    log = nullptr;
    if (have >= kWant) break;
    std::vector<std::thread> fill;
    for (int t = 0; t < 8; ++t)
      fill.emplace_back([&] {
        for (size_t i = 0; i < (kWant - have) / 8 + 1; ++i) RemoteSychronizeFromServer(id);
      });
    for (auto& t : fill) t.join();
  }
  char cond[64];
  // Exactly the wanted rows: the newest kWant sync rows.
  snprintf(cond, sizeof cond, "op=87");
  cpu.Start();
  auto t0 = Clock::now();
  uint32_t rc = query ? RemoteQueryUserLog(id, cond, &log, &count) : 0;
  double took = Us(Clock::now() - t0);
  cpu.Stop();
  if (query)
    printf("user-log query: status 0x%08x, %u records = %.1f MB in %.1f ms (%.0f MB/s); CPU: "
           "qzfaxd %.0f ms, client %.0f ms\n",
           rc, count, count * kRecord / 1048576.0, took / 1000, count * kRecord / took,
           cpu.server_s * 1e3, cpu.own_s * 1e3);
  RDMemFree(log);
  QZIfUninitialize();
  faxd.Stop();
  return 0;
}
