// error_text.cc -- status texts, the per-thread record, the error box.
// Thread-safety: see error_text.h.
#include "core/error_text.h"

#include <cassert>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/qz_except.h"
#include "core/status.h"
#include "qzcsif/qzmsg.h"
#include "platform/platform.h"

namespace qz {
namespace {

// Plain storage (no destructor): lookups may still run while the process
// ends and static objects are already gone.
char g_module_name[256] = QZMSG_MODULE_NAME;

// Looks `code` up in the message module. False with the last error set
// (126: module not loadable; 317: no such message) when there is no text.
bool LookupModuleText(uint32_t code, std::string* out) {
  void* module = platform::LoadModule(g_module_name);
  if (module == nullptr) {
    platform::SetLastError(platform::kErrModNotFound);
    return false;
  }
  bool found = false;
  auto* table =
      static_cast<const qzmsg_table_t*>(platform::ModuleSymbol(module, QZMSG_TABLE_SYMBOL));
  if (table != nullptr && table->magic == QZMSG_MAGIC && table->count <= QZMSG_MAX_ENTRIES) {
    for (uint32_t i = 0; i < table->count; ++i) {
      const qzmsg_entry_t& e = table->entries[i];
      if (e.code == code) {
        out->assign(e.text, strnlen(e.text, sizeof e.text));
        found = true;
        break;
      }
    }
  }
  platform::FreeModule(module);
  if (!found) platform::SetLastError(platform::kErrMessageNotFound);
  return found;
}

// System table lookup; false with last error 317 when there is no text.
bool LookupSystemText(uint32_t code, std::string* out) {
  const char* t = platform::SystemMessageText(code);
  if (t == nullptr) {
    platform::SetLastError(platform::kErrMessageNotFound);
    return false;
  }
  out->assign(t);
  return true;
}

void CopyBounded(char* buf, int size, const std::string& text) {
  size_t n = text.size() < static_cast<size_t>(size - 1) ? text.size() : static_cast<size_t>(size - 1);
  std::memcpy(buf, text.data(), n);
  buf[n] = '\0';
}

}  // namespace

int FormatStatusText(char* buf, int size, uint32_t code) {
  if (size <= 0 || buf == nullptr) return -1;
  std::string text;
  switch (FacilityNibble(code)) {
    case 0:
      if (LookupSystemText(code, &text)) CopyBounded(buf, size, text);
      break;
    case 1:
      if (LookupModuleText(code, &text)) {
        CopyBounded(buf, size, text);
      } else if (LookupSystemText(platform::GetLastError(), &text)) {
        CopyBounded(buf, size, text);
      }
      break;
    default:
      break;  // no text for other facilities
  }
  return 0;
}

std::string StatusText(uint32_t code) {
  char buf[1024] = {};
  FormatStatusText(buf, sizeof buf, code);
  return std::string(buf);
}

void RecordThreadError(uint32_t code, const char* text) {
  constexpr int kTextSize = static_cast<int>(platform::kThreadErrorBlockSize);
  char formatted[kTextSize] = {};
  if (text == nullptr) {
    FormatStatusText(formatted, kTextSize, code);
    text = formatted;
  }
  uint8_t* block = platform::ThreadErrorBlock();
  if (block == nullptr) return;
  std::memset(block, 0, platform::kThreadErrorBlockSize);
  std::memcpy(block, &code, sizeof code);
  size_t n = strnlen(text, 127);
  std::memcpy(block + 4, text, n);
}

void CopyThreadError(void* out) {
  if (out == nullptr) return;
  const uint8_t* block = platform::PeekThreadErrorBlock();
  if (block == nullptr)
    std::memset(out, 0, platform::kThreadErrorBlockSize);
  else
    std::memcpy(out, block, platform::kThreadErrorBlockSize);
}

std::string ErrorBoxText(uint32_t code, const std::string& text) {
  char head[40];
  std::snprintf(head, sizeof head, "Error Code: (0x%08x), Message: ", code);
  return std::string(head) + text + "\n";
}

int ShowErrorBox(uint32_t code) {
  std::string text;
  bool ok = true;
  switch (FacilityNibble(code)) {
    case 0: ok = LookupSystemText(code, &text); break;
    case 1: ok = LookupModuleText(code, &text); break;
    default: break;
  }
  if (!ok) {
    uint32_t last = platform::GetLastError();
    // 126 and 317 are in the system table, so this ends after one step.
    if (last != code) return ShowErrorBox(last);
    return 0;
  }
  platform::ShowMessageBox(ErrorBoxText(code, text).c_str(), "Quazel");
  return 0;
}

void ThrowStatus(uint32_t code) {
  assert(code != 0 && "x != 0");
  throw qz_except(code, nullptr);
}

void ThrowLastError() {
  uint32_t code = platform::GetLastError();
  ThrowStatus(code != 0 ? code : platform::kErrInvalidParameter);
}

void SetMessageModuleNameForTesting(const char* name) {
  std::snprintf(g_module_name, sizeof g_module_name, "%s", name ? name : QZMSG_MODULE_NAME);
}

}  // namespace qz
