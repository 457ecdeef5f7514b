// fax_service_test.cc -- procedure logic driven with hand-built requests:
// login semantics, key checks, the user log, passwords, advise, caps.
#include "server/fax_service.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include "interfaces/interfaces.h"
#include "server/records.h"
#include "server/server_status.h"

namespace qz::faxd {
namespace {

constexpr int32_t S(ServerStatus s) { return static_cast<int32_t>(s); }

rpc::CallContext Local(uint32_t uid, uint64_t conn = 1) {
  rpc::CallContext c;
  c.protseq = "ncalrpc";
  c.has_peer_credentials = true;
  c.peer_uid = uid;
  c.peer_pid = 4242;
  c.connection_id = conn;
  return c;
}

rpc::CallContext Tcp(uint64_t conn = 2) {
  rpc::CallContext c;
  c.protseq = "ncacn_ip_tcp";
  c.peer_address = "127.0.0.1";
  c.connection_id = conn;
  c.assoc_group_id = static_cast<uint32_t>(0x51510000 + conn);
  return c;
}

// Arguments for a main-interface procedure, positions sized from the table.
rpc::ServerArgs Args(uint16_t opnum) {
  rpc::ServerArgs a;
  a.values.resize(ifc::kMainProcedures[opnum].param_count + 1u);
  return a;
}

std::vector<uint8_t> KeyBytes(const std::string& user, int32_t session) {
  std::vector<uint8_t> k(24, 0);
  std::memcpy(k.data(), user.data(), std::min<size_t>(user.size(), 20));
  std::memcpy(&k[20], &session, 4);
  return k;
}

struct Login {
  rpc::CallContext ctx;  // the caller that logged in
  int32_t result = 0;
  std::string user;
  int32_t session = 0;
  std::vector<uint8_t> info;
};

class FaxServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StoreOptions so;
    so.os_user = "alice";
    so.password_cost = PasswordCost::Minimal();
    std::string error;
    store_ = Store::Open(":memory:", so, &error);
    ASSERT_TRUE(store_) << error;
    MakeService(ServiceOptions{});
  }
  void MakeService(ServiceOptions o) {
    o.host_name = "faxhost";
    o.os_user_name = [](uint32_t uid) -> std::optional<std::string> {
      switch (uid) {
        case 1000: return "alice";
        case 1001: return "bob";
        case 1002: return "a-very-long-account-name-x";
        default: return std::nullopt;
      }
    };
    service_ = std::make_unique<FaxService>(store_.get(), std::move(o));
  }

  Login LogIn(const rpc::CallContext& ctx) {
    rpc::ServerArgs a = Args(100);
    a[2].number = 1680;
    a[3].bytes.assign(1680, 0);
    Login l;
    l.ctx = ctx;
    l.result = service_->HandleMain(ctx, 100, a);
    EXPECT_EQ(a[1].bytes.size(), 24u);
    l.user = reinterpret_cast<const char*>(a[1].bytes.data());
    std::memcpy(&l.session, &a[1].bytes[20], 4);
    l.info = a[3].bytes;
    return l;
  }
  int32_t Connect(const rpc::CallContext& ctx, std::string* user, int32_t* session) {
    rpc::ServerArgs a = Args(0);
    int32_t rc = service_->HandleMain(ctx, 0, a);
    EXPECT_EQ(a[1].bytes.size(), 24u);
    *user = reinterpret_cast<const char*>(a[1].bytes.data());
    std::memcpy(session, &a[1].bytes[20], 4);
    return rc;
  }
  // Calls a procedure whose only requirement here is the key.
  int32_t CallWithKey(uint16_t opnum, const std::string& user, int32_t session) {
    rpc::ServerArgs a = Args(opnum);
    a[1].bytes = KeyBytes(user, session);
    return service_->HandleMain(Local(1000), opnum, a);
  }
  int32_t Query(const Login& l, const std::string& condition, std::vector<UserLogRecord>* out) {
    rpc::ServerArgs a = Args(3);
    a[1].bytes = KeyBytes(l.user, l.session);
    a[2].text = condition;
    int32_t rc = service_->HandleMain(l.ctx, 3, a);
    out->clear();
    EXPECT_EQ(static_cast<size_t>(a[4].number), a[3].bytes.size());
    EXPECT_EQ(a[3].present, !a[3].bytes.empty());
    EXPECT_EQ(a[3].bytes.size() % sizeof(UserLogRecord), 0u);
    for (size_t off = 0; off + sizeof(UserLogRecord) <= a[3].bytes.size();
         off += sizeof(UserLogRecord)) {
      UserLogRecord r;
      std::memcpy(&r, &a[3].bytes[off], sizeof r);
      out->push_back(r);
    }
    return rc;
  }
  int32_t ChangePassword(const Login& l, const std::string& old_pw, const std::string& new_pw) {
    rpc::ServerArgs a = Args(91);
    a[1].bytes = KeyBytes(l.user, l.session);
    a[2].text = old_pw;
    a[3].text = new_pw;
    return service_->HandleMain(Local(1000), 91, a);
  }

