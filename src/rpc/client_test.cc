// client_test.cc -- end-to-end calls of our client against our server over
// TCP (IPv4, IPv6) and ncalrpc: echo, fragmentation in both directions at
// small and large fragment sizes, faults, dropped connections, refused
// connections, caps and concurrent calls on one binding.
#include "rpc/client.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

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
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  Binding b("ncalrpc", "", "LRPC-echo");
  std::vector<uint8_t> in = Pattern(10000);
  EXPECT_EQ(b.Call(EchoInterface(), 0, in).stub, in);
  EXPECT_TRUE(echo_.last_has_creds.load());
  EXPECT_EQ(echo_.last_ctx_uid.load(), getuid());
  server_->Stop();
  server_.reset();
  unsetenv("QZRPC_LRPC_DIR");
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

}  // namespace
}  // namespace qz::rpc
