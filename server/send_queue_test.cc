// send_queue_test.cc -- the send queue family and its engine on a manual
// clock: dial plan outcomes and retries, priority order, own-line delivery,
// steering, rights, length checks, documents taken as the client, service
// control and backups.
#include "server/send_queue.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <tiffio.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "server/fax_document.h"
#include "server/files.h"
#include "server/sql.h"

namespace qz::faxd {
namespace {

int32_t S(ServerStatus s) { return AsResult(s); }

constexpr int64_t kConnect = 1000, kPage = 2000, kRetry = 10000;

User MakeUser(const std::string& id, std::array<uint32_t, 4> rights, uint8_t type = 0) {
  User u;
  u.id = id;
  u.name = id;
  u.type = type;
  u.rights = rights;
  return u;
}

// Own-task rights of an ordinary sender: submit, view, steer, stop, progress.
const std::array<uint32_t, 4> kOwnRights = {0, 0, 0x20 | 0x40 | 0x80 | 0x100 | 0x200, 0};

class SendQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("qz-sendq-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_ / "data");
    std::filesystem::create_directories(dir_ / "spool");
    std::string error;
    store_ = Store::Open(":memory:", {}, &error);
    ASSERT_TRUE(store_) << error;
    ctx_.store = store_.get();
    ctx_.clock = &clock_;
    ctx_.data_dir = (dir_ / "data").string();
    ctx_.spool_dir = (dir_ / "spool").string();
    ctx_.send_simulation = {2, 8001, kConnect, kPage, kRetry, 3, false};
    family_ = std::make_unique<SendQueueFamily>(&ctx_);
    family_->Start();
    doc2_ = Doc("two.tif", 2);
  }
  void TearDown() override {
    family_.reset();
    std::filesystem::remove_all(dir_);
  }

  std::string Doc(const std::string& name, uint32_t pages) {
    std::string p = (dir_ / "spool" / name).string();
    EXPECT_TRUE(WriteFaxDocument(p, pages, true));
    return p;
  }
  static rpc::CallContext Local() {
    rpc::CallContext c;
    c.protseq = "ncalrpc";
    c.has_peer_credentials = true;
    c.peer_uid = getuid();
    c.peer_gid = getgid();
    return c;
  }
  int32_t Run(const User& u, uint16_t op, rpc::ServerArgs& a, bool control = false,
              const rpc::CallContext& who = Local()) {
    a.values.resize(8);
    std::string note;
    Call call(who, a, u, 1, &note);
    return control ? family_->ServiceControl(call, op) : family_->Main(call, op);
  }
  static std::vector<uint8_t> Job(const std::string& number, const std::string& path,
                                  uint32_t priority = 0, uint32_t flags = 0, uint32_t size = 660) {
    FAXJOB_TABLE j;
    std::memset(&j, 0, sizeof j);
    j.dwSize = size;
    j.dwPriority = priority;
    j.dwFlags = flags;
    std::strcpy(j.szRecipientNumber, number.c_str());
    std::strcpy(j.szSubject, "test");
    std::strncpy(j.szDocumentPath, path.c_str(), sizeof j.szDocumentPath - 1);
    std::vector<uint8_t> b(size, 0);
    std::memcpy(b.data(), &j, std::min<size_t>(size, sizeof j));
    return b;
  }
  // rpcSendFax of the concatenated jobs with `count` result entries.
  int32_t Submit(const User& u, const std::vector<uint8_t>& jobs, size_t count,
                 std::vector<SENDRESULT_TABLE>* results = nullptr,
                 const rpc::CallContext& who = Local()) {
    rpc::ServerArgs a;
    a.values.resize(8);
    a[2].bytes = jobs;
    a[3].number = static_cast<int32_t>(jobs.size());
    a[4].bytes.assign(count * 44, 0);
    a[5].number = static_cast<int32_t>(count * 44);
    int32_t rc = Run(u, 13, a, false, who);
    if (results) {
      results->resize(count);
      std::memcpy(results->data(), a[4].bytes.data(), a[4].bytes.size());
    }
    return rc;
  }
  uint32_t SubmitOne(const User& u, const std::string& number, uint32_t priority = 0,
                     uint32_t flags = 0) {
    std::vector<SENDRESULT_TABLE> r;
    EXPECT_EQ(Submit(u, Job(number, doc2_, priority, flags), 1, &r), 1) << r[0].szDetail;
    return r[0].dwFaxID;
  }
  SendTask Task(int64_t id) {
    auto t = store_->WithDb([&](sqlite3* db) { return LoadSendTask(db, id); });
    EXPECT_TRUE(t) << id;
    return t.value_or(SendTask{});
  }
  int32_t Ids(const User& u, uint16_t op, std::vector<uint32_t> ids, int32_t flag = 0) {
    rpc::ServerArgs a;
    a.values.resize(8);
    a[2].bytes.resize(ids.size() * 4);
    std::memcpy(a[2].bytes.data(), ids.data(), a[2].bytes.size());
    a[3].number = static_cast<int32_t>(a[2].bytes.size());
    a[4].number = flag;
    return Run(u, op, a);
  }

