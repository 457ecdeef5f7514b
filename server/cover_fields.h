// cover_fields.h -- the cover-page fields of qzfaxd: procedures 41
// (rpcGetCoverPageField) and 43 (rpcCoverPageFieldOP).
//
// A field is a named placeholder that cover pages may carry
// (COVERPAGEFIELD_TABLE: a text with its value, the date, the page count).
// Every logged-in user may read the fields (clients fill cover pages with
// them); only an administrator changes them. Names are unique. Commands of
// 43 are those of every record table (record_table.h): 0 add (the server
// gives dwFieldID), 1 change, 2 delete, 3 replace every field with the
// records given. Conditions of 41 select on "id", "type", "name" and "value".
//
// Thread-safety: calls may run on any thread at once; the store serialises.
#ifndef QZ_SERVER_COVER_FIELDS_H_
#define QZ_SERVER_COVER_FIELDS_H_

#include "server/engine_hooks.h"
#include "server/family.h"
#include "server/record_table.h"

namespace qz::faxd {

extern const SchemaPart kCoverFieldsSchemaPart;
extern const RecordKind kCoverFieldKind;  // COVERPAGEFIELD_TABLE in "cover_fields"

class CoverFieldsFamily final : public ProcedureFamily {
 public:
  explicit CoverFieldsFamily(ServerContext* context) : context_(context) {}
  const char* Name() const override { return "cover page fields"; }
  bool HandlesMain(uint16_t opnum) const override { return opnum == 41 || opnum == 43; }
  int32_t Main(Call& call, uint16_t opnum) override;

 private:
  ServerContext* context_;
};

}  // namespace qz::faxd

#endif  // QZ_SERVER_COVER_FIELDS_H_
