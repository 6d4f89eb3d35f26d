// The controller's two logs, under their own names, in a directory of a
// test: KVSJOBCTL.LOG and KVSJOBDBG.LOG with their backups, 5 MB each.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

#include "diag/log_file.h"
#include "platform/platform.h"
#include "platform/test_util.h"

namespace kvs {

class TestLogs : public Logs {
 public:
  TestLogs(Platform& platform, const std::filesystem::path& dir, bool debug_on = false)
      : Logs(platform, (dir / "KVSJOBCTL.LOG").string(), (dir / "KVSJOBCTL.BAK").string(),
             (dir / "KVSJOBDBG.LOG").string(), (dir / "KVSJOBDBG.BAK").string(), 5000000,
             debug_on),
        dir_(dir) {}

  // The main log whole, time stamps included.
  std::string MainText() const { return ReadText(dir_ / "KVSJOBCTL.LOG"); }
  std::string DebugText() const { return ReadText(dir_ / "KVSJOBDBG.LOG"); }
  // The main log's texts without their time stamps (see LogTexts).
  std::string MainTexts() const { return LogTexts(dir_ / "KVSJOBCTL.LOG"); }
  // Both logs start empty again.
  void Clear() {
    std::error_code ignored;
    std::filesystem::remove(dir_ / "KVSJOBCTL.LOG", ignored);
    std::filesystem::remove(dir_ / "KVSJOBDBG.LOG", ignored);
  }

 private:
  std::filesystem::path dir_;
};

}  // namespace kvs
