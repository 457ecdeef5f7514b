// family_fixture.h -- fixture of the family tests that run the exported
// functions (and through them the session operations and the real client
// stubs) against the scripted server. Each case logs in afresh with its
// rights (the SERVERINFO of user "tester", session 0x01020304, adopted
// without the login procedures), presets the error slot to a marker, makes
// its call and is checked for the status, the exact request after the key
// (or that none was made) and the error slot. The trace log goes to a fresh
// current directory. Thread-safety: test-only, used from the test thread.
#ifndef QZ_TESTS_STUBS_FAMILY_FIXTURE_H_
#define QZ_TESTS_STUBS_FAMILY_FIXTURE_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "core/trace_log.h"
#include "exports/session_slot.h"
#include "platform/platform.h"
#include "session/server_session.h"
#include "tests/stubs/stubs_fixture.h"

namespace qz::stubs_test {

inline constexpr uint32_t kSlotMarker = 0x0BADF00Du;  // "the slot was not touched"
inline constexpr int kNoCall = -1;
using Rights = std::array<uint32_t, 4>;

struct FamilyCase {
  const char* name;
  Rights rights;
  std::function<uint32_t(uint32_t id)> call;
  uint32_t status;
  int opnum;                        // kNoCall: nothing may reach the server
  std::function<void(Wire&)> body;  // the request after the key (with opnum)
  uint32_t slot;                    // the error slot afterwards
};

using CaseCall = std::function<uint32_t(uint32_t id)>;
using CaseBody = std::function<void(Wire&)>;
// A call that succeeds with exactly this request and stores nothing.
inline FamilyCase Sent(const char* name, Rights r, CaseCall call, int opnum, CaseBody body) {
  return {name, r, std::move(call), 1, opnum, std::move(body), kSlotMarker};
}
// A call refused before reaching the server; `stored`: the status is in the slot.
inline FamilyCase Refused(const char* name, Rights r, CaseCall call, uint32_t status,
                          bool stored = true) {
  return {name, r, std::move(call), status, kNoCall, nullptr, stored ? status : kSlotMarker};
}

// A text parameter: aligned, counts, characters and NUL.
inline Wire& Text(Wire& w, const std::string& s) {
  const auto n = static_cast<uint32_t>(s.size() + 1);
  return w.PadTo(4).U32(n).U32(0).U32(n).Chars(s);
}
inline Wire& NoReply(Wire& w) { return w.PadTo(4).U32(0).I32(0); }  // null block, count 0

inline Bytes Filler(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

class FamilyTest : public StubsTest {
 protected:
  void SetUp() override {
    StubsTest::SetUp();
    old_cwd_ = std::filesystem::current_path();
    dir_ = std::filesystem::temp_directory_path() /
           ("qzfamily-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    std::filesystem::current_path(dir_);
    UseLibraryMemoryRoutines();
    Login({0, 0, 0, 0});
  }
  void TearDown() override {
    exports::ReleaseSlot();  // logs out over the session's own binding
    std::filesystem::current_path(old_cwd_);
    std::filesystem::remove_all(dir_);
    StubsTest::TearDown();
  }

  void Login(Rights rights) {
    exports::ReleaseSlot();
    CRpcServerSession* s = CreateRpcServerSession();
    ASSERT_NE(s, nullptr);
    s->AddRef();
    rpc::BindingHandle b = nullptr;
    ASSERT_EQ(rpc::RpcBindingFromStringBinding(server_->TcpStringBinding(), &b), 0u);
    SessionTestAccess::SetBinding(*s, b);
    test_support::LoginProfile profile;
    profile.session = 0x01020304;
    profile.rights = rights;
    std::vector<uint8_t> info;
    test_support::FillServerInfo(profile, &info);
    SessionTestAccess::AdoptLoginInfo(*s, info.data());
    SessionTestAccess::SetState(*s, 2);
    id_ = exports::PutSession(s);
    s->SetError(kSlotMarker);
    server_->ClearCalls();
  }

  static uint32_t SlotCode() { return exports::SlotSession()->ErrorCode(); }

  void RunCases(const std::vector<FamilyCase>& cases) {
    for (const FamilyCase& c : cases) {
      SCOPED_TRACE(c.name);
      Login(c.rights);
      EXPECT_EQ(c.call(id_), c.status);
      std::vector<test_support::RecordedCall> calls = server_->Calls();
      EXPECT_LE(calls.size(), 1u);
      EXPECT_EQ(calls.empty() ? kNoCall : calls[0].opnum, c.opnum);
      if (c.body && calls.size() == 1) {
        Wire w;
        c.body(PutTestKey(w));
        EXPECT_TRUE(SameBytes(calls[0].stub, w.bytes()));
      }
      EXPECT_EQ(SlotCode(), c.slot);
    }
  }

  std::string TraceLog() const {
    std::ifstream in(dir_ / kTraceFileName);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // The label lines in order: after "mm\t " or, for a further label line
  // of the same entry, after its leading blank.
  std::vector<std::string> TraceLabels() const {
    std::vector<std::string> labels;
    std::istringstream in(TraceLog());
    for (std::string line; std::getline(in, line);) {
      const size_t mm = line.find("mm\t ");
      if (mm != std::string::npos) labels.push_back(line.substr(mm + 4));
      else if (!line.empty() && line[0] == ' ') labels.push_back(line.substr(1));
    }
    return labels;
  }
  void ClearTrace() const { std::filesystem::remove(dir_ / kTraceFileName); }

  // The server answers a block of n bytes at position pos, and `status`.
  static void AnswerBytes(uint16_t opnum, size_t pos, size_t n, int32_t status = 1) {
    server_->OnCall(opnum, [pos, n, status](rpc::ServerArgs& args) {
      args[pos].bytes.assign(n, 0x5A);
      args[pos].present = true;
      return status;
    });
  }

  uint32_t id_ = 0;
  std::filesystem::path dir_, old_cwd_;
};

}  // namespace qz::stubs_test

#endif  // QZ_TESTS_STUBS_FAMILY_FIXTURE_H_
