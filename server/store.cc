// store.cc -- SQLite implementation of the fax server's store.
#include "server/store.h"

#include "server/sql.h"

#include <sqlite3.h>
#include <sys/random.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <utility>
#include <variant>

#include "server/password.h"

namespace qz::faxd {
namespace {


// Turns a parsed filter into a WHERE clause made only of fixed fragments
// with '?' placeholders, and the values to bind to them in order.
std::string FilterClause(const LogFilter& f, std::vector<Param>* params) {
  std::string where;
  auto add = [&](const char* fragment, Param value) {
    where += where.empty() ? " WHERE " : " AND ";
    where += fragment;
    params->push_back(std::move(value));
  };
  if (f.user) add("user_id = ?", *f.user);
  if (f.session) add("session_no = ?", *f.session);
  if (f.opnum) add("opnum = ?", *f.opnum);
  if (f.result) add("result = ?", *f.result);
  if (f.since) add("time >= ?", *f.since);
  if (f.until) add("time < ?", *f.until);
  if (f.procedure) add("procedure = ?", *f.procedure);
  if (f.after_id) add("id > ?", *f.after_id);
  return where;
}

bool RandomBytes(void* buf, size_t n) {
  uint8_t* p = static_cast<uint8_t*>(buf);
  size_t got = 0;
  while (got < n) {
    ssize_t r = getrandom(p + got, n - got, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    got += static_cast<size_t>(r);
  }
  return true;
}

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

constexpr const char kSchemaV1[] = R"sql(
CREATE TABLE meta (
  key   TEXT PRIMARY KEY,
  value BLOB NOT NULL
);
CREATE TABLE users (
  id            TEXT PRIMARY KEY,
  name          TEXT NOT NULL DEFAULT '',
  user_type     INTEGER NOT NULL DEFAULT 0,
  rights0       INTEGER NOT NULL DEFAULT 0,
  rights1       INTEGER NOT NULL DEFAULT 0,
  rights2       INTEGER NOT NULL DEFAULT 0,
  rights3       INTEGER NOT NULL DEFAULT 0,
  record        BLOB NOT NULL,
  password_hash TEXT NOT NULL
);
CREATE TABLE os_users (
  os_user TEXT PRIMARY KEY,
  user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE
);
CREATE TABLE sessions (
  session_no    INTEGER PRIMARY KEY,
  user_id       TEXT NOT NULL,
  protseq       TEXT NOT NULL,
  peer          TEXT NOT NULL,
  connection_id INTEGER NOT NULL,
  login_time    INTEGER NOT NULL,
  logout_time   INTEGER
);
CREATE INDEX sessions_user ON sessions(user_id);
CREATE TABLE user_log (
  id         INTEGER PRIMARY KEY AUTOINCREMENT,
  time       INTEGER NOT NULL,
  user_id    TEXT NOT NULL,
  session_no INTEGER NOT NULL,
  opnum      INTEGER NOT NULL,
  procedure  TEXT NOT NULL,
  result     INTEGER NOT NULL,
  peer       TEXT NOT NULL,
  detail     TEXT NOT NULL
);
CREATE INDEX user_log_time ON user_log(time);
)sql";

}  // namespace

bool ValidUserId(std::string_view id) {
  if (id.empty() || id.size() > kMaxUserIdLength) return false;
  if (id.front() == ' ' || id.back() == ' ') return false;
  for (char c : id)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) return false;
  return true;
}

constexpr const char kSchemaV2[] = R"sql(
CREATE TABLE schema_parts (
  name    TEXT PRIMARY KEY,
  version INTEGER NOT NULL
);
)sql";

// Sessions carry their key's binding and survive restarts; those of
// earlier versions had no binding and end here.
constexpr const char kSchemaV3[] = R"sql(
ALTER TABLE sessions ADD COLUMN binding TEXT NOT NULL DEFAULT '';
ALTER TABLE sessions ADD COLUMN last_used INTEGER NOT NULL DEFAULT 0;
UPDATE sessions SET logout_time = CAST(strftime('%s', 'now') AS INTEGER)
  WHERE logout_time IS NULL;
