// users_test.cc -- departments, users, details and user records through
// FaxService: rights bit by bit, the own-record rule, record walks at
// their bounds, and deletions that leave nothing behind.
#include "server/users.h"

#include "server/store_fixture.h"

namespace qz::faxd::testing {
namespace {

using UsersTest = StoreFixture;

DEPTINFO_TABLE Dept(const std::string& id, const std::string& name) {
  DEPTINFO_TABLE d;
  std::memset(&d, 0, sizeof d);
  SetField(d.szDeptID, id);
  SetField(d.szName, name);
  return d;
}

// A self-sized rpcUserOP record of `length` bytes.
std::vector<uint8_t> UserOp(const std::string& id, const std::string& dept,
                            const std::string& password, uint32_t length = 160,
                            uint32_t type = 0) {
  std::vector<uint8_t> b(length, 0);
  USEROP_RECORD r;
  std::memset(&r, 0, sizeof r);
  r.dwLength = length;
  SetField(r.szUserID, id);
  SetField(r.szDeptID, dept);
  SetField(r.szUserName, id + " name");
  SetField(r.szPassword, password);
  r.dwUserType = type;
  r.dwRights[0] = 0x300;
  std::memcpy(b.data(), &r, std::min<size_t>(length, sizeof r));
  return b;
}

class UsersOps : public UsersTest {
 protected:
  int32_t DeptOp(const std::string& user, int32_t command, const std::vector<uint8_t>& block) {
    return Call(user, 7, [&](rpc::ServerArgs& a) {
      a[2].number = command;
      a[3].bytes = block;
      a[4].number = static_cast<int32_t>(block.size());
    }).result;
  }
  int32_t Op(const std::string& user, uint16_t opnum, int32_t op,
             const std::vector<uint8_t>& block) {
    return Call(user, opnum, [&](rpc::ServerArgs& a) {
      a[2].number = op;
      a[3].bytes = block;
      a[4].number = static_cast<int32_t>(block.size());
    }).result;
  }
  Reply Record(const std::string& user, int32_t op, const std::string& id) {
    return Call(user, 9, [&](rpc::ServerArgs& a) {
      a[2].number = op;
      a[3].text = id;
    });
  }
};

TEST_F(UsersOps, DepartmentsNeedTheirRightBitsAndKeepTheirMembers) {
  std::vector<uint8_t> sales = Bytes(Dept("sales", "Sales"));
  auto get = [&](const std::string& user, const std::string& cond) {
    return Call(user, 8, [&](rpc::ServerArgs& a) { a[2].text = cond; });
  };
  // dwRights[3] 0x1 changes, 0x2 reads; each alone.
  SetRights("bob", {0, 0, 0, 0x2});
  EXPECT_EQ(DeptOp("bob", 1, sales), S(kAccessDenied));
  EXPECT_EQ(get("bob", "").result, 1);
  SetRights("bob", {0, 0, 0, 0x1});
  EXPECT_EQ(get("bob", "").result, S(kAccessDenied));
  struct Case {
    int32_t command;
    size_t bytes;
    int32_t expect;
  };
  const Case cases[] = {
      {0, 176, S(kBadArgument)}, {5, 176, S(kBadArgument)}, {1, 175, S(kBadRecord)},
      {1, 177, S(kBadRecord)},   {1, 0, S(kBadRecord)},     {2, 176, S(kNotFound)},
      {1, 176, 1},               {1, 176, S(kExists)},      {4, 176, 1},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> block = sales;
    block.resize(c.bytes, 0);
    EXPECT_EQ(DeptOp("bob", c.command, block), c.expect) << c.command << " " << c.bytes;
  }
  EXPECT_EQ(Count("SELECT COUNT(*) FROM store_folders WHERE class = 1 AND owner = ?", "sales"), 2);
  // A member keeps the department from going; the count shows them.
  ASSERT_EQ(Op("alice", 10, 1, UserOp("dave", "sales", "pw")), 1);
  Reply listed = get("alice", "id=sales");
  ASSERT_EQ(listed.bytes(3).size(), 176u);
  EXPECT_EQ(Records<DEPTINFO_TABLE>(listed.bytes(3))[0].dwMemberCount, 1u);
  EXPECT_EQ(get("alice", "boss=x").result, S(kBadCondition));
  EXPECT_EQ(DeptOp("bob", 3, sales), S(kInUse));
  ASSERT_EQ(Op("alice", 10, 5, UserOp("dave", "", "")), 1);
  EXPECT_EQ(DeptOp("bob", 3, sales), 1);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM store_folders WHERE class = 1 AND owner = ?", "sales"), 0);
  EXPECT_EQ(Op("alice", 10, 5, UserOp("dave", "sales", "")), S(kNotFound));
}

TEST_F(UsersOps, SelfSizedRecordsAreWalkedWithinTheirBlock) {
  struct Case {
    std::vector<uint8_t> block;
    int32_t op;
    int32_t expect;
  };
  std::vector<uint8_t> two = UserOp("erin", "", "a");
  std::vector<uint8_t> frank = UserOp("frank", "", "b", 416);
  std::memcpy(frank.data() + 160, "likes faxes", 11);
  two.insert(two.end(), frank.begin(), frank.end());
  std::vector<uint8_t> past = UserOp("gina", "", "c");
  past[0] = 200;  // longer than the block
  std::vector<uint8_t> tail = UserOp("hal", "", "d");
  tail.push_back(0);  // three bytes short of a length field
  const Case cases[] = {
      {UserOp("ivy", "", "e", 159), 1, S(kBadRecord)},
      {UserOp("ivy", "", "e", 417), 1, S(kBadRecord)},
      {past, 1, S(kBadRecord)},
      {tail, 1, S(kBadRecord)},
      {UserOp("ivy", "", "e"), 0, S(kBadArgument)},
      {UserOp("ivy", "", "e"), 6, S(kBadArgument)},
      {UserOp("bad id ", "", "e"), 1, S(kBadRecord)},
      {two, 1, 1},
  };
  for (const Case& c : cases) EXPECT_EQ(Op("alice", 10, c.op, c.block), c.expect);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM users WHERE id IN ('erin', 'frank')"), 2);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM users WHERE id IN ('gina', 'hal', 'ivy')"), 0);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM users WHERE description = 'likes faxes'"), 1);
  // The password is kept as a salted hash only.
  EXPECT_TRUE(store_->CheckPassword("erin", "a"));
  EXPECT_FALSE(store_->CheckPassword("erin", "b"));
  EXPECT_EQ(store_->PasswordHash("erin")->rfind("$argon2id$", 0), 0u);
  EXPECT_NE(*store_->PasswordHash("erin"), *store_->PasswordHash("frank"));
  // Rights: dwRights[3] 0x1.
  SetRights("bob", {0, 0, 0, 0x2});
  EXPECT_EQ(Op("bob", 10, 1, UserOp("ivy", "", "e")), S(kAccessDenied));
}

