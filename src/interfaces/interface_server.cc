// interface_server.cc -- decode, run the handler, encode.
#include "interfaces/interface_server.h"

#include <exception>

namespace qz::ifc {
namespace {

// Faults a handler's unexpected failure with nca_s_fault_unspec, the status
// a runtime sends when a manager routine fails without a code of its own.
constexpr uint32_t kFaultUnspecified = 0x1C000012;
constexpr uint32_t kFaultBadStubData = 0x000006F7;
// Reported when a procedure has no handler at all (no default either).
constexpr uint32_t kFaultOpRangeError = 0x1C010002;

}  // namespace

InterfaceServer::InterfaceServer(const InterfaceDesc& iface)
    : iface_(iface), handlers_(iface.count) {}

void InterfaceServer::SetHandler(uint16_t opnum, Handler handler) {
  handlers_.at(opnum) = std::move(handler);
}

void InterfaceServer::SetDefaultHandler(Handler handler) { default_handler_ = std::move(handler); }

uint16_t InterfaceServer::ProcedureCount() const { return iface_.count; }

rpc::DispatchResult InterfaceServer::Dispatch(const rpc::CallContext& ctx, uint16_t opnum,
                                              std::span<const uint8_t> stub, rpc::Drep drep) {
  rpc::DispatchResult result;
  if (opnum >= iface_.count) {
    result.kind = rpc::DispatchResult::Kind::kFault;
    result.fault_status = kFaultOpRangeError;
    return result;
  }
  const rpc::ProcDesc& proc = iface_.procs[opnum];
  rpc::ServerArgs args;
  if (!rpc::UnmarshalRequest(proc, stub, drep, &args)) {
    result.kind = rpc::DispatchResult::Kind::kFault;
    result.fault_status = kFaultBadStubData;
    return result;
  }
  const Handler& handler = handlers_[opnum] ? handlers_[opnum] : default_handler_;
  if (!handler) {
    result.kind = rpc::DispatchResult::Kind::kFault;
    result.fault_status = kFaultOpRangeError;
    return result;
  }
  try {
    int32_t status = handler(ctx, args);
    result.stub = rpc::MarshalResponse(proc, args, status);
  } catch (const HandlerFault& fault) {
    result.kind = rpc::DispatchResult::Kind::kFault;
    result.fault_status = fault.status;
  } catch (const DropConnection&) {
    result.kind = rpc::DispatchResult::Kind::kDropConnection;
  } catch (const std::exception&) {
    result.kind = rpc::DispatchResult::Kind::kFault;
    result.fault_status = kFaultUnspecified;
  }
  return result;
}

}  // namespace qz::ifc
