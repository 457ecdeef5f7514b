// client_test.cc -- end-to-end calls of our client against our server over
// TCP (IPv4, IPv6) and ncalrpc: echo, fragmentation in both directions at
// small and large fragment sizes, faults, dropped connections, refused
// connections, caps and concurrent calls on one binding.
#include "rpc/client.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "rpc/client_connection.h"
#include "rpc/rpc_test_util.h"
#include "rpc/server.h"

namespace qz::rpc {
namespace {

using testing::EchoDispatcher;
using testing::EchoInterface;
using testing::Pattern;

uint32_t CodeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const RpcException& e) {
    return e.code();
  }
  return 0;
}

class ClientServerTest : public ::testing::Test {
 protected:
  void StartServer(ServerSettings s = {}) {
    server_ = std::make_unique<Server>(s);
    server_->RegisterInterface(EchoInterface(), &echo_);
    port_ = server_->ListenTcp("127.0.0.1", 0);
    ASSERT_NE(port_, 0);
    server_->Start();
  }
  void SetUp() override { saved_ = GetClientSettings(); }
  void TearDown() override {
    if (server_) server_->Stop();
    GetClientSettings() = saved_;
  }
  std::unique_ptr<Binding> Tcp() {
    return std::make_unique<Binding>("ncacn_ip_tcp", "127.0.0.1", std::to_string(port_));
  }
  EchoDispatcher echo_;
  std::unique_ptr<Server> server_;
  uint16_t port_ = 0;
  ClientSettings saved_;
};

TEST_F(ClientServerTest, EchoOverTcp) {
  StartServer();
  auto b = Tcp();
  std::vector<uint8_t> in = {1, 2, 3, 4, 5};
  Reply r = b->Call(EchoInterface(), 0, in);
  EXPECT_EQ(r.stub, in);
  EXPECT_TRUE(r.drep.little_endian());
  // Empty stubs both ways.
  EXPECT_TRUE(b->Call(EchoInterface(), 0, {}).stub.empty());
}

TEST_F(ClientServerTest, EchoOverIpv6Loopback) {
  server_ = std::make_unique<Server>();
  server_->RegisterInterface(EchoInterface(), &echo_);
  port_ = server_->ListenTcp("::1", 0);
  if (port_ == 0) GTEST_SKIP() << "no IPv6 loopback here";
  server_->Start();
  Binding b("ncacn_ip_tcp", "::1", std::to_string(port_));
  std::vector<uint8_t> in = Pattern(100);
  EXPECT_EQ(b.Call(EchoInterface(), 0, in).stub, in);
}

