// lines.cc -- devices, lines, limitation rules, live line status, scripts.
#include "server/lines.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "qzcsif/qzcsif.h"
#include "server/sql.h"

namespace qz::faxd {
namespace {

// Rights (dwRights[3]) of the procedures.
constexpr int kMask = 3;
constexpr uint32_t kChangeLines = 0x4;     // 31, 32, 34, 35, 36
constexpr uint32_t kReadLines = 0x8;       // 33, 71
constexpr uint32_t kChangeScripts = 0x4000;
constexpr uint32_t kReadScripts = 0x8000;

constexpr size_t kMaxScriptText = 65536;

int64_t NowSeconds(const ServerContext* context) {
  return context && context->clock ? context->clock->NowMs() / 1000 : time(nullptr);
}

bool InWindow(int64_t minute, uint32_t from, uint32_t to) {
  if (from == to) return true;
  if (from < to) return minute >= from && minute < to;
  return minute >= from || minute < to;
}

}  // namespace

const SchemaPart kLinesSchemaPart = {
    "lines",
    {{1,
      "CREATE TABLE devices (id INTEGER PRIMARY KEY, name TEXT, model TEXT, flags INTEGER,"
      " record BLOB NOT NULL);"
      "CREATE TABLE lines (id INTEGER PRIMARY KEY, device_id INTEGER, state INTEGER,"
      " bps INTEGER, flags INTEGER, number TEXT, name TEXT, record BLOB NOT NULL);"
      "CREATE TABLE line_rules (id INTEGER PRIMARY KEY, port_id INTEGER, action INTEGER,"
      " from_minute INTEGER, to_minute INTEGER, prefix TEXT, record BLOB NOT NULL);"
      "CREATE INDEX line_rules_port ON line_rules(port_id);"
      "CREATE TABLE scripts (id INTEGER PRIMARY KEY, name TEXT UNIQUE, flags INTEGER,"
      " description TEXT, record BLOB NOT NULL);"}}};

const RecordKind kDeviceKind = {
    "devices", "device", QZ_SIZEOF_DEVICEINFO_TABLE, false, 0, 0,
    {{"name", 12, RecordColumn::kText, 32},
     {"model", 44, RecordColumn::kText, 20},
     {"flags", 8, RecordColumn::kU32, 4, 0, 1}}};

const RecordKind kLineKind = {
    "lines", "line", QZ_SIZEOF_PORTINFO_TABLE, false, 0, 0,
    {{"device_id", 4, RecordColumn::kU32},
     {"state", 8, RecordColumn::kU32, 4, 0, 2},
     {"bps", 12, RecordColumn::kU32, 4, 0, 33600},
     {"flags", 16, RecordColumn::kU32, 4, 0, 3},
     {"number", 20, RecordColumn::kText, 32},
     {"name", 52, RecordColumn::kText, 32}}};

const RecordKind kLineRuleKind = {
    "line_rules", "limitation rule", QZ_SIZEOF_LINECHECK_TABLE, false, 0, 0,
    {{"port_id", 4, RecordColumn::kU32},
     {"action", 8, RecordColumn::kU32, 4, 0, 1},
     {"from_minute", 12, RecordColumn::kU32, 4, 0, 1439},
     {"to_minute", 16, RecordColumn::kU32, 4, 0, 1440},
     {"prefix", 20, RecordColumn::kText, 28}}};

const RecordKind kScriptKind = {
    "scripts", "script", QZ_SIZEOF_SCRIPTINFO, true, QZ_SIZEOF_SCRIPTINFO + kMaxScriptText, 4,
    {{"name", 12, RecordColumn::kText, 64},
     {"flags", 8, RecordColumn::kU32},
     {"description", 84, RecordColumn::kText, 20}}};

void LineBoard::Report(uint32_t line_id, const std::string& activity, int64_t now_s) {
  std::lock_guard<std::mutex> lock(mu_);
  State& s = states_[line_id];
  s.activity = activity.substr(0, 47);
  s.since_s = now_s;
}

std::optional<LineBoard::State> LineBoard::Get(uint32_t line_id) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = states_.find(line_id);
  if (it == states_.end()) return std::nullopt;
  return it->second;
}

std::string NormalizeNumber(const std::string& number) {
  std::string out;
  for (char c : number)
    if ((c >= '0' && c <= '9') || c == '+' || c == '*' || c == '#') out += c;
  return out;
}

