// epm_test.cc -- endpoint mapper: tower bytes for both transports, the
// ept_map / ept_insert request stubs, the server's answers (map, lookup
// with continuation, insert/delete over the wire) and client resolution
// against a running mapper over TCP and ncalrpc.
#include "rpc/epm.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "rpc/binding_api.h"
#include "rpc/client.h"
#include "rpc/ndr.h"
#include "rpc/rpc_test_util.h"

namespace qz::rpc {
namespace {

using testing::EchoDispatcher;
using testing::EchoInterface;

std::vector<uint8_t> Hex(const char* s) {
  std::vector<uint8_t> v;
  unsigned x;
  int n;
  while (sscanf(s, " %2x%n", &x, &n) == 1) {
    v.push_back(static_cast<uint8_t>(x));
    s += n;
  }
  return v;
}

const char* kTcpTower =
    "05 00"
    "13 00 0d c1 b3 28 6a 2e 0d 8f 4c 9a 11 2b 3c 4d 5e 6f 70 01 00 02 00 00 00"
    "13 00 0d 04 5d 88 8a eb 1c c9 11 9f e8 08 00 2b 10 48 60 02 00 02 00 00 00"
    "01 00 0b 02 00 00 00 01 00 07 02 00 c2 00 01 00 09 04 00 7f 00 00 01";

TEST(Tower, TcpExactBytes) {
  Tower t{EchoInterface(), NdrSyntax(), "ncacn_ip_tcp", "49664", 0x7F000001};
  auto v = BuildTower(t);
  EXPECT_EQ(v, Hex(kTcpTower));
  EXPECT_EQ(v.size(), 75u);
  Tower back;
  ASSERT_TRUE(ParseTower(v, &back));
  EXPECT_EQ(back.iface, EchoInterface());
  EXPECT_EQ(back.transfer, NdrSyntax());
  EXPECT_EQ(back.protseq, "ncacn_ip_tcp");
  EXPECT_EQ(back.endpoint, "49664");
  EXPECT_EQ(back.ipv4, 0x7F000001u);
}

TEST(Tower, LocalRpcExactBytes) {
  Tower t{EchoInterface(), NdrSyntax(), "ncalrpc", "LRPC-test", 0};
  auto v = BuildTower(t);
  auto tail = Hex("01 00 0c 02 00 00 00 01 00 10 0a 00 4c 52 50 43 2d 74 65 73 74 00");
  ASSERT_GT(v.size(), tail.size());
  EXPECT_EQ(v[0], 4);
  EXPECT_EQ(v[1], 0);
  EXPECT_EQ(std::vector<uint8_t>(v.end() - static_cast<long>(tail.size()), v.end()), tail);
  auto tcp = Hex(kTcpTower);
  EXPECT_EQ(std::vector<uint8_t>(v.begin() + 2, v.begin() + 50),
            std::vector<uint8_t>(tcp.begin() + 2, tcp.begin() + 50));
  Tower back;
  ASSERT_TRUE(ParseTower(v, &back));
  EXPECT_EQ(back.protseq, "ncalrpc");
  EXPECT_EQ(back.endpoint, "LRPC-test");
}

TEST(Tower, RejectsMalformedTowers) {
  auto good = Hex(kTcpTower);
  Tower t;
  for (size_t len = 0; len < good.size(); ++len)
    EXPECT_FALSE(ParseTower(std::span(good).first(len), &t)) << len;
  auto seven = good;
  seven[0] = 7;  // more than 6 floors
  EXPECT_FALSE(ParseTower(seven, &t));
  auto bad_lhs = good;
  bad_lhs[2] = 18;  // interface floor LHS must be 19 bytes
  EXPECT_FALSE(ParseTower(bad_lhs, &t));
  EXPECT_TRUE(BuildTower(Tower{EchoInterface(), NdrSyntax(), "ncacn_ip_tcp", "http", 0}).empty());
  EXPECT_TRUE(BuildTower(Tower{EchoInterface(), NdrSyntax(), "ncacn_np", "\\pipe\\x", 0}).empty());
  EXPECT_TRUE(BuildTower(Tower{EchoInterface(), NdrSyntax(), "ncalrpc", std::string(300, 'a'), 0}).empty());
  EndpointMapper m;
  EXPECT_FALSE(m.Register(EchoInterface(), "ncalrpc", "", "no endpoint"));
}

TEST(EptStubs, MapRequestLayout) {
  auto tower = BuildTower(Tower{EchoInterface(), NdrSyntax(), "ncacn_ip_tcp", "", 0});
  ASSERT_EQ(tower.size(), 75u);
  auto s = EptMapRequestStub(tower, 4);
  ASSERT_EQ(s.size(), 132u);
  auto u32 = [&](size_t o) { return s[o] | (s[o + 1] << 8) | (s[o + 2] << 16) | (uint32_t(s[o + 3]) << 24); };
  EXPECT_EQ(u32(0), 1u);   // object full pointer
  for (size_t i = 4; i < 20; ++i) EXPECT_EQ(s[i], 0) << i;  // nil object
  EXPECT_EQ(u32(20), 2u);  // tower pointer
  EXPECT_EQ(u32(24), 75u);
  EXPECT_EQ(u32(28), 75u);
  EXPECT_EQ(std::vector<uint8_t>(s.begin() + 32, s.begin() + 107), tower);
  EXPECT_EQ(s[105], 0);  // port wildcard
  EXPECT_EQ(s[106], 0);
  for (size_t i = 108; i < 128; ++i) EXPECT_EQ(s[i], 0) << i;  // nil handle
  EXPECT_EQ(u32(128), 4u);
}

TEST(EptStubs, InsertRequestLayout) {
  auto tower = BuildTower(Tower{EchoInterface(), NdrSyntax(), "ncacn_ip_tcp", "49664", 0x7F000001});
  auto s = EptInsertRequestStub(tower, "Test service", false);
  ASSERT_EQ(s.size(), 140u);
  auto u32 = [&](size_t o) { return s[o] | (s[o + 1] << 8) | (s[o + 2] << 16) | (uint32_t(s[o + 3]) << 24); };
  EXPECT_EQ(u32(0), 1u);
  EXPECT_EQ(u32(4), 1u);
  EXPECT_NE(u32(24), 0u);
  EXPECT_EQ(u32(28), 0u);
  EXPECT_EQ(u32(32), 13u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&s[36])), "Test service");
  EXPECT_EQ(u32(52), 75u);
  EXPECT_EQ(u32(56), 75u);
  EXPECT_EQ(std::vector<uint8_t>(s.begin() + 60, s.begin() + 135), tower);
  EXPECT_EQ(u32(136), 1u);
  EXPECT_EQ(EptInsertRequestStub(tower, "Test service", true).size(), 135u);  // no replace
}

