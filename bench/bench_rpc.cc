// bench_rpc.cc -- RPC runtime throughput and latency over loopback TCP,
// each figure beside a bare TCP ping-pong of the same bytes measured in
// the same run: a small call's round trip, and a 64 MiB reply handed to
// the caller as one allocated block (the way a record query reaches the
// library's caller), with the client's peak memory. The 64 MiB reply is
// sent from where the server keeps it, so its figure is the runtime's
// own cost against the bare transfer; a second figure has the handler
// build the reply anew for every call.
//
// The server runs in a child process so that the parent's peak RSS is the
// client's alone.
//
// Usage: qzrpc_bench [small_iterations] [big_iterations]
// Not a test: it prints figures and ratios and always exits 0.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/platform.h"
#include "rpc/client.h"
#include "rpc/ndr.h"
#include "rpc/pdu.h"
#include "rpc/proc.h"
#include "rpc/rpc_test_util.h"
#include "rpc/server.h"
#include "rpc/transport.h"

namespace {

using namespace qz::rpc;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

double PeakRssMiB() {
  struct rusage u {};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss / 1024.0;
}

// Bare TCP: the client sends `request` bytes, the server answers with
// `reply` bytes; `rounds` times on one connection.
// With fresh_buffer the client receives each reply into a newly allocated
// buffer, as an RPC client must hand a new reply to its caller; with huge
// both ends' buffers are advised for huge pages, as the runtime's are.
std::vector<uint8_t> Buffer(size_t n, uint8_t fill, bool huge) {
  std::vector<uint8_t> v;
  if (huge) qz::platform::ReserveMore(&v, n);
  v.resize(n, fill);
  return v;
}

double BareTcp(size_t request, size_t reply, int rounds, bool fresh_buffer = false,
               bool huge = false) {
  int err = 0;
  auto listener = ListenTcpSocket("127.0.0.1", 0, &err);
  uint16_t port = listener->port();
  std::thread server([&] {
    auto t = listener->Accept();
    std::vector<uint8_t> in(request), out = Buffer(reply, 0x5A, huge);
    for (int i = 0; i < rounds; ++i) {
      if (t->ReadExact(in.data(), in.size(), 30000) != IoResult::kOk) return;
      if (t->SendAll(out) != IoResult::kOk) return;
    }
  });
  auto c = ConnectTcp("127.0.0.1", port, 5000, &err);
  std::vector<uint8_t> out(request, 0xA5), in = Buffer(reply, 0, huge);
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

// opnum 1 of the echo interface as a record query: a block of *count
// bytes handed out through the caller's allocator, and its count. Opnum 2
// is the same query answered by a handler that builds each reply anew.
constexpr ProcDesc kBlockQuery{1, "block", true, 2, {{Shape::kReplyOut, 2}, {Shape::kCountOut}}};
constexpr ProcDesc kFreshBlockQuery{2, "block", true, 2,
                                    {{Shape::kReplyOut, 2}, {Shape::kCountOut}}};

// The server side of kBlockQuery: the NDR reply of `n` pattern bytes,
// built once and kept. Opnum 1 sends the kept reply; opnum 2 copies it
// into a new buffer on every call, grown the way the server's handlers
// grow their answers, as a handler does that builds each answer anew
// (that copy is timed apart as the handler's share).
void CopyAsHandlersBuild(const std::vector<uint8_t>& from, std::vector<uint8_t>* to) {
  qz::platform::ReserveMore(to, from.size());
  to->insert(to->end(), from.begin(), from.end());
}

class BlockDispatcher : public testing::EchoDispatcher {
 public:
  explicit BlockDispatcher(uint32_t n) {
    NdrPush w;
    w.U32(kUniqueReferentId);
    w.U32(n);
    std::vector<uint8_t> pattern = testing::Pattern(n);
    w.Bytes(pattern.data(), n);
    w.U32(n);
    w.U32(0);
    reply_ = std::make_shared<const std::vector<uint8_t>>(w.Take());
  }
  DispatchResult Dispatch(const CallContext& ctx, uint16_t opnum, std::span<const uint8_t> stub,
                          Drep drep) override {
    DispatchResult r;
    if (opnum == 1)
      r.kept_stub = reply_;
    else if (opnum == 2)
      CopyAsHandlersBuild(*reply_, &r.stub);
    else
      return EchoDispatcher::Dispatch(ctx, opnum, stub, drep);
    return r;
  }

 private:
  std::shared_ptr<const std::vector<uint8_t>> reply_;
};

// The library's allocator (RDMemAlloc / RDMemFree).
void* Allocate(size_t n) { return qz::platform::HeapAlloc(n); }
void Release(void* p) { qz::platform::HeapFree(p); }

// One record query: the block as the caller receives it (to be released).
uint8_t* QueryBlock(Binding& b, const ProcDesc& proc, int32_t* count) {
  uint8_t* block = nullptr;
  ArgSlot args[3];
  args[1].ptr = &block;
  args[2].ptr = count;
  const std::vector<uint8_t> request = MarshalRequest(proc, args);
  PlacedReply reply(MemoryRoutines{&Allocate, &Release}, ReplyLead(proc, args));
  b.Call(testing::EchoInterface(), proc.opnum, request, &reply);
  UnmarshalResponse(proc, &reply, args);
  return block;
}

// Seconds per call of `rounds` block queries (after one to warm up); 0
// when a reply is not the pattern.
double TimeBlocks(Binding& b, const ProcDesc& proc, uint32_t size, int rounds) {
  int32_t count = 0;
  Release(QueryBlock(b, proc, &count));
  const auto start = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    uint8_t* block = QueryBlock(b, proc, &count);
    const uint32_t last = size - 1;  // the pattern's last byte
    const bool ok = block != nullptr && static_cast<uint32_t>(count) == size &&
                    block[last] == static_cast<uint8_t>(last * 7 + (last >> 13));
    Release(block);
    if (!ok) {
      printf("unexpected reply (count %d)\n", count);
      return 0;
    }
  }
  return Seconds(start, Clock::now()) / rounds;
}

}  // namespace

