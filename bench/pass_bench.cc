// Benchmarks of the controller against the private MariaDB:
//   passes  GetKvProcs + runtime supervision with 0, 100 and 1024 jobs in
//           state "01", each backed by a live process (the heartbeat's
//           sleep is not part of it), with the resident memory of this
//           process after the passes;
//   burst   the resident memory of the real KVSJOBSTR under kvsjobsvc with
//           no jobs, once it has run its passes for a while; then 1000
//           waiting queue jobs with MAXJOBS 1000, from the controller's
//           start until every job runs;
//   pace    a running controller under kvsjobsvc: one queue job inserted
//           at a time, 20 times, each at a random moment of the pass, and
//           the time until its row is "01" (median, max); then 300 queue
//           jobs inserted with one statement, and the time until the
//           first and until all of them run (five bursts);
//   scale   (only when asked for: about 20 minutes) the job table
//           holding 0, 10,000, 100,000 and 1,000,000 ended rows, each with
//           no index beside the key, with the index on (JOBRTY, JOBSTS)
//           alone and with both indexes of db/schema/mysql.sql: the work
//           of one pass of the running controller (the time between the
//           heartbeats of two passes less the heartbeats' own second), the
//           rows the database read for it, and insert to start as in pace.
//
//   pass_bench [--controller DIR] [--rows N,N,...] [SECTION...]
//
// Sections run in the order given; without any: passes, burst, pace.
// --controller takes KVSJOBSTR from the build folder DIR (an earlier
// release, say) while the service stand-in, kill and kvscrypt stay this
// build's. --rows replaces the row counts of scale.
// Run through scripts/bench, which starts the database and builds this.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "db/job_table.h"
#include "db/session.h"
#include "diag/log_file.h"
#include "diag/text.h"
#include "msg/message_pool.h"
#include "platform/platform.h"
#include "platform/tool_support.h"
#include "proc/process_manager.h"

