// bench_rpc.cc -- RPC runtime throughput and latency over loopback TCP,
// each figure beside a bare TCP ping-pong of the same bytes measured in
// the same run: a small call's round trip and a 64 MiB reply.
//
// Usage: qzrpc_bench [small_iterations] [big_iterations]
// Not a test: it prints figures and ratios and always exits 0.
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "rpc/client.h"
#include "rpc/pdu.h"
#include "rpc/rpc_test_util.h"
#include "rpc/server.h"
#include "rpc/transport.h"

namespace {

using namespace qz::rpc;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// Bare TCP: the client sends `request` bytes, the server answers with
// `reply` bytes; `rounds` times on one connection.
// With fresh_buffer the client receives each reply into a newly allocated
// buffer, as an RPC client must hand a new reply to its caller.
double BareTcp(size_t request, size_t reply, int rounds, bool fresh_buffer = false) {
  int err = 0;
  auto listener = ListenTcpSocket("127.0.0.1", 0, &err);
  uint16_t port = listener->port();
  std::thread server([&] {
    auto t = listener->Accept();
    std::vector<uint8_t> in(request), out(reply, 0x5A);
    for (int i = 0; i < rounds; ++i) {
      if (t->ReadExact(in.data(), in.size(), 30000) != IoResult::kOk) return;
      if (t->SendAll(out) != IoResult::kOk) return;
    }
  });
  auto c = ConnectTcp("127.0.0.1", port, 5000, &err);
  std::vector<uint8_t> out(request, 0xA5), in(reply);
  auto start = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    c->SendAll(out);
    if (fresh_buffer) {
      std::vector<uint8_t> fresh(reply);
      c->ReadExact(fresh.data(), fresh.size(), 30000);
    } else {
      c->ReadExact(in.data(), in.size(), 30000);
    }
  }
  auto end = Clock::now();
  server.join();
  return Seconds(start, end) / rounds;
}

// Wire bytes of a stub sent in fragments of `frag` bytes (24-byte headers).
size_t WireBytes(size_t stub, size_t frag) {
  size_t cap = FragmentStubCapacity(frag, kRequestHeaderSize);
  size_t frags = stub == 0 ? 1 : (stub + cap - 1) / cap;
  return stub + frags * kRequestHeaderSize;
}

}  // namespace

int main(int argc, char** argv) {
  int small_rounds = argc > 1 ? atoi(argv[1]) : 20000;
  int big_rounds = argc > 2 ? atoi(argv[2]) : 5;
  testing::EchoDispatcher echo;
  Server server;
  server.RegisterInterface(testing::EchoInterface(), &echo);
  uint16_t port = server.ListenTcp("127.0.0.1", 0);
  server.Start();
  Binding b("ncacn_ip_tcp", "127.0.0.1", std::to_string(port));

  // Small call: 16-byte stub echoed.
  std::vector<uint8_t> small(16, 1);
  b.Call(testing::EchoInterface(), 0, small);  // bind outside the timing
  auto start = Clock::now();
  for (int i = 0; i < small_rounds; ++i) b.Call(testing::EchoInterface(), 0, small);
  double rpc_small = Seconds(start, Clock::now()) / small_rounds;
  double tcp_small = BareTcp(24 + 16, 24 + 16, small_rounds);
  printf("small call (16-byte stub each way), %d rounds:\n", small_rounds);
  printf("  rpc %.2f us/call, bare tcp %.2f us/round trip, ratio %.2f\n", rpc_small * 1e6,
         tcp_small * 1e6, rpc_small / tcp_small);

  // 64 MiB reply.
  const uint32_t big = 64u << 20;
  std::vector<uint8_t> req(4);
  std::memcpy(req.data(), &big, 4);
  b.Call(testing::EchoInterface(), 1, req);  // warm up
  start = Clock::now();
  for (int i = 0; i < big_rounds; ++i) {
    Reply r = b.Call(testing::EchoInterface(), 1, req);
    if (r.stub.size() != big) {
      printf("unexpected reply size %zu\n", r.stub.size());
      return 0;
    }
  }
  double rpc_big = Seconds(start, Clock::now()) / big_rounds;
  // The server generates the reply in its handler; time that apart so the
  // ratio compares transport work only.
  start = Clock::now();
  for (int i = 0; i < big_rounds; ++i) {
    CallContext ctx;
    echo.Dispatch(ctx, 1, req, Drep::Little());
  }
  double gen = Seconds(start, Clock::now()) / big_rounds;
  double tcp_big = BareTcp(24 + 4, WireBytes(big, kMaxFragSize), big_rounds);
  double tcp_big_fresh = BareTcp(24 + 4, WireBytes(big, kMaxFragSize), big_rounds, true);
  printf("64 MiB reply, %d rounds (fragments of %u bytes):\n", big_rounds, kMaxFragSize);
  printf("  rpc %.1f ms (%.0f MiB/s), of which handler %.1f ms; bare tcp %.1f ms (%.0f MiB/s)\n",
         rpc_big * 1e3, 64 / rpc_big, gen * 1e3, tcp_big * 1e3, 64 / tcp_big);
  printf("  ratio %.2f (without the handler's time %.2f)\n", rpc_big / tcp_big,
         (rpc_big - gen) / tcp_big);
  printf("  bare tcp into a fresh buffer per reply %.1f ms; ratio without handler %.2f\n",
         tcp_big_fresh * 1e3, (rpc_big - gen) / tcp_big_fresh);
  server.Stop();
  return 0;
}
