// session_exports.cc -- login and the session-wide service exports.
//
// LogInServer has a frame of its own (it creates the session); the others
// are the shared export frame around one session operation each.
// Thread-safety: LogInServer must not overlap other calls (the caller
// serialises session creation); the others are reentrant.
#include "exports/frame.h"
#include "exports/session_slot.h"
#include "platform/probe.h"
#include "qzcsif/qzcsif.h"

namespace {

using qz::CServerSession;
using qz::TraceEntry;
using qz::exports::RunFrame;
using qz::exports::RunFrameEntryOnly;
using qz::exports::Variant;

void StoreServerId(uint32_t* pdwServerID, uint32_t id) {
  (void)qz::platform::ProbeWrite(pdwServerID, sizeof id, &id);
}

uint32_t LogInNewSession(uint32_t* pdwServerID) {
  qz::CRpcServerSession* session = qz::CreateRpcServerSession();
  if (session == nullptr) {
    StoreServerId(pdwServerID, 0);
    return QZ_E_OUTOFMEMORY;
  }
  session->AddRef();
  uint32_t id = qz::exports::PutSession(session);
  if (id == 0) {  // no server ID left to hand out
    session->Release();
    StoreServerId(pdwServerID, 0);
    return QZ_E_OUTOFMEMORY;
  }
  uint32_t result = session->LogIn();
  if (result == qz::kStatusOk) {
    StoreServerId(pdwServerID, id);
  } else {
    // Never leave a half-made session in the slot: the release tears it
    // down, logging out first if it got that far.
    StoreServerId(pdwServerID, 0);
    qz::exports::ReleaseSlot();
  }
  return result;
}

}  // namespace

extern "C" {

QZAPI uint32_t LogInServer(uint32_t* pdwServerID) {
  if (!qz::exports::WriteTraceEntry("Call LogInServer", qz::exports::kNoEntryParams))
    return QZ_E_TRACEFAILED;
  if (pdwServerID == nullptr) return QZ_E_INVALIDARG;
  if (qz::exports::SlotSession() != nullptr) {
    StoreServerId(pdwServerID, qz::exports::SlotServerId());
    return QZ_E_ALREADYLOGGEDIN;
  }
  uint32_t result = LogInNewSession(pdwServerID);
  if (!qz::exports::WriteTraceEntry("Call LogInServer return", qz::exports::kLretOnly, result))
    return QZ_E_TRACEFAILED;
  return result;
}

QZAPI uint32_t GetServerInfo(uint32_t dwServerID, SERVERINFO* psvrinfo) {
  return RunFrame(
      Variant::kB, dwServerID, "Call GetServerInfo",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID); },
      [&](CServerSession& s) {
        uint32_t size = sizeof(SERVERINFO);
        return s.GetServerInfo(psvrinfo, &size);
      },
      "Call GetServerInfo return",
      [&](TraceEntry& t, uint32_t) { t.Num("dwServerID", dwServerID); });
}

QZAPI uint32_t RemoteChangePassword(uint32_t dwServerID, const char* lpszOldPwd,
                                    const char* lpszNewPwd) {
  // The passwords are logged by name only, never their text.
  return RunFrameEntryOnly(
      dwServerID, "Call ChangePassword",
      [&](TraceEntry& t) {
        t.Num("dwServerID", dwServerID).Secret("lpszOldPwd", lpszOldPwd).Secret("lpszNewPwd",
                                                                               lpszNewPwd);
      },
      [&](CServerSession& s) { return s.ChangePassword(lpszOldPwd, lpszNewPwd); });
}

QZAPI uint32_t RemoteSychronizeFromServer(uint32_t dwServerID) {
  return RunFrameEntryOnly(
      dwServerID, "Call SychronzieFromServer",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID); },
      [&](CServerSession& s) { return s.SychronizeFromServer(); });
}

QZAPI uint32_t RemoteSychronizeToServer(uint32_t dwServerID) {
  return RunFrameEntryOnly(
      dwServerID, "Call SychronzieToServer",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID); },
      [&](CServerSession& s) { return s.SychronizeToServer(); });
}

QZAPI uint32_t Advise(uint32_t dwServerID, ADVISEINFO info) {
  return RunFrame(
      Variant::kB, dwServerID, "Call Advise ", qz::exports::kNoEntryParams,
      [&](CServerSession& s) { return s.Advise(info); }, "Call Advise return",
      qz::exports::kLretOnly);
}

QZAPI uint32_t Unadvise(uint32_t dwServerID, UNADVISEINFO info) {
  return RunFrame(
      Variant::kB, dwServerID, "Call Unadvise ",
      [&](TraceEntry& t) { t.Num("dwServerID", dwServerID); },
      [&](CServerSession& s) { return s.Unadvise(info); }, "Call Unadvise ",
      [&](TraceEntry& t, uint32_t) { t.Num("dwServerID", dwServerID); });
}

}  // extern "C"
