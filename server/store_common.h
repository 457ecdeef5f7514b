// store_common.h -- small helpers shared by the message store, users and
// files units: fixed-width text fields, records in and out of blocks, reply
// blocks, the store's limits.
//
// Thread-safety: stateless functions.
#ifndef QZ_SERVER_STORE_COMMON_H_
#define QZ_SERVER_STORE_COMMON_H_

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "qzcsif/qzcsif.h"
#include "rpc/proc.h"
#include "server/engine_hooks.h"

namespace qz::faxd {

// Most records one block may carry into, or one reply out of, the store's
// procedures; and the largest block (drafts, user records) it takes.
struct StoreLimits {
  size_t max_records = 10000;
  size_t max_block = 1u << 20;
  size_t max_drafts_per_user = 1000;
};

// The text of a fixed field of `width` bytes; false when it holds no NUL
// (such a field is not a valid value).
inline bool FieldText(const char* field, size_t width, std::string* out) {
  const void* nul = std::memchr(field, 0, width);
  if (nul == nullptr) return false;
  out->assign(field, static_cast<const char*>(nul));
  return true;
}
template <size_t N>
bool FieldText(const char (&field)[N], std::string* out) {
  return FieldText(field, N, out);
}
// Writes at most N - 1 characters and NUL-pads the field.
template <size_t N>
void SetField(char (&field)[N], std::string_view text) {
  std::memset(field, 0, N);
  std::memcpy(field, text.data(), text.size() < N ? text.size() : N - 1);
}

// Record i of a block of whole records of type R.
template <typename R>
R RecordAt(const std::vector<uint8_t>& block, size_t i) {
  R r;
  std::memcpy(&r, block.data() + i * sizeof(R), sizeof(R));
  return r;
}
// Appends to a reply block; a large block grows on huge pages, so filling
// it costs few page faults.
inline void AppendBytes(std::vector<uint8_t>* out, std::span<const uint8_t> bytes) {
  platform::ReserveMore(out, bytes.size());
  out->insert(out->end(), bytes.begin(), bytes.end());
}
template <typename R>
void AppendRecord(std::vector<uint8_t>* out, const R& r) {
  AppendBytes(out, std::span(reinterpret_cast<const uint8_t*>(&r), sizeof(R)));
}

// The number of whole records of `size` bytes in a block that must hold
// 1..max of them exactly; 0 when it does not.
inline size_t WholeRecords(size_t bytes, size_t size, const StoreLimits& limits) {
  if (bytes == 0 || bytes % size != 0 || bytes / size > limits.max_records) return 0;
  return bytes / size;
}

// Sets a reply parameter and its count (null pointer for no bytes).
inline void SetReply(rpc::ServerValue& reply, rpc::ServerValue& count,
                     std::vector<uint8_t> bytes) {
  reply.present = !bytes.empty();
  count.number = static_cast<int32_t>(bytes.size());
  reply.bytes = std::move(bytes);
}

inline int64_t NowSeconds(const ServerContext& context) {
  return context.clock ? context.clock->NowMs() / 1000 : 0;
}

}  // namespace qz::faxd

#endif  // QZ_SERVER_STORE_COMMON_H_