  std::filesystem::path dir_;
  ManualClock clock_;
  std::unique_ptr<Store> store_;
  ServerContext ctx_;
  std::unique_ptr<SendQueueFamily> family_;
  std::string doc2_;
  User alice_ = MakeUser("alice", kOwnRights);
  User bob_ = MakeUser("bob", kOwnRights);
  User admin_ = MakeUser("admin", {~0u, ~0u, ~0u, ~0u}, 1);
};

// Every number of the dial plan, alone on the queue: its end state,
// attempts, outcome, pages and the time the task ended.
TEST_F(SendQueueTest, DialPlanOutcomesAndRetries) {
  struct Case {
    const char* number;
    uint32_t state, attempts;
    int32_t result;
    uint32_t pages_done;
    int64_t end;  // after submission
  } cases[] = {
      {"555 0100", QZ_TASK_DONE, 1, QZ_SEND_OK, 2, kConnect + 2 * kPage},
      {"5550199", QZ_TASK_FAILED, 3, QZ_SEND_BUSY, 0, 3 * kConnect + 2 * kRetry},
      {"5550198", QZ_TASK_FAILED, 3, QZ_SEND_NOANSWER, 0, 9 * kConnect + 2 * kRetry},
      // breaks half-way through page 2 each time
      {"5550197", QZ_TASK_FAILED, 3, QZ_SEND_LINEFAIL, 1,
       3 * (kConnect + kPage + kPage / 2) + 2 * kRetry},
      {"5550196", QZ_TASK_DONE, 2, QZ_SEND_OK, 2, kConnect + kRetry + kConnect + 2 * kPage},
  };
  for (const Case& c : cases) {
    int64_t t0 = clock_.NowMs();
    uint32_t id = SubmitOne(alice_, c.number);
    ASSERT_TRUE(family_->engine().RunUntilIdle(clock_)) << c.number;
    SendTask t = Task(id);
    EXPECT_EQ(t.state, c.state) << c.number;
    EXPECT_EQ(t.attempts, c.attempts) << c.number;
    EXPECT_EQ(t.last_result, c.result) << c.number;
    EXPECT_EQ(t.pages_done, c.pages_done) << c.number;
    EXPECT_EQ(t.end_ms - t0, c.end) << c.number;
  }
}

// One line: the highest priority goes first, equal priorities by age;
// progress shows pages while a fax is on the line.
TEST_F(SendQueueTest, PriorityThenAgeOnOneLine) {
  ctx_.send_simulation.lines = 1;
  uint32_t low = SubmitOne(alice_, "100");
  clock_.Advance(1);
  uint32_t high_old = SubmitOne(alice_, "101", 5);
  clock_.Advance(1);
  uint32_t high_new = SubmitOne(bob_, "102", 5);
  family_->engine().RunFor(clock_, kConnect + kPage);  // first page of the first fax
  EXPECT_EQ(Task(high_old).state, QZ_TASK_SENDING);
  EXPECT_EQ(Task(high_old).pages_done, 1u);
  EXPECT_EQ(Task(high_new).state, QZ_TASK_QUEUED);
  ASSERT_TRUE(family_->engine().RunUntilIdle(clock_));
  EXPECT_LT(Task(high_old).start_ms, Task(high_new).start_ms);
  EXPECT_LT(Task(high_new).start_ms, Task(low).start_ms);
}

// A fax to one of the server's own lines comes back as a receive task of
// the sender, with the pages and a stored copy of the document.
TEST_F(SendQueueTest, OwnLineDeliversAReceiveTask) {
  uint32_t id = SubmitOne(alice_, "8002");
  ASSERT_TRUE(family_->engine().RunUntilIdle(clock_));
  SendTask t = Task(id);
  ASSERT_EQ(t.state, QZ_TASK_DONE);
  ASSERT_NE(t.recv_id, 0u);
  rpc::ServerArgs a;
  a.values.resize(8);
  a[2].number = 0;
  ASSERT_EQ(Run(alice_, 17, a), 1);
  ASSERT_EQ(a[4].number, QZ_SIZEOF_RECVTASK_TABLE);
  RECVTASK_TABLE r;
  std::memcpy(&r, a[3].bytes.data(), sizeof r);
  EXPECT_EQ(r.dwRecvID, t.recv_id);
  EXPECT_EQ(r.dwSendTaskID, id);
  EXPECT_EQ(r.dwPages, 2u);
  EXPECT_STREQ(r.szLineNumber, "8002");
  EXPECT_STREQ(r.szUserID, "alice");
  std::string why;
  EXPECT_EQ(CheckFaxDocument(ctx_.data_dir + "/received/" + r.szDocument, &why), 2u) << why;
  // Bob sees no receive task of Alice's.
  a = {};
  a.values.resize(8);
  ASSERT_EQ(Run(bob_, 17, a), 1);
  EXPECT_EQ(a[4].number, 0);
}

// Recovery removes the stored documents and received copies no row names
// (what a crash between storing and committing leaves), matching by file
// name so that a moved data directory loses nothing, and leaves alone
// files the server does not make.
TEST_F(SendQueueTest, RecoveryRemovesDocumentsNoTaskNames) {
  const uint32_t id = SubmitOne(alice_, "8002");
  ASSERT_TRUE(family_->engine().RunUntilIdle(clock_));
  const SendTask t = Task(id);
  ASSERT_NE(t.recv_id, 0u);
  const std::string data = ctx_.data_dir;
  const std::string received = data + "/received/recv-" + std::to_string(t.recv_id) + ".tif";
  ASSERT_TRUE(std::filesystem::exists(t.document_file));
  ASSERT_TRUE(std::filesystem::exists(received));
  store_->WithDb([&](sqlite3* db) {
    Stmt s(db, "INSERT INTO print_jobs (time, printer, recv_task_id, document, pages, state)"
               " VALUES (0, 'p', 0, '/moved/elsewhere/received/recv-77.tif', 1, 'recorded')");
    return s.Step() == SQLITE_DONE;
  });
  struct Case {
    std::string path;
    bool kept;
  };
  const std::vector<Case> cases = {
      {t.document_file, true},
      {received, true},
      {data + "/received/recv-77.tif", true},  // a print job names it from another directory
      {data + "/documents/doc-orphan.tif", false},
      {data + "/received/recv-99.tif", false},
      {data + "/documents/notes.txt", true},
      {data + "/documents/doc-orphan.tiff", true},
      {data + "/received/doc-1.tif", true},
  };
  for (const Case& c : cases)
    if (!std::filesystem::exists(c.path)) std::ofstream(c.path) << "x";
  family_->Recover();
  for (const Case& c : cases) EXPECT_EQ(std::filesystem::exists(c.path), c.kept) << c.path;
}

// Transfer of held faxes (send and receive tasks) to new recipients, the
// request length against the headers, edits and the list of held tasks.
TEST_F(SendQueueTest, TransferEditAndHeldTasks) {
  uint32_t sent = SubmitOne(alice_, "8002");
  ASSERT_TRUE(family_->engine().RunUntilIdle(clock_));
  uint32_t recv = Task(sent).recv_id;
  auto transfer = [&](const User& u, std::vector<std::pair<TRANSFERFAX_TABLE, int>> heads,
                      int32_t length_delta = 0) {
    std::vector<uint8_t> req;
    for (auto& [h, n] : heads)
      req.insert(req.end(), reinterpret_cast<uint8_t*>(&h), reinterpret_cast<uint8_t*>(&h) + 12);
    for (auto& [h, n] : heads)
      for (int i = 0; i < n; ++i) {
        TRANSFERFAX_ITEM item;
        std::memset(&item, 0, sizeof item);
        std::strcpy(item.szRecipientNumber, ("70" + std::to_string(i)).c_str());
        req.insert(req.end(), reinterpret_cast<uint8_t*>(&item),
                   reinterpret_cast<uint8_t*>(&item) + sizeof item);
      }
    req.resize(req.size() + std::max(length_delta, 0));
    if (length_delta < 0) req.resize(req.size() + length_delta);
    rpc::ServerArgs a;
    a.values.resize(8);
    a[2].bytes = req;
    a[3].number = static_cast<int32_t>(req.size());
    a[5].number = static_cast<int32_t>(heads.size() * 44);
    a[4].bytes.assign(heads.size() * 44, 0);
    return Run(u, 14, a);
  };
  // (12 + 164) + (12 + 2 * 164) = 516 bytes: three new tasks.
  EXPECT_EQ(transfer(alice_, {{{sent, 1, 0}, 1}, {{recv, 2, 1}, 2}}), 1);
  auto mine = store_->WithDb([](sqlite3* db) { return LoadSendTasks(db, "", {}, 100); });
  ASSERT_EQ(mine.size(), 4u);
  EXPECT_EQ(mine[3].number, "701");
  EXPECT_EQ(mine[3].pages_total, 2u);
  EXPECT_NE(mine[3].document_file, mine[0].document_file);  // a copy of its own
  EXPECT_EQ(transfer(alice_, {{{sent, 1, 0}, 1}}, 4), S(kBadRecord));
  EXPECT_EQ(transfer(alice_, {{{sent, 1, 0}, 1}}, -4), S(kBadRecord));
  EXPECT_EQ(transfer(alice_, {{{sent, 1, 2}, 1}}), S(kBadRecord));  // kind 2
  EXPECT_EQ(transfer(bob_, {{{sent, 1, 0}, 1}}), S(kNoSuchTask));   // not bob's

  // Edits: of a queued task; a sending one is refused; attempts 1..10.
  ASSERT_TRUE(family_->engine().RunUntilIdle(clock_));
  ctx_.send_simulation.lines = 1;
  uint32_t first = SubmitOne(alice_, "5550100");
  uint32_t second = SubmitOne(alice_, "5550101");
  family_->engine().RunFor(clock_, 1);
  auto edit = [&](uint32_t id, const char* number, uint32_t attempts) {
    SENDTASK_TABLE r;
    std::memset(&r, 0, sizeof r);
    r.dwFaxID = id;
    r.dwPriority = 4;
    r.dwMaxAttempts = attempts;
    std::strcpy(r.szRecipientNumber, number);
    rpc::ServerArgs a;
    a.values.resize(8);
    a[2].bytes.assign(reinterpret_cast<uint8_t*>(&r), reinterpret_cast<uint8_t*>(&r) + 1024);
    a[3].number = 1024;
    return Run(alice_, 24, a);
  };
  EXPECT_EQ(edit(second, "123", 10), 1);
  EXPECT_EQ(Task(second).number, "123");
  EXPECT_EQ(Task(second).priority, 4u);
  EXPECT_EQ(edit(second, "123", 11), S(kBadArgument));
  EXPECT_EQ(edit(second, "123", 0), S(kBadArgument));
  EXPECT_EQ(edit(second, "x", 1), S(kBadNumber));
  EXPECT_EQ(edit(first, "123", 1), S(kTaskState));

  // Held tasks: one's own without the authorise bit, everyone's with it.
  SubmitOne(alice_, "1", 0, QZ_FAXJOB_HOLD);
  SubmitOne(bob_, "2", 0, QZ_FAXJOB_HOLD);
  for (auto [user, n] : {std::pair{bob_, 1}, std::pair{admin_, 2}}) {
    rpc::ServerArgs a;
    a.values.resize(8);
    a[2].number = 1;
    ASSERT_EQ(Run(user, 25, a), 1);
    EXPECT_EQ(a[4].number, n * 1024) << user.id;
  }
}

// The hooks of the other families, when set: lines, dial permission and
// authorisation from telephony (which reads the store: no deadlock),
// destinations from routing, filing by the inbox.
TEST_F(SendQueueTest, HooksOfOtherFamilies) {
  struct FakeLines : Telephony {
    Store* store;
    std::vector<std::string> states;
    std::vector<LineView> Lines() override {
      return {{7, "600", "a", true, 9600}, {8, "601", "b", true, 9600}};
    }
    bool MayDial(uint32_t line, const std::string&, int64_t) override { return line == 8; }
    std::string DialString(uint32_t, const std::string& n) override { return "0" + n; }
    bool NeedsAuthorization(const std::string& user) override {
      return store->GetUser(user).has_value();  // only users of the store are held
    }
    void ReportLineState(uint32_t line, const std::string& s) override {
      states.push_back(std::to_string(line) + " " + s);
    }
  } lines;
  struct FakeRouting : Routing, Inbox {
    std::vector<Destination> Route(const ReceivedFax&) override {
      return {{Destination::Kind::kUser, "bob"}, {Destination::Kind::kPrinter, "lp"}};
    }
    bool Deliver(const ReceivedFax& fax, const Destination& to) override {
      filed.push_back(to.id + " " + std::to_string(fax.pages));
      return true;
    }
    std::vector<std::string> filed;
  } route;
  lines.store = store_.get();
  ctx_.telephony = &lines;
  ctx_.routing = &route;
  ctx_.inbox = &route;
  ASSERT_TRUE(store_->AddUser(MakeUser("held", kOwnRights), "pw"));
  EXPECT_EQ(Task(SubmitOne(MakeUser("held", kOwnRights), "5")).state, QZ_TASK_HELD);
  uint32_t id = SubmitOne(alice_, "600");
  ASSERT_TRUE(family_->engine().RunUntilIdle(clock_));  // the held task waits
  SendTask t = Task(id);
  EXPECT_EQ(t.state, QZ_TASK_DONE);
  EXPECT_EQ(t.line_id, 8u);  // line 7 may not dial
  ASSERT_NE(t.recv_id, 0u);
  auto r = store_->WithDb([&](sqlite3* db) { return LoadRecvTask(db, t.recv_id); });
  ASSERT_TRUE(r);
  EXPECT_EQ(r->state, QZ_RECV_DELIVERED);
  EXPECT_EQ(r->owner, "bob");
  EXPECT_EQ(r->line_id, 7u);
  EXPECT_EQ(r->destination, "user bob");
  EXPECT_EQ(route.filed, (std::vector<std::string>{"bob 2", "lp 2"}));
  EXPECT_EQ(lines.states, (std::vector<std::string>{"8 dialing 0600", "8 idle"}));
}

// Stop, lock, release, delete and authorise by task state: allowed moves
// change the state, refused ones answer kTaskState and change nothing.
TEST_F(SendQueueTest, SteeringByState) {
  ctx_.send_simulation.lines = 1;
  uint32_t sending = SubmitOne(alice_, "200");
  uint32_t queued = SubmitOne(alice_, "201");
  uint32_t held = SubmitOne(alice_, "202", 0, QZ_FAXJOB_HOLD);
  family_->engine().RunFor(clock_, 10);
  ASSERT_EQ(Task(sending).state, QZ_TASK_SENDING);
  struct Case {
    uint16_t op;
    uint32_t* id;
    int32_t flag;
    int32_t rc;
    uint32_t state_after;
  } cases[] = {
      {19, &sending, 0, S(kTaskState), QZ_TASK_SENDING},  // no lock on the line
      {22, &queued, 0, S(kTaskState), QZ_TASK_QUEUED},    // flag 0: finished tasks only
      {19, &held, 0, 1, QZ_TASK_LOCKED},
      {20, &held, 0, 1, QZ_TASK_HELD},                    // released back to held
      {15, &sending, 0, 1, QZ_TASK_STOPPED},              // the line is freed
      {15, &sending, 0, S(kTaskState), QZ_TASK_STOPPED},
      {20, &sending, 0, 1, QZ_TASK_QUEUED},               // resumed from the start
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Ids(alice_, c.op, {*c.id}, c.flag), c.rc) << c.op;
    EXPECT_EQ(Task(*c.id).state, c.state_after) << c.op;
  }
  EXPECT_EQ(Task(sending).attempts, 0u);
  // The freed line takes the resumed task (older than `queued`).
  family_->engine().RunFor(clock_, 10);
  EXPECT_EQ(Task(sending).state, QZ_TASK_SENDING);
  EXPECT_EQ(Task(queued).state, QZ_TASK_QUEUED);
  // One refused ID refuses the whole list.
  EXPECT_EQ(Ids(alice_, 19, {held, sending, queued}), S(kTaskState));
  EXPECT_EQ(Task(held).state, QZ_TASK_HELD);
  // Authorisation: flag 1 queues, 0 refuses, other values and non-held tasks are refused.
  rpc::ServerArgs a;
  a.values.resize(8);
  a[2].number = static_cast<int32_t>(held);
  a[3].number = 2;
  EXPECT_EQ(Run(admin_, 18, a), S(kBadArgument));
  a[3].number = 1;
  EXPECT_EQ(Run(alice_, 18, a), S(kAccessDenied));
  EXPECT_EQ(Run(admin_, 18, a), 1);
  EXPECT_EQ(Task(held).state, QZ_TASK_QUEUED);
  EXPECT_EQ(Run(admin_, 18, a), S(kTaskState));
  // Deleting with flag 1 takes a sending task off its line.
  EXPECT_EQ(Ids(alice_, 22, {sending}, 1), 1);
  EXPECT_FALSE(store_->WithDb([&](sqlite3* db) { return LoadSendTask(db, sending); }));
  family_->engine().RunFor(clock_, 10);  // the line is free again for `queued`
  EXPECT_EQ(Task(queued).state, QZ_TASK_SENDING);
}

