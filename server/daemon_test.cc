// daemon_test.cc -- the server over the wire: client stubs on TCP and
// ncalrpc against an in-process daemon with its embedded endpoint mapper.
#include "server/daemon.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "interfaces/stubs.h"
#include "rpc/binding_api.h"
#include "rpc/client.h"
#include "server/fax_document.h"
#include "server/records.h"
#include "server/send_queue.h"
#include "server/server_status.h"

namespace qz::faxd {
namespace {

constexpr int32_t S(ServerStatus s) { return static_cast<int32_t>(s); }

class DaemonTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "qzfaxd-test.XXXXXX").string();
    dir_ = mkdtemp(tmpl.data());
    // Before any server thread exists: the runtime reads it when a server
    // or a local connection is made.
    setenv("QZRPC_LRPC_DIR", dir_.c_str(), 1);
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }

  void SetUp() override {
    DaemonOptions o;
    o.db_path = ":memory:";
    o.store.password_cost = PasswordCost::Minimal();
    o.store.os_user = LookUpOsUser(static_cast<uint32_t>(getuid())).value_or("");
    o.local_endpoint = "faxd-test";
    o.service.tcp_user = "admin";  // these tests log in over TCP as the administrator
    daemon_ = std::make_unique<Daemon>(o);
    std::string error;
    ASSERT_TRUE(daemon_->Start(&error)) << error;
  }
  void TearDown() override {
    for (rpc::BindingHandle& h : bindings_) rpc::RpcBindingFree(&h);
    daemon_.reset();
  }

  rpc::BindingHandle Bind(const std::string& string_binding) {
    rpc::BindingHandle h = nullptr;
    EXPECT_EQ(rpc::RpcBindingFromStringBinding(string_binding, &h), 0u) << string_binding;
    bindings_.push_back(h);
    return h;
  }
  rpc::BindingHandle Tcp() {
    return Bind("ncacn_ip_tcp:127.0.0.1[" + std::to_string(daemon_->tcp_port()) + "]");
  }
  rpc::BindingHandle Local() { return Bind("ncalrpc:[faxd-test]"); }

  static std::string dir_;
  std::unique_ptr<Daemon> daemon_;
  std::vector<rpc::BindingHandle> bindings_;
};
std::string DaemonTest::dir_;

TEST_F(DaemonTest, TcpLoginQueryAndLogout) {
  rpc::BindingHandle h = Tcp();
  SESSIONKEY key;
  std::memset(&key, 0x77, sizeof key);
  std::vector<uint8_t> info(1680, 0);
  ASSERT_EQ(ifc::rpcLogInServer(h, &key, 1680, info.data()), 1);
  EXPECT_STREQ(key.szUserID, "admin");
  int32_t session;
  std::memcpy(&session, &info[684], 4);
  EXPECT_EQ(key.dwSessionNo, session);
  EXPECT_STREQ(reinterpret_cast<const char*>(&info[709]), "admin");
  EXPECT_STREQ(reinterpret_cast<const char*>(&info[86]), "ncacn_ip_tcp");
  uint32_t rights3;
  std::memcpy(&rights3, &info[1676], 4);
  EXPECT_EQ(rights3, 0xFFFFFFFFu);

  EXPECT_EQ(ifc::rpcSychronize(h, &key), 1);
  uint8_t* reply = nullptr;
  int32_t bytes = 0;
  ASSERT_EQ(ifc::rpcQueryUserLog(h, &key, "", &reply, &bytes), 1);
  ASSERT_NE(reply, nullptr);
  ASSERT_EQ(bytes, 2 * 508);
  UserLogRecord rec[2];
  std::memcpy(rec, reply, sizeof rec);
  ifc::GetMemoryRoutines().release(reply);
  EXPECT_EQ(rec[0].dwOpnum, 100u);
  EXPECT_EQ(rec[1].dwOpnum, 87u);
  EXPECT_STREQ(rec[1].szUserID, "admin");
  EXPECT_EQ(std::string(rec[1].szDetail).rfind("ncacn_ip_tcp 127.0.0.1: ", 0), 0u) << rec[1].szDetail;

  // Nothing matches: a null reply and a count of 0.
  reply = nullptr;
  bytes = 0;
  ASSERT_EQ(ifc::rpcQueryUserLog(h, &key, "user=nobody", &reply, &bytes), 1);
  EXPECT_EQ(reply, nullptr);
  EXPECT_EQ(bytes, 0);
  EXPECT_EQ(ifc::rpcQueryUserLog(h, &key, "bogus", &reply, &bytes), S(kBadCondition));

  EXPECT_EQ(ifc::rpcSendFaxFromDraft(h, &key, 5), S(kNoSuchDraft));
  EXPECT_EQ(ifc::rpcLogoutServer(h, &key), 1);
  EXPECT_EQ(ifc::rpcSychronize(h, &key), S(kBadKey));
}

