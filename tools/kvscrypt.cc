// kvscrypt: the connection file's encryption for operators and tests.
//   kvscrypt encrypt VALUE                         hexadecimal text
//   kvscrypt decrypt HEX                           the value
//   kvscrypt set FILE SECTION NUMBER KEY VALUE     write or update a record
// The key is the one this build of the controller reads the file with.
// Exit status: 0 done, 1 the file could not be written, 2 usage.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/blowfish.h"
#include "core/connection_file.h"
#include "diag/text.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: kvscrypt encrypt VALUE\n"
               "       kvscrypt decrypt HEX\n"
               "       kvscrypt set FILE SECTION NUMBER KEY VALUE\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string verb = argv[1];
  if (verb == "encrypt" && argc == 3) {
    std::printf("%s\n", kvs::EncryptValue(argv[2], kvs::kConnectionKey).c_str());
    return 0;
  }
  if (verb == "decrypt" && argc == 3) {
    std::printf("%s\n", kvs::DecryptValue(argv[2], kvs::kConnectionKey).c_str());
    return 0;
  }
  if (verb == "set" && argc == 7) {
    const std::string section = argv[3];
    const int32_t number = kvs::LeadingInt(argv[4]);
    // Lookups pass an empty section and number 0, so a record with either
    // would answer every key.
    if (section.empty() || section.find(';') != std::string::npos || number == 0 ||
        std::strchr(argv[5], ';') != nullptr || argv[5][0] == '\0') {
      std::fprintf(stderr,
                   "kvscrypt: the section must not be empty, the number not 0, and neither "
                   "section nor key may hold ';'\n");
      return 2;
    }
    int rc = kvs::WriteConnectionRecord(argv[2], section, number, argv[5], argv[6]);
    if (rc == -2) {
      std::fprintf(stderr, "kvscrypt: %s has an odd number of lines; not changed\n", argv[2]);
      return 1;
    }
    if (rc != 0) {
      std::fprintf(stderr, "kvscrypt: cannot write %s\n", argv[2]);
      return 1;
    }
    return 0;
  }
  return Usage();
}
