// interface_server.h -- server-side dispatch of a described interface.
//
// InterfaceServer is the runtime Dispatcher for one interface of the
// procedure table: it decodes a request with the procedure engine, runs the
// handler registered for the opnum and encodes the response. Requests that
// do not decode are faulted with 1783 (bad stub data) before any handler
// runs. A handler reports a fault by throwing HandlerFault, or asks the
// runtime to drop the connection by throwing DropConnection.
//
// Thread-safety: handlers must be registered before the server starts;
// Dispatch may then run on many threads at once.
#ifndef QZ_INTERFACES_INTERFACE_SERVER_H_
#define QZ_INTERFACES_INTERFACE_SERVER_H_

#include <cstdint>
#include <functional>
#include <vector>

#include "interfaces/interfaces.h"
#include "rpc/proc.h"
#include "rpc/server.h"

namespace qz::ifc {

struct HandlerFault {
  uint32_t status;
};
struct DropConnection {};

using Handler = std::function<int32_t(const rpc::CallContext& ctx, rpc::ServerArgs& args)>;

class InterfaceServer : public rpc::Dispatcher {
 public:
  explicit InterfaceServer(const InterfaceDesc& iface);

  const InterfaceDesc& interface_desc() const { return iface_; }
  void SetHandler(uint16_t opnum, Handler handler);
  // Runs for every opnum without a handler of its own.
  void SetDefaultHandler(Handler handler);

  uint16_t ProcedureCount() const override;
  rpc::DispatchResult Dispatch(const rpc::CallContext& ctx, uint16_t opnum,
                               std::span<const uint8_t> stub, rpc::Drep drep) override;

 private:
  const InterfaceDesc& iface_;
  std::vector<Handler> handlers_;
  Handler default_handler_;
};

}  // namespace qz::ifc

#endif  // QZ_INTERFACES_INTERFACE_SERVER_H_
