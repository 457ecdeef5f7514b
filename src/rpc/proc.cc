// proc.cc -- the table-driven NDR procedure engine.
//
// Client: MarshalRequest checks every reference first, then encodes the in
// and in/out parameters in order. UnmarshalResponse decodes the whole reply
// into views of the received stub before it touches the caller's memory or
// allocates anything; only a reply that decoded completely and is
// consistent is then copied out. Reply arrays are allocated through the
// caller's memory routines, each sized by a count already checked against
// the bytes received.
//
// Server: UnmarshalRequest decodes into ServerArgs, checking every count
// against the data present and against the parameter that sizes it;
// MarshalResponse encodes the outs and the result.
//
// Thread-safety: no state; every function is reentrant.
#include "rpc/proc.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>

#include "platform/probe.h"
#include "rpc/client.h"
#include "rpc/ndr.h"

namespace qz::rpc {

// The caller's memory layouts (SESSIONKEY, the blocks of 32-bit IDs, the
// GUID) are little-endian, like the wire form we send.
static_assert(std::endian::native == std::endian::little,
              "the engine copies little-endian memory layouts to the wire as they are");

namespace {

constexpr size_t kKeyIdBytes = 20;     // szUserID of SESSIONKEY
constexpr size_t kKeyBytes = 24;
constexpr size_t kGuidBytes = 16;
constexpr uint64_t kConnItemBytes = 168;
constexpr uint32_t kSecondReferentId = 0x00020004;

enum Direction : uint8_t { kIn = 1, kOut = 2, kInOut = 3 };

Direction DirectionOf(Shape s) {
  switch (s) {
    case Shape::kKeyOut:
    case Shape::kReplyOut:
    case Shape::kCountOut:
      return kOut;
    case Shape::kIoBlock:
    case Shape::kIoBlockRef:
    case Shape::kReply:
    case Shape::kCount:
    case Shape::kPrintToTiff:
      return kInOut;
    default:
      return kIn;
  }
}

// How a sized shape finds its element count.
enum class Sizing { kNone, kByValue, kByPointee };

Sizing SizingOf(Shape s) {
  switch (s) {
    case Shape::kBlock:
    case Shape::kIoBlock:
    case Shape::kIds:
    case Shape::kCvArray:
    case Shape::kSizedText:
      return Sizing::kByValue;
    case Shape::kIoBlockRef:
    case Shape::kReply:
    case Shape::kReplyOut:
      return Sizing::kByPointee;
    default:
      return Sizing::kNone;
  }
}

Shape ShapeAt(const ProcDesc& proc, int pos) { return proc.params[pos - 1].shape; }
int SizeParamAt(const ProcDesc& proc, int pos) { return proc.params[pos - 1].size_param; }

int32_t LoadI32(const void* p) {
  int32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void StoreI32(void* p, int32_t v) { std::memcpy(p, &v, sizeof v); }

void AppendLe32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void AppendLe16(std::vector<uint8_t>* out, uint16_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}

// ---- fixed text fields of CONNSENDINFO and PRINTTOTIFFINFO ----

// Sends the text of a text[n] field: offset 0, actual count, the characters
// and the NUL. A field without a NUL in its n bytes is cut to n - 1
// characters, so the receiver always gets a terminated text that fits.
void PushFixedText(NdrPush* w, const char* field, size_t n) {
  size_t len = ::strnlen(field, n - 1);
  w->U32(0);
  w->U32(static_cast<uint32_t>(len + 1));
  w->Bytes(field, len);
  w->U8(0);
}

// Receives a text[n] field into the zero-filled field.
bool PullFixedText(NdrPull* r, char* field, size_t n) {
  std::string s;
  if (!r->VaryingString(&s, static_cast<uint32_t>(n))) return false;
  std::memset(field, 0, n);
  std::memcpy(field, s.data(), std::min(s.size(), n - 1));
  return true;
}

void PushConnSendInfo(NdrPush* w, const ConnSendInfo& c) {
  w->Align(8);
  w->I32(c.value1);
  w->I32(c.value2);
  w->I32(c.value3);
  PushFixedText(w, c.text1, sizeof c.text1);
  w->I32(c.item_count);
  w->U32(c.items != nullptr ? kUniqueReferentId : 0);
  PushFixedText(w, c.text2, sizeof c.text2);
  w->I32(c.value4);
  w->I32(c.value5);
  w->I32(c.value6);
  w->I32(c.value7);
  PushFixedText(w, c.text3, sizeof c.text3);
  w->I32(c.value8);
  w->F64(c.real1);
  w->F64(c.real2);
  PushFixedText(w, c.text4, sizeof c.text4);
  PushFixedText(w, c.text5, sizeof c.text5);
  PushFixedText(w, c.text6, sizeof c.text6);
  w->I32(c.value9);
  w->I32(c.data_length);
  w->U32(c.data != nullptr ? kSecondReferentId : 0);
  // Deferred referents, in field order. The counts were checked by the caller.
  if (c.items != nullptr) {
    uint32_t n = static_cast<uint32_t>(kConnItemBytes * static_cast<uint64_t>(c.item_count));
    w->U32(n);
    w->Bytes(c.items, n);
  }
  if (c.data != nullptr) {
    w->U32(static_cast<uint32_t>(c.data_length));
    w->Bytes(c.data, static_cast<size_t>(c.data_length));
  }
}

bool PullConnSendInfo(NdrPull* r, ServerValue* v) {
  ConnSendInfo& c = v->conn;
  c = ConnSendInfo{};
  uint32_t items_ref = 0, data_ref = 0;
  if (!(r->Align(8) && r->I32(&c.value1) && r->I32(&c.value2) && r->I32(&c.value3) &&
        PullFixedText(r, c.text1, sizeof c.text1) && r->I32(&c.item_count) &&
        r->U32(&items_ref) && PullFixedText(r, c.text2, sizeof c.text2) &&
        r->I32(&c.value4) && r->I32(&c.value5) && r->I32(&c.value6) && r->I32(&c.value7) &&
        PullFixedText(r, c.text3, sizeof c.text3) && r->I32(&c.value8) && r->F64(&c.real1) &&
        r->F64(&c.real2) && PullFixedText(r, c.text4, sizeof c.text4) &&
        PullFixedText(r, c.text5, sizeof c.text5) && PullFixedText(r, c.text6, sizeof c.text6) &&
        r->I32(&c.value9) && r->I32(&c.data_length) && r->U32(&data_ref))) {
    return false;
  }
  std::span<const uint8_t> view;
  v->conn_items.clear();
  v->conn_data.clear();
  if (items_ref != 0) {
    uint32_t n = 0;
    if (c.item_count < 0 || !r->U32(&n) ||
        n != kConnItemBytes * static_cast<uint64_t>(c.item_count) || !r->View(n, &view)) {
      return false;
    }
    v->conn_items.assign(view.begin(), view.end());
    c.items = v->conn_items.data();
  }
  if (data_ref != 0) {
    uint32_t n = 0;
    if (c.data_length < 0 || !r->U32(&n) || n != static_cast<uint32_t>(c.data_length) ||
        !r->View(n, &view)) {
      return false;
    }
    v->conn_data.assign(view.begin(), view.end());
    c.data = v->conn_data.data();
  }
  return true;
}

void PushPrintToTiff(NdrPush* w, const PrintToTiffInfo& t) {
  w->Align(4);
  PushFixedText(w, t.text1, sizeof t.text1);
  PushFixedText(w, t.text2, sizeof t.text2);
  w->I32(t.value1);
  w->I32(t.value2);
}

bool PullPrintToTiff(NdrPull* r, PrintToTiffInfo* t) {
  *t = PrintToTiffInfo{};
  return r->Align(4) && PullFixedText(r, t->text1, sizeof t->text1) &&
         PullFixedText(r, t->text2, sizeof t->text2) && r->I32(&t->value1) &&
         r->I32(&t->value2);
}

// A conformant varying string with its maximum count (the sized string).
bool PullSizedString(NdrPull* r, std::string* s, uint32_t* max) {
  uint32_t offset = 0, actual = 0;
  std::span<const uint8_t> chars;
  if (!(r->U32(max) && r->U32(&offset) && r->U32(&actual) && offset == 0 && actual >= 1 &&
        actual <= *max && r->View(actual, &chars) && chars.back() == 0)) {
    return false;
  }
  const char* p = reinterpret_cast<const char*>(chars.data());
  s->assign(p, ::strnlen(p, chars.size()));
  return true;
}

// ---- client ----

// The element count a sized parameter takes from the call's arguments.
int64_t ClientCount(const ProcDesc& proc, const ArgSlot* args, int pos) {
  int k = SizeParamAt(proc, pos);
  if (SizingOf(ShapeAt(proc, pos)) == Sizing::kByValue) return args[k].value;
  return LoadI32(args[k].ptr);
}

// Caller memory is probed through the kernel before the engine touches it,
// so a bad pointer becomes an access violation (0xC0000005) instead of a
// crash. A probe is a snapshot; memory another thread unmaps afterwards is
// outside what can be guarded.
void NeedReadable(const void* p, uint64_t n) {
  if (n > SIZE_MAX || !platform::ProbeRead(p, static_cast<size_t>(n), nullptr))
    RaiseAccessViolation();
}
void NeedWritable(void* p, uint64_t n) {
  if (n > SIZE_MAX || !platform::ProbeWrite(p, static_cast<size_t>(n), nullptr))
    RaiseAccessViolation();
}
// Length of a caller's string, probed (at most what NDR can carry).
size_t CallerStrLen(const char* s) {
  constexpr size_t kMax = UINT32_MAX - 1;
  size_t len = 0;
  if (!platform::SafeStrLen(s, kMax, &len)) RaiseAccessViolation();
  if (len >= kMax) RaiseRpcException(status::kInvalidBound);
  return len;
}

// The parts of every parameter whose size does not depend on another one:
// keys, counts, characters, GUIDs, reply pointers, structures, strings.
void ProbeFixedParts(const ProcDesc& proc, const ArgSlot* args) {
  for (int pos = 1; pos <= proc.param_count; ++pos) {
    void* p = args[pos].ptr;
    const Shape s = ShapeAt(proc, pos);
    const bool out = (DirectionOf(s) & kOut) != 0;
    uint64_t n = 0;
    switch (s) {
      case Shape::kKey:
      case Shape::kKeyOut: n = kKeyBytes; break;
      case Shape::kCount:
      case Shape::kCountOut: n = sizeof(int32_t); break;
      case Shape::kChar: n = 1; break;
      case Shape::kGuid: n = kGuidBytes; break;
      case Shape::kReply:
      case Shape::kReplyOut: n = sizeof(uint8_t*); break;
      case Shape::kConnSendInfo: n = sizeof(ConnSendInfo); break;
      case Shape::kPrintToTiff: n = sizeof(PrintToTiffInfo); break;
      case Shape::kText:
      case Shape::kSizedText: CallerStrLen(static_cast<const char*>(p)); break;
      default: break;
    }
    if (n == 0) continue;
    if (out) NeedWritable(p, n);
    else NeedReadable(p, n);
  }
}

// The arrays, once their counts are known to be readable and sane.
void ProbeSizedParts(const ProcDesc& proc, const ArgSlot* args) {
  for (int pos = 1; pos <= proc.param_count; ++pos) {
    void* p = args[pos].ptr;
    const Shape s = ShapeAt(proc, pos);
    switch (s) {
      case Shape::kBlock:
      case Shape::kIds:
      case Shape::kCvArray:
        NeedReadable(p, static_cast<uint64_t>(ClientCount(proc, args, pos)));
        break;
      case Shape::kIoBlock:
      case Shape::kIoBlockRef:
        NeedWritable(p, static_cast<uint64_t>(ClientCount(proc, args, pos)));
        break;
      case Shape::kReply:
      case Shape::kReplyOut: {
        uint8_t* inner = *static_cast<uint8_t* const*>(p);
        if (inner == nullptr) break;
        // Sent from (kReply) and received into (up to *count) in place.
        const int k = SizeParamAt(proc, pos);
        const int64_t cap = ShapeAt(proc, k) == Shape::kCount ? LoadI32(args[k].ptr) : 0;
        if (s == Shape::kReply) NeedReadable(inner, static_cast<uint64_t>(ClientCount(proc, args, pos)));
        if (cap > 0) NeedWritable(inner, static_cast<uint64_t>(cap));
        break;
      }
      case Shape::kConnSendInfo: {
        const auto* c = static_cast<const ConnSendInfo*>(p);
        if (c->items != nullptr) NeedReadable(c->items, kConnItemBytes * static_cast<uint64_t>(c->item_count));
        if (c->data != nullptr) NeedReadable(c->data, static_cast<uint64_t>(c->data_length));
        break;
      }
      default:
        break;
    }
  }
}

void CheckClientArgs(const ProcDesc& proc, const ArgSlot* args) {
  if (!ValidateProcDesc(proc)) RaiseRpcException(status::kInvalidParameter);
  // Every reference first, in parameter order, before any count is read.
  for (int pos = 1; pos <= proc.param_count; ++pos) {
    if (ShapeAt(proc, pos) != Shape::kLong && args[pos].ptr == nullptr) {
      RaiseRpcException(status::kNullRefPointer);
    }
  }
  ProbeFixedParts(proc, args);
  for (int pos = 1; pos <= proc.param_count; ++pos) {
    Shape s = ShapeAt(proc, pos);
    if (SizingOf(s) != Sizing::kNone && s != Shape::kReplyOut) {
      int64_t n = ClientCount(proc, args, pos);
      if (n < 0) RaiseRpcException(status::kInvalidBound);
      if (s == Shape::kSizedText &&
          ::strlen(static_cast<const char*>(args[pos].ptr)) + 1 > static_cast<uint64_t>(n)) {
        RaiseRpcException(status::kInvalidBound);
      }
    }
    if (s == Shape::kConnSendInfo) {
      const auto* c = static_cast<const ConnSendInfo*>(args[pos].ptr);
      if (c->items != nullptr &&
          (c->item_count < 0 ||
           kConnItemBytes * static_cast<uint64_t>(c->item_count) > UINT32_MAX)) {
        RaiseRpcException(status::kInvalidBound);
      }
      if (c->data != nullptr && c->data_length < 0) RaiseRpcException(status::kInvalidBound);
    }
  }
  ProbeSizedParts(proc, args);
}

void EncodeRequest(const ProcDesc& proc, const ArgSlot* args, NdrPush* w) {
  for (int pos = 1; pos <= proc.param_count; ++pos) {
    const ArgSlot& a = args[pos];
    const auto* p = static_cast<const uint8_t*>(a.ptr);
    switch (ShapeAt(proc, pos)) {
      case Shape::kKey:
        w->Align(4);
        w->Bytes(p, kKeyIdBytes);
        w->I32(LoadI32(p + kKeyIdBytes));
        break;
      case Shape::kText:
        w->String(static_cast<const char*>(a.ptr));
        break;
      case Shape::kLong:
        w->I32(a.value);
        break;
      case Shape::kBlock:
      case Shape::kIoBlock:
      case Shape::kIoBlockRef: {
        uint32_t n = static_cast<uint32_t>(ClientCount(proc, args, pos));
        w->U32(n);
        w->Bytes(p, n);
        break;
      }
      case Shape::kIds: {
        // n elements of 4 bytes; the caller's list is the first n bytes.
        uint32_t n = static_cast<uint32_t>(ClientCount(proc, args, pos));
        w->U32(n);
        w->Bytes(p, n);
        w->Zeros(static_cast<size_t>(n) * 3);
        break;
      }
      case Shape::kReply: {
        const uint8_t* inner = *static_cast<uint8_t* const*>(a.ptr);
        w->U32(inner != nullptr ? kUniqueReferentId : 0);
        if (inner != nullptr) {
          uint32_t n = static_cast<uint32_t>(ClientCount(proc, args, pos));
          w->U32(n);
          w->Bytes(inner, n);
        }
        break;
      }
      case Shape::kCount:
        w->I32(LoadI32(p));
        break;
      case Shape::kChar:
        w->U8(*p);
        break;
      case Shape::kConnSendInfo:
        PushConnSendInfo(w, *static_cast<const ConnSendInfo*>(a.ptr));
        break;
      case Shape::kPrintToTiff:
        PushPrintToTiff(w, *static_cast<const PrintToTiffInfo*>(a.ptr));
        break;
      case Shape::kGuid:
        w->Align(4);
        w->Bytes(p, kGuidBytes);
        break;
      case Shape::kCvArray: {
        uint32_t n = static_cast<uint32_t>(ClientCount(proc, args, pos));
        w->U32(n);
        w->U32(0);
        w->U32(n);
        w->Bytes(p, n);
        break;
      }
      case Shape::kSizedText: {
        const char* s = static_cast<const char*>(a.ptr);
        uint32_t actual = static_cast<uint32_t>(::strlen(s) + 1);
        w->U32(static_cast<uint32_t>(ClientCount(proc, args, pos)));
        w->U32(0);
        w->U32(actual);
        w->Bytes(s, actual);
        break;
      }
      case Shape::kKeyOut:
      case Shape::kReplyOut:
      case Shape::kCountOut:
        break;  // out only: nothing travels in the request
    }
  }
}

// One decoded out parameter of a reply, still pointing into the stub.
struct PendingOut {
  std::span<const uint8_t> bytes;  // arrays; szUserID of a key
  int32_t number = 0;              // counts; dwSessionNo of a key
  bool present = false;            // reply: non-null referent
  PrintToTiffInfo tiff{};
};

bool DecodeResponse(const ProcDesc& proc, NdrPull* r, const ArgSlot* args,
                    std::array<PendingOut, kMaxParams + 1>* outs, int32_t* result) {
  for (int pos = 1; pos <= proc.param_count; ++pos) {
    Shape s = ShapeAt(proc, pos);
    if ((DirectionOf(s) & kOut) == 0) continue;
    PendingOut& o = (*outs)[pos];
    switch (s) {
      case Shape::kKeyOut:
        if (!(r->Align(4) && r->View(kKeyIdBytes, &o.bytes) && r->I32(&o.number))) return false;
        break;
      case Shape::kIoBlock: {
        // The reply must carry exactly the count that was sent: that is the
        // size of the caller's buffer.
        uint32_t n = 0;
        if (!r->U32(&n) || static_cast<int64_t>(n) != ClientCount(proc, args, pos) ||
            !r->View(n, &o.bytes)) {
          return false;
        }
        break;
      }
      case Shape::kIoBlockRef: {
        // At most what the count said on the way in (the caller's buffer);
        // the count parameter has not been overwritten yet.
        uint32_t n = 0;
        if (!r->U32(&n) || static_cast<int64_t>(n) > ClientCount(proc, args, pos) ||
            !r->View(n, &o.bytes)) {
          return false;
        }
        break;
      }
      case Shape::kReply:
      case Shape::kReplyOut: {
        uint32_t referent = 0;
        if (!r->U32(&referent)) return false;
        o.present = referent != 0;
        if (!o.present) break;
        uint32_t n = 0;
        if (!r->U32(&n) || !r->View(n, &o.bytes)) return false;
        // A caller's non-null pointer receives the reply in place: never
        // more than the count it passed in (its buffer).
        if (*static_cast<uint8_t* const*>(args[pos].ptr) != nullptr) {
          int k = SizeParamAt(proc, pos);
          int64_t cap = ShapeAt(proc, k) == Shape::kCount ? LoadI32(args[k].ptr) : 0;
          if (static_cast<int64_t>(n) > cap) return false;
        }
        break;
      }
      case Shape::kCount:
      case Shape::kCountOut:
        if (!r->I32(&o.number)) return false;
        break;
      case Shape::kPrintToTiff:
        if (!PullPrintToTiff(r, &o.tiff)) return false;
        break;
      default:
        break;
    }
  }
  if (!r->I32(result)) return false;
  // The count that comes back with an array must describe that array, or
  // the caller would read past what it got.
  for (int pos = 1; pos <= proc.param_count; ++pos) {
    Shape s = ShapeAt(proc, pos);
    bool counted = s == Shape::kIoBlockRef ||
                   ((s == Shape::kReply || s == Shape::kReplyOut) && (*outs)[pos].present);
    if (!counted) continue;
    const PendingOut& k = (*outs)[SizeParamAt(proc, pos)];
    if (k.number < 0 || static_cast<size_t>(k.number) != (*outs)[pos].bytes.size()) return false;
  }
  return true;
}

}  // namespace

bool ValidateProcDesc(const ProcDesc& proc) {
  if (proc.param_count > kMaxParams) return false;
  for (int pos = 1; pos <= proc.param_count; ++pos) {
    Shape s = ShapeAt(proc, pos);
    if (static_cast<uint8_t>(s) > static_cast<uint8_t>(Shape::kSizedText)) return false;
    Sizing sizing = SizingOf(s);
    if (sizing == Sizing::kNone) continue;
    int k = SizeParamAt(proc, pos);
    if (k < 1 || k > proc.param_count || k == pos) return false;
    Shape ks = ShapeAt(proc, k);
    if (sizing == Sizing::kByValue && ks != Shape::kLong) return false;
    if (sizing == Sizing::kByPointee) {
      bool ok = ks == Shape::kCount || (s == Shape::kReplyOut && ks == Shape::kCountOut);
      if (!ok) return false;
    }
  }
  return true;
}

std::vector<uint8_t> MarshalRequest(const ProcDesc& proc, const ArgSlot* args) {
  CheckClientArgs(proc, args);
  try {
    NdrPush w;
    EncodeRequest(proc, args, &w);
    return w.Take();
  } catch (const std::bad_alloc&) {
    RaiseRpcException(status::kOutOfMemory);
  }
}

namespace {

// Hands the decoded outs to the caller: allocates every reply array the
// run time owes the caller before writing anything (on failure releasing
// what this call allocated), then writes. A reply array that begins
// exactly at `block` (a block from mem.allocate holding the rest of the
// stub) is handed over as it is, once, and *block_taken is set.
void Deliver(const ProcDesc& proc, const std::array<PendingOut, kMaxParams + 1>& outs,
             ArgSlot* args, const MemoryRoutines& mem, const uint8_t* block, bool* block_taken) {
  std::array<uint8_t*, kMaxParams + 1> allocated{};
  int placed = 0;  // the position that received `block`
  for (int pos = 1; pos <= proc.param_count; ++pos) {
    Shape s = ShapeAt(proc, pos);
    if ((s != Shape::kReply && s != Shape::kReplyOut) || !outs[pos].present) continue;
    if (*static_cast<uint8_t**>(args[pos].ptr) != nullptr) continue;
    if (block != nullptr && placed == 0 && outs[pos].bytes.data() == block) {
      placed = pos;
      allocated[pos] = const_cast<uint8_t*>(block);
      continue;
    }
    void* m = mem.allocate != nullptr ? mem.allocate(std::max<size_t>(outs[pos].bytes.size(), 1))
                                      : nullptr;
    if (m == nullptr) {
      for (int q = 1; q <= proc.param_count; ++q) {
        if (q != placed && allocated[q] != nullptr && mem.release != nullptr) mem.release(allocated[q]);
      }
      RaiseRpcException(status::kOutOfMemory);
    }
    allocated[pos] = static_cast<uint8_t*>(m);
  }

  for (int pos = 1; pos <= proc.param_count; ++pos) {
    const PendingOut& o = outs[pos];
    void* p = args[pos].ptr;
    switch (ShapeAt(proc, pos)) {
      case Shape::kKeyOut:
        std::memcpy(p, o.bytes.data(), kKeyIdBytes);
        StoreI32(static_cast<uint8_t*>(p) + kKeyIdBytes, o.number);
        break;
      case Shape::kIoBlock:
      case Shape::kIoBlockRef:
        if (!o.bytes.empty()) std::memcpy(p, o.bytes.data(), o.bytes.size());
        break;
      case Shape::kReply:
      case Shape::kReplyOut: {
        auto** pp = static_cast<uint8_t**>(p);
        if (!o.present) {
          *pp = nullptr;  // the caller's memory, if any, stays the caller's
          break;
        }
        uint8_t* dest = allocated[pos] != nullptr ? allocated[pos] : *pp;
        if (!o.bytes.empty() && dest != o.bytes.data()) std::memcpy(dest, o.bytes.data(), o.bytes.size());
        *pp = dest;
        break;
      }
      case Shape::kCount:
      case Shape::kCountOut:
        StoreI32(p, o.number);
        break;
      case Shape::kPrintToTiff:
        *static_cast<PrintToTiffInfo*>(p) = o.tiff;
        break;
      default:
        break;
    }
  }
  if (block_taken != nullptr) *block_taken = placed != 0;
}

}  // namespace

int32_t UnmarshalResponse(const ProcDesc& proc, std::span<const uint8_t> stub, Drep drep,
                          ArgSlot* args, const MemoryRoutines& mem) {
  CheckClientArgs(proc, args);
  std::array<PendingOut, kMaxParams + 1> outs{};
  int32_t result = 0;
  // Only ASCII and IEEE in either byte order can be read as sent.
  if (!drep.supported()) RaiseRpcException(status::kBadStubData);
  NdrPull r(stub, drep);
  if (!DecodeResponse(proc, &r, args, &outs, &result)) RaiseRpcException(status::kBadStubData);
  Deliver(proc, outs, args, mem, nullptr, nullptr);
  return result;
}

size_t ReplyLead(const ProcDesc& proc, const ArgSlot* args) {
  if (!ValidateProcDesc(proc)) return 0;
  size_t offset = 0;
  auto align4 = [&] { offset = (offset + 3) & ~size_t{3}; };
  for (int pos = 1; pos <= proc.param_count; ++pos) {
    Shape s = ShapeAt(proc, pos);
    if ((DirectionOf(s) & kOut) == 0) continue;
    switch (s) {
      case Shape::kKeyOut:
        align4();
        offset += kKeyBytes;
        break;
      case Shape::kCount:
      case Shape::kCountOut:
        align4();
        offset += 4;
        break;
      case Shape::kIoBlock: {
        const int64_t n = ClientCount(proc, args, pos);  // the reply carries exactly this
        if (n < 0) return 0;
        align4();
        offset += 4 + static_cast<size_t>(n);
        break;
      }
      case Shape::kReply:
      case Shape::kReplyOut:
        // Received in place only when the run time allocates it.
        if (*static_cast<uint8_t* const*>(args[pos].ptr) != nullptr) return 0;
        align4();
        return offset + 8;  // referent id and count
      default:
        return 0;  // sized by the reply itself
    }
  }
  return 0;
}

int32_t UnmarshalResponse(const ProcDesc& proc, PlacedReply* reply, ArgSlot* args) {
  if (reply->body().data() == nullptr && reply->tail().empty())
    return UnmarshalResponse(proc, reply->head(), reply->drep, args, reply->memory());
  CheckClientArgs(proc, args);
  if (!reply->drep.supported()) RaiseRpcException(status::kBadStubData);
  std::array<PendingOut, kMaxParams + 1> outs{};
  int32_t result = 0;
  NdrPull r(reply->head(), reply->body(), reply->tail(), reply->drep);
  if (!DecodeResponse(proc, &r, args, &outs, &result)) {
    // Not laid out as planned (or not decodable at all): decode the
    // joined bytes, which decides.
    std::vector<uint8_t> joined;
    try {
      joined.reserve(reply->size());
    } catch (const std::bad_alloc&) {
      RaiseRpcException(status::kOutOfMemory);
    }
    joined.assign(reply->head().begin(), reply->head().end());
    joined.insert(joined.end(), reply->body().begin(), reply->body().end());
    joined.insert(joined.end(), reply->tail().begin(), reply->tail().end());
    return UnmarshalResponse(proc, joined, reply->drep, args, reply->memory());
  }
  bool taken = false;
  Deliver(proc, outs, args, reply->memory(), reply->body().data(), &taken);
  if (taken) (void)reply->TakeBlock();
  return result;
}

bool UnmarshalRequest(const ProcDesc& proc, std::span<const uint8_t> stub, Drep drep,
                      ServerArgs* out) {
  if (out == nullptr || !ValidateProcDesc(proc) || !drep.supported()) return false;
  try {
    out->values.assign(static_cast<size_t>(proc.param_count) + 1, ServerValue{});
    // Element counts as they came on the wire, checked against the sizing
    // parameters once all parameters are in (K may follow the array).
    std::array<uint32_t, kMaxParams + 1> wire_count{};
    std::array<uint32_t, kMaxParams + 1> wire_max{};
    NdrPull r(stub, drep);
    std::span<const uint8_t> view;
    for (int pos = 1; pos <= proc.param_count; ++pos) {
      ServerValue& v = out->values[pos];
      switch (ShapeAt(proc, pos)) {
        case Shape::kKey: {
          uint8_t id[kKeyIdBytes];
          int32_t session = 0;
          if (!(r.Align(4) && r.Bytes(id, sizeof id) && r.I32(&session))) return false;
          v.bytes.assign(id, id + sizeof id);
          AppendLe32(&v.bytes, static_cast<uint32_t>(session));
          break;
        }
        case Shape::kText:
          if (!r.String(&v.text)) return false;
          break;
        case Shape::kLong:
          if (!r.I32(&v.number)) return false;
          break;
        case Shape::kBlock:
        case Shape::kIoBlock:
        case Shape::kIoBlockRef:
          if (!(r.U32(&wire_count[pos]) && r.View(wire_count[pos], &view))) return false;
          v.bytes.assign(view.begin(), view.end());
          break;
        case Shape::kIds: {
          // n 32-bit elements; the list is their first n bytes, the rest is
          // padding the sender filled with zeros.
          uint32_t n = 0;
          if (!(r.U32(&n) && r.View(static_cast<size_t>(n) * 4, &view))) return false;
          wire_count[pos] = n;
          v.bytes.assign(view.begin(), view.begin() + n);
          if (!drep.little_endian()) {
            for (size_t i = 0; i < n; i += 4) {
              for (size_t j = 0; j < 4 && i + j < n; ++j) v.bytes[i + j] = view[i + 3 - j];
            }
          }
          break;
        }
        case Shape::kReply: {
          uint32_t referent = 0;
          if (!r.U32(&referent)) return false;
          v.present = referent != 0;
          if (v.present) {
            if (!(r.U32(&wire_count[pos]) && r.View(wire_count[pos], &view))) return false;
            v.bytes.assign(view.begin(), view.end());
          }
          break;
        }
        case Shape::kCount:
          if (!r.I32(&v.number)) return false;
          break;
        case Shape::kChar: {
          uint8_t c = 0;
          if (!r.U8(&c)) return false;
          v.number = c;
          v.bytes.assign(1, c);
          break;
        }
        case Shape::kConnSendInfo:
          if (!PullConnSendInfo(&r, &v)) return false;
          break;
        case Shape::kPrintToTiff:
          if (!PullPrintToTiff(&r, &v.tiff)) return false;
          break;
        case Shape::kGuid: {
          uint32_t d1 = 0;
          uint16_t d2 = 0, d3 = 0;
          uint8_t d4[8];
          if (!(r.Align(4) && r.U32(&d1) && r.U16(&d2) && r.U16(&d3) && r.Bytes(d4, 8))) {
            return false;
          }
          AppendLe32(&v.bytes, d1);
          AppendLe16(&v.bytes, d2);
          AppendLe16(&v.bytes, d3);
          v.bytes.insert(v.bytes.end(), d4, d4 + 8);
          break;
        }
        case Shape::kCvArray: {
          uint32_t offset = 0;
          if (!(r.U32(&wire_max[pos]) && r.U32(&offset) && r.U32(&wire_count[pos]) &&
                offset == 0 && wire_count[pos] <= wire_max[pos] &&
                r.View(wire_count[pos], &view))) {
            return false;
          }
          v.bytes.assign(view.begin(), view.end());
          break;
        }
        case Shape::kSizedText:
          if (!PullSizedString(&r, &v.text, &wire_max[pos])) return false;
          break;
        case Shape::kKeyOut:
        case Shape::kReplyOut:
        case Shape::kCountOut:
          break;
      }
    }
    // Every count must agree with the parameter that declares it.
    for (int pos = 1; pos <= proc.param_count; ++pos) {
      Shape s = ShapeAt(proc, pos);
      if (SizingOf(s) == Sizing::kNone || s == Shape::kReplyOut) continue;
      if (s == Shape::kReply && !out->values[pos].present) continue;
      uint32_t declared = static_cast<uint32_t>(out->values[SizeParamAt(proc, pos)].number);
      bool ok = true;
      switch (s) {
        case Shape::kCvArray:
          ok = wire_max[pos] == declared && wire_count[pos] == declared;
          break;
        case Shape::kSizedText:
          ok = wire_max[pos] == declared;
          break;
        default:
          ok = wire_count[pos] == declared;
          break;
      }
      if (!ok) return false;
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

std::vector<uint8_t> MarshalResponse(const ProcDesc& proc, const ServerArgs& args,
                                     int32_t result) {
  static const ServerValue kEmpty{};
  auto at = [&](int pos) -> const ServerValue& {
    return static_cast<size_t>(pos) < args.values.size() ? args.values[pos] : kEmpty;
  };
  // The count beside a reply always tells the reply's size (0 for none).
  std::array<bool, kMaxParams + 1> overridden{};
  std::array<int32_t, kMaxParams + 1> override_value{};
  int count = std::min<int>(proc.param_count, kMaxParams);
  for (int pos = 1; pos <= count; ++pos) {
    Shape s = ShapeAt(proc, pos);
    int k = SizeParamAt(proc, pos);
    if ((s == Shape::kReply || s == Shape::kReplyOut) && k >= 1 && k <= count) {
      overridden[k] = true;
      override_value[k] =
          at(pos).present ? static_cast<int32_t>(at(pos).bytes.size()) : 0;
    }
  }
  auto padded = [](NdrPush* w, const std::vector<uint8_t>& bytes, size_t n) {
    size_t have = std::min(bytes.size(), n);
    w->Bytes(bytes.data(), have);
    w->Zeros(n - have);
  };
  NdrPush w;
  // Sized before a large reply is copied in, so it is allocated once.
  size_t estimate = 8;
  for (int pos = 1; pos <= count; ++pos) {
    const Shape s = ShapeAt(proc, pos);
    const bool block = s == Shape::kReply || s == Shape::kReplyOut || s == Shape::kIoBlock ||
                       s == Shape::kIoBlockRef;
    estimate += 32 + (block ? at(pos).bytes.size() : 0);
  }
  w.Reserve(estimate);
  for (int pos = 1; pos <= count; ++pos) {
    const ServerValue& v = at(pos);
    switch (ShapeAt(proc, pos)) {
      case Shape::kKeyOut:
        w.Align(4);
        padded(&w, v.bytes, kKeyBytes);
        break;
      case Shape::kIoBlock:
      case Shape::kIoBlockRef: {
        int k = SizeParamAt(proc, pos);
        uint32_t n = static_cast<uint32_t>(std::max<int32_t>(0, at(k).number));
        w.U32(n);
        padded(&w, v.bytes, n);
        break;
      }
      case Shape::kReply:
      case Shape::kReplyOut:
        w.U32(v.present ? kUniqueReferentId : 0);
        if (v.present) {
          w.U32(static_cast<uint32_t>(v.bytes.size()));
          w.Bytes(v.bytes.data(), v.bytes.size());
        }
        break;
      case Shape::kCount:
      case Shape::kCountOut:
        w.I32(overridden[pos] ? override_value[pos] : v.number);
        break;
      case Shape::kPrintToTiff:
        PushPrintToTiff(&w, v.tiff);
        break;
      default:
        break;
    }
  }
  w.I32(result);
  return w.Take();
}

}  // namespace qz::rpc
