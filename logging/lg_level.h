// Log levels of the structured logging library: one byte each, ordered by severity.
#pragma once

#include <cstdint>

namespace parlevo::logging {

enum class TLgLevel : uint8_t {
  Debug = 0,
  Verbose = 1,
  Message = 2,
  Warning = 3,
  Error = 4,
  Fatal = 5,
  Unknown = 6,
};

}  // namespace parlevo::logging
