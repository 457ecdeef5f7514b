// lifecycle_exports.cc -- the lifecycle, server-ID, memory and
// GetLastErrorInfo exports, and the process-detach hook.
//
// Thread-safety: QZIfInitialize and QZIfUninitialize serialise on one
// mutex; the others are reentrant. Ending the session must still not
// overlap calls that use it (the caller serialises that).
#include <cstring>
#include <mutex>
#include <string>

#include "core/error_text.h"
#include "exports/session_slot.h"
#include "msg/qzmsg_format.h"
#include "platform/platform.h"
#include "platform/probe.h"
#include "qzcsif/qzcsif.h"

namespace {

std::mutex g_init_mutex;
bool g_initialised = false;
void* g_message_module = nullptr;  // held while initialised

void DetachProcess() {
  // A process that ends without QZIfUninitialize still ends its session;
  // the teardown skips the remote logout on this path.
  bool initialised;
  {
    std::lock_guard<std::mutex> lock(g_init_mutex);
    initialised = g_initialised;
  }
  if (initialised) QZIfUninitialize();
}

__attribute__((constructor)) void RegisterDetach() {
  qz::platform::SetProcessDetachHandler(&DetachProcess);
}

}  // namespace

extern "C" {

QZAPI uint32_t QZIfInitialize(void) {
  std::lock_guard<std::mutex> lock(g_init_mutex);
  if (g_initialised) return 0;
  std::string dir = qz::platform::ModuleDirectory();
  if (dir.empty()) return qz::platform::kErrPathNotFound;
  void* module = qz::platform::LoadModule((dir + QZMSG_MODULE_NAME).c_str());
  if (module == nullptr) {
    uint32_t err = qz::platform::GetLastError();
    return err != 0 ? err : qz::platform::kErrModNotFound;
  }
  g_message_module = module;
  g_initialised = true;
  return 0;
}

QZAPI uint32_t QZIfUninitialize(void) {
  {
    std::lock_guard<std::mutex> lock(g_init_mutex);
    if (g_initialised) {
      qz::platform::FreeModule(g_message_module);
      g_message_module = nullptr;
      g_initialised = false;
    }
  }
  qz::exports::ReleaseSlot();
  return 0;
}

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
