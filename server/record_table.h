// record_table.h -- tables of administration records (lines, rules,
// routing entries, templates, ...) kept whole in SQLite.
//
// A RecordKind describes one record layout of qzcsif/qzrecords_admin.h:
// its table, its size (fixed, or the fixed part of a length-prefixed
// record), where its 32-bit identifier lies, and the fields copied into
// columns of their own so that conditions and the engine can select on
// them. The record itself is kept as it came (with the identifier the
// server gave it), so it is read back as written. Every text field a kind
// lists must hold its NUL within its width and every number must lie in
// its range, or the record is refused before anything is stored.
//
// The helpers below run the usual commands on such a table:
//   0 add (the server gives the identifier), 1 change (by identifier),
//   2 delete (by identifier), 3 either delete the identifiers of a 32-bit
//   list or replace the whole table with the records given.
// Conditions on a kind select on its columns by their names, plus "id"
// (and "since"/"until" for a column named "time").
//
// Thread-safety: a RecordKind is immutable; the functions run under the
// Store's lock (inside Store::Transaction / WithDb).
#ifndef QZ_SERVER_RECORD_TABLE_H_
#define QZ_SERVER_RECORD_TABLE_H_

#include <sqlite3.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/condition.h"
#include "server/engine_hooks.h"
#include "server/family.h"
#include "server/store_common.h"  // AppendRecord, FieldText

namespace qz::faxd {

using Record = std::vector<uint8_t>;

struct RecordColumn {
  enum Type { kU32, kU16, kText };
  const char* name;  // SQL column and condition field
  size_t offset;
  Type type;
  size_t width = 4;  // kText: the field's bytes
  uint32_t lo = 0;
  uint32_t hi = 0xFFFFFFFFu;
};

struct RecordKind {
  const char* table;
  const char* what;             // for notes: "limitation rule"
  size_t size;                  // fixed size, or the fixed part
  bool length_prefixed = false;
  size_t max_length = 0;        // length-prefixed: longest record accepted
  size_t id_offset = 0;
  std::vector<RecordColumn> columns;
};

// Condition fields of a kind: "id" and every column (the Condition parsed
// over them points into the vector: keep it while the Condition is used).
std::vector<RecordField> ConditionFieldsOf(const RecordKind& kind);

// Little-endian fields of a record.
inline uint32_t U32At(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline void PutU32At(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
// The text of a field of `width` bytes, up to its NUL (or the width).
inline std::string TextAt(const uint8_t* p, size_t width) {
  const char* c = reinterpret_cast<const char*>(p);
  return std::string(c, strnlen(c, width));
}
// Writes at most width - 1 characters and NUL-pads the field.
inline void PutTextAt(uint8_t* p, size_t width, std::string_view text) {
  std::memset(p, 0, width);
  std::memcpy(p, text.data(), std::min(text.size(), width - 1));
}
// A typed record from the start of a block (the caller checked its size).
template <typename T>
T RecordAs(const uint8_t* p) {
  T t;
  std::memcpy(&t, p, sizeof t);
  return t;
}

// Most bytes one reply carries.
inline constexpr size_t kMaxReplyBytes = 4u << 20;

// Splits a block of `size_arg` bytes into records: whole fixed records, or
// a length-prefixed list whose lengths add up to the block exactly.
bool SplitRecords(const RecordKind& kind, const std::vector<uint8_t>& block, int32_t size_arg,
                  std::vector<Record>* out, std::string* why);
// Texts terminated within their fields, numbers in range.
bool ValidateRecord(const RecordKind& kind, const Record& rec, std::string* why);

// Table operations (inside a transaction or WithDb).
// *duplicate (when given) tells a failure on a unique column apart.
std::optional<uint32_t> InsertRecord(sqlite3* db, const RecordKind& kind, Record* rec,
                                     bool* duplicate = nullptr);
// False on failure; *found says whether the identifier existed.
bool UpdateRecord(sqlite3* db, const RecordKind& kind, const Record& rec, bool* found,
                  bool* duplicate = nullptr);
bool DeleteRecord(sqlite3* db, const RecordKind& kind, uint32_t id, bool* found);
bool DeleteAllRecords(sqlite3* db, const RecordKind& kind);
std::optional<Record> GetRecord(sqlite3* db, const RecordKind& kind, uint32_t id);
// Records the condition selects (plus `extra_where` with its values, a
// constant of the server), ascending identifier, at most `max_bytes` of
// them in all; false on failure.
bool QueryRecords(sqlite3* db, const RecordKind& kind, const Condition& cond,
                  std::vector<Record>* out, size_t max_bytes = kMaxReplyBytes,
                  const std::string& extra_where = "",
                  const std::vector<ConditionValue>& extra_values = {});
// Deletes what the condition selects; number deleted or nullopt.
std::optional<int64_t> DeleteWhere(sqlite3* db, const RecordKind& kind, const Condition& cond);

// Procedure helpers for a Call (they note what happened).
//
// Runs command `command` (0..3) with the records of `block` in one
// transaction. `ids_for_3`: command 3 carries a list of 32-bit identifiers
// to delete; otherwise it replaces the table. `prepare` (may be empty) is
// called for every record before it is stored (adding: true for command 0
// and the records of command 3) to fill server fields or refuse it.
using PrepareRecord = std::function<int32_t(Record& rec, bool adding, std::string* why)>;
int32_t RunRecordCommand(Call& call, Store* store, const RecordKind& kind, int32_t command,
                         const std::vector<uint8_t>& block, int32_t size_arg, bool ids_for_3,
                         const PrepareRecord& prepare = {});
// Parses the condition and answers the selected records in the reply at
// `reply_pos` with the byte count at `count_pos`.
int32_t RunRecordQuery(Call& call, Store* store, const RecordKind& kind,
                       const std::string& condition, size_t reply_pos, size_t count_pos,
                       const std::function<void(sqlite3*, Record&)>& fill = {});
// Sets a reply block and its count (a null reply when empty).
void SetReply(Call& call, size_t reply_pos, size_t count_pos, std::vector<uint8_t> bytes);
// Checks that the block at `block_pos` has the byte count at `size_pos`.
bool BlockMatches(Call& call, size_t block_pos, size_t size_pos);
// Writes `data` to `path` (creating its directory) through a temporary
// file, fsync and a rename; false with the reason in *why.
bool WriteFileAtomically(const std::string& path, const uint8_t* data, size_t n,
                         std::string* why);
// Writes a system-log entry through the context's hook, if there is one.
void SystemLogWrite(const ServerContext* context, const Call& call, const char* source,
                    const std::string& text);

}  // namespace qz::faxd

#endif  // QZ_SERVER_RECORD_TABLE_H_
