// stubs.cc -- the one call path shared by every client stub.
#include "interfaces/stubs.h"

#include <atomic>
#include <cstdlib>

#include "core/rpc_exception.h"
#include "rpc/client.h"

namespace qz::ifc {
namespace {

void* HeapAllocate(size_t size) { return size == 0 ? nullptr : std::calloc(1, size); }
void HeapRelease(void* p) { std::free(p); }

std::atomic<void* (*)(size_t)> g_allocate{&HeapAllocate};
std::atomic<void (*)(void*)> g_release{&HeapRelease};
std::atomic<rpc::BindingHandle> g_auto_binding{nullptr};

}  // namespace

void SetMemoryRoutines(const rpc::MemoryRoutines& routines) {
  g_allocate.store(routines.allocate);
  g_release.store(routines.release);
}

const rpc::MemoryRoutines& GetMemoryRoutines() {
  thread_local rpc::MemoryRoutines current;
  current = rpc::MemoryRoutines{g_allocate.load(), g_release.load()};
  return current;
}

void SetAutomaticBinding(rpc::BindingHandle binding) { g_auto_binding.store(binding); }
rpc::BindingHandle AutomaticBinding() { return g_auto_binding.load(); }

int32_t CallProcedure(rpc::BindingHandle binding, const InterfaceDesc& iface,
                      const rpc::ProcDesc& proc, rpc::ArgSlot* args) {
  // Null references are refused before anything else, as the engine does
  // while encoding; a missing binding is the next failure.
  std::vector<uint8_t> request = rpc::MarshalRequest(proc, args);
  if (binding == nullptr) RaiseRpcException(rpc::status::kInvalidBinding);
  // A reply array the caller receives is read straight into its block.
  rpc::PlacedReply reply(GetMemoryRoutines(), rpc::ReplyLead(proc, args));
  binding->Call(iface.id, proc.opnum, request, &reply);
  return rpc::UnmarshalResponse(proc, &reply, args);
}

}  // namespace qz::ifc