  std::unique_ptr<Store> store_;
  std::unique_ptr<FaxService> service_;
};

uint32_t U32(const std::vector<uint8_t>& b, size_t off) {
  uint32_t v;
  std::memcpy(&v, &b[off], 4);
  return v;
}

TEST_F(FaxServiceTest, LocalLoginOfMappedUserFillsKeyAndServerInfo) {
  Login l = LogIn(Local(1000));
  ASSERT_EQ(l.result, 1);
  EXPECT_EQ(l.user, "admin");
  EXPECT_GT(l.session, 0);
  ASSERT_EQ(l.info.size(), 1680u);
  EXPECT_STREQ(reinterpret_cast<const char*>(&l.info[4]), "faxhost");
  EXPECT_STREQ(reinterpret_cast<const char*>(&l.info[35]), "qzfaxd");
  EXPECT_STREQ(reinterpret_cast<const char*>(&l.info[86]), "ncalrpc");
  EXPECT_EQ(static_cast<int32_t>(U32(l.info, 684)), l.session);
  EXPECT_STREQ(reinterpret_cast<const char*>(&l.info[709]), "admin");
  EXPECT_EQ(l.info[708], 1);  // administrator
  for (int i = 0; i < 4; ++i) EXPECT_EQ(U32(l.info, 1664 + 4 * i), 0xFFFFFFFFu);
  auto id = store_->InstanceId();
  EXPECT_EQ(std::memcmp(&l.info[172], id.data(), 16), 0);
  // Every text field the client copies is NUL-terminated within its width.
  const std::pair<size_t, size_t> fields[] = {{4, 31}, {35, 20}, {55, 31}, {86, 20}, {106, 65}};
  for (auto [off, width] : fields) EXPECT_EQ(l.info[off + width - 1], 0) << off;
  // The key is good for later calls; two logins get different sessions.
  EXPECT_EQ(CallWithKey(87, l.user, l.session), 1);
  Login l2 = LogIn(Local(1000));
  EXPECT_NE(l2.session, l.session);
}

