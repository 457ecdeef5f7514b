// session_binding.cc -- binding to the main and service-control interfaces.
#include "session/session_binding.h"

#include <vector>

#include "interfaces/interfaces.h"

namespace qz {
namespace {

constexpr uint32_t kNoProtseqsRegistered = 1714;

// The two protocol sequences that only reach the local computer; skipped
// unless local bindings are allowed. Compared exactly (case-sensitive).
bool IsLocalOnly(const std::string& protseq) {
  return protseq == "ncalrpc" || protseq == "ncacn_np";
}

// Makes the handle from `protseq` and `address` and resolves its endpoint
// for `iface`. 0 or the failing runtime status.
uint32_t MakeAndResolve(const std::string& protseq, const std::string& address,
                        const rpc::SyntaxId& iface, rpc::BindingHandle* binding) {
  std::string string_binding;
  uint32_t status = rpc::RpcStringBindingCompose("", protseq, address, "", "", &string_binding);
  if (status != 0) return status;
  status = rpc::RpcBindingFromStringBinding(string_binding, binding);
  if (status != 0) return status;
  return rpc::RpcEpResolveBinding(*binding, iface);
}

}  // namespace

uint32_t BindSession(rpc::BindingHandle* binding, bool allow_local) {
  if (*binding != nullptr) return 0;

  std::string computer;
  if (uint32_t status = rpc::GetComputerName(&computer); status != 0) return status;

  std::vector<std::string> protseqs;
  if (uint32_t status = rpc::RpcNetworkInqProtseqs(&protseqs); status != 0)
    return HResultFromWin32(status);

  // The usable protocol sequences are tried in the runtime's order until
  // one binds and resolves (a local endpoint that does not answer, or is
  // refused as untrusted, falls back to TCP). The last failing attempt's
  // handle stays in *binding; earlier ones are freed.
  uint32_t last_status = kNoProtseqsRegistered;
  bool attempted = false;
  for (const std::string& protseq : protseqs) {
    if (!allow_local && IsLocalOnly(protseq)) continue;
    if (uint32_t status = rpc::RpcNetworkIsProtseqValid(protseq); status != 0) {
      if (!attempted) last_status = status;
      continue;
    }
    if (*binding != nullptr) rpc::RpcBindingFree(binding);
    attempted = true;
    last_status = MakeAndResolve(protseq, computer, ifc::MainInterface().id, binding);
    if (last_status == 0) return 0;
  }
  return HResultFromWin32(last_status);
}

uint32_t BindServiceControl(const char* network_address, const rpc::SyntaxId& iface,
                            rpc::BindingHandle* binding, bool allow_local) {
  if (*binding != nullptr) return 0;

  std::vector<std::string> protseqs;
  if (uint32_t status = rpc::RpcNetworkInqProtseqs(&protseqs); status != 0)
    return HResultFromWin32(status);

  const std::string address = network_address != nullptr ? network_address : "";
  uint32_t last_status = kNoProtseqsRegistered;
  for (const std::string& protseq : protseqs) {
    if (!allow_local && IsLocalOnly(protseq)) continue;
    if (uint32_t status = rpc::RpcNetworkIsProtseqValid(protseq); status != 0) {
      last_status = status;
      continue;
    }
    std::string string_binding;
    if (uint32_t status =
            rpc::RpcStringBindingCompose("", protseq, address, "", "", &string_binding);
        status != 0) {
      last_status = status;
      continue;
    }
    // From here on a failure ends the routine: no further entry is tried.
    uint32_t status = rpc::RpcBindingFromStringBinding(string_binding, binding);
    if (status == 0) status = rpc::RpcEpResolveBinding(*binding, iface);
    return status == 0 ? 0 : HResultFromWin32(status);
  }
  return HResultFromWin32(last_status);
}

}  // namespace qz
