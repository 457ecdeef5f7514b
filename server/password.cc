// password.cc -- SHA-256, HMAC, PBKDF2 and the stored hash format.
#include "server/password.h"

#include <sys/random.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace qz::faxd {
namespace {

constexpr uint32_t kK[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
    0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
    0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
    0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
    0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
    0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
    0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
    0xc67178f2};

constexpr uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

class Sha256Ctx {
 public:
  void Update(std::span<const uint8_t> data) {
    for (uint8_t b : data) {
      block_[used_++] = b;
      if (used_ == 64) {
        Compress();
        used_ = 0;
      }
    }
    length_ += data.size();
  }

  Digest Final() {
    const uint64_t bits = length_ * 8;
    block_[used_++] = 0x80;
    if (used_ > 56) {
      while (used_ < 64) block_[used_++] = 0;
      Compress();
      used_ = 0;
    }
    while (used_ < 56) block_[used_++] = 0;
    for (int i = 7; i >= 0; --i) block_[used_++] = static_cast<uint8_t>(bits >> (i * 8));
    Compress();
    Digest out;
    for (int i = 0; i < 8; ++i)
      for (int j = 0; j < 4; ++j) out[i * 4 + j] = static_cast<uint8_t>(h_[i] >> (24 - 8 * j));
    return out;
  }

 private:
  void Compress() {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
      w[i] = uint32_t{block_[i * 4]} << 24 | uint32_t{block_[i * 4 + 1]} << 16 |
             uint32_t{block_[i * 4 + 2]} << 8 | uint32_t{block_[i * 4 + 3]};
    for (int i = 16; i < 64; ++i) {
      uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6],
             h = h_[7];
    for (int i = 0; i < 64; ++i) {
      uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kK[i] + w[i];
      uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    h_[0] += a;
    h_[1] += b;
    h_[2] += c;
    h_[3] += d;
    h_[4] += e;
    h_[5] += f;
    h_[6] += g;
    h_[7] += h;
  }

  uint32_t h_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  uint8_t block_[64] = {};
  size_t used_ = 0;
  uint64_t length_ = 0;
};

std::span<const uint8_t> Bytes(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

bool FromHex(std::string_view hex, std::vector<uint8_t>* out) {
  if (hex.size() % 2 != 0) return false;
  out->clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    uint8_t v = 0;
    auto [p, ec] = std::from_chars(hex.data() + i, hex.data() + i + 2, v, 16);
    if (ec != std::errc() || p != hex.data() + i + 2) return false;
    out->push_back(v);
  }
  return true;
}

// Splits "a$b$c$d" into exactly four fields.
bool SplitFour(std::string_view s, std::string_view parts[4]) {
  for (int i = 0; i < 3; ++i) {
    size_t pos = s.find('$');
    if (pos == std::string_view::npos) return false;
    parts[i] = s.substr(0, pos);
    s.remove_prefix(pos + 1);
  }
  if (s.find('$') != std::string_view::npos) return false;
  parts[3] = s;
  return true;
}

constexpr std::string_view kScheme = "pbkdf2-sha256";
constexpr uint32_t kMaxIterations = 10'000'000;

}  // namespace

Digest Sha256(std::span<const uint8_t> data) {
  Sha256Ctx ctx;
  ctx.Update(data);
  return ctx.Final();
}

Digest HmacSha256(std::span<const uint8_t> key, std::span<const uint8_t> message) {
  uint8_t k[64] = {};
  if (key.size() > 64) {
    Digest d = Sha256(key);
    std::memcpy(k, d.data(), d.size());
  } else if (!key.empty()) {
    std::memcpy(k, key.data(), key.size());
  }
  uint8_t ipad[64], opad[64];
  for (int i = 0; i < 64; ++i) {
    ipad[i] = k[i] ^ 0x36;
    opad[i] = k[i] ^ 0x5c;
  }
  Sha256Ctx inner;
  inner.Update(ipad);
  inner.Update(message);
  Digest ih = inner.Final();
  Sha256Ctx outer;
  outer.Update(opad);
  outer.Update(ih);
  return outer.Final();
}

void Pbkdf2Sha256(std::string_view password, std::span<const uint8_t> salt, uint32_t iterations,
                  std::span<uint8_t> out) {
  std::vector<uint8_t> msg(salt.begin(), salt.end());
  msg.resize(salt.size() + 4);
  size_t done = 0;
  for (uint32_t block = 1; done < out.size(); ++block) {
    msg[salt.size()] = static_cast<uint8_t>(block >> 24);
    msg[salt.size() + 1] = static_cast<uint8_t>(block >> 16);
    msg[salt.size() + 2] = static_cast<uint8_t>(block >> 8);
    msg[salt.size() + 3] = static_cast<uint8_t>(block);
    Digest u = HmacSha256(Bytes(password), msg);
    Digest t = u;
    for (uint32_t i = 1; i < iterations; ++i) {
      u = HmacSha256(Bytes(password), u);
      for (size_t j = 0; j < t.size(); ++j) t[j] ^= u[j];
    }
    size_t n = std::min(t.size(), out.size() - done);
    std::memcpy(out.data() + done, t.data(), n);
    done += n;
  }
}

std::string ToHex(std::span<const uint8_t> bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  s.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    s.push_back(kDigits[b >> 4]);
    s.push_back(kDigits[b & 15]);
  }
  return s;
}

std::string HashPassword(std::string_view password, uint32_t iterations) {
  uint8_t salt[16];
  size_t got = 0;
  while (got < sizeof(salt)) {
    ssize_t n = getrandom(salt + got, sizeof(salt) - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("getrandom failed");
    }
    got += static_cast<size_t>(n);
  }
  uint8_t hash[32];
  Pbkdf2Sha256(password, salt, iterations, hash);
  return std::string(kScheme) + "$" + std::to_string(iterations) + "$" + ToHex(salt) + "$" +
         ToHex(hash);
}

bool VerifyPassword(std::string_view password, std::string_view stored) {
  std::string_view parts[4];
  if (!SplitFour(stored, parts) || parts[0] != kScheme) return false;
  uint32_t iterations = 0;
  auto [p, ec] = std::from_chars(parts[1].data(), parts[1].data() + parts[1].size(), iterations);
  if (ec != std::errc() || p != parts[1].data() + parts[1].size() || iterations == 0 ||
      iterations > kMaxIterations)
    return false;
  std::vector<uint8_t> salt, expected;
  if (!FromHex(parts[2], &salt) || !FromHex(parts[3], &expected) || expected.empty() ||
      expected.size() > 64)
    return false;
  std::vector<uint8_t> actual(expected.size());
  Pbkdf2Sha256(password, salt, iterations, actual);
  uint8_t diff = 0;
  for (size_t i = 0; i < expected.size(); ++i) diff |= static_cast<uint8_t>(actual[i] ^ expected[i]);
  return diff == 0;
}

}  // namespace qz::faxd
