// ndr.cc -- NDR 2.0 push and pull cursors.
// Thread-safety: a cursor belongs to one thread.
#include "rpc/ndr.h"

#include <cstring>

namespace qz::rpc {

// ---------------------------------------------------------------- NdrPush

NdrPush::NdrPush(std::vector<uint8_t>* out) : buf_(out), base_(out->size()) {}

void NdrPush::Align(size_t n) {
  if (n <= 1) return;
  size_t pad = (n - size() % n) % n;
  Room(pad);
  buf_->insert(buf_->end(), pad, 0);
}

void NdrPush::U8(uint8_t v) {
  Room(1);
  buf_->push_back(v);
}

void NdrPush::U16(uint16_t v) {
  Align(2);
  Room(2);
  buf_->push_back(static_cast<uint8_t>(v));
  buf_->push_back(static_cast<uint8_t>(v >> 8));
}

void NdrPush::U32(uint32_t v) {
  Align(4);
  Room(4);
  for (int i = 0; i < 4; ++i) buf_->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void NdrPush::U64(uint64_t v) {
  Align(8);
  Room(8);
  for (int i = 0; i < 8; ++i) buf_->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void NdrPush::F64(double v) {
  uint64_t bits;
  static_assert(sizeof bits == sizeof v);
  std::memcpy(&bits, &v, sizeof bits);
  U64(bits);
}

void NdrPush::Bytes(const void* p, size_t n) {
  if (n == 0) return;
  const uint8_t* b = static_cast<const uint8_t*>(p);
  Room(n);
  buf_->insert(buf_->end(), b, b + n);
}

void NdrPush::Zeros(size_t n) {
  Room(n);
  buf_->insert(buf_->end(), n, 0);
}

void NdrPush::Uuid(const qz::rpc::Uuid& u) {
  Align(4);
  U32(u.data1);
  U16(u.data2);
  U16(u.data3);
  Bytes(u.data4, sizeof u.data4);
}

void NdrPush::String(const char* s) {
  if (s == nullptr) s = "";
  uint32_t actual = static_cast<uint32_t>(std::strlen(s) + 1);
  U32(actual);
  U32(0);
  U32(actual);
  Bytes(s, actual);
}

void NdrPush::VaryingString(const char* s) {
  if (s == nullptr) s = "";
  uint32_t actual = static_cast<uint32_t>(std::strlen(s) + 1);
  U32(0);
  U32(actual);
  Bytes(s, actual);
}

// ---------------------------------------------------------------- NdrPull

size_t NdrPull::Contiguous() {
  while (pos_ == data_.size() && next_index_ < pieces_) {
    base_ += data_.size();
    data_ = next_[next_index_++];
    pos_ = 0;
  }
  return data_.size() - pos_;
}

bool NdrPull::Align(size_t n) {
  if (n <= 1) return true;
  size_t pad = (n - position() % n) % n;
  if (pad == 0) return true;
  if (pad > Contiguous()) return false;
  pos_ += pad;
  return true;
}

bool NdrPull::U8(uint8_t* v) {
  if (Contiguous() < 1) return false;
  *v = data_[pos_++];
  return true;
}

namespace {

// Assembles n bytes at p into an integer in the sender's byte order.
uint64_t Load(const uint8_t* p, size_t n, bool little) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) {
    size_t shift = little ? 8 * i : 8 * (n - 1 - i);
    v |= static_cast<uint64_t>(p[i]) << shift;
  }
  return v;
}

}  // namespace

bool NdrPull::U16(uint16_t* v) {
  size_t save = pos_;
  if (!Align(2) || Contiguous() < 2) {
    pos_ = save;
    return false;
  }
  *v = static_cast<uint16_t>(Load(data_.data() + pos_, 2, drep_.little_endian()));
  pos_ += 2;
  return true;
}

bool NdrPull::U32(uint32_t* v) {
  size_t save = pos_;
  if (!Align(4) || Contiguous() < 4) {
    pos_ = save;
    return false;
  }
  *v = static_cast<uint32_t>(Load(data_.data() + pos_, 4, drep_.little_endian()));
  pos_ += 4;
  return true;
}

bool NdrPull::I32(int32_t* v) {
  uint32_t u;
  if (!U32(&u)) return false;
  *v = static_cast<int32_t>(u);
  return true;
}

bool NdrPull::U64(uint64_t* v) {
  size_t save = pos_;
  if (!Align(8) || Contiguous() < 8) {
    pos_ = save;
    return false;
  }
  *v = Load(data_.data() + pos_, 8, drep_.little_endian());
  pos_ += 8;
  return true;
}

bool NdrPull::F64(double* v) {
  uint64_t bits;
  if (!U64(&bits)) return false;
  std::memcpy(v, &bits, sizeof *v);
  return true;
}

bool NdrPull::Bytes(void* p, size_t n) {
  if (n > Contiguous()) return false;
  if (n != 0) std::memcpy(p, data_.data() + pos_, n);
  pos_ += n;
  return true;
}

bool NdrPull::Skip(size_t n) {
  if (n > Contiguous()) return false;
  pos_ += n;
  return true;
}

bool NdrPull::View(size_t n, std::span<const uint8_t>* out) {
  if (n > Contiguous()) return false;
  *out = data_.subspan(pos_, n);
  pos_ += n;
  return true;
}

bool NdrPull::Uuid(qz::rpc::Uuid* u) {
  size_t save = pos_;
  qz::rpc::Uuid r;
  if (Align(4) && U32(&r.data1) && U16(&r.data2) && U16(&r.data3) &&
      Bytes(r.data4, sizeof r.data4)) {
    *u = r;
    return true;
  }
  pos_ = save;
  return false;
}

namespace {

// Checks the characters of a received string: at least the NUL, and the
// last character is the NUL. The text ends at the first NUL.
bool TakeChars(std::span<const uint8_t> chars, std::string* s) {
  if (chars.empty() || chars.back() != 0) return false;
  const char* p = reinterpret_cast<const char*>(chars.data());
  s->assign(p, ::strnlen(p, chars.size()));
  return true;
}

}  // namespace

bool NdrPull::String(std::string* s, uint32_t max_limit) {
  size_t save = pos_;
  uint32_t max = 0, offset = 0, actual = 0;
  std::span<const uint8_t> chars;
  if (U32(&max) && U32(&offset) && U32(&actual) && offset == 0 && actual >= 1 &&
      actual <= max && (max_limit == 0 || max <= max_limit) && View(actual, &chars) &&
      TakeChars(chars, s)) {
    return true;
  }
  pos_ = save;
  return false;
}

bool NdrPull::VaryingString(std::string* s, uint32_t limit) {
  size_t save = pos_;
  uint32_t offset = 0, actual = 0;
  std::span<const uint8_t> chars;
  if (U32(&offset) && U32(&actual) && offset == 0 && actual >= 1 &&
      (limit == 0 || actual <= limit) && View(actual, &chars) && TakeChars(chars, s)) {
    return true;
  }
  pos_ = save;
  return false;
}

}  // namespace qz::rpc
