// interfaces.h -- the two RPC interfaces of the fax server, as data.
//
// kMainProcedures describes the 102 procedures of the main interface and
// kServiceControlProcedures the 6 of the service-control interface: opnum,
// name and parameter shapes, expanded from procedures.inc. The client stubs
// (stubs.h) and the server dispatch (interface_server.h) are both driven by
// these tables; no procedure has marshalling code of its own.
// Thread-safety: compile-time constants.
#ifndef QZ_INTERFACES_INTERFACES_H_
#define QZ_INTERFACES_INTERFACES_H_

#include <cstdint>
#include <initializer_list>

#include "interfaces/procedures.inc"
#include "rpc/proc.h"
#include "rpc/types.h"

namespace qz::ifc {

struct InterfaceDesc {
  const char* name;
  rpc::SyntaxId id;
  const rpc::ProcDesc* procs;  // procs[i].opnum == i
  uint16_t count;
};

namespace table {

constexpr rpc::ProcDesc Proc(uint16_t opnum, const char* name, bool explicit_handle,
                             std::initializer_list<rpc::ParamDesc> params) {
  rpc::ProcDesc d{opnum, name, explicit_handle, static_cast<uint8_t>(params.size()), {}};
  int i = 0;
  for (const rpc::ParamDesc& p : params) d.params[i++] = p;
  return d;
}

// Shape words of procedures.inc.
#define QZ_SHAPE_(s, k) ::qz::rpc::ParamDesc{::qz::rpc::Shape::s, k}
#define KEY QZ_SHAPE_(kKey, 0)
#define KEY_OUT QZ_SHAPE_(kKeyOut, 0)
#define TEXT QZ_SHAPE_(kText, 0)
#define LONG QZ_SHAPE_(kLong, 0)
#define BLOCK(k) QZ_SHAPE_(kBlock, k)
#define IOBLOCK(k) QZ_SHAPE_(kIoBlock, k)
#define IOBLOCK_REF(k) QZ_SHAPE_(kIoBlockRef, k)
#define IDS(k) QZ_SHAPE_(kIds, k)
#define REPLY(k) QZ_SHAPE_(kReply, k)
#define REPLY_OUT(k) QZ_SHAPE_(kReplyOut, k)
#define COUNT QZ_SHAPE_(kCount, 0)
#define COUNT_OUT QZ_SHAPE_(kCountOut, 0)
#define CHAR QZ_SHAPE_(kChar, 0)
#define CONN_SEND_INFO QZ_SHAPE_(kConnSendInfo, 0)
#define PRINT_TO_TIFF QZ_SHAPE_(kPrintToTiff, 0)
#define GUID QZ_SHAPE_(kGuid, 0)
#define CV_ARRAY(k) QZ_SHAPE_(kCvArray, k)
#define SIZED_TEXT(k) QZ_SHAPE_(kSizedText, k)
#define QZ_ROW_(op, name, ...) Proc(op, #name, true, {__VA_ARGS__}),
#define QZ_ROW_AUTO_(op, name) Proc(op, #name, false, {}),

inline constexpr rpc::ProcDesc kMainProcedures[] = {QZ_MAIN_PROCEDURES(QZ_ROW_, QZ_ROW_AUTO_)};
inline constexpr rpc::ProcDesc kServiceControlProcedures[] = {
    QZ_SERVICE_CONTROL_PROCEDURES(QZ_ROW_)};

#undef QZ_ROW_
#undef QZ_ROW_AUTO_
#undef QZ_SHAPE_
#undef KEY
#undef KEY_OUT
#undef TEXT
#undef LONG
#undef BLOCK
#undef IOBLOCK
#undef IOBLOCK_REF
#undef IDS
#undef REPLY
#undef REPLY_OUT
#undef COUNT
#undef COUNT_OUT
#undef CHAR
#undef CONN_SEND_INFO
#undef PRINT_TO_TIFF
#undef GUID
#undef CV_ARRAY
#undef SIZED_TEXT

constexpr bool OpnumsMatchIndex(const rpc::ProcDesc* procs, int n) {
  for (int i = 0; i < n; ++i)
    if (procs[i].opnum != i) return false;
  return true;
}
static_assert(std::size(kMainProcedures) == 102);
static_assert(std::size(kServiceControlProcedures) == 6);
static_assert(OpnumsMatchIndex(kMainProcedures, 102));
static_assert(OpnumsMatchIndex(kServiceControlProcedures, 6));

}  // namespace table

using table::kMainProcedures;
using table::kServiceControlProcedures;

const InterfaceDesc& MainInterface();            // {0a382c88-ff39-419c-a696-022f6e695506} v1.0
const InterfaceDesc& ServiceControlInterface();  // {6238dc00-af17-11cd-b799-00aa003cd575} v1.0

// Looks a procedure up by name; null when the interface has none of that name.
const rpc::ProcDesc* FindProcedure(const InterfaceDesc& iface, const char* name);

}  // namespace qz::ifc

#endif  // QZ_INTERFACES_INTERFACES_H_
