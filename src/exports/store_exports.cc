// store_exports.cc -- the message store exports.
//
// Labels are "Call <export> " and "Call <export> return " (both end in a
// blank); RemoteGetInformationEx uses those of RemoteGetInformation. The
// folder list, fax view, address book exports run frame variant B (a bad
// server ID still writes the return entry), the others variant A; the
// information, relation and new-message exports do not trace dwServerID.
// The readers clear their outputs before the server ID check.
// Thread-safety: reentrant.
#include "exports/frame.h"
#include "qzcsif/qzcsif.h"

namespace {

using qz::TraceEntry;
using qz::exports::BlockReturn;
using qz::exports::ClearOutputs;
using qz::exports::ConditionEntry;
using qz::exports::kLretOnly;
using qz::exports::MutableArg;
using qz::exports::RunFrame;
using qz::exports::Variant;

// The folder record's dump lines.
TraceEntry& Folder(TraceEntry& t, const char* name, const FOLDERINFO_TABLE* folder) {
  return t.Buffer(name, folder, "sizeof(FOLDERINFO_TABLE)", QZ_SIZEOF_FOLDERINFO_TABLE);
}

// RemoteGetInformation and RemoteGetInformationEx.
uint32_t GetInformationFrame(uint32_t id, const FOLDERINFO_TABLE* fh, uint32_t type,
                             const char* where, bool with_where, void** pp, uint32_t* pn) {
  return RunFrame(
      Variant::kA, id, "Call RemoteGetInformation ",
      [&](TraceEntry& t) {
        Folder(t, "&fhParent", fh).Num("dwInfoType", type);
        if (with_where) t.Str("pWhere", where);
        ClearOutputs(pp, pn);
      },
      [&](qz::CServerSession& s) { return s.GetInformation(MutableArg(fh), type, where, pp, pn); },
      "Call RemoteGetInformation return ", BlockReturn(pp, "(*ppInfo)", pn, "(*pdwSize)", 1));
}

}  // namespace

