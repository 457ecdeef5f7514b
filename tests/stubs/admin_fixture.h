// admin_fixture.h -- fixture of the administration families' tests (lines,
// dialing, logs and configuration, reports): their exports, compiled into
// the test, run against a real CRpcServerSession in the session slot, bound
// over TCP to the suite's scripted server. A case sees the request stubs
// the server received, the session's error slot and the trace log reduced
// to a skeleton: "@label" per entry, "name=value" per line (pointers of 8
// or more hex digits as "P", or "0" when null; the server ID as "ID"),
// "#n" per dump of n bytes, joined with '|'. Dumped test data avoids the
// byte 0x0a (a dump row ends with its raw characters).
// Thread-safety: test-only, used from the test thread.
#ifndef QZ_TESTS_STUBS_ADMIN_FIXTURE_H_
#define QZ_TESTS_STUBS_ADMIN_FIXTURE_H_

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "core/trace_log.h"
#include "exports/session_slot.h"
#include "platform/platform.h"
#include "session/server_session.h"
#include "tests/stubs/stubs_fixture.h"

namespace qz::stubs_test {

inline constexpr uint32_t kUntouched = 0x0BADC0DE;  // the error slot before each case
inline constexpr uint32_t kRefused = 0xC1FE0001u;   // a status of the server
inline constexpr uint32_t kAll = 0xFFFFFFFFu;

// Request pieces: a text or a reply is aligned before it, a block after it
// (a size always follows a block).
inline Wire& Text(Wire& w, const std::string& s) {
  const auto n = static_cast<uint32_t>(s.size() + 1);
  return w.PadTo(4).U32(n).U32(0).U32(n).Chars(s);
}
inline Wire& Block(Wire& w, const Bytes& b) {
  return w.U32(static_cast<uint32_t>(b.size())).Raw(b.data(), b.size()).PadTo(4);
}
inline Wire& NullReply(Wire& w) { return w.PadTo(4).U32(0).U32(0); }
template <typename F>
Bytes Req(F rest) {
  Wire w;
  PutTestKey(w);
  rest(w);
  return w.bytes();
}

// n bytes counting up from `seed`, skipping 0x0a.
inline Bytes Data(size_t n, uint8_t seed = 0x20) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i, ++seed) b[i] = seed == 0x0a ? ++seed : seed;
  return b;
}
// Length-prefixed records of these lengths (a length below 4 is cut short).
inline Bytes Records(std::initializer_list<uint32_t> lengths) {
  Bytes out;
  for (uint32_t len : lengths) {
    Bytes r = Data(len, 0x30);
    for (uint32_t i = 0; i < 4 && i < len; ++i) r[i] = static_cast<uint8_t>(len >> (8 * i));
    out.insert(out.end(), r.begin(), r.end());
  }
  return out;
}

inline std::string Skeleton(std::initializer_list<std::string> tokens) {
  std::string out;
  for (const std::string& t : tokens) out += t + "|";
  return out;
}
inline std::string Lret(uint32_t status) {
  return "lret=" + std::to_string(static_cast<int32_t>(status));
}

// One case: set-up, the export call, its result, the exact request stubs,
// the error slot afterwards, the trace skeleton (unless empty), checks.
struct AdminCase {
  std::string name;
  std::function<void()> before;
  std::function<uint32_t()> call;
  uint32_t result;
  std::vector<Bytes> requests;
  uint32_t slot;
  std::string trace;
  std::function<void()> after = nullptr;
};

