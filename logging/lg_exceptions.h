// Exception classes of the logging library. Logging operations never let them reach the code
// that logs; they travel between the library's own parts and end in TLogCenter::DoError, or
// reach the caller of the few set-up operations that are documented to raise.
#pragma once

#include <stdexcept>
#include <string>

namespace parlevo::logging {

// Any failure inside the logging library.
class ELogCenterError : public std::runtime_error {
 public:
  explicit ELogCenterError(const std::string& message) : std::runtime_error(message) {}
};

// A connections string that could not be applied (malformed text, unknown protocol, rejected
// option). Deliberately not an ELogCenterError: callers that catch library errors in general
// must not swallow a broken configuration by accident.
class ELgInvalidConnectionsError : public std::runtime_error {
 public:
  explicit ELgInvalidConnectionsError(const std::string& message) : std::runtime_error(message) {}
};

// A failure of one output protocol, with the protocol's name and its options text so that a
// report says which output failed and how it was configured.
class ELgProtocolError : public ELogCenterError {
 public:
  ELgProtocolError(const std::string& message, std::string protocol_name,
                   std::string protocol_options)
      : ELogCenterError(message),
        protocol_name_(std::move(protocol_name)),
        protocol_options_(std::move(protocol_options)) {}

  const std::string& ProtocolName() const { return protocol_name_; }
  const std::string& ProtocolOptions() const { return protocol_options_; }

 private:
  std::string protocol_name_;
  std::string protocol_options_;
};

}  // namespace parlevo::logging
