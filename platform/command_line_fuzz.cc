// libFuzzer target of the command-line splitter and the program search.
// The input is the command line. Its words quoted again by the C runtime's
// rules must split into the same words; the words then serve as the
// program, the directories and the PATH of a search whose file system is a
// rule on the names.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/command_line.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// An argument in quotes: backslashes doubled where a quote follows them,
// each quote escaped.
void AppendQuoted(const std::string& arg, std::string* line) {
  *line += '"';
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      line->append(2 * backslashes + 1, '\\');
    } else {
      line->append(backslashes, '\\');
    }
    backslashes = 0;
    *line += c;
  }
  line->append(2 * backslashes, '\\');
  *line += '"';
}

// A file system of a few names: stable for one name, differing between names.
bool Exists(const std::string& path) { return std::hash<std::string>()(path) % 3 == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> args = kvs::SplitCommandLine(line);

  size_t total = 0;
  for (const std::string& arg : args) total += arg.size();
  // Every character of a word comes from its own character of the line.
  Check(total <= size);
  if (args.empty()) {
    Check(line.find_first_not_of(" \t") == std::string_view::npos);
    return 0;
  }

  // The program never keeps a quote; in quotes it stands as it is.
  Check(args[0].find('"') == std::string::npos);
  std::string again = "\"" + args[0] + "\"";
  for (size_t i = 1; i < args.size(); ++i) {
    again += ' ';
    AppendQuoted(args[i], &again);
  }
  Check(kvs::SplitCommandLine(again) == args);

  auto word = [&args](size_t i) { return i < args.size() ? args[i] : std::string(); };
  const std::string& program = args[0];
  const std::string path_list = word(3);
  std::set<std::string> asked;
  size_t calls = 0;
  auto is_executable = [&](const std::string& candidate) {
    ++calls;
    asked.insert(candidate);
    return Exists(candidate);
  };
  const std::string found =
      kvs::FindProgram(program, word(1), word(2), path_list, is_executable);

  size_t entries = 1;
  for (char c : path_list) entries += c == ':';
  Check(calls <= entries + 2);
  if (!found.empty()) {
    Check(asked.count(found) == 1 && Exists(found));
    std::string name = program;
    for (char& c : name) {
      if (c == '\\') c = '/';
    }
    Check(found.size() >= name.size() &&
          found.compare(found.size() - name.size(), name.size(), name) == 0);
  }
  return 0;
}
