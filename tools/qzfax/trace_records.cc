// trace_records.cc -- the record table and the field decoder (see
// trace_records.h).
// Thread-safety: see trace_records.h.
#include "trace_records.h"

#include <qzcsif/qzcsif.h>

#include <cctype>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

namespace qzfax::trace {
namespace {

template <typename T>
constexpr FieldKind KindOf() {
  using U = std::remove_cv_t<T>;
  if constexpr (std::is_array_v<U>) {
    using E = std::remove_cv_t<std::remove_extent_t<U>>;
    if constexpr (std::is_same_v<E, char>) return FieldKind::kText;
    if constexpr (std::is_same_v<E, uint32_t>) return FieldKind::kU32Array;
    return FieldKind::kBytes;
  } else if constexpr (std::is_same_v<U, uint8_t>) {
    return FieldKind::kU8;
  } else if constexpr (std::is_same_v<U, uint16_t>) {
    return FieldKind::kU16;
  } else if constexpr (std::is_same_v<U, uint32_t>) {
    return FieldKind::kU32;
  } else if constexpr (std::is_same_v<U, int32_t>) {
    return FieldKind::kI32;
  } else if constexpr (std::is_same_v<U, double>) {
    return FieldKind::kF64;
  } else {
    return FieldKind::kBytes;
  }
}

// One field of the record type R in scope (nested members allowed).
#define QZF(f)                                                    \
  Field {                                                         \
    #f, offsetof(R, f), sizeof(std::declval<R&>().f),              \
        KindOf<std::remove_reference_t<decltype(std::declval<R&>().f)>>() \
  }

template <typename R>
std::vector<Field> FieldsOf();

#define QZ_FIELDS(T, ...)                  \
  template <>                              \
  std::vector<Field> FieldsOf<T>() {       \
    using R = T;                           \
    return {__VA_ARGS__};                  \
  }

struct Dword {
  uint32_t value;
};

// clang-format off
QZ_FIELDS(Dword, QZF(value))
QZ_FIELDS(QZERRORINFO, QZF(dwErrorCode), QZF(szErrorInfo))
QZ_FIELDS(SESSIONKEY, QZF(szUserID), QZF(dwSessionNo))
QZ_FIELDS(USERINFO_TABLE, QZF(bUserType), QZF(szUserID), QZF(szUserName), QZF(dwRights))
QZ_FIELDS(SERVERINFO, QZF(dwVersion), QZF(szHostName), QZF(szText35), QZF(szText55),
          QZF(szText86), QZF(szText106), QZF(abValue172), QZF(dwSessionNo), QZF(abValue692),
          QZF(UserInfo.bUserType), QZF(UserInfo.szUserID), QZF(UserInfo.szUserName),
          QZF(UserInfo.dwRights))
QZ_FIELDS(USERLOG_TABLE, QZF(dwLogID), QZF(dwTime), QZF(szUserID), QZF(dwSessionNo),
          QZF(dwOpnum), QZF(lResult), QZF(szProcedure), QZF(szDetail))
QZ_FIELDS(ADVISEINFO, QZF(dwValues))
QZ_FIELDS(UNADVISEINFO, QZF(dwValues))
QZ_FIELDS(PRINTTOTIFFINFO, QZF(szText1), QZF(szText2), QZF(nValue1), QZF(nValue2))
QZ_FIELDS(FAXJOB_TABLE, QZF(dwSize), QZF(dwPriority), QZF(dwScheduleTime), QZF(dwFlags),
          QZF(dwMaxAttempts), QZF(szRecipientNumber), QZF(szRecipientName), QZF(szSubject),
          QZF(szSender), QZF(szCoverPage), QZF(szDocumentPath))
QZ_FIELDS(SENDRESULT_TABLE, QZF(dwFaxID), QZF(lStatus), QZF(dwState), QZF(dwPages),
          QZF(szDetail))
QZ_FIELDS(TRANSFERFAX_TABLE, QZF(dwSourceID), QZF(dwItemCount), QZF(dwSourceKind))
QZ_FIELDS(TRANSFERFAX_ITEM, QZF(szRecipientNumber), QZF(szRecipientName), QZF(dwPriority),
          QZF(dwScheduleTime), QZF(abReserved))
QZ_FIELDS(CONNSENDITEM, QZF(szRecipientNumber), QZF(szRecipientName), QZF(abReserved))
QZ_FIELDS(SENDTASK_TABLE, QZF(dwFaxID), QZF(dwState), QZF(dwPriority), QZF(dwAttempts),
          QZF(dwMaxAttempts), QZF(dwPagesDone), QZF(dwPagesTotal), QZF(dwSubmitTime),
          QZF(dwScheduleTime), QZF(dwNextTryTime), QZF(dwStartTime), QZF(dwEndTime),
          QZF(dwLineID), QZF(lLastResult), QZF(dwFlags), QZF(dwRecvID), QZF(szUserID),
          QZF(szRecipientNumber), QZF(szRecipientName), QZF(szSubject), QZF(szSender),
          QZF(szCoverPage), QZF(szDocument), QZF(szLastError), QZF(abReserved))
QZ_FIELDS(RECVTASK_TABLE, QZF(dwRecvID), QZF(dwState), QZF(dwLineID), QZF(dwPages),
          QZF(dwStartTime), QZF(dwEndTime), QZF(dwSendTaskID), QZF(dwReserved), QZF(szUserID),
          QZF(szLineNumber), QZF(szSenderNumber), QZF(szSenderUser), QZF(szRecipientName),
          QZF(szSubject), QZF(szDestination), QZF(szDocument), QZF(abReserved))
QZ_FIELDS(TASKPRIORITY, QZF(dwFaxID), QZF(dwPriority), QZF(dwReserved))
QZ_FIELDS(TASKINFO, QZF(dwFaxID), QZF(dwState), QZF(dwPagesDone), QZF(dwPagesTotal))
QZ_FIELDS(COVERPAGEFIELD_TABLE, QZF(dwFieldID), QZF(dwType), QZF(szName), QZF(szValue))
QZ_FIELDS(SERVERCAPS, QZF(dwSize), QZF(dwVersion), QZF(dwFlags), QZF(dwActiveSessions),
          QZF(dwStartTime), QZF(dwNow), QZF(szServerName), QZF(szVersion), QZF(szHostName),
          QZF(abReserved))
QZ_FIELDS(BACKUPINFO, QZF(dwType), QZF(dwFlags), QZF(szLabel), QZF(szName))
QZ_FIELDS(FOLDERINFO_TABLE, QZF(dwFolderID), QZF(dwClass), QZF(szOwner), QZF(szName),
          QZF(dwKind), QZF(dwParentID), QZF(dwItemCount), QZF(dwUnread), QZF(dwFlags),
          QZF(abReserved))
QZ_FIELDS(ADDRRELATION_TABLE, QZF(dwAddressID), QZF(dwGroupID))
QZ_FIELDS(FAXVIEW_TABLE, QZF(dwFaxID), QZF(dwFolderID), QZF(dwFlags), QZF(dwDirection),
          QZF(dwPages), QZF(dwTime), QZF(szRemote), QZF(szSubject))
QZ_FIELDS(ADDRESS_ITEM, QZF(dwItemID), QZF(dwFolderID), QZF(szName), QZF(szFaxNumber),
          QZF(szCompany), QZF(szPhone), QZF(szEmail))
QZ_FIELDS(GROUP_ITEM, QZF(dwItemID), QZF(dwFolderID), QZF(szName), QZF(szNote))
QZ_FIELDS(NOTE_ITEM, QZF(dwItemID), QZF(dwFolderID), QZF(dwTime), QZF(szTitle), QZF(szText))
QZ_FIELDS(COVERPAGE_ITEM, QZF(dwItemID), QZF(dwFolderID), QZF(dwFileID), QZF(szName))
QZ_FIELDS(DOCUMENT_ITEM, QZF(dwItemID), QZF(dwFolderID), QZF(dwFaxID), QZF(dwPages),
          QZF(szName))
QZ_FIELDS(SCHEDULE_ITEM, QZF(dwItemID), QZF(dwFolderID), QZF(dwTime), QZF(dwFlags),
          QZF(szText))
QZ_FIELDS(ADDRESSBOOK_HEADER, QZF(dwAddressCount), QZF(dwGroupCount), QZF(dwRelationCount),
          QZF(dwReserved))
QZ_FIELDS(DEPTINFO_TABLE, QZF(szDeptID), QZF(szName), QZF(szManager), QZF(szFaxNumber),
          QZF(dwFlags), QZF(dwMemberCount), QZF(abReserved))
QZ_FIELDS(USERDETAIL_TABLE, QZF(szUserID), QZF(dwField), QZF(szValue))
QZ_FIELDS(USEROP_RECORD, QZF(dwLength), QZF(szUserID), QZF(szDeptID), QZF(dwUserType),
          QZF(dwRights), QZF(szUserName))  // the password is not shown
QZ_FIELDS(DRAFT_HEADER, QZF(dwLength), QZF(dwDraftID), QZF(dwTime), QZF(dwFlags))
QZ_FIELDS(DEVICEINFO_TABLE, QZF(dwDeviceID), QZF(dwLines), QZF(dwFlags), QZF(szName),
          QZF(szModel))
QZ_FIELDS(PORTINFO_TABLE, QZF(dwPortID), QZF(dwDeviceID), QZF(dwState), QZF(dwBitsPerSecond),
          QZF(dwFlags), QZF(szNumber), QZF(szName), QZF(dwReserved))
QZ_FIELDS(LINECHECK_TABLE, QZF(dwRuleID), QZF(dwPortID), QZF(dwAction), QZF(dwFromMinute),
          QZF(dwToMinute), QZF(szPrefix))
QZ_FIELDS(PORT_CURRENT_STATUS, QZF(dwPortID), QZF(dwState), QZF(dwSince), QZF(szNumber),
          QZF(szActivity), QZF(dwReserved))
QZ_FIELDS(SCRIPTINFO, QZF(dwLength), QZF(dwScriptID), QZF(dwFlags), QZF(szName), QZF(dwSize),
          QZF(dwModified), QZF(szDescription))
QZ_FIELDS(DIALRULE_TABLE, QZF(dwLength), QZF(dwRuleID), QZF(dwPortID), QZF(dwPriority),
          QZF(szMatch), QZF(dwStrip), QZF(szPrepend), QZF(szDescription))
QZ_FIELDS(PREFIXINFO_TABLE, QZF(dwLength), QZF(dwPrefixID), QZF(dwKind), QZF(szPrefix),
          QZF(szDescription))
QZ_FIELDS(FAXAUTORECVINFO_TABLE, QZF(dwID), QZF(dwPortID), QZF(dwEnabled), QZF(dwRings),
          QZF(dwKeepDays), QZF(szNumber), QZF(szName), QZF(szDescription))
QZ_FIELDS(AUTORECVHISTORY_TABLE, QZF(dwID), QZF(dwTime), QZF(dwPortID), QZF(dwRecvTaskID),
          QZF(dwPages), QZF(dwRouteCount), QZF(szLineNumber), QZF(szSenderNumber),
          QZF(szDestination))
QZ_FIELDS(AUTHORIZEDINFO_TABLE, QZF(szUserID), QZF(dwFlags), QZF(dwEntryID), QZF(dwPageLimit),
          QZF(wReserved))
QZ_FIELDS(ROUTERCONFIG_TABLE, QZF(dwRouteID), QZF(dwPortID), QZF(dwTargetKind),
          QZF(dwPriority), QZF(dwEnabled), QZF(szNumber), QZF(szSender), QZF(szTarget),
          QZF(szDescription))
QZ_FIELDS(PRINTERINFO, QZF(dwPrinterID), QZF(dwFlags), QZF(dwState), QZF(szName),
          QZF(szLocation), QZF(szDescription))
QZ_FIELDS(SYSLOG_TABLE, QZF(dwLogID), QZF(dwTime), QZF(dwLevel), QZF(szSource), QZF(szUserID),
          QZF(szText))
QZ_FIELDS(FAXREPORTMODEL, QZF(dwTemplateID), QZF(dwFolderID), QZF(dwGroupBy),
          QZF(dwDirection), QZF(dwFlags), QZF(dwCreated), QZF(dwModified), QZF(szOwner),
          QZF(szName), QZF(szCondition), QZF(szDescription))
QZ_FIELDS(FAXREPORTHEADER, QZF(dwSize), QZF(dwRows), QZF(dwGroupBy), QZF(dwTemplateID))
QZ_FIELDS(FAXREPORTROW, QZF(szKey), QZF(dwFaxes), QZF(dwSent), QZF(dwReceived), QZF(dwFailed),
          QZF(dwPages), QZF(dwSeconds), QZF(dwReserved))
// clang-format on

#undef QZ_FIELDS
#undef QZF

template <typename T>
RecordType Record(const char* name, bool length_prefixed = false) {
  return RecordType{name, sizeof(T), FieldsOf<T>(), length_prefixed};
}
#define QZ_RECORD(T, ...) Record<T>(#T, ##__VA_ARGS__)

// Dumps whose length expression names no record: the label (without
// "Call " and trailing blanks) and the buffer name choose it.
struct NamedDump {
  const char* label;
  const char* pointer;
  const char* record;
};
constexpr NamedDump kNamedDumps[] = {
    {"rpcSendFax", "pFaxInfo", "FAXJOB_TABLE"},
    {"rpcSendFax return", "pResultArray", "SENDRESULT_TABLE"},
    {"rpcTransferFax return", "pResultArray", "SENDRESULT_TABLE"},
    {"rpcUserBaseOP", "pUserInfo", "USERINFO_TABLE"},
    {"rpcUserOP", "pInfo", "USEROP_RECORD"},
    {"rpcGetPrefixInfo return", "(*ppInfo)", "PREFIXINFO_TABLE"},
    {"rpcGetScriptList", "*ppScriptInfo", "SCRIPTINFO"},
    {"rpcGetPortRealInfo", "*ppInfo", "PORT_CURRENT_STATUS"},
    {"ServerBackup", "pBackupInfo", "BACKUPINFO"},
};

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  if (s.substr(0, 5) == "Call ") s.remove_prefix(5);
  return s;
}

std::string Hex(const uint8_t* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    out.push_back(kDigits[p[i] >> 4]);
    out.push_back(kDigits[p[i] & 15]);
  }
  return out;
}

