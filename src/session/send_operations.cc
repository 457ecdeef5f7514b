// send_operations.cc -- fax submission and the send-task operations of
// CRpcServerSession, and the connection-record operations no export
// reaches (PrintToTiffFromConn, cover-page fields, receive tasks, task-ID
// lists).
//
// Each operation checks in its own order (arguments, state, rights), then
// calls its procedure inside the standard guard. Argument failures
// (QZ_E_INVALIDARG) are stored in the error slot, except in
// SendFaxFromConn. Server results other than 1 are stored too, except for
// SendFaxFromConn, SendFaxFromDraft, DeleteTask, CoverPageFieldOP and
// PrintToTiffFromConn. Caller blocks are probed before the runtime reads
// them, so unreadable memory becomes 0xC0000005 in the error slot rather
// than a crash, and a block whose byte length does not fit the wire's
// 32-bit signed count becomes 1734.
//
// Submissions write two trace records of their own around the procedure:
// "Call rpcSendFax " / "Call rpcSendFax return " and the same for
// rpcTransferFax.
//
// Thread-safety: no lock; see server_session.h.
#include <cstring>
#include <limits>

#include "core/trace_log.h"
#include "interfaces/stubs.h"
#include "platform/probe.h"
#include "rpc/records.h"
#include "session/server_session.h"

namespace qz {

namespace records = rpc::records;

namespace {

// Permission bits.
constexpr RightBit kRightSend{2, 0x20};       // submit and transfer
constexpr RightBit kRightLock{2, 0x80};       // lock; also edits
constexpr RightBit kRightStop{2, 0x100};      // stop, ID lists; also deletes
constexpr RightBit kRightEditOwn{0, 0x10};    // priorities and task edits
constexpr RightBit kRightDeleteOwn{0, 0x20};  // deletes
constexpr RightBit kRightProgress{2, 0x200};  // progress
// dwGetFlag 0 and 1 of the task views; progress also accepts the first.
constexpr RightBit kRightViewByFlag[] = {{0, 0x40}, {2, 0x40}};

constexpr uint32_t kAuthTasksSelector = 1;  // the one selector the library sends

uint32_t RecordInvalidArg(CServerSession& s) {
  s.SetError(QZ_E_INVALIDARG);
  return QZ_E_INVALIDARG;
}

// A caller's address plus a byte offset, computed on the integer so that
// a null address stays arithmetic, not pointer arithmetic on null (the
// probes report such an address as inaccessible).
void* At(void* p, uint64_t offset) {
  return reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(p) + offset);
}

// A byte length as the wire's 32-bit signed count; 1734 when it does not
// fit.
int32_t WireLength(uint64_t bytes) {
  if (bytes > records::kMaxBlockBytes) RaiseRpcException(rpc::status::kInvalidBound);
  return static_cast<int32_t>(bytes);
}

// The record count of a byte count the server sent.
uint32_t Records(int32_t bytes, size_t record_size) {
  return static_cast<uint32_t>(records::RecordCount(bytes, record_size));
}

// The runtime reads and writes the caller's block pointer of a reply, and
// when that pointer is not null it sends `sent` bytes from the block and
// answers into it: probe all of it first (AccessViolation otherwise).
void ProbeReplyTarget(void** pp, uint32_t sent) {
  void* block = nullptr;
  if (!platform::ProbeRead(pp, sizeof block, &block) ||
      !platform::ProbeWrite(pp, sizeof block, nullptr) ||
      (block != nullptr && !platform::ProbeWrite(block, sent, nullptr)))
    RaiseAccessViolation();
}

// A caller's record into the runtime's CONNSENDINFO, field by field.
rpc::ConnSendInfo ToWire(const CONNSENDINFO& in) {
  rpc::ConnSendInfo out{};
  out.value1 = in.nValue1;
  out.value2 = in.nValue2;
  out.value3 = in.nValue3;
  std::memcpy(out.text1, in.szText1, sizeof out.text1);
  out.item_count = in.nItemCount;
  out.items = in.pItems;
  std::memcpy(out.text2, in.szText2, sizeof out.text2);
  out.value4 = in.nValue4;
  out.value5 = in.nValue5;
  out.value6 = in.nValue6;
  out.value7 = in.nValue7;
  std::memcpy(out.text3, in.szText3, sizeof out.text3);
  out.value8 = in.nValue8;
  out.real1 = in.dReal1;
  out.real2 = in.dReal2;
  std::memcpy(out.text4, in.szText4, sizeof out.text4);
  std::memcpy(out.text5, in.szText5, sizeof out.text5);
  std::memcpy(out.text6, in.szText6, sizeof out.text6);
  out.value9 = in.nValue9;
  out.data_length = in.nDataLength;
  out.data = in.pData;
  return out;
}

static_assert(sizeof(PRINTTOTIFFINFO) == sizeof(rpc::PrintToTiffInfo));
static_assert(offsetof(PRINTTOTIFFINFO, nValue1) == offsetof(rpc::PrintToTiffInfo, value1));

}  // namespace