// The mapper's answers, decoded by hand.
struct MapAnswer {
  bool handle_nil = true;
  std::vector<Tower> towers;
  uint32_t status = 0;
};

MapAnswer DecodeMap(const DispatchResult& r) {
  MapAnswer a;
  NdrPull p(r.stub, Drep::Little());
  uint32_t attr, num, max, off, actual;
  Uuid h;
  EXPECT_TRUE(p.U32(&attr) && p.Uuid(&h) && p.U32(&num) && p.U32(&max) && p.U32(&off) &&
              p.U32(&actual));
  a.handle_nil = h.IsNil();
  EXPECT_EQ(num, actual);
  std::vector<uint32_t> ids(actual);
  for (auto& id : ids) EXPECT_TRUE(p.U32(&id));
  for (uint32_t id : ids) {
    EXPECT_NE(id, 0u);
    uint32_t m, len;
    std::span<const uint8_t> o;
    EXPECT_TRUE(p.Align(4) && p.U32(&m) && p.U32(&len) && p.View(len, &o));
    Tower t;
    EXPECT_TRUE(ParseTower(o, &t));
    a.towers.push_back(t);
  }
  EXPECT_TRUE(p.Align(4) && p.U32(&a.status));
  EXPECT_EQ(p.remaining(), 0u);
  return a;
}

