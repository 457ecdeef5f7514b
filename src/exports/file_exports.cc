// file_exports.cc -- the file transfer, draft and fax import exports.
//
// Receiving, sending and deleting files run frame variant B (labels
// "Call <export>" and "Call <export> return"; a bad server ID still writes
// the return entry); the single-page fetch, the import and the drafts run
// untraced (variant D).
// Thread-safety: reentrant.
#include "exports/frame.h"
#include "qzcsif/qzcsif.h"

namespace {

using qz::TraceEntry;
using qz::exports::kLretOnly;
using qz::exports::MutableArg;
using qz::exports::RunFrame;
using qz::exports::RunFrameUntraced;
using qz::exports::Variant;

}  // namespace

extern "C" {

QZAPI uint32_t RemoteReceiveFileFromServer(uint32_t dwServerID, uint32_t dwTargetType,
                                           uint32_t dwID, const char* pszTargetFileName,
                                           const char* pszRecFileName, uint32_t* pdwValue) {
  return RunFrame(
      Variant::kB, dwServerID, "Call RemoteReceiveFileFromServer",
      [&](TraceEntry& t) {
        t.Num("dwServerID", dwServerID)
            .Num("dwTargetType", dwTargetType)
            .Num("dwID", dwID)
            .Str("pszRecFileName", pszRecFileName);
      },
      [&](qz::CServerSession& s) {
        return s.ReceiveFileFromServer(dwTargetType, dwID, pszTargetFileName, pszRecFileName,
                                       pdwValue);
      },
      "Call RemoteReceiveFileFromServer return", kLretOnly);
}

QZAPI uint32_t RemoteSendFileToServer(uint32_t dwServerID, uint32_t dwTargetType, uint32_t dwID,
                                      const char* pszTargetFileName, const char* pszNewFileName) {
  return RunFrame(
      Variant::kB, dwServerID, "Call RemoteSendFileToServer",
      [&](TraceEntry& t) {
        t.Num("dwServerID", dwServerID)
            .Num("dwTargetType", dwTargetType)
            .Num("dwID", dwID)
            .Str("pszTargetFileName", pszTargetFileName)
            .Str("pszNewFileName", pszNewFileName);
      },
      [&](qz::CServerSession& s) {
        return s.SendFileToServer(dwTargetType, dwID, pszTargetFileName, pszNewFileName);
      },
      "Call RemoteSendFileToServer return", kLretOnly);
}

QZAPI uint32_t RemoteDeleteFileFromServer(uint32_t dwServerID, uint32_t dwTargetType,
                                          uint32_t dwDelFlag, uint32_t dwID,
                                          const char* pszTargetFileName) {
  return RunFrame(
      Variant::kB, dwServerID, "Call RemoteDeleteFileFromServer",
      [&](TraceEntry& t) {
        t.Num("dwServerID", dwServerID)
            .Num("dwTargetType", dwTargetType)
            .Num("dwDelFlag", dwDelFlag)
            .Num("dwID", dwID)
            .Str("pszTargetFileName", pszTargetFileName);
      },
      [&](qz::CServerSession& s) {
        return s.DeleteFileFromServer(dwTargetType, dwDelFlag, dwID, pszTargetFileName);
      },
      "Call RemoteDeleteFileFromServer return", kLretOnly);
}

QZAPI uint32_t RemoteGetOnePageFromServer(uint32_t dwServerID, uint32_t dwID,
                                          const char* pszFileName) {
  return RunFrameUntraced(
      dwServerID, [&](qz::CServerSession& s) { return s.GetOnePageFromServer(dwID, pszFileName); });
}

QZAPI uint32_t RemoteImportFaxInfo(uint32_t dwServerID, uint32_t dwType, const void* pInfo,
                                   uint32_t dwSize) {
  return RunFrameUntraced(dwServerID, [&](qz::CServerSession& s) {
    return s.ImportFaxInfo(dwType, MutableArg(pInfo), dwSize);
  });
}

QZAPI uint32_t NewDraftInformation(uint32_t dwServerID, const void* pvBuf, uint32_t dwBufSize) {
  return RunFrameUntraced(dwServerID, [&](qz::CServerSession& s) {
    return s.NewDraftInformation(MutableArg(pvBuf), dwBufSize);
  });
}

QZAPI uint32_t EditDraftInformation(uint32_t dwServerID, const void* pvBuf, uint32_t dwBufSize) {
  return RunFrameUntraced(dwServerID, [&](qz::CServerSession& s) {
    return s.EditDraftInformation(MutableArg(pvBuf), dwBufSize);
  });
}

QZAPI uint32_t GetDraftInformation(uint32_t dwServerID, void** ppvBuf, uint32_t* pdwBufSize) {
  return RunFrameUntraced(dwServerID, [&](qz::CServerSession& s) {
    return s.GetDraftInformation(ppvBuf, pdwBufSize);
  });
}

QZAPI uint32_t DelDraftInformation(uint32_t dwServerID, uint32_t dwDraftID) {
  return RunFrameUntraced(
      dwServerID, [&](qz::CServerSession& s) { return s.DelDraftInformation(dwDraftID); });
}

}  // extern "C"
