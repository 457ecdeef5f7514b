// binding_api_test.cc -- protocol sequences and the test seam, string
// binding compose/parse with escaping, handles from string bindings,
// endpoint resolution failures, frees, the computer name and the mapper
// port setting.
#include "rpc/binding_api.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "rpc/client.h"
#include "rpc/epm.h"
#include "rpc/rpc_test_util.h"
#include "rpc/server.h"
#include "rpc/transport.h"

namespace qz::rpc {
namespace {

TEST(Protseqs, RealVectorAndValidity) {
  std::vector<std::string> v;
  ASSERT_EQ(RpcNetworkInqProtseqs(&v), 0u);
  EXPECT_EQ(v, (std::vector<std::string>{"ncalrpc", "ncacn_ip_tcp"}));
  EXPECT_EQ(RpcNetworkIsProtseqValid("ncalrpc"), 0u);
  EXPECT_EQ(RpcNetworkIsProtseqValid("ncacn_ip_tcp"), 0u);
  EXPECT_EQ(RpcNetworkIsProtseqValid("ncacn_np"), status::kProtseqNotSupported);
  EXPECT_EQ(RpcNetworkIsProtseqValid("ncadg_ip_udp"), status::kProtseqNotSupported);
  EXPECT_EQ(RpcNetworkIsProtseqValid("nonsense"), status::kInvalidRpcProtseq);
  EXPECT_EQ(RpcNetworkIsProtseqValid("NCALRPC"), status::kInvalidRpcProtseq);
  EXPECT_EQ(RpcNetworkInqProtseqs(nullptr), status::kInvalidParameter);
}

TEST(Protseqs, TestSeamReplacesAndRestores) {
  SetProtseqsForTesting(std::vector<std::string>{"ncacn_np", "ncalrpc"});
  std::vector<std::string> v;
  RpcNetworkInqProtseqs(&v);
  EXPECT_EQ(v, (std::vector<std::string>{"ncacn_np", "ncalrpc"}));
  EXPECT_EQ(RpcNetworkIsProtseqValid("ncacn_np"), 0u);
  EXPECT_EQ(RpcNetworkIsProtseqValid("ncacn_ip_tcp"), status::kProtseqNotSupported);
  SetProtseqsForTesting(std::vector<std::string>{});
  RpcNetworkInqProtseqs(&v);
  EXPECT_TRUE(v.empty());
  SetProtseqsForTesting(std::nullopt);
  RpcNetworkInqProtseqs(&v);
  EXPECT_EQ(v.size(), 2u);
}

TEST(StringBinding, ComposeAndParse) {
  struct Case {
    const char* uuid;
    const char* protseq;
    const char* addr;
    const char* ep;
    const char* opts;
    const char* text;
  } cases[] = {
      {"", "ncacn_ip_tcp", "192.0.2.5", "49703", "", "ncacn_ip_tcp:192.0.2.5[49703]"},
      {"", "ncacn_ip_tcp", "HOST", "", "", "ncacn_ip_tcp:HOST"},
      {"", "ncalrpc", "", "epmapper", "", "ncalrpc:[epmapper]"},
      {"", "ncalrpc", "", "", "", "ncalrpc:"},
      {"0a382c88-ff39-419c-a696-022f6e695506", "ncacn_ip_tcp", "h", "135", "",
       "0a382c88-ff39-419c-a696-022f6e695506@ncacn_ip_tcp:h[135]"},
      {"", "ncacn_np", "\\\\srv", "\\pipe\\epmapper", "", "ncacn_np:\\\\\\\\srv[\\\\pipe\\\\epmapper]"},
      {"", "ncacn_ip_tcp", "fe80::1", "", "", "ncacn_ip_tcp:fe80\\:\\:1"},
      {"", "ncacn_http", "srv", "593", "RpcProxy=p:80", "ncacn_http:srv[593,RpcProxy=p:80]"},
      {"", "ncacn_ip_tcp", "a@b[c]", "", "", "ncacn_ip_tcp:a\\@b\\[c\\]"},
      // Found by fuzzing: an endpoint that starts like the keyword.
      {"", "ncalrpc", "", "endpoint=x", "", "ncalrpc:[endpoint=endpoint=x]"},
  };
  for (const Case& c : cases) {
    std::string s;
    ASSERT_EQ(RpcStringBindingCompose(c.uuid, c.protseq, c.addr, c.ep, c.opts, &s), 0u);
    EXPECT_EQ(s, c.text);
    std::string u, p, a, e, o;
    ASSERT_EQ(RpcStringBindingParse(s, &u, &p, &a, &e, &o), 0u) << s;
    EXPECT_EQ(u, c.uuid);
    EXPECT_EQ(p, c.protseq);
    EXPECT_EQ(a, c.addr) << s;
    EXPECT_EQ(e, c.ep) << s;
    EXPECT_EQ(o, c.opts) << s;
  }
}

TEST(StringBinding, TolerantParsing) {
  std::string u, p, a, e, o;
  // A backslash before a backslash escapes it; before other characters
  // (a pipe name's separators) it stays.
  ASSERT_EQ(RpcStringBindingParse("ncacn_np:\\\\srv[\\pipe\\x]", &u, &p, &a, &e, &o), 0u);
  EXPECT_EQ(a, "\\srv");
  EXPECT_EQ(e, "\\pipe\\x");
  ASSERT_EQ(RpcStringBindingParse("ncacn_ip_tcp:h[endpoint=135,opt=1]", &u, &p, &a, &e, &o), 0u);
  EXPECT_EQ(e, "135");
  EXPECT_EQ(o, "opt=1");
  ASSERT_EQ(RpcStringBindingParse("ncacn_ip_tcp:h[]", &u, &p, &a, &e, &o), 0u);
  EXPECT_EQ(e, "");
  const char* bad[] = {"", "ncacn_ip_tcp", ":host", "ncacn_ip_tcp:h[135", "ncacn_ip_tcp:h[1]x",
                       "ncacn_ip_tcp:h]", "not-a-uuid@ncacn_ip_tcp:h", "nca cn:h"};
  for (const char* s : bad)
    EXPECT_EQ(RpcStringBindingParse(s, &u, &p, &a, &e, &o), status::kInvalidStringBinding) << s;
}

TEST(BindingHandles, FromStringBindingAndFree) {
  BindingHandle h = nullptr;
  ASSERT_EQ(RpcBindingFromStringBinding("ncacn_ip_tcp:127.0.0.1[4000]", &h), 0u);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->protseq(), "ncacn_ip_tcp");
  EXPECT_EQ(h->network_address(), "127.0.0.1");
  EXPECT_EQ(h->endpoint(), "4000");
  // A binding with an endpoint needs no resolution.
  EXPECT_EQ(RpcEpResolveBinding(h, testing::EchoInterface()), 0u);
  EXPECT_EQ(RpcBindingFree(&h), 0u);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(RpcBindingFree(&h), status::kInvalidBinding);
  EXPECT_EQ(RpcBindingFree(nullptr), status::kInvalidBinding);
  EXPECT_EQ(RpcEpResolveBinding(nullptr, testing::EchoInterface()), status::kInvalidBinding);

