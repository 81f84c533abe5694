// The database file behind the service: an SQLite 3 file reached through the objects the
// service's routines are written against, a connection (TADOConnection) opened from a Jet
// connection text and a query (TADOQuery) that runs one Jet statement at a time (translated by
// platform/db_translate.h) and holds the rows of a select, read whole, for reading by field name.
//
// Dates are stored as day numbers since 1899-12-30 and flags as -1/0; the typed reads of
// platform/db_values.h apply. Every file is used in WAL mode, and a statement that finds another
// connection's lock waits for it up to 5 s in all (kLockWait, platform/db_handle_pool.h), then
// fails with the engine's message ("database is locked"). Closing a connection keeps its
// engine handle for the next connection to the same file, so that a fresh connection for every
// statement costs little; the handle then starts over (no transaction, no last inserted key).
//
// Thread safety: one TADOConnection or TADOQuery is used by one thread at a time; different
// objects may be used by different threads at the same time, also on the same file. The free
// functions may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/datetime.h"
#include "platform/db_translate.h"
#include "platform/db_values.h"

namespace parlevo::db {

// The file named by "Data Source" in a connection text such as
// "Provider=...;Data Source=/opt/x/Database/conference.mdb;Mode=...". Throws DbError for an
// empty text or one without a data source.
std::string DataSourceOf(std::string_view connection_string);

// Creates a new, empty database file; its folder must exist. Throws DbError, also when the file
// exists already.
void CreateDatabaseFile(const std::string& path);

// Closes the engine handles kept for reuse, of every file; later connections open new ones.
void CloseIdleConnections();

// true: every wait for another connection's lock, those under way included, gives up within
// milliseconds, as if its time had run out, so that a stop never waits behind another process's
// transaction (the statement fails; a transaction it was part of is rolled back). false: lock
// waits take their time again.
void SetLockWaitsInterrupted(bool interrupted);

// One column of a result.
struct ColumnInfo {
  std::string name;       // as the engine names it (the alias when there is one)
  std::string qualified;  // "table.column" of the column it reads, or empty
  FieldKind kind = FieldKind::Unknown;
};

class TADOQuery;

// The value of one column in the current row of a query. Valid while the query lives and
// stands on that row.
class TField {
 public:
  std::string AsString() const;
  int64_t AsInteger() const;
  bool AsBoolean() const;
  TDateTime AsDateTime() const;
  bool IsNull() const;
  const std::string& FieldName() const;
  FieldKind Kind() const;

 private:
  friend class TADOQuery;
  TField(const TADOQuery* query, size_t index) : query_(query), index_(index) {}
  const DbValue& Value() const;
  const ColumnInfo& Column() const;

  const TADOQuery* query_;
  size_t index_;
};

class TADOConnection {
 public:
  TADOConnection();
  ~TADOConnection();  // closes; an open transaction is rolled back
  TADOConnection(const TADOConnection&) = delete;
  TADOConnection& operator=(const TADOConnection&) = delete;

  // Connects to the file named by the connection text. The file must exist. Throws DbError.
  void Open(std::string_view connection_string);
  void Close();
  bool Connected() const;

  // An explicit transaction; statements run inside it until it is committed or rolled back.
  void BeginTrans();
  void CommitTrans();
  void RollbackTrans();
  bool InTransaction() const;

  // Names of the tables of the file, sorted.
  std::vector<std::string> GetTableNames();

 private:
  friend class TADOQuery;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A statement and, for a select, its rows. Rows are read whole when the select is opened, so the
// file may be changed (also through another query) while they are walked.
class TADOQuery {
 public:
  TADOQuery();
  ~TADOQuery();
  TADOQuery(const TADOQuery&) = delete;
  TADOQuery& operator=(const TADOQuery&) = delete;

  TADOConnection& Connection() { return connection_; }

  // Runs a select and reads its rows; the query then stands on the first row. Throws DbError,
  // also for a statement that returns no rows.
  void Open(std::string_view jet_sql);
  // Runs a statement that returns no rows and answers how many rows it changed: inserted,
  // updated or deleted rows; 0 for definitions and for a select, which is not run.
  int64_t ExecSQL(std::string_view jet_sql);
  void Close();  // drops the rows
  bool Active() const { return active_; }

  bool Eof() const { return row_ >= rows_; }
  void Next();
  void First() { row_ = 0; }
  size_t RecordCount() const { return rows_; }
  bool IsEmpty() const { return rows_ == 0; }

  size_t FieldCount() const;
  TField Fields(size_t index) const;
  // Case-insensitive; a column also answers to "table.column". Throws DbError
  // "Field 'x' not found" when the result has no such column.
  TField FieldByName(std::string_view name) const;
  std::optional<TField> FindField(std::string_view name) const;

 private:
  friend class TField;

  TADOConnection connection_;
  std::shared_ptr<const std::vector<ColumnInfo>> columns_;
  std::vector<DbValue> values_;  // row after row
  size_t rows_ = 0;
  size_t row_ = 0;
  bool active_ = false;
};

}  // namespace parlevo::db
