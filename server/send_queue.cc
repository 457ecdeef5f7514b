// send_queue.cc -- procedures of the send queue and the service control.
#include "server/send_queue.h"

#include "server/files.h"
#include "server/store_common.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

#include "server/client_files.h"
#include "server/fax_document.h"
#include "server/sql.h"

namespace qz::faxd {
namespace {

// Rights bits (dwRights[2] for one's own tasks, dwRights[0] for everyone's).
constexpr uint32_t kSubmitBit = 0x20;      // [2]
constexpr uint32_t kViewOwnBit = 0x40;     // [2]
constexpr uint32_t kViewAllBit = 0x40;     // [0]
constexpr uint32_t kSteerOwnBit = 0x80;    // [2]: lock, priorities, edit
constexpr uint32_t kSteerAllBit = 0x10;    // [0]
constexpr uint32_t kStopOwnBit = 0x100;    // [2]: stop, release, delete
constexpr uint32_t kStopAllBit = 0x20;     // [0]
constexpr uint32_t kProgressOwnBit = 0x200;  // [2]
constexpr uint32_t kAuthoriseBit = 0x80;   // [0]: authorise held faxes of everyone
// Private flag: the task was held for authorisation when it was locked.
constexpr uint32_t kLockedFromHeld = 0x40000000;

uint32_t GetU32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

template <size_t N>
void PutText(char (&field)[N], const std::string& text) {
  std::memset(field, 0, N);
  std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}

bool ValidNumber(const std::string& number) {
  if (DigitsOf(number).empty()) return false;
  return std::all_of(number.begin(), number.end(), [](char c) {
    return (c >= '0' && c <= '9') || std::strchr(" +-().", c) != nullptr;
  });
}

bool Finished(uint32_t state) {
  return state == QZ_TASK_DONE || state == QZ_TASK_FAILED || state == QZ_TASK_STOPPED;
}

uint32_t Seconds(int64_t ms) { return ms > 0 ? static_cast<uint32_t>(ms / 1000) : 0; }

SENDTASK_TABLE ToRecord(const SendTask& t) {
  SENDTASK_TABLE r;
  std::memset(&r, 0, sizeof r);
  r.dwFaxID = static_cast<uint32_t>(t.id);
  r.dwState = t.state;
  r.dwPriority = t.priority;
  r.dwAttempts = t.attempts;
  r.dwMaxAttempts = t.max_attempts;
  r.dwPagesDone = t.pages_done;
  r.dwPagesTotal = t.pages_total;
  r.dwSubmitTime = Seconds(t.submit_ms);
  r.dwScheduleTime = Seconds(t.schedule_ms);
  r.dwNextTryTime = Seconds(t.next_try_ms);
  r.dwStartTime = Seconds(t.start_ms);
  r.dwEndTime = Seconds(t.end_ms);
  r.dwLineID = t.line_id;
  r.lLastResult = t.last_result;
  r.dwFlags = t.flags & ~kLockedFromHeld;
  r.dwRecvID = t.recv_id;
  PutText(r.szUserID, t.owner);
  PutText(r.szRecipientNumber, t.number);
  PutText(r.szRecipientName, t.name);
  PutText(r.szSubject, t.subject);
  PutText(r.szSender, t.sender);
  PutText(r.szCoverPage, t.cover_page);
  PutText(r.szDocument, t.document_name);
  PutText(r.szLastError, t.last_error);
  return r;
}

RECVTASK_TABLE ToRecord(const RecvTask& t) {
  RECVTASK_TABLE r;
  std::memset(&r, 0, sizeof r);
  r.dwRecvID = static_cast<uint32_t>(t.id);
  r.dwState = t.state;
  r.dwLineID = t.line_id;
  r.dwPages = t.pages;
  r.dwStartTime = Seconds(t.start_ms);
  r.dwEndTime = Seconds(t.end_ms);
  r.dwSendTaskID = static_cast<uint32_t>(t.send_task_id);
  PutText(r.szUserID, t.owner);
  PutText(r.szLineNumber, t.line_number);
  PutText(r.szSenderNumber, t.sender_number);
  PutText(r.szSenderUser, t.sender_user);
  PutText(r.szRecipientName, t.recipient_name);
  PutText(r.szSubject, t.subject);
  PutText(r.szDestination, t.destination);
  PutText(r.szDocument, std::filesystem::path(t.document_file).filename().string());
  return r;
}

template <typename Record>
void PutReply(rpc::ServerValue& reply, rpc::ServerValue& count,
              const std::vector<Record>& records) {
  reply.bytes.assign(records.size() * sizeof(Record), 0);
  if (!records.empty()) std::memcpy(reply.bytes.data(), records.data(), reply.bytes.size());
  reply.present = !records.empty();
  count.number = static_cast<int32_t>(reply.bytes.size());
}

void ClearReply(rpc::ServerValue& reply, rpc::ServerValue& count) {
  reply.present = false;
  reply.bytes.clear();
  count.number = 0;
}

// Answers a view: the caller's own tasks or everyone's, all or the one
// `id` names (kNoSuchTask when the caller may not see it).
template <typename Task>
int32_t AnswerView(Call& call, bool own_only, uint32_t id, rpc::ServerValue& reply,
                   rpc::ServerValue& count,
                   std::vector<Task> (*load)(sqlite3*, const std::string&,
                                             const std::vector<std::string>&, size_t),
                   const char* what, Store* store) {
  std::string where;
  std::vector<std::string> params;
  if (own_only) where = "owner = ?", params.push_back(call.user().id);
  if (id != 0) {
    where += where.empty() ? "id = ?" : " AND id = ?";
    params.push_back(std::to_string(id));
  }
  std::vector<Task> tasks =
      store->WithDb([&](sqlite3* db) { return load(db, where, params, kMaxViewRecords); });
  if (id != 0 && tasks.empty()) return call.Fail(kNoSuchTask, "no task " + std::to_string(id));
  std::vector<decltype(ToRecord(tasks.front()))> records;
  for (const Task& t : tasks) records.push_back(ToRecord(t));
  PutReply(reply, count, records);
  call.Note(std::to_string(records.size()) + " " + what);
  return kOk;
}

// The IDs of an ID list: `bytes` as decoded, `length` the byte count the
// caller sent. Whole 32-bit IDs, 1..kMaxIdsPerCall of them, none 0.
bool ReadIds(const rpc::ServerValue& bytes, int32_t length, std::vector<int64_t>* ids) {
  if (length <= 0 || length % 4 != 0 || static_cast<uint32_t>(length) / 4 > kMaxIdsPerCall ||
      bytes.bytes.size() != static_cast<size_t>(length))
    return false;
  for (int32_t off = 0; off < length; off += 4) {
    uint32_t id = GetU32(bytes.bytes.data() + off);
    if (id == 0) return false;
    ids->push_back(id);
  }
  return true;
}

// Fixed-size records of a block of `length` bytes: 1..max whole records.
template <typename Record>
bool ReadRecords(const std::vector<uint8_t>& block, int32_t length, uint32_t max,
                 std::vector<Record>* out) {
  if (length <= 0 || length % sizeof(Record) != 0 || length / sizeof(Record) > max ||
      block.size() != static_cast<size_t>(length))
    return false;
  out->resize(block.size() / sizeof(Record));
  std::memcpy(out->data(), block.data(), block.size());
  return true;
}

// A plain backup file name: 1..255 of [A-Za-z0-9._-], not starting with '.'.
bool PlainName(const std::string& name) {
  if (name.empty() || name.size() > 255 || name[0] == '.') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '_' || c == '-';
  });
}

}  // namespace

