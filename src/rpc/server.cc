// server.cc -- server side of the connection-oriented runtime: listeners,
// one thread per connection, bind / alter_context negotiation, request
// reassembly with the caps and checks a hostile client calls for, dispatch
// and response fragmentation.
//
// What the runtime answers itself: unknown contexts (nca_unk_if), opnums
// out of range (nca_op_rng_error), requests over max_request_bytes (5),
// protocol violations (nca_proto_error, then the connection is closed),
// bind with a wrong version (bind_nak). Decoding the stub is the
// dispatcher's business (it faults 0x6F7).
//
// Thread-safety: RegisterInterface before Start; Start/Stop from one
// thread. Connection threads share only the interface table (read-only
// once started) and the association-group registry (mutex).
#include "rpc/server.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <system_error>
#include <thread>

#include "rpc/pdu.h"
#include "rpc/server_testing.h"
#include "rpc/transport.h"

namespace qz::rpc {

namespace {

struct ListenerEntry {
  std::unique_ptr<Listener> listener;
  std::string protseq;
  std::string sec_addr;  // what bind_ack names as our endpoint
  std::string socket_path;  // ncalrpc: removed at Stop
  std::thread thread;
  bool started = false;
};

// A connection and its thread. When the call loop ends, the thread closes
// the transport itself (so its descriptor is freed at once) and marks the
// entry finished; the thread is joined later (next accept, or Stop).
struct ConnectionEntry {
  std::unique_ptr<Transport> transport;  // null once finished; guarded by Impl::mu
  std::thread thread;
  std::string peer_key;
  bool finished = false;
};

std::atomic<int> g_stall_timeout_ms{120000};
std::atomic<int> g_failing_threads{0};

// Who a connection counts against for the per-peer cap.
std::string PeerKey(const std::string& protseq, const PeerInfo& p) {
  if (p.has_credentials) return protseq + " uid " + std::to_string(p.uid);
  return protseq + " " + p.address;
}

bool IsFeatureProbe(const SyntaxId& s) {
  // 6cb71c2c-9812-4540-xxxx: bind-time feature negotiation.
  return s.uuid.data1 == 0x6cb71c2c && s.uuid.data2 == 0x9812 && s.uuid.data3 == 0x4540;
}

uint16_t Grant(uint16_t own, uint16_t offer) {
  uint32_t o = offer == 0 ? kMustRecvFrag : offer;  // 0 means the minimum everyone accepts
  uint32_t g = std::min<uint32_t>(own, o) & ~uint32_t{7};
  return static_cast<uint16_t>(std::max<uint32_t>(g, kMustRecvFrag));
}

// What connection threads share: settings, the interface table
// (read-only once started) and the association-group registry.
struct ServerCore {
  ServerSettings settings;
  std::vector<std::pair<SyntaxId, Dispatcher*>> interfaces;
  std::mutex group_mu;
  std::map<uint32_t, int> groups;  // assoc_group_id -> live connections
  // Group numbers are random, so that a caller cannot join another's
  // group by counting.
  std::random_device random_groups;
  // Bytes of unfinished requests held by all connections.
  std::atomic<size_t> reassembly_bytes{0};

  // Reserves n more reassembly bytes; false when the total cap forbids it.
  bool HoldReassembly(size_t n) {
    size_t cur = reassembly_bytes.load();
    do {
      if (n > settings.max_total_reassembly_bytes ||
          cur > settings.max_total_reassembly_bytes - n)
        return false;
    } while (!reassembly_bytes.compare_exchange_weak(cur, cur + n));
    return true;
  }
  void ReleaseReassembly(size_t n) { reassembly_bytes.fetch_sub(n); }

  // Bytes of replies being sent by all connections.
  std::atomic<size_t> reply_bytes{0};
  bool HoldReply(size_t n) {
    size_t cur = reply_bytes.load();
    do {
      if (n > settings.max_total_reply_bytes || cur > settings.max_total_reply_bytes - n)
        return false;
    } while (!reply_bytes.compare_exchange_weak(cur, cur + n));
    return true;
  }

