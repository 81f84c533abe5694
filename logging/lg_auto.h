// The process-wide log center and its session "Main", through which every unit logs. They are
// created on first use (before the service starts) and live until the process ends. Logging
// stays disabled until a configuration enables it.
//
// Thread safety: both may be used from any thread; the first use creates them exactly once.
#pragma once

#include "logging/lg_log_center.h"
#include "logging/lg_session.h"

namespace parlevo::logging {

// The connections the global log center starts with.
inline constexpr const char* kLgStartupConnections = "pipe(reconnect=true, reconnect.interval=1s)";

TLogCenter& GlobalLogCenter();
TLgSession& MainSession();

// The file name (without directory) of the running executable.
std::string ExecutableFileName();

}  // namespace parlevo::logging
