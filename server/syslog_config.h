// syslog_config.h -- the system log, the configuration sections and the
// named configuration values: procedures 5, 6, 62, 63, 65..68 of qzfaxd,
// and the SystemLog hook every family and the engine write through.
//
// System log: one SYSLOG_TABLE record per event (engine, lines, routing,
// configuration changes, errors), bounded to the newest
// QZCONFIG_LOGS.dwSysLogMaxRecords entries (default 10000); entries below
// dwMinLevel are not kept. Query and delete by condition; a backup by
// condition is asked for with the named string "SysLogBackup".
//
// Configuration: sections 0..5 (layouts QZCONFIG_* of qzrecords_admin.h)
// are stored as written, with the layout version they were written in, and
// read back byte for byte; a section never written reads as its defaults.
// Section 6 is read-only: sections 0..5 composed. Named values (65, 67)
// write one field of a section by name; unknown names get
// kUnknownConfigName. String pairs (66) are free name/value entries;
// "printer:<name>" pairs make the configured printer list ("location|
// description").
//
// Thread-safety: Main and SystemLogStore::Write may run on any thread; the
// store serialises the tables. Write must not be called under the store's
// lock.
#ifndef QZ_SERVER_SYSLOG_CONFIG_H_
#define QZ_SERVER_SYSLOG_CONFIG_H_

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

#include "server/engine_hooks.h"
#include "server/family.h"
#include "server/record_table.h"

namespace qz::faxd {

extern const SchemaPart kSysConfigSchemaPart;
extern const RecordKind kSysLogKind;  // SYSLOG_TABLE in "system_log"

inline constexpr size_t kConfigSectionSizes[7] = {1560, 24, 1044, 110, 164, 288, 4012};
// Layout version of the sections written by this program.
inline constexpr int kConfigLayoutVersion = 1;

// Section 0..6 as stored or as its defaults (under the store's lock).
std::vector<uint8_t> ConfigSection(sqlite3* db, int section);

class SystemLogStore final : public SystemLog {
 public:
  explicit SystemLogStore(ServerContext* context) : context_(context) {}
  void Write(Level level, const std::string& source, const std::string& user_id,
             const std::string& text) override;

 private:
  ServerContext* context_;
};

class SysConfigFamily final : public ProcedureFamily {
 public:
  explicit SysConfigFamily(ServerContext* context) : context_(context), log_(context) {}
  const char* Name() const override { return "logs and configuration"; }
  bool HandlesMain(uint16_t opnum) const override;
  int32_t Main(Call& call, uint16_t opnum) override;
  SystemLog* system_log() { return &log_; }

 private:
  int32_t GetSection(Call& call, int section, size_t block_pos, size_t size_pos);
  int32_t SetSection(Call& call);
  int32_t SetNamed(Call& call, bool numeric);
  int32_t SetPair(Call& call);
  int32_t BackupSysLog(Call& call, const std::string& condition);
  void Changed(const Call& call, const std::string& what);

  ServerContext* context_;
  SystemLogStore log_;
};

}  // namespace qz::faxd

#endif  // QZ_SERVER_SYSLOG_CONFIG_H_
