// lifecycle_exports.cc -- the lifecycle, server-ID, memory and
// GetLastErrorInfo exports, and the process-detach hook.
//
// Thread-safety: see lifecycle.h and session_slot.h; the memory exports
// and GetLastErrorInfo are reentrant.
#include "core/error_text.h"
#include "exports/lifecycle.h"
#include "exports/session_slot.h"
#include "platform/platform.h"
#include "platform/probe.h"
#include "qzcsif/qzcsif.h"

namespace {

void DetachProcess() {
  // A process that unloads the library without QZIfUninitialize still ends
  // its session; the teardown skips the remote logout on this path.
  if (qz::exports::IsInitialized()) qz::exports::Uninitialize();
}

__attribute__((constructor)) void RegisterDetach() {
  qz::platform::SetProcessDetachHandler(&DetachProcess);
}

}  // namespace

extern "C" {

QZAPI uint32_t QZIfInitialize(void) { return qz::exports::Initialize(); }

QZAPI uint32_t QZIfUninitialize(void) { return qz::exports::Uninitialize(); }

QZAPI uint32_t IsServerIDValid(uint32_t dwServerID) {
  return qz::exports::CheckServerId(dwServerID);
}

QZAPI void* RDMemAlloc(uint32_t dwSize) { return qz::platform::HeapAlloc(dwSize); }

QZAPI uint32_t RDMemFree(void* pMem) { return qz::platform::HeapFree(pMem); }

QZAPI uint32_t GetLastErrorInfo(QZERRORINFO* pInfo) {
  if (pInfo != nullptr) {
    QZERRORINFO copy;
    qz::CopyThreadError(&copy);
    // A caller's bad pointer is not written (and does not crash the call).
    (void)qz::platform::ProbeWrite(pInfo, sizeof copy, &copy);
  }
  return 0;
}

}  // extern "C"
