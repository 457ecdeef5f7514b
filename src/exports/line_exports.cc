// line_exports.cc -- the exports of lines, devices and scripts.
//
// RemoteGetDeviceInfo, RemoteGetPortList and RemoteGetPortLimited run frame
// variant A, the others variant B. The list exports clear their outputs
// right after the entry trace, before the server ID is checked.
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

// Size of a fixed-size list's dump: count records, or, when the count
// still holds the byte count of a refused call (GetPortList and
// GetPortLimited count in the caller's variable), that byte count.
size_t FixedListDump(uint32_t lret, uint32_t count, size_t record_size) {
  return lret == QZ_OK ? size_t{count} * record_size : size_t{count};
}

}  // namespace

extern "C" {

QZAPI uint32_t RemoteDeviceOP(uint32_t dwServerID, uint32_t dwCommand, void* pInfo,
                              uint32_t dwSize) {
  return qz::exports::RunFrame(
      Variant::kB, dwServerID, "Call RemoteDeviceOP",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID); },
      [&](qz::CServerSession& s) { return s.DeviceOP(dwCommand, pInfo, dwSize); },
      "Call RemoteDeviceOP return", qz::exports::kLretOnly);
}

QZAPI uint32_t RemoteGetDeviceInfo(uint32_t dwServerID, const char* pszCondition,
                                   DEVICEINFO_TABLE** ppDeviceInfo, uint32_t* pdwRecordCount) {
  return qz::exports::RunFramePrechecked(
      Variant::kA, dwServerID, "Call RemoteGetDeviceInfo",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID).Str("pszCondition", pszCondition); },
      ClearingListOutputs(ppDeviceInfo, pdwRecordCount),
      [&](qz::CServerSession& s) {
        return s.GetDeviceInfo(AsVoidList(ppDeviceInfo), pdwRecordCount);
      },
      "Call RemoteGetDeviceInfo return",
      ListReturn("(*ppDeviceInfo)", ppDeviceInfo, "(*pdwRecordCount) * sizeof(DEVICEINFO_TABLE)",
                 pdwRecordCount, QZ_SIZEOF_DEVICEINFO_TABLE));
}

QZAPI uint32_t RemoteGetPortList(uint32_t dwServerID, const char* pszCondition,
                                 PORTINFO_TABLE** ppInfo, uint32_t* pdwRec) {
  return qz::exports::RunFramePrechecked(
      Variant::kA, dwServerID, "Call RemoteGetPortList",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID).Str("pszCondition", pszCondition); },
      ClearingListOutputs(ppInfo, pdwRec),
      [&](qz::CServerSession& s) {
        return s.GetPortList(pszCondition, AsVoidList(ppInfo), pdwRec);
      },
      "Call RemoteGetPortList return",
      [&](TraceEntry& t, uint32_t lret) {
        t.Lret(lret).Buffer(
            "(*ppInfo)", PeekList(ppInfo), "(*pdwRec) * sizeof(PORTINFO_TABLE)",
            FixedListDump(lret, qz::TracePeekU32(pdwRec), QZ_SIZEOF_PORTINFO_TABLE));
      });
}

QZAPI uint32_t RemoteGetPortLimited(uint32_t dwServerID, uint32_t dwOP, const char* pParam,
                                    LINECHECK_TABLE** ppInfo, uint32_t* pdwRecordCount) {
  return qz::exports::RunFramePrechecked(
      Variant::kA, dwServerID, "Call RemoteGetPortLimited",
      [&](TraceEntry& t) {
        t.Num("dwServerID", dwServerID).Num("dwOP", dwOP).Str("pParam", pParam);
      },
      ClearingListOutputs(ppInfo, pdwRecordCount),
      [&](qz::CServerSession& s) {
        return s.GetPortLimited(dwOP, pParam, AsVoidList(ppInfo), pdwRecordCount);
      },
      "Call RemoteGetPortLimited return",
      [&](TraceEntry& t, uint32_t lret) {
        t.Lret(lret).Buffer(
            "(*ppInfo)", PeekList(ppInfo), "(*pdwRecordCount) * sizeof(LINECHECK_TABLE)",
            FixedListDump(lret, qz::TracePeekU32(pdwRecordCount), QZ_SIZEOF_LINECHECK_TABLE));
      });
}

