// files.cc -- files, the single-page fetch, fax import and drafts.
#include "server/files.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "server/client_files.h"
#include "server/lines.h"
#include "server/message_store.h"
#include "server/sql.h"

namespace qz::faxd {

const SchemaPart kFilesSchema = {
    "files",
    {{1, R"sql(
CREATE TABLE store_drafts (
  id    INTEGER PRIMARY KEY AUTOINCREMENT,
  owner TEXT NOT NULL REFERENCES users(id),
  block BLOB NOT NULL,
  time  INTEGER NOT NULL
);
CREATE INDEX store_drafts_owner ON store_drafts(owner);
CREATE TABLE store_coverpages (
  id   INTEGER PRIMARY KEY AUTOINCREMENT,
  name TEXT NOT NULL UNIQUE,
  file TEXT NOT NULL
);
)sql"}}};

namespace {

// Largest file the server copies in or out.
constexpr off_t kMaxFileSize = 64 << 20;
// Most faxes one import call files.
constexpr int32_t kMaxImport = 100;

// A name in the server's store (scripts, cover pages): 1..64 of
// [A-Za-z0-9._-], not starting with '.'.
bool ValidStoreName(const std::string& name) {
  if (name.empty() || name.size() > 64 || name[0] == '.') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '_' || c == '-';
  });
}

bool ParseId(const std::string& s, uint32_t* out) {
  auto r = std::from_chars(s.data(), s.data() + s.size(), *out);
  return !s.empty() && r.ec == std::errc() && r.ptr == s.data() + s.size();
}

// Copies everything from `in` to `out` (at most kMaxFileSize bytes);
// the number of bytes, or -1 with errno (EFBIG when too large).
int64_t CopyFd(int in, int out) {
  std::vector<char> buf(1 << 16);
  int64_t total = 0;
  while (true) {
    ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) return total;
    total += n;
    if (total > kMaxFileSize) {
      errno = EFBIG;
      return -1;
    }
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out, buf.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return -1;
      done += w;
    }
  }
}

struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

// The pidfd system calls (called directly: not every C library declares them).
int PidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0u)); }
int PidfdGetfd(int pidfd, int fd) { return static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, fd, 0u)); }

void QuietTiff() {
  static std::once_flag once;
  std::call_once(once, [] {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
  });
}

// The path below data_dir of a stored file.
std::string StorePath(const ServerContext& c, const std::string& rel) {
  return c.data_dir + "/" + rel;
}

// Copies the client's file `path` (opened with the client's identity)
// into the store as `rel`, through a temporary name. kOk or a status.
int32_t CopyIn(Call& call, const ServerContext& c, const std::string& path,
               const std::string& rel, bool must_be_tiff, uint32_t* pages) {
  ClientFile in = OpenClientFile(call, c, path, O_RDONLY);
  if (in.fd < 0) {
    call.Note("cannot open " + path + ": " + std::strerror(in.error));
    return ClientFileStatus(in.error);
  }
  Fd src(in.fd);
  struct stat st;
  if (fstat(src.fd, &st) != 0 || !S_ISREG(st.st_mode))
    return call.Fail(kFileDenied, path + " is not a regular file");
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(StorePath(c, rel)).parent_path(), ec);
  std::string tmp = StorePath(c, rel) + ".new";
  Fd out(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (out.fd < 0) return call.Fail(kFileError, "cannot write " + rel);
  if (CopyFd(src.fd, out.fd) < 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    return call.Fail(kFileFailure, "copy from " + path + " failed: " + std::strerror(err));
  }
  if (must_be_tiff && (*pages = TiffPageCount(tmp)) == 0) {
    ::unlink(tmp.c_str());
    return call.Fail(kBadDocument, path + " is not a TIFF");
  }
  if (::rename(tmp.c_str(), StorePath(c, rel).c_str()) != 0) {
    ::unlink(tmp.c_str());
    return call.Fail(kFileError, "cannot store " + rel);
  }
  return kOk;
}

