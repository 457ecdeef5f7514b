// log_operations.cc -- the logs and the system configuration: user log,
// system log, configuration sections and named configuration values.
//
// The family's rules: bad arguments give QZ_E_BADPARAM without touching the
// error slot; then the logged-in check and the rights bit; a server result
// other than 1 is stored in the error slot and returned (not for
// AccessConfig, which passes it through unrecorded). Configuration reads
// negotiate the buffer size: a buffer smaller than the section gives
// QZ_E_BUFFERTOOSMALL and the size needed, without touching the error slot.
// Thread-safety: no lock; see server_session.h.
#include "interfaces/stubs.h"
#include "rpc/records.h"
#include "session/server_session.h"

namespace qz {
namespace {

constexpr uint32_t kRightUserLog = 0x10000;    // dwRights[2]: user log
constexpr uint32_t kRightWriteConfig = 0x20;   // dwRights[3]
constexpr uint32_t kRightReadConfig = 0x40;    // dwRights[3]
constexpr uint32_t kRightQuerySysLog = 0x400;  // dwRights[3]
constexpr uint32_t kRightDelSysLog = 0x800;    // dwRights[3]

constexpr uint16_t kOpQueryUserLog = 3, kOpDelUserLog = 4, kOpQuerySysLog = 5, kOpDelSysLog = 6;

// Named values: dwType and dwFieldType.
constexpr uint32_t kConfigRead = 0, kConfigWrite = 1;
constexpr uint32_t kFieldString = 0, kFieldValue = 1, kFieldStringPair = 2, kFieldLast = 3;
// The second text of a string pair starts this far into the value block.
constexpr size_t kPairSecondOffset = 120;

// Section 6 is read as one block; written, it is sections 0 to 5, laid end
// to end from the start of the caller's block.
constexpr uint32_t kWholeConfig = 6;

}  // namespace

// ---- Logs ---------------------------------------------------------------------

uint32_t CRpcServerSession::QueryLog(uint16_t opnum, const char* pszCondition, void** ppLog,
                                     uint32_t* pdwRecordCount) {
  const bool user = opnum == kOpQueryUserLog;
  if (pszCondition == nullptr) pszCondition = "";
  if (ppLog == nullptr || pdwRecordCount == nullptr) return QZ_E_BADPARAM;
  if (uint32_t status = CheckLoggedIn(); status != kStatusOk) return status;
  if (uint32_t status = user ? RequireRight(2, kRightUserLog) : RequireRight(3, kRightQuerySysLog);
      status != kStatusOk)
    return status;
  int32_t bytes = 0;
  auto* reply = reinterpret_cast<uint8_t**>(ppLog);
  uint32_t result = GuardedCall([&] {
    return user ? ifc::rpcQueryUserLog(m_hBinding, &m_SessionKey, pszCondition, reply, &bytes)
                : ifc::rpcQuerySysLog(m_hBinding, &m_SessionKey, pszCondition, reply, &bytes);
  });
  if (result == kStatusOk)
    *pdwRecordCount =
        rpc::records::RecordCount(bytes, user ? QZ_SIZEOF_USERLOG_TABLE : QZ_SIZEOF_SYSLOG_TABLE);
  return result;
}

uint32_t CRpcServerSession::DeleteLog(uint16_t opnum, const char* pszCondition) {
  const bool user = opnum == kOpDelUserLog;
  if (pszCondition == nullptr) pszCondition = "";
  if (uint32_t status = CheckLoggedIn(); status != kStatusOk) return status;
  if (uint32_t status = user ? RequireRight(2, kRightUserLog) : RequireRight(3, kRightDelSysLog);
      status != kStatusOk)
    return status;
  return GuardedCall([&] {
    return user ? ifc::rpcDelUserLog(m_hBinding, &m_SessionKey, pszCondition)
                : ifc::rpcDelSysLog(m_hBinding, &m_SessionKey, pszCondition);
  });
}

uint32_t CRpcServerSession::QueryUserLog(const char* pszCondition, void** ppUserLog,
                                         uint32_t* pdwRecordCount) {
  return QueryLog(kOpQueryUserLog, pszCondition, ppUserLog, pdwRecordCount);
}

uint32_t CRpcServerSession::DelUserLog(const char* pszCondition) {
  return DeleteLog(kOpDelUserLog, pszCondition);
}

uint32_t CRpcServerSession::QuerySysLog(const char* pszCondition, void** ppSysLog,
                                        uint32_t* pdwRecordCount) {
  return QueryLog(kOpQuerySysLog, pszCondition, ppSysLog, pdwRecordCount);
}

uint32_t CRpcServerSession::DelSysLog(const char* pszCondition) {
  return DeleteLog(kOpDelSysLog, pszCondition);
}

// ---- Configuration --------------------------------------------------------------

uint32_t CRpcServerSession::AccessConfig(uint32_t dwType, const char* pName, uint32_t dwFieldType,
                                         void* pValue, uint32_t* pdwBufSize) {
  if (dwType > kConfigWrite || dwFieldType > kFieldLast) return QZ_E_BADPARAM;
  if (pName == nullptr || pValue == nullptr || pdwBufSize == nullptr) return QZ_E_BADPARAM;
  if (uint32_t status = CheckLoggedIn(); status != kStatusOk) return status;
  if (dwType == kConfigRead) return kENotImpl;  // reading a named value is not offered
  if (uint32_t status = RequireRight(3, kRightWriteConfig); status != kStatusOk) return status;
  // Field type 3 passes the range check but has no procedure: nothing is sent.
  if (dwFieldType == kFieldLast) return kENotImpl;
  return GuardedCallNoRecord([&]() -> int32_t {
    const auto* value = static_cast<const char*>(pValue);
    switch (dwFieldType) {
      case kFieldString:
        return ifc::rpcSetConfigString(m_hBinding, &m_SessionKey, pName, value);
      case kFieldValue: {
        int32_t number = 0;
        ReadCallerBytes(pValue, sizeof number, &number);
        return ifc::rpcSetConfigValue(m_hBinding, &m_SessionKey, pName, number);
      }
      default:  // kFieldStringPair: the texts at 0 and 120; the name is not sent
        return ifc::rpcSetConfigStringPair(m_hBinding, &m_SessionKey, value,
                                           value + kPairSecondOffset);
    }
  });
}

uint32_t CRpcServerSession::GetSystemConfig(uint32_t dwGetFlag, void* pvBuff, uint32_t* dwSize) {
  std::optional<size_t> section = rpc::records::SystemConfigSectionSize(
      dwGetFlag > kWholeConfig ? -1 : static_cast<int32_t>(dwGetFlag));
  if (pvBuff == nullptr || dwSize == nullptr || !section) return QZ_E_BADPARAM;
  if (uint32_t status = CheckLoggedIn(); status != kStatusOk) return status;
  if (uint32_t status = RequireRight(3, kRightReadConfig); status != kStatusOk) return status;
  if (*dwSize < *section) {
    *dwSize = static_cast<uint32_t>(*section);
    return QZ_E_BUFFERTOOSMALL;
  }
  // The caller's whole buffer travels both ways (it may exceed the section).
  if (*dwSize > rpc::records::kMaxBlockBytes) return QZ_E_BADPARAM;
  const auto size = static_cast<int32_t>(*dwSize);
  return GuardedCall([&] {
    WriteCallerBytes(pvBuff, nullptr, static_cast<size_t>(size));  // writable for the answer
    return dwGetFlag == kWholeConfig
               ? ifc::rpcGetSystemConfigEx(m_hBinding, &m_SessionKey, pvBuff, size)
               : ifc::rpcGetSystemConfig(m_hBinding, &m_SessionKey, dwGetFlag, pvBuff, size);
  });
}

// Sections 0 to 5 send exactly their size, whatever dwSize says. Section 6
// sends sections 0 to 5 in turn, each from its place in the caller's block
// (sections laid end to end), and stops at the first failure; the sections
// written before it stay written.
uint32_t CRpcServerSession::SetSystemConfig(uint32_t dwSetFlag, void* pvBuff,
                                            uint32_t /*dwSize: traced only*/) {
  if (pvBuff == nullptr || dwSetFlag > kWholeConfig) return QZ_E_BADPARAM;
  if (uint32_t status = CheckLoggedIn(); status != kStatusOk) return status;
  if (uint32_t status = RequireRight(3, kRightWriteConfig); status != kStatusOk) return status;
  const uint32_t first = dwSetFlag == kWholeConfig ? 0 : dwSetFlag;
  const uint32_t last = dwSetFlag == kWholeConfig ? kWholeConfig - 1 : dwSetFlag;
  const auto* block = static_cast<const uint8_t*>(pvBuff);
  size_t offset = 0;
  for (uint32_t section = first; section <= last; ++section) {
    const size_t size = rpc::records::kSystemConfigSectionSizes[section];
    const uint8_t* data = block + offset;
    uint32_t result = GuardedCall([&] {
      RequireReadableBlock(data, size);
      return ifc::rpcSetSystemConfig(m_hBinding, &m_SessionKey, section, data,
                                     static_cast<int32_t>(size));
    });
    if (result != kStatusOk) return result;
    if (dwSetFlag == kWholeConfig) offset += size;
  }
  return kStatusOk;
}

}  // namespace qz