  uint32_t JoinGroup(uint32_t wanted);
  void LeaveGroup(uint32_t id);
  Dispatcher* Find(const SyntaxId& s) const;
};

}  // namespace

namespace {

// Serves one connection until it closes or breaks the protocol.
class Connection {
 public:
  Connection(ServerCore* srv, Transport* t, const ListenerEntry* l, uint64_t id)
      : srv_(srv), t_(t), listener_(l) {
    PeerInfo p = t->Peer();
    ctx_.protseq = l->protseq;
    ctx_.peer_address = p.address;
    ctx_.has_peer_credentials = p.has_credentials;
    ctx_.peer_uid = p.uid;
    ctx_.peer_gid = p.gid;
    ctx_.peer_pid = p.pid;
    ctx_.connection_id = id;
    max_recv_ = std::max<uint16_t>(srv->settings.max_frag, kMustRecvFrag);
    max_xmit_ = kMustRecvFrag;
    t_->SetSendTimeout(srv->settings.send_timeout_ms);
  }
  ~Connection() {
    if (group_) srv_->LeaveGroup(group_);
    ReleaseHeld();
  }

  void Run() {
    for (;;) {
      std::vector<uint8_t> pdu;
      PduHeader h;
      HeaderError he = HeaderError::kOk;
      // Idle between calls: the idle timeout. A fragmented call must be
      // complete within the stall timeout of its first fragment (more
      // fragments do not renew it); inside a PDU a silent client is cut
      // off after the stall timeout too.
      int stall = g_stall_timeout_ms.load();
      int wait = srv_->settings.idle_timeout_ms;
      if (reassembling_) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            reassembly_deadline_ - std::chrono::steady_clock::now());
        wait = static_cast<int>(std::max<int64_t>(0, left.count()));
        if (wait == 0) return;
      }
      RecvStatus rs = ReceivePdu(*t_, max_recv_, wait, &pdu, &h, &he,
                                 reassembling_ ? std::min(wait, stall) : stall);
      if (rs == RecvStatus::kBadHeader) {
        if (!bound_ && h.type == ptype::kBind && he == HeaderError::kVersion) {
          BindNakPdu nak;
          nak.hdr.type = ptype::kBindNak;
          nak.hdr.call_id = h.call_id;
          nak.reason = nak::kProtocolVersionNotSupported;
          nak.versions = {{5, 0}, {5, 1}};
          t_->SendAll(EncodeBindNak(nak));
        } else {
          ProtocolError(h.call_id);
        }
        return;
      }
      if (rs != RecvStatus::kOk) return;
      if (!Handle(pdu, h)) return;
    }
  }

 private:
  // Returns false when the connection must close.
  bool Handle(std::span<const uint8_t> pdu, const PduHeader& h) {
    switch (h.type) {
      case ptype::kBind:
      case ptype::kAlterContext:
        return OnBind(pdu, h);
      case ptype::kRequest:
        return OnRequest(pdu, h);
      case ptype::kCoCancel:
        return true;  // calls run to completion; nothing to cancel
      case ptype::kOrphaned:
        if (reassembling_ && call_id_ == h.call_id) ResetCall();
        return true;
      default:  // server-to-client PDUs and anything else
        ProtocolError(h.call_id);
        return false;
    }
  }

  void ProtocolError(uint32_t call_id) {
    if (bound_) SendFault(call_id, 0, nca::kProtoError, 0);
  }

  void SendFault(uint32_t call_id, uint16_t ctx, uint32_t status, uint8_t extra_flags) {
    FaultPdu f;
    f.hdr.type = ptype::kFault;
    f.hdr.flags = pfc::kFirstFrag | pfc::kLastFrag | extra_flags;
    f.hdr.call_id = call_id;
    f.alloc_hint = kFaultSize;  // what Windows-compatible servers send
    f.context_id = ctx;
    f.status = status;
    t_->SendAll(EncodeFault(f));
  }

