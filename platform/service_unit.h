// The service as a systemd unit: the unit file's text, writing and removing it, and telling
// systemd (daemon-reload, enable, disable) when the file lies where systemd reads units.
//
// Thread safety: none needed; install and uninstall run once, on the program's main thread.
// Both read the environment and start systemctl as a child process.
#pragma once

#include <string_view>

#include "platform/service_command_line.h"

namespace parlevo {

// The folder the systemd unit is written to (default "/etc/systemd/system"). When it names another
// folder systemd does not see the unit, so systemctl is not run.
inline constexpr std::string_view kSystemdDirEnvVar = "ZYNTPARLEVO_SYSTEMD_DIR";
inline constexpr std::string_view kDefaultSystemdDir = "/etc/systemd/system";

// The unit file is the lower-case service name + ".service"; its ExecStart starts the options'
// executable with its home and registry file. Both report on stdout what they did and throw
// std::runtime_error with the reason when they fail.
void InstallServiceUnit(std::string_view service_name, std::string_view display_name,
                        const TServiceOptions& options);
void UninstallServiceUnit(std::string_view service_name, std::string_view display_name);

}  // namespace parlevo