CREATE INDEX sessions_live ON sessions(user_id, last_used) WHERE logout_time IS NULL;
)sql";

const std::vector<Store::Migration>& Store::Migrations() {
  static const std::vector<Migration> steps = {
      {1, kSchemaV1},
      {2, kSchemaV2},
      {3, kSchemaV3},
  };
  return steps;
}

Store::Store(sqlite3* db, const StoreOptions& options) : db_(db), options_(options) {}

Store::~Store() {
  if (writer_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(log_mu_);
      stop_writer_ = true;
    }
    log_cv_.notify_all();
    writer_.join();
  }
  FlushUserLog();
  for (auto& [sql, stmt] : cached_) sqlite3_finalize(stmt);
  sqlite3_close(db_);
}

sqlite3_stmt* Store::Cached(const char* sql) {
  for (auto& [key, stmt] : cached_) {
    if (key != sql) continue;
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    return stmt;
  }
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK)
    return nullptr;
  cached_.emplace_back(sql, stmt);
  return stmt;
}

void Store::LogWriter() {
  std::unique_lock<std::mutex> lock(log_mu_);
  while (!stop_writer_) {
    log_cv_.wait_for(lock, std::chrono::milliseconds(options_.log_flush_ms));
    lock.unlock();
    FlushUserLog();
    lock.lock();
  }
}

std::unique_ptr<Store> Store::Open(const std::string& path, const StoreOptions& options,
                                   std::string* error,
                                   const std::vector<const SchemaPart*>* parts) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    if (error) *error = std::string("cannot open database: ") + (db ? sqlite3_errmsg(db) : "");
    sqlite3_close(db);
    return nullptr;
  }
  std::unique_ptr<Store> store(new Store(db, options));
  sqlite3_busy_timeout(db, 5000);
  store->file_backed_ = path != ":memory:" && !path.empty();
  // WAL: a commit appends to the log file; FULL syncs it at every commit
  // (the user-log batches relax this for themselves, see FlushUserLog).
  if (store->file_backed_ && (!store->Exec("PRAGMA journal_mode = WAL") ||
                              !store->Exec("PRAGMA synchronous = FULL"))) {
    if (error) *error = store->last_error_;
    return nullptr;
  }
  if (!store->Exec("PRAGMA foreign_keys = ON")) {
    if (error) *error = store->last_error_;
    return nullptr;
  }
  int before = store->SchemaVersionLocked();
  if (before < 0) {
    if (error) *error = store->last_error_;
    return nullptr;
  }
  if (!store->Migrate(parts ? *parts : FamilySchemaParts(), error)) return nullptr;
  if (before == 0 && !store->Seed(options, error)) return nullptr;
  if (options.batch_user_log) store->writer_ = std::thread([s = store.get()] { s->LogWriter(); });
  return store;
}

bool Store::Exec(const char* sql) {
  char* msg = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
    last_error_ = msg ? msg : sqlite3_errmsg(db_);
    sqlite3_free(msg);
    return false;
  }
  return true;
}

bool Store::Fail(const char* what) {
  last_error_ = std::string(what) + ": " + sqlite3_errmsg(db_);
  return false;
}

std::string Store::last_error() {
  std::lock_guard<std::mutex> lock(mu_);
  return last_error_;
}

bool Store::Migrate(const std::vector<const SchemaPart*>& parts, std::string* error) {
  int current = SchemaVersionLocked();
  if (current > kSchemaVersion) {
    if (error)
      *error = "database schema version " + std::to_string(current) +
               " is newer than this server (" + std::to_string(kSchemaVersion) + ")";
    return false;
  }
  for (const Migration& m : Migrations()) {
    if (m.version <= current) continue;
    std::string sql = std::string("BEGIN IMMEDIATE;") + m.sql + "PRAGMA user_version = " +
                      std::to_string(m.version) + ";COMMIT;";
    if (!Exec(sql.c_str())) {
      Exec("ROLLBACK");
      if (error) *error = "schema step " + std::to_string(m.version) + " failed: " + last_error_;
      return false;
    }
    current = m.version;
  }
  for (const SchemaPart* part : parts)
    if (!MigratePart(*part, error)) return false;
  return true;
}