uint32_t U32At(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

nlohmann::ordered_json DecodeOne(const RecordType& type, const uint8_t* p, size_t n) {
  nlohmann::ordered_json rec = nlohmann::ordered_json::object();
  for (const Field& f : type.fields) {
    if (f.offset + f.size > n) break;
    const uint8_t* q = p + f.offset;
    switch (f.kind) {
      case FieldKind::kU8: rec[f.name] = q[0]; break;
      case FieldKind::kU16: rec[f.name] = uint16_t(q[0] | q[1] << 8); break;
      case FieldKind::kU32: rec[f.name] = U32At(q); break;
      case FieldKind::kI32: rec[f.name] = static_cast<int32_t>(U32At(q)); break;
      case FieldKind::kF64: {
        double d;
        std::memcpy(&d, q, sizeof d);
        rec[f.name] = d;
        break;
      }
      case FieldKind::kText: {
        const void* nul = std::memchr(q, 0, f.size);
        const size_t len = nul ? static_cast<const uint8_t*>(nul) - q : f.size;
        std::string text(reinterpret_cast<const char*>(q), len);
        // Invalid UTF-8 would make the JSON unprintable: keep it readable.
        for (char& c : text)
          if (static_cast<unsigned char>(c) >= 0x80 || static_cast<unsigned char>(c) < 0x20)
            c = '?';
        rec[f.name] = text;
        break;
      }
      case FieldKind::kU32Array: {
        nlohmann::ordered_json a = nlohmann::ordered_json::array();
        for (size_t k = 0; k + 4 <= f.size; k += 4) a.push_back(U32At(q + k));
        rec[f.name] = a;
        break;
      }
      case FieldKind::kBytes: {
        bool zero = true;
        for (size_t k = 0; k < f.size && zero; ++k) zero = q[k] == 0;
        if (!zero) rec[f.name] = Hex(q, f.size);
        break;
      }
    }
  }
  return rec;
}

}  // namespace

