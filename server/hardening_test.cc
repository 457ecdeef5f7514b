// hardening_test.cc -- the server core under attack and under load: keys
// bound to their caller, bounded texts and answers, the user log of
// unauthenticated callers, session expiry and bounds, password upgrades.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <cstring>

#include "interfaces/interfaces.h"
#include "server/fax_service.h"
#include "server/records.h"
#include "server/server_status.h"
#include "server/sql.h"

namespace qz::faxd {
namespace {

constexpr int32_t S(ServerStatus s) { return static_cast<int32_t>(s); }

rpc::CallContext Local(uint32_t uid) {
  rpc::CallContext c;
  c.protseq = "ncalrpc";
  c.has_peer_credentials = true;
  c.peer_uid = uid;
  c.connection_id = uid;
  return c;
}

rpc::CallContext Tcp(uint32_t group, uint64_t conn) {
  rpc::CallContext c;
  c.protseq = "ncacn_ip_tcp";
  c.peer_address = "127.0.0.1";
  c.assoc_group_id = group;
  c.connection_id = conn;
  return c;
}

rpc::ServerArgs Args(uint16_t opnum) {
  rpc::ServerArgs a;
  a.values.resize(ifc::kMainProcedures[opnum].param_count + 1u);
  return a;
}

struct Key {
  std::string user;
  int32_t session = 0;
  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> k(24, 0);
    std::memcpy(k.data(), user.data(), user.size());
    std::memcpy(&k[20], &session, 4);
    return k;
  }
};

class HardeningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StoreOptions so;
    so.os_user = "alice";
    so.password_cost = PasswordCost::Minimal();
    std::string error;
    store_ = Store::Open(":memory:", so, &error);
    ASSERT_TRUE(store_) << error;
    User bob;  // holds the user-log right only
    bob.id = "bob";
    bob.rights[2] = 0x10000;
    ASSERT_TRUE(store_->AddUser(bob, "") && store_->MapOsUser("bob", "bob"));
    Make({});
  }
  void Make(ServiceOptions o) {
    o.tcp_user = "admin";
    o.now = [this] { return now_; };
    o.os_user_name = [](uint32_t uid) -> std::optional<std::string> {
      if (uid == 1000) return "alice";
      if (uid == 1001) return "bob";
      return std::nullopt;
    };
    service_ = std::make_unique<FaxService>(store_.get(), std::move(o));
  }
  Key LogIn(const rpc::CallContext& ctx) {
    rpc::ServerArgs a = Args(100);
    a[2].number = 1680;
    a[3].bytes.assign(1680, 0);
    EXPECT_EQ(service_->HandleMain(ctx, 100, a), 1);
    Key k;
    k.user = reinterpret_cast<const char*>(a[1].bytes.data());
    std::memcpy(&k.session, &a[1].bytes[20], 4);
    return k;
  }
  int32_t Sync(const rpc::CallContext& ctx, const Key& k) {
    rpc::ServerArgs a = Args(87);
    a[1].bytes = k.Bytes();
    return service_->HandleMain(ctx, 87, a);
  }
  int32_t Query(const rpc::CallContext& ctx, const Key& k, const std::string& cond,
                std::vector<UserLogRecord>* out = nullptr) {
    rpc::ServerArgs a = Args(3);
    a[1].bytes = k.Bytes();
    a[2].text = cond;
    int32_t rc = service_->HandleMain(ctx, 3, a);
    if (out) {
      out->resize(a[3].bytes.size() / sizeof(UserLogRecord));
      if (!out->empty()) std::memcpy(out->data(), a[3].bytes.data(), a[3].bytes.size());
    }
    return rc;
  }
  int32_t ChangePassword(const rpc::CallContext& ctx, const Key& k, const std::string& old_pw,
                         const std::string& new_pw) {
    rpc::ServerArgs a = Args(91);
    a[1].bytes = k.Bytes();
    a[2].text = old_pw;
    a[3].text = new_pw;
    return service_->HandleMain(ctx, 91, a);
  }

  int64_t now_ = 1'800'000'000;
  std::unique_ptr<Store> store_;
  std::unique_ptr<FaxService> service_;
};

