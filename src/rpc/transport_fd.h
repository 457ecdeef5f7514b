// transport_fd.h -- the socket-descriptor Transport and Listener shared by
// the TCP and Unix-domain transports (internal to the transport_*.cc files).
//
// Thread-safety: as Transport / Listener.
#ifndef QZ_RPC_TRANSPORT_FD_H_
#define QZ_RPC_TRANSPORT_FD_H_

#include <atomic>
#include <memory>

#include "rpc/transport.h"

namespace qz::rpc::internal {

class FdTransport : public Transport {
 public:
  FdTransport(int fd, PeerInfo peer);
  ~FdTransport() override;
  IoResult SendAll(std::span<const uint8_t> data) override;
  IoResult SendPieces(std::span<const std::span<const uint8_t>> pieces) override;
  IoResult ReadExact(void* buf, size_t n, int timeout_ms) override;
  void Shutdown() override;
  PeerInfo Peer() const override { return peer_; }
  bool IdleAndOpen() override;
  void Abandon() override { abandoned_.store(true); }
  void SetSendTimeout(int timeout_ms) override { send_timeout_ms_ = timeout_ms; }

 private:
  int fd_;
  PeerInfo peer_;
  std::atomic<bool> shut_{false};
  std::atomic<bool> abandoned_{false};
  int send_timeout_ms_ = -1;
};

// kind: AF_INET/AF_INET6 (peer address recorded) or AF_UNIX (SO_PEERCRED).
class FdListener : public Listener {
 public:
  FdListener(int fd, int family, uint16_t port);
  ~FdListener() override;
  std::unique_ptr<Transport> Accept() override;
  void Close() override;
  uint16_t port() const override { return port_; }

 private:
  int fd_;
  int family_;
  uint16_t port_;
  std::atomic<bool> closed_{false};
};

// The SO_PEERCRED credentials of the far end of a Unix-domain socket
// (has_credentials false when the kernel gives none).
PeerInfo UnixPeerCredentials(int fd);

// Non-blocking connect with a timeout; returns the connected descriptor
// (blocking mode restored) or -1 with *error set.
int ConnectWithTimeout(int fd, const void* addr, unsigned addrlen, int timeout_ms, int* error);

}  // namespace qz::rpc::internal

#endif  // QZ_RPC_TRANSPORT_FD_H_
