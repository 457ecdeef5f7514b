// crash_test.cc -- qzfaxd killed with SIGKILL at random moments while the
// library makes a stream of changes: fax submissions (two jobs each), new
// users, configuration values and password changes. After each restart on
// the same database the client carries on with the same session (its
// pooled connection to the dead process is dropped and reopened), and the
// database is read directly:
//  - every acknowledged change is there exactly once (both tasks of a
//    submission, the user with all eight of its folders, the value, the
//    password);
//  - the change in flight when the server died is there whole or not at
//    all (never one task of two, a user without folders, folders without
//    their user), and so is every change the server never answered;
//  - every task's document is in the server's files, and the database
//    passes its integrity check.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "qzcsif/qzcsif.h"
#include "qzcsif/qzrecords_admin.h"
#include "server/fax_document.h"
#include "server/sql.h"
#include "tests/support/scripted_server.h"

namespace {

namespace fs = std::filesystem;
using qz::faxd::Stmt;

std::string Password(int n) { return n == 0 ? "" : "pw-" + std::to_string(n); }

template <size_t N>
void Put(char (&field)[N], const std::string& s) {
  std::memset(field, 0, N);
  std::memcpy(field, s.data(), std::min(s.size(), N - 1));
}

// What the test asked for: operation i is a submission, a user, a value
// or a password change, in this order (users and passwords cost password
// hashes, tenths of a second each, so they come less often).
enum class Kind { kFax, kUser, kConfig, kPassword };
Kind KindOf(int i) {
  constexpr Kind kCycle[] = {Kind::kFax, Kind::kConfig, Kind::kUser,
                             Kind::kFax, Kind::kConfig, Kind::kPassword};
  return kCycle[i % 6];
}
std::string Name(int i) { return "c" + std::to_string(i); }

// How much of operation i the database holds: 0 nothing, 2 all of it,
// 1 a part (never allowed). Passwords are checked through the library.
int Presence(sqlite3* db, int i) {
  auto count = [db](const char* sql, const std::string& v) {
    Stmt s(db, sql);
    return s.Bind(1, std::string_view(v)) && s.Step() == SQLITE_ROW ? s.Int(0) : -1;
  };
  switch (KindOf(i)) {
    case Kind::kFax: {
      int64_t n = count("SELECT COUNT(*) FROM send_tasks WHERE subject = ?", Name(i));
      return n == 0 ? 0 : n == 2 ? 2 : 1;
    }
    case Kind::kUser: {
      int64_t user = count("SELECT COUNT(*) FROM users WHERE id = ?", Name(i));
      int64_t folders =
          count("SELECT COUNT(*) FROM store_folders WHERE class = 0 AND owner = ?", Name(i));
      if (user == 0 && folders == 0) return 0;
      return user == 1 && folders == 8 ? 2 : 1;
    }
    case Kind::kConfig: {
      int64_t n = count("SELECT COUNT(*) FROM config_pairs WHERE name = ? AND value = 'v'",
                        "crash." + Name(i));
      return n == 0 ? 0 : n == 1 ? 2 : 1;
    }
    case Kind::kPassword: break;
  }
  return 0;
}

class CrashE2E : public ::testing::Test {
 protected:
  // One operation through the library: its status (1 acknowledged).
  uint32_t Apply(int i, int password) {
    switch (KindOf(i)) {
      case Kind::kFax: {
        FAXJOB_TABLE jobs[2];
        for (FAXJOB_TABLE& j : jobs) {
          std::memset(&j, 0, sizeof j);
          j.dwSize = sizeof j;
          Put(j.szRecipientNumber, "555 0100");
          Put(j.szSubject, Name(i));
          Put(j.szDocumentPath, doc_);
        }
        SENDRESULT_TABLE results[2];
        return RemoteSendFax(id_, jobs, 2, results);
      }
      case Kind::kUser: {
        USEROP_RECORD u;
        std::memset(&u, 0, sizeof u);
        u.dwLength = sizeof u;
        Put(u.szUserID, Name(i));
        Put(u.szUserName, Name(i));
        return RemoteUserOP(id_, 1, &u, 1);
      }
      case Kind::kConfig: {
        QZCONFIG_STRINGPAIR pair;
        Put(pair.szFirst, "crash." + Name(i));
        Put(pair.szSecond, "v");
        uint32_t size = sizeof pair;
        return RemoteAccessConfig(id_, 1, pair.szFirst, 2, &pair, &size);
      }
      case Kind::kPassword:
        return RemoteChangePassword(id_, Password(password).c_str(),
                                    Password(password + 1).c_str());
    }
    return 0;
  }

