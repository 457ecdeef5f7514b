// password.h -- password hashes for the fax server's user store.
//
// Passwords are never stored. New hashes are libsodium's Argon2id strings
// (crypto_pwhash_str: "$argon2id$v=19$m=...,t=...,p=1$<salt>$<hash>").
// Databases of earlier versions hold PBKDF2-HMAC-SHA256 hashes in the text
// form "pbkdf2-sha256$<iterations>$<salt hex>$<hash hex>"; they still
// verify (HMAC-SHA256 from libsodium) and NeedsRehash tells the store to
// replace them with Argon2id at the next successful check.
//
// Every function refuses a password longer than kMaxPasswordBytes before
// any hashing, and at most kConcurrentHashes Argon2id computations run at
// once (each takes the cost's memory), so many callers cannot exhaust the
// server's memory.
//
// Thread-safety: every function may be called from any thread.
#ifndef QZ_SERVER_PASSWORD_H_
#define QZ_SERVER_PASSWORD_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qz::faxd {

using Digest = std::array<uint8_t, 32>;

Digest Sha256(std::span<const uint8_t> data);
Digest HmacSha256(std::span<const uint8_t> key, std::span<const uint8_t> message);
// Derives out.size() bytes from password and salt (the earlier stored format).
void Pbkdf2Sha256(std::string_view password, std::span<const uint8_t> salt, uint32_t iterations,
                  std::span<uint8_t> out);

// The longest password accepted anywhere (the password field holds 127
// characters and its terminator).
inline constexpr size_t kMaxPasswordBytes = 127;
inline constexpr int kConcurrentHashes = 2;

// Argon2id work factors of new hashes.
struct PasswordCost {
  uint64_t ops;
  size_t mem_bytes;
  static PasswordCost Interactive();  // libsodium's interactive limits (64 MiB)
  static PasswordCost Minimal();      // the least libsodium accepts: tests only
};

// A new Argon2id hash of `password`; empty when the password is too long or
// libsodium fails (out of memory).
std::string HashPassword(std::string_view password,
                         PasswordCost cost = PasswordCost::Interactive());
// A hash in the earlier PBKDF2 format (tests of the upgrade path).
std::string HashPasswordPbkdf2(std::string_view password, uint32_t iterations);
// True when `password` matches `stored` (either format); false for a
// malformed stored text or a password longer than kMaxPasswordBytes.
bool VerifyPassword(std::string_view password, std::string_view stored);
// True when `stored` should be replaced by a hash of HashPassword(cost):
// the earlier format, or Argon2id with other limits.
bool NeedsRehash(std::string_view stored, PasswordCost cost);

std::string ToHex(std::span<const uint8_t> bytes);

}  // namespace qz::faxd

#endif  // QZ_SERVER_PASSWORD_H_
