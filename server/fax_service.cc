// fax_service.cc -- procedure logic of the stand-in fax server.
#include "server/fax_service.h"

#include <pwd.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "interfaces/interfaces.h"
#include "server/password.h"
#include "server/records.h"
#include "server/server_status.h"
#include "server/store_common.h"

namespace qz::faxd {
namespace {

constexpr size_t kKeySize = 24;
constexpr size_t kServerInfoSize = QZ_SIZEOF_SERVERINFO;
constexpr size_t kMaxPasswordLength = kMaxPasswordBytes;
constexpr size_t kMaxConditionLength = 1024;
constexpr size_t kMaxDetail = 338;  // the record holds "<caller>: " (up to 65) before it

// Rights the user-log procedures need: dwRights[2] bit 0x10000.
constexpr int kUserLogMask = 2;
constexpr uint32_t kUserLogBit = 0x10000;

void PutU32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t GetU32(const std::vector<uint8_t>& b, size_t off) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t{b[off + i]} << (8 * i);
  return v;
}
// Writes `text` into a field of `width` bytes: at most width - 1
// characters, NUL-padded.
void PutText(uint8_t* field, size_t width, std::string_view text) {
  std::memset(field, 0, width);
  std::memcpy(field, text.data(), std::min(text.size(), width - 1));
}
void PutText(std::vector<uint8_t>& b, size_t off, size_t width, std::string_view text) {
  PutText(b.data() + off, width, text);
}

std::vector<uint8_t> MakeKey(std::string_view user, int32_t session) {
  std::vector<uint8_t> key(kKeySize, 0);
  PutText(key, 0, 20, user);
  PutU32(key, 20, static_cast<uint32_t>(session));
  return key;
}

std::string TimeText(int64_t t) {
  time_t tt = static_cast<time_t>(t);
  struct tm tm_utc;
  gmtime_r(&tt, &tm_utc);
  char buf[40];
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm_utc);
  return buf;
}

std::string Clip(std::string_view s, size_t n) { return std::string(s.substr(0, n)); }

const rpc::ProcDesc* MainProc(uint16_t opnum) {
  return opnum < std::size(ifc::kMainProcedures) ? &ifc::kMainProcedures[opnum] : nullptr;
}
const rpc::ProcDesc* ServiceProc(uint16_t opnum) {
  return opnum < std::size(ifc::kServiceControlProcedures) ? &ifc::kServiceControlProcedures[opnum]
                                                           : nullptr;
}

// True when the reply blocks of `proc` in `args` together hold more than
// `max` bytes; they are then emptied (no reply, count 0).
bool DropOversizedReplies(const rpc::ProcDesc* proc, rpc::ServerArgs& args, size_t max) {
  if (proc == nullptr) return false;
  auto is_reply = [](const rpc::ParamDesc& p) {
    return p.shape == rpc::Shape::kReply || p.shape == rpc::Shape::kReplyOut;
  };
  size_t total = 0;
  for (size_t i = 0; i < proc->param_count; ++i)
    if (is_reply(proc->params[i])) total += args[i + 1].bytes.size();
  if (total <= max) return false;
  for (size_t i = 0; i < proc->param_count; ++i) {
    if (!is_reply(proc->params[i])) continue;
    args[i + 1].present = false;
    std::vector<uint8_t>().swap(args[i + 1].bytes);
    args[proc->params[i].size_param].number = 0;
  }
  return true;
}

// Makes every position of `proc` addressable, whatever the caller built.
void EnsurePositions(const rpc::ProcDesc* proc, rpc::ServerArgs& args) {
  size_t need = proc ? proc->param_count + 1u : 1u;
  if (args.values.size() < need) args.values.resize(need);
}

// Logins, logouts and refused logins go to the system log (source
// "sessions"), when the service has one. Refused logins cost a caller
// nothing, so at most kRefusalsPerSecond of them are written a second (the
// user log keeps every call).
constexpr int kRefusalsPerSecond = 5;

void SessionEvent(SystemLog* log, SystemLog::Level level, const std::string& user,
                  const std::string& text) {
  if (log) log->Write(level, "sessions", user, text);
}

