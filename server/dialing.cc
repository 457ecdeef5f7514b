// dialing.cc -- dial rules, prefix table, automatic reception, authorization
// entries, routing, printers, and the Telephony and Routing hooks.
#include "server/dialing.h"

#include <algorithm>
#include <cstring>

#include "qzcsif/qzcsif.h"
#include "server/sql.h"
#include "server/syslog_config.h"

#if defined(QZFAXD_HAVE_CUPS)
#include <cups/cups.h>
#endif

namespace qz::faxd {
namespace {

constexpr int kMask = 3;  // rights of this unit are bits of dwRights[3]
constexpr size_t kMaxListRecord = 1024;

bool BeginsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

int32_t RequireUser(Store* store, const std::string& id, std::string* why) {
  if (id.empty() || !store->GetUser(id)) {
    *why = "no user \"" + id + "\"";
    return AsResult(kNoSuchRecord);
  }
  return kOk;
}

// One procedure of the unit that works on a table of records.
struct TableProc {
  uint16_t opnum;
  const RecordKind* kind;
  enum Op { kQuery, kCommand, kDeleteWhere } op;
  uint32_t right;      // bit of dwRights[3]
  bool ids_for_3;      // command 3 carries 32-bit identifiers
};

const TableProc kTableProcs[] = {
    {51, &kPrefixKind, TableProc::kQuery, 0x2000, false},
    {52, &kPrefixKind, TableProc::kCommand, 0x1000, false},
    {53, &kDialRuleKind, TableProc::kQuery, 0x2000, false},
    {54, &kDialRuleKind, TableProc::kCommand, 0x1000, false},
    {56, &kAutoRecvKind, TableProc::kCommand, 0x1000, true},
    {57, &kAutoRecvKind, TableProc::kQuery, 0x2000, false},
    {58, &kRouteKind, TableProc::kQuery, 0x100, false},
    {59, &kRouteKind, TableProc::kCommand, 0x80, true},
    {60, &kAuthorizationKind, TableProc::kQuery, 0x2000, false},
    {61, &kAuthorizationKind, TableProc::kCommand, 0x20000, false},
    {85, &kHistoryKind, TableProc::kQuery, 0x2000, false},
    {86, &kHistoryKind, TableProc::kDeleteWhere, 0x1000, false},
};

const TableProc* FindProc(uint16_t opnum) {
  for (const TableProc& p : kTableProcs)
    if (p.opnum == opnum) return &p;
  return nullptr;
}

std::string DestinationText(const Destination& d) {
  switch (d.kind) {
    case Destination::Kind::kUser: return "user:" + d.id;
    case Destination::Kind::kDepartment: return "department:" + d.id;
    case Destination::Kind::kPrinter: return "printer:" + d.id;
  }
  return d.id;
}

}  // namespace

const SchemaPart kDialingSchemaPart = {
    "dialing",
    {{1,
      "CREATE TABLE dial_rules (id INTEGER PRIMARY KEY, port_id INTEGER, priority INTEGER,"
      " match_prefix TEXT, strip INTEGER, prepend TEXT, description TEXT,"
      " record BLOB NOT NULL);"
      "CREATE TABLE prefixes (id INTEGER PRIMARY KEY, kind INTEGER, prefix TEXT,"
      " description TEXT, record BLOB NOT NULL);"
      "CREATE TABLE autorecv (id INTEGER PRIMARY KEY, port_id INTEGER, enabled INTEGER,"
      " rings INTEGER, keep_days INTEGER, number TEXT, name TEXT, description TEXT,"
      " record BLOB NOT NULL);"
      "CREATE TABLE autorecv_history (id INTEGER PRIMARY KEY, time INTEGER, port_id INTEGER,"
      " recv_task_id INTEGER, pages INTEGER, line_number TEXT, sender_number TEXT,"
      " record BLOB NOT NULL);"
      "CREATE TABLE authorizations (id INTEGER PRIMARY KEY, user_id TEXT UNIQUE,"
      " flags INTEGER, record BLOB NOT NULL);"
      "CREATE TABLE routes (id INTEGER PRIMARY KEY, port_id INTEGER, target_kind INTEGER,"
      " priority INTEGER, enabled INTEGER, number TEXT, sender TEXT, target TEXT,"
      " description TEXT, record BLOB NOT NULL);"
      "CREATE TABLE print_jobs (id INTEGER PRIMARY KEY, time INTEGER, printer TEXT,"
      " recv_task_id INTEGER, document TEXT, pages INTEGER, state TEXT);"}}};

const RecordKind kDialRuleKind = {
    "dial_rules", "dial rule", QZ_SIZEOF_DIALRULE_TABLE, true, kMaxListRecord, 4,
    {{"port_id", 8, RecordColumn::kU32},
     {"priority", 12, RecordColumn::kU32},
     {"match_prefix", 16, RecordColumn::kText, 32},
     {"strip", 48, RecordColumn::kU32, 4, 0, 31},
     {"prepend", 52, RecordColumn::kText, 32},
     {"description", 84, RecordColumn::kText, 64}}};

const RecordKind kPrefixKind = {
    "prefixes", "prefix", QZ_SIZEOF_PREFIXINFO_TABLE, true, kMaxListRecord, 4,
    {{"kind", 8, RecordColumn::kU32, 4, 0, 2},
     {"prefix", 12, RecordColumn::kText, 32},
     {"description", 44, RecordColumn::kText, 64}}};

const RecordKind kAutoRecvKind = {
    "autorecv", "automatic reception entry", QZ_SIZEOF_FAXAUTORECVINFO_TABLE, false, 0, 0,
    {{"port_id", 4, RecordColumn::kU32},
     {"enabled", 8, RecordColumn::kU32, 4, 0, 1},
     {"rings", 12, RecordColumn::kU32, 4, 0, 20},
     {"keep_days", 16, RecordColumn::kU32, 4, 0, 36500},
     {"number", 20, RecordColumn::kText, 32},
     {"name", 52, RecordColumn::kText, 64},
     {"description", 116, RecordColumn::kText, 52}}};

const RecordKind kHistoryKind = {
    "autorecv_history", "reception history entry", QZ_SIZEOF_AUTORECVHISTORY_TABLE, false, 0, 0,
    {{"time", 4, RecordColumn::kU32},
     {"port_id", 8, RecordColumn::kU32},
     {"recv_task_id", 12, RecordColumn::kU32},
     {"pages", 16, RecordColumn::kU32},
     {"line_number", 24, RecordColumn::kText, 32},
     {"sender_number", 56, RecordColumn::kText, 32}}};

const RecordKind kAuthorizationKind = {
    "authorizations", "authorization entry", QZ_SIZEOF_AUTHORIZEDINFO_TABLE, false, 0, 24,
    {{"user_id", 0, RecordColumn::kText, 20}, {"flags", 20, RecordColumn::kU32, 4, 0, 1}}};

const RecordKind kRouteKind = {
    "routes", "routing rule", QZ_SIZEOF_ROUTERCONFIG_TABLE, false, 0, 0,
    {{"port_id", 4, RecordColumn::kU32},
     {"target_kind", 8, RecordColumn::kU32, 4, 0, 2},
     {"priority", 12, RecordColumn::kU32},
     {"enabled", 16, RecordColumn::kU32, 4, 0, 1},
     {"number", 20, RecordColumn::kText, 32},
     {"sender", 52, RecordColumn::kText, 32},
     {"target", 84, RecordColumn::kText, 64},
     {"description", 148, RecordColumn::kText, 56}}};

std::string ApplyDialing(Store* store, uint32_t line_id, const std::string& number) {
  std::string digits = NormalizeNumber(number);
  return store->WithDb([&](sqlite3* db) {
    bool internal = false;
    std::string area, outside;
    bool have_outside = false;
    Stmt p(db, "SELECT kind, prefix FROM prefixes ORDER BY id");
    while (p.Step() == SQLITE_ROW) {
      std::string prefix = NormalizeNumber(p.Text(1));
      switch (p.Int(0)) {
        case QZ_PREFIX_INTERNAL: internal = internal || BeginsWith(digits, prefix); break;
        case QZ_PREFIX_LOCAL_AREA:
          if (!prefix.empty() && digits.size() > prefix.size() && BeginsWith(digits, prefix) &&
              prefix.size() > area.size())
            area = prefix;
          break;
        case QZ_PREFIX_OUTSIDE_LINE:
          if (!have_outside) outside = prefix;
          have_outside = true;
          break;
      }
    }
    std::string dial = digits.substr(area.size());
    Stmt r(db,
           "SELECT match_prefix, strip, prepend FROM dial_rules WHERE port_id = 0 OR"
           " port_id = ? ORDER BY priority, id");
    r.Bind(1, int64_t{line_id});
    while (r.Step() == SQLITE_ROW) {
      if (!BeginsWith(dial, NormalizeNumber(r.Text(0)))) continue;
      size_t strip = std::min(dial.size(), static_cast<size_t>(r.Int(1)));
      dial = NormalizeNumber(r.Text(2)) + dial.substr(strip);
      break;
    }
    return internal ? dial : outside + dial;
  });
}

bool UserNeedsAuthorization(Store* store, const std::string& user_id) {
  return store->WithDb([&](sqlite3* db) {
    Stmt q(db, "SELECT flags FROM authorizations WHERE user_id = ?");
    return q.Bind(1, std::string_view(user_id)) && q.Step() == SQLITE_ROW &&
           (q.Int(0) & QZ_AUTH_HOLD) != 0;
  });
}

std::vector<PrinterEntry> ServerPrinters(Store* store) {
  std::vector<PrinterEntry> printers;
  store->WithDb([&](sqlite3* db) {
    Stmt q(db, "SELECT name, value FROM config_pairs WHERE name LIKE 'printer:%' ORDER BY name");
    while (q.Step() == SQLITE_ROW) {
      PrinterEntry p;
      p.name = q.Text(0).substr(8);
      std::string value = q.Text(1);
      size_t bar = value.find('|');
      p.location = value.substr(0, bar);
      if (bar != std::string::npos) p.description = value.substr(bar + 1);
      p.is_default = printers.empty();
      printers.push_back(std::move(p));
    }
  });
#if defined(QZFAXD_HAVE_CUPS)
  if (printers.empty()) {
    cups_dest_t* dests = nullptr;
    int n = cupsGetDests2(CUPS_HTTP_DEFAULT, &dests);
    for (int i = 0; i < n; ++i) {
      PrinterEntry p;
      p.name = dests[i].name ? dests[i].name : "";
      const char* loc = cupsGetOption("printer-location", dests[i].num_options, dests[i].options);
      const char* info = cupsGetOption("printer-info", dests[i].num_options, dests[i].options);
      p.location = loc ? loc : "";
      p.description = info ? info : "";
      p.from_cups = true;
      p.is_default = dests[i].is_default != 0;
      printers.push_back(std::move(p));
    }
    cupsFreeDests(n, dests);
  }
#endif
  return printers;
}

std::vector<LineView> TelephonyHooks::Lines() { return ListLines(context_->store); }

bool TelephonyHooks::MayDial(uint32_t line_id, const std::string& number, int64_t now_ms) {
  return LineMayDial(context_->store, line_id, number, now_ms);
}

std::string TelephonyHooks::DialString(uint32_t line_id, const std::string& number) {
  return ApplyDialing(context_->store, line_id, number);
}

bool TelephonyHooks::NeedsAuthorization(const std::string& user_id) {
  return UserNeedsAuthorization(context_->store, user_id);
}

void TelephonyHooks::ReportLineState(uint32_t line_id, const std::string& state) {
  int64_t now_ms = context_->clock ? context_->clock->NowMs() : time(nullptr) * int64_t{1000};
  board_->Report(line_id, state, now_ms / 1000);
  // What a line dials is kept in the system log too ("line 2: dialing 90401234").
  if (state != "idle" && context_->system_log)
    context_->system_log->Write(SystemLog::Level::kInfo, "lines", "",
                                "line " + std::to_string(line_id) + ": " + state);
}

std::vector<Destination> RoutingHooks::Route(const ReceivedFax& fax) {
  std::vector<Destination> out;
  std::string number = NormalizeNumber(fax.line_number);
  std::string sender = NormalizeNumber(fax.sender_number);
  auto add = [&](uint32_t kind, std::string target) {
    if (target.empty() || kind > QZ_ROUTE_PRINTER) return;
    Destination d;
    d.kind = kind == QZ_ROUTE_USER         ? Destination::Kind::kUser
             : kind == QZ_ROUTE_DEPARTMENT ? Destination::Kind::kDepartment
                                           : Destination::Kind::kPrinter;
    d.id = std::move(target);
    for (const Destination& e : out)
      if (e.kind == d.kind && e.id == d.id) return;
    out.push_back(std::move(d));
  };
  int64_t now_s = fax.time_ms > 0 ? fax.time_ms / 1000 : time(nullptr);
  bool ok = context_->store->Transaction([&](sqlite3* db) {
    Stmt q(db,
           "SELECT target_kind, target, number, sender FROM routes WHERE enabled = 1 AND"
           " (port_id = 0 OR port_id = ?) ORDER BY priority, id");
    q.Bind(1, int64_t{fax.line_id});
    while (q.Step() == SQLITE_ROW) {
      std::string want = NormalizeNumber(q.Text(2));
      if ((!want.empty() && want != number) || !BeginsWith(sender, NormalizeNumber(q.Text(3))))
        continue;
      add(static_cast<uint32_t>(q.Int(0)), q.Text(1));
    }
    if (out.empty()) {
      QZCONFIG_RECEIVE rc = RecordAs<QZCONFIG_RECEIVE>(ConfigSection(db, 4).data());
      add(rc.dwDefaultKind, TextAt(reinterpret_cast<const uint8_t*>(rc.szDefaultTarget),
                                   sizeof rc.szDefaultTarget));
    }
    for (const Destination& d : out) {
      if (d.kind != Destination::Kind::kPrinter) continue;
      std::string state = "recorded";
      Stmt job(db,
               "INSERT INTO print_jobs (time, printer, recv_task_id, document, pages, state)"
               " VALUES (?, ?, ?, ?, ?, ?)");
      if (!job.Bind(1, now_s) || !job.Bind(2, std::string_view(d.id)) ||
          !job.Bind(3, int64_t{fax.recv_task_id}) ||
          !job.Bind(4, std::string_view(fax.document_path)) || !job.Bind(5, int64_t{fax.pages}) ||
          !job.Bind(6, std::string_view(state)) || job.Step() != SQLITE_DONE)
        return false;
    }
    // The automatic reception history, when an enabled entry covers the call.
    Stmt a(db, "SELECT number FROM autorecv WHERE enabled = 1 AND (port_id = 0 OR port_id = ?)");
    a.Bind(1, int64_t{fax.line_id});
    bool covered = false;
    while (!covered && a.Step() == SQLITE_ROW) {
      std::string want = NormalizeNumber(a.Text(0));
      covered = want.empty() || want == number;
    }
    if (!covered) return true;
    AUTORECVHISTORY_TABLE h;
    std::memset(&h, 0, sizeof h);
    h.dwTime = static_cast<uint32_t>(now_s);
    h.dwPortID = fax.line_id;
    h.dwRecvTaskID = fax.recv_task_id;
    h.dwPages = fax.pages;
    h.dwRouteCount = static_cast<uint32_t>(out.size());
    PutTextAt(reinterpret_cast<uint8_t*>(h.szLineNumber), sizeof h.szLineNumber, fax.line_number);
    PutTextAt(reinterpret_cast<uint8_t*>(h.szSenderNumber), sizeof h.szSenderNumber,
              fax.sender_number);
    std::string where;
    for (const Destination& d : out) where += (where.empty() ? "" : "; ") + DestinationText(d);
    PutTextAt(reinterpret_cast<uint8_t*>(h.szDestination), sizeof h.szDestination, where);
    Record r(sizeof h);
    std::memcpy(r.data(), &h, sizeof h);
    if (!InsertRecord(db, kHistoryKind, &r)) return false;
    QZCONFIG_LOGS logs = RecordAs<QZCONFIG_LOGS>(ConfigSection(db, 5).data());
    int64_t keep = logs.dwHistoryMaxRecords ? logs.dwHistoryMaxRecords : 10000;
    Stmt trim(db,
              "DELETE FROM autorecv_history WHERE id <= (SELECT id FROM autorecv_history"
              " ORDER BY id DESC LIMIT 1 OFFSET ?)");
    return trim.Bind(1, keep) && trim.Step() == SQLITE_DONE;
  });
  std::string text = "fax " + std::to_string(fax.recv_task_id) + " received on line " +
                     std::to_string(fax.line_id) + " (" + fax.line_number + ") from " +
                     (fax.sender_number.empty() ? "?" : fax.sender_number) + ": ";
  if (!ok) {
    if (context_->system_log)
      context_->system_log->Write(SystemLog::Level::kError, "routing", fax.sender_user,
                                  text + "store failure while routing");
    return out;
  }
  std::string where;
  for (const Destination& d : out) where += (where.empty() ? "" : ", ") + DestinationText(d);
  if (context_->system_log)
    context_->system_log->Write(out.empty() ? SystemLog::Level::kWarning : SystemLog::Level::kInfo,
                                "routing", fax.sender_user,
                                text + (out.empty() ? "no route" : "routed to " + where));
  return out;
}

bool DialingFamily::HandlesMain(uint16_t opnum) const {
  return opnum == 72 || FindProc(opnum) != nullptr;
}

int32_t DialingFamily::Main(Call& call, uint16_t opnum) {
  if (opnum == 72) return QueryPrinters(call);
  const TableProc* p = FindProc(opnum);
  if (p == nullptr) return call.Fail(kNotHandled, "not handled");
  Store* store = context_->store;
  int32_t rc = call.Require(kMask, p->right);
  if (rc != kOk) {
    if (p->op == TableProc::kQuery) SetReply(call, 3, 4, {});
    return rc;
  }
  if (p->op == TableProc::kQuery)
    return RunRecordQuery(call, store, *p->kind, call.arg(2).text, 3, 4);
  if (p->op == TableProc::kDeleteWhere) {
    std::vector<RecordField> fields = ConditionFieldsOf(*p->kind);
    Condition cond;
    std::string why;
    if (!ParseCondition(call.arg(2).text, fields, &cond, &why))
      return call.Fail(kBadCondition, "condition: " + why);
    std::optional<int64_t> n;
    if (!store->Transaction([&](sqlite3* db) { return (n = DeleteWhere(db, *p->kind, cond)).has_value(); }))
      return call.Fail(kStoreFailure, "store failure");
    call.Note("condition: " + call.arg(2).text.substr(0, 200) + " -> " + std::to_string(*n) +
              " deleted");
    return kOk;
  }
  PrepareRecord prepare;
  if (p->kind == &kAuthorizationKind) {
    prepare = [store](Record& r, bool, std::string* why) {
      return RequireUser(store, TextAt(r.data(), 20), why);
    };
  } else if (p->kind == &kRouteKind) {
    prepare = [store](Record& r, bool, std::string* why) {
      ROUTERCONFIG_TABLE route = RecordAs<ROUTERCONFIG_TABLE>(r.data());
      std::string target = TextAt(reinterpret_cast<const uint8_t*>(route.szTarget), 64);
      if (target.empty()) {
        *why = "routing rule without a target";
        return AsResult(kBadArgument);
      }
      return route.dwTargetKind == QZ_ROUTE_USER ? RequireUser(store, target, why) : kOk;
    };
  }
  int32_t command = call.arg(2).number;
  rc = RunRecordCommand(call, store, *p->kind, command, call.arg(3).bytes, call.arg(4).number,
                        p->ids_for_3, prepare);
  if (rc == kOk)
    SystemLogWrite(context_, call, "dialing",
                   std::string(p->kind->what) + " records changed (command " +
                       std::to_string(command) + ")");
  return rc;
}

int32_t DialingFamily::QueryPrinters(Call& call) {
  // Every logged-in user may see the printers.
  std::vector<PrinterEntry> printers = ServerPrinters(context_->store);
  std::vector<uint8_t> out;
  uint32_t id = 0;
  for (const PrinterEntry& p : printers) {
    if (out.size() + sizeof(PRINTERINFO) > kMaxReplyBytes) break;
    PRINTERINFO r;
    std::memset(&r, 0, sizeof r);
    r.dwPrinterID = ++id;
    r.dwFlags = (p.is_default ? QZ_PRINTER_DEFAULT : 0) | (p.from_cups ? QZ_PRINTER_FROM_CUPS : 0);
    PutTextAt(reinterpret_cast<uint8_t*>(r.szName), sizeof r.szName, p.name);
    PutTextAt(reinterpret_cast<uint8_t*>(r.szLocation), sizeof r.szLocation, p.location);
    PutTextAt(reinterpret_cast<uint8_t*>(r.szDescription), sizeof r.szDescription,
              p.description);
    AppendRecord(&out, r);
  }
  call.Note(std::to_string(id) + " printers");
  SetReply(call, 2, 3, std::move(out));
  return kOk;
}

}  // namespace qz::faxd
