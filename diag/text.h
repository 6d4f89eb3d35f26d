// Text helpers every module shares: printf-style formatting, the two
// timestamp forms, path splitting as the Windows C runtime does it, and
// ASCII case work. The controller's texts are single-byte Windows-1252.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

// gnu_printf: MinGW's plain printf format means Microsoft's. Clang knows
// only printf.
#if defined(__clang__)
#define KVS_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#elif defined(__GNUC__)
#define KVS_PRINTF(fmt_index, first_arg) __attribute__((format(gnu_printf, fmt_index, first_arg)))
#else
#define KVS_PRINTF(fmt_index, first_arg)
#endif

namespace kvs {

// printf into a std::string of any length.
std::string StrFormat(const char* format, ...) KVS_PRINTF(1, 2);

// "YYYYMMDDhhmmss" of the local time t.
std::string Timestamp14(Platform& platform, int64_t t);
// "YYYYMMDDhhmmss" of a civil time, the form every stamp of the rows has.
std::string StampOf(const CivilTime& t);
// The same for now.
std::string TimestampNow(Platform& platform);
// "YYYY-MM-DD hh:mm:ss" of the local time now, as every log line starts.
std::string LogTimeNow(Platform& platform);

// A path split as _splitpath does: drive "X:" (or ""), directory with its
// trailing separator, file name, extension with its dot. Both '\' and '/'
// separate.
struct PathParts {
  std::string drive;
  std::string dir;
  std::string fname;
  std::string ext;
};
PathParts SplitPath(std::string_view path);

std::string ToUpperAscii(std::string_view s);
std::string ToLowerAscii(std::string_view s);
bool EqualsNoCase(std::string_view a, std::string_view b);
// Removes trailing blanks and tabs.
std::string RightTrim(std::string_view s);
// Whether s holds digits only ("" does).
bool AllDigits(std::string_view s);

// Value of the leading decimal digits (after an optional sign), 0 when
// there are none; saturates instead of overflowing.
int32_t LeadingInt(std::string_view s);

}  // namespace kvs
