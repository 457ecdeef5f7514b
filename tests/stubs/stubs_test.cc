// stubs_test.cc -- the client stubs' request bytes, checked byte for byte as
// the scripted server received them through the real runtime. The expected
// stubs are written out from the NDR rules of each shape (key, text, long,
// block, ids, reply, count, char, GUID, conformant varying array,
// CONNSENDINFO, PRINTTOTIFFINFO), never taken from the engine.
// Thread-safety: test code; only ConcurrentCallsOnOneBindingKeepTheirBytes
// calls from several threads, on the one shared binding.
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <thread>

#include "tests/stubs/stubs_fixture.h"

namespace qz::stubs_test {
namespace {

class StubRequestTest : public StubsTest {};

// Heap copies of exactly the caller's bytes, so that a read past the end
// shows under the address sanitizer.
std::unique_ptr<uint8_t[]> HeapBytes(const Bytes& b) {
  std::unique_ptr<uint8_t[]> p(new uint8_t[b.size() == 0 ? 1 : b.size()]);
  if (!b.empty()) std::memcpy(p.get(), b.data(), b.size());
  return p;
}

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

TEST_F(StubRequestTest, SetFaxViewFlagIsKeyAndTwoLongs) {
  EXPECT_EQ(ifc::rpcSetFaxViewFlag(h_, &key_, -2, 0x11223344), 1);
  const Bytes expected = {
      't', 'e', 's', 't', 'e', 'r', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // szUserID
      0x04, 0x03, 0x02, 0x01,                                                  // dwSessionNo
      0xfe, 0xff, 0xff, 0xff,                                                  // nFlag -2
      0x44, 0x33, 0x22, 0x11};                                                 // dwFaxID
  EXPECT_TRUE(SameBytes(OnlyRequest(77), expected));
}

TEST_F(StubRequestTest, KeyTravelsAsAll24BytesIncludingWhatFollowsTheNul) {
  SESSIONKEY k;
  std::memset(&k, 0xA5, sizeof k);
  std::memcpy(k.szUserID, "ab", 3);
  k.dwSessionNo = -1;
  EXPECT_EQ(ifc::rpcSychronize(h_, &k), 1);
  Wire w;
  w.Raw({'a', 'b', 0}).Raw({0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5,
                            0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5});
  w.Raw({0xff, 0xff, 0xff, 0xff});
  EXPECT_TRUE(SameBytes(OnlyRequest(87), w.bytes()));
}

TEST_F(StubRequestTest, DelUserLogWithEmptyConditionIs37Bytes) {
  EXPECT_EQ(ifc::rpcDelUserLog(h_, &key_, ""), 1);
  const Bytes expected = {
      't', 'e', 's', 't', 'e', 'r', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
      0x04, 0x03, 0x02, 0x01,
      1, 0, 0, 0,  // maximum count
      0, 0, 0, 0,  // offset
      1, 0, 0, 0,  // actual count
      0};          // the NUL
  ASSERT_EQ(expected.size(), 37u);
  EXPECT_TRUE(SameBytes(OnlyRequest(4), expected));
}

// Two strings in a row: the second starts at the next multiple of 4 after
// the first one's NUL, the gap filled with zeros.
TEST_F(StubRequestTest, ConsecutiveTextsAreAlignedToFour) {
  for (const char* old_pwd : {"", "a", "ab", "abc", "abcd", "abcdefghi"}) {
    SCOPED_TRACE(old_pwd);
    server_->ClearCalls();
    EXPECT_EQ(ifc::rpcChangePassword(h_, &key_, old_pwd, "new"), 1);
    const uint32_t n = static_cast<uint32_t>(std::strlen(old_pwd)) + 1;
    Wire w;
    PutTestKey(w);
    w.U32(n).U32(0).U32(n).Chars(old_pwd).PadTo(4);
    w.U32(4).U32(0).U32(4).Chars("new");
    EXPECT_TRUE(SameBytes(OnlyRequest(91), w.bytes()));
  }
}

// Procedures whose ID array is counted by the byte length the session
// passes: n IDs travel as 4 * n elements, the IDs first, then zeros.
TEST_F(StubRequestTest, IdArraysCarryTheListThenZerosUpToTheByteCount) {
  struct Case {
    const char* name;
    uint16_t opnum;
    std::function<int32_t(const int32_t*, int32_t)> call;
    bool trailing_flag;  // rpcDeleteTask: one more long after the length
  };
  const std::vector<Case> cases = {
      {"rpcSendFaxStop", 15,
       [&](const int32_t* ids, int32_t len) { return ifc::rpcSendFaxStop(h_, &key_, ids, len); },
       false},
      {"rpcLockTask", 19,
       [&](const int32_t* ids, int32_t len) { return ifc::rpcLockTask(h_, &key_, ids, len); },
       false},
      {"rpcTaskIDListOP", 20,
       [&](const int32_t* ids, int32_t len) { return ifc::rpcTaskIDListOP(h_, &key_, ids, len); },
       false},
      {"rpcDeleteTask", 22,
       [&](const int32_t* ids, int32_t len) {
         return ifc::rpcDeleteTask(h_, &key_, ids, len, 0x55);
       },
       true},
  };
  const std::vector<std::vector<int32_t>> lists = {{}, {7}, {101, -2, 0x7FFFFFFF}};
  for (const Case& c : cases) {
    for (const std::vector<int32_t>& list : lists) {
      SCOPED_TRACE(std::string(c.name) + " with " + std::to_string(list.size()) + " IDs");
      server_->ClearCalls();
      std::unique_ptr<int32_t[]> ids(new int32_t[list.size()]);  // exactly the caller's list
      for (size_t i = 0; i < list.size(); ++i) ids[i] = list[i];
      const int32_t len = static_cast<int32_t>(4 * list.size());
      EXPECT_EQ(c.call(ids.get(), len), 1);
      Wire w;
      PutTestKey(w);
      w.U32(static_cast<uint32_t>(len));  // element count = byte length
      for (int32_t id : list) w.I32(id);
      w.Zeros(static_cast<size_t>(len) * 4 - list.size() * 4);
      w.I32(len);
      if (c.trailing_flag) w.I32(0x55);
      EXPECT_EQ(w.size(), 24 + 4 + 16 * list.size() + 4 + (c.trailing_flag ? 4 : 0));
      EXPECT_TRUE(SameBytes(OnlyRequest(c.opnum), w.bytes()));
    }
  }
}

TEST_F(StubRequestTest, SendFaxStopWithThreeIdsSendsTwelveElements) {
  std::unique_ptr<int32_t[]> ids(new int32_t[3]{1001, 1002, 1003});
  EXPECT_EQ(ifc::rpcSendFaxStop(h_, &key_, ids.get(), 12), 1);
  const Bytes expected = {
      't', 'e', 's', 't', 'e', 'r', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
      0x04, 0x03, 0x02, 0x01,
      12, 0, 0, 0,                                      // element count
      0xe9, 0x03, 0, 0, 0xea, 0x03, 0, 0, 0xeb, 0x03, 0, 0,  // the three IDs
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,               // nine zero elements
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
      12, 0, 0, 0};                                     // dwFaxNum * 4
  ASSERT_EQ(expected.size(), 80u);
  EXPECT_TRUE(SameBytes(OnlyRequest(15), expected));
  // The receiver sees the list alone.
  auto calls = server_->Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].args[2].bytes,
            (Bytes{0xe9, 0x03, 0, 0, 0xea, 0x03, 0, 0, 0xeb, 0x03, 0, 0}));
}