struct SendQueueFamily::NewTask {
  SendTask task;
  std::string source_file;  // transfer: the stored document to copy
};

SendQueueFamily::SendQueueFamily(ServerContext* context) : context_(context), engine_(context) {}

SendQueueFamily::~SendQueueFamily() { engine_.Stop(); }

void SendQueueFamily::Recover() { engine_.RemoveOrphanDocuments(); }
void SendQueueFamily::Start() { engine_.Start(); }
void SendQueueFamily::Stop() { engine_.Stop(); }

bool SendQueueFamily::HandlesMain(uint16_t opnum) const {
  return (opnum >= 13 && opnum <= 25) || (opnum >= 93 && opnum <= 95);
}

bool SendQueueFamily::HandlesServiceControl(uint16_t opnum) const {
  return opnum <= 5 && opnum != 3;
}

int32_t SendQueueFamily::Main(Call& call, uint16_t opnum) {
  switch (opnum) {
    case 13: return SendFax(call);
    case 14: return TransferFax(call);
    case 16: return ViewSendTask(call);
    case 17: return ViewRecvTask(call);
    case 18: return AuthToFax(call);
    case 15:
    case 19:
    case 20:
    case 22: return ChangeTasks(call, opnum);
    case 21: return EditTaskPriorities(call);
    case 23: return GetTaskProgress(call);
    case 24: return EditSendTask(call);
    case 25: return GetAuthTasks(call);
    case 93: return SendFaxFromConn(call);
    case 94: return SendFaxFromDraft(call);
    case 95: return PrintToTiff(call);
    default: return AsResult(kNotHandled);
  }
}

int32_t SendQueueFamily::ServiceControl(Call& call, uint16_t opnum) {
  switch (opnum) {
    case 0: return ServerStart(call);
    case 1:
    case 2: return ServerStop(call, opnum);
    case 4:
    case 5: return ServerBackup(call, opnum);
    default: return AsResult(kNotHandled);
  }
}

int32_t SendQueueFamily::CheckScope(Call& call, Scope scope, bool* all) {
  const User& u = call.user();
  *all = scope.all_bit != 0 && (u.rights[0] & scope.all_bit) == scope.all_bit;
  if (*all || (u.rights[2] & scope.own_bit) == scope.own_bit) return kOk;
  return call.Fail(kAccessDenied, "access denied");
}

bool SendQueueFamily::NeedsAuthorization(const std::string& user, uint32_t flags) {
  if (flags & QZ_FAXJOB_HOLD) return true;
  return context_->telephony && context_->telephony->NeedsAuthorization(user);
}

int32_t SendQueueFamily::StoreDocumentFd(int fd, NewTask* nt, std::string* why) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *why = "not a regular file";
    return AsResult(kBadDocument);
  }
  if (st.st_size > kMaxDocumentBytes) {
    *why = "document too large";
    return AsResult(kBadDocument);
  }
  if (context_->data_dir.empty()) {
    *why = "the server has no document store";
    return AsResult(kStoreFailure);
  }
  std::string path = context_->data_dir + "/documents/doc-XXXXXX.tif";
  int out = mkstemps(path.data(), 4);
  if (out < 0) {
    *why = "cannot create a file in the document store";
    return AsResult(kStoreFailure);
  }
  char buf[65536];
  int64_t total = 0;
  bool ok = true;
  while (ok) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0 || (total += n) > kMaxDocumentBytes || write(out, buf, static_cast<size_t>(n)) != n)
      ok = false;
  }
  // On disk before the task that names it commits (the task commits with a
  // full sync; its document must survive what the task survives).
  if (ok && fsync(out) != 0) ok = false;
  close(out);
  if (ok) {
    const int dir = open((context_->data_dir + "/documents").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      fsync(dir);
      close(dir);
    }
  }
  uint32_t pages = ok ? CheckFaxDocument(path, why) : 0;
  if (pages == 0) {
    unlink(path.c_str());
    if (!ok) *why = "document could not be copied";
    return AsResult(ok ? kBadDocument : kFileFailure);
  }
  nt->task.document_file = path;
  nt->task.pages_total = pages + (nt->task.cover_page.empty() ? 0 : 1);
  return kOk;
}

int32_t SendQueueFamily::TakeDocument(Call& call, const std::string& path, NewTask* nt,
                                      std::string* why) {
  if (path.empty()) {
    *why = "no document";
    return AsResult(kBadDocument);
  }
  ClientFile f = OpenClientFile(call, *context_, path, O_RDONLY);
  if (f.fd < 0) {
    *why = "cannot open " + path + ": " + std::strerror(f.error);
    return ClientFileStatus(f.error);
  }
  int32_t rc = StoreDocumentFd(f.fd, nt, why);
  close(f.fd);
  return rc;
}

void SendQueueFamily::DiscardDocuments(const std::vector<NewTask>& tasks) {
  for (const NewTask& t : tasks)
    if (!t.task.document_file.empty()) unlink(t.task.document_file.c_str());
}

int32_t SendQueueFamily::Queue(Call& call, std::vector<NewTask>& tasks,
                               std::vector<int64_t>* ids) {
  int64_t now = context_->clock->NowMs();
  // Asked before the store's lock is taken (the lines family may need it).
  std::vector<bool> held;
  for (const NewTask& nt : tasks) held.push_back(NeedsAuthorization(call.user().id, nt.task.flags));
  bool ok = engine_.Locked([&] {
    if (!engine_.AcceptsJobsLocked()) return false;
    return context_->store->Transaction([&](sqlite3* db) {
      ids->clear();
      for (size_t i = 0; i < tasks.size(); ++i) {
        SendTask& t = tasks[i].task;
        t.owner = call.user().id;
        t.submit_ms = now;
        t.state = held[i] ? QZ_TASK_HELD : QZ_TASK_QUEUED;
        t.last_error = t.state == QZ_TASK_HELD ? "held for authorisation" : "queued";
        int64_t id = SaveSendTask(db, t);
        if (id == 0) return false;
        t.id = id;
        ids->push_back(id);
      }
      return true;
    });
  });
  if (!ok) {
    DiscardDocuments(tasks);
    if (!engine_.AcceptsJobs()) return call.Fail(kServiceStopped, "the fax service is stopped");
    return call.Fail(kStoreFailure, "store: " + context_->store->last_error());
  }
  engine_.Wake();
  return kOk;
}