// One bit present, one missing: own-task bits in dwRights[2], everyone's
// in dwRights[0]; another user's task is "no such task" to an owner-only
// user and reachable with the everyone bit.
TEST_F(SendQueueTest, RightsOwnAndEveryone) {
  uint32_t alices = SubmitOne(alice_, "300", 0, QZ_FAXJOB_HOLD);
  struct Case {
    uint16_t op;
    std::array<uint32_t, 4> rights;
    int32_t rc;
  } cases[] = {
      {19, {0, 0, 0x80, 0}, S(kNoSuchTask)},   // lock: own bit, not the owner
      {19, {0x10, 0, 0, 0}, 1},                // lock: everyone bit
      {19, {0, 0, 0x100, 0}, S(kAccessDenied)},
      {20, {0, 0, 0x100, 0}, S(kNoSuchTask)},  // release
      {20, {0x20, 0, 0, 0}, 1},
      {20, {0x10, 0, 0, 0}, S(kAccessDenied)},
      {23, {0, 0, 0x100, 0}, S(kAccessDenied)},  // progress
      {23, {0, 0, 0x200, 0}, 1},                 // answered, state 0 for a foreign task
  };
  for (const Case& c : cases)
    EXPECT_EQ(Ids(MakeUser("carol", c.rights), c.op, {alices}), c.rc) << c.op;
  // Views: flag 0 needs dwRights[0] 0x40, flag 1 dwRights[2] 0x40.
  for (auto [flag, rights, rc] : std::vector<std::tuple<int32_t, std::array<uint32_t, 4>, int32_t>>{
           {0, {0x40, 0, 0, 0}, 1},
           {0, {0, 0, 0x40, 0}, S(kAccessDenied)},
           {1, {0, 0, 0x40, 0}, 1},
           {1, {0x40, 0, 0, 0}, S(kAccessDenied)},
           {2, {~0u, 0, ~0u, 0}, S(kBadArgument)}}) {
    rpc::ServerArgs a;
    a.values.resize(8);
    a[2].number = flag;
    EXPECT_EQ(Run(MakeUser("carol", rights), 16, a), rc) << flag;
    if (rc == 1) {
      EXPECT_EQ(a[5].number, flag == 0 ? 1024 : 0) << flag;
    }
  }
  // Submission needs dwRights[2] 0x20 on the server too.
  EXPECT_EQ(Submit(MakeUser("dave", {~0u, ~0u, ~0x20u, ~0u}), Job("1", doc2_), 1),
            S(kAccessDenied));
}

