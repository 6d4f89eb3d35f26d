#include "core/blowfish.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "gtest/gtest.h"

namespace kvs {
namespace {

uint32_t Word(const std::string& hex8) { return static_cast<uint32_t>(std::stoul(hex8, nullptr, 16)); }

std::string Bytes(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

// The published Blowfish vectors (key, plaintext, ciphertext as big-endian
// words). A wrong pi table, key schedule or round order fails them.
TEST(BlowfishTest, PublishedVectorsOnWords) {
  struct Case {
    const char* key;
    const char* plain;
    const char* cipher;
  };
  const Case cases[] = {
      {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
      {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
      {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
      {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
      {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
      {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
      {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
  };
  for (const Case& c : cases) {
    std::string p = c.plain;
    std::string x = c.cipher;
    Blowfish cipher(Bytes(c.key));
    uint32_t l = Word(p.substr(0, 8));
    uint32_t r = Word(p.substr(8));
    cipher.Encrypt(&l, &r);
    EXPECT_EQ(Word(x.substr(0, 8)), l) << c.key;
    EXPECT_EQ(Word(x.substr(8)), r) << c.key;
    cipher.Decrypt(&l, &r);
    EXPECT_EQ(Word(p.substr(0, 8)), l) << c.key;
    EXPECT_EQ(Word(p.substr(8)), r) << c.key;
  }
}

// The file packs each half little-endian: the standard vector
// 1000000000000001 -> 7D856F9A613063F2 appears with every half reversed.
TEST(BlowfishTest, BlocksArePackedLittleEndian) {
  Blowfish cipher(Bytes("3000000000000000"));
  unsigned char block[8] = {0x00, 0x00, 0x00, 0x10, 0x01, 0x00, 0x00, 0x00};
  cipher.EncryptBlock(block);
  const unsigned char expected[8] = {0x9A, 0x6F, 0x85, 0x7D, 0xF2, 0x63, 0x30, 0x61};
  EXPECT_EQ(0, std::memcmp(expected, block, 8));
  cipher.DecryptBlock(block);
  const unsigned char plain[8] = {0x00, 0x00, 0x00, 0x10, 0x01, 0x00, 0x00, 0x00};
  EXPECT_EQ(0, std::memcmp(plain, block, 8));
}

TEST(BlowfishTest, ValuesRoundTripWithPadding) {
  const std::string key = "ABCDEFG";
  struct Case {
    std::string plain;
    size_t hex_digits;
  };
  const Case cases[] = {
      {"", 0},
      {"a", 16},
      {"12345678", 16},  // exactly one block, no fill block
      {"123456789", 32},
      {"P\xE4sswort;mit;Semikolon", 48},
  };
  for (const Case& c : cases) {
    std::string hex = EncryptValue(c.plain, key);
    EXPECT_EQ(c.hex_digits, hex.size()) << c.plain;
    EXPECT_EQ(std::string::npos, hex.find_first_not_of("0123456789ABCDEF")) << hex;
    EXPECT_EQ(c.plain, DecryptValue(hex, key)) << c.plain;
  }
}

// Faults of the text that readers tolerate: a partial last group is
// ignored, lower-case digits give a wrong value (never a crash).
TEST(BlowfishTest, MalformedHexIsToleratedNotRejected) {
  const std::string key = "ABCDEFG";
  std::string hex = EncryptValue("geheim", key);
  EXPECT_EQ("geheim", DecryptValue(hex + "ABC", key));
  std::string lower = hex;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower != hex) {
    EXPECT_NE("geheim", DecryptValue(lower, key));
  }
  EXPECT_EQ("", DecryptValue("", key));
  EXPECT_EQ("", DecryptValue("0123456789ABCDE", key));  // 15 digits: no whole block
}

}  // namespace
}  // namespace kvs
