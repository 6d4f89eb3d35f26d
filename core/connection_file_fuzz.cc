// libFuzzer target of the connection file: the input is written as the
// file (one scratch file per process) and a few values are looked up; the
// input is also decrypted directly as a hexadecimal value, and encrypting
// its text must decrypt to that text again.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/blowfish.h"
#include "core/connection_file.h"
#include "platform/platform.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// The scratch file, removed when the run ends normally.
class ScratchFile {
 public:
  ScratchFile()
      : path_((std::filesystem::temp_directory_path() /
               ("kvs_connection_fuzz_" + std::to_string(kvs::CreatePlatform()->OwnProcessId()) + ".dat"))
                  .string()) {}
  ~ScratchFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  Check(f != nullptr);
  Check(std::fwrite(data, 1, size, f) == size);
  Check(std::fclose(f) == 0);
}

// Text between the first and the second ';' of the first line, as the
// suite's programs name a record's section.
std::string FirstSection(std::string_view text) {
  std::string_view line = text.substr(0, text.find('\n'));
  size_t first = line.find(';');
  if (first == std::string_view::npos) return "KVS";
  size_t second = line.find(';', first + 1);
  if (second == std::string_view::npos) return "KVS";
  return std::string(line.substr(first + 1, second - first - 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const ScratchFile scratch;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  WriteFile(scratch.path(), data, size);

  // As start-up asks (empty section, number 0); by the first record's
  // section; by a key or a number alone.
  kvs::LookupConnectionValue("", "PASS", 0, scratch.path());
  kvs::LookupConnectionValue(FirstSection(text), "\x01", INT32_MIN, scratch.path());
  kvs::LookupConnectionValue("\x01", "LOGIN", INT32_MIN, scratch.path());
  kvs::LookupConnectionValue("\x01", "\x01", 2, scratch.path());

  kvs::DecryptValue(text, kvs::kConnectionKey);
  // A key of the input's own first bytes, of any length.
  kvs::DecryptValue(text, text.substr(0, size % 57));

  // Encryption pads with NUL bytes, so only the text up to a NUL returns.
  const std::string_view plain = text.substr(0, text.find('\0'));
  const std::string hex = kvs::EncryptValue(plain, kvs::kConnectionKey);
  Check(hex.size() == (plain.size() + 7) / 8 * 16);
  Check(kvs::DecryptValue(hex, kvs::kConnectionKey) == plain);
  return 0;
}