TEST_F(StubRequestTest, TransferFaxSendsTheRequestInAnArrayOfItsByteLength) {
  // One TRANSFERFAX_TABLE header (12 bytes, entry count 2 at offset 4), then
  // two TRANSFERFAX_ITEM entries of 164 bytes: 340 bytes in all.
  Bytes request = Pattern(340, 0x10);
  request[4] = 2;
  request[5] = request[6] = request[7] = 0;
  Bytes results = Pattern(44, 0x80);  // one SENDRESULT_TABLE
  auto req = HeapBytes(request);
  auto res = HeapBytes(results);
  EXPECT_EQ(ifc::rpcTransferFax(h_, &key_, req.get(), 340, res.get(), 44), 1);
  Wire w;
  PutTestKey(w);
  w.U32(340).Raw(request.data(), 340).Zeros(3 * 340);  // 340 elements of 4 bytes
  w.I32(340);
  w.U32(44).Raw(results.data(), 44).I32(44);
  ASSERT_EQ(w.size(), 1444u);
  EXPECT_TRUE(SameBytes(OnlyRequest(14), w.bytes()));
  auto calls = server_->Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].args[2].bytes, request);
  EXPECT_EQ(calls[0].args[4].bytes, results);
}

// Several headers: the headers first, then all their entries; the length
// is the sum of 12 + 164 * count, the result block 44 bytes per fax.
TEST_F(StubRequestTest, TransferFaxWithSeveralHeaders) {
  const std::vector<std::vector<uint8_t>> cases = {{1, 3}, {0}, {0, 0, 1}};
  for (const std::vector<uint8_t>& counts : cases) {
    SCOPED_TRACE(counts.size());
    server_->ClearCalls();
    size_t entries = 0;
    for (uint8_t c : counts) entries += c;
    const size_t len = 12 * counts.size() + 164 * entries;
    Bytes request = Pattern(len, 0x44);
    for (size_t i = 0; i < counts.size(); ++i) {
      request[12 * i + 4] = counts[i];
      request[12 * i + 5] = request[12 * i + 6] = request[12 * i + 7] = 0;
    }
    const Bytes results = Pattern(44 * counts.size(), 0x90);
    auto req = HeapBytes(request);
    auto res = HeapBytes(results);
    const int32_t n = static_cast<int32_t>(len), r = static_cast<int32_t>(results.size());
    EXPECT_EQ(ifc::rpcTransferFax(h_, &key_, req.get(), n, res.get(), r), 1);
    Wire w;
    PutTestKey(w);
    w.U32(static_cast<uint32_t>(len)).Raw(request.data(), len).Zeros(3 * len).I32(n);
    w.U32(static_cast<uint32_t>(r)).Raw(results.data(), results.size()).I32(r);
    EXPECT_EQ(w.size(), 24 + 4 + 4 * len + 4 + 4 + results.size() + 4);
    EXPECT_TRUE(SameBytes(OnlyRequest(14), w.bytes()));
  }
}

