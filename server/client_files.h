// client_files.h -- opening a file that a client names, as that client.
//
// Several procedures carry a path the client chose: a fax document to
// submit, a file to fetch into or to replace from. The server never opens
// such a path with its own identity:
//  - ncalrpc (peer credentials known): the path must be absolute. When
//    the server runs as root, the calling thread takes on the peer's
//    filesystem identity -- fsuid, fsgid and supplementary groups, set per
//    thread with the raw system calls -- for the one open and returns to
//    its own right after, so the kernel's permission checks are the
//    peer's. An unprivileged server opens only for a peer of its own uid
//    and refuses everyone else (EACCES): it cannot act as them.
//  - TCP (no identity): only beneath ServerContext::spool_dir. The path is
//    taken relative to it (an absolute path must lie inside it); ".."
//    components, symbolic links and mount escapes are refused. An empty
//    spool_dir refuses every TCP path.
// O_CLOEXEC and O_NOCTTY are always added; a created file gets `mode`.
//
// Thread-safety: safe from any number of threads; the identity switch
// touches only the calling thread.
#ifndef QZ_SERVER_CLIENT_FILES_H_
#define QZ_SERVER_CLIENT_FILES_H_

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "server/engine_hooks.h"
#include "server/family.h"

namespace qz::faxd {

// An open descriptor (the caller closes it), or -1 and the errno.
struct ClientFile {
  int fd = -1;
  int error = 0;
};

// Longest path a client may name.
inline constexpr size_t kMaxClientPath = 4095;

ClientFile OpenClientFile(const Call& call, const ServerContext& context, const std::string& path,
                          int flags, mode_t mode = 0600);

// The same, from the parts of a call (for tests and callers without a Call).
ClientFile OpenClientFileAs(const rpc::CallContext& peer, const std::string& spool_dir,
                            const std::string& path, int flags, mode_t mode = 0600);

// The server status for a failed open: kNoSuchFile, kFileDenied or
// kFileFailure.
int32_t ClientFileStatus(int error);

}  // namespace qz::faxd

#endif  // QZ_SERVER_CLIENT_FILES_H_
