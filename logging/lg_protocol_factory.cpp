#include "logging/lg_protocol_factory.h"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "logging/lg_exceptions.h"
#include "logging/lg_text.h"

namespace parlevo::logging {
namespace {

struct Registry {
  std::mutex lock;
  std::vector<std::pair<std::string, TLgProtocolClass>> classes;  // in order of registration
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

}  // namespace

void TLgProtocolFactory::RegisterProtocol(std::string_view name, TLgProtocolClass protocol_class) {
  const std::string key = LowerCaseText(TrimText(name));
  if (key.empty() || !protocol_class) return;
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.lock);
  for (auto& [registered, cls] : registry.classes) {
    if (registered == key) {
      cls = std::move(protocol_class);
      return;
    }
  }
  registry.classes.emplace_back(key, std::move(protocol_class));
}

std::unique_ptr<TLgProtocol> TLgProtocolFactory::GetProtocol(std::string_view name,
                                                             std::string_view options) {
  const std::string key = LowerCaseText(TrimText(name));
  std::unique_ptr<TLgProtocol> protocol;
  {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.lock);
    for (const auto& [registered, cls] : registry.classes) {
      if (registered == key) {
        protocol = cls();
        break;
      }
    }
  }
  if (!protocol) throw ELogCenterError("Protocol \"" + key + "\" not found");
  protocol->Initialize(options);
  return protocol;
}

}  // namespace parlevo::logging