TEST_F(StubRequestTest, ImportFaxInfoSendsOneByteWhateverTheSize) {
  for (int32_t size : {0, 1, 2, 4096}) {
    SCOPED_TRACE(size);
    server_->ClearCalls();
    std::unique_ptr<char[]> info(new char[1]{'Q'});  // one byte is all there is
    EXPECT_EQ(ifc::rpcImportFaxInfo(h_, &key_, 3, info.get(), size), 1);
    Wire w;
    PutTestKey(w);
    w.I32(3).Raw({'Q'}).Raw({0, 0, 0}).I32(size);
    ASSERT_EQ(w.size(), 36u);
    EXPECT_TRUE(SameBytes(OnlyRequest(89), w.bytes()));
  }
}

TEST_F(StubRequestTest, LogInServerSendsTheZeroedBlockAndFillsKeyAndInfo) {
  test_support::LoginProfile saved = server_->login_profile();
  test_support::LoginProfile p;
  p.user = "operator7";
  p.session = 0x0A0B0C0D;
  p.host = "10.1.2.3";
  server_->SetLoginProfile(p);
  SESSIONKEY key;
  std::memset(&key, 0x77, sizeof key);  // key-out: nothing of it travels
  std::vector<uint8_t> info(1680, 0);
  const int32_t rc = ifc::rpcLogInServer(h_, &key, 1680, info.data());
  server_->SetLoginProfile(saved);
  EXPECT_EQ(rc, 1);
  Wire w;
  w.I32(1680).U32(1680).Zeros(1680);
  EXPECT_TRUE(SameBytes(OnlyRequest(100), w.bytes()));
  std::vector<uint8_t> want_info;
  test_support::FillServerInfo(p, &want_info);
  EXPECT_TRUE(SameBytes(info, want_info));
  Bytes got_key(reinterpret_cast<uint8_t*>(&key), reinterpret_cast<uint8_t*>(&key) + 24);
  EXPECT_TRUE(SameBytes(got_key, test_support::MakeKey("operator7", 0x0A0B0C0D)));
}