extern "C" {

QZAPI uint32_t RemoteNewInformation(uint32_t dwServerID, const FOLDERINFO_TABLE* fhParent,
                                    uint32_t dwInfoType, void* pInfo, uint32_t dwSize) {
  return RunFrame(
      Variant::kA, dwServerID, "Call RemoteNewInformation ",
      [&](TraceEntry& t) {
        Folder(t, "&fhParent", fhParent)
            .Num("dwInfoType", dwInfoType)
            .Buffer("pInfo", pInfo, "dwSize", dwSize);
      },
      [&](qz::CServerSession& s) {
        return s.NewInformation(MutableArg(fhParent), dwInfoType, pInfo, dwSize);
      },
      "Call RemoteNewInformation return ", kLretOnly);
}

QZAPI uint32_t RemoteGetInformation(uint32_t dwServerID, const FOLDERINFO_TABLE* fhParent,
                                    uint32_t dwInfoType, void** ppInfo, uint32_t* pdwSize) {
  return GetInformationFrame(dwServerID, fhParent, dwInfoType, nullptr, false, ppInfo, pdwSize);
}

QZAPI uint32_t RemoteGetInformationEx(uint32_t dwServerID, const FOLDERINFO_TABLE* fhParent,
                                      uint32_t dwInfoType, const char* pWhere, void** ppInfo,
                                      uint32_t* pdwSize) {
  // Tested before anything else; not recorded, no trace.
  if (ppInfo == nullptr || pdwSize == nullptr) return QZ_E_INVALIDARG;
  return GetInformationFrame(dwServerID, fhParent, dwInfoType, pWhere, true, ppInfo, pdwSize);
}

QZAPI uint32_t RemoteEditInformation(uint32_t dwServerID, const FOLDERINFO_TABLE* fhParent,
                                     uint32_t dwInfoType, const void* pInfo, uint32_t dwSize) {
  return RunFrame(
      Variant::kA, dwServerID, "Call RemoteEditInformation ",
      [&](TraceEntry& t) {
        Folder(t, "&fhParent", fhParent)
            .Buffer("pInfo", pInfo, "dwSize", dwSize)
            .Num("dwInfoType", dwInfoType);
      },
      [&](qz::CServerSession& s) {
        return s.EditInformation(MutableArg(fhParent), dwInfoType, MutableArg(pInfo), dwSize);
      },
      "Call RemoteEditInformation return ", kLretOnly);
}

QZAPI uint32_t RemoteMoveInformation(uint32_t dwServerID, const FOLDERINFO_TABLE* fhSource,
                                     const FOLDERINFO_TABLE* fhTarget, uint32_t dwInfoType,
                                     const void* pInfo, uint32_t dwSize) {
  return RunFrame(
      Variant::kA, dwServerID, "Call RemoteMoveInformation ",
      [&](TraceEntry& t) {
        Folder(t, "&fhSource", fhSource);
        Folder(t, "&fhTarget", fhTarget)
            .Num("dwInfoType", dwInfoType)
            .Buffer("pInfo", pInfo, "dwSize", dwSize);
      },
      [&](qz::CServerSession& s) {
        return s.MoveInformation(MutableArg(fhSource), MutableArg(fhTarget), dwInfoType,
                                 MutableArg(pInfo), dwSize);
      },
      "Call RemoteMoveInformation return ", kLretOnly);
}

QZAPI uint32_t RemoteDeleteInformation(uint32_t dwServerID, const FOLDERINFO_TABLE* fhParent,
                                       uint32_t dwInfoType, const void* pInfo, uint32_t dwSize) {
  return RunFrame(
      Variant::kA, dwServerID, "Call RemoteDeleteInformation ",
      [&](TraceEntry& t) {
        Folder(t, "&fhParent", fhParent)
            .Num("dwInfoType", dwInfoType)
            .Buffer("pInfo", pInfo, "dwSize", dwSize);
      },
      [&](qz::CServerSession& s) {
        return s.DeleteInformation(MutableArg(fhParent), dwInfoType, MutableArg(pInfo), dwSize);
      },
      "Call RemoteDeleteInformation return ", kLretOnly);
}

QZAPI uint32_t RemoteGetFolders(uint32_t dwServerID, uint32_t dwFolderType,
                                FOLDERINFO_TABLE** ppInfo, uint32_t* pdwRecordCount) {
  return RunFrame(
      Variant::kB, dwServerID, "Call RemoteGetFolders ",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID).Num("dwFolderType", dwFolderType); },
      [&](qz::CServerSession& s) {
        return s.GetFolders(dwFolderType, reinterpret_cast<void**>(ppInfo), pdwRecordCount);
      },
      "Call RemoteGetFolders return ",
      BlockReturn(ppInfo, "*ppInfo", pdwRecordCount,
                  "*pdwRecordCount * sizeof(FOLDERINFO_TABLE)", QZ_SIZEOF_FOLDERINFO_TABLE));
}

QZAPI uint32_t RemoteGetFaxViewRecord(uint32_t dwServerID, const char* pszCond,
                                      FAXVIEW_TABLE** ppInfo, uint32_t* pdwRecordCount) {
  return RunFrame(
      Variant::kB, dwServerID, "Call RemoteGetFaxViewRecord ",
      ConditionEntry(dwServerID, "pszCond", pszCond, ppInfo, pdwRecordCount),
      [&](qz::CServerSession& s) {
        return s.GetFaxViewRecord(pszCond, reinterpret_cast<void**>(ppInfo), pdwRecordCount);
      },
      "Call RemoteGetFaxViewRecord return ",
      BlockReturn(ppInfo, "(*ppInfo)", pdwRecordCount,
                  "(*pdwRecordCount) * sizeof(FAXVIEW_TABLE)", QZ_SIZEOF_FAXVIEW_TABLE));
}