TEST(EndpointMapperServer, MapMatchesInterfaceVersionAndProtseq) {
  EndpointMapper m;
  ASSERT_TRUE(m.Register(EchoInterface(), "ncacn_ip_tcp", "40001", "echo"));
  ASSERT_TRUE(m.Register(EchoInterface(), "ncalrpc", "LRPC-echo", "echo"));
  SyntaxId v12 = EchoInterface();
  v12.minor = 2;
  ASSERT_TRUE(m.Register(v12, "ncacn_ip_tcp", "40002", "newer"));
  EXPECT_FALSE(m.Register(EchoInterface(), "ncacn_ip_tcp", "port", "bad"));
  EXPECT_EQ(m.size(), 3u);
  CallContext ctx;
  ctx.peer_address = "127.0.0.1";

  auto ask = [&](const SyntaxId& iface, const std::string& protseq, uint32_t max) {
    auto tower = BuildTower(Tower{iface, NdrSyntax(), protseq, protseq == "ncalrpc" ? "x" : "", 0});
    return DecodeMap(m.Dispatch(ctx, 3, EptMapRequestStub(tower, max), Drep::Little()));
  };
  MapAnswer a = ask(EchoInterface(), "ncacn_ip_tcp", 4);
  ASSERT_EQ(a.towers.size(), 2u);  // v1.0 and the compatible v1.2
  EXPECT_EQ(a.towers[0].endpoint, "40001");
  EXPECT_EQ(a.towers[0].ipv4, 0x7F000001u);
  EXPECT_EQ(a.status, 0u);
  EXPECT_TRUE(a.handle_nil);
  a = ask(v12, "ncacn_ip_tcp", 4);
  ASSERT_EQ(a.towers.size(), 1u);
  EXPECT_EQ(a.towers[0].endpoint, "40002");
  a = ask(EchoInterface(), "ncalrpc", 4);
  ASSERT_EQ(a.towers.size(), 1u);
  EXPECT_EQ(a.towers[0].endpoint, "LRPC-echo");
  // Continuation: one tower per call.
  a = ask(EchoInterface(), "ncacn_ip_tcp", 1);
  ASSERT_EQ(a.towers.size(), 1u);
  EXPECT_FALSE(a.handle_nil);
  SyntaxId other{*Uuid::Parse("99999999-2222-3333-4444-555555555555"), 1, 0};
  a = ask(other, "ncacn_ip_tcp", 4);
  EXPECT_TRUE(a.towers.empty());
  EXPECT_EQ(a.status, ept::kNotRegistered);
  m.Unregister(EchoInterface(), "ncalrpc", "LRPC-echo");
  EXPECT_EQ(ask(EchoInterface(), "ncalrpc", 4).status, ept::kNotRegistered);
}

TEST(EndpointMapperServer, LookupWalksWithHandles) {
  EndpointMapper m;
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(m.Register(EchoInterface(), "ncacn_ip_tcp", std::to_string(40000 + i),
                           "entry " + std::to_string(i)));
  CallContext ctx;
  Uuid handle;
  std::vector<std::string> seen;
  for (int round = 0; round < 5; ++round) {
    NdrPush q;
    q.U32(0);  // all
    q.U32(0);  // no object
    q.U32(0);  // no interface
    q.U32(1);  // vers_option all
    q.U32(0);
    q.Uuid(handle);
    q.U32(2);  // max_ents
    DispatchResult r = m.Dispatch(ctx, 2, q.Take(), Drep::Little());
    ASSERT_EQ(r.kind, DispatchResult::Kind::kResponse);
    NdrPull p(r.stub, Drep::Little());
    uint32_t attr, num, max, off, actual, st;
    ASSERT_TRUE(p.U32(&attr) && p.Uuid(&handle) && p.U32(&num) && p.U32(&max) && p.U32(&off) &&
                p.U32(&actual));
    EXPECT_EQ(max, 2u);
    std::vector<std::string> notes(actual);
    for (auto& n : notes) {
      Uuid obj;
      uint32_t id;
      ASSERT_TRUE(p.Align(4) && p.Uuid(&obj) && p.U32(&id) && p.VaryingString(&n, 64));
    }
    for (uint32_t i = 0; i < actual; ++i) {
      uint32_t mc, len;
      std::span<const uint8_t> o;
      ASSERT_TRUE(p.Align(4) && p.U32(&mc) && p.U32(&len) && p.View(len, &o));
    }
    ASSERT_TRUE(p.Align(4) && p.U32(&st));
    EXPECT_EQ(st, 0u);
    seen.insert(seen.end(), notes.begin(), notes.end());
    if (handle.IsNil()) break;
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"entry 0", "entry 1", "entry 2"}));
}

