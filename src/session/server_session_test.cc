// server_session_test.cc -- the session object: base operations, checks,
// guards, the server-information copies and the teardown.
#include "session/server_session.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/error_text.h"
#include "platform/platform.h"

namespace qz {
namespace {

// Exposes the protected building blocks and reports its destruction.
class TestSession : public CRpcServerSession {
 public:
  explicit TestSession(bool* destroyed = nullptr) : destroyed_(destroyed) {}
  using CServerSession::CheckLoggedIn;
  using CServerSession::GuardedBufferWalk;
  using CServerSession::GuardedCall;
  using CServerSession::GuardedCallNoRecord;
  using CServerSession::GuardedLogout;
  using CServerSession::RequireEitherRight;
  using CServerSession::RequireRight;
  using CServerSession::RequireRightBySelector;
  using CServerSession::SumLengthFields;
  using CServerSession::WriteCallerBytes;

 protected:
  ~TestSession() override {
    if (destroyed_) *destroyed_ = true;
  }

 private:
  bool* destroyed_;
};

// Owns one reference and releases it at the end of the test.
struct Held {
  explicit Held(TestSession* s) : s(s) { s->AddRef(); }
  ~Held() { s->Release(); }
  TestSession* operator->() { return s; }
  TestSession* s;
};

std::vector<std::string>* g_boxes;
void CaptureBox(const char* text, const char* caption) {
  g_boxes->push_back(std::string(caption) + "|" + text);
}

TEST(Session, NewSessionIsNotLoggedIn) {
  Held h(new TestSession());
  EXPECT_EQ(h->State(), 0u);
  EXPECT_EQ(h->RefCount(), 1u);
  EXPECT_EQ(h->ErrorCode(), 0u);
  const uint8_t* cache = SessionTestAccess::ServerInfoCache(*h.s);
  uint32_t first;
  std::memcpy(&first, cache, 4);
  EXPECT_EQ(first, 2u);
  EXPECT_EQ(cache[4], 0);
  EXPECT_EQ(SessionTestAccess::Binding(*h.s), nullptr);
  EXPECT_EQ(h->IsLoggedIn(), 0u);
  EXPECT_EQ(h->ErrorCode(), QZ_E_NOTLOGGEDIN);
  EXPECT_STREQ(h->ErrorSnapshot().GetErrorText(), StatusText(QZ_E_NOTLOGGEDIN).c_str());
  EXPECT_EQ(h->CheckLoggedIn(), QZ_E_NOTLOGGEDIN);
  SessionTestAccess::SetState(*h.s, 1);  // login in progress does not pass either
  EXPECT_EQ(h->IsLoggedIn(), 0u);
  SessionTestAccess::SetState(*h.s, 2);
  EXPECT_EQ(h->IsLoggedIn(), 1u);
  EXPECT_EQ(h->CheckLoggedIn(), kStatusOk);
}

TEST(Session, ServerName) {
  CServerSession* named = new TestSession();
  EXPECT_STREQ(named->ServerName(), "");
  named->AddRef();
  named->Release();
}

TEST(Session, ReferenceCounting) {
  bool destroyed = false;
  auto* s = new TestSession(&destroyed);
  EXPECT_EQ(s->Release(), 1u);  // already 0: nothing happens
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(s->AddRef(), 0u);
  void* out = nullptr;
  EXPECT_EQ(s->QueryInterface(&out), 0u);
  EXPECT_EQ(out, static_cast<CServerSession*>(s));
  EXPECT_EQ(s->RefCount(), 2u);
  EXPECT_EQ(s->QueryInterface(nullptr), kEInvalidArg);
  EXPECT_EQ(s->GetCodePage(), 1252u);
  EXPECT_EQ(s->GetSession(), s);
  EXPECT_EQ(s->Release(), 0u);
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(s->Release(), 0u);  // the last reference runs the teardown
  EXPECT_TRUE(destroyed);
}

TEST(Session, TeardownFreesTheBinding) {
  rpc::BindingHandle b = nullptr;
  ASSERT_EQ(rpc::RpcBindingFromStringBinding("ncacn_ip_tcp:127.0.0.1[1]", &b), 0u);
  ASSERT_NE(b, nullptr);
  bool destroyed = false;
  auto* s = new TestSession(&destroyed);
  SessionTestAccess::SetBinding(*s, b);
  SessionTestAccess::MakeLoggedIn(*s);  // the logout call fails: nothing listens on port 1
  s->AddRef();
  s->Release();
  EXPECT_TRUE(destroyed);  // a leak of the binding would fail the sanitizer build
}

// Every operation the base leaves unimplemented answers E_NOTIMPL, also on
// a logged-in session, without touching the error slot.
TEST(Session, UnimplementedOperationsAnswerENotImpl) {
  // The base class alone: the RPC session overrides the supported slots.
  struct BaseOnly : CServerSession {
    ~BaseOnly() override = default;
  } base;
  SessionTestAccess::MakeLoggedIn(base, ~0u, ~0u, ~0u, ~0u);
  CServerSession& s = base;
  char buf[64] = {};
  void* pp = nullptr;
  uint32_t n = 0;
  uint32_t ids[2] = {1, 2};
  ADVISEINFO adv{};
  UNADVISEINFO unadv{};
  const std::vector<std::function<uint32_t()>> ops = {
      [&] { return s.GetOnePageFromServer(1, "f"); },
      [&] { return s.PrintToTiffFromConn(buf); },
      [&] { return s.SendFaxFromConn(buf); },
      [&] { return s.SendFaxFromDraft(1); },
      [&] { return s.ImportFaxInfo(1, buf, 4); },
      [&] { return s.SychronizeToServer(); },
      [&] { return s.SychronizeFromServer(); },
      [&] { return s.Advise(adv); },
      [&] { return s.Unadvise(unadv); },
      [&] { return s.LogIn(); },
      [&] { return s.ChangePassword("a", "b"); },
      [&] { return s.GetAddressBookEx(0, &pp, &n); },
      [&] { return s.GetFolders(1, &pp, &n); },
      [&] { return s.SetFaxViewFlag(1, 1); },
      [&] { return s.Reserved19(); },
      [&] { return s.Reserved20(1, 2); },
      [&] { return s.AccessConfig(0, "x", 0, buf, &n); },
      [&] { return s.Reserved23(1); },
      [&] { return s.GetSystemConfig(0, buf, &n); },
      [&] { return s.SetSystemConfig(0, buf, 4); },
      [&] { return s.QueryUserLog("", &pp, &n); },
      [&] { return s.DelUserLog(""); },
      [&] { return s.QuerySysLog("", &pp, &n); },
      [&] { return s.DelSysLog(""); },
      [&] { return s.BackupSysLog("", &pp, &n); },
      [&] { return s.LogOut(); },
      [&] { return s.DeptOP(1, buf, 1); },
      [&] { return s.GetDeptData("", &pp, &n); },
      [&] { return s.GetUserRecord(0, "u", &pp, &n); },
      [&] { return s.UserOP(0, buf, 1); },
      [&] { return s.UserBaseOP(0, buf, 1); },
      [&] { return s.UserDetailOP(1, buf, 1); },
      [&] { return s.SendFax(buf, 1, buf); },
      [&] { return s.TransmitFax(buf, 1, buf); },
      [&] { return s.SendFaxStop(ids, 2); },
      [&] { return s.ViewSendTask(0, 1, &pp, &n); },
      [&] { return s.ViewRecvTask(0, 1, &pp, &n); },
      [&] { return s.GetAuthTasks(&pp, &n); },
      [&] { return s.AuthToFax(1, 1); },
      [&] { return s.LockTask(ids, 2); },
      [&] { return s.TaskIDListOP(ids, 2); },
      [&] { return s.EditTaskPRI(buf, 1); },
      [&] { return s.DeleteTask(ids, 2, 0); },
      [&] { return s.GetTaskProgress(ids, 2, &pp, &n); },
      [&] { return s.EditSendTask(buf, 1); },
      [&] { return s.NewInformation(buf, 1, buf, 4); },
      [&] { return s.GetInformation(buf, 1, "", &pp, &n); },
      [&] { return s.EditInformation(buf, 1, buf, 4); },
      [&] { return s.MoveInformation(buf, buf, 1, buf, 4); },
      [&] { return s.DeleteInformation(buf, 1, buf, 4); },
      [&] { return s.DeviceOP(1, buf, 4); },
      [&] { return s.GetDeviceInfo(&pp, &n); },
      [&] { return s.GetPortList("", &pp, &n); },
      [&] { return s.GetPortLimited(0, "", &pp, &n); },
      [&] { return s.PortLimitedOP(1, buf, 1); },
      [&] { return s.SetPortStatus(buf, 1); },
      [&] { return s.StopLine(buf, 1); },
      [&] { return s.ScriptFileOP(1, buf, 1); },
      [&] { return s.Reserved64(1, 2); },
      [&] { return s.GetScripts(&pp, &n); },
      [&] { return s.Reserved66(1, 2); },
      [&] { return s.Reserved67(1, 2); },
      [&] { return s.GetPortRealInfo(&pp, &n); },
      [&] { return s.ReceiveFileFromServer(0, 1, "t", "r", &n); },
      [&] { return s.SendFileToServer(0, 1, "t", "n"); },
      [&] { return s.DeleteFileFromServer(0, 0, 1, "t"); },
      [&] { return s.DialRuleOP(1, buf, 1); },
      [&] { return s.GetDialRule("", &pp, &n); },
      [&] { return s.GetPrefixTable("", &pp, &n); },
      [&] { return s.PrefixTableOP(1, buf, 1); },
      [&] { return s.CheckDialRule(1, 2); },
      [&] { return s.GetAutoRecvInfo("", &pp, &n); },
      [&] { return s.AutoRecvOP(1, buf, 1); },
      [&] { return s.AuthorizedOP(1, buf, 1); },
      [&] { return s.GetAuthorizedInfo("", &pp, &n); },
      [&] { return s.RouterOP(1, buf, 1); },
      [&] { return s.GetRouterInfo("", &pp, &n); },
      [&] { return s.QueryServerPrinters(&pp, &n); },
      [&] { return s.GetFaxViewRecord("", &pp, &n); },
      [&] { return s.DelFaxViewRecord(""); },
      [&] { return s.GetCoverPageField("", &pp, &n); },
      [&] { return s.CoverPageFieldOP(1, buf, 1); },
      [&] { return s.GetReportTemplates(buf, &pp, &n); },
      [&] { return s.NewReportTemplate(buf, buf, 1); },
      [&] { return s.EditReportTemplate(buf, buf, 1); },
      [&] { return s.DeleteReportTemplate(buf, 1); },
      [&] { return s.QueryReport("q", &pp, &n); },
      [&] { return s.GetNewReceivedMessages(buf, ids, 2, &pp, &n); },
      [&] { return s.GetAddressRelation(1, 0, &pp, &n); },
      [&] { return s.GetReportTemplate(buf, 1, &pp, &n); },
      [&] { return s.GetFaxAutoRecvHistory("", &pp, &n); },
      [&] { return s.DelFaxAutoRecvHistor(""); },
      [&] { return s.NewDraftInformation(buf, 4); },
      [&] { return s.GetDraftInformation(&pp, &n); },
      [&] { return s.DelDraftInformation(1); },
      [&] { return s.EditDraftInformation(buf, 4); },
  };
  // 103 slots less the 7 the base implements (9, 10, 11, 14, 15, 21, 88).
  EXPECT_EQ(ops.size(), 96u);
  for (size_t i = 0; i < ops.size(); ++i) EXPECT_EQ(ops[i](), kENotImpl) << "operation " << i;
  EXPECT_EQ(s.ErrorCode(), 0u);
  EXPECT_EQ(pp, nullptr);
  EXPECT_EQ(n, 0u);
}

TEST(Session, PermissionChecks) {
  Held h(new TestSession());
  SessionTestAccess::MakeLoggedIn(*h.s, 0x40, 0, 0x10000 | 0x80, 0x2);
  EXPECT_EQ(h->Rights(0), 0x40u);
  EXPECT_EQ(h->Rights(2), 0x10080u);
  EXPECT_EQ(h->Rights(4), 0u);  // out of range reads nothing
  struct Case {
    std::function<uint32_t()> check;
    uint32_t want;
  } cases[] = {
      {[&] { return h->RequireRight(2, 0x10000); }, kStatusOk},
      {[&] { return h->RequireRight(3, 0x2); }, kStatusOk},
      {[&] { return h->RequireRight(3, 0x1); }, QZ_E_ACCESSDENIED},
      {[&] { return h->RequireRight(2, 0x20); }, QZ_E_ACCESSDENIED},
      {[&] { return h->RequireEitherRight({0, 0x10}, {2, 0x80}); }, kStatusOk},
      {[&] { return h->RequireEitherRight({2, 0x100}, {0, 0x20}); }, QZ_E_ACCESSDENIED},
      {[&] { return h->RequireEitherRight({0, 0x40}, {2, 0x200}); }, kStatusOk},
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].check(), cases[i].want) << i;
  EXPECT_EQ(h->ErrorCode(), QZ_E_ACCESSDENIED);