const std::vector<RecordType>& AllRecords() {
  static const std::vector<RecordType> kRecords = {
      Record<Dword>("DWORD"),
      QZ_RECORD(QZERRORINFO),
      QZ_RECORD(SESSIONKEY),
      QZ_RECORD(USERINFO_TABLE),
      QZ_RECORD(SERVERINFO),
      QZ_RECORD(USERLOG_TABLE),
      QZ_RECORD(ADVISEINFO),
      QZ_RECORD(UNADVISEINFO),
      QZ_RECORD(PRINTTOTIFFINFO),
      QZ_RECORD(FAXJOB_TABLE, true),
      QZ_RECORD(SENDRESULT_TABLE),
      QZ_RECORD(TRANSFERFAX_TABLE),
      QZ_RECORD(TRANSFERFAX_ITEM),
      QZ_RECORD(CONNSENDITEM),
      QZ_RECORD(SENDTASK_TABLE),
      QZ_RECORD(RECVTASK_TABLE),
      QZ_RECORD(TASKPRIORITY),
      QZ_RECORD(TASKINFO),
      QZ_RECORD(COVERPAGEFIELD_TABLE),
      QZ_RECORD(SERVERCAPS),
      QZ_RECORD(BACKUPINFO),
      QZ_RECORD(FOLDERINFO_TABLE),
      QZ_RECORD(ADDRRELATION_TABLE),
      QZ_RECORD(FAXVIEW_TABLE),
      QZ_RECORD(ADDRESS_ITEM),
      QZ_RECORD(GROUP_ITEM),
      QZ_RECORD(NOTE_ITEM),
      QZ_RECORD(COVERPAGE_ITEM),
      QZ_RECORD(DOCUMENT_ITEM),
      QZ_RECORD(SCHEDULE_ITEM),
      QZ_RECORD(ADDRESSBOOK_HEADER),
      QZ_RECORD(DEPTINFO_TABLE),
      QZ_RECORD(USERDETAIL_TABLE),
      QZ_RECORD(USEROP_RECORD, true),
      QZ_RECORD(DRAFT_HEADER),
      QZ_RECORD(DEVICEINFO_TABLE),
      QZ_RECORD(PORTINFO_TABLE),
      QZ_RECORD(LINECHECK_TABLE),
      QZ_RECORD(PORT_CURRENT_STATUS),
      QZ_RECORD(SCRIPTINFO, true),
      QZ_RECORD(DIALRULE_TABLE, true),
      QZ_RECORD(PREFIXINFO_TABLE, true),
      QZ_RECORD(FAXAUTORECVINFO_TABLE),
      QZ_RECORD(AUTORECVHISTORY_TABLE),
      QZ_RECORD(AUTHORIZEDINFO_TABLE),
      QZ_RECORD(ROUTERCONFIG_TABLE),
      QZ_RECORD(PRINTERINFO),
      QZ_RECORD(SYSLOG_TABLE),
      QZ_RECORD(FAXREPORTMODEL),
      QZ_RECORD(FAXREPORTHEADER),
      QZ_RECORD(FAXREPORTROW),
  };
  return kRecords;
}

