// libFuzzer target of the INI reader. The input is the INI text; its last
// bytes choose the lookup (which section and key of the text, spelled how,
// and the buffer size), so most runs ask for something the text holds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "platform/ini_file.h"

namespace {

// Names the text offers: "[name]" heads and the part before '=' of a line.
void CollectNames(std::string_view text, std::vector<std::string>* sections,
                  std::vector<std::string>* keys) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    size_t open = line.find('[');
    if (open != std::string_view::npos) {
      size_t close = line.find(']', open);
      sections->emplace_back(line.substr(open + 1, close == std::string_view::npos
                                                       ? std::string_view::npos
                                                       : close - open - 1));
    }
    size_t eq = line.find('=');
    if (eq != std::string_view::npos) keys->emplace_back(line.substr(0, eq));
  }
}

// The name as a caller might spell it: case flipped, blanks around it.
std::string Respell(std::string name, uint8_t how) {
  if (how & 1) {
    for (char& c : name) {
      if (c >= 'a' && c <= 'z') {
        c = static_cast<char>(c - 'a' + 'A');
      } else if (c >= 'A' && c <= 'Z') {
        c = static_cast<char>(c - 'A' + 'a');
      }
    }
  }
  if (how & 2) name = " " + name;
  if (how & 4) name += "\t";
  return name;
}

std::string Pick(const std::vector<std::string>& names, uint8_t index, const char* fallback) {
  if (names.empty() || index == 0xFF) return fallback;
  return names[index % names.size()];
}

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  // Integers come from the end of the input, the text is the rest.
  const uint8_t section_index = input.ConsumeIntegral<uint8_t>();
  const uint8_t key_index = input.ConsumeIntegral<uint8_t>();
  const uint8_t spelling = input.ConsumeIntegral<uint8_t>();
  const size_t buffer_size = input.ConsumeIntegralInRange<size_t>(0, 300);
  const std::string text = input.ConsumeRemainingBytesAsString();

  std::vector<std::string> sections;
  std::vector<std::string> keys;
  CollectNames(text, &sections, &keys);
  const std::string section = Respell(Pick(sections, section_index, "JOBATR"), spelling);
  const std::string key = Respell(Pick(keys, key_index, "Pfad"), spelling >> 3);
  const std::string default_value = (spelling & 0x40) ? "" : "Vorgabe  ";

  const std::string full = kvs::IniLookup(text, section, key, default_value, 100000);
  const std::string cut = kvs::IniLookup(text, section, key, default_value, buffer_size);
  // The result never exceeds the buffer and is the full value's beginning.
  Check(buffer_size == 0 ? cut.empty() : cut.size() <= buffer_size - 1);
  Check(full.compare(0, cut.size(), cut) == 0);
  Check(cut.size() == std::min(full.size(), buffer_size == 0 ? 0 : buffer_size - 1));
  return 0;
}
