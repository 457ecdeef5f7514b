// scripted_server_test.cc -- the fixture itself: defaults, scripting,
// recording, environment, and the qzfaxd child helper.
#include "tests/support/scripted_server.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "core/rpc_exception.h"
#include "interfaces/stubs.h"
#include "qzcsif/qzcsif.h"
#include "rpc/binding_api.h"
#include "rpc/client.h"

namespace qz::test_support {
namespace {

class ScriptedServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.Start(&error)) << error;
  }
  void TearDown() override {
    for (rpc::BindingHandle& h : bindings_) rpc::RpcBindingFree(&h);
  }
  rpc::BindingHandle Bind(const std::string& s) {
    rpc::BindingHandle h = nullptr;
    EXPECT_EQ(rpc::RpcBindingFromStringBinding(s, &h), 0u) << s;
    bindings_.push_back(h);
    return h;
  }
  int32_t LogIn(rpc::BindingHandle h, SESSIONKEY* key, std::vector<uint8_t>* info) {
    info->assign(1680, 0);
    return ifc::rpcLogInServer(h, key, 1680, info->data());
  }

  ScriptedServer server_;
  std::vector<rpc::BindingHandle> bindings_;
};

TEST_F(ScriptedServerTest, DefaultLoginWorksOnBothTransports) {
  for (const std::string& sb : {server_.TcpStringBinding(), server_.LocalStringBinding()}) {
    rpc::BindingHandle h = Bind(sb);
    SESSIONKEY key{};
    std::vector<uint8_t> info;
    ASSERT_EQ(LogIn(h, &key, &info), 1) << sb;
    EXPECT_STREQ(key.szUserID, "tester");
    EXPECT_EQ(key.dwSessionNo, 4711);
    EXPECT_STREQ(reinterpret_cast<const char*>(&info[4]), "127.0.0.1");
    EXPECT_STREQ(reinterpret_cast<const char*>(&info[709]), "tester");
    int32_t session;
    std::memcpy(&session, &info[684], 4);
    EXPECT_EQ(session, 4711);
    for (int i = 0; i < 4; ++i) {
      uint32_t r;
      std::memcpy(&r, &info[1664 + 4 * i], 4);
      EXPECT_EQ(r, 0xFFFFFFFFu);
    }
    EXPECT_EQ(ifc::rpcSychronize(h, &key), 1);
  }
  EXPECT_EQ(server_.Opnums(), (std::vector<uint16_t>{100, 87, 100, 87}));
  auto calls = server_.Calls();
  EXPECT_EQ(calls[0].ctx.protseq, "ncacn_ip_tcp");
  EXPECT_EQ(calls[2].ctx.protseq, "ncalrpc");
  EXPECT_TRUE(calls[2].ctx.has_peer_credentials);
  EXPECT_EQ(calls[2].ctx.peer_pid, static_cast<uint32_t>(getpid()));
}

TEST_F(ScriptedServerTest, EnvironmentLeadsEndpointResolutionHere) {
  EXPECT_EQ(rpc::EndpointMapperPort(), server_.epm_port());
  EXPECT_EQ(rpc::LocalRpcDirectory(), server_.lrpc_directory());
  rpc::BindingHandle h = Bind("ncacn_ip_tcp:127.0.0.1");
  ASSERT_EQ(rpc::RpcEpResolveBinding(h, ifc::MainInterface().id), 0u);
  EXPECT_EQ(h->endpoint(), std::to_string(server_.tcp_port()));
  rpc::BindingHandle c = Bind("ncacn_ip_tcp:127.0.0.1");
  ASSERT_EQ(rpc::RpcEpResolveBinding(c, ifc::ServiceControlInterface().id), 0u);
  EXPECT_EQ(c->endpoint(), std::to_string(server_.tcp_port()));
  for (const ifc::InterfaceDesc* d : {&ifc::MainInterface(), &ifc::ServiceControlInterface()}) {
    rpc::BindingHandle l = Bind("ncalrpc:");
    ASSERT_EQ(rpc::RpcEpResolveBinding(l, d->id), 0u) << d->name;
    EXPECT_EQ(l->endpoint(), "qzfaxd");
  }
}

TEST_F(ScriptedServerTest, StopRestoresTheEnvironment) {
  ScriptedServer second;
  ASSERT_TRUE(second.Start());
  EXPECT_EQ(rpc::EndpointMapperPort(), second.epm_port());
  second.Stop();
  EXPECT_EQ(rpc::EndpointMapperPort(), server_.epm_port());
  EXPECT_EQ(rpc::LocalRpcDirectory(), server_.lrpc_directory());
}

