// send_exports.cc -- the fax submission and send-task exports.
//
// Every export but SendFaxFromConn runs frame variant A with the labels
// "Call <export> " and "Call <export> return "; SendFaxFromConn runs
// untraced. RemoteGetTaskProgress and RemoteGetAuthTasks clear their
// outputs right after the entry trace, before the server ID is checked;
// a null output is not written (the operation refuses it).
// Thread-safety: reentrant.
#include "exports/frame.h"
#include "platform/probe.h"
#include "qzcsif/qzcsif.h"

namespace {

using qz::CServerSession;
using qz::TraceEntry;
using qz::TracePeekPointer;
using qz::TracePeekU32;
using qz::exports::BlockReturn;
using qz::exports::ClearOutputs;
using qz::exports::kLretOnly;
using qz::exports::RunFrame;
using qz::exports::Variant;

template <typename T>
void* Mutable(const T* p) {
  return const_cast<T*>(p);
}

uint32_t* MutableIds(const uint32_t* p) { return const_cast<uint32_t*>(p); }

}  // namespace

extern "C" {

QZAPI uint32_t RemoteSendFax(uint32_t dwServerID, const FAXJOB_TABLE* pFaxInfo,
                             uint32_t dwFaxNum, SENDRESULT_TABLE* pResultArray) {
  return RunFrame(
      Variant::kA, dwServerID, "Call RemoteSendFax ",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID); },
      [&](CServerSession& s) { return s.SendFax(Mutable(pFaxInfo), dwFaxNum, pResultArray); },
      "Call RemoteSendFax return ", kLretOnly);
}

QZAPI uint32_t RemoteTransmitFax(uint32_t dwServerID, const TRANSFERFAX_TABLE* pFaxArray,
                                 uint32_t dwFaxNum, SENDRESULT_TABLE* pResultArray) {
  return RunFrame(
      Variant::kA, dwServerID, "Call RemoteTransmitFax ",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID); },
      [&](CServerSession& s) {
        return s.TransmitFax(Mutable(pFaxArray), dwFaxNum, pResultArray);
      },
      "Call RemoteTransmitFax return ", kLretOnly);
}

QZAPI uint32_t SendFaxFromConn(uint32_t dwServerID, const CONNSENDINFO* pcsinfo) {
  return qz::exports::RunFrameUntraced(
      dwServerID, [&](CServerSession& s) { return s.SendFaxFromConn(Mutable(pcsinfo)); });
}

QZAPI uint32_t SendFaxFromDraft(uint32_t dwServerID, uint32_t dwDraftID) {
  return RunFrame(
      Variant::kA, dwServerID, "Call SendFaxFromDraft ",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID).Num("dwDraftID", dwDraftID); },
      [&](CServerSession& s) { return s.SendFaxFromDraft(dwDraftID); },
      "Call SendFaxFromDraft return ", kLretOnly);
}

QZAPI uint32_t RemoteSendFaxStop(uint32_t dwServerID, const uint32_t* pFaxIDArray,
                                 uint32_t dwFaxNum) {
  // The dump covers dwFaxNum bytes of the list.
  return RunFrame(
      Variant::kA, dwServerID, "Call RemoteSendFaxStop ",
      [&](TraceEntry& t) {
        t.Num("dwServerID", dwServerID).Buffer("pFaxIDArray", pFaxIDArray, "dwFaxNum", dwFaxNum);
      },
      [&](CServerSession& s) { return s.SendFaxStop(MutableIds(pFaxIDArray), dwFaxNum); },
      "Call RemoteSendFaxStop return ", kLretOnly);
}

QZAPI uint32_t RemoteViewSendTask(uint32_t dwServerID, uint32_t dwGetFlag, uint32_t dwFaxID,
                                  SENDTASK_TABLE** ppInfo, uint32_t* pdwRecordCount) {
  return RunFrame(
      Variant::kA, dwServerID, "Call RemoteViewSendTask ",
      [&](TraceEntry& t) {
        t.Num("dwServerID", dwServerID).Num("dwGetFlag", dwGetFlag).Num("dwFaxID", dwFaxID);
      },
      [&](CServerSession& s) {
        return s.ViewSendTask(dwGetFlag, dwFaxID, reinterpret_cast<void**>(ppInfo),
                              pdwRecordCount);
      },
      "Call RemoteViewSendTask return ", kLretOnly);
}

QZAPI uint32_t RemoteAuthToFax(uint32_t dwServerID, uint32_t dwFaxID, uint32_t dwAuthFlag) {
  return RunFrame(
      Variant::kA, dwServerID, "Call RemoteAuthToFax ",
      [&](TraceEntry& t) {
        t.Num("dwServerID", dwServerID).Num("dwFaxID", dwFaxID).Num("dwAuthFlag", dwAuthFlag);
      },
      [&](CServerSession& s) { return s.AuthToFax(dwFaxID, dwAuthFlag); },
      "Call RemoteAuthToFax return ", kLretOnly);
}

