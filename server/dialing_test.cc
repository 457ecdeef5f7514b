// dialing_test.cc -- dial rules and the prefix table as the engine dials
// them, routing of received faxes, authorization entries, printers and the
// record walks of the call-handling procedures.
#include "server/dialing.h"

#include "server/admin_test_support.h"
#include "server/sql.h"

namespace qz::faxd {
namespace {

using testing::AdminHarness;
using testing::Bytes;
using testing::SetText;
using testing::Zeroed;

DIALRULE_TABLE DialRule(uint32_t port, uint32_t priority, const char* match, uint32_t strip,
                        const char* prepend) {
  auto r = Zeroed<DIALRULE_TABLE>();
  r.dwLength = sizeof r;
  r.dwPortID = port;
  r.dwPriority = priority;
  SetText(r.szMatch, match);
  r.dwStrip = strip;
  SetText(r.szPrepend, prepend);
  return r;
}

PREFIXINFO_TABLE Prefix(uint32_t kind, const char* prefix) {
  auto p = Zeroed<PREFIXINFO_TABLE>();
  p.dwLength = sizeof p;
  p.dwKind = kind;
  SetText(p.szPrefix, prefix);
  return p;
}

ROUTERCONFIG_TABLE Route(uint32_t port, const char* number, uint32_t kind, const char* target,
                         uint32_t priority = 0) {
  auto r = Zeroed<ROUTERCONFIG_TABLE>();
  r.dwPortID = port;
  SetText(r.szNumber, number);
  r.dwTargetKind = kind;
  SetText(r.szTarget, target);
  r.dwPriority = priority;
  r.dwEnabled = 1;
  return r;
}

TEST(Dialing, PrefixTableAndDialRulesMakeTheDialledDigits) {
  AdminHarness h;
  std::vector<uint8_t> prefixes = Bytes(Prefix(QZ_PREFIX_OUTSIDE_LINE, "0"));
  AppendRecord(&prefixes, Prefix(QZ_PREFIX_LOCAL_AREA, "030"));
  AppendRecord(&prefixes, Prefix(QZ_PREFIX_INTERNAL, "7"));
  ASSERT_EQ(h.Command(52, 3, prefixes), kOk) << h.note;
  std::vector<uint8_t> rules = Bytes(DialRule(0, 5, "+", 1, "00"));  // +49... -> 0049...
  AppendRecord(&rules, DialRule(2, 1, "+49", 3, "0"));               // line 2: national
  AppendRecord(&rules, DialRule(0, 9, "", 0, ""));                   // every number as it is
  ASSERT_EQ(h.Command(54, 0, rules), kOk) << h.note;
  Telephony* t = h.context.telephony;
  struct Case {
    uint32_t line;
    const char* number;
    const char* dialled;
  } cases[] = {
      {1, "+49 40 1234", "0004940 1234"},  // rule +: strip 1, put 00; then the outside line
      {2, "+49 40 1234", "00401234"},      // line 2's own rule comes first (priority 1)
      {1, "030 123456", "0123456"},        // the local area code goes
      {1, "030", "0030"},                  // but not when it is the whole number
      {1, "7123", "7123"},                 // internal: no outside line
      {1, "(040) 55-66", "0040 5566"},     // punctuation removed
  };
  for (const Case& c : cases) {
    std::string want = c.dialled;
    want.erase(std::remove(want.begin(), want.end(), ' '), want.end());
    EXPECT_EQ(t->DialString(c.line, c.number), want) << c.line << " " << c.number;
  }
}

TEST(Dialing, LengthPrefixedListsAreWalkedWithinTheBlock) {
  AdminHarness h;
  User dialer = h.AddUser("dialer", {0, 0, 0, 0x1000});
  User reader = h.AddUser("reader", {0, 0, 0, 0x2000});
  std::vector<uint8_t> two = Bytes(DialRule(0, 1, "1", 0, ""));
  AppendRecord(&two, DialRule(0, 2, "2", 0, ""));
  std::vector<uint8_t> longer = Bytes(DialRule(0, 1, "1", 0, ""));
  longer[0] = 148 + 20;  // a record with 20 bytes after its fixed part
  longer.resize(168, 0xAB);
  std::vector<uint8_t> overrun = two;
  overrun[148] = 149;  // the second length runs one byte past the block
  std::vector<uint8_t> short_rec = two;
  short_rec[0] = 147;
  struct Case {
    const char* what;
    std::vector<uint8_t> block;
    const User* user;
    int32_t want;
  } cases[] = {
      {"two records", two, &dialer, kOk},
      {"extra bytes kept", longer, &dialer, kOk},
      {"length past the block", overrun, &dialer, AsResult(kBadRecord)},
      {"length below the fixed part", short_rec, &dialer, AsResult(kBadRecord)},
      {"strip 32", Bytes(DialRule(0, 1, "", 32, "")), &dialer, AsResult(kBadRecord)},
      {"reading bit only", two, &reader, AsResult(kAccessDenied)},
  };
  for (const Case& c : cases)
    EXPECT_EQ(static_cast<uint32_t>(h.Command(54, 0, c.block, c.user)),
              static_cast<uint32_t>(c.want))
        << c.what << ": " << h.note;
  EXPECT_EQ(h.Command(54, 4, two), AsResult(kBadArgument));
  std::vector<uint8_t> out;
  ASSERT_EQ(h.Query(53, "", &out, &reader), kOk);
  EXPECT_EQ(out.size(), 2 * 148u + 168u);
  EXPECT_EQ(std::vector<uint8_t>(out.end() - 20, out.end()), std::vector<uint8_t>(20, 0xAB));
  EXPECT_EQ(h.Query(53, "", &out, &dialer), AsResult(kAccessDenied));
}

TEST(Dialing, RoutingSendsReceivedFaxesToTheirDestinations) {
  AdminHarness h;
  h.AddUser("bob", {0, 0, 0, 0});
  std::vector<uint8_t> routes = Bytes(Route(0, "555-100", QZ_ROUTE_DEPARTMENT, "sales", 2));
  AppendRecord(&routes, Route(0, "555100", QZ_ROUTE_PRINTER, "hall", 1));
  AppendRecord(&routes, Route(3, "", QZ_ROUTE_USER, "bob"));
  ASSERT_EQ(h.Command(59, 0, routes), kOk) << h.note;
  auto recv = Zeroed<FAXAUTORECVINFO_TABLE>();
  recv.dwEnabled = 1;
  SetText(recv.szNumber, "555100");
  ASSERT_EQ(h.Command(56, 0, Bytes(recv)), kOk) << h.note;

  ReceivedFax fax;
  fax.recv_task_id = 12;
  fax.line_id = 1;
  fax.line_number = "555100";
  fax.sender_number = "0401234";
  fax.pages = 3;
  fax.time_ms = h.clock.now_ms;
  std::vector<Destination> to = h.context.routing->Route(fax);
  ASSERT_EQ(to.size(), 2u);
  EXPECT_EQ(to[0].kind, Destination::Kind::kPrinter);  // priority 1 first
  EXPECT_EQ(to[1].kind, Destination::Kind::kDepartment);
  EXPECT_EQ(to[1].id, "sales");
  fax.line_id = 3;
  fax.line_number = "555300";
  to = h.context.routing->Route(fax);
  ASSERT_EQ(to.size(), 1u);
  EXPECT_EQ(to[0].id, "bob");
  fax.line_id = 4;
  EXPECT_TRUE(h.context.routing->Route(fax).empty());

  // Only the fax on the covered number is in the reception history.
  std::vector<uint8_t> out;
  ASSERT_EQ(h.Query(85, "", &out), kOk);
  auto history = h.Records<AUTORECVHISTORY_TABLE>(out);
  ASSERT_EQ(history.size(), 1u);
  EXPECT_STREQ(history[0].szDestination, "printer:hall; department:sales");
  EXPECT_EQ(history[0].dwPages, 3u);
  ASSERT_EQ(h.Query(5, "source=routing", &out), kOk);
  auto log = h.Records<SYSLOG_TABLE>(out);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_NE(std::string(log[2].szText).find("no route"), std::string::npos);
  EXPECT_EQ(log[2].dwLevel, 1u);
  int64_t jobs = h.store->WithDb([](sqlite3* db) {
    Stmt q(db, "SELECT count(*) FROM print_jobs WHERE printer = 'hall' AND recv_task_id = 12");
    return q.Step() == SQLITE_ROW ? q.Int(0) : -1;
  });
  EXPECT_EQ(jobs, 1);

  // Command 3 deletes by identifier; a user target must exist.
  std::vector<uint8_t> ids(8, 0);
  ids[0] = 1;
  ids[4] = 2;
  ASSERT_EQ(h.Command(59, 3, ids), kOk) << h.note;
  EXPECT_EQ(h.Command(59, 3, ids), AsResult(kNoSuchRecord));
  EXPECT_EQ(h.Command(59, 0, Bytes(Route(0, "", QZ_ROUTE_USER, "carol"))), AsResult(kNoSuchRecord));
  User router = h.AddUser("router", {0, 0, 0, 0x80});
  User viewer = h.AddUser("viewer", {0, 0, 0, 0x100});
  EXPECT_EQ(h.Command(59, 0, Bytes(Route(0, "", QZ_ROUTE_PRINTER, "p")), &router), kOk);
  EXPECT_EQ(h.Command(59, 0, Bytes(Route(0, "", QZ_ROUTE_PRINTER, "p")), &viewer),
            AsResult(kAccessDenied));
  EXPECT_EQ(h.Query(58, "target_kind=2", &out, &viewer), kOk);
  EXPECT_EQ(out.size(), sizeof(ROUTERCONFIG_TABLE));
}

TEST(Dialing, AuthorizationEntriesDecideWhoseFaxesWait) {
  AdminHarness h;
  h.AddUser("bob", {0, 0, 0, 0});
  h.AddUser("eve", {0, 0, 0, 0});
  auto entry = [](const char* user, uint32_t flags) {
    auto a = Zeroed<AUTHORIZEDINFO_TABLE>();
    SetText(a.szUserID, user);
    a.dwFlags = flags;
    return a;
  };
  std::vector<uint8_t> entries = Bytes(entry("bob", QZ_AUTH_HOLD));
  AppendRecord(&entries, entry("eve", 0));
  ASSERT_EQ(entries.size(), 68u);  // records every 34 bytes
  User auth_only = h.AddUser("auth", {0, 0, 0, 0x20000});
  ASSERT_EQ(h.Command(61, 0, entries, &auth_only), kOk) << h.note;
  Telephony* t = h.context.telephony;
  EXPECT_TRUE(t->NeedsAuthorization("bob"));
  EXPECT_FALSE(t->NeedsAuthorization("eve"));
  EXPECT_FALSE(t->NeedsAuthorization("admin"));
  EXPECT_EQ(h.Command(61, 0, Bytes(entry("bob", 0))), AsResult(kDuplicate));
  EXPECT_EQ(h.Command(61, 0, Bytes(entry("nobody", 1))), AsResult(kNoSuchRecord));
  EXPECT_EQ(h.Command(61, 0, std::vector<uint8_t>(35, 0)), AsResult(kBadRecord));
  EXPECT_EQ(h.Command(61, 0, Bytes(entry("bob", 2))), AsResult(kBadRecord));
  // Command 1 changes by the identifier the server gave (offset 24).
  std::vector<uint8_t> out;
  ASSERT_EQ(h.Query(60, "user_id=bob", &out), kOk);
  ASSERT_EQ(out.size(), 34u);
  auto bob = RecordAs<AUTHORIZEDINFO_TABLE>(out.data());
  EXPECT_EQ(bob.dwEntryID, 1u);
  bob.dwFlags = 0;
  ASSERT_EQ(h.Command(61, 1, Bytes(bob)), kOk) << h.note;
  EXPECT_FALSE(t->NeedsAuthorization("bob"));
  EXPECT_EQ(h.Command(61, 0, entries, &h.admin), AsResult(kDuplicate));
  User reader = h.AddUser("reader", {0, 0, 0, 0x2000});
  EXPECT_EQ(h.Command(61, 3, entries, &reader), AsResult(kAccessDenied));
}

TEST(Dialing, PrintersComeFromTheConfiguredList) {
  AdminHarness h;
  auto pair = [&](const char* name, const char* value) {
    rpc::ServerArgs a = h.Args(66);
    a[2].text = name;
    a[3].text = value;
    return h.Run(66, a, h.admin);
  };
  ASSERT_EQ(pair("printer:hall", "ground floor|Laser"), kOk);
  ASSERT_EQ(pair("printer:office", "first floor"), kOk);
  User nobody = h.AddUser("nobody", {0, 0, 0, 0});
  rpc::ServerArgs a = h.Args(72);
  ASSERT_EQ(h.Run(72, a, nobody), kOk);
  auto printers = h.Records<PRINTERINFO>(a[2].bytes);
  ASSERT_EQ(printers.size(), 2u);
  EXPECT_STREQ(printers[0].szName, "hall");
  EXPECT_STREQ(printers[0].szLocation, "ground floor");
  EXPECT_STREQ(printers[0].szDescription, "Laser");
  EXPECT_EQ(printers[0].dwFlags, QZ_PRINTER_DEFAULT);
  EXPECT_EQ(printers[1].dwPrinterID, 2u);
  ASSERT_EQ(pair("printer:hall", ""), kOk);  // an empty value removes it
  ASSERT_EQ(h.Run(72, a, nobody), kOk);
  EXPECT_EQ(a[3].number, static_cast<int32_t>(sizeof(PRINTERINFO)));
}

}  // namespace
}  // namespace qz::faxd