  const RightBit view[] = {{0, 0x40}, {2, 0x40}};
  EXPECT_EQ(h->RequireRightBySelector(0, view), kStatusOk);
  h->SetError(0);
  EXPECT_EQ(h->RequireRightBySelector(1, view), QZ_E_ACCESSDENIED);
  EXPECT_EQ(h->ErrorCode(), QZ_E_ACCESSDENIED);
  EXPECT_EQ(h->RequireRightBySelector(2, view), QZ_E_BADOPTYPE);
  EXPECT_EQ(h->ErrorCode(), QZ_E_BADOPTYPE);
}

class GuardTest : public testing::Test {
 protected:
  void SetUp() override {
    g_boxes = &boxes_;
    old_ = platform::SetMessageBoxSink(&CaptureBox);
    SessionTestAccess::MakeLoggedIn(*h_.s);
  }
  void TearDown() override { platform::SetMessageBoxSink(old_); }
  Held h_{new TestSession()};
  std::vector<std::string> boxes_;
  platform::MessageBoxSink old_ = nullptr;
};

TEST_F(GuardTest, StandardGuard) {
  EXPECT_EQ(h_->GuardedCall([] { return 1; }), 1u);
  EXPECT_EQ(h_->ErrorCode(), 0u);
  EXPECT_EQ(h_->GuardedCall([]() -> uint32_t { RaiseRpcException(1722); }), 1722u);
  EXPECT_EQ(h_->ErrorCode(), 1722u);
  EXPECT_STREQ(h_->ErrorSnapshot().GetErrorText(), "The RPC server is unavailable.");
  EXPECT_EQ(h_->GuardedCall([] { return 0xC1FF3010u; }), 0xC1FF3010u);  // result stored
  EXPECT_EQ(h_->ErrorCode(), 0xC1FF3010u);
  EXPECT_EQ(h_->GuardedCall([]() -> uint32_t { ThrowStatus(0x80070005u); }), 0x80070005u);
  EXPECT_EQ(h_->GuardedCall([]() -> uint32_t { throw std::bad_alloc(); }), 14u);
  EXPECT_EQ(h_->GuardedCall([]() -> uint32_t { RaiseAccessViolation(); }), 0xC0000005u);
  EXPECT_EQ(h_->ErrorCode(), 0xC0000005u);
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(GuardTest, NoResultRecording) {
  EXPECT_EQ(h_->GuardedCallNoRecord([] { return 7u; }), 7u);
  EXPECT_EQ(h_->ErrorCode(), 0u);
  EXPECT_EQ(h_->GuardedCallNoRecord([]() -> uint32_t { RaiseRpcException(1726); }), 1726u);
  EXPECT_EQ(h_->ErrorCode(), 1726u);
}

TEST_F(GuardTest, LogoutGuardReturnsHResultForm) {
  EXPECT_EQ(h_->GuardedLogout([] { return 5u; }), 5u);
  EXPECT_EQ(h_->ErrorCode(), 0u);
  EXPECT_EQ(h_->GuardedLogout([]() -> uint32_t { RaiseRpcException(1722); }), 0x800706BAu);
  EXPECT_EQ(h_->ErrorCode(), 1722u);  // the slot keeps the raw code
  EXPECT_EQ(h_->GuardedLogout([]() -> uint32_t { RaiseRpcException(0); }), 0u);
}

TEST_F(GuardTest, BufferWalkGuard) {
  long page = sysconf(_SC_PAGESIZE);
  auto* m = static_cast<uint8_t*>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(m, MAP_FAILED);
  ASSERT_EQ(mprotect(m + page, page, PROT_NONE), 0);
  // Two self-sized records of 8 and 12 bytes at the end of the readable page.
  uint8_t* recs = m + page - 20;
  const uint32_t l1 = 8, l2 = 12;
  std::memcpy(recs, &l1, 4);
  std::memcpy(recs + 8, &l2, 4);
  uint64_t total = 0;
  EXPECT_EQ(h_->GuardedBufferWalk([&] {
    total = TestSession::SumLengthFields(recs, 2);
    return kStatusOk;
  }),
            kStatusOk);
  EXPECT_EQ(total, 20u);
  EXPECT_TRUE(boxes_.empty());
  // A third record would start in the unreadable page.
  EXPECT_EQ(h_->GuardedBufferWalk([&] { return TestSession::SumLengthFields(recs, 3); }),
            QZ_E_ACCESSVIOLATION);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0], "Exception Happen|access violation");
  EXPECT_EQ(h_->ErrorCode(), QZ_E_ACCESSVIOLATION);
  EXPECT_STREQ(h_->ErrorSnapshot().GetErrorText(), "access violation");
  // Writing a result array into read-only memory is caught the same way.
  ASSERT_EQ(mprotect(m, page, PROT_READ), 0);
  uint32_t v = 1;
  EXPECT_EQ(h_->GuardedBufferWalk([&] {
    TestSession::WriteCallerBytes(m, &v, sizeof v);
    return kStatusOk;
  }),
            QZ_E_ACCESSVIOLATION);
  // Only access violations are caught there.
  EXPECT_THROW(h_->GuardedBufferWalk([]() -> uint32_t { RaiseRpcException(1722); }),
               RpcException);
  munmap(m, 2 * page);
}

