// pdu_test.cc -- exact wire bytes of the PDU codec (bind, bind_ack,
// bind_nak, request, response, fault), header validation, big-endian
// decoding and truncation of every PDU at every length.
#include "rpc/pdu.h"

#include <gtest/gtest.h>

#include <random>

#include "rpc/fault_status.h"

namespace qz::rpc {
namespace {

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

SyntaxId Epm() { return SyntaxId{*Uuid::Parse("e1af8308-5d1f-11c9-91a4-08002b14a0fa"), 3, 0}; }

TEST(PduGolden, BindForEndpointMapper) {
  BindPdu b;
  b.hdr.type = ptype::kBind;
  b.hdr.call_id = 1;
  b.max_xmit_frag = b.max_recv_frag = 5840;
  b.contexts.push_back(ContextElem{0, Epm(), {NdrSyntax()}});
  auto want = Hex(
      "05 00 0b 03 10 00 00 00 48 00 00 00 01 00 00 00 d0 16 d0 16 00 00 00 00 01 00 00 00"
      "00 00 01 00 08 83 af e1 1f 5d c9 11 91 a4 08 00 2b 14 a0 fa 03 00 00 00"
      "04 5d 88 8a eb 1c c9 11 9f e8 08 00 2b 10 48 60 02 00 00 00");
  EXPECT_EQ(EncodeBind(b), want);
  BindPdu d;
  ASSERT_TRUE(DecodeBind(want, &d));
  EXPECT_EQ(d.max_xmit_frag, 5840);
  ASSERT_EQ(d.contexts.size(), 1u);
  EXPECT_EQ(d.contexts[0].abstract_syntax, Epm());
  EXPECT_EQ(d.contexts[0].transfer_syntaxes.at(0), NdrSyntax());
}

TEST(PduGolden, FaultOpRangeDidNotExecute) {
  FaultPdu f;
  f.hdr.type = ptype::kFault;
  f.hdr.flags = 0x23;
  f.hdr.call_id = 3;
  f.alloc_hint = 32;
  f.status = nca::kOpRangeError;
  auto want = Hex("05 00 03 23 10 00 00 00 20 00 00 00 03 00 00 00 20 00 00 00 00 00 00 00 02 00 01 1c 00 00 00 00");
  EXPECT_EQ(EncodeFault(f), want);
  FaultPdu d;
  ASSERT_TRUE(DecodeFault(want, &d));
  EXPECT_EQ(d.status, 0x1C010002u);
  EXPECT_EQ(d.hdr.flags & pfc::kDidNotExecute, pfc::kDidNotExecute);
  EXPECT_EQ(MapFaultStatus(d.status), 1745u);
}

TEST(PduGolden, BindAckWithSecondaryAddress135) {
  BindAckPdu a;
  a.hdr.type = ptype::kBindAck;
  a.hdr.call_id = 1;
  a.max_xmit_frag = a.max_recv_frag = 5840;
  a.assoc_group_id = 0x12345678;
  a.sec_addr = "135";
  a.results.push_back(ContextResult{0, 0, NdrSyntax()});
  auto want = Hex(
      "05 00 0c 03 10 00 00 00 3c 00 00 00 01 00 00 00 d0 16 d0 16 78 56 34 12"
      "04 00 31 33 35 00 00 00 01 00 00 00 00 00 00 00"
      "04 5d 88 8a eb 1c c9 11 9f e8 08 00 2b 10 48 60 02 00 00 00");
  EXPECT_EQ(EncodeBindAck(a), want);
  BindAckPdu d;
  ASSERT_TRUE(DecodeBindAck(want, &d));
  EXPECT_EQ(d.sec_addr, "135");
  EXPECT_EQ(d.assoc_group_id, 0x12345678u);
  ASSERT_EQ(d.results.size(), 1u);
  EXPECT_EQ(d.results[0].transfer_syntax, NdrSyntax());
}

TEST(PduGolden, BindAckResultOffsetFollowsSecAddr) {
  struct Case {
    const char* addr;
    size_t results_at;
  } cases[] = {{"135", 32}, {"49667", 32}, {"\\PIPE\\testpipe", 44}, {"", 28}};
  for (const Case& c : cases) {
    BindAckPdu a;
    a.hdr.type = ptype::kAlterContextResp;
    a.sec_addr = c.addr;
    a.results.push_back(ContextResult{2, 1, {}});
    auto v = EncodeBindAck(a);
    ASSERT_EQ(v.size(), c.results_at + 4 + 24) << c.addr;
    EXPECT_EQ(v[c.results_at], 1) << c.addr;       // n_results
    EXPECT_EQ(v[c.results_at + 4], 2) << c.addr;   // result
    EXPECT_EQ(v[c.results_at + 6], 1) << c.addr;   // reason
    BindAckPdu d;
    ASSERT_TRUE(DecodeBindAck(v, &d));
    EXPECT_EQ(d.sec_addr, c.addr);
    EXPECT_EQ(d.results.at(0).reason, 1);
  }
}

TEST(PduGolden, BindNakAndRequestAndResponse) {
  BindNakPdu n;
  n.hdr.type = ptype::kBindNak;
  n.hdr.call_id = 1;
  n.reason = 4;
  n.versions = {{5, 0}, {5, 1}};
  EXPECT_EQ(EncodeBindNak(n), Hex("05 00 0d 03 10 00 00 00 18 00 00 00 01 00 00 00 04 00 02 05 00 05 01 00"));

  RequestPdu r;
  r.hdr.type = ptype::kRequest;
  r.hdr.call_id = 2;
  r.alloc_hint = 4;
  r.context_id = 1;
  r.opnum = 3;
  std::vector<uint8_t> stub = {0xAA, 0xBB, 0xCC, 0xDD};
  r.stub = stub;
  EXPECT_EQ(EncodeRequest(r), Hex("05 00 00 03 10 00 00 00 1c 00 00 00 02 00 00 00 04 00 00 00 01 00 03 00 aa bb cc dd"));
  Uuid obj = *Uuid::Parse("00112233-4455-6677-8899-aabbccddeeff");
  r.object = obj;
  auto with_obj = EncodeRequest(r);
  EXPECT_EQ(with_obj.size(), 44u);
  EXPECT_EQ(with_obj[3], 0x83);
  RequestPdu d;
  ASSERT_TRUE(DecodeRequest(with_obj, &d));
  EXPECT_EQ(d.object, obj);
  EXPECT_EQ(std::vector<uint8_t>(d.stub.begin(), d.stub.end()), stub);

  ResponsePdu p;
  p.hdr.type = ptype::kResponse;
  p.hdr.call_id = 2;
  p.alloc_hint = 4;
  p.context_id = 1;
  p.stub = stub;
  EXPECT_EQ(EncodeResponse(p), Hex("05 00 02 03 10 00 00 00 1c 00 00 00 02 00 00 00 04 00 00 00 01 00 00 00 aa bb cc dd"));
}

TEST(PduCodec, BigEndianHeaderAndBodyFields) {
  BindAckPdu a;
  a.hdr.type = ptype::kBindAck;
  a.hdr.drep = Drep::Big();
  a.hdr.call_id = 0x01020304;
  a.max_xmit_frag = 4280;
  a.max_recv_frag = 5840;
  a.assoc_group_id = 0xA1B2C3D4;
  a.sec_addr = "49667";
  a.results.push_back(ContextResult{0, 0, NdrSyntax()});
  auto v = EncodeBindAck(a);
  EXPECT_EQ(v[4], 0x00);
  EXPECT_EQ(v[8], 0x00);  // frag_length big-endian
  EXPECT_EQ(v[9], v.size());
  EXPECT_EQ(v[12], 0x01);
  EXPECT_EQ(v[16], 0x10);  // 4280 = 0x10B8
  EXPECT_EQ(v[17], 0xB8);
  // The UUID's first fields swap, the last 8 bytes do not.
  EXPECT_EQ(v[40], 0x8a);
  EXPECT_EQ(v[43], 0x04);
  EXPECT_EQ(v[48], 0x9f);
  BindAckPdu d;
  ASSERT_TRUE(DecodeBindAck(v, &d));
  EXPECT_EQ(d.hdr.call_id, 0x01020304u);
  EXPECT_EQ(d.max_xmit_frag, 4280);
  EXPECT_EQ(d.max_recv_frag, 5840);
  EXPECT_EQ(d.assoc_group_id, 0xA1B2C3D4u);
  EXPECT_EQ(d.results.at(0).transfer_syntax, NdrSyntax());
  EXPECT_FALSE(d.hdr.drep.little_endian());
}

TEST(PduCodec, HeaderValidation) {
  auto base = Hex("05 00 00 03 10 00 00 00 18 00 00 00 01 00 00 00");
  struct Case {
    size_t off;
    uint8_t value;
    HeaderError want;
  } cases[] = {
      {0, 4, HeaderError::kVersion},   {0, 6, HeaderError::kVersion},
      {1, 1, HeaderError::kOk},        {1, 2, HeaderError::kVersion},
      {4, 0x00, HeaderError::kFragLength},  // read big-endian: 0x1800     {4, 0x11, HeaderError::kDrep},
      {4, 0x30, HeaderError::kDrep},   {5, 0x01, HeaderError::kDrep},
      {6, 0x01, HeaderError::kDrep},   {8, 15, HeaderError::kFragLength},
      {9, 0x20, HeaderError::kFragLength},  // 0x2018 > 4096 below
      {10, 1, HeaderError::kAuth},     {2, 1, HeaderError::kType},
      {2, 16, HeaderError::kType},     {2, 20, HeaderError::kType},
      {2, 99, HeaderError::kType},     {3, 0x23, HeaderError::kFlags},
      {3, 0x13, HeaderError::kFlags},  {3, 0x83, HeaderError::kOk},
      {3, 0x00, HeaderError::kOk},     {3, 0x0F, HeaderError::kOk},
  };
  for (const Case& c : cases) {
    auto v = base;
    v[c.off] = c.value;
    PduHeader h;
    EXPECT_EQ(DecodeHeader(v, 4096, &h), c.want) << "offset " << c.off << " value " << int(c.value);
  }
  // Per-type flag rules.
  struct FlagCase {
    uint8_t type, flags;
    HeaderError want;
  } flag_cases[] = {
      {ptype::kFault, 0x23, HeaderError::kOk},     {ptype::kFault, 0x01, HeaderError::kFlags},
      {ptype::kBind, 0x17, HeaderError::kOk},      {ptype::kBind, 0x43, HeaderError::kFlags},
      {ptype::kResponse, 0x80, HeaderError::kFlags}, {ptype::kBindNak, 0x13, HeaderError::kFlags},
      {ptype::kOrphaned, 0x03, HeaderError::kOk},  {ptype::kShutdown, 0x20, HeaderError::kFlags},
  };
  for (const FlagCase& c : flag_cases) {
    auto v = base;
    v[2] = c.type;
    v[3] = c.flags;
    PduHeader h;
    EXPECT_EQ(DecodeHeader(v, 4096, &h), c.want) << int(c.type) << "/" << int(c.flags);
  }
  PduHeader h;
  EXPECT_EQ(DecodeHeader(std::span(base).first(15), 4096, &h), HeaderError::kFragLength);
}

TEST(PduCodec, EveryTruncationIsRejectedOrSafe) {
  BindPdu b;
  b.hdr.type = ptype::kBind;
  b.contexts = {ContextElem{0, Epm(), {NdrSyntax(), NdrSyntax()}}, ContextElem{1, Epm(), {NdrSyntax()}}};
  BindAckPdu a;
  a.hdr.type = ptype::kBindAck;
  a.sec_addr = "\\PIPE\\x";
  a.results.resize(3);
  FaultPdu f;
  f.hdr.type = ptype::kFault;
  BindNakPdu n;
  n.hdr.type = ptype::kBindNak;
  std::vector<std::vector<uint8_t>> pdus = {EncodeBind(b), EncodeBindAck(a), EncodeFault(f),
                                            EncodeBindNak(n)};
  for (const auto& full : pdus) {
    for (size_t len = 0; len < full.size(); ++len) {
      std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<long>(len));
      if (len >= 10) cut[8] = static_cast<uint8_t>(len);  // frag_length agrees with the cut
      BindPdu bd;
      BindAckPdu ad;
      FaultPdu fd;
      BindNakPdu nd;
      bool ok = DecodeBind(cut, &bd) || DecodeBindAck(cut, &ad) || DecodeFault(cut, &fd);
      // A nak's version list is optional; everything else needs all its bytes.
      if (full[2] == ptype::kBindNak) {
        if (len < 18) {
          EXPECT_FALSE(DecodeBindNak(cut, &nd)) << len;
        }
      } else if (full[2] == ptype::kFault && len >= 28) {
        // The trailing reserved word of a fault is optional.
        EXPECT_TRUE(DecodeFault(cut, &fd)) << len;
      } else {
        EXPECT_FALSE(ok) << "type " << int(full[2]) << " len " << len;
      }
    }
    // frag_length disagreeing with the bytes given is refused.
    auto longer = full;
    longer.push_back(0);
    BindPdu bd;
    BindAckPdu ad;
    FaultPdu fd;
    EXPECT_FALSE(DecodeBind(longer, &bd) || DecodeBindAck(longer, &ad) || DecodeFault(longer, &fd));
  }
}

TEST(PduCodec, RandomBytesNeverReadOutOfBounds) {
  // Plausible headers with random bodies, through every decoder (run under
  // the sanitizers this catches any read past the buffer).
  std::mt19937 rng(99);
  const uint8_t types[] = {0, 2, 3, 11, 12, 13, 14, 15};
  int decoded = 0;
  for (int i = 0; i < 20000; ++i) {
    std::vector<uint8_t> v(16 + rng() % 120);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    v[0] = 5;
    v[1] = 0;
    v[2] = types[rng() % 8];
    v[3] = 3;
    v[4] = (rng() % 2) ? 0x10 : 0x00;
    v[5] = v[6] = v[7] = 0;
    bool le = v[4] == 0x10;
    v[le ? 8 : 9] = static_cast<uint8_t>(v.size());
    v[le ? 9 : 8] = 0;
    v[10] = v[11] = 0;
    BindPdu b;
    BindAckPdu a;
    BindNakPdu n;
    RequestPdu q;
    ResponsePdu r;
    FaultPdu f;
    decoded += DecodeBind(v, &b) + DecodeBindAck(v, &a) + DecodeBindNak(v, &n) +
               DecodeRequest(v, &q) + DecodeResponse(v, &r) + DecodeFault(v, &f);
    if (DecodeBind(v, &b)) {
      size_t elems = 0;
      for (const auto& c : b.contexts) elems += 24 + 20 * c.transfer_syntaxes.size();
      EXPECT_LE(elems, v.size());
    }
    if (DecodeBindAck(v, &a)) {
      EXPECT_LE(a.sec_addr.size() + 24 * a.results.size(), v.size());
    }
  }
  EXPECT_GT(decoded, 0);  // the generator does reach the decoders' bodies
}

TEST(PduCodec, FragmentStubCapacity) {
  EXPECT_EQ(FragmentStubCapacity(1432, 24), 1408u);
  EXPECT_EQ(FragmentStubCapacity(5840, 24), 5816u);  // 8 x 727
  EXPECT_EQ(FragmentStubCapacity(65528, 24), 65504u);
  EXPECT_EQ(FragmentStubCapacity(4281, 24), 4256u);
  EXPECT_EQ(FragmentStubCapacity(1432, 40), 1392u);
}

TEST(PduCodec, ReceivePduBoundsAndEndOfStream) {
  auto [a, b] = MakeMemoryPair();
  FaultPdu f;
  f.hdr.type = ptype::kFault;
  auto v = EncodeFault(f);
  a->SendAll(v);
  std::vector<uint8_t> pdu;
  PduHeader h;
  EXPECT_EQ(ReceivePdu(*b, 4096, 1000, &pdu, &h), RecvStatus::kOk);
  EXPECT_EQ(pdu, v);
  // A header announcing more than the limit is refused before allocation.
  auto big = v;
  big[8] = 0xFF;
  big[9] = 0xFF;
  a->SendAll(std::span(big).first(16));
  HeaderError e;
  EXPECT_EQ(ReceivePdu(*b, 4096, 1000, &pdu, &h, &e), RecvStatus::kBadHeader);
  EXPECT_EQ(e, HeaderError::kFragLength);
  // Nothing arrives: timeout; half a PDU then the end: closed.
  EXPECT_EQ(ReceivePdu(*b, 4096, 50, &pdu, &h), RecvStatus::kTimeout);
  a->SendAll(std::span(v).first(20));
  a->Shutdown();
  EXPECT_EQ(ReceivePdu(*b, 4096, 1000, &pdu, &h), RecvStatus::kClosed);
}

}  // namespace
}  // namespace qz::rpc
