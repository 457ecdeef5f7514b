// store_test.cc -- schema, users, OS mapping, sessions and the user log.
#include "server/store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "server/password.h"

namespace qz::faxd {
namespace {

StoreOptions Opts(std::string os_user = "alice") {
  StoreOptions o;
  o.os_user = std::move(os_user);
  o.password_cost = PasswordCost::Minimal();
  return o;
}

std::unique_ptr<Store> OpenMemory(std::string os_user = "alice") {
  std::string error;
  std::unique_ptr<Store> s = Store::Open(":memory:", Opts(std::move(os_user)), &error);
  EXPECT_TRUE(s) << error;
  return s;
}

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "qzstore.XXXXXX").string();
    path_ = mkdtemp(tmpl.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string File(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

TEST(Store, FreshDatabaseHasSchemaAndAdministrator) {
  auto s = OpenMemory();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->SchemaVersion(), kSchemaVersion);
  std::optional<User> admin = s->GetUser("admin");
  ASSERT_TRUE(admin);
  EXPECT_EQ(admin->type, 1);
  for (uint32_t r : admin->rights) EXPECT_EQ(r, 0xFFFFFFFFu);
  EXPECT_EQ(s->UserForOsUser("alice"), std::optional<std::string>("admin"));
  EXPECT_FALSE(s->UserForOsUser("bob"));
  // The initial password is empty, and only its hash is kept.
  EXPECT_TRUE(s->CheckPassword("admin", ""));
  EXPECT_FALSE(s->CheckPassword("admin", "admin"));
  EXPECT_EQ(s->PasswordHash("admin")->rfind("$argon2id$", 0), 0u);
  auto id = s->InstanceId();
  EXPECT_NE(id, (std::array<uint8_t, 16>{}));
}

TEST(Store, UserRecordCarriesIdentityAndRights) {
  auto s = OpenMemory();
  User u;
  u.id = "carol";
  u.name = "Carol C";
  u.rights = {1, 0x10000, 0x80000000u, 0x12345678};
  u.record.assign(kUserRecordSize, 0xEE);  // the server keeps the other bytes
  ASSERT_TRUE(s->AddUser(u, "pw", 10));
  auto r = s->UserRecord("carol");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->size(), kUserRecordSize);
  EXPECT_EQ((*r)[0], 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(&(*r)[1]), "carol");
  EXPECT_EQ((*r)[20], 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(&(*r)[21]), "Carol C");
  EXPECT_EQ((*r)[100], 0xEE);
  const uint8_t rights[16] = {1,    0, 0, 0, 0, 0, 1,    0,
                              0, 0, 0, 0x80, 0x78, 0x56, 0x34, 0x12};
  EXPECT_EQ(std::memcmp(&(*r)[956], rights, 16), 0);
  EXPECT_FALSE(s->UserRecord("nobody"));
}

TEST(Store, RefusesBadOrDuplicateUsers) {
  auto s = OpenMemory();
  const char* bad_ids[] = {"", "abcdefghijklmnopqrst", " lead", "trail ", "tab\tid", "nl\n"};
  for (const char* id : bad_ids) {
    User u;
    u.id = id;
    EXPECT_FALSE(s->AddUser(u, "", 10)) << id;
  }
  User dup;
  dup.id = "admin";
  EXPECT_FALSE(s->AddUser(dup, "", 10));
  // The failed duplicate did not touch the administrator.
  EXPECT_EQ(s->GetUser("admin")->rights[0], 0xFFFFFFFFu);
}

TEST(Store, HostileTextsAreDataNotSql) {
  auto s = OpenMemory();
  const std::string hostile[] = {"a' OR '1'='1", "x';DROP TABLE u;--", "q\"uote;semi",
                                 "%_*"};
  for (const std::string& id : hostile) {
    User u;
    u.id = id;
    ASSERT_TRUE(s->AddUser(u, "p'w", 10)) << id;
    EXPECT_TRUE(s->MapOsUser(id, id));
  }
  for (const std::string& id : hostile) {
    EXPECT_EQ(s->GetUser(id)->id, id);
    EXPECT_EQ(s->UserForOsUser(id), id);
    EXPECT_TRUE(s->CheckPassword(id, "p'w"));
  }
  EXPECT_FALSE(s->GetUser("a"));
  EXPECT_TRUE(s->GetUser("admin"));
  EXPECT_FALSE(s->UserForOsUser("%"));
}

TEST(Store, SessionsOpenCheckAndClose) {
  auto s = OpenMemory();
  auto n1 = s->OpenSession("admin", "ncalrpc", "ncalrpc uid=1", 7, "uid:1", 100);
  auto n2 = s->OpenSession("admin", "ncacn_ip_tcp", "ncacn_ip_tcp 127.0.0.1", 8, "group:9", 100);
  ASSERT_TRUE(n1 && n2);
  EXPECT_GT(*n1, 0);
  EXPECT_NE(*n1, *n2);
  EXPECT_TRUE(s->IsSessionLive("admin", *n1));
  EXPECT_FALSE(s->IsSessionLive("alice", *n1));  // the number belongs to admin
  EXPECT_EQ(s->CountLiveSessions(), 2);
  EXPECT_TRUE(s->CloseSession("admin", *n1));
  EXPECT_FALSE(s->CloseSession("admin", *n1));  // only once
  EXPECT_FALSE(s->IsSessionLive("admin", *n1));
  EXPECT_TRUE(s->IsSessionLive("admin", *n2));
  EXPECT_EQ(s->CountLiveSessions(), 1);
  auto info = s->GetSession(*n1);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->protseq, "ncalrpc");
  EXPECT_EQ(info->connection_id, 7u);
  EXPECT_TRUE(info->logout_time);
  EXPECT_FALSE(s->GetSession(*n2)->logout_time);
}