QZAPI uint32_t RemoteLockTask(uint32_t dwServerID, const uint32_t* pdwArray, uint32_t dwFaxNum,
                              uint32_t dwLockFlag) {
  // dwLockFlag is only traced; the dump covers dwFaxNum bytes of the list.
  return RunFrame(
      Variant::kA, dwServerID, "Call RemoteLockTask ",
      [&](TraceEntry& t) {
        t.Num("dwServerID", dwServerID)
            .Buffer("pdwArray", pdwArray, "dwFaxNum", dwFaxNum)
            .Num("dwLockFlag", dwLockFlag);
      },
      [&](CServerSession& s) { return s.LockTask(MutableIds(pdwArray), dwFaxNum); },
      "Call RemoteLockTask return ", kLretOnly);
}

QZAPI uint32_t RemoteEditTaskPRI(uint32_t dwServerID, const TASKPRIORITY* pTaskInfo,
                                 uint32_t dwFaxNum) {
  return RunFrame(
      Variant::kA, dwServerID, "Call RemoteEditTaskPRI ",
      [&](TraceEntry& t) {
        t.Num("dwServerID", dwServerID)
            .Buffer("pTaskInfo", pTaskInfo, "dwFaxNum * sizeof(TASKPRIORITY)",
                    size_t{dwFaxNum} * QZ_SIZEOF_TASKPRIORITY);
      },
      [&](CServerSession& s) { return s.EditTaskPRI(Mutable(pTaskInfo), dwFaxNum); },
      "Call RemoteEditTaskPRI return ", kLretOnly);
}

QZAPI uint32_t RemoteDeleteTask(uint32_t dwServerID, const uint32_t* dwTskList,
                                uint32_t dwFaxNum, uint32_t dwDelFlag) {
  return RunFrame(
      Variant::kA, dwServerID, "Call RemoteDeleteTask ",
      [&](TraceEntry& t) {
        t.Num("dwServerID", dwServerID)
            .Buffer("dwTskList", dwTskList, "dwFaxNum * sizeof(DWORD)", size_t{dwFaxNum} * 4)
            .Num("dwDelFlag", dwDelFlag);
      },
      [&](CServerSession& s) { return s.DeleteTask(MutableIds(dwTskList), dwFaxNum, dwDelFlag); },
      "Call RemoteDeleteTask return ", kLretOnly);
}

QZAPI uint32_t RemoteGetTaskProgress(uint32_t dwServerID, const uint32_t* dwFaxIDArray,
                                     uint32_t dwFaxNum, TASKINFO** ppInfo,
                                     uint32_t* pdwRecordCount) {
  return RunFrame(
      Variant::kA, dwServerID, "Call RemoteGetTaskProgress ",
      [&](TraceEntry& t) {
        // The first ID stands where the list's address would.
        t.Num("dwServerID", dwServerID)
            .Hex("(*dwFaxIDArray)", TracePeekU32(dwFaxIDArray))
            .HexNext("dwFaxNum*sizeof(DWORD)", size_t{dwFaxNum} * 4)
            .Dump(dwFaxIDArray, size_t{dwFaxNum} * 4);
        ClearOutputs(ppInfo, pdwRecordCount);
      },
      [&](CServerSession& s) {
        return s.GetTaskProgress(MutableIds(dwFaxIDArray), dwFaxNum,
                                 reinterpret_cast<void**>(ppInfo), pdwRecordCount);
      },
      "Call RemoteGetTaskProgress return ",
      BlockReturn(ppInfo, "(*ppInfo)", pdwRecordCount,
                  "(*pdwRecordCount) * sizeof(TASKINFO)", QZ_SIZEOF_TASKINFO));
}

QZAPI uint32_t RemoteEditSendTask(uint32_t dwServerID, const SENDTASK_TABLE* pTaskInfo,
                                  uint32_t dwFaxNum) {
  return RunFrame(
      Variant::kA, dwServerID, "Call RemoteEditSendTask ",
      [&](TraceEntry& t) {
        t.Num("dwServerID", dwServerID)
            .Buffer("pTaskInfo", pTaskInfo, "dwFaxNum * sizeof(SENDTASK_TABLE)",
                    size_t{dwFaxNum} * QZ_SIZEOF_SENDTASK_TABLE);
      },
      [&](CServerSession& s) { return s.EditSendTask(Mutable(pTaskInfo), dwFaxNum); },
      "Call RemoteEditSendTask return ", kLretOnly);
}

QZAPI uint32_t RemoteGetAuthTasks(uint32_t dwServerID, SENDTASK_TABLE** ppTaskInfo,
                                  uint32_t* pdwFaxNum) {
  // The return dump counts the records by the authorisation record's size.
  return RunFrame(
      Variant::kA, dwServerID, "Call RemoteGetAuthTasks ",
      [&](TraceEntry& t) {
        t.Num("dwServerID", dwServerID);
        ClearOutputs(ppTaskInfo, pdwFaxNum);
      },
      [&](CServerSession& s) {
        return s.GetAuthTasks(reinterpret_cast<void**>(ppTaskInfo), pdwFaxNum);
      },
      "Call RemoteGetAuthTasks return ",
      BlockReturn(ppTaskInfo, "(*ppTaskInfo)", pdwFaxNum,
                  "(*pdwFaxNum) * sizeof(AUTHORIZEDINFO_TABLE)", QZ_SIZEOF_AUTHORIZEDINFO_TABLE));
}

}  // extern "C"