// rpcSendFax: key; FAXJOB_TABLE records (block, length); results (in/out,
// counted by the count parameter: jobs x 44).
int32_t SendQueueFamily::SendFax(Call& call) {
  rpc::ServerValue& jobs = call.arg(2);
  int32_t length = call.arg(3).number;
  rpc::ServerValue& results = call.arg(4);
  int32_t result_bytes = call.arg(5).number;
  int32_t rc = call.Require(2, kSubmitBit);
  if (rc != kOk) return rc;
  if (result_bytes <= 0 || result_bytes % QZ_SIZEOF_SENDRESULT_TABLE != 0 ||
      result_bytes / QZ_SIZEOF_SENDRESULT_TABLE > static_cast<int32_t>(kMaxJobsPerCall) ||
      results.bytes.size() != static_cast<size_t>(result_bytes))
    return call.Fail(kBadRecord, "result array of " + std::to_string(result_bytes) + " bytes");
  size_t count = static_cast<size_t>(result_bytes) / QZ_SIZEOF_SENDRESULT_TABLE;
  if (length <= 0 || jobs.bytes.size() != static_cast<size_t>(length))
    return call.Fail(kBadRecord, "job block of " + std::to_string(length) + " bytes");
  // Walk the length-prefixed records: exactly `count` of them, filling the block.
  std::vector<FAXJOB_TABLE> records;
  size_t off = 0;
  const size_t total = static_cast<size_t>(length);
  for (size_t i = 0; i < count; ++i) {
    if (total - off < 4) return call.Fail(kBadRecord, "job " + std::to_string(i + 1) + " cut off");
    uint32_t size = GetU32(jobs.bytes.data() + off);
    if (size < QZ_SIZEOF_FAXJOB_TABLE || size > kMaxJobRecord || size > total - off)
      return call.Fail(kBadRecord, "job " + std::to_string(i + 1) + " of " +
                                       std::to_string(size) + " bytes");
    FAXJOB_TABLE r;
    std::memcpy(&r, jobs.bytes.data() + off, sizeof r);
    records.push_back(r);
    off += size;
  }
  if (off != total) return call.Fail(kBadRecord, "bytes after the last job");

  std::vector<SENDRESULT_TABLE> out(count);
  std::memset(out.data(), 0, count * sizeof(SENDRESULT_TABLE));
  auto refuse = [&](size_t i, int32_t status, const std::string& why) {
    out[i].lStatus = status;
    PutText(out[i].szDetail, why);
  };
  std::vector<NewTask> tasks(count);
  int32_t first_error = kOk;
  std::string first_why;
  for (size_t i = 0; i < count && first_error == kOk; ++i) {
    const FAXJOB_TABLE& r = records[i];
    SendTask& t = tasks[i].task;
    std::string path, why;
    int32_t status = kOk;
    if (!FieldText(r.szRecipientNumber, sizeof r.szRecipientNumber, &t.number) ||
        !FieldText(r.szRecipientName, sizeof r.szRecipientName, &t.name) ||
        !FieldText(r.szSubject, sizeof r.szSubject, &t.subject) ||
        !FieldText(r.szSender, sizeof r.szSender, &t.sender) ||
        !FieldText(r.szCoverPage, sizeof r.szCoverPage, &t.cover_page) ||
        !FieldText(r.szDocumentPath, sizeof r.szDocumentPath, &path)) {
      status = AsResult(kBadRecord), why = "unterminated text";
    } else if (!ValidNumber(t.number)) {
      status = AsResult(kBadNumber), why = "bad number";
    } else if (r.dwPriority > kMaxPriority || r.dwMaxAttempts > kMaxAttemptsLimit ||
               (r.dwFlags & ~QZ_FAXJOB_HOLD) != 0) {
      status = AsResult(kBadArgument), why = "bad priority, attempts or flags";
    } else {
      t.priority = r.dwPriority;
      t.max_attempts = r.dwMaxAttempts ? r.dwMaxAttempts : context_->send_simulation.max_attempts;
      t.schedule_ms = int64_t{r.dwScheduleTime} * 1000;
      t.flags = r.dwFlags;
      t.document_name = path;
      status = TakeDocument(call, path, &tasks[i], &why);
    }
    if (status != kOk) {
      refuse(i, status, why);
      first_error = status;
      first_why = "job " + std::to_string(i + 1) + ": " + why;
    }
  }
  std::vector<int64_t> ids;
  if (first_error == kOk) {
    first_error = Queue(call, tasks, &ids);
    first_why = first_error == kOk ? "" : "not queued";
    if (first_error != kOk)
      for (size_t i = 0; i < count; ++i) refuse(i, first_error, "not queued");
  }
  for (size_t i = 0; i < count; ++i) {
    if (first_error == kOk) {
      out[i].dwFaxID = static_cast<uint32_t>(ids[i]);
      out[i].lStatus = kOk;
      out[i].dwState = tasks[i].task.state;
      out[i].dwPages = tasks[i].task.pages_total;
      PutText(out[i].szDetail, tasks[i].task.last_error);
    } else if (out[i].lStatus == 0) {
      refuse(i, AsResult(kJobNotQueued), "not queued");
    }
  }
  if (first_error != kOk) DiscardDocuments(tasks);
  std::memcpy(results.bytes.data(), out.data(), results.bytes.size());
  if (first_error != kOk) {
    call.Note(first_why);
    return first_error;
  }
  call.Note(std::to_string(count) + " faxes queued, first " + std::to_string(ids.front()));
  return kOk;
}

