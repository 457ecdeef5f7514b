// interfaces.h -- the two RPC interfaces of the fax server, as data.
//
// MainInterface() describes the 102 procedures of the main interface and
// ServiceControlInterface() the 6 of the service-control interface: opnum,
// name and parameter shapes. The client stubs (stubs.h) and the server
// dispatch (interface_server.h) are both driven by these tables.
// Thread-safety: immutable after static initialisation.
#ifndef QZ_INTERFACES_INTERFACES_H_
#define QZ_INTERFACES_INTERFACES_H_

#include <cstdint>

#include "rpc/proc.h"
#include "rpc/types.h"

namespace qz::ifc {

struct InterfaceDesc {
  const char* name;
  rpc::SyntaxId id;
  const rpc::ProcDesc* procs;  // procs[i].opnum == i
  uint16_t count;
};

const InterfaceDesc& MainInterface();            // {0a382c88-ff39-419c-a696-022f6e695506} v1.0
const InterfaceDesc& ServiceControlInterface();  // {6238dc00-af17-11cd-b799-00aa003cd575} v1.0

// Looks a procedure up by name in either interface; null when unknown.
const rpc::ProcDesc* FindProcedure(const InterfaceDesc& iface, const char* name);

}  // namespace qz::ifc

#endif  // QZ_INTERFACES_INTERFACES_H_
