#include "platform/command_line.h"

namespace kvs {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> args;
  size_t i = 0;
  const size_t n = line.size();
  while (i < n && IsBlank(line[i])) ++i;
  if (i == n) return args;

  // The program: quotes group, backslashes are plain characters.
  std::string program;
  bool quoted = false;
  for (; i < n; ++i) {
    char c = line[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (IsBlank(c) && !quoted) {
      break;
    } else {
      program += c;
    }
  }
  args.push_back(program);

  while (true) {
    while (i < n && IsBlank(line[i])) ++i;
    if (i >= n) break;
    std::string arg;
    quoted = false;
    while (i < n) {
      char c = line[i];
      if (c == '\\') {
        size_t run = 0;
        while (i < n && line[i] == '\\') {
          ++run;
          ++i;
        }
        if (i < n && line[i] == '"') {
          arg.append(run / 2, '\\');
          if (run % 2 == 1) {
            arg += '"';
            ++i;
          }
          // An even run leaves the quote to the next round.
        } else {
          arg.append(run, '\\');
        }
        continue;
      }
      if (c == '"') {
        if (quoted && i + 1 < n && line[i + 1] == '"') {
          arg += '"';
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      if (IsBlank(c) && !quoted) break;
      arg += c;
      ++i;
    }
    args.push_back(arg);
  }
  return args;
}

std::string FindProgram(const std::string& program, const std::string& program_dir,
                        const std::string& current_dir, const std::string& path_list,
                        const std::function<bool(const std::string&)>& is_executable) {
  if (program.empty()) return "";
  std::string name = program;
  for (char& c : name) {
    if (c == '\\') c = '/';
  }
  if (name.find('/') != std::string::npos) {
    std::string candidate = name[0] == '/' ? name : JoinPath(current_dir, name);
    return is_executable(candidate) ? candidate : "";
  }
  for (const std::string& dir : {program_dir, current_dir}) {
    if (dir.empty()) continue;
    std::string candidate = JoinPath(dir, name);
    if (is_executable(candidate)) return candidate;
  }
  size_t start = 0;
  while (start <= path_list.size()) {
    size_t end = path_list.find(':', start);
    if (end == std::string::npos) end = path_list.size();
    std::string dir = path_list.substr(start, end - start);
    // An empty PATH entry means the current directory, already searched.
    if (!dir.empty()) {
      std::string candidate = JoinPath(dir, name);
      if (is_executable(candidate)) return candidate;
    }
    start = end + 1;
  }
  return "";
}

}  // namespace kvs