// rpcSendFaxFromDraft: key; draft ID. The draft's bytes (after its
// header) are the FAXJOB_TABLE records of an rpcSendFax request; they are
// submitted as one, with the caller's identity and rights, and the draft
// stays as it was.
int32_t SendQueueFamily::SendFaxFromDraft(Call& call) {
  int32_t rc = call.Require(2, kSubmitBit);
  if (rc != kOk) return rc;
  const auto draft_id = static_cast<uint32_t>(call.arg(2).number);
  std::optional<std::vector<uint8_t>> draft =
      LoadDraft(*context_->store, call.user().id, draft_id);
  if (!draft) return call.Fail(kNoSuchDraft, "draft " + std::to_string(draft_id));
  // Count the job records; SendFax checks each of them again.
  size_t count = 0;
  for (size_t off = 0; off < draft->size(); ++count) {
    if (draft->size() - off < 4 || count >= kMaxJobsPerCall)
      return call.Fail(kBadRecord, "draft " + std::to_string(draft_id) + " holds no fax jobs");
    uint32_t size = GetU32(draft->data() + off);
    if (size < QZ_SIZEOF_FAXJOB_TABLE || size > draft->size() - off)
      return call.Fail(kBadRecord, "draft " + std::to_string(draft_id) + " holds no fax jobs");
    off += size;
  }
  if (count == 0) return call.Fail(kBadRecord, "draft " + std::to_string(draft_id) + " is empty");
  rpc::ServerArgs request;
  request.values.resize(6);
  request[2].bytes = std::move(*draft);
  request[3].number = static_cast<int32_t>(request[2].bytes.size());
  request[4].bytes.assign(count * QZ_SIZEOF_SENDRESULT_TABLE, 0);
  request[5].number = static_cast<int32_t>(request[4].bytes.size());
  std::string note;
  Call submit(call.ctx(), request, call.user(), call.session(), &note);
  rc = SendFax(submit);
  call.Note("draft " + std::to_string(draft_id) + ": " + note);
  return rc;
}

// rpcTransferFax: key; headers + items (IDS, byte length); results (in
// only); result length (headers x 44). Each header's fax is queued again
// to each of its items.
int32_t SendQueueFamily::TransferFax(Call& call) {
  const std::vector<uint8_t>& req = call.arg(2).bytes;
  int32_t length = call.arg(3).number;
  int32_t result_bytes = call.arg(5).number;
  int32_t rc = call.Require(2, kSubmitBit);
  if (rc != kOk) return rc;
  if (result_bytes <= 0 || result_bytes % QZ_SIZEOF_SENDRESULT_TABLE != 0 ||
      result_bytes / QZ_SIZEOF_SENDRESULT_TABLE > static_cast<int32_t>(kMaxJobsPerCall))
    return call.Fail(kBadRecord, "result length " + std::to_string(result_bytes));
  size_t headers = static_cast<size_t>(result_bytes) / QZ_SIZEOF_SENDRESULT_TABLE;
  if (length <= 0 || req.size() != static_cast<size_t>(length) ||
      req.size() < headers * QZ_SIZEOF_TRANSFERFAX_TABLE)
    return call.Fail(kBadRecord, "request of " + std::to_string(length) + " bytes");
  std::vector<TRANSFERFAX_TABLE> heads(headers);
  std::memcpy(heads.data(), req.data(), headers * sizeof(TRANSFERFAX_TABLE));
  uint64_t expected = 0;
  for (const TRANSFERFAX_TABLE& h : heads) {
    if (h.dwItemCount == 0 || h.dwItemCount > kMaxTransferItems || h.dwSourceKind > 1)
      return call.Fail(kBadRecord, "header of " + std::to_string(h.dwItemCount) + " items");
    expected += QZ_SIZEOF_TRANSFERFAX_TABLE + uint64_t{QZ_SIZEOF_TRANSFERFAX_ITEM} * h.dwItemCount;
  }
  if (expected != req.size())
    return call.Fail(kBadRecord, "request of " + std::to_string(length) + " bytes, headers say " +
                                     std::to_string(expected));
  bool view_all = (call.user().rights[0] & kViewAllBit) == kViewAllBit;
  std::vector<NewTask> tasks;
  size_t item_off = headers * QZ_SIZEOF_TRANSFERFAX_TABLE;
  for (const TRANSFERFAX_TABLE& h : heads) {
    // The source: a send or receive task the caller may see.
    std::string file, owner, subject, document_name;
    uint32_t pages = 0;
    context_->store->WithDb([&](sqlite3* db) {
      if (h.dwSourceKind == 0) {
        if (auto t = LoadSendTask(db, h.dwSourceID))
          file = t->document_file, owner = t->owner, subject = t->subject,
          document_name = t->document_name, pages = t->pages_total;
      } else if (auto r = LoadRecvTask(db, h.dwSourceID)) {
        file = r->document_file, owner = r->owner, subject = r->subject, pages = r->pages;
        document_name = "received fax " + std::to_string(r->id);
      }
      return 0;
    });
    if (file.empty() || (!view_all && owner != call.user().id)) {
      DiscardDocuments(tasks);
      return call.Fail(kNoSuchTask, "no fax " + std::to_string(h.dwSourceID));
    }
    for (uint32_t i = 0; i < h.dwItemCount; ++i, item_off += QZ_SIZEOF_TRANSFERFAX_ITEM) {
      TRANSFERFAX_ITEM item;
      std::memcpy(&item, req.data() + item_off, sizeof item);
      NewTask nt;
      SendTask& t = nt.task;
      if (!FieldText(item.szRecipientNumber, sizeof item.szRecipientNumber, &t.number) ||
          !FieldText(item.szRecipientName, sizeof item.szRecipientName, &t.name) ||
          !ValidNumber(t.number) || item.dwPriority > kMaxPriority) {
        DiscardDocuments(tasks);
        return call.Fail(kBadNumber, "bad recipient of fax " + std::to_string(h.dwSourceID));
      }
      t.priority = item.dwPriority;
      t.schedule_ms = int64_t{item.dwScheduleTime} * 1000;
      t.subject = subject;
      t.document_name = document_name;
      t.max_attempts = context_->send_simulation.max_attempts;
      int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
      std::string why;
      int32_t st = fd < 0 ? AsResult(kFileFailure) : StoreDocumentFd(fd, &nt, &why);
      if (fd >= 0) close(fd);
      if (st != kOk) {
        DiscardDocuments(tasks);
        return call.Fail(static_cast<ServerStatus>(st), "document of fax " +
                                                            std::to_string(h.dwSourceID));
      }
      t.pages_total = pages;
      tasks.push_back(std::move(nt));
    }
  }
  std::vector<int64_t> ids;
  if ((rc = Queue(call, tasks, &ids)) != kOk) return rc;
  call.Note(std::to_string(ids.size()) + " faxes queued from " + std::to_string(headers) +
            " transfers");
  return kOk;
}

