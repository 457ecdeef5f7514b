// engine_hooks.h -- how qzfaxd's families reach one another.
//
// The fax engine (the send queue's scheduler and its simulated lines)
// needs answers that other families own: which lines exist and what they
// may dial (lines and dialing), where a received fax goes (routing), how
// it is filed (the message store), where events are written (the system
// log). Each such question is one small interface here; the family that
// owns the answer implements it, and families.cc wires the implementations
// into the ServerContext every family is built with. A hook left null has
// the documented fallback of the code that calls it, so each family can be
// built and tested alone.
//
// Thread-safety: every implementation may be called from any thread (the
// engine's thread and RPC threads) at once.
#ifndef QZ_SERVER_ENGINE_HOOKS_H_
#define QZ_SERVER_ENGINE_HOOKS_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qz::faxd {

class Store;

// Time as the engine sees it, in milliseconds since 1970. The daemon uses
// the system clock; tests use a ManualClock and step it.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual int64_t NowMs() = 0;
};

// One line the engine may send on or receive on.
struct LineView {
  uint32_t id = 0;
  std::string number;  // the line's own number: a fax dialled to it is received here
  std::string name;
  bool in_service = true;
  uint32_t bits_per_second = 14400;
};

// Lines, devices and dialing (owned by the lines and dialing families).
class Telephony {
 public:
  virtual ~Telephony() = default;
  virtual std::vector<LineView> Lines() = 0;
  // Whether `line_id` may dial `number` at `now_ms` (limitation rules).
  virtual bool MayDial(uint32_t line_id, const std::string& number, int64_t now_ms) = 0;
  // The digits dialled for `number` on `line_id` (dial rules, prefixes).
  virtual std::string DialString(uint32_t line_id, const std::string& number) = 0;
  // Whether faxes of `user_id` wait for authorisation before they are sent.
  virtual bool NeedsAuthorization(const std::string& user_id) = 0;
  // What the engine is doing on a line now ("idle", "dialing 0123", ...).
  virtual void ReportLineState(uint32_t /*line_id*/, const std::string& /*state*/) {}
};

// A fax the server received on one of its lines.
struct ReceivedFax {
  uint32_t recv_task_id = 0;    // the receive task that took it
  uint32_t line_id = 0;
  std::string line_number;      // number dialled (the receiving line's)
  std::string sender_number;    // calling station
  std::string sender_user;      // the user whose send task delivered it, if one of ours
  std::string recipient_name;   // as the sender addressed it
  std::string subject;
  std::string document_path;    // TIFF in the server's store
  uint32_t pages = 0;
  int64_t time_ms = 0;
};

// Where a received fax goes.
struct Destination {
  enum class Kind { kUser, kDepartment, kPrinter };
  Kind kind = Kind::kUser;
  std::string id;  // user identifier, department identifier or printer name
};

// Routing rules (owned by the routing family).
class Routing {
 public:
  virtual ~Routing() = default;
  virtual std::vector<Destination> Route(const ReceivedFax& fax) = 0;
};

// Files a received fax as a message (owned by the message store).
class Inbox {
 public:
  virtual ~Inbox() = default;
  // False when it could not be filed (the fax stays a receive task).
  virtual bool Deliver(const ReceivedFax& fax, const Destination& to) = 0;
};

// The server's system log (owned by the logs family).
class SystemLog {
 public:
  virtual ~SystemLog() = default;
  enum class Level { kInfo = 0, kWarning = 1, kError = 2 };
  virtual void Write(Level level, const std::string& source, const std::string& user_id,
                     const std::string& text) = 0;
};

// The send queue's engine: the pace of its lines and, when no telephony
// is set, the lines it simulates (ids 1..lines, numbers first_number,
// first_number + 1, ...). See "Send queue and service control" in
// server/README.md.
struct SendSimulation {
  uint32_t lines = 2;
  uint32_t first_number = 8001;
  uint32_t connect_ms = 3000;   // dialling until the far end answers
  uint32_t page_ms = 6000;      // one page on the line
  uint32_t retry_ms = 60000;    // wait before the next attempt
  uint32_t max_attempts = 3;    // default attempts of a job
  bool engine_thread = true;    // false: nothing runs until the owner steps the engine
};

// What every family is built with.
struct ServerContext {
  Store* store = nullptr;
  Clock* clock = nullptr;
  // Directory of the server's own files (fax documents, cover pages,
  // scripts, backups below it); created by the daemon, private to it.
  std::string data_dir;
  // TCP callers may name files only inside this directory (empty: none).
  std::string spool_dir;
  Telephony* telephony = nullptr;
  Routing* routing = nullptr;
  Inbox* inbox = nullptr;
  SystemLog* system_log = nullptr;
  // One line per notable event for the daemon's stderr; may be empty.
  std::function<void(const std::string&)> log;
  // The send queue's engine settings.
  SendSimulation send_simulation;
};

}  // namespace qz::faxd

#endif  // QZ_SERVER_ENGINE_HOOKS_H_