// A key works only for the caller that logged in: the same uid over
// ncalrpc, the same association group over TCP (any connection of it, as
// the library opens several). Others get kBadKey, whatever they call.
TEST_F(HardeningTest, KeysWorkOnlyForTheCallerThatLoggedIn) {
  Key local = LogIn(Local(1000));
  Key tcp = LogIn(Tcp(0x9A3F1C07, 1));
  rpc::CallContext no_creds = Local(1000);
  no_creds.has_peer_credentials = false;
  struct Case {
    const char* name;
    const Key& key;
    rpc::CallContext ctx;
    int32_t want;
  } cases[] = {
      {"same uid", local, Local(1000), 1},
      {"other uid", local, Local(1001), S(kBadKey)},
      {"local key over TCP", local, Tcp(0x9A3F1C07, 1), S(kBadKey)},
      {"local key without credentials", local, no_creds, S(kBadKey)},
      {"same group, another connection", tcp, Tcp(0x9A3F1C07, 2), 1},
      {"other group", tcp, Tcp(0x9A3F1C08, 1), S(kBadKey)},
      {"no group", tcp, Tcp(0, 1), S(kBadKey)},
      {"TCP key over ncalrpc", tcp, Local(1000), S(kBadKey)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Sync(c.ctx, c.key), c.want) << c.name;
    EXPECT_EQ(ChangePassword(c.ctx, c.key, "", "x"),
              c.want == 1 ? 1 : c.want) << c.name;
    if (c.want == 1) ASSERT_EQ(ChangePassword(c.ctx, c.key, "x", ""), 1) << c.name;
  }
  // The attack of the report: bob reads the user log and tries the
  // administrator's session from his own connection.
  Key bob = LogIn(Local(1001));
  std::vector<UserLogRecord> log;
  ASSERT_EQ(Query(Local(1001), bob, "user=admin", &log), 1);
  ASSERT_FALSE(log.empty());
  for (const UserLogRecord& r : log) {
    EXPECT_NE(r.dwSessionNo, static_cast<uint32_t>(local.session)) << r.szProcedure;
    EXPECT_NE(r.dwSessionNo, static_cast<uint32_t>(tcp.session)) << r.szProcedure;
  }
  rpc::ServerArgs out = Args(1);
  out[1].bytes = local.Bytes();
  EXPECT_EQ(service_->HandleMain(Local(1001), 1, out), S(kBadKey));
  EXPECT_EQ(Sync(Local(1000), local), 1);  // still logged in
  // Own sessions, and ended ones, keep their numbers.
  ASSERT_EQ(Query(Local(1001), bob, "user=bob", &log), 1);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0].dwSessionNo, static_cast<uint32_t>(bob.session));
}

// Every text is bounded to its field before any work: the last length in
// range is processed, the first one beyond is refused as too long.
TEST_F(HardeningTest, TextsAreBoundedBeforeAnyWork) {
  Key k = LogIn(Local(1000));
  const std::string pw127(127, 'p'), pw128(128, 'p');
  EXPECT_EQ(ChangePassword(Local(1000), k, pw127, "n"), S(kWrongPassword));
  EXPECT_EQ(ChangePassword(Local(1000), k, pw128, "n"), S(kTextTooLong));
  EXPECT_EQ(ChangePassword(Local(1000), k, std::string(4 << 20, 'p'), "n"), S(kTextTooLong));
  EXPECT_EQ(ChangePassword(Local(1000), k, "", pw128), S(kBadPassword));
  EXPECT_EQ(ChangePassword(Local(1000), k, "", pw127), 1);
  std::string cond1024 = "user=admin;" + std::string(1024 - 11, ' ');
  EXPECT_EQ(Query(Local(1000), k, cond1024), 1);
  EXPECT_EQ(Query(Local(1000), k, cond1024 + " "), S(kTextTooLong));
  // rpcServerStart: user 19 / 20 characters, password 127 / 128.
  struct Case {
    std::string user, password;
    int32_t want;
  } starts[] = {
      {std::string(19, 'u'), pw127, S(kNotHandled)},
      {std::string(20, 'u'), "", S(kTextTooLong)},
      {"admin", pw128, S(kTextTooLong)},
  };
  for (const Case& c : starts) {
    rpc::ServerArgs a;
    a.values.resize(ifc::kServiceControlProcedures[0].param_count + 1u);
    a[1].bytes.assign(24, 0);
    a[2].text = c.user;
    a[3].text = c.password;
    EXPECT_EQ(service_->HandleServiceControl(Local(1000), 0, a), c.want) << c.user.size();
  }
}

// Callers without a valid key write at most so many user-log rows a second,
// naming nobody; the rest are summed up once the next second begins.
TEST_F(HardeningTest, UnauthenticatedCallersWriteBoundedUnnamedRows) {
  ServiceOptions o;
  o.unauthenticated_log_per_second = 5;
  Make(o);
  Key forged{"admin", 12345};
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(Sync(Tcp(7, 7), forged), S(kBadKey));
    rpc::ServerArgs caps;
    caps.values.resize(ifc::kServiceControlProcedures[3].param_count + 1u);
    caps[1].bytes = forged.Bytes();
    service_->HandleServiceControl(Tcp(7, 7), 3, caps);
  }
  now_ += 1;
  Key k = LogIn(Local(1000));
  std::vector<UserLogRecord> log;
  ASSERT_EQ(Query(Local(1000), k, "", &log), 1);
  // 5 unnamed rows, the summary of the 75 left out, the login.
  ASSERT_EQ(log.size(), 7u);
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_STREQ(log[i].szUserID, "") << i;
    EXPECT_EQ(log[i].dwSessionNo, 0u) << i;
  }
  EXPECT_NE(std::string(log[5].szDetail).find("75 calls without a valid key not logged"),
            std::string::npos) << log[5].szDetail;
  EXPECT_STREQ(log[6].szUserID, "admin");
}

