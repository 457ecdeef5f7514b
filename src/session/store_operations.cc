// store_operations.cc -- the message store operations of
// CRpcServerSession: items of eight kinds inside a folder (create, list,
// edit, move, delete), the folder list, fax view records and their flag,
// the address book and address relations, newly received messages.
//
// Item kinds (dwInfoType 0-7) map to the item code the server knows and to
// a column of the folder rights table. Kind 5 is created and deleted
// through rpcKind5InformationOP, listed through rpcGetKind5Information and
// cannot be edited; kind 6 is tested for rights only when created or
// moved. A folder record travels whole (104 bytes); the session reads its
// class (offset 4, selects dwRights[class]) and its kind (offset 68).
//
// The information operations store every failure, server results other
// than 1 included; the folder, fax view, address book, relation and
// new-message operations return server results without storing them.
// Thread-safety: no lock; see server_session.h.
#include <cstring>

#include "interfaces/stubs.h"
#include "platform/probe.h"
#include "session/server_session.h"

namespace qz {
namespace {

constexpr uint32_t kFolderBytes = QZ_SIZEOF_FOLDERINFO_TABLE;
constexpr size_t kFolderClassOffset = 4;
constexpr size_t kFolderKindOffset = 68;
constexpr uint32_t kMaxInfoType = 7;
constexpr uint32_t kKind5 = 5, kKind6 = 6;
constexpr int32_t kKind5Create = 1, kKind5Delete = 3;
constexpr uint32_t kAddressRelationCode = 3;
constexpr unsigned kRowChange = 1;  // access row of create, edit, move, delete

struct ItemKind {
  int32_t code;     // item code sent to the server
  unsigned column;  // column of the folder rights table
};
constexpr ItemKind kItemKinds[kMaxInfoType + 1] = {
    {7, 2}, {6, 2}, {2, 0}, {1, 0}, {3, 0}, {4, 1}, {5, 5}, {8, 3},
};

// Masks by folder class, access row and rights column.
constexpr uint32_t kFolderRightsTable[3][3][7] = {
    {{0x200, 0x800, 0x3, 0x40, 0x20000, 0x10000, 0},
     {0x100, 0x1000, 0x4, 0x20, 0x20000, 0x8000, 0},
     {0x400, 0x8, 0x8, 0, 0x20000, 0x8, 0}},
    {{0x40, 0x100, 0x3, 0, 0x4000, 0x2000, 0},
     {0x20, 0x200, 0x4, 0, 0x4000, 0x1000, 0},
     {0x80, 0x8, 0x8, 0, 0x4000, 0x8, 0}},
    {{0x1000, 0x8000, 0x3, 0x200, 0xFFFFFFFFu, 0x80000, 0},
     {0x800, 0x4000, 0x4, 0x100, 0xFFFFFFFFu, 0x40000, 0},
     {0x2000, 0x8, 0x8, 0, 0xFFFFFFFFu, 0x8, 0}},
};

// Class and kind of a caller's folder record; false when unreadable.
bool ReadFolder(const void* folder, uint32_t* folder_class, uint32_t* kind) {
  uint8_t head[kFolderKindOffset + 4];
  if (folder == nullptr || !platform::ProbeRead(folder, sizeof head, head)) return false;
  std::memcpy(folder_class, head + kFolderClassOffset, 4);
  std::memcpy(kind, head + kFolderKindOffset, 4);
  return true;
}

// The folder's kind and class in range: kStatusOk or the refusing status.
uint32_t FolderShapeStatus(uint32_t folder_class, uint32_t kind) {
  if (kind == 0 || kind >= 9) return QZ_E_FOLDERKIND;
  if (folder_class >= 3) return QZ_E_FOLDERCLASS;
  return kStatusOk;
}

// The folder rights test: kStatusOk when dwRights[class] has a bit of the
// table's mask; otherwise the status to refuse with (QZ_E_FOLDERKIND,
// QZ_E_FOLDERCLASS, QZ_E_INFOCOLUMN, QZ_E_ACCESSMODE for a record or a
// request out of range, QZ_E_ACCESSDENIED for a missing right,
// QZ_E_INVALIDARG for an unreadable folder record).
uint32_t CheckFolderRights(const CServerSession& s, const void* folder, unsigned column,
                           unsigned row) {
  uint32_t folder_class = 0, kind = 0;
  if (!ReadFolder(folder, &folder_class, &kind)) return QZ_E_INVALIDARG;
  if (uint32_t status = FolderShapeStatus(folder_class, kind); status != kStatusOk) return status;
  if (column >= 9) return QZ_E_INFOCOLUMN;
  if (row != 1 && row != 2) return QZ_E_ACCESSMODE;
  const uint32_t mask = column < 7 ? kFolderRightsTable[folder_class][row][column] : 0;
  return (mask & s.Rights(folder_class)) != 0 ? kStatusOk : QZ_E_ACCESSDENIED;
}

// The test of the changing operations (row 1); a refusal is stored.
uint32_t RequireFolderRight(CServerSession& s, const void* folder, unsigned column) {
  const uint32_t status = CheckFolderRights(s, folder, column, kRowChange);
  if (status != kStatusOk) s.SetError(status);
  return status;
}

// Common head of the changing information operations, in order: the item
// buffer, the logged-in state, the kind, then the folder rights (row 1) --
// for kind 6 only where `test_kind6` says so. kStatusOk to go on, else the
// stored status.
uint32_t ChangeChecks(CServerSession& s, const void* folder, const void* pInfo, uint32_t dwSize,
                      uint32_t dwInfoType, bool test_kind6) {
  auto refuse = [&s] {
    s.SetError(QZ_E_INVALIDARG);
    return QZ_E_INVALIDARG;
  };
  if (pInfo == nullptr || dwSize == 0) return refuse();
  if (!s.IsLoggedIn()) return QZ_E_NOTLOGGEDIN;  // stored by the check
  if (dwInfoType > kMaxInfoType) return refuse();
  if (dwInfoType == kKind6 && !test_kind6) return kStatusOk;
  return RequireFolderRight(s, folder, kItemKinds[dwInfoType].column);
}

}  // namespace

uint32_t CRpcServerSession::NewInformation(void* fhParent, uint32_t dwInfoType, void* pInfo,
                                           uint32_t dwSize) {
  if (uint32_t status = ChangeChecks(*this, fhParent, pInfo, dwSize, dwInfoType, true);
      status != kStatusOk)
    return status;
  const ItemKind kind = kItemKinds[dwInfoType];
  return GuardedCall([&] {
    if (dwInfoType == kKind5)
      return ifc::rpcKind5InformationOP(m_hBinding, &m_SessionKey, kKind5Create, fhParent,
                                        kFolderBytes, pInfo, dwSize);
    return ifc::rpcNewInformation(m_hBinding, &m_SessionKey, kind.code, fhParent, kFolderBytes,
                                  pInfo, dwSize);
  });
}

uint32_t CRpcServerSession::GetInformation(void* fhParent, uint32_t dwInfoType,
                                           const char* pWhere, void** ppInfo,
                                           uint32_t* pdwSize) {
  if (ppInfo == nullptr || pdwSize == nullptr) return Refuse(QZ_E_INVALIDARG);
  if (uint32_t status = CheckLoggedIn(); status != kStatusOk) return status;
  if (dwInfoType > kMaxInfoType) return Refuse(QZ_E_INVALIDARG);
  // Listing tests no rights row; a folder record out of range is refused
  // (kind 6 lists without any test).
  if (dwInfoType != kKind6) {
    uint32_t folder_class = 0, kind = 0;
    if (!ReadFolder(fhParent, &folder_class, &kind)) return Refuse(QZ_E_INVALIDARG);
    if (uint32_t status = FolderShapeStatus(folder_class, kind); status != kStatusOk)
      return Refuse(status);
  }
  return GuardedCall([&] {
    if (dwInfoType == kKind5)
      return ifc::rpcGetKind5Information(m_hBinding, &m_SessionKey, fhParent, kFolderBytes,
                                         ppInfo, pdwSize);
    return ifc::rpcGetInformation(m_hBinding, &m_SessionKey, kItemKinds[dwInfoType].code,
                                  fhParent, kFolderBytes, ppInfo, pdwSize,
                                  pWhere ? pWhere : "");
  });
}

uint32_t CRpcServerSession::EditInformation(void* fhParent, uint32_t dwInfoType, void* pInfo,
                                            uint32_t dwSize) {
  if (uint32_t status = ChangeChecks(*this, fhParent, pInfo, dwSize, dwInfoType, false);
      status != kStatusOk)
    return status;
  const ItemKind kind = kItemKinds[dwInfoType];
  if (dwInfoType == kKind5) return Refuse(QZ_E_INVALIDARG);  // kind 5 is never edited
  return GuardedCall([&] {
    return ifc::rpcEditInformation(m_hBinding, &m_SessionKey, kind.code, fhParent, kFolderBytes,
                                   pInfo, dwSize);
  });
}

uint32_t CRpcServerSession::MoveInformation(void* fhSource, void* fhTarget, uint32_t dwInfoType,
                                            void* pInfo, uint32_t dwSize) {
  // Both folders are tested, whatever the kind: the source, then the target.
  if (uint32_t status = ChangeChecks(*this, fhSource, pInfo, dwSize, dwInfoType, true);
      status != kStatusOk)
    return status;
  const ItemKind kind = kItemKinds[dwInfoType];
  if (uint32_t status = RequireFolderRight(*this, fhTarget, kind.column); status != kStatusOk)
    return status;
  return GuardedCall([&] {
    return ifc::rpcMoveInformation(m_hBinding, &m_SessionKey, kind.code, fhSource, kFolderBytes,
                                   pInfo, dwSize, fhTarget, kFolderBytes);
  });
}

uint32_t CRpcServerSession::DeleteInformation(void* fhParent, uint32_t dwInfoType, void* pInfo,
                                              uint32_t dwSize) {
  if (uint32_t status = ChangeChecks(*this, fhParent, pInfo, dwSize, dwInfoType, false);
      status != kStatusOk)
    return status;
  const ItemKind kind = kItemKinds[dwInfoType];
  return GuardedCall([&] {
    if (dwInfoType == kKind5)
      return ifc::rpcKind5InformationOP(m_hBinding, &m_SessionKey, kKind5Delete, fhParent,
                                        kFolderBytes, pInfo, dwSize);
    return ifc::rpcDeleteInformation(m_hBinding, &m_SessionKey, kind.code, fhParent,
                                     kFolderBytes, pInfo, dwSize);
  });
}

uint32_t CRpcServerSession::GetFolders(uint32_t dwFolderType, void** ppInfo,
                                       uint32_t* pdwRecordCount) {
  if (dwFolderType == 0 || dwFolderType > 8) return Refuse(QZ_E_INVALIDARG);
  if (uint32_t status = CheckLoggedIn(); status != kStatusOk) return status;
  if (pdwRecordCount != nullptr) *pdwRecordCount = 0;
  const uint32_t result = GuardedCallNoRecord([&] {
    return ifc::rpcGetFolders(m_hBinding, &m_SessionKey, dwFolderType, ppInfo, pdwRecordCount);
  });
  if (result == kStatusOk) *pdwRecordCount /= QZ_SIZEOF_FOLDERINFO_TABLE;
  return result;
}

uint32_t CRpcServerSession::GetFaxViewRecord(const char* pszCond, void** ppInfo,
                                             uint32_t* pdwRecordCount) {
  if (ppInfo == nullptr || pdwRecordCount == nullptr) return Refuse(QZ_E_INVALIDARG);
  if (uint32_t status = CheckLoggedIn(); status != kStatusOk) return status;
  const uint32_t result = GuardedCallNoRecord([&] {
    return ifc::rpcGetFaxViewRecord(m_hBinding, &m_SessionKey, pszCond ? pszCond : "", ppInfo,
                                    pdwRecordCount);
  });
  if (result == kStatusOk) *pdwRecordCount /= QZ_SIZEOF_FAXVIEW_TABLE;
  return result;
}

uint32_t CRpcServerSession::DelFaxViewRecord(const char* pszCond) {
  if (uint32_t status = CheckLoggedIn(); status != kStatusOk) return status;
  return GuardedCallNoRecord([&] {
    return ifc::rpcDelFaxViewRecord(m_hBinding, &m_SessionKey, pszCond ? pszCond : "");
  });
}

uint32_t CRpcServerSession::SetFaxViewFlag(uint32_t dwFaxID, uint32_t nFlag) {
  if (uint32_t status = CheckLoggedIn(); status != kStatusOk) return status;
  // The flag travels before the fax ID.
  return GuardedCallNoRecord(
      [&] { return ifc::rpcSetFaxViewFlag(m_hBinding, &m_SessionKey, nFlag, dwFaxID); });
}

uint32_t CRpcServerSession::GetAddressBookEx(uint32_t dwFlag, void** ppInfo, uint32_t* pdwSize) {
  if (dwFlag > 1) return Refuse(QZ_E_INVALIDARG);
  if (uint32_t status = CheckLoggedIn(); status != kStatusOk) return status;
  if (pdwSize != nullptr) *pdwSize = 0;
  char user[sizeof m_SessionKey.szUserID + 1] = {};
  std::memcpy(user, m_SessionKey.szUserID, sizeof m_SessionKey.szUserID);
  return GuardedCallNoRecord([&] {
    if (dwFlag == 0)
      return ifc::rpcGetAddressBook(m_hBinding, &m_SessionKey, user, ppInfo, pdwSize);
    return ifc::rpcGetAddressBookEx(m_hBinding, &m_SessionKey, user, ppInfo, pdwSize);
  });
}

uint32_t CRpcServerSession::GetAddressRelation(uint32_t dwAddressID, uint32_t dwAddrType,
                                               void** ppAddrRelation, uint32_t* pdwCount) {
  if (uint32_t status = CheckLoggedIn(); status != kStatusOk) return status;
  if (dwAddrType > 1) return QZ_E_INVALIDARG;  // not stored
  // The selector (an ADDRRELATION_TABLE) takes the folder record's place.
  const uint32_t selector[2] = {dwAddrType == 0 ? dwAddressID : 0,
                                dwAddrType == 1 ? dwAddressID : 0};
  int32_t bytes = 0;
  const uint32_t result = GuardedCallNoRecord([&] {
    return ifc::rpcGetInformation(m_hBinding, &m_SessionKey, kAddressRelationCode, selector,
                                  QZ_SIZEOF_ADDRRELATION_TABLE, ppAddrRelation, &bytes, "");
  });
  if (result == kStatusOk && pdwCount != nullptr)
    *pdwCount = static_cast<uint32_t>(bytes) / QZ_SIZEOF_ADDRRELATION_TABLE;
  return result;
}

uint32_t CRpcServerSession::GetNewReceivedMessages(void* fhParent, uint32_t* dwFaxIDArray,
                                                   uint32_t nCount, void** ppDetail,
                                                   uint32_t* pcRet) {
  if (uint32_t status = CheckLoggedIn(); status != kStatusOk) return status;
  // The ID list travels as its byte length; a list whose length the wire
  // cannot count is refused.
  uint32_t id_bytes = 0;
  if (!RecordBytes(nCount, 4, &id_bytes)) return Refuse(QZ_E_INVALIDARG);
  int32_t bytes = 0;
  const uint32_t result = GuardedCallNoRecord([&] {
    return ifc::rpcGetNewReceivedMessages(m_hBinding, &m_SessionKey, fhParent, kFolderBytes,
                                          dwFaxIDArray, id_bytes, ppDetail, &bytes);
  });
  if (result == kStatusOk && pcRet != nullptr)
    *pcRet = static_cast<uint32_t>(bytes) / QZ_SIZEOF_RECVTASK_TABLE;
  return result;
}

}  // namespace qz
