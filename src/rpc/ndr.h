// ndr.h -- NDR 2.0 push and pull cursors.
//
// NdrPush appends primitives to a growing buffer, aligning each to its
// size (padding bytes are zero); NdrPull reads them back from a received
// stub, honouring the sender's data representation (byte order) and
// checking every read against the bytes actually present. Alignment is
// counted from the start of the stub. Every NdrPull read returns false
// (and reads nothing) when the data would run past the end; callers must
// check it ([[nodiscard]]); a failed composite read (string, UUID) leaves
// the position where it was. Counts are never trusted for allocation: the
// helpers that read arrays check count * element size against what is left.
//
// Thread-safety: a cursor belongs to one thread; distinct cursors are
// independent.
#ifndef QZ_RPC_NDR_H_
#define QZ_RPC_NDR_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "rpc/types.h"

namespace qz::rpc {

class NdrPush {
 public:
  NdrPush() = default;
  explicit NdrPush(std::vector<uint8_t>* out);  // appends to *out (stub starts at out->size() on entry)
  // Not copyable: a cursor may point at its own buffer.
  NdrPush(const NdrPush&) = delete;
  NdrPush& operator=(const NdrPush&) = delete;

  void Align(size_t n);
  void U8(uint8_t v);
  void U16(uint16_t v);
  void U32(uint32_t v);
  void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
  void U64(uint64_t v);
  void F64(double v);
  void Bytes(const void* p, size_t n);
  void Zeros(size_t n);
  void Uuid(const qz::rpc::Uuid& u);  // aligned to 4
  // Conformant varying string of 8-bit characters: max, offset 0, actual,
  // characters including the NUL (max = actual = strlen + 1).
  void String(const char* s);
  // Varying string (offset 0, actual, chars + NUL) without a max count.
  void VaryingString(const char* s);

  size_t size() const { return buf_->size() - base_; }
  std::vector<uint8_t>& buffer() { return *buf_; }
  std::vector<uint8_t> Take() { return std::move(*buf_); }
  // Room for n more bytes without another allocation (a large buffer is
  // advised for huge pages before it is filled).
  void Reserve(size_t n) { Room(n); }

 private:
  void Room(size_t n) {
    if (buf_->capacity() - buf_->size() < n) platform::ReserveMore(buf_, n);
  }
  std::vector<uint8_t> own_;
  std::vector<uint8_t>* buf_ = &own_;
  size_t base_ = 0;
};

class NdrPull {
 public:
  NdrPull(std::span<const uint8_t> data, Drep drep) : data_(data), drep_(drep) {}
  // A stub that arrived in pieces, `first`, `second` then `third`:
  // positions and alignment count from the start of `first`; a read that
  // would span a seam fails (a View starting at a seam is a view of the
  // next non-empty piece), and after a failed read the position is
  // unspecified.
  NdrPull(std::span<const uint8_t> first, std::span<const uint8_t> second,
          std::span<const uint8_t> third, Drep drep)
      : data_(first), next_{second, third}, pieces_(2), drep_(drep) {}

  [[nodiscard]] bool Align(size_t n);
  [[nodiscard]] bool U8(uint8_t* v);
  [[nodiscard]] bool U16(uint16_t* v);
  [[nodiscard]] bool U32(uint32_t* v);
  [[nodiscard]] bool I32(int32_t* v);
  [[nodiscard]] bool U64(uint64_t* v);
  [[nodiscard]] bool F64(double* v);
  // Raw bytes (never swapped).
  [[nodiscard]] bool Bytes(void* p, size_t n);
  [[nodiscard]] bool Skip(size_t n);
  // A view of the next n bytes without copying.
  [[nodiscard]] bool View(size_t n, std::span<const uint8_t>* out);
  [[nodiscard]] bool Uuid(qz::rpc::Uuid* u);
  // Conformant varying string: checks offset 0, actual <= max, actual >= 1,
  // the NUL at the end and no NUL before it is tolerated (text ends at the
  // first NUL). max_limit bounds the maximum count (0 = no bound besides
  // the data present).
  [[nodiscard]] bool String(std::string* s, uint32_t max_limit = 0);
  // Varying string (offset 0, actual, chars ending in NUL): the same checks;
  // limit bounds the actual count (the size of a fixed text field; 0 = no
  // bound besides the data present).
  [[nodiscard]] bool VaryingString(std::string* s, uint32_t limit);

  size_t position() const { return base_ + pos_; }
  size_t remaining() const {
    size_t n = data_.size() - pos_;
    for (int i = next_index_; i < pieces_; ++i) n += next_[i].size();
    return n;
  }
  Drep drep() const { return drep_; }

 private:
  // Bytes readable in one piece from the position (moving on to the
  // second piece when the first is used up).
  size_t Contiguous();
  std::span<const uint8_t> data_;
  std::span<const uint8_t> next_[2];  // the later pieces, until reached
  int pieces_ = 0, next_index_ = 0;
  Drep drep_;
  size_t base_ = 0;  // position of data_[0] in the stub
  size_t pos_ = 0;
};

}  // namespace qz::rpc

#endif  // QZ_RPC_NDR_H_