namespace kvs {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// VmRSS of a process in kB, -1 when it cannot be read.
long ResidentKb(uint32_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// The machine's load average over the last minute, -1 when unknown: the
// figures of a machine busy with other work are rough.
double LoadAverage() {
  std::ifstream in("/proc/loadavg");
  double load = -1;
  in >> load;
  return in ? load : -1;
}

double Median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

double Max(const std::vector<double>& v) {
  return v.empty() ? -1 : *std::max_element(v.begin(), v.end());
}

// How long the idle controller runs its passes before it is measured.
constexpr int kIdleSeconds = 10;
// The service stand-in answers this long, longer than any section runs.
constexpr int kServiceSeconds = 3600;
// The heartbeat sleeps this long after every answered contact.
constexpr double kContactSleepMs = 1000;

class NoLink : public ServiceLink {
 public:
  int Beat(bool, const char*) override { return 1; }
};

bool Check(int rc, const char* what, Session& session) {
  if (rc == 0) return true;
  std::fprintf(stderr, "%s failed: %d %s\n", what, rc, session.error().message);
  return false;
}

// Median of the pass work over several passes, with n live jobs.
double PassWork(Platform& platform, Session& session, ProcessManager& pm,
                const std::string& sleeper, int n, std::vector<uint32_t>* pids) {
  if (!Check(session.Execute(SqlFormat("DELETE FROM KVSYSTEM.KVS500JOB")), "delete", session))
    return -1;
  const std::string name = fs::path(sleeper).filename().string();
  for (int i = 0; i < n; ++i) {
    uint32_t pid = 0;
    if (platform.StartProcess("\"" + sleeper + "\" 600", &pid) != 0) return -1;
    pids->push_back(pid);
    // The job's start is its process's creation, as a launch writes it.
    const ProcessInfo info = platform.InspectProcess(pid);
    if (!info.has_creation_time) return -1;
    const std::string started = Timestamp14(platform, info.creation_time);
    char key[33];
    std::snprintf(key, sizeof key, "JOB%05d", i);
    const SqlStatement sql = SqlFormat(
        "INSERT INTO KVSYSTEM.KVS500JOB (JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, JOBRTY, "
        "JOBSTS, JOBNAM, JOBNUM, JOBSDA, JOBSTV) VALUES ('20260101000000', '%s', '', 'x', "
        "3600, '01', '01', '%s', '%ld', '%s', 1)",
        SqlText(key), SqlText(name), SqlNumber(static_cast<int32_t>(pid)), SqlText(started));
    if (!Check(session.Execute(sql), "insert", session)) return -1;
  }
  std::vector<double> samples;
  for (int pass = 0; pass < 15; ++pass) {
    auto start = Clock::now();
    pm.BeginPass();
    if (pm.GetKvProcs() != 1) return -1;
    pm.Supervise();
    samples.push_back(Ms(Clock::now() - start));
  }
  if (pm.running_count() != n) {
    std::fprintf(stderr, "expected %d running jobs, found %d\n", n, pm.running_count());
    return -1;
  }
  return Median(samples);
}

// ---- A real controller under the service stand-in -------------------------

// A program directory of its own in the temporary folder: KVSJOBSTR,
// kvsjobsvc, kill, kvscrypt and the sleeper as "kvssleep", KVSJOBCTL.INI
// with MAXJOBS (and the debug log, whose contact lines time the passes),
// and a connection file for the benchmark's database.
struct Site {
  fs::path dir;
  fs::path bin;
  int instance = 0;
  uint32_t svc = 0;
  uint32_t ctl = 0;
};

bool SetUpSite(const fs::path& build_dir, const fs::path& controller_dir,
               const std::string& sleeper, int max_jobs, bool debug_log, Site* site) {
  site->dir = fs::temp_directory_path() / ("kvs_bench_" + std::to_string(CurrentProcessId()));
  site->bin = site->dir / "bin";
  site->instance = static_cast<int>(CurrentProcessId() % 100000) + 200000;
  std::error_code error;
  fs::remove_all(site->dir, error);
  fs::create_directories(site->bin, error);
  if (error) return false;
  fs::copy_file(controller_dir / "KVSJOBSTR", site->bin / "KVSJOBSTR", error);
  for (const char* tool : {"kvsjobsvc", "kill", "kvscrypt"}) {
    if (!error) fs::copy_file(build_dir / tool, site->bin / tool, error);
  }
  if (!error) fs::copy_file(sleeper, site->bin / "kvssleep", error);
  if (error) {
    std::fprintf(stderr, "cannot lay out %s: %s\n", site->bin.c_str(), error.message().c_str());
    return false;
  }
  std::ofstream(site->bin / "KVSJOBCTL.INI")
      << "[JOBATR]\nMAXJOBS=" << max_jobs << "\nDBGLOG=" << (debug_log ? 1 : 0) << "\n";
  const std::pair<const char*, std::string> values[] = {{"DATABASE", Env("KVS_TEST_DSN")},
                                                        {"SCHEMA", "KVSYSTEM."},
                                                        {"LOGIN", Env("KVS_TEST_USER")},
                                                        {"PASS", Env("KVS_TEST_PASSWORD")},
                                                        {"DB_SYSTEM", "MYSQL"}};
  int number = 1;
  for (const auto& [key, value] : values) {
    int exit_code = 0;
    if (RunAndWait("\"" + (site->bin / "kvscrypt").string() + "\" set \"" +
                       (site->bin / "KORVALINE.INI").string() + "\" BENCH " +
                       std::to_string(number++) + " " + key + " " + value,
                   &exit_code) != 0 ||
        exit_code != 0) {
      return false;
    }
  }
  return true;
}

bool StartService(Platform& platform, Site& site) {
  if (platform.StartProcess("bash -c \"exec '" + (site.bin / "kvsjobsvc").string() +
                                "' --instance " + std::to_string(site.instance) +
                                " --stop-after-seconds " + std::to_string(kServiceSeconds) +
                                " --quiet --log '" + (site.dir / "svc.log").string() +
                                "' 2>/dev/null\"",
                            &site.svc) != 0) {
    return false;
  }
  SleepMs(300);
  return true;
}

bool StartController(Platform& platform, Site& site) {
  return platform.StartProcess("bash -c \"cd '" + site.bin.string() +
                                   "' && exec ./KVSJOBSTR " + std::to_string(site.instance) +
                                   " >/dev/null\"",
                               &site.ctl) == 0;
}

// Ends the jobs that the controller started.
void KillJobs(const Site& site) {
  int exit_code = 0;
  (void)RunAndWait("bash -c \"'" + (site.bin / "kill").string() + "' kvssleep >/dev/null 2>&1\"",
                   &exit_code);
}

// Ends the controller and the jobs it started (an orderly shutdown pauses
// 100 ms per job; the kill tool is quicker).
void StopController(Site& site) {
  if (site.ctl != 0) (void)TerminateProcessById(site.ctl);
  site.ctl = 0;
  KillJobs(site);
}

void TearDownSite(Site& site) {
  StopController(site);
  if (site.svc != 0) (void)TerminateProcessById(site.svc);
  site.svc = 0;
  std::error_code ignored;
  fs::remove_all(site.dir, ignored);
}

// The state of one row, "" when it has none or is missing; rc as QueryRow.
int RowState(Session& session, const std::string& jobda1, const std::string& jobke2,
             std::string* state) {
  char sts[8] = {};
  int rc = session.QueryRow(SqlFormat("SELECT COALESCE(JOBSTS, '') FROM KVSYSTEM.KVS500JOB "
                                      "WHERE JOBDA1 = '%s' AND JOBKE2 = '%s'",
                                      SqlText(jobda1), SqlText(jobke2)),
                            {ColumnBinding::Text(sts, sizeof sts)});
  *state = RightTrim(sts);
  return rc;
}

// Waits until the controller's first pass has written the status row and
// a few passes more have gone by.
bool AwaitPasses(Session& session) {
  const auto start = Clock::now();
  std::string state;
  while (RowState(session, kStatusJobDa1, kStatusJobKe2, &state) == 100) {
    if (Clock::now() - start > std::chrono::seconds(120)) {
      std::fprintf(stderr, "the controller wrote no status row\n");
      return false;
    }
    SleepMs(20);
  }
  SleepMs(3000);
  return true;
}

bool DeleteStatusRow(Session& session) {
  return Check(session.Execute(SqlFormat("DELETE FROM KVSYSTEM.KVS500JOB WHERE JOBDA1 = '%s' AND "
                                         "JOBKE2 = '%s'",
                                         SqlText(kStatusJobDa1), SqlText(kStatusJobKe2))),
               "delete", session);
}

// Insert to start: count queue jobs inserted one at a time, each after a
// random pause so that the inserts fall on every moment of the pass; the
// seconds from each insert until its row runs. false when a job did not
// start within a minute.
bool InsertToStart(Platform& platform, Session& session, int count, const char* key_prefix,
                   std::vector<double>* seconds) {
  std::mt19937 random(20261209);
  std::uniform_int_distribution<int> pause_ms(0, 1000);
  for (int i = 0; i < count; ++i) {
    SleepMs(pause_ms(random));
    // Queue rows older than 30 days are deleted by the start-up clean-up.
    const std::string jobda1 = TimestampNow(platform);
    char jobke2[33];
    std::snprintf(jobke2, sizeof jobke2, "%s%05d", key_prefix, i);
    if (!Check(session.Execute(SqlFormat(
                   "INSERT INTO KVSYSTEM.KVS500JOB (JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, "
                   "JOBRTY, JOBSTS) VALUES ('%s', '%s', NULL, 'kvssleep 1', 0, '01', NULL)",
                   SqlText(jobda1), SqlText(jobke2))),
               "insert", session)) {
      return false;
    }
    const auto inserted = Clock::now();
    std::string state;
    while (true) {
      int rc = RowState(session, jobda1, jobke2, &state);
      if (rc != 0) return Check(rc, "poll", session);
      if (!state.empty()) break;
      if (Clock::now() - inserted > std::chrono::seconds(60)) {
        std::fprintf(stderr, "queue job %s did not start within a minute\n", jobke2);
        return false;
      }
      SleepMs(5);
    }
    seconds->push_back(Ms(Clock::now() - inserted) / 1000.0);
    if (state != "01" && state != "98") {
      std::fprintf(stderr, "queue job %s ended in state %s\n", jobke2, state.c_str());
      return false;
    }
  }
  return true;
}

// n queue jobs in one statement: the seconds until the first of them runs
// (the rest of the pass under way, until the next pass selects) and until
// all of them run; false when they did not within a minute.
bool InsertBurst(Platform& platform, Session& session, int n, const char* key_prefix,
                 double* first, double* all) {
  if (!Check(session.Execute(SqlFormat(
                 "INSERT INTO KVSYSTEM.KVS500JOB (JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, JOBRTY, "
                 "JOBSTS) SELECT '%s', CONCAT('%s', LPAD(seq, 5, '0')), NULL, 'kvssleep 120', 0, "
                 "'01', NULL FROM seq_1_to_%ld",
                 SqlText(TimestampNow(platform)), SqlText(key_prefix), SqlNumber(n))),
             "insert", session)) {
    return false;
  }
  const auto start = Clock::now();
  *first = -1;
  while (Clock::now() - start < std::chrono::seconds(60)) {
    char count[32] = {};
    int rc = session.QueryRow(SqlFormat("SELECT COUNT(*) FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 "
                                        "LIKE '%s' AND JOBSTS = '01'",
                                        SqlText(std::string(key_prefix) + "%")),
                              {ColumnBinding::Text(count, sizeof count)});
    const double seconds = Ms(Clock::now() - start) / 1000.0;
    if (rc == 0 && std::atoi(count) > 0 && *first < 0) *first = seconds;
    if (rc == 0 && std::atoi(count) == n) {
      *all = seconds;
      return true;
    }
    SleepMs(5);
  }
  std::fprintf(stderr, "the burst did not run within a minute\n");
  return false;
}

// The burst, and before it the resident memory of an idle controller
// (*idle_kb) with an empty job table.
double Burst(Platform& platform, Session& session, const fs::path& build_dir,
             const fs::path& controller_dir, const std::string& sleeper, int n, long* idle_kb) {
  Site site;
  if (!SetUpSite(build_dir, controller_dir, sleeper, n, false, &site)) return -1;
  double seconds = -1;
  if (Check(session.Execute(SqlFormat("DELETE FROM KVSYSTEM.KVS500JOB")), "delete", session) &&
      StartService(platform, site) && StartController(platform, site)) {
    SleepMs(kIdleSeconds * 1000);
    *idle_kb = ResidentKb(site.ctl);
    StopController(site);
    // Queue rows older than 30 days are deleted by the start-up clean-up.
    const std::string created = TimestampNow(platform);
    bool inserted = true;
    for (int i = 0; i < n && inserted; ++i) {
      char key[33];
      std::snprintf(key, sizeof key, "BURST%05d", i);
      const SqlStatement sql = SqlFormat(
          "INSERT INTO KVSYSTEM.KVS500JOB (JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, JOBRTY, "
          "JOBSTS) VALUES ('%s', '%s', NULL, 'kvssleep 120', 0, '01', NULL)",
          SqlText(created), SqlText(key));
      inserted = Check(session.Execute(sql), "insert", session);
    }
    const auto start = Clock::now();
    if (inserted && StartController(platform, site)) {
      while (Clock::now() - start < std::chrono::seconds(60)) {
        char count[32] = {};
        int rc = session.QueryRow(SqlFormat("SELECT COUNT(*) FROM KVSYSTEM.KVS500JOB "
                                            "WHERE JOBKE2 LIKE 'BURST%%' AND JOBSTS = '01'"),
                                  {ColumnBinding::Text(count, sizeof count)});
        if (rc == 0 && std::atoi(count) == n) {
          seconds = Ms(Clock::now() - start) / 1000.0;
          break;
        }
        SleepMs(50);
      }
    }
  }
  TearDownSite(site);
  return seconds;
}

// ---- pace -------------------------------------------------------------------

constexpr int kPaceJobs = 20;
constexpr int kPaceBurst = 300;
constexpr int kPaceBursts = 5;

bool Pace(Platform& platform, Session& session, const fs::path& build_dir,
          const fs::path& controller_dir, const std::string& sleeper) {
  Site site;
  bool ok = SetUpSite(build_dir, controller_dir, sleeper, 1000, false, &site) &&
            Check(session.Execute(SqlFormat("DELETE FROM KVSYSTEM.KVS500JOB")), "delete",
                  session) &&
            StartService(platform, site) && StartController(platform, site) &&
            AwaitPasses(session);
  std::vector<double> starts;
  ok = ok && InsertToStart(platform, session, kPaceJobs, "PACE", &starts);
  if (ok) {
    std::printf(
        "insert to start, %d queue jobs inserted one at a time into a running controller: "
        "median %.2f s, max %.2f s (load %.1f)\n",
        kPaceJobs, Median(starts), Max(starts), LoadAverage());
  }
  std::mt19937 random(1209);
  std::uniform_int_distribution<int> pause_ms(0, 1000);
  std::vector<double> firsts, alls, spans;
  for (int b = 0; ok && b < kPaceBursts; ++b) {
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "PBURST%d-", b);
    double first = -1, all = -1;
    ok = InsertBurst(platform, session, kPaceBurst, prefix, &first, &all);
    firsts.push_back(first);
    alls.push_back(all);
    spans.push_back(all - first);
    KillJobs(site);
    // The controller has seen them end; the next burst comes at another
    // moment of the pass.
    SleepMs(3000 + pause_ms(random));
  }
  if (ok) {
    std::printf("burst of %d queue jobs inserted at once into a running controller, MAXJOBS "
                "1000, %d times: all running after median %.2f s, max %.2f s (",
                kPaceBurst, kPaceBursts, Median(alls), Max(alls));
    for (size_t i = 0; i < alls.size(); ++i) std::printf("%s%.2f", i ? " " : "", alls[i]);
    std::printf("); of that until the first runs median %.2f s, from the first to the last "
                "median %.2f s (load %.1f)\n",
                Median(firsts), Median(spans), LoadAverage());
  } else {
    std::fprintf(stderr, "pace did not complete\n");
  }
  TearDownSite(site);
  return ok;
}

// ---- scale ------------------------------------------------------------------

// The indexes of the job table beside its key, as a variant of scale sets
// them up.
struct IndexVariant {
  const char* name;
  bool rty_sts;  // KVS500JOB_RTY_STS (JOBRTY, JOBSTS)
  bool sts_rty;  // KVS500JOB_STS_RTY (JOBSTS, JOBRTY)
};
constexpr IndexVariant kIndexVariants[] = {
    {"key only", false, false},
    {"(JOBRTY, JOBSTS)", true, false},
    {"both, as the schema", true, true},
};

bool SetIndexes(Session& session, const IndexVariant& variant) {
  int rc = session.Execute(
      variant.rty_sts
          ? SqlFormat("CREATE INDEX IF NOT EXISTS KVS500JOB_RTY_STS ON KVSYSTEM.KVS500JOB "
                      "(JOBRTY, JOBSTS)")
          : SqlFormat("ALTER TABLE KVSYSTEM.KVS500JOB DROP INDEX IF EXISTS KVS500JOB_RTY_STS"));
  if (!Check(rc, "index", session)) return false;
  rc = session.Execute(
      variant.sts_rty
          ? SqlFormat("CREATE INDEX IF NOT EXISTS KVS500JOB_STS_RTY ON KVSYSTEM.KVS500JOB "
                      "(JOBSTS, JOBRTY)")
          : SqlFormat("ALTER TABLE KVSYSTEM.KVS500JOB DROP INDEX IF EXISTS KVS500JOB_STS_RTY"));
  if (!Check(rc, "index", session)) return false;
  return Check(session.Execute(SqlFormat("ANALYZE TABLE KVSYSTEM.KVS500JOB")), "analyze",
               session);
}

// Rows of the job table from row from + 1 to row to: ended runs of the
// last weeks, two seconds apart (the start-up clean-up deletes queue rows
// older than 30 days), as months of use leave them where old rows are
// deleted: queue jobs (run type 01) mostly "98", some "99" and "90", and
// one in twenty an exclusive job (05).
bool AddEndedRows(Session& session, int32_t from, int32_t to) {
  if (to <= from) return true;
  return Check(
      session.Execute(SqlFormat(
          "INSERT INTO KVSYSTEM.KVS500JOB (JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, JOBRTY, "
          "JOBSTS, JOBNAM, JOBUSR, JOBNUM, JOBSDA, JOBEDA, JOBSTV) SELECT "
          "DATE_FORMAT(NOW() - INTERVAL 1 HOUR - INTERVAL (2 * seq) SECOND, "
          "'%%Y%%m%%d%%H%%i%%s'), CONCAT('ENDED ', seq), CONCAT('PGM', seq MOD 50), "
          "'kvsdemojob 1', 600, CASE WHEN seq MOD 20 = 0 THEN '05' ELSE '01' END, CASE WHEN seq "
          "MOD 50 = 7 THEN '99' WHEN seq MOD 100 = 3 THEN '90' ELSE '98' END, 'kvsdemojob', '', "
          "'1234', DATE_FORMAT(NOW() - INTERVAL (2 * seq) SECOND, '%%Y%%m%%d%%H%%i%%s'), "
          "DATE_FORMAT(NOW() - INTERVAL (2 * seq - 1) SECOND, '%%Y%%m%%d%%H%%i%%s'), 1 FROM "
          "seq_%ld_to_%ld",
          SqlNumber(from + 1), SqlNumber(to))),
      "fill", session);
}

// The rows the server's handlers have read so far (all sessions).
int64_t RowsRead(Session& session) {
  char total[32] = {};
  int rc = session.QueryRow(
      SqlFormat("SELECT SUM(VARIABLE_VALUE) FROM information_schema.GLOBAL_STATUS WHERE "
                "VARIABLE_NAME IN ('HANDLER_READ_FIRST', 'HANDLER_READ_KEY', "
                "'HANDLER_READ_LAST', 'HANDLER_READ_NEXT', 'HANDLER_READ_PREV', "
                "'HANDLER_READ_RND', 'HANDLER_READ_RND_NEXT')"),
      {ColumnBinding::Text(total, sizeof total)});
  return rc == 0 ? std::atoll(total) : -1;
}

struct PassFigures {
  double work_ms = -1;   // median of the passes
  double rows = -1;      // rows read by the database, a pass on average
  int passes = 0;
};

// Watches the debug log's contact lines for at least window_ms and at
// least min_passes passes. A pass is the stretch between two contacts
// "Hauptschleife!"; its work is that stretch less the second each contact
// in it slept.
PassFigures WatchPasses(Session& session, const Site& site, int window_ms, int min_passes) {
  PassFigures figures;
  const fs::path log = site.bin / "KVSJOBDBG.LOG";
  std::ifstream in(log, std::ios::binary);
  in.seekg(0, std::ios::end);
  std::string pending;
  std::vector<double> works;
  double last_main = -1;
  int contacts = 0;
  // What reading the counter adds to it.
  const int64_t before = RowsRead(session);
  const int64_t self = RowsRead(session) - before;
  int64_t rows_first = -1;
  int64_t rows_last = -1;
  const auto start = Clock::now();
  while (Clock::now() - start < std::chrono::seconds(120)) {
    char buffer[4096];
    in.clear();
    in.read(buffer, sizeof buffer);
    pending.append(buffer, static_cast<size_t>(in.gcount()));
    const double now = Ms(Clock::now() - start);
    for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
      const std::string line = pending.substr(0, nl);
      if (line.find("Service kontaktiert!") == std::string::npos) continue;
      if (line.find("Hauptschleife!") == std::string::npos) {
        ++contacts;
        continue;
      }
      // The counter is read right after the contact, while the
      // controller sleeps.
      if (last_main >= 0) {
        works.push_back(now - last_main - kContactSleepMs * (1 + contacts));
        rows_last = RowsRead(session);
      } else {
        rows_first = RowsRead(session);
      }
      last_main = now;
      contacts = 0;
    }
    if (static_cast<int>(works.size()) >= min_passes && now >= window_ms) break;
    if (in.gcount() == 0) SleepMs(2);
  }
  figures.passes = static_cast<int>(works.size());
  figures.work_ms = Median(works);
  if (figures.passes > 0 && rows_first >= 0 && rows_last >= 0) {
    figures.rows =
        static_cast<double>(rows_last - rows_first - self * figures.passes) / figures.passes;
  }
  return figures;
}

