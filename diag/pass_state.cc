#include "diag/pass_state.h"

#include <cstdio>
#include <filesystem>

#include "diag/flag_file.h"
#include "diag/text.h"

namespace kvs {

namespace {

const char* OutcomeWord(PassOutcome outcome) {
  switch (outcome) {
    case PassOutcome::kComplete:
      return "OK";
    case PassOutcome::kDatabaseDown:
      return "DB";
    case PassOutcome::kReloadFailed:
      return "FAIL";
  }
  return "OK";
}

bool IsStamp(std::string_view s) { return s.size() == 14 && AllDigits(s); }

}  // namespace

std::string FormatPassState(const PassState& state) {
  return StrFormat("%s %s %s\n", OutcomeWord(state.outcome),
                   state.since.empty() ? "-" : state.since.c_str(),
                   state.last_complete.empty() ? "-" : state.last_complete.c_str());
}

bool ParsePassState(std::string_view text, PassState* state) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  std::string_view words[3];
  for (std::string_view& word : words) {
    const size_t cut = text.find(' ');
    word = text.substr(0, cut);
    text = cut == std::string_view::npos ? std::string_view() : text.substr(cut + 1);
  }
  if (!text.empty()) return false;
  PassState parsed;
  if (words[0] == "OK") {
    parsed.outcome = PassOutcome::kComplete;
  } else if (words[0] == "DB") {
    parsed.outcome = PassOutcome::kDatabaseDown;
  } else if (words[0] == "FAIL") {
    parsed.outcome = PassOutcome::kReloadFailed;
  } else {
    return false;
  }
  for (int i : {1, 2}) {
    if (words[i] == "-") continue;
    if (!IsStamp(words[i])) return false;
    (i == 1 ? parsed.since : parsed.last_complete) = std::string(words[i]);
  }
  *state = parsed;
  return true;
}

bool WritePassState(const std::string& name, const PassState& state) {
  const std::string path = NativePath(name);
  const std::string temporary = path + ".tmp";
  std::FILE* f = std::fopen(temporary.c_str(), "wb");
  if (f == nullptr) return false;
  const std::string line = FormatPassState(state);
  const bool written = std::fwrite(line.data(), 1, line.size(), f) == line.size();
  if (std::fclose(f) != 0 || !written) return false;
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  return !ec;
}

bool ReadPassState(const std::string& name, PassState* state, int64_t* modified) {
  std::FILE* f = std::fopen(NativePath(name).c_str(), "rb");
  if (f == nullptr) return false;
  char buffer[64];
  const size_t n = std::fread(buffer, 1, sizeof buffer, f);
  std::fclose(f);
  return ParsePassState(std::string_view(buffer, n), state) && FlagFileTime(name, modified);
}

void RemovePassState(const std::string& name) {
  std::error_code ec;
  std::filesystem::remove(NativePath(name), ec);
}

}  // namespace kvs
