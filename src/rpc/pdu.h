// pdu.h -- codec of the connection-oriented DCE RPC 5.0 PDUs (bind,
// bind_ack, bind_nak, alter_context, alter_context_resp, request, response,
// fault, shutdown, co_cancel, orphaned), header validation and the
// "read one PDU from a transport" loop.
//
// Encoders honour the drep in the header they are given (we send
// little-endian; tests also produce big-endian PDUs) and compute
// frag_length. Decoders take one whole fragment (header included), follow
// its drep, check every length against the bytes present and return false
// on anything malformed. Decoded stub views point into the fragment.
//
// Thread-safety: plain functions over caller-owned data; reentrant.
#ifndef QZ_RPC_PDU_H_
#define QZ_RPC_PDU_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "rpc/transport.h"
#include "rpc/types.h"

namespace qz::rpc {

namespace ptype {
inline constexpr uint8_t kRequest = 0;
inline constexpr uint8_t kResponse = 2;
inline constexpr uint8_t kFault = 3;
inline constexpr uint8_t kBind = 11;
inline constexpr uint8_t kBindAck = 12;
inline constexpr uint8_t kBindNak = 13;
inline constexpr uint8_t kAlterContext = 14;
inline constexpr uint8_t kAlterContextResp = 15;
inline constexpr uint8_t kAuth3 = 16;
inline constexpr uint8_t kShutdown = 17;
inline constexpr uint8_t kCoCancel = 18;
inline constexpr uint8_t kOrphaned = 19;
}  // namespace ptype

namespace pfc {
inline constexpr uint8_t kFirstFrag = 0x01;
inline constexpr uint8_t kLastFrag = 0x02;
inline constexpr uint8_t kPendingCancel = 0x04;  // on bind: header signing (MS)
inline constexpr uint8_t kReserved = 0x08;
inline constexpr uint8_t kConcMpx = 0x10;
inline constexpr uint8_t kDidNotExecute = 0x20;
inline constexpr uint8_t kMaybe = 0x40;
inline constexpr uint8_t kObjectUuid = 0x80;
}  // namespace pfc

// NCA status values the runtime itself sends or recognises.
namespace nca {
inline constexpr uint32_t kCommFailure = 0x1C010001;
inline constexpr uint32_t kOpRangeError = 0x1C010002;
inline constexpr uint32_t kUnknownInterface = 0x1C010003;
inline constexpr uint32_t kProtoError = 0x1C01000B;
inline constexpr uint32_t kFaultUnspec = 0x1C000012;
inline constexpr uint32_t kRemoteNoMemory = 0x1C00001B;
inline constexpr uint32_t kContextMismatch = 0x1C00001A;
inline constexpr uint32_t kServerTooBusy = 0x1C010014;
inline constexpr uint32_t kAccessDenied = 0x00000005;
inline constexpr uint32_t kFaultNdr = 0x000006F7;
}  // namespace nca

inline constexpr size_t kHeaderSize = 16;
inline constexpr size_t kRequestHeaderSize = 24;  // without object UUID
inline constexpr size_t kResponseHeaderSize = 24;
inline constexpr size_t kFaultSize = 32;
inline constexpr uint16_t kMustRecvFrag = 1432;    // everyone accepts this size
inline constexpr uint16_t kMaxFragSize = 65528;    // largest multiple of 8 in a u16

struct PduHeader {
  uint8_t vers = 5;
  uint8_t vers_minor = 0;
  uint8_t type = 0;
  uint8_t flags = pfc::kFirstFrag | pfc::kLastFrag;
  Drep drep;
  uint16_t frag_length = 0;  // filled in by the encoders
  uint16_t auth_length = 0;
  uint32_t call_id = 0;
};

enum class HeaderError { kOk, kVersion, kDrep, kFragLength, kAuth, kType, kFlags };

// Decodes the 16 header bytes and validates them: version 5.0/5.1, a
// supported drep, 16 <= frag_length <= max_frag, auth_length 0, a
// connection-oriented PDU type and only the flags that type may carry.
// *out is filled even on failure (as far as decoded).
HeaderError DecodeHeader(std::span<const uint8_t> bytes, size_t max_frag, PduHeader* out);

struct ContextElem {
  uint16_t context_id = 0;
  SyntaxId abstract_syntax;
  std::vector<SyntaxId> transfer_syntaxes;
};

// bind and alter_context (hdr.type selects which).
struct BindPdu {
  PduHeader hdr;
  uint16_t max_xmit_frag = kMaxFragSize;
  uint16_t max_recv_frag = kMaxFragSize;
  uint32_t assoc_group_id = 0;
  std::vector<ContextElem> contexts;
};

namespace ctxres {
inline constexpr uint16_t kAcceptance = 0;
inline constexpr uint16_t kUserRejection = 1;
inline constexpr uint16_t kProviderRejection = 2;
inline constexpr uint16_t kNegotiateAck = 3;
inline constexpr uint16_t kReasonNotSpecified = 0;
inline constexpr uint16_t kAbstractSyntaxNotSupported = 1;
inline constexpr uint16_t kTransferSyntaxesNotSupported = 2;
inline constexpr uint16_t kLocalLimitExceeded = 3;
}  // namespace ctxres

struct ContextResult {
  uint16_t result = 0;
  uint16_t reason = 0;
  SyntaxId transfer_syntax;
};

// bind_ack and alter_context_resp.
struct BindAckPdu {
  PduHeader hdr;
  uint16_t max_xmit_frag = 0;
  uint16_t max_recv_frag = 0;
  uint32_t assoc_group_id = 0;
  std::string sec_addr;  // without the NUL; empty = length 0 on the wire
  std::vector<ContextResult> results;
};

namespace nak {
inline constexpr uint16_t kNotSpecified = 0;
inline constexpr uint16_t kTemporaryCongestion = 1;
inline constexpr uint16_t kLocalLimitExceeded = 2;
inline constexpr uint16_t kProtocolVersionNotSupported = 4;
}  // namespace nak

struct BindNakPdu {
  PduHeader hdr;
  uint16_t reason = 0;
  std::vector<std::pair<uint8_t, uint8_t>> versions = {{5, 0}};
};

struct RequestPdu {
  PduHeader hdr;
  uint32_t alloc_hint = 0;
  uint16_t context_id = 0;
  uint16_t opnum = 0;
  std::optional<Uuid> object;  // sets/reads PFC_OBJECT_UUID
  std::span<const uint8_t> stub;
};

struct ResponsePdu {
  PduHeader hdr;
  uint32_t alloc_hint = 0;
  uint16_t context_id = 0;
  uint8_t cancel_count = 0;
  std::span<const uint8_t> stub;
};

struct FaultPdu {
  PduHeader hdr;
  uint32_t alloc_hint = 0;
  uint16_t context_id = 0;
  uint8_t cancel_count = 0;
  uint8_t fault_flags = 0;
  uint32_t status = 0;
};

std::vector<uint8_t> EncodeBind(const BindPdu& p);
std::vector<uint8_t> EncodeBindAck(const BindAckPdu& p);
std::vector<uint8_t> EncodeBindNak(const BindNakPdu& p);
std::vector<uint8_t> EncodeRequest(const RequestPdu& p);
std::vector<uint8_t> EncodeResponse(const ResponsePdu& p);
// The 24 bytes before a response fragment's stub (frag_length counts
// p.stub, which must fit in one fragment): a sender that keeps the stub
// where it is sends these and then the stub.
std::array<uint8_t, kResponseHeaderSize> EncodeResponseHeader(const ResponsePdu& p);
std::vector<uint8_t> EncodeFault(const FaultPdu& p);
// shutdown, co_cancel, orphaned: the bare header.
std::vector<uint8_t> EncodeHeaderOnly(const PduHeader& h);

// Each decoder takes one whole fragment; it re-decodes the header (without
// the frag size bound) and requires the matching type.
bool DecodeBind(std::span<const uint8_t> pdu, BindPdu* out);
bool DecodeBindAck(std::span<const uint8_t> pdu, BindAckPdu* out);
bool DecodeBindNak(std::span<const uint8_t> pdu, BindNakPdu* out);
bool DecodeRequest(std::span<const uint8_t> pdu, RequestPdu* out);
bool DecodeResponse(std::span<const uint8_t> pdu, ResponsePdu* out);
// The 24-byte header of a response whose stub data was left on the stream
// (ReceivePduLeavingStub); out->stub stays empty, frag_length tells the
// stub's size (frag_length - 24).
bool DecodeResponseHead(std::span<const uint8_t> head, ResponsePdu* out);
bool DecodeFault(std::span<const uint8_t> pdu, FaultPdu* out);

// Stub bytes a non-last fragment of at most `frag` bytes carries after a
// header of `header` bytes: the room left, rounded down to a multiple of 8.
size_t FragmentStubCapacity(size_t frag, size_t header);

enum class RecvStatus { kOk, kClosed, kTimeout, kIoError, kBadHeader };

// Reads one PDU: 16 header bytes, validation (see DecodeHeader), then the
// rest of the fragment. *pdu holds the whole fragment on success; nothing
// beyond frag_length (<= max_frag) is allocated. On kBadHeader *hdr and
// *header_error describe the offending header. timeout_ms bounds the wait
// for the first byte; once a PDU has begun, body_timeout_ms (default: the
// same) bounds the wait for the rest, so a peer that stalls inside a PDU
// is noticed even when idle waits are unbounded.
inline constexpr int kSameTimeout = -2;
RecvStatus ReceivePdu(Transport& t, size_t max_frag, int timeout_ms, std::vector<uint8_t>* pdu,
                      PduHeader* hdr, HeaderError* header_error = nullptr,
                      int body_timeout_ms = kSameTimeout);
// As ReceivePdu, except that of a response PDU only its 24-byte header is
// read into *pdu: its stub data, frag_length - 24 bytes, stays on the
// stream for the caller to read straight into its place. Every other PDU
// (and a response too short for its header) is read whole.
RecvStatus ReceivePduLeavingStub(Transport& t, size_t max_frag, int timeout_ms,
                                 std::vector<uint8_t>* pdu, PduHeader* hdr);

}  // namespace qz::rpc

#endif  // QZ_RPC_PDU_H_