bool RefusalMayBeLogged(int64_t now_s) {
  static std::mutex mu;
  static int64_t second = 0;
  static int written = 0;
  std::lock_guard<std::mutex> lock(mu);
  if (now_s != second) {
    second = now_s;
    written = 0;
  }
  return written++ < kRefusalsPerSecond;
}

}  // namespace

std::string DescribePeer(const rpc::CallContext& ctx) {
  if (ctx.protseq == "ncalrpc") {
    if (!ctx.has_peer_credentials) return "ncalrpc";
    return "ncalrpc uid=" + std::to_string(ctx.peer_uid) + " pid=" + std::to_string(ctx.peer_pid);
  }
  return ctx.protseq + " " + ctx.peer_address;
}

std::string CallerBinding(const rpc::CallContext& ctx) {
  if (ctx.protseq == "ncalrpc")
    return ctx.has_peer_credentials ? "uid:" + std::to_string(ctx.peer_uid) : "";
  return ctx.assoc_group_id != 0 ? "group:" + std::to_string(ctx.assoc_group_id) : "";
}

std::optional<std::string> LookUpOsUser(uint32_t uid) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd pw;
  struct passwd* result = nullptr;
  while (true) {
    int rc = getpwuid_r(static_cast<uid_t>(uid), &pw, buf.data(), buf.size(), &result);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0 || result == nullptr) return std::nullopt;
    return std::string(pw.pw_name);
  }
}

FaxService::FaxService(Store* store, ServiceOptions options)
    : store_(store), options_(std::move(options)), start_time_(std::time(nullptr)) {
  if (!options_.os_user_name) options_.os_user_name = LookUpOsUser;
  if (!options_.now) options_.now = [] { return static_cast<int64_t>(std::time(nullptr)); };
  // A larger user-log answer than the record-reply bound raises the bound.
  options_.max_record_reply_bytes =
      std::max(options_.max_record_reply_bytes, options_.max_reply_bytes);
  start_time_ = options_.now();
}

void FaxService::Log(const std::string& line) {
  if (options_.log) options_.log(line);
}

std::string FaxService::HostName() const {
  if (!options_.host_name.empty()) return options_.host_name;
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return "localhost";
  return buf;
}

int32_t FaxService::HandleMain(const rpc::CallContext& ctx, uint16_t opnum,
                               rpc::ServerArgs& args) {
  return RunLogged(ctx, opnum, MainProc(opnum), args, [&](Note* note) {
    return Main(ctx, opnum, args, note);
  });
}

int32_t FaxService::HandleServiceControl(const rpc::CallContext& ctx, uint16_t opnum,
                                         rpc::ServerArgs& args) {
  return RunLogged(ctx, kServiceControlOpnumBase + opnum, ServiceProc(opnum), args,
                   [&](Note* note) { return ServiceControl(ctx, opnum, args, note); });
}

int32_t FaxService::RunLogged(const rpc::CallContext& ctx, uint32_t log_opnum,
                              const rpc::ProcDesc* proc, rpc::ServerArgs& args,
                              const std::function<int32_t(Note*)>& body) {
  EnsurePositions(proc, args);
  const char* name = proc ? proc->name : "?";
  Note note;
  int32_t result;
  try {
    result = body(&note);
  } catch (...) {
    // The call is logged even when it ends in a fault.
    note.detail = "internal error";
    Record(ctx, log_opnum, name, AsResult(kStoreFailure), note);
    throw;
  }
  // Whatever a procedure built, no reply beyond the bound leaves.
  if (DropOversizedReplies(proc, args, options_.max_record_reply_bytes)) {
    note.detail += " (reply over " + std::to_string(options_.max_record_reply_bytes) + " bytes)";
    result = AsResult(kReplyTooLarge);
  }
  Record(ctx, log_opnum, name, result, note);
  return result;
}

