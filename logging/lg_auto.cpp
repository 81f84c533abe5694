#include "logging/lg_auto.h"

#include <unistd.h>

#include <array>

#include "logging/lg_protocol_factory.h"

namespace parlevo::logging {
namespace {

struct GlobalLogging {
  GlobalLogging() : center(ExecutableFileName()) {
    RegisterLibraryProtocols();
    // A protocol that is not available leaves the center without it (reported through its
    // error handling) instead of failing the program's start.
    center.TryConnections(kLgStartupConnections);
    main_session = &center.AddSession("Main", true);
  }

  TLogCenter center;
  TLgSession* main_session = nullptr;
};

GlobalLogging& Globals() {
  static GlobalLogging globals;
  return globals;
}

}  // namespace

std::string ExecutableFileName() {
  std::array<char, 4096> path{};
  const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (length <= 0) return {};
  const std::string full(path.data(), static_cast<size_t>(length));
  const size_t slash = full.rfind('/');
  return slash == std::string::npos ? full : full.substr(slash + 1);
}

TLogCenter& GlobalLogCenter() {
  return Globals().center;
}

TLgSession& MainSession() {
  return *Globals().main_session;
}

}  // namespace parlevo::logging