int main(int argc, char** argv) {
  int small_rounds = argc > 1 ? atoi(argv[1]) : 20000;
  int big_rounds = argc > 2 ? atoi(argv[2]) : 5;
  const uint32_t big = 64u << 20;

  int up[2], down[2];  // child -> parent, parent -> child
  if (pipe(up) != 0 || pipe(down) != 0) return 0;
  pid_t child = fork();
  if (child == 0) {
    BlockDispatcher dispatcher(big);
    Server server;
    server.RegisterInterface(testing::EchoInterface(), &dispatcher);
    uint16_t port = server.ListenTcp("127.0.0.1", 0);
    server.Start();
    (void)!write(up[1], &port, sizeof port);
    // Serves until the parent closes its end; then the handler's share.
    char c;
    (void)!read(down[0], &c, 1);
    server.Stop();
    std::vector<uint8_t> req(4);
    std::memcpy(req.data(), &big, 4);
    auto start = Clock::now();
    for (int i = 0; i < big_rounds; ++i) {
      CallContext ctx;
      dispatcher.Dispatch(ctx, kFreshBlockQuery.opnum, req, Drep::Little());
    }
    double gen = Seconds(start, Clock::now()) / big_rounds;
    (void)!write(up[1], &gen, sizeof gen);
    _exit(0);
  }
  uint16_t port = 0;
  if (read(up[0], &port, sizeof port) != sizeof port) return 0;
  Binding b("ncacn_ip_tcp", "127.0.0.1", std::to_string(port));

  // Small call: 16-byte stub echoed.
  std::vector<uint8_t> small(16, 1);
  b.Call(testing::EchoInterface(), 0, small);  // bind outside the timing
  auto start = Clock::now();
  for (int i = 0; i < small_rounds; ++i) b.Call(testing::EchoInterface(), 0, small);
  double rpc_small = Seconds(start, Clock::now()) / small_rounds;

  // 64 MiB block: the kept reply, then one built anew for every call.
  const double rss_before = PeakRssMiB();
  const double rpc_big = TimeBlocks(b, kBlockQuery, big, big_rounds);
  const double rss_after = PeakRssMiB();
  const double rpc_fresh = TimeBlocks(b, kFreshBlockQuery, big, big_rounds);
  if (rpc_big == 0 || rpc_fresh == 0) return 0;
  char stop = 0;
  (void)!write(down[1], &stop, 1);
  double gen = 0;
  (void)!read(up[0], &gen, sizeof gen);
  waitpid(child, nullptr, 0);

  double tcp_small = BareTcp(24 + 16, 24 + 16, small_rounds);
  printf("small call (16-byte stub each way), %d rounds:\n", small_rounds);
  printf("  rpc %.2f us/call, bare tcp %.2f us/round trip, ratio %.2f\n", rpc_small * 1e6,
         tcp_small * 1e6, rpc_small / tcp_small);
  const size_t wire = WireBytes(big + 20, kMaxFragSize);
  double tcp_big = BareTcp(24 + 4, wire, big_rounds);
  double tcp_big_fresh = BareTcp(24 + 4, wire, big_rounds, true);
  double tcp_big_huge = BareTcp(24 + 4, wire, big_rounds, false, true);
  printf("64 MiB block to the caller, %d rounds (fragments of %u bytes):\n", big_rounds, kMaxFragSize);
  printf("  rpc %.1f ms (%.0f MiB/s); bare tcp %.1f ms (%.0f MiB/s); ratio %.2f\n", rpc_big * 1e3,
         64 / rpc_big, tcp_big * 1e3, 64 / tcp_big, rpc_big / tcp_big);
  printf("  bare tcp into a fresh buffer per reply %.1f ms; ratio %.2f\n", tcp_big_fresh * 1e3,
         rpc_big / tcp_big_fresh);
  printf("  bare tcp with both buffers on huge pages %.1f ms; ratio %.2f\n", tcp_big_huge * 1e3,
         rpc_big / tcp_big_huge);
  printf("  reply built anew per call: rpc %.1f ms, of which the handler's copy %.1f ms\n",
         rpc_fresh * 1e3, gen * 1e3);
  printf("  client peak RSS %.1f MiB before the block calls, %.1f MiB after: %.2f x the reply\n",
         rss_before, rss_after, (rss_after - rss_before) / 64.0);
  return 0;
}