  bool OnBind(std::span<const uint8_t> pdu, const PduHeader& h) {
    bool alter = h.type == ptype::kAlterContext;
    if (alter != bound_) {  // a second bind, or alter_context before bind
      ProtocolError(h.call_id);
      return false;
    }
    BindPdu b;
    if (!DecodeBind(pdu, &b)) {
      if (!bound_) {
        BindNakPdu nak;
        nak.hdr.type = ptype::kBindNak;
        nak.hdr.call_id = h.call_id;
        nak.reason = nak::kNotSpecified;
        t_->SendAll(EncodeBindNak(nak));
      } else {
        ProtocolError(h.call_id);
      }
      return false;
    }
    BindAckPdu ack;
    ack.hdr.type = alter ? ptype::kAlterContextResp : ptype::kBindAck;
    ack.hdr.call_id = h.call_id;
    if (!bound_) {
      uint16_t own = std::max<uint16_t>(srv_->settings.max_frag, kMustRecvFrag);
      max_xmit_ = Grant(own, b.max_recv_frag);
      max_recv_ = Grant(own, b.max_xmit_frag);
      group_ = srv_->JoinGroup(b.assoc_group_id);
      ctx_.assoc_group_id = group_;
      ack.sec_addr = listener_->sec_addr;
    }
    ack.max_xmit_frag = max_xmit_;
    ack.max_recv_frag = max_recv_;
    ack.assoc_group_id = group_;
    for (const ContextElem& c : b.contexts) {
      ContextResult r;
      Dispatcher* d = srv_->Find(c.abstract_syntax);
      bool ndr = std::find(c.transfer_syntaxes.begin(), c.transfer_syntaxes.end(), NdrSyntax()) !=
                 c.transfer_syntaxes.end();
      if (IsFeatureProbe(c.transfer_syntaxes[0])) {
        r.result = ctxres::kNegotiateAck;  // no optional features
        r.reason = 0;
      } else if (!d) {
        r.result = ctxres::kProviderRejection;
        r.reason = ctxres::kAbstractSyntaxNotSupported;
      } else if (!ndr) {
        r.result = ctxres::kProviderRejection;
        r.reason = ctxres::kTransferSyntaxesNotSupported;
      } else if (contexts_.count(c.context_id) && contexts_[c.context_id] != d) {
        // A context id cannot be rebound to another interface.
        r.result = ctxres::kProviderRejection;
        r.reason = ctxres::kLocalLimitExceeded;
      } else if (accepted_.count(c.context_id) == 0 && AlreadyAcceptedIn(b, c)) {
        // At most one transfer syntax per abstract syntax within a bind.
        r.result = ctxres::kProviderRejection;
        r.reason = ctxres::kTransferSyntaxesNotSupported;
      } else {
        r.transfer_syntax = NdrSyntax();
        contexts_[c.context_id] = d;
        accepted_[c.context_id] = true;
      }
      ack.results.push_back(r);
    }
    accepted_.clear();
    bound_ = true;
    return t_->SendAll(EncodeBindAck(ack)) == IoResult::kOk;
  }

  bool AlreadyAcceptedIn(const BindPdu& b, const ContextElem& c) {
    for (const ContextElem& o : b.contexts) {
      if (&o == &c) return false;
      if (accepted_.count(o.context_id) && o.abstract_syntax == c.abstract_syntax) return true;
    }
    return false;
  }

  void ResetCall() {
    reassembling_ = false;
    discarding_ = false;
    stub_.clear();
    stub_.shrink_to_fit();
    ReleaseHeld();
  }

  void ReleaseHeld() {
    srv_->ReleaseReassembly(held_);
    held_ = 0;
  }

  bool OnRequest(std::span<const uint8_t> pdu, const PduHeader& h) {
    RequestPdu r;
    if (!bound_ || !DecodeRequest(pdu, &r)) {
      ProtocolError(h.call_id);
      return false;
    }
    bool first = h.flags & pfc::kFirstFrag;
    bool last = h.flags & pfc::kLastFrag;
    if (first) {
      if (reassembling_) {  // only one call in reassembly per connection
        ProtocolError(h.call_id);
        return false;
      }
      // Call ids of new calls strictly increase on a connection.
      if (have_last_call_id_ && h.call_id <= last_call_id_) {
        ProtocolError(h.call_id);
        return false;
      }
      have_last_call_id_ = true;
      last_call_id_ = h.call_id;
      call_id_ = h.call_id;
      ctx_id_ = r.context_id;
      opnum_ = r.opnum;
      drep_ = h.drep;
      reassembling_ = true;
      reassembly_deadline_ =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(g_stall_timeout_ms.load());
      discarding_ = false;
      stub_.clear();
      auto it = contexts_.find(r.context_id);
      if (it == contexts_.end()) {
        SendFault(h.call_id, r.context_id, nca::kUnknownInterface, pfc::kDidNotExecute);
        discarding_ = true;
      } else if (r.opnum >= it->second->ProcedureCount()) {
        SendFault(h.call_id, r.context_id, nca::kOpRangeError, pfc::kDidNotExecute);
        discarding_ = true;
      } else {
        dispatcher_ = it->second;
      }
    } else {
      if (!reassembling_ || h.call_id != call_id_ || r.context_id != ctx_id_ ||
          r.opnum != opnum_ || std::memcmp(h.drep.b, drep_.b, 4) != 0) {
        ProtocolError(h.call_id);
        return false;
      }
    }
    if (!discarding_) {
      if (r.stub.size() > srv_->settings.max_request_bytes - std::min(srv_->settings.max_request_bytes, stub_.size())) {
        SendFault(h.call_id, ctx_id_, nca::kAccessDenied, pfc::kDidNotExecute);
        discarding_ = true;
        stub_.clear();
        stub_.shrink_to_fit();
        ReleaseHeld();
      } else if (!srv_->HoldReassembly(r.stub.size())) {
        // The server as a whole holds as much unfinished input as it may.
        SendFault(h.call_id, ctx_id_, nca::kServerTooBusy, pfc::kDidNotExecute);
        discarding_ = true;
        stub_.clear();
        stub_.shrink_to_fit();
        ReleaseHeld();
      } else {
        held_ += r.stub.size();
        // alloc_hint is not trusted: the buffer grows with what arrives.
        stub_.insert(stub_.end(), r.stub.begin(), r.stub.end());
      }
    }
    if (!last) return true;
    bool run = !discarding_;
    std::vector<uint8_t> stub = std::move(stub_);
    ResetCall();
    if (!run) return true;
    return Execute(stub);
  }

