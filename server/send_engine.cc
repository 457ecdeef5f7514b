// send_engine.cc -- the send queue's tables, scheduler and simulated lines.
#include "server/send_engine.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <utility>

#include "server/sql.h"

namespace qz::faxd {

const SchemaPart kSendQueueSchema = {
    "send_queue",
    {{1,
      "CREATE TABLE send_tasks ("
      " id INTEGER PRIMARY KEY AUTOINCREMENT, owner TEXT NOT NULL, state INTEGER NOT NULL,"
      " priority INTEGER NOT NULL, attempts INTEGER NOT NULL, max_attempts INTEGER NOT NULL,"
      " pages_done INTEGER NOT NULL, pages_total INTEGER NOT NULL, flags INTEGER NOT NULL,"
      " line_id INTEGER NOT NULL, recv_id INTEGER NOT NULL, last_result INTEGER NOT NULL,"
      " submit_ms INTEGER NOT NULL, schedule_ms INTEGER NOT NULL, next_try_ms INTEGER NOT NULL,"
      " start_ms INTEGER NOT NULL, end_ms INTEGER NOT NULL, number TEXT NOT NULL,"
      " name TEXT NOT NULL, subject TEXT NOT NULL, sender TEXT NOT NULL,"
      " cover_page TEXT NOT NULL, document_name TEXT NOT NULL, document_file TEXT NOT NULL,"
      " last_error TEXT NOT NULL);"
      "CREATE INDEX send_tasks_queue ON send_tasks(state, priority, submit_ms);"
      "CREATE INDEX send_tasks_owner ON send_tasks(owner);"
      "CREATE TABLE recv_tasks ("
      " id INTEGER PRIMARY KEY AUTOINCREMENT, owner TEXT NOT NULL, state INTEGER NOT NULL,"
      " line_id INTEGER NOT NULL, pages INTEGER NOT NULL, start_ms INTEGER NOT NULL,"
      " end_ms INTEGER NOT NULL, send_task_id INTEGER NOT NULL, line_number TEXT NOT NULL,"
      " sender_number TEXT NOT NULL, sender_user TEXT NOT NULL, recipient_name TEXT NOT NULL,"
      " subject TEXT NOT NULL, destination TEXT NOT NULL, document_file TEXT NOT NULL);"
      "CREATE INDEX recv_tasks_owner ON recv_tasks(owner);"}}};

namespace {

constexpr const char kSendColumns[] =
    "id, owner, state, priority, attempts, max_attempts, pages_done, pages_total, flags, "
    "line_id, recv_id, last_result, submit_ms, schedule_ms, next_try_ms, start_ms, end_ms, "
    "number, name, subject, sender, cover_page, document_name, document_file, last_error";
constexpr const char kRecvColumns[] =
    "id, owner, state, line_id, pages, start_ms, end_ms, send_task_id, line_number, "
    "sender_number, sender_user, recipient_name, subject, destination, document_file";

SendTask ReadSendTask(Stmt& s) {
  SendTask t;
  int c = 0;
  t.id = s.Int(c++);
  t.owner = s.Text(c++);
  uint32_t* u32[] = {&t.state,   &t.priority, &t.attempts, &t.max_attempts, &t.pages_done,
                     &t.pages_total, &t.flags, &t.line_id,  &t.recv_id};
  for (uint32_t* p : u32) *p = static_cast<uint32_t>(s.Int(c++));
  t.last_result = static_cast<int32_t>(s.Int(c++));
  for (int64_t* p : {&t.submit_ms, &t.schedule_ms, &t.next_try_ms, &t.start_ms, &t.end_ms})
    *p = s.Int(c++);
  for (std::string* p : {&t.number, &t.name, &t.subject, &t.sender, &t.cover_page,
                         &t.document_name, &t.document_file, &t.last_error})
    *p = s.Text(c++);
  return t;
}

RecvTask ReadRecvTask(Stmt& s) {
  RecvTask t;
  int c = 0;
  t.id = s.Int(c++);
  t.owner = s.Text(c++);
  t.state = static_cast<uint32_t>(s.Int(c++));
  t.line_id = static_cast<uint32_t>(s.Int(c++));
  t.pages = static_cast<uint32_t>(s.Int(c++));
  t.start_ms = s.Int(c++);
  t.end_ms = s.Int(c++);
  t.send_task_id = s.Int(c++);
  for (std::string* p : {&t.line_number, &t.sender_number, &t.sender_user, &t.recipient_name,
                         &t.subject, &t.destination, &t.document_file})
    *p = s.Text(c++);
  return t;
}

template <typename T, typename Read>
std::vector<T> Select(sqlite3* db, const char* table, const char* columns,
                      const std::string& where, const std::vector<std::string>& params,
                      size_t limit, Read read) {
  std::string sql = std::string("SELECT ") + columns + " FROM " + table +
                    (where.empty() ? "" : " WHERE " + where) + " ORDER BY id LIMIT ?";
  Stmt s(db, sql);
  std::vector<Param> p(params.begin(), params.end());
  p.emplace_back(static_cast<int64_t>(limit));
  std::vector<T> out;
  if (!BindAll(s, p)) return out;
  while (s.Step() == SQLITE_ROW) out.push_back(read(s));
  return out;
}

int64_t Saved(sqlite3* db, Stmt& s, int64_t id) {
  if (s.Step() != SQLITE_DONE) return 0;
  return id != 0 ? id : sqlite3_last_insert_rowid(db);
}

bool MakeDir(const std::string& path) {
  return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

const char* OutcomeText(int32_t result) {
  switch (result) {
    case QZ_SEND_OK: return "sent";
    case QZ_SEND_BUSY: return "busy";
    case QZ_SEND_NOANSWER: return "no answer";
    case QZ_SEND_LINEFAIL: return "line failed during a page";
    case QZ_SEND_INTERRUPTED: return "interrupted by a service stop";
    default: return "";
  }
}

}  // namespace

std::string DigitsOf(const std::string& number) {
  std::string d;
  for (char c : number)
    if (c >= '0' && c <= '9') d += c;
  return d;
}

DialOutcome DialPlan(const std::string& digits, uint32_t attempts_before, bool own_line) {
  if (own_line) return DialOutcome::kOwnLine;
  std::string tail = digits.size() >= 2 ? digits.substr(digits.size() - 2) : "";
  if (tail == "99") return DialOutcome::kBusy;
  if (tail == "98") return DialOutcome::kNoAnswer;
  if (tail == "97") return DialOutcome::kLineFail;
  if (tail == "96" && attempts_before == 0) return DialOutcome::kBusy;
  return DialOutcome::kSent;
}

std::optional<SendTask> LoadSendTask(sqlite3* db, int64_t id) {
  auto v = Select<SendTask>(db, "send_tasks", kSendColumns, "id = ?", {std::to_string(id)}, 1,
                            ReadSendTask);
  if (v.empty()) return std::nullopt;
  return v.front();
}

std::vector<SendTask> LoadSendTasks(sqlite3* db, const std::string& where,
                                    const std::vector<std::string>& params, size_t limit) {
  return Select<SendTask>(db, "send_tasks", kSendColumns, where, params, limit, ReadSendTask);
}

std::optional<RecvTask> LoadRecvTask(sqlite3* db, int64_t id) {
  auto v = Select<RecvTask>(db, "recv_tasks", kRecvColumns, "id = ?", {std::to_string(id)}, 1,
                            ReadRecvTask);
  if (v.empty()) return std::nullopt;
  return v.front();
}

std::vector<RecvTask> LoadRecvTasks(sqlite3* db, const std::string& where,
                                    const std::vector<std::string>& params, size_t limit) {
  return Select<RecvTask>(db, "recv_tasks", kRecvColumns, where, params, limit, ReadRecvTask);
}

int64_t SaveSendTask(sqlite3* db, const SendTask& t) {
  Stmt s(db, std::string("INSERT OR REPLACE INTO send_tasks (") + kSendColumns +
                 ") VALUES (NULLIF(?, 0), ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?,"
                 " ?, ?, ?, ?, ?, ?)");
  std::vector<Param> p = {t.id, t.owner};
  for (uint32_t v : {t.state, t.priority, t.attempts, t.max_attempts, t.pages_done,
                     t.pages_total, t.flags, t.line_id, t.recv_id})
    p.emplace_back(static_cast<int64_t>(v));
  p.emplace_back(static_cast<int64_t>(t.last_result));
  for (int64_t v : {t.submit_ms, t.schedule_ms, t.next_try_ms, t.start_ms, t.end_ms})
    p.emplace_back(v);
  for (const std::string* v : {&t.number, &t.name, &t.subject, &t.sender, &t.cover_page,
                               &t.document_name, &t.document_file, &t.last_error})
    p.emplace_back(*v);
  if (!BindAll(s, p)) return 0;
  return Saved(db, s, t.id);
}

int64_t SaveRecvTask(sqlite3* db, const RecvTask& t) {
  Stmt s(db, std::string("INSERT OR REPLACE INTO recv_tasks (") + kRecvColumns +
                 ") VALUES (NULLIF(?, 0), ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  std::vector<Param> p = {t.id, t.owner, static_cast<int64_t>(t.state),
                          static_cast<int64_t>(t.line_id), static_cast<int64_t>(t.pages),
                          t.start_ms, t.end_ms, t.send_task_id};
  for (const std::string* v : {&t.line_number, &t.sender_number, &t.sender_user,
                               &t.recipient_name, &t.subject, &t.destination, &t.document_file})
    p.emplace_back(*v);
  if (!BindAll(s, p)) return 0;
  return Saved(db, s, t.id);
}

SendEngine::SendEngine(ServerContext* context) : context_(context) {}

SendEngine::~SendEngine() { Stop(); }

void SendEngine::RemoveOrphanDocuments() {
  if (context_->data_dir.empty()) return;
  // File names (not paths: the data directory may have moved) that rows name.
  std::set<std::string> named;
  context_->store->WithDb([&](sqlite3* db) {
    for (const char* sql : {"SELECT document_file FROM send_tasks",
                            "SELECT document_file FROM recv_tasks",
                            "SELECT document FROM print_jobs"}) {
      Stmt s(db, sql);
      while (s.Step() == SQLITE_ROW)
        named.insert(std::filesystem::path(s.Text(0)).filename().string());
    }
    return true;
  });
  int removed = 0;
  for (const auto& [dir, prefix] : {std::pair<const char*, const char*>{"/documents", "doc-"},
                                    {"/received", "recv-"}}) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(context_->data_dir + dir, ec)) {
      const std::string name = e.path().filename().string();
      if (name.rfind(prefix, 0) != 0 || e.path().extension() != ".tif" || named.count(name) ||
          !e.is_regular_file(ec) || e.is_symlink(ec))
        continue;
      if (std::filesystem::remove(e.path(), ec)) ++removed;
    }
  }
  if (removed > 0)
    Event(SystemLog::Level::kWarning, "",
          "removed " + std::to_string(removed) + " document file(s) no task names");
}