TEST_F(FaxServiceTest, UnknownLocalUserIsRegisteredByConnectThenLogsInWithoutRights) {
  // The client's sequence for a caller the server does not know: 100, 0, 100.
  Login first = LogIn(Local(1001));
  EXPECT_EQ(first.result, S(kUnknownCaller));
  EXPECT_EQ(first.user, "");
  EXPECT_EQ(first.session, 0);
  std::string user;
  int32_t session = -1;
  EXPECT_EQ(Connect(Local(1001), &user, &session), 1);
  EXPECT_EQ(user, "bob");
  EXPECT_EQ(session, 0);  // connect identifies, it opens no session
  EXPECT_EQ(CallWithKey(87, "bob", 0), S(kBadKey));
  Login second = LogIn(Local(1001));
  ASSERT_EQ(second.result, 1);
  EXPECT_EQ(second.user, "bob");
  EXPECT_EQ(second.info[708], 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(U32(second.info, 1664 + 4 * i), 0u);
  std::vector<UserLogRecord> log;
  EXPECT_EQ(Query(second, "", &log), S(kAccessDenied));
  EXPECT_TRUE(log.empty());
  // Connecting again does not register twice.
  EXPECT_EQ(Connect(Local(1001), &user, &session), 1);
  EXPECT_EQ(user, "bob");
}

TEST_F(FaxServiceTest, CallersWithoutAnAssociatedUserAreRefused) {
  ServiceOptions no_register;
  no_register.register_local_users = false;
  no_register.tcp_user = "";
  MakeService(no_register);
  std::string user;
  int32_t session;
  rpc::CallContext no_creds = Local(1000);
  no_creds.has_peer_credentials = false;
  struct Case {
    const char* name;
    rpc::CallContext ctx;
  } cases[] = {
      {"unmapped, registration off", Local(1001)},
      {"uid without account", Local(4000)},
      {"no peer credentials", no_creds},
      {"TCP logins disabled", Tcp()},
      {"name too long for an identifier", Local(1002)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LogIn(c.ctx).result, S(kUnknownCaller)) << c.name;
    EXPECT_EQ(Connect(c.ctx, &user, &session), S(kUnknownCaller)) << c.name;
    EXPECT_EQ(user, "") << c.name;
  }
  EXPECT_FALSE(store_->GetUser("bob"));
}

TEST_F(FaxServiceTest, TcpLoginMapsToTheConfiguredUser) {
  // By default a TCP caller is "guest", made on first use without rights.
  Login g = LogIn(Tcp());
  ASSERT_EQ(g.result, 1);
  EXPECT_EQ(g.user, "guest");
  for (int i = 0; i < 4; ++i) EXPECT_EQ(U32(g.info, 1664 + 4 * i), 0u);
  ServiceOptions admin;
  admin.tcp_user = "admin";
  MakeService(admin);
  Login l = LogIn(Tcp());
  ASSERT_EQ(l.result, 1);
  EXPECT_EQ(l.user, "admin");
  EXPECT_STREQ(reinterpret_cast<const char*>(&l.info[86]), "ncacn_ip_tcp");
  ServiceOptions o;
  o.tcp_user = "ghost";  // not in the store
  MakeService(o);
  EXPECT_EQ(LogIn(Tcp()).result, S(kUnknownCaller));
}

TEST_F(FaxServiceTest, LoginRefusesAWrongServerInfoSize) {
  rpc::ServerArgs a = Args(100);
  a[2].number = 1000;
  a[3].bytes.assign(1000, 0);
  EXPECT_EQ(service_->HandleMain(Local(1000), 100, a), S(kBadRecord));
  EXPECT_EQ(store_->CountLiveSessions(), 0);
}

TEST_F(FaxServiceTest, KeyIsCheckedBeforeAnythingElse) {
  Login l = LogIn(Local(1000));
  ASSERT_EQ(l.result, 1);
  // Procedures this server does not carry out yet still check the key first.
  const uint16_t unhandled[] = {5, 7, 13, 30, 62, 77, 88, 93, 94, 99};
  for (uint16_t op : unhandled) {
    EXPECT_EQ(CallWithKey(op, l.user, l.session), S(kNotHandled)) << op;
    EXPECT_EQ(CallWithKey(op, l.user, l.session + 1), S(kBadKey)) << op;
    EXPECT_EQ(CallWithKey(op, "bob", l.session), S(kBadKey)) << op;
    EXPECT_EQ(CallWithKey(op, "", 0), S(kBadKey)) << op;
  }
  // Procedures without a key answer "not handled" directly.
  for (uint16_t op : {2, 92, 95}) {
    rpc::ServerArgs a = Args(op);
    EXPECT_EQ(service_->HandleMain(Local(1000), op, a), S(kNotHandled)) << op;
  }
  // A malformed key (wrong size) is a bad key, not a crash.
  rpc::ServerArgs a = Args(87);
  a[1].bytes.assign(5, 'x');
  EXPECT_EQ(service_->HandleMain(Local(1000), 87, a), S(kBadKey));
  // A request missing positions entirely is tolerated.
  rpc::ServerArgs empty;
  EXPECT_EQ(service_->HandleMain(Local(1000), 87, empty), S(kBadKey));
}

TEST_F(FaxServiceTest, LogoutEndsTheSession) {
  Login l = LogIn(Local(1000));
  ASSERT_EQ(l.result, 1);
  EXPECT_EQ(CallWithKey(1, l.user, l.session), 1);
  EXPECT_EQ(CallWithKey(1, l.user, l.session), S(kBadKey));
  EXPECT_EQ(CallWithKey(87, l.user, l.session), S(kBadKey));
  EXPECT_EQ(CallWithKey(3, l.user, l.session), S(kBadKey));
}

TEST_F(FaxServiceTest, UserLogRecordsEveryCallAndAnswersQueries) {
  Login l = LogIn(Local(1000));
  ASSERT_EQ(l.result, 1);
  EXPECT_EQ(CallWithKey(87, l.user, l.session), 1);
  EXPECT_EQ(CallWithKey(87, l.user, 999), S(kBadKey));
  EXPECT_EQ(CallWithKey(13, l.user, l.session), S(kNotHandled));
  std::vector<UserLogRecord> log;
  ASSERT_EQ(Query(l, "", &log), 1);
  // login, sync, refused sync, unhandled send; the query itself is logged
  // after it has answered.
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0].dwOpnum, 100u);
  EXPECT_STREQ(log[0].szProcedure, "rpcLogInServer");
  EXPECT_STREQ(log[0].szUserID, "admin");
  EXPECT_EQ(log[0].dwSessionNo, l.session);
  EXPECT_EQ(log[0].lResult, 1);
  EXPECT_STREQ(log[0].szDetail, "ncalrpc uid=1000 pid=4242: logged in");
  EXPECT_EQ(log[1].dwOpnum, 87u);
  EXPECT_EQ(log[2].lResult, S(kBadKey));
  // A key that is not valid names nobody in the log.
  EXPECT_STREQ(log[2].szUserID, "");
  EXPECT_EQ(log[2].dwSessionNo, 0);
  EXPECT_EQ(log[3].lResult, S(kNotHandled));
  for (size_t i = 1; i < log.size(); ++i) EXPECT_GT(log[i].dwLogID, log[i - 1].dwLogID);
  EXPECT_GT(log[0].dwTime, 1700000000u);

  ASSERT_EQ(Query(l, "op=87;result=1", &log), 1);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].dwOpnum, 87u);
  ASSERT_EQ(Query(l, "op=3", &log), 1);
  ASSERT_EQ(log.size(), 2u);  // the two earlier queries, now on record
  EXPECT_STREQ(log[1].szDetail, "ncalrpc uid=1000 pid=4242: condition: op=87;result=1 -> 1 records");
}

