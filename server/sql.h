// sql.h -- small helpers over the SQLite C API for the server's units.
//
// Stmt is a prepared statement that finalises itself; Param and BindAll
// bind a list of values collected while a WHERE clause is built from fixed
// fragments with '?' placeholders. Values from a client are only ever
// bound, never pasted into SQL text.
// Thread-safety: a Stmt belongs to one thread at a time, under the Store's
// lock (Store::WithDb / Store::Transaction).
#ifndef QZ_SERVER_SQL_H_
#define QZ_SERVER_SQL_H_

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qz::faxd {

// A prepared statement that finalises itself.
class Stmt {
 public:
  Stmt(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size() + 1), &stmt_, nullptr) !=
        SQLITE_OK)
      stmt_ = nullptr;
  }
  // A statement its owner keeps prepared (Store::Cached): reset, not
  // finalised, when this goes. Null: not ok().
  explicit Stmt(sqlite3_stmt* kept) : stmt_(kept), kept_(true) {}
  ~Stmt() { kept_ ? static_cast<void>(sqlite3_reset(stmt_)) : static_cast<void>(sqlite3_finalize(stmt_)); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  bool Bind(int i, int64_t v) { return ok() && sqlite3_bind_int64(stmt_, i, v) == SQLITE_OK; }
  bool Bind(int i, std::string_view v) {
    return ok() && sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()),
                                     SQLITE_TRANSIENT) == SQLITE_OK;
  }
  bool BindBlob(int i, const std::vector<uint8_t>& v) {
    return BindBlob(i, v.data(), v.size());
  }
  bool BindBlob(int i, const void* data, size_t n) {
    return ok() && sqlite3_bind_blob(stmt_, i, data, static_cast<int>(n),
                                     SQLITE_TRANSIENT) == SQLITE_OK;
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return ok() ? sqlite3_step(stmt_) : SQLITE_MISUSE; }
  // Makes the statement ready to run again (bindings are kept until rebound).
  bool Reset() { return ok() && sqlite3_reset(stmt_) == SQLITE_OK; }

  int64_t Int(int col) { return sqlite3_column_int64(stmt_, col); }
  bool IsNull(int col) { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
  std::string Text(int col) {
    const unsigned char* p = sqlite3_column_text(stmt_, col);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
             : std::string();
  }
  std::vector<uint8_t> Blob(int col) {
    const uint8_t* p = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, col));
    int n = sqlite3_column_bytes(stmt_, col);
    return p ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>();
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  bool kept_ = false;
};

using Param = std::variant<int64_t, std::string>;

inline bool BindAll(Stmt& s, const std::vector<Param>& params, int first = 1) {
  for (size_t i = 0; i < params.size(); ++i) {
    int pos = first + static_cast<int>(i);
    bool ok = std::holds_alternative<int64_t>(params[i])
                  ? s.Bind(pos, std::get<int64_t>(params[i]))
                  : s.Bind(pos, std::string_view(std::get<std::string>(params[i])));
    if (!ok) return false;
  }
  return true;
}

}  // namespace qz::faxd

#endif  // QZ_SERVER_SQL_H_