void SendEngine::Start() {
  if (!context_->data_dir.empty()) {
    MakeDir(context_->data_dir + "/documents");
    MakeDir(context_->data_dir + "/received");
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    // Attempts do not survive a restart: what was on a line goes back to
    // the queue without counting the attempt.
    context_->store->Transaction([](sqlite3* db) {
      Stmt s(db,
             "UPDATE send_tasks SET state = ?, attempts = MAX(attempts - 1, 0), pages_done = 0,"
             " last_result = ? WHERE state = ?");
      return s.Bind(1, int64_t{QZ_TASK_QUEUED}) && s.Bind(2, int64_t{QZ_SEND_INTERRUPTED}) &&
             s.Bind(3, int64_t{QZ_TASK_SENDING}) && s.Step() == SQLITE_DONE;
    });
    stopping_ = false;
  }
  if (context_->send_simulation.engine_thread && !thread_.joinable())
    thread_ = std::thread([this] { Loop(); });
}

void SendEngine::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void SendEngine::Wake() { cv_.notify_all(); }

void SendEngine::Loop() {
  std::unique_lock<std::mutex> lock(mu_);
  while (!stopping_) {
    int64_t now = context_->clock->NowMs();
    StepLocked(now);
    int64_t next = NextEventLocked();
    int64_t wait = std::clamp<int64_t>(next - now, 1, 1000);
    cv_.wait_for(lock, std::chrono::milliseconds(wait));
  }
}