bool ValidScriptName(const std::string& name) {
  if (name.empty() || name.size() > 63 || name[0] == '.') return false;
  for (char c : name)
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
          c == '.' || c == '_' || c == '-'))
      return false;
  return true;
}

std::string ScriptPath(const std::string& data_dir, const std::string& name) {
  return data_dir + "/scripts/" + name;
}

bool ScriptListed(Store* store, const std::string& name) {
  return store->WithDb([&](sqlite3* db) {
    Stmt s(db, "SELECT 1 FROM scripts WHERE name = ?");
    return s.Bind(1, std::string_view(name)) && s.Step() == SQLITE_ROW;
  });
}

std::vector<LineView> ListLines(Store* store) {
  std::vector<LineView> lines;
  store->WithDb([&](sqlite3* db) {
    Stmt q(db, "SELECT id, number, name, state, bps FROM lines ORDER BY id");
    while (q.Step() == SQLITE_ROW) {
      LineView v;
      v.id = static_cast<uint32_t>(q.Int(0));
      v.number = q.Text(1);
      v.name = q.Text(2);
      v.in_service = q.Int(3) == QZ_PORT_IN_SERVICE;
      v.bits_per_second = q.Int(4) > 0 ? static_cast<uint32_t>(q.Int(4)) : 14400;
      lines.push_back(std::move(v));
    }
  });
  return lines;
}

bool LineMayDial(Store* store, uint32_t line_id, const std::string& number, int64_t now_ms) {
  std::string digits = NormalizeNumber(number);
  int64_t minute = ((now_ms / 60000) % 1440 + 1440) % 1440;
  return store->WithDb([&](sqlite3* db) {
    Stmt line(db, "SELECT state FROM lines WHERE id = ?");
    if (!line.Bind(1, int64_t{line_id}) || line.Step() != SQLITE_ROW ||
        line.Int(0) != QZ_PORT_IN_SERVICE)
      return false;
    Stmt q(db,
           "SELECT action, from_minute, to_minute, prefix FROM line_rules"
           " WHERE port_id = 0 OR port_id = ?");
    if (!q.Bind(1, int64_t{line_id})) return false;
    bool has_allow = false, allowed = false;
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW) {
      bool allow = q.Int(0) == QZ_LINECHECK_ALLOW;
      has_allow = has_allow || allow;
      bool match = digits.rfind(NormalizeNumber(q.Text(3)), 0) == 0 &&
                   InWindow(minute, static_cast<uint32_t>(q.Int(1)),
                            static_cast<uint32_t>(q.Int(2)));
      if (!match) continue;
      if (!allow) return false;
      allowed = true;
    }
    return rc == SQLITE_DONE && (allowed || !has_allow);
  });
}

bool SeedLinesIfNone(Store* store, uint32_t count, uint32_t first_number) {
  return store->Transaction([&](sqlite3* db) {
    Stmt n(db, "SELECT count(*) FROM lines");
    if (n.Step() != SQLITE_ROW) return false;
    if (n.Int(0) > 0) return true;
    for (uint32_t i = 0; i < count; ++i) {
      PORTINFO_TABLE p;
      std::memset(&p, 0, sizeof p);
      p.dwState = QZ_PORT_IN_SERVICE;
      p.dwBitsPerSecond = 14400;
      p.dwFlags = QZ_PORT_SEND | QZ_PORT_RECEIVE;
      std::string number = std::to_string(uint64_t{first_number} + i);
      PutTextAt(reinterpret_cast<uint8_t*>(p.szNumber), sizeof p.szNumber, number);
      PutTextAt(reinterpret_cast<uint8_t*>(p.szName), sizeof p.szName,
                "line " + std::to_string(i + 1));
      Record r(sizeof p);
      std::memcpy(r.data(), &p, sizeof p);
      if (!InsertRecord(db, kLineKind, &r)) return false;
    }
    return true;
  });
}

bool LinesFamily::HandlesMain(uint16_t opnum) const {
  return (opnum >= 31 && opnum <= 39) || opnum == 71;
}