TEST_F(FaxServiceTest, UserLogRecordBytesSitAtTheirOffsets) {
  Login l = LogIn(Local(1000));
  rpc::ServerArgs a = Args(3);
  a[1].bytes = KeyBytes(l.user, l.session);
  a[2].text = "op=100";
  ASSERT_EQ(service_->HandleMain(Local(1000), 3, a), 1);
  const std::vector<uint8_t>& b = a[3].bytes;
  ASSERT_EQ(b.size(), 508u);
  EXPECT_EQ(U32(b, 0), 1u);                                   // first entry
  EXPECT_NEAR(double(U32(b, 4)), double(time(nullptr)), 5.0);  // time
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[8])), "admin");
  EXPECT_EQ(b[8 + 19], 0);
  EXPECT_EQ(U32(b, 28), static_cast<uint32_t>(l.session));
  EXPECT_EQ(U32(b, 32), 100u);
  EXPECT_EQ(U32(b, 36), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[40])), "rpcLogInServer");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[104])),
            "ncalrpc uid=1000 pid=4242: logged in");
  EXPECT_EQ(b[507], 0);
}

TEST_F(FaxServiceTest, QueryWithoutMatchesSendsANullReply) {
  Login l = LogIn(Local(1000));
  rpc::ServerArgs a = Args(3);
  a[1].bytes = KeyBytes(l.user, l.session);
  a[2].text = "user=nobody";
  a[3].present = true;  // whatever came in, nothing goes out
  a[4].number = 77;
  EXPECT_EQ(service_->HandleMain(Local(1000), 3, a), 1);
  EXPECT_FALSE(a[3].present);
  EXPECT_TRUE(a[3].bytes.empty());
  EXPECT_EQ(a[4].number, 0);
}