void SendEngine::Step() {
  std::lock_guard<std::mutex> lock(mu_);
  StepLocked(context_->clock->NowMs());
}

int64_t SendEngine::NextEventMs() {
  std::lock_guard<std::mutex> lock(mu_);
  return NextEventLocked();
}

void SendEngine::RunFor(ManualClock& clock, int64_t ms) {
  int64_t target = clock.NowMs() + ms;
  while (true) {
    int64_t next;
    {
      std::lock_guard<std::mutex> lock(mu_);
      StepLocked(clock.NowMs());
      next = NextEventLocked();
    }
    if (next > target) break;
    clock.Set(next);
  }
  clock.Set(target);
  Step();
}

bool SendEngine::RunUntilIdle(ManualClock& clock, int64_t limit_ms) {
  int64_t end = clock.NowMs() + limit_ms;
  while (true) {
    int64_t next;
    bool idle;
    {
      std::lock_guard<std::mutex> lock(mu_);
      StepLocked(clock.NowMs());
      next = NextEventLocked();
      int64_t queued = context_->store->WithDb([](sqlite3* db) {
        Stmt s(db, "SELECT COUNT(*) FROM send_tasks WHERE state = ?");
        return s.Bind(1, int64_t{QZ_TASK_QUEUED}) && s.Step() == SQLITE_ROW ? s.Int(0) : -1;
      });
      idle = attempts_.empty() && queued == 0;
    }
    if (idle) return true;
    if (next > end) {
      clock.Set(end);
      Step();
      return false;
    }
    clock.Set(next);
  }
}

