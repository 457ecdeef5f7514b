// store.h -- the fax server's persistent state in one SQLite database.
//
// Tables (schema version kSchemaVersion, kept in PRAGMA user_version):
//   meta         key/value pairs (the instance identifier)
//   users        identifier, name, type, four rights masks, the full
//                972-byte user record, salted password hash
//   os_users     OS account name -> user identifier (local logins)
//   sessions     session number, user, transport, peer, login/logout time,
//                the binding of its key ("uid:<n>" over ncalrpc, "group:<n>"
//                over TCP) and the time of its last use
//   user_log     one row per procedure call (at most max_user_log_rows:
//                the oldest rows go first)
//   schema_parts name and version of every other unit's part of the schema
// Migrations() lists the core steps in order; Open() applies the missing
// ones, each in its own transaction, so a later version only appends steps.
// A database of a newer version than this program knows is refused.
//
// The procedure families keep their own tables: each owns a SchemaPart
// (listed in schema_parts.cc) with its own ordered steps and version, kept
// in schema_parts; Open() brings every part up to date after the core, the
// same way. A family reaches its tables through WithDb and Transaction.
//
// Every statement binds its values as parameters; no text that came from a
// client is ever part of a statement's SQL.
//
// Durability: a database file runs in WAL mode. Every change but the user
// log commits with a full sync (synchronous=FULL), so an acknowledged
// change survives a crash of the process or the machine. User-log rows are
// written in batches (batch_user_log) by a writer thread every
// log_flush_ms, committed without a sync of their own: a crash may lose
// the rows of the last moments, never any other change. Sessions survive a
// restart (they end by logout, by idle expiry or by the per-user bound).
//
// Thread-safety: a Store may be used from many threads; one mutex
// serialises all access to the connection.
#ifndef QZ_SERVER_STORE_H_
#define QZ_SERVER_STORE_H_

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "server/condition.h"
#include "server/password.h"

struct sqlite3;
struct sqlite3_stmt;

namespace qz::faxd {

inline constexpr int kSchemaVersion = 3;
inline constexpr size_t kUserRecordSize = 972;
inline constexpr size_t kMaxUserIdLength = 19;

struct User {
  std::string id;                    // at most 19 characters
  std::string name;                  // at most 31 characters
  uint8_t type = 0;                  // 1 administrator, 0 ordinary user
  std::array<uint32_t, 4> rights{};  // dwRights[0..3]
  // The full user record; id, name, type and rights above take precedence
  // over the same bytes in here when the record is built.
  std::vector<uint8_t> record;
};

struct Session {
  int32_t number = 0;
  std::string user_id;
  std::string protseq;
  std::string peer;
  uint64_t connection_id = 0;
  int64_t login_time = 0;
  std::optional<int64_t> logout_time;
  std::string binding;    // what a key of this session must come with
  int64_t last_used = 0;  // unix time of the last call with its key
};

struct UserLogEntry {
  int64_t id = 0;  // assigned by the store
  int64_t time = 0;
  std::string user_id;
  int32_t session_no = 0;
  uint32_t opnum = 0;
  std::string procedure;
  int32_t result = 0;
  std::string peer;
  std::string detail;
};

// One schema step: the SQL run to go from version `version - 1` to `version`.
struct SchemaStep {
  int version;
  const char* sql;
};

// A family's own part of the schema: a unique name and its steps in order
// (versions 1, 2, ...).
struct SchemaPart {
  const char* name;
  std::vector<SchemaStep> steps;
};

// The parts of every family, in the order they are applied (schema_parts.cc).
const std::vector<const SchemaPart*>& FamilySchemaParts();

struct StoreOptions {
  // OS account mapped to the administrator when the database is created
  // (empty: none).
  std::string os_user;
  // Work factors of new password hashes (tests use PasswordCost::Minimal()).
  PasswordCost password_cost = PasswordCost::Interactive();
  // User-log rows are queued and written in batches by a writer thread
  // (see Durability above); false writes each row at once.
  bool batch_user_log = false;
  int log_flush_ms = 200;
  // Most rows the user log keeps; the oldest go first.
  int64_t max_user_log_rows = 1'000'000;
};

class Store {
 public:
  using Migration = SchemaStep;
  // The core steps.
  static const std::vector<Migration>& Migrations();

  // Opens (creating if need be) the database at `path` (":memory:" for a
  // private in-memory one), brings its schema up to date, seeds a new
  // database with the administrator, and ends every session left open by a
  // previous run. Null on failure, with the reason in *error.
  // `parts`: the families' schema parts; null for FamilySchemaParts().
  static std::unique_ptr<Store> Open(const std::string& path, const StoreOptions& options,
                                     std::string* error,
                                     const std::vector<const SchemaPart*>* parts = nullptr);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  int SchemaVersion();
  // Version of a family's part; 0 when it has none yet, -1 on failure.
  int PartVersion(std::string_view part);