constexpr int kScaleJobs = 20;

bool Scale(Platform& platform, Session& session, const fs::path& build_dir,
           const fs::path& controller_dir, const std::string& sleeper,
           const std::vector<int32_t>& row_counts) {
  if (!Check(session.Execute(SqlFormat("DELETE FROM KVSYSTEM.KVS500JOB")), "delete", session))
    return false;
  std::printf(
      "pass at scale: ended rows in the job table; pass work = median time between two "
      "passes' heartbeats less the heartbeat's second, rows = rows the database read a pass; "
      "insert to start over %d queue jobs\n",
      kScaleJobs);
  std::printf("%9s  %-20s %12s %12s %22s %6s\n", "rows", "indexes", "pass work", "rows/pass",
              "insert to start", "load");
  bool ok = true;
  int32_t filled = 0;
  for (int32_t rows : row_counts) {
    const auto fill_start = Clock::now();
    if (!AddEndedRows(session, filled, rows)) return false;
    if (rows > filled) {
      std::printf("  (%d rows added in %.1f s)\n", rows - filled,
                  Ms(Clock::now() - fill_start) / 1000.0);
    }
    filled = std::max(filled, rows);
    for (const IndexVariant& variant : kIndexVariants) {
      if (!SetIndexes(session, variant) || !DeleteStatusRow(session)) return false;
      Site site;
      bool run = SetUpSite(build_dir, controller_dir, sleeper, 1000, true, &site) &&
                 StartService(platform, site) && StartController(platform, site) &&
                 AwaitPasses(session);
      PassFigures figures;
      std::vector<double> starts;
      if (run) {
        figures = WatchPasses(session, site, 10000, 4);
        run = figures.passes > 0 && InsertToStart(platform, session, kScaleJobs, "SCALE", &starts);
      }
      TearDownSite(site);
      // The scale's own queue rows go, the ended rows stay.
      (void)session.Execute(
          SqlFormat("DELETE FROM KVSYSTEM.KVS500JOB WHERE JOBKE2 NOT LIKE 'ENDED %%'"));
      if (!run) {
        std::printf("%9d  %-20s %12s\n", rows, variant.name, "failed");
        ok = false;
        continue;
      }
      std::printf("%9d  %-20s %9.1f ms %12.0f %10.2f / %.2f s %6.1f\n", rows, variant.name,
                  figures.work_ms, figures.rows, Median(starts), Max(starts), LoadAverage());
      std::fflush(stdout);
    }
  }
  // The table as the schema leaves it.
  ok = SetIndexes(session, kIndexVariants[2]) && ok;
  (void)session.Execute(SqlFormat("DELETE FROM KVSYSTEM.KVS500JOB"));
  return ok;
}