SendEngine::Service SendEngine::service() {
  std::lock_guard<std::mutex> lock(mu_);
  return service_;
}

bool SendEngine::AcceptsJobs() {
  std::lock_guard<std::mutex> lock(mu_);
  return AcceptsJobsLocked();
}

void SendEngine::SetService(Service s, bool interrupt) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    service_ = s;
    if (interrupt) {
      int64_t now = context_->clock->NowMs();
      std::map<uint32_t, Attempt> ended;
      ended.swap(attempts_);
      for (const auto& [line, a] : ended) FinishAttempt(a, QZ_SEND_INTERRUPTED, now);
    }
  }
  cv_.notify_all();
}

size_t SendEngine::ActiveAttempts() {
  std::lock_guard<std::mutex> lock(mu_);
  return attempts_.size();
}

std::vector<LineView> SendEngine::Lines() {
  if (context_->telephony) return context_->telephony->Lines();
  std::vector<LineView> lines;
  const SendSimulation& sim = context_->send_simulation;
  for (uint32_t i = 0; i < sim.lines; ++i) {
    LineView l;
    l.id = i + 1;
    l.number = std::to_string(uint64_t{sim.first_number} + i);
    l.name = "simulated line " + std::to_string(i + 1);
    lines.push_back(l);
  }
  return lines;
}

bool SendEngine::DropAttemptLocked(int64_t id) {
  for (auto it = attempts_.begin(); it != attempts_.end(); ++it) {
    if (it->second.task_id != id) continue;
    // Reported at the next step: the caller may hold the store's lock,
    // which the lines family may need.
    idle_lines_.push_back(it->first);
    attempts_.erase(it);
    return true;
  }
  return false;
}

void SendEngine::Event(SystemLog::Level level, const std::string& user, const std::string& text) {
  if (context_->system_log)
    context_->system_log->Write(level, "send queue", user, text);
  else if (context_->log)
    context_->log("send queue: " + text);
}

