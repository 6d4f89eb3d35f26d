// Run types and job states of the job table, shared by every run type.
#pragma once

namespace kvs {

inline constexpr char kRunTypeQueue[] = "01";
inline constexpr char kRunTypePeriodic[] = "03";
inline constexpr char kRunTypePermanent[] = "04";
inline constexpr char kRunTypeExclusive[] = "05";
inline constexpr char kRunTypeCalendar[] = "07";
inline constexpr char kRunTypeDayEnd[] = "08";
inline constexpr char kRunTypeRestart[] = "09";
inline constexpr char kRunTypeStatus[] = "99";

inline constexpr char kStateRunning[] = "01";
inline constexpr char kStateStartFailed[] = "90";
inline constexpr char kStateOutsideWindow[] = "97";
inline constexpr char kStateEnded[] = "98";
inline constexpr char kStateTerminated[] = "99";

}  // namespace kvs
