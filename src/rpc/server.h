// server.h -- server side of the connection-oriented DCE RPC runtime.
//
// A Server listens on ncacn_ip_tcp and/or ncalrpc endpoints, accepts
// associations, negotiates presentation contexts for the interfaces
// registered with it and hands each reassembled request to the
// interface's Dispatcher. Protocol violations, unknown contexts, bad
// opnums and undecodable stubs are answered by the runtime (fault,
// bind_nak or a closed connection). One thread per connection.
#ifndef QZ_RPC_SERVER_H_
#define QZ_RPC_SERVER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "rpc/types.h"

namespace qz::rpc {

// What the dispatcher learns about the caller.
struct CallContext {
  std::string protseq;        // "ncacn_ip_tcp" or "ncalrpc"
  std::string peer_address;   // numeric host of a TCP peer, empty for ncalrpc
  bool has_peer_credentials = false;  // ncalrpc: SO_PEERCRED of the peer
  uint32_t peer_uid = 0;
  uint32_t peer_gid = 0;
  uint32_t peer_pid = 0;
  uint64_t connection_id = 0;
  uint32_t call_id = 0;
  // Association group of the connection: a random number the runtime
  // hands out at the first bind; connections that bind with it share it.
  uint32_t assoc_group_id = 0;
};

struct DispatchResult {
  enum class Kind { kResponse, kFault, kDropConnection };
  Kind kind = Kind::kResponse;
  std::vector<uint8_t> stub;  // kResponse: response stub data (little-endian)
  // kResponse: a reply the dispatcher keeps for further calls (an answer
  // it holds ready); when set it is sent in place of `stub`, straight from
  // where it lies.
  std::shared_ptr<const std::vector<uint8_t>> kept_stub;
  uint32_t fault_status = 0;  // kFault: NCA or Win32 status sent in the fault PDU

  std::span<const uint8_t> reply() const {
    return kept_stub ? std::span<const uint8_t>(*kept_stub) : std::span<const uint8_t>(stub);
  }
};

class Dispatcher {
 public:
  virtual ~Dispatcher() = default;
  // Number of procedures: an opnum >= this is faulted by the runtime
  // (nca_op_rng_error) without reaching Dispatch.
  virtual uint16_t ProcedureCount() const = 0;
  virtual DispatchResult Dispatch(const CallContext& ctx, uint16_t opnum,
                                  std::span<const uint8_t> stub, Drep drep) = 0;
};

struct ServerSettings {
  size_t max_request_bytes = 4u << 20;  // larger reassembled requests are faulted (5)
  uint16_t max_frag = 65528;            // largest fragment size granted
  std::string lrpc_directory;           // where ncalrpc sockets live; default below
  // A bind that asks for an association group this server does not know
  // (e.g. one from before a restart) gets a fresh group, unless this says
  // the group may be taken up again under the same number.
  std::function<bool(uint32_t assoc_group_id)> adopt_group;
  // Connections served at once, in all and from one peer (a TCP address or
  // an ncalrpc uid); further ones are closed as soon as they are accepted.
  size_t max_connections = 256;
  size_t max_connections_per_peer = 32;
  // A connection that starts no call for this long is closed (-1: never).
  int idle_timeout_ms = 10 * 60 * 1000;
  // A reply the client does not read for this long ends the connection.
  int send_timeout_ms = 120000;
  // Bytes held in unfinished requests across all connections; a fragment
  // beyond this is faulted with server_too_busy (1723 at the client).
  size_t max_total_reassembly_bytes = 64u << 20;
  // Bytes of replies held while they are sent, across all connections (a
  // reply is held from the end of its call until its last fragment is
  // out, however slowly the client reads). A reply of more than one
  // fragment that would pass this is dropped and the call faulted with
  // server_too_busy (1723 at the client); replies of one fragment always
  // go (they are bounded by max_connections times a fragment).
  size_t max_total_reply_bytes = 256u << 20;
};

class Server {
 public:
  explicit Server(ServerSettings settings = {});
  ~Server();  // stops and joins every thread
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Registers an interface (the dispatcher must outlive the server).
  void RegisterInterface(const SyntaxId& iface, Dispatcher* dispatcher);

  // Listens on a TCP port of `host` ("127.0.0.1", "::1", "0.0.0.0"); port 0
  // picks a free port. Returns the port, or 0 on failure (errno kept).
  uint16_t ListenTcp(const std::string& host, uint16_t port);
  // Listens on the ncalrpc endpoint `name`: a socket any local user may
  // connect to, in the lrpc directory (made when missing; refused with
  // EPERM when it is not ours or others may write to it). Returns false on
  // failure (errno kept).
  bool ListenLocal(const std::string& name);

  void Start();  // starts the accept threads
  void Stop();   // closes listeners and connections, joins threads

  // Connections being served now, and those refused so far (over a cap,
  // or no thread could be started for them).
  size_t ActiveConnections() const;
  uint64_t RefusedConnections() const;
  // Bytes of replies being sent now (see max_total_reply_bytes).
  size_t HeldReplyBytes() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Directory a server makes its ncalrpc sockets in: $QZRPC_LRPC_DIR, else
// (as root) the system directory /run/qzrpc, else $XDG_RUNTIME_DIR/qzrpc,
// else /tmp/qzrpc-<euid>. Not created here (see PrepareLocalDirectory).
std::string LocalRpcDirectory();

}  // namespace qz::rpc

#endif  // QZ_RPC_SERVER_H_