TEST(EndpointMapperServer, MalformedStubsAreFaulted) {
  EndpointMapper m;
  CallContext ctx;
  auto tower = BuildTower(Tower{EchoInterface(), NdrSyntax(), "ncacn_ip_tcp", "", 0});
  auto stub = EptMapRequestStub(tower, 4);
  for (size_t len = 0; len < stub.size(); ++len) {
    DispatchResult r = m.Dispatch(ctx, 3, std::span(stub).first(len), Drep::Little());
    EXPECT_EQ(r.kind, DispatchResult::Kind::kFault) << len;
    EXPECT_EQ(r.fault_status, status::kBadStubData);
  }
  auto ins = EptInsertRequestStub(BuildTower(Tower{EchoInterface(), NdrSyntax(), "ncalrpc", "a", 0}),
                                  "x", false);
  ins[0] = 0xFF;  // num_ents far beyond the data
  ins[4] = 0xFF;
  CallContext local;  // one who may insert at all
  local.protseq = "ncalrpc";
  local.has_peer_credentials = true;
  EXPECT_EQ(m.Dispatch(local, 0, ins, Drep::Little()).kind, DispatchResult::Kind::kFault);
  EXPECT_EQ(m.size(), 0u);
}

// Who may insert and delete: local callers with credentials, each only for
// interfaces and entries of its own; root for all. Over TCP nobody.
TEST(EndpointMapperServer, InsertAndDeleteNeedALocalCallerWithTheRightIdentity) {
  EndpointMapper m;
  auto ctx = [](const char* protseq, bool creds, uint32_t uid) {
    CallContext c;
    c.protseq = protseq;
    c.has_peer_credentials = creds;
    c.peer_uid = uid;
    return c;
  };
  auto tower = [](const char* ep, uint16_t major = 1) {
    SyntaxId id = EchoInterface();
    id.major = major;
    return BuildTower(Tower{id, NdrSyntax(), "ncalrpc", ep, 0});
  };
  auto run = [&](const CallContext& c, bool del, const std::vector<uint8_t>& t) {
    DispatchResult r = m.Dispatch(c, del ? 1 : 0, EptInsertRequestStub(t, "x", del), Drep::Little());
    NdrPull p(r.stub, Drep::Little());
    uint32_t st = 0xFFFFFFFF;
    p.U32(&st);
    return st;
  };
  struct Step {
    const char* name;
    CallContext who;
    bool del;
    std::vector<uint8_t> tower;
    uint32_t want;
    size_t size_after;
  };
  const Step steps[] = {
      {"insert over TCP", ctx("ncacn_ip_tcp", false, 0), false, tower("a"), status::kAccessDenied, 0},
      {"insert over TCP claiming root", ctx("ncacn_ip_tcp", true, 0), false, tower("a"),
       status::kAccessDenied, 0},
      {"local without credentials", ctx("ncalrpc", false, 0), false, tower("a"),
       status::kAccessDenied, 0},
      {"user 1000 registers", ctx("ncalrpc", true, 1000), false, tower("a"), 0, 1},
      {"user 1001 adds to 1000's interface", ctx("ncalrpc", true, 1001), false, tower("evil"),
       status::kAccessDenied, 1},
      {"user 1001 another version", ctx("ncalrpc", true, 1001), false, tower("b", 2), 0, 2},
      {"user 1001 deletes 1000's entry", ctx("ncalrpc", true, 1001), true, tower("a"),
       status::kAccessDenied, 2},
      {"delete over TCP", ctx("ncacn_ip_tcp", false, 0), true, tower("a"), status::kAccessDenied, 2},
      {"user 1000 deletes its own", ctx("ncalrpc", true, 1000), true, tower("a"), 0, 1},
      {"root deletes 1001's", ctx("ncalrpc", true, 0), true, tower("b", 2), 0, 0},
  };
  for (const Step& s : steps) {
    EXPECT_EQ(run(s.who, s.del, s.tower), s.want) << s.name;
    EXPECT_EQ(m.size(), s.size_after) << s.name;
  }
}