bool Store::MigratePart(const SchemaPart& part, std::string* error) {
  int current = 0;
  {
    Stmt q(db_, "SELECT version FROM schema_parts WHERE name = ?");
    if (!q.Bind(1, std::string_view(part.name))) {
      if (error) *error = std::string("cannot read the version of ") + part.name;
      return false;
    }
    int rc = q.Step();
    if (rc == SQLITE_ROW) current = static_cast<int>(q.Int(0));
    else if (rc != SQLITE_DONE) {
      if (error) *error = std::string("cannot read the version of ") + part.name;
      return false;
    }
  }
  int known = part.steps.empty() ? 0 : part.steps.back().version;
  if (current > known) {
    if (error)
      *error = std::string("schema part ") + part.name + " version " + std::to_string(current) +
               " is newer than this server (" + std::to_string(known) + ")";
    return false;
  }
  for (const SchemaStep& step : part.steps) {
    if (step.version <= current) continue;
    bool ok = Exec("BEGIN IMMEDIATE") && Exec(step.sql);
    if (ok) {
      Stmt v(db_, "INSERT OR REPLACE INTO schema_parts(name, version) VALUES(?, ?)");
      ok = v.Bind(1, std::string_view(part.name)) && v.Bind(2, int64_t{step.version}) &&
           v.Step() == SQLITE_DONE;
      if (!ok) last_error_ = sqlite3_errmsg(db_);
    }
    if (!ok || !Exec("COMMIT")) {
      std::string why = last_error_;
      Exec("ROLLBACK");
      if (error)
        *error = std::string("schema part ") + part.name + " step " +
                 std::to_string(step.version) + " failed: " + why;
      return false;
    }
    current = step.version;
  }
  return true;
}

int Store::PartVersion(std::string_view part) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt q(db_, "SELECT version FROM schema_parts WHERE name = ?");
  if (!q.Bind(1, part)) return -1;
  int rc = q.Step();
  if (rc == SQLITE_ROW) return static_cast<int>(q.Int(0));
  return rc == SQLITE_DONE ? 0 : -1;
}

bool Store::Transaction(const std::function<bool(sqlite3*)>& fn) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!Exec("BEGIN IMMEDIATE")) return false;
  bool ok = false;
  try {
    ok = fn(db_);
  } catch (...) {
    Exec("ROLLBACK");
    throw;
  }
  if (ok && Exec("COMMIT")) return true;
  std::string why = last_error_;
  Exec("ROLLBACK");
  if (!why.empty()) last_error_ = why;
  return false;
}

bool Store::Seed(const StoreOptions& options, std::string* error) {
  std::vector<uint8_t> instance(16);
  if (!RandomBytes(instance.data(), instance.size())) {
    if (error) *error = "no random bytes for the instance identifier";
    return false;
  }
  {
    Stmt s(db_, "INSERT OR REPLACE INTO meta(key, value) VALUES('instance_id', ?)");
    if (!s.BindBlob(1, instance) || s.Step() != SQLITE_DONE) {
      if (error) *error = std::string("cannot seed: ") + sqlite3_errmsg(db_);
      return false;
    }
  }
  User admin;
  admin.id = "admin";
  admin.name = "Administrator";
  admin.type = 1;
  admin.rights = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
  if (!AddUser(admin, "") ||
      (!options.os_user.empty() && !MapOsUser(options.os_user, admin.id))) {
    if (error) *error = "cannot seed the administrator: " + last_error_;
    return false;
  }
  return true;
}

int Store::SchemaVersion() {
  std::lock_guard<std::mutex> lock(mu_);
  return SchemaVersionLocked();
}

int Store::SchemaVersionLocked() {
  Stmt s(db_, "PRAGMA user_version");
  if (s.Step() != SQLITE_ROW) {
    Fail("cannot read the schema version");
    return -1;
  }
  return static_cast<int>(s.Int(0));
}

