// fault_status.cc -- NCA fault / bind rejection to Win32 status mapping.
//
// Thread-safety: pure functions.
#include "rpc/fault_status.h"

namespace qz::rpc {

uint32_t MapFaultStatus(uint32_t s) {
  switch (s) {
    case 0x1C010001: return 1820;  // comm_failure
    case 0x1C010002: return 1745;  // op_rng_error
    case 0x1C010003: return 1717;  // unk_if
    case 0x1C010009: return 1726;  // you_crashed
    case 0x1C01000B: return 1728;  // proto_error
    case 0x1C010013: return 1130;  // out_args_too_big
    case 0x1C010014: return 1723;  // server_too_busy
    case 0x1C010017: return 1732;  // unsupported_type
    case 0x1C000001: return 1767;  // int_div_by_zero
    case 0x1C000002: return 1768;  // addr_error
    case 0x1C000003: return 1769;  // fp_div_zero
    case 0x1C000004: return 1770;  // fp_underflow
    case 0x1C000005: return 1771;  // fp_overflow
    case 0x1C000006: return 1733;  // invalid_tag
    case 0x1C000007: return 1734;  // invalid_bound
    case 0x1C000008: return 1728;  // rpc_version_mismatch
    case 0x1C000009: return 1726;  // unspec_reject
    case 0x1C00000A: return 1727;  // bad_actid
    case 0x1C00000B: return 1726;  // who_are_you_failed
    case 0x1C00000C: return 1727;  // manager_not_entered
    case 0x1C00000D: return 1818;  // fault_cancel
    case 0x1C00000E: return 1768;  // ill_inst
    case 0x1C00000F: return 1771;  // fp_error
    case 0x1C000010: return 1768;  // int_overflow
    case 0x1C000012: return 1726;  // fault_unspec
    case 0x1C000014: return 1788;  // pipe_empty (RPC_X_PIPE_EMPTY)
    case 0x1C000015: return 1789;  // pipe_closed (RPC_X_PIPE_CLOSED)
    case 0x1C000016: return 1790;  // pipe_order (RPC_X_WRONG_PIPE_ORDER)
    case 0x1C000017: return 1791;  // pipe_discipline (RPC_X_PIPE_DISCIPLINE_ERROR)
    case 0x1C000018: return 1820;  // pipe_comm_error
    case 0x1C000019: return 14;    // pipe_memory
    case 0x1C00001A: return 6;     // context_mismatch
    case 0x1C00001B: return 1130;  // remote_no_memory
    case 0x1C00001C: return 1728;  // invalid_pres_context_id
    case 0x1C00001D: return 1821;  // unsupported_authn_level
    case 0x1C00001F: return 1727;  // invalid_checksum
    case 0x1C000020: return 1727;  // invalid_crc
    case 0x000006D8: return 1752;  // cant_perform
    default: return s;  // 5, 0x6F7 and everything raised by the server routine
  }
}

uint32_t MapBindNakReason(uint16_t reason) {
  switch (reason) {
    case 1:
    case 2: return 1723;  // temporary congestion, local limit exceeded
    case 4: return 1728;  // protocol version not supported
    case 8: return 1747;  // authentication type not recognised
    case 9: return 5;     // invalid checksum
    default: return 1727;
  }
}

uint32_t MapContextRejection(uint16_t result, uint16_t reason) {
  if (result == 0) return 0;
  if (reason == 1) return 1717;  // abstract syntax not supported
  if (reason == 2) return 1730;  // no transfer syntax accepted
  return 1727;
}

}  // namespace qz::rpc
