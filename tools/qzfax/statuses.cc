// statuses.cc -- names and texts of statuses and their exit statuses.
//
// Library statuses (0xC1FFxxxx) and the fax server's (0xC1FExxxx, QZ_S_*)
// take their text from this thread's error record (GetLastErrorInfo) when
// it holds the status, else from the message module libqzmsg.so installed
// beside libqzcsif.so (its table is laid out in qzcsif/qzmsg.h). RPC and
// system statuses, in plain or HRESULT form, have their usual texts.
//
// Thread-safety: single-threaded, as the command line is.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <map>

#include "frame.h"
#include "qzcsif/qzmsg.h"
#include "statuses.h"

namespace qzfax {
namespace {

// Opens the message module beside the libqzcsif.so this program runs
// with, else by the normal search.
void* OpenModule() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&GetLastErrorInfo), &info) != 0 && info.dli_fname != nullptr) {
    std::string path = info.dli_fname;
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos) {
      path = path.substr(0, slash + 1) + QZMSG_MODULE_NAME;
      if (void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return h;
    }
  }
  return dlopen(QZMSG_MODULE_NAME, RTLD_NOW | RTLD_LOCAL);
}

std::map<uint32_t, std::string> LoadModuleTexts() {
  std::map<uint32_t, std::string> texts;
  void* h = OpenModule();
  if (h == nullptr) return texts;
  const auto* t = static_cast<const qzmsg_table_t*>(dlsym(h, QZMSG_TABLE_SYMBOL));
  if (t != nullptr && t->magic == QZMSG_MAGIC && t->count <= QZMSG_MAX_ENTRIES) {
    for (uint32_t i = 0; i < t->count; ++i)
      texts[t->entries[i].code] =
          std::string(t->entries[i].text, strnlen(t->entries[i].text, QZMSG_TEXT_SIZE));
  }
  dlclose(h);
  return texts;
}

struct Known {
  uint32_t code;
  const char* text;
};

#define QZ_NAMED(x) {x, #x}
#define QZ_SERVER(x) {QZ_S_##x, #x}
constexpr Known kNames[] = {
    QZ_NAMED(QZ_E_TRACEFAILED), QZ_NAMED(QZ_E_BADPARAM), QZ_NAMED(QZ_E_OUTOFMEMORY),
    QZ_NAMED(QZ_E_INVALIDARG), QZ_NAMED(QZ_E_BADSERVERID), QZ_NAMED(QZ_E_ACCESSDENIED),
    QZ_NAMED(QZ_E_FOLDERKIND), QZ_NAMED(QZ_E_FOLDERCLASS), QZ_NAMED(QZ_E_INFOCOLUMN),
    QZ_NAMED(QZ_E_ACCESSMODE), QZ_NAMED(QZ_E_BADOPTYPE), QZ_NAMED(QZ_E_NOTLOGGEDIN),
    QZ_NAMED(QZ_E_ACCESSVIOLATION), QZ_NAMED(QZ_E_BUFFERTOOSMALL),
    QZ_NAMED(QZ_E_ALREADYLOGGEDIN), QZ_NAMED(E_NOTIMPL), QZ_NAMED(E_INVALIDARG),
    QZ_SERVER(BAD_KEY), QZ_SERVER(NOT_HANDLED), QZ_SERVER(BAD_CONDITION), QZ_SERVER(BAD_RECORD),
    QZ_SERVER(WRONG_PASSWORD), QZ_SERVER(UNKNOWN_CALLER), QZ_SERVER(ACCESS_DENIED),
    QZ_SERVER(STORE_FAILURE), QZ_SERVER(BAD_ARGUMENT), QZ_SERVER(BAD_PASSWORD),
    QZ_SERVER(TOO_MANY), QZ_SERVER(NO_SUCH_FILE), QZ_SERVER(FILE_DENIED),
    QZ_SERVER(FILE_FAILURE), QZ_SERVER(SERVER_BUSY), QZ_SERVER(TEXT_TOO_LONG),
    QZ_SERVER(SERVICE_STOPPED), QZ_SERVER(NO_SUCH_TASK), QZ_SERVER(TASK_STATE),
    QZ_SERVER(BAD_DOCUMENT), QZ_SERVER(BAD_NUMBER), QZ_SERVER(NO_SUCH_DRAFT),
    QZ_SERVER(BAD_BACKUP_NAME), QZ_SERVER(JOB_NOT_QUEUED), QZ_SERVER(NO_SUCH_FOLDER),
    QZ_SERVER(NOT_FOUND), QZ_SERVER(WRONG_ITEM_KIND), QZ_SERVER(IN_USE), QZ_SERVER(EXISTS),
    QZ_SERVER(REPLY_TOO_LARGE), QZ_SERVER(FILE_ERROR), QZ_SERVER(NOT_LOCAL),
    QZ_SERVER(NO_DATA_DIR), QZ_SERVER(NO_SUCH_RECORD), QZ_SERVER(DUPLICATE),
    QZ_SERVER(UNKNOWN_CONFIG_NAME), QZ_SERVER(NO_HISTORY),
};
#undef QZ_NAMED
#undef QZ_SERVER

