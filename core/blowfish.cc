#include "core/blowfish.h"

#include <cstring>

namespace kvs {

namespace {

uint32_t LoadLittle(const unsigned char* b) {
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
         static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

void StoreLittle(uint32_t v, unsigned char* b) {
  b[0] = static_cast<unsigned char>(v);
  b[1] = static_cast<unsigned char>(v >> 8);
  b[2] = static_cast<unsigned char>(v >> 16);
  b[3] = static_cast<unsigned char>(v >> 24);
}

unsigned char Nibble(char c) { return static_cast<unsigned char>(c - '0' - (c >= 'A' && c <= 'F' ? 7 : 0)); }

}  // namespace

Blowfish::Blowfish(std::string_view key) {
  std::memcpy(p_, kBlowfishInitP, sizeof p_);
  std::memcpy(s_, kBlowfishInitS, sizeof s_);
  if (!key.empty()) {
    size_t k = 0;
    for (uint32_t& p : p_) {
      uint32_t word = 0;
      for (int i = 0; i < 4; ++i) {
        word = (word << 8) | static_cast<unsigned char>(key[k]);
        k = (k + 1) % key.size();
      }
      p ^= word;
    }
  }
  uint32_t l = 0;
  uint32_t r = 0;
  for (int i = 0; i < 18; i += 2) {
    Encrypt(&l, &r);
    p_[i] = l;
    p_[i + 1] = r;
  }
  for (auto& box : s_) {
    for (int i = 0; i < 256; i += 2) {
      Encrypt(&l, &r);
      box[i] = l;
      box[i + 1] = r;
    }
  }
}

Blowfish::~Blowfish() {
  // Through a volatile pointer, so the wipe is not optimised away.
  volatile uint32_t* p = p_;
  for (size_t i = 0; i < sizeof p_ / sizeof p_[0]; ++i) p[i] = 0;
  volatile uint32_t* s = &s_[0][0];
  for (size_t i = 0; i < sizeof s_ / sizeof s_[0][0]; ++i) s[i] = 0;
}

uint32_t Blowfish::F(uint32_t x) const {
  return ((s_[0][x >> 24] + s_[1][(x >> 16) & 0xFF]) ^ s_[2][(x >> 8) & 0xFF]) + s_[3][x & 0xFF];
}

void Blowfish::Encrypt(uint32_t* left, uint32_t* right) const {
  uint32_t l = *left;
  uint32_t r = *right;
  for (int i = 0; i < 16; ++i) {
    l ^= p_[i];
    r ^= F(l);
    std::swap(l, r);
  }
  std::swap(l, r);
  r ^= p_[16];
  l ^= p_[17];
  *left = l;
  *right = r;
}

void Blowfish::Decrypt(uint32_t* left, uint32_t* right) const {
  uint32_t l = *left;
  uint32_t r = *right;
  for (int i = 17; i > 1; --i) {
    l ^= p_[i];
    r ^= F(l);
    std::swap(l, r);
  }
  std::swap(l, r);
  r ^= p_[1];
  l ^= p_[0];
  *left = l;
  *right = r;
}

void Blowfish::EncryptBlock(unsigned char block[8]) const {
  uint32_t l = LoadLittle(block);
  uint32_t r = LoadLittle(block + 4);
  Encrypt(&l, &r);
  StoreLittle(l, block);
  StoreLittle(r, block + 4);
}

void Blowfish::DecryptBlock(unsigned char block[8]) const {
  uint32_t l = LoadLittle(block);
  uint32_t r = LoadLittle(block + 4);
  Decrypt(&l, &r);
  StoreLittle(l, block);
  StoreLittle(r, block + 4);
}

std::string EncryptValue(std::string_view plain, std::string_view key) {
  static const char kHex[] = "0123456789ABCDEF";
  Blowfish cipher(key);
  std::string hex;
  for (size_t at = 0; at < plain.size(); at += 8) {
    unsigned char block[8] = {};
    std::memcpy(block, plain.data() + at, plain.size() - at < 8 ? plain.size() - at : 8);
    cipher.EncryptBlock(block);
    for (unsigned char b : block) {
      hex += kHex[b >> 4];
      hex += kHex[b & 0xF];
    }
  }
  return hex;
}

std::string DecryptValue(std::string_view hex, std::string_view key) {
  Blowfish cipher(key);
  std::string plain;
  for (size_t at = 0; at + 16 <= hex.size(); at += 16) {
    unsigned char block[8];
    for (int i = 0; i < 8; ++i) {
      block[i] = static_cast<unsigned char>(Nibble(hex[at + 2 * i]) * 16 +
                                            Nibble(hex[at + 2 * i + 1]));
    }
    cipher.DecryptBlock(block);
    plain.append(reinterpret_cast<const char*>(block), 8);
  }
  size_t nul = plain.find('\0');
  if (nul != std::string::npos) plain.resize(nul);
  return plain;
}

}  // namespace kvs
