// Sets (or with nullptr unsets) one environment variable for a test's scope and restores what
// was there before when it ends.
//
// Thread safety: none; the environment is the process's, so use it where no other thread reads it.
#pragma once

#include <stdlib.h>

#include <optional>
#include <string>

namespace parlevo::testing_support {

class TScopedEnv {
 public:
  TScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = ::getenv(name)) saved_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~TScopedEnv() {
    if (saved_) {
      ::setenv(name_.c_str(), saved_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  TScopedEnv(const TScopedEnv&) = delete;
  TScopedEnv& operator=(const TScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

}  // namespace parlevo::testing_support
