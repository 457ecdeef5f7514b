// syslog_config_test.cc -- configuration sections and named values, the
// system log's bound, conditions and backup.
#include "server/syslog_config.h"

#include <fstream>

#include "server/admin_test_support.h"

namespace qz::faxd {
namespace {

using testing::AdminHarness;
using testing::Zeroed;

int32_t SetSection(AdminHarness& h, int32_t section, const std::vector<uint8_t>& data,
                   const User& u) {
  rpc::ServerArgs a = h.Args(68);
  a[2].number = section;
  a[3].bytes = data;
  a[4].number = static_cast<int32_t>(data.size());
  return h.Run(68, a, u);
}

int32_t GetSection(AdminHarness& h, int32_t section, int32_t size, std::vector<uint8_t>* out,
                   const User& u) {
  bool ex = section == 6;
  rpc::ServerArgs a = h.Args(ex ? 63 : 62);
  size_t pos = ex ? 2 : 3;
  if (!ex) a[2].number = section;
  a[pos].bytes.assign(static_cast<size_t>(std::max(size, 0)), 0xEE);
  a[pos + 1].number = size;
  int32_t rc = h.Run(ex ? 63 : 62, a, u);
  *out = a[pos].bytes;
  return rc;
}

TEST(SysConfig, SectionsReadBackByteForByte) {
  AdminHarness h;
  // Every byte patterned, but the text fields end in a NUL and the checked
  // numbers lie in their ranges.
  struct Field {
    size_t offset, width;  // width 0: a 32-bit number set to `value`
    uint32_t value;
  };
  const std::vector<Field> fields[6] = {
      {{0, 64, 0}, {64, 32, 0}, {96, 8, 0}, {104, 8, 0}, {112, 128, 0}, {240, 128, 0}},
      {{0, 0, 20}, {4, 0, 86400}, {8, 0, 100000}, {12, 0, 600}, {16, 0, 255}},
      {{4, 260, 0}, {264, 260, 0}, {524, 260, 0}, {784, 260, 0}},
      {{4, 64, 0}, {70, 40, 0}},
      {{4, 0, 2}, {8, 0, 36500}, {12, 64, 0}},
      {{0, 0, 1000000}, {4, 0, 0}, {8, 0, 2}},
  };
  for (int s = 0; s < 6; ++s) {
    std::vector<uint8_t> data(kConfigSectionSizes[s]);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0x41 + (i * 7 + s) % 50);
    for (const Field& f : fields[s]) {
      if (f.width) data[f.offset + f.width - 1] = 0;
      else PutU32At(data.data() + f.offset, f.value);
    }
    ASSERT_EQ(SetSection(h, s, data, h.admin), kOk) << s << ": " << h.note;
    std::vector<uint8_t> back;
    ASSERT_EQ(GetSection(h, s, static_cast<int32_t>(data.size()) + 8, &back, h.admin), kOk);
    EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.begin() + data.size()), data) << s;
    EXPECT_EQ(std::vector<uint8_t>(back.begin() + data.size(), back.end()),
              std::vector<uint8_t>(8, 0));
  }
  // Section 6 is sections 0..5 at their places.
  std::vector<uint8_t> all, logs;
  ASSERT_EQ(GetSection(h, 6, 4012, &all, h.admin), kOk);
  ASSERT_EQ(GetSection(h, 5, 288, &logs, h.admin), kOk);
  EXPECT_EQ(std::vector<uint8_t>(all.begin() + 2904, all.begin() + 2904 + 288), logs);
}

TEST(SysConfig, SectionSizesRangesAndRights) {
  AdminHarness h;
  User writer = h.AddUser("writer", {0, 0, 0, 0x20});
  User reader = h.AddUser("reader", {0, 0, 0, 0x40});
  auto logs = Zeroed<QZCONFIG_LOGS>();
  std::vector<uint8_t> out;
  struct Case {
    const char* what;
    int32_t section;
    std::vector<uint8_t> data;
    const User* user;
    int32_t want;
  } sets[] = {
      {"section 3 of 110", 3, std::vector<uint8_t>(110, 0), &writer, kOk},
      {"section 3 of 112", 3, std::vector<uint8_t>(112, 0), &writer, AsResult(kBadRecord)},
      {"section 1 of 23", 1, std::vector<uint8_t>(23, 0), &writer, AsResult(kBadRecord)},
      {"section 6", 6, std::vector<uint8_t>(4012, 0), &writer, AsResult(kBadArgument)},
      {"section -1", -1, std::vector<uint8_t>(24, 0), &writer, AsResult(kBadArgument)},
      {"reader writes", 1, std::vector<uint8_t>(24, 0), &reader, AsResult(kAccessDenied)},
      {"max records 1000000", 5, [&] { logs.dwSysLogMaxRecords = 1000000; return testing::Bytes(logs); }(), &writer, kOk},
      {"max records 1000001", 5, [&] { logs.dwSysLogMaxRecords = 1000001; return testing::Bytes(logs); }(), &writer, AsResult(kBadRecord)},
      {"server name without NUL", 0, std::vector<uint8_t>(1560, 'x'), &writer, AsResult(kBadRecord)},
  };
  for (const Case& c : sets)
    EXPECT_EQ(static_cast<uint32_t>(SetSection(h, c.section, c.data, *c.user)),
              static_cast<uint32_t>(c.want))
        << c.what << ": " << h.note;
  EXPECT_EQ(GetSection(h, 0, 1560, &out, reader), kOk);
  EXPECT_EQ(GetSection(h, 0, 1559, &out, reader), AsResult(kBadRecord));
  EXPECT_EQ(GetSection(h, 6, 4011, &out, reader), AsResult(kBadRecord));
  EXPECT_EQ(GetSection(h, 6, 5000, &out, reader), kOk);
  EXPECT_EQ(GetSection(h, 0, 1560, &out, writer), AsResult(kAccessDenied));
}

