// End to end: the memory of replies is bounded across qzfaxd. Callers that
// ask for large user-log answers over ncalrpc and then do not read them
// hold at most the server's bound of reply bytes (the others are refused
// with server_too_busy), while an honest client of the library is still
// served; and no procedure's record reply passes the record-reply bound.
// The server runs in this process (the test reads its count of held reply
// bytes); the stubborn callers speak raw PDUs so that they can stop reading.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/interfaces.h"
#include "qzcsif/qzcsif.h"
#include "qzcsif/qzrecords_admin.h"
#include "rpc/pdu.h"
#include "rpc/proc.h"
#include "rpc/transport.h"
#include "server/daemon.h"
#include "server/records.h"
#include "server/sql.h"

namespace qz::faxd {
namespace {

namespace fs = std::filesystem;

constexpr size_t kRecord = sizeof(UserLogRecord);
constexpr size_t kAnswerRecords = 2048;  // one answer: 1 MiB of records
constexpr uint32_t kClientBusy = 1723;  // server_too_busy, as the library reports it
constexpr uint32_t kReplyTooLargeResult = 0xC1FE0055u;

// A caller that sends one request and reads its answer only when told.
class StubbornCaller {
 public:
  bool Send(const std::string& socket, const std::vector<uint8_t>& key, const std::string& cond) {
    int err = 0;
    t_ = rpc::ConnectUnix(socket, 5000, &err);
    if (!t_) return false;
    rpc::BindPdu bind;
    bind.hdr.type = rpc::ptype::kBind;
    bind.hdr.call_id = 1;
    bind.contexts.push_back({0, ifc::MainInterface().id, {rpc::NdrSyntax()}});
    std::vector<uint8_t> pdu;
    rpc::PduHeader h;
    if (t_->SendAll(rpc::EncodeBind(bind)) != rpc::IoResult::kOk ||
        rpc::ReceivePdu(*t_, 65536, 5000, &pdu, &h) != rpc::RecvStatus::kOk ||
        h.type != rpc::ptype::kBindAck)
      return false;
    uint8_t* reply = nullptr;
    int32_t count = 0;
    rpc::ArgSlot args[5];
    args[1].ptr = const_cast<uint8_t*>(key.data());
    args[2].ptr = const_cast<char*>(cond.c_str());
    args[3].ptr = &reply;
    args[4].ptr = &count;
    std::vector<uint8_t> stub = rpc::MarshalRequest(ifc::kMainProcedures[3], args);
    rpc::RequestPdu req;
    req.hdr.type = rpc::ptype::kRequest;
    req.hdr.call_id = 2;
    req.alloc_hint = static_cast<uint32_t>(stub.size());
    req.opnum = 3;
    req.stub = stub;
    return t_->SendAll(rpc::EncodeRequest(req)) == rpc::IoResult::kOk;
  }
  // Reads the first PDU of the answer: "large" (the first fragment of a
  // longer answer), "busy" (a server_too_busy fault), else "other".
  std::string First() {
    std::vector<uint8_t> pdu;
    rpc::PduHeader h;
    if (rpc::ReceivePdu(*t_, 65536, 10000, &pdu, &h) != rpc::RecvStatus::kOk) return "none";
    if (h.type == rpc::ptype::kResponse && !(h.flags & rpc::pfc::kLastFrag)) return "large";
    rpc::FaultPdu f;
    if (h.type == rpc::ptype::kFault && rpc::DecodeFault(pdu, &f) &&
        f.status == rpc::nca::kServerTooBusy)
      return "busy";
    return "other";
  }
  // Reads the rest of a large answer.
  bool Drain() {
    for (;;) {
      std::vector<uint8_t> pdu;
      rpc::PduHeader h;
      if (rpc::ReceivePdu(*t_, 65536, 10000, &pdu, &h) != rpc::RecvStatus::kOk) return false;
      if (h.flags & rpc::pfc::kLastFrag) return true;
    }
  }

 private:
  std::unique_ptr<rpc::Transport> t_;
};

class ReplyMemoryE2E : public ::testing::Test {
 protected:
  void Start(const ServiceOptions& service) {
    std::string tmpl = (fs::temp_directory_path() / "qz-reply-e2e.XXXXXX").string();
    dir_ = mkdtemp(tmpl.data());
    setenv("QZRPC_LRPC_DIR", (dir_ / "lrpc").c_str(), 1);
    DaemonOptions o;
    o.store.password_cost = PasswordCost::Minimal();
    o.store.os_user = LookUpOsUser(static_cast<uint32_t>(geteuid())).value_or("");
    o.local_endpoint = "qz-reply-e2e";
    o.service = service;
    daemon_ = std::make_unique<Daemon>(o);
    std::string error;
    ASSERT_TRUE(daemon_->Start(&error)) << error;
    setenv("QZRPC_EPM_PORT", std::to_string(daemon_->epm_port()).c_str(), 1);
    fs::current_path(dir_);
    UserLogEntry e;
    e.procedure = "fill";
    e.detail = std::string(300, 'x');
    for (size_t i = 0; i < kAnswerRecords + 8; ++i) ASSERT_TRUE(daemon_->store().AppendUserLog(e));
    ASSERT_EQ(QZIfInitialize(), 0u);
    ASSERT_EQ(LogInServer(&id_), 1u);
  }
  void TearDown() override {
    QZIfUninitialize();
    daemon_.reset();
    fs::current_path("/");
    fs::remove_all(dir_);
  }
  // The key of the library's session (the same uid may use it).
  std::vector<uint8_t> Key() {
    std::vector<uint8_t> key(24, 0);
    std::memcpy(key.data(), "admin", 5);
    int32_t session = daemon_->store().LiveSessionNumbers().at(0);
    std::memcpy(&key[20], &session, 4);
    return key;
  }
  // RemoteQueryUserLog through the library: its status and record count.
  std::pair<uint32_t, uint32_t> Query(const std::string& cond) {
    USERLOG_TABLE* log = nullptr;
    uint32_t count = 0;
    uint32_t rc = RemoteQueryUserLog(id_, cond.c_str(), &log, &count);
    RDMemFree(log);
    return {rc, count};
  }

