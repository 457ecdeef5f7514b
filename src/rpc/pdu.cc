// pdu.cc -- connection-oriented PDU encoding, decoding and validation.
//
// Thread-safety: reentrant; no shared state.
#include "rpc/pdu.h"

#include <algorithm>
#include <cstring>

namespace qz::rpc {

namespace {

// Appends fields in the byte order of a drep.
class Writer {
 public:
  Writer(std::vector<uint8_t>* out, bool le) : out_(out), le_(le) {}
  void U8(uint8_t v) { out_->push_back(v); }
  void U16(uint16_t v) {
    if (le_) {
      U8(v & 0xFF);
      U8(v >> 8);
    } else {
      U8(v >> 8);
      U8(v & 0xFF);
    }
  }
  void U32(uint32_t v) {
    if (le_) {
      U16(v & 0xFFFF);
      U16(v >> 16);
    } else {
      U16(v >> 16);
      U16(v & 0xFFFF);
    }
  }
  void Bytes(const void* p, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    out_->insert(out_->end(), b, b + n);
  }
  void Uuid(const qz::rpc::Uuid& u) {
    U32(u.data1);
    U16(u.data2);
    U16(u.data3);
    Bytes(u.data4, 8);
  }
  void Syntax(const SyntaxId& s) {
    Uuid(s.uuid);
    U16(s.major);
    U16(s.minor);
  }
  void PadTo(size_t align) {
    while (out_->size() % align) U8(0);
  }

 private:
  std::vector<uint8_t>* out_;
  bool le_;
};

// Reads fields in the byte order of a drep; every read is bounds checked.
class Reader {
 public:
  Reader(std::span<const uint8_t> d, bool le) : d_(d), le_(le) {}
  bool U8(uint8_t* v) {
    if (d_.size() - pos_ < 1) return false;
    *v = d_[pos_++];
    return true;
  }
  bool U16(uint16_t* v) {
    if (d_.size() - pos_ < 2) return false;
    uint16_t a = d_[pos_], b = d_[pos_ + 1];
    *v = le_ ? static_cast<uint16_t>(a | (b << 8)) : static_cast<uint16_t>((a << 8) | b);
    pos_ += 2;
    return true;
  }
  bool U32(uint32_t* v) {
    uint16_t a, b;
    if (d_.size() - pos_ < 4 || !U16(&a) || !U16(&b)) return false;
    *v = le_ ? (a | (uint32_t{b} << 16)) : ((uint32_t{a} << 16) | b);
    return true;
  }
  bool Bytes(void* p, size_t n) {
    if (d_.size() - pos_ < n) return false;
    std::memcpy(p, d_.data() + pos_, n);
    pos_ += n;
    return true;
  }
  bool Skip(size_t n) {
    if (d_.size() - pos_ < n) return false;
    pos_ += n;
    return true;
  }
  bool Uuid(qz::rpc::Uuid* u) {
    return U32(&u->data1) && U16(&u->data2) && U16(&u->data3) && Bytes(u->data4, 8);
  }
  bool Syntax(SyntaxId* s) { return Uuid(&s->uuid) && U16(&s->major) && U16(&s->minor); }
  bool SeekTo(size_t off) {
    if (off > d_.size()) return false;
    pos_ = off;
    return true;
  }
  size_t pos() const { return pos_; }
  size_t remaining() const { return d_.size() - pos_; }