// Copies the stored file `source` into the client's file `path`, created
// or truncated with the client's identity. *bytes gets the size.
int32_t CopyOut(Call& call, const ServerContext& c, const std::string& source,
                const std::string& path, int32_t* bytes) {
  Fd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.fd < 0) return call.Fail(kFileError, "stored file missing");
  ClientFile out = OpenClientFile(call, c, path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (out.fd < 0) {
    call.Note("cannot open " + path + ": " + std::strerror(out.error));
    return ClientFileStatus(out.error);
  }
  Fd dst(out.fd);
  int64_t n = CopyFd(in.fd, dst.fd);
  if (n < 0) return call.Fail(kFileFailure, std::string("copy failed: ") + std::strerror(errno));
  *bytes = static_cast<int32_t>(n);
  return kOk;
}

int32_t StoreFailure(Call& call, sqlite3* db) {
  return call.Fail(kStoreFailure, std::string("store: ") + sqlite3_errmsg(db));
}

// Runs `body` in one transaction; its result, or kStoreFailure when the
// commit failed.
int32_t InTransaction(Call& call, Store& store, const std::function<int32_t(sqlite3*)>& body) {
  int32_t result = AsResult(kStoreFailure);
  bool committed = store.Transaction([&](sqlite3* db) {
    result = body(db);
    return result == kOk;
  });
  if (result == kOk && !committed) return call.Fail(kStoreFailure, "store: commit failed");
  return result;
}

// The peer's descriptor `handle`, reached through its pid: pidfd_getfd
// (the kernel allows it only to a process that may trace the peer: the
// same user, or a privileged server), else /proc/<pid>/fd/<n> opened with
// the client's identity. The process must still belong to the peer's uid,
// and the descriptor must be a regular file open for writing.
int32_t PeerDescriptor(Call& call, const ServerContext& c, int32_t handle, int* out) {
  const rpc::CallContext& ctx = call.ctx();
  if (handle < 0) return call.Fail(kBadArgument, "handle " + std::to_string(handle));
  pid_t pid = static_cast<pid_t>(ctx.peer_pid);
  Fd pidfd(PidfdOpen(pid));
  if (pidfd.fd < 0) return call.Fail(kFileDenied, "peer process gone");
  // The pidfd pins the process: the pid cannot be reused while it is open.
  struct stat st;
  std::string proc = "/proc/" + std::to_string(pid);
  if (::stat(proc.c_str(), &st) != 0 || st.st_uid != ctx.peer_uid)
    return call.Fail(kFileDenied, "peer process not the caller's");
  int fd = PidfdGetfd(pidfd.fd, handle);
  if (fd < 0) {
    int err = errno;
    if (err == EBADF) return call.Fail(kFileDenied, "no descriptor " + std::to_string(handle));
    ClientFile f = OpenClientFile(call, c, proc + "/fd/" + std::to_string(handle), O_RDWR);
    if (f.fd < 0) {
      call.Note("descriptor " + std::to_string(handle) + ": " + std::strerror(f.error));
      return ClientFileStatus(f.error);
    }
    fd = f.fd;
  }
  int fl = fcntl(fd, F_GETFL);
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fl < 0 || (fl & O_ACCMODE) == O_RDONLY) {
    ::close(fd);
    return call.Fail(kFileDenied, "descriptor " + std::to_string(handle) +
                                      " is not a regular file open for writing");
  }
  *out = fd;
  return kOk;
}

}  // namespace

uint32_t TiffPageCount(const std::string& path) {
  QuietTiff();
  TIFF* t = TIFFOpen(path.c_str(), "r");
  if (t == nullptr) return 0;
  uint32_t n = 0;
  do {
    if (++n > 100000) break;
  } while (TIFFReadDirectory(t));
  TIFFClose(t);
  return n;
}

