// KVSJOBSTR: the job controller.
#include "core/controller.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  std::unique_ptr<kvs::Platform> platform = kvs::CreatePlatform();
  return kvs::RunController(*platform, argc, argv);
}
