// report_operations.cc -- report templates and report queries.
//
// No rights bit is tested: the server decides. The logged-in check comes
// first, then the operation's own argument checks; argument failures
// (QZ_E_INVALIDARG) and the server's results are returned without being
// stored in the error slot; an RPC exception is stored and returned. The
// folder record travels whole (104 bytes) with every procedure.
// Thread-safety: no lock; see server_session.h.
#include "interfaces/stubs.h"
#include "rpc/records.h"
#include "session/server_session.h"

namespace qz {
namespace {

constexpr int32_t kFolderSize = QZ_SIZEOF_FOLDERINFO_TABLE;
constexpr uint16_t kOpNewReportTemplate = 78, kOpEditReportTemplate = 79;

uint8_t** AsReply(void** pp) { return reinterpret_cast<uint8_t**>(pp); }

}  // namespace

uint32_t CRpcServerSession::GetReportTemplates(void* fhParent, void** ppInfo,
                                               uint32_t* pdwRecordCount) {
  if (uint32_t st = CheckLoggedIn(); st != kStatusOk) return st;
  if (ppInfo == nullptr || pdwRecordCount == nullptr) return QZ_E_INVALIDARG;
  int32_t bytes = 0;
  uint32_t result = GuardedCallNoRecord([&] {
    RequireReadableBlock(fhParent, kFolderSize);
    return ifc::rpcGetReportTemplates(m_hBinding, &m_SessionKey, fhParent, kFolderSize,
                                      AsReply(ppInfo), &bytes);
  });
  if (result == kStatusOk)
    *pdwRecordCount = rpc::records::RecordCount(bytes, QZ_SIZEOF_FAXREPORTMODEL);
  return result;
}

uint32_t CRpcServerSession::GetReportTemplate(void* fhParent, uint32_t nReportTemplateID,
                                              void** ppInfo, uint32_t* pdwRecordCount) {
  if (uint32_t st = CheckLoggedIn(); st != kStatusOk) return st;
  if (ppInfo == nullptr || pdwRecordCount == nullptr) return QZ_E_INVALIDARG;
  int32_t bytes = 0;
  uint32_t result = GuardedCallNoRecord([&] {
    RequireReadableBlock(fhParent, kFolderSize);
    return ifc::rpcGetReportTemplate(m_hBinding, &m_SessionKey, fhParent, kFolderSize,
                                     nReportTemplateID, AsReply(ppInfo), &bytes);
  });
  if (result == kStatusOk)
    *pdwRecordCount = rpc::records::RecordCount(bytes, QZ_SIZEOF_FAXREPORTMODEL);
  return result;
}

// New (78) and edit (79): dwRecordCount whole templates after the folder.
// A count whose byte length does not fit a block is refused (not recorded).
uint32_t CRpcServerSession::SendReportTemplates(uint16_t opnum, void* fhParent, void* pInfo,
                                                uint32_t dwRecordCount) {
  if (uint32_t st = CheckLoggedIn(); st != kStatusOk) return st;
  std::optional<int32_t> bytes = rpc::records::RecordBytes(dwRecordCount, QZ_SIZEOF_FAXREPORTMODEL);
  if (!bytes) return QZ_E_INVALIDARG;
  const int32_t size = *bytes;
  return GuardedCallNoRecord([&] {
    RequireReadableBlock(fhParent, kFolderSize);
    RequireReadableBlock(pInfo, static_cast<size_t>(size));
    return opnum == kOpNewReportTemplate
               ? ifc::rpcNewReportTemplate(m_hBinding, &m_SessionKey, fhParent, kFolderSize, pInfo,
                                           size)
               : ifc::rpcEditReportTemplate(m_hBinding, &m_SessionKey, fhParent, kFolderSize, pInfo,
                                            size);
  });
}

uint32_t CRpcServerSession::NewReportTemplate(void* fhParent, void* pInfo, uint32_t dwRecordCount) {
  return SendReportTemplates(kOpNewReportTemplate, fhParent, pInfo, dwRecordCount);
}

uint32_t CRpcServerSession::EditReportTemplate(void* fhParent, void* pInfo,
                                               uint32_t dwRecordCount) {
  return SendReportTemplates(kOpEditReportTemplate, fhParent, pInfo, dwRecordCount);
}

uint32_t CRpcServerSession::DeleteReportTemplate(void* fhParent, uint32_t nReportID) {
  if (uint32_t st = CheckLoggedIn(); st != kStatusOk) return st;
  return GuardedCallNoRecord([&] {
    RequireReadableBlock(fhParent, kFolderSize);
    return ifc::rpcDeleteReportTemplate(m_hBinding, &m_SessionKey, fhParent, kFolderSize,
                                        nReportID);
  });
}

// The caller's pointer and size go to the procedure as they are: *ppvData
// null and *pdwSize 0 on entry; *pdwSize receives the report's byte length.
uint32_t CRpcServerSession::QueryReport(const char* lpReportSql, void** ppvData,
                                        uint32_t* pdwSize) {
  if (uint32_t st = CheckLoggedIn(); st != kStatusOk) return st;
  if (lpReportSql == nullptr || pdwSize == nullptr || ppvData == nullptr) return QZ_E_INVALIDARG;
  return GuardedCallNoRecord([&] {
    return ifc::rpcQueryReport(m_hBinding, &m_SessionKey, lpReportSql, AsReply(ppvData), pdwSize);
  });
}

}  // namespace qz
