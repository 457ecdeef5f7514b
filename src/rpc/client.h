// client.h -- client side of the connection-oriented DCE RPC runtime.
//
// A Binding names a protocol sequence, a network address and (once
// resolved) an endpoint. Call() sends one request and returns the reply's
// stub data. A binding may be used by several threads at once: each call
// takes an idle connection of the binding's small pool (or opens a new one,
// bound to the same association group), so calls run side by side; at most
// 16 connections of a binding are in use at once, and further calls wait
// for one of them (a server bounds the connections of one peer).
//
// Failures throw qz::RpcException with the status a Windows client reports:
// 1722 connection refused / unreachable, 1726 connection lost after the
// request was sent, 1727 lost before, 1717 unknown interface, 1745 bad
// opnum, 1783 bad stub data, 1728 protocol violation, other fault codes as
// mapped by the runtime.
#ifndef QZ_RPC_CLIENT_H_
#define QZ_RPC_CLIENT_H_

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "rpc/types.h"

namespace qz::rpc {

struct Reply {
  std::vector<uint8_t> stub;  // reassembled stub data of the response
  Drep drep;                  // the responder's data representation
};

// A reply received in place, for a reply array that ends up in the
// caller's memory. `lead` is the number of stub bytes before the array's
// data (its referent id and count being the last 8 of them); those go to
// head(). Once they are in, a non-null referent's count (when within the
// reply cap) sizes one block from the given allocator, exactly the array,
// and the fragments are read straight into it: body(). Whatever follows
// goes to tail(). With lead 0 (nothing to place) the whole stub goes to
// head(), whose buffer the first fragment's alloc_hint sizes when it is
// within the cap. Owns the block until TakeBlock() hands it over.
class PlacedReply {
 public:
  PlacedReply(const MemoryRoutines& mem, size_t lead);
  ~PlacedReply();
  PlacedReply(PlacedReply&& o) noexcept;
  PlacedReply& operator=(PlacedReply&&) = delete;
  PlacedReply(const PlacedReply&) = delete;

  std::span<const uint8_t> head() const { return head_; }
  std::span<const uint8_t> body() const { return {block_, size_}; }
  std::span<const uint8_t> tail() const { return tail_; }
  size_t size() const { return head_.size() + size_ + tail_.size(); }
  const MemoryRoutines& memory() const { return mem_; }
  // Hands the block (body().data()) to the caller, who releases it.
  uint8_t* TakeBlock();
  // Hands the head bytes over (the whole stub when lead was 0).
  std::vector<uint8_t> TakeHead() { return std::move(head_); }
  Drep drep;

  // Receiving side (the connection), with drep set: the stub's expected
  // total (alloc_hint) and the reply cap; room for up to n of the next
  // stub bytes (empty when memory runs out); then how many were filled.
  void Expect(size_t total, size_t cap);
  std::span<uint8_t> Room(size_t n);
  void Filled(size_t n);
  // After the last fragment: a head buffer far larger than what arrived
  // (a hint that lied) is cut to size.
  void Fit();

 private:
  enum class Part { kHead, kBody, kTail };
  MemoryRoutines mem_;
  size_t lead_;
  size_t cap_ = SIZE_MAX;
  std::vector<uint8_t> head_, tail_;
  uint8_t* block_ = nullptr;
  size_t size_ = 0;
  size_t array_ = 0;  // bytes the block holds when full
  Part room_ = Part::kHead;  // where the last Room() was
};

// Runtime settings (the runtime reads its own environment; the library
// proper reads no configuration).
struct ClientSettings {
  int connect_timeout_ms = 10000;
  int receive_timeout_ms = 300000;           // a silent peer fails the call after this (1818);
                                             // fragments without data are silence too
  int call_timeout_ms = 30 * 60 * 1000;      // the whole call, request to last fragment (1726);
                                             // $QZRPC_CALL_TIMEOUT (seconds) sets it, -1 none
  size_t max_reply_bytes = 256u << 20;       // larger reassembled replies fail the call
  uint16_t proposed_frag = 65528;            // max_xmit / max_recv offered in bind
};
ClientSettings& GetClientSettings();

class Binding {
 public:
  // protseq: "ncacn_ip_tcp" or "ncalrpc"; endpoint may be empty (partial).
  Binding(std::string protseq, std::string network_address, std::string endpoint);
  ~Binding();
  Binding(const Binding&) = delete;
  Binding& operator=(const Binding&) = delete;

  const std::string& protseq() const;
  const std::string& network_address() const;
  std::string endpoint() const;  // a copy: another thread may complete the binding
  void set_endpoint(std::string endpoint);

  // Sends one call of `opnum` on interface `iface` and waits for the reply.
  Reply Call(const SyntaxId& iface, uint16_t opnum, std::span<const uint8_t> stub);
  // The same, the reply received in place into `into` (a fresh one).
  void Call(const SyntaxId& iface, uint16_t opnum, std::span<const uint8_t> stub,
            PlacedReply* into);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qz::rpc

#endif  // QZ_RPC_CLIENT_H_
