// session_binding.h -- the two routines that make RPC bindings.
//
// BindSession makes the session's long-lived binding to the main interface
// on the local computer; BindServiceControl makes a per-call binding to an
// interface on a named host. Neither names an endpoint: the endpoint mapper
// of the target host supplies it. Both leave an existing handle untouched
// and return 0; failures come back as the HRESULT form of the runtime's
// status, (status & 0xFFFF) | 0x80070000, except a missing computer name,
// which is the plain Win32 code. A handle made before a failing endpoint
// resolution is left in *binding for the caller to free. BindSession tries
// the usable protocol sequences in the runtime's order until one resolves
// (so a client falls back to TCP when no local endpoint answers or the
// local one is refused); BindServiceControl stops at the first one.
//
// Thread-safety: both work only on the handle they are given and on local
// data.
#ifndef QZ_SESSION_SESSION_BINDING_H_
#define QZ_SESSION_SESSION_BINDING_H_

#include <cstdint>
#include <string>

#include "core/status.h"
#include "rpc/binding_api.h"
#include "rpc/types.h"

namespace qz {

uint32_t BindSession(rpc::BindingHandle* binding, bool allow_local);
uint32_t BindServiceControl(const char* network_address, const rpc::SyntaxId& iface,
                            rpc::BindingHandle* binding, bool allow_local);

}  // namespace qz

#endif  // QZ_SESSION_SESSION_BINDING_H_