QZAPI uint32_t RemoteDelFaxViewRecord(uint32_t dwServerID, const char* pszCond) {
  return RunFrame(
      Variant::kB, dwServerID, "Call RemoteDelFaxViewRecord ",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID).Str("pszCond", pszCond); },
      [&](qz::CServerSession& s) { return s.DelFaxViewRecord(pszCond); },
      "Call RemoteDelFaxViewRecord return ", kLretOnly);
}

QZAPI uint32_t RemoteSetFaxViewFlag(uint32_t dwServerID, uint32_t dwFaxID, uint32_t nFlag) {
  return RunFrame(
      Variant::kB, dwServerID, "Call RemoteSetFaxViewFlag ",
      [&](TraceEntry& t) {
        t.Num("dwServerID", dwServerID).Num("dwFaxID", dwFaxID).Num("nFlag", nFlag);
      },
      [&](qz::CServerSession& s) { return s.SetFaxViewFlag(dwFaxID, nFlag); },
      "Call RemoteSetFaxViewFlag return ", kLretOnly);
}

QZAPI uint32_t RemoteGetAddressBookEx(uint32_t dwServerID, uint32_t dwFlag, void** ppInfo,
                                      uint32_t* pdwSize) {
  return RunFrame(
      Variant::kB, dwServerID, "Call RemoteGetAddressBookEx ",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID).Num("dwFlag", dwFlag); },
      [&](qz::CServerSession& s) { return s.GetAddressBookEx(dwFlag, ppInfo, pdwSize); },
      "Call RemoteGetAddressBookEx return ",
      BlockReturn(ppInfo, "*ppInfo", pdwSize, "*pdwSize", 1));
}

QZAPI uint32_t RemoteGetAddressRelation(uint32_t dwServerID, uint32_t dwAddressID,
                                        uint32_t dwAddrType, ADDRRELATION_TABLE** ppAddrRelation,
                                        uint32_t* pdwCount) {
  return RunFrame(
      Variant::kA, dwServerID, "Call RemoteGetAddressRelation ",
      [&](TraceEntry& t) {
        t.Num("dwAddressID", dwAddressID).Num("dwAddrType", dwAddrType);
        ClearOutputs(ppAddrRelation, pdwCount);
      },
      [&](qz::CServerSession& s) {
        return s.GetAddressRelation(dwAddressID, dwAddrType,
                                    reinterpret_cast<void**>(ppAddrRelation), pdwCount);
      },
      "Call RemoteGetAddressRelation return ",
      // The dump covers *pdwCount bytes, as the log has always shown it.
      BlockReturn(ppAddrRelation, "(*ppAddrRelation)", pdwCount, "(*pdwCount)", 1));
}

QZAPI uint32_t RemoteGetNewReceivedMessages(uint32_t dwServerID, const FOLDERINFO_TABLE* fhParent,
                                            const uint32_t* dwFaxIDArray, uint32_t nCount,
                                            RECVTASK_TABLE** ppDetail, uint32_t* pcRet) {
  return RunFrame(
      Variant::kA, dwServerID, "Call RemoteGetNewReceivedMessages ",
      [&](TraceEntry& t) {
        Folder(t, "&fhParent", fhParent)
            .Buffer("dwFaxIDArray", dwFaxIDArray, "nCount * sizeof(DWORD)", size_t{nCount} * 4);
        ClearOutputs(nullptr, pcRet);
      },
      [&](qz::CServerSession& s) {
        return s.GetNewReceivedMessages(MutableArg(fhParent),
                                        const_cast<uint32_t*>(dwFaxIDArray), nCount,
                                        reinterpret_cast<void**>(ppDetail), pcRet);
      },
      "Call RemoteGetNewReceivedMessages return ",
      BlockReturn(ppDetail, "(*ppDetail)", pcRet, "(*pcRet) * sizeof(RECVTASK_TABLE)",
                  QZ_SIZEOF_RECVTASK_TABLE));
}

}  // extern "C"
