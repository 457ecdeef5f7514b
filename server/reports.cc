// reports.cc -- report templates and report queries.
#include "server/reports.h"

#include <cstring>
#include <ctime>

#include "qzcsif/qzcsif.h"
#include "server/sql.h"

namespace qz::faxd {
namespace {

constexpr int kMask = 3;                 // dwRights[3]
constexpr uint32_t kReadReports = 0x200;  // 81, 82, 83
constexpr uint32_t kWriteReports = 0x10;  // 78, 79, 80

const RecordField kReportFields[] = {
    {"template", nullptr, RecordField::kNumber, 1, 0xFFFFFFFFll, 0},
    {"group", nullptr, RecordField::kText, 0, 0, 10},
    {"user", "user_id", RecordField::kText, 0, 0, 19},
    {"department", "department_id", RecordField::kText, 0, 0, 31},
    {"line", "line_id", RecordField::kNumber, 0, 0xFFFFFFFFll, 0},
    {"direction", "direction", RecordField::kNumber, 1, 2, 0},
    {"ok", "ok", RecordField::kNumber, 0, 1, 0},
    {"since", "time", RecordField::kSince, 0, 0xFFFFFFFFll, 0},
    {"until", "time", RecordField::kUntil, 0, 0xFFFFFFFFll, 0},
};

// The grouping names and the SQL key of each (constants, by QZ_REPORT_BY_*).
struct Grouping {
  const char* name;
  const char* key;
};
const Grouping kGroupings[] = {
    {"user", "user_id"},
    {"department", "coalesce(department_id, '')"},
    {"line", "CAST(line_id AS TEXT)"},
    {"day", "strftime('%Y-%m-%d', time, 'unixepoch')"},
    {"month", "strftime('%Y-%m', time, 'unixepoch')"},
};

int64_t Now(const ServerContext* c) {
  return c->clock ? c->clock->NowMs() / 1000 : time(nullptr);
}

}  // namespace

const SchemaPart kReportsSchemaPart = {
    "reports",
    {{1,
      "CREATE TABLE report_templates (id INTEGER PRIMARY KEY, folder_id INTEGER,"
      " group_by INTEGER, direction INTEGER, owner TEXT, name TEXT, report_condition TEXT,"
      " description TEXT, record BLOB NOT NULL);"
      "CREATE INDEX report_templates_folder ON report_templates(folder_id);"},
     // The send and receive history reports run over: finished send tasks
     // (5 done, 6 failed) and finished receive tasks (2 received, 3
     // delivered, 4 failed). A sent fax counts for its owner and the
     // owner's department; a received one for the user it was routed to,
     // or the department it was routed to (a fax for a printer counts for
     // neither). Times are seconds; the duration is that of the last
     // attempt, from dialling to the end.
     {2,
      "CREATE VIEW fax_history AS"
      " SELECT 1 AS direction, s.owner AS user_id, coalesce(u.dept_id, '') AS department_id,"
      "  s.line_id AS line_id, s.end_ms / 1000 AS time, s.pages_done AS pages,"
      "  CASE WHEN s.start_ms > 0 AND s.end_ms > s.start_ms"
      "   THEN (s.end_ms - s.start_ms) / 1000 ELSE 0 END AS duration,"
      "  s.state = 5 AS ok"
      " FROM send_tasks s LEFT JOIN users u ON u.id = s.owner WHERE s.state IN (5, 6)"
      " UNION ALL"
      " SELECT 2, CASE WHEN r.destination LIKE 'user %' THEN r.owner ELSE '' END,"
      "  CASE WHEN r.destination LIKE 'department %' THEN substr(r.destination, 12)"
      "   WHEN r.destination LIKE 'user %' THEN coalesce(u.dept_id, '') ELSE '' END,"
      "  r.line_id, r.end_ms / 1000, r.pages,"
      "  CASE WHEN r.end_ms > r.start_ms THEN (r.end_ms - r.start_ms) / 1000 ELSE 0 END,"
      "  r.state IN (2, 3)"
      " FROM recv_tasks r LEFT JOIN users u ON u.id = r.owner WHERE r.state IN (2, 3, 4);"}}};
// The view above names these states by number.
static_assert(QZ_TASK_DONE == 5 && QZ_TASK_FAILED == 6 && QZ_RECV_RECEIVED == 2 &&
              QZ_RECV_DELIVERED == 3 && QZ_RECV_FAILED == 4);

const RecordKind kTemplateKind = {"report_templates", "report template",
                                  QZ_SIZEOF_FAXREPORTMODEL, false, 0, 0,
                                  {{"folder_id", 4, RecordColumn::kU32},
                                   {"group_by", 8, RecordColumn::kU32, 4, 0, 4},
                                   {"direction", 12, RecordColumn::kU32, 4, 0, 2},
                                   {"owner", 28, RecordColumn::kText, 20},
                                   {"name", 48, RecordColumn::kText, 64},
                                   {"report_condition", 112, RecordColumn::kText, 1024},
                                   {"description", 1136, RecordColumn::kText, 3096}}};

int32_t ReportsFamily::Main(Call& call, uint16_t opnum) {
  if (opnum == 83) return QueryReport(call);
  bool reading = opnum == 81 || opnum == 82;
  if (reading) SetReply(call, opnum == 81 ? 4 : 5, opnum == 81 ? 5 : 6, {});
  int32_t rc = call.Require(kMask, reading ? kReadReports : kWriteReports);
  if (rc != kOk) return rc;
  if (!BlockMatches(call, 2, 3) || call.arg(3).number != QZ_SIZEOF_FOLDERINFO_TABLE)
    return call.Fail(kBadRecord, "folder record of " + std::to_string(call.arg(3).number) +
                                     " bytes");
  uint32_t folder = U32At(call.arg(2).bytes.data());
  return reading ? ListTemplates(call, opnum, folder) : ChangeTemplates(call, opnum, folder);
}

int32_t ReportsFamily::ChangeTemplates(Call& call, uint16_t opnum, uint32_t folder) {
  Store* store = context_->store;
  int64_t now = Now(context_);
  if (opnum == 80) {  // rpcDeleteReportTemplate
    uint32_t id = static_cast<uint32_t>(call.arg(4).number);
    bool found = false;
    bool ok = store->Transaction([&](sqlite3* db) {
      std::optional<Record> r = GetRecord(db, kTemplateKind, id);
      if (!r || U32At(r->data() + 4) != folder) return false;
      return DeleteRecord(db, kTemplateKind, id, &found);
    });
    if (!ok || !found)
      return call.Fail(kNoSuchRecord, "no template " + std::to_string(id) + " in folder " +
                                      std::to_string(folder));
    call.Note("template " + std::to_string(id) + " deleted");
    return kOk;
  }
  std::string user = call.user().id;
  PrepareRecord prepare = [&](Record& r, bool adding, std::string* why) {
    std::vector<RecordField> fields(std::begin(kReportFields), std::end(kReportFields));
    Condition cond;
    if (!ParseCondition(TextAt(r.data() + 112, 1024), fields, &cond, why))
      return AsResult(kBadCondition);
    PutU32At(r.data() + 4, folder);
    PutU32At(r.data() + 24, static_cast<uint32_t>(now));
    if (adding) {
      PutU32At(r.data() + 20, static_cast<uint32_t>(now));
      PutTextAt(r.data() + 28, 20, user);
      return kOk;
    }
    uint32_t id = U32At(r.data());
    std::optional<Record> old =
        store->WithDb([&](sqlite3* db) { return GetRecord(db, kTemplateKind, id); });
    if (!old || U32At(old->data() + 4) != folder) {
      *why = "no template " + std::to_string(id) + " in folder " + std::to_string(folder);
      return AsResult(kNoSuchRecord);
    }
    std::memcpy(r.data() + 20, old->data() + 20, 4);   // created
    std::memcpy(r.data() + 28, old->data() + 28, 20);  // owner
    return kOk;
  };
  return RunRecordCommand(call, store, kTemplateKind, opnum == 78 ? 0 : 1, call.arg(4).bytes,
                          call.arg(5).number, false, prepare);
}

int32_t ReportsFamily::ListTemplates(Call& call, uint16_t opnum, uint32_t folder) {
  size_t reply = opnum == 81 ? 4 : 5;
  std::string extra = " AND folder_id = ?";
  std::vector<ConditionValue> values;
  values.emplace_back(std::in_place_type<int64_t>, folder);
  if (opnum == 82) {
    extra += " AND id = ?";
    values.emplace_back(std::in_place_type<int64_t>, static_cast<uint32_t>(call.arg(4).number));
  }
  std::vector<Record> records;
  if (!context_->store->WithDb([&](sqlite3* db) {
        return QueryRecords(db, kTemplateKind, Condition{}, &records, kMaxReplyBytes, extra,
                            values);
      }))
    return call.Fail(kStoreFailure, "store failure");
  if (opnum == 82 && records.empty())
    return call.Fail(kNoSuchRecord, "no template " + std::to_string(call.arg(4).number));
  std::vector<uint8_t> out;
  for (const Record& r : records) out.insert(out.end(), r.begin(), r.end());
  call.Note("folder " + std::to_string(folder) + ": " + std::to_string(records.size()) +
            " templates");
  SetReply(call, reply, reply + 1, std::move(out));
  return kOk;
}

int32_t ReportsFamily::QueryReport(Call& call) {
  SetReply(call, 3, 4, {});
  int32_t rc = call.Require(kMask, kReadReports);
  if (rc != kOk) return rc;
  const std::string& text = call.arg(2).text;
  std::vector<RecordField> fields(std::begin(kReportFields), std::end(kReportFields));
  Condition query, from_template;
  std::string why;
  if (!ParseCondition(text, fields, &query, &why))
    return call.Fail(kBadCondition, "report: " + why);
  uint32_t group = QZ_REPORT_BY_USER, template_id = 0;
  std::string where = " WHERE 1 = 1";
  std::vector<ConditionValue> values;
  if (const ConditionValue* t = query.Find("template")) {
    template_id = static_cast<uint32_t>(std::get<int64_t>(*t));
    std::optional<Record> r = context_->store->WithDb(
        [&](sqlite3* db) { return GetRecord(db, kTemplateKind, template_id); });
    if (!r) return call.Fail(kNoSuchRecord, "no template " + std::to_string(template_id));
    FAXREPORTMODEL m = RecordAs<FAXREPORTMODEL>(r->data());
    group = m.dwGroupBy;
    if (m.dwDirection != QZ_REPORT_ALL) {
      where += " AND direction = ?";
      values.emplace_back(std::in_place_type<int64_t>, m.dwDirection);
    }
    if (!ParseCondition(TextAt(r->data() + 112, 1024), fields, &from_template, &why))
      return call.Fail(kBadCondition, "template condition: " + why);
  }
  if (const ConditionValue* g = query.Find("group")) {
    const std::string& name = std::get<std::string>(*g);
    group = 99;
    for (uint32_t i = 0; i < std::size(kGroupings); ++i)
      if (name == kGroupings[i].name) group = i;
    if (group == 99) return call.Fail(kBadCondition, "report: unknown grouping " + name);
  }
  if (group >= std::size(kGroupings)) return call.Fail(kBadArgument, "report: bad grouping");
  from_template.AppendSql(&where, &values);
  query.AppendSql(&where, &values);
  const size_t max_rows = (kMaxReplyBytes - sizeof(FAXREPORTHEADER)) / sizeof(FAXREPORTROW);
  std::vector<uint8_t> out(sizeof(FAXREPORTHEADER), 0);
  uint32_t rows = 0;
  bool have_history = true;
  bool ok = context_->store->WithDb([&](sqlite3* db) {
    Stmt v(db,
           "SELECT 1 FROM sqlite_master WHERE name = 'fax_history' AND type IN ('view', 'table')");
    if (v.Step() != SQLITE_ROW) {
      have_history = false;
      return false;
    }
    std::string key = kGroupings[group].key;
    Stmt q(db, "SELECT " + key +
                   ", count(*), sum(direction = 1), sum(direction = 2), sum(ok = 0),"
                   " coalesce(sum(pages), 0), coalesce(sum(duration), 0) FROM fax_history" +
                   where + " GROUP BY 1 ORDER BY 1 LIMIT ?");
    if (!BindAll(q, values) || !q.Bind(static_cast<int>(values.size()) + 1,
                                       static_cast<int64_t>(max_rows)))
      return false;
    int step;
    while ((step = q.Step()) == SQLITE_ROW) {
      FAXREPORTROW row;
      std::memset(&row, 0, sizeof row);
      PutTextAt(reinterpret_cast<uint8_t*>(row.szKey), sizeof row.szKey, q.Text(0));
      row.dwFaxes = static_cast<uint32_t>(q.Int(1));
      row.dwSent = static_cast<uint32_t>(q.Int(2));
      row.dwReceived = static_cast<uint32_t>(q.Int(3));
      row.dwFailed = static_cast<uint32_t>(q.Int(4));
      row.dwPages = static_cast<uint32_t>(q.Int(5));
      row.dwSeconds = static_cast<uint32_t>(q.Int(6));
      AppendRecord(&out, row);
      ++rows;
    }
    return step == SQLITE_DONE;
  });
  if (!have_history) return call.Fail(kNoHistory, "report: no send and receive history");
  if (!ok) return call.Fail(kStoreFailure, "report: store failure");
  FAXREPORTHEADER h = {sizeof h, rows, group, template_id};
  std::memcpy(out.data(), &h, sizeof h);
  call.Note("report: " + text.substr(0, 200) + " -> " + std::to_string(rows) + " rows");
  SetReply(call, 3, 4, std::move(out));
  return kOk;
}

}  // namespace qz::faxd
