// lines_test.cc -- lines, limitation rules, live status and scripts, and
// what the Telephony hook answers the engine from them.
#include "server/lines.h"

#include <fstream>
#include <sstream>

#include "server/admin_test_support.h"

namespace qz::faxd {
namespace {

using testing::AdminHarness;
using testing::Bytes;
using testing::SetText;
using testing::Zeroed;

PORTINFO_TABLE Line(uint32_t id, const char* number, uint32_t state) {
  auto p = Zeroed<PORTINFO_TABLE>();
  p.dwPortID = id;
  p.dwState = state;
  p.dwFlags = QZ_PORT_SEND | QZ_PORT_RECEIVE;
  SetText(p.szNumber, number);
  SetText(p.szName, std::string("line ") + number);
  return p;
}

LINECHECK_TABLE Rule(uint32_t port, uint32_t action, uint32_t from, uint32_t to,
                     const char* prefix) {
  auto r = Zeroed<LINECHECK_TABLE>();
  r.dwPortID = port;
  r.dwAction = action;
  r.dwFromMinute = from;
  r.dwToMinute = to;
  SetText(r.szPrefix, prefix);
  return r;
}

int32_t SetPorts(AdminHarness& h, const std::vector<uint8_t>& block, const User& u) {
  rpc::ServerArgs a = h.Args(35);
  a[2].bytes = block;
  a[3].number = static_cast<int32_t>(block.size());
  return h.Run(35, a, u);
}

TEST(Lines, LimitationRulesAndServiceDecideWhatALineMayDial) {
  AdminHarness h;
  std::vector<uint8_t> lines = Bytes(Line(0, "100", QZ_PORT_IN_SERVICE));
  AppendRecord(&lines, Line(0, "200", QZ_PORT_OUT_OF_SERVICE));
  AppendRecord(&lines, Line(0, "300", QZ_PORT_IN_SERVICE));
  ASSERT_EQ(SetPorts(h, lines, h.admin), kOk) << h.note;
  // Line 1 may dial 0049 numbers from 08:00 to 18:00 only; nobody 0900.
  std::vector<uint8_t> rules = Bytes(Rule(1, QZ_LINECHECK_ALLOW, 480, 1080, "0049"));
  AppendRecord(&rules, Rule(0, QZ_LINECHECK_DENY, 0, 0, "0900"));
  AppendRecord(&rules, Rule(3, QZ_LINECHECK_DENY, 1380, 60, ""));  // 23:00..01:00
  ASSERT_EQ(h.Command(34, 0, rules), kOk) << h.note;

  Telephony* t = h.context.telephony;
  ASSERT_NE(t, nullptr);
  std::vector<LineView> views = t->Lines();
  ASSERT_EQ(views.size(), 3u);
  EXPECT_TRUE(views[0].in_service);
  EXPECT_FALSE(views[1].in_service);
  EXPECT_EQ(views[2].number, "300");

  const int64_t day = 1699920000000;  // a midnight (UTC), in ms
  struct Case {
    uint32_t line;
    const char* number;
    int64_t minute;
    bool may;
  } cases[] = {
      {1, "0049 30 1234", 480, true},   // first minute of the window
      {1, "0049-30-1234", 479, false},  // the minute before
      {1, "0049301234", 1079, true},    // last minute
      {1, "0049301234", 1080, false},   // the end is exclusive
      {1, "0033123", 600, false},       // no allow rule matches
      {2, "0049301234", 600, false},    // out of service
      {3, "0800123", 600, true},        // no rule for it
      {3, "0900123", 600, false},       // the rule of every line
      {3, "0800123", 1380, false},      // a window across midnight: start
      {3, "0800123", 59, false},        //   and its last minute
      {3, "0800123", 60, true},         //   and after it
      {99, "0800123", 600, false},      // no such line
  };
  for (const Case& c : cases)
    EXPECT_EQ(t->MayDial(c.line, c.number, day + c.minute * 60000), c.may)
        << c.line << " " << c.number << " minute " << c.minute;
}

TEST(Lines, SizesRangesAndRightsOfTheWriteProcedures) {
  AdminHarness h;
  User lines_only = h.AddUser("lines", {0, 0, 0, 0x4});
  User readers = h.AddUser("reader", {0, 0, 0, 0x8});
  std::vector<uint8_t> one = Bytes(Line(0, "100", QZ_PORT_IN_SERVICE));
  std::vector<uint8_t> unterminated = one;
  std::memset(unterminated.data() + 20, '7', 32);  // szNumber without its NUL
  struct Case {
    const char* what;
    uint16_t opnum;
    std::vector<uint8_t> block;
    const User* user;
    int32_t want;
  } cases[] = {
      {"one line", 35, one, &lines_only, kOk},
      {"a byte short", 35, std::vector<uint8_t>(one.begin(), one.end() - 1), &h.admin,
       AsResult(kBadRecord)},
      {"a byte over", 35, [&] { auto b = one; b.push_back(0); return b; }(), &h.admin,
       AsResult(kBadRecord)},
      {"number without NUL", 35, unterminated, &h.admin, AsResult(kBadRecord)},
      {"only the reading bit", 35, one, &readers, AsResult(kAccessDenied)},
      {"rule from 1439", 34, Bytes(Rule(0, 0, 1439, 1440, "")), &lines_only, kOk},
      {"rule from 1440", 34, Bytes(Rule(0, 0, 1440, 1440, "")), &h.admin, AsResult(kBadRecord)},
      {"rule to 1441", 34, Bytes(Rule(0, 0, 0, 1441, "")), &h.admin, AsResult(kBadRecord)},
      {"action 2", 34, Bytes(Rule(0, 2, 0, 0, "")), &h.admin, AsResult(kBadRecord)},
      {"rule by a reader", 34, Bytes(Rule(0, 0, 0, 0, "")), &readers, AsResult(kAccessDenied)},
  };
  for (const Case& c : cases) {
    int32_t rc = c.opnum == 35 ? SetPorts(h, c.block, *c.user)
                               : h.Command(c.opnum, 0, c.block, c.user);
    EXPECT_EQ(static_cast<uint32_t>(rc), static_cast<uint32_t>(c.want)) << c.what << ": " << h.note;
  }
  std::vector<uint8_t> out;
  EXPECT_EQ(h.Query(71, "", &out, &readers), kOk);
  EXPECT_EQ(h.Records<PORTINFO_TABLE>(out).size(), 1u);
  EXPECT_EQ(h.Query(71, "", &out, &lines_only), AsResult(kAccessDenied));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(h.Query(71, "number=100;state=1", &out), kOk);
  EXPECT_EQ(out.size(), sizeof(PORTINFO_TABLE));
  EXPECT_EQ(h.Query(71, "number=100' OR 1=1 --", &out), kOk);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(h.Query(71, "colour=red", &out), AsResult(kBadCondition));
  // Changing a line that is not there changes nothing.
  EXPECT_EQ(SetPorts(h, Bytes(Line(7, "700", QZ_PORT_IN_SERVICE)), h.admin),
            AsResult(kNoSuchRecord));
}

TEST(Lines, StoppedLineAndEngineReportsShowInTheLiveStatus) {
  AdminHarness h;
  std::vector<uint8_t> lines = Bytes(Line(0, "100", QZ_PORT_IN_SERVICE));
  AppendRecord(&lines, Line(0, "200", QZ_PORT_IN_SERVICE));
  ASSERT_EQ(SetPorts(h, lines, h.admin), kOk);
  h.context.telephony->ReportLineState(1, "dialing 0049301234");
  rpc::ServerArgs stop = h.Args(36);
  stop[2].bytes = Bytes(Line(2, "", 0));
  stop[3].number = sizeof(PORTINFO_TABLE);
  ASSERT_EQ(h.Run(36, stop, h.admin), kOk) << h.note;
  EXPECT_FALSE(h.context.telephony->MayDial(2, "1", h.clock.now_ms));

  User nobody = h.AddUser("nobody", {0, 0, 0, 0});
  rpc::ServerArgs real = h.Args(37);
  ASSERT_EQ(h.Run(37, real, nobody), kOk);  // no right needed
  auto states = h.Records<PORT_CURRENT_STATUS>(real[2].bytes);
  ASSERT_EQ(states.size(), 2u);
  EXPECT_EQ(states[0].dwState, QZ_LINESTATE_BUSY);
  EXPECT_STREQ(states[0].szActivity, "dialing 0049301234");
  EXPECT_EQ(states[0].dwSince, h.clock.now_ms / 1000);
  EXPECT_EQ(states[1].dwState, QZ_LINESTATE_OUT_OF_SERVICE);

  std::vector<uint8_t> log;
  ASSERT_EQ(h.Query(5, "source=lines", &log), kOk);
  auto entries = h.Records<SYSLOG_TABLE>(log);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_STREQ(entries[1].szText, "line 1: dialing 0049301234");
  EXPECT_STREQ(entries[2].szText, "line 2 out of service");
  EXPECT_STREQ(entries[2].szUserID, "admin");
}

TEST(Lines, ADatabaseWithoutLinesGetsTheSimulatedOnes) {
  AdminHarness h;
  ASSERT_TRUE(SeedLinesIfNone(h.store.get(), 2, 8001));
  std::vector<LineView> lines = h.context.telephony->Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].id, 2u);
  EXPECT_EQ(lines[1].number, "8002");
  EXPECT_TRUE(lines[1].in_service);
  // Once there are lines (even fewer), nothing is added.
  rpc::ServerArgs a = h.Args(35);
  a[2].bytes = Bytes(Line(1, "8001", QZ_PORT_REMOVE));
  a[3].number = sizeof(PORTINFO_TABLE);
  ASSERT_EQ(h.Run(35, a, h.admin), kOk);
  ASSERT_TRUE(SeedLinesIfNone(h.store.get(), 2, 8001));
  EXPECT_EQ(h.context.telephony->Lines().size(), 1u);
}

