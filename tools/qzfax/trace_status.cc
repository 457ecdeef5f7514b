// trace_status.cc -- status names and texts (see trace_status.h).
// Thread-safety: see trace_status.h.
#include "trace_status.h"

#include <dlfcn.h>
#include <qzcsif/qzcsif.h>

#include <cstdio>
#include <cstring>
#include <map>

namespace qzfax::trace {
namespace {

struct Named {
  uint32_t status;
  const char* name;
};
#define QZ_NAMED(x) {x, #x}
constexpr Named kNames[] = {
    QZ_NAMED(QZ_E_TRACEFAILED),   QZ_NAMED(QZ_E_BADPARAM),      QZ_NAMED(QZ_E_OUTOFMEMORY),
    QZ_NAMED(QZ_E_INVALIDARG),    QZ_NAMED(QZ_E_BADSERVERID),   QZ_NAMED(QZ_E_ACCESSDENIED),
    QZ_NAMED(QZ_E_FOLDERKIND),    QZ_NAMED(QZ_E_FOLDERCLASS),   QZ_NAMED(QZ_E_INFOCOLUMN),
    QZ_NAMED(QZ_E_ACCESSMODE),    QZ_NAMED(QZ_E_BADOPTYPE),     QZ_NAMED(QZ_E_NOTLOGGEDIN),
    QZ_NAMED(QZ_E_ACCESSVIOLATION), QZ_NAMED(QZ_E_BUFFERTOOSMALL), QZ_NAMED(QZ_E_ALREADYLOGGEDIN),
    QZ_NAMED(E_NOTIMPL),          QZ_NAMED(E_INVALIDARG),
};
#undef QZ_NAMED

// The message module's table, as the module lays it out.
constexpr uint32_t kModuleMagic = 0x51474d5au;
constexpr size_t kModuleTextSize = 124;
constexpr uint32_t kModuleMaxEntries = 64;
struct ModuleEntry {
  uint32_t code;
  char text[kModuleTextSize];
};
struct ModuleTable {
  uint32_t magic;
  uint32_t count;
  ModuleEntry entries[kModuleMaxEntries];
};

// Opens libqzmsg.so beside the libqzcsif.so this program runs with, else
// by the normal search.
void* OpenModule() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&LogInServer), &info) != 0 && info.dli_fname != nullptr) {
    std::string path = info.dli_fname;
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos) {
      path = path.substr(0, slash + 1) + "libqzmsg.so";
      if (void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return h;
    }
  }
  return dlopen("libqzmsg.so", RTLD_NOW | RTLD_LOCAL);
}

std::map<uint32_t, std::string> LoadTexts() {
  std::map<uint32_t, std::string> texts;
  void* h = OpenModule();
  if (h == nullptr) return texts;
  if (const auto* t = static_cast<const ModuleTable*>(dlsym(h, "qzmsg_table"));
      t != nullptr && t->magic == kModuleMagic && t->count <= kModuleMaxEntries) {
    for (uint32_t i = 0; i < t->count; ++i)
      texts[t->entries[i].code] =
          std::string(t->entries[i].text, strnlen(t->entries[i].text, kModuleTextSize));
  }
  dlclose(h);
  return texts;
}

}  // namespace

std::string StatusName(uint32_t status) {
  for (const Named& n : kNames)
    if (n.status == status) return n.name;
  return "";
}

std::string StatusText(uint32_t status) {
  if (((status >> 24) & 0xF) != 1) return "";  // only the library's own statuses
  static const std::map<uint32_t, std::string> kTexts = LoadTexts();
  const auto it = kTexts.find(status);
  return it == kTexts.end() ? "" : it->second;
}

std::string StatusHex(uint32_t status) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(status));
  return buf;
}

}  // namespace qzfax::trace
