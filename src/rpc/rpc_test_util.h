// rpc_test_util.h -- helpers shared by the runtime's tests: an echo
// dispatcher, a server fixture on loopback and raw-PDU helpers.
//
// Thread-safety: EchoDispatcher is safe for concurrent Dispatch calls.
#ifndef QZ_RPC_RPC_TEST_UTIL_H_
#define QZ_RPC_RPC_TEST_UTIL_H_

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "rpc/client.h"
#include "rpc/pdu.h"
#include "rpc/server.h"
#include "rpc/transport.h"

namespace qz::rpc::testing {

inline SyntaxId EchoInterface() {
  return SyntaxId{*Uuid::Parse("6a28b3c1-0d2e-4c8f-9a11-2b3c4d5e6f70"), 1, 0};
}

// opnum 0: echo the stub; 1: reply with N bytes (N = first 4 stub bytes,
// little-endian) of a counting pattern (`kept` when set and N long, sent
// as a kept reply); 2: fault with the status in the
// first 4 bytes; 3: drop the connection; 4: sleep N ms then echo; 5: throw.
class EchoDispatcher : public Dispatcher {
 public:
  uint16_t ProcedureCount() const override { return 6; }
  DispatchResult Dispatch(const CallContext& ctx, uint16_t opnum, std::span<const uint8_t> stub,
                          Drep drep) override {
    calls.fetch_add(1);
    last_ctx_uid.store(ctx.peer_uid);
    last_ctx_pid.store(ctx.peer_pid);
    last_connection_id.store(ctx.connection_id);
    last_has_creds.store(ctx.has_peer_credentials);
    (void)drep;
    DispatchResult r;
    uint32_t n = 0;
    if (stub.size() >= 4) std::memcpy(&n, stub.data(), 4);
    switch (opnum) {
      case 0:
        r.stub.assign(stub.begin(), stub.end());
        break;
      case 1:
        if (kept && kept->size() == n) {
          r.kept_stub = kept;
          break;
        }
        r.stub.resize(n);
        for (uint32_t i = 0; i < n; ++i) r.stub[i] = static_cast<uint8_t>(i * 7 + (i >> 13));
        break;
      case 2:
        r.kind = DispatchResult::Kind::kFault;
        r.fault_status = n;
        break;
      case 3:
        r.kind = DispatchResult::Kind::kDropConnection;
        break;
      case 4: {
        int active = concurrent.fetch_add(1) + 1;
        int prev = max_concurrent.load();
        while (active > prev && !max_concurrent.compare_exchange_weak(prev, active)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(n));
        concurrent.fetch_sub(1);
        r.stub.assign(stub.begin(), stub.end());
        break;
      }
      default:
        throw std::runtime_error("handler failure");
    }
    return r;
  }
  std::shared_ptr<const std::vector<uint8_t>> kept;  // set before the server starts
  std::atomic<int> calls{0};
  std::atomic<int> concurrent{0};
  std::atomic<int> max_concurrent{0};
  std::atomic<uint32_t> last_ctx_uid{0};
  std::atomic<uint32_t> last_ctx_pid{0};
  std::atomic<uint64_t> last_connection_id{0};
  std::atomic<bool> last_has_creds{false};
};

// A started server with `echo` registered, on a free TCP port of
// 127.0.0.1 (*port; 0 when it could not listen).
inline std::unique_ptr<Server> StartEchoServer(const ServerSettings& s, EchoDispatcher* echo,
                                               uint16_t* port) {
  auto server = std::make_unique<Server>(s);
  server->RegisterInterface(EchoInterface(), echo);
  *port = server->ListenTcp("127.0.0.1", 0);
  server->Start();
  return server;
}

inline std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + (i >> 13));
  return v;
}

}  // namespace qz::rpc::testing

#endif  // QZ_RPC_RPC_TEST_UTIL_H_
