#include "msg/message_record.h"

#include <charconv>
#include <system_error>
#include <utility>
#include <vector>

#include "db/session.h"
#include "diag/text.h"

namespace kvs {

namespace {

constexpr char kInsertMessage[] =
    "INSERT INTO KVSYSTEM.KVS200MSG (MSGUID, MSGTNR, MSGTXT,  MSGLNK, MSGMOD, MSGSRC,  "
    "MSGSCH, MSGCAT, MSGADR,  MSGBER, MSGPRI, MSGTYP,  MSGBRK, MSGVAL, MSGDBG,  MSGMND, "
    "MSGLIZ, MSGTIN,  MSGSTS, MSGERF) VALUES ('%s',   %ld, '%s',  '%s', '%s', '%s',  '%s', "
    "'%s', '%s',  '%s',   %ld, '%s',  '%s',   %ld, '%s',  '%s', '%s', '%s',    %ld, '%s')";

// The statement of record r with its generated values; MSGSTS is always 0.
SqlStatement FormatInsert(const STRNACHRICHT& r, const std::string& uid, const std::string& tin) {
  using T = SqlText;
  using N = SqlNumber;
  return SqlFormat(kInsertMessage, T(uid), N(r.MSGTNR), T(r.MSGTXT), T(r.MSGLNK), T(r.MSGMOD),
                   T(r.MSGSRC), T(r.MSGSCH), T(r.MSGCAT), T(r.MSGADR), T(r.MSGBER), N(r.MSGPRI),
                   T(r.MSGTYP), T(r.MSGBRK), N(r.MSGVAL), T(r.MSGDBG), T(r.MSGMND), T(r.MSGLIZ),
                   T(tin), N(0), T(r.MSGERF));
}

bool OneOf(const std::string& value, std::initializer_list<const char*> allowed) {
  for (const char* a : allowed) {
    if (value == a) return true;
  }
  return false;
}

}  // namespace

void FillControllerSender(STRNACHRICHT* r) {
  r->MSGMOD = "main";
  r->MSGSRC = "KVSJOBSTR";
  r->MSGSCH = "KVSYSTEM";
  r->MSGCAT = "WARNHINWEISE";
  r->MSGADR = "GEN";
  r->MSGBER = "QUELBAR";
  r->MSGMND = "99999";
  r->MSGLIZ = "99999";
  r->MSGERF = "SYSTEM";
}

uint32_t IdSeed(int64_t t, uint32_t process_id, int64_t steady_ms) {
  // Odd factors: other process ids (or clocks) alone give other seeds.
  return static_cast<uint32_t>(t) ^ (process_id * 2654435761u) ^
         (static_cast<uint32_t>(steady_ms) * 2246822519u);
}

int ValidateRecord(const STRNACHRICHT& r, std::string* error) {
  const char* failure = nullptr;
  if (r.MSGTXT.empty() && r.MSGTNR == 0 && r.MSGLNK.empty()) {
    failure = kErrNoMessage;
  } else if (r.MSGTXT.size() > kMaxMessageText) {
    failure = kErrTooLong;
  } else if (r.MSGMOD.empty()) {
    failure = kErrNoModule;
  } else if (r.MSGSRC.empty()) {
    failure = kErrNoProgram;
  } else if (r.MSGSCH.empty()) {
    failure = kErrNoSchema;
  } else if (r.MSGLIZ.empty() || r.MSGMND.empty()) {
    failure = kErrNoLizMnd;
  } else if (r.MSGERF.empty()) {
    failure = kErrNoCreator;
  } else if (!OneOf(r.MSGCAT, {"WARNHINWEISE", "PROTOKOLLE", "NACHRICHTEN", "DEBUG"})) {
    failure = kErrCategory;
  } else if (!OneOf(r.MSGADR, {"SES", "USR", "GEN"})) {
    failure = kErrRecipient;
  } else if (!OneOf(r.MSGBER, {"QUELBAR", "ADMIN", "SBE", "ALL"})) {
    failure = kErrPermission;
  }
  if (failure == nullptr) return 1;
  *error = failure;
  return 0;
}

SqlStatement BuildInsert(Platform& platform, const STRNACHRICHT& r, int64_t t,
                         IdGenerator* ids, std::string* error) {
  if (ValidateRecord(r, error) == 0) return SqlStatement();
  const std::string uid = StrFormat("%lld%d", static_cast<long long>(t), ids->Next());
  return FormatInsert(r, uid, Timestamp14(platform, t));
}

namespace {

bool DigitsOfLength(const std::string& s, size_t min_length, size_t max_length) {
  return s.size() >= min_length && s.size() <= max_length && AllDigits(s);
}

// The values of a statement in the shape of kInsertMessage, in order:
// texts unquoted, numbers as written. Blanks between values are not
// checked here; the rebuilt statement is compared with the line.
bool ReadInsertValues(const std::string& line, std::vector<std::string>* values) {
  const std::string format = kInsertMessage;
  const size_t head = format.find("VALUES (") + 8;
  if (line.compare(0, head, format, 0, head) != 0) return false;
  size_t at = head;
  auto skip_blanks = [&] {
    while (at < line.size() && line[at] == ' ') ++at;
  };
  bool first = true;
  for (size_t f = format.find('%', head); f != std::string::npos; f = format.find('%', f + 1)) {
    if (!first) {
      skip_blanks();
      if (at >= line.size() || line[at] != ',') return false;
      ++at;
    }
    first = false;
    skip_blanks();
    std::string value;
    if (format[f + 1] == 'l') {
      if (at < line.size() && line[at] == '-') value += line[at++];
      while (at < line.size() && line[at] >= '0' && line[at] <= '9') value += line[at++];
    } else {
      if (at >= line.size() || line[at] != '\'') return false;
      ++at;
      // A quote inside the text is doubled; a single one ends it.
      while (true) {
        if (at >= line.size()) return false;
        if (line[at] == '\'') {
          if (at + 1 < line.size() && line[at + 1] == '\'') {
            value += '\'';
            at += 2;
            continue;
          }
          ++at;
          break;
        }
        value += line[at++];
      }
    }
    values->push_back(value);
  }
  return true;
}

bool ToInt32(const std::string& text, int32_t* value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, *value);
  return ec == std::errc() && ptr == end;
}

}  // namespace