 private:
  std::span<const uint8_t> d_;
  bool le_;
  size_t pos_ = 0;
};

void WriteHeader(Writer& w, const PduHeader& h) {
  w.U8(h.vers);
  w.U8(h.vers_minor);
  w.U8(h.type);
  w.U8(h.flags);
  w.Bytes(h.drep.b, 4);
  w.U16(0);  // frag_length, patched by Finish
  w.U16(h.auth_length);
  w.U32(h.call_id);
}

std::vector<uint8_t> Finish(std::vector<uint8_t> v, const PduHeader& h) {
  uint16_t len = static_cast<uint16_t>(v.size());
  if (h.drep.little_endian()) {
    v[8] = len & 0xFF;
    v[9] = len >> 8;
  } else {
    v[8] = len >> 8;
    v[9] = len & 0xFF;
  }
  return v;
}

uint8_t AllowedFlags(uint8_t type) {
  constexpr uint8_t kBase = pfc::kFirstFrag | pfc::kLastFrag | pfc::kPendingCancel | pfc::kReserved;
  switch (type) {
    case ptype::kRequest:
      return kBase | pfc::kMaybe | pfc::kObjectUuid;
    case ptype::kResponse:
      return kBase;
    case ptype::kFault:
      return kBase | pfc::kDidNotExecute;
    case ptype::kBind:
    case ptype::kBindAck:
    case ptype::kAlterContext:
    case ptype::kAlterContextResp:
      return kBase | pfc::kConcMpx;
    case ptype::kBindNak:
    case ptype::kShutdown:
    case ptype::kCoCancel:
    case ptype::kOrphaned:
      return kBase;
    default:
      return 0;
  }
}

bool KnownType(uint8_t t) {
  switch (t) {
    case ptype::kRequest:
    case ptype::kResponse:
    case ptype::kFault:
    case ptype::kBind:
    case ptype::kBindAck:
    case ptype::kBindNak:
    case ptype::kAlterContext:
    case ptype::kAlterContextResp:
    case ptype::kShutdown:
    case ptype::kCoCancel:
    case ptype::kOrphaned:
      return true;
    default:
      return false;  // connectionless types, auth3 (no security here), rts
  }
}

// PDUs that are never fragmented must carry both FIRST and LAST.
bool MustBeWhole(uint8_t t) {
  return t == ptype::kBind || t == ptype::kBindAck || t == ptype::kBindNak ||
         t == ptype::kAlterContext || t == ptype::kAlterContextResp || t == ptype::kFault;
}

bool DecodeCommon(std::span<const uint8_t> pdu, uint8_t want_type, PduHeader* h, Reader* r) {
  if (DecodeHeader(pdu, 0xFFFF, h) != HeaderError::kOk) return false;
  if (h->type != want_type || h->frag_length != pdu.size()) return false;
  *r = Reader(pdu, h->drep.little_endian());
  return r->SeekTo(kHeaderSize);
}

}  // namespace

HeaderError DecodeHeader(std::span<const uint8_t> b, size_t max_frag, PduHeader* out) {
  if (b.size() < kHeaderSize) return HeaderError::kFragLength;
  out->vers = b[0];
  out->vers_minor = b[1];
  out->type = b[2];
  out->flags = b[3];
  std::memcpy(out->drep.b, &b[4], 4);
  bool le = out->drep.little_endian();
  auto u16 = [&](size_t o) {
    return le ? static_cast<uint16_t>(b[o] | (b[o + 1] << 8))
              : static_cast<uint16_t>((b[o] << 8) | b[o + 1]);
  };
  out->frag_length = u16(8);
  out->auth_length = u16(10);
  out->call_id = le ? (u16(12) | (uint32_t{u16(14)} << 16)) : ((uint32_t{u16(12)} << 16) | u16(14));
  if (out->vers != 5 || out->vers_minor > 1) return HeaderError::kVersion;
  if (!out->drep.supported() || out->drep.b[2] != 0 || out->drep.b[3] != 0)
    return HeaderError::kDrep;
  if (out->frag_length < kHeaderSize || out->frag_length > max_frag) return HeaderError::kFragLength;
  if (out->auth_length != 0) return HeaderError::kAuth;
  if (!KnownType(out->type)) return HeaderError::kType;
  if (out->flags & ~AllowedFlags(out->type)) return HeaderError::kFlags;
  if (MustBeWhole(out->type) &&
      (out->flags & (pfc::kFirstFrag | pfc::kLastFrag)) != (pfc::kFirstFrag | pfc::kLastFrag))
    return HeaderError::kFlags;
  return HeaderError::kOk;
}

std::vector<uint8_t> EncodeBind(const BindPdu& p) {
  std::vector<uint8_t> v;
  Writer w(&v, p.hdr.drep.little_endian());
  WriteHeader(w, p.hdr);
  w.U16(p.max_xmit_frag);
  w.U16(p.max_recv_frag);
  w.U32(p.assoc_group_id);
  w.U8(static_cast<uint8_t>(p.contexts.size()));
  w.U8(0);
  w.U16(0);
  for (const ContextElem& c : p.contexts) {
    w.U16(c.context_id);
    w.U8(static_cast<uint8_t>(c.transfer_syntaxes.size()));
    w.U8(0);
    w.Syntax(c.abstract_syntax);
    for (const SyntaxId& t : c.transfer_syntaxes) w.Syntax(t);
  }
  return Finish(std::move(v), p.hdr);
}

bool DecodeBind(std::span<const uint8_t> pdu, BindPdu* out) {
  Reader r({}, true);
  if (pdu.size() < kHeaderSize) return false;
  uint8_t type = pdu[2];
  if (type != ptype::kBind && type != ptype::kAlterContext) return false;
  if (!DecodeCommon(pdu, type, &out->hdr, &r)) return false;
  uint8_t n, r8;
  uint16_t r16;
  if (!r.U16(&out->max_xmit_frag) || !r.U16(&out->max_recv_frag) || !r.U32(&out->assoc_group_id) ||
      !r.U8(&n) || !r.U8(&r8) || !r.U16(&r16))
    return false;
  out->contexts.clear();
  for (unsigned i = 0; i < n; ++i) {
    ContextElem c;
    uint8_t nt;
    if (!r.U16(&c.context_id) || !r.U8(&nt) || !r.U8(&r8) || !r.Syntax(&c.abstract_syntax))
      return false;
    if (nt == 0 || r.remaining() < size_t{nt} * 20) return false;
    for (unsigned j = 0; j < nt; ++j) {
      SyntaxId s;
      if (!r.Syntax(&s)) return false;
      c.transfer_syntaxes.push_back(s);
    }
    out->contexts.push_back(std::move(c));
  }
  return true;
}

std::vector<uint8_t> EncodeBindAck(const BindAckPdu& p) {
  std::vector<uint8_t> v;
  Writer w(&v, p.hdr.drep.little_endian());
  WriteHeader(w, p.hdr);
  w.U16(p.max_xmit_frag);
  w.U16(p.max_recv_frag);
  w.U32(p.assoc_group_id);
  if (p.sec_addr.empty()) {
    w.U16(0);
  } else {
    w.U16(static_cast<uint16_t>(p.sec_addr.size() + 1));
    w.Bytes(p.sec_addr.data(), p.sec_addr.size());
    w.U8(0);
  }
  w.PadTo(4);
  w.U8(static_cast<uint8_t>(p.results.size()));
  w.U8(0);
  w.U16(0);
  for (const ContextResult& c : p.results) {
    w.U16(c.result);
    w.U16(c.reason);
    w.Syntax(c.transfer_syntax);
  }
  return Finish(std::move(v), p.hdr);
}

bool DecodeBindAck(std::span<const uint8_t> pdu, BindAckPdu* out) {
  Reader r({}, true);
  if (pdu.size() < kHeaderSize) return false;
  uint8_t type = pdu[2];
  if (type != ptype::kBindAck && type != ptype::kAlterContextResp) return false;
  if (!DecodeCommon(pdu, type, &out->hdr, &r)) return false;
  uint16_t n_addr, r16;
  uint8_t n, r8;
  if (!r.U16(&out->max_xmit_frag) || !r.U16(&out->max_recv_frag) || !r.U32(&out->assoc_group_id) ||
      !r.U16(&n_addr))
    return false;
  if (r.remaining() < n_addr) return false;
  out->sec_addr.assign(n_addr, '\0');
  if (!r.Bytes(out->sec_addr.data(), n_addr)) return false;
  if (auto z = out->sec_addr.find('\0'); z != std::string::npos) out->sec_addr.resize(z);
  if (!r.SeekTo((r.pos() + 3) & ~size_t{3})) return false;
  if (!r.U8(&n) || !r.U8(&r8) || !r.U16(&r16)) return false;
  if (r.remaining() < size_t{n} * 24) return false;
  out->results.clear();
  for (unsigned i = 0; i < n; ++i) {
    ContextResult c;
    if (!r.U16(&c.result) || !r.U16(&c.reason) || !r.Syntax(&c.transfer_syntax)) return false;
    out->results.push_back(c);
  }
  return true;
}

std::vector<uint8_t> EncodeBindNak(const BindNakPdu& p) {
  std::vector<uint8_t> v;
  Writer w(&v, p.hdr.drep.little_endian());
  WriteHeader(w, p.hdr);
  w.U16(p.reason);
  w.U8(static_cast<uint8_t>(p.versions.size()));
  for (auto [major, minor] : p.versions) {
    w.U8(major);
    w.U8(minor);
  }
  w.PadTo(4);
  return Finish(std::move(v), p.hdr);
}

bool DecodeBindNak(std::span<const uint8_t> pdu, BindNakPdu* out) {
  Reader r({}, true);
  if (!DecodeCommon(pdu, ptype::kBindNak, &out->hdr, &r)) return false;
  if (!r.U16(&out->reason)) return false;
  out->versions.clear();
  uint8_t n;
  if (!r.U8(&n)) return true;  // some peers send only the reason
  for (unsigned i = 0; i < n; ++i) {
    uint8_t a, b;
    if (!r.U8(&a) || !r.U8(&b)) return false;
    out->versions.emplace_back(a, b);
  }
  return true;  // an optional extended-error tail is ignored
}

std::vector<uint8_t> EncodeRequest(const RequestPdu& p) {
  std::vector<uint8_t> v;
  v.reserve(kRequestHeaderSize + 16 + p.stub.size());
  PduHeader h = p.hdr;
  if (p.object)
    h.flags |= pfc::kObjectUuid;
  else
    h.flags &= static_cast<uint8_t>(~pfc::kObjectUuid);
  Writer w(&v, h.drep.little_endian());
  WriteHeader(w, h);
  w.U32(p.alloc_hint);
  w.U16(p.context_id);
  w.U16(p.opnum);
  if (p.object) w.Uuid(*p.object);
  w.Bytes(p.stub.data(), p.stub.size());
  return Finish(std::move(v), h);
}

bool DecodeRequest(std::span<const uint8_t> pdu, RequestPdu* out) {
  Reader r({}, true);
  if (!DecodeCommon(pdu, ptype::kRequest, &out->hdr, &r)) return false;
  if (!r.U32(&out->alloc_hint) || !r.U16(&out->context_id) || !r.U16(&out->opnum)) return false;
  out->object.reset();
  if (out->hdr.flags & pfc::kObjectUuid) {
    Uuid u;
    if (!r.Uuid(&u)) return false;
    out->object = u;
  }
  out->stub = pdu.subspan(r.pos());
  return true;
}

std::array<uint8_t, kResponseHeaderSize> EncodeResponseHeader(const ResponsePdu& p) {
  std::vector<uint8_t> v;
  v.reserve(kResponseHeaderSize);
  Writer w(&v, p.hdr.drep.little_endian());
  WriteHeader(w, p.hdr);
  w.U32(p.alloc_hint);
  w.U16(p.context_id);
  w.U8(p.cancel_count);
  w.U8(0);
  v.resize(kResponseHeaderSize + p.stub.size());  // frag_length counts the stub
  v = Finish(std::move(v), p.hdr);
  std::array<uint8_t, kResponseHeaderSize> head;
  std::copy_n(v.begin(), kResponseHeaderSize, head.begin());
  return head;
}

std::vector<uint8_t> EncodeResponse(const ResponsePdu& p) {
  const std::array<uint8_t, kResponseHeaderSize> head = EncodeResponseHeader(p);
  std::vector<uint8_t> v;
  v.reserve(kResponseHeaderSize + p.stub.size());
  v.insert(v.end(), head.begin(), head.end());
  v.insert(v.end(), p.stub.begin(), p.stub.end());
  return v;
}

namespace {

bool ResponseFields(Reader* r, ResponsePdu* out) {
  uint8_t r8;
  return r->U32(&out->alloc_hint) && r->U16(&out->context_id) && r->U8(&out->cancel_count) &&
         r->U8(&r8);
}

}  // namespace

bool DecodeResponse(std::span<const uint8_t> pdu, ResponsePdu* out) {
  Reader r({}, true);
  if (!DecodeCommon(pdu, ptype::kResponse, &out->hdr, &r) || !ResponseFields(&r, out)) return false;
  out->stub = pdu.subspan(r.pos());
  return true;
}

bool DecodeResponseHead(std::span<const uint8_t> head, ResponsePdu* out) {
  if (head.size() != kResponseHeaderSize ||
      DecodeHeader(head, 0xFFFF, &out->hdr) != HeaderError::kOk ||
      out->hdr.type != ptype::kResponse || out->hdr.frag_length < kResponseHeaderSize)
    return false;
  Reader r(head, out->hdr.drep.little_endian());
  if (!r.SeekTo(kHeaderSize) || !ResponseFields(&r, out)) return false;
  out->stub = {};
  return true;
}

std::vector<uint8_t> EncodeFault(const FaultPdu& p) {
  std::vector<uint8_t> v;
  Writer w(&v, p.hdr.drep.little_endian());
  WriteHeader(w, p.hdr);
  w.U32(p.alloc_hint);
  w.U16(p.context_id);
  w.U8(p.cancel_count);
  w.U8(p.fault_flags);
  w.U32(p.status);
  w.U32(0);
  return Finish(std::move(v), p.hdr);
}

bool DecodeFault(std::span<const uint8_t> pdu, FaultPdu* out) {
  Reader r({}, true);
  if (!DecodeCommon(pdu, ptype::kFault, &out->hdr, &r)) return false;
  // The reserved word after the status is optional for us: some peers
  // send 28-byte faults. Anything after it (extended error info) is ignored.
  return r.U32(&out->alloc_hint) && r.U16(&out->context_id) && r.U8(&out->cancel_count) &&
         r.U8(&out->fault_flags) && r.U32(&out->status);
}

std::vector<uint8_t> EncodeHeaderOnly(const PduHeader& h) {
  std::vector<uint8_t> v;
  Writer w(&v, h.drep.little_endian());
  WriteHeader(w, h);
  return Finish(std::move(v), h);
}

size_t FragmentStubCapacity(size_t frag, size_t header) {
  if (frag <= header + 8) return 8;
  return (frag - header) & ~size_t{7};
}

namespace {

RecvStatus FromIo(IoResult io) {
  return io == IoResult::kClosed    ? RecvStatus::kClosed
         : io == IoResult::kTimeout ? RecvStatus::kTimeout
                                    : RecvStatus::kIoError;
}

}  // namespace

namespace {

// ReceivePdu's work; with leave_stub a response's stub stays unread.
RecvStatus Receive(Transport& t, size_t max_frag, int timeout_ms, std::vector<uint8_t>* pdu,
                   PduHeader* hdr, HeaderError* header_error, int body_timeout_ms,
                   bool leave_stub) {
  if (body_timeout_ms == kSameTimeout) body_timeout_ms = timeout_ms;
  uint8_t head[kHeaderSize];
  IoResult io = t.ReadExact(head, 1, timeout_ms);
  if (io == IoResult::kOk) io = t.ReadExact(head + 1, kHeaderSize - 1, body_timeout_ms);
  if (io != IoResult::kOk) return FromIo(io);
  HeaderError e = DecodeHeader(head, max_frag, hdr);
  if (header_error) *header_error = e;
  if (e != HeaderError::kOk) return RecvStatus::kBadHeader;
  size_t length = hdr->frag_length;  // bounded by max_frag above
  if (leave_stub && hdr->type == ptype::kResponse && length >= kResponseHeaderSize)
    length = kResponseHeaderSize;
  pdu->assign(head, head + kHeaderSize);
  pdu->resize(length);
  if (length > kHeaderSize) {
    io = t.ReadExact(pdu->data() + kHeaderSize, length - kHeaderSize, body_timeout_ms);
    if (io != IoResult::kOk) return FromIo(io);
  }
  return RecvStatus::kOk;
}

}  // namespace

RecvStatus ReceivePdu(Transport& t, size_t max_frag, int timeout_ms, std::vector<uint8_t>* pdu,
                      PduHeader* hdr, HeaderError* header_error, int body_timeout_ms) {
  return Receive(t, max_frag, timeout_ms, pdu, hdr, header_error, body_timeout_ms, false);
}

RecvStatus ReceivePduLeavingStub(Transport& t, size_t max_frag, int timeout_ms,
                                 std::vector<uint8_t>* pdu, PduHeader* hdr) {
  return Receive(t, max_frag, timeout_ms, pdu, hdr, nullptr, kSameTimeout, true);
}

}  // namespace qz::rpc
