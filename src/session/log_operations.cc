// log_operations.cc -- the user log operations of CRpcServerSession.
//
// Bad arguments give QZ_E_BADPARAM without touching the error slot; a
// server result other than 1 is stored in the error slot and returned.
// Thread-safety: no lock; see server_session.h.
#include "interfaces/stubs.h"
#include "session/server_session.h"

namespace qz {
namespace {

constexpr uint32_t kRightsQueryUserLog = 0x10000;  // dwRights[2]

}  // namespace

uint32_t CRpcServerSession::QueryUserLog(const char* pszCondition, void** ppUserLog,
                                         uint32_t* pdwRecordCount) {
  if (pszCondition == nullptr) pszCondition = "";
  if (ppUserLog == nullptr || pdwRecordCount == nullptr) return QZ_E_BADPARAM;
  if (uint32_t status = CheckLoggedIn(); status != kStatusOk) return status;
  if (uint32_t status = RequireRight(2, kRightsQueryUserLog); status != kStatusOk) return status;
  int32_t bytes = 0;
  uint32_t result = GuardedCall([&] {
    return ifc::rpcQueryUserLog(m_hBinding, &m_SessionKey, pszCondition,
                                reinterpret_cast<uint8_t**>(ppUserLog), &bytes);
  });
  if (result == kStatusOk) *pdwRecordCount = static_cast<uint32_t>(bytes) / QZ_SIZEOF_USERLOG_TABLE;
  return result;
}

uint32_t CRpcServerSession::DelUserLog(const char* pszCondition) {
  if (pszCondition == nullptr) pszCondition = "";
  if (uint32_t status = CheckLoggedIn(); status != kStatusOk) return status;
  if (uint32_t status = RequireRight(2, kRightsQueryUserLog); status != kStatusOk) return status;
  return GuardedCall(
      [&] { return ifc::rpcDelUserLog(m_hBinding, &m_SessionKey, pszCondition); });
}

}  // namespace qz