// Lengths from the wire, from both sides of each bound.
TEST_F(SendQueueTest, LengthChecks) {
  std::vector<uint8_t> two = Job("1", doc2_);
  std::vector<uint8_t> more = Job("2", doc2_, 0, 0, 700);
  two.insert(two.end(), more.begin(), more.end());
  struct Case {
    std::vector<uint8_t> jobs;
    size_t results;
    int32_t rc;
  } cases[] = {
      {Job("1", doc2_, 0, 0, 660), 1, 1},
      {Job("1", doc2_, 0, 0, 659), 1, S(kBadRecord)},
      {Job("1", doc2_, 0, 0, 4096), 1, 1},
      {Job("1", doc2_, 0, 0, 4097), 1, S(kBadRecord)},
      {two, 2, 1},
      {two, 1, S(kBadRecord)},  // bytes after the last job
      {two, 3, S(kBadRecord)},  // a job cut off
      {Job("1", doc2_, 9), 1, 1},
      {Job("1", doc2_, 10), 1, S(kBadArgument)},
      {Job("12a", doc2_), 1, S(kBadNumber)},
      {Job("-", doc2_), 1, S(kBadNumber)},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(Submit(alice_, cases[i].jobs, cases[i].results), cases[i].rc) << i;
  // The result count: 64 jobs at most.
  std::vector<uint8_t> many;
  for (int i = 0; i < 65; ++i) {
    std::vector<uint8_t> j = Job("1", doc2_);
    many.insert(many.end(), j.begin(), j.end());
  }
  EXPECT_EQ(Submit(alice_, many, 65), S(kBadRecord));
  many.resize(64 * 660);
  EXPECT_EQ(Submit(alice_, many, 64), 1);
  // ID lists: whole IDs, 1..1024 of them.
  uint32_t id = SubmitOne(alice_, "1");
  std::vector<uint32_t> ids(1024, id);
  EXPECT_EQ(Ids(alice_, 23, ids), 1);
  ids.push_back(id);
  EXPECT_EQ(Ids(alice_, 23, ids), S(kBadRecord));
  rpc::ServerArgs a;
  a.values.resize(8);
  a[2].bytes = {1, 0, 0};
  a[3].number = 3;
  EXPECT_EQ(Run(alice_, 19, a), S(kBadRecord));
  // Priorities: 9 is the highest.
  TASKPRIORITY p{id, 9, 0};
  a[2].bytes.assign(reinterpret_cast<uint8_t*>(&p), reinterpret_cast<uint8_t*>(&p) + 12);
  a[3].number = 12;
  EXPECT_EQ(Run(alice_, 21, a), 1);
  EXPECT_EQ(Task(id).priority, 9u);
  a[2].bytes[4] = 10;
  EXPECT_EQ(Run(alice_, 21, a), S(kBadArgument));
}

// Documents: read as the caller, checked with libtiff, copied into the
// store; a submission with one bad document queues nothing.
TEST_F(SendQueueTest, DocumentsTakenAsTheClient) {
  std::string text = (dir_ / "spool" / "note.txt").string();
  std::ofstream(text) << "not a fax";
  std::string plain = (dir_ / "spool" / "plain.tif").string();
  {  // an uncompressed bilevel page: a TIFF, but not a fax
    TIFF* t = TIFFOpen(plain.c_str(), "w");
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 1728);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, 2);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    std::vector<uint8_t> row(216, 0);
    TIFFWriteScanline(t, row.data(), 0, 0);
    TIFFWriteScanline(t, row.data(), 1, 0);
    TIFFClose(t);
  }
  std::string unreadable = Doc("secret.tif", 1);
  chmod(unreadable.c_str(), 0);
  bool root = geteuid() == 0;
  rpc::CallContext tcp;
  tcp.protseq = "ncacn_ip_tcp";
  rpc::CallContext other = Local();  // "nobody": may not read our 0600 files
  other.peer_uid = 65534;
  other.peer_gid = 65534;
  struct Case {
    std::string path;
    rpc::CallContext who;
    int32_t rc;
  } cases[] = {
      {doc2_, Local(), 1},
      {"two.tif", tcp, 1},  // relative to the spool directory over TCP
      {"../two.tif", tcp, S(kFileDenied)},
      {text, Local(), S(kBadDocument)},
      {plain, Local(), S(kBadDocument)},
      {(dir_ / "missing.tif").string(), Local(), S(kNoSuchFile)},
      {doc2_, other, S(kFileDenied)},
  };
  for (const Case& c : cases) {
    std::vector<SENDRESULT_TABLE> r;
    EXPECT_EQ(Submit(alice_, Job("1", c.path), 1, &r, c.who), c.rc) << c.path;
    EXPECT_EQ(r[0].lStatus, c.rc) << c.path;
  }
  if (!root) {
    EXPECT_EQ(Submit(alice_, Job("1", unreadable), 1), S(kFileDenied));
  }
  // The second job's document is bad: neither is queued, no copy is left.
  std::vector<uint8_t> jobs = Job("1", doc2_);
  std::vector<uint8_t> bad = Job("2", text);
  jobs.insert(jobs.end(), bad.begin(), bad.end());
  size_t stored = std::distance(std::filesystem::directory_iterator(ctx_.data_dir + "/documents"),
                                std::filesystem::directory_iterator());
  std::vector<SENDRESULT_TABLE> r;
  EXPECT_EQ(Submit(alice_, jobs, 2, &r), S(kBadDocument));
  EXPECT_EQ(r[0].lStatus, S(kJobNotQueued));
  EXPECT_EQ(r[0].dwFaxID, 0u);
  EXPECT_EQ(r[1].lStatus, S(kBadDocument));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(ctx_.data_dir + "/documents"),
                          std::filesystem::directory_iterator()),
            static_cast<long>(stored));
}

