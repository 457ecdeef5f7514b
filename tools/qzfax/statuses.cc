// statuses.cc -- texts of statuses and their exit statuses.
//
// Library statuses (0xC1FFxxxx) take their text from this thread's error
// record (GetLastErrorInfo) when it holds the status, else from the
// message module libqzmsg.so that is installed beside libqzcsif.so: a
// resource-only object whose one data symbol "qzmsg_table" is a table of
// (code, 124-byte text) entries behind a magic number and a count. The fax
// server's own statuses (0xC1FExxxx) have the names and meanings qzfaxd
// documents; RPC and system statuses, in plain or HRESULT form, have their
// usual names.
//
// Thread-safety: single-threaded, as the command line is.
#include <dlfcn.h>

#include <cstdio>

#include "frame.h"

namespace qzfax {
namespace {

// The message module's layout.
constexpr uint32_t kModuleMagic = 0x51474d5au;
struct ModuleEntry {
  uint32_t code;
  char text[124];
};
struct ModuleTable {
  uint32_t magic;
  uint32_t count;
  ModuleEntry entries[64];
};

// The module's text of `status`, "" when it has none or cannot be loaded.
std::string ModuleText(uint32_t status) {
  Dl_info info{};
  std::string path = "libqzmsg.so";
  if (dladdr(reinterpret_cast<void*>(&GetLastErrorInfo), &info) != 0 && info.dli_fname != nullptr) {
    std::string lib = info.dli_fname;
    size_t slash = lib.rfind('/');
    if (slash != std::string::npos) path = lib.substr(0, slash + 1) + path;
  }
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return "";
  std::string text;
  const auto* table = static_cast<const ModuleTable*>(dlsym(module, "qzmsg_table"));
  if (table != nullptr && table->magic == kModuleMagic) {
    for (uint32_t i = 0; i < table->count && i < 64; ++i)
      if (table->entries[i].code == status) text = Text(table->entries[i].text);
  }
  dlclose(module);
  return text;
}

struct Known {
  uint32_t code;
  const char* text;
};

// The fax server's statuses (server/README.md).
constexpr Known kServer[] = {
    {0xC1FE0001, "BAD_KEY: the session key names no live session of this caller"},
    {0xC1FE0002, "NOT_HANDLED: the server does not carry out this procedure yet"},
    {0xC1FE0003, "BAD_CONDITION: the condition text does not parse"},
    {0xC1FE0004, "BAD_RECORD: a record or block does not have the required length or form"},
    {0xC1FE0005, "WRONG_PASSWORD: the password does not match"},
    {0xC1FE0006, "UNKNOWN_CALLER: no user is associated with the caller"},
    {0xC1FE0007, "ACCESS_DENIED: the user lacks the permission bit"},
    {0xC1FE0008, "STORE_FAILURE: the server's database failed"},
    {0xC1FE0009, "BAD_ARGUMENT: an operation code, identifier or value the procedure does not take"},
    {0xC1FE000A, "BAD_PASSWORD: the new password is not acceptable"},
    {0xC1FE000B, "TOO_MANY: too many records of this kind"},
    {0xC1FE000C, "NO_SUCH_FILE: the file does not exist"},
    {0xC1FE000D, "FILE_DENIED: the file may not be opened with the caller's identity"},
    {0xC1FE000E, "FILE_FAILURE: a file could not be read or written"},
    {0xC1FE0020, "SERVER_BUSY: the server is building as many answers as it may; try again"},
    {0xC1FE0021, "TEXT_TOO_LONG: a text is longer than its field"},
    {0xC1FE0030, "SERVICE_STOPPED: the fax service is stopped or draining"},
    {0xC1FE0031, "NO_SUCH_TASK: no task with that ID that the caller may see"},
    {0xC1FE0032, "TASK_STATE: the task's state does not allow the operation"},
    {0xC1FE0033, "BAD_DOCUMENT: not a fax document"},
    {0xC1FE0034, "BAD_NUMBER: a recipient number that is not a number"},
    {0xC1FE0035, "NO_SUCH_DRAFT: no such draft of the caller"},
    {0xC1FE0036, "BAD_BACKUP_NAME: the backup name is not a plain file name"},
    {0xC1FE0037, "JOB_NOT_QUEUED: another job of the submission was refused"},
    {0xC1FE0050, "NO_SUCH_FOLDER: the folder is unknown or not visible"},
    {0xC1FE0051, "NOT_FOUND: the item, message, draft, file, user or department does not exist"},
    {0xC1FE0052, "WRONG_ITEM_KIND: the item does not belong in that folder"},
    {0xC1FE0053, "IN_USE: deletion refused: items, drafts or members remain"},
    {0xC1FE0054, "EXISTS: the identifier is taken"},
    {0xC1FE0055, "REPLY_TOO_LARGE: the answer would exceed the reply limit"},
    {0xC1FE0056, "FILE_ERROR: a file of the server's store cannot be read or written"},
    {0xC1FE0057, "NOT_LOCAL: the single-page fetch needs a local connection"},
    {0xC1FE0059, "NO_DATA_DIR: the server has no data directory"},
    {0xC1FE0070, "NO_SUCH_RECORD: the line, rule, entry, template, script or user does not exist"},
    {0xC1FE0071, "DUPLICATE: the entry exists already"},
    {0xC1FE0072, "UNKNOWN_CONFIG_NAME: a configuration name the server does not know"},
    {0xC1FE0073, "NO_HISTORY: the server keeps no send and receive history"},
};

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

std::string StatusText(uint32_t status) {
  if (IsServer(status)) {
    std::string text = Find(std::begin(kServer), std::end(kServer), status);
    return text.empty() ? "a refusal of the fax server" : text;
  }
  QZERRORINFO info{};
  GetLastErrorInfo(&info);
  std::string text;
  if (info.dwErrorCode == status) text = Text(info.szErrorInfo);
  if (text.empty() && IsLibrary(status)) text = ModuleText(status);
  if (text.empty() && status == E_NOTIMPL) text = "the operation is not implemented";
  if (text.empty()) {
    const uint32_t plain = IsHresult(status) ? status & 0xFFFFu : status;
    text = Find(std::begin(kSystem), std::end(kSystem), plain);
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  return text.empty() ? "no text is known for this status" : text;
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
    case 0xC1FE0007u:
      return kExitDenied;
    case 0xC1FE0031u:  // NO_SUCH_TASK
    case 0xC1FE0035u:  // NO_SUCH_DRAFT
    case 0xC1FE0050u:  // NO_SUCH_FOLDER
    case 0xC1FE0051u:  // NOT_FOUND
    case 0xC1FE000Cu:  // NO_SUCH_FILE
    case 0xC1FE0070u:  // NO_SUCH_RECORD
      return kExitNotFound;
    case 0xC1FE0001u:  // BAD_KEY
    case 0xC1FE0006u:  // UNKNOWN_CALLER
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
