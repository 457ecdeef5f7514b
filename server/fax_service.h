// fax_service.h -- what the stand-in fax server does for each procedure.
//
// FaxService holds the procedure logic of both interfaces on top of the
// Store. It works on decoded requests (rpc::ServerArgs, as the interface
// dispatcher hands them over) and writes the out parameters back into
// them, so it can be driven directly by tests without any network.
//
// Login: rpcLogInServer (100) opens a session for the user associated
// with the caller -- for ncalrpc the peer's OS account through the
// os_users mapping, for TCP the configured TCP user (by default "guest",
// a user without rights created on first use) -- and fills the
// key and the 1680-byte server information. rpcConnectServer (0) only
// identifies the caller: it returns a key naming the user with session
// number 0 (not a session), and for a local OS account that has no user
// yet it first registers one (identifier = account name, no rights, empty
// password) when registration is enabled. Every other procedure that
// carries a key is refused with kBadKey unless the key names a live session
// AND comes from the caller the session is bound to: over ncalrpc the same
// peer uid, over TCP the same association group (a random number the
// runtime hands out; the client library's further connections join it).
// Both interfaces check the same binding, so a TCP key works on the
// service-control interface only from the login's association group (the
// library's service-control binding has a group of its own and reaches a
// local server over ncalrpc, where the uid binding applies). Sessions
// unused for session_idle_seconds end, and a user holds at most
// max_sessions_per_user (the least recently used end first).
// Procedures not carried out yet answer kNotHandled after the key check.
// Every call, whatever its result, appends one user-log entry; its user is
// the verified one only (empty for a caller without a valid key), and
// such unauthenticated entries are limited to unauthenticated_log_per_second
// (the rest are counted and summed up in one entry). rpcQueryUserLog never
// shows other users' live session numbers (they read 0).
//
// Thread-safety: HandleMain and HandleServiceControl may run on many
// threads at once (the store serialises its own access; the advise
// registrations have their own mutex).
#ifndef QZ_SERVER_FAX_SERVICE_H_
#define QZ_SERVER_FAX_SERVICE_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rpc/proc.h"
#include "rpc/server.h"
#include "server/engine_hooks.h"
#include "server/family.h"
#include "server/store.h"

namespace qz::faxd {

struct ServiceOptions {
  // User that a TCP login maps to; empty refuses TCP logins. The default
  // user is created without rights when it does not exist yet.
  std::string tcp_user = kDefaultTcpUser;
  static constexpr const char* kDefaultTcpUser = "guest";
  // Sessions unused this long end (0: never).
  int64_t session_idle_seconds = 8 * 3600;
  // Most live sessions one user holds.
  size_t max_sessions_per_user = 64;
  // Most user-log entries per second for callers without a valid key.
  int unauthenticated_log_per_second = 20;
  // Largest rpcQueryUserLog answer in bytes; a longer result is cut at a
  // record boundary (the client pages on with after=<last id>).
  size_t max_reply_bytes = 4u << 20;
  // Bytes of user-log answers being built at once, server-wide; a query
  // beyond it is refused with kServerBusy.
  // A query reserves twice its largest answer while it runs. The daemon
  // bounds the replies being sent across the server by the same figure.
  size_t max_replies_in_flight = 128u << 20;
  // Largest record reply (the reply blocks of a call together) of any
  // procedure; a larger one is not sent: kReplyTooLarge, no reply. At
  // least max_reply_bytes.
  size_t max_record_reply_bytes = 16u << 20;
  // Seconds since 1970; default the system clock. Tests step their own.
  std::function<int64_t()> now;
  // rpcConnectServer registers an unknown local OS account as a new user.
  bool register_local_users = true;
  // Host name reported in the server information; empty: gethostname().
  std::string host_name;
  std::string server_name = "qzfaxd";
  // Most user-log records one rpcQueryUserLog answer carries (the oldest
  // matching ones; narrow the condition to see later ones).
  size_t max_log_records = 100000;
  // Advise registrations belong to the caller's session (the newest live
  // session bound to the caller); they go when it ends. Most one session
  // may hold:
  size_t max_advise_per_session = 64;
  // Maps a peer's uid to its account name; default getpwuid_r. Tests
  // replace it.
  std::function<std::optional<std::string>(uint32_t uid)> os_user_name;
  // Receives one line per notable event (logins, refusals, store errors);
  // default: none.
  std::function<void(const std::string&)> log;
};

// One advise registration: the 60 bytes a connection handed in.
struct AdviseRegistration {
  uint32_t cookie = 0;  // the 32-bit value at offset 8 of the record
  int32_t session = 0;  // the session it belongs to
  std::vector<uint8_t> record;
};

class FaxService {
 public:
  FaxService(Store* store, ServiceOptions options);

  // One call of the main interface (opnum 0..101). Returns the procedure
  // result; out parameters are written into `args`.
  int32_t HandleMain(const rpc::CallContext& ctx, uint16_t opnum, rpc::ServerArgs& args);
  // One call of the service-control interface (opnum 0..5).
  int32_t HandleServiceControl(const rpc::CallContext& ctx, uint16_t opnum,
                               rpc::ServerArgs& args);

