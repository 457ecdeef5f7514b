// user_test.cc -- users and departments: operation-code bounds, the
// dwRights[3] bits (one present, the other missing), the own-record rule,
// the walk over self-sized records (a length of exactly 4 passes, 3 and 0
// are refused without looping), the byte counts sent; the count conversion
// and the traces.
#include "tests/stubs/family_fixture.h"

namespace qz::stubs_test {
namespace {

constexpr uint32_t kChange = 0x1, kRead = 0x2;  // dwRights[3]

class UserFamilyTest : public FamilyTest {};

// Self-sized records laid end to end, each starting with its length.
Bytes SelfSized(std::initializer_list<uint32_t> lengths) {
  Bytes b;
  for (uint32_t len : lengths) {
    const size_t at = b.size();
    b.resize(at + std::max<uint32_t>(len, 4), 0xEE);
    std::memcpy(&b[at], &len, 4);
  }
  return b;
}

// dwOpType, then a block of n bytes of b and its count.
std::function<void(Wire&)> Block(int32_t op, const Bytes& b, uint32_t n) {
  return [=, &b](Wire& w) { w.I32(op).U32(n).Raw(b.data(), n).I32(static_cast<int32_t>(n)); };
}
std::function<void(Wire&)> Record(int32_t op, const std::string& user) {
  return [=](Wire& w) { NoReply(Text(w.I32(op), user)); };
}

DEPTINFO_TABLE** As(void** p) { return reinterpret_cast<DEPTINFO_TABLE**>(p); }

TEST_F(UserFamilyTest, ChecksRequestsAndRecording) {
  static const Bytes recs = Filler(3 * QZ_SIZEOF_USERINFO_TABLE, 2), two = SelfSized({40, 60}),
                     four = SelfSized({4}), three = SelfSized({3, 8}), zero = SelfSized({0, 8});
  const auto* depts = reinterpret_cast<const DEPTINFO_TABLE*>(recs.data());
  const auto* base = reinterpret_cast<const USERINFO_TABLE*>(recs.data());
  const auto* details = reinterpret_cast<const USERDETAIL_TABLE*>(recs.data());
  void* out = nullptr;
  uint32_t n = 0;
  auto record = [&](uint32_t op, const char* user) {
    return [=, &out, &n](uint32_t id) {
      const uint32_t r = RemoteGetUserRecord(id, op, user, &out, &n);
      platform::HeapFree(out);
      return r;
    };
  };
  auto dept = [&](uint32_t cmd, uint32_t count) {
    return [=](uint32_t id) { return RemoteDeptOP(id, cmd, depts, count); };
  };
  auto user_op = [](uint32_t op, const Bytes& b, uint32_t count) {
    return [=, &b](uint32_t id) { return RemoteUserOP(id, op, b.data(), count); };
  };
  auto detail = [&](uint32_t op, uint32_t count) {
    return [=](uint32_t id) { return RemoteUserDetailOP(id, op, details, count); };
  };
  const Rights change = {0, 0, 0, kChange}, read = {0, 0, 0, kRead}, none = {};
  const uint32_t denied = QZ_E_ACCESSDENIED, badop = QZ_E_BADOPTYPE, badarg = QZ_E_INVALIDARG;
  RunCases({
      Refused("dept 0", change, dept(0, 1), badop),
      Refused("dept 5, before the right", none, dept(5, 1), badop),
      Sent("dept 4: count x 176", change, dept(4, 2), 7, Block(4, recs, 352)),
      Refused("dept, 0x2 but not 0x1", read, dept(1, 1), denied),
      Refused("dept 3, no records", change, dept(3, 0), badarg),
      Refused("dept data, 0x1 but not 0x2", change,
              [&](uint32_t id) { return RemoteGetDeptData(id, "", As(&out), &n); }, denied),
      Sent("own record, op 0, null id", none, record(0, nullptr), 9, Record(0, "tester")),
      Sent("own record, op 1, other case", none, record(1, "TeStEr"), 9, Record(1, "TeStEr")),
      Refused("own record, op 2, without 0x2", change, record(2, "tester"), denied),
      Sent("op 2, null id sent empty", read, record(2, nullptr), 9, Record(2, "")),
      Refused("another user, op 0", change, record(0, "testers"), denied),
      Sent("user op: 40 + 60 bytes", change, user_op(5, two, 2), 10, Block(5, two, 100)),
      Sent("user op: length 4", change, user_op(0, four, 1), 10, Block(0, four, 4)),
      Refused("user op: length 3", change, user_op(0, three, 2), badarg),
      Refused("user op: length 0", change, user_op(0, zero, 0x7FFFFFFF), badarg),
      Refused("user op 6", change, user_op(6, two, 2), badop),
      Refused("user op 6 without 0x1", read, user_op(6, two, 2), denied),
      Sent("base op: 3 records", change,
           [&](uint32_t id) { return RemoteUserBaseOP(id, 5, base, 3); }, 11,
           Block(5, recs, 2916)),
      Sent("detail op 3: 3 records", change, detail(3, 3), 12, Block(3, recs, 156)),
      Refused("detail op 0", change, detail(0, 1), badop),
      Refused("detail op 4", change, detail(4, 1), badop),
  });
}

// The department count is whole records whatever the result, and a
// refusal is stored; the user changes log the request they sent.
TEST_F(UserFamilyTest, CountsAndTraces) {
  constexpr int32_t kRefusal = static_cast<int32_t>(0xC1FE0001u);
  Login({0, 0, 0, kChange | kRead});
  DEPTINFO_TABLE* depts = nullptr;
  uint32_t count = 7;
  AnswerBytes(8, 3, 352, kRefusal);
  EXPECT_EQ(RemoteGetDeptData(id_, nullptr, &depts, &count), static_cast<uint32_t>(kRefusal));
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(SlotCode(), static_cast<uint32_t>(kRefusal));
  EXPECT_EQ(server_->Calls()[0].args[2].text, "");
  platform::HeapFree(depts);

  const Bytes two = SelfSized({40, 60}), user = Filler(QZ_SIZEOF_USERINFO_TABLE, 4);
  ClearTrace();
  EXPECT_EQ(RemoteUserOP(id_, 1, two.data(), 2), 1u);
  EXPECT_EQ(RemoteUserBaseOP(id_, 1, reinterpret_cast<const USERINFO_TABLE*>(user.data()), 1), 1u);
  EXPECT_EQ(RemoteUserOP(id_ + 1, 1, two.data(), 2), QZ_E_BADSERVERID);  // no return entry
  EXPECT_EQ(TraceLabels(), (std::vector<std::string>{
                               "Call RemoteUserOP ", "Call rpcUserOP ", "Call RemoteUserOP return ",
                               "Call RemoteUserBaseOP ", "Call rpcUserBaseOP ",
                               "Call RemoteUserBaseOP return ", "Call RemoteUserOP "}));
  EXPECT_NE(TraceLog().find("\tdwOpType = 1\n\tpInfo = 0x"), std::string::npos);
  EXPECT_NE(TraceLog().find("\tdwSize = 0x64\n"), std::string::npos);   // 100 bytes walked
  EXPECT_NE(TraceLog().find("\tdwSize = 0x3cc\n"), std::string::npos);  // one 972-byte record
}

}  // namespace
}  // namespace qz::stubs_test
