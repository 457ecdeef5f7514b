// session_services.cc -- login, logout and the session-wide services of
// CRpcServerSession: synchronisation, password change, notifications.
//
// Thread-safety: LogIn and LogOut hold m_csLock for their whole run; the
// other services take no lock and may run on several threads at once.
#include <cstring>

#include "core/status.h"
#include "interfaces/stubs.h"
#include "platform/platform.h"
#include "session/server_session.h"
#include "session/session_binding.h"

namespace qz {
namespace {

// Identifier sent with both notification requests,
// {7be8ea54-c9fb-4029-8965-c8036308a01f} in memory order.
constexpr rpc::Guid16 kAdviseEventGuid = {
    {0x54, 0xea, 0xe8, 0x7b, 0xfb, 0xc9, 0x29, 0x40, 0x89, 0x65, 0xc8, 0x03, 0x63, 0x08, 0xa0, 0x1f}};
constexpr int32_t kAdviseOp = 8;
constexpr int32_t kUnadviseOp = 9;
constexpr uint32_t kStatusAccessViolation = 0xC0000005u;

void* AllocateReply(size_t size) { return platform::HeapAlloc(size); }
void ReleaseReply(void* p) { platform::HeapFree(p); }

}  // namespace

void UseLibraryMemoryRoutines() {
  // Reply blocks handed to callers come from the library's heap, so that
  // RDMemFree releases them.
  ifc::SetMemoryRoutines(rpc::MemoryRoutines{&AllocateReply, &ReleaseReply});
}

uint32_t CRpcServerSession::LogIn() {
  UseLibraryMemoryRoutines();
  uint32_t bound = BindSession(&m_hBinding, /*allow_local=*/true);
  // Only a negative status (an HRESULT) stops the login here; any other
  // failure makes the procedure calls below fail inside the guard.
  if (static_cast<int32_t>(bound) < 0) return bound;

  std::lock_guard<std::mutex> lock(m_csLock);
  return GuardedCallNoRecord([&]() -> int32_t {
    uint8_t info[kServerInfoSize];
    std::memset(info, 0, sizeof info);
    m_dwState.store(1);
    int32_t result = ifc::rpcLogInServer(m_hBinding, &m_SessionKey, int32_t{kServerInfoSize}, info);
    if (result != 1) {
      // The server does not know us yet: introduce the caller, then try again.
      result = ifc::rpcConnectServer(m_hBinding, &m_SessionKey);
      if (result != 1) return result;
      m_dwState.store(2);
      std::memset(info, 0, sizeof info);
      result = ifc::rpcLogInServer(m_hBinding, &m_SessionKey, int32_t{kServerInfoSize}, info);
    }
    if (result == 1) {
      AdoptLoginInfo(info);
      m_dwState.store(2);
    }
    return result;
  });
}

uint32_t CRpcServerSession::LogOut() {
  std::lock_guard<std::mutex> lock(m_csLock);
  return GuardedLogout([&]() -> int32_t {
    int32_t result = ifc::rpcLogoutServer(m_hBinding, &m_SessionKey);
    if (result == 1) {
      m_dwState.store(0);
      std::memset(m_ServerInfo, 0, sizeof m_ServerInfo);
      std::memset(&m_SessionKey, 0, sizeof m_SessionKey);
      rpc::RpcBindingFree(&m_hBinding);
    }
    return result;
  });
}

uint32_t CRpcServerSession::ChangePassword(const char* lpszOldPwd, const char* lpszNewPwd) {
  // Reading a null password is the access violation the guard reports;
  // nothing is sent then.
  if (lpszOldPwd == nullptr || lpszNewPwd == nullptr) {
    SetError(kStatusAccessViolation);
    return kStatusAccessViolation;
  }
  return GuardedCallNoRecord(
      [&] { return ifc::rpcChangePassword(m_hBinding, &m_SessionKey, lpszOldPwd, lpszNewPwd); });
}

uint32_t CRpcServerSession::SychronizeToServer() {
  return GuardedCallNoRecord([&] { return ifc::rpcSychronize(m_hBinding, &m_SessionKey); });
}

uint32_t CRpcServerSession::SychronizeFromServer() {
  return GuardedCallNoRecord([&] { return ifc::rpcSychronize(m_hBinding, &m_SessionKey); });
}

uint32_t CRpcServerSession::Advise(ADVISEINFO info) {
  if (info.dwValues[2] == 0) return QZ_E_INVALIDARG;
  return GuardedCallNoRecord([&] {
    rpc::Guid16 guid = kAdviseEventGuid;
    return ifc::rpcAdviseOP(m_hBinding, guid, kAdviseOp, int32_t{sizeof info},
                            reinterpret_cast<const uint8_t*>(&info));
  });
}

uint32_t CRpcServerSession::Unadvise(UNADVISEINFO info) {
  return GuardedCallNoRecord([&] {
    rpc::Guid16 guid = kAdviseEventGuid;
    return ifc::rpcAdviseOP(m_hBinding, guid, kUnadviseOp, int32_t{sizeof info},
                            reinterpret_cast<const uint8_t*>(&info));
  });
}

}  // namespace qz