TEST_F(StubRequestTest, AdviseOpSendsGuidThenAConformantVaryingArray) {
  const rpc::Guid16 guid{{0x54, 0xea, 0xe8, 0x7b, 0xfb, 0xc9, 0x29, 0x40, 0x89, 0x65, 0xc8, 0x03,
                          0x63, 0x08, 0xa0, 0x1f}};
  struct Case {
    int32_t op, len;
  };
  for (Case c : {Case{8, 60}, Case{9, 16}}) {
    SCOPED_TRACE(c.op);
    server_->ClearCalls();
    Bytes info = Pattern(static_cast<size_t>(c.len), static_cast<uint8_t>(c.op));
    auto p = HeapBytes(info);
    EXPECT_EQ(ifc::rpcAdviseOP(h_, guid, c.op, c.len, p.get()), 1);
    Wire w;
    w.Raw({0x54, 0xea, 0xe8, 0x7b, 0xfb, 0xc9, 0x29, 0x40, 0x89, 0x65, 0xc8, 0x03, 0x63, 0x08,
           0xa0, 0x1f});
    w.I32(c.op).I32(c.len);
    w.U32(static_cast<uint32_t>(c.len)).U32(0).U32(static_cast<uint32_t>(c.len));
    w.Raw(info.data(), info.size());
    EXPECT_EQ(w.size(), 16u + 8 + 12 + static_cast<size_t>(c.len));
    EXPECT_TRUE(SameBytes(OnlyRequest(101), w.bytes()));
  }
}

TEST_F(StubRequestTest, GetScriptListWithEmptyStringAndNullReply) {
  uint8_t* reply = nullptr;
  int32_t count = 0;
  EXPECT_EQ(ifc::rpcGetScriptList(h_, &key_, "", &reply, &count), 1);
  Wire w;
  PutTestKey(w);
  w.Raw({1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0});  // "" with its counts
  w.Raw({0, 0, 0});                                // to a multiple of 4
  w.Raw({0, 0, 0, 0});                             // null referent, no array
  w.Raw({0, 0, 0, 0});                             // count 0
  ASSERT_EQ(w.size(), 48u);
  EXPECT_TRUE(SameBytes(OnlyRequest(38), w.bytes()));
}

// A procedure mixing block, long, reply, count and text.
TEST_F(StubRequestTest, GetInformationMarshalsEveryShapeInParameterOrder) {
  Bytes folder = Pattern(104, 3);
  auto f = HeapBytes(folder);
  uint8_t* reply = nullptr;
  int32_t count = 0;
  EXPECT_EQ(ifc::rpcGetInformation(h_, &key_, 2, f.get(), 104, &reply, &count, "kind=1"), 1);
  Wire w;
  PutTestKey(w);
  w.I32(2).U32(104).Raw(folder.data(), 104).I32(104);
  w.U32(0).I32(0);
  w.U32(7).U32(0).U32(7).Chars("kind=1");
  ASSERT_EQ(w.size(), 167u);
  EXPECT_TRUE(SameBytes(OnlyRequest(30), w.bytes()));
}

TEST_F(StubRequestTest, GetNewReceivedMessagesFolderThenIdsThenReply) {
  Bytes folder = Pattern(104, 9);
  auto f = HeapBytes(folder);
  std::unique_ptr<int32_t[]> ids(new int32_t[2]{5, 6});
  uint8_t* reply = nullptr;
  int32_t count = 0;
  EXPECT_EQ(ifc::rpcGetNewReceivedMessages(h_, &key_, f.get(), 104, ids.get(), 8, &reply, &count),
            1);
  Wire w;
  PutTestKey(w);
  w.U32(104).Raw(folder.data(), 104).I32(104);
  w.U32(8).I32(5).I32(6).Zeros(24).I32(8);
  w.U32(0).I32(0);
  EXPECT_TRUE(SameBytes(OnlyRequest(84), w.bytes()));
}

// A reply pair whose inner pointer is set sends the caller's array.
TEST_F(StubRequestTest, NonNullReplyPointerSendsItsArray) {
  Bytes mine = {'x', 'y', 'z', 'w', 'v'};
  auto buf = HeapBytes(mine);
  uint8_t* reply = buf.get();
  int32_t count = 5;
  EXPECT_EQ(ifc::rpcQueryUserLog(h_, &key_, "c", &reply, &count), 1);
  Wire w;
  PutTestKey(w);
  w.U32(2).U32(0).U32(2).Chars("c").PadTo(4);
  w.U32(rpc::kUniqueReferentId).U32(5).Raw(mine.data(), 5).PadTo(4);
  w.I32(5);
  EXPECT_TRUE(SameBytes(OnlyRequest(3), w.bytes()));
}

