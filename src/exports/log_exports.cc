// log_exports.cc -- the user log exports.
//
// Both run frame variant A. The query clears its outputs right after the
// entry trace, before the server ID is checked.
// Thread-safety: reentrant.
#include "exports/frame.h"
#include "platform/probe.h"
#include "qzcsif/qzcsif.h"

extern "C" {

QZAPI uint32_t RemoteQueryUserLog(uint32_t dwServerID, const char* pszCondition,
                                  USERLOG_TABLE** ppUserLog, uint32_t* pdwRecordCount) {
  using qz::TraceEntry;
  return qz::exports::RunFrame(
      qz::exports::Variant::kA, dwServerID, "Call RemoteQueryUserLog",
      [&](TraceEntry& t) {
        t.Num("dwServerID", dwServerID).Str("pszCondition", pszCondition);
        // Cleared before anything else may fail; a bad pointer is left to
        // the operation's argument check.
        const void* none = nullptr;
        const uint32_t zero = 0;
        (void)qz::platform::ProbeWrite(ppUserLog, sizeof none, &none);
        (void)qz::platform::ProbeWrite(pdwRecordCount, sizeof zero, &zero);
      },
      [&](qz::CServerSession& s) {
        return s.QueryUserLog(pszCondition, reinterpret_cast<void**>(ppUserLog), pdwRecordCount);
      },
      "Call RemoteQueryUserLog return",
      [&](TraceEntry& t, uint32_t lret) {
        t.Lret(lret).Buffer("(*ppUserLog)", qz::TracePeekPointer(reinterpret_cast<const void* const*>(ppUserLog)),
                            "(*pdwRecordCount * sizeof(USERLOG_TABLE))",
                            size_t{qz::TracePeekU32(pdwRecordCount)} * sizeof(USERLOG_TABLE));
      });
}

QZAPI uint32_t RemoteDelUserLog(uint32_t dwServerID, const char* pszCondition) {
  using qz::TraceEntry;
  return qz::exports::RunFrame(
      qz::exports::Variant::kA, dwServerID, "Call RemoteDelUserLog",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID).Str("pszCondition", pszCondition); },
      [&](qz::CServerSession& s) { return s.DelUserLog(pszCondition); },
      "Call RemoteDelUserLog return", qz::exports::kLretOnly);
}

}  // extern "C"