// One ID list or record array sent with its byte length: the rights (the
// second bit may repeat the first) and whether a server refusal is stored.
struct CRpcServerSession::TaskListOp {
  RightBit right, alternative;
  size_t record_size;
  bool record_result;
};

// state; rights; list null or count 0 (QZ_E_INVALIDARG); the procedure
// with the list's byte length.
template <typename Call>
uint32_t CRpcServerSession::RunTaskListOp(const TaskListOp& op, const void* list, uint32_t count,
                                          Call&& call) {
  if (uint32_t st = CheckLoggedIn(); st != kStatusOk) return st;
  if (uint32_t st = RequireEitherRight(op.right, op.alternative); st != kStatusOk) return st;
  if (list == nullptr || count == 0) return RecordInvalidArg(*this);
  auto send = [&] {
    const int32_t bytes = WireLength(uint64_t{count} * op.record_size);
    ReadCallerBytes(list, static_cast<size_t>(bytes), nullptr);
    return call(bytes);
  };
  return op.record_result ? GuardedCall(send) : GuardedCallNoRecord(send);
}

// ---- Submission and transfer ---------------------------------------------

struct CRpcServerSession::Submission {
  const char* trace_label;         // "Call rpcSendFax "
  const char* trace_return_label;  // "Call rpcSendFax return "
  const char* request_name;        // the request's pointer line
  bool transfer;                   // transfer headers, not job records
};

namespace {

constexpr const char kSendFaxLabel[] = "Call rpcSendFax ";
constexpr const char kSendFaxReturnLabel[] = "Call rpcSendFax return ";
constexpr const char kTransferFaxLabel[] = "Call rpcTransferFax ";
constexpr const char kTransferFaxReturnLabel[] = "Call rpcTransferFax return ";

// The transfer request's length: per header 12 bytes and its items.
// Unreadable memory raises AccessViolation; a negative item count or a
// length beyond the wire's count raises 1734.
uint64_t TransferRequestLength(const void* headers, uint32_t fax_num) {
  bool unreadable = false;
  records::ListWalk walk = records::MeasureTransferRequest(
      fax_num, [&](uint64_t offset, void* out, size_t n) {
        const bool ok = platform::ProbeRead(At(const_cast<void*>(headers), offset), n, out);
        unreadable |= !ok;
        return ok;
      });
  if (unreadable) RaiseAccessViolation();
  if (!walk.ok) RaiseRpcException(rpc::status::kInvalidBound);
  return walk.bytes;
}

}  // namespace