TEST_F(ClientServerTest, LocalRpcCarriesPeerCredentials) {
  ServerSettings s;
  char tmpl[] = "/tmp/qzrpc-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  setenv("QZRPC_LRPC_DIR", tmpl, 1);
  server_ = std::make_unique<Server>(s);
  server_->RegisterInterface(EchoInterface(), &echo_);
  ASSERT_TRUE(server_->ListenLocal("LRPC-echo"));
  server_->Start();
  struct stat st;
  ASSERT_EQ(stat((std::string(tmpl) + "/LRPC-echo").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);  // the directory decides who reaches it
  Binding b("ncalrpc", "", "LRPC-echo");
  std::vector<uint8_t> in = Pattern(10000);
  EXPECT_EQ(b.Call(EchoInterface(), 0, in).stub, in);
  EXPECT_TRUE(echo_.last_has_creds.load());
  EXPECT_EQ(echo_.last_ctx_uid.load(), getuid());
  server_->Stop();
  server_.reset();
  // A directory others may write to is refused for endpoints.
  chmod(tmpl, 0775);
  Server open_dir;
  EXPECT_FALSE(open_dir.ListenLocal("LRPC-open"));
  unsetenv("QZRPC_LRPC_DIR");
  rmdir(tmpl);
}

// After fork() the child must not use its parent's pooled connection (the
// two would interleave on one stream) nor shut it down when it lets go of
// it: the child's calls arrive from the child on a connection of its own,
// and the parent's next call still travels on its original connection.
TEST_F(ClientServerTest, ForkedChildAbandonsInheritedConnections) {
  char tmpl[] = "/tmp/qzrpc-fork-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  setenv("QZRPC_LRPC_DIR", tmpl, 1);
  server_ = std::make_unique<Server>();
  server_->RegisterInterface(EchoInterface(), &echo_);
  ASSERT_TRUE(server_->ListenLocal("echo"));
  server_->Start();
  auto b = std::make_unique<Binding>("ncalrpc", "", "echo");
  const std::vector<uint8_t> in = {7, 7, 7};
  ASSERT_EQ(b->Call(EchoInterface(), 0, in).stub, in);
  const uint64_t parent_connection = echo_.last_connection_id.load();
  EXPECT_EQ(echo_.last_ctx_pid.load(), static_cast<uint32_t>(getpid()));

  pid_t child = fork();
  if (child == 0) {
    int code = 0;
    try {
      if (b->Call(EchoInterface(), 0, in).stub != in) code = 2;
    } catch (...) {
      code = 3;
    }
    b.reset();  // lets go of the inherited connection
    _exit(code);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The dispatcher runs in this process, so it saw the child's call.
  EXPECT_EQ(echo_.last_ctx_pid.load(), static_cast<uint32_t>(child));
  EXPECT_NE(echo_.last_connection_id.load(), parent_connection);

  ASSERT_EQ(b->Call(EchoInterface(), 0, in).stub, in);
  EXPECT_EQ(echo_.last_connection_id.load(), parent_connection);
  EXPECT_EQ(echo_.last_ctx_pid.load(), static_cast<uint32_t>(getpid()));
  b.reset();
  server_->Stop();
  unsetenv("QZRPC_LRPC_DIR");
  unlink((std::string(tmpl) + "/echo").c_str());
  rmdir(tmpl);
}

// Fragmentation both ways: tiny (1432) and maximal fragments, stubs of
// several MiB, sizes not multiples of 8.
struct FragCase {
  uint16_t client_frag;
  uint16_t server_frag;
  size_t bytes;
};

class FragmentationTest : public ClientServerTest,
                          public ::testing::WithParamInterface<FragCase> {};

TEST_P(FragmentationTest, RoundTrip) {
  ServerSettings s;
  s.max_frag = GetParam().server_frag;
  s.max_request_bytes = 8u << 20;
  StartServer(s);
  GetClientSettings().proposed_frag = GetParam().client_frag;
  auto b = Tcp();
  std::vector<uint8_t> in = Pattern(GetParam().bytes);
  EXPECT_EQ(b->Call(EchoInterface(), 0, in).stub, in);
  uint32_t n = static_cast<uint32_t>(GetParam().bytes);
  std::vector<uint8_t> req(4);
  std::memcpy(req.data(), &n, 4);
  EXPECT_EQ(b->Call(EchoInterface(), 1, req).stub, Pattern(n));
}

INSTANTIATE_TEST_SUITE_P(Sizes, FragmentationTest,
                         ::testing::Values(FragCase{1432, 65528, 1409}, FragCase{1432, 1432, 3001},
                                           FragCase{65528, 1432, 100003},
                                           FragCase{1432, 1432, (3u << 20) + 5},
                                           FragCase{65528, 65528, (6u << 20) + 3},
                                           FragCase{5840, 4280, 1u << 20},
                                           FragCase{0, 65528, 70000}));

// A binding shared by threads: one completes it (as the endpoint mapper
// does) while another reads its endpoint. Run under ThreadSanitizer this
// was a data race on the string; a torn read shows here in any build.
TEST(BindingThreadsTest, EndpointIsReadWhileAnotherThreadSetsIt) {
  Binding b("ncacn_ip_tcp", "127.0.0.1", "135");
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 20000; ++i) b.set_endpoint(i % 2 ? "135" : "a-much-longer-endpoint-49152");
    done = true;
  });
  int torn = 0;
  while (!done) {
    const std::string e = b.endpoint();
    torn += e != "135" && e != "a-much-longer-endpoint-49152";
  }
  writer.join();
  EXPECT_EQ(torn, 0);
}

TEST_F(ClientServerTest, FaultsMapToWin32Statuses) {
  StartServer();
  auto b = Tcp();
  struct Case {
    uint32_t fault;
    uint32_t want;
  } cases[] = {{0x1C010002, 1745}, {0x1C010003, 1717}, {0x6F7, 1783}, {5, 5},
               {0x1C01000B, 1728}, {0x1C00001A, 6},    {0x80070057, 0x80070057}};
  for (const Case& c : cases) {
    std::vector<uint8_t> stub(4);
    std::memcpy(stub.data(), &c.fault, 4);
    EXPECT_EQ(CodeOf([&] { b->Call(EchoInterface(), 2, stub); }), c.want) << std::hex << c.fault;
  }
  // The binding still works after faults.
  EXPECT_EQ(b->Call(EchoInterface(), 0, std::vector<uint8_t>{9}).stub, std::vector<uint8_t>{9});
}

