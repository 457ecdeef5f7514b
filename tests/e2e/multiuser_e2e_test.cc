// End to end across OS users: qzfaxd run by root serves a local client of
// another uid over ncalrpc, which the server identifies by its peer
// credentials and maps to that account's own fax user; the same client
// told to use TCP only (QZRPC_PROTSEQS) arrives as the TCP user instead.
// Needs root (to run the client as "nobody"); skipped otherwise.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/scripted_server.h"

namespace {

struct Outcome {
  int exit_code = -1;
  std::string out;
};

// Runs the login client as uid/gid `id` in `cwd` with `env`.
Outcome RunClientAs(uid_t id, const std::string& cwd, std::vector<std::string> env) {
  std::vector<char*> envp;
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  char exe[] = QZ_E2E_LOGIN_CLIENT;
  char* argv[] = {exe, nullptr};
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(p[1], 1);
    if (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0 || chdir(cwd.c_str()) != 0)
      _exit(126);
    execve(exe, argv, envp.data());
    _exit(127);
  }
  close(p[1]);
  Outcome o;
  char buf[256];
  ssize_t n;
  while ((n = read(p[0], buf, sizeof buf)) > 0) o.out.append(buf, static_cast<size_t>(n));
  close(p[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  o.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return o;
}

TEST(MultiUserE2E, LocalClientOfAnotherUidIsItsOwnUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: runs qzfaxd as root and a client as nobody";
  qz::test_support::FaxdProcess faxd;
  std::string error;
  ASSERT_TRUE(faxd.Start(&error)) << error;
  // The test's scratch directory doubles as the ncalrpc directory: root's
  // own, searchable by everyone, as the system directory is.
  ASSERT_EQ(chmod(faxd.directory().c_str(), 0755), 0);
  struct stat st;
  ASSERT_EQ(stat((faxd.directory() + "/epmapper").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);  // any local user may connect

  const uid_t nobody = 65534;
  const std::string cwd = faxd.directory() + "/nobody";
  ASSERT_EQ(mkdir(cwd.c_str(), 0700), 0);
  ASSERT_EQ(chown(cwd.c_str(), nobody, nobody), 0);
  struct Case {
    const char* name;
    uid_t uid;
    const char* protseqs;  // null: the runtime's order (ncalrpc first)
    const char* user;
  } cases[] = {
      {"nobody over ncalrpc", nobody, nullptr, "nobody"},
      {"nobody over TCP only: the TCP user, without rights", nobody, "ncacn_ip_tcp", "guest"},
      {"root over ncalrpc", 0, nullptr, "admin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> env = {"QZRPC_LRPC_DIR=" + faxd.directory(),
                                    "QZRPC_EPM_PORT=" + std::to_string(faxd.epm_port()),
                                    "PATH=/usr/bin:/bin"};
    if (c.protseqs) env.push_back(std::string("QZRPC_PROTSEQS=") + c.protseqs);
    Outcome o = RunClientAs(c.uid, c.uid == 0 ? faxd.directory() : cwd, env);
    EXPECT_EQ(o.exit_code, 0) << o.out << faxd.ReadLog();
    EXPECT_EQ(o.out, std::string("login=00000001 user=") + c.user + "\n");
  }
  // The server saw the other user's own uid through the socket.
  EXPECT_NE(faxd.ReadLog().find("ncalrpc uid=65534"), std::string::npos) << faxd.ReadLog();
  faxd.Stop();
}

}  // namespace
