// Login, logout and the session-wide services, through the exported C
// functions of libqzcsif.so against the scripted in-process server: the
// login sequences, what GetServerInfo copies, the notification checks, RPC
// failures surfacing as statuses, and logout at uninitialise. The library
// finds the server through the endpoint mapper the fixture announces in
// the environment.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qzcsif/qzcsif.h"
#include "tests/support/scripted_server.h"

namespace {

namespace fs = std::filesystem;
using qz::test_support::Action;
using qz::test_support::ScriptedServer;

constexpr uint16_t kConnect = 0, kLogout = 1, kQueryUserLog = 3, kSychronize = 87,
                   kChangePassword = 91, kLogIn = 100, kAdvise = 101;
constexpr int32_t kRefused = static_cast<int32_t>(0xC1FE0006u);
constexpr int32_t kOtherRefusal = static_cast<int32_t>(0xC1FE0001u);

class LoginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_cwd_ = fs::current_path();
    dir_ = fs::temp_directory_path() / ("qzlogin-" + std::to_string(getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    fs::current_path(dir_);  // the trace log goes to the current directory
    std::string error;
    ASSERT_TRUE(server_.Start(&error)) << error;
  }
  void TearDown() override {
    QZIfUninitialize();
    server_.Stop();
    fs::current_path(old_cwd_);
    fs::remove_all(dir_);
  }
  std::string TraceLog() const {
    std::ifstream in(dir_ / "qzlogfile.qzx");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  uint32_t LogInOk() {
    uint32_t id = 0;
    EXPECT_EQ(LogInServer(&id), 1u);
    EXPECT_NE(id, 0u);
    return id;
  }

  ScriptedServer server_;
  fs::path dir_, old_cwd_;
};

TEST_F(LoginTest, KnownCallerLogsInWithOneProcedure) {
  uint32_t id = LogInOk();
  EXPECT_EQ(server_.Opnums(), std::vector<uint16_t>({kLogIn}));
  EXPECT_EQ(IsServerIDValid(id), 1u);
  // The key the server handed out travels with the next call.
  ASSERT_EQ(RemoteSychronizeFromServer(id), 1u);
  auto calls = server_.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].opnum, kSychronize);
  EXPECT_EQ(calls[1].stub, qz::test_support::MakeKey("tester", 4711));
}

TEST_F(LoginTest, LoginSequences) {
  struct Case {
    const char* name;
    std::vector<Action> first_login;  // one-shot answers of procedure 100, in order
    Action connect;
    uint32_t result;
    std::vector<uint16_t> opnums;
  };
  const Case cases[] = {
      {"refused until introduced", {Action::Status(kRefused)}, Action::Default(), 1,
       {kLogIn, kConnect, kLogIn}},
      {"both refused: never logged in, so no logout", {Action::Status(kRefused)},
       Action::Status(kOtherRefusal), static_cast<uint32_t>(kOtherRefusal), {kLogIn, kConnect}},
      {"introduced, then refused: logged out", {Action::Status(kRefused), Action::Status(kRefused)},
       Action::Default(), static_cast<uint32_t>(kRefused), {kLogIn, kConnect, kLogIn, kLogout}},
      {"fault in the login", {Action::Fault(5)}, Action::Default(), 5, {kLogIn}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_.ClearCalls();
    for (const Action& a : c.first_login) server_.Push(kLogIn, a);
    server_.Set(kConnect, c.connect);
    uint32_t id = 12345;
    EXPECT_EQ(LogInServer(&id), c.result);
    EXPECT_EQ(server_.Opnums(), c.opnums);
    if (c.result == 1) {
      EXPECT_NE(id, 0u);
      EXPECT_EQ(IsServerIDValid(id), 1u);
    } else {
      EXPECT_EQ(id, 0u);
      EXPECT_EQ(IsServerIDValid(id), 0u);
    }
    QZIfUninitialize();
    server_.Clear(kLogIn);
    server_.Clear(kConnect);
  }
}

TEST_F(LoginTest, SecondLoginHandsOutTheLiveId) {
  uint32_t id = LogInOk();
  uint32_t again = 0;
  EXPECT_EQ(LogInServer(&again), QZ_E_ALREADYLOGGEDIN);
  EXPECT_EQ(again, id);
  EXPECT_EQ(server_.Opnums(), std::vector<uint16_t>({kLogIn}));
  // Only the first login wrote a return entry.
  std::string log = TraceLog();
  size_t entries = 0, returns = 0;
  for (size_t p = 0; (p = log.find(" Call LogInServer\n", p)) != std::string::npos; ++p) ++entries;
  for (size_t p = 0; (p = log.find(" Call LogInServer return\n", p)) != std::string::npos; ++p)
    ++returns;
  EXPECT_EQ(entries, 2u);
  EXPECT_EQ(returns, 1u);
  EXPECT_NE(log.find("\tlret = 1\n"), std::string::npos);
}

TEST_F(LoginTest, UninitialiseLogsOutAndRefusesTheOldId) {
  uint32_t id = LogInOk();
  EXPECT_EQ(QZIfUninitialize(), 0u);
  auto calls = server_.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].opnum, kLogout);
  EXPECT_EQ(calls[1].stub, qz::test_support::MakeKey("tester", 4711));
  EXPECT_EQ(IsServerIDValid(id), 0u);
  EXPECT_EQ(RemoteSychronizeToServer(id), QZ_E_BADSERVERID);
  // A new login gets a new ID: the old one is never handed out again.
  uint32_t next = LogInOk();
  EXPECT_NE(next, id);
}