std::array<uint8_t, 16> Store::InstanceId() {
  std::lock_guard<std::mutex> lock(mu_);
  std::array<uint8_t, 16> id{};
  Stmt s(db_, "SELECT value FROM meta WHERE key = 'instance_id'");
  if (s.Step() == SQLITE_ROW) {
    std::vector<uint8_t> b = s.Blob(0);
    if (b.size() == id.size()) std::memcpy(id.data(), b.data(), id.size());
  }
  return id;
}

bool Store::AddUser(const User& user, std::string_view password, uint32_t) {
  if (!ValidUserId(user.id) || user.name.size() > 31 || password.size() > kMaxPasswordBytes) {
    std::lock_guard<std::mutex> lock(mu_);
    last_error_ = "invalid user identifier, name or password";
    return false;
  }
  // Hash outside the lock: it is the slow part.
  std::string hash = HashPassword(password, options_.password_cost);
  if (hash.empty()) {
    std::lock_guard<std::mutex> lock(mu_);
    last_error_ = "cannot hash the password";
    return false;
  }
  std::vector<uint8_t> record = user.record;
  record.resize(kUserRecordSize, 0);
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_,
         "INSERT INTO users(id, name, user_type, rights0, rights1, rights2, rights3, record, "
         "password_hash) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)");
  bool ok = s.Bind(1, std::string_view(user.id)) && s.Bind(2, std::string_view(user.name)) &&
            s.Bind(3, int64_t{user.type});
  for (int i = 0; i < 4 && ok; ++i) ok = s.Bind(4 + i, int64_t{user.rights[i]});
  ok = ok && s.BindBlob(8, record) && s.Bind(9, std::string_view(hash));
  if (!ok || s.Step() != SQLITE_DONE) return Fail("cannot add user");
  return true;
}

std::optional<User> Store::GetUser(std::string_view id) {
  std::lock_guard<std::mutex> lock(mu_);
  // Every call of a family reads its user: the statement is kept.
  Stmt s(Cached("SELECT id, name, user_type, rights0, rights1, rights2, rights3, record FROM "
                "users WHERE id = ?"));
  if (!s.Bind(1, id)) {
    Fail("cannot read user");
    return std::nullopt;
  }
  if (s.Step() != SQLITE_ROW) return std::nullopt;
  User u;
  u.id = s.Text(0);
  u.name = s.Text(1);
  u.type = static_cast<uint8_t>(s.Int(2));
  for (int i = 0; i < 4; ++i) u.rights[i] = static_cast<uint32_t>(s.Int(3 + i));
  u.record = s.Blob(7);
  return u;
}

std::optional<std::vector<uint8_t>> Store::UserRecord(std::string_view id) {
  std::optional<User> u = GetUser(id);
  if (!u) return std::nullopt;
  std::vector<uint8_t> r = u->record;
  r.resize(kUserRecordSize, 0);
  r[0] = u->type;
  std::memset(&r[1], 0, 20);
  std::memcpy(&r[1], u->id.data(), std::min<size_t>(u->id.size(), 19));
  std::memset(&r[21], 0, 32);
  std::memcpy(&r[21], u->name.data(), std::min<size_t>(u->name.size(), 31));
  for (int i = 0; i < 4; ++i) {
    uint32_t v = u->rights[i];
    for (int b = 0; b < 4; ++b) r[956 + i * 4 + b] = static_cast<uint8_t>(v >> (8 * b));
  }
  return r;
}

std::optional<std::string> Store::PasswordHash(std::string_view id) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_, "SELECT password_hash FROM users WHERE id = ?");
  if (!s.Bind(1, id) || s.Step() != SQLITE_ROW) return std::nullopt;
  return s.Text(0);
}

bool Store::CheckPassword(std::string_view id, std::string_view password) {
  if (password.size() > kMaxPasswordBytes) return false;
  std::optional<std::string> hash = PasswordHash(id);
  if (!hash || !VerifyPassword(password, *hash)) return false;
  // A hash of an earlier format is replaced now that the password is known
  // (a failed upgrade leaves the old one, which still verifies).
  if (NeedsRehash(*hash, options_.password_cost)) SetPassword(id, password);
  return true;
}

