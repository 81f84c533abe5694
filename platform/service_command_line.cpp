#include "platform/service_command_line.h"

#include <fmt/format.h>

#include "platform/ascii_text.h"

namespace parlevo {

namespace fs = std::filesystem;

std::string ServiceUsage(std::string_view program) {
  return fmt::format(
      "usage: {} [install | uninstall] [--home DIR] [--registry FILE]\n"
      "  (no command)     run the service in the foreground\n"
      "  install          register the service as a systemd unit\n"
      "  uninstall        remove the systemd unit\n"
      "  --home DIR       folder of the service's files (default: the program's folder)\n"
      "  --registry FILE  configuration file (default: $ZYNTPARLEVO_REGISTRY, else\n"
      "                   registry.reg in the home folder)\n",
      program);
}

TCommandLineResult ParseServiceCommandLine(int argc, const char* const* argv) {
  TCommandLineResult result;
  TServiceOptions options;
  bool command_given = false;
  auto fail = [&](std::string message) {
    result.error = std::move(message);
    return result;
  };
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string_view bare = (!arg.empty() && arg.front() == '/') ? arg.substr(1) : arg;
    if (EqualsIgnoreCaseAscii(bare, "install") || EqualsIgnoreCaseAscii(bare, "uninstall")) {
      if (command_given) return fail(fmt::format("\"{}\": only one command may be given", arg));
      command_given = true;
      options.command = EqualsIgnoreCaseAscii(bare, "install") ? TServiceCommand::kInstall
                                                               : TServiceCommand::kUninstall;
      continue;
    }
    std::optional<std::string_view> value;
    std::string_view option = arg;
    if (size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
      option = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    }
    if (option != "--home" && option != "--registry") {
      return fail(fmt::format("unknown argument \"{}\"", arg));
    }
    if (!value) {
      if (i + 1 >= argc) return fail(fmt::format("{} needs a value", option));
      value = argv[++i];
    }
    if (value->empty()) return fail(fmt::format("{} needs a value", option));
    if (option == "--home") {
      options.home = fs::absolute(*value);
      options.home_given = true;
    } else {
      options.registry_file = fs::absolute(*value);
    }
  }
  std::error_code ec;
  options.executable = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return fail(fmt::format("cannot find the program's own path: {}", ec.message()));
  if (!options.home_given) options.home = options.executable.parent_path();
  result.options = std::move(options);
  return result;
}

}  // namespace parlevo
