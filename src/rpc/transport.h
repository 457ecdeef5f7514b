// transport.h -- byte-stream transports under the connection-oriented RPC
// engine: TCP (ncacn_ip_tcp), Unix-domain stream sockets (ncalrpc) and an
// in-memory pair for tests. The PDU codec, the client and the server talk
// only to these interfaces; only the transport_*.cc files touch sockets.
//
// Thread-safety: one thread sends and one thread receives on a Transport at
// a time; Shutdown() may be called from any thread to wake a blocked
// receiver (it is how servers stop their connection threads). A Listener's
// Accept() runs on one thread; Close() may be called from another.
#ifndef QZ_RPC_TRANSPORT_H_
#define QZ_RPC_TRANSPORT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace qz::rpc {

enum class IoResult {
  kOk,
  kClosed,   // orderly end of stream (or the peer reset the connection)
  kTimeout,  // nothing arrived before the deadline
  kError,    // any other failure
};

// What a server learns about the far end of an accepted connection.
struct PeerInfo {
  std::string address;        // numeric host of a TCP peer; empty otherwise
  bool has_credentials = false;
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint32_t pid = 0;
};

class Transport {
 public:
  virtual ~Transport() = default;
  // Sends every byte (retrying short writes); never raises SIGPIPE.
  virtual IoResult SendAll(std::span<const uint8_t> data) = 0;
  // Sends the pieces in order as one run of bytes, as if joined first
  // (a socket gathers them into as few writes as it can, so a fragment's
  // header and its stub leave together without being copied together).
  // The send timeout bounds the call as a whole. The default sends them
  // one by one.
  virtual IoResult SendPieces(std::span<const std::span<const uint8_t>> pieces) {
    for (std::span<const uint8_t> p : pieces) {
      IoResult r = SendAll(p);
      if (r != IoResult::kOk) return r;
    }
    return IoResult::kOk;
  }
  // Reads exactly n bytes. timeout_ms < 0 waits without limit; the
  // deadline covers the whole read. A stream that ends part way is kClosed.
  virtual IoResult ReadExact(void* buf, size_t n, int timeout_ms) = 0;
  // Ends both directions; wakes a blocked ReadExact. Idempotent.
  virtual void Shutdown() = 0;
  virtual PeerInfo Peer() const { return {}; }
  // False when the peer has closed the stream or sent bytes nobody asked
  // for (an idle connection in either state cannot carry a new call).
  // Never blocks.
  virtual bool IdleAndOpen() { return true; }
  // The connection was inherited across fork(): from now on Shutdown() is
  // a no-op and destruction only releases this process's reference, so
  // the parent's use of the same stream is not disturbed.
  virtual void Abandon() {}
  // Bounds each SendAll as a whole (a peer that stops reading makes it
  // return kTimeout); < 0, the default, waits without limit.
  virtual void SetSendTimeout(int timeout_ms) { (void)timeout_ms; }
};

class Listener {
 public:
  virtual ~Listener() = default;
  // Blocks until a connection arrives; nullptr once Close() was called or
  // the listener failed.
  virtual std::unique_ptr<Transport> Accept() = 0;
  virtual void Close() = 0;
  // TCP: the bound port; 0 for other listeners.
  virtual uint16_t port() const { return 0; }
};

// TCP. host is a numeric IPv4/IPv6 address or a host name. On failure
// returns nullptr and sets *error to an errno value (ETIMEDOUT for the
// connect timeout). Connections get TCP_NODELAY and keepalive.
std::unique_ptr<Transport> ConnectTcp(const std::string& host, uint16_t port, int timeout_ms,
                                      int* error);
// Binds host:port (port 0 = any free port) and listens. nullptr on failure.
std::unique_ptr<Listener> ListenTcpSocket(const std::string& host, uint16_t port, int* error);

// Unix-domain stream sockets at `path`. The transport's Peer() carries the
// listening process's credentials.
std::unique_ptr<Transport> ConnectUnix(const std::string& path, int timeout_ms, int* error);
// Creates the socket with mode 0666 (replacing a stale socket file): the
// directory decides who reaches it, the server tells callers apart by
// SO_PEERCRED.
std::unique_ptr<Listener> ListenUnixSocket(const std::string& path, int* error);

// ncalrpc endpoint directories. A service run by root serves every local
// user from the system directory; unprivileged servers (and tests) use a
// per-user one.
inline constexpr char kSystemRpcDirectory[] = "/run/qzrpc";
// Where clients look for the endpoint, in order: $QZRPC_LRPC_DIR alone if
// set; else as root the system directory; else the per-user directory
// ($XDG_RUNTIME_DIR/qzrpc, else /tmp/qzrpc-<euid>), then the system one.
std::vector<std::string> LocalRpcSearchPath();
// 0 when a client may trust `dir`: a directory (not a link) owned by root
// or by the effective user and writable by nobody else; else an errno
// value (EPERM for the ownership and mode checks).
int TrustedLocalDirectory(const std::string& dir);
// Server side: creates `dir` when missing (0755 as root, else 0700) and
// checks that it is ours and writable by nobody else; 0 or an errno value.
int PrepareLocalDirectory(const std::string& dir);
// Connects to the ncalrpc `endpoint` in the first directory of the search
// path where it answers. Refuses (EPERM) a directory or socket file not
// owned by root or the effective user, a directory writable by others,
// and a listener whose credentials are neither root's nor ours.
std::unique_ptr<Transport> ConnectLocalEndpoint(const std::string& endpoint, int timeout_ms,
                                                int* error);

// Two connected in-memory endpoints; bytes written to one are read from
// the other. Shutdown() of either ends the stream for both.
std::pair<std::unique_ptr<Transport>, std::unique_ptr<Transport>> MakeMemoryPair();

}  // namespace qz::rpc

#endif  // QZ_RPC_TRANSPORT_H_