uint32_t CRpcServerSession::Submit(const Submission& how, void* request, uint32_t dwFaxNum,
                                   void* pResultArray) {
  const uint64_t result_bytes = uint64_t{dwFaxNum} * QZ_SIZEOF_SENDRESULT_TABLE;
  // Write test of the result array: the first byte of its last entry, then
  // the rest of the array, which the runtime reads and fills.
  uint32_t st = GuardedBufferWalk([&] {
    const uint8_t zero = 0;
    WriteCallerBytes(At(pResultArray, result_bytes - QZ_SIZEOF_SENDRESULT_TABLE), &zero, 1);
    if (!platform::ProbeWrite(pResultArray, static_cast<size_t>(result_bytes), nullptr))
      RaiseAccessViolation();
    return kStatusOk;
  });
  if (st != kStatusOk) return st;

  int32_t length = 0;
  int32_t result_length = 0;
  st = GuardedCallNoRecord([&] {
    const uint64_t total = how.transfer ? TransferRequestLength(request, dwFaxNum)
                                        : SumLengthFields(request, dwFaxNum);
    length = WireLength(total);
    result_length = WireLength(result_bytes);
    ReadCallerBytes(request, static_cast<size_t>(length), nullptr);
    return kStatusOk;
  });
  if (st != kStatusOk) return st;

  TraceEntry(how.trace_label).Buffer(how.request_name, request, "dwSize", length).Write();
  uint32_t result;
  try {
    auto* results = static_cast<uint8_t*>(pResultArray);
    if (how.transfer) {
      result = static_cast<uint32_t>(ifc::rpcTransferFax(m_hBinding, &m_SessionKey,
                                                         static_cast<const int32_t*>(request),
                                                         length, results, result_length));
    } else {
      int32_t in_out = result_length;
      result = static_cast<uint32_t>(ifc::rpcSendFax(m_hBinding, &m_SessionKey,
                                                     static_cast<const uint8_t*>(request), length,
                                                     results, &in_out));
    }
  } catch (...) {
    return RecordCurrentException();
  }
  TraceEntry(how.trace_return_label)
      .Lret(result)
      .Hex("pResultArray", pResultArray)
      .HexNext("dwSize", static_cast<uint32_t>(length))
      .Dump(pResultArray, static_cast<size_t>(result_bytes))
      .Write();
  if (result != kStatusOk) SetError(result);
  return result;
}

uint32_t CRpcServerSession::SendFax(void* pFaxInfo, uint32_t dwFaxNum, void* pResultArray) {
  if (pFaxInfo == nullptr || dwFaxNum == 0 || pResultArray == nullptr)
    return RecordInvalidArg(*this);
  if (uint32_t st = CheckLoggedIn(); st != kStatusOk) return st;
  if (uint32_t st = RequireRight(kRightSend.mask, kRightSend.bit); st != kStatusOk) return st;
  static constexpr Submission kHow{kSendFaxLabel, kSendFaxReturnLabel, "pFaxInfo", false};
  return Submit(kHow, pFaxInfo, dwFaxNum, pResultArray);
}

uint32_t CRpcServerSession::TransmitFax(void* pFaxArray, uint32_t dwFaxNum, void* pResultArray) {
  if (uint32_t st = CheckLoggedIn(); st != kStatusOk) return st;
  if (uint32_t st = RequireRight(kRightSend.mask, kRightSend.bit); st != kStatusOk) return st;
  if (pFaxArray == nullptr || dwFaxNum == 0) return RecordInvalidArg(*this);
  // A null result array is left to the write test (QZ_E_ACCESSVIOLATION).
  static constexpr Submission kHow{kTransferFaxLabel, kTransferFaxReturnLabel, "pFaxArray", true};
  return Submit(kHow, pFaxArray, dwFaxNum, pResultArray);
}

// ---- Connection records and drafts ------------------------------------------