TEST_F(DaemonTest, RawRequestsGetExactReplies) {
  rpc::Binding b("ncacn_ip_tcp", "127.0.0.1", std::to_string(daemon_->tcp_port()));
  // rpcLogInServer: nothing for the key-out, the long 1680, the ioblock.
  std::vector<uint8_t> req = {0x90, 0x06, 0, 0, 0x90, 0x06, 0, 0};
  req.resize(8 + 1680, 0);
  rpc::Reply login = b.Call(ifc::MainInterface().id, 100, req);
  ASSERT_EQ(login.stub.size(), 24u + 4 + 1680 + 4);
  EXPECT_EQ(std::memcmp(login.stub.data(), "admin\0", 6), 0);
  const uint8_t count[] = {0x90, 0x06, 0, 0};
  EXPECT_EQ(std::memcmp(&login.stub[24], count, 4), 0);
  const uint8_t one[] = {1, 0, 0, 0};
  EXPECT_EQ(std::memcmp(&login.stub[24 + 4 + 1680], one, 4), 0);
  std::vector<uint8_t> key(login.stub.begin(), login.stub.begin() + 24);
  EXPECT_EQ(std::memcmp(&key[20], &login.stub[28 + 684], 4), 0);

  // rpcSychronize: the key alone; the reply is the result alone.
  EXPECT_EQ(b.Call(ifc::MainInterface().id, 87, key).stub, std::vector<uint8_t>(one, one + 4));
  key[20] ^= 0xFF;
  const uint8_t bad_key[] = {0x01, 0x00, 0xFE, 0xC1};
  EXPECT_EQ(b.Call(ifc::MainInterface().id, 87, key).stub,
            std::vector<uint8_t>(bad_key, bad_key + 4));
}

TEST_F(DaemonTest, LocalLoginMapsThePeersOsUser) {
  rpc::BindingHandle h = Local();
  SESSIONKEY key{};
  std::vector<uint8_t> info(1680, 0);
  ASSERT_EQ(ifc::rpcLogInServer(h, &key, 1680, info.data()), 1);
  EXPECT_STREQ(key.szUserID, "admin");  // this process's account maps to the administrator
  EXPECT_STREQ(reinterpret_cast<const char*>(&info[86]), "ncalrpc");
  uint8_t* reply = nullptr;
  int32_t bytes = 0;
  ASSERT_EQ(ifc::rpcQueryUserLog(h, &key, "op=100", &reply, &bytes), 1);
  ASSERT_EQ(bytes, 508);
  UserLogRecord rec;
  std::memcpy(&rec, reply, sizeof rec);
  ifc::GetMemoryRoutines().release(reply);
  std::string expected_peer = "ncalrpc uid=" + std::to_string(getuid()) + " pid=" +
                              std::to_string(getpid()) + ": logged in";
  EXPECT_EQ(std::string(rec.szDetail), expected_peer);
}

// Resolves a partial binding of `string_binding` for `iface` through the
// daemon's mapper; returns the status and the endpoint found.
std::pair<uint32_t, std::string> Resolve(const std::string& string_binding, const rpc::SyntaxId& iface) {
  rpc::BindingHandle h = nullptr;
  if (rpc::RpcBindingFromStringBinding(string_binding, &h) != 0) return {~0u, ""};
  uint32_t st = rpc::RpcEpResolveBinding(h, iface);
  std::string ep = h->endpoint();
  rpc::RpcBindingFree(&h);
  return {st, ep};
}

