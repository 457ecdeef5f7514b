// family_fixture.h -- fixture of the family tests that run the exported
// functions (and through them the session operations and the real client
// stubs) against the scripted server: a logged-in session with chosen
// rights put into the session slot, the trace log in a fresh current
// directory, the error slot preset to a marker so that a test sees whether
// a call stored anything, and the request the server received.
//
// The session is made without the login procedures: the SERVERINFO the
// scripted server would hand out (user "tester", session 0x01020304) is
// adopted directly, then the rights are set per case.
// Thread-safety: test-only, used from the test thread.
#ifndef QZ_TESTS_STUBS_FAMILY_FIXTURE_H_
#define QZ_TESTS_STUBS_FAMILY_FIXTURE_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/trace_log.h"
#include "exports/session_slot.h"
#include "platform/platform.h"
#include "session/server_session.h"
#include "tests/stubs/stubs_fixture.h"

namespace qz::stubs_test {

// The error slot's content before every case; "unchanged" means this.
inline constexpr uint32_t kSlotMarker = 0x0BADF00Du;
// No procedure expected.
inline constexpr int kNoCall = -1;

class FamilyTest : public StubsTest {
 protected:
  void SetUp() override {
    StubsTest::SetUp();
    namespace fs = std::filesystem;
    old_cwd_ = fs::current_path();
    dir_ = fs::temp_directory_path() /
           ("qzfamily-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    fs::current_path(dir_);  // the trace log goes to the current directory
    UseLibraryMemoryRoutines();
    Login({0, 0, 0, 0});
  }
  void TearDown() override {
    exports::ReleaseSlot();  // logs out over the session's own binding
    std::filesystem::current_path(old_cwd_);
    std::filesystem::remove_all(dir_);
    StubsTest::TearDown();
  }

  // Replaces the live session by one with these rights; marks its slot.
  void Login(std::array<uint32_t, 4> rights) {
    exports::ReleaseSlot();
    CRpcServerSession* s = CreateRpcServerSession();
    ASSERT_NE(s, nullptr);
    s->AddRef();
    rpc::BindingHandle b = nullptr;
    ASSERT_EQ(rpc::RpcBindingFromStringBinding(server_->TcpStringBinding(), &b), 0u);
    SessionTestAccess::SetBinding(*s, b);
    test_support::LoginProfile profile;
    profile.user = "tester";
    profile.session = 0x01020304;
    profile.rights = rights;
    std::vector<uint8_t> info;
    test_support::FillServerInfo(profile, &info);
    SessionTestAccess::AdoptLoginInfo(*s, info.data());
    SessionTestAccess::SetState(*s, 2);
    id_ = exports::PutSession(s);
    ASSERT_NE(id_, 0u);
    s->SetError(kSlotMarker);
    server_->ClearCalls();
  }

  static uint32_t SlotCode() { return exports::SlotSession()->ErrorCode(); }
  static void MarkSlot() { exports::SlotSession()->SetError(kSlotMarker); }

  // The request of the only call, or nothing when no call was made.
  static std::optional<Bytes> Request() {
    std::vector<test_support::RecordedCall> calls = server_->Calls();
    if (calls.empty()) return std::nullopt;
    EXPECT_EQ(calls.size(), 1u);
    return calls[0].stub;
  }
  static int Opnum() {
    std::vector<test_support::RecordedCall> calls = server_->Calls();
    return calls.empty() ? kNoCall : calls[0].opnum;
  }

  std::string TraceLog() const {
    std::ifstream in(dir_ / kTraceFileName);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // The label lines of the trace log (the text after "mm\t " or the
  // leading blank of a further label line), in order.
  std::vector<std::string> TraceLabels() const {
    std::vector<std::string> labels;
    std::istringstream in(TraceLog());
    for (std::string line; std::getline(in, line);) {
      const size_t mm = line.find("mm\t ");
      if (mm != std::string::npos) {
        labels.push_back(line.substr(mm + 4));
      } else if (!line.empty() && line[0] == ' ') {
        labels.push_back(line.substr(1));
      }
    }
    return labels;
  }
  void ClearTrace() const { std::filesystem::remove(dir_ / kTraceFileName); }

  // A reply the server hands back through position `pos`.
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

// n bytes of a recognisable pattern.
inline Bytes Filler(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

// The 104-byte folder record with a class (offset 4) and a kind (offset 68).
inline Bytes FolderRecord(uint32_t folder_class, uint32_t kind) {
  Bytes f(QZ_SIZEOF_FOLDERINFO_TABLE, 0);
  for (size_t i = 0; i < f.size(); ++i) f[i] = static_cast<uint8_t>(0x30 + i % 40);
  std::memcpy(&f[4], &folder_class, 4);
  std::memcpy(&f[68], &kind, 4);
  return f;
}

}  // namespace qz::stubs_test

#endif  // QZ_TESTS_STUBS_FAMILY_FIXTURE_H_