// Service control: start authenticates and needs an administrator; a
// stopped service refuses jobs; an immediate stop puts the fax on the line
// back in the queue without counting the attempt; the backup opens as a
// database holding the queue.
TEST_F(SendQueueTest, ServiceStartStopAndBackup) {
  ASSERT_TRUE(store_->SetPassword("admin", "pw"));
  User nobody;
  auto start = [&](const std::string& user, const std::string& pw, int32_t mode) {
    rpc::ServerArgs a;
    a.values.resize(8);
    a[2].text = user;
    a[3].text = pw;
    a[4].number = mode;
    return Run(nobody, 0, a, true);
  };
  auto stop = [&](const User& u, uint16_t op, int32_t mode) {
    rpc::ServerArgs a;
    a.values.resize(8);
    a[2].number = mode;
    return Run(u, op, a, true);
  };
  uint32_t id = SubmitOne(alice_, "400");
  family_->engine().RunFor(clock_, kConnect + kPage);
  ASSERT_EQ(Task(id).pages_done, 1u);
  EXPECT_EQ(stop(alice_, 1, 0), S(kAccessDenied));
  EXPECT_EQ(stop(admin_, 2, 2), S(kBadArgument));
  EXPECT_EQ(stop(admin_, 2, -1), 1);  // at once
  EXPECT_EQ(Task(id).state, QZ_TASK_QUEUED);
  EXPECT_EQ(Task(id).attempts, 0u);
  EXPECT_EQ(Submit(alice_, Job("1", doc2_), 1), S(kServiceStopped));
  family_->engine().RunFor(clock_, 60000);
  EXPECT_EQ(Task(id).state, QZ_TASK_QUEUED);
  EXPECT_EQ(start("admin", "wrong", 1), S(kWrongPassword));
  EXPECT_EQ(start("", "", 1), S(kWrongPassword));
  ASSERT_TRUE(store_->AddUser(MakeUser("op", {~0u, ~0u, ~0u, ~0u}), "pw"));
  EXPECT_EQ(start("op", "pw", 1), S(kAccessDenied));  // all rights, but not an administrator
  EXPECT_EQ(start("admin", "pw", 0), 1);               // paused: accepts, sends nothing
  EXPECT_EQ(Submit(alice_, Job("1", doc2_), 1), 1);
  family_->engine().RunFor(clock_, 60000);
  EXPECT_EQ(Task(id).state, QZ_TASK_QUEUED);
  EXPECT_EQ(start("admin", "pw", 1), 1);
  EXPECT_TRUE(family_->engine().RunUntilIdle(clock_));
  EXPECT_EQ(Task(id).state, QZ_TASK_DONE);

  auto backup = [&](const User& u, uint16_t op, const std::string& name, int32_t len = 300) {
    BACKUPINFO b;
    std::memset(&b, 0, sizeof b);
    std::strncpy(b.szName, name.c_str(), sizeof b.szName - 1);
    rpc::ServerArgs a;
    a.values.resize(8);
    a[2].bytes.assign(reinterpret_cast<uint8_t*>(&b), reinterpret_cast<uint8_t*>(&b) + 300);
    a[3].number = len;
    return Run(u, op, a, true);
  };
  EXPECT_EQ(backup(alice_, 4, "b.db"), S(kAccessDenied));
  EXPECT_EQ(backup(admin_, 4, "b.db", 299), S(kBadRecord));
  EXPECT_EQ(backup(admin_, 4, "../b.db"), S(kBadBackupName));
  EXPECT_EQ(backup(admin_, 4, ".hidden"), S(kBadBackupName));
  EXPECT_EQ(backup(admin_, 4, ""), S(kBadBackupName));
  ASSERT_EQ(backup(admin_, 4, "b.db"), 1);
  ASSERT_EQ(backup(admin_, 5, "c.db"), 1);
  EXPECT_TRUE(std::filesystem::exists(ctx_.data_dir + "/backups/c.db.files/documents"));
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2((ctx_.data_dir + "/backups/b.db").c_str(), &db, SQLITE_OPEN_READONLY,
                            nullptr),
            SQLITE_OK);
  {
    Stmt check(db, "PRAGMA integrity_check");
    ASSERT_EQ(check.Step(), SQLITE_ROW);
    EXPECT_EQ(check.Text(0), "ok");
    Stmt count(db, "SELECT COUNT(*) FROM send_tasks");
    ASSERT_EQ(count.Step(), SQLITE_ROW);
    EXPECT_EQ(count.Int(0), 2);
  }
  sqlite3_close(db);
}

}  // namespace
}  // namespace qz::faxd