  bool Execute(const std::vector<uint8_t>& stub) {
    ctx_.call_id = call_id_;
    DispatchResult res;
    try {
      res = dispatcher_->Dispatch(ctx_, opnum_, stub, drep_);
    } catch (const RpcException& e) {
      res.kind = DispatchResult::Kind::kFault;
      res.fault_status = e.code();
    } catch (const std::bad_alloc&) {
      res.kind = DispatchResult::Kind::kFault;
      res.fault_status = nca::kRemoteNoMemory;
    } catch (...) {
      res.kind = DispatchResult::Kind::kFault;
      res.fault_status = nca::kFaultUnspec;
    }
    switch (res.kind) {
      case DispatchResult::Kind::kDropConnection:
        return false;
      case DispatchResult::Kind::kFault:
        // Status 0 must never travel in a fault.
        SendFault(call_id_, ctx_id_, res.fault_status ? res.fault_status : nca::kFaultUnspec, 0);
        return true;
      case DispatchResult::Kind::kResponse:
        break;
    }
    const std::span<const uint8_t> out = res.reply();
    const size_t cap = FragmentStubCapacity(max_xmit_, kResponseHeaderSize);
    // A reply of several fragments is held against the server-wide bound
    // until its last fragment is out.
    const size_t held = out.size() > cap ? out.size() : 0;
    if (held != 0 && !srv_->HoldReply(held)) {
      res = DispatchResult();
      SendFault(call_id_, ctx_id_, nca::kServerTooBusy, 0);
      return true;
    }
    struct Release {
      std::atomic<size_t>& total;
      size_t n;
      ~Release() { total.fetch_sub(n); }
    } release{srv_->reply_bytes, held};
    // Fragments leave in batches of gather writes: each fragment's header
    // from here, its stub straight from the reply, never copied.
    constexpr size_t kBatch = 16;
    std::array<uint8_t, kResponseHeaderSize> heads[kBatch];
    std::span<const uint8_t> pieces[2 * kBatch];
    size_t off = 0;
    do {
      size_t frags = 0;
      do {
        const size_t n = std::min(cap, out.size() - off);
        ResponsePdu p;
        p.hdr.type = ptype::kResponse;
        p.hdr.call_id = call_id_;
        p.hdr.flags =
            (off == 0 ? pfc::kFirstFrag : 0) | (off + n == out.size() ? pfc::kLastFrag : 0);
        p.alloc_hint = static_cast<uint32_t>(std::min<size_t>(out.size() - off, 0xFFFFFFFFu));
        p.context_id = ctx_id_;
        p.stub = out.subspan(off, n);
        heads[frags] = EncodeResponseHeader(p);
        pieces[2 * frags] = heads[frags];
        pieces[2 * frags + 1] = p.stub;
        ++frags;
        off += n;
      } while (off < out.size() && frags < kBatch);
      if (t_->SendPieces(std::span(pieces, 2 * frags)) != IoResult::kOk) return false;
    } while (off < out.size());
    return true;
  }