int64_t SendEngine::AttemptEventMs(const Attempt& a) const {
  const SendSimulation& sim = context_->send_simulation;
  int64_t connected = a.start_ms + sim.connect_ms;
  switch (a.outcome) {
    case DialOutcome::kBusy: return connected;
    case DialOutcome::kNoAnswer: return a.start_ms + 3 * int64_t{sim.connect_ms};
    case DialOutcome::kLineFail:
      if (a.pages_done + 1 == a.fail_page)
        return connected + int64_t{a.pages_done} * sim.page_ms + sim.page_ms / 2;
      break;
    default: break;
  }
  return connected + int64_t{a.pages_done + 1} * sim.page_ms;
}

bool SendEngine::AdvanceAttempt(Attempt& a, int64_t now) {
  while (AttemptEventMs(a) <= now) {
    int64_t at = AttemptEventMs(a);
    if (a.outcome == DialOutcome::kBusy) return FinishAttempt(a, QZ_SEND_BUSY, at), true;
    if (a.outcome == DialOutcome::kNoAnswer) return FinishAttempt(a, QZ_SEND_NOANSWER, at), true;
    if (a.outcome == DialOutcome::kLineFail && a.pages_done + 1 == a.fail_page)
      return FinishAttempt(a, QZ_SEND_LINEFAIL, at), true;
    ++a.pages_done;
    if (a.pages_done >= a.pages_total) return FinishAttempt(a, QZ_SEND_OK, at), true;
    context_->store->WithDb([&](sqlite3* db) {
      Stmt s(db, "UPDATE send_tasks SET pages_done = ? WHERE id = ?");
      return s.Bind(1, int64_t{a.pages_done}) && s.Bind(2, a.task_id) && s.Step() == SQLITE_DONE;
    });
  }
  return false;
}

void SendEngine::FinishAttempt(const Attempt& a, int32_t result, int64_t now) {
  if (context_->telephony) context_->telephony->ReportLineState(a.line_id, "idle");
  std::optional<SendTask> t =
      context_->store->WithDb([&](sqlite3* db) { return LoadSendTask(db, a.task_id); });
  if (!t || t->state != QZ_TASK_SENDING) return;
  t->last_result = result;
  t->last_error = std::string(OutcomeText(result)) + ", dialled " + a.dialled;
  t->pages_done = result == QZ_SEND_OK ? t->pages_total : a.pages_done;
  if (result == QZ_SEND_OK) {
    t->state = QZ_TASK_DONE;
    t->end_ms = now;
    if (a.outcome == DialOutcome::kOwnLine) t->recv_id = Deliver(a, *t, now);
    Event(SystemLog::Level::kInfo, t->owner,
          "fax " + std::to_string(t->id) + " sent to " + t->number + " (dialled " + a.dialled +
              " on line " + std::to_string(a.line_id) + ", " + std::to_string(t->pages_total) +
              " pages)");
  } else if (result == QZ_SEND_INTERRUPTED) {
    t->state = QZ_TASK_QUEUED;
    t->attempts = t->attempts > 0 ? t->attempts - 1 : 0;
  } else if (t->attempts < t->max_attempts) {
    t->state = QZ_TASK_QUEUED;
    t->next_try_ms = now + context_->send_simulation.retry_ms;
  } else {
    t->state = QZ_TASK_FAILED;
    t->end_ms = now;
    Event(SystemLog::Level::kWarning, t->owner,
          "fax " + std::to_string(t->id) + " to " + t->number + " failed after " +
              std::to_string(t->attempts) + " attempts: " + t->last_error);
  }
  if (!context_->store->Transaction([&](sqlite3* db) { return SaveSendTask(db, *t) != 0; }))
    Event(SystemLog::Level::kError, t->owner,
          "fax " + std::to_string(t->id) + ": store failure, the outcome \"" + t->last_error +
              "\" is lost");
}

