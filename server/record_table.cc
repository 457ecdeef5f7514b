// record_table.cc -- tables of administration records kept whole in SQLite.
#include "server/record_table.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "server/sql.h"

namespace qz::faxd {
namespace {

ConditionValue ColumnValue(const RecordColumn& c, const Record& rec) {
  const uint8_t* p = rec.data() + c.offset;
  switch (c.type) {
    case RecordColumn::kU32: return int64_t{U32At(p)};
    case RecordColumn::kU16: return int64_t{uint32_t{p[0]} | uint32_t{p[1]} << 8};
    case RecordColumn::kText: return TextAt(p, c.width);
  }
  return int64_t{0};
}

std::string ColumnList(const RecordKind& kind) {
  std::string s;
  for (const RecordColumn& c : kind.columns) s += std::string(c.name) + ", ";
  return s;
}

// The column values of a record, after `first` (the identifier) if given.
std::vector<ConditionValue> ColumnValues(const RecordKind& kind, const Record& rec,
                                         std::optional<int64_t> first = std::nullopt) {
  std::vector<ConditionValue> v;
  v.reserve(kind.columns.size() + 1);
  if (first) v.emplace_back(std::in_place_type<int64_t>, *first);
  for (const RecordColumn& c : kind.columns) v.push_back(ColumnValue(c, rec));
  return v;
}

// Steps a write; notes in *duplicate whether it failed on a unique column
// (read before the statement is finalised, which resets the code).
bool StepWrite(sqlite3* db, Stmt& s, bool* duplicate) {
  if (s.Step() == SQLITE_DONE) return true;
  if (duplicate) *duplicate = sqlite3_extended_errcode(db) == SQLITE_CONSTRAINT_UNIQUE;
  return false;
}

}  // namespace

std::vector<RecordField> ConditionFieldsOf(const RecordKind& kind) {
  std::vector<RecordField> f;
  f.push_back({"id", "id", RecordField::kNumber, 0, 0xFFFFFFFFll, 0});
  for (const RecordColumn& c : kind.columns) {
    if (c.type == RecordColumn::kText)
      f.push_back({c.name, c.name, RecordField::kText, 0, 0, c.width - 1});
    else
      f.push_back({c.name, c.name, RecordField::kNumber, c.lo, c.hi, 0});
    if (std::string_view(c.name) == "time") {
      f.push_back({"since", "time", RecordField::kSince, 0, 0xFFFFFFFFll, 0});
      f.push_back({"until", "time", RecordField::kUntil, 0, 0xFFFFFFFFll, 0});
    }
  }
  return f;
}

bool SplitRecords(const RecordKind& kind, const std::vector<uint8_t>& block, int32_t size_arg,
                  std::vector<Record>* out, std::string* why) {
  out->clear();
  if (size_arg <= 0 || static_cast<size_t>(size_arg) != block.size()) {
    *why = "block of " + std::to_string(block.size()) + " bytes, size " + std::to_string(size_arg);
    return false;
  }
  size_t pos = 0;
  while (pos < block.size()) {
    size_t left = block.size() - pos;
    size_t n = kind.size;
    if (kind.length_prefixed) {
      n = left >= 4 ? U32At(block.data() + pos) : 0;
      if (n < kind.size || n > kind.max_length || n > left) {
        *why = std::string(kind.what) + " length " + std::to_string(n) + " at byte " +
               std::to_string(pos);
        return false;
      }
    } else if (left < n) {
      *why = "block of " + std::to_string(block.size()) + " bytes is not whole " + kind.what +
             " records";
      return false;
    }
    out->emplace_back(block.begin() + static_cast<std::ptrdiff_t>(pos),
                      block.begin() + static_cast<std::ptrdiff_t>(pos + n));
    pos += n;
  }
  return true;
}

bool ValidateRecord(const RecordKind& kind, const Record& rec, std::string* why) {
  for (const RecordColumn& c : kind.columns) {
    const uint8_t* p = rec.data() + c.offset;
    if (c.type == RecordColumn::kText) {
      if (std::memchr(p, 0, c.width) == nullptr) {
        *why = std::string(c.name) + " is not terminated within its " + std::to_string(c.width) +
               " bytes";
        return false;
      }
      continue;
    }
    int64_t v = std::get<int64_t>(ColumnValue(c, rec));
    if (v < c.lo || v > c.hi) {
      *why = std::string(c.name) + " " + std::to_string(v) + " outside " + std::to_string(c.lo) +
             ".." + std::to_string(c.hi);
      return false;
    }
  }
  return true;
}

std::optional<uint32_t> InsertRecord(sqlite3* db, const RecordKind& kind, Record* rec,
                                     bool* duplicate) {
  Stmt next(db, std::string("SELECT coalesce(max(id), 0) + 1 FROM ") + kind.table);
  if (next.Step() != SQLITE_ROW) return std::nullopt;
  int64_t id = next.Int(0);
  if (id > 0xFFFFFFFFll) return std::nullopt;
  PutU32At(rec->data() + kind.id_offset, static_cast<uint32_t>(id));
  std::string cols = ColumnList(kind);
  std::string marks;
  for (size_t i = 0; i < kind.columns.size(); ++i) marks += "?, ";
  Stmt ins(db, std::string("INSERT INTO ") + kind.table + " (id, " + cols + "record) VALUES (?, " +
                   marks + "?)");
  std::vector<ConditionValue> values = ColumnValues(kind, *rec, id);
  if (!BindAll(ins, values) || !ins.BindBlob(static_cast<int>(values.size()) + 1, *rec) ||
      !StepWrite(db, ins, duplicate))
    return std::nullopt;
  return static_cast<uint32_t>(id);
}

bool UpdateRecord(sqlite3* db, const RecordKind& kind, const Record& rec, bool* found,
                  bool* duplicate) {
  std::string sets;
  for (const RecordColumn& c : kind.columns) sets += std::string(c.name) + " = ?, ";
  Stmt up(db, std::string("UPDATE ") + kind.table + " SET " + sets + "record = ? WHERE id = ?");
  std::vector<ConditionValue> values = ColumnValues(kind, rec);
  int n = static_cast<int>(values.size());
  if (!BindAll(up, values) || !up.BindBlob(n + 1, rec) ||
      !up.Bind(n + 2, int64_t{U32At(rec.data() + kind.id_offset)}) || !StepWrite(db, up, duplicate))
    return false;
  *found = sqlite3_changes(db) > 0;
  return true;
}

bool DeleteRecord(sqlite3* db, const RecordKind& kind, uint32_t id, bool* found) {
  Stmt del(db, std::string("DELETE FROM ") + kind.table + " WHERE id = ?");
  if (!del.Bind(1, int64_t{id}) || del.Step() != SQLITE_DONE) return false;
  *found = sqlite3_changes(db) > 0;
  return true;
}

bool DeleteAllRecords(sqlite3* db, const RecordKind& kind) {
  Stmt del(db, std::string("DELETE FROM ") + kind.table);
  return del.Step() == SQLITE_DONE;
}

std::optional<Record> GetRecord(sqlite3* db, const RecordKind& kind, uint32_t id) {
  Stmt q(db, std::string("SELECT record FROM ") + kind.table + " WHERE id = ?");
  if (!q.Bind(1, int64_t{id}) || q.Step() != SQLITE_ROW) return std::nullopt;
  return q.Blob(0);
}

bool QueryRecords(sqlite3* db, const RecordKind& kind, const Condition& cond,
                  std::vector<Record>* out, size_t max_bytes, const std::string& extra_where,
                  const std::vector<ConditionValue>& extra_values) {
  std::string where = " WHERE 1 = 1" + extra_where;
  std::vector<ConditionValue> values = extra_values;
  cond.AppendSql(&where, &values);
  Stmt q(db, std::string("SELECT record FROM ") + kind.table + where + " ORDER BY id");
  if (!BindAll(q, values)) return false;
  size_t total = 0;
  int rc;
  while ((rc = q.Step()) == SQLITE_ROW) {
    Record r = q.Blob(0);
    if (total + r.size() > max_bytes) break;
    total += r.size();
    out->push_back(std::move(r));
  }
  return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

std::optional<int64_t> DeleteWhere(sqlite3* db, const RecordKind& kind, const Condition& cond) {
  std::string where = " WHERE 1 = 1";
  std::vector<ConditionValue> values;
  cond.AppendSql(&where, &values);
  Stmt del(db, std::string("DELETE FROM ") + kind.table + where);
  if (!BindAll(del, values) || del.Step() != SQLITE_DONE) return std::nullopt;
  return sqlite3_changes(db);
}

bool WriteFileAtomically(const std::string& path, const uint8_t* data, size_t n,
                         std::string* why) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    *why = "open " + tmp + ": " + strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < n) {
    ssize_t w = write(fd, data + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    done += static_cast<size_t>(w);
  }
  bool ok = done == n && fsync(fd) == 0;
  if (close(fd) != 0) ok = false;
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
    *why = "write " + path + ": " + strerror(errno);
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

bool BlockMatches(Call& call, size_t block_pos, size_t size_pos) {
  int32_t n = call.arg(size_pos).number;
  return n >= 0 && static_cast<size_t>(n) == call.arg(block_pos).bytes.size();
}

void SetReply(Call& call, size_t reply_pos, size_t count_pos, std::vector<uint8_t> bytes) {
  call.arg(count_pos).number = static_cast<int32_t>(bytes.size());
  call.arg(reply_pos).present = !bytes.empty();
  call.arg(reply_pos).bytes = std::move(bytes);
}

void SystemLogWrite(const ServerContext* context, const Call& call, const char* source,
                    const std::string& text) {
  if (context != nullptr && context->system_log != nullptr)
    context->system_log->Write(SystemLog::Level::kInfo, source, call.user().id, text);
}

int32_t RunRecordCommand(Call& call, Store* store, const RecordKind& kind, int32_t command,
                         const std::vector<uint8_t>& block, int32_t size_arg, bool ids_for_3,
                         const PrepareRecord& prepare) {
  const std::string what = kind.what;
  if (command < 0 || command > 3)
    return call.Fail(kBadArgument, what + ": command " + std::to_string(command));
  std::vector<uint32_t> ids;
  std::vector<Record> records;
  std::string why;
  if (command == 3 && ids_for_3) {
    if (size_arg <= 0 || static_cast<size_t>(size_arg) != block.size() || size_arg % 4 != 0)
      return call.Fail(kBadRecord, what + ": identifier list of " + std::to_string(size_arg) +
                                       " bytes");
    for (size_t i = 0; i < block.size(); i += 4) ids.push_back(U32At(block.data() + i));
  } else {
    if (!SplitRecords(kind, block, size_arg, &records, &why))
      return call.Fail(kBadRecord, what + ": " + why);
    for (Record& r : records) {
      if (!ValidateRecord(kind, r, &why)) return call.Fail(kBadRecord, what + ": " + why);
      if (prepare) {
        int32_t rc = prepare(r, command == 0 || command == 3, &why);
        if (rc != kOk) {
          call.Note(what + ": " + why);
          return rc;
        }
      }
    }
    if (command == 2)
      for (const Record& r : records) ids.push_back(U32At(r.data() + kind.id_offset));
  }
  int32_t status = kOk;
  std::string done;
  bool ok = store->Transaction([&](sqlite3* db) {
    auto refuse = [&](ServerStatus s, std::string text) {
      status = AsResult(s);
      done = std::move(text);
      return false;
    };
    bool found = true, duplicate = false;
    if (command == 3 && !ids_for_3 && !DeleteAllRecords(db, kind)) return false;
    if (command == 0 || command == 3) {
      for (Record& r : records) {
        std::optional<uint32_t> id = InsertRecord(db, kind, &r, &duplicate);
        if (!id) return duplicate ? refuse(kDuplicate, "duplicate " + what) : false;
        done += (done.empty() ? "" : ",") + std::to_string(*id);
      }
      done = (command == 3 ? "replaced by " : "added ") + done;
    } else if (command == 1) {
      for (const Record& r : records) {
        if (!UpdateRecord(db, kind, r, &found, &duplicate))
          return duplicate ? refuse(kDuplicate, "duplicate " + what) : false;
        uint32_t id = U32At(r.data() + kind.id_offset);
        if (!found) return refuse(kNoSuchRecord, "no " + what + " " + std::to_string(id));
        done += (done.empty() ? "changed " : ",") + std::to_string(id);
      }
    }
    for (uint32_t id : ids) {
      if (!DeleteRecord(db, kind, id, &found)) return false;
      if (!found) return refuse(kNoSuchRecord, "no " + what + " " + std::to_string(id));
      done += (done.empty() ? "deleted " : ",") + std::to_string(id);
    }
    return true;
  });
  if (status != kOk) {
    call.Note(what + ": " + done);
    return status;
  }
  if (!ok) return call.Fail(kStoreFailure, what + ": store failure");
  call.Note(what + " " + done);
  return kOk;
}

int32_t RunRecordQuery(Call& call, Store* store, const RecordKind& kind,
                       const std::string& condition, size_t reply_pos, size_t count_pos,
                       const std::function<void(sqlite3*, Record&)>& fill) {
  SetReply(call, reply_pos, count_pos, {});
  std::vector<RecordField> fields = ConditionFieldsOf(kind);
  Condition cond;
  std::string why;
  if (!ParseCondition(condition, fields, &cond, &why))
    return call.Fail(kBadCondition, std::string(kind.what) + " condition: " + why);
  std::vector<Record> records;
  bool ok = store->WithDb([&](sqlite3* db) {
    if (!QueryRecords(db, kind, cond, &records)) return false;
    if (fill)
      for (Record& r : records) fill(db, r);
    return true;
  });
  if (!ok) return call.Fail(kStoreFailure, std::string(kind.what) + " query: store failure");
  std::vector<uint8_t> out;
  for (const Record& r : records) AppendBytes(&out, r);
  call.Note("condition: " + condition.substr(0, 200) + " -> " + std::to_string(records.size()) +
            " " + kind.what + " records");
  SetReply(call, reply_pos, count_pos, std::move(out));
  return kOk;
}

}  // namespace qz::faxd