// ---- main -------------------------------------------------------------------

int Main(int argc, char** argv) {
  std::unique_ptr<Platform> platform = CreatePlatform();
  const fs::path build_dir = fs::path(platform->OwnExecutablePath()).parent_path();
  fs::path controller_dir = build_dir;
  std::vector<int32_t> row_counts = {0, 10000, 100000, 1000000};
  std::vector<std::string> sections;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--controller" && i + 1 < argc) {
      controller_dir = argv[++i];
    } else if (a == "--rows" && i + 1 < argc) {
      row_counts.clear();
      for (const char* p = argv[++i]; *p != '\0';) {
        char* end = nullptr;
        row_counts.push_back(static_cast<int32_t>(std::strtol(p, &end, 10)));
        p = *end == ',' ? end + 1 : end;
        if (end == p && *p != '\0') break;
      }
    } else if (a == "passes" || a == "burst" || a == "pace" || a == "scale") {
      sections.push_back(a);
    } else {
      std::fprintf(stderr,
                   "usage: pass_bench [--controller DIR] [--rows N,N,...] "
                   "[passes|burst|pace|scale]...\n");
      return 2;
    }
  }
  if (sections.empty()) sections = {"passes", "burst", "pace"};
  if (!fs::exists(controller_dir / "KVSJOBSTR")) {
    std::fprintf(stderr, "no KVSJOBSTR in %s\n", controller_dir.c_str());
    return 2;
  }
  std::string sleeper;
  for (const char* candidate : {"/usr/bin/sleep", "/bin/sleep"}) {
    if (fs::exists(candidate)) sleeper = candidate;
  }
  Logs logs(*platform, "kvs_bench.log", "kvs_bench.bak", "kvs_bench_dbg.log", "kvs_bench_dbg.bak",
            5000000, false);
  Session session(logs);
  session.SetDbSystem("MYSQL");
  if (session.Connect(Env("KVS_TEST_USER"), Env("KVS_TEST_PASSWORD"), Env("KVS_TEST_DSN")) != 0) {
    std::fprintf(stderr, "cannot connect: run through scripts/bench\n");
    return 1;
  }
  JobTable jobs(session);
  MessagePool pool(*platform, logs, session);
  NoLink link;
  ProcessManager pm(*platform, logs, jobs, pool, link, "", false);
  if (controller_dir != build_dir) {
    std::printf("controller of %s\n", controller_dir.c_str());
  }

  int status = 0;
  for (const std::string& section : sections) {
    if (section == "passes") {
      std::printf(
          "pass work (GetKvProcs + supervision), median of 15 passes, and the resident memory "
          "of this process after them:\n");
      for (int n : {0, 100, 1024}) {
        std::vector<uint32_t> pids;
        double ms = PassWork(*platform, session, pm, sleeper, n, &pids);
        const long kb = ResidentKb(CurrentProcessId());
        for (uint32_t pid : pids) (void)TerminateProcessById(pid);
        if (ms < 0) return 1;
        std::printf("  %4d running jobs: %7.2f ms  %6ld kB\n", n, ms, kb);
      }
    } else if (section == "burst") {
      long idle_kb = -1;
      double seconds =
          Burst(*platform, session, build_dir, controller_dir, sleeper, 1000, &idle_kb);
      std::printf("idle controller, no jobs, after %d s: %ld kB resident\n", kIdleSeconds,
                  idle_kb);
      if (seconds < 0) {
        std::fprintf(stderr, "burst did not complete\n");
        return 1;
      }
      std::printf("burst of 1000 waiting queue jobs, MAXJOBS 1000: all running after %.2f s\n",
                  seconds);
    } else if (section == "pace") {
      if (!Pace(*platform, session, build_dir, controller_dir, sleeper)) status = 1;
    } else if (section == "scale") {
      if (!Scale(*platform, session, build_dir, controller_dir, sleeper, row_counts)) status = 1;
    }
    std::fflush(stdout);
  }
  (void)session.Execute(SqlFormat("DELETE FROM KVSYSTEM.KVS500JOB"));
  return status;
}

}  // namespace
}  // namespace kvs

int main(int argc, char** argv) { return kvs::Main(argc, argv); }
