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

std::string_view NextWord(std::string_view* text) {
  const size_t cut = text->find(' ');
  const std::string_view word = text->substr(0, cut);
  *text = cut == std::string_view::npos ? std::string_view() : text->substr(cut + 1);
  return word;
}

// A counter line ("NAME VALUE" or "NAME KEY VALUE") into c.
void ParseCounter(std::string_view line, RunCounters* c) {
  std::string_view words[4];
  size_t count = 0;
  while (!line.empty() && count < 4) words[count++] = NextWord(&line);
  if (count < 2 || count > 3) return;
  const std::string_view value = words[count - 1];
  if (value.size() > 19 || !AllDigits(value)) return;
  const uint64_t n = std::stoull(std::string(value));
  const std::string_view name = words[0], key = count == 3 ? words[1] : std::string_view();
  const std::map<std::string_view, uint64_t*> plain = {
      {"passes", &c->passes},           {"failed_starts", &c->failed_starts},
      {"ended", &c->ended},             {"terminated", &c->terminated},
      {"database_outages", &c->database_outages}, {"run_time_count", &c->run_time_count},
      {"run_time_sum", &c->run_time_sum}};
  if (count == 2 && name == "started") c->started = static_cast<int64_t>(n);
  if (const auto it = plain.find(name); count == 2 && it != plain.end()) *it->second = n;
  if (count == 3 && name == "starts" && key.size() <= 2) c->starts[std::string(key)] = n;
  for (size_t r = 0; count == 3 && name == "reason" && r < c->by_reason.size(); ++r) {
    if (key == EndCauseWord(static_cast<EndCause>(r))) c->by_reason[r] = n;
  }
  for (size_t b = 0; count == 3 && name == "run_time_bucket" && b < c->run_time_buckets.size();
       ++b) {
    if (key == RunTimeBucketBound(b)) c->run_time_buckets[b] = n;
  }
}

}  // namespace

void RunCounters::AddRunTime(int64_t run_seconds) {
  if (run_seconds < 0) return;
  size_t b = 0;
  while (b < kRunTimeBuckets.size() && run_seconds > kRunTimeBuckets[b]) ++b;
  ++run_time_buckets[b];
  ++run_time_count;
  run_time_sum += static_cast<uint64_t>(run_seconds);
}

std::string RunTimeBucketBound(size_t b) {
  return b < kRunTimeBuckets.size() ? std::to_string(kRunTimeBuckets[b]) : "+Inf";
}

const char* EndCauseWord(EndCause reason) {
  switch (reason) {
    case EndCause::kRunTime:
      return "run_time";
    case EndCause::kDatabaseLost:
      return "database_lost";
    case EndCause::kServiceGone:
      return "service_gone";
    case EndCause::kTakenOver:
      return "taken_over";
    case EndCause::kCount:
      break;
  }
  return "";
}

std::string FormatPassState(const PassState& state) {
  std::string text = StrFormat("%s %s %s\n", OutcomeWord(state.outcome),
                               state.since.empty() ? "-" : state.since.c_str(),
                               state.last_complete.empty() ? "-" : state.last_complete.c_str());
  const RunCounters& c = state.counters;
  if (c.started == 0) return text;
  auto line = [&text](const std::string& name, uint64_t value) {
    text += name + " " + std::to_string(value) + "\n";
  };
  line("started", static_cast<uint64_t>(c.started));
  line("passes", c.passes);
  for (const auto& [type, n] : c.starts) line("starts " + type, n);
  line("failed_starts", c.failed_starts);
  line("ended", c.ended);
  line("terminated", c.terminated);
  for (size_t r = 0; r < c.by_reason.size(); ++r) {
    line(std::string("reason ") + EndCauseWord(static_cast<EndCause>(r)), c.by_reason[r]);
  }
  line("database_outages", c.database_outages);
  for (size_t b = 0; b < c.run_time_buckets.size(); ++b) {
    line("run_time_bucket " + RunTimeBucketBound(b), c.run_time_buckets[b]);
  }
  line("run_time_count", c.run_time_count);
  line("run_time_sum", c.run_time_sum);
  return text;
}

bool ParsePassState(std::string_view all, PassState* state) {
  const size_t first_end = all.find('\n');
  std::string_view text = all.substr(0, first_end);
  std::string_view rest =
      first_end == std::string_view::npos ? std::string_view() : all.substr(first_end + 1);
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
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    ParseCounter(line, &parsed.counters);
  }
  *state = parsed;
  return true;
}

bool WritePassState(const std::string& name, const PassState& state) {
  return ReplaceFileContent(name, FormatPassState(state)) == 0;
}

bool ReadPassState(const std::string& name, PassState* state, int64_t* modified) {
  std::FILE* f = std::fopen(NativePath(name).c_str(), "rb");
  if (f == nullptr) return false;
  // The state line and the counters: a few hundred bytes.
  char buffer[4096];
  const size_t n = std::fread(buffer, 1, sizeof buffer, f);
  std::fclose(f);
  return ParsePassState(std::string_view(buffer, n), state) && FlagFileTime(name, modified);
}

void RemovePassState(const std::string& name) {
  std::error_code ec;
  std::filesystem::remove(NativePath(name), ec);
}

}  // namespace kvs