TEST_F(GuardTest, ErrorSlotFromManyThreads) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        h_->GuardedCall([t]() -> uint32_t { RaiseRpcException(t % 2 ? 1722 : 1726); });
        qz_except copy = h_->ErrorSnapshot();
        std::string text = copy.GetErrorText() ? copy.GetErrorText() : "";
        uint32_t c = copy.GetErrorCode();
        ASSERT_TRUE((c == 1722 && text == "The RPC server is unavailable.") ||
                    (c == 1726 && text == "The remote procedure call failed."))
            << c << " " << text;
      }
    });
  for (auto& th : threads) th.join();
}

TEST(Session, GetErrorInfo) {
  Held h(new TestSession());
  EXPECT_EQ(h->GetErrorInfo(nullptr), kEInvalidArg);
  h->SetError(0xC1FF300Cu, "no right");
  qz_except out(5, "old");
  EXPECT_EQ(h->GetErrorInfo(&out), 0u);
  EXPECT_EQ(out.GetErrorCode(), 0xC1FF300Cu);
  EXPECT_STREQ(out.GetErrorText(), "no right");
}

// A SERVERINFO with every byte set to a marker and the texts filled.
std::vector<uint8_t> MakeServerInfo() {
  std::vector<uint8_t> info(kServerInfoSize);
  for (size_t i = 0; i < info.size(); ++i) info[i] = static_cast<uint8_t>(0x20 + i % 90);
  std::memset(info.data() + 4, 'H', 31);  // no NUL within the 31 bytes
  std::memcpy(info.data() + 35, "", 1);   // empty text
  std::memcpy(info.data() + 55, "short", 6);
  const int32_t session_no = 4711;
  std::memcpy(info.data() + 684, &session_no, 4);
  std::memcpy(info.data() + 709, "a-very-long-user-identifier", 28);
  const uint32_t rights[4] = {1, 2, 0x10000, 0x8000};
  std::memcpy(info.data() + 1664, rights, 16);
  return info;
}

