// The configuration key of the service and the defaults written into it at every start.
//
// Thread safety: checkRegistry runs once during start-up; the registry layer serialises writes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace parlevo {

inline constexpr std::string_view kParlevoRegistryKey = "SOFTWARE\\Orvalen\\Parlevo for ZyntWare";

// The values the program relies on, in the order of writing, with their types and defaults.
// install_path is the folder of the executable with a trailing "/".
std::vector<TRegistryValue> RegistryDefaults(const std::string& install_path);

// Writes every missing value of RegistryDefaults with its default, in one rewrite, and never
// changes a value that exists (whatever its type). Registry errors pass to the caller.
void checkRegistry(const std::string& install_path);

}  // namespace parlevo
