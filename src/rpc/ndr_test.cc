// ndr_test.cc -- tests of the NDR cursors and the UUID text form.
#include "rpc/ndr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

namespace qz::rpc {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(UuidTest, ParseAndFormat) {
  auto u = Uuid::Parse("{0A382C88-ff39-419c-a696-022f6e695506}");
  ASSERT_TRUE(u.has_value());
  EXPECT_EQ(u->data1, 0x0a382c88u);
  EXPECT_EQ(u->data2, 0xff39);
  EXPECT_EQ(u->data3, 0x419c);
  EXPECT_EQ(u->data4[0], 0xa6);
  EXPECT_EQ(u->data4[7], 0x06);
  EXPECT_EQ(u->ToString(), "0a382c88-ff39-419c-a696-022f6e695506");
  EXPECT_FALSE(u->IsNil());
  EXPECT_TRUE(Uuid{}.IsNil());
  EXPECT_EQ(Uuid{}.ToString(), "00000000-0000-0000-0000-000000000000");
}

TEST(UuidTest, RejectsMalformedText) {
  const char* bad[] = {
      "",
      "0a382c88-ff39-419c-a696-022f6e69550",    // short
      "0a382c88-ff39-419c-a696-022f6e6955066",  // long
      "0a382c88-ff39-419c-a696022f6e6955066",   // missing dash
      "0a382c88xff39-419c-a696-022f6e695506",   // wrong separator
      "0a382c88-ff39-419c-a696-022f6e69550g",   // not hex
      "{0a382c88-ff39-419c-a696-022f6e695506",  // unbalanced brace
      "0a382c88-ff39-419c-a6-96022f6e695506",   // dash in the wrong place
  };
  for (const char* t : bad) EXPECT_FALSE(Uuid::Parse(t).has_value()) << t;
}

TEST(UuidTest, NdrSyntax) {
  EXPECT_EQ(NdrSyntax().uuid.ToString(), "8a885d04-1ceb-11c9-9fe8-08002b104860");
  EXPECT_EQ(NdrSyntax().major, 2);
  EXPECT_EQ(NdrSyntax().minor, 0);
}

TEST(NdrPushTest, PrimitivesAlignToTheirSizeFromTheStubStart) {
  Bytes out = {0xEE, 0xEE, 0xEE};  // a header before the stub: alignment ignores it
  NdrPush p(&out);
  p.U8(1);
  p.U16(0x0302);
  p.U32(0x07060504);
  p.U8(8);
  p.U64(0x1817161514131211ull);
  p.I32(-2);
  EXPECT_EQ(p.size(), 28u);
  Bytes want = {0xEE, 0xEE, 0xEE,
                1, 0, 2, 3, 4, 5, 6, 7,            // u8, pad, u16, u32
                8, 0, 0, 0, 0, 0, 0, 0,            // u8, pad to 8
                0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18,
                0xFE, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(out, want);
}

TEST(NdrPushTest, StringsAndUuid) {
  NdrPush p;
  p.U8(0xAA);
  p.String("ab");
  p.VaryingString("");
  p.Uuid(*Uuid::Parse("7be8ea54-c9fb-4029-8965-c8036308a01f"));
  Bytes want = {0xAA, 0, 0, 0,
                3, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 'a', 'b', 0, 0,  // max, off, actual, chars, pad
                0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,                   // off, actual, NUL, pad
                0x54, 0xea, 0xe8, 0x7b, 0xfb, 0xc9, 0x29, 0x40,
                0x89, 0x65, 0xc8, 0x03, 0x63, 0x08, 0xa0, 0x1f};
  EXPECT_EQ(p.Take(), want);
}

TEST(NdrPullTest, ReadsLittleAndBigEndian) {
  Bytes le = {1, 0, 2, 3, 4, 5, 6, 7};
  NdrPull a(le, Drep::Little());
  uint8_t b8;
  uint16_t b16;
  uint32_t b32;
  ASSERT_TRUE(a.U8(&b8));
  ASSERT_TRUE(a.U16(&b16));
  ASSERT_TRUE(a.U32(&b32));
  EXPECT_EQ(b16, 0x0302);
  EXPECT_EQ(b32, 0x07060504u);
  EXPECT_EQ(a.remaining(), 0u);

  Bytes be = {0, 0, 0, 0, 0, 0, 0, 0x2A, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0};
  NdrPull b(be, Drep::Big());
  uint32_t v;
  double d;
  ASSERT_TRUE(b.U32(&v));
  ASSERT_TRUE(b.U32(&v));
  EXPECT_EQ(v, 42u);
  ASSERT_TRUE(b.F64(&d));
  EXPECT_EQ(d, 1.0);

  Bytes ubytes = {0x7b, 0xe8, 0xea, 0x54, 0xc9, 0xfb, 0x40, 0x29,
                  0x89, 0x65, 0xc8, 0x03, 0x63, 0x08, 0xa0, 0x1f};
  NdrPull c(ubytes, Drep::Big());
  Uuid u;
  ASSERT_TRUE(c.Uuid(&u));
  EXPECT_EQ(u.ToString(), "7be8ea54-c9fb-4029-8965-c8036308a01f");
}

TEST(NdrPullTest, ShortDataFailsWithoutMoving) {
  Bytes d = {1, 2, 3, 4, 5, 6};
  NdrPull p(d, Drep::Little());
  uint8_t b;
  ASSERT_TRUE(p.U8(&b));
  uint32_t v32;
  uint64_t v64;
  std::span<const uint8_t> view;
  EXPECT_FALSE(p.U32(&v32));  // aligned to 4: needs bytes 4..7, only 4..5 there
  EXPECT_FALSE(p.U64(&v64));
  EXPECT_FALSE(p.Skip(6));
  EXPECT_FALSE(p.View(6, &view));
  EXPECT_EQ(p.position(), 1u);
  uint16_t v16;
  ASSERT_TRUE(p.U16(&v16));
  EXPECT_EQ(v16, 0x0403);
  EXPECT_TRUE(p.View(2, &view));
  EXPECT_EQ(view[1], 6);
  EXPECT_FALSE(p.U8(&b));
  EXPECT_FALSE(p.Align(4));  // padding past the end of the data
}

Bytes Le32s(std::initializer_list<uint32_t> words, const char* tail = nullptr,
            size_t tail_len = 0) {
  Bytes out;
  for (uint32_t w : words)
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(w >> (8 * i)));
  if (tail) out.insert(out.end(), tail, tail + tail_len);
  return out;
}

struct StringCase {
  const char* name;
  Bytes wire;
  uint32_t max_limit;
  bool ok;
  std::string text;
};

TEST(NdrPullTest, ConformantVaryingStrings) {
  const StringCase cases[] = {
      {"plain", Le32s({3, 0, 3}, "ab", 3), 0, true, "ab"},
      {"max larger than actual", Le32s({100, 0, 3}, "ab", 3), 0, true, "ab"},
      {"empty", Le32s({1, 0, 1}, "", 1), 0, true, ""},
      {"embedded NUL ends the text", Le32s({4, 0, 4}, "a\0b", 4), 0, true, "a"},
      {"offset not 0", Le32s({3, 1, 3}, "ab", 3), 0, false, ""},
      {"actual above max", Le32s({2, 0, 3}, "ab", 3), 0, false, ""},
      {"actual 0", Le32s({0, 0, 0}), 0, false, ""},
      {"no NUL at the end", Le32s({3, 0, 3}, "abc", 3), 0, false, ""},
      {"actual beyond the data", Le32s({0x7fffffff, 0, 0x7fffffff}, "ab", 3), 0, false, ""},
      {"huge max, short data", Le32s({0xffffffff, 0, 0xfffffff0}, "ab", 3), 0, false, ""},
      {"max above the limit", Le32s({5, 0, 3}, "ab", 3), 4, false, ""},
      {"max at the limit", Le32s({4, 0, 3}, "ab", 3), 4, true, "ab"},
      {"truncated header", Le32s({3, 0}), 0, false, ""},
  };
  for (const auto& c : cases) {
    NdrPull p(c.wire, Drep::Little());
    std::string s = "unchanged";
    bool ok = p.String(&s, c.max_limit);
    EXPECT_EQ(ok, c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(s, c.text) << c.name;
      EXPECT_EQ(p.remaining(), 0u) << c.name;
    } else {
      EXPECT_EQ(p.position(), 0u) << c.name;
    }
  }
}

TEST(NdrPullTest, VaryingStringsHonourTheFieldSize) {
  Bytes wire = Le32s({0, 4}, "abc", 4);
  {
    NdrPull p(wire, Drep::Little());
    std::string s;
    ASSERT_TRUE(p.VaryingString(&s, 4));
    EXPECT_EQ(s, "abc");
  }
  {
    NdrPull p(wire, Drep::Little());
    std::string s;
    EXPECT_FALSE(p.VaryingString(&s, 3));  // 3 characters + NUL do not fit in 3 bytes
  }
  Bytes be = {0, 0, 0, 0, 0, 0, 0, 2, 'x', 0};
  NdrPull p(be, Drep::Big());
  std::string s;
  ASSERT_TRUE(p.VaryingString(&s, 0));
  EXPECT_EQ(s, "x");
}

}  // namespace
}  // namespace qz::rpc