// rpcViewSendTask: key; flag (0 everyone's tasks, 1 one's own); ID (0 all);
// reply; count.
int32_t SendQueueFamily::ViewSendTask(Call& call) {
  int32_t flag = call.arg(2).number;
  uint32_t id = static_cast<uint32_t>(call.arg(3).number);
  ClearReply(call.arg(4), call.arg(5));
  if (flag != 0 && flag != 1) return call.Fail(kBadArgument, "flag " + std::to_string(flag));
  int32_t rc = flag == 0 ? call.Require(0, kViewAllBit) : call.Require(2, kViewOwnBit);
  if (rc != kOk) return rc;
  return AnswerView(call, flag == 1, id, call.arg(4), call.arg(5), LoadSendTasks, "send tasks",
                    context_->store);
}

// rpcViewRecvTask: key; ID (0 all); reply; count.
int32_t SendQueueFamily::ViewRecvTask(Call& call) {
  uint32_t id = static_cast<uint32_t>(call.arg(2).number);
  ClearReply(call.arg(3), call.arg(4));
  bool all = false;
  int32_t rc = CheckScope(call, {kViewOwnBit, kViewAllBit}, &all);
  if (rc != kOk) return rc;
  return AnswerView(call, !all, id, call.arg(3), call.arg(4), LoadRecvTasks, "receive tasks",
                    context_->store);
}

// rpcAuthToFax: key; ID; flag (1 authorise, 0 refuse).
int32_t SendQueueFamily::AuthToFax(Call& call) {
  uint32_t id = static_cast<uint32_t>(call.arg(2).number);
  int32_t flag = call.arg(3).number;
  int32_t rc = call.Require(0, kAuthoriseBit);
  if (rc != kOk) return rc;
  if (flag != 0 && flag != 1) return call.Fail(kBadArgument, "flag " + std::to_string(flag));
  int32_t status = kOk;
  bool ok = engine_.Locked([&] {
    return context_->store->Transaction([&](sqlite3* db) {
      std::optional<SendTask> t = LoadSendTask(db, id);
      if (!t) return status = AsResult(kNoSuchTask), false;
      if (t->state != QZ_TASK_HELD) return status = AsResult(kTaskState), false;
      t->state = flag == 1 ? QZ_TASK_QUEUED : QZ_TASK_FAILED;
      t->last_error = (flag == 1 ? "authorised by " : "refused by ") + call.user().id;
      if (flag == 0) t->end_ms = context_->clock->NowMs();
      return SaveSendTask(db, *t) != 0;
    });
  });
  if (!ok)
    return call.Fail(status != kOk ? static_cast<ServerStatus>(status) : kStoreFailure,
                     "fax " + std::to_string(id) + " not changed");
  engine_.Wake();
  const std::string what =
      std::string(flag == 1 ? "authorised" : "refused") + " fax " + std::to_string(id);
  call.Note(what);
  if (context_->system_log)
    context_->system_log->Write(SystemLog::Level::kInfo, "send queue", call.user().id, what);
  return kOk;
}

// rpcSendFaxStop (15), rpcLockTask (19), rpcTaskIDListOP (20, release),
// rpcDeleteTask (22): key; IDs; byte length; (22) flag. All IDs are
// checked before anything changes; one refused ID refuses the call.
int32_t SendQueueFamily::ChangeTasks(Call& call, uint16_t opnum) {
  Scope scope = opnum == 19 ? Scope{kSteerOwnBit, kSteerAllBit} : Scope{kStopOwnBit, kStopAllBit};
  bool all = false;
  int32_t rc = CheckScope(call, scope, &all);
  if (rc != kOk) return rc;
  int32_t del_flag = opnum == 22 ? call.arg(4).number : 0;
  if (del_flag < 0 || del_flag > 2) return call.Fail(kBadArgument, "flag " + std::to_string(del_flag));
  std::vector<int64_t> ids;
  if (!ReadIds(call.arg(2), call.arg(3).number, &ids))
    return call.Fail(kBadRecord, "ID list of " + std::to_string(call.arg(3).number) + " bytes");
  const std::string& me = call.user().id;
  int64_t now = context_->clock->NowMs();
  int32_t status = kOk;
  uint32_t bad_id = 0;
  std::vector<std::string> files;
  bool ok = engine_.Locked([&] {
    return context_->store->Transaction([&](sqlite3* db) {
      auto refuse = [&](ServerStatus s, int64_t id) {
        status = AsResult(s);
        bad_id = static_cast<uint32_t>(id);
        return false;
      };
      if (opnum == 22 && del_flag == 2) {  // receive tasks
        for (int64_t id : ids) {
          std::optional<RecvTask> r = LoadRecvTask(db, id);
          if (!r || (!all && r->owner != me)) return refuse(kNoSuchTask, id);
          Stmt s(db, "DELETE FROM recv_tasks WHERE id = ?");
          if (!s.Bind(1, id) || s.Step() != SQLITE_DONE) return false;
          files.push_back(r->document_file);
        }
        return true;
      }
      std::vector<SendTask> tasks;
      for (int64_t id : ids) {
        std::optional<SendTask> t = LoadSendTask(db, id);
        if (!t || (!all && t->owner != me)) return refuse(kNoSuchTask, id);
        bool allowed = false;
        switch (opnum) {
          case 15: allowed = !Finished(t->state); break;
          case 19: allowed = t->state == QZ_TASK_QUEUED || t->state == QZ_TASK_HELD ||
                             t->state == QZ_TASK_LOCKED; break;
          case 20: allowed = t->state == QZ_TASK_LOCKED || t->state == QZ_TASK_STOPPED; break;
          case 22: allowed = del_flag == 1 || Finished(t->state); break;
        }
        if (!allowed) return refuse(kTaskState, id);
        tasks.push_back(*t);
      }
      for (SendTask& t : tasks) {
        if (opnum == 22) {
          engine_.DropAttemptLocked(t.id);
          Stmt s(db, "DELETE FROM send_tasks WHERE id = ?");
          if (!s.Bind(1, t.id) || s.Step() != SQLITE_DONE) return false;
          files.push_back(t.document_file);
          continue;
        }
        if (opnum == 15) {
          engine_.DropAttemptLocked(t.id);
          t.state = QZ_TASK_STOPPED;
          t.end_ms = now;
          t.last_error = "stopped by " + me;
        } else if (opnum == 19) {
          if (t.state == QZ_TASK_HELD) t.flags |= kLockedFromHeld;
          t.state = QZ_TASK_LOCKED;
          t.last_error = "locked by " + me;
        } else if (t.state == QZ_TASK_LOCKED) {
          t.state = (t.flags & kLockedFromHeld) ? QZ_TASK_HELD : QZ_TASK_QUEUED;
          t.flags &= ~kLockedFromHeld;
          t.last_error = "released by " + me;
        } else {  // a stopped task starts over
          t.state = QZ_TASK_QUEUED;
          t.attempts = 0;
          t.pages_done = 0;
          t.end_ms = 0;
          t.next_try_ms = 0;
          t.last_error = "resumed by " + me;
        }
        if (SaveSendTask(db, t) == 0) return false;
      }
      return true;
    });
  });
  if (!ok)
    return call.Fail(status != kOk ? static_cast<ServerStatus>(status) : kStoreFailure,
                     "task " + std::to_string(bad_id) + " refused; nothing changed");
  for (const std::string& f : files)
    if (!f.empty()) unlink(f.c_str());
  engine_.Wake();
  static const char* const kVerb[] = {"stopped", "", "", "", "locked", "released", "", "deleted"};
  call.Note(std::string(kVerb[opnum - 15]) + " " + std::to_string(ids.size()) + " tasks");
  return kOk;
}

