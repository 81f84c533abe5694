// The process-wide table from protocol names to protocol classes, through which connections
// strings turn names into protocol objects.
//
// Thread safety: all operations may be called from any thread; the table has its own lock.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "logging/lg_protocol.h"

namespace parlevo::logging {

// Creates a new, uninitialized protocol object.
using TLgProtocolClass = std::function<std::unique_ptr<TLgProtocol>()>;

class TLgProtocolFactory {
 public:
  // The name is lower-cased and trimmed; an empty name or class is ignored. A name registered
  // again gets the new class.
  static void RegisterProtocol(std::string_view name, TLgProtocolClass protocol_class);

  template <typename P>
  static void RegisterProtocol(std::string_view name) {
    RegisterProtocol(name, [] { return std::unique_ptr<TLgProtocol>(std::make_unique<P>()); });
  }

  // A new protocol initialized with the options text. An unknown name raises ELogCenterError
  // "Protocol \"<name>\" not found"; a failing Initialize frees the protocol and passes its
  // exception on.
  static std::unique_ptr<TLgProtocol> GetProtocol(std::string_view name, std::string_view options);
};

// Registers the protocols the library ships with. Called once before the global log center
// applies its start-up connections.
void RegisterLibraryProtocols();

}  // namespace parlevo::logging