uint32_t CRpcServerSession::SendFaxFromConn(void* pcsinfo) {
  if (pcsinfo == nullptr) return QZ_E_INVALIDARG;  // not recorded
  return GuardedCallNoRecord([&] {
    CONNSENDINFO caller;
    ReadCallerBytes(pcsinfo, sizeof caller, &caller);
    rpc::ConnSendInfo wire = ToWire(caller);
    // The runtime reads the two arrays as the counts say; bad counts are
    // its to refuse (1734), unreadable arrays are ours.
    if (wire.items != nullptr && wire.item_count > 0)
      ReadCallerBytes(wire.items, uint64_t{records::kConnSendItemSize} * wire.item_count, nullptr);
    if (wire.data != nullptr && wire.data_length > 0)
      ReadCallerBytes(wire.data, static_cast<size_t>(wire.data_length), nullptr);
    return ifc::rpcSendFaxFromConn(m_hBinding, &m_SessionKey, &wire);
  });
}

uint32_t CRpcServerSession::SendFaxFromDraft(uint32_t dwDraftID) {
  return GuardedCallNoRecord(
      [&] { return ifc::rpcSendFaxFromDraft(m_hBinding, &m_SessionKey, dwDraftID); });
}

uint32_t CRpcServerSession::PrintToTiffFromConn(void* pInfo) {
  return GuardedCallNoRecord([&] {
    if (pInfo == nullptr) return ifc::rpcPrintToTiffFromConn(m_hBinding, nullptr);  // 1780
    rpc::PrintToTiffInfo info;
    ReadCallerBytes(pInfo, sizeof info, &info);
    const int32_t result = ifc::rpcPrintToTiffFromConn(m_hBinding, &info);
    WriteCallerBytes(pInfo, &info, sizeof info);
    return result;
  });
}

// ---- Task lists ------------------------------------------------------------

uint32_t CRpcServerSession::SendFaxStop(uint32_t* pFaxIDArray, uint32_t dwFaxNum) {
  static constexpr TaskListOp kOp{kRightStop, kRightStop, records::kIdSize, true};
  return RunTaskListOp(kOp, pFaxIDArray, dwFaxNum, [&](int32_t bytes) {
    return ifc::rpcSendFaxStop(m_hBinding, &m_SessionKey, pFaxIDArray, bytes);
  });
}

uint32_t CRpcServerSession::LockTask(uint32_t* pdwArray, uint32_t dwFaxNum) {
  static constexpr TaskListOp kOp{kRightLock, kRightLock, records::kIdSize, true};
  return RunTaskListOp(kOp, pdwArray, dwFaxNum, [&](int32_t bytes) {
    return ifc::rpcLockTask(m_hBinding, &m_SessionKey, pdwArray, bytes);
  });
}

uint32_t CRpcServerSession::TaskIDListOP(uint32_t* pdwArray, uint32_t dwFaxNum) {
  static constexpr TaskListOp kOp{kRightStop, kRightStop, records::kIdSize, true};
  return RunTaskListOp(kOp, pdwArray, dwFaxNum, [&](int32_t bytes) {
    return ifc::rpcTaskIDListOP(m_hBinding, &m_SessionKey, pdwArray, bytes);
  });
}

uint32_t CRpcServerSession::EditTaskPRI(void* pTaskInfo, uint32_t dwFaxNum) {
  static constexpr TaskListOp kOp{kRightEditOwn, kRightLock, QZ_SIZEOF_TASKPRIORITY, true};
  return RunTaskListOp(kOp, pTaskInfo, dwFaxNum, [&](int32_t bytes) {
    return ifc::rpcEditTaskPRI(m_hBinding, &m_SessionKey, static_cast<const uint8_t*>(pTaskInfo),
                               bytes);
  });
}

uint32_t CRpcServerSession::DeleteTask(uint32_t* dwTskList, uint32_t dwFaxNum,
                                       uint32_t dwDelFlag) {
  static constexpr TaskListOp kOp{kRightStop, kRightDeleteOwn, records::kIdSize, false};
  return RunTaskListOp(kOp, dwTskList, dwFaxNum, [&](int32_t bytes) {
    return ifc::rpcDeleteTask(m_hBinding, &m_SessionKey, dwTskList, bytes, dwDelFlag);
  });
}

