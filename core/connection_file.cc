#include "core/connection_file.h"

#include <cstdio>
#include <filesystem>
#include <vector>

#include "core/blowfish.h"
#include "diag/text.h"
#include "platform/platform.h"
#include "platform/tool_support.h"

#ifndef KVS_CONNECTION_KEY
#error "KVS_CONNECTION_KEY must be defined by the build"
#endif

namespace kvs {

const char kConnectionKey[] = KVS_CONNECTION_KEY;
static_assert(sizeof(KVS_CONNECTION_KEY) == 8, "the connection key has 7 characters");

namespace {

struct Record {
  std::string section;
  int32_t number = 0;
  std::string key;
  std::string value;
};

// Text between the first and the second ';', "" with fewer than two.
std::string SecondField(const std::string& line) {
  size_t first = line.find(';');
  if (first == std::string::npos) return "";
  size_t second = line.find(';', first + 1);
  if (second == std::string::npos) return "";
  return line.substr(first + 1, second - first - 1);
}

Record ParseRecord(const std::string& header, const std::string& entry) {
  Record r;
  r.section = SecondField(header);
  r.number = LeadingInt(entry.substr(0, entry.find(';')));
  r.key = SecondField(entry);
  size_t first = entry.find(';');
  size_t second = first == std::string::npos ? first : entry.find(';', first + 1);
  if (second != std::string::npos) r.value = entry.substr(second + 1);
  return r;
}

// Reads one whole line without its line break (CR LF or LF). A long line
// stays one line, so records never slip out of step.
bool ReadLine(std::FILE* f, std::string* line) {
  line->clear();
  int c;
  bool any = false;
  while ((c = std::fgetc(f)) != EOF) {
    any = true;
    if (c == '\n') break;
    line->push_back(static_cast<char>(c));
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return any;
}

std::vector<std::string> ReadAllLines(const std::string& path, bool* opened) {
  std::vector<std::string> lines;
  std::FILE* f = std::fopen(NativePath(path).c_str(), "rb");
  *opened = f != nullptr;
  if (!f) return lines;
  std::string line;
  while (ReadLine(f, &line)) lines.push_back(line);
  std::fclose(f);
  return lines;
}

}  // namespace

std::string LookupConnectionValue(const std::string& section, const std::string& key,
                                  int32_t number, const std::string& path) {
  std::FILE* f = std::fopen(NativePath(path).c_str(), "rb");
  if (!f) return "";
  std::string header;
  std::string entry;
  std::string result;
  while (ReadLine(f, &header)) {
    if (!ReadLine(f, &entry)) break;
    Record r = ParseRecord(header, entry);
    if (r.section == section || r.key == key || r.number == number) {
      result = DecryptValue(r.value, kConnectionKey);
      break;
    }
  }
  std::fclose(f);
  return result;
}

int WriteConnectionRecord(const std::string& path, const std::string& section,
                          int32_t number, const std::string& key, const std::string& value,
                          bool* earlier_wins) {
  namespace fs = std::filesystem;
  const fs::path target(NativePath(path));
  bool opened = false;
  std::vector<std::string> lines = ReadAllLines(path, &opened);
  // A file that is there but cannot be read is no new file: written anew
  // it would lose every other record.
  std::error_code ec;
  if (!opened && fs::status(target, ec).type() != fs::file_type::not_found) return -1;
  const std::string entry =
      StrFormat("%ld;%s;%s", static_cast<long>(number), key.c_str(),
                EncryptValue(value, kConnectionKey).c_str());
  bool replaced = false;
  bool earlier = false;
  for (size_t i = 0; i + 1 < lines.size(); i += 2) {
    Record r = ParseRecord(lines[i], lines[i + 1]);
    if (r.section == section && r.key == key) {
      lines[i + 1] = entry;
      replaced = true;
      break;
    }
    // As LookupConnectionValue("", key, 0, ...) matches.
    if (r.section.empty() || r.key == key || r.number == 0) earlier = true;
  }
  if (earlier_wins != nullptr) *earlier_wins = earlier;
  if (!replaced) {
    // A file with an odd number of lines would read the new header as the
    // entry of its last record; better to leave it to a person.
    if (lines.size() % 2 == 1) return -2;
    lines.push_back("KVS;" + section + ";");
    lines.push_back(entry);
  }
  // The new text goes into a folder beside the file that only its owner
  // may enter, so no one else can open it before its protection is set.
  const fs::path folder(target.string() + ".tmp");
  const fs::path temporary = folder / target.filename();
  fs::remove_all(folder, ec);  // left by an interrupted run
  if (!fs::create_directory(folder, ec)) return -1;
  fs::permissions(folder, fs::perms::owner_all, ec);
  bool ok = !ec;
  std::FILE* f = ok ? std::fopen(temporary.string().c_str(), "wb") : nullptr;
  ok = f != nullptr;
  for (const std::string& line : lines) {
    ok = ok && std::fprintf(f, "%s\r\n", line.c_str()) >= 0;
  }
  if (f != nullptr) ok = std::fclose(f) == 0 && ok;
  // The credentials keep the protection the file had; a new file is its
  // owner's alone.
  if (ok) {
    fs::perms perms = fs::perms::owner_read | fs::perms::owner_write;
    if (opened) perms = fs::status(target, ec).permissions();
    if (!ec) fs::permissions(temporary, perms, ec);
    ok = !ec;
  }
  // The controller's account must go on reading it: it keeps its owner
  // and group, or stays as it was.
  const int replaced_rc = ok ? ReplaceFileKeepingOwner(temporary.string(), target.string()) : -1;
  fs::remove_all(folder, ec);
  if (replaced_rc == kErrInvalidOwner) return -3;
  return replaced_rc == 0 ? 0 : -1;
}

ConnectionSettings ReadConnectionSettings(const std::string& path) {
  ConnectionSettings settings;
  settings.credentials.data_source = LookupConnectionValue("", "DATABASE", 0, path);
  settings.schema = LookupConnectionValue("", "SCHEMA", 0, path);
  if (!settings.schema.empty()) settings.schema.pop_back();
  settings.credentials.user = LookupConnectionValue("", "LOGIN", 0, path);
  settings.credentials.password = LookupConnectionValue("", "PASS", 0, path);
  settings.db_system = LookupConnectionValue("", "DB_SYSTEM", 0, path);
  return settings;
}

}  // namespace kvs
