// condition.h -- the condition texts of the procedures that select.
//
// One syntax for every family; each family names its fields in a table of
// ConditionField (name, the fixed SQL fragment it becomes, type, bounds),
// and ParseCondition turns a text into terms of that table, which
// ConditionSql joins into a WHERE part with '?' placeholders and the values
// to bind. The log procedures' fields are below (LogFilter).
//
// A condition is a list of terms separated by ';'. Each term is
// "<field>=<value>" with blanks around field and value ignored; an empty
// text (or only empty terms) selects everything. Fields:
//   user=<id>        the key's user identifier, exact (at most 19 characters)
//   session=<n>      session number
//   op=<n>           procedure number
//   result=<n>       status (decimal, or hex with 0x: result=0xC1FE0001)
//   since=<t>        at or after unix time t (seconds)
//   until=<t>        before unix time t
//   proc=<name>      procedure name, exact
//   after=<id>       records with an identifier above id (dwLogID): a
//                    client pages through a long log by passing the last
//                    identifier of one answer in the condition of the next
// A field may appear once. Anything else (unknown field, missing '=', bad
// number, a repeated field) is a bad condition. The parsed filter is
// applied with bound parameters only; the text never becomes SQL.
//
// Thread-safety: reentrant.
#ifndef QZ_SERVER_CONDITION_H_
#define QZ_SERVER_CONDITION_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qz::faxd {

// A field a condition may name.
struct ConditionField {
  enum class Type { kText, kNumber };
  const char* name;  // as written in the condition ("user")
  const char* sql;   // fixed fragment with one '?' ("user_id = ?")
  Type type;
  // kNumber: the value's range; kText: the length's range.
  int64_t lo;
  int64_t hi;
};

// One parsed term: a field of the table and its value (same alternatives
// as sql.h's Param).
struct ConditionTerm {
  const ConditionField* field = nullptr;
  std::variant<int64_t, std::string> value;
};

// Parses `text` ("<field>=<value>" terms separated by ';', as below) with
// the fields of `fields`. Numbers are decimal or 0x-hexadecimal (read as a
// 32-bit pattern). Unknown field, missing '=', a value out of its bounds,
// a repeated field: false, with the reason in *error when given.
bool ParseCondition(std::string_view text, std::span<const ConditionField> fields,
                    std::vector<ConditionTerm>* out, std::string* error = nullptr);

// The terms joined with AND, each preceded by `lead` for the first and
// " AND " for the others (lead " WHERE " or " AND "); "" for no terms. The
// values are appended to *params in placeholder order.
std::string ConditionSql(const std::vector<ConditionTerm>& terms, const char* lead,
                         std::vector<std::variant<int64_t, std::string>>* params);

struct LogFilter {
  std::optional<std::string> user;
  std::optional<int64_t> session;
  std::optional<int64_t> opnum;
  std::optional<int64_t> result;
  std::optional<int64_t> since;
  std::optional<int64_t> until;
  std::optional<std::string> procedure;
  std::optional<int64_t> after_id;

  bool SelectsAll() const {
    return !user && !session && !opnum && !result && !since && !until && !procedure &&
           !after_id;
  }
};

// Parses `text` into *out. On failure returns false and, when `error` is
// given, says which term failed.
bool ParseLogCondition(std::string_view text, LogFilter* out, std::string* error = nullptr);

// ---- Conditions over whole stored records (table-driven) -------------
//
// A second field table, for the units that keep their records whole
// (record_table.h): RecordField names a column and a comparison kind.
//
// The same syntax ("field=value" terms separated by ';', each field once)
// over a table of fields that a family defines for one kind of record.
// Each field names the SQL column it selects on (a constant of the
// server, never client text) and how its value is read:
//   kText    exact text of at most max_length characters
//   kNumber  a number (decimal or 0x hexadecimal) in [lo, hi]
//   kSince   column >= number, kUntil column < number (times)
// A field whose column is null is not SQL: the caller reads its value
// (for example which template a report uses).
struct RecordField {
  enum Kind { kText, kNumber, kSince, kUntil };
  const char* name;
  const char* column;
  Kind kind;
  int64_t lo = 0;
  int64_t hi = 0xFFFFFFFFll;
  size_t max_length = 0;
};

using ConditionValue = std::variant<int64_t, std::string>;

struct Condition {
  struct Term {
    const RecordField* field = nullptr;
    ConditionValue value;
  };
  std::vector<Term> terms;
  // The value of a field given in the condition, if any.
  const ConditionValue* Find(std::string_view name) const;
  // " AND <column> <op> ?" for every SQL term, in order, and their values.
  void AppendSql(std::string* where, std::vector<ConditionValue>* values) const;
};

// Parses `text` over `fields`. False (with the failing term in *error)
// for an unknown field, a missing '=', a bad or out-of-range value, a text
// too long, or a repeated field.
bool ParseCondition(std::string_view text, std::span<const RecordField> fields, Condition* out,
                    std::string* error = nullptr);

}  // namespace qz::faxd

#endif  // QZ_SERVER_CONDITION_H_
