// The configuration key of the service and the single-value reads and writes that the front,
// the SOAP methods and the dispatcher make on it, each through a registry object of its own.
//
// Thread safety: every function may be called from any thread at once (see platform/registry.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "service/check_registry.h"

namespace parlevo {

inline constexpr std::string_view kConfigurationKey = kParlevoRegistryKey;

// Open the key (creating it when missing) and read or write one value. A missing text reads as
// empty; a missing integer, or one stored as text, throws, as do a registry file that cannot be
// read or written and a registry path that was never set.
std::string ReadConfigString(std::string_view name);
int32_t ReadConfigInteger(std::string_view name);
void WriteConfigString(std::string_view name, std::string_view value);

}  // namespace parlevo