TEST(Store, ReopenKeepsDataAndSessionsAndDoesNotReseed) {
  TempDir dir;
  std::string path = dir.File("fax.db");
  std::string error;
  int32_t number = 0;
  {
    auto s = Store::Open(path, Opts("alice"), &error);
    ASSERT_TRUE(s) << error;
    ASSERT_TRUE(s->SetPassword("admin", "changed", 10));
    number = *s->OpenSession("admin", "ncalrpc", "", 1, "uid:1", 100);
    UserLogEntry e;
    e.user_id = "admin";
    e.procedure = "rpcSychronize";
    ASSERT_TRUE(s->AppendUserLog(e));
  }
  auto s = Store::Open(path, Opts("zed"), &error);
  ASSERT_TRUE(s) << error;
  EXPECT_TRUE(s->CheckPassword("admin", "changed"));
  EXPECT_FALSE(s->UserForOsUser("zed"));  // seeding happens once
  EXPECT_EQ(s->UserForOsUser("alice"), std::optional<std::string>("admin"));
  // Sessions survive a restart, with their binding.
  ASSERT_TRUE(s->LiveSession("admin", number));
  EXPECT_EQ(s->LiveSession("admin", number)->binding, "uid:1");
  std::vector<UserLogEntry> log;
  ASSERT_TRUE(s->QueryUserLog({}, 100, &log));
  EXPECT_EQ(log.size(), 1u);
}

TEST(Store, RefusesNewerSchema) {
  TempDir dir;
  std::string path = dir.File("new.db");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  std::string error;
  EXPECT_FALSE(Store::Open(path, Opts(), &error));
  EXPECT_NE(error.find("newer"), std::string::npos) << error;
}

TEST(Store, MigrationsAreOrderedFromOne) {
  const auto& steps = Store::Migrations();
  ASSERT_FALSE(steps.empty());
  for (size_t i = 0; i < steps.size(); ++i) EXPECT_EQ(steps[i].version, static_cast<int>(i + 1));
  EXPECT_EQ(steps.back().version, kSchemaVersion);
}

// A family's part: applied once in order, only the missing steps on a
// later open, a failing step leaves nothing behind, a newer part refused.
TEST(Store, SchemaPartsStepThroughTheirOwnVersions) {
  TempDir dir;
  const std::string db = dir.File("parts.db");
  std::string error;
  SchemaPart v1{"fam", {{1, "CREATE TABLE fam_a(x INTEGER);"}}};
  SchemaPart v2{"fam", {{1, "CREATE TABLE fam_a(x INTEGER);"},
                        {2, "ALTER TABLE fam_a ADD COLUMN y TEXT;"}}};
  SchemaPart bad{"fam", {{1, "CREATE TABLE fam_a(x INTEGER);"},
                         {2, "ALTER TABLE fam_a ADD COLUMN y TEXT;"},
                         {3, "CREATE TABLE fam_b(z); CREATE TABLE nonsense(;"}}};
  std::vector<const SchemaPart*> parts{&v1};
  ASSERT_TRUE(Store::Open(db, Opts(), &error, &parts)) << error;
  parts = {&v2};
  auto s = Store::Open(db, Opts(), &error, &parts);
  ASSERT_TRUE(s) << error;
  EXPECT_EQ(s->PartVersion("fam"), 2);
  EXPECT_EQ(s->PartVersion("other"), 0);
  EXPECT_TRUE(s->Transaction([](sqlite3* d) {
    return sqlite3_exec(d, "INSERT INTO fam_a(x, y) VALUES(1, 'a')", nullptr, nullptr, nullptr) ==
           SQLITE_OK;
  }));
  // A body that fails rolls its writes back.
  EXPECT_FALSE(s->Transaction([](sqlite3* d) {
    sqlite3_exec(d, "INSERT INTO fam_a(x) VALUES(2)", nullptr, nullptr, nullptr);
    return false;
  }));
  EXPECT_EQ(s->WithDb([](sqlite3* d) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(d, "SELECT count(*) FROM fam_a", -1, &st, nullptr);
    sqlite3_step(st);
    int n = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    return n;
  }), 1);
  s.reset();
  parts = {&bad};
  EXPECT_FALSE(Store::Open(db, Opts(), &error, &parts));
  EXPECT_NE(error.find("fam step 3"), std::string::npos) << error;
  parts = {&v2};
  s = Store::Open(db, Opts(), &error, &parts);
  ASSERT_TRUE(s) << error;
  EXPECT_EQ(s->PartVersion("fam"), 2);
  EXPECT_EQ(s->WithDb([](sqlite3* d) {
    return sqlite3_exec(d, "SELECT * FROM fam_b", nullptr, nullptr, nullptr);
  }), SQLITE_ERROR);  // step 3's first table was rolled back with it
  s.reset();
  parts = {&v1};  // an older server does not open a newer part
  EXPECT_FALSE(Store::Open(db, Opts(), &error, &parts));
  EXPECT_NE(error.find("newer"), std::string::npos) << error;
}

