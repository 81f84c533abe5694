#include "platform/service_unit.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "tests/scoped_env.h"
#include "tests/temp_folder.h"

namespace parlevo {
namespace {

namespace fs = std::filesystem;
using testing_support::TScopedEnv;
using testing_support::TTempFolder;

constexpr std::string_view kName = "ZyntParlevo";
constexpr std::string_view kDisplayName = "Orvalen Parlevo for ZyntWare";

TServiceOptions InstallOptions() {
  TServiceOptions options;
  options.command = TServiceCommand::kInstall;
  options.home = "/opt/zyntparlevo";
  options.executable = "/opt/zyntparlevo/zyntparlevo";
  return options;
}

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string ErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no error>";
}

TEST(ServiceUnit, WritesAndRemovesTheSystemdUnit) {
  TTempFolder units("parlevo-service");
  TScopedEnv dir("ZYNTPARLEVO_SYSTEMD_DIR", units.path().c_str());
  TScopedEnv registry("ZYNTPARLEVO_REGISTRY", nullptr);
  const fs::path unit = units.path() / "zyntparlevo.service";

  TServiceOptions options = InstallOptions();
  options.executable = "/opt/zynt parlevo/zyntparlevo";
  options.home = "/opt/zynt parlevo";
  options.home_given = true;
  options.registry_file = "/etc/zynt%parlevo/\"conf\".reg";
  ::testing::internal::CaptureStdout();
  InstallServiceUnit(kName, kDisplayName, options);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Orvalen Parlevo for ZyntWare installed as " + unit.string() + "\n");
  EXPECT_EQ(ReadFile(unit),
            "[Unit]\n"
            "Description=Orvalen Parlevo for ZyntWare\n"
            "After=network.target\n"
            "\n"
            "[Service]\n"
            "Type=simple\n"
            "ExecStart=\"/opt/zynt parlevo/zyntparlevo\" --home \"/opt/zynt parlevo\" "
            "--registry \"/etc/zynt%%parlevo/\\\"conf\\\".reg\"\n"
            "Restart=on-failure\n"
            "KillSignal=SIGTERM\n"
            "RuntimeDirectory=zyntparlevo\n"
            "RuntimeDirectoryMode=0700\n"
            "AmbientCapabilities=CAP_NET_BIND_SERVICE\n"
            "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
            "LimitNOFILE=65536\n"
            "TasksMax=16384\n"
            "\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n");

  ::testing::internal::CaptureStdout();
  UninstallServiceUnit(kName, kDisplayName);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Orvalen Parlevo for ZyntWare uninstalled (" + unit.string() + " removed)\n");
  EXPECT_FALSE(fs::exists(unit));
  EXPECT_EQ(ErrorOf([] { UninstallServiceUnit(kName, kDisplayName); }),
            "ZyntParlevo is not installed (" + unit.string() + " does not exist)");
}

TEST(ServiceUnit, PlainOptionsAndARegistryNamedByTheEnvironment) {
  TTempFolder units("parlevo-service");
  TScopedEnv dir("ZYNTPARLEVO_SYSTEMD_DIR", units.path().c_str());
  const fs::path unit = units.path() / "zyntparlevo.service";
  auto exec_start = [&] {
    std::ifstream in(unit);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("ExecStart=", 0) == 0) return line;
    }
    return std::string("<none>");
  };
  const TServiceOptions options = InstallOptions();
  ::testing::internal::CaptureStdout();
  {
    TScopedEnv registry("ZYNTPARLEVO_REGISTRY", nullptr);
    InstallServiceUnit(kName, kDisplayName, options);
    EXPECT_EQ(exec_start(), "ExecStart=/opt/zyntparlevo/zyntparlevo");
  }
  {
    // The service will not see the installer's environment.
    TScopedEnv registry("ZYNTPARLEVO_REGISTRY", "/etc/parlevo.reg");
    InstallServiceUnit(kName, kDisplayName, options);
    EXPECT_EQ(exec_start(), "ExecStart=/opt/zyntparlevo/zyntparlevo --registry /etc/parlevo.reg");
  }
  ::testing::internal::GetCapturedStdout();

  TServiceOptions broken = options;
  broken.home_given = true;
  broken.home = "/opt/zynt\nparlevo";
  EXPECT_NE(ErrorOf([&] { InstallServiceUnit(kName, kDisplayName, broken); }).find("line break"),
            std::string::npos);

  TScopedEnv missing("ZYNTPARLEVO_SYSTEMD_DIR", (units.path() / "no" / "such").c_str());
  EXPECT_NE(ErrorOf([&] { InstallServiceUnit(kName, kDisplayName, options); }).find("cannot write"),
            std::string::npos);
}

}  // namespace
}  // namespace parlevo
