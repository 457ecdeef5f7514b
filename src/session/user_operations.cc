// user_operations.cc -- the users and departments operations of
// CRpcServerSession: departments (change, list), user records (read one's
// own or, with the right, anyone's) and the three user changes that differ
// in the records they carry.
//
// Every failing check stores its status in the error slot; a server result
// other than 1 is stored too. Changes need bit 0x1 of dwRights[3], reading
// bit 0x2, except a user reading their own record.
// Thread-safety: no lock; see server_session.h.
#include <strings.h>

#include "core/trace_log.h"
#include "interfaces/stubs.h"
#include "session/server_session.h"

namespace qz {
namespace {

constexpr unsigned kUserRightsMask = 3;  // dwRights[3]
constexpr uint32_t kRightChange = 0x1;
constexpr uint32_t kRightRead = 0x2;

// Head of the three user changes: the state, bit 0x1, the operation code
// within [lowest, highest]. kStatusOk to go on, else the stored status.
uint32_t UserChangeChecks(CServerSession& s, uint32_t op, uint32_t lowest, uint32_t highest) {
  if (!s.IsLoggedIn()) return QZ_E_NOTLOGGEDIN;  // stored by the check
  uint32_t status = kStatusOk;
  if ((s.Rights(kUserRightsMask) & kRightChange) == 0) {
    status = QZ_E_ACCESSDENIED;
  } else if (op < lowest || op > highest) {
    status = QZ_E_BADOPTYPE;
  }
  if (status != kStatusOk) s.SetError(status);
  return status;
}

}  // namespace

uint32_t CRpcServerSession::DeptOP(uint32_t dwCommand, void* pDeptInfo, uint32_t dwRecordCount) {
  if (uint32_t status = CheckLoggedIn(); status != kStatusOk) return status;
  if (dwCommand == 0 || dwCommand > 4) return Refuse(QZ_E_BADOPTYPE);
  if (uint32_t status = RequireRight(kUserRightsMask, kRightChange); status != kStatusOk)
    return status;
  uint32_t bytes = 0;
  if (dwRecordCount == 0 || pDeptInfo == nullptr ||
      !RecordBytes(dwRecordCount, QZ_SIZEOF_DEPTINFO_TABLE, &bytes))
    return Refuse(QZ_E_INVALIDARG);
  return GuardedCall([&] {
    return ifc::rpcDeptOP(m_hBinding, &m_SessionKey, dwCommand, pDeptInfo, bytes);
  });
}

uint32_t CRpcServerSession::GetDeptData(const char* pszCondition, void** ppDeptInfo,
                                        uint32_t* pdwRecordCount) {
  if (ppDeptInfo == nullptr || pdwRecordCount == nullptr) return Refuse(QZ_E_INVALIDARG);
  if (uint32_t status = CheckLoggedIn(); status != kStatusOk) return status;
  if (uint32_t status = RequireRight(kUserRightsMask, kRightRead); status != kStatusOk)
    return status;
  const uint32_t result = GuardedCall([&] {
    return ifc::rpcGetDeptData(m_hBinding, &m_SessionKey, pszCondition ? pszCondition : "",
                               ppDeptInfo, pdwRecordCount);
  });
  // Whatever the result: the count that came back becomes whole records.
  *pdwRecordCount /= QZ_SIZEOF_DEPTINFO_TABLE;
  return result;
}

uint32_t CRpcServerSession::GetUserRecord(uint32_t dwOpType, const char* pUserID,
                                          void** ppUserInfo, uint32_t* pdwRecordCount) {
  if (ppUserInfo == nullptr || pdwRecordCount == nullptr) return Refuse(QZ_E_INVALIDARG);
  if (uint32_t status = CheckLoggedIn(); status != kStatusOk) return status;
  // Reading one's own record (operation 0 or 1) needs no right; a null
  // identifier names the caller. Letter case does not distinguish users.
  char own[20];
  OwnUserId(own);
  const char* user = pUserID;
  bool need_right = true;
  if (dwOpType == 0 || dwOpType == 1) {
    if (user == nullptr) user = own;
    if (strcasecmp(user, own) == 0) need_right = false;
  }
  if (need_right) {
    if (uint32_t status = RequireRight(kUserRightsMask, kRightRead); status != kStatusOk)
      return status;
  }
  return GuardedCall([&] {
    return ifc::rpcGetUserRecord(m_hBinding, &m_SessionKey, dwOpType, user ? user : "",
                                 ppUserInfo, pdwRecordCount);
  });
}

uint32_t CRpcServerSession::UserOP(uint32_t dwOpType, void* pInfo, uint32_t dwRecordCount) {
  if (uint32_t status = UserChangeChecks(*this, dwOpType, 0, 5); status != kStatusOk)
    return status;
  // The records carry their own lengths; the request is their sum.
  uint64_t length = 0;
  if (uint32_t status = GuardedBufferWalk([&] {
        length = SumLengthFields(pInfo, dwRecordCount);
        return kStatusOk;
      });
      status != kStatusOk) {
    return status;
  }
  const uint32_t size = static_cast<uint32_t>(length);
  return GuardedCall([&] {
    const int32_t result = ifc::rpcUserOP(m_hBinding, &m_SessionKey, dwOpType, pInfo, size);
    TraceEntry("Call rpcUserOP ")
        .Num("dwOpType", dwOpType)
        .Buffer("pInfo", pInfo, "dwSize", size)
        .Write();
    return result;
  });
}

uint32_t CRpcServerSession::UserBaseOP(uint32_t dwOpType, void* pUserInfo,
                                       uint32_t dwRecordCount) {
  if (uint32_t status = UserChangeChecks(*this, dwOpType, 0, 5); status != kStatusOk)
    return status;
  uint32_t size = 0;
  if (!RecordBytes(dwRecordCount, QZ_SIZEOF_USERINFO_TABLE, &size))
    return Refuse(QZ_E_INVALIDARG);
  return GuardedCall([&] {
    TraceEntry("Call rpcUserBaseOP ").Buffer("pUserInfo", pUserInfo, "dwSize", size).Write();
    return ifc::rpcUserBaseOP(m_hBinding, &m_SessionKey, dwOpType, pUserInfo, size);
  });
}

uint32_t CRpcServerSession::UserDetailOP(uint32_t dwOpType, void* pInfo,
                                         uint32_t dwRecordCount) {
  if (uint32_t status = UserChangeChecks(*this, dwOpType, 1, 3); status != kStatusOk)
    return status;
  uint32_t size = 0;
  if (!RecordBytes(dwRecordCount, QZ_SIZEOF_USERDETAIL_TABLE, &size))
    return Refuse(QZ_E_INVALIDARG);
  return GuardedCall([&] {
    return ifc::rpcUserDetailOP(m_hBinding, &m_SessionKey, dwOpType, pInfo, size);
  });
}

}  // namespace qz
