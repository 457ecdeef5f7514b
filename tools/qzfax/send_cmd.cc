// send_cmd.cc -- "qzfax send", "qzfax queue" and "qzfax drafts": submitting
// faxes, following, steering, editing and forwarding send tasks, and drafts
// of fax jobs.
//
// Thread-safety: single-threaded, as the command line is.
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <optional>
#include <thread>

#include "commands.h"
#include "frame.h"

namespace qzfax {
namespace {

// The options of a fax job, shared by "send" and "drafts add".
struct JobOptions {
  std::string document;
  std::vector<std::string> to;
  uint32_t priority = 5;
  uint32_t attempts = 0;
  std::string cover, subject, sender;
  bool hold = false;
};

void AddJobOptions(CLI::App* app, JobOptions& o) {
  app->add_option("document", o.document, "The fax document: a TIFF file, CCITT Group 3 or 4")
      ->required();
  app->add_option("-t,--to", o.to,
                  "Recipient: NUMBER or \"NAME <NUMBER>\"; repeat for several (at most 64)")
      ->required();
  app->add_option("-p,--priority", o.priority, "Priority, 0 (lowest) to 9 (highest)")
      ->check(CLI::Range(0, 9))
      ->capture_default_str();
  app->add_option("--attempts", o.attempts, "Attempts before the fax fails, 1 to 10 (default: the server's)")
      ->check(CLI::Range(1, 10));
  app->add_option("-c,--cover", o.cover, "Name of the cover page to put in front");
  app->add_option("-s,--subject", o.subject, "Subject");
  app->add_option("--sender", o.sender, "Sender's name as printed on the cover page");
  app->add_flag("--hold", o.hold, "Hold the fax for authorisation");
}

// Splits "NAME <NUMBER>" or "NUMBER"; a number with other characters than
// digits, blanks and + - ( ) . is bad input.
std::pair<std::string, std::string> Recipient(const std::string& text) {
  std::string name, number = text;
  size_t open = text.rfind('<');
  if (open != std::string::npos && !text.empty() && text.back() == '>') {
    number = text.substr(open + 1, text.size() - open - 2);
    name = text.substr(0, open);
    while (!name.empty() && name.back() == ' ') name.pop_back();
  }
  bool digit = false;
  for (char c : number) {
    if (c >= '0' && c <= '9') digit = true;
    else if (std::string(" +-().").find(c) == std::string::npos)
      Usage("\"" + text + "\" is not a fax number (digits, blanks and + - ( ) . only)");
  }
  if (!digit) Usage("\"" + text + "\" is not a fax number");
  return {number, name};
}

// One FAXJOB_TABLE per recipient, checked before anything is sent.
std::vector<FAXJOB_TABLE> Jobs(const JobOptions& o) {
  if (o.to.size() > 64) Usage("at most 64 recipients in one submission");
  CheckFaxTiff(o.document);
  const std::string path = Absolute(o.document);
  std::vector<FAXJOB_TABLE> jobs;
  for (const std::string& to : o.to) {
    auto [number, name] = Recipient(to);
    FAXJOB_TABLE job{};
    job.dwSize = sizeof job;
    job.dwPriority = o.priority;
    job.dwMaxAttempts = o.attempts;
    job.dwFlags = o.hold ? QZ_FAXJOB_HOLD : 0;
    Put(job.szRecipientNumber, number, "recipient number");
    Put(job.szRecipientName, name, "recipient name");
    Put(job.szSubject, o.subject, "--subject");
    Put(job.szSender, o.sender, "--sender");
    Put(job.szCoverPage, o.cover, "--cover");
    Put(job.szDocumentPath, path, "document path");
    jobs.push_back(job);
  }
  return jobs;
}

json TaskJson(const SENDTASK_TABLE& t) {
  return {{"fax_id", t.dwFaxID},
          {"state", TaskState(t.dwState)},
          {"priority", t.dwPriority},
          {"attempts", t.dwAttempts},
          {"max_attempts", t.dwMaxAttempts},
          {"pages_done", t.dwPagesDone},
          {"pages_total", t.dwPagesTotal},
          {"submitted", Time(t.dwSubmitTime)},
          {"scheduled", Time(t.dwScheduleTime)},
          {"next_try", Time(t.dwNextTryTime)},
          {"ended", Time(t.dwEndTime)},
          {"line", t.dwLineID},
          {"held", (t.dwFlags & QZ_FAXJOB_HOLD) != 0},
          {"received_as", t.dwRecvID},
          {"user", Text(t.szUserID)},
          {"recipient", Text(t.szRecipientNumber)},
          {"recipient_name", Text(t.szRecipientName)},
          {"subject", Text(t.szSubject)},
          {"sender", Text(t.szSender)},
          {"cover_page", Text(t.szCoverPage)},
          {"document", Text(t.szDocument)},
          {"last_result", Text(t.szLastError)}};
}

const std::vector<Column> kTaskColumns = {
    {"fax_id", "ID"},         {"state", "STATE"},       {"user", "USER"},
    {"recipient", "NUMBER"},  {"priority", "PRI"},      {"pages_done", "DONE"},
    {"pages_total", "PAGES"}, {"attempts", "TRIES"},    {"submitted", "SUBMITTED"},
    {"last_result", "LAST RESULT"}};

bool Finished(uint32_t state) {
  return state == QZ_TASK_DONE || state == QZ_TASK_FAILED || state == QZ_TASK_STOPPED;
}

// Follows the tasks until each is finished, drawing a bar of pages on
// stderr; returns false when `timeout` seconds pass first.
bool Follow(const Session& s, const std::vector<uint32_t>& ids, int timeout) {
  const bool bar = !Global().json;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
  std::string last;
  for (;;) {
    Block<TASKINFO> info;
    Check(RemoteGetTaskProgress(s.id(), ids.data(), static_cast<uint32_t>(ids.size()), info.out(),
                                &info.n),
          "reading the progress (RemoteGetTaskProgress)");
    uint32_t done = 0, total = 0;
    bool all = true;
    std::string states;
    for (const TASKINFO& t : info) {
      done += t.dwPagesDone;
      total += t.dwPagesTotal;
      all = all && (Finished(t.dwState) || t.dwState == 0);
      states += (states.empty() ? "" : ",") + TaskState(t.dwState);
    }
    if (bar) {
      const int width = 30;
      int filled = total == 0 ? 0 : static_cast<int>(width * done / total);
      std::string line = "[" + std::string(filled, '#') + std::string(width - filled, '.') + "] " +
                         std::to_string(done) + "/" + std::to_string(total) + " pages  " + states;
      if (line != last) std::cerr << "\r" << line << std::string(8, ' ') << std::flush;
      last = line;
    }
    if (all) break;
    if (std::chrono::steady_clock::now() > deadline) {
      if (bar) std::cerr << "\n";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  if (bar) std::cerr << "\n";
  return true;
}

std::vector<SENDTASK_TABLE> ViewTasks(const Session& s, uint32_t flag, uint32_t id) {
  Block<SENDTASK_TABLE> tasks;
  Check(RemoteViewSendTask(s.id(), flag, id, tasks.out(), &tasks.n),
        "reading the send queue (RemoteViewSendTask)");
  return {tasks.begin(), tasks.end()};
}

// The task with that ID: among everyone's when the user may see them, else
// among their own.
SENDTASK_TABLE FindTask(const Session& s, uint32_t id) {
  Block<SENDTASK_TABLE> all;
  uint32_t status = RemoteViewSendTask(s.id(), 0, id, all.out(), &all.n);
  std::vector<SENDTASK_TABLE> t;
  if (status == QZ_OK)
    t.assign(all.begin(), all.end());
  else if (status == QZ_E_ACCESSDENIED || status == 0xC1FE0007u)
    t = ViewTasks(s, 1, id);
  else
    Check(status, "reading the send queue (RemoteViewSendTask)");
  if (t.size() != 1) throw Failure(kExitNotFound, "no task " + std::to_string(id));
  return t[0];
}

// "send --inline": one connection record whose data is the document
// itself, so that the server needs no access to the file (over TCP it
// reads files only below its spool directory). The server answers only a
// status: the task IDs are not known here.
//
// The server's RPC runtime takes requests of at most 4 MiB and faults a
// larger one with a bare status 5; the record and up to 64 recipients
// need less than 64 KiB of it, so a document up to this size always fits.
constexpr size_t kMaxInlineDocument = (4u << 20) - (64u << 10);

void SendInline(const JobOptions& o) {
  std::vector<FAXJOB_TABLE> jobs = Jobs(o);  // the same checks as any submission
  if (o.hold) Usage("--hold cannot be given with --inline: the connection record does not carry it");
  const std::string data = ReadFile(o.document);
  if (data.size() > kMaxInlineDocument)
    Usage(o.document + " is too large to send inline (at most " + std::to_string(kMaxInlineDocument) +
          " bytes); name the file instead");
  const uint32_t pages = CheckFaxTiff(o.document);
  CONNSENDINFO c{};
  c.nValue1 = static_cast<int32_t>(o.priority);
  c.nValue3 = static_cast<int32_t>(o.attempts);
  Put(c.szText2, o.subject, "--subject");
  Put(c.szText3, o.sender, "--sender");
  Put(c.szText4, o.cover, "--cover");
  std::vector<CONNSENDITEM> items(jobs.size());
  json to = json::array();
  for (size_t i = 0; i < jobs.size(); ++i) {
    Put(items[i].szRecipientNumber, Text(jobs[i].szRecipientNumber), "recipient number");
    Put(items[i].szRecipientName, Text(jobs[i].szRecipientName), "recipient name");
    to.push_back(Text(jobs[i].szRecipientNumber));
  }
  c.nItemCount = static_cast<int32_t>(items.size());
  c.pItems = reinterpret_cast<const uint8_t*>(items.data());
  c.nDataLength = static_cast<int32_t>(data.size());
  c.pData = reinterpret_cast<const uint8_t*>(data.data());
  Session s;
  Check(SendFaxFromConn(s.id(), &c), "submitting the fax (SendFaxFromConn)");
  Done(std::to_string(items.size()) + " fax(es) queued, the document sent inline (" +
           std::to_string(data.size()) + " bytes, " + std::to_string(pages) + " page(s))",
       {{"recipients", to}, {"bytes", data.size()}, {"pages", pages}, {"inline", true}});
}

void AddSend(CLI::App& root) {
  static JobOptions o;
  static bool wait = false, inline_document = false;
  static int timeout = 600;
  CLI::App* send = Command(root, "send", "Send a TIFF fax document to one or more recipients", [] {
    if (inline_document) {
      if (wait) Usage("--wait cannot follow an --inline submission: the server does not return its task IDs");
      SendInline(o);
      return;
    }
    std::vector<FAXJOB_TABLE> jobs = Jobs(o);
    Session s;
    std::vector<SENDRESULT_TABLE> results(jobs.size());
    uint32_t status = RemoteSendFax(s.id(), reinterpret_cast<const FAXJOB_TABLE*>(jobs.data()),
                                    static_cast<uint32_t>(jobs.size()), results.data());
    json rows = json::array();
    std::vector<uint32_t> ids;
    for (size_t i = 0; i < jobs.size(); ++i) {
      const SENDRESULT_TABLE& r = results[i];
      rows.push_back({{"fax_id", r.dwFaxID},
                      {"recipient", Text(jobs[i].szRecipientNumber)},
                      {"status", r.lStatus},
                      {"state", TaskState(r.dwState)},
                      {"pages", r.dwPages},
                      {"detail", Text(r.szDetail)}});
      if (r.dwFaxID != 0) ids.push_back(r.dwFaxID);
    }
    if (status != QZ_OK) {
      for (const json& row : rows)
        if (row["status"] != 1 && row["status"] != 0)  // 0: refused before the server filled it
          std::cerr << "qzfax: " << row["recipient"].get<std::string>() << ": "
                    << DescribeStatus(static_cast<uint32_t>(row["status"].get<int32_t>())) << "\n";
      throw Failure(ExitFor(status), "submitting the fax (RemoteSendFax): status " +
                    DescribeStatus(status), status, {{"faxes", rows}});
    }
    if (!wait) {
      Emit("faxes", rows,
           {{"fax_id", "ID"}, {"recipient", "NUMBER"}, {"state", "STATE"}, {"pages", "PAGES"},
            {"detail", "DETAIL"}});
      return;
    }
    if (!Global().json)
      for (const json& row : rows)
        std::cout << "fax " << row["fax_id"] << " to " << row["recipient"].get<std::string>()
                  << ": " << row["detail"].get<std::string>() << "\n";
    const bool finished = Follow(s, ids, timeout);
    json outcome = json::array();
    bool failed = false;
    for (uint32_t id : ids)
      for (const SENDTASK_TABLE& t : ViewTasks(s, 1, id)) {
        outcome.push_back(TaskJson(t));
        failed = failed || t.dwState != QZ_TASK_DONE;
      }
    // With --json a failure's document carries the outcome (one document).
    if (!Global().json || (finished && !failed))
      Emit("faxes", outcome,
           {{"fax_id", "ID"}, {"recipient", "NUMBER"}, {"state", "STATE"}, {"pages_done", "DONE"},
            {"pages_total", "PAGES"}, {"attempts", "TRIES"}, {"received_as", "RECEIVED AS"},
            {"last_result", "LAST RESULT"}});
    if (!finished)
      throw Failure(kExitFaxFailed, "gave up waiting after " + std::to_string(timeout) + " s", 0,
                    {{"faxes", outcome}});
    if (failed)
      throw Failure(kExitFaxFailed, "a fax was not sent (see its last result)", 0,
                    {{"faxes", outcome}});
  });
  AddJobOptions(send, o);
  send->add_flag("-w,--wait", wait,
                 "Follow the faxes with a progress bar of pages until they are finished; the "
                 "exit status is 8 when one is not sent");
  send->add_flag("--inline", inline_document,
                 "Carry the document inside the request instead of naming its file (for a server that "
                 "cannot read the file, e.g. over TCP); the task IDs are not shown, and --wait and --hold "
                 "are not taken");
  send->add_option("--timeout", timeout, "Seconds --wait follows the faxes at most")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
}

void AddQueue(CLI::App& root) {
  CLI::App* queue = Group(root, "queue", "The send queue: list, follow and steer send tasks");
  static bool all = false;
  static uint32_t id = 0;
  CLI::App* list = Command(*queue, "list", "List send tasks (your own; --all: everyone's)", [] {
    Session s;
    json rows = json::array();
    for (const SENDTASK_TABLE& t : ViewTasks(s, all ? 0 : 1, id)) rows.push_back(TaskJson(t));
    Emit("tasks", rows, kTaskColumns);
  });
  list->add_flag("-a,--all", all, "Everyone's tasks (needs the right to view all)");
  list->add_option("--id", id, "Only this task");

  static uint32_t show_id = 0;
  Command(*queue, "show", "Show one send task with every field", [] {
    Session s;
    EmitObject(TaskJson(FindTask(s, show_id)));
  })->add_option("id", show_id, "Task ID")->required();

  // Only the options given change the task; the rest is sent back as read.
  static uint32_t edit_id = 0;
  static std::string edit_to, edit_subject, edit_sender, edit_cover;
  static std::optional<uint32_t> edit_priority, edit_attempts;
  CLI::App* edit = Command(*queue, "edit", "Change a queued, held or locked task's recipient, texts, priority or attempts", [] {
    if (edit_to.empty() && edit_subject.empty() && edit_sender.empty() && edit_cover.empty() &&
        !edit_priority && !edit_attempts)
      Usage("give at least one of --to, --subject, --sender, --cover, --priority, --attempts");
    auto change = [](SENDTASK_TABLE& t) {
      if (!edit_to.empty()) {
        auto [number, name] = Recipient(edit_to);
        Put(t.szRecipientNumber, number, "recipient number");
        Put(t.szRecipientName, name, "recipient name");
      }
      if (!edit_subject.empty()) Put(t.szSubject, edit_subject, "--subject");
      if (!edit_sender.empty()) Put(t.szSender, edit_sender, "--sender");
      if (!edit_cover.empty()) Put(t.szCoverPage, edit_cover, "--cover");
      if (edit_priority) t.dwPriority = *edit_priority;
      if (edit_attempts) t.dwMaxAttempts = *edit_attempts;
    };
    SENDTASK_TABLE checked{};
    change(checked);  // bad input is refused before anything is sent
    Session s;
    SENDTASK_TABLE t = FindTask(s, edit_id);
    change(t);
    Check(RemoteEditSendTask(s.id(), &t, 1), "changing the task (RemoteEditSendTask)");
    Done("task " + std::to_string(edit_id) + " changed", TaskJson(t));
  });
  edit->add_option("id", edit_id, "Task ID")->required();
  edit->add_option("-t,--to", edit_to, "New recipient: NUMBER or \"NAME <NUMBER>\"");
  edit->add_option("-s,--subject", edit_subject, "New subject");
  edit->add_option("--sender", edit_sender, "New sender's name");
  edit->add_option("-c,--cover", edit_cover, "New cover page");
  edit->add_option("-p,--priority", edit_priority, "New priority, 0 to 9")->check(CLI::Range(0, 9));
  edit->add_option("--attempts", edit_attempts, "New number of attempts, 1 to 10")->check(CLI::Range(1, 10));

  // One transfer header with one entry per recipient.
  static uint32_t forward_id = 0, forward_priority = 5;
  static std::vector<std::string> forward_to;
  static bool forward_received = false;
  CLI::App* forward = Command(*queue, "forward", "Send the document of a send or receive task again to other recipients", [] {
    if (forward_to.size() > 64) Usage("at most 64 recipients at once");
    TRANSFERFAX_TABLE h{forward_id, static_cast<uint32_t>(forward_to.size()), forward_received ? 1u : 0u};
    std::string request(reinterpret_cast<const char*>(&h), sizeof h);
    for (const std::string& to : forward_to) {
      auto [number, name] = Recipient(to);
      TRANSFERFAX_ITEM item{};
      Put(item.szRecipientNumber, number, "recipient number");
      Put(item.szRecipientName, name, "recipient name");
      item.dwPriority = forward_priority;
      request.append(reinterpret_cast<const char*>(&item), sizeof item);
    }
    // The request is read as 32-bit words: copied into an aligned buffer.
    std::vector<uint32_t> words(request.size() / 4);
    std::memcpy(words.data(), request.data(), request.size());
    std::vector<SENDRESULT_TABLE> results(1);
    Session s;
    Check(RemoteTransmitFax(s.id(), reinterpret_cast<const TRANSFERFAX_TABLE*>(words.data()), 1, results.data()),
          "forwarding (RemoteTransmitFax)");
    Done(std::string(forward_received ? "receive" : "send") + " task " + std::to_string(forward_id) +
             " forwarded to " + std::to_string(forward_to.size()) + " recipient(s)",
         {{"source_id", forward_id}, {"received", forward_received}, {"recipients", forward_to}});
  });
  forward->add_option("id", forward_id, "ID of the send task (or with --received the receive task)")->required();
  forward->add_option("-t,--to", forward_to, "Recipient: NUMBER or \"NAME <NUMBER>\"; repeat for several (at most 64)")
      ->required();
  forward->add_option("-p,--priority", forward_priority, "Priority, 0 (lowest) to 9 (highest)")
      ->check(CLI::Range(0, 9))->capture_default_str();
  forward->add_flag("--received", forward_received, "The ID is a receive task (\"received_as\" of a task)");

  // The commands on a list of IDs.
  static std::vector<uint32_t> ids;
  static bool force = false, received = false;
  auto ids_command = [&](const char* name, const char* help, std::function<uint32_t(uint32_t)> call,
                         const char* what, const char* done) {
    CLI::App* c = Command(*queue, name, help, [call, what, done] {
      if (ids.size() > 1024) Usage("at most 1024 IDs at once");
      Session s;
      Check(call(s.id()), what);
      Done(std::string(done) + ": " + std::to_string(ids.size()) + " task(s)", {{"ids", ids}});
    });
    c->add_option("ids", ids, "Task IDs")->required()->check(CLI::Range(1u, 0xFFFFFFFFu));
    return c;
  };
  ids_command("stop", "Stop sending tasks (an attempt in progress ends)",
              [](uint32_t sid) {
                return RemoteSendFaxStop(sid, ids.data(), static_cast<uint32_t>(ids.size()));
              },
              "stopping (RemoteSendFaxStop)", "stopped");
  ids_command("lock", "Lock queued or held tasks so that they are not sent",
              [](uint32_t sid) {
                return RemoteLockTask(sid, ids.data(), static_cast<uint32_t>(ids.size()), 1);
              },
              "locking (RemoteLockTask)", "locked");
  CLI::App* del = ids_command(
      "delete", "Delete finished send tasks (--force: any send task; --received: receive tasks)",
      [](uint32_t sid) {
        return RemoteDeleteTask(sid, ids.data(), static_cast<uint32_t>(ids.size()),
                                received ? 2 : force ? 1 : 0);
      },
      "deleting (RemoteDeleteTask)", "deleted");
  del->add_flag("-f,--force", force, "Also tasks not finished (an attempt in progress ends)");
  del->add_flag("--received", received, "The IDs are receive tasks");

  static uint32_t pri_id = 0, pri = 0;
  CLI::App* priority = Command(*queue, "priority", "Change a task's priority", [] {
    Session s;
    TASKPRIORITY p{pri_id, pri, 0};
    Check(RemoteEditTaskPRI(s.id(), &p, 1), "changing the priority (RemoteEditTaskPRI)");
    Done("task " + std::to_string(pri_id) + ": priority " + std::to_string(pri),
         {{"fax_id", pri_id}, {"priority", pri}});
  });
  priority->add_option("id", pri_id, "Task ID")->required();
  priority->add_option("priority", pri, "New priority, 0 to 9")->required()->check(CLI::Range(0, 9));

  static uint32_t auth_id = 0;
  static bool refuse = false;
  CLI::App* auth = Command(*queue, "authorise", "Release a fax held for authorisation (or refuse it)", [] {
    Session s;
    Check(RemoteAuthToFax(s.id(), auth_id, refuse ? 0 : 1), "authorising (RemoteAuthToFax)");
    Done("task " + std::to_string(auth_id) + (refuse ? ": refused" : ": authorised"),
         {{"fax_id", auth_id}, {"authorised", !refuse}});
  });
  auth->alias("authorize");
  auth->add_option("id", auth_id, "Task ID")->required();
  auth->add_flag("--refuse", refuse, "Refuse the fax instead (it fails)");

  Command(*queue, "held", "List the faxes waiting for authorisation", [] {
    Session s;
    Block<SENDTASK_TABLE> tasks;
    Check(RemoteGetAuthTasks(s.id(), tasks.out(), &tasks.n), "reading held tasks (RemoteGetAuthTasks)");
    json rows = json::array();
    for (const SENDTASK_TABLE& t : tasks) rows.push_back(TaskJson(t));
    Emit("tasks", rows, kTaskColumns);
  });

  static std::vector<uint32_t> progress_ids;
  Command(*queue, "progress", "Show the pages sent so far of tasks", [] {
    Session s;
    Block<TASKINFO> info;
    Check(RemoteGetTaskProgress(s.id(), progress_ids.data(),
                                static_cast<uint32_t>(progress_ids.size()), info.out(), &info.n),
          "reading the progress (RemoteGetTaskProgress)");
    json rows = json::array();
    for (const TASKINFO& t : info)
      rows.push_back({{"fax_id", t.dwFaxID}, {"state", TaskState(t.dwState)},
                      {"pages_done", t.dwPagesDone}, {"pages_total", t.dwPagesTotal}});
    Emit("progress", rows,
         {{"fax_id", "ID"}, {"state", "STATE"}, {"pages_done", "DONE"}, {"pages_total", "PAGES"}});
  })->add_option("ids", progress_ids, "Task IDs")->required();
}

// A draft is a DRAFT_HEADER followed by FAXJOB_TABLE records, so that the
// server can submit it as it stands.
std::string DraftBlock(const std::vector<FAXJOB_TABLE>& jobs, uint32_t draft_id) {
  std::string block(sizeof(DRAFT_HEADER), '\0');
  block.append(reinterpret_cast<const char*>(jobs.data()), jobs.size() * sizeof(FAXJOB_TABLE));
  DRAFT_HEADER h{static_cast<uint32_t>(block.size()), draft_id, 0, 0};
  std::memcpy(block.data(), &h, sizeof h);
  return block;
}

void AddDrafts(CLI::App& root) {
  CLI::App* drafts = Group(root, "drafts", "Drafts of fax jobs kept on the server");
  Command(*drafts, "list", "List your drafts with their recipients", [] {
    Session s;
    Block<void> block;  // n = 0 asks for every draft
    Check(GetDraftInformation(s.id(), block.out(), &block.n),
          "reading drafts (GetDraftInformation)");
    json rows = json::array();
    const auto* bytes = static_cast<const uint8_t*>(block.p);
    for (uint32_t at = 0; block.p != nullptr && at + sizeof(DRAFT_HEADER) <= block.n;) {
      DRAFT_HEADER h;
      std::memcpy(&h, bytes + at, sizeof h);
      if (h.dwLength < sizeof h || h.dwLength > block.n - at) break;
      json to = json::array();
      std::string document;
      for (uint32_t j = sizeof h; j + sizeof(FAXJOB_TABLE) <= h.dwLength;) {
        FAXJOB_TABLE job;
        std::memcpy(&job, bytes + at + j, sizeof job);
        if (job.dwSize < sizeof job) break;
        to.push_back(Text(job.szRecipientNumber));
        document = Text(job.szDocumentPath);
        j += job.dwSize;
      }
      rows.push_back({{"draft_id", h.dwDraftID}, {"changed", Time(h.dwTime)},
                      {"bytes", h.dwLength}, {"recipients", to}, {"document", document}});
      at += h.dwLength;
    }
    Emit("drafts", rows,
         {{"draft_id", "ID"}, {"changed", "CHANGED"}, {"recipients", "TO"}, {"document", "DOCUMENT"}});
  });

  static JobOptions o;
  CLI::App* add = Command(*drafts, "add", "Keep a fax job as a draft (send it later with \"drafts send\")", [] {
    std::vector<FAXJOB_TABLE> jobs = Jobs(o);
    std::string block = DraftBlock(jobs, 0);
    Session s;
    Check(NewDraftInformation(s.id(), block.data(), static_cast<uint32_t>(block.size())),
          "storing the draft (NewDraftInformation)");
    Done("draft stored (" + std::to_string(jobs.size()) + " recipient(s))",
         {{"recipients", jobs.size()}});
  });
  AddJobOptions(add, o);

  static uint32_t draft_id = 0;
  static JobOptions edit_o;
  CLI::App* edit = Command(*drafts, "edit", "Replace a draft's fax job (document, recipients and options)", [] {
    std::string block = DraftBlock(Jobs(edit_o), draft_id);
    Session s;
    Check(EditDraftInformation(s.id(), block.data(), static_cast<uint32_t>(block.size())),
          "changing the draft (EditDraftInformation)");
    Done("draft " + std::to_string(draft_id) + " changed (" + std::to_string(edit_o.to.size()) + " recipient(s))",
         {{"draft_id", draft_id}, {"recipients", edit_o.to.size()}});
  });
  edit->add_option("id", draft_id, "Draft ID")->required();
  AddJobOptions(edit, edit_o);

  Command(*drafts, "send", "Submit a draft (the draft stays)", [] {
    Session s;
    Check(SendFaxFromDraft(s.id(), draft_id), "sending the draft (SendFaxFromDraft)");
    Done("draft " + std::to_string(draft_id) + " submitted", {{"draft_id", draft_id}});
  })->add_option("id", draft_id, "Draft ID")->required();
  Command(*drafts, "delete", "Delete a draft", [] {
    Session s;
    Check(DelDraftInformation(s.id(), draft_id), "deleting the draft (DelDraftInformation)");
    Done("draft " + std::to_string(draft_id) + " deleted", {{"draft_id", draft_id}});
  })->add_option("id", draft_id, "Draft ID")->required();
}

}  // namespace

void AddSendCommands(CLI::App& root) {
  AddSend(root);
  AddQueue(root);
  AddDrafts(root);
}

}  // namespace qzfax
