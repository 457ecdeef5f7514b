// reports.h -- report templates kept per folder, and report queries over
// the send and receive history: procedures 78..83 of qzfaxd.
//
// A template (FAXREPORTMODEL) belongs to the folder whose FOLDERINFO_TABLE
// the call carries (the folder is named by the 32-bit identifier at offset
// 0 of that record). rpcQueryReport takes a report text in the condition
// syntax (server/README.md): "template=<id>" takes the grouping, direction
// and condition of a template; "group=user|department|line|day|month"
// chooses (or overrides) the grouping; the other fields select history
// rows. The report is one parameterised SQL statement over the view
// "fax_history" over the send queue's tables (step 2 of kReportsSchemaPart;
// which tasks count for whom is in server/README.md):
//   direction INTEGER (1 sent, 2 received), user_id TEXT,
//   department_id TEXT, line_id INTEGER, time INTEGER (seconds since
//   1970), pages INTEGER, duration INTEGER (seconds), ok INTEGER (1 sent
//   or received, 0 failed)
// Without that view a report answers kNoHistory.
//
// Thread-safety: Main runs on many threads; the store serialises access.
#ifndef QZ_SERVER_REPORTS_H_
#define QZ_SERVER_REPORTS_H_

#include "server/engine_hooks.h"
#include "server/family.h"
#include "server/record_table.h"

namespace qz::faxd {

extern const SchemaPart kReportsSchemaPart;
extern const RecordKind kTemplateKind;  // FAXREPORTMODEL in "report_templates"

class ReportsFamily final : public ProcedureFamily {
 public:
  explicit ReportsFamily(ServerContext* context) : context_(context) {}
  const char* Name() const override { return "reports"; }
  bool HandlesMain(uint16_t opnum) const override { return opnum >= 78 && opnum <= 83; }
  int32_t Main(Call& call, uint16_t opnum) override;

 private:
  int32_t ChangeTemplates(Call& call, uint16_t opnum, uint32_t folder);
  int32_t ListTemplates(Call& call, uint16_t opnum, uint32_t folder);
  int32_t QueryReport(Call& call);
  ServerContext* context_;
};

}  // namespace qz::faxd

#endif  // QZ_SERVER_REPORTS_H_
