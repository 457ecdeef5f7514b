// types.cc -- UUID text form and the NDR transfer syntax identifier.
// Thread-safety: pure functions; NdrSyntax() returns an immutable static.
#include "rpc/types.h"

#include <cstdio>

namespace qz::rpc {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `digits` hex digits at text[*pos] as one number (most significant first).
bool ReadHex(std::string_view text, size_t* pos, size_t digits, uint64_t* value) {
  if (text.size() - *pos < digits) return false;
  uint64_t v = 0;
  for (size_t i = 0; i < digits; ++i) {
    int h = HexValue(text[*pos + i]);
    if (h < 0) return false;
    v = (v << 4) | static_cast<uint64_t>(h);
  }
  *pos += digits;
  *value = v;
  return true;
}

bool Expect(std::string_view text, size_t* pos, char c) {
  if (*pos >= text.size() || text[*pos] != c) return false;
  ++*pos;
  return true;
}

}  // namespace

std::optional<Uuid> Uuid::Parse(std::string_view text) {
  if (!text.empty() && text.front() == '{') {
    if (text.size() < 2 || text.back() != '}') return std::nullopt;
    text = text.substr(1, text.size() - 2);
  }
  if (text.size() != 36) return std::nullopt;
  Uuid u;
  size_t pos = 0;
  uint64_t v = 0;
  if (!ReadHex(text, &pos, 8, &v)) return std::nullopt;
  u.data1 = static_cast<uint32_t>(v);
  if (!Expect(text, &pos, '-') || !ReadHex(text, &pos, 4, &v)) return std::nullopt;
  u.data2 = static_cast<uint16_t>(v);
  if (!Expect(text, &pos, '-') || !ReadHex(text, &pos, 4, &v)) return std::nullopt;
  u.data3 = static_cast<uint16_t>(v);
  if (!Expect(text, &pos, '-')) return std::nullopt;
  for (int i = 0; i < 8; ++i) {
    if (i == 2 && !Expect(text, &pos, '-')) return std::nullopt;
    if (!ReadHex(text, &pos, 2, &v)) return std::nullopt;
    u.data4[i] = static_cast<uint8_t>(v);
  }
  if (pos != text.size()) return std::nullopt;
  return u;
}

std::string Uuid::ToString() const {
  char buf[37];
  std::snprintf(buf, sizeof buf, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                static_cast<unsigned>(data1), static_cast<unsigned>(data2),
                static_cast<unsigned>(data3), data4[0], data4[1], data4[2], data4[3],
                data4[4], data4[5], data4[6], data4[7]);
  return std::string(buf, 36);
}

bool Uuid::IsNil() const {
  if (data1 != 0 || data2 != 0 || data3 != 0) return false;
  for (uint8_t b : data4) {
    if (b != 0) return false;
  }
  return true;
}

const SyntaxId& NdrSyntax() {
  static const SyntaxId kNdr{*Uuid::Parse("8a885d04-1ceb-11c9-9fe8-08002b104860"), 2, 0};
  return kNdr;
}

}  // namespace qz::rpc
