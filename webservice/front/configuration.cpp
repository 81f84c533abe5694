#include "webservice/front/configuration.h"

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

std::string ReadInstallPath() {
  try {
    TRegistry registry;
    if (!registry.OpenKeyReadOnly(kConfigurationKey)) return "";
    return registry.ReadString("InstallPath");
  } catch (const std::exception&) {
    return "";  // the database routines then see no configured database
  }
}

}  // namespace parlevo
