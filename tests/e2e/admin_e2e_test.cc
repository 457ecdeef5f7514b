// End to end: an administrator steers qzfaxd's engine through the library
// (lines with a limitation rule and a dial rule, a line out of service,
// routing to a department, authorization), and the system log and a report
// show what happened. qzfaxd runs with fast simulated lines; the test waits
// for observable task states with a deadline (the engine runs on the real
// clock in a separate process).
//
// Not built yet: it needs the send queue (qzfaxd's engine, fax_document.h)
// and the library's exports of lines, dialing, logs and reports on main;
// tests/e2e/CMakeLists.txt adds it to qz_e2e_tests once they are there.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "qzcsif/qzcsif.h"
#include "server/fax_document.h"
#include "tests/support/scripted_server.h"

namespace {

namespace fs = std::filesystem;

template <size_t N>
void Put(char (&field)[N], const std::string& text) {
  std::memset(field, 0, N);
  std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}

class AdminE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    qz::test_support::FaxdProcess::Options o;
    o.extra_args = {"--lines", "1", "--connect-ms", "20", "--page-ms", "20", "--retry-ms",
                    "600000"};
    std::string error;
    ASSERT_TRUE(faxd_.Start(o, &error)) << error;
    faxd_.ApplyEnvironment();
    old_cwd_ = fs::current_path();
    dir_ = fs::path(faxd_.directory()) / "client";
    fs::create_directories(dir_);
    fs::current_path(dir_);
    document_ = (dir_ / "doc.tif").string();
    ASSERT_TRUE(qz::faxd::WriteFaxDocument(document_, 2, true, {"administration"}));
    ASSERT_EQ(QZIfInitialize(), 0u);
    ASSERT_EQ(LogInServer(&id_), 1u);
  }
  void TearDown() override {
    QZIfUninitialize();
    fs::current_path(old_cwd_);
    faxd_.Stop();
  }

  uint32_t Submit(const std::string& number, uint32_t* state = nullptr) {
    FAXJOB_TABLE job;
    std::memset(&job, 0, sizeof job);
    job.dwSize = sizeof job;
    Put(job.szRecipientNumber, number);
    Put(job.szRecipientName, "Sales");
    Put(job.szDocumentPath, document_);
    SENDRESULT_TABLE result;
    std::memset(&result, 0, sizeof result);
    EXPECT_EQ(RemoteSendFax(id_, &job, 1, &result), 1u);
    EXPECT_EQ(result.lStatus, 1) << result.szDetail;
    if (state) *state = result.dwState;
    return result.dwFaxID;
  }
  SENDTASK_TABLE Task(uint32_t fax) {
    SENDTASK_TABLE* t = nullptr;
    uint32_t n = 0;
    SENDTASK_TABLE out;
    std::memset(&out, 0, sizeof out);
    if (RemoteViewSendTask(id_, 0, fax, &t, &n) == 1u && n >= 1) out = t[0];
    RDMemFree(t);
    return out;
  }
  // Waits (bounded) until the task is in `state`.
  bool WaitFor(uint32_t fax, uint32_t state) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (Task(fax).dwState == state) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  std::vector<std::string> SysLog(const char* condition) {
    SYSLOG_TABLE* log = nullptr;
    uint32_t n = 0;
    EXPECT_EQ(RemoteQuerySysLog(id_, condition, &log, &n), 1u);
    std::vector<std::string> texts;
    for (uint32_t i = 0; i < n; ++i) texts.push_back(log[i].szText);
    RDMemFree(log);
    return texts;
  }
  static bool Has(const std::vector<std::string>& texts, const std::string& part) {
    for (const std::string& t : texts)
      if (t.find(part) != std::string::npos) return true;
    return false;
  }

  qz::test_support::FaxdProcess faxd_;
  fs::path dir_, old_cwd_;
  std::string document_;
  uint32_t id_ = 0;
};

