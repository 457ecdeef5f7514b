// lifecycle.cc -- library initialisation and shutdown.
// Thread-safety: see lifecycle.h.
#include "exports/lifecycle.h"

#include <mutex>
#include <string>

#include "exports/session_slot.h"
#include "qzcsif/qzmsg.h"
#include "platform/platform.h"

namespace qz::exports {
namespace {

std::mutex g_init_mutex;
bool g_initialised = false;
void* g_message_module = nullptr;  // held while initialised

}  // namespace

uint32_t Initialize() {
  std::lock_guard<std::mutex> lock(g_init_mutex);
  if (g_initialised) return 0;
  std::string dir = platform::ModuleDirectory();
  if (dir.empty()) return platform::kErrPathNotFound;
  void* module = platform::LoadModule((dir + QZMSG_MODULE_NAME).c_str());
  if (module == nullptr) {
    uint32_t err = platform::GetLastError();
    return err != 0 ? err : platform::kErrModNotFound;
  }
  g_message_module = module;
  g_initialised = true;
  return 0;
}

uint32_t Uninitialize() {
  {
    std::lock_guard<std::mutex> lock(g_init_mutex);
    if (g_initialised) {
      platform::FreeModule(g_message_module);
      g_message_module = nullptr;
      g_initialised = false;
    }
  }
  ReleaseSlot();
  return 0;
}

bool IsInitialized() {
  std::lock_guard<std::mutex> lock(g_init_mutex);
  return g_initialised;
}

}  // namespace qz::exports
