// GetPrivateProfileString for systems that lack it (POSIX), and for the
// fake platform. Reads the file anew on every call, as Windows does.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kvs {

// The value of key in [section] of the INI text, with Windows' rules:
// section and key compared without regard to case, blanks around names and
// values trimmed, one pair of enclosing quotes removed from a value, the
// first matching section and key win, lines without '=' and lines starting
// with ';' are ignored. Missing section or key gives default_value (its
// trailing blanks removed). The result is cut to buffer_size - 1 characters
// (nothing when buffer_size is 0).
std::string IniLookup(std::string_view text, const std::string& section,
                      const std::string& key, const std::string& default_value,
                      size_t buffer_size);

// IniLookup on the file at path (a native path); a file that cannot be read
// counts as empty.
std::string IniFileLookup(const std::string& path, const std::string& section,
                          const std::string& key, const std::string& default_value,
                          size_t buffer_size);

}  // namespace kvs