// Idle sessions end after the setting (the last second before it still
// works), and a user holds at most so many sessions: the least recently
// used one ends first.
TEST_F(HardeningTest, SessionsExpireWhenIdleAndAreBoundedPerUser) {
  ServiceOptions o;
  o.session_idle_seconds = 160;
  o.max_sessions_per_user = 2;
  Make(o);
  Key a = LogIn(Local(1000));
  now_ += 159;
  EXPECT_EQ(Sync(Local(1000), a), 1);  // notes the use
  now_ += 159;
  EXPECT_EQ(Sync(Local(1000), a), 1);
  now_ += 160;
  EXPECT_EQ(Sync(Local(1000), a), S(kBadKey));
  EXPECT_FALSE(store_->IsSessionLive("admin", a.session));

  Key s1 = LogIn(Local(1000));
  now_ += 20;
  Key s2 = LogIn(Local(1000));
  now_ += 20;
  EXPECT_EQ(Sync(Local(1000), s1), 1);  // s1 is now the more recently used
  Key s3 = LogIn(Local(1000));
  EXPECT_EQ(Sync(Local(1000), s1), 1);
  EXPECT_EQ(Sync(Local(1000), s2), S(kBadKey));
  EXPECT_EQ(Sync(Local(1000), s3), 1);
  EXPECT_EQ(store_->CountLiveSessions(), 2);
}

// Long logs come in answers of at most the reply setting; the client pages
// on with after=<last id>. Answers being built are bounded server-wide.
TEST_F(HardeningTest, UserLogAnswersAreBoundedAndPaged) {
  ServiceOptions o;
  o.max_reply_bytes = 3 * sizeof(UserLogRecord) + sizeof(UserLogRecord) - 1;
  Make(o);
  Key k = LogIn(Local(1000));
  for (int i = 0; i < 6; ++i) ASSERT_EQ(Sync(Local(1000), k), 1);
  std::vector<uint32_t> ids;
  std::vector<UserLogRecord> page;
  std::string cond = "op=87";
  for (int round = 0; round < 4; ++round) {
    ASSERT_EQ(Query(Local(1000), k, cond, &page), 1);
    ASSERT_LE(page.size(), 3u);
    if (page.empty()) break;
    for (const UserLogRecord& r : page) ids.push_back(r.dwLogID);
    cond = "op=87;after=" + std::to_string(page.back().dwLogID);
  }
  EXPECT_EQ(ids.size(), 6u);
  for (size_t i = 1; i < ids.size(); ++i) EXPECT_GT(ids[i], ids[i - 1]);

  o.max_replies_in_flight = 3 * sizeof(UserLogRecord);  // less than one answer needs
  Make(o);
  EXPECT_EQ(Query(Local(1000), k, ""), S(kServerBusy));
}

// The store keeps at most max_user_log_rows rows, dropping the oldest.
TEST(StoreLimits, UserLogKeepsItsBoundDroppingTheOldest) {
  for (bool batched : {false, true}) {
    StoreOptions so;
    so.password_cost = PasswordCost::Minimal();
    so.max_user_log_rows = 10;
    so.batch_user_log = batched;
    so.log_flush_ms = 3'600'000;  // the queue is written by the query below
    std::string error;
    auto s = Store::Open(":memory:", so, &error);
    ASSERT_TRUE(s) << error;
    for (int i = 1; i <= 25; ++i) {
      UserLogEntry e;
      e.time = i;
      e.procedure = "p";
      ASSERT_TRUE(s->AppendUserLog(e));
    }
    std::vector<UserLogEntry> log;
    ASSERT_TRUE(s->QueryUserLog({}, 100, &log));
    ASSERT_EQ(log.size(), 10u) << batched;
    EXPECT_EQ(log.front().time, 16) << batched;
    EXPECT_EQ(log.back().time, 25) << batched;
  }
}

// A hash of the earlier format still verifies and becomes Argon2id at the
// first successful check; a failed check leaves it as it was.
TEST(StoreLimits, EarlierPasswordHashesAreUpgradedAtTheNextSuccess) {
  StoreOptions so;
  so.password_cost = PasswordCost::Minimal();
  std::string error;
  auto s = Store::Open(":memory:", so, &error);
  ASSERT_TRUE(s) << error;
  std::string old_hash = HashPasswordPbkdf2("pw", 100);
  ASSERT_TRUE(s->WithDb([&](sqlite3* db) {
    Stmt u(db, "UPDATE users SET password_hash = ? WHERE id = 'admin'");
    return u.Bind(1, std::string_view(old_hash)) && u.Step() == SQLITE_DONE;
  }));
  EXPECT_FALSE(s->CheckPassword("admin", "wrong"));
  EXPECT_EQ(s->PasswordHash("admin"), old_hash);
  EXPECT_TRUE(s->CheckPassword("admin", "pw"));
  std::string now = s->PasswordHash("admin").value_or("");
  EXPECT_EQ(now.rfind("$argon2id$", 0), 0u) << now;
  EXPECT_TRUE(s->CheckPassword("admin", "pw"));
  EXPECT_FALSE(s->CheckPassword("admin", "wrong"));
}

}  // namespace
}  // namespace qz::faxd
