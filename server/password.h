// password.h -- salted password hashes for the fax server's user store.
//
// Passwords are never stored: the store keeps a PBKDF2-HMAC-SHA256 hash in
// the text form "pbkdf2-sha256$<iterations>$<salt hex>$<hash hex>" with a
// 16-byte random salt. SHA-256 and HMAC are implemented here because the
// server depends on nothing but SQLite, the C++ library and POSIX.
//
// Thread-safety: every function is reentrant and keeps no state.
#ifndef QZ_SERVER_PASSWORD_H_
#define QZ_SERVER_PASSWORD_H_

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qz::faxd {

using Digest = std::array<uint8_t, 32>;

Digest Sha256(std::span<const uint8_t> data);
Digest HmacSha256(std::span<const uint8_t> key, std::span<const uint8_t> message);
// Derives out.size() bytes from password and salt.
void Pbkdf2Sha256(std::string_view password, std::span<const uint8_t> salt, uint32_t iterations,
                  std::span<uint8_t> out);

// Iterations used for new hashes.
inline constexpr uint32_t kPasswordIterations = 10000;

// A new hash of `password` with a fresh random salt.
std::string HashPassword(std::string_view password, uint32_t iterations = kPasswordIterations);
// True when `password` matches `stored`; false for a malformed stored text.
// The final comparison takes the same time whatever bytes differ.
bool VerifyPassword(std::string_view password, std::string_view stored);

std::string ToHex(std::span<const uint8_t> bytes);

}  // namespace qz::faxd

#endif  // QZ_SERVER_PASSWORD_H_
