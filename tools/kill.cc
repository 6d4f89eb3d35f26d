// kill: ends a process by id, or every process of a program by name.
//   kill PID    ends that process
//   kill NAME   ends every process whose executable base name equals NAME
//               (without regard to case)
// Exit status: 0 something was ended, 1 nothing matched, 2 usage,
// 3 a matching process could not be ended.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/tool_support.h"

namespace {

bool IsNumber(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '\0') {
    std::fprintf(stderr, "usage: kill PID | kill NAME\n");
    return 2;
  }
  const std::string target = argv[1];
  if (IsNumber(target)) {
    unsigned long pid = std::strtoul(target.c_str(), nullptr, 10);
    if (pid == 0 || pid > 0xFFFFFFFFul) {
      std::fprintf(stderr, "kill: no process %s\n", target.c_str());
      return 1;
    }
    int rc = kvs::TerminateProcessById(static_cast<uint32_t>(pid));
    if (rc != 0) {
      std::fprintf(stderr, "kill: process %s not ended, error %d\n", target.c_str(), rc);
      return rc == 87 ? 1 : 3;
    }
    return 0;
  }

  std::vector<kvs::ProcessEntry> processes;
  if (kvs::ListProcesses(&processes) != 0) {
    std::fprintf(stderr, "kill: cannot list processes\n");
    return 3;
  }
  const uint32_t self = kvs::CurrentProcessId();
  const std::string wanted = Upper(target);
  int ended = 0;
  int failed = 0;
  for (const kvs::ProcessEntry& p : processes) {
    if (p.pid == self || Upper(p.base_name) != wanted) continue;
    if (kvs::TerminateProcessById(p.pid) == 0) {
      ++ended;
    } else {
      ++failed;
    }
  }
  if (failed > 0) {
    std::fprintf(stderr, "kill: %d process(es) of %s not ended\n", failed, target.c_str());
    return 3;
  }
  if (ended == 0) {
    std::fprintf(stderr, "kill: no process %s\n", target.c_str());
    return 1;
  }
  return 0;
}