// RPC and system statuses (plain Win32 numbers).
constexpr Known kSystem[] = {
    {2, "the file was not found"},
    {3, "the path was not found"},
    {5, "access is denied"},
    {87, "the parameter is incorrect"},
    {126, "the message module could not be loaded"},
    {1702, "the binding handle is invalid"},
    {1714, "no protocol sequence is usable"},
    {1722, "the RPC server is unavailable"},
    {1723, "the RPC server is too busy to complete this operation"},
    {1726, "the remote procedure call failed"},
    {1727, "the remote procedure call failed and did not execute"},
    {1753, "there are no more endpoints available from the endpoint mapper"},
    {1780, "a null reference pointer was passed to the stub"},
    {1783, "the stub received bad data"},
};

std::string Find(const Known* begin, const Known* end, uint32_t code) {
  for (const Known* k = begin; k != end; ++k)
    if (k->code == code) return k->text;
  return "";
}

bool IsServer(uint32_t s) { return (s & 0xFFFF0000u) == 0xC1FE0000u; }
bool IsLibrary(uint32_t s) { return (s & 0xFFFF0000u) == 0xC1FF0000u; }
bool IsHresult(uint32_t s) { return (s & 0xFFFF0000u) == 0x80070000u; }

}  // namespace

std::string StatusName(uint32_t status) {
  return Find(std::begin(kNames), std::end(kNames), status);
}

std::string ModuleText(uint32_t status) {
  static const std::map<uint32_t, std::string> kTexts = LoadModuleTexts();
  const auto it = kTexts.find(status);
  return it == kTexts.end() ? "" : it->second;
}

std::string StatusHex(uint32_t status) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(status));
  return buf;
}

std::string StatusText(uint32_t status) {
  QZERRORINFO info{};
  GetLastErrorInfo(&info);
  std::string text;
  if (info.dwErrorCode == status) text = Text(info.szErrorInfo);
  if (text.empty() && (IsLibrary(status) || IsServer(status))) text = ModuleText(status);
  if (text.empty() && status == E_NOTIMPL) text = "the operation is not implemented";
  if (text.empty()) {
    const uint32_t plain = IsHresult(status) ? status & 0xFFFFu : status;
    text = Find(std::begin(kSystem), std::end(kSystem), plain);
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  if (text.empty()) text = IsServer(status) ? "a refusal of the fax server" : "no text is known for this status";
  const std::string name = StatusName(status);
  return name.empty() || name.rfind("QZ_E_", 0) == 0 ? text : name + ": " + text;
}

std::string DescribeStatus(uint32_t status) {
  char number[32];
  if (status < 0x10000u)
    std::snprintf(number, sizeof number, "%u", static_cast<unsigned>(status));
  else
    std::snprintf(number, sizeof number, "0x%08X", static_cast<unsigned>(status));
  return std::string(number) + " (" + StatusText(status) + ")";
}

int ExitFor(uint32_t status) {
  switch (status) {
    case QZ_E_ACCESSDENIED:
    case QZ_S_ACCESS_DENIED:
      return kExitDenied;
    case QZ_S_NO_SUCH_TASK:
    case QZ_S_NO_SUCH_DRAFT:
    case QZ_S_NO_SUCH_FOLDER:
    case QZ_S_NOT_FOUND:
    case QZ_S_NO_SUCH_FILE:
    case QZ_S_NO_SUCH_RECORD:
      return kExitNotFound;
    case QZ_S_BAD_KEY:
    case QZ_S_UNKNOWN_CALLER:
      return kExitUnreachable;
    case E_NOTIMPL:
    case E_INVALIDARG:
      return kExitLibrary;
    default:
      break;
  }
  if (IsServer(status)) return kExitServer;
  if (IsLibrary(status)) return kExitLibrary;
  // System statuses below the RPC range are local (a file that cannot be
  // created: 3, 5); RPC statuses and HRESULT forms mean no server reached.
  if (status < 1700) return kExitFailed;
  return kExitUnreachable;
}

}  // namespace qzfax
