// End to end: an administrator steers qzfaxd's engine through the library
// (a line with a limitation rule and a dial rule, a line out of service,
// routing to a department, authorization), and the system log and a report
// show what happened. The daemon runs in this process with the families
// wired as qzfaxd wires them, on a manual clock that the test steps (the
// engine has no thread of its own), over real DCE RPC (ncalrpc).
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "qzcsif/qzcsif.h"
#include "server/daemon.h"
#include "server/fax_document.h"
#include "server/send_queue.h"

namespace qz::faxd {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kMinute = 60 * 1000;

template <size_t N>
void Put(char (&field)[N], const std::string& text) {
  std::memset(field, 0, N);
  std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}
template <typename T>
T Zero() {
  T t;
  std::memset(&t, 0, sizeof t);
  return t;
}

class AdminE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "qz-admin-e2e.XXXXXX").string();
    dir_ = mkdtemp(tmpl.data());
    setenv("QZRPC_LRPC_DIR", (dir_ / "lrpc").c_str(), 1);
    os_user_ = LookUpOsUser(static_cast<uint32_t>(geteuid())).value_or("");
    DaemonOptions o;
    o.db_path = (dir_ / "qzfaxd.db").string();
    o.store.password_cost = PasswordCost::Minimal();
    o.store.os_user = os_user_;
    o.local_endpoint = "qz-admin-e2e";
    o.service.register_local_users = false;
    o.clock = &clock_;
    o.send_simulation.lines = 1;  // line 1, number 8001
    o.send_simulation.first_number = 8001;
    o.send_simulation.connect_ms = 1000;
    o.send_simulation.page_ms = 4000;
    o.send_simulation.engine_thread = false;
    daemon_ = std::make_unique<Daemon>(o);
    std::string error;
    ASSERT_TRUE(daemon_->Start(&error)) << error;
    setenv("QZRPC_EPM_PORT", std::to_string(daemon_->epm_port()).c_str(), 1);
    for (ProcedureFamily* f : daemon_->service().families())
      if (auto* q = dynamic_cast<SendQueueFamily*>(f)) engine_ = &q->engine();
    ASSERT_NE(engine_, nullptr);
    fs::current_path(dir_);  // the library's trace log goes here
    document_ = (dir_ / "doc.tif").string();
    ASSERT_TRUE(WriteFaxDocument(document_, 2, true, {"administration"}));
    Become("admin");
  }
  void TearDown() override {
    QZIfUninitialize();
    daemon_.reset();
    fs::current_path("/");
    fs::remove_all(dir_);
  }

  // Logs in again with this OS account mapped to `user`.
  void Become(const std::string& user) {
    QZIfUninitialize();
    ASSERT_TRUE(daemon_->store().MapOsUser(os_user_, user));
    ASSERT_EQ(QZIfInitialize(), 0u);
    ASSERT_EQ(LogInServer(&id_), 1u);
  }
  uint32_t Submit(const std::string& number, uint32_t want_state = QZ_TASK_QUEUED) {
    auto job = Zero<FAXJOB_TABLE>();
    job.dwSize = sizeof job;
    Put(job.szRecipientNumber, number);
    Put(job.szDocumentPath, document_);
    auto result = Zero<SENDRESULT_TABLE>();
    EXPECT_EQ(RemoteSendFax(id_, &job, 1, &result), 1u);
    EXPECT_EQ(result.lStatus, 1) << result.szDetail;
    EXPECT_EQ(result.dwState, want_state) << number;
    return result.dwFaxID;
  }
  SENDTASK_TABLE Task(uint32_t fax) {
    SENDTASK_TABLE* t = nullptr;
    uint32_t n = 0;
    auto out = Zero<SENDTASK_TABLE>();
    EXPECT_EQ(RemoteViewSendTask(id_, 0, fax, &t, &n), 1u);
    if (n >= 1) out = t[0];
    RDMemFree(t);
    return out;
  }
  PORTINFO_TABLE Line(uint32_t id, const char* number, uint32_t state) {
    auto l = Zero<PORTINFO_TABLE>();
    l.dwPortID = id;
    l.dwState = state;
    l.dwFlags = QZ_PORT_SEND | QZ_PORT_RECEIVE;
    Put(l.szNumber, number);
    Put(l.szName, "line");
    return l;
  }
  // Whether a system-log entry of `user` (any when empty) holds `text`.
  bool Logged(const std::string& text, const std::string& user = "") {
    SYSLOG_TABLE* log = nullptr;
    uint32_t n = 0;
    EXPECT_EQ(RemoteQuerySysLog(id_, "", &log, &n), 1u);
    bool found = false;
    for (uint32_t i = 0; i < n && !found; ++i)
      found = std::string(log[i].szText).find(text) != std::string::npos &&
              (user.empty() || user == log[i].szUserID);
    RDMemFree(log);
    return found;
  }

  fs::path dir_;
  std::string os_user_, document_;
  ManualClock clock_;
  std::unique_ptr<Daemon> daemon_;
  SendEngine* engine_ = nullptr;
  uint32_t id_ = 0;
};

