#include "conferences/action_query.h"

namespace parlevo {

bool TActionQuery::Run(std::string_view sql, bool is_select_stat, std::string& error_msg) {
  error_msg.clear();
  return ConnectToADODB(query_, connect_str_, sql, is_select_stat, error_msg);
}

bool TActionQuery::AutoWert(int& value, std::string& error_msg) {
  error_msg.clear();
  return GetAutoWert(query_, value, error_msg);
}

}  // namespace parlevo