// Continuation handles: random (a neighbour of one's own handle names
// nothing), bounded in number, and gone after their lifetime.
TEST(EndpointMapperServer, LookupHandlesAreUnguessableBoundedAndExpire) {
  EndpointMapper m;
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(m.Register(EchoInterface(), "ncacn_ip_tcp", std::to_string(40000 + i), "e"));
  CallContext ctx;
  // One lookup of one entry; returns the status and the handle.
  auto lookup = [&](const Uuid& h, Uuid* next) {
    NdrPush q;
    q.U32(0);
    q.U32(0);
    q.U32(0);
    q.U32(1);
    q.U32(0);  // handle attributes
    q.Uuid(h);
    q.U32(1);
    DispatchResult r = m.Dispatch(ctx, 2, q.Take(), Drep::Little());
    NdrPull p(r.stub, Drep::Little());
    uint32_t attr = 0, num = 0;
    p.U32(&attr);
    p.Uuid(next);
    p.U32(&num);
    if (num == 0) {  // a refusal is the status alone
      NdrPull s(r.stub, Drep::Little());
      uint32_t st = 0;
      s.U32(&st);
      return st;
    }
    return 0u;
  };
  Uuid a, b;
  ASSERT_EQ(lookup(Uuid{}, &a), 0u);
  ASSERT_EQ(lookup(Uuid{}, &b), 0u);
  ASSERT_FALSE(a.IsNil());
  EXPECT_FALSE(a.data1 + 1 == b.data1 && a.data2 == b.data2);  // not a counter
  Uuid guess = a;
  guess.data4[7] ^= 1;
  Uuid ignored;
  EXPECT_EQ(lookup(guess, &ignored), ept::kInvalidContext);
  EXPECT_EQ(lookup(a, &ignored), 0u);  // the real one still works
  // At most kMaxCursors are kept, however many walks are begun.
  for (size_t i = 0; i < EndpointMapper::kMaxCursors + 20; ++i) lookup(Uuid{}, &ignored);
  EXPECT_EQ(m.cursors(), EndpointMapper::kMaxCursors);
  // Expired ones are dropped.
  m.SetCursorLifetimeForTesting(std::chrono::milliseconds(0));
  Uuid c;
  lookup(Uuid{}, &c);
  EXPECT_EQ(lookup(c, &ignored), ept::kInvalidContext);
}

TEST(EndpointMapperServer, TheTableIsCapped) {
  EndpointMapper m;
  for (size_t i = 0; i < EndpointMapper::kMaxEntries; ++i)
    ASSERT_TRUE(m.Register(EchoInterface(), "ncalrpc", "e" + std::to_string(i), ""));
  EXPECT_FALSE(m.Register(EchoInterface(), "ncalrpc", "one-more", ""));
  // Replacing an existing entry still works when full.
  EXPECT_TRUE(m.Register(EchoInterface(), "ncalrpc", "e0", "renamed"));
  CallContext root;
  root.protseq = "ncalrpc";
  root.has_peer_credentials = true;
  auto t = BuildTower(Tower{EchoInterface(), NdrSyntax(), "ncalrpc", "one-more", 0});
  DispatchResult r = m.Dispatch(root, 0, EptInsertRequestStub(t, "", false), Drep::Little());
  NdrPull p(r.stub, Drep::Little());
  uint32_t st = 0;
  ASSERT_TRUE(p.U32(&st));
  EXPECT_EQ(st, ept::kCantPerformOp);
  EXPECT_EQ(m.size(), EndpointMapper::kMaxEntries);
}

// A mapper on a free TCP port (and ncalrpc in a private directory), an echo
// server registered with it, and the client resolving through it.
class EpmServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qzrpc-epm-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("QZRPC_LRPC_DIR", dir_.c_str(), 1);
    ASSERT_TRUE(epm_.Start("127.0.0.1", 0, true));
    setenv("QZRPC_EPM_PORT", std::to_string(epm_.tcp_port()).c_str(), 1);
    // Constructed after QZRPC_LRPC_DIR is set: the server reads it then.
    server_ = std::make_unique<Server>();
    server_->RegisterInterface(EchoInterface(), &echo_);
    port_ = server_->ListenTcp("127.0.0.1", 0);
    ASSERT_TRUE(server_->ListenLocal("LRPC-echo"));
    server_->Start();
  }
  void TearDown() override {
    server_->Stop();
    epm_.Stop();
    unsetenv("QZRPC_EPM_PORT");
    unsetenv("QZRPC_LRPC_DIR");
    rmdir(dir_.c_str());
  }
  std::string dir_;
  EndpointMapperService epm_;
  EchoDispatcher echo_;
  std::unique_ptr<Server> server_;
  uint16_t port_ = 0;
};