TEST_F(ClientServerTest, RuntimeFaults) {
  StartServer();
  auto b = Tcp();
  EXPECT_EQ(CodeOf([&] { b->Call(EchoInterface(), 77, {}); }), status::kProcnumOutOfRange);
  SyntaxId other{*Uuid::Parse("11111111-2222-3333-4444-555555555555"), 1, 0};
  EXPECT_EQ(CodeOf([&] { b->Call(other, 0, {}); }), status::kUnknownIf);
  SyntaxId newer = EchoInterface();
  newer.minor = 5;  // a newer minor version than the server has
  EXPECT_EQ(CodeOf([&] { b->Call(newer, 0, {}); }), status::kUnknownIf);
  // Handler exception: a fault the client reports as call failed.
  EXPECT_EQ(CodeOf([&] { b->Call(EchoInterface(), 5, {}); }), status::kCallFailed);
  EXPECT_EQ(b->Call(EchoInterface(), 0, std::vector<uint8_t>{7}).stub, std::vector<uint8_t>{7});
}

TEST_F(ClientServerTest, DroppedConnectionIsCallFailed) {
  StartServer();
  auto b = Tcp();
  EXPECT_EQ(CodeOf([&] { b->Call(EchoInterface(), 3, {}); }), status::kCallFailed);
  // A fresh connection serves the next call.
  EXPECT_EQ(b->Call(EchoInterface(), 0, std::vector<uint8_t>{1}).stub, std::vector<uint8_t>{1});
}

TEST_F(ClientServerTest, IdleConnectionsToARestartedServerAreReplaced) {
  StartServer();
  auto b = Tcp();
  std::vector<uint8_t> in = {1, 2, 3};
  EXPECT_EQ(b->Call(EchoInterface(), 0, in).stub, in);
  server_->Stop();
  server_ = std::make_unique<Server>();
  server_->RegisterInterface(EchoInterface(), &echo_);
  ASSERT_EQ(server_->ListenTcp("127.0.0.1", port_), port_);
  server_->Start();
  EXPECT_EQ(b->Call(EchoInterface(), 0, in).stub, in);
}

TEST_F(ClientServerTest, RefusedConnectionIsServerUnavailable) {
  StartServer();
  uint16_t port = port_;
  server_->Stop();
  server_.reset();
  Binding b("ncacn_ip_tcp", "127.0.0.1", std::to_string(port));
  EXPECT_EQ(CodeOf([&] { b.Call(EchoInterface(), 0, {}); }), status::kServerUnavailable);
  Binding l("ncalrpc", "", "no-such-endpoint-here");
  EXPECT_EQ(CodeOf([&] { l.Call(EchoInterface(), 0, {}); }), status::kServerUnavailable);
}

TEST_F(ClientServerTest, RequestCapFaultsWithAccessDenied) {
  ServerSettings s;
  s.max_request_bytes = 100000;
  StartServer(s);
  auto b = Tcp();
  EXPECT_EQ(CodeOf([&] { b->Call(EchoInterface(), 0, Pattern(100001)); }), status::kAccessDenied);
  EXPECT_EQ(b->Call(EchoInterface(), 0, Pattern(100000)).stub.size(), 100000u);
}

TEST_F(ClientServerTest, ReplyCapFailsTheCall) {
  StartServer();
  GetClientSettings().max_reply_bytes = 50000;
  auto b = Tcp();
  uint32_t n = 50001;
  std::vector<uint8_t> req(4);
  std::memcpy(req.data(), &n, 4);
  EXPECT_EQ(CodeOf([&] { b->Call(EchoInterface(), 1, req); }), status::kOutOfMemory);
  n = 50000;
  std::memcpy(req.data(), &n, 4);
  EXPECT_EQ(b->Call(EchoInterface(), 1, req).stub.size(), 50000u);
}