QZAPI uint32_t RemotePortLimitedOP(uint32_t dwServerID, uint32_t dwCommand, LINECHECK_TABLE* pInfo,
                                   uint32_t dwRecordCount) {
  return qz::exports::RunFrame(
      Variant::kB, dwServerID, "Call RemotePortLimitedOP",
      [&](TraceEntry& t) {
        t.Num("dwCommand", dwCommand)
            .Buffer("pInfo", pInfo, "dwRecordCount*sizeof(LINECHECK_TABLE)",
                    size_t{dwRecordCount} * QZ_SIZEOF_LINECHECK_TABLE);
      },
      [&](qz::CServerSession& s) { return s.PortLimitedOP(dwCommand, pInfo, dwRecordCount); },
      "Call RemotePortLimitedOP return", qz::exports::kLretOnly);
}

QZAPI uint32_t RemoteSetPortStatus(uint32_t dwServerID, PORTINFO_TABLE* pPortInfo,
                                   uint32_t dwRecordCount) {
  return qz::exports::RunFrame(
      Variant::kB, dwServerID, "Call RemoteSetPortStatus",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID); },
      [&](qz::CServerSession& s) { return s.SetPortStatus(pPortInfo, dwRecordCount); },
      "Call RemoteSetPortStatus return",
      [&](TraceEntry& t, uint32_t lret) { t.Num("dwRecordCount", dwRecordCount).Lret(lret); });
}

QZAPI uint32_t RemoteStopLine(uint32_t dwServerID, PORTINFO_TABLE* pPortInfo,
                              uint32_t dwRecordCount) {
  return qz::exports::RunFrame(
      Variant::kB, dwServerID, "Call RemoteStopLine",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID); },
      [&](qz::CServerSession& s) { return s.StopLine(pPortInfo, dwRecordCount); },
      "Call RemoteStopLine return", qz::exports::kLretOnly);
}

QZAPI uint32_t RemoteScriptFileOP(uint32_t dwServerID, uint32_t dwCommand, void* pInfo,
                                  uint32_t dwRecordCount) {
  return qz::exports::RunFrame(
      Variant::kB, dwServerID, "Call RemoteScriptFileOP",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID).Num("dwCommand", dwCommand); },
      [&](qz::CServerSession& s) { return s.ScriptFileOP(dwCommand, pInfo, dwRecordCount); },
      "Call RemoteScriptFileOP return", qz::exports::kLretOnly);
}

// The dump covers 104 bytes per script, but never more than the returned
// records themselves (scripts are length-prefixed and may be shorter).
QZAPI uint32_t RemoteGetScripts(uint32_t dwServerID, SCRIPTINFO** ppScriptInfo,
                                uint32_t* pdwRecordCount) {
  return qz::exports::RunFramePrechecked(
      Variant::kB, dwServerID, "Call RemoteGetScripts",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID); },
      ClearingListOutputs(ppScriptInfo, pdwRecordCount),
      [&](qz::CServerSession& s) { return s.GetScripts(AsVoidList(ppScriptInfo), pdwRecordCount); },
      "Call RemoteGetScripts return",
      [&](TraceEntry& t, uint32_t lret) {
        const void* block = PeekList(ppScriptInfo);
        const uint32_t count = qz::TracePeekU32(pdwRecordCount);
        t.Lret(lret).Buffer(
            "(*ppScriptInfo)", block, "(*pdwRecordCount) * sizeof(SCRIPTINFO)",
            std::min(size_t{count} * 104, qz::exports::ListDumpBytes(block, count)));
      });
}

QZAPI uint32_t RemoteGetPortRealInfo(uint32_t dwServerID, PORT_CURRENT_STATUS** ppInfo,
                                     uint32_t* pdwRec) {
  return qz::exports::RunFramePrechecked(
      Variant::kB, dwServerID, "Call RemoteGetPortRealInfo",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID); }, ClearingListOutputs(ppInfo, pdwRec),
      [&](qz::CServerSession& s) { return s.GetPortRealInfo(AsVoidList(ppInfo), pdwRec); },
      "Call RemoteGetPortRealInfo return",
      ListReturn("(*ppInfo)", ppInfo, "(*pdwRec) * sizeof(PORT_CURRENT_STATUS)", pdwRec,
                 QZ_SIZEOF_PORT_CURRENT_STATUS));
}

}  // extern "C"