TEST_F(ScriptedServerTest, RecordsRawRequestBytes) {
  rpc::BindingHandle h = Bind(server_.TcpStringBinding());
  SESSIONKEY key{};
  std::strcpy(key.szUserID, "tester");
  key.dwSessionNo = 0x01020304;
  EXPECT_EQ(ifc::rpcDelUserLog(h, &key, ""), 1);
  auto calls = server_.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].opnum, 4);
  std::vector<uint8_t> expect(20, 0);
  std::memcpy(expect.data(), "tester", 6);
  const uint8_t tail[] = {4, 3, 2, 1, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
  expect.insert(expect.end(), tail, tail + sizeof tail);
  EXPECT_EQ(calls[0].stub, expect);  // 37 bytes
  ASSERT_TRUE(calls[0].decoded);
  EXPECT_EQ(calls[0].args[2].text, "");
  EXPECT_EQ(calls[0].result, std::optional<int32_t>(1));
}

TEST_F(ScriptedServerTest, RecordsRequestsThatDoNotDecode) {
  rpc::Binding b("ncacn_ip_tcp", "127.0.0.1", std::to_string(server_.tcp_port()));
  const uint8_t junk[] = {1, 2, 3};  // far shorter than a key
  try {
    b.Call(ifc::MainInterface().id, 87, junk);
    ADD_FAILURE() << "no exception";
  } catch (const RpcException& e) {
    EXPECT_EQ(e.code(), rpc::status::kBadStubData);
  }
  auto calls = server_.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].opnum, 87);
  EXPECT_FALSE(calls[0].decoded);
  EXPECT_EQ(calls[0].stub, std::vector<uint8_t>(junk, junk + 3));
  EXPECT_FALSE(calls[0].result);
}

TEST_F(ScriptedServerTest, OneShotActionsRunBeforeThePersistentOne) {
  // A server that refuses login until connect was called: 100, 0, 100.
  server_.Push(100, Action::Status(static_cast<int32_t>(0xC1FE0006)));
  rpc::BindingHandle h = Bind(server_.TcpStringBinding());
  SESSIONKEY key{};
  std::vector<uint8_t> info;
  EXPECT_EQ(LogIn(h, &key, &info), static_cast<int32_t>(0xC1FE0006));
  EXPECT_EQ(ifc::rpcConnectServer(h, &key), 1);
  EXPECT_EQ(LogIn(h, &key, &info), 1);
  EXPECT_EQ(server_.Opnums(), (std::vector<uint16_t>{100, 0, 100}));
  EXPECT_EQ(server_.Calls()[0].result, std::optional<int32_t>(int32_t(0xC1FE0006)));
}

TEST_F(ScriptedServerTest, HandlersSeeDecodedArgumentsAndFillReplies) {
  server_.OnCall(3, [](rpc::ServerArgs& a) {
    std::string cond = a[2].text;
    a[3].bytes.assign(cond.begin(), cond.end());
    a[3].present = true;
    return 1;
  });
  rpc::BindingHandle h = Bind(server_.TcpStringBinding());
  SESSIONKEY key{};
  uint8_t* reply = nullptr;
  int32_t bytes = 0;
  ASSERT_EQ(ifc::rpcQueryUserLog(h, &key, "op=1", &reply, &bytes), 1);
  ASSERT_EQ(bytes, 4);
  EXPECT_EQ(std::memcmp(reply, "op=1", 4), 0);
  ifc::GetMemoryRoutines().release(reply);
  server_.Return(3, 42);
  reply = nullptr;
  EXPECT_EQ(ifc::rpcQueryUserLog(h, &key, "", &reply, &bytes), 42);
  server_.Clear(3);
  EXPECT_EQ(ifc::rpcQueryUserLog(h, &key, "", &reply, &bytes), 1);
}

TEST_F(ScriptedServerTest, FaultsDropsAndDelays) {
  rpc::BindingHandle h = Bind(server_.TcpStringBinding());
  SESSIONKEY key{};
  server_.Fault(87, rpc::status::kAccessDenied);
  try {
    ifc::rpcSychronize(h, &key);
    ADD_FAILURE() << "no exception";
  } catch (const RpcException& e) {
    EXPECT_EQ(e.code(), rpc::status::kAccessDenied);
  }
  server_.Drop(87);
  try {
    ifc::rpcSychronize(h, &key);
    ADD_FAILURE() << "no exception";
  } catch (const RpcException& e) {
    EXPECT_TRUE(e.code() == rpc::status::kCallFailed || e.code() == rpc::status::kCallFailedDne)
        << e.code();
  }
  server_.Clear(87);
  server_.Delay(87, std::chrono::milliseconds(200));
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(ifc::rpcSychronize(h, &key), 1);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
  // Service-control calls have scripts of their own.
  server_.Return(3, 7, Iface::kServiceControl);
  uint8_t caps[440] = {};
  EXPECT_EQ(ifc::rpcGetServerCaps(h, &key, caps, 440), 7);
  EXPECT_EQ(ifc::rpcServerStop(h, &key, 1), 1);
  EXPECT_EQ(server_.Opnums(Iface::kServiceControl), (std::vector<uint16_t>{3, 1}));
}

