#include <cstdio>

#include "platform/platform.h"

namespace kvs {

bool FileExists(const std::string& path) {
  std::FILE* f = std::fopen(NativePath(path).c_str(), "rb");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

}  // namespace kvs
