// records.cc -- record sizes, count conversions and list walkers.
// Thread-safety: pure functions.
#include "rpc/records.h"

#include <cstring>

namespace qz::rpc::records {

std::optional<size_t> SystemConfigSectionSize(int32_t section) {
  constexpr int32_t kSections =
      static_cast<int32_t>(sizeof kSystemConfigSectionSizes / sizeof kSystemConfigSectionSizes[0]);
  if (section < 0 || section >= kSections) return std::nullopt;
  return kSystemConfigSectionSizes[section];
}

int32_t LoadLe32(const uint8_t* p) {
  uint32_t v = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
               static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  return static_cast<int32_t>(v);
}

void StoreLe32(uint8_t* p, int32_t v) {
  uint32_t u = static_cast<uint32_t>(v);
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
}

uint32_t ServerInfoRights(std::span<const uint8_t, kServerInfoSize> info, int index) {
  if (index < 0 || index >= serverinfo::kRightsCount) return 0;
  return static_cast<uint32_t>(LoadLe32(info.data() + serverinfo::kRights + 4 * index));
}

int32_t ServerInfoSessionNo(std::span<const uint8_t, kServerInfoSize> info) {
  return LoadLe32(info.data() + serverinfo::kSessionNo);
}

void SessionKeyFromServerInfo(std::span<const uint8_t, kServerInfoSize> info,
                              std::span<uint8_t, kSessionKeySize> key) {
  std::memset(key.data(), 0, key.size());
  const char* id = reinterpret_cast<const char*>(info.data() + serverinfo::kUserId);
  std::memcpy(key.data(), id, ::strnlen(id, kSessionKeyUserIdSize - 1));
  StoreLe32(key.data() + kSessionKeyUserIdSize, ServerInfoSessionNo(info));
}

std::optional<int32_t> RecordBytes(int64_t count, size_t record_size) {
  if (count < 0) return std::nullopt;
  uint64_t bytes = static_cast<uint64_t>(count) * record_size;
  if (record_size != 0 && bytes / record_size != static_cast<uint64_t>(count)) return std::nullopt;
  if (bytes > kMaxBlockBytes) return std::nullopt;
  return static_cast<int32_t>(bytes);
}

int32_t RecordCount(int64_t bytes, size_t record_size) {
  if (bytes <= 0 || record_size == 0) return 0;
  return static_cast<int32_t>(static_cast<uint64_t>(bytes) / record_size);
}

ListReader SpanReader(std::span<const uint8_t> block) {
  return [block](uint64_t offset, void* out, size_t n) {
    if (offset > block.size() || n > block.size() - offset) return false;
    if (n != 0) std::memcpy(out, block.data() + offset, n);
    return true;
  };
}

ListWalk MeasureList(uint32_t n, const ListReader& read, uint64_t limit) {
  ListWalk walk;
  for (uint32_t i = 0; i < n; ++i) {
    uint8_t field[4];
    uint8_t last;
    if (!read(walk.bytes, field, sizeof field)) {
      walk.ok = false;
      break;
    }
    uint32_t length = static_cast<uint32_t>(LoadLe32(field));
    // A length below the field itself would stall the walk (0) or step
    // back into the record; a total past the limit cannot be sent.
    if (length < kMinRecordLength || walk.bytes + length > limit ||
        !read(walk.bytes + length - 1, &last, 1)) {
      walk.ok = false;
      break;
    }
    walk.bytes += length;
    ++walk.count;
  }
  return walk;
}

ListWalk CountList(std::span<const uint8_t> block) {
  ListWalk walk;
  uint64_t remaining = block.size();
  while (remaining > 0) {
    if (remaining < kMinRecordLength) {
      walk.ok = false;
      break;
    }
    uint32_t length = static_cast<uint32_t>(LoadLe32(block.data() + walk.bytes));
    if (length < kMinRecordLength || length > remaining) {
      walk.ok = false;
      break;
    }
    walk.bytes += length;
    remaining -= length;
    ++walk.count;
  }
  return walk;
}

ListWalk MeasureTransferRequest(uint32_t fax_num, const ListReader& read, uint64_t limit) {
  ListWalk walk;
  uint64_t total = 0;
  for (uint32_t i = 0; i < fax_num; ++i) {
    uint8_t field[4];
    if (!read(static_cast<uint64_t>(i) * kTransferFaxHeaderSize + transferfax::kItemCount, field,
              sizeof field)) {
      return ListWalk{0, 0, false};
    }
    int32_t items = LoadLe32(field);
    if (items < 0) return ListWalk{0, 0, false};
    total += kTransferFaxHeaderSize + kTransferFaxItemSize * static_cast<uint64_t>(items);
    if (total > limit) return ListWalk{0, 0, false};
  }
  uint8_t last;
  if (total > 0 && !read(total - 1, &last, 1)) return ListWalk{0, 0, false};
  walk.bytes = total;
  walk.count = fax_num;
  return walk;
}

}  // namespace qz::rpc::records