  ServerCore* srv_;
  Transport* t_;
  const ListenerEntry* listener_;
  CallContext ctx_;
  bool bound_ = false;
  uint16_t max_xmit_;
  uint16_t max_recv_;
  uint32_t group_ = 0;
  std::map<uint16_t, Dispatcher*> contexts_;
  std::map<uint16_t, bool> accepted_;  // within the bind being answered
  bool have_last_call_id_ = false;
  uint32_t last_call_id_ = 0;
  // The call being reassembled.
  bool reassembling_ = false;
  bool discarding_ = false;  // already faulted: swallow its remaining fragments
  uint32_t call_id_ = 0;
  uint16_t ctx_id_ = 0;
  uint16_t opnum_ = 0;
  Drep drep_;
  Dispatcher* dispatcher_ = nullptr;
  std::vector<uint8_t> stub_;
  size_t held_ = 0;  // reserved in the server-wide reassembly total
  std::chrono::steady_clock::time_point reassembly_deadline_;
};

}  // namespace

struct Server::Impl {
  ServerCore core;
  std::mutex mu;
  std::list<std::unique_ptr<ListenerEntry>> listeners;
  std::list<std::unique_ptr<ConnectionEntry>> connections;
  std::atomic<bool> running{false};
  std::atomic<bool> stopping{false};
  std::atomic<uint64_t> next_connection_id{1};
  size_t live = 0;                         // guarded by mu
  std::map<std::string, size_t> per_peer;  // guarded by mu
  std::atomic<uint64_t> refused{0};

  void StartListener(ListenerEntry* e);
  void Finish(ConnectionEntry* c);
  void AcceptLoop(ListenerEntry* e);
  void Reap();
};

Dispatcher* ServerCore::Find(const SyntaxId& s) const {
  for (const auto& [id, d] : interfaces) {
    if (id.uuid == s.uuid) {
      // Same major version; the client may know an older minor version.
      if (id.major == s.major && s.minor <= id.minor) return d;
    }
  }
  return nullptr;
}

uint32_t ServerCore::JoinGroup(uint32_t wanted) {
  std::lock_guard<std::mutex> lock(group_mu);
  if (wanted != 0) {
    if (auto it = groups.find(wanted); it != groups.end()) {
      ++it->second;
      return wanted;
    }
  }
  // An unknown group (e.g. from before a restart) gets a fresh one, unless
  // the application takes it up again.
  if (wanted != 0 && settings.adopt_group && settings.adopt_group(wanted)) {
    groups[wanted] = 1;
    return wanted;
  }
  uint32_t id;
  do {
    id = random_groups();
  } while (id == 0 || groups.count(id));
  groups[id] = 1;
  return id;
}

void ServerCore::LeaveGroup(uint32_t id) {
  std::lock_guard<std::mutex> lock(group_mu);
  if (auto it = groups.find(id); it != groups.end() && --it->second <= 0) groups.erase(it);
}

void Server::Impl::Reap() {
  std::list<std::unique_ptr<ConnectionEntry>> done;
  {
    std::lock_guard<std::mutex> lock(mu);
    for (auto it = connections.begin(); it != connections.end();) {
      auto next = std::next(it);
      if ((*it)->finished) done.splice(done.end(), connections, it);
      it = next;
    }
  }
  for (auto& c : done) c->thread.join();  // they have finished already
}

void Server::Impl::Finish(ConnectionEntry* c) {
  std::lock_guard<std::mutex> lock(mu);
  c->transport.reset();  // closes the descriptor now
  c->finished = true;
  --live;
  if (auto it = per_peer.find(c->peer_key); it != per_peer.end() && --it->second == 0)
    per_peer.erase(it);
}

