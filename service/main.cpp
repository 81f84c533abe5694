// Program entry of the conference service: install, uninstall, or run in the foreground.
#include <memory>

#include "platform/registry.h"
#include "platform/service_app.h"
#include "service/database.h"
#include "service/helpers.h"
#include "service/schema.h"
#include "service/zynt_parlevo.h"

int main(int argc, char** argv) {
  using namespace parlevo;
  return ServiceMain(argc, argv, [](const TServiceOptions& options) {
    SetExeFolder(options.home.string());
    SetRegistryFilePath(ResolveRegistryFilePath(options.registry_file, options.home));
    TZyntParlevoParts parts;
    parts.update_db = [] { UpdateDB(GetConnectionString()); };
    return std::make_unique<TZyntParlevo>(std::move(parts));
  });
}
