// cover_fields.cc -- cover-page fields (see cover_fields.h).
#include "server/cover_fields.h"

#include <cstddef>

#include "qzcsif/qzcsif.h"

namespace qz::faxd {

const SchemaPart kCoverFieldsSchemaPart = {
    "cover_fields",
    {{1,
      "CREATE TABLE cover_fields (id INTEGER PRIMARY KEY, type INTEGER, name TEXT NOT NULL,"
      " value TEXT NOT NULL, record BLOB NOT NULL);"
      "CREATE UNIQUE INDEX cover_fields_name ON cover_fields(name);"}}};

const RecordKind kCoverFieldKind = {
    "cover_fields", "cover page field", QZ_SIZEOF_COVERPAGEFIELD_TABLE, false, 0,
    offsetof(COVERPAGEFIELD_TABLE, dwFieldID),
    {{"type", offsetof(COVERPAGEFIELD_TABLE, dwType), RecordColumn::kU32, 4, 0,
      QZ_COVERFIELD_PAGES},
     {"name", offsetof(COVERPAGEFIELD_TABLE, szName), RecordColumn::kText,
      sizeof(COVERPAGEFIELD_TABLE::szName)},
     {"value", offsetof(COVERPAGEFIELD_TABLE, szValue), RecordColumn::kText,
      sizeof(COVERPAGEFIELD_TABLE::szValue)}}};

int32_t CoverFieldsFamily::Main(Call& call, uint16_t opnum) {
  if (opnum == 41) return RunRecordQuery(call, context_->store, kCoverFieldKind, call.arg(2).text, 3, 4);
  if (!call.IsAdministrator())
    return call.Fail(kAccessDenied, "cover page fields are changed by an administrator");
  const int32_t command = call.arg(2).number;
  PrepareRecord prepare = [](Record& r, bool, std::string* why) {
    if (r[offsetof(COVERPAGEFIELD_TABLE, szName)] != 0) return kOk;
    *why = "cover page field without a name";
    return AsResult(kBadArgument);
  };
  int32_t rc = RunRecordCommand(call, context_->store, kCoverFieldKind, command, call.arg(3).bytes,
                                call.arg(4).number, false, prepare);
  if (rc == kOk)
    SystemLogWrite(context_, call, "cover page fields",
                   "cover page fields changed (command " + std::to_string(command) + ")");
  return rc;
}

}  // namespace qz::faxd
