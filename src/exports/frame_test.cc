// frame_test.cc -- the export frame's variants, the server-ID check and
// the session slot. Every test runs in a fresh temporary directory.
#include "exports/frame.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "core/trace_log.h"
#include "exports/session_slot.h"
#include "session/server_session.h"

namespace qz::exports {
namespace {

namespace fs = std::filesystem;

// Counts its calls and reports its destruction.
class FakeSession : public CRpcServerSession {
 public:
  explicit FakeSession(bool* destroyed) : destroyed_(destroyed) {}
  uint32_t DelUserLog(const char* cond) override {
    ++calls;
    last_condition = cond ? cond : "(null)";
    if (on_call) on_call();
    return result;
  }
  int calls = 0;
  uint32_t result = 1;
  std::string last_condition;
  void (*on_call)() = nullptr;

 protected:
  ~FakeSession() override { *destroyed_ = true; }

 private:
  bool* destroyed_;
};

class FrameTest : public testing::Test {
 protected:
  void SetUp() override {
    old_ = fs::current_path();
    char tmpl[] = "/tmp/qz_frame_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    fs::current_path(dir_);
    session_ = new FakeSession(&destroyed_);
    session_->AddRef();  // the slot's reference
    id_ = PutSession(session_);
    ASSERT_NE(id_, 0u);
    SessionTestAccess::MakeLoggedIn(*session_);
  }
  void TearDown() override {
    SetTraceFailureForTesting(false);
    ReleaseSlot();
    fs::current_path(old_);
    fs::remove_all(dir_);
  }
  // The log with every timestamp replaced by "T".
  static std::string Log() {
    std::ifstream in(kTraceFileName, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return std::regex_replace(ss.str(), std::regex(R"(\d+-\d+-\d+-\d+:\d+:\d+ \d+mm\t)"), "T");
  }
  uint32_t Call(Variant v, uint32_t id, const char* cond = "x = 1") {
    return RunFrame(
        v, id, "Call RemoteDelUserLog",
        [&](TraceEntry& t) { t.Num("dwServerID", id).Str("pszCondition", cond); },
        [&](CServerSession& s) { return s.DelUserLog(cond); }, "Call RemoteDelUserLog return",
        kLretOnly);
  }

  fs::path old_, dir_;
  bool destroyed_ = false;
  FakeSession* session_ = nullptr;
  uint32_t id_ = 0;
};

TEST_F(FrameTest, ValidIdCallsTheSessionInEveryVariant) {
  session_->result = 0xC1FF3016u;  // returned unchanged
  struct Case {
    Variant v;
    std::string log;
  } cases[] = {
      {Variant::kA, "T Call RemoteDelUserLog\n\tdwServerID = @ID@\n\tpszCondition = x = 1\n\n"
                    "T Call RemoteDelUserLog return\n\tlret = -1040240618\n\n"},
      {Variant::kB, "T Call RemoteDelUserLog\n\tdwServerID = @ID@\n\tpszCondition = x = 1\n\n"
                    "T Call RemoteDelUserLog return\n\tlret = -1040240618\n\n"},
      {Variant::kC, "T Call RemoteDelUserLog\n\tdwServerID = @ID@\n\tpszCondition = x = 1\n\n"},
      {Variant::kD, ""},
  };
  int calls = 0;
  for (const Case& c : cases) {
    fs::remove(kTraceFileName);
    EXPECT_EQ(Call(c.v, id_), 0xC1FF3016u);
    EXPECT_EQ(session_->calls, ++calls);
    EXPECT_EQ(session_->last_condition, "x = 1");
    std::string want = std::regex_replace(c.log, std::regex("@ID@"), std::to_string(id_));
    EXPECT_EQ(Log(), want) << static_cast<int>(c.v);
  }
  EXPECT_FALSE(fs::exists(kTraceFileName));  // variant D wrote nothing
}

TEST_F(FrameTest, BadIdByVariant) {
  const uint32_t bad = id_ + 1000;
  struct Case {
    Variant v;
    std::string log;
  } cases[] = {
      {Variant::kA, "T Call RemoteDelUserLog\n\tdwServerID = BAD\n\tpszCondition = x = 1\n\n"},
      {Variant::kB, "T Call RemoteDelUserLog\n\tdwServerID = BAD\n\tpszCondition = x = 1\n\n"
                    "T Call RemoteDelUserLog return\n\tlret = -1040240638\n\n"},
      {Variant::kC, "T Call RemoteDelUserLog\n\tdwServerID = BAD\n\tpszCondition = x = 1\n\n"},
      {Variant::kD, ""},
  };
  for (const Case& c : cases) {
    fs::remove(kTraceFileName);
    EXPECT_EQ(Call(c.v, bad), QZ_E_BADSERVERID);
    std::string want = std::regex_replace(c.log, std::regex("BAD"), std::to_string(bad));
    EXPECT_EQ(Log(), want) << static_cast<int>(c.v);
  }
  EXPECT_EQ(session_->calls, 0);
  EXPECT_EQ(session_->ErrorCode(), 0u);  // a wrong ID records nothing
  EXPECT_EQ(Call(Variant::kA, 0), QZ_E_BADSERVERID);
}

TEST_F(FrameTest, LoggedOutSessionIsRefusedAndRecords) {
  SessionTestAccess::SetState(*session_, 0);
  EXPECT_EQ(CheckServerId(id_), 0u);
  EXPECT_EQ(Call(Variant::kB, id_), QZ_E_BADSERVERID);
  EXPECT_EQ(session_->calls, 0);
  EXPECT_EQ(session_->ErrorCode(), QZ_E_NOTLOGGEDIN);
  SessionTestAccess::SetState(*session_, 2);
  EXPECT_EQ(CheckServerId(id_), 1u);
}

TEST_F(FrameTest, StaleIdIsNeverAccepted) {
  EXPECT_EQ(SlotServerId(), id_);
  EXPECT_EQ(SlotSession(), session_);
  ReleaseSlot();
  EXPECT_TRUE(destroyed_);
  EXPECT_EQ(SlotSession(), nullptr);
  EXPECT_EQ(CheckServerId(id_), 0u);
  bool second_destroyed = false;
  auto* second = new FakeSession(&second_destroyed);
  second->AddRef();
  uint32_t id2 = PutSession(second);
  EXPECT_NE(id2, 0u);
  EXPECT_NE(id2, id_);  // a new number, never the old one
  SessionTestAccess::MakeLoggedIn(*second);
  EXPECT_EQ(CheckServerId(id_), 0u);
  EXPECT_EQ(CheckServerId(id2), 1u);
  EXPECT_EQ(Call(Variant::kA, id_), QZ_E_BADSERVERID);
  EXPECT_EQ(Call(Variant::kA, id2), 1u);
  EXPECT_EQ(second->calls, 1);
  // The slot holds one session only.
  bool third_destroyed = false;
  auto* third = new FakeSession(&third_destroyed);
  EXPECT_EQ(PutSession(third), 0u);
  third->AddRef();
  third->Release();
  EXPECT_TRUE(third_destroyed);
  ReleaseSlot();
  EXPECT_TRUE(second_destroyed);
}

TEST_F(FrameTest, SessionOutlivesASlotReleaseDuringTheCall) {
  session_->on_call = [] { ReleaseSlot(); };
  EXPECT_EQ(Call(Variant::kA, id_), 1u);
  EXPECT_TRUE(destroyed_);  // ended when the call's reference went away
  EXPECT_EQ(SlotSession(), nullptr);
}

TEST_F(FrameTest, TraceFailureBecomesTheResult) {
  SetTraceFailureForTesting(true);
  EXPECT_EQ(Call(Variant::kA, id_), QZ_E_TRACEFAILED);
  EXPECT_EQ(session_->calls, 0);  // the entry failed before the call
  EXPECT_EQ(Call(Variant::kD, id_), 1u);  // untraced exports are not affected
  SetTraceFailureForTesting(false);

  // A return entry that cannot be written: the operation already ran.
  const void* unreadable = reinterpret_cast<const void*>(uintptr_t{16});
  uint32_t r = RunFrame(
      Variant::kB, id_, "Call X", kNoEntryParams,
      [](CServerSession& s) { return s.DelUserLog("c"); }, "Call X return",
      [&](TraceEntry& t, uint32_t lret) { t.Lret(lret).Buffer("p", unreadable, "n", 4); });
  EXPECT_EQ(r, QZ_E_TRACEFAILED);
  EXPECT_EQ(session_->calls, 2);
  EXPECT_EQ(Log(), "T Call X\n\n");  // the failed entry was dropped whole
}

// A variant-B return entry after a bad ID dumps an output block the session
// never filled; read through the peeks it stays a bad-ID result.
TEST_F(FrameTest, BadIdReturnEntryWithUnfilledOutputs) {
  void** pp = nullptr;  // the caller passed no output pointer at all
  uint32_t count = 77;  // and a stale count
  uint32_t r = RunFrame(
      Variant::kB, id_ + 1, "Call RemoteGetDialRule", kNoEntryParams,
      [](CServerSession& s) { return s.GetDialRule("", nullptr, nullptr); },
      "Call RemoteGetDialRule return", [&](TraceEntry& t, uint32_t lret) {
        t.Lret(lret).Buffer("(*ppInfo)", TracePeekPointer(const_cast<const void* const*>(pp)),
                            "(*pdwRecordCount)", TracePeekU32(&count));
      });
  EXPECT_EQ(r, QZ_E_BADSERVERID);
  EXPECT_EQ(Log(),
            "T Call RemoteGetDialRule\n\n"
            "T Call RemoteGetDialRule return\n\tlret = -1040240638\n"
            "\t(*ppInfo) = 0x00000000\n\t(*pdwRecordCount) = 0x4d\n\n\n");
}

TEST_F(FrameTest, ExceptionsDoNotLeaveTheFrame) {
  auto run = [&](auto thrower) {
    return RunFrameUntraced(id_, [&](CServerSession&) -> uint32_t { return thrower(); });
  };
  EXPECT_EQ(run([]() -> uint32_t { RaiseRpcException(1722); }), 1722u);
  EXPECT_EQ(run([]() -> uint32_t { throw qz_except(0xC1FF3010u, nullptr); }), 0xC1FF3010u);
  EXPECT_EQ(run([]() -> uint32_t { throw std::bad_alloc(); }), QZ_E_OUTOFMEMORY);
  EXPECT_EQ(run([]() -> uint32_t { throw 42; }), kEUnexpected);
}

TEST_F(FrameTest, StandaloneEntries) {
  EXPECT_TRUE(WriteTraceEntry("Call LogInServer", kNoEntryParams));
  EXPECT_TRUE(WriteTraceEntry("Call LogInServer return", kLretOnly, 0xC1FF301Eu));
  SetTraceFailureForTesting(true);
  EXPECT_FALSE(WriteTraceEntry("Call ServerStop", kNoEntryParams));
  SetTraceFailureForTesting(false);
  EXPECT_EQ(Log(), "T Call LogInServer\n\nT Call LogInServer return\n\tlret = -1040240610\n\n");
}

TEST_F(FrameTest, EntryOnlyWrapper) {
  EXPECT_EQ(RunFrameEntryOnly(
                id_, "Call ChangePassword",
                [](TraceEntry& t) { t.Num("dwServerID", 9).Secret("lpszOldPwd", "pw"); },
                [](CServerSession& s) { return s.CheckDialRule(1, 2); }),
            kENotImpl);
  EXPECT_EQ(Log(), "T Call ChangePassword\n\tdwServerID = 9\n\tlpszOldPwd = ********\n\n");
}

TEST_F(FrameTest, UnwritableLogDirectoryKeepsResults) {
  fs::create_directory(kTraceFileName);  // unopenable for writing, even by root
  EXPECT_EQ(Call(Variant::kA, id_), 1u);
  EXPECT_EQ(Call(Variant::kB, id_ + 5), QZ_E_BADSERVERID);
  EXPECT_EQ(session_->calls, 1);
}

}  // namespace
}  // namespace qz::exports
