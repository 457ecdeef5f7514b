// cover_fields_test.cc -- cover-page fields: who reads and who changes
// them, unique names, bounded texts, and conditions.
#include "server/cover_fields.h"

#include <gtest/gtest.h>

#include "server/admin_test_support.h"

namespace qz::faxd {
namespace {

using testing::AdminHarness;
using testing::Bytes;
using testing::SetText;
using testing::Zeroed;

COVERPAGEFIELD_TABLE Field(const std::string& name, uint32_t type, const std::string& value) {
  auto f = Zeroed<COVERPAGEFIELD_TABLE>();
  f.dwType = type;
  SetText(f.szName, name);
  SetText(f.szValue, value);
  return f;
}

TEST(CoverFields, ChangedByAdministratorsReadByEveryone) {
  AdminHarness h;
  User reader = h.AddUser("rita", {0, 0, 0, 0});
  User almost = h.AddUser("otto", {~0u, ~0u, ~0u, 0});  // every right but administration
  ASSERT_EQ(h.Command(43, 0, Bytes(Field("company", QZ_COVERFIELD_TEXT, "Acme"))), kOk) << h.note;
  ASSERT_EQ(h.Command(43, 0, Bytes(Field("pages", QZ_COVERFIELD_PAGES, ""))), kOk) << h.note;

  COVERPAGEFIELD_TABLE too_long = Field("x", QZ_COVERFIELD_TEXT, "");
  std::memset(too_long.szValue, 'v', sizeof too_long.szValue);  // no terminator
  struct Case {
    const char* what;
    const User* user;
    std::vector<uint8_t> block;
    int32_t expect;
  } cases[] = {
      {"not an administrator", &almost, Bytes(Field("fax", 0, "1")), AsResult(kAccessDenied)},
      {"reader", &reader, Bytes(Field("fax", 0, "1")), AsResult(kAccessDenied)},
      {"name taken", &h.admin, Bytes(Field("company", 0, "Other")), AsResult(kDuplicate)},
      {"no name", &h.admin, Bytes(Field("", 0, "1")), AsResult(kBadArgument)},
      {"last type", &h.admin, Bytes(Field("date", QZ_COVERFIELD_PAGES, "")), kOk},
      {"first type past", &h.admin, Bytes(Field("t3", QZ_COVERFIELD_PAGES + 1, "")),
       AsResult(kBadRecord)},
      {"value unterminated", &h.admin, Bytes(too_long), AsResult(kBadRecord)},
  };
  for (const Case& c : cases)
    EXPECT_EQ(h.Command(43, 0, c.block, c.user), c.expect) << c.what << ": " << h.note;

  std::vector<uint8_t> out;
  ASSERT_EQ(h.Query(41, "", &out, &reader), kOk) << h.note;
  ASSERT_EQ(out.size(), 3 * sizeof(COVERPAGEFIELD_TABLE));
  auto first = RecordAs<COVERPAGEFIELD_TABLE>(out.data());
  EXPECT_STREQ(first.szName, "company");
  EXPECT_STREQ(first.szValue, "Acme");
  ASSERT_EQ(h.Query(41, "type=2", &out, &reader), kOk) << h.note;
  ASSERT_EQ(out.size(), 2 * sizeof(COVERPAGEFIELD_TABLE));
  EXPECT_STREQ(RecordAs<COVERPAGEFIELD_TABLE>(out.data()).szName, "pages");

  // Changed, then deleted, by identifier.
  ASSERT_EQ(h.Query(41, "name=company", &out, &reader), kOk) << h.note;
  ASSERT_EQ(out.size(), sizeof(COVERPAGEFIELD_TABLE));
  auto company = RecordAs<COVERPAGEFIELD_TABLE>(out.data());
  SetText(company.szValue, "Acme Ltd");
  ASSERT_EQ(h.Command(43, 1, Bytes(company)), kOk) << h.note;
  ASSERT_EQ(h.Query(41, "name=company", &out), kOk);
  EXPECT_STREQ(RecordAs<COVERPAGEFIELD_TABLE>(out.data()).szValue, "Acme Ltd");
  ASSERT_EQ(h.Command(43, 2, Bytes(company)), kOk) << h.note;
  ASSERT_EQ(h.Query(41, "", &out), kOk);
  EXPECT_EQ(out.size(), 2 * sizeof(COVERPAGEFIELD_TABLE));
}

}  // namespace
}  // namespace qz::faxd