int32_t WriteTiffPage(const std::string& source, uint32_t page, int fd) {
  QuietTiff();
  if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) {
    ::close(fd);
    return AsResult(kFileFailure);
  }
  TIFF* in = TIFFOpen(source.c_str(), "r");
  if (in == nullptr) {
    ::close(fd);
    return AsResult(kBadDocument);
  }
  int32_t rc = kOk;
  TIFF* out = nullptr;
  if (page > 0xFFFF || !TIFFSetDirectory(in, static_cast<tdir_t>(page)) || TIFFIsTiled(in)) {
    rc = AsResult(kBadDocument);
  } else if ((out = TIFFFdOpen(fd, "page", "w")) == nullptr) {
    rc = AsResult(kFileFailure);
  }
  if (out == nullptr) {
    TIFFClose(in);
    ::close(fd);
    return rc;
  }
  uint32_t u32 = 0;
  uint16_t u16 = 0;
  float f = 0;
  for (ttag_t tag : {TIFFTAG_IMAGEWIDTH, TIFFTAG_IMAGELENGTH, TIFFTAG_ROWSPERSTRIP,
                     TIFFTAG_GROUP3OPTIONS, TIFFTAG_GROUP4OPTIONS})
    if (TIFFGetField(in, tag, &u32)) TIFFSetField(out, tag, u32);
  for (ttag_t tag : {TIFFTAG_BITSPERSAMPLE, TIFFTAG_SAMPLESPERPIXEL, TIFFTAG_COMPRESSION,
                     TIFFTAG_PHOTOMETRIC, TIFFTAG_FILLORDER, TIFFTAG_PLANARCONFIG,
                     TIFFTAG_RESOLUTIONUNIT})
    if (TIFFGetField(in, tag, &u16)) TIFFSetField(out, tag, u16);
  for (ttag_t tag : {TIFFTAG_XRESOLUTION, TIFFTAG_YRESOLUTION})
    if (TIFFGetField(in, tag, &f)) TIFFSetField(out, tag, f);
  TIFFSetField(out, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
  TIFFSetField(out, TIFFTAG_PAGENUMBER, uint16_t{0}, uint16_t{1});
  tstrip_t strips = TIFFNumberOfStrips(in);
  std::vector<uint8_t> buf;
  for (tstrip_t s = 0; s < strips && rc == kOk; ++s) {
    uint64_t* sizes = nullptr;
    if (!TIFFGetField(in, TIFFTAG_STRIPBYTECOUNTS, &sizes) || sizes == nullptr ||
        sizes[s] > static_cast<uint64_t>(kMaxFileSize)) {
      rc = AsResult(kBadDocument);
      break;
    }
    buf.resize(static_cast<size_t>(sizes[s]));
    tmsize_t got = TIFFReadRawStrip(in, s, buf.data(), static_cast<tmsize_t>(buf.size()));
    if (got < 0) rc = AsResult(kBadDocument);
    else if (TIFFWriteRawStrip(out, s, buf.data(), got) != got) rc = AsResult(kFileFailure);
  }
  if (rc == kOk && !TIFFWriteDirectory(out)) rc = AsResult(kFileFailure);
  TIFFClose(out);  // closes fd
  TIFFClose(in);
  return rc;
}

std::optional<std::vector<uint8_t>> LoadDraftIn(sqlite3* db, const std::string& user,
                                                uint32_t draft_id) {
  Stmt s(db, "SELECT block FROM store_drafts WHERE id = ? AND owner = ?");
  if (!s.Bind(1, int64_t{draft_id}) || !s.Bind(2, std::string_view(user)) ||
      s.Step() != SQLITE_ROW)
    return std::nullopt;
  std::vector<uint8_t> b = s.Blob(0);
  if (b.size() < sizeof(DRAFT_HEADER)) return std::nullopt;
  return std::vector<uint8_t>(b.begin() + sizeof(DRAFT_HEADER), b.end());
}

std::optional<std::vector<uint8_t>> LoadDraft(Store& store, const std::string& user,
                                              uint32_t draft_id) {
  return store.WithDb([&](sqlite3* db) { return LoadDraftIn(db, user, draft_id); });
}

Files::Files(ServerContext* context, StoreLimits limits) : context_(context), limits_(limits) {}

bool Files::HandlesMain(uint16_t opnum) const {
  return (opnum >= 44 && opnum <= 50) || opnum == 89 || opnum == 90 ||
         (opnum >= 96 && opnum <= 99);
}

int32_t Files::Main(Call& call, uint16_t opnum) {
  if (opnum >= 96) return Drafts(call, opnum);
  if (context_->data_dir.empty() && opnum != 89)
    return call.Fail(kNoDataDir, "the server has no store directory");
  switch (opnum) {
    case 44: case 45: case 46: return ReceiveFile(call, opnum);
    case 47: case 48: case 49: return ReplaceFile(call, opnum);
    case 50: return DeleteFile(call);
    case 89: return Import(call);
    case 90: return OnePage(call);
    default: return AsResult(kNotHandled);
  }
}

