// Starts the real program in a fresh install folder and checks what it leaves there and how it
// answers the control signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/registry.h"
#include "service/check_registry.h"
#include "service/database.h"

extern char** environ;

namespace parlevo {
namespace {

namespace fs = std::filesystem;

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = fs::temp_directory_path() /
            ("parlevo-e2e-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(home_);
    fs::create_directories(home_);
  }
  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    fs::remove_all(home_);
  }

  void Start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {PARLEVO_PROGRAM, "--home", home_.string(), "--registry",
                                     (home_ / "registry.reg").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ASSERT_EQ(::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ), 0);
  }

  // Waits for the program to end; -1 when it is still running after the bound.
  int WaitExit(std::chrono::milliseconds bound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < until) {
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  // The program has finished creating once the configuration key holds every default.
  void WaitForDefaults() {
    for (int i = 0; i < 500; ++i) {
      try {
        TRegistry registry(home_ / "registry.reg");
        if (registry.OpenKeyReadOnly(kParlevoRegistryKey) && registry.GetValueNames().size() == 25)
          return;
      } catch (const ERegistryException&) {
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FAIL() << "the program never wrote its defaults";
  }

  fs::path home_;
  pid_t pid_ = -1;
};

TEST_F(ProgramTest, FreshHomeGetsItsConfigurationAndStopsOnSigterm) {
  Start();
  WaitForDefaults();
  ASSERT_EQ(::kill(pid_, SIGTERM), 0);
  EXPECT_EQ(WaitExit(std::chrono::seconds(2)), 0);

  TRegistry registry(home_ / "registry.reg");
  ASSERT_TRUE(registry.OpenKeyReadOnly(kParlevoRegistryKey));
  const auto names = registry.GetValueNames();
  const auto defaults = RegistryDefaults(home_.string() + "/");
  ASSERT_EQ(names.size(), defaults.size());
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(names[i], defaults[i].name);
    if (std::holds_alternative<int32_t>(defaults[i].data)) {
      EXPECT_EQ(registry.ReadInteger(names[i]), std::get<int32_t>(defaults[i].data)) << names[i];
    } else {
      EXPECT_EQ(registry.ReadString(names[i]), std::get<std::string>(defaults[i].data)) << names[i];
    }
  }
}

TEST_F(ProgramTest, KeyHoldingOnlyPortKeepsItAndGainsTheRest) {
  {
    std::ofstream out(home_ / "registry.reg", std::ios::binary);
    out << "Windows Registry Editor Version 5.00\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvalen\\Parlevo for ZyntWare]\r\n"
           "\"Port\"=dword:00001f90\r\n";
  }
  Start();
  WaitForDefaults();
  ASSERT_EQ(::kill(pid_, SIGINT), 0);
  EXPECT_EQ(WaitExit(std::chrono::seconds(2)), 0);
  TRegistry registry(home_ / "registry.reg");
  ASSERT_TRUE(registry.OpenKeyReadOnly(kParlevoRegistryKey));
  EXPECT_EQ(registry.ReadInteger("Port"), 8080);
  EXPECT_EQ(registry.GetValueNames().front(), "Port");
  EXPECT_EQ(registry.GetValueNames().size(), 25u);
}

TEST_F(ProgramTest, PauseAndContinueKeepTheProcessAlive) {
  Start();
  WaitForDefaults();
  ASSERT_EQ(::kill(pid_, SIGUSR1), 0);
  ASSERT_EQ(::kill(pid_, SIGUSR2), 0);
  EXPECT_EQ(WaitExit(std::chrono::milliseconds(200)), -1);
  ASSERT_EQ(::kill(pid_, SIGTERM), 0);
  EXPECT_EQ(WaitExit(std::chrono::seconds(2)), 0);
}

TEST_F(ProgramTest, UnknownArgumentsAnswerUsageWithExitCode2) {
  Start({"--bogus"});
  EXPECT_EQ(WaitExit(std::chrono::seconds(5)), 2);
}

}  // namespace
}  // namespace parlevo