TEST_F(ClientServerTest, ConcurrentCallsRunSideBySide) {
  StartServer();
  auto b = Tcp();
  constexpr int kThreads = 6;
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      for (int k = 0; k < 5; ++k) {
        uint32_t ms = 30;
        std::vector<uint8_t> stub(8 + i * 1000 + k);
        std::memcpy(stub.data(), &ms, 4);
        stub[5] = static_cast<uint8_t>(i);
        if (b->Call(EchoInterface(), 4, stub).stub == stub) ok.fetch_add(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok.load(), kThreads * 5);
  // Calls overlapped in the server: not serialised behind one connection.
  EXPECT_GE(echo_.max_concurrent.load(), 2);
}

// More threads than a binding may use connections: every call succeeds,
// the others wait for a connection instead of opening one each.
TEST_F(ClientServerTest, ThreadsBeyondTheConnectionBoundWaitTheirTurn) {
  StartServer();
  auto b = Tcp();
  constexpr int kThreads = 24;
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      uint32_t ms = 40;
      std::vector<uint8_t> stub(8);
      std::memcpy(stub.data(), &ms, 4);
      for (int k = 0; k < 2; ++k)
        if (b->Call(EchoInterface(), 4, stub).stub == stub) ok.fetch_add(1);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok.load(), kThreads * 2);
  EXPECT_LE(echo_.max_concurrent.load(), 16);
  EXPECT_GE(echo_.max_concurrent.load(), 2);
}

}  // namespace
}  // namespace qz::rpc

// ---------------------------------------------------------------------------
// Hostile and unusual servers, scripted over an in-memory transport.

