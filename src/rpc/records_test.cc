// records_test.cc -- tests of the record offsets, count conversions and
// length-prefixed list walkers.
#include "rpc/records.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace qz::rpc::records {
namespace {

using Bytes = std::vector<uint8_t>;

// The offsets agree with the public record declarations.
static_assert(offsetof(SERVERINFO, szHostName) == serverinfo::kHostName);
static_assert(sizeof(SERVERINFO::szHostName) == serverinfo::kHostNameSize);
static_assert(offsetof(SERVERINFO, szText35) == serverinfo::kText35);
static_assert(offsetof(SERVERINFO, szText55) == serverinfo::kText55);
static_assert(offsetof(SERVERINFO, szText86) == serverinfo::kText86);
static_assert(offsetof(SERVERINFO, szText106) == serverinfo::kText106);
static_assert(sizeof(SERVERINFO::szText106) == serverinfo::kText106Size);
static_assert(offsetof(SERVERINFO, abValue172) == serverinfo::kValue172);
static_assert(offsetof(SERVERINFO, dwSessionNo) == serverinfo::kSessionNo);
static_assert(offsetof(SERVERINFO, abValue692) == serverinfo::kValue692);
static_assert(offsetof(SERVERINFO, UserInfo) == serverinfo::kUserInfo);
static_assert(offsetof(SERVERINFO, UserInfo.szUserID) == serverinfo::kUserId);
static_assert(offsetof(SERVERINFO, UserInfo.dwRights) == serverinfo::kRights);
static_assert(offsetof(USERINFO_TABLE, dwRights) == userinfo::kRights);
static_assert(sizeof(SERVERINFO) == kServerInfoSize);
static_assert(cache::kUserInfo + userinfo::kRights == cache::kRights);
static_assert(cache::kUserInfo + kUserInfoSize == cache::kSize);

// A list of length-prefixed records of the given lengths (filler 0xAB).
Bytes List(std::initializer_list<uint32_t> lengths) {
  Bytes b;
  for (uint32_t len : lengths) {
    size_t at = b.size();
    b.resize(at + std::max<uint32_t>(len, 4), 0xAB);
    StoreLe32(b.data() + at, static_cast<int32_t>(len));
  }
  return b;
}

TEST(RecordsTest, CachedPartsLieInsideBothLayouts) {
  size_t last_end = 0;
  for (const CachedPart& p : kCachedParts) {
    EXPECT_LE(p.info_offset + p.size, kServerInfoSize);
    EXPECT_LE(p.cache_offset + p.size, cache::kSize);
    EXPECT_GE(p.cache_offset, last_end) << "cache parts overlap at " << p.cache_offset;
    last_end = p.cache_offset + p.size;
  }
  EXPECT_EQ(last_end, cache::kSize);
}

TEST(RecordsTest, ServerInfoAccessors) {
  Bytes info(kServerInfoSize, 0);
  StoreLe32(info.data() + 684, 0x0BADF00D);
  StoreLe32(info.data() + 1664 + 8, 0x10000);
  std::span<const uint8_t, kServerInfoSize> view(info.data(), kServerInfoSize);
  EXPECT_EQ(ServerInfoSessionNo(view), 0x0BADF00D);
  EXPECT_EQ(ServerInfoRights(view, 2), 0x10000u);
  EXPECT_EQ(ServerInfoRights(view, 0), 0u);
  EXPECT_EQ(ServerInfoRights(view, 4), 0u);
}

TEST(RecordsTest, SessionKeyFromServerInfo) {
  Bytes info(kServerInfoSize, 0xEE);
  StoreLe32(info.data() + 684, 4711);
  std::memcpy(info.data() + 709, "alice", 6);
  std::span<const uint8_t, kServerInfoSize> view(info.data(), kServerInfoSize);
  uint8_t key[24];
  std::memset(key, 0x77, sizeof key);
  SessionKeyFromServerInfo(view, std::span<uint8_t, 24>(key));
  Bytes want(24, 0);
  std::memcpy(want.data(), "alice", 5);
  StoreLe32(want.data() + 20, 4711);
  EXPECT_EQ(Bytes(key, key + 24), want);

  // A 20-character identifier without NUL keeps 19 characters and the NUL.
  std::memset(info.data() + 709, 'u', 20);
  SessionKeyFromServerInfo(view, std::span<uint8_t, 24>(key));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(key)), std::string(19, 'u'));
  EXPECT_EQ(LoadLe32(key + 20), 4711);
}

TEST(RecordsTest, CountConversions) {
  struct Case {
    int64_t count;
    size_t size;
    std::optional<int32_t> bytes;
  };
  const Case to_bytes[] = {
      {0, 508, 0},
      {3, 508, 1524},
      {2, 34, 68},  // AUTHORIZEDINFO_TABLE records follow every 34 bytes
      {-1, 44, std::nullopt},
      {0x7FFFFFFF / 4, 4, 0x7FFFFFFC},
      {0x20000000, 4, std::nullopt},  // 2^31 does not fit
      {int64_t{1} << 62, 1024, std::nullopt},
  };
  for (const auto& c : to_bytes) {
    EXPECT_EQ(RecordBytes(c.count, c.size), c.bytes) << c.count << " x " << c.size;
  }
  struct Back {
    int64_t bytes;
    size_t size;
    int32_t count;
  };
  const Back to_count[] = {{0, 508, 0},    {1016, 508, 2}, {1017, 508, 2}, {507, 508, 0},
                           {-5, 4, 0},     {100, 0, 0},    {68, 34, 2}};
  for (const auto& c : to_count) {
    EXPECT_EQ(RecordCount(c.bytes, c.size), c.count) << c.bytes << " / " << c.size;
  }
}