TEST_F(FaxServiceTest, HostileConditionsAreRefusedOrMatchLiterally) {
  Login l = LogIn(Local(1000));
  std::vector<UserLogRecord> log;
  EXPECT_EQ(Query(l, "user=x;DROP TABLE user_log", &log), S(kBadCondition));
  EXPECT_EQ(Query(l, "'; DELETE FROM user_log; --", &log), S(kBadCondition));
  EXPECT_EQ(Query(l, "user=admin' OR '1'='1", &log), 1);
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(Query(l, "user=admin\" OR 1=1 --", &log), 1);
  EXPECT_TRUE(log.empty());
  rpc::ServerArgs del = Args(4);
  del[1].bytes = KeyBytes(l.user, l.session);
  del[2].text = "op=1 OR 1=1";
  EXPECT_EQ(service_->HandleMain(Local(1000), 4, del), S(kBadCondition));
  // Nothing was lost: login plus the five refused or empty calls.
  ASSERT_EQ(Query(l, "", &log), 1);
  EXPECT_EQ(log.size(), 6u);
  EXPECT_EQ(log[1].lResult, S(kBadCondition));
}

TEST_F(FaxServiceTest, DeleteThenReadIsCoherent) {
  Login l = LogIn(Local(1000));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(CallWithKey(87, l.user, l.session), 1);
  rpc::ServerArgs del = Args(4);
  del[1].bytes = KeyBytes(l.user, l.session);
  del[2].text = "op=87";
  EXPECT_EQ(service_->HandleMain(Local(1000), 4, del), 1);
  std::vector<UserLogRecord> log;
  ASSERT_EQ(Query(l, "op=87", &log), 1);
  EXPECT_TRUE(log.empty());
  ASSERT_EQ(Query(l, "op=4", &log), 1);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(std::string(log[0].szDetail).find("3 deleted"), std::string::npos) << log[0].szDetail;
  // Delete everything: afterwards only the delete and the queries remain.
  del[2].text = "";
  EXPECT_EQ(service_->HandleMain(Local(1000), 4, del), 1);
  ASSERT_EQ(Query(l, "", &log), 1);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].dwOpnum, 4u);
}

TEST_F(FaxServiceTest, ChangePasswordChecksTheOldOneAndStoresOnlyAHash) {
  Login l = LogIn(Local(1000));
  EXPECT_EQ(ChangePassword(l, "wrong", "n3w"), S(kWrongPassword));
  EXPECT_TRUE(store_->CheckPassword("admin", ""));
  EXPECT_EQ(ChangePassword(l, "", "n3w'pass;"), 1);
  EXPECT_TRUE(store_->CheckPassword("admin", "n3w'pass;"));
  EXPECT_EQ(store_->PasswordHash("admin")->find("n3w"), std::string::npos);
  EXPECT_EQ(ChangePassword(l, "", "again"), S(kWrongPassword));
  EXPECT_EQ(ChangePassword(l, "n3w'pass;", std::string(128, 'x')), S(kBadPassword));
  EXPECT_EQ(ChangePassword(l, "n3w'pass;", std::string(127, 'x')), 1);
  Login other = l;
  other.session += 1;
  EXPECT_EQ(ChangePassword(other, std::string(127, 'x'), "z"), S(kBadKey));
  // No password text reaches the log.
  std::vector<UserLogRecord> log;
  ASSERT_EQ(Query(l, "op=91", &log), 1);
  EXPECT_EQ(log.size(), 6u);
  for (const auto& r : log) {
    std::string detail = r.szDetail;
    EXPECT_EQ(detail.find("n3w"), std::string::npos) << detail;
    EXPECT_EQ(detail.find("xxx"), std::string::npos) << detail;
  }
}

