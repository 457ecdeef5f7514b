// sys_messages.cc -- the system message table: our own texts for the
// Win32, RPC and NT status codes that the library and its RPC runtime can
// produce. It stands in for the platform's message-table lookup.
//
// Thread-safety: read-only data.
#include <algorithm>
#include <cstdint>
#include <iterator>

#include "platform/platform.h"

namespace qz::platform {
namespace {

struct SysMessage {
  uint32_t code;
  const char* text;
};

// Sorted by code (checked by the unit test).
constexpr SysMessage kMessages[] = {
    {0, "The operation completed successfully."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "Too many files are open."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory is available to process this command."},
    {14, "Not enough memory is available to complete this operation."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {112, "There is not enough space on the disk."},
    {126, "The specified module could not be found."},
    {170, "The requested resource is in use."},
    {193, "The file is not a valid loadable module."},
    {206, "The file name or extension is too long."},
    {317, "No message text exists for this message number in the message file."},
    {998, "Invalid access to memory location."},
    {1130, "Not enough server storage is available to process this command."},
    {1460, "The operation returned because the timeout period expired."},
    {1700, "The string binding is invalid."},
    {1701, "The binding handle is not of the correct type."},
    {1702, "The binding handle is invalid."},
    {1703, "The RPC protocol sequence is not supported."},
    {1704, "The RPC protocol sequence is invalid."},
    {1705, "The string universal unique identifier (UUID) is invalid."},
    {1706, "The endpoint format is invalid."},
    {1707, "The network address is invalid."},
    {1708, "No endpoint was found."},
    {1709, "The timeout value is invalid."},
    {1710, "The object universal unique identifier (UUID) was not found."},
    {1711, "The object universal unique identifier (UUID) has already been registered."},
    {1712, "The type universal unique identifier (UUID) has already been registered."},
    {1713, "The RPC server is already listening."},
    {1714, "No protocol sequences have been registered."},
    {1715, "The RPC server is not listening."},
    {1716, "The manager type is unknown."},
    {1717, "The interface is unknown."},
    {1718, "There are no bindings."},
    {1719, "There are no protocol sequences."},
    {1720, "The endpoint cannot be created."},
    {1721, "Not enough resources are available to complete this operation."},
    {1722, "The RPC server is unavailable."},
    {1723, "The RPC server is too busy to complete this operation."},
    {1724, "The network options are invalid."},
    {1725, "There are no remote procedure calls active on this thread."},
    {1726, "The remote procedure call failed."},
    {1727, "The remote procedure call failed and did not execute."},
    {1728, "A remote procedure call (RPC) protocol error occurred."},
    {1729, "Access to the HTTP proxy is denied."},
    {1730, "The transfer syntax is not supported by the RPC server."},
    {1732, "The universal unique identifier (UUID) type is not supported."},
    {1733, "The tag is invalid."},
    {1734, "The array bounds are invalid."},
    {1735, "The binding does not contain an entry name."},
    {1736, "The name syntax is invalid."},
    {1737, "The name syntax is not supported."},
    {1739, "No network address is available to use to construct a UUID."},
    {1740, "The endpoint is a duplicate."},
    {1741, "The authentication type is unknown."},
    {1742, "The maximum number of calls is too small."},
    {1743, "The string is too long."},
    {1744, "The RPC protocol sequence was not found."},
    {1745, "The procedure number is out of range."},
    {1746, "The binding does not contain any authentication information."},
    {1747, "The authentication service is unknown."},
    {1748, "The authentication level is unknown."},
    {1749, "The security context is invalid."},
    {1750, "The authorization service is unknown."},
    {1751, "The entry is invalid."},
    {1752, "The server endpoint cannot perform the operation."},
    {1753, "There are no more endpoints available from the endpoint mapper."},
    {1754, "No interfaces have been exported."},
    {1755, "The entry name is incomplete."},
    {1756, "The version option is invalid."},
    {1757, "There are no more members."},
    {1758, "There is nothing to unexport."},
    {1759, "The interface was not found."},
    {1760, "The entry already exists."},
    {1761, "The entry is not found."},
    {1762, "The name service is unavailable."},
    {1763, "The network address family is invalid."},
    {1764, "The requested operation is not supported."},
    {1765, "No security context is available to allow impersonation."},
    {1766, "An internal error occurred in a remote procedure call (RPC)."},
    {1767, "The RPC server attempted an integer division by zero."},
    {1768, "An addressing error occurred in the RPC server."},
    {1769, "A floating-point operation at the RPC server caused a division by zero."},
    {1770, "A floating-point underflow occurred at the RPC server."},
    {1771, "A floating-point overflow occurred at the RPC server."},
    {1772, "The list of RPC servers available for the binding of auto handles has been exhausted."},
    {1773, "Unable to open the character translation table file."},
    {1774, "The file containing the character translation table has fewer than 512 bytes."},
    {1775, "A null context handle was passed from the client to the host during a remote procedure call."},
    {1777, "The context handle changed during a remote procedure call."},
    {1778, "The binding handles passed to a remote procedure call do not match."},
    {1779, "The stub is unable to get the remote procedure call handle."},
    {1780, "A null reference pointer was passed to the stub."},
    {1781, "The enumeration value is out of range."},
    {1782, "The byte count is too small."},
    {1783, "The stub received bad data."},
    {1818, "The remote procedure call was cancelled."},
    {1819, "The binding handle does not contain all required information."},
    {1820, "A communications failure occurred during a remote procedure call."},
    {1821, "The requested authentication level is not supported."},
    {1822, "No principal name is registered."},
    {1823, "The error specified is not a valid Windows RPC error code."},
    {1824, "A UUID that is valid only on this computer has been allocated."},
    {1825, "A security package-specific error occurred."},
    {1826, "The thread is not cancelled."},
    {1827, "Invalid operation on the encoding/decoding handle."},
    {1828, "Incompatible version of the serializing package."},
    {1829, "Incompatible version of the RPC stub."},
    {1830, "The RPC pipe object is invalid or corrupted."},
    {0x80004001u, "Not implemented."},
    {0x80070057u, "One or more arguments are invalid."},
    {0xC0000005u, "The instruction referenced memory that could not be read or written."},
};

}  // namespace

const char* SystemMessageText(uint32_t code) {
  // The HRESULT form of a Win32/RPC code has that code's text.
  if ((code & 0xFFFF0000u) == 0x80070000u && code != 0x80070057u) code &= 0xFFFFu;
  auto it = std::lower_bound(std::begin(kMessages), std::end(kMessages), code,
                             [](const SysMessage& m, uint32_t c) { return m.code < c; });
  if (it == std::end(kMessages) || it->code != code) return nullptr;
  return it->text;
}

// For the unit test: the table must stay sorted for the binary search.
bool SystemMessageTableIsSorted() {
  return std::is_sorted(std::begin(kMessages), std::end(kMessages),
                        [](const SysMessage& a, const SysMessage& b) { return a.code < b.code; }) &&
         std::adjacent_find(std::begin(kMessages), std::end(kMessages),
                            [](const SysMessage& a, const SysMessage& b) {
                              return a.code == b.code;
                            }) == std::end(kMessages);
}

}  // namespace qz::platform