TEST_F(AdminE2E, SettingsSteerTheEngine) {
  // Line 1 (8001) comes from the daemon's options; the administrator adds
  // line 2 (8002), which alone may dial 8001, with a dial rule putting 9
  // in front.
  PORTINFO_TABLE line;
  std::memset(&line, 0, sizeof line);
  line.dwState = QZ_PORT_IN_SERVICE;
  line.dwFlags = QZ_PORT_SEND | QZ_PORT_RECEIVE;
  Put(line.szNumber, "8002");
  Put(line.szName, "second line");
  ASSERT_EQ(RemoteSetPortStatus(id_, &line, 1), 1u);
  LINECHECK_TABLE rules[2];
  std::memset(rules, 0, sizeof rules);
  rules[0].dwPortID = 1;
  rules[0].dwAction = QZ_LINECHECK_DENY;  // line 1 dials nothing
  rules[1].dwPortID = 2;
  rules[1].dwAction = QZ_LINECHECK_ALLOW;
  Put(rules[1].szPrefix, "8001");
  ASSERT_EQ(RemotePortLimitedOP(id_, 0, rules, 2), 1u);
  DIALRULE_TABLE dial;
  std::memset(&dial, 0, sizeof dial);
  dial.dwLength = sizeof dial;
  dial.dwPortID = 2;
  Put(dial.szMatch, "8001");
  Put(dial.szPrepend, "9");
  ASSERT_EQ(RemoteDialRuleOP(id_, 0, &dial, 1), 1u);
  // Faxes received on 8001 go to the sales department.
  ROUTERCONFIG_TABLE route;
  std::memset(&route, 0, sizeof route);
  route.dwTargetKind = QZ_ROUTE_DEPARTMENT;
  route.dwEnabled = 1;
  Put(route.szNumber, "8001");
  Put(route.szTarget, "sales");
  ASSERT_EQ(RemoteRouterOP(id_, 0, &route, 1), 1u);

  uint32_t first = Submit("8001");
  ASSERT_TRUE(WaitFor(first, QZ_TASK_DONE));
  SENDTASK_TABLE t = Task(first);
  EXPECT_EQ(t.dwLineID, 2u);  // the only line allowed to dial it
  EXPECT_EQ(t.dwAttempts, 1u);
  EXPECT_TRUE(Has(SysLog("source=lines"), "line 2: dialing 98001"));
  EXPECT_TRUE(Has(SysLog("source=routing"), "routed to department:sales"));

  // Line 2 out of service: nothing may dial 8001, the task waits.
  PORTINFO_TABLE stop;
  std::memset(&stop, 0, sizeof stop);
  stop.dwPortID = 2;
  ASSERT_EQ(RemoteStopLine(id_, &stop, 1), 1u);
  uint32_t second = Submit("8001");
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  while (std::chrono::steady_clock::now() < until) {  // 25 times the engine's pace
    SENDTASK_TABLE w = Task(second);
    ASSERT_EQ(w.dwState, QZ_TASK_QUEUED);
    ASSERT_EQ(w.dwAttempts, 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  line.dwPortID = 2;
  ASSERT_EQ(RemoteSetPortStatus(id_, &line, 1), 1u);  // back in service
  ASSERT_TRUE(WaitFor(second, QZ_TASK_DONE));
  EXPECT_EQ(Task(second).dwLineID, 2u);

  // The administrator's own faxes now wait for authorisation.
  AUTHORIZEDINFO_TABLE auth;
  std::memset(&auth, 0, sizeof auth);
  Put(auth.szUserID, "admin");
  auth.dwFlags = QZ_AUTH_HOLD;
  ASSERT_EQ(RemoteAuthorizedOP(id_, 0, &auth, 1), 1u);
  uint32_t state = 0;
  uint32_t third = Submit("8001", &state);
  EXPECT_EQ(state, QZ_TASK_HELD);
  EXPECT_EQ(Task(third).dwState, QZ_TASK_HELD);
  ASSERT_EQ(RemoteAuthToFax(id_, third, 1), 1u);
  ASSERT_TRUE(WaitFor(third, QZ_TASK_DONE));

  std::vector<std::string> log = SysLog("");
  EXPECT_TRUE(Has(log, "line 2 out of service"));
  EXPECT_TRUE(Has(log, "authorization entry records changed"));

  // The report counts the faxes per user: three sent by admin.
  void* data = nullptr;
  uint32_t size = 0;
  ASSERT_EQ(RemoteQueryReport(id_, "group=user; direction=1", &data, &size), 1u);
  ASSERT_GE(size, sizeof(FAXREPORTHEADER) + sizeof(FAXREPORTROW));
  FAXREPORTHEADER head;
  std::memcpy(&head, data, sizeof head);
  FAXREPORTROW row;
  std::memcpy(&row, static_cast<uint8_t*>(data) + sizeof head, sizeof row);
  RDMemFree(data);
  EXPECT_EQ(head.dwRows, 1u);
  EXPECT_STREQ(row.szKey, "admin");
  EXPECT_EQ(row.dwSent, 3u);
  EXPECT_EQ(row.dwPages, 6u);
}

}  // namespace
