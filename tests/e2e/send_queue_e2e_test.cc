// End to end: the send queue through the public library against qzfaxd
// over real DCE RPC (ncalrpc, found through the server's endpoint mapper).
// The server runs in this process on a manual clock so that the test steps
// its engine instead of waiting for it: log in, submit three faxes (one to
// a busy number, one to the server's own line), watch the progress,
// reprioritise, lock, stop and delete, see the delivered fax as a receive
// task, then stop the service, back it up and start it again through the
// service-control exports.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "interfaces/stubs.h"
#include "qzcsif/qzcsif.h"
#include "rpc/binding_api.h"
#include "server/daemon.h"
#include "server/fax_document.h"
#include "server/send_queue.h"

namespace qz::faxd {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kConnect = 1000, kPage = 4000;

class SendQueueE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "qz-send-e2e.XXXXXX").string();
    dir_ = mkdtemp(tmpl.data());
    setenv("QZRPC_LRPC_DIR", (dir_ / "lrpc").c_str(), 1);
    DaemonOptions o;
    o.db_path = (dir_ / "qzfaxd.db").string();
    o.store.password_cost = PasswordCost::Minimal();
    o.store.os_user = LookUpOsUser(static_cast<uint32_t>(geteuid())).value_or("");
    o.local_endpoint = "qz-send-e2e";
    o.clock = &clock_;
    o.send_simulation.connect_ms = kConnect;
    o.send_simulation.page_ms = kPage;
    o.send_simulation.engine_thread = false;
    daemon_ = std::make_unique<Daemon>(o);
    std::string error;
    ASSERT_TRUE(daemon_->Start(&error)) << error;
    setenv("QZRPC_EPM_PORT", std::to_string(daemon_->epm_port()).c_str(), 1);
    for (ProcedureFamily* f : daemon_->service().families())
      if (auto* q = dynamic_cast<SendQueueFamily*>(f)) engine_ = &q->engine();
    ASSERT_NE(engine_, nullptr);
    fs::current_path(dir_);  // the library's trace log goes here
  }
  void TearDown() override {
    QZIfUninitialize();
    daemon_.reset();
    fs::current_path("/");
    fs::remove_all(dir_);
  }

  static std::vector<uint8_t> Job(const std::string& number, const std::string& path) {
    FAXJOB_TABLE j;
    std::memset(&j, 0, sizeof j);
    j.dwSize = sizeof j;
    std::strcpy(j.szRecipientNumber, number.c_str());
    std::strcpy(j.szSubject, "end to end");
    std::strcpy(j.szDocumentPath, path.c_str());
    std::vector<uint8_t> b(sizeof j);
    std::memcpy(b.data(), &j, sizeof j);
    return b;
  }
  std::vector<TASKINFO> Progress(uint32_t id, const std::vector<uint32_t>& ids) {
    TASKINFO* info = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(RemoteGetTaskProgress(id, ids.data(), static_cast<uint32_t>(ids.size()), &info,
                                    &count),
              1u);
    std::vector<TASKINFO> out(info, info + count);
    RDMemFree(info);
    return out;
  }
  std::vector<SENDTASK_TABLE> View(uint32_t id) {
    SENDTASK_TABLE* tasks = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(RemoteViewSendTask(id, 1, 0, &tasks, &count), 1u);
    std::vector<SENDTASK_TABLE> out(tasks, tasks + count);
    RDMemFree(tasks);
    return out;
  }

  fs::path dir_;
  ManualClock clock_;
  std::unique_ptr<Daemon> daemon_;
  SendEngine* engine_ = nullptr;
};

