// binding_api.h -- the binding routines of the runtime, shaped after the
// platform RPC API the library was written against: protocol sequence
// vector, validity check, string bindings, binding handles, endpoint
// resolution through the endpoint mapper, and the frees.
//
// Every routine returns an RPC status (0 = success) and never throws.
// Thread-safety: all routines are reentrant; a BindingHandle may be used
// for calls from several threads at once, but freed by one only.
#ifndef QZ_RPC_BINDING_API_H_
#define QZ_RPC_BINDING_API_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "rpc/types.h"

namespace qz::rpc {

class Binding;
using BindingHandle = Binding*;
using RpcStatus = uint32_t;

// Supported protocol sequences in the runtime's order: "ncalrpc" (the
// local computer only), then "ncacn_ip_tcp"; $QZRPC_PROTSEQS (e.g.
// "ncacn_ip_tcp" or "ncacn_ip_tcp,ncalrpc") sets the order and which are
// offered -- a sequence it leaves out is not valid either.
RpcStatus RpcNetworkInqProtseqs(std::vector<std::string>* protseqs);
// 0 when the protocol sequence is usable here; 1703 when known but not
// usable; 1704 when unknown.
RpcStatus RpcNetworkIsProtseqValid(const std::string& protseq);
// Test seam: replaces the vector (and the set of valid sequences) that the
// two routines above report; nullopt restores the real ones.
void SetProtseqsForTesting(std::optional<std::vector<std::string>> protseqs);

// "ObjectUUID@protseq:netaddr[endpoint,options]" with the escaping rules
// of the runtime; empty parts are left out.
RpcStatus RpcStringBindingCompose(const std::string& object_uuid, const std::string& protseq,
                                  const std::string& network_address,
                                  const std::string& endpoint, const std::string& options,
                                  std::string* string_binding);
RpcStatus RpcStringBindingParse(const std::string& string_binding, std::string* object_uuid,
                                std::string* protseq, std::string* network_address,
                                std::string* endpoint, std::string* options);

RpcStatus RpcBindingFromStringBinding(const std::string& string_binding,
                                      BindingHandle* binding);
// Fills in the endpoint of a partial binding from the endpoint mapper of
// the binding's host (TCP: port $QZRPC_EPM_PORT, default 135; ncalrpc: the
// local endpoint "epmapper"). 1722 when no endpoint mapper answers, 1753
// when the interface is not registered.
RpcStatus RpcEpResolveBinding(BindingHandle binding, const SyntaxId& iface);
RpcStatus RpcBindingFree(BindingHandle* binding);

// Computer name (gethostname, cut to 15 characters, the NetBIOS length).
RpcStatus GetComputerName(std::string* name);

// TCP port of the endpoint mapper: $QZRPC_EPM_PORT if set and valid, else 135.
uint16_t EndpointMapperPort();

}  // namespace qz::rpc

#endif  // QZ_RPC_BINDING_API_H_
