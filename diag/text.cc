#include "diag/text.h"

#include <cstdarg>
#include <cstdio>
#include <limits>

namespace kvs {

std::string StrFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out;
  if (needed > 0) {
    out.resize(static_cast<size_t>(needed) + 1);
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<size_t>(needed));
  }
  va_end(args);
  return out;
}

std::string StampOf(const CivilTime& t) {
  return StrFormat("%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute,
                   t.second);
}

std::string Timestamp14(Platform& platform, int64_t t) { return StampOf(platform.ToLocal(t)); }

bool AllDigits(std::string_view s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string TimestampNow(Platform& platform) { return Timestamp14(platform, platform.Now()); }

std::string LogTimeNow(Platform& platform) {
  CivilTime c = platform.ToLocal(platform.Now());
  return StrFormat("%04d-%02d-%02d %02d:%02d:%02d", c.year, c.month, c.day, c.hour, c.minute,
                   c.second);
}

PathParts SplitPath(std::string_view path) {
  PathParts parts;
  if (path.size() >= 2 && path[1] == ':') {
    parts.drive = std::string(path.substr(0, 2));
    path.remove_prefix(2);
  }
  size_t last_sep = path.find_last_of("\\/");
  if (last_sep != std::string_view::npos) {
    parts.dir = std::string(path.substr(0, last_sep + 1));
    path.remove_prefix(last_sep + 1);
  }
  size_t dot = path.find_last_of('.');
  if (dot != std::string_view::npos) {
    parts.ext = std::string(path.substr(dot));
    path = path.substr(0, dot);
  }
  parts.fname = std::string(path);
  return parts;
}

std::string ToUpperAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string ToLowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ToUpperAscii(a) == ToUpperAscii(b);
}

std::string RightTrim(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return std::string(s);
}

int32_t LeadingInt(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
    negative = s[i] == '-';
    ++i;
  }
  int64_t value = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    value = value * 10 + (s[i] - '0');
    if (value > std::numeric_limits<int32_t>::max()) {
      value = static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + (negative ? 1 : 0);
      break;
    }
  }
  return static_cast<int32_t>(negative ? -value : value);
}

}  // namespace kvs