  // Runs fn(db) under the store's lock and returns what it returns. For
  // the families' own tables; fn must not call back into the Store.
  template <typename F>
  auto WithDb(F&& fn) {
    std::lock_guard<std::mutex> lock(mu_);
    return fn(db_);
  }
  // Runs fn(db) in one IMMEDIATE transaction under the lock: committed
  // when fn returns true, rolled back when it returns false or throws.
  // False when fn failed or the commit did.
  bool Transaction(const std::function<bool(sqlite3*)>& fn);
  std::array<uint8_t, 16> InstanceId();
  std::string last_error();

  // Users. AddUser fails when the identifier exists or is invalid, or the
  // password is longer than kMaxPasswordBytes. (The last parameter of
  // AddUser and SetPassword is not used: hashes are Argon2id with the
  // store's cost.)
  bool AddUser(const User& user, std::string_view password, uint32_t unused = 0);
  std::optional<User> GetUser(std::string_view id);
  // The user's record with id, name, type and rights written in (972 bytes).
  std::optional<std::vector<uint8_t>> UserRecord(std::string_view id);
  // True when the password matches; a hash of an earlier format (or cost)
  // is then replaced by a new one.
  bool CheckPassword(std::string_view id, std::string_view password);
  bool SetPassword(std::string_view id, std::string_view password, uint32_t unused = 0);
  std::optional<std::string> PasswordHash(std::string_view id);  // for tests and audits

  // OS account mapping for local logins.
  bool MapOsUser(std::string_view os_user, std::string_view user_id);
  std::optional<std::string> UserForOsUser(std::string_view os_user);

  // Sessions. OpenSession hands out a fresh positive session number bound
  // to `binding`; when the user then holds more than `max_per_user` live
  // sessions, the least recently used ones end.
  std::optional<int32_t> OpenSession(std::string_view user_id, std::string_view protseq,
                                     std::string_view peer, uint64_t connection_id,
                                     std::string_view binding, int64_t now,
                                     size_t max_per_user = 0);
  // The live session `number` of `user_id`; nullopt when there is none.
  std::optional<Session> LiveSession(std::string_view user_id, int32_t number);
  bool IsSessionLive(std::string_view user_id, int32_t number) {
    return LiveSession(user_id, number).has_value();
  }
  void TouchSession(int32_t number, int64_t now);
  // Ends every live session last used before `idle_before`; how many.
  int64_t ExpireSessions(int64_t idle_before);
  // True when a live session is bound to `binding`.
  bool HasLiveBinding(std::string_view binding);
  // The most recently opened live session bound to `binding`.
  std::optional<int32_t> NewestLiveSession(std::string_view binding);
  // Numbers of the live sessions.
  std::vector<int32_t> LiveSessionNumbers();
  // False when no such live session existed.
  bool CloseSession(std::string_view user_id, int32_t number);
  std::optional<Session> GetSession(int32_t number);
  int64_t CountLiveSessions();

  // User log. Entries come back in ascending id (time) order, at most
  // `limit` of them (the oldest first). With batch_user_log, AppendUserLog
  // queues the row (and returns 0); queries and deletions write the queue
  // first.
  std::optional<int64_t> AppendUserLog(UserLogEntry entry);
  // Writes the queued user-log rows (false when that failed).
  bool FlushUserLog();
  bool QueryUserLog(const LogFilter& filter, size_t limit, std::vector<UserLogEntry>* out);
  // The same rows handed to `row` one at a time (the entry is reused
  // between calls), without collecting them.
  bool ForEachUserLog(const LogFilter& filter, size_t limit,
                      const std::function<void(const UserLogEntry&)>& row);
  // Number of entries deleted, or nullopt on failure.
  std::optional<int64_t> DeleteUserLog(const LogFilter& filter);

 private:
  explicit Store(sqlite3* db, const StoreOptions& options);
  void LogWriter();
  bool WriteLogRows(std::vector<UserLogEntry> rows);
  int SchemaVersionLocked();
  bool Migrate(const std::vector<const SchemaPart*>& parts, std::string* error);
  bool MigratePart(const SchemaPart& part, std::string* error);
  bool Seed(const StoreOptions& options, std::string* error);
  bool Exec(const char* sql);
  bool Fail(const char* what);
  // A prepared statement kept for the store's life, for the statements of
  // every call (`sql` is a string literal: its address is the key). Reset
  // and cleared of bindings when handed out; null when it cannot be
  // prepared. Under mu_.
  sqlite3_stmt* Cached(const char* sql);

  std::mutex mu_;
  sqlite3* db_;
  std::string last_error_;
  StoreOptions options_;
  bool file_backed_ = false;
  std::vector<std::pair<const char*, sqlite3_stmt*>> cached_;
  // The user-log queue; flush_mu_ keeps batches in order.
  std::mutex flush_mu_;
  std::mutex log_mu_;
  std::condition_variable log_cv_;
  std::vector<UserLogEntry> pending_log_;
  bool stop_writer_ = false;
  std::thread writer_;
};

// True for identifiers the store accepts: 1..19 printable ASCII characters
// without blanks at either end.
bool ValidUserId(std::string_view id);

}  // namespace qz::faxd

#endif  // QZ_SERVER_STORE_H_