TEST_F(StubRequestTest, SizedTextCarriesTheSizeAsMaximumCount) {
  EXPECT_EQ(ifc::rpcReserved92(h_, 7, 10, "abc"), 1);
  Wire w;
  w.I32(7).I32(10).U32(10).U32(0).U32(4).Chars("abc");
  EXPECT_TRUE(SameBytes(OnlyRequest(92), w.bytes()));
}

TEST_F(StubRequestTest, AutomaticHandleProcedureSendsNothing) {
  ifc::SetAutomaticBinding(h_);
  EXPECT_EQ(ifc::rpcReserved2(), 1);
  ifc::SetAutomaticBinding(nullptr);
  EXPECT_TRUE(SameBytes(OnlyRequest(2), Bytes{}));
  EXPECT_EQ(ExceptionCode([] { ifc::rpcReserved2(); }), 1702u);  // no automatic binding
  EXPECT_EQ(server_->Calls().size(), 1u);
}

// A block far beyond one fragment goes out in several and arrives whole.
TEST_F(StubRequestTest, LargeBlockCrossesFragmentsIntact) {
  Bytes block = Pattern(200001, 0x31);
  auto b = HeapBytes(block);
  EXPECT_EQ(ifc::rpcDeptOP(h_, &key_, 4, b.get(), 200001), 1);
  Wire w;
  PutTestKey(w);
  w.I32(4).U32(200001).Raw(block.data(), block.size()).PadTo(4).I32(200001);
  EXPECT_TRUE(SameBytes(OnlyRequest(7), w.bytes()));
}

// ---- service-control interface ----

TEST_F(StubRequestTest, ServiceStopModesTravelAsOneLongAfterTheKey) {
  struct Case {
    uint16_t opnum;
    int32_t value;
    std::array<uint8_t, 4> wire;
  };
  const Case cases[] = {
      {2, -1, {0xff, 0xff, 0xff, 0xff}}, {2, 0, {0, 0, 0, 0}}, {2, 1, {1, 0, 0, 0}},
      {1, 1, {1, 0, 0, 0}},              {1, 0, {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.opnum) + "/" + std::to_string(c.value));
    server_->ClearCalls();
    int32_t rc = c.opnum == 2 ? ifc::rpcServerStopEx(h_, &key_, c.value)
                              : ifc::rpcServerStop(h_, &key_, c.value);
    EXPECT_EQ(rc, 1);
    Wire w;
    PutTestKey(w);
    w.Raw(c.wire.data(), 4);
    EXPECT_TRUE(SameBytes(OnlyRequest(c.opnum, Iface::kServiceControl), w.bytes()));
  }
  EXPECT_TRUE(server_->Opnums(Iface::kMain).empty());
}

TEST_F(StubRequestTest, ServerStartSendsZeroKeyTwoStringsAndMode) {
  SESSIONKEY zero;
  std::memset(&zero, 0, sizeof zero);
  EXPECT_EQ(ifc::rpcServerStart(h_, &zero, "admin", "secret", 1), 1);
  Wire w;
  w.Zeros(24);
  w.Raw({6, 0, 0, 0, 0, 0, 0, 0, 6, 0, 0, 0, 'a', 'd', 'm', 'i', 'n', 0});  // ends at 42
  w.Raw({0, 0});                                                           // to 44
  w.Raw({7, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 's', 'e', 'c', 'r', 'e', 't', 0});  // to 63
  w.Raw({0});                                                                   // to 64
  w.Raw({1, 0, 0, 0});
  ASSERT_EQ(w.size(), 68u);
  EXPECT_TRUE(SameBytes(OnlyRequest(0, Iface::kServiceControl), w.bytes()));
}

TEST_F(StubRequestTest, GetServerCapsSends440BytesAndCopiesTheServersBack) {
  const Bytes server_caps = Pattern(440, 0xC0);
  server_->OnCall(
      3,
      [&](rpc::ServerArgs& a) {
        a[2].bytes = server_caps;
        return 1;
      },
      Iface::kServiceControl);
  SESSIONKEY k;
  std::memset(&k, 0, sizeof k);  // empty szUserID, dwSessionNo 0
  const Bytes mine = Pattern(440, 0x01);
  auto caps = HeapBytes(mine);
  EXPECT_EQ(ifc::rpcGetServerCaps(h_, &k, caps.get(), 440), 1);
  Wire w;
  w.Zeros(24).U32(440).Raw(mine.data(), 440).I32(440);
  ASSERT_EQ(w.size(), 472u);
  EXPECT_TRUE(SameBytes(OnlyRequest(3, Iface::kServiceControl), w.bytes()));
  EXPECT_TRUE(SameBytes(Bytes(caps.get(), caps.get() + 440), server_caps));
}

