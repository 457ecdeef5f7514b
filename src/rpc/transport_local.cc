// transport_local.cc -- ncalrpc over Unix-domain stream sockets: where the
// sockets live (the system directory of a service run by root, or a
// per-user one), the checks that keep a planted directory or socket from
// receiving a client's calls, connect and listen.
//
// Thread-safety: the functions are reentrant.
#include <errno.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <vector>

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

std::string PerUserRpcDirectory() {
  if (const char* x = ::getenv("XDG_RUNTIME_DIR"); x && *x) return std::string(x) + "/qzrpc";
  return "/tmp/qzrpc-" + std::to_string(::geteuid());
}

std::string LocalRpcDirectory() {
  if (const char* d = ::getenv("QZRPC_LRPC_DIR"); d && *d) return d;
  if (::geteuid() == 0) return kSystemRpcDirectory;
  return PerUserRpcDirectory();
}

std::vector<std::string> LocalRpcSearchPath() {
  if (const char* d = ::getenv("QZRPC_LRPC_DIR"); d && *d) return {d};
  if (::geteuid() == 0) return {kSystemRpcDirectory};
  return {PerUserRpcDirectory(), kSystemRpcDirectory};
}

int TrustedLocalDirectory(const std::string& dir) {
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return EPERM;  // a link could point anywhere
  if ((st.st_uid != 0 && st.st_uid != ::geteuid()) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    return EPERM;
  return 0;
}

int PrepareLocalDirectory(const std::string& dir) {
  // Root serves every local user: the directory may be searched by all
  // (the sockets decide who connects); otherwise it is the owner's alone.
  const mode_t mode = ::geteuid() == 0 ? 0755 : 0700;
  if (::mkdir(dir.c_str(), mode) == 0) ::chmod(dir.c_str(), mode);  // umask aside
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  // A directory someone else made (or may write to) could have been
  // planted to receive the clients' calls: not served from.
  if (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return EPERM;
  return 0;
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
  // Peer(): who listens, by the server's credentials.
  return std::make_unique<internal::FdTransport>(fd, internal::UnixPeerCredentials(fd));
}

std::unique_ptr<Transport> ConnectLocalEndpoint(const std::string& endpoint, int timeout_ms,
                                                int* error) {
  int dummy = 0;
  if (!error) error = &dummy;
  *error = ENOENT;
  bool refused = false;
  for (const std::string& dir : LocalRpcSearchPath()) {
    const std::string path = dir + "/" + endpoint;
    int e = TrustedLocalDirectory(dir);
    struct stat st;
    if (e == 0 && ::lstat(path.c_str(), &st) != 0) e = errno;
    if (e == 0 && (!S_ISSOCK(st.st_mode) || (st.st_uid != 0 && st.st_uid != ::geteuid())))
      e = EPERM;
    std::unique_ptr<Transport> t;
    if (e == 0) t = ConnectUnix(path, timeout_ms, &e);
    if (t) {
      // The one answering must be root or ourselves, whatever the files say.
      const PeerInfo server = t->Peer();
      if (server.has_credentials && (server.uid == 0 || server.uid == ::geteuid())) {
        *error = 0;
        return t;
      }
      e = EPERM;
    }
    if (e == EPERM) refused = true;
    *error = e;
  }
  if (refused) *error = EPERM;
  return nullptr;
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
  // Any local user who can reach the directory may connect: the server
  // tells callers apart by their peer credentials. (umask is process-wide,
  // so it is not touched here; the mode is set after bind.)
  int r = ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  if (r < 0 || ::chmod(path.c_str(), 0666) < 0 || ::listen(fd, 64) < 0) {
    *error = errno;
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<internal::FdListener>(fd, AF_UNIX, 0);
}

}  // namespace qz::rpc