void FaxService::Record(const rpc::CallContext& ctx, uint32_t opnum, const char* procedure,
                        int32_t result, const Note& note) {
  UserLogEntry e;
  e.time = options_.now();
  {
    // A caller without a valid key writes at most so many entries a second;
    // the rest are counted and summed up in one entry when the next second
    // brings an entry of any caller.
    std::lock_guard<std::mutex> lock(unauth_mu_);
    if (e.time != unauth_second_) {
      unauth_second_ = e.time;
      unauth_written_ = 0;
      if (unauth_dropped_ != 0) {
        UserLogEntry sum;
        sum.time = e.time;
        sum.procedure = "-";
        sum.result = kOk;
        sum.detail = std::to_string(unauth_dropped_) + " calls without a valid key not logged";
        unauth_dropped_ = 0;
        store_->AppendUserLog(std::move(sum));
      }
    }
    if (note.user.empty()) {
      if (unauth_written_ >= options_.unauthenticated_log_per_second) {
        ++unauth_dropped_;
        return;
      }
      ++unauth_written_;
    }
  }
  e.user_id = note.user;
  e.session_no = note.session;
  e.opnum = opnum;
  e.procedure = procedure;
  e.result = result;
  e.peer = Clip(DescribePeer(ctx), 63);
  e.detail = Clip(note.detail, kMaxDetail);
  if (!store_->AppendUserLog(std::move(e))) Log("user log append failed: " + store_->last_error());
}

int32_t FaxService::Main(const rpc::CallContext& ctx, uint16_t opnum, rpc::ServerArgs& args,
                         Note* note) {
  const rpc::ProcDesc* proc = MainProc(opnum);
  if (proc == nullptr) return AsResult(kBadArgument);
  switch (opnum) {
    case 0: return ConnectServer(ctx, args, note);
    case 1: return LogoutServer(ctx, args, note);
    case 3: return QueryUserLog(ctx, args, note);
    case 4: return DelUserLog(ctx, args, note);
    case 91: return ChangePassword(ctx, args, note);
    case 100: return LogInServer(ctx, args, note);
    case 101: return AdviseOp(ctx, args, note);
    default: break;
  }
  bool has_key = proc->param_count > 0 && proc->params[0].shape == rpc::Shape::kKey;
  Key key;
  if (has_key) {
    int32_t rc = CheckKey(ctx, args, &key, note);
    if (rc != kOk) return rc;
  }
  if (opnum == 87) return kOk;  // rpcSychronize: nothing is cached apart from the store
  return FamilyMain(ctx, opnum, args, key, note);
}

int32_t FaxService::FamilyMain(const rpc::CallContext& ctx, uint16_t opnum,
                               rpc::ServerArgs& args, const Key& key, Note* note) {
  for (ProcedureFamily* family : families_) {
    if (!family->HandlesMain(opnum)) continue;
    // A procedure without a key (95) comes with an empty user.
    const rpc::ProcDesc* proc = MainProc(opnum);
    bool keyless = proc->param_count == 0 || proc->params[0].shape != rpc::Shape::kKey;
    std::optional<User> user = keyless ? std::optional<User>(User{}) : store_->GetUser(key.user);
    if (!user) {
      note->detail = "bad key";
      return AsResult(kBadKey);
    }
    Call call(ctx, args, *user, key.session, &note->detail);
    return family->Main(call, opnum);
  }
  note->detail = "not handled";
  return AsResult(kNotHandled);
}

int32_t FaxService::FamilyServiceControl(const rpc::CallContext& ctx, uint16_t opnum,
                                         rpc::ServerArgs& args, const Key* key, Note* note) {
  for (ProcedureFamily* family : families_) {
    if (!family->HandlesServiceControl(opnum)) continue;
    User user;
    if (key != nullptr) {
      std::optional<User> stored = store_->GetUser(key->user);
      if (!stored) {
        note->detail = "bad key";
        return AsResult(kBadKey);
      }
      user = std::move(*stored);
    }
    Call call(ctx, args, user, key ? key->session : 0, &note->detail);
    return family->ServiceControl(call, opnum);
  }
  note->detail = "not handled";
  return AsResult(kNotHandled);
}

