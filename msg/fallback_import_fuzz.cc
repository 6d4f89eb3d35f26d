// libFuzzer target of the message pool's fallback file: the input is
// written as the file and imported through a session that never connected
// (every statement fails), with the logs in a scratch directory; the
// import's own copy never stays behind. The input is also posted: stamped,
// made into the insert (which the import must take for the controller's
// own) and appended to the file.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include <fuzzer/FuzzedDataProvider.h>

#include "db/session.h"
#include "diag/log_file.h"
#include "diag/text.h"
#include "msg/message_pool.h"
#include "msg/message_record.h"
#include "platform/fake_platform.h"

namespace {

namespace fs = std::filesystem;

void Check(bool ok) {
  if (!ok) std::abort();
}

// "dd.mm.YYYY hh:mm:ss " before the text.
constexpr size_t kStampLength = 20;
// 9999-12-31 23:59:59, so the year keeps its four digits.
constexpr int64_t kLastTime = 253402300799;

// Everything one process needs, in a scratch directory that is removed
// when the run ends normally. Small logs, so their rotation runs too.
struct World {
  World()
      : dir(fs::temp_directory_path() / ("kvs_fallback_fuzz_" + std::to_string(kvs::CreatePlatform()->OwnProcessId()))),
        made(fs::create_directories(dir)),
        logs(platform, (dir / "KVSJOBCTL.LOG").string(), (dir / "KVSJOBCTL.BAK").string(),
             (dir / "KVSJOBDBG.LOG").string(), (dir / "KVSJOBDBG.BAK").string(), 65536, true),
        session(logs),
        pool(platform, logs, session) {
    pool.SetFallbackFile((dir / "JOBCTLMSG.log").string());
    std::string error;
    Check(pool.CreateRecord(&error));
  }
  ~World() {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  fs::path fallback() const { return dir / "JOBCTLMSG.log"; }
  fs::path rejected() const { return dir / "JOBCTLMSG.rej"; }

  fs::path dir;
  bool made;
  kvs::FakePlatform platform;
  kvs::Logs logs;
  kvs::Session session;
  kvs::MessagePool pool;
};

size_t Count(const std::string& s, char c) {
  size_t n = 0;
  for (char x : s) n += x == c;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static World world;
  {
    std::FILE* f = std::fopen(world.fallback().string().c_str(), "wb");
    Check(f != nullptr);
    Check(std::fwrite(data, 1, size, f) == size);
    Check(std::fclose(f) == 0);
  }
  world.pool.ImportFallbackFile();
  Check(!fs::exists(kvs::NativePath(world.pool.ClaimPath())));
  // Refused lines of earlier inputs would pile up.
  std::error_code ignored;
  fs::remove(world.rejected(), ignored);

  FuzzedDataProvider input(data, size);
  const int64_t t = input.ConsumeIntegralInRange<int64_t>(0, kLastTime);
  const std::string text = input.ConsumeRemainingBytesAsString();

  bool shortened = false;
  const std::string stamped = kvs::StampMessage(world.platform, t, text, &shortened);
  Check(shortened == (text.size() > kvs::kMaxPostedText));
  Check(stamped.size() >= kStampLength && stamped.size() <= kStampLength + kvs::kMaxPostedText);

  kvs::STRNACHRICHT record;
  kvs::FillControllerSender(&record);
  record.MSGTXT = stamped;
  record.MSGLNK = text.substr(0, 250);
  record.MSGDBG = text.substr(text.size() / 2);
  kvs::IdGenerator ids;
  ids.Seed(static_cast<uint32_t>(t));
  std::string error;
  const std::string insert = kvs::BuildInsert(world.platform, record, t, &ids, &error).text();
  // A stamped text always fits, and quoting keeps every quote paired.
  Check(!insert.empty());
  Check(Count(insert, '\'') % 2 == 0);
  // What the controller itself writes is imported as it is.
  record.MSGLNK.clear();
  record.MSGDBG.clear();
  const std::string own = kvs::BuildInsert(world.platform, record, t, &ids, &error).text();
  kvs::SqlStatement rebuilt;
  Check(kvs::RebuildControllerInsert(own, kvs::Timestamp14(world.platform, t), &rebuilt));
  Check(rebuilt == own);

  // The whole way of a post that the pool refuses.
  world.platform.AdvanceSeconds(1);
  world.pool.Post(text);
  return 0;
}