bool Store::SetPassword(std::string_view id, std::string_view password, uint32_t) {
  std::string hash = HashPassword(password, options_.password_cost);
  std::lock_guard<std::mutex> lock(mu_);
  if (hash.empty()) {
    last_error_ = "cannot hash the password";
    return false;
  }
  Stmt s(db_, "UPDATE users SET password_hash = ? WHERE id = ?");
  if (!s.Bind(1, std::string_view(hash)) || !s.Bind(2, id) || s.Step() != SQLITE_DONE)
    return Fail("cannot set password");
  if (sqlite3_changes(db_) != 1) {
    last_error_ = "no such user";
    return false;
  }
  return true;
}

bool Store::MapOsUser(std::string_view os_user, std::string_view user_id) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_, "INSERT OR REPLACE INTO os_users(os_user, user_id) VALUES(?, ?)");
  if (!s.Bind(1, os_user) || !s.Bind(2, user_id) || s.Step() != SQLITE_DONE)
    return Fail("cannot map OS user");
  return true;
}

std::optional<std::string> Store::UserForOsUser(std::string_view os_user) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_, "SELECT user_id FROM os_users WHERE os_user = ?");
  if (!s.Bind(1, os_user) || s.Step() != SQLITE_ROW) return std::nullopt;
  return s.Text(0);
}

std::optional<int32_t> Store::OpenSession(std::string_view user_id, std::string_view protseq,
                                          std::string_view peer, uint64_t connection_id,
                                          std::string_view binding, int64_t now,
                                          size_t max_per_user) {
  std::optional<int32_t> opened;
  bool ok = Transaction([&](sqlite3* db) {
    // Random numbers, so that a key cannot be guessed from the previous one.
    for (int attempt = 0; attempt < 16 && !opened; ++attempt) {
      uint32_t r = 0;
      if (!RandomBytes(&r, sizeof r)) {
        last_error_ = "no random bytes for a session number";
        return false;
      }
      int32_t number = static_cast<int32_t>(r & 0x7FFFFFFF);
      if (number == 0) continue;
      Stmt s(db,
             "INSERT INTO sessions(session_no, user_id, protseq, peer, connection_id, login_time, "
             "binding, last_used) VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
      bool bound = s.Bind(1, int64_t{number}) && s.Bind(2, user_id) && s.Bind(3, protseq) &&
                   s.Bind(4, peer) && s.Bind(5, static_cast<int64_t>(connection_id)) &&
                   s.Bind(6, now) && s.Bind(7, binding) && s.Bind(8, now);
      if (!bound) return Fail("cannot open session");
      int rc = s.Step();
      if (rc == SQLITE_DONE) opened = number;
      else if (rc != SQLITE_CONSTRAINT) return Fail("cannot open session");
    }
    if (!opened) {
      last_error_ = "no free session number";
      return false;
    }
    if (max_per_user == 0) return true;
    // The least recently used sessions beyond the bound end.
    Stmt trim(db,
              "UPDATE sessions SET logout_time = ? WHERE session_no IN (SELECT session_no FROM "
              "sessions WHERE user_id = ? AND logout_time IS NULL AND session_no != ? "
              "ORDER BY last_used DESC, session_no LIMIT -1 OFFSET ?)");
    return (trim.Bind(1, now) && trim.Bind(2, user_id) && trim.Bind(3, int64_t{*opened}) &&
            trim.Bind(4, static_cast<int64_t>(max_per_user - 1)) && trim.Step() == SQLITE_DONE) ||
           Fail("cannot end sessions beyond the bound");
  });
  if (!ok) return std::nullopt;
  return opened;
}

std::optional<Session> Store::LiveSession(std::string_view user_id, int32_t number) {
  std::optional<Session> s = GetSession(number);
  if (!s || s->logout_time || s->user_id != user_id) return std::nullopt;
  return s;
}

void Store::TouchSession(int32_t number, int64_t now) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_, "UPDATE sessions SET last_used = ? WHERE session_no = ? AND last_used < ?");
  if (!s.Bind(1, now) || !s.Bind(2, int64_t{number}) || !s.Bind(3, now) ||
      s.Step() != SQLITE_DONE)
    Fail("cannot note the use of a session");
}

