// client.cc -- client side of the connection-oriented runtime: Binding
// (a small pool of connections per binding sharing one association group)
// and ClientConnection (one call at a time on one connection).
//
// Thread-safety: Binding::Call may run on many threads at once; each call
// takes a connection of its own from the pool (one outstanding call per
// connection, the simplest design every peer supports). The pool is
// guarded by a mutex that is never held across network I/O.
#include "rpc/client.h"


#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <tuple>
#include <utility>
#include <vector>

#include "rpc/client_connection.h"
#include "rpc/epm.h"
#include "rpc/fault_status.h"
#include "rpc/pdu.h"
#include "rpc/server.h"
#include "rpc/transport.h"

namespace qz::rpc {

namespace {

uint16_t ClampFrag(uint32_t v) {
  if (v == 0) return kMustRecvFrag;
  v &= ~uint32_t{7};
  return static_cast<uint16_t>(std::clamp<uint32_t>(v, kMustRecvFrag, kMaxFragSize));
}

bool SyntaxLess(const SyntaxId& a, const SyntaxId& b) {
  auto ta = std::tie(a.uuid.data1, a.uuid.data2, a.uuid.data3);
  auto tb = std::tie(b.uuid.data1, b.uuid.data2, b.uuid.data3);
  if (ta != tb) return ta < tb;
  if (int c = std::memcmp(a.uuid.data4, b.uuid.data4, 8); c != 0) return c < 0;
  return std::tie(a.major, a.minor) < std::tie(b.major, b.minor);
}

// Connections of one binding in use at once; further calls wait for one
// to come back. A program with more threads than this must not open a
// connection per thread (a server bounds the connections of one peer).
constexpr size_t kMaxBusyConnections = 16;
// All of them may stay open when idle: under load no connection is closed
// only to be opened again (the server would still count the closed one
// for a moment).
constexpr size_t kMaxIdleConnections = kMaxBusyConnections;

}  // namespace

ClientSettings& GetClientSettings() {
  static ClientSettings settings = [] {
    ClientSettings s;
    if (const char* v = std::getenv("QZRPC_CALL_TIMEOUT"); v && *v) {
      char* end = nullptr;
      long secs = std::strtol(v, &end, 10);
      if (*end == '\0' && secs > 0 && secs <= 24L * 3600) s.call_timeout_ms = static_cast<int>(secs * 1000);
    }
    return s;
  }();
  return settings;
}

bool ClientConnection::Key::operator<(const Key& o) const { return SyntaxLess(s, o.s); }

ClientConnection::ClientConnection(std::unique_ptr<Transport> transport,
                                   const ClientSettings& settings, uint32_t assoc_group_id)
    : t_(std::move(transport)), settings_(settings), assoc_group_id_(assoc_group_id) {}

ClientConnection::~ClientConnection() {
  if (t_) t_->Shutdown();
}

void ClientConnection::Fail(uint32_t status) {
  usable_ = false;
  t_->Shutdown();
  throw RpcException(status);
}

uint32_t ClientConnection::NextCallId() {
  if (next_call_id_ > 0x7FFFFFFF) Fail(status::kCallFailedDne);  // never wrap
  return next_call_id_++;
}

uint16_t ClientConnection::EnsureContext(const SyntaxId& iface) {
  if (auto it = contexts_.find(Key{iface}); it != contexts_.end()) return it->second;
  if (next_context_id_ == 0xFFFF) Fail(status::kCallFailedDne);
  BindPdu b;
  b.hdr.type = bound_ ? ptype::kAlterContext : ptype::kBind;
  b.hdr.call_id = NextCallId();
  uint16_t offer = ClampFrag(settings_.proposed_frag);
  b.max_xmit_frag = offer;
  b.max_recv_frag = offer;
  b.assoc_group_id = assoc_group_id_;
  uint16_t ctx = next_context_id_++;
  b.contexts.push_back(ContextElem{ctx, iface, {NdrSyntax()}});
  if (t_->SendAll(EncodeBind(b)) != IoResult::kOk) Fail(status::kCallFailedDne);

  std::vector<uint8_t> pdu;
  PduHeader h;
  // Before the ack we accept what we offered to receive.
  RecvStatus rs = ReceivePdu(*t_, bound_ ? max_recv_ : offer, settings_.receive_timeout_ms, &pdu, &h);
  if (rs == RecvStatus::kBadHeader) Fail(status::kProtocolError);
  if (rs != RecvStatus::kOk) Fail(status::kCallFailedDne);
  if (h.call_id != b.hdr.call_id) Fail(status::kProtocolError);
  if (h.type == ptype::kBindNak && !bound_) {
    BindNakPdu nak;
    if (!DecodeBindNak(pdu, &nak)) Fail(status::kProtocolError);
    Fail(MapBindNakReason(nak.reason));
  }
  if (h.type == ptype::kFault && bound_) {
    FaultPdu f;
    if (!DecodeFault(pdu, &f)) Fail(status::kProtocolError);
    Fail(MapFaultStatus(f.status));
  }
  uint8_t want = bound_ ? ptype::kAlterContextResp : ptype::kBindAck;
  BindAckPdu ack;
  if (h.type != want || !DecodeBindAck(pdu, &ack) || ack.results.size() != 1)
    Fail(status::kProtocolError);
  if (!bound_) {
    // Send no more than the server receives, receive no more than we
    // offered; never below the size everyone must accept.
    max_xmit_ = std::min(offer, ClampFrag(ack.max_recv_frag));
    max_recv_ = offer;
    if (ack.assoc_group_id != 0) assoc_group_id_ = ack.assoc_group_id;
    bound_ = true;
  }
  const ContextResult& r = ack.results[0];
  if (r.result != ctxres::kAcceptance) {
    // The connection stays good: only this interface is unusable on it.
    throw RpcException(MapContextRejection(r.result, r.reason));
  }
  if (!(r.transfer_syntax == NdrSyntax())) Fail(status::kProtocolError);
  contexts_[Key{iface}] = ctx;
  return ctx;
}

void ClientConnection::SendRequest(uint32_t call_id, uint16_t ctx, uint16_t opnum,
                                   std::span<const uint8_t> stub) {
  const size_t cap = FragmentStubCapacity(max_xmit_, kRequestHeaderSize);
  size_t off = 0;
  do {
    size_t n = std::min(cap, stub.size() - off);
    RequestPdu r;
    r.hdr.type = ptype::kRequest;
    r.hdr.call_id = call_id;
    r.hdr.flags = 0;
    if (off == 0) r.hdr.flags |= pfc::kFirstFrag;
    if (off + n == stub.size()) r.hdr.flags |= pfc::kLastFrag;
    r.alloc_hint = static_cast<uint32_t>(stub.size() - off);
    r.context_id = ctx;
    r.opnum = opnum;
    r.stub = stub.subspan(off, n);
    // The call cannot have run until its last fragment arrived.
    if (t_->SendAll(EncodeRequest(r)) != IoResult::kOk) Fail(status::kCallFailedDne);
    off += n;
  } while (off < stub.size());
}

void ClientConnection::ReceiveReply(uint32_t call_id, uint16_t ctx,
                                    std::chrono::steady_clock::time_point deadline,
                                    PlacedReply* reply) {
  using Clock = std::chrono::steady_clock;
  using std::chrono::milliseconds;
  bool started = false;
  std::vector<uint8_t> pdu;  // headers (and whole non-response PDUs), reused
  // Silence is measured from the last fragment that brought data, so a
  // stream of empty fragments does not keep a call alive; the call as a
  // whole ends at `deadline` however the server paces its fragments.
  Clock::time_point progress = Clock::now();
  for (;;) {
    const Clock::time_point now = Clock::now();
    // The nearer of the two limits. A limit already passed ends the call
    // here, whatever is waiting to be read: a peer that keeps sending
    // empty fragments is as silent as one that sends nothing.
    const bool receive_limits = settings_.receive_timeout_ms >= 0;
    int64_t wait = -1;  // no limit
    bool total_limits = false;
    if (receive_limits) {
      wait = std::chrono::duration_cast<milliseconds>(
                 progress + milliseconds(settings_.receive_timeout_ms) - now).count();
      if (wait < 0) Fail(status::kCallCancelled);
    }
    if (settings_.call_timeout_ms >= 0) {
      int64_t left = std::chrono::duration_cast<milliseconds>(deadline - now).count();
      if (left < 0) Fail(status::kCallFailed);
      if (!receive_limits || left < wait) {
        wait = left;
        total_limits = true;
      }
    }
    const int wait_ms = static_cast<int>(std::min<int64_t>(wait, INT32_MAX));
    const uint32_t timed_out = total_limits ? status::kCallFailed : status::kCallCancelled;
    PduHeader h;
    RecvStatus rs = ReceivePduLeavingStub(*t_, max_recv_, wait_ms, &pdu, &h);
    if (rs == RecvStatus::kBadHeader) Fail(status::kProtocolError);
    if (rs == RecvStatus::kTimeout) Fail(timed_out);
    if (rs != RecvStatus::kOk) Fail(status::kCallFailed);
    if (h.type == ptype::kShutdown) {
      usable_ = false;  // finish this call, then drop the connection
      continue;
    }
    if (h.call_id != call_id) Fail(status::kProtocolError);
    if (h.type == ptype::kFault) {
      FaultPdu f;
      if (!DecodeFault(pdu, &f)) Fail(status::kProtocolError);
      if (f.status == nca::kProtoError) usable_ = false;
      if (!usable_) t_->Shutdown();
      throw RpcException(f.status == 0 ? status::kCallFailed : MapFaultStatus(f.status));
    }
    ResponsePdu r;
    if (h.type != ptype::kResponse || !DecodeResponseHead(pdu, &r)) Fail(status::kProtocolError);
    if (r.context_id != ctx) Fail(status::kProtocolError);
    bool first = h.flags & pfc::kFirstFrag;
    if (first == started) Fail(status::kProtocolError);  // FIRST exactly on the first fragment
    if (!started) {
      reply->drep = h.drep;
      started = true;
      // alloc_hint is a hint only: it sizes the reply when it is within the
      // cap; what actually arrives decides.
      reply->Expect(r.alloc_hint <= settings_.max_reply_bytes ? r.alloc_hint : 0,
                    settings_.max_reply_bytes);
    } else if (std::memcmp(reply->drep.b, h.drep.b, 4) != 0) {
      Fail(status::kProtocolError);
    }
    // The fragment's stub data, read straight into its place.
    size_t n = h.frag_length - kResponseHeaderSize;
    if (n > settings_.max_reply_bytes - std::min(settings_.max_reply_bytes, reply->size()))
      Fail(status::kOutOfMemory);
    if (n != 0) progress = Clock::now();
    while (n > 0) {
      std::span<uint8_t> room = reply->Room(n);
      if (room.empty()) Fail(status::kOutOfMemory);
      IoResult io = t_->ReadExact(room.data(), room.size(), wait_ms);
      if (io == IoResult::kTimeout) Fail(timed_out);
      if (io != IoResult::kOk) Fail(status::kCallFailed);
      reply->Filled(room.size());
      n -= room.size();
    }
    if (h.flags & pfc::kLastFrag) break;
  }
  reply->Fit();
  if (!usable_) t_->Shutdown();
}

void ClientConnection::Call(const SyntaxId& iface, uint16_t opnum, std::span<const uint8_t> stub,
                            PlacedReply* into) {
  if (!usable_) throw RpcException(status::kCallFailedDne);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, settings_.call_timeout_ms));
  uint16_t ctx = EnsureContext(iface);
  uint32_t call_id = NextCallId();
  SendRequest(call_id, ctx, opnum, stub);
  ReceiveReply(call_id, ctx, deadline, into);
}