// 44-46: a stored file into the client-named file; the 32-bit value is the
// number of bytes copied.
int32_t Files::ReceiveFile(Call& call, uint16_t opnum) {
  uint32_t id = static_cast<uint32_t>(call.arg(2).number);
  const std::string& path = call.arg(opnum == 46 ? 4 : 3).text;
  rpc::ServerValue& value = call.arg(opnum == 46 ? 5 : 4);
  value.number = 0;
  call.Note("id " + std::to_string(id) + " to " + path.substr(0, 200));
  std::string source;
  if (opnum == 44) {
    MessageRef m;
    int32_t rc = InTransaction(call, *context_->store,
                               [&](sqlite3* db) { return FindMessage(db, call, id, 0, &m); });
    if (rc != kOk) return rc;
    if (m.document.empty()) return call.Fail(kNotFound, "message has no document");
    source = DocumentPath(*context_, m.document);
  } else if (opnum == 45) {
    int32_t rc = InTransaction(call, *context_->store, [&](sqlite3* db) {
      Stmt s(db, "SELECT file FROM store_coverpages WHERE id = ?");
      if (!s.Bind(1, int64_t{id}) || s.Step() != SQLITE_ROW)
        return call.Fail(kNotFound, "no cover page " + std::to_string(id));
      source = StorePath(*context_, s.Text(0));
      return kOk;
    });
    if (rc != kOk) return rc;
  } else {
    if (!call.IsAdministrator()) return call.Fail(kAccessDenied, "scripts need an administrator");
    const std::string& name = call.arg(3).text;
    if (!ValidStoreName(name)) return call.Fail(kBadArgument, "script name");
    source = StorePath(*context_, "scripts/" + name);
  }
  int32_t bytes = 0;
  int32_t rc = CopyOut(call, *context_, source, path, &bytes);
  if (rc == kOk) value.number = bytes;
  return rc;
}

// 47-49: the client-named file replaces a stored one.
int32_t Files::ReplaceFile(Call& call, uint16_t opnum) {
  uint32_t id = static_cast<uint32_t>(call.arg(2).number);
  const std::string& path = call.arg(opnum == 49 ? 4 : 3).text;
  call.Note("id " + std::to_string(id) + " from " + path.substr(0, 200));
  if (opnum == 47) {
    MessageRef m;
    int32_t rc = InTransaction(call, *context_->store,
                               [&](sqlite3* db) { return FindMessage(db, call, id, 1, &m); });
    if (rc != kOk) return rc;
    std::string rel = "messages/" + std::to_string(id) + ".tif";
    uint32_t pages = 0;
    if ((rc = CopyIn(call, *context_, path, rel, true, &pages)) != kOk) return rc;
    return InTransaction(call, *context_->store, [&](sqlite3* db) {
      // The message may have gone meanwhile: then its new file goes too.
      if (FindMessage(db, call, id, 1, &m) != kOk) {
        ::unlink(StorePath(*context_, rel).c_str());
        return AsResult(kNotFound);
      }
      return SetMessageDocument(db, id, rel, pages) ? kOk : StoreFailure(call, db);
    });
  }
  if (!call.IsAdministrator())
    return call.Fail(kAccessDenied, "cover pages and scripts are changed by an administrator");
  if (opnum == 49) {
    const std::string& name = call.arg(3).text;
    if (!ValidStoreName(name)) return call.Fail(kBadArgument, "script name");
    // Only a script the list shows has its file replaced: a file of no
    // script would be one nobody sees.
    if (!ScriptListed(context_->store, name)) return call.Fail(kNotFound, "no script " + name);
    uint32_t pages = 0;
    return CopyIn(call, *context_, path, "scripts/" + name, false, &pages);
  }
  // 48: dwID 0 adds a cover page named after the file's last component.
  std::string rel;
  int32_t rc = InTransaction(call, *context_->store, [&](sqlite3* db) {
    if (id == 0) {
      std::string name = std::filesystem::path(path).filename().string();
      if (!ValidStoreName(name)) return call.Fail(kBadArgument, "cover page name");
      Stmt s(db, "INSERT INTO store_coverpages(name, file) VALUES(?, '')");
      if (!s.Bind(1, std::string_view(name))) return StoreFailure(call, db);
      int step = s.Step();
      if (step == SQLITE_CONSTRAINT) return call.Fail(kExists, "cover page " + name + " exists");
      if (step != SQLITE_DONE) return StoreFailure(call, db);
      id = static_cast<uint32_t>(sqlite3_last_insert_rowid(db));
      rel = "coverpages/" + std::to_string(id) + ".cov";
      Stmt u(db, "UPDATE store_coverpages SET file = ? WHERE id = ?");
      return u.Bind(1, std::string_view(rel)) && u.Bind(2, int64_t{id}) &&
                     u.Step() == SQLITE_DONE
                 ? kOk
                 : StoreFailure(call, db);
    }
    Stmt s(db, "SELECT file FROM store_coverpages WHERE id = ?");
    if (!s.Bind(1, int64_t{id}) || s.Step() != SQLITE_ROW)
      return call.Fail(kNotFound, "no cover page " + std::to_string(id));
    rel = s.Text(0);
    return kOk;
  });
  if (rc != kOk) return rc;
  uint32_t pages = 0;
  rc = CopyIn(call, *context_, path, rel, false, &pages);
  if (rc != kOk && call.arg(2).number == 0) {
    // A new cover page whose file could not be read is not kept.
    context_->store->Transaction([&](sqlite3* db) {
      Stmt d(db, "DELETE FROM store_coverpages WHERE id = ?");
      return d.Bind(1, int64_t{id}) && d.Step() == SQLITE_DONE;
    });
  }
  return rc;
}

