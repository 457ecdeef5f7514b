// file_operations.cc -- file transfer, drafts and fax import operations of
// CRpcServerSession.
//
// The file operations name files for the server (fax files, cover pages,
// scripts by target type 0-3; types 0 and 1 are the same) and never carry
// content; the single-page fetch creates the local file first and hands the
// server its descriptor number. Drafts travel whole as byte blocks.
//
// These operations make no logged-in check and test no rights: the
// export's server-ID check is their gate. Server results are returned
// without being stored; an RPC exception (1780 for a null pointer the
// runtime refuses) is stored and returned. Receiving (every type) and
// sending fax files write a trace entry of their own after the procedure
// returned: "Call <procedure>", its dwID (and the script name), then
// "Call <procedure> return" and lret under the same timestamp.
// Thread-safety: no lock; see server_session.h.
#include <string>

#include "core/trace_log.h"
#include "interfaces/stubs.h"
#include "platform/platform.h"
#include "session/server_session.h"

namespace qz {
namespace {

constexpr uint32_t kCoverPage = 2, kScript = 3;  // 0 and 1: fax files

// The session's own entry about the file procedure `name` it called: the
// call label, dwID (and the script name), the return label and lret.
void TraceFileCall(const std::string& name, uint32_t dwID, const char* script_name,
                   bool with_script, int32_t result) {
  TraceEntry entry("Call " + name);
  entry.Num("dwID", dwID);
  if (with_script) entry.Str("T2A(pszTargetFileName)", script_name);
  entry.Label("Call " + name + " return").Lret(static_cast<uint32_t>(result)).Write();
}

}  // namespace

uint32_t CRpcServerSession::ReceiveFileFromServer(uint32_t dwTargetType, uint32_t dwID,
                                                  const char* pszTargetFileName,
                                                  const char* pszRecFileName,
                                                  uint32_t* pdwValue) {
  if (dwTargetType > kScript) return Refuse(QZ_E_INVALIDARG);
  return GuardedCallNoRecord([&] {
    const bool script = dwTargetType == kScript;
    int32_t result;
    if (script) {
      result = ifc::rpcGetScriptFileFromServer(m_hBinding, &m_SessionKey, dwID, pszTargetFileName,
                                               pszRecFileName, pdwValue);
    } else if (dwTargetType == kCoverPage) {
      result = ifc::rpcGetCoverPageFileFromServer(m_hBinding, &m_SessionKey, dwID, pszRecFileName,
                                                  pdwValue);
    } else {
      result = ifc::rpcGetFaxFileFromServer(m_hBinding, &m_SessionKey, dwID, pszRecFileName,
                                            pdwValue);
    }
    static constexpr const char* kNames[] = {"rpcGetFaxFileFromServer", "rpcGetFaxFileFromServer",
                                             "rpcGetCoverPageFileFromServer",
                                             "rpcGetScriptFileFromServer"};
    TraceFileCall(kNames[dwTargetType], dwID, pszTargetFileName, script, result);
    return result;
  });
}

uint32_t CRpcServerSession::SendFileToServer(uint32_t dwTargetType, uint32_t dwID,
                                             const char* pszTargetFileName,
                                             const char* pszNewFileName) {
  if (pszNewFileName == nullptr || (dwTargetType == kScript && pszTargetFileName == nullptr))
    return Refuse(QZ_E_INVALIDARG);
  if (dwTargetType > kScript) return Refuse(QZ_E_INVALIDARG);
  return GuardedCallNoRecord([&] {
    if (dwTargetType == kScript)
      return ifc::rpcReplaceScriptFile(m_hBinding, &m_SessionKey, dwID, pszTargetFileName,
                                       pszNewFileName);
    if (dwTargetType == kCoverPage)
      return ifc::rpcReplaceCoverPageFile(m_hBinding, &m_SessionKey, dwID, pszNewFileName);
    const int32_t result = ifc::rpcReplaceFaxFile(m_hBinding, &m_SessionKey, dwID, pszNewFileName);
    TraceFileCall("rpcReplaceFaxFile", dwID, nullptr, false, result);  // fax files only
    return result;
  });
}

uint32_t CRpcServerSession::DeleteFileFromServer(uint32_t dwTargetType, uint32_t /*dwDelFlag*/,
                                                 uint32_t /*dwID*/,
                                                 const char* pszTargetFileName) {
  // The flag and the ID are traced by the export, not sent.
  if (dwTargetType > kScript) return Refuse(QZ_E_INVALIDARG);
  return GuardedCallNoRecord([&] {
    return ifc::rpcDeleteFileFromServer(m_hBinding, &m_SessionKey, dwTargetType,
                                        pszTargetFileName);
  });
}

uint32_t CRpcServerSession::GetOnePageFromServer(uint32_t dwID, const char* pszFileName) {
  // The local file exists (empty) before the server is asked to fill it; a
  // file that cannot be created ends the call with its system code,
  // without touching the error slot.
  int fd = -1;
  if (uint32_t code = platform::CreateLocalFile(pszFileName, &fd); code != platform::kErrSuccess)
    return code;
  const uint32_t result = GuardedCallNoRecord([&] {
    return ifc::rpcGetOnePageFromServer(m_hBinding, &m_SessionKey, dwID, fd);
  });
  platform::CloseLocalFile(fd);
  return result;
}

uint32_t CRpcServerSession::ImportFaxInfo(uint32_t dwType, void* pInfo, uint32_t dwSize) {
  // Only the first byte of pInfo travels; dwSize goes as a number.
  return GuardedCallNoRecord([&] {
    return ifc::rpcImportFaxInfo(m_hBinding, &m_SessionKey, dwType,
                                 static_cast<const char*>(pInfo), dwSize);
  });
}

uint32_t CRpcServerSession::NewDraftInformation(void* pvBuf, uint32_t dwBufSize) {
  return GuardedCallNoRecord([&] {
    return ifc::rpcNewDraftInformation(m_hBinding, &m_SessionKey, dwBufSize, pvBuf);
  });
}

uint32_t CRpcServerSession::EditDraftInformation(void* pvBuf, uint32_t dwBufSize) {
  return GuardedCallNoRecord([&] {
    return ifc::rpcEditDraftInformation(m_hBinding, &m_SessionKey, dwBufSize, pvBuf);
  });
}

uint32_t CRpcServerSession::GetDraftInformation(void** ppvBuf, uint32_t* pdwBufSize) {
  // The block is the server's answer only: a pointer the caller left in
  // *ppvBuf would have the runtime write the reply into unknown memory.
  if (ppvBuf != nullptr) *ppvBuf = nullptr;
  return GuardedCallNoRecord([&] {
    return ifc::rpcGetDraftInformation(m_hBinding, &m_SessionKey, pdwBufSize, ppvBuf);
  });
}

uint32_t CRpcServerSession::DelDraftInformation(uint32_t dwDraftID) {
  return GuardedCallNoRecord(
      [&] { return ifc::rpcDelDraftInformation(m_hBinding, &m_SessionKey, dwDraftID); });
}

}  // namespace qz
