// fault_status.h -- how the client turns what the server said into the
// Win32 RPC status a Windows client reports: NCA fault statuses, bind_nak
// reasons and rejected presentation contexts.
//
// Thread-safety: pure functions.
#ifndef QZ_RPC_FAULT_STATUS_H_
#define QZ_RPC_FAULT_STATUS_H_

#include <cstdint>

namespace qz::rpc {

// NCA fault status -> Win32 status; values outside the NCA table (Win32
// codes and HRESULTs raised by the server routine) come back unchanged.
uint32_t MapFaultStatus(uint32_t fault_status);

// bind_nak provider_reject_reason -> Win32 status.
uint32_t MapBindNakReason(uint16_t reason);

// A presentation context result other than acceptance -> Win32 status.
uint32_t MapContextRejection(uint16_t result, uint16_t reason);

}  // namespace qz::rpc

#endif  // QZ_RPC_FAULT_STATUS_H_
