#include "platform/thread_name.h"

#include <pthread.h>

namespace parlevo {
namespace {

// The kernel keeps 16 bytes, the last of them the terminating NUL.
constexpr size_t kMaxThreadNameLength = 15;

}  // namespace

std::string PlatformThreadName(std::string_view name) {
  return std::string(name.substr(0, kMaxThreadNameLength));
}

void SetCurrentThreadName(std::string_view name) {
  // Naming is a courtesy to whoever inspects the process; a failure changes nothing it does.
  pthread_setname_np(pthread_self(), PlatformThreadName(name).c_str());
}

}  // namespace parlevo
