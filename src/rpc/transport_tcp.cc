// transport_tcp.cc -- ncacn_ip_tcp: connect (with timeout, TCP_NODELAY,
// keepalive) over IPv4 or IPv6, and listening sockets.
//
// Thread-safety: the functions are reentrant.
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "rpc/transport_fd.h"

namespace qz::rpc {

std::unique_ptr<Transport> ConnectTcp(const std::string& host, uint16_t port, int timeout_ms,
                                      int* error) {
  int dummy = 0;
  if (!error) error = &dummy;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  std::string h = host.empty() ? "localhost" : host;
  std::string service = std::to_string(port);
  if (::getaddrinfo(h.c_str(), service.c_str(), &hints, &res) != 0 || !res) {
    *error = EHOSTUNREACH;
    return nullptr;
  }
  *error = ECONNREFUSED;
  std::unique_ptr<Transport> out;
  for (addrinfo* ai = res; ai && !out; ai = ai->ai_next) {
    int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      *error = errno;
      continue;
    }
    if (internal::ConnectWithTimeout(fd, ai->ai_addr, ai->ai_addrlen, timeout_ms, error) < 0) {
      ::close(fd);
      continue;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    int idle = 60;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    out = std::make_unique<internal::FdTransport>(fd, PeerInfo{});
  }
  ::freeaddrinfo(res);
  if (out) *error = 0;
  return out;
}

std::unique_ptr<Listener> ListenTcpSocket(const std::string& host, uint16_t port, int* error) {
  int dummy = 0;
  if (!error) error = &dummy;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* res = nullptr;
  std::string service = std::to_string(port);
  if (::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &res) != 0 ||
      !res) {
    *error = EADDRNOTAVAIL;
    return nullptr;
  }
  std::unique_ptr<Listener> out;
  for (addrinfo* ai = res; ai && !out; ai = ai->ai_next) {
    int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      *error = errno;
      continue;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (ai->ai_family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (::bind(fd, ai->ai_addr, ai->ai_addrlen) < 0 || ::listen(fd, 64) < 0) {
      *error = errno;
      ::close(fd);
      continue;
    }
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    uint16_t bound = ss.ss_family == AF_INET6
                         ? ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port)
                         : ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    out = std::make_unique<internal::FdListener>(fd, ai->ai_family, bound);
  }
  ::freeaddrinfo(res);
  return out;
}

}  // namespace qz::rpc