class UserLogStore : public ::testing::Test {
 protected:
  void SetUp() override {
    s_ = OpenMemory();
    // time, user, session, opnum, result
    Add(100, "admin", 11, 100, 1);
    Add(150, "admin", 11, 87, 1);
    Add(200, "bob", 22, 3, int32_t(0xC1FE0007));
    Add(250, "a' OR '1'='1", 33, 87, int32_t(0xC1FE0001));
    Add(300, "admin", 11, 1, 1);
  }
  void Add(int64_t t, const char* user, int32_t session, uint32_t opnum, int32_t result) {
    UserLogEntry e;
    e.time = t;
    e.user_id = user;
    e.session_no = session;
    e.opnum = opnum;
    e.procedure = "p" + std::to_string(opnum);
    e.result = result;
    e.peer = "ncalrpc";
    e.detail = "d";
    ASSERT_TRUE(s_->AppendUserLog(e));
  }
  std::vector<int64_t> Times(const char* condition, size_t limit = 1000) {
    LogFilter f;
    EXPECT_TRUE(ParseLogCondition(condition, &f)) << condition;
    std::vector<UserLogEntry> out;
    EXPECT_TRUE(s_->QueryUserLog(f, limit, &out));
    std::vector<int64_t> t;
    for (const auto& e : out) t.push_back(e.time);
    return t;
  }
  std::unique_ptr<Store> s_;
};

TEST_F(UserLogStore, FiltersSelectTheMatchingEntriesInOrder) {
  using V = std::vector<int64_t>;
  struct Case {
    const char* condition;
    V expect;
  } cases[] = {
      {"", V{100, 150, 200, 250, 300}},
      {"user=admin", V{100, 150, 300}},
      {"user=bob;op=3", V{200}},
      {"op=87", V{150, 250}},
      {"since=150;until=300", V{150, 200, 250}},
      {"result=0xC1FE0001", V{250}},
      {"result=1;session=11", V{100, 150, 300}},
      {"proc=p100", V{100}},
      {"user=a' OR '1'='1", V{250}},   // matches only the user of that name
      {"user=admin' --", V{}},
      {"user=%", V{}},                 // no LIKE semantics
      {"user=nobody", V{}},
  };
  for (const Case& c : cases) EXPECT_EQ(Times(c.condition), c.expect) << c.condition;
  EXPECT_EQ(Times("", 2), (V{100, 150}));
}

TEST_F(UserLogStore, DeleteRemovesOnlyTheSelection) {
  LogFilter f;
  ASSERT_TRUE(ParseLogCondition("user=admin;op=87", &f));
  EXPECT_EQ(s_->DeleteUserLog(f), std::optional<int64_t>(1));
  EXPECT_EQ(Times(""), (std::vector<int64_t>{100, 200, 250, 300}));
  ASSERT_TRUE(ParseLogCondition("user=x' OR 1=1 --", &f));
  EXPECT_EQ(s_->DeleteUserLog(f), std::optional<int64_t>(0));
  EXPECT_EQ(Times("").size(), 4u);
  EXPECT_EQ(s_->DeleteUserLog(LogFilter{}), std::optional<int64_t>(4));
  EXPECT_TRUE(Times("").empty());
}

TEST_F(UserLogStore, EntriesComeBackAsWritten) {
  std::vector<UserLogEntry> out;
  LogFilter f;
  ASSERT_TRUE(ParseLogCondition("user=bob", &f));
  ASSERT_TRUE(s_->QueryUserLog(f, 10, &out));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].user_id, "bob");
  EXPECT_EQ(out[0].session_no, 22);
  EXPECT_EQ(out[0].opnum, 3u);
  EXPECT_EQ(out[0].procedure, "p3");
  EXPECT_EQ(out[0].result, int32_t(0xC1FE0007));
  EXPECT_EQ(out[0].peer, "ncalrpc");
  EXPECT_EQ(out[0].detail, "d");
  EXPECT_GT(out[0].id, 0);
}

}  // namespace
}  // namespace qz::faxd
