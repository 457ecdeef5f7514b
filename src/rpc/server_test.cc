// server_test.cc -- negative PDU suite against our server runtime: raw
// bytes over TCP (bad versions, drep, flags, frag sizes, lying alloc_hint
// and frag_length, unknown and rejected contexts, bad opnums, orphaned and
// cancelled calls, fragment interleaving, caps, garbage). Every case must
// end in a fault, a bind_nak, an ack or a closed connection within the
// receive timeout, and the server must still serve a normal call after it.
#include "rpc/server.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "rpc/client.h"
#include "rpc/pdu.h"
#include "rpc/rpc_test_util.h"
#include "rpc/server_testing.h"
#include "rpc/transport.h"

namespace qz::rpc {
namespace {

using testing::EchoDispatcher;
using testing::EchoInterface;

constexpr int kTimeoutMs = 3000;

enum class Kind { kAck, kNak, kFault, kResponse, kClosed, kTimeout, kOther };

struct Outcome {
  Kind kind = Kind::kOther;
  PduHeader hdr;
  uint32_t status = 0;  // fault status or nak reason
  uint32_t alloc_hint = 0;  // response
  BindAckPdu ack;
  std::vector<uint8_t> stub;
};

Outcome ReadOutcome(Transport& t) {
  Outcome o;
  std::vector<uint8_t> pdu;
  RecvStatus rs = ReceivePdu(t, 65535, kTimeoutMs, &pdu, &o.hdr);
  if (rs == RecvStatus::kTimeout) {
    o.kind = Kind::kTimeout;
    return o;
  }
  if (rs != RecvStatus::kOk) {
    o.kind = Kind::kClosed;
    return o;
  }
  switch (o.hdr.type) {
    case ptype::kBindAck:
    case ptype::kAlterContextResp:
      o.kind = DecodeBindAck(pdu, &o.ack) ? Kind::kAck : Kind::kOther;
      break;
    case ptype::kBindNak: {
      BindNakPdu n;
      o.kind = DecodeBindNak(pdu, &n) ? Kind::kNak : Kind::kOther;
      o.status = n.reason;
      break;
    }
    case ptype::kFault: {
      FaultPdu f;
      o.kind = DecodeFault(pdu, &f) ? Kind::kFault : Kind::kOther;
      o.status = f.status;
      break;
    }
    case ptype::kResponse: {
      ResponsePdu r;
      o.kind = DecodeResponse(pdu, &r) ? Kind::kResponse : Kind::kOther;
      o.stub.assign(r.stub.begin(), r.stub.end());
      o.alloc_hint = r.alloc_hint;
      break;
    }
  }
  return o;
}

// After a fault for a protocol violation the server closes: the next read
// must see the end of the stream (not a timeout).
void ExpectClosedNext(Transport& t) {
  Outcome o = ReadOutcome(t);
  EXPECT_EQ(o.kind, Kind::kClosed);
}

BindPdu MakeBind(uint32_t call_id, const SyntaxId& iface, uint16_t frag = 5840,
                 uint8_t type = ptype::kBind) {
  BindPdu b;
  b.hdr.type = type;
  b.hdr.call_id = call_id;
  b.max_xmit_frag = frag;
  b.max_recv_frag = frag;
  b.contexts.push_back(ContextElem{0, iface, {NdrSyntax()}});
  return b;
}

std::vector<uint8_t> MakeRequest(uint32_t call_id, uint16_t ctx, uint16_t opnum,
                                 std::span<const uint8_t> stub, uint8_t flags = 3,
                                 uint32_t alloc_hint = 0) {
  RequestPdu r;
  r.hdr.type = ptype::kRequest;
  r.hdr.call_id = call_id;
  r.hdr.flags = flags;
  r.alloc_hint = alloc_hint ? alloc_hint : static_cast<uint32_t>(stub.size());
  r.context_id = ctx;
  r.opnum = opnum;
  r.stub = stub;
  return EncodeRequest(r);
}

class ServerNegativeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ServerSettings s;
    s.max_request_bytes = 64 * 1024;
    server_ = testing::StartEchoServer(s, &echo_, &port_);
    ASSERT_NE(port_, 0);
  }
  void TearDown() override {
    // The server survived the case: a normal call still works.
    Binding b("ncacn_ip_tcp", "127.0.0.1", std::to_string(port_));
    std::vector<uint8_t> in = {4, 3, 2, 1};
    EXPECT_EQ(b.Call(EchoInterface(), 0, in).stub, in);
    server_->Stop();
  }
  std::unique_ptr<Transport> Connect() {
    int err = 0;
    auto t = ConnectTcp("127.0.0.1", port_, 2000, &err);
    EXPECT_NE(t, nullptr);
    return t;
  }
  // A connection with the echo interface bound as context 0.
  std::unique_ptr<Transport> Bound(uint16_t frag = 5840) {
    auto t = Connect();
    t->SendAll(EncodeBind(MakeBind(1, EchoInterface(), frag)));
    Outcome o = ReadOutcome(*t);
    EXPECT_EQ(o.kind, Kind::kAck);
    return t;
  }
  EchoDispatcher echo_;
  std::unique_ptr<Server> server_;
  uint16_t port_ = 0;
};

