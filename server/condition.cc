// condition.cc -- parser of the condition texts, driven by field tables.
#include "server/condition.h"

#include <charconv>
#include <limits>

namespace qz::faxd {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Decimal (optionally negative) or 0x-prefixed hexadecimal; the whole text
// must be the number and fit in [lo, hi].
bool ParseNumber(std::string_view s, int64_t lo, int64_t hi, int64_t* out) {
  if (s.empty()) return false;
  int64_t v = 0;
  const char* first = s.data();
  const char* last = s.data() + s.size();
  std::from_chars_result r;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    uint64_t u = 0;
    r = std::from_chars(first + 2, last, u, 16);
    if (r.ec != std::errc() || r.ptr != last || u > 0xFFFFFFFFull) return false;
    // A hexadecimal status is read as its 32-bit pattern (0xC1FE0001 is negative).
    v = static_cast<int32_t>(static_cast<uint32_t>(u));
  } else {
    r = std::from_chars(first, last, v, 10);
    if (r.ec != std::errc() || r.ptr != last) return false;
  }
  if (v < lo || v > hi) return false;
  *out = v;
  return true;
}

// Walks the terms of a condition text: "field=value" terms separated by
// ';', blanks around names and values ignored, empty terms skipped. Each
// term's field is looked up by name in `fields`, and `take(field, value)`
// answers nullptr or why the term is refused. False, with the reason and
// the term in *error, at the first refusal.
template <typename Field, typename Take>
bool ForEachTerm(std::string_view text, std::span<const Field> fields, std::string* error,
                 Take take) {
  auto fail = [&](std::string_view term, const char* why) {
    if (error) *error = std::string(why) + ": \"" + std::string(term) + "\"";
    return false;
  };
  while (true) {
    size_t semi = text.find(';');
    std::string_view term = Trim(text.substr(0, semi));
    if (!term.empty()) {
      size_t eq = term.find('=');
      if (eq == std::string_view::npos) return fail(term, "term without '='");
      std::string_view name = Trim(term.substr(0, eq));
      const Field* field = nullptr;
      for (const Field& f : fields)
        if (name == f.name) field = &f;
      if (field == nullptr) return fail(term, "unknown field");
      if (const char* why = take(*field, Trim(term.substr(eq + 1)))) return fail(term, why);
    }
    if (semi == std::string_view::npos) return true;
    text.remove_prefix(semi + 1);
  }
}

}  // namespace

bool ParseCondition(std::string_view text, std::span<const ConditionField> fields,
                    std::vector<ConditionTerm>* out, std::string* error) {
  std::vector<ConditionTerm> terms;
  const bool ok = ForEachTerm(text, fields, error,
                              [&](const ConditionField& field, std::string_view value) -> const char* {
    for (const ConditionTerm& t : terms)
      if (t.field == &field) return "repeated field";
    if (field.type == ConditionField::Type::kText) {
      auto n = static_cast<int64_t>(value.size());
      if (n < field.lo || n > field.hi) return "text of a bad length";
      ConditionTerm& t = terms.emplace_back();
      t.field = &field;
      t.value.emplace<std::string>(value);
    } else {
      int64_t n = 0;
      if (!ParseNumber(value, field.lo, field.hi, &n)) return "bad number";
      ConditionTerm& t = terms.emplace_back();
      t.field = &field;
      t.value = n;
    }
    return nullptr;
  });
  if (!ok) return false;
  *out = std::move(terms);
  return true;
}

std::string ConditionSql(const std::vector<ConditionTerm>& terms, const char* lead,
                         std::vector<std::variant<int64_t, std::string>>* params) {
  std::string sql;
  for (const ConditionTerm& t : terms) {
    sql += sql.empty() ? lead : " AND ";
    sql += t.field->sql;
    params->push_back(t.value);
  }
  return sql;
}

bool ParseLogCondition(std::string_view text, LogFilter* out, std::string* error) {
  using T = ConditionField::Type;
  constexpr int64_t kI32Min = std::numeric_limits<int32_t>::min();
  constexpr int64_t kI32Max = std::numeric_limits<int32_t>::max();
  constexpr int64_t kTimeMax = int64_t{1} << 40;
  static const ConditionField kLogFields[] = {
      {"user", "user_id = ?", T::kText, 0, 19},
      {"proc", "procedure = ?", T::kText, 1, 39},
      {"session", "session_no = ?", T::kNumber, kI32Min, kI32Max},
      {"op", "opnum = ?", T::kNumber, 0, 0xFFFF},
      {"result", "result = ?", T::kNumber, kI32Min, kI32Max},
      {"since", "time >= ?", T::kNumber, 0, kTimeMax},
      {"until", "time < ?", T::kNumber, 0, kTimeMax},
      {"after", "id > ?", T::kNumber, 0, std::numeric_limits<int64_t>::max()},
  };
  std::vector<ConditionTerm> terms;
  if (!ParseCondition(text, kLogFields, &terms, error)) return false;
  LogFilter f;
  for (const ConditionTerm& t : terms) {
    std::string_view name = t.field->name;
    const int64_t* n = std::get_if<int64_t>(&t.value);
    const std::string* s = std::get_if<std::string>(&t.value);
    if (name == "user") f.user = *s;
    else if (name == "proc") f.procedure = *s;
    else if (name == "session") f.session = *n;
    else if (name == "op") f.opnum = *n;
    else if (name == "result") f.result = *n;
    else if (name == "since") f.since = *n;
    else if (name == "until") f.until = *n;
    else if (name == "after") f.after_id = *n;
  }
  *out = std::move(f);
  return true;
}

const ConditionValue* Condition::Find(std::string_view name) const {
  for (const Term& t : terms)
    if (name == t.field->name) return &t.value;
  return nullptr;
}

void Condition::AppendSql(std::string* where, std::vector<ConditionValue>* values) const {
  for (const Term& t : terms) {
    if (t.field->column == nullptr) continue;
    const char* op = t.field->kind == RecordField::kSince   ? " >= ?"
                     : t.field->kind == RecordField::kUntil ? " < ?"
                                                               : " = ?";
    *where += std::string(" AND ") + t.field->column + op;
    if (const int64_t* n = std::get_if<int64_t>(&t.value))
      values->emplace_back(std::in_place_type<int64_t>, *n);
    else
      values->emplace_back(std::in_place_type<std::string>, std::get<std::string>(t.value));
  }
}

bool ParseCondition(std::string_view text, std::span<const RecordField> fields, Condition* out,
                    std::string* error) {
  Condition c;
  const bool ok = ForEachTerm(text, fields, error,
                              [&](const RecordField& field, std::string_view value) -> const char* {
    if (c.Find(field.name)) return "repeated field";
    if (field.kind == RecordField::kText) {
      if (value.size() > field.max_length) return "text too long";
      c.terms.emplace_back();
      c.terms.back().field = &field;
      c.terms.back().value.emplace<std::string>(value);
    } else {
      int64_t n = 0;
      if (!ParseNumber(value, field.lo, field.hi, &n)) return "bad number";
      c.terms.emplace_back();
      c.terms.back().field = &field;
      c.terms.back().value.emplace<int64_t>(n);
    }
    return nullptr;
  });
  if (!ok) return false;
  *out = std::move(c);
  return true;
}

}  // namespace qz::faxd
