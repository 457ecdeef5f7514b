// admin_fixture.h -- fixture of the administration families' tests (lines,
// dialing, logs and configuration, reports): the exported functions,
// compiled into the test, run against a real CRpcServerSession in the
// session slot, bound over TCP to the suite's scripted server. A test sees
// the request bytes the server received, the session's error slot and the
// trace log, reduced to a skeleton it can compare exactly.
//
// Trace skeleton: one token per line, joined with '|': "@label" for an
// entry's label, "name=value" for a parameter (pointer values, 0x and eight
// or more digits, become "P", or "0" for null; the server ID's value
// becomes "ID"), "#n" for a dump of n bytes. Dumped test data must not
// contain the byte 0x0a, since dump rows end with their raw characters.
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

// A value the error slot holds before each case; still there afterwards
// means the operation did not touch the slot.
inline constexpr uint32_t kUntouched = 0x0BADC0DE;

// Expected request pieces, in NDR order. A text and a reply are aligned
// to 4 before them, a block after its bytes (a size always follows it).
inline Wire& Text(Wire& w, const std::string& s) {
  const auto n = static_cast<uint32_t>(s.size() + 1);
  return w.PadTo(4).U32(n).U32(0).U32(n).Chars(s);
}
inline Wire& Block(Wire& w, const Bytes& b) {
  return w.U32(static_cast<uint32_t>(b.size())).Raw(b.data(), b.size()).PadTo(4);
}
// A reply pointer that is null on entry, then its byte count.
inline Wire& NullReply(Wire& w, uint32_t count = 0) { return w.PadTo(4).U32(0).U32(count); }
// The stub of: key, then what `rest` appends.
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
  uint8_t v = seed;
  for (size_t i = 0; i < n; ++i, ++v) {
    if (v == 0x0a) ++v;
    b[i] = v;
  }
  return b;
}
// Length-prefixed records of the given lengths (each starts with its length).
inline Bytes Records(std::initializer_list<uint32_t> lengths) {
  Bytes out;
  for (uint32_t len : lengths) {
    Bytes r = Data(len, static_cast<uint8_t>(0x30 + out.size()));
    for (int i = 0; i < 4 && i < static_cast<int>(len); ++i)
      r[i] = static_cast<uint8_t>(len >> (8 * i));
    out.insert(out.end(), r.begin(), r.end());
  }
  return out;
}

// A server handler answering a reply block at position `pos` with `bytes`.
inline test_support::Handler Answer(size_t pos, Bytes bytes, int32_t result = 1) {
  return [pos, bytes, result](rpc::ServerArgs& a) {
    a[pos].present = true;
    a[pos].bytes = bytes;
    return result;
  };
}

// An expected trace skeleton from its tokens, and the lret token of a status.
inline std::string Skeleton(std::initializer_list<std::string> tokens) {
  std::string out;
  for (const std::string& t : tokens) out += t + "|";
  return out;
}
inline std::string Lret(uint32_t status) {
  return "lret=" + std::to_string(static_cast<int32_t>(status));
}

class AdminTest;

// One case of a family's table: set up (rights, server script), the export
// call and what must show: its result, the exact request stubs in order,
// the error slot (kUntouched: not touched) and, unless empty, the trace
// skeleton; `after` checks outputs.
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
    ASSERT_NE(session_, nullptr);
    rpc::BindingHandle h = nullptr;
    ASSERT_EQ(rpc::RpcBindingFromStringBinding(server_->TcpStringBinding(), &h), 0u);
    SessionTestAccess::SetBinding(*session_, h);
    session_->AddRef();  // the slot's reference
    id_ = exports::PutSession(session_);
    ASSERT_NE(id_, 0u);
    LogIn(0xFFFFFFFFu, 0xFFFFFFFFu);
  }
  void TearDown() override {
    SessionTestAccess::SetState(*session_, 0);  // no logout call at the teardown
    exports::ReleaseSlot();
    std::filesystem::current_path(old_cwd_);
    std::filesystem::remove_all(dir_);
    StubsTest::TearDown();
  }

  // Logged in with these masks in dwRights[2] and dwRights[3], and the key
  // the expected stubs carry.
  void LogIn(uint32_t rights2, uint32_t rights3) {
    SessionTestAccess::MakeLoggedIn(*session_, 0, 0, rights2, rights3);
    SessionTestAccess::SetSessionKey(*session_, "tester", 0x01020304);
  }
  // Before a case: no calls, an empty trace log, a marked error slot.
  void Reset() {
    server_->ClearCalls();
    std::filesystem::remove(dir_ / kTraceFileName);
    session_->SetError(kUntouched);
  }
  uint32_t Slot() const { return session_->ErrorCode(); }

  void Run(const std::vector<AdminCase>& cases) {
    for (const AdminCase& c : cases) {
      SCOPED_TRACE(c.name);
      LogIn(0xFFFFFFFFu, 0xFFFFFFFFu);
      for (uint16_t op = 0; op < ifc::MainInterface().count; ++op) server_->Clear(op);
      if (c.before) c.before();
      Reset();
      EXPECT_EQ(c.call(), c.result);
      std::vector<Bytes> sent = Requests();
      EXPECT_EQ(sent.size(), c.requests.size());
      for (size_t i = 0; i < sent.size() && i < c.requests.size(); ++i)
        EXPECT_TRUE(SameBytes(sent[i], c.requests[i])) << "request " << i;
      EXPECT_EQ(Slot(), c.slot);
      if (!c.trace.empty()) {
        EXPECT_EQ(Trace(), c.trace);
      }
      if (c.after) c.after();
    }
  }
  // The request stubs the server received, in order.
  static std::vector<Bytes> Requests() {
    std::vector<Bytes> out;
    for (const test_support::RecordedCall& c : server_->Calls()) out.push_back(c.stub);
    return out;
  }
  static void Free(const void* block) { platform::HeapFree(const_cast<void*>(block)); }

  std::string Trace() const {
    std::ifstream in(dir_ / kTraceFileName, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    static const std::regex label(R"(^\d+-\d+-\d+-\d+:\d+:\d+ \d+mm\t (.*)$)");
    static const std::regex row(R"(^\t0x[0-9a-f]+\t((?:[0-9a-f]{2} )*)(\t[\s\S]*)?$)");
    static const std::regex pointer("^0x[0-9a-f]{8,}$");
    std::string out, line;
    long dump = -1;
    auto put = [&](const std::string& token) {
      if (dump >= 0) out += "#" + std::to_string(dump) + "|";
      dump = -1;
      if (!token.empty()) out += token + "|";
    };
    std::smatch m;
    while (std::getline(ss, line)) {
      if (std::regex_match(line, m, label)) {
        put("@" + m[1].str());
      } else if (line == "\t") {
        put("");
        dump = 0;
      } else if (dump >= 0 && std::regex_match(line, m, row)) {
        dump += static_cast<long>(m[1].length() / 3);
      } else if (size_t eq = line.find(" = ");
                 line.size() > 1 && line[0] == '\t' && eq != std::string::npos) {
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
