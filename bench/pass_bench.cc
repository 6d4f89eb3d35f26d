// Benchmarks of the process supervision against the private MariaDB:
//   pass work   GetKvProcs + runtime supervision with 0, 100 and 1024 jobs
//               in state "01", each backed by a live process (the
//               heartbeat's sleep is not part of it), with the resident
//               memory of this process after the passes;
//   idle        the resident memory of the real KVSJOBSTR under kvsjobsvc
//               with no jobs, once it has run its passes for a while;
//   burst       1000 waiting queue jobs with MAXJOBS 1000: the real
//               KVSJOBSTR under kvsjobsvc, from its start until every job
//               runs.
// Run through scripts/bench, which starts the database and builds this.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

// VmRSS of a process in kB, -1 when it cannot be read.
long ResidentKb(uint32_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// How long the idle controller runs its passes before it is measured.
constexpr int kIdleSeconds = 10;

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
double PassWork(Platform& platform, Session& session, JobTable& jobs, ProcessManager& pm,
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
  std::sort(samples.begin(), samples.end());
  (void)jobs;
  return samples[samples.size() / 2];
}

// Starts KVSJOBSTR for the service instance in bin; false when it cannot.
bool StartController(Platform& platform, const fs::path& bin, int instance, uint32_t* ctl) {
  return platform.StartProcess("bash -c \"cd '" + bin.string() + "' && exec ./KVSJOBSTR " +
                                   std::to_string(instance) + " >/dev/null\"",
                               ctl) == 0;
}

// The burst, and before it the resident memory of an idle controller
// (*idle_kb) with an empty job table.
double Burst(Platform& platform, Session& session, const fs::path& build_dir,
             const std::string& sleeper, int n, long* idle_kb) {
  const fs::path dir =
      fs::temp_directory_path() / ("kvs_bench_" + std::to_string(CurrentProcessId()));
  fs::remove_all(dir);
  fs::create_directories(dir / "bin");
  const fs::path bin = dir / "bin";
  for (const char* tool : {"KVSJOBSTR", "kvsjobsvc", "kill", "kvscrypt"}) {
    fs::copy_file(build_dir / tool, bin / tool);
  }
  fs::copy_file(sleeper, bin / "kvssleep");
  std::ofstream(bin / "KVSJOBCTL.INI") << "[JOBATR]\nMAXJOBS=" << n << "\n";
  const std::pair<const char*, std::string> values[] = {{"DATABASE", Env("KVS_TEST_DSN")},
                                                        {"SCHEMA", "KVSYSTEM."},
                                                        {"LOGIN", Env("KVS_TEST_USER")},
                                                        {"PASS", Env("KVS_TEST_PASSWORD")},
                                                        {"DB_SYSTEM", "MYSQL"}};
  int number = 1;
  for (const auto& [key, value] : values) {
    int exit_code = 0;
    if (RunAndWait("\"" + (bin / "kvscrypt").string() + "\" set \"" +
                       (bin / "KORVALINE.INI").string() + "\" BENCH " + std::to_string(number++) +
                       " " + key + " " + value,
                   &exit_code) != 0 ||
        exit_code != 0) {
      return -1;
    }
  }
  if (!Check(session.Execute(SqlFormat("DELETE FROM KVSYSTEM.KVS500JOB")), "delete", session))
    return -1;
  const int instance = static_cast<int>(CurrentProcessId() % 100000) + 200000;
  uint32_t svc = 0;
  uint32_t ctl = 0;
  if (platform.StartProcess("\"" + (bin / "kvsjobsvc").string() + "\" --instance " +
                                std::to_string(instance) + " --stop-after-seconds 120",
                            &svc) != 0) {
    return -1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  if (!StartController(platform, bin, instance, &ctl)) return -1;
  std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
  *idle_kb = ResidentKb(ctl);
  (void)TerminateProcessById(ctl);
  // Queue rows older than 30 days are deleted by the start-up clean-up.
  const std::string created = Timestamp14(platform, platform.Now());
  for (int i = 0; i < n; ++i) {
    char key[33];
    std::snprintf(key, sizeof key, "BURST%05d", i);
    const SqlStatement sql = SqlFormat(
        "INSERT INTO KVSYSTEM.KVS500JOB (JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, JOBRTY, "
        "JOBSTS) VALUES ('%s', '%s', NULL, 'kvssleep 120', 0, '01', NULL)",
        SqlText(created), SqlText(key));
    if (!Check(session.Execute(sql), "insert", session)) return -1;
  }
  const auto start = Clock::now();
  if (!StartController(platform, bin, instance, &ctl)) return -1;
  double seconds = -1;
  while (Clock::now() - start < std::chrono::seconds(60)) {
    char count[32] = {};
    int rc = session.QueryRow(SqlFormat("SELECT COUNT(*) FROM KVSYSTEM.KVS500JOB "
                                        "WHERE JOBKE2 LIKE 'BURST%%' AND JOBSTS = '01'"),
                              {ColumnBinding::Text(count, sizeof count)});
    if (rc == 0 && std::atoi(count) == n) {
      seconds = Ms(Clock::now() - start) / 1000.0;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // An orderly shutdown pauses 100 ms per job; the kill tool is quicker.
  (void)TerminateProcessById(ctl);
  int exit_code = 0;
  (void)RunAndWait("\"" + (bin / "kill").string() + "\" kvssleep", &exit_code);
  (void)TerminateProcessById(svc);
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  return seconds;
}

int Main() {
  std::unique_ptr<Platform> platform = CreatePlatform();
  const fs::path build_dir = fs::path(platform->OwnExecutablePath()).parent_path();
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

  std::printf(
      "pass work (GetKvProcs + supervision), median of 15 passes, and the resident memory of "
      "this process after them:\n");
  for (int n : {0, 100, 1024}) {
    std::vector<uint32_t> pids;
    double ms = PassWork(*platform, session, jobs, pm, sleeper, n, &pids);
    const long kb = ResidentKb(CurrentProcessId());
    for (uint32_t pid : pids) (void)TerminateProcessById(pid);
    if (ms < 0) return 1;
    std::printf("  %4d running jobs: %7.2f ms  %6ld kB\n", n, ms, kb);
  }
  long idle_kb = -1;
  double seconds = Burst(*platform, session, build_dir, sleeper, 1000, &idle_kb);
  std::printf("idle controller, no jobs, after %d s: %ld kB resident\n", kIdleSeconds, idle_kb);
  if (seconds < 0) {
    std::fprintf(stderr, "burst did not complete\n");
    return 1;
  }
  std::printf("burst of 1000 waiting queue jobs, MAXJOBS 1000: all running after %.2f s\n",
              seconds);
  (void)session.Execute(SqlFormat("DELETE FROM KVSYSTEM.KVS500JOB"));
  return 0;
}

}  // namespace
}  // namespace kvs

int main() { return kvs::Main(); }