const RecordType* FindRecord(std::string_view name) {
  for (const RecordType& r : AllRecords())
    if (name == r.name) return &r;
  return nullptr;
}

const RecordType* RecordForDump(std::string_view label, std::string_view pointer_name,
                                std::string_view size_name) {
  const size_t at = size_name.find("sizeof(");
  if (at != std::string_view::npos) {
    std::string_view rest = size_name.substr(at + 7);
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    size_t n = 0;
    while (n < rest.size() && (std::isalnum(static_cast<unsigned char>(rest[n])) || rest[n] == '_'))
      ++n;
    if (const RecordType* r = FindRecord(rest.substr(0, n))) return r;
  }
  const std::string_view l = Trimmed(label);
  for (const NamedDump& d : kNamedDumps)
    if (l == d.label && pointer_name == d.pointer) return FindRecord(d.record);
  return nullptr;
}

std::vector<nlohmann::ordered_json> DecodeRecords(const RecordType& type,
                                                  const std::vector<uint8_t>& bytes,
                                                  size_t* rest) {
  std::vector<nlohmann::ordered_json> out;
  size_t at = 0;
  while (at < bytes.size()) {
    const size_t left = bytes.size() - at;
    size_t len = type.size;
    if (type.length_prefixed) {
      // The record's own length; a length below the fixed part (or beyond
      // the dump, which may hold only the fixed parts) ends the walk.
      if (left < 4) break;
      const size_t own = U32At(bytes.data() + at);
      if (own < type.size) break;
      if (own > left) {  // only its fixed part was dumped
        if (left >= type.size) {
          out.push_back(DecodeOne(type, bytes.data() + at, type.size));
          at += type.size;
        }
        break;
      }
      len = own;
    }
    if (len == 0 || len > left) break;
    out.push_back(DecodeOne(type, bytes.data() + at, len));
    at += len;
  }
  *rest = bytes.size() - at;
  return out;
}

}  // namespace qzfax::trace