Reply ClientConnection::Call(const SyntaxId& iface, uint16_t opnum, std::span<const uint8_t> stub) {
  PlacedReply placed(MemoryRoutines{nullptr, nullptr}, 0);  // all of it in head()
  Call(iface, opnum, stub, &placed);
  return Reply{placed.TakeHead(), placed.drep};
}

// ---------------------------------------------------------------------------

PlacedReply::PlacedReply(const MemoryRoutines& mem, size_t lead)
    : mem_(mem), lead_(lead < 8 ? SIZE_MAX : lead) {}

PlacedReply::~PlacedReply() {
  if (block_ != nullptr && mem_.release != nullptr) mem_.release(block_);
}

PlacedReply::PlacedReply(PlacedReply&& o) noexcept
    : drep(o.drep), mem_(o.mem_), lead_(o.lead_), cap_(o.cap_), head_(std::move(o.head_)),
      tail_(std::move(o.tail_)), block_(std::exchange(o.block_, nullptr)),
      size_(std::exchange(o.size_, 0)), array_(std::exchange(o.array_, 0)), room_(o.room_) {}

uint8_t* PlacedReply::TakeBlock() {
  size_ = array_ = 0;
  return std::exchange(block_, nullptr);
}

void PlacedReply::Expect(size_t total, size_t cap) {
  cap_ = cap;
  if (!head_.empty()) return;
  try {
    head_.reserve(std::min(total, lead_));
  } catch (const std::bad_alloc&) {
    // what arrives decides
  }
}