// 50: types 0 and 1 remove a message's document (name: the message ID),
// 2 a cover page (name: its ID or name), 3 a script (name).
int32_t Files::DeleteFile(Call& call) {
  int32_t type = call.arg(2).number;
  const std::string& name = call.arg(3).text;
  call.Note("type " + std::to_string(type) + " " + name.substr(0, 200));
  if (type < 0 || type > 3) return call.Fail(kBadArgument, "target type " + std::to_string(type));
  uint32_t id = 0;
  if (type <= 1) {
    if (!ParseId(name, &id)) return call.Fail(kBadArgument, "message ID");
    std::string old;
    int32_t rc = InTransaction(call, *context_->store, [&](sqlite3* db) {
      MessageRef m;
      int32_t r = FindMessage(db, call, id, 1, &m);
      if (r != kOk) return r;
      if (m.document.empty()) return call.Fail(kNotFound, "message has no document");
      old = m.document;
      return SetMessageDocument(db, id, "", 0) ? kOk : StoreFailure(call, db);
    });
    if (rc == kOk && old[0] != '/') ::unlink(DocumentPath(*context_, old).c_str());
    return rc;
  }
  if (!call.IsAdministrator())
    return call.Fail(kAccessDenied, "cover pages and scripts are changed by an administrator");
  if (type == 3) {
    if (!ValidStoreName(name)) return call.Fail(kBadArgument, "script name");
    if (::unlink(StorePath(*context_, "scripts/" + name).c_str()) != 0)
      return call.Fail(kNotFound, "no script " + name);
    return kOk;
  }
  std::string file;
  int32_t rc = InTransaction(call, *context_->store, [&](sqlite3* db) {
    Stmt s(db, "DELETE FROM store_coverpages WHERE id = ? OR name = ? RETURNING file");
    if (!s.Bind(1, int64_t{ParseId(name, &id) ? id : 0}) || !s.Bind(2, std::string_view(name)))
      return StoreFailure(call, db);
    int step = s.Step();
    if (step != SQLITE_ROW) return call.Fail(kNotFound, "no cover page " + name);
    file = s.Text(0);
    while ((step = s.Step()) == SQLITE_ROW) {
    }
    return step == SQLITE_DONE ? kOk : StoreFailure(call, db);
  });
  if (rc == kOk) ::unlink(StorePath(*context_, file).c_str());
  return rc;
}

