// reports_test.cc -- report templates per folder and reports over the
// send and receive history (the view over the send queue's tables).
#include "server/reports.h"

#include "server/send_engine.h"

#include "server/admin_test_support.h"
#include "server/sql.h"

namespace qz::faxd {
namespace {

using testing::AdminHarness;
using testing::Bytes;
using testing::SetText;
using testing::Zeroed;

std::vector<uint8_t> Folder(uint32_t id) {
  std::vector<uint8_t> f(QZ_SIZEOF_FOLDERINFO_TABLE, 0);
  PutU32At(f.data(), id);
  return f;
}

FAXREPORTMODEL Template(uint32_t id, const char* name, uint32_t group, const char* condition) {
  auto m = Zeroed<FAXREPORTMODEL>();
  m.dwTemplateID = id;
  m.dwGroupBy = group;
  SetText(m.szName, name);
  SetText(m.szCondition, condition);
  return m;
}

int32_t Templates(AdminHarness& h, uint16_t opnum, uint32_t folder,
                  const std::vector<uint8_t>& records, const User& u) {
  rpc::ServerArgs a = h.Args(opnum);
  a[2].bytes = Folder(folder);
  a[3].number = QZ_SIZEOF_FOLDERINFO_TABLE;
  a[4].bytes = records;
  a[5].number = static_cast<int32_t>(records.size());
  return h.Run(opnum, a, u);
}

std::vector<FAXREPORTMODEL> List(AdminHarness& h, uint32_t folder) {
  rpc::ServerArgs a = h.Args(81);
  a[2].bytes = Folder(folder);
  a[3].number = QZ_SIZEOF_FOLDERINFO_TABLE;
  EXPECT_EQ(h.Run(81, a, h.admin), kOk) << h.note;
  return h.Records<FAXREPORTMODEL>(a[4].bytes);
}

TEST(Reports, TemplatesLiveInTheirFolder) {
  AdminHarness h;
  User writer = h.AddUser("writer", {0, 0, 0, 0x10});
  User reader = h.AddUser("reader", {0, 0, 0, 0x200});
  std::vector<uint8_t> two = Bytes(Template(0, "per user", QZ_REPORT_BY_USER, ""));
  AppendRecord(&two, Template(0, "per line", QZ_REPORT_BY_LINE, "direction=1"));
  ASSERT_EQ(Templates(h, 78, 7, two, writer), kOk) << h.note;
  EXPECT_EQ(Templates(h, 78, 7, two, reader), AsResult(kAccessDenied));
  EXPECT_EQ(Templates(h, 78, 7, std::vector<uint8_t>(two.begin(), two.end() - 1), writer),
            AsResult(kBadRecord));
  EXPECT_EQ(Templates(h, 78, 7, Bytes(Template(0, "x", 5, "")), writer), AsResult(kBadRecord));
  EXPECT_EQ(Templates(h, 78, 7, Bytes(Template(0, "x", 0, "colour=red")), writer),
            AsResult(kBadCondition));
  std::vector<FAXREPORTMODEL> in7 = List(h, 7);
  ASSERT_EQ(in7.size(), 2u);
  EXPECT_EQ(in7[1].dwTemplateID, 2u);
  EXPECT_EQ(in7[1].dwFolderID, 7u);
  EXPECT_STREQ(in7[1].szOwner, "writer");
  EXPECT_EQ(in7[1].dwCreated, h.clock.now_ms / 1000);
  EXPECT_TRUE(List(h, 8).empty());

  // Edit keeps owner and creation time; a template of another folder is not found.
  h.clock.now_ms += 60000;
  FAXREPORTMODEL edited = in7[1];
  SetText(edited.szName, "lines, sent");
  SetText(edited.szOwner, "mallory");
  EXPECT_EQ(Templates(h, 79, 8, Bytes(edited), writer), AsResult(kNoSuchRecord));
  ASSERT_EQ(Templates(h, 79, 7, Bytes(edited), writer), kOk) << h.note;
  rpc::ServerArgs one = h.Args(82);
  one[2].bytes = Folder(7);
  one[3].number = QZ_SIZEOF_FOLDERINFO_TABLE;
  one[4].number = 2;
  ASSERT_EQ(h.Run(82, one, reader), kOk);
  auto got = h.Records<FAXREPORTMODEL>(one[5].bytes);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_STREQ(got[0].szName, "lines, sent");
  EXPECT_STREQ(got[0].szOwner, "writer");
  EXPECT_EQ(got[0].dwModified, got[0].dwCreated + 60);

  rpc::ServerArgs del = h.Args(80);
  del[2].bytes = Folder(8);
  del[3].number = QZ_SIZEOF_FOLDERINFO_TABLE;
  del[4].number = 1;
  EXPECT_EQ(h.Run(80, del, writer), AsResult(kNoSuchRecord));
  del[2].bytes = Folder(7);
  EXPECT_EQ(h.Run(80, del, writer), kOk);
  EXPECT_EQ(List(h, 7).size(), 1u);
  del[3].number = 103;
  EXPECT_EQ(h.Run(80, del, writer), AsResult(kBadRecord));
}

class ReportQuery : public ::testing::Test {
 protected:
  void SetUp() override {
    // Finished tasks of bob (sales) and amy (it), one still queued, and a
    // fax received for the department "it"; times in seconds.
    h.AddUser("bob", {});
    h.AddUser("amy", {});
    auto sent = [](const char* owner, uint32_t state, uint32_t line, int64_t end_s,
                   uint32_t pages, int64_t seconds) {
      SendTask t;
      t.owner = owner;
      t.state = state;
      t.line_id = line;
      t.pages_done = pages;
      t.end_ms = end_s * 1000;
      t.start_ms = t.end_ms - seconds * 1000;
      return t;
    };
    auto received = [](const char* owner, const char* to, int64_t end_s, uint32_t pages) {
      RecvTask r;
      r.owner = owner;
      r.destination = to;
      r.state = QZ_RECV_DELIVERED;
      r.line_id = 1;
      r.pages = pages;
      r.end_ms = end_s * 1000;
      r.start_ms = r.end_ms - 40000;
      return r;
    };
    ASSERT_TRUE(h.store->Transaction([&](sqlite3* db) {
      return sqlite3_exec(db,
                          "UPDATE users SET dept_id = 'sales' WHERE id = 'bob';"
                          "UPDATE users SET dept_id = 'it' WHERE id = 'amy';",
                          nullptr, nullptr, nullptr) == SQLITE_OK &&
             SaveSendTask(db, sent("bob", QZ_TASK_DONE, 1, 1700000000, 2, 30)) &&
             SaveSendTask(db, sent("bob", QZ_TASK_FAILED, 2, 1700003600, 1, 20)) &&
             SaveSendTask(db, sent("amy", QZ_TASK_DONE, 1, 1700090000, 5, 60)) &&
             SaveSendTask(db, sent("bob", QZ_TASK_QUEUED, 0, 0, 0, 0)) &&
             SaveRecvTask(db, received("amy", "user amy", 1700090100, 3)) &&
             SaveRecvTask(db, received("bob", "department it", 1700090200, 4));
    }));
  }
  std::vector<FAXREPORTROW> Report(const std::string& text, int32_t want = kOk,
                                   FAXREPORTHEADER* header = nullptr) {
    rpc::ServerArgs a = h.Args(83);
    a[2].text = text;
    EXPECT_EQ(static_cast<uint32_t>(h.Run(83, a, h.admin)), static_cast<uint32_t>(want))
        << text << ": " << h.note;
    if (want != kOk || a[3].bytes.size() < sizeof(FAXREPORTHEADER)) return {};
    if (header) *header = RecordAs<FAXREPORTHEADER>(a[3].bytes.data());
    return h.Records<FAXREPORTROW>(
        std::vector<uint8_t>(a[3].bytes.begin() + sizeof(FAXREPORTHEADER), a[3].bytes.end()));
  }
  AdminHarness h;
};

TEST_F(ReportQuery, CountsPagesAndDurationsPerGroup) {
  std::vector<FAXREPORTROW> rows = Report("");
  ASSERT_EQ(rows.size(), 3u);  // per user by default, ordered
  EXPECT_STREQ(rows[0].szKey, "");  // the department's fax has no user
  EXPECT_EQ(rows[0].dwReceived, 1u);
  EXPECT_STREQ(rows[1].szKey, "amy");
  EXPECT_EQ(rows[1].dwFaxes, 2u);
  EXPECT_EQ(rows[1].dwReceived, 1u);
  EXPECT_STREQ(rows[2].szKey, "bob");
  EXPECT_EQ(rows[2].dwSent, 2u);  // not the queued one
  EXPECT_EQ(rows[2].dwFailed, 1u);
  EXPECT_EQ(rows[2].dwPages, 3u);
  EXPECT_EQ(rows[2].dwSeconds, 50u);
  rows = Report("group=day; direction=1");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_STREQ(rows[0].szKey, "2023-11-14");
  EXPECT_EQ(rows[0].dwFaxes, 2u);
  rows = Report("group=line; since=1700003600; until=1700090100");
  ASSERT_EQ(rows.size(), 2u);  // bob's second (line 2) and amy's sent (line 1)
  EXPECT_STREQ(rows[0].szKey, "1");
  EXPECT_EQ(rows[0].dwFaxes, 1u);
  // A template chooses the grouping and adds its condition.
  ASSERT_EQ(Templates(h, 78, 1, Bytes(Template(0, "dept", QZ_REPORT_BY_DEPARTMENT, "ok=1")),
                      h.admin),
            kOk);
  FAXREPORTHEADER head{};
  rows = Report("template=1", kOk, &head);
  EXPECT_EQ(head.dwGroupBy, QZ_REPORT_BY_DEPARTMENT);
  EXPECT_EQ(head.dwRows, 2u);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_STREQ(rows[0].szKey, "it");
  EXPECT_EQ(rows[0].dwFaxes, 3u);  // amy's two and the fax routed to "it"
  EXPECT_EQ(rows[0].dwPages, 12u);
  EXPECT_STREQ(rows[1].szKey, "sales");
  EXPECT_EQ(rows[1].dwFaxes, 1u);  // the failed one is left out
  // Client text is only ever a value.
  EXPECT_TRUE(Report("user=bob' OR '1'='1").empty());
  Report("user=bob; DROP TABLE fax_history", AsResult(kBadCondition));
  Report("group=week", AsResult(kBadCondition));
  Report("template=9", AsResult(kNoSuchRecord));
  EXPECT_EQ(Report("user=bob").size(), 1u);
}

TEST_F(ReportQuery, RightsAndAMissingHistory) {
  User reader = h.AddUser("reader", {0, 0, 0, 0x200});
  User writer = h.AddUser("writer", {0, 0, 0, 0x10});
  rpc::ServerArgs a = h.Args(83);
  EXPECT_EQ(h.Run(83, a, reader), kOk);
  EXPECT_EQ(h.Run(83, a, writer), AsResult(kAccessDenied));
  EXPECT_FALSE(a[3].present);
  h.store->WithDb([](sqlite3* db) { return sqlite3_exec(db, "DROP VIEW fax_history", nullptr, nullptr, nullptr); });
  Report("", AsResult(kNoHistory));
}

}  // namespace
}  // namespace qz::faxd
