#include "conferences/action_query.h"

#include <exception>

#include "logging/lg_auto.h"
#include "platform/registry.h"
#include "service/check_registry.h"

namespace parlevo {
namespace {

std::string ReadInstallPath() {
  try {
    TRegistry registry;
    if (!registry.OpenKeyReadOnly(kParlevoRegistryKey)) return {};
    return registry.ReadString("InstallPath");
  } catch (const std::exception& e) {
    // An unreadable configuration yields no connection text; the statement then fails with the
    // database layer's message, which the action answers with.
    logging::MainSession().LogException(e, "ActionConnectionString");
    return {};
  }
}

}  // namespace

std::string ActionConnectionString() {
  std::string connect_str = GetConnectionString(ReadInstallPath());
  SetCurrentConnectionString(connect_str);
  return connect_str;
}

bool TActionQuery::Run(std::string_view sql, bool is_select_stat, std::string& error_msg) {
  error_msg.clear();
  return ConnectToADODB(query_, connect_str_, sql, is_select_stat, error_msg);
}

bool TActionQuery::AutoWert(int& value, std::string& error_msg) {
  error_msg.clear();
  return GetAutoWert(query_, value, error_msg);
}

}  // namespace parlevo
