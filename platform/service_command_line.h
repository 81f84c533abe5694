// The service program's command line: run in the foreground (no command), install or uninstall
// as a systemd unit, and the folders and files the service is to use.
//
// Thread safety: pure functions (ParseServiceCommandLine reads the working folder and
// /proc/self/exe).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace parlevo {

enum class TServiceCommand { kRun, kInstall, kUninstall };

struct TServiceOptions {
  TServiceCommand command = TServiceCommand::kRun;
  // The folder standing for the executable's folder: --home, else the folder of the running
  // program (/proc/self/exe). Absolute.
  std::filesystem::path home;
  bool home_given = false;
  // --registry, absolute; the caller resolves the default (see ResolveRegistryFilePath).
  std::optional<std::filesystem::path> registry_file;
  // The running program, absolute: what the unit's ExecStart starts.
  std::filesystem::path executable;
};

struct TCommandLineResult {
  std::optional<TServiceOptions> options;
  std::string error;  // why the command line was refused, when options is empty
};

// Accepts "install", "uninstall" (also with a leading "/", any letter case), "--home DIR",
// "--home=DIR", "--registry FILE", "--registry=FILE".
TCommandLineResult ParseServiceCommandLine(int argc, const char* const* argv);
std::string ServiceUsage(std::string_view program);

}  // namespace parlevo