int64_t Store::ExpireSessions(int64_t idle_before) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_,
         "UPDATE sessions SET logout_time = ? WHERE logout_time IS NULL AND last_used < ?");
  if (!s.Bind(1, Now()) || !s.Bind(2, idle_before) || s.Step() != SQLITE_DONE) {
    Fail("cannot expire sessions");
    return 0;
  }
  return sqlite3_changes64(db_);
}

bool Store::HasLiveBinding(std::string_view binding) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_, "SELECT 1 FROM sessions WHERE binding = ? AND logout_time IS NULL LIMIT 1");
  return s.Bind(1, binding) && s.Step() == SQLITE_ROW;
}

std::optional<int32_t> Store::NewestLiveSession(std::string_view binding) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_,
         "SELECT session_no FROM sessions WHERE binding = ? AND logout_time IS NULL "
         "ORDER BY login_time DESC, rowid DESC LIMIT 1");
  if (!s.Bind(1, binding) || s.Step() != SQLITE_ROW) return std::nullopt;
  return static_cast<int32_t>(s.Int(0));
}

std::vector<int32_t> Store::LiveSessionNumbers() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<int32_t> out;
  Stmt s(db_, "SELECT session_no FROM sessions WHERE logout_time IS NULL");
  while (s.Step() == SQLITE_ROW) out.push_back(static_cast<int32_t>(s.Int(0)));
  return out;
}

bool Store::CloseSession(std::string_view user_id, int32_t number) {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_,
         "UPDATE sessions SET logout_time = ? WHERE session_no = ? AND user_id = ? AND "
         "logout_time IS NULL");
  if (!s.Bind(1, Now()) || !s.Bind(2, int64_t{number}) || !s.Bind(3, user_id) ||
      s.Step() != SQLITE_DONE)
    return Fail("cannot close session");
  return sqlite3_changes(db_) == 1;
}

std::optional<Session> Store::GetSession(int32_t number) {
  std::lock_guard<std::mutex> lock(mu_);
  // Every call's key is checked here: the statement is kept.
  Stmt s(Cached("SELECT session_no, user_id, protseq, peer, connection_id, login_time, "
                "logout_time, binding, last_used FROM sessions WHERE session_no = ?"));
  if (!s.Bind(1, int64_t{number}) || s.Step() != SQLITE_ROW) return std::nullopt;
  Session r;
  r.number = static_cast<int32_t>(s.Int(0));
  r.user_id = s.Text(1);
  r.protseq = s.Text(2);
  r.peer = s.Text(3);
  r.connection_id = static_cast<uint64_t>(s.Int(4));
  r.login_time = s.Int(5);
  if (!s.IsNull(6)) r.logout_time = s.Int(6);
  r.binding = s.Text(7);
  r.last_used = s.Int(8);
  return r;
}

int64_t Store::CountLiveSessions() {
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_, "SELECT COUNT(*) FROM sessions WHERE logout_time IS NULL");
  return s.Step() == SQLITE_ROW ? s.Int(0) : 0;
}

std::optional<int64_t> Store::AppendUserLog(UserLogEntry e) {
  if (options_.batch_user_log) {
    size_t queued;
    {
      std::lock_guard<std::mutex> lock(log_mu_);
      pending_log_.push_back(std::move(e));
      queued = pending_log_.size();
    }
    if (queued >= 1024) log_cv_.notify_one();
    return 0;
  }
  std::lock_guard<std::mutex> flush(flush_mu_);
  if (!WriteLogRows({e})) return std::nullopt;
  std::lock_guard<std::mutex> lock(mu_);
  return sqlite3_last_insert_rowid(db_);
}