// rpcEditTaskPRI: key; TASKPRIORITY records; byte length.
int32_t SendQueueFamily::EditTaskPriorities(Call& call) {
  const std::vector<uint8_t>& block = call.arg(2).bytes;
  int32_t length = call.arg(3).number;
  bool all = false;
  int32_t rc = CheckScope(call, {kSteerOwnBit, kSteerAllBit}, &all);
  if (rc != kOk) return rc;
  std::vector<TASKPRIORITY> changes;
  if (!ReadRecords(block, length, kMaxIdsPerCall, &changes))
    return call.Fail(kBadRecord, "priority block of " + std::to_string(length) + " bytes");
  for (const TASKPRIORITY& c : changes)
    if (c.dwPriority > kMaxPriority)
      return call.Fail(kBadArgument, "priority " + std::to_string(c.dwPriority));
  int32_t status = kOk;
  bool ok = engine_.Locked([&] {
    return context_->store->Transaction([&](sqlite3* db) {
      for (const TASKPRIORITY& c : changes) {
        std::optional<SendTask> t = LoadSendTask(db, c.dwFaxID);
        if (!t || (!all && t->owner != call.user().id)) return status = AsResult(kNoSuchTask), false;
        if (Finished(t->state)) return status = AsResult(kTaskState), false;
        t->priority = c.dwPriority;
        if (SaveSendTask(db, *t) == 0) return false;
      }
      return true;
    });
  });
  if (!ok)
    return call.Fail(status != kOk ? static_cast<ServerStatus>(status) : kStoreFailure,
                     "priorities not changed");
  engine_.Wake();
  call.Note(std::to_string(changes.size()) + " priorities changed");
  return kOk;
}

// rpcGetTaskProgress: key; IDs; byte length; reply of TASKINFO; count.
int32_t SendQueueFamily::GetTaskProgress(Call& call) {
  ClearReply(call.arg(4), call.arg(5));
  bool all = false;
  int32_t rc = CheckScope(call, {kProgressOwnBit, kViewAllBit}, &all);
  if (rc != kOk) return rc;
  std::vector<int64_t> ids;
  if (!ReadIds(call.arg(2), call.arg(3).number, &ids))
    return call.Fail(kBadRecord, "ID list of " + std::to_string(call.arg(3).number) + " bytes");
  std::vector<TASKINFO> out = context_->store->WithDb([&](sqlite3* db) {
    std::vector<TASKINFO> v;
    for (int64_t id : ids) {
      TASKINFO i{static_cast<uint32_t>(id), 0, 0, 0};
      std::optional<SendTask> t = LoadSendTask(db, id);
      if (t && (all || t->owner == call.user().id))
        i.dwState = t->state, i.dwPagesDone = t->pages_done, i.dwPagesTotal = t->pages_total;
      v.push_back(i);
    }
    return v;
  });
  PutReply(call.arg(4), call.arg(5), out);
  call.Note("progress of " + std::to_string(ids.size()) + " tasks");
  return kOk;
}

// rpcEditSendTask: key; SENDTASK_TABLE records; byte length.
int32_t SendQueueFamily::EditSendTask(Call& call) {
  const std::vector<uint8_t>& block = call.arg(2).bytes;
  int32_t length = call.arg(3).number;
  bool all = false;
  int32_t rc = CheckScope(call, {kSteerOwnBit, kSteerAllBit}, &all);
  if (rc != kOk) return rc;
  std::vector<SENDTASK_TABLE> edits;
  if (!ReadRecords(block, length, kMaxJobsPerCall, &edits))
    return call.Fail(kBadRecord, "task block of " + std::to_string(length) + " bytes");
  int32_t status = kOk;
  uint32_t bad_id = 0;
  bool ok = engine_.Locked([&] {
    return context_->store->Transaction([&](sqlite3* db) {
      for (const SENDTASK_TABLE& e : edits) {
        bad_id = e.dwFaxID;
        std::optional<SendTask> t = LoadSendTask(db, e.dwFaxID);
        if (!t || (!all && t->owner != call.user().id)) return status = AsResult(kNoSuchTask), false;
        if (t->state != QZ_TASK_QUEUED && t->state != QZ_TASK_HELD && t->state != QZ_TASK_LOCKED)
          return status = AsResult(kTaskState), false;
        SendTask n = *t;
        if (!FieldText(e.szRecipientNumber, sizeof e.szRecipientNumber, &n.number) ||
            !FieldText(e.szRecipientName, sizeof e.szRecipientName, &n.name) ||
            !FieldText(e.szSubject, sizeof e.szSubject, &n.subject) ||
            !FieldText(e.szSender, sizeof e.szSender, &n.sender) ||
            !FieldText(e.szCoverPage, sizeof e.szCoverPage, &n.cover_page))
          return status = AsResult(kBadRecord), false;
        if (!ValidNumber(n.number)) return status = AsResult(kBadNumber), false;
        if (e.dwPriority > kMaxPriority || e.dwMaxAttempts == 0 ||
            e.dwMaxAttempts > kMaxAttemptsLimit)
          return status = AsResult(kBadArgument), false;
        // A cover page added or removed changes the page count.
        n.pages_total = t->pages_total - (t->cover_page.empty() ? 0 : 1) +
                        (n.cover_page.empty() ? 0 : 1);
        n.priority = e.dwPriority;
        n.max_attempts = e.dwMaxAttempts;
        n.schedule_ms = int64_t{e.dwScheduleTime} * 1000;
        n.last_error = "edited by " + call.user().id;
        if (SaveSendTask(db, n) == 0) return false;
      }
      return true;
    });
  });
  if (!ok)
    return call.Fail(status != kOk ? static_cast<ServerStatus>(status) : kStoreFailure,
                     "task " + std::to_string(bad_id) + " refused; nothing changed");
  engine_.Wake();
  call.Note(std::to_string(edits.size()) + " tasks edited");
  return kOk;
}

