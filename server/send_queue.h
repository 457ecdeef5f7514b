// send_queue.h -- the send-queue family of qzfaxd: fax submission, the
// send and receive tasks, and the service control of the fax service.
//
// Main-interface procedures 13..25 and 93..95, service-control procedures
// 0, 1, 2, 4 and 5 (3, the capabilities, stays with FaxService). Layouts
// in qzcsif/qzrecords_send.h; behaviour, rights and statuses in the
// "Send queue and service control" section of server/README.md. The fax
// engine behind it is SendEngine (send_engine.h).
//
// Rights: every steering procedure has a bit for the caller's own tasks
// (in dwRights[2]) and, for most, a bit for everyone's tasks (in
// dwRights[0]); with neither the call is refused, with only the first a
// task of another user is answered as if it did not exist.
//
// Thread-safety: Main and ServiceControl run on many threads at once;
// changes of tasks run under the engine's mutex and one store transaction.
#ifndef QZ_SERVER_SEND_QUEUE_H_
#define QZ_SERVER_SEND_QUEUE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/engine_hooks.h"
#include "server/family.h"
#include "server/send_engine.h"

namespace qz::faxd {

// Limits of one call.
inline constexpr uint32_t kMaxJobsPerCall = 64;         // jobs / transfer headers / edits
inline constexpr uint32_t kMaxIdsPerCall = 1024;        // IDs of one list
inline constexpr uint32_t kMaxJobRecord = 4096;         // bytes of one FAXJOB_TABLE
inline constexpr uint32_t kMaxTransferItems = 64;       // recipients of one header
inline constexpr uint32_t kMaxViewRecords = 1000;       // records of one view answer
inline constexpr int64_t kMaxDocumentBytes = 64 << 20;  // a document to submit
inline constexpr uint32_t kMaxPriority = 9;
inline constexpr uint32_t kMaxAttemptsLimit = 10;

class SendQueueFamily final : public ProcedureFamily {
 public:
  explicit SendQueueFamily(ServerContext* context);
  ~SendQueueFamily() override;

  const char* Name() const override { return "send queue"; }
  bool HandlesMain(uint16_t opnum) const override;
  int32_t Main(Call& call, uint16_t opnum) override;
  bool HandlesServiceControl(uint16_t opnum) const override;
  int32_t ServiceControl(Call& call, uint16_t opnum) override;
  void Recover() override;
  void Start() override;
  void Stop() override;

  SendEngine& engine() { return engine_; }

 private:
  struct NewTask;  // a validated job before it is queued
  // Which tasks a call may touch: all users' or only the caller's.
  struct Scope {
    uint32_t own_bit;  // dwRights[2]
    uint32_t all_bit;  // dwRights[0]; 0: no such right
  };

  int32_t SendFax(Call& call);
  int32_t SendFaxFromDraft(Call& call);
  int32_t TransferFax(Call& call);
  int32_t ViewSendTask(Call& call);
  int32_t ViewRecvTask(Call& call);
  int32_t AuthToFax(Call& call);
  int32_t ChangeTasks(Call& call, uint16_t opnum);
  int32_t EditTaskPriorities(Call& call);
  int32_t GetTaskProgress(Call& call);
  int32_t EditSendTask(Call& call);
  int32_t GetAuthTasks(Call& call);
  int32_t SendFaxFromConn(Call& call);
  int32_t PrintToTiff(Call& call);
  int32_t ServerStart(Call& call);
  int32_t ServerStop(Call& call, uint16_t opnum);
  int32_t ServerBackup(Call& call, uint16_t opnum);

  // kOk and *all when the caller holds the rights of `scope`.
  int32_t CheckScope(Call& call, Scope scope, bool* all);
  // Copies the client's document into the store and checks it; on
  // success fills task->document_file and pages_total.
  int32_t TakeDocument(Call& call, const std::string& path, NewTask* task, std::string* why);
  int32_t StoreDocumentFd(int fd, NewTask* task, std::string* why);
  // Queues the tasks in one transaction; their ids into `ids`.
  int32_t Queue(Call& call, std::vector<NewTask>& tasks, std::vector<int64_t>* ids);
  void DiscardDocuments(const std::vector<NewTask>& tasks);
  bool NeedsAuthorization(const std::string& user, uint32_t flags);

  ServerContext* context_;
  SendEngine engine_;
};

}  // namespace qz::faxd

#endif  // QZ_SERVER_SEND_QUEUE_H_