// 90: page (dwID >> 24) of message (dwID & 0xFFFFFF) into the client's
// open file; local callers only.
int32_t Files::OnePage(Call& call) {
  auto dw = static_cast<uint32_t>(call.arg(2).number);
  int32_t handle = call.arg(3).number;
  uint32_t id = dw & 0xFFFFFF, page = dw >> 24;
  call.Note("message " + std::to_string(id) + " page " + std::to_string(page + 1) +
            " into descriptor " + std::to_string(handle));
  if (!call.IsLocal()) return call.Fail(kNotLocal, "the page fetch needs a local caller");
  MessageRef m;
  int32_t rc = InTransaction(call, *context_->store,
                             [&](sqlite3* db) { return FindMessage(db, call, id, 0, &m); });
  if (rc != kOk) return rc;
  if (m.document.empty()) return call.Fail(kNotFound, "message has no document");
  int fd = -1;
  if ((rc = PeerDescriptor(call, *context_, handle, &fd)) != kOk) return rc;
  rc = WriteTiffPage(DocumentPath(*context_, m.document), page, fd);
  if (rc != kOk) call.Note("page " + std::to_string(page + 1) + " not written");
  return rc;
}

// 89: dwType 1 files the TIFF files waiting in <data_dir>/import/<caller>/
// as received faxes, at most dwSize of them (1..100), in name order; the
// byte selects the inbox: 0 the caller's, 1 the caller's department's.
int32_t Files::Import(Call& call) {
  int32_t type = call.arg(2).number;
  int32_t target = call.arg(3).number;
  int32_t most = call.arg(4).number;
  call.Note("type " + std::to_string(type) + " target " + std::to_string(target) + " size " +
            std::to_string(most));
  if (type != 1 || (target != 0 && target != 1) || most < 1 || most > kMaxImport)
    return call.Fail(kBadArgument, "import arguments");
  if (context_->data_dir.empty()) return call.Fail(kNoDataDir, "no store directory");
  if (context_->inbox == nullptr) return call.Fail(kNotHandled, "no message store");
  // The caller's identifier names a directory: it must be a plain name.
  if (!ValidStoreName(call.user().id))
    return call.Fail(kBadArgument, "the caller's identifier cannot name a directory");
  Destination to{Destination::Kind::kUser, call.user().id};
  if (target == 1) {
    to.kind = Destination::Kind::kDepartment;
    std::optional<std::string> dept = context_->store->WithDb([&](sqlite3* db) {
      Stmt s(db, "SELECT dept_id FROM users WHERE id = ?");
      return s.Bind(1, std::string_view(call.user().id)) && s.Step() == SQLITE_ROW
                 ? std::optional<std::string>(s.Text(0))
                 : std::nullopt;
    });
    if (!dept || dept->empty()) return call.Fail(kNotFound, "the caller has no department");
    to.id = *dept;
  }
  std::string dir = StorePath(*context_, "import/" + call.user().id);
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    if (e.is_regular_file(ec) && !e.is_symlink(ec) && e.path().extension() == ".tif")
      names.push_back(e.path().string());
  std::sort(names.begin(), names.end());
  int32_t filed = 0;
  for (const std::string& name : names) {
    if (filed == most) break;
    uint32_t pages = TiffPageCount(name);
    if (pages == 0) continue;  // not a fax: left where it is
    ReceivedFax fax;
    fax.document_path = name;
    fax.pages = pages;
    fax.subject = std::filesystem::path(name).stem().string();
    fax.sender_number = "import";
    fax.time_ms = context_->clock ? context_->clock->NowMs() : 0;
    if (!context_->inbox->Deliver(fax, to)) return call.Fail(kStoreFailure, "cannot file " + name);
    ::unlink(name.c_str());
    ++filed;
  }
  call.Note("imported " + std::to_string(filed) + " faxes");
  return kOk;
}