// rpcGetAuthTasks: key; 1; reply of SENDTASK_TABLE; count. Everyone's held
// tasks for an authoriser, one's own otherwise.
int32_t SendQueueFamily::GetAuthTasks(Call& call) {
  ClearReply(call.arg(3), call.arg(4));
  if (call.arg(2).number != 1)
    return call.Fail(kBadArgument, "selector " + std::to_string(call.arg(2).number));
  bool all = (call.user().rights[0] & kAuthoriseBit) == kAuthoriseBit;
  std::string where = "state = ?";
  std::vector<std::string> params = {std::to_string(QZ_TASK_HELD)};
  if (!all) where += " AND owner = ?", params.push_back(call.user().id);
  std::vector<SendTask> tasks = context_->store->WithDb(
      [&](sqlite3* db) { return LoadSendTasks(db, where, params, kMaxViewRecords); });
  std::vector<SENDTASK_TABLE> records;
  for (const SendTask& t : tasks) records.push_back(ToRecord(t));
  PutReply(call.arg(3), call.arg(4), records);
  call.Note(std::to_string(records.size()) + " held tasks");
  return kOk;
}

// rpcSendFaxFromConn: key; CONNSENDINFO. value1 priority, value2 schedule
// time, value3 attempts (0 default), text1 document path (unless data
// carries the document itself), text2 subject, text3 sender, text4 cover
// page, items: CONNSENDITEM recipients (1..64).
int32_t SendQueueFamily::SendFaxFromConn(Call& call) {
  int32_t rc = call.Require(2, kSubmitBit);
  if (rc != kOk) return rc;
  const rpc::ServerValue& v = call.arg(2);
  const rpc::ConnSendInfo& c = v.conn;
  if (c.item_count <= 0 || c.item_count > static_cast<int32_t>(kMaxJobsPerCall) ||
      v.conn_items.size() != static_cast<size_t>(c.item_count) * QZ_SIZEOF_CONNSENDITEM)
    return call.Fail(kBadRecord, "connection record with " + std::to_string(c.item_count) +
                                     " recipients");
  if (c.value1 < 0 || c.value1 > static_cast<int32_t>(kMaxPriority) || c.value3 < 0 ||
      c.value3 > static_cast<int32_t>(kMaxAttemptsLimit))
    return call.Fail(kBadArgument, "bad priority or attempts");
  SendTask base;
  std::string path;
  if (!FieldText(c.text1, sizeof c.text1, &path) ||
      !FieldText(c.text2, sizeof c.text2, &base.subject) ||
      !FieldText(c.text3, sizeof c.text3, &base.sender) ||
      !FieldText(c.text4, sizeof c.text4, &base.cover_page))
    return call.Fail(kBadRecord, "unterminated text");
  base.priority = static_cast<uint32_t>(c.value1);
  base.schedule_ms = int64_t{static_cast<uint32_t>(c.value2)} * 1000;
  base.max_attempts = c.value3 ? static_cast<uint32_t>(c.value3)
                               : context_->send_simulation.max_attempts;
  base.document_name = v.conn_data.empty() ? path : "(in the connection record)";
  std::vector<NewTask> tasks;
  for (int32_t i = 0; i < c.item_count; ++i) {
    CONNSENDITEM item;
    std::memcpy(&item, v.conn_items.data() + static_cast<size_t>(i) * sizeof item, sizeof item);
    NewTask nt;
    nt.task = base;
    if (!FieldText(item.szRecipientNumber, sizeof item.szRecipientNumber, &nt.task.number) ||
        !FieldText(item.szRecipientName, sizeof item.szRecipientName, &nt.task.name) ||
        !ValidNumber(nt.task.number)) {
      DiscardDocuments(tasks);
      return call.Fail(kBadNumber, "recipient " + std::to_string(i + 1));
    }
    std::string why;
    int32_t st;
    if (!v.conn_data.empty()) {
      // The document travels inside the record: through an unlinked file.
      std::string tmp = context_->data_dir + "/documents/conn-XXXXXX";
      int fd = context_->data_dir.empty() ? -1 : mkstemp(tmp.data());
      if (fd >= 0) unlink(tmp.c_str());
      bool written = fd >= 0 && write(fd, v.conn_data.data(), v.conn_data.size()) ==
                                    static_cast<ssize_t>(v.conn_data.size());
      st = written && lseek(fd, 0, SEEK_SET) == 0 ? StoreDocumentFd(fd, &nt, &why)
                                                  : AsResult(kFileFailure);
      if (fd >= 0) close(fd);
    } else {
      st = TakeDocument(call, path, &nt, &why);
    }
    if (st != kOk) {
      DiscardDocuments(tasks);
      return call.Fail(static_cast<ServerStatus>(st), why);
    }
    tasks.push_back(std::move(nt));
  }
  std::vector<int64_t> ids;
  if ((rc = Queue(call, tasks, &ids)) != kOk) return rc;
  call.Note(std::to_string(ids.size()) + " faxes queued from a connection record, first " +
            std::to_string(ids.front()));
  return kOk;
}