TEST_F(UsersOps, OwnRecordWithoutRightsOthersWithReadRight) {
  struct Case {
    const char* caller;
    uint32_t rights3;
    int32_t op;
    const char* id;
    int32_t expect;
    size_t bytes;
  };
  const Case cases[] = {
      {"bob", 0, 0, "bob", 1, 972},
      {"bob", 0, 1, "bob", 1, 972},
      {"bob", 0, 0, "carol", S(kAccessDenied), 0},
      {"bob", 0, 2, "bob", S(kAccessDenied), 0},
      {"bob", 0x2, 0, "carol", 1, 972},
      {"bob", 0x2, 2, "", 1, 3 * 972},
      {"bob", 0x2, 0, "nobody", S(kNotFound), 0},
      {"bob", 0x2, 3, "bob", S(kBadArgument), 0},
      {"bob", 0x2, 0, "01234567890123456789", S(kBadArgument), 0},
  };
  for (const Case& c : cases) {
    SetRights("bob", {0x300, 0, 0, c.rights3});
    Reply r = Record(c.caller, c.op, c.id);
    EXPECT_EQ(r.result, c.expect) << c.op << " " << c.id;
    EXPECT_EQ(r.bytes(4).size(), c.bytes) << c.op << " " << c.id;
  }
  // The record carries identifier, rights and department, never a password.
  ASSERT_EQ(DeptOp("alice", 1, Bytes(Dept("ops", "Ops"))), 1);
  ASSERT_EQ(Op("alice", 10, 5, UserOp("carol", "ops", "")), 1);
  ASSERT_EQ(Call("alice", 12, [&](rpc::ServerArgs& a) {
              USERDETAIL_TABLE d;
              std::memset(&d, 0, sizeof d);
              SetField(d.szUserID, "carol");
              d.dwField = 2;
              SetField(d.szValue, "carol@example");
              a[2].number = 1;
              a[3].bytes = Bytes(d);
              a[4].number = 52;
            }).result, 1);
  Reply own = Record("carol", 1, "carol");
  ASSERT_EQ(own.bytes(4).size(), 972u + 52);
  USERINFO_TABLE u = Records<USERINFO_TABLE>(own.bytes(4))[0];
  EXPECT_STREQ(u.szUserID, "carol");
  EXPECT_EQ(u.dwRights[0], 0x300u);
  EXPECT_STREQ(reinterpret_cast<const char*>(own.bytes(4).data()) + kUserRecordDeptOffset, "ops");
  EXPECT_STREQ(reinterpret_cast<const char*>(own.bytes(4).data()) + 972 + 24, "carol@example");
}

