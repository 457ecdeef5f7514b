// send_engine.h -- the fax engine of the send queue: tables, scheduler and
// simulated lines.
//
// Send tasks and receive tasks live in the tables of kSendQueueSchema.
// The engine assigns queued tasks that are due to free lines, highest
// priority first, then oldest; a line "transmits" a task page by page at
// the pace of ServerContext::send_simulation, and the outcome of each
// attempt follows the simulation dial plan (see DialPlan below and
// server/README.md). With a Telephony hook (the daemon always has one) the
// lines are the configured ones, a line takes only numbers its limitation
// rules allow, and each attempt dials Telephony::DialString; the digits
// dialled are kept in the task's last text ("sent, dialled 95550100") and
// the system log. A fax dialled to one of the server's own lines comes
// back as a receive task, routed by the Routing hook (none, or no
// destination: back to the sending user). Time comes only from
// ServerContext::clock.
//
// Two ways to run it: Start() with send_simulation.engine_thread runs a
// thread that steps the engine whenever something is due (on the system
// clock); tests leave the thread off, use a ManualClock and call RunFor /
// RunUntilIdle, which move the clock from event to event and step at each,
// so no test sleeps.
//
// Hooks (telephony, routing, inbox, system log) are called with the
// engine's mutex held but never the store's; they must not call back into
// the send queue.
//
// Thread-safety: every public member may be called from any thread. One
// mutex guards the attempts in progress and the service state; the
// procedures that change tasks hold it (through Locked) around their store
// transaction, so the engine never sees a task half changed. Lock order:
// the engine's mutex, then the store's.
#ifndef QZ_SERVER_SEND_ENGINE_H_
#define QZ_SERVER_SEND_ENGINE_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "qzcsif/qzcsif.h"
#include "server/engine_hooks.h"
#include "server/store.h"

struct sqlite3;

namespace qz::faxd {

extern const SchemaPart kSendQueueSchema;

// A clock that moves only when told to (tests, demos).
class ManualClock final : public Clock {
 public:
  explicit ManualClock(int64_t start_ms = 1'700'000'000'000) : now_(start_ms) {}
  int64_t NowMs() override { return now_.load(); }
  void Set(int64_t ms) { now_.store(ms); }
  void Advance(int64_t ms) { now_.fetch_add(ms); }

 private:
  std::atomic<int64_t> now_;
};

// One row of send_tasks.
struct SendTask {
  int64_t id = 0;
  std::string owner;
  uint32_t state = QZ_TASK_QUEUED;
  uint32_t priority = 0;
  uint32_t attempts = 0;
  uint32_t max_attempts = 3;
  uint32_t pages_done = 0;
  uint32_t pages_total = 0;
  uint32_t flags = 0;
  uint32_t line_id = 0;
  uint32_t recv_id = 0;
  int32_t last_result = QZ_SEND_NONE;
  int64_t submit_ms = 0, schedule_ms = 0, next_try_ms = 0, start_ms = 0, end_ms = 0;
  std::string number, name, subject, sender, cover_page;
  std::string document_name;  // as the client named it
  std::string document_file;  // the copy in the server's store
  std::string last_error;
};

// One row of recv_tasks.
struct RecvTask {
  int64_t id = 0;
  std::string owner;
  uint32_t state = QZ_RECV_RECEIVING;
  uint32_t line_id = 0;
  uint32_t pages = 0;
  int64_t start_ms = 0, end_ms = 0;
  int64_t send_task_id = 0;
  std::string line_number, sender_number, sender_user, recipient_name, subject, destination;
  std::string document_file;
};

// What the simulation dial plan makes of a number (its digits only):
// ends in 99: busy; 98: no answer; 97: the line breaks during the second
// page (the first when there is one); 96: busy on the first attempt only;
// one of the server's own line numbers: delivered to that line; anything
// else: sent.
enum class DialOutcome { kSent, kBusy, kNoAnswer, kLineFail, kOwnLine };
DialOutcome DialPlan(const std::string& digits, uint32_t attempts_before, bool own_line);
// The digits of a number ("+49 (30) 123-4" -> "49301234").
std::string DigitsOf(const std::string& number);

// Send task table access (under the store's lock: inside WithDb/Transaction).
std::optional<SendTask> LoadSendTask(sqlite3* db, int64_t id);
std::vector<SendTask> LoadSendTasks(sqlite3* db, const std::string& where,
                                    const std::vector<std::string>& params, size_t limit);
std::optional<RecvTask> LoadRecvTask(sqlite3* db, int64_t id);
std::vector<RecvTask> LoadRecvTasks(sqlite3* db, const std::string& where,
                                    const std::vector<std::string>& params, size_t limit);
// Inserts (id 0) or rewrites the task; the new id on insert, 0 on failure.
int64_t SaveSendTask(sqlite3* db, const SendTask& t);
int64_t SaveRecvTask(sqlite3* db, const RecvTask& t);

class SendEngine {
 public:
  enum class Service { kRunning, kPaused, kDraining, kStopped };

