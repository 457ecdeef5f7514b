// server_status.cc -- names of the server's own statuses.
#include "server/server_status.h"

#include <string_view>

namespace qz::faxd {

const char* StatusName(uint32_t status) {
  // "QZ_S_BAD_KEY" names itself "BAD_KEY".
#define QZ_SERVER_STATUS(name, text) \
  case name:                         \
    return std::string_view(#name).substr(5).data();
  switch (status) {
    case 1: return "OK";
#include "msg/server_statuses.inc"
    default: return "";
  }
#undef QZ_SERVER_STATUS
}

}  // namespace qz::faxd