// rpcPrintToTiffFromConn (no key): text1 the text to render ('\n' ends a
// row), text2 the path of the TIFF to write (opened as the caller),
// value1 in: 0 Group 3, 1 Group 4; out: pages; value2 out: bytes written.
int32_t SendQueueFamily::PrintToTiff(Call& call) {
  rpc::PrintToTiffInfo& info = call.arg(1).tiff;
  std::string text, path;
  if (!FieldText(info.text1, sizeof info.text1, &text) ||
      !FieldText(info.text2, sizeof info.text2, &path))
    return call.Fail(kBadRecord, "unterminated text");
  if (info.value1 != 0 && info.value1 != 1)
    return call.Fail(kBadArgument, "compression " + std::to_string(info.value1));
  if (path.empty()) return call.Fail(kBadArgument, "no output path");
  std::vector<std::string> rows;
  for (size_t start = 0; start <= text.size();) {
    size_t nl = text.find('\n', start);
    std::string row = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    do {
      rows.push_back(row.substr(0, kColumns));
      row = row.size() > kColumns ? row.substr(kColumns) : "";
    } while (!row.empty());
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  std::string tmp = context_->data_dir + "/render-XXXXXX";
  int tfd = context_->data_dir.empty() ? -1 : mkstemp(tmp.data());
  if (tfd < 0) return call.Fail(kFileFailure, "no temporary file");
  close(tfd);
  bool rendered = WriteFaxDocument(tmp, 1, info.value1 == 1, rows);
  std::string why;
  uint32_t pages = rendered ? CheckFaxDocument(tmp, &why) : 0;
  int in = pages ? open(tmp.c_str(), O_RDONLY | O_CLOEXEC) : -1;
  unlink(tmp.c_str());
  if (in < 0) return call.Fail(kFileFailure, "rendering failed");
  ClientFile out = OpenClientFile(call, *context_, path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out.fd < 0) {
    close(in);
    return call.Fail(static_cast<ServerStatus>(ClientFileStatus(out.error)),
                     "cannot write " + path + ": " + std::strerror(out.error));
  }
  char buf[65536];
  int64_t total = 0;
  ssize_t n;
  bool ok = true;
  while (ok && (n = read(in, buf, sizeof buf)) > 0) {
    ok = write(out.fd, buf, static_cast<size_t>(n)) == n;
    total += n;
  }
  close(in);
  close(out.fd);
  if (!ok) return call.Fail(kFileFailure, "cannot write " + path);
  info.value1 = static_cast<int32_t>(pages);
  info.value2 = static_cast<int32_t>(total);
  call.Note("rendered " + std::to_string(rows.size()) + " rows to " + path);
  return kOk;
}

// rpcServerStart: zero key; user; password; mode (1 running, 0 paused:
// jobs are accepted, nothing is sent).
int32_t SendQueueFamily::ServerStart(Call& call) {
  const std::string& id = call.arg(2).text;
  int32_t mode = call.arg(4).number;
  if (id.size() > kMaxUserIdLength || !ValidUserId(id) ||
      !context_->store->CheckPassword(id, call.arg(3).text))
    return call.Fail(kWrongPassword, "user or password does not match");
  std::optional<User> u = context_->store->GetUser(id);
  if (!u || u->type != 1) return call.Fail(kAccessDenied, "not an administrator");
  if (mode != 0 && mode != 1) return call.Fail(kBadArgument, "mode " + std::to_string(mode));
  engine_.SetService(mode == 1 ? SendEngine::Service::kRunning : SendEngine::Service::kPaused,
                     false);
  std::string what = mode == 1 ? "fax service started by " : "fax service started paused by ";
  if (context_->system_log)
    context_->system_log->Write(SystemLog::Level::kInfo, "send queue", id, what + id);
  else if (context_->log)
    context_->log(what + id);
  call.Note(what + id);
  return kOk;
}

// rpcServerStop: mode 1 after the attempts in progress, 0 at once.
// rpcServerStopEx: -1 at once, 0 after the attempts in progress, 1 once
// the queue is drained.
int32_t SendQueueFamily::ServerStop(Call& call, uint16_t opnum) {
  if (!call.IsAdministrator()) return call.Fail(kAccessDenied, "not an administrator");
  int32_t mode = call.arg(2).number;
  enum { kNow, kAfterAttempts, kDrain, kBad } how = kBad;
  if (opnum == 1) how = mode == 0 ? kNow : mode == 1 ? kAfterAttempts : kBad;
  if (opnum == 2) how = mode == -1 ? kNow : mode == 0 ? kAfterAttempts : mode == 1 ? kDrain : kBad;
  if (how == kBad) return call.Fail(kBadArgument, "mode " + std::to_string(mode));
  engine_.SetService(how == kDrain ? SendEngine::Service::kDraining : SendEngine::Service::kStopped,
                     how == kNow);
  static const char* const kHow[] = {"at once", "after the attempts in progress",
                                     "once the queue is drained"};
  std::string text = "fax service stopped " + std::string(kHow[how]) + " by " + call.user().id;
  if (context_->system_log)
    context_->system_log->Write(SystemLog::Level::kInfo, "send queue", call.user().id, text);
  else if (context_->log)
    context_->log(text);
  call.Note(text);
  return kOk;
}

// rpcServerBackup (4): the database; rpcServerBackupEx (5): the database
// and the stored documents ("<name>.files/"). Into <data_dir>/backups.
int32_t SendQueueFamily::ServerBackup(Call& call, uint16_t opnum) {
  if (!call.IsAdministrator()) return call.Fail(kAccessDenied, "not an administrator");
  const std::vector<uint8_t>& block = call.arg(2).bytes;
  if (call.arg(3).number != QZ_SIZEOF_BACKUPINFO || block.size() != QZ_SIZEOF_BACKUPINFO)
    return call.Fail(kBadRecord, "backup record of " + std::to_string(call.arg(3).number) +
                                     " bytes");
  BACKUPINFO info;
  std::memcpy(&info, block.data(), sizeof info);
  std::string name, label;
  if (!FieldText(info.szName, sizeof info.szName, &name) || !PlainName(name) ||
      !FieldText(info.szLabel, sizeof info.szLabel, &label))
    return call.Fail(kBadBackupName, "backup name refused");
  if (context_->data_dir.empty()) return call.Fail(kStoreFailure, "no data directory");
  std::string dir = context_->data_dir + "/backups";
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
    return call.Fail(kFileFailure, "cannot create the backup directory");
  std::string final_path = dir + "/" + name;
  std::string tmp = final_path + ".partial";
  int rc = context_->store->WithDb([&](sqlite3* db) {
    sqlite3* dst = nullptr;
    int r = sqlite3_open_v2(tmp.c_str(), &dst, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr);
    if (r == SQLITE_OK) {
      sqlite3_backup* b = sqlite3_backup_init(dst, "main", db, "main");
      if (b == nullptr) {
        r = sqlite3_errcode(dst);
      } else {
        sqlite3_backup_step(b, -1);
        r = sqlite3_backup_finish(b);
      }
    }
    sqlite3_close(dst);
    return r;
  });
  if (rc != SQLITE_OK || ::chmod(tmp.c_str(), 0600) != 0 ||
      ::rename(tmp.c_str(), final_path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return call.Fail(kStoreFailure, "backup failed: " + std::string(sqlite3_errstr(rc)));
  }
  if (opnum == 5) {
    std::error_code ec;
    std::filesystem::path files = final_path + ".files";
    std::filesystem::remove_all(files, ec);
    std::filesystem::create_directories(files, ec);
    for (const char* sub : {"documents", "received"}) {
      std::filesystem::path from = std::filesystem::path(context_->data_dir) / sub;
      if (std::filesystem::exists(from, ec))
        std::filesystem::copy(from, files / sub, std::filesystem::copy_options::recursive, ec);
      if (ec) return call.Fail(kFileFailure, "copy of the documents failed");
    }
  }
  call.Note("backup " + name + (label.empty() ? "" : " (" + label + ")"));
  return kOk;
}

}  // namespace qz::faxd
