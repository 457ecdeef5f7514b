// service_control_exports.cc -- ServerStart, ServerStop, ServerBackup and
// GetServerCaps: each binds to the service-control interface for the one
// call, sends one procedure, frees the binding, and returns 0 on success.
//
// They have frames of their own. ServerStop and ServerBackup take the
// host name and the user's key from the session's server information,
// fetched through the GetServerInfo export (whose entries appear in the
// trace between theirs). Argument failures are recorded in the calling
// thread's error record, which GetLastErrorInfo returns; ServerBackup also
// records its binding failures and server refusals there. An RPC failure
// during the procedure becomes the result; the binding is freed still.
// The return entry is written only after a successful binding.
//
// Thread-safety: reentrant; each call has its own binding and buffers.
#include <cstring>
#include <new>

#include "core/error_text.h"
#include "exports/frame.h"
#include "exports/session_slot.h"
#include "interfaces/stubs.h"
#include "platform/probe.h"
#include "qzcsif/qzcsif.h"
#include "rpc/records.h"
#include "session/session_binding.h"

namespace {

namespace records = qz::rpc::records;
using qz::TraceEntry;

constexpr size_t kBackupTextOffset = 30;  // BACKUPINFO: a text that must not be empty

uint32_t RecordInvalidArg() {
  qz::RecordThreadError(QZ_E_INVALIDARG, nullptr);
  return QZ_E_INVALIDARG;
}

// Binds to the service-control interface on `host`. On failure frees what
// was made and returns the binding status (*binding stays null).
uint32_t Bind(const char* host, bool allow_local, qz::rpc::BindingHandle* binding) {
  *binding = nullptr;
  uint32_t status =
      qz::BindServiceControl(host, qz::ifc::ServiceControlInterface().id, binding, allow_local);
  if (status != 0 && *binding != nullptr) qz::rpc::RpcBindingFree(binding);
  return status;
}

// Sends one procedure on `binding` and frees it: 0 when the procedure
// answered 1, else its answer or the code of the failure it raised
// (*answered tells which).
template <typename Call>
uint32_t CallAndFree(qz::rpc::BindingHandle binding, Call&& call, bool* answered = nullptr) {
  uint32_t result;
  if (answered != nullptr) *answered = false;
  try {
    result = static_cast<uint32_t>(call(binding));
    if (answered != nullptr) *answered = true;
    if (result == qz::kStatusOk) result = 0;
  } catch (const qz::RpcException& e) {
    result = e.code();
  } catch (const std::bad_alloc&) {
    result = QZ_E_OUTOFMEMORY;
  } catch (...) {
    result = qz::kEUnexpected;
  }
  qz::rpc::RpcBindingFree(&binding);
  return result;
}

// The session's server information through the export (result not
// examined: a session gone meanwhile leaves the record zeroed).
void FetchServerInfo(uint32_t dwServerID, SERVERINFO* info) {
  std::memset(info, 0, sizeof *info);
  (void)GetServerInfo(dwServerID, info);
}

SESSIONKEY KeyFromServerInfo(const SERVERINFO& info) {
  SESSIONKEY key;
  records::SessionKeyFromServerInfo(
      std::span<const uint8_t, records::kServerInfoSize>(reinterpret_cast<const uint8_t*>(&info),
                                                         records::kServerInfoSize),
      std::span<uint8_t, records::kSessionKeySize>(reinterpret_cast<uint8_t*>(&key),
                                                   records::kSessionKeySize));
  return key;
}

// szUserID of a key from a caller's text: at most 19 characters, the rest
// zero; empty for null. Unreadable text counts as empty.
SESSIONKEY KeyForUser(const char* user) {
  SESSIONKEY key;
  std::memset(&key, 0, sizeof key);
  size_t n = 0;
  if (user != nullptr && qz::platform::SafeStrLen(user, sizeof key.szUserID - 1, &n))
    std::memcpy(key.szUserID, user, n);
  return key;
}

bool WriteReturn(const char* label, uint32_t result) {
  return qz::exports::WriteTraceEntry(label, qz::exports::kLretOnly, result);
}

}  // namespace

