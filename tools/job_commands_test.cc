#include "tools/job_commands.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "msg/message_pool.h"
#include "tools/job_status_render.h"

namespace kvs {
namespace {

// Catches a command taken for a key or an option, a key split at its last
// '/' (or not at all), JOBDA1 or JOBKE2 empty or wider than its column
// taken, a second key or a stray word dropped silently, a command mixed
// with the status's options, --dry-run without a command, and the status's
// options no longer parsed after the command words were added.
TEST(JobCommandTest, CommandLine) {
  const std::string k32(32, 'K');
  const struct {
    std::vector<std::string> args;
    int rc;
    StatusCommand command;
    const char* jobda1;
    std::string jobke2;
    bool dry_run;
    std::string error;
  } cases[] = {
      {{"retry", "20240501120000/EXPORT"},
       0,
       StatusCommand::kRetry,
       "20240501120000",
       "EXPORT",
       false,
       ""},
      {{"--dir", "rerun", "rerun", "--dry-run", "20240501120000/A/B"},
       0,
       StatusCommand::kRerun,
       "20240501120000",
       "A/B",
       true,
       ""},
      {{"rerun", "2/" + k32}, 0, StatusCommand::kRerun, "2", k32, false, ""},
      {{"rerun", "2/" + k32 + "K"},
       2,
       StatusCommand::kRerun,
       "",
       "",
       false,
       "kvsjobstat: rerun erwartet JOBDA1/JOBKE2 (1 bis 14 und 1 bis 32 Zeichen, z. B. "
       "20240501120000/EXPORT)\n"},
      {{"retry", "202405011200001/X"},
       2,
       StatusCommand::kRetry,
       "",
       "",
       false,
       "kvsjobstat: retry erwartet JOBDA1/JOBKE2 (1 bis 14 und 1 bis 32 Zeichen, z. B. "
       "20240501120000/EXPORT)\n"},
      {{"retry", "/X"}, 2, StatusCommand::kRetry, "", "", false, ""},
      {{"retry", "20240501120000/"}, 2, StatusCommand::kRetry, "", "", false, ""},
      {{"retry", "20240501120000"}, 2, StatusCommand::kRetry, "", "", false, ""},
      {{"retry"}, 2, StatusCommand::kRetry, "", "", false, ""},
      {{"retry", "1/A", "1/B"},
       2,
       StatusCommand::kRetry,
       "",
       "",
       false,
       "kvsjobstat: ueberzaehliges Argument '1/B'\n"},
      {{"retry", "rerun", "1/A"}, 2, StatusCommand::kRetry, "", "", false, ""},
      {{"retry", "1/A", "--json"},
       2,
       StatusCommand::kRetry,
       "",
       "",
       false,
       "kvsjobstat: retry und rerun gehen nur mit --dir und --dry-run\n"},
      {{"--type", "01", "rerun", "1/A"}, 2, StatusCommand::kRerun, "", "", false, ""},
      {{"--dry-run"},
       2,
       StatusCommand::kShow,
       "",
       "",
       false,
       "kvsjobstat: --dry-run nur mit retry oder rerun\n"},
      {{"1/A"}, 2, StatusCommand::kShow, "", "", false, "kvsjobstat: unbekannte Option '1/A'\n"},
      {{"--type", "01", "--json"}, 0, StatusCommand::kShow, "", "", false, ""},
  };
  for (const auto& c : cases) {
    StatusOptions options;
    std::string error;
    const std::string label = c.args.empty() ? "" : c.args.back();
    ASSERT_EQ(c.rc, ParseStatusOptions(c.args, &options, &error)) << label;
    EXPECT_EQ(c.rc == 0 && c.command != StatusCommand::kShow, IsJobCommand(c.args)) << label;
    if (!c.error.empty()) {
      EXPECT_EQ(c.error, error) << label;
    }
    if (c.rc != 0) continue;
    EXPECT_EQ(c.command, options.command) << label;
    EXPECT_EQ(c.jobda1, options.jobda1) << label;
    EXPECT_EQ(c.jobke2, options.jobke2) << label;
    EXPECT_EQ(c.dry_run, options.dry_run) << label;
  }
}

// Catches a dialect's statement drifting from the other, the state read
// missing from the condition (NULL and blanks alike for a blank state),
// the attempts read missing, a value written unquoted, JOBNRT or JOBSTV
// set where the change does not say so, and a statement for an unknown
// dialect or a refused change.
TEST(JobCommandTest, StatementTexts) {
  const std::string read =
      "SELECT COALESCE(JOBRTY, ''), COALESCE(JOBSTS, ''), COALESCE(JOBSTV, 0), COALESCE(JOBNRT, "
      "'') FROM KVSYSTEM.KVS500JOB WHERE JOBDA1 = '20240501120000' AND JOBKE2 = 'O''NEIL'";
  const struct {
    StatusCommand command;
    CommandRow row;
    const char* text;
  } cases[] = {
      {StatusCommand::kRetry,
       {"01", "90", 3},
       "UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '  ', JOBSTV = 0 WHERE JOBDA1 = '20240501120000' "
       "AND JOBKE2 = 'O''NEIL' AND JOBSTS = '90' AND COALESCE(JOBSTV, 0) = 3"},
      {StatusCommand::kRetry,
       {"01", "", 11},
       "UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '  ', JOBSTV = 0 WHERE JOBDA1 = '20240501120000' "
       "AND JOBKE2 = 'O''NEIL' AND (JOBSTS IS NULL OR JOBSTS = '  ') AND COALESCE(JOBSTV, 0) = 11"},
      {StatusCommand::kRetry,
       {"07", "90", 1},
       "UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '00', JOBSTV = 0 WHERE JOBDA1 = '20240501120000' "
       "AND JOBKE2 = 'O''NEIL' AND JOBSTS = '90' AND COALESCE(JOBSTV, 0) = 1"},
      {StatusCommand::kRerun,
       {"03", "97", 0, "20240501170000"},
       "UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '00', JOBNRT = '20240501121500' WHERE JOBDA1 = "
       "'20240501120000' AND JOBKE2 = 'O''NEIL' AND JOBSTS = '97' AND COALESCE(JOBSTV, 0) = 0"},
      {StatusCommand::kRerun,
       {"01", "99", 1},
       "UPDATE KVSYSTEM.KVS500JOB SET JOBSTS = '  ', JOBSTV = 0 WHERE JOBDA1 = '20240501120000' "
       "AND JOBKE2 = 'O''NEIL' AND JOBSTS = '99' AND COALESCE(JOBSTV, 0) = 1"},
      {StatusCommand::kRerun, {"01", "01", 1}, ""},
  };
  for (Dialect dialect : {Dialect::kMssql, Dialect::kMysql}) {
    EXPECT_EQ(TextReadCommandRow(dialect, "20240501120000", "O'NEIL"), read);
    for (const auto& c : cases) {
      const CommandChange change = DecideCommand(c.command, c.row);
      EXPECT_EQ(
          TextCommandUpdate(dialect, "20240501120000", "O'NEIL", c.row, change, "20240501121500"),
          c.text)
          << c.row.jobrty << " " << c.row.jobsts;
    }
  }
  EXPECT_TRUE(TextReadCommandRow(Dialect::kUnknown, "1", "A").empty());
  EXPECT_TRUE(TextCommandUpdate(Dialect::kUnknown, "1", "A", {"01", "90", 1},
                                DecideCommand(StatusCommand::kRetry, {"01", "90", 1}), "2")
                  .empty());
}

// Catches a posted text over the pool's 100 characters (the pool would
// cut its end, "zurueckgesetzt!" with it), a key cut one character early,
// a cut without its mark, and JOBDA1 lost to a long JOBKE2.
TEST(JobCommandTest, PostedTextFitsThePool) {
  // "Job " and " vom Bediener fuer einen neuen Start zurueckgesetzt!" leave
  // 44 characters for the key, the rerun text 45.
  const std::string da1 = "20240501120000";
  const struct {
    StatusCommand command;
    std::string jobke2;
    std::string text;
  } cases[] = {
      {StatusCommand::kRetry, std::string(29, 'K'),
       "Job " + da1 + "/" + std::string(29, 'K') +
           " vom Bediener fuer einen neuen Start zurueckgesetzt!"},
      {StatusCommand::kRetry, std::string(30, 'K'),
       "Job " + da1 + "/" + std::string(26, 'K') +
           "... vom Bediener fuer einen neuen Start zurueckgesetzt!"},
      {StatusCommand::kRerun, std::string(30, 'K'),
       "Job " + da1 + "/" + std::string(30, 'K') +
           " vom Bediener fuer einen neuen Lauf zurueckgesetzt!"},
      {StatusCommand::kRerun, std::string(32, 'K'),
       "Job " + da1 + "/" + std::string(27, 'K') +
           "... vom Bediener fuer einen neuen Lauf zurueckgesetzt!"},
  };
  for (const auto& c : cases) {
    const std::string text = CommandMessage(c.command, da1, c.jobke2);
    EXPECT_EQ(c.text, text);
    EXPECT_LE(text.size(), kMaxPostedText);
  }
}

// Catches the page offering a command that would refuse the row (a fixed
// retry for every stuck row, rerun for a start failure), one for a
// calendar job whose schedule is gone, and a key with a blank or a shell
// character left unquoted; and the JSON view without the command.
TEST(JobCommandTest, PageHints) {
  const struct {
    const char* rty;
    const char* sts;
    int32_t stv;
    StuckReason reason;
    const char* ke2;
    const char* hint;
  } cases[] = {
      {"01", "90", 1, StuckReason::kStartFailed, "IMPORT",
       "kvsjobstat retry 20240401000000/IMPORT"},
      {"04", "98", 11, StuckReason::kAttemptsUsedUp, "DAILY SYSTEMJOB",
       "kvsjobstat retry \"20240401000000/DAILY SYSTEMJOB\""},
      {"09", "00", 0, StuckReason::kNeverPicked, "A&B", "kvsjobstat retry \"20240401000000/A&B\""},
      {"07", "98", 0, StuckReason::kScheduleGone, "Daily#Team#00001#00002", ""},
      {"07", "99", 0, StuckReason::kNone, "Daily#Team#00001#00002",
       "kvsjobstat rerun 20240401000000/Daily#Team#00001#00002"},
      {"03", "00", 11, StuckReason::kAttemptsUsedUp, "X", ""},
  };
  JobStatus status;
  for (const auto& c : cases) {
    StatusJob job;
    job.jobrty = c.rty, job.jobsts = c.sts, job.jobstv = c.stv, job.reason = c.reason;
    job.jobda1 = "20240401000000", job.jobke2 = c.ke2;
    EXPECT_EQ(c.hint, CommandHint(job)) << c.ke2;
    status.stuck.push_back(job);
  }
  CivilTime now;
  const std::string json = FormatStatusJson(status, now);
  EXPECT_NE(std::string::npos,
            json.find("\"text\":\"Start fehlgeschlagen, 1 Startversuche\",\"command\":\"kvsjobstat "
                      "retry 20240401000000/IMPORT\"}"))
      << json;
  EXPECT_NE(std::string::npos, json.find("\"command\":\"kvsjobstat retry "
                                         "\\\"20240401000000/DAILY SYSTEMJOB\\\"\"}"))
      << json;
}

}  // namespace
}  // namespace kvs
