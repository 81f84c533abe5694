// The statements of one action: each is traced as its unit traces statements, runs through
// ConnectToADODB on a fresh connection (or on the connection of the previous statement, for work
// that must share a transaction), and its query is released when the runner goes out of scope,
// on every path. Outcomes come back as one small type, a status with the database's message.
//
// Thread safety: a TActionStatement belongs to the thread that made it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "service/database.h"

namespace parlevo {

// Success, or failure with the database's message. The message of a statement other than a
// select that changed no row is empty, as ConnectToADODB reports it.
class TStatementStatus {
 public:
  static TStatementStatus Ok() { return TStatementStatus(true, {}); }
  static TStatementStatus Failed(std::string message) {
    return TStatementStatus(false, std::move(message));
  }

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  const std::string& message() const { return message_; }

 private:
  TStatementStatus(bool ok, std::string message) : ok_(ok), message_(std::move(message)) {}
  bool ok_;
  std::string message_;
};

// A value, or the message of why there is none.
template <typename T>
class TStatementValue {
 public:
  TStatementValue(T value) : value_(std::move(value)) {}  // NOLINT: a value converts implicitly
  TStatementValue(TStatementStatus failure) : message_(failure.message()) {}  // NOLINT

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  const T& value() const { return *value_; }
  const T& operator*() const { return *value_; }
  const std::string& message() const { return message_; }

 private:
  std::optional<T> value_;
  std::string message_;
};

// How a unit writes a statement into its logs before it runs.
using TStatementTrace = std::function<void(std::string_view sql)>;

class TActionStatement {
 public:
  // connect_str: the action's copy of the connection text (UseConnectionString()).
  explicit TActionStatement(std::string connect_str, TStatementTrace trace = {})
      : connect_str_(std::move(connect_str)), trace_(std::move(trace)) {}
  ~TActionStatement() { FreeADOQuery(query_); }
  TActionStatement(const TActionStatement&) = delete;
  TActionStatement& operator=(const TActionStatement&) = delete;

  // Traces and runs sql on a fresh connection; the query of an earlier statement is released
  // first. A statement other than a select succeeds only when it changed a row.
  TStatementStatus Run(std::string_view sql, bool is_select);
  // Traces and runs sql on the connection of the statement before (its transaction included),
  // logged as ConnectToADODB logs; requires an earlier successful Run or BeginTransaction. A
  // failure keeps the connection and its transaction.
  TStatementStatus RunOnSameConnection(std::string_view sql, bool is_select);
  // Begins a transaction on the connection of the statement before, or on a fresh one when none
  // is held; the statements that follow share it through RunOnSameConnection. Whatever is not
  // committed is rolled back when the query is released (Release, a fresh Run, the scope's end).
  TStatementStatus BeginTransaction();
  TStatementStatus Commit();
  // The key of the insert just run on this connection.
  TStatementValue<int> AutoWert();

  // The rows of the last select; requires a successful select.
  TADOQuery& Rows() { return *query_; }
  bool HasRows() const { return query_ != nullptr; }
  // Releases the query now, as leaving the scope would.
  void Release() { FreeADOQuery(query_); }

 private:
  void TraceStatement(std::string_view sql) const {
    if (trace_) trace_(sql);
  }

  std::string connect_str_;
  TStatementTrace trace_;
  std::unique_ptr<TADOQuery> query_;
};

}  // namespace parlevo
