// password.cc -- password hashes through libsodium: Argon2id for new ones,
// PBKDF2-HMAC-SHA256 verification for those of earlier versions.
#include "server/password.h"

#include <sodium.h>

#include <charconv>
#include <cstring>
#include <semaphore>
#include <vector>

namespace qz::faxd {
namespace {

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

constexpr std::string_view kPbkdf2Scheme = "pbkdf2-sha256";
constexpr uint32_t kMaxIterations = 10'000'000;

bool SodiumReady() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

// Bounds the Argon2id computations in flight (each holds its memory).
std::counting_semaphore<kConcurrentHashes>& HashSlots() {
  static std::counting_semaphore<kConcurrentHashes> slots(kConcurrentHashes);
  return slots;
}

class HashSlot {
 public:
  HashSlot() { HashSlots().acquire(); }
  ~HashSlot() { HashSlots().release(); }
  HashSlot(const HashSlot&) = delete;
  HashSlot& operator=(const HashSlot&) = delete;
};

bool VerifyPbkdf2(std::string_view password, std::string_view stored) {
  std::string_view parts[4];
  if (!SplitFour(stored, parts) || parts[0] != kPbkdf2Scheme) return false;
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
  return sodium_memcmp(actual.data(), expected.data(), expected.size()) == 0;
}

}  // namespace

PasswordCost PasswordCost::Interactive() {
  return {crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE};
}
PasswordCost PasswordCost::Minimal() {
  return {crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN};
}

Digest Sha256(std::span<const uint8_t> data) {
  SodiumReady();
  Digest out;
  crypto_hash_sha256(out.data(), data.data(), data.size());
  return out;
}

Digest HmacSha256(std::span<const uint8_t> key, std::span<const uint8_t> message) {
  SodiumReady();
  crypto_auth_hmacsha256_state st;
  crypto_auth_hmacsha256_init(&st, key.data(), key.size());
  crypto_auth_hmacsha256_update(&st, message.data(), message.size());
  Digest out;
  crypto_auth_hmacsha256_final(&st, out.data());
  return out;
}

void Pbkdf2Sha256(std::string_view password, std::span<const uint8_t> salt, uint32_t iterations,
                  std::span<uint8_t> out) {
  SodiumReady();
  // The keyed state is set up once and copied for every HMAC.
  crypto_auth_hmacsha256_state keyed;
  crypto_auth_hmacsha256_init(&keyed, Bytes(password).data(), password.size());
  auto hmac = [&](std::span<const uint8_t> msg, Digest* d) {
    crypto_auth_hmacsha256_state st = keyed;
    crypto_auth_hmacsha256_update(&st, msg.data(), msg.size());
    crypto_auth_hmacsha256_final(&st, d->data());
  };
  std::vector<uint8_t> msg(salt.begin(), salt.end());
  msg.resize(salt.size() + 4);
  size_t done = 0;
  for (uint32_t block = 1; done < out.size(); ++block) {
    for (int i = 0; i < 4; ++i) msg[salt.size() + i] = static_cast<uint8_t>(block >> (24 - 8 * i));
    Digest u, t;
    hmac(msg, &u);
    t = u;
    for (uint32_t i = 1; i < iterations; ++i) {
      Digest next;
      hmac(u, &next);
      u = next;
      for (size_t j = 0; j < t.size(); ++j) t[j] ^= u[j];
    }
    size_t n = std::min(t.size(), out.size() - done);
    std::memcpy(out.data() + done, t.data(), n);
    done += n;
  }
  sodium_memzero(&keyed, sizeof keyed);
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

std::string HashPassword(std::string_view password, PasswordCost cost) {
  if (password.size() > kMaxPasswordBytes || !SodiumReady()) return {};
  char out[crypto_pwhash_STRBYTES];
  HashSlot slot;
  if (crypto_pwhash_str(out, password.data(), password.size(), cost.ops, cost.mem_bytes) != 0)
    return {};
  return out;
}

std::string HashPasswordPbkdf2(std::string_view password, uint32_t iterations) {
  uint8_t salt[16];
  SodiumReady();
  randombytes_buf(salt, sizeof salt);
  uint8_t hash[32];
  Pbkdf2Sha256(password, salt, iterations, hash);
  return std::string(kPbkdf2Scheme) + "$" + std::to_string(iterations) + "$" + ToHex(salt) +
         "$" + ToHex(hash);
}

bool VerifyPassword(std::string_view password, std::string_view stored) {
  if (password.size() > kMaxPasswordBytes || !SodiumReady()) return false;
  if (stored.rfind("$argon2id$", 0) == 0) {
    if (stored.size() >= crypto_pwhash_STRBYTES) return false;
    std::string s(stored);  // libsodium wants a terminated string
    HashSlot slot;
    return crypto_pwhash_str_verify(s.c_str(), password.data(), password.size()) == 0;
  }
  return VerifyPbkdf2(password, stored);
}

bool NeedsRehash(std::string_view stored, PasswordCost cost) {
  if (stored.rfind("$argon2id$", 0) != 0 || stored.size() >= crypto_pwhash_STRBYTES) return true;
  std::string s(stored);
  return crypto_pwhash_str_needs_rehash(s.c_str(), cost.ops, cost.mem_bytes) != 0;
}

}  // namespace qz::faxd