TEST_F(LoginTest, GetServerInfoCopiesOnlyTheKeptRanges) {
  qz::test_support::LoginProfile profile;
  profile.user = "alice";
  profile.session = 99;
  profile.rights = {1, 2, 3, 4};
  profile.host = "faxhost";
  server_.SetLoginProfile(profile);
  uint32_t id = LogInOk();

  std::vector<uint8_t> sent;
  qz::test_support::FillServerInfo(profile, &sent);
  SERVERINFO info;
  std::memset(&info, 0xAB, sizeof info);
  ASSERT_EQ(GetServerInfo(id, &info), 1u);
  const auto* got = reinterpret_cast<const uint8_t*>(&info);
  for (size_t i = 0; i < sizeof info; ++i) {
    bool kept_by_caller = i == 171 || (i >= 188 && i < 684) || (i >= 688 && i < 692);
    bool text = (i >= 4 && i < 171);
    if (kept_by_caller) {
      ASSERT_EQ(got[i], 0xAB) << "offset " << i;
    } else if (!text) {
      ASSERT_EQ(got[i], sent[i]) << "offset " << i;
    }
  }
  EXPECT_STREQ(info.szHostName, "faxhost");
  EXPECT_STREQ(info.szText35, "scripted");
  EXPECT_EQ(info.dwSessionNo, 99);
  EXPECT_STREQ(info.UserInfo.szUserID, "alice");
  EXPECT_EQ(info.UserInfo.dwRights[3], 4u);
  EXPECT_EQ(GetServerInfo(id, nullptr), QZ_E_INVALIDARG);
}

TEST_F(LoginTest, AdviseChecksItsRecordUnadviseAlwaysCalls) {
  uint32_t id = LogInOk();
  server_.ClearCalls();
  ADVISEINFO advise;
  std::memset(&advise, 0, sizeof advise);
  EXPECT_EQ(Advise(id, advise), QZ_E_INVALIDARG);
  EXPECT_TRUE(server_.Calls().empty());

  advise.dwValues[2] = 0x1234;
  EXPECT_EQ(Advise(id, advise), 1u);
  UNADVISEINFO unadvise;
  std::memset(&unadvise, 0, sizeof unadvise);
  server_.Return(kAdvise, 7);
  EXPECT_EQ(Unadvise(id, unadvise), 7u);  // passed through unchanged

  auto calls = server_.Calls();
  ASSERT_EQ(calls.size(), 2u);
  const uint8_t guid[16] = {0x54, 0xea, 0xe8, 0x7b, 0xfb, 0xc9, 0x29, 0x40,
                            0x89, 0x65, 0xc8, 0x03, 0x63, 0x08, 0xa0, 0x1f};
  // GUID, operation, length, then max count, offset 0, actual count, bytes.
  std::vector<uint8_t> expected(guid, guid + 16);
  for (uint32_t v : {9u, 16u, 16u, 0u, 16u})
    for (int b = 0; b < 4; ++b) expected.push_back(static_cast<uint8_t>(v >> (8 * b)));
  expected.resize(expected.size() + 16, 0);
  EXPECT_EQ(calls[1].stub, expected);
  EXPECT_EQ(calls[0].stub.size(), 16u + 5 * 4 + 60);
  EXPECT_EQ(calls[0].stub[16], 8);
}