extern "C" {

QZAPI uint32_t ServerStart(const char* szSvrHostName, const char* szUserID,
                           const char* szUserPwd, uint32_t dwCommand) {
  if (!qz::exports::WriteTraceEntry("Call ServerStart", [&](TraceEntry& t) {
        t.Str("szSvrHostName", szSvrHostName)
            .Str("szUserID", szUserID)
            .Secret("szUserPwd", szUserPwd)
            .Num("dwCommand", dwCommand);
      }))
    return QZ_E_TRACEFAILED;
  size_t host_length = 0;
  if (szSvrHostName == nullptr || !qz::platform::SafeStrLen(szSvrHostName, 1, &host_length) ||
      host_length == 0 || dwCommand >= 2)
    return RecordInvalidArg();
  qz::rpc::BindingHandle binding;
  if (uint32_t status = Bind(szSvrHostName, true, &binding); status != 0) return status;
  const int32_t mode = dwCommand == 0 ? 1 : 0;
  SESSIONKEY zero_key;
  std::memset(&zero_key, 0, sizeof zero_key);
  uint32_t result = CallAndFree(binding, [&](qz::rpc::BindingHandle h) {
    return qz::ifc::rpcServerStart(h, &zero_key, szUserID, szUserPwd, mode);
  });
  if (!WriteReturn("Call ServerStart return ", result)) return QZ_E_TRACEFAILED;
  return result;
}

QZAPI uint32_t ServerStop(uint32_t dwServerID, uint32_t dwCommand) {
  if (!qz::exports::WriteTraceEntry("Call ServerStop", [&](TraceEntry& t) {
        t.Num("dwServerID", dwServerID).Num("dwCommand", dwCommand);
      }))
    return QZ_E_TRACEFAILED;
  if (!qz::exports::CheckServerId(dwServerID) || dwCommand < 2 || dwCommand > 6)
    return RecordInvalidArg();
  SERVERINFO info;
  FetchServerInfo(dwServerID, &info);
  qz::rpc::BindingHandle binding;
  if (uint32_t status = Bind(info.szHostName, true, &binding); status != 0) return status;
  SESSIONKEY key = KeyFromServerInfo(info);
  uint32_t result = CallAndFree(binding, [&](qz::rpc::BindingHandle h) {
    if (dwCommand <= 3) return qz::ifc::rpcServerStop(h, &key, dwCommand == 2 ? 1 : 0);
    return qz::ifc::rpcServerStopEx(h, &key, static_cast<int32_t>(dwCommand) - 5);
  });
  if (!WriteReturn("Call ServerStop return ", result)) return QZ_E_TRACEFAILED;
  return result;
}

QZAPI uint32_t ServerBackup(uint32_t dwServerID, const BACKUPINFO* pBackupInfo,
                            uint32_t dwBackupType) {
  if (!qz::exports::WriteTraceEntry("Call ServerBackup",
                                    [&](TraceEntry& t) { t.Num("dwServerID", dwServerID); }))
    return QZ_E_TRACEFAILED;
  // The caller's record is sent from a copy; unreadable counts as missing.
  uint8_t backup[QZ_SIZEOF_BACKUPINFO];
  if (!qz::exports::CheckServerId(dwServerID) || pBackupInfo == nullptr ||
      !qz::platform::ProbeRead(pBackupInfo, sizeof backup, backup) ||
      backup[kBackupTextOffset] == 0)
    return RecordInvalidArg();
  SERVERINFO info;
  FetchServerInfo(dwServerID, &info);
  qz::rpc::BindingHandle binding;
  if (uint32_t status = Bind(info.szHostName, true, &binding); status != 0) {
    qz::RecordThreadError(qz::HResultFromWin32(status), nullptr);
    return status;
  }
  SESSIONKEY key = KeyFromServerInfo(info);
  const int32_t length = sizeof backup;
  bool answered;
  uint32_t result = CallAndFree(
      binding,
      [&](qz::rpc::BindingHandle h) {
        if (dwBackupType != 0) return qz::ifc::rpcServerBackup(h, &key, backup, length);
        return qz::ifc::rpcServerBackupEx(h, &key, backup, length);
      },
      &answered);
  // Server refusals are recorded; failures of the call itself are not.
  if (answered && result != 0) qz::RecordThreadError(result, nullptr);
  if (!WriteReturn("Call ServerBackup return ", result)) return QZ_E_TRACEFAILED;
  return result;
}

QZAPI uint32_t GetServerCaps(const char* szHostName, const char* szUserID,
                             SERVERCAPS* pServerCaps) {
  qz::rpc::BindingHandle binding;
  if (uint32_t status = Bind(szHostName, false, &binding); status != 0) return status;
  SESSIONKEY key = KeyForUser(szUserID);
  const int32_t length = QZ_SIZEOF_SERVERCAPS;
  return CallAndFree(binding, [&](qz::rpc::BindingHandle h) -> int32_t {
    if (pServerCaps == nullptr)  // refused by the runtime (1780)
      return qz::ifc::rpcGetServerCaps(h, &key, static_cast<uint8_t*>(nullptr), length);
    // Sent from and answered into a copy: the caller's record is read and
    // written only through probes.
    uint8_t caps[QZ_SIZEOF_SERVERCAPS];
    if (!qz::platform::ProbeRead(pServerCaps, sizeof caps, caps))
      qz::RaiseRpcException(qz::kAccessViolationCode);
    const int32_t answer = qz::ifc::rpcGetServerCaps(h, &key, caps, length);
    if (!qz::platform::ProbeWrite(pServerCaps, sizeof caps, caps))
      qz::RaiseRpcException(qz::kAccessViolationCode);
    return answer;
  });
}

}  // extern "C"
