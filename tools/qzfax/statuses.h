// statuses.h -- names and texts of the statuses qzfax meets (library,
// fax server, RPC and system), for messages and for the trace viewer.
//
// Thread-safety: single-threaded, as the command line is.
#ifndef QZFAX_STATUSES_H_
#define QZFAX_STATUSES_H_

#include <cstdint>
#include <string>

namespace qzfax {

// "QZ_E_BADSERVERID", "BAD_DOCUMENT" (a server status), "E_NOTIMPL"; ""
// for a status without a name.
std::string StatusName(uint32_t status);
// The message module's text of a library or server status; "" when it has
// none or cannot be loaded.
std::string ModuleText(uint32_t status);
// "0xc1ff3002".
std::string StatusHex(uint32_t status);

}  // namespace qzfax

#endif  // QZFAX_STATUSES_H_
