// The message record STRNACHRICHT: sender and recipient fields of every
// operator message, their validation, and the INSERT into the message pool
// KVSYSTEM.KVS200MSG with a generated unique id. Delivery is MessagePool's.
#pragma once

#include <cstdint>
#include <string>

#include "db/sql_value.h"
#include "platform/platform.h"

namespace kvs {

inline constexpr char kRecordCreateError[] =
    "Programmfehler : Stuktur STRNACHRICHT kann nicht erstellt werden";
inline constexpr char kErrNoMessage[] = "Parameterfehler : Nachricht nicht spezifiziert";
inline constexpr char kErrTooLong[] = "Parameterfehler : Nachricht zu lang";
inline constexpr char kErrNoModule[] = "Parameterfehler : Absender (Modul) nicht spezifiziert";
inline constexpr char kErrNoProgram[] = "Parameterfehler : Absender (Programm) nicht spezifiziert";
inline constexpr char kErrNoSchema[] = "Parameterfehler : Absender (Schema) nicht spezifiziert";
inline constexpr char kErrNoLizMnd[] =
    "Parameterfehler : Absender (Liz oder Mnd) nicht spezifiziert";
inline constexpr char kErrNoCreator[] = "Parameterfehler : Absender (Erfasser) nicht spezifiziert";
inline constexpr char kErrCategory[] = "Parameterfehler : Kategorie nicht spezifiziert";
inline constexpr char kErrRecipient[] = "Parameterfehler : Empf\xE4nger nicht spezifiziert";
inline constexpr char kErrPermission[] =
    "Parameterfehler : Empf\xE4nger (Berechtigung) nicht spezifiziert";

// Longest MSGTXT a message may have.
inline constexpr size_t kMaxMessageText = 120;

struct STRNACHRICHT {
  int32_t MSGTNR = 0;
  std::string MSGTXT;  // at most 250 characters
  std::string MSGLNK;
  std::string MSGMOD;
  std::string MSGSRC;
  std::string MSGSCH;
  std::string MSGCAT;
  std::string MSGADR;
  std::string MSGBER;
  int32_t MSGPRI = 0;
  std::string MSGTYP = "1";
  std::string MSGBRK;
  int32_t MSGVAL = 1;
  std::string MSGDBG;
  std::string MSGMND;
  std::string MSGLIZ;
  std::string MSGERF;

  bool operator==(const STRNACHRICHT&) const = default;
};

// The controller's sender fields.
void FillControllerSender(STRNACHRICHT* record);

// The pseudo-random generator of the ids: 32-bit linear congruential,
// x = x * 214013 + 2531011, yielding bits 16..30.
class IdGenerator {
 public:
  void Seed(uint32_t seed) { state_ = seed; }
  int Next() {
    state_ = state_ * 214013u + 2531011u;
    return static_cast<int>((state_ >> 16) & 0x7FFF);
  }

 private:
  uint32_t state_ = 1;
};

// The seed of a process's ids: the time t mixed with the process id and
// the steady clock, so that controllers started in the same second draw
// other ids (on one server their process ids differ, on two their boot
// clocks): seeded alike, their messages of one second would share ids, and
// in the fallback file the later one would count as delivered and be lost.
uint32_t IdSeed(int64_t t, uint32_t process_id, int64_t steady_ms);

// 1 when valid; 0 with the reason (the texts above) in *error.
int ValidateRecord(const STRNACHRICHT& record, std::string* error);

// The INSERT for record at time t with the id "<t><r>" (r drawn from ids)
// and MSGTIN the local time of t; every text value quoted. "" when the
// record is invalid (*error says why).
SqlStatement BuildInsert(Platform& platform, const STRNACHRICHT& record, int64_t t,
                         IdGenerator* ids, std::string* error);

// How far ahead of the import's own clock a fallback line's MSGTIN may lie:
// the clock may have been set back (summer time ends, a correction) since
// the line was written.
inline constexpr int64_t kFallbackStampSlackSeconds = 86400;

// The statement to run for a line of the fallback file, which other
// programs of the suite can write to: line must be exactly what BuildInsert
// writes for the controller's record (FillControllerSender) and a valid
// MSGTXT, with an id of 1 to 20 digits and an MSGTIN of 14 digits no later
// than latest_tin. Then *statement is the statement rebuilt from the values
// read, to be run instead of the line, and the result true; anything else
// gives false.
bool RebuildControllerInsert(const std::string& line, const std::string& latest_tin,
                             SqlStatement* statement);

}  // namespace kvs
