// crash_test.cc -- qzfaxd killed with SIGKILL at random moments while the
// library makes changes: after each restart the client carries on with the
// same session (its pooled connection to the dead process is dropped and
// reopened), and every acknowledged password change is there exactly
// once: the password is the last acknowledged one, or the one of the
// change that was in flight when the server died, never anything else.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "qzcsif/qzcsif.h"
#include "tests/support/scripted_server.h"

namespace {

namespace fs = std::filesystem;

std::string Password(int n) { return n == 0 ? "" : "pw-" + std::to_string(n); }

TEST(CrashE2E, AcknowledgedChangesSurviveSigkillAndTheSessionCarriesOn) {
  qz::test_support::FaxdProcess faxd;
  std::string error;
  ASSERT_TRUE(faxd.Start(&error)) << error;
  faxd.ApplyEnvironment();
  fs::path old_cwd = fs::current_path();
  fs::path dir = fs::path(faxd.directory()) / "client";
  fs::create_directories(dir);
  fs::current_path(dir);
  const std::string epm_port = std::to_string(faxd.epm_port());

  ASSERT_EQ(QZIfInitialize(), 0u);
  uint32_t id = 0;
  ASSERT_EQ(LogInServer(&id), 1u);
  std::mt19937 rng(std::random_device{}());
  std::atomic<int> acked{0};  // the password is Password(acked) as far as the client knows
  // Each change hashes twice (Argon2id, tenths of a second on a busy
  // machine), so the moments to kill at spread over seconds.
  constexpr int kKills = 4;
  for (int round = 0; round < kKills; ++round) {
    std::atomic<bool> stop{false};
    std::atomic<int> in_flight{-1};
    std::thread changer([&] {
      while (!stop.load()) {
        in_flight = acked + 1;
        if (RemoteChangePassword(id, Password(acked).c_str(), Password(acked + 1).c_str()) != 1u) {
          if (!stop.load()) in_flight = -2;  // refused while the server was up: fails below
          return;  // the server died under the call
        }
        ++acked;
        in_flight = -1;
      }
    });
    // At least one change of this round is acknowledged, then the server
    // dies at a random moment of the following ones.
    const int before = acked;
    for (int i = 0; i < 6000 && acked == before && in_flight.load() != -2; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool progressed = acked > before;
    if (progressed)
      std::this_thread::sleep_for(std::chrono::milliseconds(
          std::uniform_int_distribution<int>(0, 1500)(rng)));
    ASSERT_EQ(kill(faxd.pid(), SIGKILL), 0);
    faxd.Stop();  // reaps the killed process
    stop = true;
    changer.join();
    ASSERT_TRUE(progressed) << "round " << round << ": no change acknowledged";

    qz::test_support::FaxdProcess::Options o;
    o.extra_args = {"--epm-port", epm_port};
    // The mapper's port was free a moment ago; another process may take it
    // meanwhile, so a few attempts.
    bool started = false;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) started = faxd.Start(o, &error);
    ASSERT_TRUE(started) << error;
    // The session survived: no new login; the dead pooled connection is
    // dropped and a new one made.
    ASSERT_EQ(RemoteSychronizeFromServer(id), 1u) << "round " << round;
    // Exactly once: the acknowledged password, or the in-flight change
    // when it committed before the kill.
    if (RemoteChangePassword(id, Password(acked).c_str(), "probe") == 1u) {
      ASSERT_EQ(RemoteChangePassword(id, "probe", Password(acked).c_str()), 1u);
    } else {
      ASSERT_EQ(in_flight.load(), acked + 1) << "round " << round << ": acknowledged change lost";
      ASSERT_EQ(RemoteChangePassword(id, Password(acked + 1).c_str(), Password(acked + 1).c_str()),
                1u) << "round " << round << ": password is neither acknowledged nor in flight";
      ++acked;
    }
  }
  // The user log still answers; its last moments may be missing.
  USERLOG_TABLE* log = nullptr;
  uint32_t count = 0;
  EXPECT_EQ(RemoteQueryUserLog(id, "proc=rpcChangePassword", &log, &count), 1u);
  RDMemFree(log);
  QZIfUninitialize();
  fs::current_path(old_cwd);
  faxd.Stop();
}

}  // namespace