TEST_F(StubRequestTest, ServerBackupSendsExactly300Bytes) {
  const Bytes backup = Pattern(300, 0x42);
  for (uint16_t op : {uint16_t{4}, uint16_t{5}}) {
    SCOPED_TRACE(op);
    server_->ClearCalls();
    auto b = HeapBytes(backup);
    int32_t rc = op == 4 ? ifc::rpcServerBackup(h_, &key_, b.get(), 300)
                         : ifc::rpcServerBackupEx(h_, &key_, b.get(), 300);
    EXPECT_EQ(rc, 1);
    Wire w;
    PutTestKey(w);
    w.U32(300).Raw(backup.data(), 300).I32(300);
    ASSERT_EQ(w.size(), 332u);
    EXPECT_TRUE(SameBytes(OnlyRequest(op, Iface::kServiceControl), w.bytes()));
  }
}

// ---- structures ----

rpc::ConnSendInfo ConnInfo() {
  rpc::ConnSendInfo c;
  std::memset(&c, 0, sizeof c);
  c.value1 = 1;
  c.value2 = 2;
  c.value3 = 3;
  std::strcpy(c.text1, "T1");
  std::strcpy(c.text3, "abc");
  c.value4 = 4;
  c.value5 = 5;
  c.value6 = 6;
  c.value7 = 7;
  c.value8 = 8;
  c.real1 = 1.0;   // 00 00 00 00 00 00 f0 3f
  c.real2 = -2.5;  // 00 00 00 00 00 00 04 c0
  c.value9 = 9;
  return c;
}

// The fixed part of ConnInfo() (with `text1`) on the wire after the 24 key
// bytes; the offsets in the comments are those of text1 "T1".
void PutConnFixedPart(Wire& w, const std::string& text1, const rpc::ConnSendInfo& c,
                      uint32_t items_ref, uint32_t data_ref) {
  w.I32(1).I32(2).I32(3);                                // 24..36
  w.U32(0).U32(static_cast<uint32_t>(text1.size() + 1)).Chars(text1).PadTo(4);  // 36..47, 48
  w.I32(c.item_count).U32(items_ref);                    // 48..56
  w.U32(0).U32(1).Chars("").PadTo(4);                    // text2: 56..65, pad to 68
  w.I32(4).I32(5).I32(6).I32(7);                         // 68..84
  w.U32(0).U32(4).Chars("abc");                          // text3: 84..96
  w.I32(8);                                              // 96..100
  w.PadTo(8);                                            // doubles align to 8: 104
  w.Raw({0, 0, 0, 0, 0, 0, 0xf0, 0x3f});                 // real1 1.0
  w.Raw({0, 0, 0, 0, 0, 0, 0x04, 0xc0});                 // real2 -2.5, to 120
  w.U32(0).U32(1).Chars("").PadTo(4);                    // text4: to 132
  w.U32(0).U32(1).Chars("").PadTo(4);                    // text5: to 144
  w.U32(0).U32(1).Chars("").PadTo(4);                    // text6: to 156
  w.I32(9).I32(c.data_length).U32(data_ref);             // to 168
}

TEST_F(StubRequestTest, ConnSendInfoWithoutItemsSendsNullMarkers) {
  rpc::ConnSendInfo c = ConnInfo();
  EXPECT_EQ(ifc::rpcSendFaxFromConn(h_, &key_, &c), 1);
  Wire w;
  PutTestKey(w);
  PutConnFixedPart(w, "T1", c, 0, 0);
  ASSERT_EQ(w.size(), 168u);
  EXPECT_TRUE(SameBytes(OnlyRequest(93), w.bytes()));
}

