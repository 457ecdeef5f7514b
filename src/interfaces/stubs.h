// stubs.h -- client stubs of both interfaces, generated from the table.
//
// For every row of procedures.inc there is a stub `rpcXxx(binding, ...)`
// taking the procedure's parameters in order (rpcReserved2, bound through
// the automatic handle, takes none). The argument types are checked at
// compile time against the shapes; the call marshals through the procedure
// engine, sends on the binding and unmarshals the reply. A stub returns the
// procedure's long result and throws qz::RpcException on any failure
// (1780 for a null reference before anything is sent).
//
// Thread-safety: stubs keep no state; one binding may carry calls from
// several threads. SetMemoryRoutines must be called before concurrent use.
#ifndef QZ_INTERFACES_STUBS_H_
#define QZ_INTERFACES_STUBS_H_

#include <cstdint>
#include <type_traits>
#include <utility>

#include "interfaces/interfaces.h"
#include "rpc/binding_api.h"
#include "rpc/proc.h"

namespace qz::ifc {

// Routines through which reply blocks are allocated (the library plugs in
// RDMemAlloc / RDMemFree); the default is the C heap.
void SetMemoryRoutines(const rpc::MemoryRoutines& routines);
const rpc::MemoryRoutines& GetMemoryRoutines();

// Binding used by procedures declared with the automatic handle.
void SetAutomaticBinding(rpc::BindingHandle binding);

// Marshals, sends and unmarshals one call of `proc`; args[0] is unused.
int32_t CallProcedure(rpc::BindingHandle binding, const InterfaceDesc& iface,
                      const rpc::ProcDesc& proc, rpc::ArgSlot* args);

namespace detail {

template <typename A>
inline constexpr bool kIsPointerLike = std::is_pointer_v<A> || std::is_null_pointer_v<A>;

template <typename A>
void* AsVoid(A a) {
  if constexpr (std::is_null_pointer_v<A>) {
    return nullptr;
  } else {
    return const_cast<void*>(static_cast<const void*>(a));
  }
}

// Converts one stub argument to its slot, checking it fits the shape.
template <rpc::Shape S, typename A>
rpc::ArgSlot ToSlot(A& a) {
  using rpc::Shape;
  rpc::ArgSlot slot;
  slot.ptr = nullptr;
  if constexpr (S == Shape::kLong) {
    static_assert(std::is_integral_v<A> || std::is_enum_v<A>, "long parameter needs an integer");
    slot.value = static_cast<int32_t>(a);
  } else if constexpr (S == Shape::kGuid) {
    static_assert(std::is_same_v<std::remove_cv_t<A>, rpc::Guid16>, "GUID parameter");
    slot.ptr = const_cast<rpc::Guid16*>(&a);
  } else if constexpr (S == Shape::kKey || S == Shape::kKeyOut) {
    static_assert(kIsPointerLike<A>, "key parameter needs a SESSIONKEY pointer");
    if constexpr (!std::is_null_pointer_v<A>)
      static_assert(sizeof(std::remove_pointer_t<A>) == 24, "key parameter needs a SESSIONKEY");
    slot.ptr = AsVoid(a);
  } else if constexpr (S == Shape::kText || S == Shape::kSizedText || S == Shape::kChar) {
    static_assert(std::is_convertible_v<A, const char*>, "text parameter needs a char pointer");
    slot.ptr = AsVoid(static_cast<const char*>(a));
  } else if constexpr (S == Shape::kReply || S == Shape::kReplyOut) {
    static_assert(std::is_null_pointer_v<A> ||
                      (std::is_pointer_v<A> && std::is_pointer_v<std::remove_pointer_t<A>>),
                  "reply parameter needs a pointer to a pointer");
    slot.ptr = AsVoid(a);
  } else if constexpr (S == Shape::kCount || S == Shape::kCountOut) {
    static_assert(std::is_null_pointer_v<A> ||
                      (std::is_pointer_v<A> && std::is_integral_v<std::remove_pointer_t<A>> &&
                       sizeof(std::remove_pointer_t<A>) == 4),
                  "count parameter needs a pointer to a 32-bit integer");
    slot.ptr = AsVoid(a);
  } else if constexpr (S == Shape::kConnSendInfo) {
    static_assert(std::is_convertible_v<A, const rpc::ConnSendInfo*>, "CONNSENDINFO pointer");
    slot.ptr = AsVoid(static_cast<const rpc::ConnSendInfo*>(a));
  } else if constexpr (S == Shape::kPrintToTiff) {
    static_assert(std::is_convertible_v<A, rpc::PrintToTiffInfo*>, "PRINTTOTIFFINFO pointer");
    slot.ptr = AsVoid(static_cast<rpc::PrintToTiffInfo*>(a));
  } else if constexpr (S == Shape::kIoBlock || S == Shape::kIoBlockRef) {
    static_assert(std::is_null_pointer_v<A> ||
                      (std::is_pointer_v<A> && !std::is_const_v<std::remove_pointer_t<A>>),
                  "in/out block needs a writable pointer");
    slot.ptr = AsVoid(a);
  } else {  // kBlock, kIds, kCvArray
    static_assert(kIsPointerLike<A>, "block parameter needs a pointer");
    slot.ptr = AsVoid(a);
  }
  return slot;
}

template <const auto& Table, uint16_t Op, typename... A, size_t... I>
int32_t InvokeImpl(rpc::BindingHandle h, const InterfaceDesc& iface, std::index_sequence<I...>,
                   A&... a) {
  constexpr const rpc::ProcDesc& proc = Table[Op];
  static_assert(sizeof...(A) == proc.param_count, "wrong number of arguments for procedure");
  rpc::ArgSlot slots[rpc::kMaxParams + 1] = {};
  ((slots[I + 1] = ToSlot<proc.params[I].shape>(a)), ...);
  return CallProcedure(h, iface, proc, slots);
}

template <const auto& Table, uint16_t Op, typename... A>
int32_t Invoke(rpc::BindingHandle h, const InterfaceDesc& iface, A&... a) {
  return InvokeImpl<Table, Op>(h, iface, std::index_sequence_for<A...>{}, a...);
}

}  // namespace detail

rpc::BindingHandle AutomaticBinding();

#define QZ_STUB_(op, name, ...)                                                    \
  template <typename... A>                                                         \
  int32_t name(rpc::BindingHandle binding, A... args) {                            \
    return detail::Invoke<kMainProcedures, op>(binding, MainInterface(), args...); \
  }
#define QZ_STUB_AUTO_(op, name) \
  inline int32_t name() { return detail::Invoke<kMainProcedures, op>(AutomaticBinding(), MainInterface()); }
QZ_MAIN_PROCEDURES(QZ_STUB_, QZ_STUB_AUTO_)
#undef QZ_STUB_
#undef QZ_STUB_AUTO_

#define QZ_SVC_STUB_(op, name, ...)                                              \
  template <typename... A>                                                       \
  int32_t name(rpc::BindingHandle binding, A... args) {                          \
    return detail::Invoke<kServiceControlProcedures, op>(binding, ServiceControlInterface(), \
                                                         args...);               \
  }
QZ_SERVICE_CONTROL_PROCEDURES(QZ_SVC_STUB_)
#undef QZ_SVC_STUB_

}  // namespace qz::ifc

#endif  // QZ_INTERFACES_STUBS_H_