int32_t FaxService::ServiceControl(const rpc::CallContext& ctx, uint16_t opnum,
                                   rpc::ServerArgs& args, Note* note) {
  switch (opnum) {
    case 3: return GetServerCaps(ctx, args, note);
    case 0:
      // rpcServerStart carries a zeroed key and a user and password of its
      // own, which the family checks; the log names no user for it (the
      // text is not verified here), and both texts are bounded first.
      if (args[2].text.size() > kMaxUserIdLength || args[3].text.size() > kMaxPasswordLength) {
        note->detail = "user or password longer than its field";
        return AsResult(kTextTooLong);
      }
      return FamilyServiceControl(ctx, opnum, args, nullptr, note);
    case 1:
    case 2:
    case 4:
    case 5: {
      Key key;
      int32_t rc = CheckKey(ctx, args, &key, note);
      if (rc != kOk) return rc;
      return FamilyServiceControl(ctx, opnum, args, &key, note);
    }
    default: return AsResult(kBadArgument);
  }
}

int32_t FaxService::CheckKey(const rpc::CallContext& ctx, const rpc::ServerArgs& args, Key* key,
                             Note* note) {
  // The note names the user only once the key is verified.
  note->detail = "bad key";
  const std::vector<uint8_t>& b = args[1].bytes;
  if (b.size() != kKeySize) return AsResult(kBadKey);
  const char* p = reinterpret_cast<const char*>(b.data());
  key->user.assign(p, strnlen(p, 20));
  key->session = static_cast<int32_t>(GetU32(b, 20));
  if (key->session == 0 || !ValidUserId(key->user)) return AsResult(kBadKey);
  std::optional<Session> s = store_->LiveSession(key->user, key->session);
  if (!s) return AsResult(kBadKey);
  std::string binding = CallerBinding(ctx);
  if (binding.empty() || s->binding != binding) {
    note->detail = "key of another caller";
    Log("key of " + key->user + " refused: another caller (" + DescribePeer(ctx) + ")");
    return AsResult(kBadKey);
  }
  int64_t now = options_.now();
  int64_t idle = options_.session_idle_seconds;
  if (idle > 0 && now - s->last_used >= idle) {
    store_->CloseSession(key->user, key->session);
    ForgetSession(key->session);
    note->detail = "session expired";
    return AsResult(kBadKey);
  }
  // The last use is noted coarsely (a sixteenth of the idle time), so that
  // calls seldom write.
  if (now - s->last_used >= std::max<int64_t>(1, idle / 16)) store_->TouchSession(key->session, now);
  note->user = key->user;
  note->session = key->session;
  note->detail.clear();
  return kOk;
}

int32_t FaxService::CheckRight(const Key& key, int mask_index, uint32_t bit) {
  std::optional<User> u = store_->GetUser(key.user);
  if (!u) return AsResult(kBadKey);
  return (u->rights[mask_index] & bit) ? kOk : AsResult(kAccessDenied);
}

std::optional<std::string> FaxService::CallerUser(const rpc::CallContext& ctx,
                                                  bool register_unknown, std::string* why) {
  if (ctx.protseq == "ncalrpc") {
    if (!ctx.has_peer_credentials) {
      *why = "local caller without credentials";
      return std::nullopt;
    }
    std::optional<std::string> os_user = options_.os_user_name(ctx.peer_uid);
    if (!os_user) {
      *why = "uid " + std::to_string(ctx.peer_uid) + " has no account name";
      return std::nullopt;
    }
    if (std::optional<std::string> mapped = store_->UserForOsUser(*os_user)) {
      if (store_->GetUser(*mapped)) return mapped;
      *why = "OS user " + *os_user + " maps to a missing user";
      return std::nullopt;
    }
    if (!register_unknown || !options_.register_local_users) {
      *why = "OS user " + *os_user + " is not mapped to a user";
      return std::nullopt;
    }
    if (!ValidUserId(*os_user) || store_->GetUser(*os_user)) {
      *why = "OS user " + *os_user + " cannot be registered under its own name";
      return std::nullopt;
    }
    User u;
    u.id = *os_user;
    u.name = Clip(*os_user, 31);
    if (!store_->AddUser(u, "") || !store_->MapOsUser(*os_user, u.id)) {
      *why = "registration failed: " + store_->last_error();
      return std::nullopt;
    }
    Log("registered OS user " + *os_user + " as a user without rights");
    return u.id;
  }
  if (options_.tcp_user.empty()) {
    *why = "TCP logins are disabled";
    return std::nullopt;
  }
  if (options_.tcp_user == ServiceOptions::kDefaultTcpUser && !store_->GetUser(options_.tcp_user)) {
    // The default TCP user has no rights; it is made on first use.
    User guest;
    guest.id = options_.tcp_user;
    guest.name = "TCP caller";
    if (store_->AddUser(guest, "")) Log("created TCP user " + guest.id + " without rights");
  }
  if (!store_->GetUser(options_.tcp_user)) {
    *why = "TCP user " + options_.tcp_user + " does not exist";
    return std::nullopt;
  }
  return options_.tcp_user;
}