std::span<uint8_t> PlacedReply::Room(size_t n) {
  try {
    std::vector<uint8_t>* into = &tail_;
    size_t k = n;
    if (head_.size() < lead_) {
      into = &head_;
      k = std::min(n, lead_ - head_.size());
      room_ = Part::kHead;
    } else if (size_ < array_) {
      room_ = Part::kBody;
      return {block_ + size_, std::min(n, array_ - size_)};
    } else {
      room_ = Part::kTail;
    }
    const size_t at = into->size();
    into->resize(at + k);
    return {into->data() + at, k};
  } catch (const std::bad_alloc&) {
    return {};
  }
}

void PlacedReply::Filled(size_t n) {
  if (room_ == Part::kBody) size_ += n;  // head and tail bytes were counted by Room
  if (room_ != Part::kHead || head_.size() != lead_) return;
  // The head is complete: its last 8 bytes are the array's referent id and
  // count. A present array within the cap gets its block, exactly its size.
  auto load = [&](size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      const uint32_t b = head_[at + i];
      v |= drep.little_endian() ? b << (8 * i) : b << (8 * (3 - i));
    }
    return v;
  };
  const uint32_t referent = load(lead_ - 8), count = load(lead_ - 4);
  if (referent == 0 || count > cap_ - std::min(cap_, lead_) || mem_.allocate == nullptr) return;
  block_ = static_cast<uint8_t*>(mem_.allocate(std::max<size_t>(count, 1)));
  if (block_ != nullptr) array_ = count;  // without a block the array goes to the tail
}