TEST_F(DaemonTest, TcpEndpointsResolveThroughTheEmbeddedMapper) {
  setenv("QZRPC_EPM_PORT", std::to_string(daemon_->epm_port()).c_str(), 1);
  const std::string port = std::to_string(daemon_->tcp_port());
  for (const ifc::InterfaceDesc* iface : {&ifc::MainInterface(), &ifc::ServiceControlInterface()})
    EXPECT_EQ(Resolve("ncacn_ip_tcp:127.0.0.1", iface->id), std::make_pair(0u, port)) << iface->name;
  // An interface nobody registered is not found.
  rpc::SyntaxId other = ifc::MainInterface().id;
  other.major = 2;
  EXPECT_EQ(Resolve("ncacn_ip_tcp:127.0.0.1", other).first, rpc::status::kEptNotRegistered);
  unsetenv("QZRPC_EPM_PORT");
}

// Over ncalrpc the mapper is the local endpoint "epmapper" of the daemon.
TEST_F(DaemonTest, LocalEndpointsResolveThroughTheEmbeddedMapper) {
  for (const ifc::InterfaceDesc* iface : {&ifc::MainInterface(), &ifc::ServiceControlInterface()})
    EXPECT_EQ(Resolve("ncalrpc:", iface->id), std::make_pair(0u, std::string("faxd-test")))
        << iface->name;
}

TEST_F(DaemonTest, RegistersWithARunningMapperAndRemovesItsEntriesOnStop) {
  // Registrations go to the mapper's ncalrpc endpoint (a directory of its
  // own: the fixture's daemon has an "epmapper" already); lookups below
  // use TCP (QZRPC_EPM_PORT, as qzfaxd --no-epm sets it).
  const std::string own = dir_ + "/second";
  setenv("QZRPC_LRPC_DIR", own.c_str(), 1);
  rpc::EndpointMapperService mapper;
  ASSERT_TRUE(mapper.Start("127.0.0.1", 0, /*local_too=*/true));
  setenv("QZRPC_EPM_PORT", std::to_string(mapper.tcp_port()).c_str(), 1);
  DaemonOptions o;
  o.store.password_cost = PasswordCost::Minimal();
  o.embedded_epm = false;
  o.epm_port = mapper.tcp_port();
  o.local_endpoint = "faxd-second";
  Daemon second(o);
  std::string error;
  ASSERT_TRUE(second.Start(&error)) << error;
  EXPECT_EQ(second.epm_port(), mapper.tcp_port());
  EXPECT_EQ(mapper.mapper().size(), 4u);  // two interfaces on two transports
  EXPECT_EQ(Resolve("ncacn_ip_tcp:127.0.0.1", ifc::MainInterface().id),
            std::make_pair(0u, std::to_string(second.tcp_port())));
  second.Stop();
  EXPECT_EQ(mapper.mapper().size(), 0u);
  EXPECT_EQ(Resolve("ncacn_ip_tcp:127.0.0.1", ifc::MainInterface().id).first,
            rpc::status::kEptNotRegistered);
  unsetenv("QZRPC_EPM_PORT");
  setenv("QZRPC_LRPC_DIR", dir_.c_str(), 1);
}

TEST_F(DaemonTest, AdviseAndServerCapsOverTheWire) {
  rpc::BindingHandle h = Tcp();
  rpc::Guid16 guid;
  std::memcpy(guid.bytes, kAdviseEventGuid, 16);
  uint8_t advise[60] = {};
  advise[8] = 5;
  // Registrations belong to the caller's session (this association group's).
  EXPECT_EQ(ifc::rpcAdviseOP(h, guid, 8, 60, advise), S(kBadKey));
  SESSIONKEY login{};
  std::vector<uint8_t> info(1680, 0);
  ASSERT_EQ(ifc::rpcLogInServer(h, &login, 1680, info.data()), 1);
  EXPECT_EQ(ifc::rpcAdviseOP(h, guid, 8, 60, advise), 1);
  uint8_t unadvise[16] = {5};
  EXPECT_EQ(ifc::rpcAdviseOP(h, guid, 9, 16, unadvise), 1);
  EXPECT_EQ(ifc::rpcAdviseOP(h, guid, 8, 16, unadvise), S(kBadRecord));

  SESSIONKEY key{};
  std::strcpy(key.szUserID, "anyone");
  uint8_t caps[440];
  std::memset(caps, 0xCC, sizeof caps);
  ASSERT_EQ(ifc::rpcGetServerCaps(h, &key, caps, 440), 1);
  ServerCapsRecord rec;
  std::memcpy(&rec, caps, sizeof rec);
  EXPECT_EQ(rec.dwSize, 440u);
  EXPECT_STREQ(rec.szServerName, "qzfaxd");
  EXPECT_EQ(ifc::rpcServerStop(h, &key, 1), S(kBadKey));
}