uint32_t CRpcServerSession::EditSendTask(void* pTaskInfo, uint32_t dwFaxNum) {
  static constexpr TaskListOp kOp{kRightEditOwn, kRightLock, QZ_SIZEOF_SENDTASK_TABLE, true};
  return RunTaskListOp(kOp, pTaskInfo, dwFaxNum, [&](int32_t bytes) {
    return ifc::rpcEditSendTask(m_hBinding, &m_SessionKey,
                                static_cast<const uint8_t*>(pTaskInfo), bytes);
  });
}

uint32_t CRpcServerSession::AuthToFax(uint32_t dwFaxID, uint32_t dwAuthFlag) {
  if (uint32_t st = CheckLoggedIn(); st != kStatusOk) return st;
  return GuardedCall(
      [&] { return ifc::rpcAuthToFax(m_hBinding, &m_SessionKey, dwFaxID, dwAuthFlag); });
}

// ---- Views, progress, authorisation list -------------------------------------

uint32_t CRpcServerSession::CheckTaskView(uint32_t dwGetFlag, void** ppInfo,
                                          uint32_t* pdwRecordCount) {
  if (ppInfo == nullptr || pdwRecordCount == nullptr) return RecordInvalidArg(*this);
  if (uint32_t st = CheckLoggedIn(); st != kStatusOk) return st;
  return RequireRightBySelector(dwGetFlag, kRightViewByFlag);
}

// The caller's pointer and count go to the procedure as they are (the
// caller passes null and 0); on a refusal the count stays the byte count.
uint32_t CRpcServerSession::ViewSendTask(uint32_t dwGetFlag, uint32_t dwFaxID, void** ppInfo,
                                         uint32_t* pdwRecordCount) {
  if (uint32_t st = CheckTaskView(dwGetFlag, ppInfo, pdwRecordCount); st != kStatusOk) return st;
  uint32_t result = GuardedCall([&] {
    uint32_t sent = 0;
    ReadCallerBytes(pdwRecordCount, sizeof sent, &sent);
    WriteCallerBytes(pdwRecordCount, nullptr, sizeof sent);
    ProbeReplyTarget(ppInfo, sent);
    return ifc::rpcViewSendTask(m_hBinding, &m_SessionKey, dwGetFlag, dwFaxID,
                                reinterpret_cast<uint8_t**>(ppInfo), pdwRecordCount);
  });
  if (result == kStatusOk)
    *pdwRecordCount = Records(static_cast<int32_t>(*pdwRecordCount), QZ_SIZEOF_SENDTASK_TABLE);
  return result;
}

uint32_t CRpcServerSession::ViewRecvTask(uint32_t dwGetFlag, uint32_t dwFaxID, void** ppInfo,
                                         uint32_t* pdwRecordCount) {
  if (uint32_t st = CheckTaskView(dwGetFlag, ppInfo, pdwRecordCount); st != kStatusOk) return st;
  uint32_t result = GuardedCall([&] {
    uint32_t sent = 0;
    ReadCallerBytes(pdwRecordCount, sizeof sent, &sent);
    WriteCallerBytes(pdwRecordCount, nullptr, sizeof sent);
    ProbeReplyTarget(ppInfo, sent);
    return ifc::rpcViewRecvTask(m_hBinding, &m_SessionKey, dwFaxID,
                                reinterpret_cast<uint8_t**>(ppInfo), pdwRecordCount);
  });
  if (result == kStatusOk)
    *pdwRecordCount = Records(static_cast<int32_t>(*pdwRecordCount), QZ_SIZEOF_RECVTASK_TABLE);
  return result;
}