int32_t FaxService::ConnectServer(const rpc::CallContext& ctx, rpc::ServerArgs& args,
                                  Note* note) {
  args[1].bytes = MakeKey("", 0);
  std::string why;
  std::optional<std::string> user = CallerUser(ctx, /*register_unknown=*/true, &why);
  if (!user) {
    note->detail = why;
    Log("connect refused: " + why + " (" + DescribePeer(ctx) + ")");
    return AsResult(kUnknownCaller);
  }
  args[1].bytes = MakeKey(*user, 0);
  note->user = *user;
  note->detail = "identified";
  return kOk;
}

int32_t FaxService::LogInServer(const rpc::CallContext& ctx, rpc::ServerArgs& args, Note* note) {
  args[1].bytes = MakeKey("", 0);
  std::vector<uint8_t>& info = args[3].bytes;
  if (args[2].number != static_cast<int32_t>(kServerInfoSize) || info.size() != kServerInfoSize) {
    note->detail = "server information size " + std::to_string(args[2].number);
    return AsResult(kBadRecord);
  }
  std::string why;
  std::optional<std::string> user = CallerUser(ctx, /*register_unknown=*/false, &why);
  if (!user) {
    note->detail = why;
    Log("login refused: " + why + " (" + DescribePeer(ctx) + ")");
    if (RefusalMayBeLogged(options_.now()))
      SessionEvent(system_log_, SystemLog::Level::kWarning, "",
                   "login refused: " + why + " (" + DescribePeer(ctx) + ")");
    return AsResult(kUnknownCaller);
  }
  std::string binding = CallerBinding(ctx);
  if (binding.empty()) {
    note->detail = "caller without identity";
    return AsResult(kUnknownCaller);
  }
  int64_t now = options_.now();
  if (options_.session_idle_seconds > 0)
    store_->ExpireSessions(now - options_.session_idle_seconds);
  std::optional<std::vector<uint8_t>> record = store_->UserRecord(*user);
  std::optional<int32_t> session =
      record ? store_->OpenSession(*user, ctx.protseq, Clip(DescribePeer(ctx), 63),
                                   ctx.connection_id, binding, now,
                                   options_.max_sessions_per_user)
             : std::nullopt;
  if (!session) {
    note->detail = "store: " + store_->last_error();
    return AsResult(kStoreFailure);
  }
  std::fill(info.begin(), info.end(), 0);
  PutU32(info, serverinfo::kVersion, kServerVersion);
  PutText(info, serverinfo::kHostName, 31, HostName());
  PutText(info, serverinfo::kServerName, 20, options_.server_name);
  PutText(info, serverinfo::kVersionText, 31, kServerVersionText);
  PutText(info, serverinfo::kProtseq, 20, ctx.protseq);
  PutText(info, serverinfo::kStartTime, 65, TimeText(start_time_));
  std::array<uint8_t, 16> instance = store_->InstanceId();
  std::memcpy(&info[serverinfo::kInstanceId], instance.data(), instance.size());
  PutU32(info, serverinfo::kSessionNo, static_cast<uint32_t>(*session));
  PutU32(info, serverinfo::kLoginTime, static_cast<uint32_t>(now));
  uint8_t token[16] = {};
  if (getrandom(token, sizeof token, 0) == static_cast<ssize_t>(sizeof token))
    std::memcpy(&info[serverinfo::kSessionToken], token, sizeof token);
  std::memcpy(&info[serverinfo::kUserInfo], record->data(), kUserRecordSize);
  args[1].bytes = MakeKey(*user, *session);
  note->user = *user;
  note->session = *session;
  note->detail = "logged in";
  Log("login: " + *user + " session " + std::to_string(*session) + " (" + DescribePeer(ctx) + ")");
  SessionEvent(system_log_, SystemLog::Level::kInfo, *user,
               "login: session " + std::to_string(*session) + " (" + DescribePeer(ctx) + ")");
  return kOk;
}

