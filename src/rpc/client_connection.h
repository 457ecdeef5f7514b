// client_connection.h -- one client connection (association member) of the
// connection-oriented runtime: bind / alter_context negotiation, request
// fragmentation, response reassembly with every check a hostile server
// calls for, and the mapping of failures to Win32 statuses. Binding keeps
// a pool of these; tests drive one directly over an in-memory transport.
//
// Thread-safety: a connection runs one call at a time; the owner (the
// Binding's pool) guarantees that.
#ifndef QZ_RPC_CLIENT_CONNECTION_H_
#define QZ_RPC_CLIENT_CONNECTION_H_

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <span>

#include "rpc/client.h"
#include "rpc/transport.h"

namespace qz::rpc {

class ClientConnection {
 public:
  // assoc_group_id: the group to join (0 = ask for a new one).
  ClientConnection(std::unique_ptr<Transport> transport, const ClientSettings& settings,
                   uint32_t assoc_group_id);
  ~ClientConnection();

  // One call; throws qz::RpcException. After a failure that leaves the
  // stream in an unknown state, usable() turns false.
  Reply Call(const SyntaxId& iface, uint16_t opnum, std::span<const uint8_t> stub);
  // The same, the reply received in place into `into`.
  void Call(const SyntaxId& iface, uint16_t opnum, std::span<const uint8_t> stub,
            PlacedReply* into);

  bool usable() const { return usable_; }
  // usable() and the peer has neither closed the connection nor sent
  // anything unasked while it was idle.
  bool ReadyForCall() { return usable_ && t_->IdleAndOpen(); }
  uint32_t assoc_group_id() const { return assoc_group_id_; }
  // Inherited across fork(): never used again, and closed without
  // shutting down the stream the parent still uses.
  void Abandon() {
    usable_ = false;
    t_->Abandon();
  }
  uint16_t max_xmit_frag() const { return max_xmit_; }  // we send at most
  uint16_t max_recv_frag() const { return max_recv_; }  // we accept at most

 private:
  [[noreturn]] void Fail(uint32_t status);
  uint16_t EnsureContext(const SyntaxId& iface);
  void SendRequest(uint32_t call_id, uint16_t ctx, uint16_t opnum, std::span<const uint8_t> stub);
  void ReceiveReply(uint32_t call_id, uint16_t ctx,
                    std::chrono::steady_clock::time_point deadline, PlacedReply* reply);
  uint32_t NextCallId();

  std::unique_ptr<Transport> t_;
  ClientSettings settings_;
  uint32_t assoc_group_id_;
  bool bound_ = false;
  bool usable_ = true;
  uint16_t max_xmit_ = kMustRecvFragDefault;
  uint16_t max_recv_ = kMustRecvFragDefault;
  uint16_t next_context_id_ = 0;
  uint32_t next_call_id_ = 1;
  struct Key {
    SyntaxId s;
    bool operator<(const Key& o) const;
  };
  std::map<Key, uint16_t> contexts_;  // accepted presentation contexts
  static constexpr uint16_t kMustRecvFragDefault = 1432;
};

}  // namespace qz::rpc

#endif  // QZ_RPC_CLIENT_CONNECTION_H_