TEST_F(SendQueueE2E, SubmitSteerDeliverAndControlTheService) {
  ASSERT_EQ(QZIfInitialize(), 0u);
  uint32_t id = 0;
  ASSERT_EQ(LogInServer(&id), 1u);
  SERVERINFO info;
  ASSERT_EQ(GetServerInfo(id, &info), 1u);
  std::string doc = (dir_ / "letter.tif").string();
  ASSERT_TRUE(WriteFaxDocument(doc, 2, true, {"A LETTER"}));

  // Three faxes: to a number that answers, to a busy one, to line 8002.
  std::vector<uint8_t> jobs;
  for (const char* number : {"555 0100", "555 0199", "8002"}) {
    std::vector<uint8_t> j = Job(number, doc);
    jobs.insert(jobs.end(), j.begin(), j.end());
  }
  SENDRESULT_TABLE results[3];
  ASSERT_EQ(RemoteSendFax(id, reinterpret_cast<const FAXJOB_TABLE*>(jobs.data()), 3, results), 1u);
  std::vector<uint32_t> ids;
  for (const SENDRESULT_TABLE& r : results) {
    EXPECT_EQ(r.lStatus, 1);
    EXPECT_EQ(r.dwPages, 2u);
    ids.push_back(r.dwFaxID);
  }
  const uint32_t plain = ids[0], busy = ids[1], own = ids[2];

  // Two lines: the first two go out; the first page of the plain fax is done.
  engine_->RunFor(clock_, kConnect + kPage);
  std::vector<TASKINFO> p = Progress(id, ids);
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0].dwState, QZ_TASK_SENDING);
  EXPECT_EQ(p[0].dwPagesDone, 1u);
  EXPECT_EQ(p[1].dwState, QZ_TASK_QUEUED);  // busy: waits for its retry
  EXPECT_EQ(p[2].dwState, QZ_TASK_SENDING);  // took the line the busy one freed

  // Reprioritise the busy one, lock it, then stop it; it is never retried.
  TASKPRIORITY prio = {busy, 7, 0};
  EXPECT_EQ(RemoteEditTaskPRI(id, &prio, 1), 1u);
  EXPECT_EQ(RemoteLockTask(id, &busy, 1, 0), 1u);
  EXPECT_EQ(Progress(id, {busy})[0].dwState, QZ_TASK_LOCKED);
  EXPECT_EQ(RemoteSendFaxStop(id, &busy, 1), 1u);
  ASSERT_TRUE(engine_->RunUntilIdle(clock_));
  std::vector<SENDTASK_TABLE> view = View(id);
  ASSERT_EQ(view.size(), 3u);
  EXPECT_EQ(view[0].dwState, QZ_TASK_DONE);
  EXPECT_EQ(view[1].dwState, QZ_TASK_STOPPED);
  EXPECT_EQ(view[1].dwPriority, 7u);
  EXPECT_EQ(view[1].dwAttempts, 1u);
  EXPECT_EQ(view[1].lLastResult, QZ_SEND_BUSY);
  EXPECT_EQ(view[2].dwState, QZ_TASK_DONE);
  ASSERT_NE(view[2].dwRecvID, 0u);

  // Deleting: an unfinished task only with flag 1; the stopped one with 0.
  EXPECT_EQ(RemoteDeleteTask(id, &busy, 1, 0), 1u);
  EXPECT_EQ(View(id).size(), 2u);
  EXPECT_NE(RemoteDeleteTask(id, &busy, 1, 0), 1u);  // gone

  // The delivered fax is a receive task of ours (no export reads receive
  // tasks: the procedure through its stub, with the session's key).
  rpc::BindingHandle h = nullptr;
  ASSERT_EQ(rpc::RpcBindingFromStringBinding("ncalrpc:[qz-send-e2e]", &h), 0u);
  SESSIONKEY key;
  std::memset(&key, 0, sizeof key);
  std::memcpy(key.szUserID, info.UserInfo.szUserID, strnlen(info.UserInfo.szUserID, 19));
  key.dwSessionNo = info.dwSessionNo;
  uint8_t* reply = nullptr;
  int32_t bytes = 0;
  ASSERT_EQ(ifc::rpcViewRecvTask(h, &key, static_cast<int32_t>(view[2].dwRecvID), &reply, &bytes),
            1);
  ASSERT_EQ(bytes, QZ_SIZEOF_RECVTASK_TABLE);
  RECVTASK_TABLE recv;
  std::memcpy(&recv, reply, sizeof recv);
  ifc::GetMemoryRoutines().release(reply);
  rpc::RpcBindingFree(&h);
  EXPECT_EQ(recv.dwSendTaskID, own);
  EXPECT_EQ(recv.dwPages, 2u);
  EXPECT_STREQ(recv.szLineNumber, "8002");
  (void)plain;

  // Service control: stop at once, jobs are refused; back up; start again.
  EXPECT_EQ(ServerStop(id, 3), 0u);
  SENDRESULT_TABLE refused;
  EXPECT_EQ(RemoteSendFax(id, reinterpret_cast<const FAXJOB_TABLE*>(jobs.data()), 1, &refused),
            static_cast<uint32_t>(kServiceStopped));
  BACKUPINFO backup;
  std::memset(&backup, 0, sizeof backup);
  std::strcpy(backup.szName, "e2e.db");
  EXPECT_EQ(ServerBackup(id, &backup, 1), 0u);
  {  // the backup opens as the server's database, holding the queue
    std::string why;
    std::unique_ptr<Store> copy =
        Store::Open(daemon_->data_dir() + "/backups/e2e.db", StoreOptions{}, &why);
    ASSERT_TRUE(copy) << why;
    EXPECT_EQ(copy->WithDb([](sqlite3* db) { return LoadSendTasks(db, "", {}, 10).size(); }), 2u);
  }
  EXPECT_EQ(ServerStart(info.szHostName, "admin", "", 0), 0u);
  EXPECT_EQ(RemoteSendFax(id, reinterpret_cast<const FAXJOB_TABLE*>(jobs.data()), 1, &refused),
            1u);
  ASSERT_TRUE(engine_->RunUntilIdle(clock_));
  EXPECT_EQ(Progress(id, {refused.dwFaxID})[0].dwState, QZ_TASK_DONE);
}

}  // namespace
}  // namespace qz::faxd
