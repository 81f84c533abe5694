// One database statement of an action: the connection text the action works with and a query
// variable that is released on every path, so that an action cannot leak a query however it ends.
//
// Thread safety: a TActionQuery belongs to the thread that made it; UseConnectionString (service/database.h)
// may be called from any thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "service/database.h"

namespace parlevo {

// Holds the query of ConnectToADODB and releases it with FreeADOQuery when it goes out of scope.
class TActionQuery {
 public:
  explicit TActionQuery(std::string connect_str) : connect_str_(std::move(connect_str)) {}
  ~TActionQuery() { FreeADOQuery(query_); }
  TActionQuery(const TActionQuery&) = delete;
  TActionQuery& operator=(const TActionQuery&) = delete;

  // Runs sql as ConnectToADODB does; on failure error_msg holds the database's message, which
  // is empty when a statement other than a select ran but changed no row.
  bool Run(std::string_view sql, bool is_select_stat, std::string& error_msg);
  // The key of the insert just run on this query's connection.
  bool AutoWert(int& value, std::string& error_msg);

  // The rows of the last select; requires a successful Run.
  TADOQuery& Rows() { return *query_; }

 private:
  std::string connect_str_;
  std::unique_ptr<TADOQuery> query_;
};

}  // namespace parlevo