TEST_F(StubRequestTest, ConnSendInfoWithTwoItemsSendsTheDeferredArrays) {
  rpc::ConnSendInfo c = ConnInfo();
  const Bytes items = Pattern(336, 0x20);
  const Bytes data = {'D', 'A', 'T', 'A', '!'};
  auto it = HeapBytes(items);
  auto d = HeapBytes(data);
  c.item_count = 2;
  c.items = it.get();
  c.data_length = 5;
  c.data = d.get();
  EXPECT_EQ(ifc::rpcSendFaxFromConn(h_, &key_, &c), 1);
  Wire w;
  PutTestKey(w);
  PutConnFixedPart(w, "T1", c, 0x00020000, 0x00020004);
  w.U32(336).Raw(items.data(), 336);  // 168..508
  w.U32(5).Raw(data.data(), 5);       // 508..517
  ASSERT_EQ(w.size(), 517u);
  EXPECT_TRUE(SameBytes(OnlyRequest(93), w.bytes()));
  auto calls = server_->Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].args[2].conn_items, items);
  EXPECT_EQ(calls[0].args[2].conn_data, data);
}

TEST_F(StubRequestTest, ConnSendInfoTextCountsAtTheFieldLimit) {
  rpc::ConnSendInfo c = ConnInfo();
  std::memset(c.text1, 'x', 255);  // 255 characters and the NUL: actual count 256
  c.text1[255] = 0;
  EXPECT_EQ(ifc::rpcSendFaxFromConn(h_, &key_, &c), 1);
  Wire w;
  PutTestKey(w);
  PutConnFixedPart(w, std::string(255, 'x'), c, 0, 0);
  // text1 ends at 300; value8 then ends at 352, a multiple of 8: no padding
  // before the doubles.
  ASSERT_EQ(w.size(), 416u);
  EXPECT_TRUE(SameBytes(OnlyRequest(93), w.bytes()));
  // A field without a NUL in its 256 bytes is not a valid text; it goes cut
  // to 255 characters, never read beyond the field.
  server_->ClearCalls();
  std::memset(c.text1, 'y', 256);
  EXPECT_EQ(ifc::rpcSendFaxFromConn(h_, &key_, &c), 1);
  Wire w2;
  PutTestKey(w2);
  PutConnFixedPart(w2, std::string(255, 'y'), c, 0, 0);
  EXPECT_TRUE(SameBytes(OnlyRequest(93), w2.bytes()));
}

TEST_F(StubRequestTest, PrintToTiffGoesBothWays) {
  rpc::PrintToTiffInfo t;
  std::memset(&t, 0, sizeof t);
  std::strcpy(t.text1, "in.prn");
  std::strcpy(t.text2, "out");
  t.value1 = 0x10;
  t.value2 = -1;
  server_->OnCall(95, [](rpc::ServerArgs& a) {
    std::strcpy(a[1].tiff.text1, "done.tif");
    a[1].tiff.text2[0] = 0;
    a[1].tiff.value1 = 3;
    a[1].tiff.value2 = 4;
    return 1;
  });
  EXPECT_EQ(ifc::rpcPrintToTiffFromConn(h_, &t), 1);
  Wire w;
  w.U32(0).U32(7).Chars("in.prn").PadTo(4);
  w.U32(0).U32(4).Chars("out");
  w.I32(0x10).I32(-1);
  EXPECT_TRUE(SameBytes(OnlyRequest(95), w.bytes()));
  EXPECT_STREQ(t.text1, "done.tif");
  EXPECT_STREQ(t.text2, "");
  EXPECT_EQ(t.value1, 3);
  EXPECT_EQ(t.value2, 4);
}

// Calls from several threads on one binding each arrive whole and unmixed.
TEST_F(StubRequestTest, ConcurrentCallsOnOneBindingKeepTheirBytes) {
  constexpr int kThreads = 4, kCalls = 25;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      SESSIONKEY k = TestKey();
      for (int i = 0; i < kCalls; ++i)
        if (ifc::rpcSetFaxViewFlag(h_, &k, t, i) != 1) ++failures;
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  std::set<Bytes> expected;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kCalls; ++i) {
      Wire w;
      PutTestKey(w);
      w.I32(t).I32(i);
      expected.insert(w.bytes());
    }
  std::set<Bytes> got;
  for (const test_support::RecordedCall& c : server_->Calls()) got.insert(c.stub);
  EXPECT_EQ(got.size(), static_cast<size_t>(kThreads * kCalls));
  EXPECT_TRUE(got == expected);
}

}  // namespace
}  // namespace qz::stubs_test