bool RebuildControllerInsert(const std::string& line, const std::string& latest_tin,
                             SqlStatement* statement) {
  std::vector<std::string> v;
  if (!ReadInsertValues(line, &v) || v.size() != 20) return false;
  STRNACHRICHT r;
  int32_t status = -1;
  if (!ToInt32(v[1], &r.MSGTNR) || !ToInt32(v[10], &r.MSGPRI) || !ToInt32(v[13], &r.MSGVAL) ||
      !ToInt32(v[18], &status)) {
    return false;
  }
  r.MSGTXT = v[2];
  r.MSGLNK = v[3];
  r.MSGMOD = v[4];
  r.MSGSRC = v[5];
  r.MSGSCH = v[6];
  r.MSGCAT = v[7];
  r.MSGADR = v[8];
  r.MSGBER = v[9];
  r.MSGTYP = v[11];
  r.MSGBRK = v[12];
  r.MSGDBG = v[14];
  r.MSGMND = v[15];
  r.MSGLIZ = v[16];
  r.MSGERF = v[19];
  const std::string& uid = v[0];
  const std::string& tin = v[17];
  // Only the text may differ from what the controller's own record holds.
  STRNACHRICHT own;
  FillControllerSender(&own);
  own.MSGTXT = r.MSGTXT;
  std::string error;
  if (!(r == own) || status != 0 || ValidateRecord(r, &error) == 0 ||
      !DigitsOfLength(uid, 1, 20) || !DigitsOfLength(tin, 14, 14) || tin > latest_tin) {
    return false;
  }
  SqlStatement rebuilt = FormatInsert(r, uid, tin);
  if (!(rebuilt == line)) return false;
  *statement = std::move(rebuilt);
  return true;
}

}  // namespace kvs