  fs::path dir_;
  std::unique_ptr<Daemon> daemon_;
  uint32_t id_ = 0;
};

TEST_F(ReplyMemoryE2E, StubbornReadersHoldAtMostTheBoundAndAnHonestClientIsServed) {
  ServiceOptions s;
  s.max_reply_bytes = kAnswerRecords * kRecord;
  // Room for three answers being sent (and their encoding), not four.
  const size_t bound = s.max_reply_bytes * 3 + s.max_reply_bytes / 2;
  s.max_replies_in_flight = bound;
  ASSERT_NO_FATAL_FAILURE(Start(s));
  const std::string socket = (dir_ / "lrpc" / "qz-reply-e2e").string();

  // One after the other (each answer is built before the next call comes),
  // so that only the bound of answers being sent decides.
  constexpr int kCallers = 8;
  std::vector<StubbornCaller> callers(kCallers);
  std::vector<std::string> first;
  for (StubbornCaller& c : callers) {
    ASSERT_TRUE(c.Send(socket, Key(), "proc=fill"));
    first.push_back(c.First());
  }
  EXPECT_EQ(first, (std::vector<std::string>{"large", "large", "large", "busy", "busy", "busy",
                                             "busy", "busy"}));
  // Nobody reads on: the answers being sent stay within the bound.
  EXPECT_GT(daemon_->held_reply_bytes(), 3 * s.max_reply_bytes);
  EXPECT_LE(daemon_->held_reply_bytes(), bound);

  // The honest client: small calls and small answers go; a large answer
  // waits for room.
  EXPECT_EQ(RemoteSychronizeFromServer(id_), 1u);
  EXPECT_EQ(Query("proc=fill; after=" + std::to_string(kAnswerRecords + 5)),
            std::make_pair(1u, 3u));
  EXPECT_EQ(Query("proc=fill").first, kClientBusy);

  for (int i = 0; i < 3; ++i) EXPECT_TRUE(callers[i].Drain());
  callers.clear();
  // The senders' threads let go of their replies as their last fragments
  // leave; then the large answer goes too.
  std::pair<uint32_t, uint32_t> got{0, 0};
  for (int attempt = 0; attempt < 200 && got.first != 1u; ++attempt) {
    got = Query("proc=fill");
    if (got.first != 1u) std::this_thread::yield();
  }
  EXPECT_EQ(got, std::make_pair(1u, static_cast<uint32_t>(kAnswerRecords)));
  EXPECT_EQ(daemon_->held_reply_bytes(), size_t{0});
}

TEST_F(ReplyMemoryE2E, RecordRepliesStopAtTheirBound) {
  // The system log's answer (440-byte entries), which has no cut of its
  // own: 40 entries are the most one reply carries.
  constexpr size_t kEntry = QZ_SIZEOF_SYSLOG_TABLE, kMaxEntries = 40;
  ServiceOptions s;
  s.max_reply_bytes = kMaxEntries * kEntry;
  s.max_record_reply_bytes = kMaxEntries * kEntry;
  ASSERT_NO_FATAL_FAILURE(Start(s));
  ASSERT_TRUE(daemon_->store().Transaction([](sqlite3* db) {
    for (int t = 1; t <= 50; ++t) {
      Stmt e(db, "INSERT INTO system_log(time, level, source, user_id, record) "
                 "VALUES(?, 0, 'test', 'admin', zeroblob(440))");
      if (!e.Bind(1, int64_t{t}) || e.Step() != SQLITE_DONE) return false;
    }
    return true;
  }));
  struct Case {
    size_t entries;
    uint32_t status;
    uint32_t count;
  };
  for (const Case& c : {Case{kMaxEntries, 1u, kMaxEntries}, Case{kMaxEntries + 1, kReplyTooLargeResult, 0}}) {
    SYSLOG_TABLE* log = nullptr;
    uint32_t count = 99;
    std::string cond = "until=" + std::to_string(c.entries + 1);
    EXPECT_EQ(RemoteQuerySysLog(id_, cond.c_str(), &log, &count), c.status) << c.entries;
    EXPECT_EQ(count, c.count) << c.entries;
    EXPECT_EQ(log == nullptr, c.count == 0) << c.entries;
    RDMemFree(log);
  }
}

}  // namespace
}  // namespace qz::faxd
