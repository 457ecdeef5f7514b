// users.cc -- departments, users, user details and user records.
#include "server/users.h"

#include <sqlite3.h>

#include <optional>
#include <string>
#include <vector>

#include "server/condition.h"
#include "server/message_store.h"
#include "server/password.h"
#include "server/records.h"
#include "server/sql.h"

namespace qz::faxd {

const SchemaPart kUsersSchema = {
    "users",
    {{1, R"sql(
ALTER TABLE users ADD COLUMN dept_id TEXT NOT NULL DEFAULT '';
ALTER TABLE users ADD COLUMN description TEXT NOT NULL DEFAULT '';
CREATE TABLE departments (
  id         TEXT PRIMARY KEY,
  name       TEXT NOT NULL,
  manager    TEXT NOT NULL DEFAULT '',
  fax_number TEXT NOT NULL DEFAULT '',
  flags      INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE user_details (
  user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  field   INTEGER NOT NULL,
  value   TEXT NOT NULL,
  PRIMARY KEY(user_id, field)
);
)sql"}}};

namespace {

// dwRights[3]: 0x1 changes users and departments, 0x2 reads them.
constexpr int kUserMask = 3;
constexpr uint32_t kChangeUsers = 0x1;
constexpr uint32_t kReadUsers = 0x2;

constexpr size_t kMaxDescription = 255;
constexpr size_t kMaxUserOpRecord = QZ_SIZEOF_USEROP_RECORD + kMaxDescription + 1;
constexpr size_t kMaxPassword = 63;

using T = ConditionField::Type;
const ConditionField kDeptFields[] = {
    {"id", "d.id = ?", T::kText, 0, 19},
    {"name", "d.name = ?", T::kText, 0, 63},
    {"manager", "d.manager = ?", T::kText, 0, 19},
};

// One change to one user, read from any of the three record forms.
struct UserChange {
  enum class What { kAdd, kChange, kDelete, kPassword, kDepartment, kInvalid };
  What what = What::kInvalid;
  std::string id;
  std::string name;
  std::string dept;
  std::string description;
  uint8_t type = 0;
  uint32_t rights[4] = {0, 0, 0, 0};
  std::optional<std::string> hash;   // new password hash
  std::vector<uint8_t> record;       // full record to keep (rpcUserBaseOP)
  bool keep_description = true;
};

std::string Text(const std::vector<uint8_t>& b, size_t off, size_t width, bool* ok) {
  std::string s;
  if (!FieldText(reinterpret_cast<const char*>(b.data()) + off, width, &s)) *ok = false;
  return s;
}

bool Exists(sqlite3* db, const char* sql, const std::string& key) {
  Stmt s(db, sql);
  return s.Bind(1, std::string_view(key)) && s.Step() == SQLITE_ROW;
}

class Procedures {
 public:
  Procedures(sqlite3* db, Call& call,
             const std::vector<std::pair<std::string, Users::OwnershipCheck>>& checks)
      : db_(db), call_(call), checks_(checks) {}

  int32_t Store() {
    return call_.Fail(kStoreFailure, std::string("store: ") + sqlite3_errmsg(db_));
  }

  int32_t DeptOp(int32_t command, const std::vector<uint8_t>& block, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      DEPTINFO_TABLE d = RecordAt<DEPTINFO_TABLE>(block, i);
      std::string id, name, manager, fax;
      if (!FieldText(d.szDeptID, &id) || !FieldText(d.szName, &name) ||
          !FieldText(d.szManager, &manager) || !FieldText(d.szFaxNumber, &fax) ||
          !ValidUserId(id))
        return call_.Fail(kBadRecord, "department record " + std::to_string(i));
      bool exists = Exists(db_, "SELECT 1 FROM departments WHERE id = ?", id);
      if (command == 3) {
        if (!exists) return call_.Fail(kNotFound, "no department " + id);
        if (Exists(db_, "SELECT 1 FROM users WHERE dept_id = ?", id))
          return call_.Fail(kInUse, "department " + id + " has members");
        int32_t rc = RemoveOwnerFolders(db_, QZ_FOLDER_DEPARTMENT, id);
        if (rc != kOk) return rc == AsResult(kInUse)
                                  ? call_.Fail(kInUse, "department " + id + " has items")
                                  : Store();
        Stmt s(db_, "DELETE FROM departments WHERE id = ?");
        if (!s.Bind(1, std::string_view(id)) || s.Step() != SQLITE_DONE) return Store();
        continue;
      }
      if (command == 1 && exists) return call_.Fail(kExists, "department " + id + " exists");
      if (command == 2 && !exists) return call_.Fail(kNotFound, "no department " + id);
      if (!manager.empty() && !Exists(db_, "SELECT 1 FROM users WHERE id = ?", manager))
        return call_.Fail(kNotFound, "no user " + manager);
      Stmt s(db_, "INSERT INTO departments(id, name, manager, fax_number, flags) "
                  "VALUES(?, ?, ?, ?, ?) ON CONFLICT(id) DO UPDATE SET name = excluded.name, "
                  "manager = excluded.manager, fax_number = excluded.fax_number, "
                  "flags = excluded.flags");
      if (!s.Bind(1, std::string_view(id)) || !s.Bind(2, std::string_view(name)) ||
          !s.Bind(3, std::string_view(manager)) || !s.Bind(4, std::string_view(fax)) ||
          !s.Bind(5, int64_t{d.dwFlags}) || s.Step() != SQLITE_DONE ||
          !CreateDepartmentFolders(db_, id))
        return Store();
    }
    return kOk;
  }

  int32_t GetDepts(const std::string& condition, std::vector<uint8_t>* out, size_t max) {
    std::vector<ConditionTerm> terms;
    std::string why;
    if (!ParseCondition(condition, kDeptFields, &terms, &why))
      return call_.Fail(kBadCondition, "condition: " + why);
    std::vector<Param> params;
    std::string sql = "SELECT d.id, d.name, d.manager, d.fax_number, d.flags, (SELECT COUNT(*) "
                      "FROM users u WHERE u.dept_id = d.id) FROM departments d" +
                      ConditionSql(terms, " WHERE ", &params) + " ORDER BY d.id LIMIT ?";
    params.emplace_back(std::in_place_type<int64_t>, static_cast<int64_t>(max + 1));
    Stmt s(db_, sql);
    if (!BindAll(s, params)) return Store();
    size_t rows = 0;
    int step;
    while ((step = s.Step()) == SQLITE_ROW) {
      if (++rows > max) return call_.Fail(kReplyTooLarge, "more than the reply limit");
      DEPTINFO_TABLE d;
      std::memset(&d, 0, sizeof d);
      SetField(d.szDeptID, s.Text(0));
      SetField(d.szName, s.Text(1));
      SetField(d.szManager, s.Text(2));
      SetField(d.szFaxNumber, s.Text(3));
      d.dwFlags = static_cast<uint32_t>(s.Int(4));
      d.dwMemberCount = static_cast<uint32_t>(s.Int(5));
      AppendRecord(out, d);
    }
    return step == SQLITE_DONE ? kOk : Store();
  }

  // The user's 972-byte record: the stored bytes with identifier, name,
  // type, department and rights written in.
  bool UserRecord(const std::string& id, std::vector<uint8_t>* out) {
    Stmt s(db_, "SELECT id, name, user_type, rights0, rights1, rights2, rights3, record, dept_id "
                "FROM users WHERE id = ?");
    if (!s.Bind(1, std::string_view(id)) || s.Step() != SQLITE_ROW) return false;
    AppendUserRecord(s, out);
    return true;
  }
  static void AppendUserRecord(Stmt& s, std::vector<uint8_t>* out) {
    std::vector<uint8_t> blob = s.Blob(7);
    blob.resize(QZ_SIZEOF_USERINFO_TABLE, 0);
    USERINFO_TABLE u;
    std::memcpy(&u, blob.data(), sizeof u);
    u.bUserType = static_cast<uint8_t>(s.Int(2));
    SetField(u.szUserID, s.Text(0));
    SetField(u.szUserName, s.Text(1));
    char dept[20];
    SetField(dept, s.Text(8));
    std::memcpy(reinterpret_cast<uint8_t*>(&u) + kUserRecordDeptOffset, dept, sizeof dept);
    for (int i = 0; i < 4; ++i) u.dwRights[i] = static_cast<uint32_t>(s.Int(3 + i));
    AppendRecord(out, u);
  }

  int32_t GetUserRecord(int32_t op, const std::string& id, std::vector<uint8_t>* out,
                        size_t max) {
    bool own = (op == 0 || op == 1) && id == call_.user().id;
    if (!own) {
      int32_t rc = call_.Require(kUserMask, kReadUsers);
      if (rc != kOk) return rc;
    }
    if (op == 0 || op == 1) {
      if (!UserRecord(id, out)) return call_.Fail(kNotFound, "no user " + id);
      if (op == 0) return kOk;
      Stmt s(db_, "SELECT field, value FROM user_details WHERE user_id = ? ORDER BY field");
      if (!s.Bind(1, std::string_view(id))) return Store();
      int step;
      while ((step = s.Step()) == SQLITE_ROW) {
        USERDETAIL_TABLE d;
        std::memset(&d, 0, sizeof d);
        SetField(d.szUserID, id);
        d.dwField = static_cast<uint32_t>(s.Int(0));
        SetField(d.szValue, s.Text(1));
        AppendRecord(out, d);
      }
      return step == SQLITE_DONE ? kOk : Store();
    }
    if (op != 2) return call_.Fail(kBadArgument, "operation " + std::to_string(op));
    Stmt s(db_, id.empty() ? "SELECT id, name, user_type, rights0, rights1, rights2, rights3, "
                             "record, dept_id FROM users ORDER BY id LIMIT ?"
                           : "SELECT id, name, user_type, rights0, rights1, rights2, rights3, "
                             "record, dept_id FROM users WHERE id = ? LIMIT ?");
    int pos = 1;
    if (!id.empty() && !s.Bind(pos++, std::string_view(id))) return Store();
    if (!s.Bind(pos, static_cast<int64_t>(max + 1))) return Store();
    size_t rows = 0;
    int step;
    while ((step = s.Step()) == SQLITE_ROW) {
      if (++rows > max) return call_.Fail(kReplyTooLarge, "more than the reply limit");
      AppendUserRecord(s, out);
    }
    if (step != SQLITE_DONE) return Store();
    return rows == 0 && !id.empty() ? call_.Fail(kNotFound, "no user " + id) : kOk;
  }

  int32_t Apply(const UserChange& c) {
    bool exists = Exists(db_, "SELECT 1 FROM users WHERE id = ?", c.id);
    using W = UserChange::What;
    if (c.what == W::kAdd && exists) return call_.Fail(kExists, "user " + c.id + " exists");
    if (c.what != W::kAdd && !exists) return call_.Fail(kNotFound, "no user " + c.id);
    if ((c.what == W::kAdd || c.what == W::kChange || c.what == W::kDepartment) &&
        !c.dept.empty() && !Exists(db_, "SELECT 1 FROM departments WHERE id = ?", c.dept))
      return call_.Fail(kNotFound, "no department " + c.dept);
    switch (c.what) {
      case W::kAdd: {
        Stmt s(db_, "INSERT INTO users(id, name, user_type, rights0, rights1, rights2, rights3, "
                    "record, password_hash, dept_id, description) "
                    "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        std::vector<uint8_t> record = c.record;
        record.resize(QZ_SIZEOF_USERINFO_TABLE, 0);
        bool ok = s.Bind(1, std::string_view(c.id)) && s.Bind(2, std::string_view(c.name)) &&
                  s.Bind(3, int64_t{c.type});
        for (int i = 0; i < 4 && ok; ++i) ok = s.Bind(4 + i, int64_t{c.rights[i]});
        ok = ok && s.BindBlob(8, record) && s.Bind(9, std::string_view(*c.hash)) &&
             s.Bind(10, std::string_view(c.dept)) && s.Bind(11, std::string_view(c.description));
        if (!ok || s.Step() != SQLITE_DONE || !EnsureUserFolders(db_, c.id)) return Store();
        return kOk;
      }
      case W::kChange: {
        Stmt s(db_, "UPDATE users SET name = ?, user_type = ?, rights0 = ?, rights1 = ?, "
                    "rights2 = ?, rights3 = ?, dept_id = ?, "
                    "record = CASE WHEN ? THEN ? ELSE record END, "
                    "description = CASE WHEN ? THEN description ELSE ? END WHERE id = ?");
        std::vector<uint8_t> record = c.record;
        record.resize(QZ_SIZEOF_USERINFO_TABLE, 0);
        bool ok = s.Bind(1, std::string_view(c.name)) && s.Bind(2, int64_t{c.type});
        for (int i = 0; i < 4 && ok; ++i) ok = s.Bind(3 + i, int64_t{c.rights[i]});
        ok = ok && s.Bind(7, std::string_view(c.dept)) &&
             s.Bind(8, int64_t{!c.record.empty()}) && s.BindBlob(9, record) &&
             s.Bind(10, int64_t{c.keep_description}) &&
             s.Bind(11, std::string_view(c.description)) && s.Bind(12, std::string_view(c.id));
        if (!ok || s.Step() != SQLITE_DONE) return Store();
        if (c.hash) return SetHash(c.id, *c.hash);
        return kOk;
      }
      case W::kPassword: return SetHash(c.id, *c.hash);
      case W::kDepartment: {
        Stmt s(db_, "UPDATE users SET dept_id = ? WHERE id = ?");
        return s.Bind(1, std::string_view(c.dept)) && s.Bind(2, std::string_view(c.id)) &&
                       s.Step() == SQLITE_DONE
                   ? kOk
                   : Store();
      }
      case W::kDelete: return Delete(c.id);
      case W::kInvalid: break;
    }
    return AsResult(kBadArgument);
  }

  int32_t SetHash(const std::string& id, const std::string& hash) {
    Stmt s(db_, "UPDATE users SET password_hash = ? WHERE id = ?");
    return s.Bind(1, std::string_view(hash)) && s.Bind(2, std::string_view(id)) &&
                   s.Step() == SQLITE_DONE
               ? kOk
               : Store();
  }

  // A user goes only when nothing of theirs would be left behind: no
  // items in their folders, no drafts, nothing another family registered. Their empty folders, details
  // and OS-account mappings go with them, their sessions end, and the
  // departments they managed have no manager.
  int32_t Delete(const std::string& id) {
    if (id == call_.user().id) return call_.Fail(kInUse, "a user cannot delete themselves");
    if (Exists(db_, "SELECT 1 FROM store_drafts WHERE owner = ?", id))
      return call_.Fail(kInUse, "user " + id + " has drafts");
    for (const auto& [what, owns] : checks_)
      if (owns(db_, id)) return call_.Fail(kInUse, "user " + id + " has " + what);
    int32_t rc = RemoveOwnerFolders(db_, QZ_FOLDER_PERSONAL, id);
    if (rc == AsResult(kInUse)) return call_.Fail(kInUse, "user " + id + " has items");
    if (rc != kOk) return Store();
    Stmt m(db_, "UPDATE departments SET manager = '' WHERE manager = ?");
    Stmt e(db_, "UPDATE sessions SET logout_time = strftime('%s', 'now') WHERE user_id = ? AND "
                "logout_time IS NULL");
    Stmt d(db_, "DELETE FROM users WHERE id = ?");
    for (Stmt* s : {&m, &e, &d})
      if (!s->Bind(1, std::string_view(id)) || s->Step() != SQLITE_DONE) return Store();
    return kOk;
  }

  // After a batch: at least one administrator stays.
  int32_t CheckAdministrators() {
    Stmt s(db_, "SELECT COUNT(*) FROM users WHERE user_type = 1");
    if (s.Step() != SQLITE_ROW) return Store();
    return s.Int(0) > 0 ? kOk : call_.Fail(kInUse, "the last administrator would go");
  }

  int32_t Detail(int32_t op, const USERDETAIL_TABLE& d) {
    std::string id, value;
    if (!FieldText(d.szUserID, &id) || !FieldText(d.szValue, &value) || d.dwField < 1 ||
        d.dwField > 4)
      return call_.Fail(kBadRecord, "detail record");
    if (!Exists(db_, "SELECT 1 FROM users WHERE id = ?", id))
      return call_.Fail(kNotFound, "no user " + id);
    const char* sql = op == 1 ? "INSERT OR REPLACE INTO user_details(user_id, field, value) "
                                "VALUES(?1, ?2, ?3)"
                      : op == 2 ? "UPDATE user_details SET value = ?3 WHERE user_id = ?1 AND "
                                  "field = ?2"
                                : "DELETE FROM user_details WHERE user_id = ?1 AND field = ?2 "
                                  "AND ?3 IS NOT NULL";
    Stmt s(db_, sql);
    if (!s.Bind(1, std::string_view(id)) || !s.Bind(2, int64_t{d.dwField}) ||
        !s.Bind(3, std::string_view(value)) || s.Step() != SQLITE_DONE)
      return Store();
    if (op != 1 && sqlite3_changes(db_) != 1)
      return call_.Fail(kNotFound, "no detail " + std::to_string(d.dwField) + " of " + id);
    return kOk;
  }

 private:
  sqlite3* db_;
  Call& call_;
  const std::vector<std::pair<std::string, Users::OwnershipCheck>>& checks_;
};

}  // namespace

Users::Users(ServerContext* context, StoreLimits limits, PasswordCost password_cost)
    : context_(context), limits_(limits), password_cost_(password_cost) {}

int32_t Users::Main(Call& call, uint16_t opnum) {
  int32_t rc;
  // What the procedure changes, read and checked before the transaction
  // (password hashes are slow).
  std::vector<UserChange> changes;
  auto run = [&](const std::function<int32_t(Procedures&)>& body) {
    int32_t result = AsResult(kStoreFailure);
    bool committed = context_->store->Transaction([&](sqlite3* db) {
      Procedures p(db, call, ownership_checks_);
      result = body(p);
      return result == kOk;
    });
    if (result == kOk && !committed) return call.Fail(kStoreFailure, "store: commit failed");
    return result;
  };
  switch (opnum) {
    case 7: {  // rpcDeptOP
      int32_t command = call.arg(2).number;
      call.Note("command " + std::to_string(command));
      if ((rc = call.Require(kUserMask, kChangeUsers)) != kOk) return rc;
      if (command < 1 || command > 4)
        return call.Fail(kBadArgument, "command " + std::to_string(command));
      const std::vector<uint8_t>& block = call.arg(3).bytes;
      size_t n = call.arg(4).number < 0 || block.size() != size_t(call.arg(4).number)
                     ? 0
                     : WholeRecords(block.size(), sizeof(DEPTINFO_TABLE), limits_);
      if (n == 0) return call.Fail(kBadRecord, "department block of " + std::to_string(block.size()));
      return run([&](Procedures& p) { return p.DeptOp(command, block, n); });
    }
    case 8: {  // rpcGetDeptData
      SetReply(call.arg(3), call.arg(4), {});
      call.Note("condition: " + call.arg(2).text);
      if ((rc = call.Require(kUserMask, kReadUsers)) != kOk) return rc;
      std::vector<uint8_t> out;
      rc = run([&](Procedures& p) { return p.GetDepts(call.arg(2).text, &out, limits_.max_records); });
      if (rc == kOk) SetReply(call.arg(3), call.arg(4), std::move(out));
      return rc;
    }
    case 9: {  // rpcGetUserRecord
      SetReply(call.arg(4), call.arg(5), {});
      int32_t op = call.arg(2).number;
      std::string id = call.arg(3).text;
      call.Note("operation " + std::to_string(op) + " user " + id.substr(0, 19));
      if (id.size() > kMaxUserIdLength) return call.Fail(kBadArgument, "identifier too long");
      std::vector<uint8_t> out;
      rc = run([&](Procedures& p) { return p.GetUserRecord(op, id, &out, limits_.max_records); });
      if (rc == kOk) SetReply(call.arg(4), call.arg(5), std::move(out));
      return rc;
    }
    case 10: case 11: case 12: break;
    default: return AsResult(kNotHandled);
  }
  int32_t op = call.arg(2).number;
  call.Note("operation " + std::to_string(op));
  if ((rc = call.Require(kUserMask, kChangeUsers)) != kOk) return rc;
  const std::vector<uint8_t>& block = call.arg(3).bytes;
  if (call.arg(4).number < 0 || block.size() != static_cast<size_t>(call.arg(4).number) ||
      block.empty() || block.size() > limits_.max_block)
    return call.Fail(kBadRecord, "block of " + std::to_string(call.arg(4).number) + " bytes");
  using W = UserChange::What;
  if (opnum == 12) {  // rpcUserDetailOP
    if (op < 1 || op > 3) return call.Fail(kBadArgument, "operation " + std::to_string(op));
    size_t n = WholeRecords(block.size(), sizeof(USERDETAIL_TABLE), limits_);
    if (n == 0) return call.Fail(kBadRecord, "detail block of " + std::to_string(block.size()));
    return run([&](Procedures& p) {
      for (size_t i = 0; i < n; ++i) {
        int32_t r = p.Detail(op, RecordAt<USERDETAIL_TABLE>(block, i));
        if (r != kOk) return r;
      }
      return kOk;
    });
  }
  static const W kUserOp[6] = {W::kInvalid, W::kAdd, W::kChange, W::kDelete, W::kPassword,
                               W::kDepartment};
  static const W kBaseOp[6] = {W::kInvalid, W::kAdd, W::kChange, W::kDelete, W::kPassword,
                               W::kInvalid};
  if (op < 0 || op > 5 || (opnum == 10 ? kUserOp : kBaseOp)[op] == W::kInvalid)
    return call.Fail(kBadArgument, "operation " + std::to_string(op));
  W what = (opnum == 10 ? kUserOp : kBaseOp)[op];
  if (opnum == 10) {  // rpcUserOP: self-sized records
    size_t off = 0;
    while (off < block.size()) {
      uint32_t len;
      if (block.size() - off < 4) return call.Fail(kBadRecord, "record header past the block");
      std::memcpy(&len, block.data() + off, 4);
      if (len < QZ_SIZEOF_USEROP_RECORD || len > kMaxUserOpRecord || len > block.size() - off ||
          changes.size() >= limits_.max_records)
        return call.Fail(kBadRecord, "record of length " + std::to_string(len));
      std::vector<uint8_t> r(block.begin() + off, block.begin() + off + len);
      off += len;
      USEROP_RECORD u = RecordAt<USEROP_RECORD>(r, 0);
      UserChange c;
      c.what = what;
      std::string password;
      bool ok = FieldText(u.szUserID, &c.id) && FieldText(u.szDeptID, &c.dept) &&
                FieldText(u.szUserName, &c.name) && FieldText(u.szPassword, &password);
      if (len > QZ_SIZEOF_USEROP_RECORD)
        c.description = Text(r, QZ_SIZEOF_USEROP_RECORD, len - QZ_SIZEOF_USEROP_RECORD, &ok);
      if (!ok || !ValidUserId(c.id) || u.dwUserType > 1 || password.size() > kMaxPassword)
        return call.Fail(kBadRecord, "user record " + std::to_string(changes.size()));
      c.type = static_cast<uint8_t>(u.dwUserType);
      std::memcpy(c.rights, u.dwRights, sizeof c.rights);
      c.keep_description = false;
      if (what == W::kAdd || what == W::kPassword || (what == W::kChange && !password.empty()))
        c.hash = HashPassword(password, password_cost_);
      changes.push_back(std::move(c));
    }
  } else {  // rpcUserBaseOP: USERINFO_TABLE records
    size_t n = WholeRecords(block.size(), sizeof(USERINFO_TABLE), limits_);
    if (n == 0) return call.Fail(kBadRecord, "user block of " + std::to_string(block.size()));
    for (size_t i = 0; i < n; ++i) {
      USERINFO_TABLE u = RecordAt<USERINFO_TABLE>(block, i);
      UserChange c;
      c.what = what;
      bool ok = FieldText(u.szUserID, &c.id) && FieldText(u.szUserName, &c.name);
      std::vector<uint8_t> raw(block.begin() + i * sizeof u, block.begin() + (i + 1) * sizeof u);
      c.dept = Text(raw, kUserRecordDeptOffset, 20, &ok);
      if (!ok || !ValidUserId(c.id) || u.bUserType > 1)
        return call.Fail(kBadRecord, "user record " + std::to_string(i));
      c.type = u.bUserType;
      std::memcpy(c.rights, u.dwRights, sizeof c.rights);
      c.record = std::move(raw);
      if (what == W::kAdd || what == W::kPassword) c.hash = HashPassword("", password_cost_);
      changes.push_back(std::move(c));
    }
  }
  call.Note("operation " + std::to_string(op) + " on " + std::to_string(changes.size()) +
            " users");
  return run([&](Procedures& p) {
    for (const UserChange& c : changes) {
      int32_t r = p.Apply(c);
      if (r != kOk) return r;
    }
    return p.CheckAdministrators();
  });
}

}  // namespace qz::faxd
