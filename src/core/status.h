// status.h -- the library's own statuses (0xC1FFxxxx) as data.
//
// The list lives in msg/statuses.inc; this header gives it to C++ code as
// a table and a name lookup. status.cc checks at compile time that every
// entry equals the QZ_E_* macro of the public header with the same name.
// Thread-safety: read-only data.
#ifndef QZ_CORE_STATUS_H_
#define QZ_CORE_STATUS_H_

#include <cstdint>
#include <span>

namespace qz {

inline constexpr uint32_t kStatusOk = 1;  // success of a session operation
inline constexpr uint32_t kENotImpl = 0x80004001u;
inline constexpr uint32_t kEInvalidArg = 0x80070057u;
inline constexpr uint32_t kEUnexpected = 0x8000FFFFu;

struct StatusInfo {
  const char* name;  // "QZ_E_BADSERVERID"
  uint32_t value;
  const char* text;  // the text the message module holds
};

// Every library status, in list order.
std::span<const StatusInfo> LibraryStatuses();
// The name of a library status, or null when the code is not one.
const char* StatusName(uint32_t code);

// Facility nibble (bits 24-27) that routes a status's text lookup:
// 0 = system message table, 1 = message module, else no text.
inline constexpr uint32_t FacilityNibble(uint32_t code) { return (code >> 24) & 0xF; }

// The HRESULT form of a Win32/RPC status: (code & 0xFFFF) | 0x80070000,
// and 0 for 0.
inline constexpr uint32_t HResultFromWin32(uint32_t code) {
  return code == 0 ? 0 : ((code & 0xFFFFu) | 0x80070000u);
}

}  // namespace qz

#endif  // QZ_CORE_STATUS_H_
