// ndr_fuzz.cc -- libFuzzer target for the NDR procedure engine and the
// record walkers. Arbitrary bytes are decoded as a request (server side)
// and as a reply (client side) of procedures covering every parameter
// shape, in both byte orders; a decoded request is answered through
// MarshalResponse. The reply is also received in place (split where
// ReplyLead says, and at a byte the input picks): it must decode exactly as
// the joined bytes do. Any crash, sanitizer report, leak or disagreement
// is a finding.
//
// Build and run (clang only): fuzz/run_fuzz.sh [-t SECONDS] ndr_fuzz
// Thread-safety: single-threaded, as libFuzzer runs it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "core/rpc_exception.h"
#include "rpc/client.h"
#include "rpc/proc.h"
#include "rpc/records.h"

namespace {

using qz::rpc::ArgSlot;
using qz::rpc::ProcDesc;
using S = qz::rpc::Shape;

constexpr ProcDesc kProcs[] = {
    {3, "queryUserLog", true, 4, {{S::kKey}, {S::kText}, {S::kReply, 4}, {S::kCount}}},
    {13, "sendFax", true, 5,
     {{S::kKey}, {S::kBlock, 3}, {S::kLong}, {S::kIoBlockRef, 5}, {S::kCount}}},
    {14, "transferFax", true, 5,
     {{S::kKey}, {S::kIds, 3}, {S::kLong}, {S::kBlock, 5}, {S::kLong}}},
    {44, "getFaxFile", true, 4, {{S::kKey}, {S::kLong}, {S::kText}, {S::kCountOut}}},
    {89, "importFaxInfo", true, 4, {{S::kKey}, {S::kLong}, {S::kChar}, {S::kLong}}},
    {92, "reserved92", true, 3, {{S::kLong}, {S::kLong}, {S::kSizedText, 2}}},
    {93, "sendFaxFromConn", true, 2, {{S::kKey}, {S::kConnSendInfo}}},
    {95, "printToTiff", true, 1, {{S::kPrintToTiff}}},
    {96, "getDraft", true, 3, {{S::kKey}, {S::kCount}, {S::kReplyOut, 2}}},
    {100, "logIn", true, 3, {{S::kKeyOut}, {S::kLong}, {S::kIoBlock, 2}}},
    {101, "advise", true, 4, {{S::kGuid}, {S::kLong}, {S::kLong}, {S::kCvArray, 3}}},
};
constexpr size_t kProcCount = sizeof kProcs / sizeof kProcs[0];
constexpr int32_t kBufferSize = 64;

// Client arguments for a procedure: every buffer kBufferSize bytes, every
// size parameter kBufferSize, every reply pointer null.
struct ClientCall {
  uint8_t key[24] = {};
  uint8_t buffer[qz::rpc::kMaxParams + 1][kBufferSize] = {};
  int32_t counts[qz::rpc::kMaxParams + 1] = {};
  uint8_t* replies[qz::rpc::kMaxParams + 1] = {};
  qz::rpc::ConnSendInfo conn{};
  qz::rpc::PrintToTiffInfo tiff{};
  qz::rpc::Guid16 guid{};
  ArgSlot args[qz::rpc::kMaxParams + 1] = {};

  explicit ClientCall(const ProcDesc& p) {
    for (int pos = 1; pos <= p.param_count; ++pos) {
      switch (p.params[pos - 1].shape) {
        case S::kLong: args[pos].value = kBufferSize; break;
        case S::kKey: case S::kKeyOut: args[pos].ptr = key; break;
        case S::kText: case S::kSizedText: args[pos].ptr = const_cast<char*>(""); break;
        case S::kReply: case S::kReplyOut: args[pos].ptr = &replies[pos]; break;
        case S::kCount: case S::kCountOut:
          counts[pos] = kBufferSize;
          args[pos].ptr = &counts[pos];
          break;
        case S::kConnSendInfo: args[pos].ptr = &conn; break;
        case S::kPrintToTiff: args[pos].ptr = &tiff; break;
        case S::kGuid: args[pos].ptr = &guid; break;
        default: args[pos].ptr = buffer[pos]; break;
      }
    }
  }
};

void* Allocate(size_t n) { return std::malloc(n); }
void Release(void* p) { std::free(p); }

// What a client sees of one decoded reply.
struct Outcome {
  uint32_t code = 0;  // RpcException status, 0 when none
  int32_t result = 0;
  std::vector<int32_t> counts;
  std::vector<std::vector<uint8_t>> replies;  // {} for a null pointer
  std::vector<std::vector<uint8_t>> buffers;
  bool operator==(const Outcome&) const = default;
};

// Decodes `stub` joined (lead SIZE_MAX) or received in place with `lead`
// (0: ReplyLead's).
Outcome Decode(const ProcDesc& proc, std::span<const uint8_t> stub, qz::rpc::Drep drep,
               size_t lead) {
  ClientCall call(proc);
  Outcome o;
  const qz::rpc::MemoryRoutines mem{&Allocate, &Release};
  try {
    if (lead == SIZE_MAX) {
      o.result = qz::rpc::UnmarshalResponse(proc, stub, drep, call.args, mem);
    } else {
      qz::rpc::PlacedReply placed(mem, lead != 0 ? lead : qz::rpc::ReplyLead(proc, call.args));
      placed.drep = drep;
      placed.Expect(stub.size(), 1u << 20);
      for (size_t off = 0; off < stub.size();) {
        std::span<uint8_t> room = placed.Room(stub.size() - off);
        if (room.empty()) std::abort();
        std::memcpy(room.data(), stub.data() + off, room.size());
        placed.Filled(room.size());
        off += room.size();
      }
      o.result = qz::rpc::UnmarshalResponse(proc, &placed, call.args);
    }
  } catch (const qz::RpcException& e) {
    o.code = e.code();
  }
  for (int pos = 1; pos <= proc.param_count; ++pos) {
    o.counts.push_back(call.counts[pos]);
    o.buffers.emplace_back(call.buffer[pos], call.buffer[pos] + kBufferSize);
    uint8_t* r = call.replies[pos];
    // A reply's size is its count parameter's, as the caller reads it.
    const int k = proc.params[pos - 1].size_param;
    if (r != nullptr && k >= 1) o.replies.emplace_back(r, r + call.counts[k]);
    else o.replies.emplace_back();
    // Replies written into caller memory are never our allocations here:
    // every reply pointer started null.
    std::free(r);
  }
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const ProcDesc& proc = kProcs[(data[0] >> 1) % kProcCount];
  qz::rpc::Drep drep = (data[0] & 1) ? qz::rpc::Drep::Big() : qz::rpc::Drep::Little();
  std::span<const uint8_t> stub(data + 1, size - 1);

  qz::rpc::ServerArgs server;
  if (qz::rpc::UnmarshalRequest(proc, stub, drep, &server)) {
    std::vector<uint8_t> response = qz::rpc::MarshalResponse(proc, server, 1);
    (void)response;
  }

  const Outcome joined = Decode(proc, stub, drep, SIZE_MAX);
  if (!(Decode(proc, stub, drep, 0) == joined)) std::abort();
  if (size > 2 && !(Decode(proc, stub.subspan(1), drep, data[1]) == Decode(proc, stub.subspan(1), drep, SIZE_MAX)))
    std::abort();

  (void)qz::rpc::records::CountList(stub);
  (void)qz::rpc::records::MeasureList(8, qz::rpc::records::SpanReader(stub));
  return 0;
}