class AdminTest : public StubsTest {
 protected:
  void SetUp() override {
    StubsTest::SetUp();
    old_cwd_ = std::filesystem::current_path();
    char tmpl[] = "/tmp/qz_admin_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    std::filesystem::current_path(dir_);  // the trace log goes here
    UseLibraryMemoryRoutines();
    session_ = CreateRpcServerSession();
    rpc::BindingHandle h = nullptr;
    ASSERT_EQ(rpc::RpcBindingFromStringBinding(server_->TcpStringBinding(), &h), 0u);
    SessionTestAccess::SetBinding(*session_, h);
    session_->AddRef();  // the slot's reference
    id_ = exports::PutSession(session_);
    ASSERT_NE(id_, 0u);
  }
  void TearDown() override {
    SessionTestAccess::SetState(*session_, 0);  // no logout at the teardown
    exports::ReleaseSlot();
    std::filesystem::current_path(old_cwd_);
    std::filesystem::remove_all(dir_);
    StubsTest::TearDown();
  }
  // Logged in with these dwRights[2] and [3] and the key of the stubs.
  void LogIn(uint32_t rights2, uint32_t rights3) {
    SessionTestAccess::MakeLoggedIn(*session_, 0, 0, rights2, rights3);
    SessionTestAccess::SetSessionKey(*session_, "tester", 0x01020304);
  }
  std::function<void()> Rights3(uint32_t r) {
    return [this, r] { LogIn(kAll, r); };
  }
  // The server answers `op` with `bytes` in its reply at `pos`.
  static std::function<void()> Answer(uint16_t op, size_t pos, Bytes bytes, uint32_t result = 1) {
    return [=] {
      server_->OnCall(op, [=](rpc::ServerArgs& a) {
        a[pos].present = true;
        a[pos].bytes = bytes;
        return static_cast<int32_t>(result);
      });
    };
  }
  static void Free(const void* p) { platform::HeapFree(const_cast<void*>(p)); }

  void Run(const std::vector<AdminCase>& cases) {
    for (const AdminCase& c : cases) {
      SCOPED_TRACE(c.name);
      LogIn(kAll, kAll);
      for (uint16_t op = 0; op < ifc::MainInterface().count; ++op) server_->Clear(op);
      if (c.before) c.before();
      server_->ClearCalls();
      std::filesystem::remove(dir_ / kTraceFileName);
      session_->SetError(kUntouched);
      EXPECT_EQ(c.call(), c.result);
      std::vector<test_support::RecordedCall> sent = server_->Calls();
      EXPECT_EQ(sent.size(), c.requests.size());
      for (size_t i = 0; i < sent.size() && i < c.requests.size(); ++i)
        EXPECT_TRUE(SameBytes(sent[i].stub, c.requests[i])) << "request " << i;
      EXPECT_EQ(session_->ErrorCode(), c.slot);
      if (!c.trace.empty()) {
        EXPECT_EQ(Trace(), c.trace);
      }
      if (c.after) c.after();
    }
  }

  std::string Trace() const {
    std::ifstream in(dir_ / kTraceFileName, std::ios::binary);
    static const std::regex label(R"(^\d+-\d+-\d+-\d+:\d+:\d+ \d+mm\t (.*)$)");
    static const std::regex row(R"(^\t0x[0-9a-f]+\t((?:[0-9a-f]{2} )*)(\t[\s\S]*)?$)");
    static const std::regex pointer("^0x[0-9a-f]{8,}$");
    std::string out, line;
    long dump = -1;  // bytes of the dump being read, -1 outside one
    auto put = [&](const std::string& token) {
      if (dump >= 0) out += "#" + std::to_string(dump) + "|";
      dump = -1;
      if (!token.empty()) out += token + "|";
    };
    std::smatch m;
    while (std::getline(in, line)) {
      size_t eq = line.find(" = ");
      if (std::regex_match(line, m, label)) {
        put("@" + m[1].str());
      } else if (line == "\t") {
        put("");
        dump = 0;
      } else if (dump >= 0 && std::regex_match(line, m, row)) {
        dump += static_cast<long>(m[1].length() / 3);
      } else if (line.size() > 1 && line[0] == '\t' && eq != std::string::npos) {
        std::string name = line.substr(1, eq - 1), value = line.substr(eq + 3);
        if (std::regex_match(value, pointer))
          value = value.find_first_not_of("0x") == std::string::npos ? "0" : "P";
        if (name == "dwServerID" && value == std::to_string(id_)) value = "ID";
        put(name + "=" + value);
      }
    }
    put("");
    return out;
  }

  CRpcServerSession* session_ = nullptr;
  uint32_t id_ = 0;
  std::filesystem::path dir_, old_cwd_;
};

}  // namespace qz::stubs_test

#endif  // QZ_TESTS_STUBS_ADMIN_FIXTURE_H_
