// syslog_config.cc -- the system log, configuration sections and values.
#include "server/syslog_config.h"

#include <cstring>
#include <ctime>

#include "qzcsif/qzcsif.h"
#include "server/sql.h"

namespace qz::faxd {
namespace {

constexpr int kMask = 3;  // dwRights[3]
constexpr uint32_t kWriteConfig = 0x20;
constexpr uint32_t kReadConfig = 0x40;
constexpr uint32_t kReadSysLog = 0x400;
constexpr uint32_t kDeleteSysLog = 0x800;

constexpr size_t kMaxConfigBuffer = 65536;
constexpr size_t kMaxPairName = 119;
constexpr size_t kMaxPairValue = 255;
constexpr size_t kMaxLogText = 375;

// A field of a section, written by name and checked when a section is.
struct ConfigField {
  const char* name;
  int section;
  size_t offset;
  enum Type { kU32, kU16, kText } type;
  size_t width;
  uint32_t lo = 0, hi = 0xFFFFFFFFu;
};

const ConfigField kConfigFields[] = {
    {"ServerName", 0, 0, ConfigField::kText, 64},
    {"StationID", 0, 64, ConfigField::kText, 32},
    {"CountryCode", 0, 96, ConfigField::kText, 8},
    {"AreaCode", 0, 104, ConfigField::kText, 8},
    {"Organization", 0, 112, ConfigField::kText, 128},
    {"AdminMail", 0, 240, ConfigField::kText, 128},
    {"Retries", 1, 0, ConfigField::kU32, 4, 0, 20},
    {"RetryInterval", 1, 4, ConfigField::kU32, 4, 0, 86400},
    {"MaxPages", 1, 8, ConfigField::kU32, 4, 0, 100000},
    {"DialTimeout", 1, 12, ConfigField::kU32, 4, 0, 600},
    {"DefaultPriority", 1, 16, ConfigField::kU32, 4, 0, 255},
    {"ArchiveDir", 2, 4, ConfigField::kText, 260},
    {"ScriptDir", 2, 264, ConfigField::kText, 260},
    {"CoverPageDir", 2, 524, ConfigField::kText, 260},
    {"BackupDir", 2, 784, ConfigField::kText, 260},
    {"MailFlags", 3, 0, ConfigField::kU16, 2, 0, 0xFFFF},
    {"MailHost", 3, 4, ConfigField::kText, 64},
    {"MailPort", 3, 68, ConfigField::kU16, 2, 0, 0xFFFF},
    {"MailSender", 3, 70, ConfigField::kText, 40},
    {"DefaultRouteKind", 4, 4, ConfigField::kU32, 4, 0, 2},
    {"ReceiveKeepDays", 4, 8, ConfigField::kU32, 4, 0, 36500},
    {"DefaultRouteTarget", 4, 12, ConfigField::kText, 64},
    {"SysLogMaxRecords", 5, 0, ConfigField::kU32, 4, 0, 1000000},
    {"HistoryMaxRecords", 5, 4, ConfigField::kU32, 4, 0, 1000000},
    {"SysLogMinLevel", 5, 8, ConfigField::kU32, 4, 0, 2},
};

const ConfigField* FindField(const std::string& name) {
  for (const ConfigField& f : kConfigFields)
    if (name == f.name) return &f;
  return nullptr;
}

// Texts terminated within their fields and numbers in range.
bool ValidateSection(int section, const std::vector<uint8_t>& data, std::string* why) {
  for (const ConfigField& f : kConfigFields) {
    if (f.section != section) continue;
    const uint8_t* p = data.data() + f.offset;
    uint32_t v = 0;
    if (f.type == ConfigField::kText) {
      if (std::memchr(p, 0, f.width) != nullptr) continue;
      *why = std::string(f.name) + " is not terminated within its field";
      return false;
    }
    v = f.type == ConfigField::kU16 ? uint32_t{p[0]} | uint32_t{p[1]} << 8 : U32At(p);
    if (v < f.lo || v > f.hi) {
      *why = std::string(f.name) + " " + std::to_string(v) + " out of range";
      return false;
    }
  }
  return true;
}

std::vector<uint8_t> DefaultSection(int section) {
  std::vector<uint8_t> d(kConfigSectionSizes[section], 0);
  switch (section) {
    case 0: PutTextAt(d.data(), 64, "qzfaxd"); break;
    case 1:
      PutU32At(d.data(), 3);         // Retries
      PutU32At(d.data() + 4, 300);   // RetryInterval
      PutU32At(d.data() + 12, 60);   // DialTimeout
      PutU32At(d.data() + 16, 128);  // DefaultPriority
      break;
    case 5:
      PutU32At(d.data(), 10000);
      PutU32At(d.data() + 4, 10000);
      break;
    default: break;
  }
  return d;
}

bool StoreSection(sqlite3* db, int section, const std::vector<uint8_t>& data) {
  Stmt s(db, "INSERT OR REPLACE INTO config_sections (section, layout, data) VALUES (?, ?, ?)");
  return s.Bind(1, int64_t{section}) && s.Bind(2, int64_t{kConfigLayoutVersion}) &&
         s.BindBlob(3, data) && s.Step() == SQLITE_DONE;
}

}  // namespace

const SchemaPart kSysConfigSchemaPart = {
    "syslog_config",
    {{1,
      "CREATE TABLE config_sections (section INTEGER PRIMARY KEY, layout INTEGER NOT NULL,"
      " data BLOB NOT NULL);"
      "CREATE TABLE config_pairs (name TEXT PRIMARY KEY, value TEXT NOT NULL);"
      "CREATE TABLE system_log (id INTEGER PRIMARY KEY, time INTEGER, level INTEGER,"
      " source TEXT, user_id TEXT, record BLOB NOT NULL);"
      "CREATE INDEX system_log_time ON system_log(time);"}}};

const RecordKind kSysLogKind = {"system_log", "system log entry", QZ_SIZEOF_SYSLOG_TABLE, false,
                                0, 0,
                                {{"time", 4, RecordColumn::kU32},
                                 {"level", 8, RecordColumn::kU32, 4, 0, 2},
                                 {"source", 12, RecordColumn::kText, 32},
                                 {"user_id", 44, RecordColumn::kText, 20}}};

std::vector<uint8_t> ConfigSection(sqlite3* db, int section) {
  if (section == 6) {
    std::vector<uint8_t> all(kConfigSectionSizes[6], 0);
    const size_t offsets[6] = {0, 1560, 1584, 2628, 2740, 2904};
    for (int s = 0; s < 6; ++s) {
      std::vector<uint8_t> part = ConfigSection(db, s);
      std::memcpy(all.data() + offsets[s], part.data(), part.size());
    }
    return all;
  }
  Stmt q(db, "SELECT data FROM config_sections WHERE section = ?");
  if (q.Bind(1, int64_t{section}) && q.Step() == SQLITE_ROW) {
    std::vector<uint8_t> d = q.Blob(0);
    if (d.size() == kConfigSectionSizes[section]) return d;
  }
  return DefaultSection(section);
}

void SystemLogStore::Write(Level level, const std::string& source, const std::string& user_id,
                           const std::string& text) {
  int64_t now = context_->clock ? context_->clock->NowMs() / 1000 : time(nullptr);
  SYSLOG_TABLE e;
  std::memset(&e, 0, sizeof e);
  e.dwTime = static_cast<uint32_t>(now);
  e.dwLevel = static_cast<uint32_t>(level);
  PutTextAt(reinterpret_cast<uint8_t*>(e.szSource), sizeof e.szSource, source);
  PutTextAt(reinterpret_cast<uint8_t*>(e.szUserID), sizeof e.szUserID, user_id);
  PutTextAt(reinterpret_cast<uint8_t*>(e.szText), sizeof e.szText, text.substr(0, kMaxLogText));
  bool ok = context_->store->Transaction([&](sqlite3* db) {
    QZCONFIG_LOGS logs = RecordAs<QZCONFIG_LOGS>(ConfigSection(db, 5).data());
    if (e.dwLevel < logs.dwMinLevel) return true;
    Record r(sizeof e);
    std::memcpy(r.data(), &e, sizeof e);
    if (!InsertRecord(db, kSysLogKind, &r)) return false;
    int64_t keep = logs.dwSysLogMaxRecords ? logs.dwSysLogMaxRecords : 10000;
    Stmt trim(db,
              "DELETE FROM system_log WHERE id <= (SELECT id FROM system_log ORDER BY id DESC"
              " LIMIT 1 OFFSET ?)");
    return trim.Bind(1, keep) && trim.Step() == SQLITE_DONE;
  });
  if (!ok && context_->log) context_->log("system log write failed: " + text);
}

bool SysConfigFamily::HandlesMain(uint16_t opnum) const {
  return opnum == 5 || opnum == 6 || opnum == 62 || opnum == 63 ||
         (opnum >= 65 && opnum <= 68);
}

void SysConfigFamily::Changed(const Call& call, const std::string& what) {
  log_.Write(SystemLog::Level::kInfo, "configuration", call.user().id, what);
}

int32_t SysConfigFamily::Main(Call& call, uint16_t opnum) {
  int32_t rc;
  switch (opnum) {
    case 5:  // rpcQuerySysLog
      if ((rc = call.Require(kMask, kReadSysLog)) != kOk) {
        SetReply(call, 3, 4, {});
        return rc;
      }
      return RunRecordQuery(call, context_->store, kSysLogKind, call.arg(2).text, 3, 4);
    case 6: {  // rpcDelSysLog
      if ((rc = call.Require(kMask, kDeleteSysLog)) != kOk) return rc;
      std::vector<RecordField> fields = ConditionFieldsOf(kSysLogKind);
      Condition cond;
      std::string why;
      if (!ParseCondition(call.arg(2).text, fields, &cond, &why))
        return call.Fail(kBadCondition, "condition: " + why);
      std::optional<int64_t> n;
      if (!context_->store->Transaction(
              [&](sqlite3* db) { return (n = DeleteWhere(db, kSysLogKind, cond)).has_value(); }))
        return call.Fail(kStoreFailure, "store failure");
      std::string text = "condition: " + call.arg(2).text.substr(0, 200) + " -> " +
                         std::to_string(*n) + " deleted";
      call.Note(text);
      log_.Write(SystemLog::Level::kInfo, "system log", call.user().id, text);
      return kOk;
    }
    case 62:  // rpcGetSystemConfig
      if ((rc = call.Require(kMask, kReadConfig)) != kOk) return rc;
      if (call.arg(2).number < 0 || call.arg(2).number > 5)
        return call.Fail(kBadArgument, "section " + std::to_string(call.arg(2).number));
      return GetSection(call, call.arg(2).number, 3, 4);
    case 63:  // rpcGetSystemConfigEx
      if ((rc = call.Require(kMask, kReadConfig)) != kOk) return rc;
      return GetSection(call, 6, 2, 3);
    case 65: return SetNamed(call, false);
    case 66: return SetPair(call);
    case 67: return SetNamed(call, true);
    case 68: return SetSection(call);
    default: return call.Fail(kNotHandled, "not handled");
  }
}

int32_t SysConfigFamily::GetSection(Call& call, int section, size_t block_pos, size_t size_pos) {
  int32_t size = call.arg(size_pos).number;
  std::vector<uint8_t>& block = call.arg(block_pos).bytes;
  size_t need = kConfigSectionSizes[section];
  if (!BlockMatches(call, block_pos, size_pos) || static_cast<size_t>(size) < need ||
      static_cast<size_t>(size) > kMaxConfigBuffer)
    return call.Fail(kBadRecord, "section " + std::to_string(section) + ": buffer of " +
                                     std::to_string(size) + " bytes, needs " +
                                     std::to_string(need));
  std::vector<uint8_t> data = context_->store->WithDb(
      [&](sqlite3* db) { return ConfigSection(db, section); });
  std::fill(block.begin(), block.end(), 0);
  std::memcpy(block.data(), data.data(), data.size());
  call.Note("section " + std::to_string(section) + " read");
  return kOk;
}

int32_t SysConfigFamily::SetSection(Call& call) {
  int32_t rc = call.Require(kMask, kWriteConfig);
  if (rc != kOk) return rc;
  int32_t section = call.arg(2).number;
  if (section < 0 || section > 5)
    return call.Fail(kBadArgument, "section " + std::to_string(section) + " is not writable");
  const std::vector<uint8_t>& data = call.arg(3).bytes;
  if (!BlockMatches(call, 3, 4) || data.size() != kConfigSectionSizes[section])
    return call.Fail(kBadRecord, "section " + std::to_string(section) + " of " +
                                     std::to_string(call.arg(4).number) + " bytes");
  std::string why;
  if (!ValidateSection(section, data, &why))
    return call.Fail(kBadRecord, "section " + std::to_string(section) + ": " + why);
  if (!context_->store->Transaction([&](sqlite3* db) { return StoreSection(db, section, data); }))
    return call.Fail(kStoreFailure, "store failure");
  std::string text = "section " + std::to_string(section) + " written";
  call.Note(text);
  Changed(call, text);
  return kOk;
}

int32_t SysConfigFamily::SetNamed(Call& call, bool numeric) {
  int32_t rc = call.Require(kMask, kWriteConfig);
  if (rc != kOk) return rc;
  const std::string name = call.arg(2).text.substr(0, 64);
  if (!numeric && name == "SysLogBackup") return BackupSysLog(call, call.arg(3).text);
  const ConfigField* f = FindField(name);
  if (f == nullptr) return call.Fail(kUnknownConfigName, "unknown name " + name);
  if ((f->type == ConfigField::kText) == numeric)
    return call.Fail(kBadArgument, name + (numeric ? " takes a text" : " takes a number"));
  std::string shown;
  if (numeric) {
    int64_t v = static_cast<uint32_t>(call.arg(3).number);
    if (v < f->lo || v > f->hi)
      return call.Fail(kBadArgument, name + " " + std::to_string(v) + " out of range");
    shown = std::to_string(v);
  } else {
    if (call.arg(3).text.size() >= f->width)
      return call.Fail(kBadArgument, name + " longer than " + std::to_string(f->width - 1));
    shown = "\"" + call.arg(3).text + "\"";
  }
  bool ok = context_->store->Transaction([&](sqlite3* db) {
    std::vector<uint8_t> data = ConfigSection(db, f->section);
    uint8_t* p = data.data() + f->offset;
    if (f->type == ConfigField::kText) {
      PutTextAt(p, f->width, call.arg(3).text);
    } else if (f->type == ConfigField::kU16) {
      p[0] = static_cast<uint8_t>(call.arg(3).number);
      p[1] = static_cast<uint8_t>(call.arg(3).number >> 8);
    } else {
      PutU32At(p, static_cast<uint32_t>(call.arg(3).number));
    }
    return StoreSection(db, f->section, data);
  });
  if (!ok) return call.Fail(kStoreFailure, "store failure");
  std::string text = name + " = " + shown.substr(0, 200);
  call.Note(text);
  Changed(call, text);
  return kOk;
}

int32_t SysConfigFamily::SetPair(Call& call) {
  int32_t rc = call.Require(kMask, kWriteConfig);
  if (rc != kOk) return rc;
  const std::string& name = call.arg(2).text;
  const std::string& value = call.arg(3).text;
  if (name.empty() || name.size() > kMaxPairName || value.size() > kMaxPairValue)
    return call.Fail(kBadArgument, "pair name of " + std::to_string(name.size()) +
                                       ", value of " + std::to_string(value.size()) + " characters");
  bool ok = context_->store->Transaction([&](sqlite3* db) {
    Stmt s(db, value.empty() ? "DELETE FROM config_pairs WHERE name = ?"
                             : "INSERT OR REPLACE INTO config_pairs (name, value) VALUES (?, ?)");
    return s.Bind(1, std::string_view(name)) &&
           (value.empty() || s.Bind(2, std::string_view(value))) && s.Step() == SQLITE_DONE;
  });
  if (!ok) return call.Fail(kStoreFailure, "store failure");
  std::string text = "pair " + name + (value.empty() ? " removed" : " = \"" + value + "\"");
  call.Note(text);
  Changed(call, text);
  return kOk;
}

int32_t SysConfigFamily::BackupSysLog(Call& call, const std::string& condition) {
  int32_t rc = call.Require(kMask, kReadSysLog);  // besides the right to write configuration
  if (rc != kOk) return rc;
  if (context_->data_dir.empty()) return call.Fail(kFileFailure, "backup: no data directory");
  std::vector<RecordField> fields = ConditionFieldsOf(kSysLogKind);
  Condition cond;
  std::string why;
  if (!ParseCondition(condition, fields, &cond, &why))
    return call.Fail(kBadCondition, "backup condition: " + why);
  std::vector<Record> records;
  if (!context_->store->WithDb([&](sqlite3* db) {
        return QueryRecords(db, kSysLogKind, cond, &records, SIZE_MAX);
      }))
    return call.Fail(kStoreFailure, "store failure");
  std::vector<uint8_t> bytes;
  for (const Record& r : records) bytes.insert(bytes.end(), r.begin(), r.end());
  int64_t now = context_->clock ? context_->clock->NowMs() / 1000 : time(nullptr);
  std::string path = context_->data_dir + "/backups/syslog-" + std::to_string(now) + ".bin";
  if (!WriteFileAtomically(path, bytes.data(), bytes.size(), &why))
    return call.Fail(kFileFailure, "backup: " + why);
  std::string text = "system log backup: " + std::to_string(records.size()) + " entries to " + path;
  call.Note(text);
  Changed(call, text);
  return kOk;
}

}  // namespace qz::faxd
