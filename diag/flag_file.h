// Flag files: empty marker files whose existence alone tells other
// programs something (the controller keeps "DYE" while it is connected).
#pragma once

#include <cstdint>
#include <string>

#include "diag/log_file.h"

namespace kvs {

// The controller's flag file in its program directory, present while it
// is connected, and how often a pass refreshes its modification time;
// kvsjobstat takes a DYE older than two of these for a controller that
// hangs.
inline constexpr char kFlagFileName[] = "DYE";
inline constexpr int64_t kFlagRefreshSeconds = 60;

inline constexpr char kFlagFileCreated[] = "Flag-Datei %s wurde erstellt.\n";
inline constexpr char kFlagFileCreateFailed[] =
    "Flag-Datei %s kann nicht erstellt werden. errno = %d\n";
inline constexpr char kFlagFileDeleted[] = "Flag-Datei %s wurde geloescht.\n";
inline constexpr char kFlagFileDeleteFailed[] =
    "Flag-Datei %s konnte nicht geloescht werden. errno = %d\n";

// Creates name (an existing file keeps its content) and logs the outcome.
void CreateFlagFile(Logs& logs, const std::string& name);
// Deletes name and logs the outcome (errno 2 when it did not exist).
void DeleteFlagFile(Logs& logs, const std::string& name);

// Sets the modification time of an existing flag file to now (seconds
// since 1970, UTC), so that its age tells whether its owner still works.
// A missing file is not created. False when the time could not be set.
bool RefreshFlagFile(const std::string& name, int64_t now);
// Seconds since 1970 (UTC) of the file's modification time; false when
// the file does not exist or cannot be read.
bool FlagFileTime(const std::string& name, int64_t* time);

}  // namespace kvs
