// The Blowfish block cipher as the suite's connection file uses it: the
// standard key schedule and 16 rounds, with each 8-byte block packed into
// its two 32-bit halves little-endian (bytes 1-4 the left half, byte 1 its
// least significant byte). Values are ECB-encrypted after NUL padding to a
// multiple of 8 bytes and written as upper-case hexadecimal text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kvs {

extern const uint32_t kBlowfishInitP[18];
extern const uint32_t kBlowfishInitS[4][256];

class Blowfish {
 public:
  explicit Blowfish(std::string_view key);
  // Overwrites the whole key schedule.
  ~Blowfish();
  Blowfish(const Blowfish&) = delete;
  Blowfish& operator=(const Blowfish&) = delete;

  void Encrypt(uint32_t* left, uint32_t* right) const;
  void Decrypt(uint32_t* left, uint32_t* right) const;

  // One 8-byte block in the file's byte order.
  void EncryptBlock(unsigned char block[8]) const;
  void DecryptBlock(unsigned char block[8]) const;

 private:
  uint32_t F(uint32_t x) const;
  uint32_t p_[18];
  uint32_t s_[4][256];
};

// The plaintext padded with NUL bytes to a multiple of 8, encrypted, as
// upper-case hexadecimal (16 digits per block).
std::string EncryptValue(std::string_view plain, std::string_view key);

// Decrypts every whole group of 16 digits (a trailing partial group is
// ignored) and returns the plaintext up to its first NUL byte. A character
// outside 0-9 and A-F is taken as its code minus that of '0', as the
// suite's readers do, and so yields a wrong byte.
std::string DecryptValue(std::string_view hex, std::string_view key);

}  // namespace kvs
