// report_exports.cc -- the exports of report templates and report queries.
//
// RemoteGetReportTemplate runs frame variant A (after refusing null outputs
// with QZ_E_BADPARAM and clearing them), the others variant B. None of them
// traces dwServerID; the labels end in a blank, except the entry label of
// RemoteQueryReport, and RemoteGetReportTemplates uses the labels of
// RemoteGetReportTemplate.
// Thread-safety: reentrant.
#include "exports/frame.h"
#include "qzcsif/qzcsif.h"

namespace {

using qz::TraceEntry;
using qz::exports::AsVoidList;
using qz::exports::ListReturn;
using qz::exports::PeekList;
using qz::exports::Variant;

// The folder record every entry starts with.
TraceEntry& Folder(TraceEntry& t, const FOLDERINFO_TABLE* fhParent) {
  return t.Buffer("&fhParent", fhParent, "sizeof(FOLDERINFO_TABLE)", QZ_SIZEOF_FOLDERINFO_TABLE);
}

}  // namespace

extern "C" {

QZAPI uint32_t RemoteGetReportTemplates(uint32_t dwServerID, FOLDERINFO_TABLE* fhParent,
                                        FAXREPORTMODEL** ppInfo, uint32_t* pdwRecordCount) {
  return qz::exports::RunFrame(
      Variant::kB, dwServerID, "Call RemoteGetReportTemplate ",
      [&](TraceEntry& t) { Folder(t, fhParent); },
      [&](qz::CServerSession& s) {
        return s.GetReportTemplates(fhParent, AsVoidList(ppInfo), pdwRecordCount);
      },
      "Call RemoteGetReportTemplate return ",
      ListReturn("*ppInfo", ppInfo, "(*pdwRecordCount)*sizeof(FAXREPORTMODEL)", pdwRecordCount,
                 QZ_SIZEOF_FAXREPORTMODEL));
}

QZAPI uint32_t RemoteGetReportTemplate(uint32_t dwServerID, FOLDERINFO_TABLE* fhParent,
                                       uint32_t nReportTemplateID, FAXREPORTMODEL** ppInfo,
                                       uint32_t* pdwRecordCount) {
  return qz::exports::RunFramePrechecked(
      Variant::kA, dwServerID, "Call RemoteGetReportTemplate ",
      [&](TraceEntry& t) { t.Num("nReportTemplateID", nReportTemplateID); },
      [&] {
        if (ppInfo == nullptr || pdwRecordCount == nullptr) return QZ_E_BADPARAM;
        qz::exports::ClearListOutputs(ppInfo, pdwRecordCount);
        return qz::kStatusOk;
      },
      [&](qz::CServerSession& s) {
        return s.GetReportTemplate(fhParent, nReportTemplateID, AsVoidList(ppInfo), pdwRecordCount);
      },
      "Call RemoteGetReportTemplate return ",
      // The dump covers *pdwRecordCount bytes, as the original did.
      ListReturn("(*ppInfo)", ppInfo, "(*pdwRecordCount)", pdwRecordCount, 1));
}

QZAPI uint32_t RemoteNewReportTemplate(uint32_t dwServerID, FOLDERINFO_TABLE* fhParent,
                                       FAXREPORTMODEL* pInfo, uint32_t dwRecordCount) {
  return qz::exports::RunFrame(
      Variant::kB, dwServerID, "Call RemoteNewReportTemplate ",
      [&](TraceEntry& t) {
        Folder(t, fhParent)
            .Buffer("pInfo", pInfo, "dwRecordCount*sizeof(FAXREPORTMODEL)",
                    size_t{dwRecordCount} * QZ_SIZEOF_FAXREPORTMODEL);
      },
      [&](qz::CServerSession& s) { return s.NewReportTemplate(fhParent, pInfo, dwRecordCount); },
      "Call RemoteNewReportTemplate return ", qz::exports::kLretOnly);
}

QZAPI uint32_t RemoteEditReportTemplate(uint32_t dwServerID, FOLDERINFO_TABLE* fhParent,
                                        FAXREPORTMODEL* pInfo, uint32_t dwRecordCount) {
  return qz::exports::RunFrame(
      Variant::kB, dwServerID, "Call RemoteEditReportTemplate ",
      [&](TraceEntry& t) {
        Folder(t, fhParent)
            .Buffer("pInfo", pInfo, "dwRecordCount*sizeof(FAXREPORTMODEL)",
                    size_t{dwRecordCount} * QZ_SIZEOF_FAXREPORTMODEL);
      },
      [&](qz::CServerSession& s) { return s.EditReportTemplate(fhParent, pInfo, dwRecordCount); },
      "Call RemoteEditReportTemplate return ", qz::exports::kLretOnly);
}

QZAPI uint32_t RemoteDeleteReportTemplate(uint32_t dwServerID, FOLDERINFO_TABLE* fhParent,
                                          uint32_t nReportID) {
  return qz::exports::RunFrame(
      Variant::kB, dwServerID, "Call RemoteDeleteReportTemplate ",
      [&](TraceEntry& t) { Folder(t, fhParent).Decimal().Num("nReportID", nReportID); },
      [&](qz::CServerSession& s) { return s.DeleteReportTemplate(fhParent, nReportID); },
      "Call RemoteDeleteReportTemplate return ", qz::exports::kLretOnly);
}

QZAPI uint32_t RemoteQueryReport(uint32_t dwServerID, const char* lpReportSql, void** ppvData,
                                 uint32_t* pdwSize) {
  return qz::exports::RunFrame(
      Variant::kB, dwServerID, "Call RemoteQueryReport",
      [&](TraceEntry& t) { t.Str("lpReportSql", lpReportSql); },
      [&](qz::CServerSession& s) { return s.QueryReport(lpReportSql, ppvData, pdwSize); },
      "Call RemoteQueryReport return ", ListReturn("*ppvData", ppvData, "*pdwSize", pdwSize, 1));
}

}  // extern "C"
