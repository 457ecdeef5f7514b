// password_test.cc -- SHA-256, HMAC and PBKDF2 against published vectors,
// and the stored hash format.
#include "server/password.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qz::faxd {
namespace {

std::span<const uint8_t> B(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(Sha256, KnownVectors) {
  struct Case {
    std::string input;
    const char* hex;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      // 1,000,000 times 'a': many blocks, length field beyond 32 bits of bits.
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) EXPECT_EQ(ToHex(Sha256(B(c.input))), c.hex) << c.input.size();
}

TEST(Sha256, PaddingBoundaries) {
  // 55 bytes leave room for the length field in the same block, 56 and 64
  // push it into the next one. Digests from an independent implementation.
  EXPECT_EQ(ToHex(Sha256(B(std::string(55, 'a')))),
            "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
  EXPECT_EQ(ToHex(Sha256(B(std::string(56, 'a')))),
            "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
  EXPECT_EQ(ToHex(Sha256(B(std::string(64, 'a')))),
            "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
}

TEST(HmacSha256, Rfc4231) {
  std::string key1(20, '\x0b');
  EXPECT_EQ(ToHex(HmacSha256(B(key1), B("Hi There"))),
            "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
  EXPECT_EQ(ToHex(HmacSha256(B("Jefe"), B("what do ya want for nothing?"))),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  // Key longer than a block is hashed first (test case 6).
  std::string key6(131, '\xaa');
  EXPECT_EQ(ToHex(HmacSha256(B(key6), B("Test Using Larger Than Block-Size Key - Hash Key First"))),
            "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
}

TEST(Pbkdf2Sha256, KnownVectors) {
  struct Case {
    const char* password;
    const char* salt;
    uint32_t iterations;
    size_t length;
    const char* hex;
  } cases[] = {
      {"password", "salt", 1, 32,
       "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b"},
      {"password", "salt", 2, 32,
       "ae4d0c95af6b46d32d0adff928f06dd02a303f8ef3c251dfd6e2d85a95474c43"},
      {"password", "salt", 4096, 32,
       "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a"},
      // Two output blocks.
      {"passwd", "salt", 1, 64,
       "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
       "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> out(c.length);
    Pbkdf2Sha256(c.password, B(c.salt), c.iterations, out);
    EXPECT_EQ(ToHex(out), c.hex) << c.password << " " << c.iterations;
  }
}

TEST(PasswordHash, EarlierFormatVerifiesOnlyTheRightPassword) {
  std::string h = HashPasswordPbkdf2("s3cret", 50);
  EXPECT_EQ(h.rfind("pbkdf2-sha256$50$", 0), 0u) << h;
  EXPECT_EQ(h.find("s3cret"), std::string::npos);
  EXPECT_TRUE(VerifyPassword("s3cret", h));
  EXPECT_FALSE(VerifyPassword("s3cret ", h));
  EXPECT_FALSE(VerifyPassword("S3cret", h));
  EXPECT_FALSE(VerifyPassword("", h));
  // Fresh salt each time: equal passwords give different texts.
  EXPECT_NE(HashPasswordPbkdf2("s3cret", 50), h);
  std::string empty = HashPasswordPbkdf2("", 50);
  EXPECT_TRUE(VerifyPassword("", empty));
  EXPECT_FALSE(VerifyPassword("x", empty));
}

TEST(PasswordHash, MalformedStoredTextsNeverVerify) {
  std::string good = HashPasswordPbkdf2("pw", 10);
  const std::string bad[] = {
      "",
      "pw",
      "plain$10$00$00",
      "pbkdf2-sha256$0$00112233$" + std::string(64, '0'),
      "pbkdf2-sha256$x$00112233$" + std::string(64, '0'),
      "pbkdf2-sha256$10$0g$" + std::string(64, '0'),
      "pbkdf2-sha256$10$001$" + std::string(64, '0'),
      "pbkdf2-sha256$10$00$",
      "pbkdf2-sha256$99999999999$00$00",
      good + "$extra",
  };
  for (const std::string& s : bad) EXPECT_FALSE(VerifyPassword("pw", s)) << s;
}

// New hashes are Argon2id; both formats verify; the earlier one (and
// Argon2id with other limits) asks for a rehash; a password one byte over
// the field is refused before any hashing, the longest one still works.
TEST(PasswordHash, Argon2idAndTheUpgradePath) {
  const PasswordCost cost = PasswordCost::Minimal();
  const std::string longest(kMaxPasswordBytes, 'p');
  const std::string over(kMaxPasswordBytes + 1, 'p');
  struct Case {
    const char* name;
    std::string stored;
    std::string right, wrong;
    bool rehash;
    const char* prefix;
  } cases[] = {
      {"argon2id", HashPassword("s3cret", cost), "s3cret", "s3cret ", false, "$argon2id$"},
      {"argon2id_longest", HashPassword(longest, cost), longest, longest.substr(1), false,
       "$argon2id$"},
      {"pbkdf2", HashPasswordPbkdf2("s3cret", 50), "s3cret", "S3cret", true, "pbkdf2-sha256$50$"},
      {"argon2id_other_limits", HashPassword("pw", {cost.ops + 1, cost.mem_bytes}), "pw", "",
       true, "$argon2id$"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.stored.rfind(c.prefix, 0), 0u) << c.name << ": " << c.stored;
    EXPECT_TRUE(VerifyPassword(c.right, c.stored)) << c.name;
    EXPECT_FALSE(VerifyPassword(c.wrong, c.stored)) << c.name;
    EXPECT_EQ(NeedsRehash(c.stored, cost), c.rehash) << c.name;
  }
  EXPECT_EQ(HashPassword(over, cost), "");
  // A hash whose password would be over the bound never verifies it.
  EXPECT_FALSE(VerifyPassword(over, HashPasswordPbkdf2(over, 1)));
  EXPECT_NE(HashPassword("s3cret", cost), HashPassword("s3cret", cost));  // fresh salt
}

}  // namespace
}  // namespace qz::faxd
