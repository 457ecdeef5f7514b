// transport_fd.cc -- socket-descriptor Transport and Listener: full sends
// (gather writes of several pieces) with MSG_NOSIGNAL, deadline-bounded
// exact reads via poll(), shutdown that wakes blocked readers, and accept
// with peer address / SO_PEERCRED.
//
// Thread-safety: see transport_fd.h.
#include "rpc/transport_fd.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace qz::rpc::internal {

FdTransport::FdTransport(int fd, PeerInfo peer) : fd_(fd), peer_(std::move(peer)) {}

FdTransport::~FdTransport() { ::close(fd_); }

IoResult FdTransport::SendAll(std::span<const uint8_t> data) {
  const std::span<const uint8_t> one[1] = {data};
  return SendPieces(one);
}

IoResult FdTransport::SendPieces(std::span<const std::span<const uint8_t>> pieces) {
  using Clock = std::chrono::steady_clock;
  const int limit = send_timeout_ms_;
  const auto deadline = Clock::now() + std::chrono::milliseconds(limit < 0 ? 0 : limit);
  // One gather write takes up to kBatch pieces; a short write moves the
  // window on by the bytes the kernel took.
  constexpr size_t kBatch = 64;
  iovec iov[kBatch];
  size_t next = 0;  // first piece not yet (wholly) sent
  size_t skip = 0;  // bytes of pieces[next] already sent
  while (true) {
    while (next < pieces.size() && pieces[next].size() == skip) {
      ++next;
      skip = 0;
    }
    if (next == pieces.size()) return IoResult::kOk;
    size_t count = 0;
    for (size_t i = next; i < pieces.size() && count < kBatch; ++i) {
      const size_t from = i == next ? skip : 0;
      if (pieces[i].size() == from) continue;
      iov[count].iov_base = const_cast<uint8_t*>(pieces[i].data() + from);
      iov[count].iov_len = pieces[i].size() - from;
      ++count;
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = count;
    ssize_t n = ::sendmsg(fd_, &msg, MSG_NOSIGNAL | (limit >= 0 ? MSG_DONTWAIT : 0));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return IoResult::kTimeout;
        pollfd pfd{fd_, POLLOUT, 0};
        int r = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (r < 0 && errno != EINTR) return IoResult::kError;
        if (r == 0) return IoResult::kTimeout;
        continue;
      }
      return (errno == EPIPE || errno == ECONNRESET) ? IoResult::kClosed : IoResult::kError;
    }
    for (size_t taken = static_cast<size_t>(n); taken > 0;) {
      const size_t rest = pieces[next].size() - skip;
      if (taken < rest) {
        skip += taken;
        break;
      }
      taken -= rest;
      ++next;
      skip = 0;
    }
  }
}

IoResult FdTransport::ReadExact(void* buf, size_t n, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  uint8_t* p = static_cast<uint8_t*>(buf);
  size_t got = 0;
  while (got < n) {
    if (shut_.load()) return IoResult::kClosed;
    // Take what is already there without waiting; wait only when empty.
    ssize_t k = ::recv(fd_, p + got, n - got, MSG_DONTWAIT);
    if (k > 0) {
      got += static_cast<size_t>(k);
      continue;
    }
    if (k == 0) return IoResult::kClosed;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK)
      return errno == ECONNRESET ? IoResult::kClosed : IoResult::kError;
    int wait = -1;
    if (timeout_ms >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return IoResult::kTimeout;
      wait = static_cast<int>(left.count());
    }
    pollfd pfd{fd_, POLLIN, 0};
    int r = ::poll(&pfd, 1, wait);
    if (r < 0 && errno != EINTR) return IoResult::kError;
    if (r == 0) return IoResult::kTimeout;
  }
  return IoResult::kOk;
}

bool FdTransport::IdleAndOpen() {
  if (shut_.load()) return false;
  pollfd pfd{fd_, POLLIN | POLLRDHUP, 0};
  int r;
  do {
    r = ::poll(&pfd, 1, 0);
  } while (r < 0 && errno == EINTR);
  return r == 0;  // readable, hung up or in error: not reusable
}

void FdTransport::Shutdown() {
  if (!shut_.exchange(true) && !abandoned_.load()) ::shutdown(fd_, SHUT_RDWR);
}

FdListener::FdListener(int fd, int family, uint16_t port) : fd_(fd), family_(family), port_(port) {}

FdListener::~FdListener() {
  Close();
  ::close(fd_);
}

std::unique_ptr<Transport> FdListener::Accept() {
  int backoff_ms = 0;
  while (!closed_.load()) {
    pollfd pfd{fd_, POLLIN, 0};
    int r = ::poll(&pfd, 1, 200);  // wake up now and then to notice Close()
    if (r < 0 && errno != EINTR) return nullptr;
    if (r <= 0) continue;
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors (or memory): the pending connection stays
        // queued and poll() reports it at once, so retrying at once would
        // spin. Back off (doubling, at most 1 s) until descriptors are
        // freed; Close() is still noticed within 50 ms.
        backoff_ms = std::min(backoff_ms == 0 ? 10 : backoff_ms * 2, 1000);
        for (int slept = 0; slept < backoff_ms && !closed_.load(); slept += 50)
          std::this_thread::sleep_for(std::chrono::milliseconds(std::min(50, backoff_ms - slept)));
        continue;
      }
      if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
      return nullptr;
    }
    backoff_ms = 0;
    PeerInfo peer;
    if (family_ == AF_UNIX) {
      peer = UnixPeerCredentials(fd);
    } else {
      char host[INET6_ADDRSTRLEN] = {};
      if (ss.ss_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&ss)->sin_addr, host, sizeof host);
      else if (ss.ss_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&ss)->sin6_addr, host, sizeof host);
      peer.address = host;
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    }
    return std::make_unique<FdTransport>(fd, std::move(peer));
  }
  return nullptr;
}

void FdListener::Close() {
  if (!closed_.exchange(true)) ::shutdown(fd_, SHUT_RDWR);
}

PeerInfo UnixPeerCredentials(int fd) {
  PeerInfo peer;
  ucred cred{};
  socklen_t cl = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &cl) == 0) {
    peer.has_credentials = true;
    peer.uid = cred.uid;
    peer.gid = cred.gid;
    peer.pid = static_cast<uint32_t>(cred.pid);
  }
  return peer;
}

int ConnectWithTimeout(int fd, const void* addr, unsigned addrlen, int timeout_ms, int* error) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int r = ::connect(fd, static_cast<const sockaddr*>(addr), addrlen);
  if (r < 0 && errno != EINPROGRESS && errno != EAGAIN) {
    *error = errno;
    return -1;
  }
  if (r < 0) {
    pollfd pfd{fd, POLLOUT, 0};
    int p;
    do {
      p = ::poll(&pfd, 1, timeout_ms < 0 ? -1 : timeout_ms);
    } while (p < 0 && errno == EINTR);
    if (p == 0) {
      *error = ETIMEDOUT;
      return -1;
    }
    int soerr = 0;
    socklen_t len = sizeof soerr;
    if (p < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len) < 0 || soerr != 0) {
      *error = soerr ? soerr : errno;
      return -1;
    }
  }
  ::fcntl(fd, F_SETFL, flags);
  return fd;
}

}  // namespace qz::rpc::internal