namespace qz::rpc {
namespace {

class ScriptedServerTest : public ::testing::Test {
 protected:
  using Script = std::function<void(Transport&)>;
  // Runs `script` as the server side; returns the client connection.
  std::unique_ptr<ClientConnection> Start(Script script, ClientSettings s = {}) {
    auto [client, server] = MakeMemoryPair();
    server_end_ = std::move(server);
    thread_ = std::thread([this, script] { script(*server_end_); });
    if (s.receive_timeout_ms == ClientSettings{}.receive_timeout_ms) s.receive_timeout_ms = 10000;
    return std::make_unique<ClientConnection>(std::move(client), s, 0);
  }
  // A script that answers the first call: after the bind, `reply` gets the
  // transport and the call's id (it is not run when no request comes).
  std::unique_ptr<ClientConnection> StartReplying(std::function<void(Transport&, uint32_t)> reply,
                                                  ClientSettings s = {}) {
    return Start(
        [reply](Transport& t) {
          Ack(t);
          PduHeader h;
          if (Read(t, &h).empty()) return;
          reply(t, h.call_id);
        },
        s);
  }
  void TearDown() override { StopScript(); }
  void StopScript() {
    if (server_end_) server_end_->Shutdown();
    if (thread_.joinable()) thread_.join();
  }
  // Declared after the locals a script uses by reference: joins the script
  // before they go away, even when the call under test throws.
  struct JoinGuard {
    ScriptedServerTest* f;
    ~JoinGuard() { f->StopScript(); }
  };
  static std::vector<uint8_t> Read(Transport& t, PduHeader* h = nullptr) {
    std::vector<uint8_t> pdu;
    PduHeader tmp;
    if (ReceivePdu(t, 65535, 10000, &pdu, h ? h : &tmp) != RecvStatus::kOk) return {};
    return pdu;
  }
  // Reads the bind and acknowledges it (context accepted).
  static void Ack(Transport& t, Drep drep = Drep::Little(), uint16_t result = 0,
                  uint16_t reason = 0) {
    PduHeader h;
    if (Read(t, &h).empty()) return;
    BindAckPdu a;
    a.hdr.type = ptype::kBindAck;
    a.hdr.call_id = h.call_id;
    a.hdr.drep = drep;
    a.max_xmit_frag = a.max_recv_frag = 1432;
    a.assoc_group_id = 0x55;
    a.sec_addr = "135";
    a.results.push_back(ContextResult{result, reason, result == 0 ? NdrSyntax() : SyntaxId{}});
    t.SendAll(EncodeBindAck(a));
  }
  static std::vector<uint8_t> Response(uint32_t call_id, std::span<const uint8_t> stub,
                                       uint8_t flags = 3, Drep drep = Drep::Little(),
                                       uint32_t alloc_hint = 0, uint16_t context_id = 0) {
    ResponsePdu r;
    r.context_id = context_id;
    r.hdr.type = ptype::kResponse;
    r.hdr.flags = flags;
    r.hdr.call_id = call_id;
    r.hdr.drep = drep;
    r.alloc_hint = alloc_hint;
    r.stub = stub;
    return EncodeResponse(r);
  }
  std::unique_ptr<Transport> server_end_;
  std::thread thread_;
};

uint32_t CallCode(ClientConnection& c, std::span<const uint8_t> stub = {}) {
  return CodeOf([&] { c.Call(EchoInterface(), 0, stub); });
}

TEST_F(ScriptedServerTest, BindRejections) {
  struct Case {
    const char* name;
    std::function<void(Transport&)> script;
    uint32_t want;
  } cases[] = {
      {"abstract syntax", [](Transport& t) { Ack(t, Drep::Little(), 2, 1); }, 1717},
      {"transfer syntax", [](Transport& t) { Ack(t, Drep::Little(), 2, 2); }, 1730},
      {"user rejection", [](Transport& t) { Ack(t, Drep::Little(), 1, 0); }, 1727},
      {"nak version",
       [](Transport& t) {
         PduHeader h;
         Read(t, &h);
         BindNakPdu n;
         n.hdr.type = ptype::kBindNak;
         n.hdr.call_id = h.call_id;
         n.reason = 4;
         t.SendAll(EncodeBindNak(n));
       },
       1728},
      {"nak congestion",
       [](Transport& t) {
         PduHeader h;
         Read(t, &h);
         BindNakPdu n;
         n.hdr.type = ptype::kBindNak;
         n.hdr.call_id = h.call_id;
         n.reason = 1;
         t.SendAll(EncodeBindNak(n));
       },
       1723},
      {"closed before ack", [](Transport& t) { Read(t); t.Shutdown(); }, 1727},
      {"ack with wrong call id",
       [](Transport& t) {
         Read(t);
         BindAckPdu a;
         a.hdr.type = ptype::kBindAck;
         a.hdr.call_id = 99;
         a.results.push_back({});
         t.SendAll(EncodeBindAck(a));
       },
       1728},
      {"ack without results",
       [](Transport& t) {
         PduHeader h;
         Read(t, &h);
         BindAckPdu a;
         a.hdr.type = ptype::kBindAck;
         a.hdr.call_id = h.call_id;
         t.SendAll(EncodeBindAck(a));
       },
       1728},
      {"short ack",
       [](Transport& t) {
         PduHeader h;
         Read(t, &h);
         BindAckPdu a;
         a.hdr.type = ptype::kBindAck;
         a.hdr.call_id = h.call_id;
         a.results.push_back({});
         auto v = EncodeBindAck(a);
         v.resize(40);
         v[8] = 40;
         t.SendAll(v);
       },
       1728},
      {"response instead of ack",
       [](Transport& t) {
         PduHeader h;
         Read(t, &h);
         t.SendAll(Response(h.call_id, {}));
       },
       1728},
  };
  for (const Case& c : cases) {
    auto conn = Start(c.script);
    EXPECT_EQ(CallCode(*conn), c.want) << c.name;
    TearDown();
    server_end_.reset();
  }
}

TEST_F(ScriptedServerTest, HostileReplies) {
  struct Case {
    const char* name;
    std::function<void(Transport&, uint32_t)> reply;  // after bind and request
    uint32_t want;
  } cases[] = {
      {"wrong call id", [](Transport& t, uint32_t id) { t.SendAll(Response(id + 1, {})); }, 1728},
      {"wrong context id",
       [](Transport& t, uint32_t id) {
         ResponsePdu r;
         r.hdr.type = ptype::kResponse;
         r.hdr.call_id = id;
         r.context_id = 5;
         t.SendAll(EncodeResponse(r));
       },
       1728},
      {"truncated response",
       [](Transport& t, uint32_t id) {
         auto v = Response(id, {});
         v.resize(20);
         v[8] = 20;
         t.SendAll(v);
       },
       1728},
      {"frag_length over our limit",
       [](Transport& t, uint32_t id) {
         auto v = Response(id, std::vector<uint8_t>(3000));
         t.SendAll(v);  // we offered 1432 below
       },
       1728},
      {"stream ends mid PDU",
       [](Transport& t, uint32_t id) {
         auto v = Response(id, std::vector<uint8_t>(500));
         v.resize(100);
         t.SendAll(v);
         t.Shutdown();
       },
       1726},
      {"closed after request", [](Transport& t, uint32_t) { t.Shutdown(); }, 1726},
      {"silent peer", [](Transport&, uint32_t) {}, 1818},
      {"garbage",
       [](Transport& t, uint32_t) {
         std::vector<uint8_t> g(64, 0xEE);
         t.SendAll(g);
       },
       1728},
      {"first fragment without FIRST",
       [](Transport& t, uint32_t id) { t.SendAll(Response(id, std::vector<uint8_t>(8), 0x02)); },
       1728},
      {"FIRST twice",
       [](Transport& t, uint32_t id) {
         t.SendAll(Response(id, std::vector<uint8_t>(8), 0x01));
         t.SendAll(Response(id, std::vector<uint8_t>(8), 0x03));
       },
       1728},
      {"drep changes between fragments",
       [](Transport& t, uint32_t id) {
         t.SendAll(Response(id, std::vector<uint8_t>(8), 0x01));
         t.SendAll(Response(id, std::vector<uint8_t>(8), 0x02, Drep::Big()));
       },
       1728},
      {"fault",
       [](Transport& t, uint32_t id) {
         FaultPdu f;
         f.hdr.type = ptype::kFault;
         f.hdr.call_id = id;
         f.status = 0x1C010002;
         t.SendAll(EncodeFault(f));
       },
       1745},
      {"fault with status 0",
       [](Transport& t, uint32_t id) {
         FaultPdu f;
         f.hdr.type = ptype::kFault;
         f.hdr.call_id = id;
         t.SendAll(EncodeFault(f));
       },
       1726},
      {"bind_ack instead of response",
       [](Transport& t, uint32_t id) {
         BindAckPdu a;
         a.hdr.type = ptype::kBindAck;
         a.hdr.call_id = id;
         t.SendAll(EncodeBindAck(a));
       },
       1728},
      {"endless fragments over the reply cap",
       [](Transport& t, uint32_t id) {
         std::vector<uint8_t> chunk(1400);
         t.SendAll(Response(id, chunk, 0x01, Drep::Little(), 0xFFFFFFFF));
         for (int i = 0; i < 200; ++i)
           if (t.SendAll(Response(id, chunk, 0x00)) != IoResult::kOk) return;
       },
       status::kOutOfMemory},
  };
  for (const Case& c : cases) {
    ClientSettings s;
    s.proposed_frag = 1432;
    s.receive_timeout_ms = std::string(c.name) == "silent peer" ? 300 : 10000;
    s.max_reply_bytes = 100000;
    auto conn = StartReplying(c.reply, s);
    EXPECT_EQ(CallCode(*conn), c.want) << c.name;
    TearDown();
    server_end_.reset();
  }
}

// A server that paces its reply cannot hold a call open: empty fragments
// are silence, and data trickling in ends at the call deadline. (Each
// script finishes the reply after 200 fragments, which a client that let
// itself be held would accept.)
TEST_F(ScriptedServerTest, TricklingRepliesEndAtTheCallDeadline) {
  struct Case {
    const char* name;
    size_t bytes;  // per fragment
    int receive_ms, call_ms;
    uint32_t want;
  } cases[] = {
      {"empty fragments are silence", 0, 300, 600000, status::kCallCancelled},
      {"data past the call deadline", 1, 10000, 400, status::kCallFailed},
  };
  for (const Case& c : cases) {
    ClientSettings s;
    s.receive_timeout_ms = c.receive_ms;
    s.call_timeout_ms = c.call_ms;
    auto conn = StartReplying(
        [&](Transport& t, uint32_t id) {
          std::vector<uint8_t> piece(c.bytes);
          if (t.SendAll(Response(id, piece, pfc::kFirstFrag)) != IoResult::kOk) return;
          for (int i = 0; i < 200; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (t.SendAll(Response(id, piece, 0)) != IoResult::kOk) return;
          }
          t.SendAll(Response(id, piece, pfc::kLastFrag));
        },
        s);
    EXPECT_EQ(CallCode(*conn), c.want) << c.name;
    TearDown();
    server_end_.reset();
  }
}

// A receive limit, once passed, ends the call even while empty fragments
// keep arriving: a negative time left is not "no limit" (which would leave
// only the call deadline). The server floods empty fragments for 300 ms
// and then ends the reply, which a client that let the 20 ms limit lapse
// would wait for and accept.
TEST_F(ScriptedServerTest, APassedReceiveLimitEndsAFloodOfEmptyFragments) {
  ClientSettings s;
  s.receive_timeout_ms = 20;
  s.call_timeout_ms = 600000;
  auto conn = StartReplying(
      [](Transport& t, uint32_t id) {
        if (t.SendAll(Response(id, {}, pfc::kFirstFrag)) != IoResult::kOk) return;
        const std::vector<uint8_t> empty = Response(id, {}, 0);
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        while (std::chrono::steady_clock::now() < end)
          if (t.SendAll(empty) != IoResult::kOk) return;
        t.SendAll(Response(id, {}, pfc::kLastFrag));
      },
      s);
  EXPECT_EQ(CallCode(*conn), status::kCallCancelled);
}

TEST_F(ScriptedServerTest, BigEndianFragmentedReply) {
  std::vector<uint8_t> stub = Pattern(5000);
  JoinGuard guard{this};
  auto conn = Start([&](Transport& t) {
    Ack(t, Drep::Big());
    PduHeader h;
    Read(t, &h);
    EXPECT_TRUE(h.drep.little_endian());  // we always send little-endian
    size_t off = 0;
    while (off < stub.size()) {
      size_t n = std::min<size_t>(1400, stub.size() - off);
      uint8_t flags = (off == 0 ? 1 : 0) | (off + n == stub.size() ? 2 : 0);
      t.SendAll(Response(h.call_id, std::span(stub).subspan(off, n), flags, Drep::Big(),
                         static_cast<uint32_t>(stub.size() - off)));
      off += n;
    }
  });
  Reply r = conn->Call(EchoInterface(), 0, {});
  EXPECT_FALSE(r.drep.little_endian());
  EXPECT_EQ(r.stub, stub);
  EXPECT_EQ(conn->assoc_group_id(), 0x55u);
}

TEST_F(ScriptedServerTest, LyingAllocHintDoesNotDriveAllocation) {
  auto conn = Start([&](Transport& t) {
    Ack(t);
    PduHeader h;
    Read(t, &h);
    std::vector<uint8_t> s = {1, 2, 3};
    t.SendAll(Response(h.call_id, s, 3, Drep::Little(), 0xFFFFFFF0));
  });
  Reply r = conn->Call(EchoInterface(), 0, {});
  EXPECT_EQ(r.stub.size(), 3u);
  EXPECT_LT(r.stub.capacity(), 4096u);
}

// A reply received in place: the `lead` bytes before the array apart, the
// array read straight into one block of exactly its count (when within the
// cap), what follows apart again; fragments cut across all three.
TEST_F(ScriptedServerTest, PlacedReplyReadsTheArrayIntoABlockOfItsCount) {
  static std::vector<size_t> sizes;  // each allocation's size
  struct Heap {
    static void* Allocate(size_t n) {
      sizes.push_back(n);
      return std::malloc(n);
    }
  };
  const std::vector<uint8_t> array = Pattern(20000);
  auto stub = [&](size_t filler, uint32_t referent, uint32_t count) {
    std::vector<uint8_t> s(filler, 0xEE);
    for (uint32_t v : {referent, count})
      for (int i = 0; i < 4; ++i) s.push_back(static_cast<uint8_t>(v >> (8 * i)));
    s.insert(s.end(), array.begin(), array.end());
    s.insert(s.end(), {1, 2, 3, 4, 5, 6, 7, 8});
    return s;
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> stub;
    size_t lead;
    std::vector<size_t> want;  // allocation sizes
    size_t body;
  } cases[] = {
      {"count sizes the block", stub(0, 0x20000, 20000), 8, {20000}, 20000},
      {"head across fragments", stub(1396, 0x20000, 20000), 1404, {20000}, 20000},
      {"null referent", stub(0, 0, 20000), 8, {}, 0},
      {"count past the cap", stub(0, 0x20000, 200000), 8, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sizes.clear();
    ClientSettings s;
    s.max_reply_bytes = 100000;
    PlacedReply placed(MemoryRoutines{&Heap::Allocate, &std::free}, c.lead);
    {
      JoinGuard guard{this};
      auto conn = Start(
          [&](Transport& t) {
            Ack(t);
            PduHeader h;
            Read(t, &h);
            for (size_t off = 0; off < c.stub.size(); off += 1400) {
              size_t n = std::min<size_t>(1400, c.stub.size() - off);
              uint8_t flags = (off == 0 ? 1 : 0) | (off + n == c.stub.size() ? 2 : 0);
              t.SendAll(Response(h.call_id, std::span(c.stub).subspan(off, n), flags));
            }
          },
          s);
      conn->Call(EchoInterface(), 0, {}, &placed);
    }
    EXPECT_EQ(sizes, c.want);
    EXPECT_EQ(placed.head().size(), c.lead);
    EXPECT_EQ(placed.body().size(), c.body);
    std::vector<uint8_t> joined(placed.head().begin(), placed.head().end());
    joined.insert(joined.end(), placed.body().begin(), placed.body().end());
    joined.insert(joined.end(), placed.tail().begin(), placed.tail().end());
    EXPECT_EQ(joined, c.stub);
    TearDown();
    server_end_.reset();
  }
}

TEST_F(ScriptedServerTest, RequestFragmentsFollowTheGrantedSize) {
  std::vector<uint8_t> stub = Pattern(10000);
  std::vector<uint8_t> got;
  JoinGuard guard{this};
  auto conn = Start([&](Transport& t) {
    Ack(t);  // grants 1432 both ways
    for (;;) {
      PduHeader h;
      auto pdu = Read(t, &h);
      RequestPdu r;
      if (pdu.empty() || !DecodeRequest(pdu, &r)) return;
      EXPECT_LE(h.frag_length, 1432);
      EXPECT_EQ(r.alloc_hint, stub.size() - got.size());
      if (!(h.flags & pfc::kLastFrag)) {
        EXPECT_EQ(r.stub.size() % 8, 0u);
      }
      got.insert(got.end(), r.stub.begin(), r.stub.end());
      if (h.flags & pfc::kLastFrag) {
        t.SendAll(Response(h.call_id, {}));
        return;
      }
    }
  });
  conn->Call(EchoInterface(), 0, stub);
  StopScript();
  EXPECT_EQ(got, stub);
  EXPECT_EQ(conn->max_xmit_frag(), 1432);
}

TEST_F(ScriptedServerTest, ShutdownRequestRetiresTheConnection) {
  auto conn = Start([&](Transport& t) {
    Ack(t);
    PduHeader h;
    Read(t, &h);
    PduHeader s;
    s.type = ptype::kShutdown;
    t.SendAll(EncodeHeaderOnly(s));
    t.SendAll(Response(h.call_id, std::vector<uint8_t>{7}));
  });
  EXPECT_EQ(conn->Call(EchoInterface(), 0, {}).stub, std::vector<uint8_t>{7});
  EXPECT_FALSE(conn->usable());
}

TEST_F(ScriptedServerTest, CallIdsIncreaseAndSecondInterfaceUsesAlterContext) {
  SyntaxId second{*Uuid::Parse("0a382c88-ff39-419c-a696-022f6e695506"), 1, 0};
  std::vector<uint32_t> ids;
  std::vector<uint8_t> types;
  JoinGuard guard{this};
  auto conn = Start([&](Transport& t) {
    Ack(t);
    for (int i = 0; i < 3; ++i) {
      PduHeader h;
      auto pdu = Read(t, &h);
      if (pdu.empty()) return;
      ids.push_back(h.call_id);
      types.push_back(h.type);
      if (h.type == ptype::kAlterContext) {
        BindPdu b;
        EXPECT_TRUE(DecodeBind(pdu, &b));
        EXPECT_EQ(b.contexts.at(0).context_id, 1);
        EXPECT_EQ(b.contexts.at(0).abstract_syntax, second);
        BindAckPdu a;
        a.hdr.type = ptype::kAlterContextResp;
        a.hdr.call_id = h.call_id;
        a.assoc_group_id = 0x55;
        a.results.push_back(ContextResult{0, 0, NdrSyntax()});
        t.SendAll(EncodeBindAck(a));
        --i;
        continue;
      }
      RequestPdu rq;
      EXPECT_TRUE(DecodeRequest(pdu, &rq));
      t.SendAll(Response(h.call_id, {}, 3, Drep::Little(), 0, rq.context_id));
    }
  });
  conn->Call(EchoInterface(), 0, {});
  conn->Call(second, 0, {});
  conn->Call(EchoInterface(), 0, {});
  StopScript();
  ASSERT_EQ(types.size(), 4u);
  EXPECT_EQ(types[1], ptype::kAlterContext);
  for (size_t i = 1; i < ids.size(); ++i) EXPECT_GT(ids[i], ids[i - 1]);
}

}  // namespace
}  // namespace qz::rpc