uint32_t SendEngine::Deliver(const Attempt& a, const SendTask& t, int64_t now) {
  RecvTask r;
  r.owner = t.owner;
  r.state = QZ_RECV_RECEIVED;
  r.line_id = a.own_line.id;
  r.pages = t.pages_total;
  r.start_ms = a.start_ms + context_->send_simulation.connect_ms;
  r.end_ms = now;
  r.send_task_id = t.id;
  r.line_number = a.own_line.number;
  r.sender_number = "";
  for (const LineView& l : Lines())
    if (l.id == a.line_id) r.sender_number = l.number;
  r.sender_user = t.owner;
  r.recipient_name = t.name;
  r.subject = t.subject;
  int64_t id = 0;
  context_->store->Transaction([&](sqlite3* db) { return (id = SaveRecvTask(db, r)) != 0; });
  if (id == 0) {
    Event(SystemLog::Level::kError, t.owner,
          "fax " + std::to_string(t.id) + " to line " + a.own_line.number +
              ": store failure, not received");
    return 0;
  }
  r.id = id;
  // The received fax is a copy of what was sent, in the server's store.
  if (!context_->data_dir.empty()) {
    r.document_file = context_->data_dir + "/received/recv-" + std::to_string(id) + ".tif";
    std::error_code ec;
    std::filesystem::copy_file(t.document_file, r.document_file,
                               std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) r.document_file.clear();
  }
  ReceivedFax fax;
  fax.recv_task_id = static_cast<uint32_t>(id);
  fax.line_id = r.line_id;
  fax.line_number = r.line_number;
  fax.sender_number = r.sender_number;
  fax.sender_user = t.owner;
  fax.recipient_name = t.name;
  fax.subject = t.subject;
  fax.document_path = r.document_file;
  fax.pages = r.pages;
  fax.time_ms = now;
  // Without routing the fax goes back to the user who sent it.
  std::vector<Destination> to;
  if (context_->routing) to = context_->routing->Route(fax);
  if (to.empty()) to.push_back({Destination::Kind::kUser, t.owner});
  static const char* const kKinds[] = {"user", "department", "printer"};
  r.destination = std::string(kKinds[static_cast<int>(to.front().kind)]) + " " + to.front().id;
  if (to.front().kind == Destination::Kind::kUser) r.owner = to.front().id;
  bool filed = false;
  if (context_->inbox)
    for (const Destination& d : to) filed = context_->inbox->Deliver(fax, d) || filed;
  if (filed) r.state = QZ_RECV_DELIVERED;
  bool printer_only = std::all_of(to.begin(), to.end(), [](const Destination& d) {
    return d.kind == Destination::Kind::kPrinter;
  });
  if (context_->inbox && !filed && !printer_only)
    Event(SystemLog::Level::kWarning, r.owner,
          "received fax " + std::to_string(id) + " could not be filed for " + r.destination +
              "; it stays a receive task");
  if (!context_->store->Transaction([&](sqlite3* db) { return SaveRecvTask(db, r) != 0; }))
    Event(SystemLog::Level::kError, r.owner,
          "received fax " + std::to_string(id) + ": store failure while filing it");
  Event(SystemLog::Level::kInfo, r.owner,
        "fax received on line " + r.line_number + " from fax " + std::to_string(t.id) + " (" +
            std::to_string(r.pages) + " pages) for " + r.destination);
  return static_cast<uint32_t>(id);
}

