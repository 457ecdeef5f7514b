// condition.h -- the condition texts of the log procedures.
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
#include <string>
#include <string_view>

namespace qz::faxd {

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

}  // namespace qz::faxd

#endif  // QZ_SERVER_CONDITION_H_
