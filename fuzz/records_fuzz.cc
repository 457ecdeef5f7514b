// records_fuzz.cc -- libFuzzer target for the walkers over length-prefixed
// record lists and the transfer request. The input's first four bytes are
// the record (or header) count to walk, the rest is the block; the walk
// limit is the block's size or a smaller one taken from the count's top
// byte. Every walk must stay within the block and the limit, describe only
// whole records, and agree with itself: the sending walk over n records
// must end where the receiving count over the same bytes says.
// Thread-safety: single-threaded, as libFuzzer runs it.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "rpc/records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qz::rpc::records;
  if (size < 4) return 0;
  const uint32_t head = static_cast<uint32_t>(LoadLe32(data));
  const std::span<const uint8_t> block(data + 4, size - 4);
  const uint32_t n = head & 0xFFFF;  // enough to run past any block
  const uint64_t limit = (head >> 31) ? (head >> 16 & 0x7FFF) : kMaxBlockBytes;
  const ListReader read = SpanReader(block);

  const ListWalk sent = MeasureList(n, read, limit);
  if (sent.bytes > block.size() || sent.bytes > limit || sent.count > n) std::abort();
  if (sent.ok != (sent.count == n)) std::abort();

  const ListWalk got = CountList(block);
  if (got.bytes > block.size() || (got.ok && got.bytes != block.size())) std::abort();
  // Over exactly the records the sending walk measured, the receiving
  // walk finds the same records.
  if (sent.ok) {
    const ListWalk again = CountList(block.first(sent.bytes));
    if (!again.ok || again.count != sent.count || again.bytes != sent.bytes) std::abort();
  }

  const ListWalk transfer = MeasureTransferRequest(n & 0xFF, read, limit);
  if (transfer.ok) {
    if (transfer.bytes > block.size() || transfer.bytes > limit) std::abort();
    if (transfer.count != (n & 0xFF)) std::abort();
    if (transfer.count == 0 && transfer.bytes != 0) std::abort();
  } else if (transfer.bytes != 0 || transfer.count != 0) {
    std::abort();
  }
  return 0;
}