// 96-99: drafts, each a DRAFT_HEADER and the client's bytes.
int32_t Files::Drafts(Call& call, uint16_t opnum) {
  const std::string& user = call.user().id;
  if (opnum == 97) {
    uint32_t id = static_cast<uint32_t>(call.arg(2).number);
    call.Note("draft " + std::to_string(id));
    return InTransaction(call, *context_->store, [&](sqlite3* db) {
      Stmt s(db, "DELETE FROM store_drafts WHERE id = ? AND owner = ?");
      if (!s.Bind(1, int64_t{id}) || !s.Bind(2, std::string_view(user)) ||
          s.Step() != SQLITE_DONE)
        return StoreFailure(call, db);
      return sqlite3_changes(db) == 1 ? kOk : call.Fail(kNotFound, "no draft");
    });
  }
  if (opnum == 96) {
    rpc::ServerValue& count = call.arg(2);
    rpc::ServerValue& reply = call.arg(3);
    uint32_t id = static_cast<uint32_t>(count.number);
    call.Note(id ? "draft " + std::to_string(id) : std::string("every draft"));
    SetReply(reply, count, {});
    std::vector<uint8_t> out;
    int32_t rc = InTransaction(call, *context_->store, [&](sqlite3* db) {
      Stmt s(db, id ? "SELECT block FROM store_drafts WHERE owner = ? AND id = ?"
                    : "SELECT block FROM store_drafts WHERE owner = ? AND ? = 0 ORDER BY id");
      if (!s.Bind(1, std::string_view(user)) || !s.Bind(2, int64_t{id}))
        return StoreFailure(call, db);
      int step;
      size_t rows = 0;
      while ((step = s.Step()) == SQLITE_ROW) {
        std::vector<uint8_t> b = s.Blob(0);
        if (out.size() + b.size() > 16 * limits_.max_block)
          return call.Fail(kReplyTooLarge, "more than the reply limit");
        AppendBytes(&out, b);
        ++rows;
      }
      if (step != SQLITE_DONE) return StoreFailure(call, db);
      return rows == 0 && id != 0 ? call.Fail(kNotFound, "no draft") : kOk;
    });
    if (rc == kOk) SetReply(reply, count, std::move(out));
    return rc;
  }
  // 98 edit, 99 new.
  const std::vector<uint8_t>& block = call.arg(3).bytes;
  int32_t size = call.arg(2).number;
  call.Note("draft block of " + std::to_string(size) + " bytes");
  if (size < 0 || block.size() != static_cast<size_t>(size) ||
      block.size() < sizeof(DRAFT_HEADER) || block.size() > limits_.max_block)
    return call.Fail(kBadRecord, "draft block of " + std::to_string(size) + " bytes");
  DRAFT_HEADER h = RecordAt<DRAFT_HEADER>(block, 0);
  if (h.dwLength != block.size()) return call.Fail(kBadRecord, "draft length field");
  return InTransaction(call, *context_->store, [&](sqlite3* db) {
    std::vector<uint8_t> stored = block;
    h.dwTime = static_cast<uint32_t>(NowSeconds(*context_));
    if (opnum == 99) {
      Stmt n(db, "SELECT COUNT(*) FROM store_drafts WHERE owner = ?");
      if (!n.Bind(1, std::string_view(user)) || n.Step() != SQLITE_ROW)
        return StoreFailure(call, db);
      if (static_cast<size_t>(n.Int(0)) >= limits_.max_drafts_per_user)
        return call.Fail(kTooMany, "too many drafts");
      Stmt s(db, "INSERT INTO store_drafts(owner, block, time) VALUES(?, x'', ?)");
      if (!s.Bind(1, std::string_view(user)) || !s.Bind(2, int64_t{h.dwTime}) ||
          s.Step() != SQLITE_DONE)
        return StoreFailure(call, db);
      h.dwDraftID = static_cast<uint32_t>(sqlite3_last_insert_rowid(db));
    }
    std::memcpy(stored.data(), &h, sizeof h);
    Stmt u(db, "UPDATE store_drafts SET block = ?, time = ? WHERE id = ? AND owner = ?");
    if (!u.BindBlob(1, stored) || !u.Bind(2, int64_t{h.dwTime}) || !u.Bind(3, int64_t{h.dwDraftID}) ||
        !u.Bind(4, std::string_view(user)) || u.Step() != SQLITE_DONE)
      return StoreFailure(call, db);
    if (sqlite3_changes(db) != 1) return call.Fail(kNotFound, "no draft " + std::to_string(h.dwDraftID));
    call.Note("draft " + std::to_string(h.dwDraftID) + ": " + std::to_string(size) + " bytes");
    return kOk;
  });
}

}  // namespace qz::faxd