class AdviseTest : public FaxServiceTest {
 protected:
  // Registrations belong to the caller's session.
  void SetUp() override {
    FaxServiceTest::SetUp();
    session_ = LogIn(Local(1000));
    ASSERT_EQ(session_.result, 1);
  }
  Login session_;
  int32_t Advise(uint64_t conn, int32_t op, int32_t length, std::vector<uint8_t> data,
                 bool right_guid = true) {
    rpc::ServerArgs a = Args(101);
    a[1].bytes.assign(kAdviseEventGuid, kAdviseEventGuid + 16);
    if (!right_guid) a[1].bytes[0] ^= 1;
    a[2].number = op;
    a[3].number = length;
    a[4].bytes = std::move(data);
    return service_->HandleMain(Local(1000, conn), 101, a);
  }
  static std::vector<uint8_t> Record(size_t size, uint32_t cookie, size_t at) {
    std::vector<uint8_t> r(size, 0x5A);
    std::memcpy(&r[at], &cookie, 4);
    return r;
  }
};

TEST_F(AdviseTest, RegistrationsArePerConnectionAndRemovable) {
  EXPECT_EQ(Advise(1, 8, 60, Record(60, 7, 8)), 1);
  EXPECT_EQ(Advise(1, 8, 60, Record(60, 9, 8)), 1);
  EXPECT_EQ(Advise(2, 8, 60, Record(60, 7, 8)), 1);
  ASSERT_EQ(service_->AdviseRegistrations(1).size(), 2u);
  EXPECT_EQ(service_->AdviseRegistrations(1)[0].record, Record(60, 7, 8));
  EXPECT_EQ(Advise(1, 9, 16, Record(16, 7, 0)), 1);
  ASSERT_EQ(service_->AdviseRegistrations(1).size(), 1u);
  EXPECT_EQ(service_->AdviseRegistrations(1)[0].cookie, 9u);
  EXPECT_EQ(service_->AdviseRegistrations(2).size(), 1u);  // other connection untouched
  EXPECT_EQ(Advise(1, 9, 16, Record(16, 12345, 0)), 1);   // idempotent
  EXPECT_EQ(Advise(2, 9, 16, Record(16, 0, 0)), 1);       // 0 removes all
  EXPECT_TRUE(service_->AdviseRegistrations(2).empty());
  service_->ForgetConnection(1);
  EXPECT_TRUE(service_->AdviseRegistrations(1).empty());
}

TEST_F(AdviseTest, RefusesBadRequests) {
  struct Case {
    const char* name;
    int32_t op, length;
    std::vector<uint8_t> data;
    bool guid;
    int32_t expect;
  } cases[] = {
      {"wrong event identifier", 8, 60, Record(60, 1, 8), false, S(kBadArgument)},
      {"unknown operation", 7, 60, Record(60, 1, 8), true, S(kBadArgument)},
      {"advise with 16 bytes", 8, 16, Record(16, 1, 0), true, S(kBadRecord)},
      {"advise length differs from data", 8, 60, Record(59, 1, 8), true, S(kBadRecord)},
      {"unadvise with 60 bytes", 9, 60, Record(60, 1, 8), true, S(kBadRecord)},
      {"advise cookie 0", 8, 60, Record(60, 0, 8), true, S(kBadArgument)},
  };
  for (const Case& c : cases) EXPECT_EQ(Advise(1, c.op, c.length, c.data, c.guid), c.expect) << c.name;
  EXPECT_TRUE(service_->AdviseRegistrations(1).empty());
}