void PlacedReply::Fit() {
  if (head_.capacity() > head_.size() + head_.size() / 4 + 4096) head_.shrink_to_fit();
}

// ---------------------------------------------------------------------------

struct Binding::Impl {
  std::string protseq;
  std::string network_address;
  std::string endpoint;
  std::mutex mu;
  uint32_t assoc_group_id = 0;
  std::vector<std::unique_ptr<ClientConnection>> idle;
  size_t busy = 0;              // connections taken and not given back
  std::condition_variable freed;  // a connection was given back
  pid_t owner = ::getpid();  // the process whose connections `idle` holds

  ~Impl() {
    std::lock_guard<std::mutex> lock(mu);
    DropInheritedLocked();
  }
  // In a child of fork(), the pooled connections are the parent's: they
  // are abandoned and the child opens (and groups) its own.
  void DropInheritedLocked() {
    const pid_t self = ::getpid();
    if (self == owner) return;
    for (auto& c : idle) c->Abandon();
    idle.clear();
    busy = 0;  // the parent's calls are not the child's
    assoc_group_id = 0;
    owner = self;
  }

  // Takes a connection (an idle one, or a new one while fewer than
  // kMaxBusyConnections are in use, else waits). Every connection taken
  // must be given back with Give, usable or not (or null).
  std::unique_ptr<ClientConnection> Take(const ClientSettings& s);
  void Give(std::unique_ptr<ClientConnection> c);
  std::unique_ptr<ClientConnection> Open(const ClientSettings& s, const std::string& ep,
                                         uint32_t group);
};

std::unique_ptr<ClientConnection> Binding::Impl::Take(const ClientSettings& s) {
  std::string ep;
  uint32_t group;
  {
    std::unique_lock<std::mutex> lock(mu);
    for (;;) {
      DropInheritedLocked();
      while (!idle.empty()) {
        auto c = std::move(idle.back());
        idle.pop_back();
        // A server that restarted or dropped an idle connection is noticed
        // here, before a request is spent on a dead connection.
        if (c->ReadyForCall()) {
          ++busy;
          return c;
        }
      }
      if (busy < kMaxBusyConnections) break;
      freed.wait(lock);
    }
    ++busy;
    ep = endpoint;
    group = assoc_group_id;
  }
  try {
    return Open(s, ep, group);
  } catch (...) {
    Give(nullptr);
    throw;
  }
}

