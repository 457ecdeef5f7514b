// transport_local.cc -- ncalrpc over Unix-domain stream sockets: the
// socket directory (owner-only), connect and listen on a socket path.
//
// Thread-safety: the functions are reentrant.
#include <errno.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "rpc/server.h"
#include "rpc/transport_fd.h"

namespace qz::rpc {

namespace {

bool FillAddr(const std::string& path, sockaddr_un* sa) {
  std::memset(sa, 0, sizeof *sa);
  sa->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof sa->sun_path) return false;
  std::memcpy(sa->sun_path, path.data(), path.size());
  return true;
}

}  // namespace

std::string LocalRpcDirectory() {
  std::string dir;
  if (const char* d = ::getenv("QZRPC_LRPC_DIR"); d && *d) {
    dir = d;
  } else if (const char* x = ::getenv("XDG_RUNTIME_DIR"); x && *x) {
    dir = std::string(x) + "/qzrpc";
  } else {
    dir = "/tmp/qzrpc-" + std::to_string(::getuid());
  }
  if (::mkdir(dir.c_str(), 0700) == 0) ::chmod(dir.c_str(), 0700);
  return dir;
}

std::unique_ptr<Transport> ConnectUnix(const std::string& path, int timeout_ms, int* error) {
  int dummy = 0;
  if (!error) error = &dummy;
  sockaddr_un sa;
  if (!FillAddr(path, &sa)) {
    *error = ENAMETOOLONG;
    return nullptr;
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  if (internal::ConnectWithTimeout(fd, &sa, sizeof sa, timeout_ms, error) < 0) {
    ::close(fd);
    return nullptr;
  }
  *error = 0;
  return std::make_unique<internal::FdTransport>(fd, PeerInfo{});
}

std::unique_ptr<Listener> ListenUnixSocket(const std::string& path, int* error) {
  int dummy = 0;
  if (!error) error = &dummy;
  sockaddr_un sa;
  if (!FillAddr(path, &sa)) {
    *error = ENAMETOOLONG;
    return nullptr;
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  // A socket file nobody answers on is a leftover of an earlier run and is
  // replaced; a live endpoint of another server is left alone.
  int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe >= 0) {
    bool live = ::connect(probe, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(probe);
    if (live) {
      ::close(fd);
      *error = EADDRINUSE;
      return nullptr;
    }
  }
  ::unlink(path.c_str());
  // The directory is owner-only already; the socket file is made so too
  // (umask is process-wide, so it is not touched here).
  int r = ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  if (r < 0 || ::chmod(path.c_str(), 0600) < 0 || ::listen(fd, 64) < 0) {
    *error = errno;
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<internal::FdListener>(fd, AF_UNIX, 0);
}

}  // namespace qz::rpc
