#include "front/configuration.h"

#include "platform/registry.h"

namespace parlevo {

std::string ReadConfigString(std::string_view name) {
  TRegistry registry;
  registry.OpenKey(kConfigurationKey, true);
  return registry.ReadString(name);
}

int32_t ReadConfigInteger(std::string_view name) {
  TRegistry registry;
  registry.OpenKey(kConfigurationKey, true);
  return registry.ReadInteger(name);
}

void WriteConfigString(std::string_view name, std::string_view value) {
  TRegistry registry;
  registry.OpenKey(kConfigurationKey, true);
  registry.WriteString(name, value);
}

}  // namespace parlevo