TEST(Lines, ScriptsAreStoredFiles) {
  AdminHarness h;
  auto script = [](uint32_t id, const std::string& text, const char* name = "dial.scr") {
    auto s = Zeroed<SCRIPTINFO>();
    s.dwLength = static_cast<uint32_t>(sizeof s + text.size());
    s.dwScriptID = id;
    SetText(s.szName, name);
    std::vector<uint8_t> b = Bytes(s);
    b.insert(b.end(), text.begin(), text.end());
    return b;
  };
  ASSERT_EQ(h.Command(39, 1, script(0, "ATDT\n")), kOk) << h.note;
  std::string path = ScriptPath(h.context.data_dir, "dial.scr");
  std::ifstream in(path);
  std::stringstream got;
  got << in.rdbuf();
  EXPECT_EQ(got.str(), "ATDT\n");
  std::vector<uint8_t> list;
  ASSERT_EQ(h.Query(38, "", &list), kOk);
  auto scripts = h.Records<SCRIPTINFO>(list);
  ASSERT_EQ(scripts.size(), 1u);
  EXPECT_EQ(scripts[0].dwLength, 104u);
  EXPECT_EQ(scripts[0].dwSize, 5u);

  std::vector<uint8_t> short_one = script(0, "");
  short_one[0] = 103;  // below the fixed part
  EXPECT_EQ(h.Command(39, 1, short_one), AsResult(kBadRecord));
  EXPECT_EQ(h.Command(39, 2, script(1, "")), AsResult(kBadArgument));
  EXPECT_EQ(h.Command(39, 1, script(0, "x", "../escape")), AsResult(kBadArgument));
  EXPECT_EQ(h.Command(39, 1, script(0, "x", ".hidden")), AsResult(kBadArgument));
  EXPECT_EQ(h.Command(39, 1, script(0, "x")), AsResult(kDuplicate));  // the name is taken
  // dwSize follows the file when it is replaced or removed behind the record.
  for (auto [text, size] : {std::pair<std::string, uint32_t>{"ATDT 5550100\n", 13}, {"", 0}}) {
    if (size != 0)
      std::ofstream(path) << text;
    else
      std::filesystem::remove(path);
    ASSERT_EQ(h.Query(38, "", &list), kOk);
    EXPECT_EQ(h.Records<SCRIPTINFO>(list).at(0).dwSize, size);
  }
  // Renaming moves the file.
  ASSERT_EQ(h.Command(39, 1, script(1, "ATDP\n", "pulse.scr")), kOk) << h.note;
  EXPECT_FALSE(std::filesystem::exists(path));
  path = ScriptPath(h.context.data_dir, "pulse.scr");
  EXPECT_EQ(std::filesystem::file_size(path), 5u);
  User lines_only = h.AddUser("lines", {0, 0, 0, 0x4});
  EXPECT_EQ(h.Command(39, 1, script(0, "x"), &lines_only), AsResult(kAccessDenied));
  std::vector<uint8_t> ids(4, 0);
  ids[0] = 1;
  ASSERT_EQ(h.Command(39, 3, ids), kOk) << h.note;
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(h.Command(39, 3, ids), AsResult(kNoSuchRecord));
}

}  // namespace
}  // namespace qz::faxd
