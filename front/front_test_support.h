// Test fixture shared by the front's unit tests: a temporary install folder standing for the
// executable's folder, and a registry file of its own, both removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/registry.h"
#include "service/helpers.h"

namespace parlevo {

class InstallFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = std::filesystem::temp_directory_path() /
            ("parlevo-front-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(home_);
    std::filesystem::create_directories(home_);
    saved_folder_ = ExeFolder();
    SetExeFolder(home_.string());
    SetRegistryFilePath(home_ / "registry.reg");
  }
  void TearDown() override {
    SetExeFolder(saved_folder_);
    std::filesystem::remove_all(home_);
  }

  void WriteFile(const std::filesystem::path& relative, const std::string& text) {
    std::filesystem::create_directories((home_ / relative).parent_path());
    std::ofstream out(home_ / relative, std::ios::binary);
    out << text;
  }
  std::string ReadFile(const std::filesystem::path& relative) {
    std::ifstream in(home_ / relative, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  std::filesystem::path home_;
  std::string saved_folder_;
};

}  // namespace parlevo