namespace qz::faxd {
namespace {

// A draft holding fax jobs is submitted as they are, by its owner only,
// with the submit right; a draft without jobs is refused, and the draft
// stays.
TEST_F(SendQueueTest, SendFromDraft) {
  Files files(&ctx_);
  for (const User* u : {&alice_, &bob_}) ASSERT_TRUE(store_->AddUser(*u, ""));
  auto keep = [&](const User& u, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> block(sizeof(DRAFT_HEADER), 0);
    block.insert(block.end(), body.begin(), body.end());
    DRAFT_HEADER h{static_cast<uint32_t>(block.size()), 0, 0, 0};
    std::memcpy(block.data(), &h, sizeof h);
    rpc::ServerArgs a;
    a.values.resize(8);
    a[2].number = static_cast<int32_t>(block.size());
    a[3].bytes = block;
    std::string note;
    Call call(Local(), a, u, 1, &note);
    EXPECT_EQ(files.Main(call, 99), kOk) << note;
    return static_cast<int32_t>(store_->WithDb([](sqlite3* db) {
      return sqlite3_last_insert_rowid(db);
    }));
  };
  std::vector<uint8_t> two = Job("5550100", doc2_);
  std::vector<uint8_t> second = Job("5550101", doc2_, 3);
  two.insert(two.end(), second.begin(), second.end());
  const int32_t jobs = keep(alice_, two);
  const int32_t junk = keep(alice_, std::vector<uint8_t>(40, 7));
  auto from = [&](const User& u, int32_t id) {
    rpc::ServerArgs a;
    a.values.resize(8);
    a[2].number = id;
    return Run(u, 94, a);
  };
  User no_submit = alice_;
  no_submit.rights[2] &= ~0x20u;  // every own right but submitting
  auto queued = [&] {
    return store_->WithDb([](sqlite3* db) {
      Stmt s(db, "SELECT COUNT(*) FROM send_tasks");
      return s.Step() == SQLITE_ROW ? s.Int(0) : -1;
    });
  };
  EXPECT_EQ(from(no_submit, jobs), AsResult(kAccessDenied));
  EXPECT_EQ(from(bob_, jobs), AsResult(kNoSuchDraft));  // alice's draft
  EXPECT_EQ(from(alice_, jobs + 100), AsResult(kNoSuchDraft));
  EXPECT_EQ(from(alice_, junk), AsResult(kBadRecord));
  EXPECT_EQ(queued(), 0);
  EXPECT_EQ(from(alice_, jobs), kOk);
  EXPECT_EQ(queued(), 2);
  EXPECT_TRUE(LoadDraft(*store_, "alice", static_cast<uint32_t>(jobs)));  // kept
}

}  // namespace
}  // namespace qz::faxd