  std::vector<AdviseRegistration> AdviseRegistrations(uint64_t connection_id);
  // Forgets a connection's registrations (when the connection is gone).
  void ForgetConnection(uint64_t connection_id);
  // Forgets the registrations of a session that ended.
  void ForgetSession(int32_t session);

  Store* store() { return store_; }

  // Hands the opnums `family` claims to it (not owned; it must outlive
  // the service). Families are asked in the order they were added.
  void AddFamily(ProcedureFamily* family) { families_.push_back(family); }
  const std::vector<ProcedureFamily*>& families() const { return families_; }
  // Where logins, logouts and refused logins are written (the families'
  // system log, once they are built; none: not written).
  void SetSystemLog(SystemLog* log) { system_log_ = log; }

 private:
  struct Key {
    std::string user;
    int32_t session = 0;
  };
  // What one call leaves for its user-log entry.
  struct Note {
    std::string user;
    int32_t session = 0;
    std::string detail;
  };

  int32_t Main(const rpc::CallContext& ctx, uint16_t opnum, rpc::ServerArgs& args, Note* note);
  int32_t ServiceControl(const rpc::CallContext& ctx, uint16_t opnum, rpc::ServerArgs& args,
                         Note* note);
  // Runs one procedure's body and appends its user-log record (also when
  // the body throws, which the dispatcher turns into a fault).
  int32_t RunLogged(const rpc::CallContext& ctx, uint32_t log_opnum, const rpc::ProcDesc* proc,
                    rpc::ServerArgs& args, const std::function<int32_t(Note*)>& body);
  void Record(const rpc::CallContext& ctx, uint32_t opnum, const char* procedure,
              int32_t result, const Note& note);

  // Checks the key at position 1 and its binding to the caller; fills note
  // with its user and session once they are verified.
  int32_t CheckKey(const rpc::CallContext& ctx, const rpc::ServerArgs& args, Key* key,
                   Note* note);
  int32_t CheckRight(const Key& key, int mask_index, uint32_t bit);
  // Identifies the caller of a login; nullopt when nobody is associated.
  std::optional<std::string> CallerUser(const rpc::CallContext& ctx, bool register_unknown,
                                        std::string* why);

  int32_t ConnectServer(const rpc::CallContext& ctx, rpc::ServerArgs& args, Note* note);
  int32_t LogInServer(const rpc::CallContext& ctx, rpc::ServerArgs& args, Note* note);
  int32_t LogoutServer(const rpc::CallContext& ctx, rpc::ServerArgs& args, Note* note);
  int32_t QueryUserLog(const rpc::CallContext& ctx, rpc::ServerArgs& args, Note* note);
  int32_t DelUserLog(const rpc::CallContext& ctx, rpc::ServerArgs& args, Note* note);
  int32_t ChangePassword(const rpc::CallContext& ctx, rpc::ServerArgs& args, Note* note);
  int32_t AdviseOp(const rpc::CallContext& ctx, rpc::ServerArgs& args, Note* note);
  int32_t GetServerCaps(const rpc::CallContext& ctx, rpc::ServerArgs& args, Note* note);

  void Log(const std::string& line);
  std::string HostName() const;

  // The procedure of a family; kNotHandled when none claims it.
  int32_t FamilyMain(const rpc::CallContext& ctx, uint16_t opnum, rpc::ServerArgs& args,
                     const Key& key, Note* note);
  int32_t FamilyServiceControl(const rpc::CallContext& ctx, uint16_t opnum,
                               rpc::ServerArgs& args, const Key* key, Note* note);

  Store* store_;
  std::vector<ProcedureFamily*> families_;
  SystemLog* system_log_ = nullptr;
  ServiceOptions options_;
  int64_t start_time_;
  // Unauthenticated user-log entries of the current second, and those
  // left out since the last summary.
  std::mutex unauth_mu_;
  int64_t unauth_second_ = 0;
  int unauth_written_ = 0;
  uint64_t unauth_dropped_ = 0;
  std::atomic<size_t> replies_in_flight_{0};
  std::mutex advise_mu_;
  std::map<uint64_t, std::vector<AdviseRegistration>> advise_;
};

// Text of a caller for logs: "ncalrpc uid=1000 pid=42" or "ncacn_ip_tcp 127.0.0.1".
std::string DescribePeer(const rpc::CallContext& ctx);

// What a key of a session opened by this caller must come with:
// "uid:<n>" over ncalrpc, "group:<n>" over TCP; empty when the caller has
// neither (such a caller cannot log in).
std::string CallerBinding(const rpc::CallContext& ctx);

// Account name of a uid through getpwuid_r.
std::optional<std::string> LookUpOsUser(uint32_t uid);

}  // namespace qz::faxd

#endif  // QZ_SERVER_FAX_SERVICE_H_
