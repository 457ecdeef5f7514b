// interfaces.cc -- interface identities of the two procedure tables.
#include "interfaces/interfaces.h"

#include <cstring>
#include <iterator>

namespace qz::ifc {
namespace {

rpc::SyntaxId MakeId(const char* uuid) {
  rpc::SyntaxId id;
  id.uuid = *rpc::Uuid::Parse(uuid);
  id.major = 1;
  id.minor = 0;
  return id;
}

}  // namespace

const InterfaceDesc& MainInterface() {
  static const InterfaceDesc desc{"qzfax", MakeId("0a382c88-ff39-419c-a696-022f6e695506"),
                                  kMainProcedures,
                                  static_cast<uint16_t>(std::size(kMainProcedures))};
  return desc;
}

const InterfaceDesc& ServiceControlInterface() {
  static const InterfaceDesc desc{"qzsvc", MakeId("6238dc00-af17-11cd-b799-00aa003cd575"),
                                  kServiceControlProcedures,
                                  static_cast<uint16_t>(std::size(kServiceControlProcedures))};
  return desc;
}

const rpc::ProcDesc* FindProcedure(const InterfaceDesc& iface, const char* name) {
  for (uint16_t i = 0; i < iface.count; ++i)
    if (std::strcmp(iface.procs[i].name, name) == 0) return &iface.procs[i];
  return nullptr;
}

}  // namespace qz::ifc