// Header-level violations in the first PDU.
struct HeaderCase {
  const char* name;
  std::function<void(std::vector<uint8_t>&)> mutate;
  Kind want;
  uint32_t nak_reason;
};

class BindHeaderTest : public ServerNegativeTest,
                       public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(BindHeaderTest, Answered) {
  auto t = Connect();
  std::vector<uint8_t> pdu = EncodeBind(MakeBind(1, EchoInterface()));
  GetParam().mutate(pdu);
  t->SendAll(pdu);
  Outcome o = ReadOutcome(*t);
  EXPECT_EQ(o.kind, GetParam().want) << GetParam().name;
  if (GetParam().want == Kind::kNak) {
    EXPECT_EQ(o.status, GetParam().nak_reason);
    ExpectClosedNext(*t);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BindHeaderTest,
    ::testing::Values(
        HeaderCase{"version4", [](auto& p) { p[0] = 4; }, Kind::kNak, nak::kProtocolVersionNotSupported},
        HeaderCase{"minor2", [](auto& p) { p[1] = 2; }, Kind::kNak, nak::kProtocolVersionNotSupported},
        HeaderCase{"minor1_ok", [](auto& p) { p[1] = 1; }, Kind::kAck, 0},
        HeaderCase{"ebcdic", [](auto& p) { p[4] = 0x11; }, Kind::kClosed, 0},
        HeaderCase{"vax_float", [](auto& p) { p[5] = 1; }, Kind::kClosed, 0},
        HeaderCase{"auth_length", [](auto& p) { p[10] = 8; }, Kind::kClosed, 0},
        HeaderCase{"flag_did_not_execute", [](auto& p) { p[3] |= 0x20; }, Kind::kClosed, 0},
        HeaderCase{"flag_object_uuid", [](auto& p) { p[3] |= 0x80; }, Kind::kClosed, 0},
        HeaderCase{"not_last_frag", [](auto& p) { p[3] = 0x01; }, Kind::kClosed, 0},
        HeaderCase{"frag_length_below_header", [](auto& p) { p[8] = 10; }, Kind::kClosed, 0},
        HeaderCase{"frag_length_short_of_body", [](auto& p) { p[8] = 30; p.resize(30); },
                   Kind::kNak, nak::kNotSpecified},
        HeaderCase{"context_count_lies", [](auto& p) { p[24] = 9; }, Kind::kNak, nak::kNotSpecified},
        HeaderCase{"zero_transfer_syntaxes", [](auto& p) { p[30] = 0; }, Kind::kNak,
                   nak::kNotSpecified},
        HeaderCase{"connectionless_ping", [](auto& p) { p[2] = 1; }, Kind::kClosed, 0},
        HeaderCase{"auth3", [](auto& p) { p[2] = 16; }, Kind::kClosed, 0},
        HeaderCase{"bind_ack_to_server", [](auto& p) { p[2] = ptype::kBindAck; }, Kind::kClosed, 0},
        HeaderCase{"request_before_bind", [](auto& p) { p[2] = ptype::kRequest; p[3] = 3; },
                   Kind::kClosed, 0},
        HeaderCase{"alter_before_bind", [](auto& p) { p[2] = ptype::kAlterContext; },
                   Kind::kClosed, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// Fragment size negotiation: what the server grants for each offer.
struct FragOffer {
  uint16_t xmit, recv;
  uint16_t want_ack_xmit, want_ack_recv;
};

class FragOfferTest : public ServerNegativeTest, public ::testing::WithParamInterface<FragOffer> {};

TEST_P(FragOfferTest, Granted) {
  auto t = Connect();
  BindPdu b = MakeBind(1, EchoInterface());
  b.max_xmit_frag = GetParam().xmit;
  b.max_recv_frag = GetParam().recv;
  t->SendAll(EncodeBind(b));
  Outcome o = ReadOutcome(*t);
  ASSERT_EQ(o.kind, Kind::kAck);
  EXPECT_EQ(o.ack.max_xmit_frag, GetParam().want_ack_xmit);
  EXPECT_EQ(o.ack.max_recv_frag, GetParam().want_ack_recv);
  EXPECT_EQ(o.ack.sec_addr, std::to_string(port_));
  EXPECT_NE(o.ack.assoc_group_id, 0u);
  // Replies never exceed what we said we receive.
  std::vector<uint8_t> big = testing::Pattern(20000);
  uint32_t n = 20000;
  std::memcpy(big.data(), &n, 4);
  t->SendAll(MakeRequest(2, 0, 1, std::span(big).first(4)));
  size_t got = 0;
  for (;;) {
    Outcome r = ReadOutcome(*t);
    ASSERT_EQ(r.kind, Kind::kResponse);
    EXPECT_LE(r.hdr.frag_length, o.ack.max_xmit_frag);
    if (!(r.hdr.flags & pfc::kLastFrag)) {
      EXPECT_EQ(r.stub.size() % 8, 0u);
    }
    got += r.stub.size();
    if (r.hdr.flags & pfc::kLastFrag) break;
  }
  EXPECT_EQ(got, 20000u);
}

INSTANTIATE_TEST_SUITE_P(Offers, FragOfferTest,
                         ::testing::Values(FragOffer{0, 0, 1432, 1432},
                                           FragOffer{5841, 4281, 4280, 5840},
                                           FragOffer{100, 7, 1432, 1432},
                                           FragOffer{65535, 65535, 65528, 65528},
                                           FragOffer{1432, 1433, 1432, 1432}));

// A reply the dispatcher keeps goes out in fragments sent straight from
// it, several to a gather write: each fragment's header (flags, alloc_hint,
// length) is its own, the stubs join up to the reply, and the reply is
// still whole for the next call. 47 fragments of a 4280-byte grant span
// three batches.
TEST_F(ServerNegativeTest, KeptReplyIsSentInPlaceFragmentByFragment) {
  const uint32_t n = 200000;
  const std::vector<uint8_t> pattern = testing::Pattern(n);
  server_->Stop();
  echo_.kept = std::make_shared<const std::vector<uint8_t>>(pattern);
  server_ = testing::StartEchoServer(ServerSettings(), &echo_, &port_);
  auto t = Bound(4280);
  for (uint32_t call = 2; call <= 3; ++call) {
    SCOPED_TRACE(call);
    std::vector<uint8_t> req(4);
    std::memcpy(req.data(), &n, 4);
    t->SendAll(MakeRequest(call, 0, 1, req));
    std::vector<uint8_t> got;
    int frags = 0;
    for (bool last = false; !last; ++frags) {
      Outcome r = ReadOutcome(*t);
      ASSERT_EQ(r.kind, Kind::kResponse);
      last = (r.hdr.flags & pfc::kLastFrag) != 0;
      EXPECT_EQ((r.hdr.flags & pfc::kFirstFrag) != 0, frags == 0);
      EXPECT_EQ(r.hdr.call_id, call);
      EXPECT_EQ(size_t{r.hdr.frag_length}, kResponseHeaderSize + r.stub.size());
      EXPECT_EQ(r.alloc_hint, n - got.size());
      EXPECT_LE(r.hdr.frag_length, 4280u);
      got.insert(got.end(), r.stub.begin(), r.stub.end());
    }
    EXPECT_EQ(frags, 47);
    EXPECT_TRUE(got == pattern);
  }
}

TEST_F(ServerNegativeTest, FragmentLargerThanGrantedIsRefused) {
  auto t = Bound(1432);
  std::vector<uint8_t> stub(3000);
  t->SendAll(MakeRequest(2, 0, 0, stub));  // one 3024-byte fragment, 1432 granted
  Outcome o = ReadOutcome(*t);
  EXPECT_EQ(o.kind, Kind::kFault);
  EXPECT_EQ(o.status, nca::kProtoError);
  ExpectClosedNext(*t);
}

TEST_F(ServerNegativeTest, UnknownContextIsFaultedAndConnectionStays) {
  auto t = Bound();
  std::vector<uint8_t> stub = {1, 2};
  t->SendAll(MakeRequest(2, 7, 0, stub));
  Outcome o = ReadOutcome(*t);
  ASSERT_EQ(o.kind, Kind::kFault);
  EXPECT_EQ(o.status, nca::kUnknownInterface);
  EXPECT_TRUE(o.hdr.flags & pfc::kDidNotExecute);
  EXPECT_EQ(o.hdr.call_id, 2u);
  t->SendAll(MakeRequest(3, 0, 0, stub));
  EXPECT_EQ(ReadOutcome(*t).stub, stub);
}

TEST_F(ServerNegativeTest, RejectedContextIsFaulted) {
  auto t = Connect();
  SyntaxId unknown{*Uuid::Parse("99999999-2222-3333-4444-555555555555"), 1, 0};
  t->SendAll(EncodeBind(MakeBind(1, unknown)));
  Outcome o = ReadOutcome(*t);
  ASSERT_EQ(o.kind, Kind::kAck);
  ASSERT_EQ(o.ack.results.size(), 1u);
  EXPECT_EQ(o.ack.results[0].result, ctxres::kProviderRejection);
  EXPECT_EQ(o.ack.results[0].reason, ctxres::kAbstractSyntaxNotSupported);
  EXPECT_EQ(o.ack.results[0].transfer_syntax, SyntaxId{});
  t->SendAll(MakeRequest(2, 0, 0, {}));
  o = ReadOutcome(*t);
  EXPECT_EQ(o.kind, Kind::kFault);
  EXPECT_EQ(o.status, nca::kUnknownInterface);
}

TEST_F(ServerNegativeTest, TransferSyntaxChoiceAndAlterContext) {
  auto t = Connect();
  BindPdu b = MakeBind(1, EchoInterface());
  SyntaxId ndr64{*Uuid::Parse("71710533-beba-4937-8319-b5dbef9ccc36"), 1, 0};
  SyntaxId probe{*Uuid::Parse("6cb71c2c-9812-4540-0300-000000000000"), 1, 0};
  b.contexts = {ContextElem{0, EchoInterface(), {ndr64}}, ContextElem{1, EchoInterface(), {NdrSyntax()}},
                ContextElem{2, EchoInterface(), {NdrSyntax()}}, ContextElem{3, EchoInterface(), {probe}}};
  t->SendAll(EncodeBind(b));
  Outcome o = ReadOutcome(*t);
  ASSERT_EQ(o.kind, Kind::kAck);
  ASSERT_EQ(o.ack.results.size(), 4u);
  EXPECT_EQ(o.ack.results[0].result, ctxres::kProviderRejection);
  EXPECT_EQ(o.ack.results[0].reason, ctxres::kTransferSyntaxesNotSupported);
  EXPECT_EQ(o.ack.results[1].result, ctxres::kAcceptance);
  EXPECT_EQ(o.ack.results[1].transfer_syntax, NdrSyntax());
  EXPECT_EQ(o.ack.results[2].result, ctxres::kProviderRejection);  // one syntax per interface
  EXPECT_EQ(o.ack.results[3].result, ctxres::kNegotiateAck);
  // alter_context adds a context; frag sizes and group stay.
  BindPdu a = MakeBind(2, EchoInterface(), 5840, ptype::kAlterContext);
  a.contexts[0].context_id = 9;
  t->SendAll(EncodeBind(a));
  Outcome r = ReadOutcome(*t);
  ASSERT_EQ(r.kind, Kind::kAck);
  EXPECT_EQ(r.hdr.type, ptype::kAlterContextResp);
  EXPECT_EQ(r.ack.assoc_group_id, o.ack.assoc_group_id);
  EXPECT_EQ(r.ack.results[0].result, ctxres::kAcceptance);
  std::vector<uint8_t> stub = {5};
  t->SendAll(MakeRequest(3, 9, 0, stub));
  EXPECT_EQ(ReadOutcome(*t).stub, stub);
}

TEST_F(ServerNegativeTest, AssociationGroupsAreJoinedByLaterConnections) {
  auto bind = [&](uint32_t group) {
    auto t = Connect();
    BindPdu b = MakeBind(1, EchoInterface());
    b.assoc_group_id = group;
    t->SendAll(EncodeBind(b));
    Outcome o = ReadOutcome(*t);
    EXPECT_EQ(o.kind, Kind::kAck);
    return std::make_pair(std::move(t), o.ack.assoc_group_id);
  };
  auto [t1, g1] = bind(0);
  ASSERT_NE(g1, 0u);
  auto [t2, g2] = bind(g1);
  EXPECT_EQ(g2, g1);
  auto [t3, g3] = bind(0);
  EXPECT_NE(g3, g1);
  auto [t4, g4] = bind(0xDEAD0001);  // unknown group: a fresh one
  EXPECT_NE(g4, 0xDEAD0001u);
  EXPECT_NE(g4, 0u);
  // Fresh groups cannot be told from the previous ones: no two of them lie
  // close together (counting would put them 1 apart).
  auto [t5, g5] = bind(0);
  const uint32_t fresh[] = {g1, g3, g4, g5};
  for (uint32_t a : fresh)
    for (uint32_t b : fresh)
      if (a != b) EXPECT_GT(a > b ? a - b : b - a, 1000u) << a << " " << b;
}

TEST_F(ServerNegativeTest, BadOpnumIsFaulted) {
  auto t = Bound();
  t->SendAll(MakeRequest(2, 0, 999, {}));
  Outcome o = ReadOutcome(*t);
  EXPECT_EQ(o.kind, Kind::kFault);
  EXPECT_EQ(o.status, nca::kOpRangeError);
  EXPECT_TRUE(o.hdr.flags & pfc::kDidNotExecute);
}

TEST_F(ServerNegativeTest, DispatcherFaultAndDrop) {
  auto t = Bound();
  uint32_t st = 0x6F7;
  std::vector<uint8_t> stub(4);
  std::memcpy(stub.data(), &st, 4);
  t->SendAll(MakeRequest(2, 0, 2, stub));
  Outcome o = ReadOutcome(*t);
  EXPECT_EQ(o.kind, Kind::kFault);
  EXPECT_EQ(o.status, 0x6F7u);
  t->SendAll(MakeRequest(3, 0, 3, {}));
  ExpectClosedNext(*t);
}

TEST_F(ServerNegativeTest, LyingAllocHintIsIgnored) {
  auto t = Bound();
  std::vector<uint8_t> stub = {1, 2, 3};
  t->SendAll(MakeRequest(2, 0, 0, stub, 3, 0xFFFFFFFF));
  Outcome o = ReadOutcome(*t);
  EXPECT_EQ(o.kind, Kind::kResponse);
  EXPECT_EQ(o.stub, stub);
}

TEST_F(ServerNegativeTest, InterleavedFragmentedCallsAreAProtocolError) {
  auto t = Bound();
  std::vector<uint8_t> part(800);
  t->SendAll(MakeRequest(2, 0, 0, part, pfc::kFirstFrag));
  t->SendAll(MakeRequest(3, 0, 0, part, pfc::kFirstFrag));
  Outcome o = ReadOutcome(*t);
  EXPECT_EQ(o.kind, Kind::kFault);
  EXPECT_EQ(o.status, nca::kProtoError);
  ExpectClosedNext(*t);
}

TEST_F(ServerNegativeTest, StrayMiddleFragmentIsAProtocolError) {
  auto t = Bound();
  std::vector<uint8_t> part(16);
  t->SendAll(MakeRequest(2, 0, 0, part, 0));
  Outcome o = ReadOutcome(*t);
  EXPECT_EQ(o.kind, Kind::kFault);
  EXPECT_EQ(o.status, nca::kProtoError);
  ExpectClosedNext(*t);
}

TEST_F(ServerNegativeTest, FragmentOfAnotherCallIsAProtocolError) {
  auto t = Bound();
  std::vector<uint8_t> part(16);
  t->SendAll(MakeRequest(2, 0, 0, part, pfc::kFirstFrag));
  t->SendAll(MakeRequest(5, 0, 0, part, pfc::kLastFrag));
  EXPECT_EQ(ReadOutcome(*t).status, nca::kProtoError);
  ExpectClosedNext(*t);
}

TEST_F(ServerNegativeTest, ReusedCallIdIsAProtocolError) {
  auto t = Bound();
  std::vector<uint8_t> stub = {1};
  t->SendAll(MakeRequest(4, 0, 0, stub));
  EXPECT_EQ(ReadOutcome(*t).kind, Kind::kResponse);
  t->SendAll(MakeRequest(4, 0, 0, stub));
  EXPECT_EQ(ReadOutcome(*t).status, nca::kProtoError);
  ExpectClosedNext(*t);
}

TEST_F(ServerNegativeTest, OversizedRequestIsFaultedWithAccessDenied) {
  auto t = Bound();
  std::vector<uint8_t> part(5000);
  // 20 fragments of 5000 bytes: over the 64 KiB cap after 14.
  for (int i = 0; i < 20; ++i) {
    uint8_t flags = (i == 0 ? pfc::kFirstFrag : 0) | (i == 19 ? pfc::kLastFrag : 0);
    t->SendAll(MakeRequest(2, 0, 0, part, flags, 0x7FFFFFFF));
  }
  Outcome o = ReadOutcome(*t);
  EXPECT_EQ(o.kind, Kind::kFault);
  EXPECT_EQ(o.status, 5u);
  EXPECT_TRUE(o.hdr.flags & pfc::kDidNotExecute);
  // The rest of that call was swallowed; the connection serves the next one.
  std::vector<uint8_t> stub = {8};
  t->SendAll(MakeRequest(3, 0, 0, stub));
  EXPECT_EQ(ReadOutcome(*t).stub, stub);
}

TEST_F(ServerNegativeTest, OrphanedCallIsAbandoned) {
  auto t = Bound();
  std::vector<uint8_t> part(64);
  t->SendAll(MakeRequest(2, 0, 0, part, pfc::kFirstFrag));
  PduHeader h;
  h.type = ptype::kOrphaned;
  h.call_id = 2;
  t->SendAll(EncodeHeaderOnly(h));
  std::vector<uint8_t> stub = {6};
  t->SendAll(MakeRequest(3, 0, 0, stub));
  Outcome o = ReadOutcome(*t);
  EXPECT_EQ(o.kind, Kind::kResponse);
  EXPECT_EQ(o.hdr.call_id, 3u);
  EXPECT_EQ(o.stub, stub);
}

TEST_F(ServerNegativeTest, CancelledCallStillCompletes) {
  auto t = Bound();
  std::vector<uint8_t> stub(8);
  uint32_t ms = 50;
  std::memcpy(stub.data(), &ms, 4);
  t->SendAll(MakeRequest(2, 0, 4, stub));
  PduHeader h;
  h.type = ptype::kCoCancel;
  h.call_id = 2;
  t->SendAll(EncodeHeaderOnly(h));
  Outcome o = ReadOutcome(*t);
  EXPECT_EQ(o.kind, Kind::kResponse);
  EXPECT_EQ(o.stub, stub);
}

TEST_F(ServerNegativeTest, SecondBindAndClientShutdownAreProtocolErrors) {
  {
    auto t = Bound();
    t->SendAll(EncodeBind(MakeBind(2, EchoInterface())));
    EXPECT_EQ(ReadOutcome(*t).status, nca::kProtoError);
    ExpectClosedNext(*t);
  }
  {
    auto t = Bound();
    PduHeader h;
    h.type = ptype::kShutdown;
    t->SendAll(EncodeHeaderOnly(h));
    EXPECT_EQ(ReadOutcome(*t).status, nca::kProtoError);
    ExpectClosedNext(*t);
  }
}

TEST_F(ServerNegativeTest, BigEndianClientIsServed) {
  auto t = Connect();
  BindPdu b = MakeBind(1, EchoInterface());
  b.hdr.drep = Drep::Big();
  t->SendAll(EncodeBind(b));
  Outcome o = ReadOutcome(*t);
  ASSERT_EQ(o.kind, Kind::kAck);
  EXPECT_EQ(o.ack.results[0].result, ctxres::kAcceptance);
  RequestPdu r;
  r.hdr.drep = Drep::Big();
  r.hdr.type = ptype::kRequest;
  r.hdr.call_id = 2;
  std::vector<uint8_t> stub = {1, 2, 3, 4};
  r.stub = stub;
  r.alloc_hint = 4;
  t->SendAll(EncodeRequest(r));
  o = ReadOutcome(*t);
  EXPECT_EQ(o.kind, Kind::kResponse);
  EXPECT_EQ(o.hdr.call_id, 2u);
  EXPECT_EQ(o.stub, stub);
}

TEST_F(ServerNegativeTest, StalledClientsAreCutOffIdleOnesAreNot) {
  SetServerStallTimeoutForTesting(200);
  auto idle = Bound();
  {
    auto t = Bound();  // half a header, then silence
    std::vector<uint8_t> req = MakeRequest(2, 0, 0, std::vector<uint8_t>(8));
    t->SendAll(std::span(req).first(10));
    EXPECT_EQ(ReadOutcome(*t).kind, Kind::kClosed);
  }
  {
    auto t = Bound();  // a fragment announcing more than it brings
    std::vector<uint8_t> req = MakeRequest(2, 0, 0, std::vector<uint8_t>(800));
    t->SendAll(std::span(req).first(300));
    EXPECT_EQ(ReadOutcome(*t).kind, Kind::kClosed);
  }
  {
    auto t = Bound();  // the first fragment of a call, then silence
    t->SendAll(MakeRequest(2, 0, 0, std::vector<uint8_t>(64), pfc::kFirstFrag));
    EXPECT_EQ(ReadOutcome(*t).kind, Kind::kClosed);
  }
  // An idle bound connection survived all that.
  std::vector<uint8_t> stub = {9};
  idle->SendAll(MakeRequest(2, 0, 0, stub));
  EXPECT_EQ(ReadOutcome(*idle).stub, stub);
  SetServerStallTimeoutForTesting(120000);
}

TEST_F(ServerNegativeTest, GarbageClosesTheConnection) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 20; ++round) {
    auto t = Connect();
    std::vector<uint8_t> junk(16 + rng() % 2000);
    for (auto& b : junk) b = static_cast<uint8_t>(rng());
    if (round % 2) {
      junk[0] = 5;  // plausible header, random rest
      junk[1] = 0;
    }
    t->SendAll(junk);
    t->Shutdown();
  }
  // Also garbage after a valid bind.
  for (int round = 0; round < 20; ++round) {
    auto t = Bound();
    std::vector<uint8_t> junk(16 + rng() % 3000);
    for (auto& b : junk) b = static_cast<uint8_t>(rng());
    junk[0] = 5;
    junk[1] = 0;
    junk[2] = static_cast<uint8_t>(rng() % 20);
    junk[4] = 0x10;
    junk[5] = junk[6] = junk[7] = 0;
    junk[10] = junk[11] = 0;
    uint16_t len = static_cast<uint16_t>(16 + rng() % (junk.size() - 15));
    junk[8] = len & 0xFF;
    junk[9] = len >> 8;
    t->SendAll(junk);
    Outcome o = ReadOutcome(*t);
    EXPECT_NE(o.kind, Kind::kTimeout) << "round " << round;
  }
}

}  // namespace
}  // namespace qz::rpc