TEST(SysConfig, NamedValuesWriteTheirFields) {
  AdminHarness h;
  auto named = [&](uint16_t opnum, const std::string& name, const std::string& text,
                   int32_t number) {
    rpc::ServerArgs a = h.Args(opnum);
    a[2].text = name;
    if (opnum == 67) a[3].number = number;
    else a[3].text = text;
    return h.Run(opnum, a, h.admin);
  };
  EXPECT_EQ(named(67, "Retries", "", 20), kOk);
  EXPECT_EQ(named(67, "Retries", "", 21), AsResult(kBadArgument));
  EXPECT_EQ(named(67, "Colour", "", 1), AsResult(kUnknownConfigName));
  EXPECT_EQ(named(65, "Colour", "red", 0), AsResult(kUnknownConfigName));
  EXPECT_EQ(named(65, "Retries", "3", 0), AsResult(kBadArgument));
  EXPECT_EQ(named(65, "StationID", std::string(31, 'S'), 0), kOk);
  EXPECT_EQ(named(65, "StationID", std::string(32, 'S'), 0), AsResult(kBadArgument));
  EXPECT_EQ(named(67, "MailPort", "", 65535), kOk);
  std::vector<uint8_t> out;
  ASSERT_EQ(GetSection(h, 1, 24, &out, h.admin), kOk);
  EXPECT_EQ(RecordAs<QZCONFIG_SENDQUEUE>(out.data()).dwRetries, 20u);
  ASSERT_EQ(GetSection(h, 0, 1560, &out, h.admin), kOk);
  EXPECT_EQ(std::string(RecordAs<QZCONFIG_GENERAL>(out.data()).szStationID), std::string(31, 'S'));
  ASSERT_EQ(GetSection(h, 3, 110, &out, h.admin), kOk);
  EXPECT_EQ(RecordAs<QZCONFIG_NOTIFY>(out.data()).wMailPort, 65535);
  ASSERT_EQ(h.Query(5, "source=configuration", &out), kOk);
  auto log = h.Records<SYSLOG_TABLE>(out);
  ASSERT_EQ(log.size(), 3u);  // only what was written
  EXPECT_STREQ(log[0].szText, "Retries = 20");
}

TEST(SysConfig, SystemLogIsBoundedQueriedDeletedAndBackedUp) {
  AdminHarness h;
  rpc::ServerArgs a = h.Args(67);
  a[2].text = "SysLogMaxRecords";
  a[3].number = 5;
  ASSERT_EQ(h.Run(67, a, h.admin), kOk);
  SystemLog* log = h.context.system_log;
  for (int i = 0; i < 8; ++i) {
    h.clock.now_ms += 1000;
    log->Write(i % 2 ? SystemLog::Level::kError : SystemLog::Level::kInfo, "engine", "bob",
               "event " + std::to_string(i));
  }
  std::vector<uint8_t> out;
  ASSERT_EQ(h.Query(5, "", &out), kOk);
  auto all = h.Records<SYSLOG_TABLE>(out);
  ASSERT_EQ(all.size(), 5u);  // the newest five
  EXPECT_STREQ(all.front().szText, "event 3");
  EXPECT_STREQ(all.back().szText, "event 7");
  ASSERT_EQ(h.Query(5, "level=2; since=" + std::to_string(all[2].dwTime), &out), kOk);
  EXPECT_EQ(h.Records<SYSLOG_TABLE>(out).size(), 2u);  // events 5 and 7
  EXPECT_EQ(h.Query(5, "level=3", &out), AsResult(kBadCondition));

  rpc::ServerArgs b = h.Args(65);
  b[2].text = "SysLogBackup";
  b[3].text = "source=engine";
  ASSERT_EQ(h.Run(65, b, h.admin), kOk) << h.note;
  std::string path = h.context.data_dir + "/backups/syslog-" +
                     std::to_string(h.clock.now_ms / 1000) + ".bin";
  EXPECT_EQ(std::filesystem::file_size(path), 5u * sizeof(SYSLOG_TABLE));

  User reader = h.AddUser("reader", {0, 0, 0, 0x400});
  rpc::ServerArgs d = h.Args(6);
  d[2].text = "user_id=bob";
  EXPECT_EQ(h.Run(6, d, reader), AsResult(kAccessDenied));
  ASSERT_EQ(h.Run(6, d, h.admin), kOk);
  ASSERT_EQ(h.Query(5, "user_id=bob", &out, &reader), kOk);
  EXPECT_TRUE(out.empty());
  // The backup's own entry pushed event 3 out of the five; the deletion is
  // logged itself.
  ASSERT_EQ(h.Query(5, "", &out), kOk);
  auto left = h.Records<SYSLOG_TABLE>(out);
  ASSERT_EQ(left.size(), 2u);
  EXPECT_NE(std::string(left[0].szText).find("system log backup: 5 entries"), std::string::npos);
  EXPECT_NE(std::string(left[1].szText).find("-> 4 deleted"), std::string::npos);
}

}  // namespace
}  // namespace qz::faxd
