#include "msg/message_record.h"

#include "db/session.h"
#include "diag/text.h"

namespace kvs {

namespace {

const char kInsertMessage[] =
    "INSERT INTO KVSYSTEM.KVS200MSG (MSGUID, MSGTNR, MSGTXT,  MSGLNK, MSGMOD, MSGSRC,  "
    "MSGSCH, MSGCAT, MSGADR,  MSGBER, MSGPRI, MSGTYP,  MSGBRK, MSGVAL, MSGDBG,  MSGMND, "
    "MSGLIZ, MSGTIN,  MSGSTS, MSGERF) VALUES ('%s',   %d, '%s',  '%s', '%s', '%s',  '%s', "
    "'%s', '%s',  '%s',   %d, '%s',  '%s',   %d, '%s',  '%s', '%s', '%s',    %d, '%s')";

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

std::string BuildInsert(Platform& platform, const STRNACHRICHT& r, int64_t t,
                        IdGenerator* ids, std::string* error) {
  if (ValidateRecord(r, error) == 0) return "";
  const std::string tin = Timestamp14(platform, t);
  const std::string uid = StrFormat("%lld%d", static_cast<long long>(t), ids->Next());
  auto q = [](const std::string& v) { return SqlQuote(v); };
  return StrFormat(kInsertMessage, q(uid).c_str(), r.MSGTNR, q(r.MSGTXT).c_str(),
                   q(r.MSGLNK).c_str(), q(r.MSGMOD).c_str(), q(r.MSGSRC).c_str(),
                   q(r.MSGSCH).c_str(), q(r.MSGCAT).c_str(), q(r.MSGADR).c_str(),
                   q(r.MSGBER).c_str(), r.MSGPRI, q(r.MSGTYP).c_str(), q(r.MSGBRK).c_str(),
                   r.MSGVAL, q(r.MSGDBG).c_str(), q(r.MSGMND).c_str(), q(r.MSGLIZ).c_str(),
                   q(tin).c_str(), 0, q(r.MSGERF).c_str());
}

bool IsMessageInsert(const std::string& line) {
  const std::string format = kInsertMessage;
  const size_t values = format.find("VALUES (") + 8;
  if (line.compare(0, values, format, 0, values) != 0) return false;
  size_t at = values;
  auto skip_blanks = [&] {
    while (at < line.size() && line[at] == ' ') ++at;
  };
  // The kinds of the values, in order: 's' quoted text, 'd' whole number.
  bool first = true;
  for (size_t f = format.find('%', values); f != std::string::npos;
       f = format.find('%', f + 1)) {
    if (!first) {
      skip_blanks();
      if (at >= line.size() || line[at] != ',') return false;
      ++at;
    }
    first = false;
    skip_blanks();
    if (format[f + 1] == 'd') {
      if (at < line.size() && line[at] == '-') ++at;
      const size_t digits = at;
      while (at < line.size() && line[at] >= '0' && line[at] <= '9') ++at;
      if (at == digits) return false;
    } else {
      if (at >= line.size() || line[at] != '\'') return false;
      ++at;
      // A quote inside the text is doubled; a single one ends it.
      while (true) {
        if (at >= line.size()) return false;
        if (line[at] == '\'') {
          if (at + 1 < line.size() && line[at + 1] == '\'') {
            at += 2;
            continue;
          }
          ++at;
          break;
        }
        ++at;
      }
    }
  }
  skip_blanks();
  if (at >= line.size() || line[at] != ')') return false;
  ++at;
  skip_blanks();
  return at == line.size();
}

}  // namespace kvs