TEST_F(UsersOps, DeletionRefusesOwnersAndLeavesNoOrphans) {
  std::vector<uint8_t> carol = UserOp("carol", "", "");
  ASSERT_NE(Inject("carol", 1), 0u);
  std::vector<uint8_t> carol_key = Key("carol");
  EXPECT_EQ(Op("alice", 10, 3, carol), S(kInUse));  // owns a message
  FOLDERINFO_TABLE inbox = Folder("carol", QZ_KIND_INBOX);
  ASSERT_EQ(Call("carol", 69, [&](rpc::ServerArgs& a) { a[2].text = "direction=0"; }).result, 1);
  // A draft keeps her too.
  std::vector<uint8_t> draft(20, 0);
  draft[0] = 20;
  ASSERT_EQ(Call("carol", 99, [&](rpc::ServerArgs& a) { a[2].number = 20; a[3].bytes = draft; }).result, 1);
  EXPECT_EQ(Op("alice", 10, 3, carol), S(kInUse));
  ASSERT_EQ(Call("carol", 97, [&](rpc::ServerArgs& a) {
              a[2].number = static_cast<int32_t>(Count("SELECT MAX(id) FROM store_drafts"));
            }).result, 1);
  // What another family keeps of her counts too.
  bool has_tasks = true;
  users_->AddOwnershipCheck("send tasks", [&](sqlite3*, const std::string& user) {
    return has_tasks && user == "carol";
  });
  EXPECT_EQ(Op("alice", 10, 3, carol), S(kInUse));
  has_tasks = false;
  EXPECT_EQ(Op("alice", 10, 3, carol), 1);
  for (const char* table : {"store_folders WHERE owner = ?", "user_details WHERE user_id = ?",
                            "os_users WHERE user_id = ?", "users WHERE id = ?",
                            "sessions WHERE logout_time IS NULL AND user_id = ?"})
    EXPECT_EQ(Count(std::string("SELECT COUNT(*) FROM ") + table, "carol"), 0) << table;
  rpc::ServerArgs a = Args(76);
  a[1].bytes = carol_key;
  a[2].number = 1;
  EXPECT_EQ(service_->HandleMain(Local("bob"), 76, a), S(kBadKey));
  (void)inbox;
  // Nobody deletes themselves, and the last administrator stays.
  EXPECT_EQ(Op("alice", 10, 3, UserOp("admin", "", "")), S(kInUse));
  SetRights("bob", {0x300, 0, 0, 0x1});
  EXPECT_EQ(Op("bob", 10, 3, UserOp("admin", "", "")), S(kInUse));
  EXPECT_EQ(Op("bob", 10, 2, UserOp("admin", "", "", 160, 0)), S(kInUse));
  EXPECT_EQ(Op("bob", 10, 2, UserOp("admin", "", "", 160, 1)), 1);
}

TEST_F(UsersOps, BaseRecordsAndDetailsAtTheirBounds) {
  USERINFO_TABLE u;
  std::memset(&u, 0, sizeof u);
  SetField(u.szUserID, "jo");
  u.dwRights[3] = 0x2;
  std::vector<uint8_t> one = Bytes(u);
  for (auto [op, bytes, expect] : {std::tuple{1, 971, S(kBadRecord)}, {1, 973, S(kBadRecord)},
                                   {0, 972, S(kBadArgument)}, {5, 972, S(kBadArgument)},
                                   {1, 972, 1}, {2, 972, 1}}) {
    std::vector<uint8_t> b = one;
    b.resize(static_cast<size_t>(bytes), 0);
    EXPECT_EQ(Op("alice", 11, op, b), expect) << op << " " << bytes;
  }
  EXPECT_TRUE(store_->CheckPassword("jo", ""));
  EXPECT_EQ(store_->GetUser("jo")->rights[3], 0x2u);
  USERDETAIL_TABLE d;
  std::memset(&d, 0, sizeof d);
  SetField(d.szUserID, "jo");
  d.dwField = 1;
  for (auto [op, field, expect] : {std::tuple{0, 1u, S(kBadArgument)}, {4, 1u, S(kBadArgument)},
                                   {2, 1u, S(kNotFound)}, {1, 0u, S(kBadRecord)},
                                   {1, 5u, S(kBadRecord)}, {1, 4u, 1}, {2, 4u, 1}, {3, 4u, 1},
                                   {3, 4u, S(kNotFound)}}) {
    d.dwField = field;
    EXPECT_EQ(Op("alice", 12, op, Bytes(d)), expect) << op << " " << field;
  }
}

}  // namespace
}  // namespace qz::faxd::testing