TEST_F(DaemonTest, ConcurrentSessionsEachGetTheirOwnKeyAndEveryCallIsLogged) {
  constexpr int kThreads = 6;
  constexpr int kCalls = 20;
  std::vector<std::thread> threads;
  std::vector<int32_t> sessions(kThreads, 0);
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      rpc::BindingHandle h = nullptr;
      std::string sb = t % 2 ? "ncalrpc:[faxd-test]"
                             : "ncacn_ip_tcp:127.0.0.1[" + std::to_string(daemon_->tcp_port()) + "]";
      if (rpc::RpcBindingFromStringBinding(sb, &h) != 0) {
        ++failures;
        return;
      }
      SESSIONKEY key{};
      std::vector<uint8_t> info(1680, 0);
      if (ifc::rpcLogInServer(h, &key, 1680, info.data()) != 1) ++failures;
      sessions[t] = key.dwSessionNo;
      for (int i = 0; i < kCalls; ++i)
        if (ifc::rpcSychronize(h, &key) != 1) ++failures;
      if (ifc::rpcLogoutServer(h, &key) != 1) ++failures;
      rpc::RpcBindingFree(&h);
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  std::sort(sessions.begin(), sessions.end());
  EXPECT_EQ(std::unique(sessions.begin(), sessions.end()), sessions.end());
  std::vector<UserLogEntry> log;
  ASSERT_TRUE(daemon_->store().QueryUserLog({}, 100000, &log));
  EXPECT_EQ(log.size(), static_cast<size_t>(kThreads * (kCalls + 2)));
  for (int32_t s : sessions) {
    LogFilter f;
    f.session = s;
    ASSERT_TRUE(daemon_->store().QueryUserLog(f, 1000, &log));
    EXPECT_EQ(log.size(), static_cast<size_t>(kCalls + 2)) << s;
  }
  EXPECT_EQ(daemon_->store().CountLiveSessions(), 0);
}

TEST_F(DaemonTest, ChangePasswordOverTheWire) {
  rpc::BindingHandle h = Local();
  SESSIONKEY key{};
  std::vector<uint8_t> info(1680, 0);
  ASSERT_EQ(ifc::rpcLogInServer(h, &key, 1680, info.data()), 1);
  EXPECT_EQ(ifc::rpcChangePassword(h, &key, "nope", "x"), S(kWrongPassword));
  EXPECT_EQ(ifc::rpcChangePassword(h, &key, "", "fresh"), 1);
  EXPECT_TRUE(daemon_->store().CheckPassword("admin", "fresh"));
}

