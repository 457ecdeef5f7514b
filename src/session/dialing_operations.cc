// dialing_operations.cc -- dialing, routing and authorization: dial rules,
// the prefix table, automatic reception and its history, authorization
// entries, routing and the server's printers.
//
// Bad arguments give QZ_E_INVALIDARG, stored in the error slot (except the
// history query's own pointer check); rights are bits of dwRights[3]; a
// result of the server is returned without being stored; an RPC exception,
// or a fault while walking the caller's dial rules or prefix record, is
// stored and returned. Operation codes run from 0 to 3; code 3 of the
// automatic-reception and routing operations sends 32-bit IDs.
// Thread-safety: no lock; see server_session.h.
#include "core/trace_log.h"
#include "interfaces/stubs.h"
#include "rpc/records.h"
#include "session/server_session.h"

namespace qz {
namespace {

constexpr uint32_t kRightRouterOP = 0x80;  // dwRights[3]
constexpr uint32_t kRightGetRouterInfo = 0x100;
constexpr uint32_t kRightDialRuleOP = 0x1000;   // dial rules and prefix table
constexpr uint32_t kRightReadDialing = 0x2000;  // dial rules, prefixes, auto-receive, authorization
constexpr uint32_t kRightAuthorizedOP = 0x20000;

constexpr uint32_t kLastOpCode = 3;
constexpr uint32_t kIdListCode = 3;  // AutoRecvOP, RouterOP: the block holds 32-bit IDs

constexpr uint16_t kOpGetPrefixInfo = 51, kOpGetDialRule = 53, kOpAutoRecvOP = 56,
                   kOpGetAutoRecvInfo = 57, kOpGetRouterInfo = 58, kOpRouterOP = 59,
                   kOpGetAuthorizedInfo = 60, kOpAuthorizedOP = 61;

uint8_t** AsReply(void** pp) { return reinterpret_cast<uint8_t**>(pp); }

}  // namespace

// ---- Write operations -------------------------------------------------------

// Dial rules: the walk over the caller's records runs in the same guard as
// the call, so a fault is stored as the exception code 0xC0000005 like any
// other exception, and malformed records as QZ_E_INVALIDARG.
uint32_t CRpcServerSession::DialRuleOP(uint32_t dwCommand, void* pInfo, uint32_t dwRecordCount) {
  if (uint32_t st = CheckAdminWrite(pInfo, dwRecordCount, kRightDialRuleOP); st != kStatusOk)
    return st;
  if (dwCommand > kLastOpCode) return RefuseInvalidArg();
  return GuardedCallNoRecord([&] {
    const auto size = static_cast<int32_t>(SumLengthFields(pInfo, dwRecordCount));
    RequireReadableBlock(pInfo, static_cast<size_t>(size));
    return ifc::rpcDialRuleOP(m_hBinding, &m_SessionKey, dwCommand, pInfo, size);
  });
}

// One record only; its length field is the size sent.
uint32_t CRpcServerSession::PrefixTableOP(uint32_t dwFlag, void* pInfo, uint32_t dwRecordCount) {
  if (uint32_t st = CheckAdminWrite(pInfo, dwRecordCount, kRightDialRuleOP); st != kStatusOk)
    return st;
  if (dwFlag > kLastOpCode || dwRecordCount != 1) return RefuseInvalidArg();
  return GuardedCallNoRecord([&] {
    const auto size = static_cast<int32_t>(SumLengthFields(pInfo, 1));
    RequireReadableBlock(pInfo, static_cast<size_t>(size));
    return ifc::rpcPrefixTableOP(m_hBinding, &m_SessionKey, dwFlag, pInfo, size);
  });
}

uint32_t CRpcServerSession::SendDialingRecords(uint16_t opnum, uint32_t dwCommand, void* pInfo,
                                               uint32_t dwRecordCount) {
  const uint32_t bit = opnum == kOpRouterOP       ? kRightRouterOP
                       : opnum == kOpAuthorizedOP ? kRightAuthorizedOP
                                                  : 0;  // automatic reception: none
  if (uint32_t st = CheckAdminWrite(pInfo, dwRecordCount, bit); st != kStatusOk) return st;
  if (dwCommand > kLastOpCode) return RefuseInvalidArg();
  size_t record = opnum == kOpRouterOP       ? QZ_SIZEOF_ROUTERCONFIG_TABLE
                  : opnum == kOpAuthorizedOP ? QZ_SIZEOF_AUTHORIZEDINFO_TABLE
                                             : QZ_SIZEOF_FAXAUTORECVINFO_TABLE;
  if (dwCommand == kIdListCode && opnum != kOpAuthorizedOP) record = rpc::records::kIdSize;
  std::optional<int32_t> bytes = rpc::records::RecordBytes(dwRecordCount, record);
  if (!bytes) return RefuseInvalidArg();
  const int32_t size = *bytes;
  return GuardedCallNoRecord([&] {
    RequireReadableBlock(pInfo, static_cast<size_t>(size));
    return opnum == kOpRouterOP
               ? ifc::rpcRouterOP(m_hBinding, &m_SessionKey, dwCommand, pInfo, size)
           : opnum == kOpAuthorizedOP
               ? ifc::rpcAuthorizedOP(m_hBinding, &m_SessionKey, dwCommand, pInfo, size)
               : ifc::rpcAutoRecvOP(m_hBinding, &m_SessionKey, dwCommand, pInfo, size);
  });
}

uint32_t CRpcServerSession::AutoRecvOP(uint32_t dwCommand, void* pInfo, uint32_t dwRecordCount) {
  return SendDialingRecords(kOpAutoRecvOP, dwCommand, pInfo, dwRecordCount);
}

uint32_t CRpcServerSession::AuthorizedOP(uint32_t dwCommand, void* pInfo, uint32_t dwRecordCount) {
  return SendDialingRecords(kOpAuthorizedOP, dwCommand, pInfo, dwRecordCount);
}

uint32_t CRpcServerSession::RouterOP(uint32_t dwCommand, void* pInfo, uint32_t dwRecordCount) {
  return SendDialingRecords(kOpRouterOP, dwCommand, pInfo, dwRecordCount);
}

// ---- List queries -------------------------------------------------------------

// Dial rules and prefix records come back as length-prefixed lists; the
// others as fixed-size records. The count is written only on 1.
uint32_t CRpcServerSession::QueryDialingList(uint16_t opnum, const char* pszCondition,
                                             void** ppInfo, uint32_t* pdwRecordCount) {
  if (pszCondition == nullptr) pszCondition = "";
  const uint32_t bit = opnum == kOpGetRouterInfo ? kRightGetRouterInfo : kRightReadDialing;
  if (uint32_t st = CheckAdminList(ppInfo, pdwRecordCount, bit); st != kStatusOk) return st;
  int32_t lSize = 0;
  uint8_t** reply = AsReply(ppInfo);
  bool returned = false;
  uint32_t result = GuardedCallNoRecord(
      [&] {
        switch (opnum) {
          case kOpGetPrefixInfo:
            return ifc::rpcGetPrefixInfo(m_hBinding, &m_SessionKey, pszCondition, reply, &lSize);
          case kOpGetDialRule:
            return ifc::rpcGetDialRule(m_hBinding, &m_SessionKey, pszCondition, reply, &lSize);
          case kOpGetAutoRecvInfo:
            return ifc::rpcGetAutoRecvInfo(m_hBinding, &m_SessionKey, pszCondition, reply, &lSize);
          case kOpGetRouterInfo:
            return ifc::rpcGetRouterInfo(m_hBinding, &m_SessionKey, pszCondition, reply, &lSize);
          default:
            return ifc::rpcGetAuthorizedInfo(m_hBinding, &m_SessionKey, pszCondition, reply,
                                             &lSize);
        }
      },
      &returned);
  if (returned && opnum == kOpGetPrefixInfo) {
    TraceEntry("Call rpcGetPrefixInfo return")
        .Buffer("(*ppInfo)", *ppInfo, "lSize", lSize > 0 ? size_t(lSize) : 0)
        .Write();
  }
  if (result != kStatusOk) return result;
  switch (opnum) {
    case kOpGetPrefixInfo:
    case kOpGetDialRule:
      return CountReturnedList(*ppInfo, lSize, pdwRecordCount);
    case kOpGetAutoRecvInfo:
      *pdwRecordCount = rpc::records::RecordCount(lSize, QZ_SIZEOF_FAXAUTORECVINFO_TABLE);
      break;
    case kOpGetRouterInfo:
      *pdwRecordCount = rpc::records::RecordCount(lSize, QZ_SIZEOF_ROUTERCONFIG_TABLE);
      break;
    default:
      *pdwRecordCount = rpc::records::RecordCount(lSize, QZ_SIZEOF_AUTHORIZEDINFO_TABLE);
      break;
  }
  return result;
}

uint32_t CRpcServerSession::GetDialRule(const char* pszCondition, void** ppInfo,
                                        uint32_t* pdwRecordCount) {
  return QueryDialingList(kOpGetDialRule, pszCondition, ppInfo, pdwRecordCount);
}

uint32_t CRpcServerSession::GetPrefixTable(const char* pszCondition, void** ppInfo,
                                           uint32_t* pdwRecordCount) {
  return QueryDialingList(kOpGetPrefixInfo, pszCondition, ppInfo, pdwRecordCount);
}

uint32_t CRpcServerSession::GetAutoRecvInfo(const char* pszCondition, void** ppInfo,
                                            uint32_t* pdwRecordCount) {
  return QueryDialingList(kOpGetAutoRecvInfo, pszCondition, ppInfo, pdwRecordCount);
}

uint32_t CRpcServerSession::GetAuthorizedInfo(const char* pszCond, void** ppInfo,
                                              uint32_t* pdwRecordCount) {
  return QueryDialingList(kOpGetAuthorizedInfo, pszCond, ppInfo, pdwRecordCount);
}

uint32_t CRpcServerSession::GetRouterInfo(const char* pszCondition, void** ppInfo,
                                          uint32_t* pdwRecordCount) {
  return QueryDialingList(kOpGetRouterInfo, pszCondition, ppInfo, pdwRecordCount);
}

// No rights bit; the count is written after every call that returned,
// whatever the result.
uint32_t CRpcServerSession::QueryServerPrinters(void** ppInfo, uint32_t* pdwRecCount) {
  if (uint32_t st = CheckAdminList(ppInfo, pdwRecCount, 0); st != kStatusOk) return st;
  int32_t bytes = 0;
  bool returned = false;
  uint32_t result = GuardedCallNoRecord(
      [&] {
        return ifc::rpcQueryServerPrinters(m_hBinding, &m_SessionKey, AsReply(ppInfo), &bytes);
      },
      &returned);
  if (returned) *pdwRecCount = rpc::records::RecordCount(bytes, QZ_SIZEOF_PRINTERINFO);
  return result;
}

// ---- Automatic-reception history ------------------------------------------------

// The logged-in check comes first; null outputs give QZ_E_INVALIDARG
// without touching the error slot (the export refused them already).
uint32_t CRpcServerSession::GetFaxAutoRecvHistory(const char* szCond, void** ppInfo,
                                                  uint32_t* pdwCount) {
  if (szCond == nullptr) szCond = "";
  if (uint32_t st = CheckLoggedIn(); st != kStatusOk) return st;
  if (ppInfo == nullptr || pdwCount == nullptr) return QZ_E_INVALIDARG;
  int32_t bytes = 0;
  uint32_t result = GuardedCallNoRecord([&] {
    return ifc::rpcGetFaxAutoRecvHistory(m_hBinding, &m_SessionKey, szCond, AsReply(ppInfo),
                                         &bytes);
  });
  if (result == kStatusOk)
    *pdwCount = rpc::records::RecordCount(bytes, QZ_SIZEOF_AUTORECVHISTORY_TABLE);
  return result;
}

// No logged-in check of its own and no rights bit: the export's server-ID
// check stands for both.
uint32_t CRpcServerSession::DelFaxAutoRecvHistor(const char* szCond) {
  if (szCond == nullptr) szCond = "";
  return GuardedCallNoRecord(
      [&] { return ifc::rpcDelFaxAutoRecvHistory(m_hBinding, &m_SessionKey, szCond); });
}

}  // namespace qz
