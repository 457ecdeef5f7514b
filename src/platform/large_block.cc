// large_block.cc -- large buffers backed by huge pages: the advice and a
// growth step for byte vectors that uses it. Kept apart from platform.cc
// so that the RPC runtime's fuzz builds take it without the rest.
//
// Thread-safety: both functions touch only the memory they are given.
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <new>

#include "platform/platform.h"

namespace qz::platform {

void AdviseLargeBlock(void* p, size_t size) {
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  if (p == nullptr || size < kLargeBlockBytes) return;
  const uintptr_t from = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t to = (reinterpret_cast<uintptr_t>(p) + size) & ~(kHuge - 1);
  if (to > from) (void)::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

void ReserveMore(std::vector<uint8_t>* v, size_t extra) {
  if (extra > v->max_size() - v->size()) throw std::bad_alloc();
  const size_t need = v->size() + extra;
  if (need <= v->capacity()) return;
  const size_t cap = std::max(need, v->capacity() > v->max_size() / 2 ? need : 2 * v->capacity());
  if (cap < kLargeBlockBytes) {
    v->reserve(cap);
    return;
  }
  // Reserved but not yet touched: advised before the bytes move in.
  std::vector<uint8_t> bigger;
  bigger.reserve(cap);
  AdviseLargeBlock(bigger.data(), cap);
  bigger.insert(bigger.end(), v->begin(), v->end());
  v->swap(bigger);
}

}  // namespace qz::platform