TEST_F(LoginTest, ChangePasswordSendsThePasswordsButNeverLogsThem) {
  uint32_t id = LogInOk();
  EXPECT_EQ(RemoteChangePassword(id, "old-Secret1", "new-Secret2"), 1u);
  auto calls = server_.Calls();
  ASSERT_EQ(calls.back().opnum, kChangePassword);
  EXPECT_EQ(calls.back().args[2].text, "old-Secret1");
  EXPECT_EQ(calls.back().args[3].text, "new-Secret2");
  std::string log = TraceLog();
  EXPECT_NE(log.find(" Call ChangePassword\n"), std::string::npos);
  EXPECT_NE(log.find("\tlpszOldPwd = ********\n"), std::string::npos);
  EXPECT_EQ(log.find("Secret1"), std::string::npos);
  EXPECT_EQ(log.find("Secret2"), std::string::npos);
  // A null password is refused without a call, as the access violation it is.
  size_t before = server_.Calls().size();
  EXPECT_EQ(RemoteChangePassword(id, nullptr, "x"), 0xC0000005u);
  EXPECT_EQ(server_.Calls().size(), before);
  // So is a non-null pointer that cannot be read: probed, not dereferenced.
  void* none = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(none, MAP_FAILED);
  EXPECT_EQ(RemoteChangePassword(id, static_cast<const char*>(none), "x"), 0xC0000005u);
  EXPECT_EQ(RemoteChangePassword(id, "x", static_cast<const char*>(none) + 100), 0xC0000005u);
  EXPECT_EQ(server_.Calls().size(), before);
  munmap(none, 4096);
}

TEST_F(LoginTest, ServerResultsAndFaultsSurfaceUnchanged) {
  uint32_t id = LogInOk();
  server_.Return(kSychronize, kOtherRefusal);
  EXPECT_EQ(RemoteSychronizeFromServer(id), static_cast<uint32_t>(kOtherRefusal));
  server_.Fault(kSychronize, 0x1C010002);  // procedure out of range
  EXPECT_EQ(RemoteSychronizeToServer(id), 1745u);
  // A broken call does not log the session out.
  EXPECT_EQ(IsServerIDValid(id), 1u);
}

TEST_F(LoginTest, ServerGoneGives1722) {
  uint32_t id = LogInOk();
  server_.Stop();
  EXPECT_EQ(RemoteSychronizeFromServer(id), 1722u);
  EXPECT_EQ(IsServerIDValid(id), 1u);
}

TEST_F(LoginTest, NoEndpointMapperFailsTheLoginCleanly) {
  server_.Stop();  // restores the environment: point it at a dead mapper
  fs::path empty = dir_ / "no-lrpc";
  fs::create_directories(empty);
  setenv("QZRPC_LRPC_DIR", empty.c_str(), 1);
  setenv("QZRPC_EPM_PORT", "1", 1);
  uint32_t id = 77;
  uint32_t status = LogInServer(&id);
  unsetenv("QZRPC_LRPC_DIR");
  unsetenv("QZRPC_EPM_PORT");
  EXPECT_EQ(status, 0x800706BAu);
  EXPECT_EQ(id, 0u);
}

