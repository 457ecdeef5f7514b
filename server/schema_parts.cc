// schema_parts.cc -- the families' parts of the database schema.
//
// Each procedure family that keeps tables of its own owns one SchemaPart,
// defined beside its code; this list names them in the order Store::Open
// applies them (a part may refer to the tables of parts before it).
// Thread-safety: immutable after first use.
#include "server/cover_fields.h"
#include "server/dialing.h"
#include "server/files.h"
#include "server/lines.h"
#include "server/message_store.h"
#include "server/reports.h"
#include "server/send_engine.h"
#include "server/store.h"
#include "server/syslog_config.h"
#include "server/users.h"

namespace qz::faxd {

const std::vector<const SchemaPart*>& FamilySchemaParts() {
  static const std::vector<const SchemaPart*> parts = {
      // Message store, users and files: users first (the others read the
      // department column it adds); then the send queue.
      &kUsersSchema, &kMessageStoreSchema, &kFilesSchema, &kSendQueueSchema,
      &kCoverFieldsSchemaPart,
      // Lines, dialing, routing, logs, configuration, reports (in this
      // order: dialing reads the configuration pairs and the lines).
      &kSysConfigSchemaPart, &kLinesSchemaPart, &kDialingSchemaPart, &kReportsSchemaPart,
  };
  return parts;
}

}  // namespace qz::faxd
