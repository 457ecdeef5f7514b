// report_test.cc -- report templates and report queries through their
// exports: the folder record with every request, template counts, the
// checks RemoteGetReportTemplate makes before the server ID, only RPC
// exceptions reaching the error slot, and the traces (labels with their
// trailing blank, the number after a dump in decimal).
#include "tests/stubs/admin_fixture.h"

namespace qz::stubs_test {
namespace {

constexpr uint16_t kEditReportTemplate = 79, kDeleteReportTemplate = 80, kGetReportTemplates = 81,
                   kGetReportTemplate = 82, kQueryReport = 83;
constexpr uint32_t kModel = 4232;

class ReportTest : public AdminTest {};

// clang-format off
TEST_F(ReportTest, Table) {
  void* list = nullptr;
  uint32_t count = 0;
  const Bytes folder = Data(104, 0x61), models = Data(2 * kModel);
  auto* fh = (FOLDERINFO_TABLE*)folder.data();
  auto* model = (FAXREPORTMODEL*)models.data();
  auto with_folder = [&](std::function<void(Wire&)> rest) {
    return Req([&](Wire& w) { rest(Block(w, folder).U32(104)); });
  };
  auto counted = [&](uint32_t n) { return [&, n] { EXPECT_EQ(count, n); Free(list); }; };
  const std::string folder_lines = "&fhParent=P|sizeof(FOLDERINFO_TABLE)=0x68|#104";
  const std::string get_one = "@Call RemoteGetReportTemplate ";

  Run({
      {"two new templates are 8464 bytes after the folder; no rights bit", [&] { LogIn(0, 0); },
       [&] { return RemoteNewReportTemplate(id_, fh, model, 2); }, 1,
       {with_folder([&](Wire& w) { Block(w, models).U32(2 * kModel); })}, kUntouched,
       Skeleton({"@Call RemoteNewReportTemplate ", folder_lines, "pInfo=P",
                 "dwRecordCount*sizeof(FAXREPORTMODEL)=0x2110", "#8464", "@Call RemoteNewReportTemplate return ",
                 Lret(1)})},
      {"an RPC fault is the only failure recorded", [&] { server_->Fault(kEditReportTemplate, 5); },
       [&] { return RemoteEditReportTemplate(id_, fh, model, 1); }, 5,
       {with_folder([&](Wire& w) { Block(w, Bytes(models.begin(), models.begin() + kModel)).U32(kModel); })}, 5, ""},
      {"a refused deletion is returned, the slot untouched; the ID traced in decimal",
       [&] { server_->Return(kDeleteReportTemplate, kRefused); },
       [&] { return RemoteDeleteReportTemplate(id_, fh, 300); }, kRefused,
       {with_folder([](Wire& w) { w.U32(300); })}, kUntouched,
       Skeleton({"@Call RemoteDeleteReportTemplate ", folder_lines, "nReportID=300",
                 "@Call RemoteDeleteReportTemplate return ", Lret(kRefused)})},
      {"the template list: 8464 bytes are 2, under the labels of the single read",
       Answer(kGetReportTemplates, 4, models),
       [&] { list = nullptr; return RemoteGetReportTemplates(id_, fh, (FAXREPORTMODEL**)&list, &count); }, 1,
       {with_folder([](Wire& w) { NullReply(w); })}, kUntouched,
       Skeleton({get_one, folder_lines, get_one + "return ", Lret(1), "*ppInfo=P",
                 "(*pdwRecordCount)*sizeof(FAXREPORTMODEL)=0x2110", "#8464"}), counted(2)},
      {"an empty template list is 0", Answer(kGetReportTemplates, 4, {}),
       [&] { list = nullptr; count = 5; return RemoteGetReportTemplates(id_, fh, (FAXREPORTMODEL**)&list, &count); },
       1, {with_folder([](Wire& w) { NullReply(w); })}, kUntouched, "", counted(0)},
      {"a null count pointer: refused after the state check, not recorded", nullptr,
       [&] { return RemoteGetReportTemplates(id_, fh, (FAXREPORTMODEL**)&list, nullptr); }, QZ_E_INVALIDARG,
       {}, kUntouched, ""},
      {"one template: 4232 bytes are 1, the dump is *pdwRecordCount bytes",
       Answer(kGetReportTemplate, 5, Data(kModel)),
       [&] { return RemoteGetReportTemplate(id_, fh, 9, (FAXREPORTMODEL**)&list, &count); }, 1,
       {with_folder([](Wire& w) { NullReply(w.U32(9)); })}, kUntouched,
       Skeleton({get_one, "nReportTemplateID=9", get_one + "return ", Lret(1), "(*ppInfo)=P",
                 "(*pdwRecordCount)=0x1", "#1"}), counted(1)},
      {"a null list pointer is a bad parameter, even with a stale ID", nullptr,
       [&] { return RemoteGetReportTemplate(id_ + 1, fh, 9, nullptr, &count); }, QZ_E_BADPARAM, {},
       kUntouched, Skeleton({get_one, "nReportTemplateID=9"})},
      {"a stale ID with valid pointers: both cleared, no return entry", nullptr,
       [&] { list = &count; count = 5; return RemoteGetReportTemplate(id_ + 1, fh, 9, (FAXREPORTMODEL**)&list, &count); },
       QZ_E_BADSERVERID, {}, kUntouched, Skeleton({get_one, "nReportTemplateID=9"}),
       [&] { EXPECT_EQ(list, nullptr); EXPECT_EQ(count, 0u); }},
      {"a query without its text: refused, not recorded", nullptr,
       [&] { list = nullptr; count = 0; return RemoteQueryReport(id_, nullptr, &list, &count); }, QZ_E_INVALIDARG, {}, kUntouched,
       Skeleton({"@Call RemoteQueryReport", "lpReportSql=\" \"", "@Call RemoteQueryReport return ",
                 Lret(QZ_E_INVALIDARG), "*ppvData=0", "*pdwSize=0x0"})},
      {"a query on a session that is not logged in", [&] { SessionTestAccess::SetState(*session_, 0); },
       [&] { list = nullptr; count = 0; return RemoteQueryReport(id_, "q", &list, &count); }, QZ_E_BADSERVERID, {}, QZ_E_NOTLOGGEDIN, ""},
      {"a query: the report data and its byte length", Answer(kQueryReport, 3, Data(37)),
       [&] { list = nullptr; count = 0; return RemoteQueryReport(id_, "count by user", &list, &count); }, 1,
       {Req([](Wire& w) { NullReply(Text(w, "count by user")); })}, kUntouched,
       Skeleton({"@Call RemoteQueryReport", "lpReportSql=count by user", "@Call RemoteQueryReport return ",
                 Lret(1), "*ppvData=P", "*pdwSize=0x25", "#37"}),
       [&] { EXPECT_TRUE(SameBytes(Bytes((uint8_t*)list, (uint8_t*)list + count), Data(37))); Free(list); }},
  });
}
// clang-format on

}  // namespace
}  // namespace qz::stubs_test
