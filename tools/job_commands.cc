// kvsjobstat: retry and rerun.
#include "tools/job_commands.h"

#include <cstring>

#include "core/config.h"
#include "diag/text.h"
#include "jobs/run_types.h"
#include "msg/message_pool.h"
#include "tools/job_status_render.h"

namespace kvs {

namespace {

constexpr char kReadRow[] =
    "SELECT COALESCE(JOBRTY, ''), COALESCE(JOBSTS, ''), COALESCE(JOBSTV, 0), "
    "COALESCE(JOBNRT, '') FROM KVSYSTEM.KVS500JOB WHERE JOBDA1 = '%s' AND JOBKE2 = '%s'";
// The state and the attempts as read are part of the condition: a pass
// (or another operator) that changed the row since makes it change
// nothing.
constexpr char kUpdate[] =
    "UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '%s'%s%s WHERE JOBDA1 = '%s' AND JOBKE2 = '%s' AND "
    "%s AND COALESCE(JOBSTV, 0) = %ld";
constexpr char kSetAttempts[] = ", JOBSTV = %ld";
constexpr char kSetNextRun[] = ", JOBNRT = '%s'";
constexpr char kWasBlank[] = "(JOBSTS IS NULL OR JOBSTS = '%s')";
constexpr char kWasState[] = "JOBSTS = '%s'";

// Characters a key may hold on a command line without quotes, in cmd.exe
// and in a POSIX shell alike.
constexpr char kPlainKeyCharacters[] = "_-./#+:,=@";

bool Blank(const std::string& jobsts) { return RightTrim(jobsts).empty(); }

std::string Shown(const std::string& value) {
  const std::string trimmed = RightTrim(value);
  return trimmed.empty() ? kShownEmpty : trimmed;
}

std::string KeyOf(const StatusOptions& options) { return options.jobda1 + "/" + options.jobke2; }

}  // namespace

CommandChange DecideCommand(StatusCommand command, const CommandRow& row) {
  CommandChange change;
  const char* jobsts = row.jobsts.c_str();
  const bool waiting = Blank(row.jobsts) || kStatePlanned.In(jobsts);
  if (kStatesRunning.Holds(jobsts)) {
    change.refused = kRefusedRunning;
    return change;
  }
  const RunTypeRule* rule = RuleOfField(row.jobrty.c_str());
  if (rule == nullptr || command == StatusCommand::kShow) {
    change.refused = kRefusedNotStarted;
    return change;
  }
  const Selection& selection = rule->selection;
  const bool planned_rows = selection.takes == Takes::kPlanned;
  change.state = planned_rows ? kStatePlanned : kStateBlank;
  if (command == StatusCommand::kRetry) {
    // As kvsjobstat lists them: used up where the selection or the start
    // loop counts attempts, never picked where "00" is not taken.
    const bool used_up = row.jobstv > kMaxStartAttempts &&
                         (selection.limits_attempts || (rule->retires_used_up && waiting));
    const bool never_picked = kStatePlanned.In(jobsts) && !planned_rows;
    if (kStateStartFailed.In(jobsts) || used_up || never_picked) {
      change.reset_attempts = true;
    } else {
      change.refused = waiting ? kRefusedWaiting : kRefusedNothingToRetry;
    }
    return change;
  }
  if (selection.takes == Takes::kEnded) {
    change.refused = kRefusedRestartsItself;
    return change;
  }
  if (rule->upkeep == Upkeep::kExpandDayEnd) {
    change.refused = kRefusedRenewed;
    return change;
  }
  const bool ended = kStateEnded.In(jobsts) || kStateTerminated.In(jobsts) ||
                     (rule->rests_outside_window && kStateOutsideWindow.In(jobsts));
  if (!ended) {
    change.refused = kStateStartFailed.In(jobsts) ? kRefusedStartFailed
                     : waiting                    ? kRefusedWaiting
                                                  : kRefusedNotEnded;
    return change;
  }
  // A planned row runs when its JOBNRT has come; a row that runs once is
  // taken with fresh attempts.
  change.due_now = planned_rows;
  change.reset_attempts = !planned_rows;
  return change;
}

std::string CommandHint(const StatusJob& job) {
  // Running it once more would not bring back its schedule.
  if (job.reason == StuckReason::kScheduleGone) return "";
  const CommandRow row{job.jobrty, job.jobsts, job.jobstv, job.next};
  for (StatusCommand command : {StatusCommand::kRetry, StatusCommand::kRerun}) {
    if (DecideCommand(command, row).refused != nullptr) continue;
    std::string key = job.jobda1 + "/" + job.jobke2;
    for (char c : key) {
      const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || std::strchr(kPlainKeyCharacters, c) != nullptr;
      if (!plain) {
        key = "\"" + key + "\"";
        break;
      }
    }
    return std::string("kvsjobstat ") + CommandWord(command) + " " + key;
  }
  return "";
}

std::string CommandMessage(StatusCommand command, const std::string& jobda1,
                           const std::string& jobke2) {
  const char* format = command == StatusCommand::kRetry ? kMsgJobRetried : kMsgJobRerun;
  const size_t fixed = std::strlen(format) - 2;  // without "%s"
  std::string key = jobda1 + "/" + jobke2;
  // The pool would cut the end of the text; the end of JOBKE2 is what can
  // go.
  if (fixed + key.size() > kMaxPostedText) key = key.substr(0, kMaxPostedText - fixed - 3) + "...";
  return StrFormat(format, key.c_str());
}

// ---- Statements -----------------------------------------------------------------

SqlStatement TextReadCommandRow(Dialect dialect, const std::string& jobda1,
                                const std::string& jobke2) {
  if (dialect == Dialect::kUnknown) return SqlStatement();
  return SqlFormat(kReadRow, SqlText(jobda1), SqlText(jobke2));
}

SqlStatement TextCommandUpdate(Dialect dialect, const std::string& jobda1,
                               const std::string& jobke2, const CommandRow& row,
                               const CommandChange& change, const std::string& now) {
  if (dialect == Dialect::kUnknown || change.refused != nullptr) return SqlStatement();
  const SqlStatement attempts =
      change.reset_attempts ? SqlFormat(kSetAttempts, SqlNumber(0)) : SqlStatement();
  const SqlStatement next_run =
      change.due_now ? SqlFormat(kSetNextRun, SqlText(now)) : SqlStatement();
  const SqlStatement was = Blank(row.jobsts) ? SqlFormat(kWasBlank, SqlText(kStateBlank))
                                             : SqlFormat(kWasState, SqlText(row.jobsts));
  return SqlFormat(kUpdate, SqlText(change.state), attempts, next_run, SqlText(jobda1),
                   SqlText(jobke2), was, SqlNumber(row.jobstv));
}

// ---- The commands -----------------------------------------------------------------

int ReadCommandRow(Session& session, const StatusOptions& options, CommandRow* row) {
  char jobrty[3] = {};
  char jobsts[3] = {};
  char jobnrt[15] = {};
  int32_t jobstv = 0;
  const int rc = session.QueryRow(
      TextReadCommandRow(session.dialect(), options.jobda1, options.jobke2),
      {ColumnBinding::Text(jobrty, sizeof jobrty), ColumnBinding::Text(jobsts, sizeof jobsts),
       ColumnBinding::Long(&jobstv), ColumnBinding::Text(jobnrt, sizeof jobnrt)});
  if (rc != 0) return rc;
  *row = {RightTrimInPlace(jobrty), RightTrimInPlace(jobsts), jobstv, RightTrimInPlace(jobnrt)};
  return 0;
}

int PutJobBack(Platform& platform, Session& session, Logs& logs, const std::string& fallback_path,
               const StatusOptions& options, const CommandRow& row, std::string* output,
               std::string* error) {
  const char* word = CommandWord(options.command);
  const std::string key = KeyOf(options);
  const std::string jobrty = Shown(row.jobrty);
  const CommandChange change = DecideCommand(options.command, row);
  if (change.refused != nullptr) {
    *error += StrFormat(kErrJobRefused, word, key.c_str(), jobrty.c_str(),
                        Shown(row.jobsts).c_str(), static_cast<long>(row.jobstv), change.refused);
    return kCommandExitRefused;
  }
  const std::string now = TimestampNow(platform);
  const SqlStatement update =
      TextCommandUpdate(session.dialect(), options.jobda1, options.jobke2, row, change, now);
  std::string changes =
      StrFormat(kOutChangeState, Shown(row.jobsts).c_str(), Shown(change.state.text()).c_str());
  if (change.reset_attempts)
    changes += StrFormat(kOutChangeAttempts, static_cast<long>(row.jobstv));
  if (change.due_now)
    changes += StrFormat(kOutChangeNextRun, Shown(row.jobnrt).c_str(), now.c_str());
  if (options.dry_run) {
    *output += StrFormat(kOutJobDryRun, word, key.c_str(), jobrty.c_str(), changes.c_str(),
                         update.text().c_str());
    return kStatusExitOk;
  }
  const int rc = session.Execute(update, true);
  if (rc == 100) {
    const std::string line = StrFormat(kErrJobChangedMeanwhile, word, key.c_str(),
                                       Shown(row.jobsts).c_str(), static_cast<long>(row.jobstv));
    logs.Main(line);
    *error += line;
    return kCommandExitChangedMeanwhile;
  }
  if (rc != 0) {
    const SqlError& e = session.error();
    *error += StrFormat(kErrJobStatement, word, key.c_str(), static_cast<long>(rc), e.sqlstate,
                        e.message);
    return kStatusExitQueryFailed;
  }
  const std::string line =
      StrFormat(kOutJobChanged, word, key.c_str(), jobrty.c_str(), changes.c_str());
  logs.Main(line);
  *output += line;
  // As the controller posts: its sender fields, its fallback file.
  MessagePool pool(platform, logs, session);
  pool.SetFallbackFile(fallback_path);
  std::string pool_error;
  if (pool.CreateRecord(&pool_error)) {
    pool.Post(CommandMessage(options.command, options.jobda1, options.jobke2));
  } else {
    logs.Main(pool_error + "\n");
  }
  return kStatusExitOk;
}

int RunJobCommand(Platform& platform, const std::vector<std::string>& args, std::string* error,
                  bool utf8_console) {
  StatusOptions options;
  StatusSetup setup;
  bool done = false;
  int rc = BeginStatusTool(platform, args, error, &options, &setup, &done);
  if (done) return rc;
  // kvsjobstat's own log, as the status has it: the session's lines and
  // every change a command made.
  Logs logs(platform, setup.log_path, BackupPathOf(setup.log_path), setup.log_path,
            BackupPathOf(setup.log_path), setup.log_size_limit, false);
  Session session(logs);
  session.SetDbSystem(setup.db_system);
  const Credentials& c = setup.credentials;
  if (session.Connect(c.user, c.password, c.data_source) != 0) {
    *error += kErrPrefix + StrFormat(kErrConnect, c.data_source.c_str(), c.user.c_str()) + "\n";
    return kStatusExitConnectFailed;
  }
  const char* word = CommandWord(options.command);
  const std::string key = KeyOf(options);
  CommandRow row;
  std::string output;
  rc = ReadCommandRow(session, options, &row);
  if (rc == 100) {
    *error += StrFormat(kErrJobMissing, word, key.c_str());
    rc = kCommandExitNoJob;
  } else if (rc != 0) {
    const SqlError& e = session.error();
    *error += StrFormat(kErrJobStatement, word, key.c_str(), static_cast<long>(rc), e.sqlstate,
                        e.message);
    rc = kStatusExitQueryFailed;
  } else {
    rc = PutJobBack(platform, session, logs, setup.fallback_path, options, row, &output, error);
  }
  (void)session.Disconnect();
  if (!output.empty()) platform.Print(utf8_console ? Utf8FromWindows1252(output) : output);
  return rc;
}

}  // namespace kvs