TEST_F(AdviseTest, RegistrationsPerSessionAreBounded) {
  ServiceOptions o;
  o.max_advise_per_session = 3;
  MakeService(o);
  for (uint32_t i = 1; i <= 3; ++i) EXPECT_EQ(Advise(1, 8, 60, Record(60, i, 8)), 1);
  EXPECT_EQ(Advise(1, 8, 60, Record(60, 4, 8)), S(kTooMany));
  // Another connection of the same session does not get more.
  EXPECT_EQ(Advise(2, 8, 60, Record(60, 4, 8)), S(kTooMany));
}

// Registrations are tied to sessions: a caller without one registers
// nothing, throw-away connections evict nobody, and a session's
// registrations go with it.
TEST_F(AdviseTest, RegistrationsGoWithTheirSessionAndEvictNobody) {
  EXPECT_EQ(Advise(5, 8, 60, Record(60, 1, 8)), 1);
  for (uint64_t conn = 100; conn < 1200; ++conn) {
    rpc::ServerArgs a = Args(101);
    a[1].bytes.assign(kAdviseEventGuid, kAdviseEventGuid + 16);
    a[2].number = 8;
    a[3].number = 60;
    a[4].bytes = Record(60, 1, 8);
    ASSERT_EQ(service_->HandleMain(Local(1001, conn), 101, a), S(kBadKey));  // no session
  }
  EXPECT_EQ(service_->AdviseRegistrations(5).size(), 1u);
  rpc::ServerArgs out = Args(1);
  out[1].bytes = KeyBytes(session_.user, session_.session);
  ASSERT_EQ(service_->HandleMain(Local(1000), 1, out), 1);
  EXPECT_TRUE(service_->AdviseRegistrations(5).empty());
}

TEST_F(FaxServiceTest, ServerCapsFillsTheBlockWithoutASession) {
  rpc::ServerArgs a;
  a.values.resize(4);
  a[1].bytes = KeyBytes("someone", 0);
  a[2].bytes.assign(440, 0xCC);
  a[3].number = 440;
  ASSERT_EQ(service_->HandleServiceControl(Tcp(), 3, a), 1);
  ServerCapsRecord caps;
  ASSERT_EQ(a[2].bytes.size(), sizeof caps);
  std::memcpy(&caps, a[2].bytes.data(), sizeof caps);
  EXPECT_EQ(caps.dwSize, 440u);
  EXPECT_EQ(caps.dwVersion, kServerVersion);
  EXPECT_EQ(caps.dwFlags & kCapUserLog, kCapUserLog);
  EXPECT_STREQ(caps.szHostName, "faxhost");
  // The same at raw offsets.
  EXPECT_EQ(U32(a[2].bytes, 0), 440u);
  EXPECT_EQ(U32(a[2].bytes, 4), 0x00010000u);
  EXPECT_EQ(U32(a[2].bytes, 8), 0x7u);
  EXPECT_STREQ(reinterpret_cast<const char*>(&a[2].bytes[24]), "qzfaxd");
  EXPECT_STREQ(reinterpret_cast<const char*>(&a[2].bytes[88]), "faxhost");
  EXPECT_EQ(caps.abReserved[287], 0);
  a[2].bytes.assign(300, 0);
  a[3].number = 300;
  EXPECT_EQ(service_->HandleServiceControl(Tcp(), 3, a), S(kBadRecord));
}

TEST_F(FaxServiceTest, OtherServiceControlProceduresAreNotHandled) {
  Login l = LogIn(Local(1000));
  for (uint16_t op : {1, 2, 4, 5}) {
    rpc::ServerArgs a;
    a.values.resize(ifc::kServiceControlProcedures[op].param_count + 1u);
    a[1].bytes = KeyBytes(l.user, l.session);
    EXPECT_EQ(service_->HandleServiceControl(Local(1000), op, a), S(kNotHandled)) << op;
    a[1].bytes = KeyBytes(l.user, 0);
    EXPECT_EQ(service_->HandleServiceControl(Local(1000), op, a), S(kBadKey)) << op;
  }
  std::vector<UserLogRecord> log;
  ASSERT_EQ(Query(l, "op=0x101", &log), 1);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_STREQ(log[0].szProcedure, "rpcServerStop");
}

}  // namespace
}  // namespace qz::faxd