int32_t LinesFamily::Main(Call& call, uint16_t opnum) {
  Store* store = context_->store;
  int32_t rc;
  switch (opnum) {
    case 31:  // rpcDeviceOP
      if ((rc = call.Require(kMask, kChangeLines)) != kOk) return rc;
      rc = RunRecordCommand(call, store, kDeviceKind, call.arg(2).number, call.arg(3).bytes,
                            call.arg(4).number, false,
                            [](Record& r, bool, std::string*) {
                              PutU32At(r.data() + 4, 0);
                              return kOk;
                            });
      if (rc == kOk)
        SystemLogWrite(context_, call, "lines",
                       "devices changed (command " + std::to_string(call.arg(2).number) + ")");
      return rc;
    case 32:  // rpcGetDeviceInfo
      if ((rc = call.Require(kMask, kChangeLines)) != kOk) {
        SetReply(call, 2, 3, {});
        return rc;
      }
      return RunRecordQuery(call, store, kDeviceKind, "", 2, 3, [](sqlite3* db, Record& r) {
        Stmt n(db, "SELECT count(*) FROM lines WHERE device_id = ?");
        if (n.Bind(1, int64_t{U32At(r.data())}) && n.Step() == SQLITE_ROW)
          PutU32At(r.data() + 4, static_cast<uint32_t>(n.Int(0)));
      });
    case 33:  // rpcGetPortLimited
    case 71:  // rpcGetPortList
      if ((rc = call.Require(kMask, kReadLines)) != kOk) {
        SetReply(call, 3, 4, {});
        return rc;
      }
      return RunRecordQuery(call, store, opnum == 33 ? kLineRuleKind : kLineKind,
                            call.arg(2).text, 3, 4);
    case 34:  // rpcPortLimitedOP
      if ((rc = call.Require(kMask, kChangeLines)) != kOk) return rc;
      rc = RunRecordCommand(call, store, kLineRuleKind, call.arg(2).number, call.arg(3).bytes,
                            call.arg(4).number, false);
      if (rc == kOk)
        SystemLogWrite(context_, call, "lines",
                       "limitation rules changed (command " + std::to_string(call.arg(2).number) +
                           ")");
      return rc;
    case 35: return SetPortStatus(call);
    case 36: return StopPort(call);
    case 37: return GetPortRealInfo(call);
    case 38:  // rpcGetScriptList
      if ((rc = call.Require(kMask, kReadScripts)) != kOk) {
        SetReply(call, 3, 4, {});
        return rc;
      }
      // dwSize is the file's size now: the script-file procedures replace
      // and delete the file without touching the record.
      return RunRecordQuery(call, store, kScriptKind, call.arg(2).text, 3, 4,
                            [&](sqlite3*, Record& r) {
                              std::error_code ec;
                              const auto size = std::filesystem::file_size(
                                  ScriptPath(context_->data_dir, TextAt(r.data() + 12, 64)), ec);
                              PutU32At(r.data() + 76, ec ? 0 : static_cast<uint32_t>(size));
                            });
    case 39: return ScriptFileOp(call);
    default: return call.Fail(kNotHandled, "not handled");
  }
}

