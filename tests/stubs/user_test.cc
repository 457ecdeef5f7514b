// user_test.cc -- the users and departments exports against the scripted
// server: one table of edge cases (operation-code bounds, the rights bits
// of dwRights[3] one present and one missing, the own-record rule, the
// walk over self-sized records, the byte counts sent), each checked for
// the status, the exact request or the absence of one, and the error slot;
// then the record-count conversion and the traces.
#include <functional>

#include "tests/stubs/family_fixture.h"

namespace qz::stubs_test {
namespace {

constexpr uint32_t kChange = 0x1, kRead = 0x2;  // dwRights[3]
constexpr int32_t kRefusal = static_cast<int32_t>(0xC1FE0001u);

class UserFamilyTest : public FamilyTest {};

// Self-sized records laid end to end: each starts with its own length.
Bytes SelfSized(std::initializer_list<uint32_t> lengths) {
  Bytes b;
  for (uint32_t len : lengths) {
    const size_t at = b.size();
    b.resize(at + std::max<uint32_t>(len, 4), static_cast<uint8_t>(len));
    std::memcpy(&b[at], &len, 4);
  }
  return b;
}

struct Case {
  const char* name;
  uint32_t rights3;
  std::function<uint32_t(uint32_t id)> call;
  uint32_t status;
  int opnum;                         // kNoCall: nothing may reach the server
  std::function<void(Wire&)> body;   // the request after the key
  uint32_t slot;                     // the error slot afterwards
};

TEST_F(UserFamilyTest, ChecksRequestsAndRecording) {
  static const Bytes dept = Filler(2 * QZ_SIZEOF_DEPTINFO_TABLE, 1);
  static const Bytes users = Filler(3 * QZ_SIZEOF_USERINFO_TABLE, 2);
  static const Bytes details = Filler(3 * QZ_SIZEOF_USERDETAIL_TABLE, 3);
  static const Bytes two = SelfSized({40, 60});
  static const Bytes minimal = SelfSized({4});
  static const Bytes short_len = SelfSized({3, 8});
  static const Bytes zero_len = SelfSized({0, 8});
  auto d = [](const Bytes& b) { return reinterpret_cast<const DEPTINFO_TABLE*>(b.data()); };
  void* out = nullptr;
  uint32_t n = 0;
  auto text = [](Wire& w, const std::string& s) {
    w.U32(static_cast<uint32_t>(s.size() + 1)).U32(0).U32(static_cast<uint32_t>(s.size() + 1));
    w.Chars(s).PadTo(4);
  };
  const Case cases[] = {
      {"dept command 0", kChange, [&](uint32_t id) { return RemoteDeptOP(id, 0, d(dept), 1); },
       QZ_E_BADOPTYPE, kNoCall, nullptr, QZ_E_BADOPTYPE},
      {"dept command 5 is refused before the right", 0,
       [&](uint32_t id) { return RemoteDeptOP(id, 5, d(dept), 1); }, QZ_E_BADOPTYPE, kNoCall,
       nullptr, QZ_E_BADOPTYPE},
      {"dept command 4 sends count x 176", kChange,
       [&](uint32_t id) { return RemoteDeptOP(id, 4, d(dept), 2); }, 1, 7,
       [&](Wire& w) { w.I32(4).U32(352).Raw(dept.data(), 352).I32(352); }, kSlotMarker},
      {"dept without bit 0x1 (0x2 set)", kRead,
       [&](uint32_t id) { return RemoteDeptOP(id, 1, d(dept), 1); }, QZ_E_ACCESSDENIED, kNoCall,
       nullptr, QZ_E_ACCESSDENIED},
      {"dept no records, with the right", kChange,
       [&](uint32_t id) { return RemoteDeptOP(id, 3, d(dept), 0); }, QZ_E_INVALIDARG, kNoCall,
       nullptr, QZ_E_INVALIDARG},
      {"dept data without bit 0x2 (0x1 set)", kChange,
       [&](uint32_t id) {
         return RemoteGetDeptData(id, "", reinterpret_cast<DEPTINFO_TABLE**>(&out), &n);
       },
       QZ_E_ACCESSDENIED, kNoCall, nullptr, QZ_E_ACCESSDENIED},
      {"dept data null condition", kRead,
       [&](uint32_t id) {
         return RemoteGetDeptData(id, nullptr, reinterpret_cast<DEPTINFO_TABLE**>(&out), &n);
       },
       1, 8, [&](Wire& w) { text(w, ""); w.U32(0).I32(0); }, kSlotMarker},
      {"own record, operation 0, null id: no right, own id sent", 0,
       [&](uint32_t id) { return RemoteGetUserRecord(id, 0, nullptr, &out, &n); }, 1, 9,
       [&](Wire& w) { w.I32(0); text(w, "tester"); w.U32(0).I32(0); }, kSlotMarker},
      {"own record, operation 1, other letter case: no right", 0,
       [&](uint32_t id) { return RemoteGetUserRecord(id, 1, "TeStEr", &out, &n); }, 1, 9,
       [&](Wire& w) { w.I32(1); text(w, "TeStEr"); w.U32(0).I32(0); }, kSlotMarker},
      {"own record, operation 2: needs bit 0x2", kChange,
       [&](uint32_t id) { return RemoteGetUserRecord(id, 2, "tester", &out, &n); },
       QZ_E_ACCESSDENIED, kNoCall, nullptr, QZ_E_ACCESSDENIED},
      {"operation 2, null id goes as the empty string", kRead,
       [&](uint32_t id) { return RemoteGetUserRecord(id, 2, nullptr, &out, &n); }, 1, 9,
       [&](Wire& w) { w.I32(2); text(w, ""); w.U32(0).I32(0); }, kSlotMarker},
      {"another user's record without bit 0x2", kChange,
       [&](uint32_t id) { return RemoteGetUserRecord(id, 0, "testers", &out, &n); },
       QZ_E_ACCESSDENIED, kNoCall, nullptr, QZ_E_ACCESSDENIED},
      {"user op: records of 40 and 60 bytes send 100", kChange,
       [&](uint32_t id) { return RemoteUserOP(id, 5, two.data(), 2); }, 1, 10,
       [&](Wire& w) { w.I32(5).U32(100).Raw(two.data(), 100).I32(100); }, kSlotMarker},
      {"user op: a record of exactly 4 bytes", kChange,
       [&](uint32_t id) { return RemoteUserOP(id, 0, minimal.data(), 1); }, 1, 10,
       [&](Wire& w) { w.I32(0).U32(4).Raw(minimal.data(), 4).I32(4); }, kSlotMarker},
      {"user op: a length of 3 is refused", kChange,
       [&](uint32_t id) { return RemoteUserOP(id, 0, short_len.data(), 2); }, QZ_E_INVALIDARG,
       kNoCall, nullptr, QZ_E_INVALIDARG},
      {"user op: a length of 0 is refused, never walked again", kChange,
       [&](uint32_t id) { return RemoteUserOP(id, 0, zero_len.data(), 0x7FFFFFFF); },
       QZ_E_INVALIDARG, kNoCall, nullptr, QZ_E_INVALIDARG},
      {"user op 6", kChange, [&](uint32_t id) { return RemoteUserOP(id, 6, two.data(), 2); },
       QZ_E_BADOPTYPE, kNoCall, nullptr, QZ_E_BADOPTYPE},
      {"user op without bit 0x1 is refused before the op type", kRead,
       [&](uint32_t id) { return RemoteUserOP(id, 6, two.data(), 2); }, QZ_E_ACCESSDENIED,
       kNoCall, nullptr, QZ_E_ACCESSDENIED},
      {"user base op: 3 records send 2916 bytes", kChange,
       [&](uint32_t id) {
         return RemoteUserBaseOP(id, 5, reinterpret_cast<const USERINFO_TABLE*>(users.data()), 3);
       },
       1, 11, [&](Wire& w) { w.I32(5).U32(2916).Raw(users.data(), 2916).I32(2916); },
       kSlotMarker},
      {"user detail op: 3 records send 156 bytes", kChange,
       [&](uint32_t id) {
         return RemoteUserDetailOP(id, 3,
                                   reinterpret_cast<const USERDETAIL_TABLE*>(details.data()), 3);
       },
       1, 12, [&](Wire& w) { w.I32(3).U32(156).Raw(details.data(), 156).I32(156); },
       kSlotMarker},
      {"user detail op 0", kChange,
       [&](uint32_t id) {
         return RemoteUserDetailOP(id, 0,
                                   reinterpret_cast<const USERDETAIL_TABLE*>(details.data()), 1);
       },
       QZ_E_BADOPTYPE, kNoCall, nullptr, QZ_E_BADOPTYPE},
      {"user detail op 4", kChange,
       [&](uint32_t id) {
         return RemoteUserDetailOP(id, 4,
                                   reinterpret_cast<const USERDETAIL_TABLE*>(details.data()), 1);
       },
       QZ_E_BADOPTYPE, kNoCall, nullptr, QZ_E_BADOPTYPE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Login({0, 0, 0, c.rights3});
    EXPECT_EQ(c.call(id_), c.status);
    EXPECT_EQ(Opnum(), c.opnum);
    if (c.body) {
      Wire w;
      PutTestKey(w);
      c.body(w);
      std::optional<Bytes> sent = Request();
      ASSERT_TRUE(sent.has_value());
      EXPECT_TRUE(SameBytes(*sent, w.bytes()));
    }
    EXPECT_EQ(SlotCode(), c.slot);
    if (out != nullptr) platform::HeapFree(out);
    out = nullptr;
  }
}

// The department count is whole records whatever the result; a server
// refusal is stored.
TEST_F(UserFamilyTest, DeptCountsAndServerRefusal) {
  Login({0, 0, 0, kRead});
  DEPTINFO_TABLE* depts = nullptr;
  uint32_t count = 7;
  AnswerBytes(8, 3, 352 + 100);
  EXPECT_EQ(RemoteGetDeptData(id_, "x", &depts, &count), 1u);
  EXPECT_EQ(count, 2u);
  ASSERT_NE(depts, nullptr);
  platform::HeapFree(depts);
  depts = nullptr;
  AnswerBytes(8, 3, 352, kRefusal);
  EXPECT_EQ(RemoteGetDeptData(id_, "x", &depts, &count), static_cast<uint32_t>(kRefusal));
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(SlotCode(), static_cast<uint32_t>(kRefusal));
  platform::HeapFree(depts);
}

// Export labels end in a blank; the user changes log the request as the
// session sent it, after (UserOP) or before (UserBaseOP) the call.
TEST_F(UserFamilyTest, TraceLabels) {
  Login({0, 0, 0, kChange | kRead});
  const Bytes two = SelfSized({40, 60});
  const Bytes user = Filler(QZ_SIZEOF_USERINFO_TABLE, 4);
  ClearTrace();
  EXPECT_EQ(RemoteUserOP(id_, 1, two.data(), 2), 1u);
  EXPECT_EQ(RemoteUserBaseOP(id_, 1, reinterpret_cast<const USERINFO_TABLE*>(user.data()), 1), 1u);
  EXPECT_EQ(RemoteUserOP(id_ + 1, 1, two.data(), 2), QZ_E_BADSERVERID);  // no return entry
  EXPECT_EQ(TraceLabels(),
            (std::vector<std::string>{"Call RemoteUserOP ", "Call rpcUserOP ",
                                      "Call RemoteUserOP return ", "Call RemoteUserBaseOP ",
                                      "Call rpcUserBaseOP ", "Call RemoteUserBaseOP return ",
                                      "Call RemoteUserOP "}));
  const std::string log = TraceLog();
  EXPECT_NE(log.find("\tdwSize = 0x64\n"), std::string::npos);   // 100 bytes walked
  EXPECT_NE(log.find("\tdwSize = 0x3cc\n"), std::string::npos);  // one 972-byte record
}

}  // namespace
}  // namespace qz::stubs_test