TEST_F(LoginTest, QueryUserLogCountsWholeRecords) {
  uint32_t id = LogInOk();
  server_.OnCall(kQueryUserLog, [](qz::rpc::ServerArgs& args) {
    args[3].bytes.assign(2 * sizeof(USERLOG_TABLE) + 100, 0x5A);  // 2 records and a tail
    args[3].present = true;
    return 1;
  });
  USERLOG_TABLE* log = reinterpret_cast<USERLOG_TABLE*>(0x1);  // cleared by the export
  uint32_t count = 99;
  ASSERT_EQ(RemoteQueryUserLog(id, nullptr, &log, &count), 1u);
  EXPECT_EQ(count, 2u);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(log)[2 * sizeof(USERLOG_TABLE) + 99], 0x5A);
  EXPECT_NE(RDMemFree(log), 0u);
  EXPECT_EQ(server_.Calls().back().args[2].text, "");  // null condition went as ""

  server_.Return(kQueryUserLog, kOtherRefusal);
  EXPECT_EQ(RemoteQueryUserLog(id, "user=x", &log, &count), static_cast<uint32_t>(kOtherRefusal));
  EXPECT_EQ(log, nullptr);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(RemoteQueryUserLog(id, "", nullptr, &count), QZ_E_BADPARAM);
}

TEST_F(LoginTest, MissingRightRefusesWithoutACall) {
  qz::test_support::LoginProfile profile;
  profile.rights = {0xFFFFFFFFu, 0xFFFFFFFFu, ~0x10000u, 0xFFFFFFFFu};
  server_.SetLoginProfile(profile);
  uint32_t id = LogInOk();
  server_.ClearCalls();
  USERLOG_TABLE* log = nullptr;
  uint32_t count = 0;
  EXPECT_EQ(RemoteQueryUserLog(id, "", &log, &count), QZ_E_ACCESSDENIED);
  EXPECT_EQ(RemoteDelUserLog(id, ""), QZ_E_ACCESSDENIED);
  EXPECT_TRUE(server_.Calls().empty());
}

// Calls of one session from several threads run side by side and each
// gets its own answer; failures on one thread land in the shared error slot
// without disturbing the others.
TEST_F(LoginTest, ConcurrentCallsOnOneSession) {
  uint32_t id = LogInOk();
  std::atomic<int> in_flight{0}, most{0};
  server_.OnCall(kSychronize, [&](qz::rpc::ServerArgs&) {
    int now = ++in_flight;
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    --in_flight;
    return 1;
  });
  server_.ClearCalls();
  constexpr int kThreads = 4, kCalls = 10;
  std::vector<std::thread> threads;
  std::vector<int> ok(kThreads, 0);
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) ok[t] += RemoteSychronizeFromServer(id) == 1u;
    });
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(ok[t], kCalls) << "thread " << t;
  EXPECT_EQ(server_.Calls().size(), size_t{kThreads * kCalls});
  EXPECT_GT(most.load(), 1) << "the calls were made one at a time";
}

}  // namespace

namespace {

// Stress: 8 threads x N calls of mixed procedures on one session (N =
// $QZ_STRESS_CALLS, default 10,000; meant for the ThreadSanitizer build,
// where every race the library has is reported). Every call must succeed
// and the server must see exactly the calls that were made.
// 8 x 10,000 calls under ThreadSanitizer, whose reports are what this
// test is for; a short run in other builds. QZ_STRESS_CALLS sets the count.
#if defined(__SANITIZE_THREAD__)
constexpr int kStressCalls = 10000;
#else
constexpr int kStressCalls = 400;
#endif

TEST_F(LoginTest, EightThreadsOfMixedCallsOnOneSession) {
  int calls = kStressCalls;
  if (const char* v = std::getenv("QZ_STRESS_CALLS"); v && std::atoi(v) > 0) calls = std::atoi(v);
  uint32_t id = LogInOk();
  server_.ClearCalls();
  constexpr int kThreads = 8;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  std::atomic<int> remote{0};
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < calls; ++i) {
        uint32_t r = 1;
        switch ((i + t) % 5) {
          case 0: r = RemoteSychronizeFromServer(id); ++remote; break;
          case 1: r = RemoteSychronizeToServer(id); ++remote; break;
          case 2: {
            USERLOG_TABLE* log = nullptr;
            uint32_t count = 0;
            r = RemoteQueryUserLog(id, "", &log, &count);
            RDMemFree(log);
            ++remote;
            break;
          }
          case 3: {
            SERVERINFO info;
            r = GetServerInfo(id, &info);
            break;
          }
          default:
            r = IsServerIDValid(id);
            break;
        }
        failures[t] += r != 1u;
      }
    });
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
  EXPECT_EQ(server_.Calls().size(), static_cast<size_t>(remote.load()));
}

}  // namespace
