#include "platform/service_command_line.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace parlevo {
namespace {

namespace fs = std::filesystem;

TCommandLineResult Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "zyntparlevo");
  return ParseServiceCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(ServiceCommandLine, CommandsAndOptions) {
  const fs::path self = fs::read_symlink("/proc/self/exe");

  TCommandLineResult run = Parse({});
  ASSERT_TRUE(run.options) << run.error;
  EXPECT_EQ(run.options->command, TServiceCommand::kRun);
  EXPECT_EQ(run.options->executable, self);
  EXPECT_EQ(run.options->home, self.parent_path());
  EXPECT_FALSE(run.options->home_given);
  EXPECT_FALSE(run.options->registry_file);

  for (const char* arg : {"install", "/install", "/INSTALL"}) {
    TCommandLineResult r = Parse({arg});
    ASSERT_TRUE(r.options) << arg;
    EXPECT_EQ(r.options->command, TServiceCommand::kInstall) << arg;
  }
  for (const char* arg : {"uninstall", "/uninstall"}) {
    TCommandLineResult r = Parse({arg});
    ASSERT_TRUE(r.options) << arg;
    EXPECT_EQ(r.options->command, TServiceCommand::kUninstall) << arg;
  }

  TCommandLineResult with = Parse({"--home", "/srv/parlevo", "install", "--registry=conf.reg"});
  ASSERT_TRUE(with.options) << with.error;
  EXPECT_EQ(with.options->command, TServiceCommand::kInstall);
  EXPECT_EQ(with.options->home, fs::path("/srv/parlevo"));
  EXPECT_TRUE(with.options->home_given);
  EXPECT_EQ(with.options->registry_file, fs::current_path() / "conf.reg");
  TCommandLineResult relative = Parse({"--home=inst"});
  ASSERT_TRUE(relative.options);
  EXPECT_EQ(relative.options->home, fs::current_path() / "inst");

  EXPECT_NE(Parse({"--port"}).error.find("unknown argument \"--port\""), std::string::npos);
  EXPECT_NE(Parse({"start"}).error.find("unknown argument"), std::string::npos);
  EXPECT_NE(Parse({"--home"}).error.find("needs a value"), std::string::npos);
  EXPECT_NE(Parse({"--registry="}).error.find("needs a value"), std::string::npos);
  EXPECT_NE(Parse({"install", "uninstall"}).error.find("only one command"), std::string::npos);
}

}  // namespace
}  // namespace parlevo
