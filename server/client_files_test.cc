// client_files_test.cc -- client-named files: the spool jail over TCP and
// the peer's identity over ncalrpc.
#include "server/client_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace qz::faxd {
namespace {

namespace fs = std::filesystem;

class Dir {
 public:
  Dir() {
    std::string t = (fs::temp_directory_path() / "qzfiles.XXXXXX").string();
    path_ = mkdtemp(t.data());
    chmod(path_.c_str(), 0755);
  }
  ~Dir() { fs::remove_all(path_); }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void Write(const std::string& p, mode_t mode) {
  std::ofstream(p) << "x";
  chmod(p.c_str(), mode);
}

rpc::CallContext Tcp() {
  rpc::CallContext c;
  c.protseq = "ncacn_ip_tcp";
  return c;
}
rpc::CallContext Local(uint32_t uid, uint32_t gid) {
  rpc::CallContext c;
  c.protseq = "ncalrpc";
  c.has_peer_credentials = true;
  c.peer_uid = uid;
  c.peer_gid = gid;
  return c;
}

int OpenErr(const rpc::CallContext& who, const std::string& spool, const std::string& path,
            int flags = O_RDONLY) {
  ClientFile f = OpenClientFileAs(who, spool, path, flags);
  if (f.fd >= 0) {
    EXPECT_EQ(fcntl(f.fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC) << path;
    close(f.fd);
  }
  return f.fd >= 0 ? 0 : f.error;
}

TEST(ClientFiles, TcpPathsStayInsideTheSpool) {
  Dir root;
  fs::create_directories(root / "spool/sub");
  fs::create_directories(root / "outside");
  Write(root / "spool/ok.tif", 0644);
  Write(root / "spool/sub/inner.tif", 0644);
  Write(root / "outside/x.tif", 0644);
  fs::create_symlink(root / "outside/x.tif", root / "spool/link.tif");
  fs::create_symlink(root / "outside", root / "spool/dirlink");
  const std::string spool = root / "spool";
  struct Case {
    std::string path;
    int error;
  } cases[] = {
      {"ok.tif", 0},
      {"sub/inner.tif", 0},
      {spool + "/ok.tif", 0},
      {spool + "/sub/inner.tif", 0},
      {"missing.tif", ENOENT},
      {"../outside/x.tif", EACCES},
      {"sub/../ok.tif", EACCES},
      {"sub/..", EACCES},
      {"link.tif", EACCES},
      {"dirlink/x.tif", EACCES},
      {root / "outside/x.tif", EACCES},
      {spool, EACCES},            // the spool itself names no file in it
      {spool + "x/ok.tif", EACCES},  // a sibling that shares the prefix
      {"", EINVAL},
      {std::string(kMaxClientPath + 1, 'a'), EINVAL},
  };
  for (const Case& c : cases) EXPECT_EQ(OpenErr(Tcp(), spool, c.path), c.error) << c.path;
  // Without a spool directory nothing is open to TCP callers.
  EXPECT_EQ(OpenErr(Tcp(), "", "ok.tif"), EACCES);
  // A file created there is the server's, with the mode asked for.
  ClientFile made = OpenClientFileAs(Tcp(), spool, "sub/new.tif", O_WRONLY | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(made.fd, 0);
  close(made.fd);
  struct stat st;
  ASSERT_EQ(stat((root / "spool/sub/new.tif").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(ClientFiles, LocalPathsMustBeAbsoluteAndNeedCredentials) {
  Dir d;
  Write(d / "f.tif", 0644);
  rpc::CallContext anon = Local(geteuid(), getegid());
  anon.has_peer_credentials = false;
  EXPECT_EQ(OpenErr(anon, "", d / "f.tif"), EACCES);
  EXPECT_EQ(OpenErr(Local(geteuid(), getegid()), "", "f.tif"), EINVAL);
  EXPECT_EQ(OpenErr(Local(geteuid(), getegid()), "", d / "f.tif"), 0);
}

TEST(ClientFiles, LocalCallerOpensWithItsOwnIdentity) {
  Dir d;
  Write(d / "secret.tif", 0600);
  Write(d / "public.tif", 0644);
  if (geteuid() != 0) {
    // Unprivileged: the server cannot act as anybody else.
    EXPECT_EQ(OpenErr(Local(geteuid() + 1, getegid()), "", d / "public.tif"), EACCES);
    GTEST_SKIP() << "identity switch needs root; run the suite as root to cover it";
  }
  const uint32_t nobody = 65534;
  fs::create_directories(d / "mine");
  ASSERT_EQ(chown((d / "mine").c_str(), nobody, nobody), 0);
  EXPECT_EQ(OpenErr(Local(nobody, nobody), "", d / "secret.tif"), EACCES);
  EXPECT_EQ(OpenErr(Local(nobody, nobody), "", d / "public.tif"), 0);
  EXPECT_EQ(OpenErr(Local(nobody, nobody), "", d / "public.tif", O_WRONLY), EACCES);
  EXPECT_EQ(OpenErr(Local(0, 0), "", d / "secret.tif"), 0);
  ClientFile made = OpenClientFileAs(Local(nobody, nobody), "", d / "mine/out.tif",
                                     O_WRONLY | O_CREAT | O_EXCL, 0640);
  ASSERT_GE(made.fd, 0) << made.error;
  close(made.fd);
  struct stat st;
  ASSERT_EQ(stat((d / "mine/out.tif").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, nobody);
  EXPECT_EQ(st.st_gid, nobody);
  // The thread is itself again: its own identity and groups.
  EXPECT_EQ(static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))), 0u);
  EXPECT_EQ(static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1))), 0u);
  int fd = open((d / "secret.tif").c_str(), O_RDONLY);
  EXPECT_GE(fd, 0);
  if (fd >= 0) close(fd);
}

TEST(ClientFiles, StatusesOfFailedOpens) {
  EXPECT_EQ(ClientFileStatus(ENOENT), AsResult(kNoSuchFile));
  EXPECT_EQ(ClientFileStatus(EACCES), AsResult(kFileDenied));
  EXPECT_EQ(ClientFileStatus(ENOSPC), AsResult(kFileFailure));
}

}  // namespace
}  // namespace qz::faxd
