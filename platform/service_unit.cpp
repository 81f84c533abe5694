#include "platform/service_unit.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/ascii_text.h"

extern char** environ;

namespace parlevo {
namespace {

namespace fs = std::filesystem;

std::string UnitFileName(std::string_view service_name) {
  return ToLowerAscii(service_name) + ".service";
}

// One word of ExecStart: quoted when needed; "%" and "$" would be expanded by systemd.
std::string UnitWord(std::string_view word) {
  if (word.find_first_of("\n\r") != std::string_view::npos) {
    throw std::runtime_error(fmt::format("\"{}\" holds a line break", word));
  }
  bool plain = !word.empty() && word.find_first_of(" \t\"'\\%$;") == std::string_view::npos;
  std::string out = plain ? "" : "\"";
  for (char c : word) {
    if (c == '%') {
      out += "%%";
    } else if (c == '$') {
      out += "$$";
    } else if (!plain && (c == '"' || c == '\\')) {
      out += '\\';
      out += c;
    } else {
      out += c;
    }
  }
  if (!plain) out += '"';
  return out;
}

std::string UnitText(std::string_view service_name, std::string_view display_name,
                     const TServiceOptions& options) {
  std::vector<std::string> words = {options.executable.string()};
  if (options.home_given) {
    words.emplace_back("--home");
    words.push_back(options.home.string());
  }
  // A file named only by the environment at install time would be lost on the service's start,
  // which does not see that environment: name it on the command line.
  std::optional<fs::path> registry = options.registry_file;
  const char* env = std::getenv("ZYNTPARLEVO_REGISTRY");
  if (!registry && env != nullptr && *env != '\0') registry = fs::absolute(env);
  if (registry) {
    words.emplace_back("--registry");
    words.push_back(registry->string());
  }
  std::string exec;
  for (const std::string& w : words) {
    if (!exec.empty()) exec += ' ';
    exec += UnitWord(w);
  }
  return fmt::format(
      "[Unit]\n"
      "Description={}\n"
      "After=network.target\n"
      "\n"
      "[Service]\n"
      "Type=simple\n"
      "ExecStart={}\n"
      "Restart=on-failure\n"
      "KillSignal=SIGTERM\n"
      // The pipe log output's sockets live in /run/<service>: only the service's user (and
      // root) may create one there, so no other user can pose as a log viewer.
      "RuntimeDirectory={}\n"
      "RuntimeDirectoryMode=0700\n"
      "AmbientCapabilities=CAP_NET_BIND_SERVICE\n"
      "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
      // The HTTP front holds up to 8192 connections, one descriptor each, besides its files and
      // database; its threads are few, but the task limit stays above the connection bound.
      "LimitNOFILE=65536\n"
      "TasksMax=16384\n"
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n",
      display_name, exec, ToLowerAscii(service_name));
}

struct UnitPlace {
  fs::path dir;
  bool seen_by_systemd;  // the default folder on a system that runs systemd
};

UnitPlace UnitFolder() {
  const char* env = std::getenv(std::string(kSystemdDirEnvVar).c_str());
  if (env != nullptr && *env != '\0') return {fs::path(env), false};
  std::error_code ec;
  return {fs::path(kDefaultSystemdDir), fs::is_directory("/run/systemd/system", ec)};
}

std::optional<fs::path> FindOnPath(std::string_view program) {
  const char* path = std::getenv("PATH");
  std::string_view dirs = path ? path : "/usr/bin:/bin:/usr/sbin:/sbin";
  while (!dirs.empty()) {
    size_t colon = dirs.find(':');
    std::string_view dir = dirs.substr(0, colon);
    fs::path candidate = fs::path(dir.empty() ? "." : dir) / program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string_view::npos) break;
    dirs.remove_prefix(colon + 1);
  }
  return std::nullopt;
}

void RunSystemctl(const fs::path& systemctl, std::vector<std::string> args) {
  args.insert(args.begin(), systemctl.string());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, systemctl.c_str(), nullptr, nullptr, argv.data(), environ);
  if (rc != 0) {
    throw std::runtime_error(
        fmt::format("cannot start {}: {}", systemctl.string(), std::strerror(rc)));
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("cannot wait for systemctl");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::string command;
    for (size_t i = 1; i < args.size(); ++i) command += " " + args[i];
    throw std::runtime_error(fmt::format("\"systemctl{}\" failed", command));
  }
}

void WriteUnitFile(const fs::path& file, const std::string& text) {
  fs::path temp = file;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) throw std::runtime_error(fmt::format("cannot write {}", temp.string()));
  }
  ::chmod(temp.c_str(), 0644);
  std::error_code ec;
  fs::rename(temp, file, ec);
  if (ec) {
    fs::remove(temp, ec);
    throw std::runtime_error(fmt::format("cannot write {}: {}", file.string(), ec.message()));
  }
}

}  // namespace

void InstallServiceUnit(std::string_view service_name, std::string_view display_name,
                        const TServiceOptions& options) {
  UnitPlace place = UnitFolder();
  const fs::path file = place.dir / UnitFileName(service_name);
  WriteUnitFile(file, UnitText(service_name, display_name, options));
  std::optional<fs::path> systemctl =
      place.seen_by_systemd ? FindOnPath("systemctl") : std::nullopt;
  if (systemctl) {
    RunSystemctl(*systemctl, {"daemon-reload"});
    RunSystemctl(*systemctl, {"enable", UnitFileName(service_name)});
  }
  std::printf("%s installed as %s\n", std::string(display_name).c_str(), file.c_str());
}

void UninstallServiceUnit(std::string_view service_name, std::string_view display_name) {
  UnitPlace place = UnitFolder();
  const fs::path file = place.dir / UnitFileName(service_name);
  std::error_code ec;
  if (!fs::exists(file, ec)) {
    throw std::runtime_error(
        fmt::format("{} is not installed ({} does not exist)", service_name, file.string()));
  }
  std::optional<fs::path> systemctl =
      place.seen_by_systemd ? FindOnPath("systemctl") : std::nullopt;
  if (systemctl) RunSystemctl(*systemctl, {"disable", UnitFileName(service_name)});
  if (!fs::remove(file, ec) || ec) {
    throw std::runtime_error(fmt::format("cannot remove {}: {}", file.string(), ec.message()));
  }
  if (systemctl) RunSystemctl(*systemctl, {"daemon-reload"});
  std::printf("%s uninstalled (%s removed)\n", std::string(display_name).c_str(), file.c_str());
}

}  // namespace parlevo