  struct Bad {
    const char* text;
    uint32_t want;
  } bad[] = {{"ncacn_np:srv[\\pipe\\x]", status::kProtseqNotSupported},
             {"foo:bar", status::kInvalidRpcProtseq},
             {"ncacn_ip_tcp:h[http]", status::kInvalidEndpointFormat},
             {"ncacn_ip_tcp:h[70000]", status::kInvalidEndpointFormat},
             {"ncalrpc:[../x]", status::kInvalidEndpointFormat},
             {"ncacn_ip_tcp:h[1", status::kInvalidStringBinding}};
  for (const Bad& b : bad) {
    h = nullptr;
    EXPECT_EQ(RpcBindingFromStringBinding(b.text, &h), b.want) << b.text;
    EXPECT_EQ(h, nullptr);
  }
}

TEST(BindingHandles, ResolveWithoutMapperIsServerUnavailable) {
  // A free port with nothing listening stands in for an absent mapper.
  int err = 0;
  auto l = ListenTcpSocket("127.0.0.1", 0, &err);
  ASSERT_NE(l, nullptr);
  std::string port = std::to_string(l->port());
  l.reset();
  setenv("QZRPC_EPM_PORT", port.c_str(), 1);
  BindingHandle h = nullptr;
  ASSERT_EQ(RpcBindingFromStringBinding("ncacn_ip_tcp:127.0.0.1", &h), 0u);
  EXPECT_EQ(RpcEpResolveBinding(h, testing::EchoInterface()), status::kServerUnavailable);
  EXPECT_EQ(h->endpoint(), "");
  RpcBindingFree(&h);
  unsetenv("QZRPC_EPM_PORT");
}

TEST(Settings, EndpointMapperPortFromEnvironment) {
  unsetenv("QZRPC_EPM_PORT");
  EXPECT_EQ(EndpointMapperPort(), 135);
  struct Case {
    const char* value;
    uint16_t want;
  } cases[] = {{"1135", 1135}, {"65535", 65535}, {"0", 135}, {"65536", 135},
               {"12x", 135},   {"", 135},        {"-5", 135}};
  for (const Case& c : cases) {
    setenv("QZRPC_EPM_PORT", c.value, 1);
    EXPECT_EQ(EndpointMapperPort(), c.want) << c.value;
  }
  unsetenv("QZRPC_EPM_PORT");
}

TEST(Settings, LocalRpcDirectoryIsOwnerOnly) {
  char tmpl[] = "/tmp/qzrpc-dir-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string want = std::string(tmpl) + "/sub";
  setenv("QZRPC_LRPC_DIR", want.c_str(), 1);
  EXPECT_EQ(LocalRpcDirectory(), want);
  EXPECT_EQ(LocalRpcSearchPath(), std::vector<std::string>{want});
  ASSERT_EQ(PrepareLocalDirectory(want), 0);
  struct stat st;
  ASSERT_EQ(stat(want.c_str(), &st), 0);
  // Root's directory serves every local user; anyone else's is private.
  EXPECT_EQ(st.st_mode & 0777, geteuid() == 0 ? 0755u : 0700u);
  // A directory others may write to is neither served from nor trusted.
  chmod(want.c_str(), 0770);
  EXPECT_EQ(PrepareLocalDirectory(want), EPERM);
  EXPECT_EQ(TrustedLocalDirectory(want), EPERM);
  chmod(want.c_str(), 0750);
  EXPECT_EQ(PrepareLocalDirectory(want), 0);
  EXPECT_EQ(TrustedLocalDirectory(want), 0);
  unsetenv("QZRPC_LRPC_DIR");
  if (geteuid() == 0) {
    EXPECT_EQ(LocalRpcDirectory(), "/run/qzrpc");
    EXPECT_EQ(LocalRpcSearchPath(), std::vector<std::string>{"/run/qzrpc"});
  } else {
    EXPECT_EQ(LocalRpcSearchPath().back(), "/run/qzrpc");
    EXPECT_EQ(LocalRpcSearchPath().front(), LocalRpcDirectory());
  }
  rmdir(want.c_str());
  rmdir(tmpl);
}

TEST(Settings, ProtseqOrderFromEnvironment) {
  struct Case {
    const char* value;  // null: unset
    std::vector<std::string> want;
  } cases[] = {
      {nullptr, {"ncalrpc", "ncacn_ip_tcp"}},
      {"ncacn_ip_tcp", {"ncacn_ip_tcp"}},
      {"ncacn_ip_tcp,ncalrpc", {"ncacn_ip_tcp", "ncalrpc"}},
      {" ncacn_ip_tcp  ncalrpc,ncacn_ip_tcp", {"ncacn_ip_tcp", "ncalrpc"}},
      {"ncacn_np,ncalrpc", {"ncalrpc"}},  // unsupported names are dropped
      {"nonsense", {"ncalrpc", "ncacn_ip_tcp"}},
      {"", {"ncalrpc", "ncacn_ip_tcp"}},
  };
  for (const Case& c : cases) {
    if (c.value) setenv("QZRPC_PROTSEQS", c.value, 1);
    else unsetenv("QZRPC_PROTSEQS");
    std::vector<std::string> v;
    ASSERT_EQ(RpcNetworkInqProtseqs(&v), 0u);
    EXPECT_EQ(v, c.want) << (c.value ? c.value : "(unset)");
    // A sequence the setting leaves out is not usable either.
    const bool local = std::find(c.want.begin(), c.want.end(), "ncalrpc") != c.want.end();
    EXPECT_EQ(RpcNetworkIsProtseqValid("ncalrpc"), local ? 0u : status::kProtseqNotSupported);
  }
  unsetenv("QZRPC_PROTSEQS");
}

// A client refuses an ncalrpc endpoint that someone other than root or
// itself could have planted, with "access denied" rather than calling it.
TEST(LocalEndpoint, UntrustedDirectoryOrSocketIsRefused) {
  char tmpl[] = "/tmp/qzrpc-trust-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = std::string(tmpl) + "/lrpc";
  setenv("QZRPC_LRPC_DIR", dir.c_str(), 1);
  testing::EchoDispatcher echo;
  Server server;
  server.RegisterInterface(testing::EchoInterface(), &echo);
  ASSERT_TRUE(server.ListenLocal("echo"));
  server.Start();
  const std::string sock = dir + "/echo";
  const std::string link = std::string(tmpl) + "/link";
  ASSERT_EQ(symlink(dir.c_str(), link.c_str()), 0);
  const bool root = geteuid() == 0;
  struct Case {
    const char* name;
    bool needs_root;
    const char* lrpc_dir;  // null: dir
    mode_t dir_mode;
    uid_t dir_owner, sock_owner;  // 0 here means "ours"
    uint32_t want;
  } cases[] = {
      {"own directory 0755", false, nullptr, 0755, 0, 0, 0},
      {"own directory 0700", false, nullptr, 0700, 0, 0, 0},
      {"group may write", false, nullptr, 0775, 0, 0, status::kAccessDenied},
      {"others may write", false, nullptr, 0757, 0, 0, status::kAccessDenied},
      {"directory is a link", false, link.c_str(), 0755, 0, 0, status::kAccessDenied},
      {"directory of another user", true, nullptr, 0755, 65534, 0, status::kAccessDenied},
      {"socket of another user", true, nullptr, 0755, 0, 65534, status::kAccessDenied},
  };
  for (const Case& c : cases) {
    if (c.needs_root && !root) continue;
    SCOPED_TRACE(c.name);
    setenv("QZRPC_LRPC_DIR", c.lrpc_dir ? c.lrpc_dir : dir.c_str(), 1);
    ASSERT_EQ(chmod(dir.c_str(), c.dir_mode), 0);
    ASSERT_EQ(lchown(dir.c_str(), c.dir_owner ? c.dir_owner : geteuid(), -1), 0);
    ASSERT_EQ(lchown(sock.c_str(), c.sock_owner ? c.sock_owner : geteuid(), -1), 0);
    Binding b("ncalrpc", "", "echo");
    const uint8_t stub[4] = {1, 2, 3, 4};
    uint32_t got = 0;
    try {
      Reply r = b.Call(testing::EchoInterface(), 0, stub);
      EXPECT_EQ(r.stub.size(), 4u);
    } catch (const RpcException& e) {
      got = e.code();
    }
    EXPECT_EQ(got, c.want);
  }
  if (!root) GTEST_LOG_(INFO) << "not root: the other-owner cases were skipped";
  server.Stop();
  unsetenv("QZRPC_LRPC_DIR");
  unlink(link.c_str());
  unlink(sock.c_str());
  rmdir(dir.c_str());
  rmdir(tmpl);
}

TEST(ComputerName, AtMostFifteenCharacters) {
  std::string name;
  ASSERT_EQ(GetComputerName(&name), 0u);
  EXPECT_FALSE(name.empty());
  EXPECT_LE(name.size(), 15u);
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  EXPECT_EQ(std::string(host).substr(0, 15), name);
  EXPECT_EQ(GetComputerName(nullptr), status::kInvalidParameter);
}

}  // namespace
}  // namespace qz::rpc