int32_t LinesFamily::SetPortStatus(Call& call) {
  int32_t rc = call.Require(kMask, kChangeLines);
  if (rc != kOk) return rc;
  std::vector<Record> records;
  std::string why;
  if (!SplitRecords(kLineKind, call.arg(2).bytes, call.arg(3).number, &records, &why))
    return call.Fail(kBadRecord, "lines: " + why);
  for (Record& r : records) {
    if (!ValidateRecord(kLineKind, r, &why)) return call.Fail(kBadRecord, "line: " + why);
    PORTINFO_TABLE p = RecordAs<PORTINFO_TABLE>(r.data());
    if (p.dwBitsPerSecond != 0 && p.dwBitsPerSecond < 2400)
      return call.Fail(kBadArgument, "line: " + std::to_string(p.dwBitsPerSecond) + " bit/s");
    if (p.dwPortID == 0 && p.dwState == QZ_PORT_REMOVE)
      return call.Fail(kBadArgument, "line: removing line 0");
    if (p.dwBitsPerSecond == 0) PutU32At(r.data() + 12, 14400);
  }
  int32_t status = kOk;
  std::string done;
  bool ok = context_->store->Transaction([&](sqlite3* db) {
    for (Record& r : records) {
      PORTINFO_TABLE p = RecordAs<PORTINFO_TABLE>(r.data());
      if (p.dwDeviceID != 0 && !GetRecord(db, kDeviceKind, p.dwDeviceID)) {
        status = AsResult(kNoSuchRecord);
        done = "no device " + std::to_string(p.dwDeviceID);
        return false;
      }
      bool found = true;
      std::string number = TextAt(r.data() + 20, 32);
      if (p.dwPortID == 0) {
        std::optional<uint32_t> id = InsertRecord(db, kLineKind, &r);
        if (!id) return false;
        done += "; line " + std::to_string(*id) + " (" + number + ") added";
      } else if (p.dwState == QZ_PORT_REMOVE) {
        if (!DeleteRecord(db, kLineKind, p.dwPortID, &found)) return false;
        done += "; line " + std::to_string(p.dwPortID) + " removed";
      } else {
        if (!UpdateRecord(db, kLineKind, r, &found)) return false;
        done += "; line " + std::to_string(p.dwPortID) + " (" + number + ")";
      }
      if (!found) {
        status = AsResult(kNoSuchRecord);
        done = "no line " + std::to_string(p.dwPortID);
        return false;
      }
      if (p.dwState != QZ_PORT_REMOVE)
        done += p.dwState == QZ_PORT_IN_SERVICE ? " in service" : " out of service";
    }
    return true;
  });
  if (status != kOk) return call.Fail(static_cast<ServerStatus>(status), "lines: " + done);
  if (!ok) return call.Fail(kStoreFailure, "lines: store failure");
  call.Note("lines" + done);
  SystemLogWrite(context_, call, "lines", done.substr(2));
  return kOk;
}

int32_t LinesFamily::StopPort(Call& call) {
  int32_t rc = call.Require(kMask, kChangeLines);
  if (rc != kOk) return rc;
  std::vector<Record> records;
  std::string why;
  if (!SplitRecords(kLineKind, call.arg(2).bytes, call.arg(3).number, &records, &why))
    return call.Fail(kBadRecord, "lines: " + why);
  uint32_t missing = 0;
  std::string done;
  bool ok = context_->store->Transaction([&](sqlite3* db) {
    for (const Record& given : records) {
      uint32_t id = U32At(given.data());
      std::optional<Record> r = GetRecord(db, kLineKind, id);
      bool found = false;
      if (r) {
        PutU32At(r->data() + 8, QZ_PORT_OUT_OF_SERVICE);
        if (!UpdateRecord(db, kLineKind, *r, &found)) return false;
      }
      if (!found) {
        missing = id;
        return false;
      }
      done += (done.empty() ? "" : ", ") + std::to_string(id);
    }
    return true;
  });
  if (missing != 0 || (ok && records.empty()))
    return call.Fail(kNoSuchRecord, "no line " + std::to_string(missing));
  if (!ok) return call.Fail(kStoreFailure, "lines: store failure");
  call.Note("out of service: line " + done);
  SystemLogWrite(context_, call, "lines", "line " + done + " out of service");
  return kOk;
}

int32_t LinesFamily::GetPortRealInfo(Call& call) {
  // Every logged-in user may see what the lines are doing.
  SetReply(call, 2, 3, {});
  std::vector<LineView> lines = ListLines(context_->store);
  std::vector<uint8_t> out;
  for (const LineView& l : lines) {
    PORT_CURRENT_STATUS s;
    std::memset(&s, 0, sizeof s);
    s.dwPortID = l.id;
    PutTextAt(reinterpret_cast<uint8_t*>(s.szNumber), sizeof s.szNumber, l.number);
    std::optional<LineBoard::State> st = board_.Get(l.id);
    std::string activity = st ? st->activity : "idle";
    if (!l.in_service) {
      s.dwState = QZ_LINESTATE_OUT_OF_SERVICE;
      if (!st || activity == "idle") activity = "out of service";
    } else {
      s.dwState = activity.empty() || activity == "idle" ? QZ_LINESTATE_IDLE : QZ_LINESTATE_BUSY;
    }
    s.dwSince = st ? static_cast<uint32_t>(st->since_s) : 0;
    PutTextAt(reinterpret_cast<uint8_t*>(s.szActivity), sizeof s.szActivity, activity);
    AppendRecord(&out, s);
  }
  call.Note(std::to_string(lines.size()) + " lines");
  SetReply(call, 2, 3, std::move(out));
  return kOk;
}

