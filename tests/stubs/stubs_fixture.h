// stubs_fixture.h -- shared fixture of the client stub tests: one scripted
// server and one TCP binding per test suite, a hand-written byte builder for
// expected request bytes, and a hex formatter for readable diffs.
//
// The byte builder (Wire) knows nothing of the procedure engine: it appends
// little-endian integers, raw bytes and zero padding exactly where the test
// says, so the expected bytes follow the NDR rules as the test spells them
// out. Thread-safety: test-only; the fixture state is used from the test
// thread (the server records calls from its own threads under its lock).
#ifndef QZ_TESTS_STUBS_STUBS_FIXTURE_H_
#define QZ_TESTS_STUBS_STUBS_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/rpc_exception.h"
#include "interfaces/stubs.h"
#include "qzcsif/qzcsif.h"
#include "rpc/binding_api.h"
#include "tests/support/scripted_server.h"

namespace qz::stubs_test {

using test_support::Iface;
using Bytes = std::vector<uint8_t>;

// Expected wire bytes, appended piece by piece.
class Wire {
 public:
  Wire& U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) b_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  Wire& I32(int32_t v) { return U32(static_cast<uint32_t>(v)); }
  Wire& Raw(std::initializer_list<uint8_t> bytes) {
    b_.insert(b_.end(), bytes);
    return *this;
  }
  Wire& Raw(const void* p, size_t n) {
    const auto* q = static_cast<const uint8_t*>(p);
    b_.insert(b_.end(), q, q + n);
    return *this;
  }
  // The characters of s and its NUL.
  Wire& Chars(const std::string& s) {
    Raw(s.data(), s.size());
    b_.push_back(0);
    return *this;
  }
  Wire& Zeros(size_t n) {
    b_.insert(b_.end(), n, 0);
    return *this;
  }
  // Zero bytes up to the next multiple of n from the start of the stub.
  Wire& PadTo(size_t n) {
    while (b_.size() % n != 0) b_.push_back(0);
    return *this;
  }
  size_t size() const { return b_.size(); }
  const Bytes& bytes() const { return b_; }

 private:
  Bytes b_;
};

inline std::string Hex(const Bytes& b) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < b.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%02x", b[i]);
    if (i != 0) s += (i % 16 == 0) ? '\n' : ' ';
    s += buf;
  }
  return s;
}

// Compares whole stubs; on a mismatch reports the sizes and the first
// differing offset, with both stubs in hex when they are short.
inline ::testing::AssertionResult SameBytes(const Bytes& actual, const Bytes& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  size_t i = 0;
  while (i < actual.size() && i < expected.size() && actual[i] == expected[i]) ++i;
  ::testing::AssertionResult r = ::testing::AssertionFailure();
  r << "sent " << actual.size() << " bytes, expected " << expected.size()
    << "; first difference at offset " << i;
  if (actual.size() <= 640 && expected.size() <= 640)
    r << "\nsent:\n" << Hex(actual) << "\nexpected:\n" << Hex(expected);
  return r;
}

// The key the tests send: "tester", session 0x01020304.
inline SESSIONKEY TestKey() {
  SESSIONKEY k;
  std::memset(&k, 0, sizeof k);
  std::memcpy(k.szUserID, "tester", 6);
  k.dwSessionNo = 0x01020304;
  return k;
}

// Its 24 wire bytes, written out.
inline Wire& PutTestKey(Wire& w) {
  return w.Raw({'t', 'e', 's', 't', 'e', 'r', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})
      .Raw({0x04, 0x03, 0x02, 0x01});
}

class StubsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new test_support::ScriptedServer();
    std::string error;
    if (!server_->Start(&error)) {
      start_error_ = error.empty() ? "server did not start" : error;
      return;
    }
    if (rpc::RpcBindingFromStringBinding(server_->TcpStringBinding(), &h_) != 0)
      start_error_ = "no binding for " + server_->TcpStringBinding();
  }
  static void TearDownTestSuite() {
    if (h_ != nullptr) rpc::RpcBindingFree(&h_);
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(start_error_.empty()) << start_error_;
    server_->ClearCalls();
    key_ = TestKey();
  }
  void TearDown() override {
    for (uint16_t op = 0; op < ifc::MainInterface().count; ++op) server_->Clear(op);
    for (uint16_t op = 0; op < ifc::ServiceControlInterface().count; ++op)
      server_->Clear(op, Iface::kServiceControl);
  }

  // The request stub of the only call the server saw, on `iface`.
  static Bytes OnlyRequest(uint16_t opnum, Iface iface = Iface::kMain) {
    std::vector<test_support::RecordedCall> calls = server_->Calls();
    EXPECT_EQ(calls.size(), 1u);
    if (calls.size() != 1) return {};
    EXPECT_EQ(calls[0].opnum, opnum);
    EXPECT_EQ(calls[0].iface, iface);
    EXPECT_TRUE(calls[0].decoded) << "the server could not decode the request";
    return calls[0].stub;
  }

  // Status of the RpcException `f` throws; 0 when it returns.
  template <typename F>
  static uint32_t ExceptionCode(F f) {
    try {
      f();
    } catch (const RpcException& e) {
      return e.code();
    }
    return 0;
  }

  static inline test_support::ScriptedServer* server_ = nullptr;
  static inline rpc::BindingHandle h_ = nullptr;
  static inline std::string start_error_;
  SESSIONKEY key_{};
};

}  // namespace qz::stubs_test

#endif  // QZ_TESTS_STUBS_STUBS_FIXTURE_H_