void SendEngine::StartAttempts(int64_t now) {
  if (service_ != Service::kRunning && service_ != Service::kDraining) return;
  std::vector<LineView> lines = Lines();
  std::vector<LineView> free_lines;
  for (const LineView& l : lines)
    if (l.in_service && !attempts_.count(l.id)) free_lines.push_back(l);
  if (free_lines.empty()) return;
  std::vector<SendTask> due = context_->store->WithDb([&](sqlite3* db) {
    std::vector<SendTask> out;
    Stmt s(db, std::string("SELECT ") + kSendColumns +
                   " FROM send_tasks WHERE state = ? AND schedule_ms <= ? AND next_try_ms <= ?"
                   " ORDER BY priority DESC, submit_ms, id LIMIT 64");
    if (s.Bind(1, int64_t{QZ_TASK_QUEUED}) && s.Bind(2, now) && s.Bind(3, now))
      while (s.Step() == SQLITE_ROW) out.push_back(ReadSendTask(s));
    return out;
  });
  for (SendTask& t : due) {
    if (free_lines.empty()) break;
    auto line = std::find_if(free_lines.begin(), free_lines.end(), [&](const LineView& l) {
      return !context_->telephony || context_->telephony->MayDial(l.id, t.number, now);
    });
    if (line == free_lines.end()) continue;
    std::string digits = DigitsOf(t.number);
    Attempt a;
    a.task_id = t.id;
    a.line_id = line->id;
    a.start_ms = now;
    a.pages_total = std::max<uint32_t>(t.pages_total, 1);
    for (const LineView& own : lines)
      if (!digits.empty() && DigitsOf(own.number) == digits) a.own_line = own;
    a.outcome = DialPlan(digits, t.attempts, a.own_line.id != 0);
    a.fail_page = std::min<uint32_t>(2, a.pages_total);
    // What the line dials: the number through the dial rules and the
    // prefix table. The dial plan above judges the number as submitted,
    // so a fax to one of our own lines arrives whatever prefix is dialled.
    a.dialled = context_->telephony ? context_->telephony->DialString(line->id, t.number) : digits;
    t.state = QZ_TASK_SENDING;
    ++t.attempts;
    t.line_id = line->id;
    t.start_ms = now;
    t.pages_done = 0;
    t.last_error = "dialling " + a.dialled;
    if (!context_->store->Transaction([&](sqlite3* db) { return SaveSendTask(db, t) != 0; })) {
      Event(SystemLog::Level::kError, t.owner,
            "fax " + std::to_string(t.id) + ": store failure, not dialled");
      continue;
    }
    if (context_->telephony) context_->telephony->ReportLineState(line->id, "dialing " + a.dialled);
    attempts_[line->id] = a;
    free_lines.erase(line);
  }
}

void SendEngine::StepLocked(int64_t now) {
  if (context_->telephony)
    for (uint32_t line : idle_lines_) context_->telephony->ReportLineState(line, "idle");
  idle_lines_.clear();
  for (auto it = attempts_.begin(); it != attempts_.end();) {
    if (AdvanceAttempt(it->second, now))
      it = attempts_.erase(it);
    else
      ++it;
  }
  StartAttempts(now);
  if (service_ == Service::kDraining && attempts_.empty()) {
    int64_t due = context_->store->WithDb([&](sqlite3* db) {
      Stmt s(db, "SELECT COUNT(*) FROM send_tasks WHERE state = ? AND schedule_ms <= ? AND"
                 " next_try_ms <= ?");
      return s.Bind(1, int64_t{QZ_TASK_QUEUED}) && s.Bind(2, now) && s.Bind(3, now) &&
                     s.Step() == SQLITE_ROW
                 ? s.Int(0)
                 : 0;
    });
    if (due == 0) {
      service_ = Service::kStopped;
      Event(SystemLog::Level::kInfo, "", "fax service stopped: the queue is drained");
    }
  }
}

int64_t SendEngine::NextEventLocked() {
  int64_t next = std::numeric_limits<int64_t>::max();
  for (const auto& [line, a] : attempts_) next = std::min(next, AttemptEventMs(a));
  if (service_ != Service::kRunning && service_ != Service::kDraining) return next;
  size_t in_service = 0;
  for (const LineView& l : Lines()) in_service += l.in_service ? 1 : 0;
  if (attempts_.size() >= in_service) return next;
  std::optional<int64_t> due = context_->store->WithDb([](sqlite3* db) -> std::optional<int64_t> {
    Stmt s(db, "SELECT MIN(MAX(schedule_ms, next_try_ms)) FROM send_tasks WHERE state = ?");
    if (!s.Bind(1, int64_t{QZ_TASK_QUEUED}) || s.Step() != SQLITE_ROW || s.IsNull(0))
      return std::nullopt;
    return s.Int(0);
  });
  if (due) {
    // A task still due after a step waits for a line its rules allow:
    // look again in a second.
    int64_t now = context_->clock->NowMs();
    next = std::min(next, *due <= now ? now + 1000 : *due);
  }
  return next;
}

}  // namespace qz::faxd
