// kvscrypt: the connection file's encryption for operators and tests.
//   kvscrypt encrypt VALUE                         hexadecimal text
//   kvscrypt decrypt HEX                           the value
//   kvscrypt set FILE SECTION NUMBER KEY VALUE     write or update a record
// A VALUE of "-" is read from the first line of standard input, so that a
// password need not stand on the command line; typed at a terminal, it is
// not shown. The key is the one this build of the controller reads the
// file with. set writes the file anew (a new file readable by its owner
// only, an existing one with the protection, owner and group it had) and
// puts it in place of the old one, and warns when an earlier record with
// the key (in another section) would be the one the controller reads. It
// refuses to write another user's file that it cannot give back to that
// user, which would take the credentials from the controller's account.
// Exit status: 0 done, 1 the file could not be written (or was left as it
// was), 2 usage.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/blowfish.h"
#include "core/connection_file.h"
#include "diag/text.h"
#include "platform/tool_support.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: kvscrypt encrypt VALUE\n"
               "       kvscrypt decrypt HEX\n"
               "       kvscrypt set FILE SECTION NUMBER KEY VALUE\n"
               "VALUE - reads the value from the first line of standard input.\n");
  return 2;
}

// The argument, or for "-" the first line of standard input without its
// line end, unseen when typed.
bool ValueOf(const char* arg, std::string* value) {
  if (std::strcmp(arg, "-") != 0) {
    *value = arg;
    return true;
  }
  return kvs::ReadSecretLine("kvscrypt: value (not shown): ", value);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string verb = argv[1];
  std::string value;
  if (verb == "encrypt" && argc == 3) {
    if (!ValueOf(argv[2], &value)) return Usage();
    std::printf("%s\n", kvs::EncryptValue(value, kvs::kConnectionKey).c_str());
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
    if (!ValueOf(argv[6], &value)) {
      std::fprintf(stderr, "kvscrypt: no value on standard input\n");
      return 2;
    }
    bool earlier_wins = false;
    int rc = kvs::WriteConnectionRecord(argv[2], section, number, argv[5], value, &earlier_wins);
    if (rc == -2) {
      std::fprintf(stderr, "kvscrypt: %s has an odd number of lines; not changed\n", argv[2]);
      return 1;
    }
    if (rc == -3) {
      std::fprintf(stderr,
                   "kvscrypt: %s belongs to another user or group, which this account cannot "
                   "give the new file; run kvscrypt as its owner or as root. Not changed\n",
                   argv[2]);
      return 1;
    }
    if (rc != 0) {
      std::fprintf(stderr, "kvscrypt: cannot write %s\n", argv[2]);
      return 1;
    }
    if (earlier_wins) {
      std::fprintf(stderr,
                   "kvscrypt: warning: an earlier record of %s answers %s (the controller takes "
                   "the first record with the key, or with an empty section or number 0, in any "
                   "section); it will not read the value written to section %s\n",
                   argv[2], argv[5], section.c_str());
    }
    return 0;
  }
  return Usage();
}
