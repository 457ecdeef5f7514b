// BindSession and BindServiceControl: which protocol sequence they take,
// what they leave in the handle, and the HRESULT forms of their failures,
// against the scripted server's endpoint mapper (announced through the
// environment) and with the runtime's protocol sequence vector replaced.
#include "session/session_binding.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "interfaces/interfaces.h"
#include "rpc/binding_api.h"
#include "rpc/client.h"
#include "tests/support/scripted_server.h"

namespace qz {
namespace {

class BindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.Start(&error)) << error;
  }
  void TearDown() override {
    rpc::SetProtseqsForTesting(std::nullopt);
    if (h_ != nullptr) rpc::RpcBindingFree(&h_);
    server_.Stop();
  }
  void UseProtseqs(std::vector<std::string> v) { rpc::SetProtseqsForTesting(std::move(v)); }

  test_support::ScriptedServer server_;
  rpc::BindingHandle h_ = nullptr;
};

TEST_F(BindingTest, AnExistingHandleIsLeftAlone) {
  ASSERT_EQ(rpc::RpcBindingFromStringBinding("ncacn_ip_tcp:127.0.0.1[9]", &h_), 0u);
  rpc::BindingHandle before = h_;
  EXPECT_EQ(BindSession(&h_, true), 0u);
  EXPECT_EQ(BindServiceControl("127.0.0.1", ifc::ServiceControlInterface().id, &h_, false), 0u);
  EXPECT_EQ(h_, before);
  EXPECT_EQ(h_->endpoint(), "9");
}

TEST_F(BindingTest, ProtocolSequenceChoice) {
  struct Case {
    const char* name;
    std::vector<std::string> protseqs;
    bool allow_local;
    const char* chosen;  // null: the routine fails with `status`
    uint32_t status;
    const char* session_chosen = "same";  // BindSession goes on to the next sequence
  };
  const Case cases[] = {
      {"local allowed and listed first", {"ncalrpc", "ncacn_ip_tcp"}, true, "ncalrpc", 0},
      {"local skipped", {"ncalrpc", "ncacn_ip_tcp"}, false, "ncacn_ip_tcp", 0},
      // BindServiceControl tries only the first valid sequence; BindSession
      // falls back to the next one that binds and resolves.
      {"fallback after a sequence that cannot bind", {"ncacn_np", "ncacn_ip_tcp"}, true, nullptr,
       0x800706A7u, "ncacn_ip_tcp"},
      {"only local-only sequences", {"ncalrpc", "ncacn_np"}, false, nullptr, 0x800706B2u},
      {"only unusable sequences", {"ncacn_np", "ncacn_http"}, true, nullptr, 0x800706A7u},
      {"empty vector", {}, true, nullptr, 0x800706B2u},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UseProtseqs(c.protseqs);
    for (int routine = 0; routine < 2; ++routine) {
      rpc::BindingHandle h = nullptr;
      uint32_t status = routine == 0 ? BindSession(&h, c.allow_local)
                                     : BindServiceControl("127.0.0.1", ifc::MainInterface().id,
                                                          &h, c.allow_local);
      const char* chosen =
          routine == 0 && std::string(c.session_chosen) != "same" ? c.session_chosen : c.chosen;
      if (chosen == nullptr) {
        EXPECT_EQ(status, c.status) << "routine " << routine;
        EXPECT_EQ(h, nullptr);
      } else {
        ASSERT_EQ(status, 0u) << "routine " << routine;
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->protseq(), chosen);
        if (std::string(chosen) == "ncacn_ip_tcp") {
          EXPECT_EQ(h->endpoint(), std::to_string(server_.tcp_port()));
        }
        rpc::RpcBindingFree(&h);
      }
    }
  }
}

TEST_F(BindingTest, ResolutionFailuresKeepTheHandle) {
  UseProtseqs({"ncacn_ip_tcp"});
  // An interface the mapper does not know.
  rpc::SyntaxId unknown = ifc::MainInterface().id;
  unknown.major = 7;
  EXPECT_EQ(BindServiceControl("127.0.0.1", unknown, &h_, false), 0x800706D9u);
  EXPECT_NE(h_, nullptr);
  rpc::RpcBindingFree(&h_);

  // No endpoint mapper answers at all.
  server_.Stop();
  setenv("QZRPC_EPM_PORT", "1", 1);
  EXPECT_EQ(BindServiceControl("127.0.0.1", ifc::MainInterface().id, &h_, false), 0x800706BAu);
  EXPECT_NE(h_, nullptr);
  rpc::RpcBindingFree(&h_);
  EXPECT_EQ(BindSession(&h_, false), 0x800706BAu);
  EXPECT_NE(h_, nullptr);
  unsetenv("QZRPC_EPM_PORT");
}

// The realistic case: ncalrpc is listed first but no local endpoint mapper
// answers (or the local directory is refused); the session binds over TCP.
TEST_F(BindingTest, SessionFallsBackToTcpWhenTheLocalMapperIsMissing) {
  UseProtseqs({"ncalrpc", "ncacn_ip_tcp"});
  const std::string empty = server_.lrpc_directory() + "/empty";
  ASSERT_EQ(mkdir(empty.c_str(), 0700), 0);
  setenv("QZRPC_LRPC_DIR", empty.c_str(), 1);
  EXPECT_EQ(BindSession(&h_, true), 0u);
  ASSERT_NE(h_, nullptr);
  EXPECT_EQ(h_->protseq(), "ncacn_ip_tcp");
  EXPECT_EQ(h_->endpoint(), std::to_string(server_.tcp_port()));
  rpc::RpcBindingFree(&h_);
  // Nothing answers anywhere: the last attempt's status and handle remain.
  UseProtseqs({"ncalrpc"});
  EXPECT_EQ(BindSession(&h_, true), 0x800706BAu);
  EXPECT_NE(h_, nullptr);
  setenv("QZRPC_LRPC_DIR", server_.lrpc_directory().c_str(), 1);
  rmdir(empty.c_str());
}

TEST_F(BindingTest, BadNetworkAddressIsAFailureStatus) {
  UseProtseqs({"ncacn_ip_tcp"});
  uint32_t status = BindServiceControl("no-such-host.invalid", ifc::MainInterface().id, &h_, false);
  EXPECT_EQ(status & 0xFFFF0000u, 0x80070000u);
  EXPECT_NE(status, 0u);
}

}  // namespace
}  // namespace qz