int32_t FaxService::LogoutServer(const rpc::CallContext& ctx, rpc::ServerArgs& args, Note* note) {
  Key key;
  int32_t rc = CheckKey(ctx, args, &key, note);
  if (rc != kOk) return rc;
  // A concurrent logout of the same key may win the race: then this one
  // names a session that is no longer live.
  if (!store_->CloseSession(key.user, key.session)) {
    note->detail = "bad key";
    return AsResult(kBadKey);
  }
  ForgetSession(key.session);
  SessionEvent(system_log_, SystemLog::Level::kInfo, key.user,
               "logout: session " + std::to_string(key.session));
  note->detail = "logged out";
  return kOk;
}

int32_t FaxService::QueryUserLog(const rpc::CallContext& ctx, rpc::ServerArgs& args, Note* note) {
  args[3].present = false;
  args[3].bytes.clear();
  args[4].number = 0;
  if (args[2].text.size() > kMaxConditionLength) {
    note->detail = "condition longer than " + std::to_string(kMaxConditionLength);
    return AsResult(kTextTooLong);
  }
  Key key;
  int32_t rc = CheckKey(ctx, args, &key, note);
  if (rc != kOk) return rc;
  note->detail = "condition: " + Clip(args[2].text, 200);
  if ((rc = CheckRight(key, kUserLogMask, kUserLogBit)) != kOk) return rc;
  LogFilter filter;
  std::string why;
  if (!ParseLogCondition(args[2].text, &filter, &why)) {
    note->detail += " (" + why + ")";
    return AsResult(kBadCondition);
  }
  // The answer is bounded by the reply setting; the memory of answers
  // being built is bounded across the server.
  size_t limit = std::min(options_.max_log_records,
                          std::max<size_t>(1, options_.max_reply_bytes / sizeof(UserLogRecord)));
  // The answer and its encoded copy on the wire.
  size_t reserve = limit * 2 * sizeof(UserLogRecord);
  if (replies_in_flight_.fetch_add(reserve) + reserve > options_.max_replies_in_flight) {
    replies_in_flight_.fetch_sub(reserve);
    note->detail += " (too many answers in flight)";
    return AsResult(kServerBusy);
  }
  struct Release {
    std::atomic<size_t>& n;
    size_t v;
    ~Release() { n.fetch_sub(v); }
  } release{replies_in_flight_, reserve};
  // Other users' live session numbers never leave the server.
  std::vector<int32_t> live = store_->LiveSessionNumbers();
  std::sort(live.begin(), live.end());
  // Records are written straight from the rows, without a copy of the
  // rows in between.
  std::vector<uint8_t>& out = args[3].bytes;
  size_t records = 0;
  bool ok = store_->ForEachUserLog(filter, limit, [&](const UserLogEntry& e) {
    UserLogRecord r;
    std::memset(&r, 0, sizeof r);
    r.dwLogID = static_cast<uint32_t>(e.id);
    r.dwTime = static_cast<uint32_t>(e.time);
    PutText(reinterpret_cast<uint8_t*>(r.szUserID), sizeof r.szUserID, e.user_id);
    r.dwSessionNo = e.user_id != key.user && std::binary_search(live.begin(), live.end(),
                                                                e.session_no)
                        ? 0
                        : e.session_no;
    r.dwOpnum = e.opnum;
    r.lResult = e.result;
    PutText(reinterpret_cast<uint8_t*>(r.szProcedure), sizeof r.szProcedure, e.procedure);
    std::string detail = e.peer.empty() ? e.detail : e.peer + ": " + e.detail;
    PutText(reinterpret_cast<uint8_t*>(r.szDetail), sizeof r.szDetail, detail);
    AppendRecord(&out, r);
    ++records;
  });
  if (!ok) {
    out.clear();
    Log("user log query failed: " + store_->last_error());
    return AsResult(kStoreFailure);
  }
  args[3].present = !out.empty();
  args[4].number = static_cast<int32_t>(out.size());
  note->detail += " -> " + std::to_string(records) + " records";
  return kOk;
}

