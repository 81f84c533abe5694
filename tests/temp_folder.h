// A fresh folder under the system's temporary directory for a test's files, removed with all it
// holds when the object goes.
//
// Thread safety: the object is immutable after construction; Write may be called from any thread
// for different files.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace parlevo::testing_support {

class TTempFolder {
 public:
  explicit TTempFolder(std::string_view prefix = "parlevo_test") {
    std::string pattern =
        (std::filesystem::temp_directory_path() / (std::string(prefix) + "_XXXXXX")).string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  ~TTempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }
  void Write(const std::filesystem::path& relative, std::string_view text) const {
    std::filesystem::create_directories((path_ / relative).parent_path());
    std::ofstream(path_ / relative, std::ios::binary) << text;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace parlevo::testing_support