TEST_F(EpmServiceTest, ResolveOverTcpAndLocal) {
  epm_.mapper().Register(EchoInterface(), "ncacn_ip_tcp", std::to_string(port_), "echo");
  epm_.mapper().Register(EchoInterface(), "ncalrpc", "LRPC-echo", "echo");
  std::string ep;
  EXPECT_EQ(EptMap("ncacn_ip_tcp", "127.0.0.1", EchoInterface(), &ep), 0u);
  EXPECT_EQ(ep, std::to_string(port_));
  EXPECT_EQ(EptMap("ncalrpc", "", EchoInterface(), &ep), 0u);
  EXPECT_EQ(ep, "LRPC-echo");
  // Partial bindings resolve on their first call.
  Binding b("ncalrpc", "", "");
  std::vector<uint8_t> in = {1, 2};
  EXPECT_EQ(b.Call(EchoInterface(), 0, in).stub, in);
  EXPECT_EQ(b.endpoint(), "LRPC-echo");
}

TEST_F(EpmServiceTest, InsertAndDeleteOverTheWire) {
  std::string ep;
  EXPECT_EQ(EptMap("ncacn_ip_tcp", "127.0.0.1", EchoInterface(), &ep), status::kEptNotRegistered);
  // Over TCP nobody may change the table; over ncalrpc the caller may.
  EXPECT_EQ(EptInsert("ncacn_ip_tcp", "127.0.0.1", EchoInterface(), "ncacn_ip_tcp",
                      std::to_string(port_), "echo over tcp"),
            status::kAccessDenied);
  EXPECT_EQ(epm_.mapper().size(), 0u);
  EXPECT_EQ(EptInsert("ncalrpc", "", EchoInterface(), "ncacn_ip_tcp", std::to_string(port_),
                      "echo over tcp"),
            0u);
  EXPECT_EQ(EptInsert("ncalrpc", "", EchoInterface(), "ncalrpc", "LRPC-echo", "echo local"), 0u);
  EXPECT_EQ(epm_.mapper().size(), 2u);
  BindingHandle h = nullptr;
  ASSERT_EQ(RpcBindingFromStringBinding("ncacn_ip_tcp:127.0.0.1", &h), 0u);
  EXPECT_EQ(RpcEpResolveBinding(h, EchoInterface()), 0u);
  EXPECT_EQ(h->endpoint(), std::to_string(port_));
  std::vector<uint8_t> in = {3};
  EXPECT_EQ(h->Call(EchoInterface(), 0, in).stub, in);
  EXPECT_EQ(RpcBindingFree(&h), 0u);
  EXPECT_EQ(EptDelete("ncacn_ip_tcp", "127.0.0.1", EchoInterface(), "ncacn_ip_tcp",
                      std::to_string(port_)),
            status::kAccessDenied);
  EXPECT_EQ(EptDelete("ncalrpc", "", EchoInterface(), "ncacn_ip_tcp", std::to_string(port_)), 0u);
  EXPECT_EQ(EptDelete("ncalrpc", "", EchoInterface(), "ncacn_ip_tcp", std::to_string(port_)),
            ept::kNotRegistered);
  EXPECT_EQ(EptMap("ncacn_ip_tcp", "127.0.0.1", EchoInterface(), &ep), status::kEptNotRegistered);
}

TEST_F(EpmServiceTest, NoMapperIsServerUnavailable) {
  epm_.Stop();
  std::string ep;
  EXPECT_EQ(EptMap("ncacn_ip_tcp", "127.0.0.1", EchoInterface(), &ep), status::kServerUnavailable);
  EXPECT_EQ(EptMap("ncalrpc", "", EchoInterface(), &ep), status::kServerUnavailable);
  BindingHandle h = nullptr;
  ASSERT_EQ(RpcBindingFromStringBinding("ncacn_ip_tcp:127.0.0.1", &h), 0u);
  EXPECT_EQ(RpcEpResolveBinding(h, EchoInterface()), status::kServerUnavailable);
  RpcBindingFree(&h);
}

}  // namespace
}  // namespace qz::rpc
