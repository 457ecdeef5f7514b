// log_exports.cc -- the exports of the logs and the system configuration.
//
// All run frame variant A. The log queries and RemoteBackupSysLog clear
// their outputs right after the entry trace, before the server ID is
// checked.
// Thread-safety: reentrant.
#include <algorithm>

#include "exports/frame.h"
#include "qzcsif/qzcsif.h"

namespace {

using qz::TraceEntry;
using qz::exports::AsVoidList;
using qz::exports::ClearingListOutputs;
using qz::exports::ListReturn;
using qz::exports::PeekList;
using qz::exports::Variant;

}  // namespace

extern "C" {

QZAPI uint32_t RemoteQueryUserLog(uint32_t dwServerID, const char* pszCondition,
                                  USERLOG_TABLE** ppUserLog, uint32_t* pdwRecordCount) {
  return qz::exports::RunFramePrechecked(
      Variant::kA, dwServerID, "Call RemoteQueryUserLog",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID).Str("pszCondition", pszCondition); },
      ClearingListOutputs(ppUserLog, pdwRecordCount),
      [&](qz::CServerSession& s) {
        return s.QueryUserLog(pszCondition, AsVoidList(ppUserLog), pdwRecordCount);
      },
      "Call RemoteQueryUserLog return",
      ListReturn("(*ppUserLog)", ppUserLog, "(*pdwRecordCount * sizeof(USERLOG_TABLE))",
                 pdwRecordCount, QZ_SIZEOF_USERLOG_TABLE));
}

QZAPI uint32_t RemoteDelUserLog(uint32_t dwServerID, const char* pszCondition) {
  return qz::exports::RunFrame(
      Variant::kA, dwServerID, "Call RemoteDelUserLog",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID).Str("pszCondition", pszCondition); },
      [&](qz::CServerSession& s) { return s.DelUserLog(pszCondition); },
      "Call RemoteDelUserLog return", qz::exports::kLretOnly);
}

QZAPI uint32_t RemoteQuerySysLog(uint32_t dwServerID, const char* pszCondition,
                                 SYSLOG_TABLE** ppSysLog, uint32_t* pdwRecordCount) {
  return qz::exports::RunFramePrechecked(
      Variant::kA, dwServerID, "Call RemoteQuerySysLog",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID).Str("pszCondition", pszCondition); },
      ClearingListOutputs(ppSysLog, pdwRecordCount),
      [&](qz::CServerSession& s) {
        return s.QuerySysLog(pszCondition, AsVoidList(ppSysLog), pdwRecordCount);
      },
      "Call RemoteQuerySysLog return", qz::exports::kLretOnly);
}

QZAPI uint32_t RemoteDelSysLog(uint32_t dwServerID, const char* pszCondition) {
  return qz::exports::RunFrame(
      Variant::kA, dwServerID, "Call RemoteDelSysLog",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID).Str("pszCondition", pszCondition); },
      [&](qz::CServerSession& s) { return s.DelSysLog(pszCondition); },
      "Call RemoteDelSysLog return", qz::exports::kLretOnly);
}

QZAPI uint32_t RemoteBackupSysLog(uint32_t dwServerID, const char* pszCondition,
                                  SYSLOG_TABLE** ppSysLog, uint32_t* pdwRecordCount) {
  return qz::exports::RunFramePrechecked(
      Variant::kA, dwServerID, "Call RemoteBackupSysLog",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID).Str("pszCondition", pszCondition); },
      ClearingListOutputs(ppSysLog, pdwRecordCount),
      [&](qz::CServerSession& s) {
        return s.BackupSysLog(pszCondition, AsVoidList(ppSysLog), pdwRecordCount);
      },
      "Call RemoteBackupSysLog return",
      ListReturn("(*ppSysLog)", ppSysLog, "(*pdwRecordCount * sizeof(SYSLOG_TABLE))",
                 pdwRecordCount, QZ_SIZEOF_SYSLOG_TABLE));
}

QZAPI uint32_t RemoteAccessConfig(uint32_t dwServerID, uint32_t dwType, const char* pName,
                                  uint32_t dwFieldType, void* pValue, uint32_t* pdwBufSize) {
  return qz::exports::RunFrame(
      Variant::kA, dwServerID, "Call RemoteAccessConfig",
      [&](TraceEntry& t) {
        t.Num("dwServerID", dwServerID)
            .Num("dwType", dwType)
            .Str("pName", pName)
            .Num("dwFieldType", dwFieldType)
            .Buffer("pValue", pValue, "(*pdwBufSize)", qz::TracePeekU32(pdwBufSize));
      },
      [&](qz::CServerSession& s) {
        return s.AccessConfig(dwType, pName, dwFieldType, pValue, pdwBufSize);
      },
      "Call RemoteAccessConfig return", qz::exports::kLretOnly);
}

// The return entry's size line shows *dwSize, but the dump never covers
// more than the caller's buffer: after QZ_E_BUFFERTOOSMALL *dwSize holds
// the larger size needed.
QZAPI uint32_t RemoteGetSystemConfig(uint32_t dwServerID, uint32_t dwGetFlag, void* pvBuff,
                                     uint32_t* dwSize) {
  const uint32_t buffer_size = qz::TracePeekU32(dwSize);
  return qz::exports::RunFrame(
      Variant::kA, dwServerID, "Call RemoteGetSystemConfig",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID).Num("dwGetFlag", dwGetFlag); },
      [&](qz::CServerSession& s) { return s.GetSystemConfig(dwGetFlag, pvBuff, dwSize); },
      "Call RemoteGetSystemConfig return",
      [&](TraceEntry& t, uint32_t lret) {
        const uint32_t size = qz::TracePeekU32(dwSize);
        t.Lret(lret)
            .Hex("pvBuff", pvBuff)
            .HexNext("dwSize", size)
            .Dump(pvBuff, std::min(size, buffer_size));
      });
}

QZAPI uint32_t RemoteSetSystemConfig(uint32_t dwServerID, uint32_t dwSetFlag, void* pvBuff,
                                     uint32_t dwSize) {
  return qz::exports::RunFrame(
      Variant::kA, dwServerID, "Call RemoteSetSystemConfig",
      [&](TraceEntry& t) {
        t.Num("dwServerID", dwServerID)
            .Num("dwSetFlag", dwSetFlag)
            .Buffer("pvBuff", pvBuff, "dwSize", dwSize);
      },
      [&](qz::CServerSession& s) { return s.SetSystemConfig(dwSetFlag, pvBuff, dwSize); },
      "Call RemoteSetSystemConfig return", qz::exports::kLretOnly);
}

}  // extern "C"
