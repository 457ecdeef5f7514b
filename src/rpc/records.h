// records.h -- the record blocks that travel as byte arrays: sizes, the
// offsets of the fields the library itself reads or writes, conversions
// between record counts and byte counts, and walkers over lists of
// length-prefixed records (each record's first 32-bit field is its own
// total length).
//
// Records are little-endian, laid end to end without gaps; the library
// touches only the fields named here, every other byte is the server's.
//
// Thread-safety: constants and pure functions; a walker reads memory only
// through the reader it is given, on the calling thread.
#ifndef QZ_RPC_RECORDS_H_
#define QZ_RPC_RECORDS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "qzcsif/qzcsif.h"

namespace qz::rpc::records {

// ---- record sizes (bytes) ----

inline constexpr size_t kSessionKeySize = QZ_SIZEOF_SESSIONKEY;
inline constexpr size_t kSessionKeyUserIdSize = 20;  // at most 19 characters and the NUL
inline constexpr size_t kServerInfoSize = QZ_SIZEOF_SERVERINFO;
inline constexpr size_t kUserInfoSize = QZ_SIZEOF_USERINFO_TABLE;
inline constexpr size_t kSendResultSize = QZ_SIZEOF_SENDRESULT_TABLE;
inline constexpr size_t kTransferFaxHeaderSize = QZ_SIZEOF_TRANSFERFAX_TABLE;
inline constexpr size_t kTransferFaxItemSize = QZ_SIZEOF_TRANSFERFAX_ITEM;
inline constexpr size_t kFolderInfoSize = QZ_SIZEOF_FOLDERINFO_TABLE;
inline constexpr size_t kAddrRelationSize = QZ_SIZEOF_ADDRRELATION_TABLE;
inline constexpr size_t kAdviseInfoSize = QZ_SIZEOF_ADVISEINFO;
inline constexpr size_t kUnadviseInfoSize = QZ_SIZEOF_UNADVISEINFO;
inline constexpr size_t kConnSendItemSize = QZ_SIZEOF_CONNSENDITEM;
inline constexpr size_t kIdSize = 4;  // one 32-bit fax or task ID in an ID list

// System configuration sections 0..6 (section 3 is 110 bytes, not 112).
inline constexpr size_t kSystemConfigSectionSizes[] = {1560, 24, 1044, 110, 164, 288, 4012};
// The size of section `section`, or nullopt outside 0..6.
std::optional<size_t> SystemConfigSectionSize(int32_t section);

// ---- SERVERINFO (1680 bytes) as the server sends it ----
namespace serverinfo {
inline constexpr size_t kFirstValue = 0;     // 32-bit
inline constexpr size_t kHostName = 4;       // text, 31 bytes with the NUL
inline constexpr size_t kHostNameSize = 31;
inline constexpr size_t kText35 = 35;        // text, 20 bytes
inline constexpr size_t kText35Size = 20;
inline constexpr size_t kText55 = 55;        // text, 31 bytes
inline constexpr size_t kText55Size = 31;
inline constexpr size_t kText86 = 86;        // text, 20 bytes
inline constexpr size_t kText86Size = 20;
inline constexpr size_t kText106 = 106;      // text, 65 bytes
inline constexpr size_t kText106Size = 65;
inline constexpr size_t kValue172 = 172;     // 16-byte value
inline constexpr size_t kValue172Size = 16;
inline constexpr size_t kSessionNo = 684;    // 32-bit: becomes SESSIONKEY.dwSessionNo
inline constexpr size_t kValue692 = 692;     // 16-byte value
inline constexpr size_t kValue692Size = 16;
inline constexpr size_t kUserInfo = 708;     // the user's own USERINFO_TABLE (972 bytes)
inline constexpr size_t kUserId = 709;       // its user identifier text
inline constexpr size_t kRights = 1664;      // dwRights[0..3], four 32-bit masks
inline constexpr int kRightsCount = 4;
}  // namespace serverinfo

// ---- USERINFO_TABLE (972 bytes) ----
namespace userinfo {
inline constexpr size_t kUserId = 1;   // user identifier text
inline constexpr size_t kRights = 956; // dwRights[0..3]
}  // namespace userinfo

// ---- the session's 1180-byte cached copy of SERVERINFO ----
namespace cache {
inline constexpr size_t kSize = 1180;
inline constexpr size_t kSessionNo = 188;
inline constexpr size_t kValue692 = 192;
inline constexpr size_t kUserInfo = 208;
inline constexpr size_t kRights = 1164;  // kUserInfo + userinfo::kRights
}  // namespace cache

// One part of SERVERINFO that the cache keeps. Text parts are copied with
// the bound `size` including the NUL; the others byte for byte.
struct CachedPart {
  size_t info_offset;
  size_t cache_offset;
  size_t size;
  bool text;
};
inline constexpr CachedPart kCachedParts[] = {
    {serverinfo::kFirstValue, 0, 4, false},
    {serverinfo::kHostName, 4, serverinfo::kHostNameSize, true},
    {serverinfo::kText35, 35, serverinfo::kText35Size, true},
    {serverinfo::kText55, 55, serverinfo::kText55Size, true},
    {serverinfo::kText86, 86, serverinfo::kText86Size, true},
    {serverinfo::kText106, 106, serverinfo::kText106Size, true},
    {serverinfo::kValue172, 172, serverinfo::kValue172Size, false},
    {serverinfo::kSessionNo, cache::kSessionNo, 4, false},
    {serverinfo::kValue692, cache::kValue692, serverinfo::kValue692Size, false},
    {serverinfo::kUserInfo, cache::kUserInfo, kUserInfoSize, false},
};

// ---- fields inside other records ----
namespace folderinfo {
inline constexpr size_t kClass = 4;  // 32-bit folder class 0..2
inline constexpr size_t kKind = 68;  // 32-bit folder kind 1..8
}  // namespace folderinfo
namespace transferfax {
inline constexpr size_t kItemCount = 4;  // items that follow for this header
}  // namespace transferfax
namespace adviseinfo {
inline constexpr size_t kValue8 = 8;  // must not be 0
}  // namespace adviseinfo

// Little-endian 32-bit access to record bytes.
int32_t LoadLe32(const uint8_t* p);
void StoreLe32(uint8_t* p, int32_t v);

// dwRights[index] (0..3) of a SERVERINFO; the session number at 684.
uint32_t ServerInfoRights(std::span<const uint8_t, kServerInfoSize> info, int index);
int32_t ServerInfoSessionNo(std::span<const uint8_t, kServerInfoSize> info);

// The session key a SERVERINFO implies: szUserID from the text at 709 (at
// most 19 characters, then NUL; the rest of the 20 bytes zero) and
// dwSessionNo from 684 (stored little-endian at key byte 20).
void SessionKeyFromServerInfo(std::span<const uint8_t, kServerInfoSize> info,
                              std::span<uint8_t, kSessionKeySize> key);

// ---- count conversions ----

// count * record_size as a wire byte count; nullopt when count is negative
// or the product does not fit a 32-bit signed count.
std::optional<int32_t> RecordBytes(int64_t count, size_t record_size);
// Whole records in `bytes` (integer division; a partial record does not
// count). 0 for a negative byte count or a record size of 0.
int32_t RecordCount(int64_t bytes, size_t record_size);

// ---- length-prefixed lists ----

struct ListWalk {
  uint64_t bytes = 0;  // total length of the whole records walked
  uint32_t count = 0;  // number of whole records walked
  bool ok = true;      // false: stopped early (see the walkers)
};

// Reads `n` bytes at `offset` from the start of a caller's list into `out`;
// false when that memory cannot be read. Lets the caller plug in a probe
// that survives unmapped memory.
using ListReader = std::function<bool(uint64_t offset, void* out, size_t n)>;
// A reader over an in-memory block: false for anything outside it.
ListReader SpanReader(std::span<const uint8_t> block);

inline constexpr uint64_t kMaxBlockBytes = 0x7FFFFFFF;  // a block count is 32-bit signed
inline constexpr uint32_t kMinRecordLength = 4;        // the length field itself

// Sending: the byte length of `n` length-prefixed records starting at
// offset 0 (the sum of their length fields). Stops with ok = false at a
// length field that cannot be read, a length below 4, a record whose last
// byte cannot be read, or a total above `limit`; bytes and count then
// describe the records before the bad one.
ListWalk MeasureList(uint32_t n, const ListReader& read, uint64_t limit = kMaxBlockBytes);

// Receiving: counts the records in a block of block.size() bytes. Stops
// with ok = false at a length below 4, a record running past the end of
// the block, or fewer than 4 bytes left for a length field; bytes and
// count then describe the records before it. An empty block is 0 records.
ListWalk CountList(std::span<const uint8_t> block);

// The transfer request: `fax_num` 12-byte headers, then all their 164-byte
// items; length = sum over the headers of 12 + 164 * (count at offset 4).
// ok = false (bytes 0) when a header cannot be read, a count is negative,
// the total exceeds `limit` or the request's last byte cannot be read.
ListWalk MeasureTransferRequest(uint32_t fax_num, const ListReader& read,
                                uint64_t limit = kMaxBlockBytes);

}  // namespace qz::rpc::records

#endif  // QZ_RPC_RECORDS_H_