std::unique_ptr<ClientConnection> Binding::Impl::Open(const ClientSettings& s,
                                                      const std::string& ep, uint32_t group) {
  std::unique_ptr<Transport> t;
  int err = 0;
  if (protseq == "ncacn_ip_tcp") {
    char* end = nullptr;
    unsigned long port = std::strtoul(ep.c_str(), &end, 10);
    if (ep.empty() || *end != '\0' || port == 0 || port > 65535)
      throw RpcException(status::kInvalidEndpointFormat);
    std::string host = network_address.empty() ? "localhost" : network_address;
    t = ConnectTcp(host, static_cast<uint16_t>(port), s.connect_timeout_ms, &err);
  } else if (protseq == "ncalrpc") {
    if (ep.empty() || ep.find('/') != std::string::npos || ep == "." || ep == "..")
      throw RpcException(status::kInvalidEndpointFormat);
    t = ConnectLocalEndpoint(ep, s.connect_timeout_ms, &err);
    // A directory, socket or listener that may not be trusted.
    if (!t && err == EPERM) throw RpcException(status::kAccessDenied);
  } else {
    throw RpcException(status::kProtseqNotSupported);
  }
  if (!t) throw RpcException(status::kServerUnavailable);
  return std::make_unique<ClientConnection>(std::move(t), s, group);
}

void Binding::Impl::Give(std::unique_ptr<ClientConnection> c) {
  {
    std::lock_guard<std::mutex> lock(mu);
    if (busy > 0) --busy;  // a child of fork() starts again at 0 (DropInheritedLocked)
    if (c && c->usable()) {
      if (assoc_group_id == 0) assoc_group_id = c->assoc_group_id();
      if (idle.size() < kMaxIdleConnections) idle.push_back(std::move(c));
    }
  }
  freed.notify_one();
  // An unusable connection (or one the pool has no room for) closes here,
  // outside the lock.
}

Binding::Binding(std::string protseq, std::string network_address, std::string endpoint)
    : impl_(std::make_unique<Impl>()) {
  impl_->protseq = std::move(protseq);
  impl_->network_address = std::move(network_address);
  impl_->endpoint = std::move(endpoint);
}

Binding::~Binding() = default;

const std::string& Binding::protseq() const { return impl_->protseq; }
const std::string& Binding::network_address() const { return impl_->network_address; }
std::string Binding::endpoint() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->endpoint;
}

void Binding::set_endpoint(std::string endpoint) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (endpoint == impl_->endpoint) return;
  impl_->endpoint = std::move(endpoint);
  impl_->idle.clear();  // connections to the old endpoint
  impl_->assoc_group_id = 0;
}

void Binding::Call(const SyntaxId& iface, uint16_t opnum, std::span<const uint8_t> stub,
                   PlacedReply* into) {
  const ClientSettings s = GetClientSettings();
  bool partial;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    partial = impl_->endpoint.empty();
  }
  if (partial) {
    // A partial binding is completed through the endpoint mapper first.
    std::string ep;
    uint32_t st = EptMap(impl_->protseq, impl_->network_address, iface, &ep);
    if (st != 0) throw RpcException(st);
    set_endpoint(ep);
  }
  std::unique_ptr<ClientConnection> c = impl_->Take(s);
  try {
    c->Call(iface, opnum, stub, into);
  } catch (...) {
    impl_->Give(std::move(c));  // kept only when still usable (a plain fault)
    throw;
  }
  impl_->Give(std::move(c));
}

Reply Binding::Call(const SyntaxId& iface, uint16_t opnum, std::span<const uint8_t> stub) {
  PlacedReply placed(MemoryRoutines{nullptr, nullptr}, 0);  // all of it in head()
  Call(iface, opnum, stub, &placed);
  return Reply{placed.TakeHead(), placed.drep};
}

}  // namespace qz::rpc
