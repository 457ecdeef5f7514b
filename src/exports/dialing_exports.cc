// dialing_exports.cc -- the exports of dialing, routing and authorization.
//
// The history exports run frame variant A, the others variant B. The list
// exports clear their outputs right after the entry trace, before the
// server ID is checked; RemoteGetFaxAutoRecvHistory first refuses null
// outputs with QZ_E_BADPARAM.
// Thread-safety: reentrant.
#include "exports/frame.h"
#include "qzcsif/qzcsif.h"

namespace {

using qz::TraceEntry;
using qz::exports::AsVoidList;
using qz::exports::ClearingListOutputs;
using qz::exports::ListReturn;
using qz::exports::PeekList;
using qz::exports::Variant;

// The return entry of a length-prefixed list (dial rules, prefix table).
// The size line keeps its historical name; the dump covers the returned
// records themselves, whatever their lengths.
auto LengthPrefixedReturn(void* pp, uint32_t* pn) {
  return [pp, pn](TraceEntry& t, uint32_t lret) {
    const void* block = qz::TracePeekPointer(static_cast<const void* const*>(pp));
    t.Lret(lret).Buffer("(*ppInfo)", block, "(*pdwRecordCount) * sizeof(COVERPAGEFIELD_TABLE)",
                        qz::exports::ListDumpBytes(block, qz::TracePeekU32(pn)));
  };
}

}  // namespace

extern "C" {

QZAPI uint32_t RemoteDialRuleOP(uint32_t dwServerID, uint32_t dwCommand, DIALRULE_TABLE* pInfo,
                                uint32_t dwRecordCount) {
  return qz::exports::RunFrame(
      Variant::kB, dwServerID, "Call RemoteDialRuleOP",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID).Num("dwCommand", dwCommand); },
      [&](qz::CServerSession& s) { return s.DialRuleOP(dwCommand, pInfo, dwRecordCount); },
      "Call RemoteDialRuleOP return", qz::exports::kLretOnly);
}

QZAPI uint32_t RemoteGetDialRule(uint32_t dwServerID, const char* pszCondition,
                                 DIALRULE_TABLE** ppInfo, uint32_t* pdwRecordCount) {
  return qz::exports::RunFramePrechecked(
      Variant::kB, dwServerID, "Call RemoteGetDialRule",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID).Str("pszCondition", pszCondition); },
      ClearingListOutputs(ppInfo, pdwRecordCount),
      [&](qz::CServerSession& s) {
        return s.GetDialRule(pszCondition, AsVoidList(ppInfo), pdwRecordCount);
      },
      "Call RemoteGetDialRule return", LengthPrefixedReturn(ppInfo, pdwRecordCount));
}

QZAPI uint32_t RemoteCheckDialRule(uint32_t dwServerID, uint32_t dwDialRuleID, uint32_t dwParam) {
  return qz::exports::RunFrame(
      Variant::kB, dwServerID, "Call RemoteCheckDialRule",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID).Num("dwDialRuleID", dwDialRuleID); },
      [&](qz::CServerSession& s) { return s.CheckDialRule(dwDialRuleID, dwParam); },
      "Call RemoteCheckDialRule return", qz::exports::kLretOnly);
}

QZAPI uint32_t RemoteGetAutoRecvInfo(uint32_t dwServerID, const char* pszCondition,
                                     FAXAUTORECVINFO_TABLE** ppInfo, uint32_t* pdwRecordCount) {
  return qz::exports::RunFramePrechecked(
      Variant::kB, dwServerID, "Call RemoteGetAutoRecvInfo",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID); },
      ClearingListOutputs(ppInfo, pdwRecordCount),
      [&](qz::CServerSession& s) {
        return s.GetAutoRecvInfo(pszCondition, AsVoidList(ppInfo), pdwRecordCount);
      },
      "Call RemoteGetAutoRecvInfo return",
      ListReturn("(*ppInfo)", ppInfo, "(*pdwRecordCount) * sizeof(FAXAUTORECVINFO_TABLE)",
                 pdwRecordCount, QZ_SIZEOF_FAXAUTORECVINFO_TABLE));
}