  uint32_t id_ = 0;
  std::string doc_;
};

TEST_F(CrashE2E, AcknowledgedChangesSurviveSigkillWholeAndTheSessionCarriesOn) {
  qz::test_support::FaxdProcess faxd;
  std::string error;
  ASSERT_TRUE(faxd.Start(&error)) << error;
  faxd.ApplyEnvironment();
  fs::path old_cwd = fs::current_path();
  fs::path dir = fs::path(faxd.directory()) / "client";
  fs::create_directories(dir);
  fs::current_path(dir);
  doc_ = (dir / "letter.tif").string();
  ASSERT_TRUE(qz::faxd::WriteFaxDocument(doc_, 1, true, {"CRASH"}));
  const std::string epm_port = std::to_string(faxd.epm_port());
  // The same database and mapper port. The port was free a moment ago;
  // another process may take it meanwhile, so a few attempts.
  auto restart = [&] {
    qz::test_support::FaxdProcess::Options o;
    o.extra_args = {"--epm-port", epm_port};
    for (int attempt = 0; attempt < 5; ++attempt)
      if (faxd.Start(o, &error)) return true;
    return false;
  };

  ASSERT_EQ(QZIfInitialize(), 0u);
  ASSERT_EQ(LogInServer(&id_), 1u);
  std::mt19937 rng(std::random_device{}());
  // Operations 0..next-1 were asked for; acked[i]: answered with success.
  std::map<int, bool> acked;
  int next = 0;
  int password = 0;  // Password(password) is the password as far as the client knows
  constexpr int kKills = 4;
  for (int round = 0; round < kKills; ++round) {
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::atomic<uint32_t> refused{0};  // status of a refusal while the server was up
    std::atomic<bool> dying{false};
    std::thread changer([&] {
      while (!stop.load()) {
        int i = next++;
        if (uint32_t rc = Apply(i, password); rc != 1u) {
          if (!dying.load()) refused = rc;
          return;  // else the server died under the call
        }
        acked[i] = true;
        if (KindOf(i) == Kind::kPassword) ++password;
        ++answered;
      }
    });
    // Some changes of this round are acknowledged, then the server dies at
    // a random moment of the following ones.
    for (int i = 0; i < 6000 && answered < 2 && refused == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool progressed = answered >= 2;
    if (progressed)
      std::this_thread::sleep_for(
          std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 600)(rng)));
    dying = true;
    ASSERT_EQ(kill(faxd.pid(), SIGKILL), 0);
    faxd.Stop();  // reaps the killed process
    stop = true;
    changer.join();
    ASSERT_EQ(refused.load(), 0u) << "round " << round << ": operation " << next - 1
                                  << " refused";
    ASSERT_TRUE(progressed) << "round " << round << ": too few changes acknowledged";

    ASSERT_TRUE(restart()) << error;
    // The session survived: no new login; the dead pooled connection is
    // dropped and a new one made.
    ASSERT_EQ(RemoteSychronizeFromServer(id_), 1u) << "round " << round;

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(faxd.database().c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
              SQLITE_OK);
    const int in_flight = next - 1;
    for (int i = 0; i < next; ++i) {
      if (KindOf(i) == Kind::kPassword) continue;
      int presence = Presence(db, i);
      EXPECT_NE(presence, 1) << "round " << round << ": operation " << i << " half there";
      if (acked.count(i)) {
        EXPECT_EQ(presence, 2) << "round " << round << ": acknowledged operation " << i << " lost";
      } else if (i == in_flight && presence == 2) {
        acked[i] = true;  // committed just before the kill
      } else {
        EXPECT_EQ(presence, 0) << "round " << round << ": operation " << i << " appeared";
      }
    }
    {
      Stmt docs(db, "SELECT document_file FROM send_tasks");
      while (docs.Step() == SQLITE_ROW) {
        fs::path f = docs.Text(0);
        if (f.is_relative()) f = faxd.database() + ".data/" + f.string();
        EXPECT_TRUE(fs::is_regular_file(f)) << "round " << round << ": document " << f;
      }
      Stmt check(db, "PRAGMA integrity_check");
      ASSERT_EQ(check.Step(), SQLITE_ROW);
      EXPECT_EQ(check.Text(0), "ok");
    }
    sqlite3_close(db);
    // The password: the acknowledged one, or the one of the change in
    // flight when it committed before the kill.
    if (RemoteChangePassword(id_, Password(password).c_str(), "probe") == 1u) {
      ASSERT_EQ(RemoteChangePassword(id_, "probe", Password(password).c_str()), 1u);
    } else {
      ASSERT_EQ(KindOf(in_flight), Kind::kPassword)
          << "round " << round << ": acknowledged password lost";
      ASSERT_EQ(RemoteChangePassword(id_, Password(password + 1).c_str(),
                                     Password(password + 1).c_str()),
                1u)
          << "round " << round << ": password is neither acknowledged nor in flight";
      ++password;
      acked[in_flight] = true;
    }
    if (HasFailure()) break;
  }
  // Pooled connections that die between calls: parallel calls leave
  // several idle connections in the library's pool, the server dies while
  // none is in use, and after the restart parallel calls of the same
  // session all succeed on new connections.
  auto parallel_calls = [&] {
    std::atomic<int> ok{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t)
      callers.emplace_back([&] {
        for (int n = 0; n < 20; ++n) ok += RemoteSychronizeFromServer(id_) == 1u;
      });
    for (std::thread& t : callers) t.join();
    return ok.load();
  };
  if (!HasFailure()) {
    ASSERT_EQ(parallel_calls(), 80);
    ASSERT_EQ(kill(faxd.pid(), SIGKILL), 0);
    faxd.Stop();
    ASSERT_TRUE(restart()) << error;
    EXPECT_EQ(parallel_calls(), 80);
  }
  // The user log still answers; its last moments may be missing.
  USERLOG_TABLE* log = nullptr;
  uint32_t count = 0;
  EXPECT_EQ(RemoteQueryUserLog(id_, "proc=rpcChangePassword", &log, &count), 1u);
  RDMemFree(log);
  QZIfUninitialize();
  fs::current_path(old_cwd);
  faxd.Stop();
}

}  // namespace