int32_t FaxService::DelUserLog(const rpc::CallContext& ctx, rpc::ServerArgs& args, Note* note) {
  if (args[2].text.size() > kMaxConditionLength) {
    note->detail = "condition longer than " + std::to_string(kMaxConditionLength);
    return AsResult(kTextTooLong);
  }
  Key key;
  int32_t rc = CheckKey(ctx, args, &key, note);
  if (rc != kOk) return rc;
  note->detail = "condition: " + Clip(args[2].text, 200);
  if ((rc = CheckRight(key, kUserLogMask, kUserLogBit)) != kOk) return rc;
  LogFilter filter;
  std::string why;
  if (!ParseLogCondition(args[2].text, &filter, &why)) {
    note->detail += " (" + why + ")";
    return AsResult(kBadCondition);
  }
  std::optional<int64_t> n = store_->DeleteUserLog(filter);
  if (!n) {
    Log("user log delete failed: " + store_->last_error());
    return AsResult(kStoreFailure);
  }
  note->detail += " -> " + std::to_string(*n) + " deleted";
  return kOk;
}

int32_t FaxService::ChangePassword(const rpc::CallContext& ctx, rpc::ServerArgs& args,
                                   Note* note) {
  // Both texts are bounded before anything else: the old one is hashed.
  if (args[2].text.size() > kMaxPasswordLength) {
    note->detail = "old password too long";
    return AsResult(kTextTooLong);
  }
  Key key;
  int32_t rc = CheckKey(ctx, args, &key, note);
  if (rc != kOk) return rc;
  // Neither password ever reaches the log.
  if (args[3].text.size() > kMaxPasswordLength) {
    note->detail = "new password too long";
    return AsResult(kBadPassword);
  }
  if (!store_->CheckPassword(key.user, args[2].text)) {
    note->detail = "old password does not match";
    return AsResult(kWrongPassword);
  }
  if (!store_->SetPassword(key.user, args[3].text)) {
    Log("password change failed: " + store_->last_error());
    return AsResult(kStoreFailure);
  }
  note->detail = "password changed";
  return kOk;
}

