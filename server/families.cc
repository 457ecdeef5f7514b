// families.cc -- the procedure families of qzfaxd, built and wired.
//
// Each family is built on the shared ServerContext; a family that answers
// one of the hooks of engine_hooks.h sets it there as it is built, and the
// others read the hooks at the time of use (never keep a copy), so the
// order below matters only for the order in which opnums are offered.
// Thread-safety: called once, by Daemon::Start.
#include <chrono>

#include "server/cover_fields.h"
#include "server/daemon.h"
#include "server/dialing.h"
#include "server/files.h"
#include "server/lines.h"
#include "server/message_store.h"
#include "server/reports.h"
#include "server/send_queue.h"
#include "server/sql.h"
#include "server/syslog_config.h"
#include "server/users.h"

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
  // Message store, users and files (the store answers the Inbox hook).
  {
    auto store = std::make_unique<MessageStore>(context);
    context->inbox = store.get();
    families.push_back(std::move(store));
    auto users = std::make_unique<Users>(context);
    // A user who still owns send or receive tasks is not deleted.
    for (const char* table : {"send_tasks", "recv_tasks"}) {
      const std::string sql = std::string("SELECT 1 FROM ") + table + " WHERE owner = ? LIMIT 1";
      users->AddOwnershipCheck(table, [sql](sqlite3* db, const std::string& user) {
        Stmt s(db, sql);
        return s.Bind(1, std::string_view(user)) && s.Step() == SQLITE_ROW;
      });
    }
    families.push_back(std::move(users));
    families.push_back(std::make_unique<Files>(context));
  }
  // Send queue and service control (13..25, 93..95; control 0, 1, 2, 4, 5).
  families.push_back(std::make_unique<SendQueueFamily>(context));
  families.push_back(std::make_unique<CoverFieldsFamily>(context));
  // Lines, dialing, routing, logs, configuration, reports. They answer
  // the SystemLog, Telephony and Routing hooks: from here on the engine
  // sends only on the configured lines (a database without lines gets the
  // daemon's simulated ones, once), dials through the dial rules and the
  // prefix table, and routes received faxes by the routing rules.
  {
    auto logs = std::make_unique<SysConfigFamily>(context);
    context->system_log = logs->system_log();
    auto lines = std::make_unique<LinesFamily>(context);
    auto dialing = std::make_unique<DialingFamily>(context, lines->board());
    const SendSimulation& sim = context->send_simulation;
    if (!SeedLinesIfNone(context->store, sim.lines, sim.first_number) && context->log)
      context->log("lines: cannot seed the simulated lines");
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
