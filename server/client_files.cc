// client_files.cc -- opening client-named files with the client's identity.
#include "server/client_files.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/openat2.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <vector>

namespace qz::faxd {
namespace {

int Sys(long rc) { return rc < 0 ? errno : 0; }

// The peer's supplementary groups, from its account (its primary group
// when it has no account).
std::vector<gid_t> PeerGroups(uid_t uid, gid_t gid) {
  std::vector<gid_t> groups{gid};
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd pw;
  struct passwd* found = nullptr;
  if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr)
    return groups;
  int n = 32;
  for (int attempt = 0; attempt < 4; ++attempt) {
    groups.assign(static_cast<size_t>(n), 0);
    int got = n;
    if (getgrouplist(pw.pw_name, gid, groups.data(), &got) >= 0) {
      groups.resize(static_cast<size_t>(got));
      return groups;
    }
    n = got > n ? got : n * 2;
  }
  return {gid};
}

// Runs open(2) under the peer's filesystem identity on this thread only.
// glibc's setgroups() changes every thread of the process, so the raw
// system call is used; setfsuid/setfsgid are per thread by nature.
ClientFile OpenAsPeer(uid_t uid, gid_t gid, const std::string& path, int flags, mode_t mode) {
  std::vector<gid_t> own(static_cast<size_t>(getgroups(0, nullptr) > 0 ? getgroups(0, nullptr) : 0));
  if (!own.empty() && getgroups(static_cast<int>(own.size()), own.data()) < 0) return {-1, errno};
  std::vector<gid_t> peer = PeerGroups(uid, gid);
  const uid_t own_uid = geteuid();
  const gid_t own_gid = getegid();
  ClientFile result;
  bool switched = false;
  if (int err = Sys(syscall(SYS_setgroups, peer.size(), peer.data())); err != 0) {
    result.error = err;
  } else {
    setfsgid(gid);
    setfsuid(uid);
    // setfs*id report no errors; asking again tells whether it took.
    switched = static_cast<uid_t>(setfsuid(uid)) == uid && static_cast<gid_t>(setfsgid(gid)) == gid;
    if (switched) {
      result.fd = ::open(path.c_str(), flags, mode);
      if (result.fd < 0) result.error = errno;
    } else {
      result.error = EPERM;
    }
  }
  setfsuid(own_uid);
  setfsgid(own_gid);
  syscall(SYS_setgroups, own.size(), own.data());
  return result;
}

bool HasDotDot(std::string_view path) {
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    if (path.substr(pos, end - pos) == "..") return true;
    pos = end + 1;
  }
  return false;
}

// Opens `rel` beneath the directory `dir_fd` without following any
// symbolic link: openat2 with RESOLVE_BENEATH where the kernel has it,
// else one component at a time with O_NOFOLLOW.
ClientFile OpenBeneath(int dir_fd, const std::string& rel, int flags, mode_t mode) {
  struct open_how how {};
  how.flags = static_cast<uint64_t>(flags);
  how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
  long fd = syscall(SYS_openat2, dir_fd, rel.c_str(), &how, sizeof how);
  if (fd >= 0) return {static_cast<int>(fd), 0};
  if (errno != ENOSYS) return {-1, errno == ELOOP || errno == EXDEV ? EACCES : errno};
  // Older kernels: walk the directories, then open the last component.
  int cur = ::dup(dir_fd);
  if (cur < 0) return {-1, errno};
  size_t pos = 0;
  while (true) {
    size_t slash = rel.find('/', pos);
    std::string part = rel.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
    if (slash == std::string::npos) {
      int f = ::openat(cur, part.c_str(), flags | O_NOFOLLOW, mode);
      int err = f < 0 ? (errno == ELOOP ? EACCES : errno) : 0;
      ::close(cur);
      return {f, err};
    }
    if (!part.empty() && part != ".") {
      int next = ::openat(cur, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      int err = errno;
      ::close(cur);
      if (next < 0) return {-1, err == ELOOP || err == ENOTDIR ? EACCES : err};
      cur = next;
    }
    pos = slash + 1;
  }
}

ClientFile OpenInSpool(const std::string& spool_dir, const std::string& path, int flags,
                       mode_t mode) {
  if (spool_dir.empty()) return {-1, EACCES};
  std::string rel = path;
  if (!rel.empty() && rel.front() == '/') {
    std::string prefix = spool_dir;
    while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
    if (rel.compare(0, prefix.size(), prefix) != 0 || rel.size() <= prefix.size() ||
        rel[prefix.size()] != '/')
      return {-1, EACCES};
    rel = rel.substr(prefix.size() + 1);
  }
  while (!rel.empty() && rel.front() == '/') rel.erase(0, 1);
  if (rel.empty() || HasDotDot(rel)) return {-1, EACCES};
  int dir = ::open(spool_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return {-1, errno};
  ClientFile f = OpenBeneath(dir, rel, flags, mode);
  ::close(dir);
  return f;
}

}  // namespace

ClientFile OpenClientFileAs(const rpc::CallContext& peer, const std::string& spool_dir,
                            const std::string& path, int flags, mode_t mode) {
  if (path.empty() || path.size() > kMaxClientPath || path.find('\0') != std::string::npos)
    return {-1, EINVAL};
  flags |= O_CLOEXEC | O_NOCTTY;
  if (peer.protseq != "ncalrpc") return OpenInSpool(spool_dir, path, flags, mode);
  if (!peer.has_peer_credentials) return {-1, EACCES};
  if (path.front() != '/') return {-1, EINVAL};
  const uid_t uid = static_cast<uid_t>(peer.peer_uid);
  const gid_t gid = static_cast<gid_t>(peer.peer_gid);
  if (geteuid() == 0) {
    if (uid == 0) {
      int fd = ::open(path.c_str(), flags, mode);
      return {fd, fd < 0 ? errno : 0};
    }
    return OpenAsPeer(uid, gid, path, flags, mode);
  }
  if (uid != geteuid()) return {-1, EACCES};
  int fd = ::open(path.c_str(), flags, mode);
  return {fd, fd < 0 ? errno : 0};
}

ClientFile OpenClientFile(const Call& call, const ServerContext& context, const std::string& path,
                          int flags, mode_t mode) {
  return OpenClientFileAs(call.ctx(), context.spool_dir, path, flags, mode);
}

int32_t ClientFileStatus(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return AsResult(kNoSuchFile);
    case EACCES:
    case EPERM:
    case EROFS:
    case EINVAL:
    case ELOOP:
    case EXDEV: return AsResult(kFileDenied);
    default: return AsResult(kFileFailure);
  }
}

}  // namespace qz::faxd