  explicit SendEngine(ServerContext* context);
  ~SendEngine();
  SendEngine(const SendEngine&) = delete;
  SendEngine& operator=(const SendEngine&) = delete;

  // A document is stored before the task naming it commits, and a
  // received fax's copy is made after its task is saved: a crash between
  // the two leaves a file no task names. Removes such files (stored
  // documents "doc-*.tif" and received copies "recv-*.tif" that no send
  // task, receive task or print job names) and logs how many. Only while
  // no call is served: a document being stored has no task yet.
  void RemoveOrphanDocuments();
  // Puts tasks a previous run left "sending" back in the queue and starts
  // the thread when configured.
  void Start();
  void Stop();

  // Does everything that is due at the clock's now.
  void Step();
  // Earliest time something is due; INT64_MAX when nothing is.
  int64_t NextEventMs();
  // Moves `clock` forward by `ms`, stepping at every event on the way.
  void RunFor(ManualClock& clock, int64_t ms);
  // Steps from event to event until no task is sending or waiting to be
  // sent, or `limit_ms` passed; true when idle was reached.
  bool RunUntilIdle(ManualClock& clock, int64_t limit_ms = 24 * 3600 * 1000);

  // The service state: kRunning sends and accepts jobs; kPaused accepts
  // jobs but starts no attempt; kDraining refuses jobs and sends what is
  // queued, then becomes kStopped; kStopped refuses jobs and starts nothing.
  Service service();
  bool AcceptsJobs();
  bool AcceptsJobsLocked() const {
    return service_ == Service::kRunning || service_ == Service::kPaused;
  }
  // `interrupt`: attempts in progress end now and their tasks go back to
  // the queue, the attempt not counted; otherwise they run to their end.
  void SetService(Service s, bool interrupt);

  // The lines the engine uses (telephony's, else the simulated ones).
  std::vector<LineView> Lines();

  // Runs fn() under the engine's mutex (procedures that change tasks).
  template <typename F>
  auto Locked(F&& fn) {
    std::lock_guard<std::mutex> lock(mu_);
    return fn();
  }
  // Inside Locked: ends the attempt of task `id` if one runs (the caller
  // writes the task's new state). True when one ran.
  bool DropAttemptLocked(int64_t id);
  // Wakes the thread (after a submission or a change of times).
  void Wake();

  // Attempts in progress (tests, capability counts).
  size_t ActiveAttempts();

 private:
  struct Attempt {
    int64_t task_id = 0;
    uint32_t line_id = 0;
    int64_t start_ms = 0;
    DialOutcome outcome = DialOutcome::kSent;
    uint32_t pages_total = 0;
    uint32_t pages_done = 0;
    uint32_t fail_page = 0;  // kLineFail: the page during which it breaks (1-based)
    LineView own_line;       // kOwnLine: the receiving line
    std::string dialled;     // the digits dialled (dial rules and prefixes applied)
  };

  void StepLocked(int64_t now);
  int64_t NextEventLocked();
  int64_t AttemptEventMs(const Attempt& a) const;
  // Applies the attempt's next event; true when the attempt ended.
  bool AdvanceAttempt(Attempt& a, int64_t now);
  void FinishAttempt(const Attempt& a, int32_t result, int64_t now);
  void StartAttempts(int64_t now);
  uint32_t Deliver(const Attempt& a, const SendTask& t, int64_t now);
  void Event(SystemLog::Level level, const std::string& user, const std::string& text);
  void Loop();

  ServerContext* context_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::map<uint32_t, Attempt> attempts_;  // by line
  std::vector<uint32_t> idle_lines_;      // freed outside a step, to report
  Service service_ = Service::kRunning;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace qz::faxd

#endif  // QZ_SERVER_SEND_ENGINE_H_