bool Store::FlushUserLog() {
  std::lock_guard<std::mutex> flush(flush_mu_);
  std::vector<UserLogEntry> rows;
  {
    std::lock_guard<std::mutex> lock(log_mu_);
    rows.swap(pending_log_);
  }
  return rows.empty() || WriteLogRows(std::move(rows));
}

bool Store::WriteLogRows(std::vector<UserLogEntry> rows) {
  std::lock_guard<std::mutex> lock(mu_);
  // The user log alone may lose its last moments in a crash: its batches
  // commit without a sync of their own (the next full commit syncs them).
  if (file_backed_) Exec("PRAGMA synchronous = NORMAL");
  bool ok = Exec("BEGIN IMMEDIATE");
  if (ok) {
    Stmt s(db_,
           "INSERT INTO user_log(time, user_id, session_no, opnum, procedure, result, peer, "
           "detail) VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
    for (const UserLogEntry& e : rows) {
      ok = s.Bind(1, e.time) && s.Bind(2, std::string_view(e.user_id)) &&
           s.Bind(3, int64_t{e.session_no}) && s.Bind(4, int64_t{e.opnum}) &&
           s.Bind(5, std::string_view(e.procedure)) && s.Bind(6, int64_t{e.result}) &&
           s.Bind(7, std::string_view(e.peer)) && s.Bind(8, std::string_view(e.detail)) &&
           s.Step() == SQLITE_DONE && s.Reset();
      if (!ok) break;
    }
    int64_t last = sqlite3_last_insert_rowid(db_);
    if (ok && options_.max_user_log_rows > 0 && last > options_.max_user_log_rows) {
      // Rows are numbered in order: everything a bound's length behind the
      // newest goes (rows deleted earlier only leave the log shorter).
      Stmt prune(db_, "DELETE FROM user_log WHERE id <= ?");
      ok = prune.Bind(1, last - options_.max_user_log_rows) && prune.Step() == SQLITE_DONE;
    }
    if (!ok) Fail("cannot append to the user log");
    ok = ok && Exec("COMMIT");
    if (!ok) Exec("ROLLBACK");
  }
  if (file_backed_) Exec("PRAGMA synchronous = FULL");
  return ok;
}

bool Store::QueryUserLog(const LogFilter& filter, size_t limit, std::vector<UserLogEntry>* out) {
  out->clear();
  return ForEachUserLog(filter, limit, [out](const UserLogEntry& e) { out->push_back(e); });
}

bool Store::ForEachUserLog(const LogFilter& filter, size_t limit,
                           const std::function<void(const UserLogEntry&)>& row) {
  std::vector<Param> params;
  std::string sql =
      "SELECT id, time, user_id, session_no, opnum, procedure, result, peer, detail FROM user_log" +
      FilterClause(filter, &params) + " ORDER BY id LIMIT ?";
  params.push_back(static_cast<int64_t>(limit));
  FlushUserLog();
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_, sql);
  if (!BindAll(s, params)) return Fail("cannot query the user log");
  UserLogEntry e;
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) {
    e.id = s.Int(0);
    e.time = s.Int(1);
    e.user_id = s.Text(2);
    e.session_no = static_cast<int32_t>(s.Int(3));
    e.opnum = static_cast<uint32_t>(s.Int(4));
    e.procedure = s.Text(5);
    e.result = static_cast<int32_t>(s.Int(6));
    e.peer = s.Text(7);
    e.detail = s.Text(8);
    row(e);
  }
  if (rc != SQLITE_DONE) return Fail("cannot query the user log");
  return true;
}

std::optional<int64_t> Store::DeleteUserLog(const LogFilter& filter) {
  std::vector<Param> params;
  std::string sql = "DELETE FROM user_log" + FilterClause(filter, &params);
  FlushUserLog();
  std::lock_guard<std::mutex> lock(mu_);
  Stmt s(db_, sql);
  if (!BindAll(s, params) || s.Step() != SQLITE_DONE) {
    Fail("cannot delete from the user log");
    return std::nullopt;
  }
  return sqlite3_changes64(db_);
}

}  // namespace qz::faxd
