// status.cc -- the status table and the compile-time check that the public
// QZ_E_* macros and the status list agree.
// Thread-safety: read-only data.
#include "core/status.h"

#include <iterator>

#include "qzcsif/qzcsif.h"

namespace qz {
namespace {

// A list entry whose macro is missing or has another value fails here.
#define QZ_STATUS(name, value, text) \
  static_assert(name == (value), #name " in qzcsif.h differs from msg/statuses.inc");
#include "msg/statuses.inc"
#undef QZ_STATUS

#define QZ_STATUS(name, value, text) {#name, value, text},
constexpr StatusInfo kStatuses[] = {
#include "msg/statuses.inc"
};
#undef QZ_STATUS

}  // namespace

std::span<const StatusInfo> LibraryStatuses() { return kStatuses; }

const char* StatusName(uint32_t code) {
  for (const StatusInfo& s : kStatuses)
    if (s.value == code) return s.name;
  return nullptr;
}

}  // namespace qz
