#include "service/action_statement.h"

#include <exception>
#include <memory>
#include <utility>

namespace parlevo {

TStatementStatus TActionStatement::Run(std::string_view sql, bool is_select) {
  TraceStatement(sql);
  std::string error;
  if (!ConnectToADODB(query_, connect_str_, sql, is_select, error)) {
    return TStatementStatus::Failed(std::move(error));
  }
  return TStatementStatus::Ok();
}

TStatementStatus TActionStatement::RunOnSameConnection(std::string_view sql, bool is_select) {
  if (!query_) return TStatementStatus::Failed("Not connected to database");
  TraceStatement(sql);
  std::string error;
  if (!ConnectToADODB(*query_, connect_str_, sql, is_select, error))
    return TStatementStatus::Failed(std::move(error));
  return TStatementStatus::Ok();
}

TStatementStatus TActionStatement::BeginTransaction() {
  try {
    if (!query_) {
      auto query = std::make_unique<TADOQuery>();
      query->Connection().Open(connect_str_);
      query_ = std::move(query);
    }
    query_->Connection().BeginTrans();
  } catch (const std::exception& e) {
    Release();
    return TStatementStatus::Failed(e.what());
  }
  return TStatementStatus::Ok();
}

TStatementStatus TActionStatement::Commit() {
  if (!query_) return TStatementStatus::Failed("Not connected to database");
  try {
    query_->Connection().CommitTrans();
  } catch (const std::exception& e) {
    Release();
    return TStatementStatus::Failed(e.what());
  }
  return TStatementStatus::Ok();
}

TStatementValue<int> TActionStatement::AutoWert() {
  int value = 0;
  std::string error;
  if (!GetAutoWert(query_, value, error)) return TStatementStatus::Failed(std::move(error));
  return value;
}

}  // namespace parlevo
