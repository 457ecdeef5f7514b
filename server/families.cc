// families.cc -- the procedure families of qzfaxd, built and wired.
//
// Each family is built on the shared ServerContext; a family that answers
// one of the hooks of engine_hooks.h sets it there as it is built, and the
// others read the hooks at the time of use (never keep a copy), so the
// order below matters only for the order in which opnums are offered.
// Thread-safety: called once, by Daemon::Start.
#include <chrono>

#include "server/daemon.h"
#include "server/dialing.h"
#include "server/lines.h"
#include "server/reports.h"
#include "server/syslog_config.h"

namespace qz::faxd {
namespace {

class SystemClock final : public Clock {
 public:
  int64_t NowMs() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
};

}  // namespace

std::unique_ptr<Clock> MakeSystemClock() { return std::make_unique<SystemClock>(); }

std::vector<std::unique_ptr<ProcedureFamily>> MakeFamilies(ServerContext* context) {
  std::vector<std::unique_ptr<ProcedureFamily>> families;
  // -- Lines, dialing, routing, logs, configuration, reports: the system
  // log, the Telephony and the Routing hooks.
  {
    auto logs = std::make_unique<SysConfigFamily>(context);
    context->system_log = logs->system_log();
    auto lines = std::make_unique<LinesFamily>(context);
    auto dialing = std::make_unique<DialingFamily>(context, lines->board());
    context->telephony = dialing->telephony();
    context->routing = dialing->routing();
    families.push_back(std::move(logs));
    families.push_back(std::move(lines));
    families.push_back(std::move(dialing));
    families.push_back(std::make_unique<ReportsFamily>(context));
  }
  return families;
}

}  // namespace qz::faxd
