// types.h -- value types shared by every part of the DCE RPC runtime:
// UUIDs, syntax identifiers, the data representation label and the
// RPC status numbers the runtime raises. Thread-safe: plain values.
#ifndef QZ_RPC_TYPES_H_
#define QZ_RPC_TYPES_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/rpc_exception.h"

namespace qz::rpc {

// A UUID in its field form; on the wire (NDR) data1..data3 follow the drep
// byte order and data4 travels as 8 raw bytes.
struct Uuid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {};

  // Parses "0a382c88-ff39-419c-a696-022f6e695506" (braces optional).
  static std::optional<Uuid> Parse(std::string_view text);
  std::string ToString() const;  // lower case, no braces
  bool IsNil() const;
  friend bool operator==(const Uuid&, const Uuid&) = default;
};

// Interface or transfer syntax identifier: UUID plus major.minor version.
struct SyntaxId {
  Uuid uuid;
  uint16_t major = 0;
  uint16_t minor = 0;
  friend bool operator==(const SyntaxId&, const SyntaxId&) = default;
};

// NDR 2.0 transfer syntax 8a885d04-1ceb-11c9-9fe8-08002b104860 v2.0.
const SyntaxId& NdrSyntax();

// Data representation label (packed_drep). We send 10 00 00 00.
struct Drep {
  uint8_t b[4] = {0x10, 0, 0, 0};
  bool little_endian() const { return (b[0] & 0xF0) == 0x10; }
  // Only ASCII characters and IEEE floats, in either byte order, are accepted.
  bool supported() const {
    return (b[0] & 0x0F) == 0 && (b[0] & 0xE0) == 0 && b[1] == 0;
  }
  static Drep Little() { return Drep{}; }
  static Drep Big() { Drep d; d.b[0] = 0x00; return d; }
};

// Win32 / RPC status numbers raised by the runtime.
// Memory routines through which reply (and reply-out) arrays are allocated
// on the client. The library plugs in RDMemAlloc / RDMemFree.
struct MemoryRoutines {
  void* (*allocate)(size_t size);
  void (*release)(void* p);
};

namespace status {
inline constexpr uint32_t kOk = 0;
inline constexpr uint32_t kAccessDenied = 5;
inline constexpr uint32_t kNotEnoughMemory = 8;
inline constexpr uint32_t kOutOfMemory = 14;
inline constexpr uint32_t kInvalidParameter = 87;
inline constexpr uint32_t kInvalidStringBinding = 1700;
inline constexpr uint32_t kInvalidBinding = 1702;
inline constexpr uint32_t kProtseqNotSupported = 1703;
inline constexpr uint32_t kInvalidRpcProtseq = 1704;
inline constexpr uint32_t kInvalidEndpointFormat = 1706;
inline constexpr uint32_t kInvalidNetAddr = 1707;
inline constexpr uint32_t kUnknownIf = 1717;
inline constexpr uint32_t kServerUnavailable = 1722;
inline constexpr uint32_t kServerTooBusy = 1723;
inline constexpr uint32_t kCallFailed = 1726;
inline constexpr uint32_t kCallFailedDne = 1727;
inline constexpr uint32_t kProtocolError = 1728;
inline constexpr uint32_t kUnsupportedTransSyn = 1730;
inline constexpr uint32_t kInvalidBound = 1734;  // a negative or inconsistent array bound
inline constexpr uint32_t kProcnumOutOfRange = 1745;
inline constexpr uint32_t kEptCantPerformOp = 1752;
inline constexpr uint32_t kEptNotRegistered = 1753;
inline constexpr uint32_t kCannotSupport = 1764;
inline constexpr uint32_t kNullRefPointer = 1780;
inline constexpr uint32_t kBadStubData = 1783;
inline constexpr uint32_t kCallCancelled = 1818;
inline constexpr uint32_t kCommFailure = 1820;
}  // namespace status

}  // namespace qz::rpc

#endif  // QZ_RPC_TYPES_H_
