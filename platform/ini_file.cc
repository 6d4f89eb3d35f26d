#include "platform/ini_file.h"

#include <cstdio>

namespace kvs {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

std::string Cut(std::string value, size_t buffer_size) {
  if (buffer_size == 0) return "";
  if (value.size() > buffer_size - 1) value.resize(buffer_size - 1);
  return value;
}

}  // namespace

std::string IniLookup(std::string_view text, const std::string& section,
                      const std::string& key, const std::string& default_value,
                      size_t buffer_size) {
  bool section_seen = false;
  bool in_section = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      size_t close = line.find(']');
      std::string_view name = Trim(line.substr(1, close == std::string_view::npos
                                                       ? std::string_view::npos
                                                       : close - 1));
      // Only the first section of that name counts.
      if (in_section) break;
      in_section = !section_seen && EqualNoCase(name, Trim(section));
      if (in_section) section_seen = true;
      continue;
    }
    if (!in_section) continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    if (!EqualNoCase(Trim(line.substr(0, eq)), Trim(key))) continue;
    std::string_view value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return Cut(std::string(value), buffer_size);
  }
  std::string fallback = default_value;
  while (!fallback.empty() && fallback.back() == ' ') fallback.pop_back();
  return Cut(fallback, buffer_size);
}

std::string IniFileLookup(const std::string& path, const std::string& section,
                          const std::string& key, const std::string& default_value,
                          size_t buffer_size) {
  std::string text;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, got);
    std::fclose(f);
  }
  return IniLookup(text, section, key, default_value, buffer_size);
}

}  // namespace kvs
