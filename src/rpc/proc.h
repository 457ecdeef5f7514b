// proc.h -- declarative procedure descriptions and the NDR procedure engine.
//
// A procedure is described once, as a list of parameter shapes; the engine
// marshals and unmarshals any described procedure in both directions:
//   client: MarshalRequest (in, in/out params) -> UnmarshalResponse (out)
//   server: UnmarshalRequest -> handler -> MarshalResponse
// No procedure has marshalling code of its own.
//
// Thread-safety: descriptions are immutable; the engine functions are
// reentrant and keep no state.
#ifndef QZ_RPC_PROC_H_
#define QZ_RPC_PROC_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "rpc/types.h"

namespace qz::rpc {

class PlacedReply;  // rpc/client.h

// Parameter shapes. "K" is the position (binding handle = 0) of the
// parameter that sizes this one, given in ParamDesc::size_param.
enum class Shape : uint8_t {
  kKey,          // in, ref: SESSIONKEY, 24-byte simple structure
  kKeyOut,       // out, ref: SESSIONKEY
  kText,         // in, ref: conformant varying 8-bit string (max, 0, actual, chars+NUL)
  kLong,         // in, by value: int32
  kBlock,        // in, ref: conformant byte array, count = value of param K
  kIoBlock,      // in/out, ref: as kBlock; the reply array is copied into the caller's buffer
  kIoBlockRef,   // in/out, ref: byte array counted by *param K (a kCount) both ways
  kIds,          // in, ref: conformant int32 array of (value of param K) elements; the
                 //   first (value of K) bytes come from the caller, the rest are zero
  kReply,        // in/out, ref to unique pointer: referent id, then byte array of *param K
  kReplyOut,     // out, ref to unique pointer: as kReply, nothing sent
  kCount,        // in/out, ref: int32
  kCountOut,     // out, ref: int32
  kChar,         // in, ref: exactly one 8-bit character
  kConnSendInfo, // in, ref: CONNSENDINFO complex structure (two deferred unique arrays)
  kPrintToTiff,  // in/out, ref: PRINTTOTIFFINFO complex structure
  kGuid,         // in, by value: 16-byte GUID simple structure
  kCvArray,      // in, ref: conformant varying byte array, max = actual = value of param K
  kSizedText,    // in, ref: string whose maximum count is the value of param K
};

struct ParamDesc {
  Shape shape;
  uint8_t size_param = 0;  // K, for the sized shapes; 0 otherwise
};

inline constexpr int kMaxParams = 8;

struct ProcDesc {
  uint16_t opnum;
  const char* name;
  bool explicit_handle;  // false only for a procedure bound through the automatic handle
  uint8_t param_count;   // positions 1..param_count
  ParamDesc params[kMaxParams];  // params[i] describes position i + 1
};


// Memory layouts of the structured parameters (64-bit native layout; the
// wire form is fixed by the engine, not by these layouts).
struct ConnSendInfo {
  int32_t value1, value2, value3;
  char text1[256];
  int32_t item_count;          // CONNSENDITEM elements at items
  const uint8_t* items;        // item_count * 168 bytes, may be null
  char text2[256];
  int32_t value4, value5, value6, value7;
  char text3[30];
  int32_t value8;
  double real1, real2;
  char text4[32];
  char text5[128];
  char text6[128];
  int32_t value9;
  int32_t data_length;         // bytes at data
  const uint8_t* data;         // may be null
};

struct PrintToTiffInfo {
  char text1[256];
  char text2[256];
  int32_t value1, value2;
};

struct Guid16 {
  uint8_t bytes[16];  // memory order: data1 LE, data2 LE, data3 LE, data4
};

// One argument of a client call, by position. Which member is used follows
// the shape: kLong -> value; every other shape -> ptr to the caller's data
// (SESSIONKEY*, const char*, uint8_t*, const int32_t*, uint8_t** for the
// replies, int32_t* for the counts, ConnSendInfo*, PrintToTiffInfo*,
// Guid16*).
union ArgSlot {
  int32_t value;
  void* ptr;
};

// Referent id of a non-null unique pointer (the second embedded pointer of
// CONNSENDINFO uses 0x00020004).
inline constexpr uint32_t kUniqueReferentId = 0x00020000;

// True when every sized parameter names a valid K of the right kind: a
// kLong for kBlock, kIoBlock, kIds, kCvArray, kSizedText; a kCount for
// kIoBlockRef and kReply; a kCount or kCountOut for kReplyOut.
bool ValidateProcDesc(const ProcDesc& proc);

// Client side. args[0] is unused; args[i] is position i.
//
// Both throw RpcException: 1780 for a null reference (all references are
// checked in parameter order before any count is read or anything is
// encoded; the inner pointer of a kReply may be null), 1734 for a negative
// size, a kSizedText longer than its maximum or CONNSENDINFO counts that do
// not fit, 87 for an invalid description, 1783 for a reply that does not
// decode, 14 when the memory routine fails (or the request cannot be
// built). UnmarshalResponse decodes and checks the whole reply before it
// writes to the caller's memory or allocates; on failure nothing was
// written and nothing stays allocated. Reply rules:
//  - kIoBlock: the reply count must equal the value of K that was sent.
//  - kIoBlockRef: the reply count must not exceed *K as it was sent (the
//    caller's buffer), and the *K coming back must equal the reply count.
//  - kReply / kReplyOut: a null referent sets the caller's pointer to null
//    and *K is stored as received. A non-null one must come with *K equal
//    to its count; the array is allocated through mem.allocate (at least 1
//    byte) when the caller's pointer was null, else written into the
//    caller's memory, which must then be at least the count (*K as sent).
//  - Bytes after the result are ignored; a drep other than ASCII/IEEE
//    (either byte order) is refused with 1783.
std::vector<uint8_t> MarshalRequest(const ProcDesc& proc, const ArgSlot* args);
int32_t UnmarshalResponse(const ProcDesc& proc, std::span<const uint8_t> stub,
                          Drep drep, ArgSlot* args, const MemoryRoutines& mem);

// Receiving a reply in place (see PlacedReply). ReplyLead: the number of
// stub bytes before the data of the reply's first kReply / kReplyOut array,
// when that array is the run time's to allocate (the caller's pointer is
// null) and every out parameter before it has a size known before the
// reply comes; 0 otherwise. Receive with this lead and the caller's
// allocator, then UnmarshalResponse(proc, &reply, args) decodes and checks
// exactly as above (the same rules, statuses and results) and, when the
// array was received into the reply's block, hands that block (exactly
// the array's size, at least 1 byte) to the caller as the array: no copy.
// An array it cannot place is allocated through reply->memory() and
// copied.
size_t ReplyLead(const ProcDesc& proc, const ArgSlot* args);
int32_t UnmarshalResponse(const ProcDesc& proc, PlacedReply* reply, ArgSlot* args);

// Server side: one decoded parameter. Numbers in `number`, texts in `text`
// (without the NUL), every array and structure in `bytes` (little-endian,
// memory order for keys and GUIDs; for kConnSendInfo / kPrintToTiff the
// decoded structure lives in conn / tiff). For kReply / kReplyOut the
// handler sets `bytes` and `present` (false = null pointer).
// kIds: `bytes` holds the caller's list, i.e. the first K bytes of the
// 32-bit elements (the zero padding is dropped), so bytes.size() == K.
// kChar: the byte in `bytes` and in `number`.
// kConnSendInfo: conn.items / conn.data point into conn_items / conn_data of
// the same value (null when absent or empty); a copied ServerValue must
// re-point them.
struct ServerValue {
  int32_t number = 0;
  std::string text;
  std::vector<uint8_t> bytes;
  bool present = false;
  ConnSendInfo conn{};
  std::vector<uint8_t> conn_items, conn_data;  // own the arrays conn points to
  PrintToTiffInfo tiff{};
};

struct ServerArgs {
  std::vector<ServerValue> values;  // index = position (0 unused)
  ServerValue& operator[](size_t pos) { return values.at(pos); }
  const ServerValue& operator[](size_t pos) const { return values.at(pos); }
};

// Decodes a request. Returns false when the stub data does not decode (the
// server answers with a fault 1783): a count beyond the data, a string with
// offset != 0, actual > max, actual 0 or no NUL at its end, an array count
// that disagrees with its K (kCvArray: max and actual; kSizedText: max),
// CONNSENDINFO arrays whose counts disagree with the structure. Bytes after
// the last parameter are ignored; a drep other than ASCII/IEEE is refused.
// Never reads outside `stub`.
bool UnmarshalRequest(const ProcDesc& proc, std::span<const uint8_t> stub, Drep drep,
                      ServerArgs* out);
// Encodes the out and in/out parameters followed by the result:
//  - kKeyOut: `bytes` padded with zeros / cut to 24.
//  - kIoBlock: the count is the `number` of K (a kLong, which handlers
//    leave as received); `bytes` is padded with zeros or cut to it.
//  - kIoBlockRef: the count is the `number` of the count parameter K as the
//    handler left it; `bytes` padded or cut to it. The handler must keep it
//    within the value received (the client refuses a larger one).
//  - kReply / kReplyOut: `present` and `bytes`; the count parameter K is
//    always sent as bytes.size() (0 when not present), whatever its
//    `number` says, so the two cannot disagree.
std::vector<uint8_t> MarshalResponse(const ProcDesc& proc, const ServerArgs& args,
                                     int32_t result);

}  // namespace qz::rpc

#endif  // QZ_RPC_PROC_H_