TEST(RecordsTest, SystemConfigSections) {
  EXPECT_EQ(SystemConfigSectionSize(0), 1560u);
  EXPECT_EQ(SystemConfigSectionSize(3), 110u);
  EXPECT_EQ(SystemConfigSectionSize(6), 4012u);
  EXPECT_EQ(SystemConfigSectionSize(7), std::nullopt);
  EXPECT_EQ(SystemConfigSectionSize(-1), std::nullopt);
}

struct WalkCase {
  const char* name;
  Bytes block;
  uint32_t n;  // records to measure when sending
  ListWalk send;
  ListWalk count;
};

TEST(RecordsTest, ListWalkers) {
  Bytes short_tail = List({40, 60});
  short_tail.resize(102, 0);
  Bytes past_end = List({40, 60});
  StoreLe32(past_end.data() + 40, 61);
  const WalkCase cases[] = {
      {"two records", List({40, 60}), 2, {100, 2, true}, {100, 2, true}},
      {"empty", {}, 0, {0, 0, true}, {0, 0, true}},
      {"zero length stops", List({40, 0, 60}), 3, {40, 1, false}, {40, 1, false}},
      {"length below 4 stops", List({3, 40}), 2, {0, 0, false}, {0, 0, false}},
      {"record past the end stops", past_end, 2, {40, 1, false}, {40, 1, false}},
      {"bytes left for no length field", short_tail, 2, {100, 2, true}, {100, 2, false}},
      {"fewer records asked than present", List({40, 60}), 1, {40, 1, true}, {100, 2, true}},
      {"more records asked than present", List({40, 60}), 3, {100, 2, false}, {100, 2, true}},
  };
  for (const auto& c : cases) {
    ListWalk s = MeasureList(c.n, SpanReader(c.block));
    EXPECT_EQ(s.bytes, c.send.bytes) << c.name;
    EXPECT_EQ(s.count, c.send.count) << c.name;
    EXPECT_EQ(s.ok, c.send.ok) << c.name;
    ListWalk r = CountList(c.block);
    EXPECT_EQ(r.bytes, c.count.bytes) << c.name;
    EXPECT_EQ(r.count, c.count.count) << c.name;
    EXPECT_EQ(r.ok, c.count.ok) << c.name;
  }
}

TEST(RecordsTest, MeasureListStopsAtUnreadableMemoryAndTheLimit) {
  Bytes block = List({40, 60, 8});
  // A probe that can read only the first 99 bytes: the second record's
  // last byte is unreadable.
  ListReader probe = [&](uint64_t offset, void* out, size_t n) {
    if (offset + n > 99) return false;
    return SpanReader(block)(offset, out, n);
  };
  ListWalk w = MeasureList(3, probe);
  EXPECT_EQ(w.bytes, 40u);
  EXPECT_EQ(w.count, 1u);
  EXPECT_FALSE(w.ok);

  ListWalk limited = MeasureList(3, SpanReader(block), 100);
  EXPECT_EQ(limited.bytes, 100u);
  EXPECT_EQ(limited.count, 2u);
  EXPECT_FALSE(limited.ok);

  // A huge length cannot take the total past the 32-bit block limit.
  Bytes huge = List({40});
  huge.resize(80, 0);
  StoreLe32(huge.data() + 40, -1);
  ListWalk h = MeasureList(2, SpanReader(huge));
  EXPECT_EQ(h.bytes, 40u);
  EXPECT_FALSE(h.ok);
}

TEST(RecordsTest, TransferRequestLength) {
  // Two headers announcing 2 and 0 items, then the 2 items.
  Bytes req(12 * 2 + 164 * 2, 0);
  StoreLe32(req.data() + 4, 2);
  StoreLe32(req.data() + 12 + 4, 0);
  ListWalk w = MeasureTransferRequest(2, SpanReader(req));
  EXPECT_TRUE(w.ok);
  EXPECT_EQ(w.bytes, 352u);

  Bytes one(340, 0);
  StoreLe32(one.data() + 4, 2);
  EXPECT_EQ(MeasureTransferRequest(1, SpanReader(one)).bytes, 340u);

  // The items announced are not there.
  Bytes shortreq = one;
  shortreq.resize(339);
  EXPECT_FALSE(MeasureTransferRequest(1, SpanReader(shortreq)).ok);
  StoreLe32(one.data() + 4, -2);
  EXPECT_FALSE(MeasureTransferRequest(1, SpanReader(one)).ok);
  StoreLe32(one.data() + 4, 0x7FFFFFFF);
  EXPECT_FALSE(MeasureTransferRequest(1, SpanReader(one)).ok);
  EXPECT_TRUE(MeasureTransferRequest(0, SpanReader({})).ok);
}

}  // namespace
}  // namespace qz::rpc::records
