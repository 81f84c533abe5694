// The process-wide log center and its session "Main", through which every unit logs. They are
// created on first use (before the service starts) and live until the process ends.
#pragma once

#include "logging/lg_session.h"

namespace parlevo::logging {

TLogCenter& GlobalLogCenter();
TLgSession& MainSession();

}  // namespace parlevo::logging