void Server::Impl::AcceptLoop(ListenerEntry* e) {
  const ServerSettings& s = core.settings;
  while (!stopping.load()) {
    std::unique_ptr<Transport> t = e->listener->Accept();
    if (!t) break;
    Reap();
    std::string key = PeerKey(e->protseq, t->Peer());
    std::lock_guard<std::mutex> lock(mu);
    if (stopping.load()) break;
    auto peer = per_peer.find(key);
    if (live >= s.max_connections ||
        (peer != per_peer.end() && peer->second >= s.max_connections_per_peer)) {
      refused.fetch_add(1);
      continue;  // closed as `t` goes
    }
    auto c = std::make_unique<ConnectionEntry>();
    c->transport = std::move(t);
    c->peer_key = key;
    ConnectionEntry* raw = c.get();
    uint64_t id = next_connection_id++;
    try {
      if (g_failing_threads.load() > 0 && g_failing_threads.fetch_sub(1) > 0)
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      raw->thread = std::thread([this, raw, e, id] {
        try {
          Connection conn(&core, raw->transport.get(), e, id);
          conn.Run();
        } catch (...) {
          // Out of memory while answering: this connection ends, the
          // server goes on.
        }
        Finish(raw);
      });
    } catch (const std::system_error&) {
      // No thread for it (a tasks limit, say): this connection is refused
      // and the server goes on.
      refused.fetch_add(1);
      continue;
    }
    ++live;
    ++per_peer[key];
    connections.push_back(std::move(c));
  }
}

void Server::Impl::StartListener(ListenerEntry* e) {
  e->started = true;
  e->thread = std::thread([this, e] { AcceptLoop(e); });
}

Server::Server(ServerSettings settings) : impl_(std::make_unique<Impl>()) {
  impl_->core.settings = std::move(settings);
  if (impl_->core.settings.lrpc_directory.empty()) impl_->core.settings.lrpc_directory = LocalRpcDirectory();
}

Server::~Server() { Stop(); }

void Server::RegisterInterface(const SyntaxId& iface, Dispatcher* dispatcher) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->core.interfaces.emplace_back(iface, dispatcher);
}

uint16_t Server::ListenTcp(const std::string& host, uint16_t port) {
  int err = 0;
  auto l = ListenTcpSocket(host, port, &err);
  if (!l) {
    errno = err;
    return 0;
  }
  auto e = std::make_unique<ListenerEntry>();
  uint16_t bound = l->port();
  e->listener = std::move(l);
  e->protseq = "ncacn_ip_tcp";
  e->sec_addr = std::to_string(bound);
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (impl_->running.load()) impl_->StartListener(e.get());
  impl_->listeners.push_back(std::move(e));
  return bound;
}

bool Server::ListenLocal(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
    errno = EINVAL;
    return false;
  }
  const std::string& dir = impl_->core.settings.lrpc_directory;
  if (int e = PrepareLocalDirectory(dir); e != 0) {
    errno = e;
    return false;
  }
  std::string path = dir + "/" + name;
  int err = 0;
  auto l = ListenUnixSocket(path, &err);
  if (!l) {
    errno = err;
    return false;
  }
  auto e = std::make_unique<ListenerEntry>();
  e->listener = std::move(l);
  e->protseq = "ncalrpc";
  e->sec_addr = name;
  e->socket_path = path;
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (impl_->running.load()) impl_->StartListener(e.get());
  impl_->listeners.push_back(std::move(e));
  return true;
}

void Server::Start() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (impl_->running.exchange(true)) return;
  impl_->stopping = false;
  for (auto& e : impl_->listeners)
    if (!e->started) impl_->StartListener(e.get());
}

void Server::Stop() {
  impl_->stopping = true;
  std::list<std::unique_ptr<ListenerEntry>> listeners;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    listeners.swap(impl_->listeners);
  }
  for (auto& e : listeners) e->listener->Close();
  for (auto& e : listeners) {
    if (e->thread.joinable()) e->thread.join();
    if (!e->socket_path.empty()) ::unlink(e->socket_path.c_str());
  }
  std::list<std::unique_ptr<ConnectionEntry>> conns;
  {
    // Under the lock: a connection that finishes meanwhile closes its
    // transport under the same lock.
    std::lock_guard<std::mutex> lock(impl_->mu);
    for (auto& c : impl_->connections)
      if (c->transport) c->transport->Shutdown();
    conns.swap(impl_->connections);
  }
  for (auto& c : conns)
    if (c->thread.joinable()) c->thread.join();
  impl_->running = false;
}

size_t Server::ActiveConnections() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->live;
}

uint64_t Server::RefusedConnections() const { return impl_->refused.load(); }

size_t Server::HeldReplyBytes() const { return impl_->core.reply_bytes.load(); }

void FailConnectionThreadsForTesting(int n) { g_failing_threads.store(n); }

void SetServerStallTimeoutForTesting(int ms) { g_stall_timeout_ms.store(ms); }

}  // namespace qz::rpc