TEST_F(AdminE2E, SettingsSteerTheEngineAndShowInTheLogAndAReport) {
  // A department with a member whose faxes wait for authorisation.
  auto sales = Zero<DEPTINFO_TABLE>();
  Put(sales.szDeptID, "sales");
  Put(sales.szName, "Sales");
  ASSERT_EQ(RemoteDeptOP(id_, 1, &sales, 1), 1u);
  auto clerk = Zero<USEROP_RECORD>();
  clerk.dwLength = sizeof clerk;
  Put(clerk.szUserID, "clerk");
  Put(clerk.szDeptID, "sales");
  Put(clerk.szUserName, "clerk");
  clerk.dwRights[2] = 0xFFFFFFFF;  // sends and sees its own tasks; authorises nothing
  ASSERT_EQ(RemoteUserOP(id_, 1, &clerk, 1), 1u);
  auto hold = Zero<AUTHORIZEDINFO_TABLE>();
  Put(hold.szUserID, "clerk");
  hold.dwFlags = QZ_AUTH_HOLD;
  ASSERT_EQ(RemoteAuthorizedOP(id_, 0, &hold, 1), 1u);

  // Line 1 (8001) is the daemon's simulated line. The administrator adds
  // line 2 (8002); line 1 may not dial numbers beginning 555, and line 2
  // puts a 9 in front of them.
  PORTINFO_TABLE second = Line(0, "8002", QZ_PORT_IN_SERVICE);
  ASSERT_EQ(RemoteSetPortStatus(id_, &second, 1), 1u);
  auto rule = Zero<LINECHECK_TABLE>();
  rule.dwPortID = 1;
  rule.dwAction = QZ_LINECHECK_DENY;
  Put(rule.szPrefix, "555");
  ASSERT_EQ(RemotePortLimitedOP(id_, 0, &rule, 1), 1u);
  auto dial = Zero<DIALRULE_TABLE>();
  dial.dwLength = sizeof dial;
  dial.dwPortID = 2;
  Put(dial.szMatch, "555");
  Put(dial.szPrepend, "9");
  ASSERT_EQ(RemoteDialRuleOP(id_, 0, &dial, 1), 1u);
  // Faxes received on 8002 go to the sales department.
  auto route = Zero<ROUTERCONFIG_TABLE>();
  route.dwTargetKind = QZ_ROUTE_DEPARTMENT;
  route.dwEnabled = 1;
  Put(route.szNumber, "8002");
  Put(route.szTarget, "sales");
  ASSERT_EQ(RemoteRouterOP(id_, 0, &route, 1), 1u);

  // Line 1 is first and free, yet the fax goes out on line 2, rule applied.
  uint32_t first = Submit("555 0100");
  ASSERT_TRUE(engine_->RunUntilIdle(clock_, 30 * kMinute));
  SENDTASK_TABLE t = Task(first);
  EXPECT_EQ(t.dwState, QZ_TASK_DONE);
  EXPECT_EQ(t.dwLineID, 2u);
  EXPECT_STREQ(t.szLastError, "sent, dialled 95550100");

  // Line 2 out of service: line 1 stays idle and the task waits, unattempted.
  PORTINFO_TABLE stop = Line(2, "", 0);
  ASSERT_EQ(RemoteStopLine(id_, &stop, 1), 1u);
  uint32_t waiting = Submit("555 0100");
  engine_->RunFor(clock_, 10 * kMinute);
  t = Task(waiting);
  EXPECT_EQ(t.dwState, QZ_TASK_QUEUED);
  EXPECT_EQ(t.dwAttempts, 0u);
  second.dwPortID = 2;
  ASSERT_EQ(RemoteSetPortStatus(id_, &second, 1), 1u);  // back in service
  ASSERT_TRUE(engine_->RunUntilIdle(clock_, 30 * kMinute));
  EXPECT_EQ(Task(waiting).dwLineID, 2u);

  // A fax to 8002 arrives on line 2 and lands in the department's inbox.
  uint32_t own = Submit("8002");
  ASSERT_TRUE(engine_->RunUntilIdle(clock_, 30 * kMinute));
  EXPECT_EQ(Task(own).dwState, QZ_TASK_DONE);
  FOLDERINFO_TABLE* folders = nullptr;
  uint32_t n = 0;
  ASSERT_EQ(RemoteGetFolders(id_, QZ_KIND_INBOX, &folders, &n), 1u);
  auto inbox = Zero<FOLDERINFO_TABLE>();
  for (uint32_t i = 0; i < n; ++i)
    if (folders[i].dwClass == QZ_FOLDER_DEPARTMENT && std::string(folders[i].szOwner) == "sales")
      inbox = folders[i];
  RDMemFree(folders);
  ASSERT_NE(inbox.dwFolderID, 0u);
  void* items = nullptr;
  uint32_t size = 0;
  ASSERT_EQ(RemoteGetInformation(id_, &inbox, 3, &items, &size), 1u);
  ASSERT_EQ(size, sizeof(FAXVIEW_TABLE));
  EXPECT_EQ(static_cast<FAXVIEW_TABLE*>(items)->dwPages, 2u);
  RDMemFree(items);

  // The clerk's fax is held until the administrator authorises it.
  Become("clerk");
  uint32_t held = Submit("555 0100", QZ_TASK_HELD);
  Become("admin");
  engine_->RunFor(clock_, 10 * kMinute);
  EXPECT_EQ(Task(held).dwState, QZ_TASK_HELD);
  ASSERT_EQ(RemoteAuthToFax(id_, held, 1), 1u);
  ASSERT_TRUE(engine_->RunUntilIdle(clock_, 30 * kMinute));
  t = Task(held);
  EXPECT_EQ(t.dwState, QZ_TASK_DONE);
  EXPECT_EQ(t.dwLineID, 2u);

  // An OS account mapped to no user is refused.
  QZIfUninitialize();
  ASSERT_TRUE(daemon_->store().WithDb([](sqlite3* db) {
    return sqlite3_exec(db, "DELETE FROM os_users", nullptr, nullptr, nullptr) == SQLITE_OK;
  }));
  ASSERT_EQ(QZIfInitialize(), 0u);
  EXPECT_NE(LogInServer(&id_), 1u);
  Become("admin");

  // The system log: the dialled digits, the settings, the routing, sessions.
  EXPECT_TRUE(Logged("line 2: dialing 95550100"));
  EXPECT_FALSE(Logged("line 1: dialing 555"));
  EXPECT_TRUE(Logged("line 2 out of service", "admin"));
  EXPECT_TRUE(Logged("authorization entry records changed", "admin"));
  EXPECT_TRUE(Logged("authorised fax " + std::to_string(held), "admin"));
  EXPECT_TRUE(Logged("routed to department:sales"));
  EXPECT_TRUE(Logged("login: session", "clerk"));
  EXPECT_TRUE(Logged("logout: session", "clerk"));
  EXPECT_TRUE(Logged("login refused: OS user " + os_user_ + " is not mapped to a user"));

  // The report per user: admin sent three faxes, clerk one; the received
  // fax belongs to the department (no user).
  void* data = nullptr;
  ASSERT_EQ(RemoteQueryReport(id_, "group=user", &data, &size), 1u);
  ASSERT_EQ(size, sizeof(FAXREPORTHEADER) + 3 * sizeof(FAXREPORTROW));
  FAXREPORTROW rows[3];
  std::memcpy(rows, static_cast<uint8_t*>(data) + sizeof(FAXREPORTHEADER), sizeof rows);
  RDMemFree(data);
  EXPECT_STREQ(rows[0].szKey, "");
  EXPECT_EQ(rows[0].dwReceived, 1u);
  EXPECT_STREQ(rows[1].szKey, "admin");
  EXPECT_EQ(rows[1].dwSent, 3u);
  EXPECT_EQ(rows[1].dwPages, 6u);
  EXPECT_STREQ(rows[2].szKey, "clerk");
  EXPECT_EQ(rows[2].dwSent, 1u);
}

}  // namespace
}  // namespace qz::faxd