TEST(FaxdProcess, RunsARealServerAndStopsOnSigterm) {
  if (DefaultFaxdPath().empty()) GTEST_SKIP() << "qzfaxd not built";
  FaxdProcess faxd;
  FaxdProcess::Options options;
  options.extra_args = {"--tcp-user", "admin"};  // TCP callers have no rights by default
  std::string error;
  ASSERT_TRUE(faxd.Start(options, &error)) << error;
  EXPECT_GT(faxd.tcp_port(), 0);
  EXPECT_GT(faxd.epm_port(), 0);
  EXPECT_EQ(faxd.local_endpoint(), "qzfaxd");
  faxd.ApplyEnvironment();
  rpc::BindingHandle h = nullptr;
  ASSERT_EQ(rpc::RpcBindingFromStringBinding("ncacn_ip_tcp:127.0.0.1", &h), 0u);
  ASSERT_EQ(rpc::RpcEpResolveBinding(h, ifc::MainInterface().id), 0u);
  SESSIONKEY key{};
  std::vector<uint8_t> info(1680, 0);
  EXPECT_EQ(ifc::rpcLogInServer(h, &key, 1680, info.data()), 1);
  EXPECT_STREQ(key.szUserID, "admin");
  rpc::RpcBindingFree(&h);
  ASSERT_EQ(rpc::RpcBindingFromStringBinding("ncalrpc:", &h), 0u);
  ASSERT_EQ(rpc::RpcEpResolveBinding(h, ifc::MainInterface().id), 0u);
  EXPECT_EQ(h->endpoint(), "qzfaxd");
  EXPECT_EQ(ifc::rpcLogInServer(h, &key, 1680, info.data()), 1);
  EXPECT_STREQ(key.szUserID, "admin");  // this account was mapped when the database was made
  rpc::RpcBindingFree(&h);
  int status = faxd.Stop();
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << faxd.ReadLog();
  EXPECT_NE(faxd.ReadLog().find("stopping on SIGTERM"), std::string::npos);
  unsetenv("QZRPC_EPM_PORT");
  unsetenv("QZRPC_LRPC_DIR");
}

TEST(FaxdProcess, DatabaseSurvivesARestartButSessionsDoNot) {
  if (DefaultFaxdPath().empty()) GTEST_SKIP() << "qzfaxd not built";
  FaxdProcess faxd;
  FaxdProcess::Options options;
  options.extra_args = {"--tcp-user", "admin"};  // TCP callers have no rights by default
  std::string error;
  ASSERT_TRUE(faxd.Start(options, &error)) << error;
  SESSIONKEY key{};
  {
    rpc::BindingHandle h = nullptr;
    ASSERT_EQ(rpc::RpcBindingFromStringBinding(
                  "ncacn_ip_tcp:127.0.0.1[" + std::to_string(faxd.tcp_port()) + "]", &h),
              0u);
    std::vector<uint8_t> info(1680, 0);
    ASSERT_EQ(ifc::rpcLogInServer(h, &key, 1680, info.data()), 1);
    EXPECT_EQ(ifc::rpcChangePassword(h, &key, "", "kept"), 1);
    rpc::RpcBindingFree(&h);
  }
  ASSERT_EQ(faxd.Stop(), 0);
  ASSERT_TRUE(faxd.Start(options, &error)) << error;  // same directory, same database
  rpc::BindingHandle h = nullptr;
  ASSERT_EQ(rpc::RpcBindingFromStringBinding(
                "ncacn_ip_tcp:127.0.0.1[" + std::to_string(faxd.tcp_port()) + "]", &h),
            0u);
  // The session is stored, but this new binding is another association
  // group than the login's: its key does not work here.
  EXPECT_EQ(ifc::rpcSychronize(h, &key), static_cast<int32_t>(0xC1FE0001));
  std::vector<uint8_t> info(1680, 0);
  ASSERT_EQ(ifc::rpcLogInServer(h, &key, 1680, info.data()), 1);
  EXPECT_EQ(ifc::rpcChangePassword(h, &key, "", "x"), static_cast<int32_t>(0xC1FE0005));
  EXPECT_EQ(ifc::rpcChangePassword(h, &key, "kept", "x"), 1);
  // The log of the first run is still there.
  uint8_t* reply = nullptr;
  int32_t bytes = 0;
  ASSERT_EQ(ifc::rpcQueryUserLog(h, &key, "op=91;result=1", &reply, &bytes), 1);
  EXPECT_EQ(bytes, 2 * 508);
  ifc::GetMemoryRoutines().release(reply);
  rpc::RpcBindingFree(&h);
}

}  // namespace
}  // namespace qz::test_support
