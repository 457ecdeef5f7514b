// epm.h -- the endpoint mapper (interface e1af8308-5d1f-11c9-91a4-08002b14a0fa
// v3.0), both sides: protocol towers, the client operations used to
// resolve a partial binding (ept_map) and to register with a mapper over
// the wire (ept_insert / ept_delete), and the server (EndpointMapper, a
// Dispatcher answering ept_insert, ept_delete, ept_lookup, ept_map and
// ept_lookup_handle_free), plus EndpointMapperService which runs one on
// TCP and ncalrpc.
//
// Towers: ncacn_ip_tcp has 5 floors (interface, NDR, 0x0B, 0x07 port,
// 0x09 IPv4); ncalrpc has 4 (interface, NDR, 0x0C, 0x10 endpoint name).
//
// Who may change the table: ept_insert and ept_delete are accepted only
// over ncalrpc, from a caller whose peer credentials show root or the
// owner of the entries concerned (an interface registered by one user
// cannot be redirected by another); over TCP they are refused with 5
// (access denied), leaving map and lookup. The table holds at most
// kMaxEntries entries. Lookup/map continuation handles are random
// 128-bit values, at most kMaxCursors are kept and each expires after
// kCursorLifetime unused.
//
// Thread-safety: the free functions are reentrant; EndpointMapper guards
// its table with a mutex (Dispatch runs on many connection threads).
#ifndef QZ_RPC_EPM_H_
#define QZ_RPC_EPM_H_

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "rpc/server.h"
#include "rpc/types.h"

namespace qz::rpc {

const SyntaxId& EndpointMapperInterface();  // e1af8308-..., v3.0

namespace ept {
inline constexpr uint32_t kCantPerformOp = 0x16C9A0CD;
inline constexpr uint32_t kInvalidEntry = 0x16C9A0D3;
inline constexpr uint32_t kInvalidContext = 0x16C9A0D5;
inline constexpr uint32_t kNotRegistered = 0x16C9A0D6;
}  // namespace ept

struct Tower {
  SyntaxId iface;
  SyntaxId transfer;         // NDR 2.0 in every tower we build
  std::string protseq;       // "ncacn_ip_tcp" or "ncalrpc"
  std::string endpoint;      // decimal port, or the ncalrpc endpoint name
  uint32_t ipv4 = 0;         // host order; ncacn_ip_tcp only
};

// Builds the tower octets; empty for an unsupported protseq or an
// endpoint that does not fit it (non-numeric port, empty name).
std::vector<uint8_t> BuildTower(const Tower& t);
// Parses tower octets (at most 6 floors, every length checked). Unknown
// protocol floors give protseq "" (floors 1-2 still decoded).
bool ParseTower(std::span<const uint8_t> octets, Tower* out);

// Request stubs of the client operations (NDR, little-endian).
// ept_map: nil object, the query tower, a nil handle, max_towers.
std::vector<uint8_t> EptMapRequestStub(const std::vector<uint8_t>& tower, uint32_t max_towers);
// ept_insert (with `replace`) or, when is_delete, ept_delete: one entry.
std::vector<uint8_t> EptInsertRequestStub(const std::vector<uint8_t>& tower,
                                          const std::string& annotation, bool is_delete);

// Client side. Asks the endpoint mapper reachable over `protseq` at `host`
// (TCP port EndpointMapperPort(); ncalrpc endpoint "epmapper") for the
// endpoint of `iface` on `protseq`. Returns 0 and *endpoint, 1722 when no
// mapper answers, 1753 when nothing is registered, else the mapped status.
uint32_t EptMap(const std::string& protseq, const std::string& host, const SyntaxId& iface,
                std::string* endpoint);
// Registers (ept_insert, replace = true) / removes (ept_delete) an endpoint
// with the mapper reachable over `epm_protseq` at `epm_host`.
uint32_t EptInsert(const std::string& epm_protseq, const std::string& epm_host,
                   const SyntaxId& iface, const std::string& protseq,
                   const std::string& endpoint, const std::string& annotation);
uint32_t EptDelete(const std::string& epm_protseq, const std::string& epm_host,
                   const SyntaxId& iface, const std::string& protseq,
                   const std::string& endpoint);

// The server: a table of (object, tower, annotation) entries.
class EndpointMapper : public Dispatcher {
 public:
  EndpointMapper();
  ~EndpointMapper() override;

  // For servers in the same process. Returns false for a protseq/endpoint
  // that no tower can express. A registration of the same interface
  // version, protseq and endpoint replaces the earlier one.
  bool Register(const SyntaxId& iface, const std::string& protseq, const std::string& endpoint,
                const std::string& annotation);
  void Unregister(const SyntaxId& iface, const std::string& protseq, const std::string& endpoint);
  size_t size() const;
  size_t cursors() const;  // continuation handles held

  static constexpr size_t kMaxEntries = 4096;
  static constexpr size_t kMaxCursors = 256;
  static constexpr std::chrono::seconds kCursorLifetime{60};
  void SetCursorLifetimeForTesting(std::chrono::milliseconds d) { cursor_lifetime_ = d; }

  uint16_t ProcedureCount() const override { return 7; }
  DispatchResult Dispatch(const CallContext& ctx, uint16_t opnum, std::span<const uint8_t> stub,
                          Drep drep) override;

 private:
  struct Entry {
    Uuid object;
    Tower tower;
    std::string annotation;
    uint32_t owner = 0;  // uid that registered it
  };
  struct Cursor {
    size_t next;
    std::chrono::steady_clock::time_point expires;
  };
  DispatchResult Insert(const CallContext& ctx, std::span<const uint8_t> stub, Drep drep,
                        bool is_delete);
  DispatchResult Lookup(std::span<const uint8_t> stub, Drep drep);
  DispatchResult Map(const CallContext& ctx, std::span<const uint8_t> stub, Drep drep);
  DispatchResult FreeHandle(std::span<const uint8_t> stub, Drep drep);
  // Takes the cursor named by `handle` (expired ones are gone); false
  // when there is none. Keeps a new one for `next` into *handle.
  bool TakeCursorLocked(const Uuid& handle, size_t* next);
  Uuid KeepCursorLocked(size_t next);

  mutable std::mutex mu_;
  std::vector<Entry> entries_;
  std::map<std::string, Cursor> cursors_;  // by the handle's 16 random bytes
  std::chrono::milliseconds cursor_lifetime_ = kCursorLifetime;
};


// An endpoint mapper server on TCP (and optionally ncalrpc "epmapper").
class EndpointMapperService {
 public:
  EndpointMapperService();
  ~EndpointMapperService();
  // tcp_port 0 picks a free port; local_too also listens on ncalrpc
  // "epmapper" in LocalRpcDirectory(). False when nothing could listen.
  bool Start(const std::string& tcp_host, uint16_t tcp_port, bool local_too);
  void Stop();
  uint16_t tcp_port() const { return port_; }
  EndpointMapper& mapper() { return mapper_; }

 private:
  EndpointMapper mapper_;
  std::unique_ptr<Server> server_;
  uint16_t port_ = 0;
};

}  // namespace qz::rpc

#endif  // QZ_RPC_EPM_H_
