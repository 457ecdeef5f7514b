// dialing.h -- dial rules, prefix table, automatic reception and its
// history, authorization entries, routing and printers: the procedures
// 51..61 (but 55), 72, 85 and 86 of qzfaxd, and the engine hooks they
// answer (Telephony, with the lines of lines.h, and Routing).
//
// The engine asks TelephonyHooks which lines there are, whether a line may
// dial a number now (limitation rules), which digits to dial (prefix table
// and dial rules), and whether a user's faxes wait for authorisation
// (authorization entries); it tells it what each line is doing (kept for
// rpcGetPortRealInfo; every state but "idle" is written to the system
// log, so what was dialled shows there). It asks
// RoutingHooks where a received fax goes (routing rules, else the default
// target of configuration section 4); routing records a print job for a
// printer destination and an automatic-reception history entry when an
// enabled automatic reception entry covers the line or number.
//
// Printers: the configured list (configuration pairs named
// "printer:<name>", see syslog_config.h); when it is empty and qzfaxd was
// built with libcups, the CUPS destinations.
//
// Thread-safety: every function may run on any thread at once; the store
// serialises the tables.
#ifndef QZ_SERVER_DIALING_H_
#define QZ_SERVER_DIALING_H_

#include <string>
#include <vector>

#include "server/engine_hooks.h"
#include "server/family.h"
#include "server/lines.h"
#include "server/record_table.h"

namespace qz::faxd {

extern const SchemaPart kDialingSchemaPart;
extern const RecordKind kDialRuleKind;       // DIALRULE_TABLE in "dial_rules"
extern const RecordKind kPrefixKind;         // PREFIXINFO_TABLE in "prefixes"
extern const RecordKind kAutoRecvKind;       // FAXAUTORECVINFO_TABLE in "autorecv"
extern const RecordKind kHistoryKind;        // AUTORECVHISTORY_TABLE in "autorecv_history"
extern const RecordKind kAuthorizationKind;  // AUTHORIZEDINFO_TABLE in "authorizations"
extern const RecordKind kRouteKind;          // ROUTERCONFIG_TABLE in "routes"

// The digits dialled for `number` on `line_id`: the number without blanks
// and punctuation; a local area code of the prefix table removed (the
// longest that matches); the first dial rule of the line (or of every
// line) whose match text begins the number, by priority then identifier:
// its strip count of leading digits removed and its digits put in front;
// finally the outside-line prefix, unless the number begins with an
// internal prefix.
std::string ApplyDialing(Store* store, uint32_t line_id, const std::string& number);
// Whether an authorization entry holds the faxes of `user_id`.
bool UserNeedsAuthorization(Store* store, const std::string& user_id);

struct PrinterEntry {
  std::string name, location, description;
  bool from_cups = false;
  bool is_default = false;
};
std::vector<PrinterEntry> ServerPrinters(Store* store);

class TelephonyHooks final : public Telephony {
 public:
  TelephonyHooks(ServerContext* context, LineBoard* board) : context_(context), board_(board) {}
  std::vector<LineView> Lines() override;
  bool MayDial(uint32_t line_id, const std::string& number, int64_t now_ms) override;
  std::string DialString(uint32_t line_id, const std::string& number) override;
  bool NeedsAuthorization(const std::string& user_id) override;
  void ReportLineState(uint32_t line_id, const std::string& state) override;

 private:
  ServerContext* context_;
  LineBoard* board_;
};

class RoutingHooks final : public Routing {
 public:
  explicit RoutingHooks(ServerContext* context) : context_(context) {}
  std::vector<Destination> Route(const ReceivedFax& fax) override;

 private:
  ServerContext* context_;
};

// The procedures; it owns the Telephony and Routing hooks (the lines'
// board must outlive it).
class DialingFamily final : public ProcedureFamily {
 public:
  DialingFamily(ServerContext* context, LineBoard* board)
      : context_(context), telephony_(context, board), routing_(context) {}
  const char* Name() const override { return "dialing"; }
  bool HandlesMain(uint16_t opnum) const override;
  int32_t Main(Call& call, uint16_t opnum) override;
  Telephony* telephony() { return &telephony_; }
  Routing* routing() { return &routing_; }

 private:
  int32_t QueryPrinters(Call& call);
  ServerContext* context_;
  TelephonyHooks telephony_;
  RoutingHooks routing_;
};

}  // namespace qz::faxd

#endif  // QZ_SERVER_DIALING_H_