QZAPI uint32_t RemoteAutoRecvOP(uint32_t dwServerID, uint32_t dwCommand, void* pInfo,
                                uint32_t dwRecordCount) {
  return qz::exports::RunFrame(
      Variant::kB, dwServerID, "Call RemoteAutoRecvOP",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID); },
      [&](qz::CServerSession& s) { return s.AutoRecvOP(dwCommand, pInfo, dwRecordCount); },
      "Call RemoteAutoRecvOP return", qz::exports::kLretOnly);
}

// The entry dumps dwRecordCount bytes of the records (as the original did).
QZAPI uint32_t RemoteAuthorizedOP(uint32_t dwServerID, uint32_t dwCommand,
                                  AUTHORIZEDINFO_TABLE* pInfo, uint32_t dwRecordCount) {
  return qz::exports::RunFrame(
      Variant::kB, dwServerID, "Call RemoteAuthorizedOP",
      [&](TraceEntry& t) {
        t.Num("dwServerID", dwServerID)
            .Num("dwCommand", dwCommand)
            .Buffer("pInfo", pInfo, "dwRecordCount", dwRecordCount);
      },
      [&](qz::CServerSession& s) { return s.AuthorizedOP(dwCommand, pInfo, dwRecordCount); },
      "Call RemoteAuthorizedOP return", qz::exports::kLretOnly);
}

QZAPI uint32_t RemoteGetAuthorizedInfo(uint32_t dwServerID, const char* pszCond,
                                       AUTHORIZEDINFO_TABLE** ppInfo, uint32_t* pdwRecordCount) {
  return qz::exports::RunFramePrechecked(
      Variant::kB, dwServerID, "Call RemoteGetAuthorizedInfo",
      [&](TraceEntry& t) { t.Str("pszCond", pszCond).Num("dwServerID", dwServerID); },
      ClearingListOutputs(ppInfo, pdwRecordCount),
      [&](qz::CServerSession& s) {
        return s.GetAuthorizedInfo(pszCond, AsVoidList(ppInfo), pdwRecordCount);
      },
      "Call RemoteGetAuthorizedInfo return",
      ListReturn("(*ppInfo)", ppInfo, "(*pdwRecordCount) * sizeof(AUTHORIZEDINFO_TABLE)",
                 pdwRecordCount, QZ_SIZEOF_AUTHORIZEDINFO_TABLE));
}

QZAPI uint32_t RemoteRouterOP(uint32_t dwServerID, uint32_t dwCommand, void* pInfo,
                              uint32_t dwRecordCount) {
  return qz::exports::RunFrame(
      Variant::kB, dwServerID, "Call RemoteRouterOP",
      [&](TraceEntry& t) {
        t.Num("dwServerID", dwServerID)
            .Num("dwCommand", dwCommand)
            .Buffer("pInfo", pInfo, "dwRecordCount", dwRecordCount);
      },
      [&](qz::CServerSession& s) { return s.RouterOP(dwCommand, pInfo, dwRecordCount); },
      "Call RemoteRouterOP return", qz::exports::kLretOnly);
}

QZAPI uint32_t RemoteGetRouterInfo(uint32_t dwServerID, const char* pszCondition,
                                   ROUTERCONFIG_TABLE** ppInfo, uint32_t* pdwRecordCount) {
  return qz::exports::RunFramePrechecked(
      Variant::kB, dwServerID, "Call RemoteGetRouterInfo",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID).Str("pszCondition", pszCondition); },
      ClearingListOutputs(ppInfo, pdwRecordCount),
      [&](qz::CServerSession& s) {
        return s.GetRouterInfo(pszCondition, AsVoidList(ppInfo), pdwRecordCount);
      },
      "Call RemoteGetRouterInfo return",
      ListReturn("(*ppInfo)", ppInfo, "(*pdwRecordCount) * sizeof(ROUTERCONFIG_TABLE)",
                 pdwRecordCount, QZ_SIZEOF_ROUTERCONFIG_TABLE));
}

