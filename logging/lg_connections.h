// The connections string that says which outputs the library writes to, for example
// "pipe(reconnect=true, reconnect.interval=1s)": its parser, the parser of the option list inside
// the parentheses, the builder that turns options back into such a list, and the variables
// ("$name$") substituted into a connections string before it is parsed.
//
// Thread safety: parsers and builders hold no shared state; create one per use. A
// TLgProtocolVariables may be used from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>

#include "logging/lg_containers.h"
#include "logging/lg_level.h"

namespace parlevo::logging {

// Time-based rotation of log files.
enum class TLgFileRotate : uint8_t { None, Hourly, Daily, Weekly, Monthly };
// "none", "hourly", "daily", "weekly", "monthly".
std::string_view RotateName(TLgFileRotate rotate);

class TLgConnectionsParser {
 public:
  using Callback = std::function<void(const std::string& protocol, const std::string& options)>;
  // Calls back once per protocol entry, in the order of the string, with the lower-cased name
  // and the trimmed options text. Raises ELogCenterError on malformed input; entries before
  // the fault have been reported by then.
  static void Parse(std::string_view connections, const Callback& callback);
};

class TLgOptionsParser {
 public:
  using Callback = std::function<void(const std::string& protocol, const std::string& key,
                                      const std::string& value)>;
  // Calls back once per option, in order, with the lower-cased key and the unquoted, trimmed
  // value. Raises ELogCenterError on malformed input.
  static void Parse(std::string_view protocol, std::string_view options, const Callback& callback);
};

// Writes options as key="value" pairs separated by ", ", quotes in values doubled.
class TLgConnectionsBuilder {
 public:
  TLgConnectionsBuilder() : builder_(256) {}

  void AddOption(std::string_view key, std::string_view value);
  void AddOption(std::string_view key, const char* value) {
    AddOption(key, std::string_view(value));
  }
  void AddOption(std::string_view key, bool value);
  template <typename I>
  requires(std::is_integral_v<I> && !std::is_same_v<I, bool>) void AddOption(std::string_view key,
                                                                             I value) {
    AddIntegerOption(key, static_cast<int64_t>(value));
  }
  void AddOption(std::string_view key, TLgLevel value);
  void AddOption(std::string_view key, TLgFileRotate value);
  void Clear();
  const std::string& Text() const { return builder_.Text(); }

 private:
  void AddIntegerOption(std::string_view key, int64_t value);

  TLgStringBuilder builder_;
  bool has_option_ = false;
};

// Variables substituted into connections strings: every "$name$" (exact text) is replaced by
// the value. Names are unique without regard to case.
class TLgProtocolVariables {
 public:
  void Put(std::string_view name, std::string_view value);
  void Clear();
  int Count() const;
  std::string Expand(std::string_view connections) const;

 private:
  mutable std::mutex lock_;
  mutable TLgStringHash variables_;
};

}  // namespace parlevo::logging