// Sessions survive a restart with their binding: a TCP client whose pooled
// connection died with the old process reconnects, asks for its old
// association group, gets it back (a stored session is bound to it) and its
// key works; a client of another group still cannot use that key.
TEST_F(DaemonTest, TcpSessionCarriesOnAcrossARestart) {
  std::string db = dir_ + "/restart.db";
  std::filesystem::remove(db);
  auto start = [&](uint16_t port) {
    daemon_.reset();
    DaemonOptions o;
    o.db_path = db;
    o.port = port;
    o.listen_local = false;
    o.store.password_cost = PasswordCost::Minimal();
    o.service.tcp_user = "admin";
    daemon_ = std::make_unique<Daemon>(o);
    std::string error;
    EXPECT_TRUE(daemon_->Start(&error)) << error;
  };
  start(0);
  const uint16_t port = daemon_->tcp_port();
  rpc::Binding b("ncacn_ip_tcp", "127.0.0.1", std::to_string(port));
  std::vector<uint8_t> req = {0x90, 0x06, 0, 0, 0x90, 0x06, 0, 0};
  req.resize(8 + 1680, 0);
  rpc::Reply login = b.Call(ifc::MainInterface().id, 100, req);
  ASSERT_EQ(login.stub.size(), 24u + 4 + 1680 + 4);
  std::vector<uint8_t> key(login.stub.begin(), login.stub.begin() + 24);
  const std::vector<uint8_t> one = {1, 0, 0, 0}, bad_key = {0x01, 0x00, 0xFE, 0xC1};
  ASSERT_EQ(b.Call(ifc::MainInterface().id, 87, key).stub, one);

  // A document stored by a call that never committed (a crash between the
  // two) is gone once the daemon is back.
  const std::string orphan = daemon_->data_dir() + "/documents/doc-crash.tif";
  std::ofstream(orphan) << "II*";
  ASSERT_TRUE(std::filesystem::exists(orphan));
  start(port);  // same database, same port; the pooled connection is dead
  EXPECT_FALSE(std::filesystem::exists(orphan));
  EXPECT_EQ(b.Call(ifc::MainInterface().id, 87, key).stub, one);
  rpc::Binding other("ncacn_ip_tcp", "127.0.0.1", std::to_string(port));
  EXPECT_EQ(other.Call(ifc::MainInterface().id, 87, key).stub, bad_key);
}

}  // namespace
}  // namespace qz::faxd