TEST(Session, LoginCopyAndGetServerInfo) {
  Held h(new TestSession());
  std::vector<uint8_t> info = MakeServerInfo();
  SessionTestAccess::AdoptLoginInfo(*h.s, info.data());
  const uint8_t* cache = SessionTestAccess::ServerInfoCache(*h.s);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(cache + 4)), std::string(30, 'H'));
  EXPECT_EQ(cache[35], 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(cache + 55), "short");
  EXPECT_EQ(std::memcmp(cache + 172, info.data() + 172, 16), 0);
  EXPECT_EQ(std::memcmp(cache + 188, info.data() + 684, 4), 0);
  EXPECT_EQ(std::memcmp(cache + 192, info.data() + 692, 16), 0);
  EXPECT_EQ(std::memcmp(cache + 208, info.data() + 708, 972), 0);
  EXPECT_EQ(h->Rights(3), 0x8000u);
  SESSIONKEY key = h->SessionKey();
  EXPECT_EQ(key.dwSessionNo, 4711);
  EXPECT_STREQ(key.szUserID, "a-very-long-user-id");  // 19 characters

  SERVERINFO out;
  uint32_t size = sizeof out;
  EXPECT_EQ(h->GetServerInfo(&out, &size), QZ_E_NOTLOGGEDIN);  // state 0
  SessionTestAccess::SetState(*h.s, 2);
  h->SetError(0);
  std::memset(&out, 0xEE, sizeof out);
  size = 100;
  EXPECT_EQ(h->GetServerInfo(&out, &size), QZ_E_BUFFERTOOSMALL);
  EXPECT_EQ(size, kServerInfoSize);
  EXPECT_EQ(h->ErrorCode(), 0u);  // size negotiation does not record
  EXPECT_EQ(reinterpret_cast<uint8_t*>(&out)[0], 0xEE);
  EXPECT_EQ(h->GetServerInfo(&out, &size), kStatusOk);
  const uint8_t* o = reinterpret_cast<const uint8_t*>(&out);
  EXPECT_EQ(std::memcmp(o, info.data(), 4), 0);
  EXPECT_EQ(std::string(out.szHostName), std::string(30, 'H'));
  EXPECT_EQ(out.szText35[0], 0);
  EXPECT_STREQ(out.szText55, "short");
  EXPECT_EQ(o[55 + 6], 0xEE);  // bytes after a text's NUL are left alone
  EXPECT_EQ(out.dwSessionNo, 4711);
  EXPECT_EQ(std::memcmp(o + 692, info.data() + 692, 16), 0);
  EXPECT_EQ(std::memcmp(o + 708, info.data() + 708, 972), 0);
  EXPECT_EQ(out.UserInfo.dwRights[2], 0x10000u);
  // The untouched ranges keep the caller's markers.
  EXPECT_EQ(o[171], 0xEE);
  for (size_t i = 188; i < 684; ++i) ASSERT_EQ(o[i], 0xEE) << i;
  for (size_t i = 688; i < 692; ++i) ASSERT_EQ(o[i], 0xEE) << i;

  EXPECT_EQ(h->GetServerInfo(nullptr, &size), QZ_E_INVALIDARG);
  EXPECT_EQ(h->ErrorCode(), QZ_E_INVALIDARG);
  EXPECT_EQ(h->GetServerInfo(&out, nullptr), QZ_E_INVALIDARG);
}

}  // namespace
}  // namespace qz