int32_t LinesFamily::ScriptFileOp(Call& call) {
  int32_t rc = call.Require(kMask, kChangeScripts);
  if (rc != kOk) return rc;
  int32_t command = call.arg(2).number;
  if (command != 1 && command != 3)
    return call.Fail(kBadArgument, "scripts: command " + std::to_string(command));
  if (context_->data_dir.empty()) return call.Fail(kFileFailure, "scripts: no data directory");
  const std::vector<uint8_t>& block = call.arg(3).bytes;
  std::vector<Record> records;
  std::string why;
  if (command == 3) {
    if (!BlockMatches(call, 3, 4) || block.empty() || block.size() % 4 != 0)
      return call.Fail(kBadRecord, "scripts: identifier list of " +
                                       std::to_string(call.arg(4).number) + " bytes");
  } else {
    if (!SplitRecords(kScriptKind, block, call.arg(4).number, &records, &why))
      return call.Fail(kBadRecord, "scripts: " + why);
    for (const Record& r : records) {
      if (!ValidateRecord(kScriptKind, r, &why)) return call.Fail(kBadRecord, "script: " + why);
      std::string name = TextAt(r.data() + 12, 64);
      if (!ValidScriptName(name)) return call.Fail(kBadArgument, "script name \"" + name + "\"");
    }
  }
  int32_t status = kOk;
  std::string done;
  std::vector<std::string> gone;  // files to remove once committed
  int64_t now = NowSeconds(context_);
  auto refuse = [&](ServerStatus s, std::string text) {
    status = AsResult(s);
    done = std::move(text);
    return false;
  };
  bool ok = context_->store->Transaction([&](sqlite3* db) {
    for (size_t i = 0; command == 3 && i < block.size(); i += 4) {
      uint32_t id = U32At(block.data() + i);
      std::optional<Record> old = GetRecord(db, kScriptKind, id);
      bool found = false;
      if (!old) return refuse(kNoSuchRecord, "no script " + std::to_string(id));
      if (!DeleteRecord(db, kScriptKind, id, &found)) return false;
      gone.push_back(TextAt(old->data() + 12, 64));
      done += (done.empty() ? "deleted " : ",") + std::to_string(id);
    }
    for (const Record& r : records) {
      Record fixed(r.begin(), r.begin() + QZ_SIZEOF_SCRIPTINFO);
      PutU32At(fixed.data(), QZ_SIZEOF_SCRIPTINFO);
      PutU32At(fixed.data() + 76, static_cast<uint32_t>(r.size() - QZ_SIZEOF_SCRIPTINFO));
      PutU32At(fixed.data() + 80, static_cast<uint32_t>(now));
      uint32_t id = U32At(fixed.data() + 4);
      std::string name = TextAt(fixed.data() + 12, 64);
      bool found = true, duplicate = false;
      if (id == 0) {
        std::optional<uint32_t> added = InsertRecord(db, kScriptKind, &fixed, &duplicate);
        if (!added) return duplicate ? refuse(kDuplicate, "script name " + name + " taken") : false;
        id = *added;
      } else {
        std::optional<Record> old = GetRecord(db, kScriptKind, id);
        if (!old) return refuse(kNoSuchRecord, "no script " + std::to_string(id));
        if (!UpdateRecord(db, kScriptKind, fixed, &found, &duplicate))
          return duplicate ? refuse(kDuplicate, "script name " + name + " taken") : false;
        std::string old_name = TextAt(old->data() + 12, 64);
        if (old_name != name) gone.push_back(old_name);
      }
      if (!WriteFileAtomically(ScriptPath(context_->data_dir, name),
                               r.data() + QZ_SIZEOF_SCRIPTINFO, r.size() - QZ_SIZEOF_SCRIPTINFO,
                               &why))
        return refuse(kFileFailure, why);
      done += (done.empty() ? "stored " : ",") + std::to_string(id) + " " + name;
    }
    return true;
  });
  if (status != kOk) return call.Fail(static_cast<ServerStatus>(status), "scripts: " + done);
  if (!ok) return call.Fail(kStoreFailure, "scripts: store failure");
  for (const std::string& name : gone) unlink(ScriptPath(context_->data_dir, name).c_str());
  call.Note("scripts " + done);
  SystemLogWrite(context_, call, "lines", "scripts " + done);
  return kOk;
}

}  // namespace qz::faxd