uint32_t CRpcServerSession::GetTaskProgress(uint32_t* dwFaxIDArray, uint32_t dwFaxNum,
                                            void** ppInfo, uint32_t* pdwRecordCount) {
  if (uint32_t st = CheckLoggedIn(); st != kStatusOk) return st;
  if (uint32_t st = RequireEitherRight(kRightViewByFlag[0], kRightProgress); st != kStatusOk)
    return st;
  if (ppInfo == nullptr || pdwRecordCount == nullptr) return RecordInvalidArg(*this);
  int32_t bytes = 0;
  bool answered = false;
  uint32_t result = GuardedCall([&] {
    const int32_t list_bytes = WireLength(uint64_t{dwFaxNum} * records::kIdSize);
    if (dwFaxIDArray != nullptr) ReadCallerBytes(dwFaxIDArray, list_bytes, nullptr);
    ProbeReplyTarget(ppInfo, 0);
    const int32_t r = ifc::rpcGetTaskProgress(m_hBinding, &m_SessionKey, dwFaxIDArray,
                                              list_bytes, reinterpret_cast<uint8_t**>(ppInfo),
                                              &bytes);
    answered = true;
    return r;
  });
  // Converted whatever the server answered; not after an exception.
  if (answered) *pdwRecordCount = Records(bytes, QZ_SIZEOF_TASKINFO);
  return result;
}

uint32_t CRpcServerSession::GetAuthTasks(void** ppTaskInfo, uint32_t* pdwFaxNum) {
  if (uint32_t st = CheckLoggedIn(); st != kStatusOk) return st;
  // The count is written after the call: a null one is refused first.
  if (pdwFaxNum == nullptr) return RecordInvalidArg(*this);
  int32_t bytes = 0;
  uint32_t result = GuardedCall([&] {
    if (ppTaskInfo != nullptr) ProbeReplyTarget(ppTaskInfo, 0);  // null: 1780 from the runtime
    return ifc::rpcGetAuthTasks(m_hBinding, &m_SessionKey, kAuthTasksSelector,
                                reinterpret_cast<uint8_t**>(ppTaskInfo), &bytes);
  });
  if (result == kStatusOk) *pdwFaxNum = Records(bytes, QZ_SIZEOF_SENDTASK_TABLE);
  return result;
}

// ---- Cover-page fields --------------------------------------------------------

// Returns the procedure's result (a refusal stored in the error slot), not
// 1 after every answer.
uint32_t CRpcServerSession::GetCoverPageField(const char* pWhere, void** ppInfo,
                                              uint32_t* pdwRecordCount) {
  if (ppInfo == nullptr || pdwRecordCount == nullptr) return RecordInvalidArg(*this);
  if (uint32_t st = CheckLoggedIn(); st != kStatusOk) return st;
  if (pWhere == nullptr) pWhere = "";
  int32_t bytes = 0;
  uint32_t result = GuardedCall([&] {
    ProbeReplyTarget(ppInfo, 0);
    return ifc::rpcGetCoverPageField(m_hBinding, &m_SessionKey, pWhere,
                                     reinterpret_cast<uint8_t**>(ppInfo), &bytes);
  });
  if (result == kStatusOk) *pdwRecordCount = Records(bytes, QZ_SIZEOF_COVERPAGEFIELD_TABLE);
  return result;
}

uint32_t CRpcServerSession::CoverPageFieldOP(uint32_t dwOP, void* pInfo, uint32_t dwRecordCount) {
  if (pInfo == nullptr || dwRecordCount == 0) return RecordInvalidArg(*this);
  if (uint32_t st = CheckLoggedIn(); st != kStatusOk) return st;
  return GuardedCallNoRecord([&] {
    const int32_t bytes = WireLength(uint64_t{dwRecordCount} * QZ_SIZEOF_COVERPAGEFIELD_TABLE);
    ReadCallerBytes(pInfo, static_cast<size_t>(bytes), nullptr);
    return ifc::rpcCoverPageFieldOP(m_hBinding, &m_SessionKey, dwOP,
                                    static_cast<const uint8_t*>(pInfo), bytes);
  });
}

}  // namespace qz
