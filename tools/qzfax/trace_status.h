// trace_status.h -- names and texts of the statuses a trace log records.
//
// Names come from the public header's status macros (QZ_E_*, E_NOTIMPL,
// E_INVALIDARG). Texts of the library's own statuses (0xC1FFxxxx) come
// from the message module libqzmsg.so installed beside libqzcsif.so, the
// place the library itself takes them from: its one data symbol
// "qzmsg_table" holds a magic number, a count and entries of a 32-bit code
// and a 124-byte NUL-terminated text. Other statuses (server results, RPC
// and system codes) have no text here.
//
// Thread-safety: the module is read once, under a static initialiser.
#ifndef QZFAX_TRACE_STATUS_H_
#define QZFAX_TRACE_STATUS_H_

#include <cstdint>
#include <string>

namespace qzfax::trace {

// "QZ_E_BADSERVERID", or "" when the public header names no such status.
std::string StatusName(uint32_t status);
// The message module's text of `status`, or "".
std::string StatusText(uint32_t status);
// "0xc1ff3002".
std::string StatusHex(uint32_t status);

}  // namespace qzfax::trace

#endif  // QZFAX_TRACE_STATUS_H_
