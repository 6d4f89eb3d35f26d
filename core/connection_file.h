// The suite's connection file: two-line records (a header line with the
// section name, an entry line "number;key;hex value") whose values are
// Blowfish-encrypted. Shared with the suite's other programs, which write
// it; the controller only reads it.
#pragma once

#include <cstdint>
#include <string>

#include "db/session.h"

namespace kvs {

// The key the suite encrypts connection values with (set at build time).
extern const char kConnectionKey[];

// The decrypted value of the first record whose section name equals
// section, or whose key equals key, or whose record number equals number
// (any one suffices). "" when the file cannot be opened or nothing
// matches. path is as the controller names it (backslashes allowed).
std::string LookupConnectionValue(const std::string& section, const std::string& key,
                                  int32_t number, const std::string& path);

// What the controller reads from the connection file at path, each value
// looked up with an empty section and record number 0: DATABASE, LOGIN and
// PASS as the credentials, SCHEMA without its last character, DB_SYSTEM.
struct ConnectionSettings {
  Credentials credentials;
  std::string schema;
  std::string db_system;
};
ConnectionSettings ReadConnectionSettings(const std::string& path);

// Writes the record (section, number, key, value) into the file at path:
// the entry of an existing record with the same section and key is
// replaced, otherwise a record is appended (header "KVS;section;"). The
// file is written anew in a folder beside it that only its owner may
// enter (path + ".tmp"), given the old file's permissions, owner and group
// (a new file: readable and writable by its owner alone, the writer) and
// put in its place, so a reader never sees half a file, no one else ever
// sees the text, and whoever could read it before still can.
// *earlier_wins (when given) tells whether a record before it would
// answer the controller's lookup of key (empty section, number 0), so the
// controller would not read the value written. Returns 0; -1 when the file
// cannot be written, or is there but cannot be read; -2 when it has an odd
// number of lines and a record would have to be appended; -3 when the
// caller may not give the new file the old one's owner and group (another
// user's file, not written as root). The file is unchanged unless 0.
[[nodiscard]] int WriteConnectionRecord(const std::string& path, const std::string& section,
                                        int32_t number, const std::string& key,
                                        const std::string& value, bool* earlier_wins = nullptr);

}  // namespace kvs