namespace qz::faxd {
namespace {

// The send queue over the wire: a daemon on a manual clock whose engine is
// stepped by the test; TCP callers name documents in the spool directory.
class SendQueueWireTest : public DaemonTest {
 protected:
  void SetUp() override {
    spool_ = dir_ + "/spool";
    std::filesystem::create_directories(spool_);
    ASSERT_TRUE(WriteFaxDocument(spool_ + "/fax.tif", 3, false));
    DaemonOptions o;
    o.db_path = ":memory:";
    o.store.password_cost = PasswordCost::Minimal();
    o.local_endpoint = "faxd-sendq-test";
    o.service.tcp_user = "admin";  // TCP callers are the administrator here
    o.spool_dir = spool_;
    o.clock = &clock_;
    o.send_simulation.engine_thread = false;
    daemon_ = std::make_unique<Daemon>(o);
    std::string error;
    ASSERT_TRUE(daemon_->Start(&error)) << error;
    for (ProcedureFamily* f : daemon_->service().families())
      if (auto* q = dynamic_cast<SendQueueFamily*>(f)) engine_ = &q->engine();
    ASSERT_NE(engine_, nullptr);
  }
  std::string spool_;
  ManualClock clock_;
  SendEngine* engine_ = nullptr;
};

TEST_F(SendQueueWireTest, SubmitViewProgressConnAndServiceControl) {
  rpc::BindingHandle h = Tcp();
  SESSIONKEY key;
  std::vector<uint8_t> info(1680, 0);
  ASSERT_EQ(ifc::rpcLogInServer(h, &key, 1680, info.data()), 1);

  FAXJOB_TABLE job;
  std::memset(&job, 0, sizeof job);
  job.dwSize = sizeof job;
  std::strcpy(job.szRecipientNumber, "8002");  // the server's own second line
  std::strcpy(job.szDocumentPath, "fax.tif");
  std::vector<uint8_t> results(44, 0xEE);
  int32_t result_bytes = 44;
  ASSERT_EQ(ifc::rpcSendFax(h, &key, reinterpret_cast<uint8_t*>(&job), sizeof job, results.data(),
                            &result_bytes),
            1);
  SENDRESULT_TABLE r;
  std::memcpy(&r, results.data(), sizeof r);
  EXPECT_EQ(r.lStatus, 1);
  EXPECT_EQ(r.dwPages, 3u);
  engine_->RunFor(clock_, 3000 + 6000);  // connected, first page sent

  int32_t ids[] = {static_cast<int32_t>(r.dwFaxID)};
  uint8_t* reply = nullptr;
  int32_t bytes = 0;
  ASSERT_EQ(ifc::rpcGetTaskProgress(h, &key, ids, 4, &reply, &bytes), 1);
  ASSERT_EQ(bytes, 16);
  TASKINFO progress;
  std::memcpy(&progress, reply, sizeof progress);
  ifc::GetMemoryRoutines().release(reply);
  EXPECT_EQ(progress.dwState, QZ_TASK_SENDING);
  EXPECT_EQ(progress.dwPagesDone, 1u);
  EXPECT_EQ(progress.dwPagesTotal, 3u);

  // A connection record carrying its document inline, to two recipients.
  std::vector<uint8_t> doc;
  {
    std::ifstream in(spool_ + "/fax.tif", std::ios::binary);
    doc.assign(std::istreambuf_iterator<char>(in), {});
  }
  CONNSENDITEM items[2];
  std::memset(items, 0, sizeof items);
  std::strcpy(items[0].szRecipientNumber, "100");
  std::strcpy(items[1].szRecipientNumber, "5550199");
  rpc::ConnSendInfo conn{};
  conn.item_count = 2;
  conn.items = reinterpret_cast<const uint8_t*>(items);
  conn.data_length = static_cast<int32_t>(doc.size());
  conn.data = doc.data();
  std::strcpy(conn.text2, "from a connection");
  ASSERT_EQ(ifc::rpcSendFaxFromConn(h, &key, &conn), 1);

  reply = nullptr;
  bytes = 0;
  ASSERT_EQ(ifc::rpcViewSendTask(h, &key, 1, 0, &reply, &bytes), 1);
  ASSERT_EQ(bytes, 3 * 1024);
  SENDTASK_TABLE tasks[3];
  std::memcpy(tasks, reply, sizeof tasks);
  ifc::GetMemoryRoutines().release(reply);
  EXPECT_STREQ(tasks[1].szSubject, "from a connection");
  EXPECT_STREQ(tasks[2].szRecipientNumber, "5550199");
  EXPECT_EQ(tasks[2].dwPagesTotal, 3u);

  // Rendering into a file of the spool directory.
  rpc::PrintToTiffInfo tiff{};
  std::strcpy(tiff.text1, "HELLO\nWORLD");
  std::strcpy(tiff.text2, "rendered.tif");
  tiff.value1 = 1;
  ASSERT_EQ(ifc::rpcPrintToTiffFromConn(h, &tiff), 1);
  EXPECT_EQ(tiff.value1, 1);
  std::string why;
  EXPECT_EQ(CheckFaxDocument(spool_ + "/rendered.tif", &why), 1u) << why;

  // Service control: stop refuses jobs, backup, start again.
  ASSERT_EQ(ifc::rpcServerStop(h, &key, 1), 1);
  result_bytes = 44;
  EXPECT_EQ(ifc::rpcSendFax(h, &key, reinterpret_cast<uint8_t*>(&job), sizeof job,
                            results.data(), &result_bytes),
            S(kServiceStopped));
  BACKUPINFO backup;
  std::memset(&backup, 0, sizeof backup);
  std::strcpy(backup.szName, "wire.db");
  ASSERT_EQ(ifc::rpcServerBackup(h, &key, reinterpret_cast<uint8_t*>(&backup), 300), 1);
  EXPECT_TRUE(std::filesystem::exists(daemon_->data_dir() + "/backups/wire.db"));
  SESSIONKEY zero;
  std::memset(&zero, 0, sizeof zero);
  EXPECT_EQ(ifc::rpcServerStart(h, &zero, "admin", "", 1), 1);
  ASSERT_TRUE(engine_->RunUntilIdle(clock_));

  reply = nullptr;
  bytes = 0;
  ASSERT_EQ(ifc::rpcViewRecvTask(h, &key, 0, &reply, &bytes), 1);
  ASSERT_EQ(bytes, 796);
  RECVTASK_TABLE recv;
  std::memcpy(&recv, reply, sizeof recv);
  ifc::GetMemoryRoutines().release(reply);
  EXPECT_EQ(recv.dwSendTaskID, r.dwFaxID);
  EXPECT_EQ(recv.dwPages, 3u);
}

}  // namespace
}  // namespace qz::faxd