QZAPI uint32_t RemoteGetPrefixTable(uint32_t dwServerID, const char* pszCondition,
                                    PREFIXINFO_TABLE** ppInfo, uint32_t* pdwRecordCount) {
  return qz::exports::RunFramePrechecked(
      Variant::kB, dwServerID, "Call RemoteGetPrefixTable",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID).Str("pszCondition", pszCondition); },
      ClearingListOutputs(ppInfo, pdwRecordCount),
      [&](qz::CServerSession& s) {
        return s.GetPrefixTable(pszCondition, AsVoidList(ppInfo), pdwRecordCount);
      },
      "Call RemoteGetPrefixTable return", LengthPrefixedReturn(ppInfo, pdwRecordCount));
}

QZAPI uint32_t RemotePrefixTableOP(uint32_t dwServerID, uint32_t dwFlag, PREFIXINFO_TABLE* pInfo,
                                   uint32_t dwRecordCount) {
  return qz::exports::RunFrame(
      Variant::kB, dwServerID, "Call RemotePrefixTableOP",
      [&](TraceEntry& t) {
        t.Num("dwServerID", dwServerID)
            .Num("dwFlag", dwFlag)
            .Buffer("pInfo", pInfo, "dwRecordCount", dwRecordCount);
      },
      [&](qz::CServerSession& s) { return s.PrefixTableOP(dwFlag, pInfo, dwRecordCount); },
      "Call RemotePrefixTableOP return", qz::exports::kLretOnly);
}

QZAPI uint32_t RemoteQueryServerPrinters(uint32_t dwServerID, PRINTERINFO** ppInfo,
                                         uint32_t* pdwRecCount) {
  return qz::exports::RunFramePrechecked(
      Variant::kB, dwServerID, "Call RemoteQueryServerPrinters",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID); },
      ClearingListOutputs(ppInfo, pdwRecCount),
      [&](qz::CServerSession& s) { return s.QueryServerPrinters(AsVoidList(ppInfo), pdwRecCount); },
      "Call RemoteQueryServerPrinters return",
      ListReturn("(*ppInfo)", ppInfo, "(*pdwRecCount) * sizeof(PRINTERINFO)", pdwRecCount,
                 QZ_SIZEOF_PRINTERINFO));
}

// The return entry dumps *pdwCount bytes (the record count, as the
// original did).
QZAPI uint32_t RemoteGetFaxAutoRecvHistory(uint32_t dwServerID, const char* szCond,
                                           AUTORECVHISTORY_TABLE** ppInfo, uint32_t* pdwCount) {
  return qz::exports::RunFramePrechecked(
      Variant::kA, dwServerID, "Call RemoteGetFaxAutoRecvHistory",
      [&](TraceEntry& t) { t.Str("szCond", szCond); },
      [&] {
        if (ppInfo == nullptr || pdwCount == nullptr) return QZ_E_BADPARAM;
        qz::exports::ClearListOutputs(ppInfo, pdwCount);
        return qz::kStatusOk;
      },
      [&](qz::CServerSession& s) {
        return s.GetFaxAutoRecvHistory(szCond, AsVoidList(ppInfo), pdwCount);
      },
      "Call RemoteGetFaxAutoRecvHistory return",
      ListReturn("(*ppInfo)", ppInfo, "(*pdwCount)", pdwCount, 1));
}

QZAPI uint32_t RemoteDelFaxAutoRecvHistor(uint32_t dwServerID, const char* szCond) {
  return qz::exports::RunFrame(
      Variant::kA, dwServerID, "Call RemoteDelFaxAutoRecvHistor",
      [&](TraceEntry& t) { t.Str("szCond", szCond); },
      [&](qz::CServerSession& s) { return s.DelFaxAutoRecvHistor(szCond); },
      "Call RemoteDelFaxAutoRecvHistor return", qz::exports::kLretOnly);
}

}  // extern "C"
