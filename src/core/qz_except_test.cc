// qz_except_test.cc -- the error record's rules.
#include "core/qz_except.h"

#include <gtest/gtest.h>

#include <string>

#include "core/error_text.h"
#include "qzcsif/qzcsif.h"

namespace qz {
namespace {

TEST(QzExcept, RepeatedCodeKeepsFirstText) {
  qz_except e;
  EXPECT_EQ(e.GetErrorCode(), 0u);
  EXPECT_EQ(e.GetErrorText(), nullptr);
  EXPECT_EQ(e.SetError(0xC1FF3001u, "first"), 1u);
  EXPECT_EQ(e.SetError(0xC1FF3001u, "second"), 1u);
  EXPECT_STREQ(e.GetErrorText(), "first");
  e.SetError(1722, "other");
  EXPECT_EQ(e.GetErrorCode(), 1722u);
  EXPECT_STREQ(e.GetErrorText(), "other");
}

TEST(QzExcept, CodeZeroClears) {
  qz_except e(5, "x");
  e.SetError(0, "ignored");
  EXPECT_EQ(e.GetErrorCode(), 0u);
  EXPECT_EQ(e.GetErrorText(), nullptr);
}

TEST(QzExcept, TextFromLookupWhenNoneGiven) {
  struct Case {
    uint32_t code;
    const char* text;
  } cases[] = {
      {5, "Access is denied."},
      {1722, "The RPC server is unavailable."},
      {QZ_E_NOTLOGGEDIN, "The session is not logged in to the fax server."},
      {0x23000001u, ""},  // facility nibble 3: no text
  };
  for (const Case& c : cases) {
    qz_except with_null(c.code, nullptr);
    ASSERT_NE(with_null.GetErrorText(), nullptr) << c.code;
    EXPECT_STREQ(with_null.GetErrorText(), c.text) << c.code;
    qz_except with_empty(c.code, "");
    EXPECT_STREQ(with_empty.GetErrorText(), c.text) << c.code;
  }
}

TEST(QzExcept, CopyAndAssign) {
  qz_except none;
  qz_except copy_of_none(none);
  ASSERT_NE(copy_of_none.GetErrorText(), nullptr);  // copies as an empty text
  EXPECT_STREQ(copy_of_none.GetErrorText(), "");

  qz_except a(0xC1FF300Cu, "denied");
  qz_except b(a);
  EXPECT_EQ(b.GetErrorCode(), 0xC1FF300Cu);
  EXPECT_STREQ(b.GetErrorText(), "denied");
  EXPECT_NE(b.GetErrorText(), a.GetErrorText());  // its own buffer

  qz_except c(7, "seven");
  c = a;
  EXPECT_EQ(c.GetErrorCode(), 0xC1FF300Cu);
  EXPECT_STREQ(c.GetErrorText(), "denied");
  c = none;
  EXPECT_EQ(c.GetErrorCode(), 0u);
  EXPECT_EQ(c.GetErrorText(), nullptr);
  c = c;  // self-assignment keeps the record
  EXPECT_EQ(c.GetErrorCode(), 0u);
}

TEST(QzExcept, ThrowStatus) {
  try {
    ThrowStatus(QZ_E_TRACEFAILED);
    FAIL() << "did not throw";
  } catch (const qz_except& e) {
    EXPECT_EQ(e.GetErrorCode(), QZ_E_TRACEFAILED);
    EXPECT_STREQ(e.GetErrorText(),
                 "An error occurred while the call trace log was being written.");
  }
}

}  // namespace
}  // namespace qz