int32_t FaxService::AdviseOp(const rpc::CallContext& ctx, rpc::ServerArgs& args, Note* note) {
  const std::vector<uint8_t>& guid = args[1].bytes;
  int32_t op = args[2].number;
  int32_t length = args[3].number;
  const std::vector<uint8_t>& data = args[4].bytes;
  note->detail = "operation " + std::to_string(op) + " length " + std::to_string(length);
  if (guid.size() != 16 || std::memcmp(guid.data(), kAdviseEventGuid, 16) != 0) {
    note->detail += " (unknown event identifier)";
    return AsResult(kBadArgument);
  }
  if (op == kAdviseOp) {
    if (length != QZ_SIZEOF_ADVISEINFO || data.size() != QZ_SIZEOF_ADVISEINFO)
      return AsResult(kBadRecord);
    AdviseRegistration reg;
    reg.cookie = GetU32(data, 8);
    if (reg.cookie == 0) {
      note->detail += " (cookie 0)";
      return AsResult(kBadArgument);
    }
    reg.record = data;
    // The registration belongs to the caller's session: no session, no
    // registration; it goes when the session ends.
    std::optional<int32_t> session;
    if (std::string binding = CallerBinding(ctx); !binding.empty())
      session = store_->NewestLiveSession(binding);
    if (!session) {
      note->detail += " (no session)";
      return AsResult(kBadKey);
    }
    reg.session = *session;
    std::vector<int32_t> live = store_->LiveSessionNumbers();
    std::sort(live.begin(), live.end());
    std::lock_guard<std::mutex> lock(advise_mu_);
    // Registrations of sessions that ended meanwhile (expired at another
    // caller's login, or by the per-user bound) go first.
    size_t held = 0;
    for (auto it = advise_.begin(); it != advise_.end();) {
      std::erase_if(it->second, [&](const AdviseRegistration& r) {
        return !std::binary_search(live.begin(), live.end(), r.session);
      });
      for (const AdviseRegistration& r : it->second) held += r.session == reg.session;
      it = it->second.empty() ? advise_.erase(it) : std::next(it);
    }
    if (held >= options_.max_advise_per_session) return AsResult(kTooMany);
    advise_[ctx.connection_id].push_back(std::move(reg));
    note->detail += " registered cookie " + std::to_string(GetU32(data, 8));
    return kOk;
  }
  if (op == kUnadviseOp) {
    if (length != QZ_SIZEOF_UNADVISEINFO || data.size() != QZ_SIZEOF_UNADVISEINFO)
      return AsResult(kBadRecord);
    uint32_t cookie = GetU32(data, 0);
    std::lock_guard<std::mutex> lock(advise_mu_);
    auto it = advise_.find(ctx.connection_id);
    size_t removed = 0;
    if (it != advise_.end()) {
      std::vector<AdviseRegistration>& regs = it->second;
      size_t before = regs.size();
      std::erase_if(regs, [&](const AdviseRegistration& r) {
        return cookie == 0 || r.cookie == cookie;
      });
      removed = before - regs.size();
      if (regs.empty()) advise_.erase(it);
    }
    // Removing what is not registered leaves the wanted state: success.
    note->detail += " removed " + std::to_string(removed);
    return kOk;
  }
  return AsResult(kBadArgument);
}

int32_t FaxService::GetServerCaps(const rpc::CallContext& ctx, rpc::ServerArgs& args,
                                  Note* note) {
  // The caps need no key; a valid one names the caller in the log.
  Key key;
  Note checked;
  if (CheckKey(ctx, args, &key, &checked) == kOk) {
    note->user = checked.user;
    note->session = checked.session;
  }
  std::vector<uint8_t>& block = args[2].bytes;
  if (args[3].number != QZ_SIZEOF_SERVERCAPS || block.size() != QZ_SIZEOF_SERVERCAPS)
    return AsResult(kBadRecord);
  ServerCapsRecord caps;
  std::memset(&caps, 0, sizeof caps);
  caps.dwSize = sizeof caps;
  caps.dwVersion = kServerVersion;
  caps.dwFlags = kCapUserLog | kCapPasswords | kCapAdvise;
  caps.dwActiveSessions = static_cast<uint32_t>(store_->CountLiveSessions());
  caps.dwStartTime = static_cast<uint32_t>(start_time_);
  caps.dwNow = static_cast<uint32_t>(options_.now());
  PutText(reinterpret_cast<uint8_t*>(caps.szServerName), sizeof caps.szServerName,
          options_.server_name);
  PutText(reinterpret_cast<uint8_t*>(caps.szVersion), sizeof caps.szVersion, kServerVersionText);
  PutText(reinterpret_cast<uint8_t*>(caps.szHostName), sizeof caps.szHostName, HostName());
  std::memcpy(block.data(), &caps, sizeof caps);
  return kOk;
}

std::vector<AdviseRegistration> FaxService::AdviseRegistrations(uint64_t connection_id) {
  std::lock_guard<std::mutex> lock(advise_mu_);
  auto it = advise_.find(connection_id);
  return it == advise_.end() ? std::vector<AdviseRegistration>{} : it->second;
}

void FaxService::ForgetConnection(uint64_t connection_id) {
  std::lock_guard<std::mutex> lock(advise_mu_);
  advise_.erase(connection_id);
}

void FaxService::ForgetSession(int32_t session) {
  std::lock_guard<std::mutex> lock(advise_mu_);
  for (auto it = advise_.begin(); it != advise_.end();) {
    std::erase_if(it->second, [&](const AdviseRegistration& r) { return r.session == session; });
    it = it->second.empty() ? advise_.erase(it) : std::next(it);
  }
}

}  // namespace qz::faxd
