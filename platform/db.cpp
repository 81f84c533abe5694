#include "platform/db.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include "platform/ascii_text.h"
#include "platform/db_handle_pool.h"
#include "platform/db_text_sizes.h"

namespace parlevo::db {
namespace {

DbValue ReadColumn(sqlite3_stmt* stmt, int i) {
  switch (sqlite3_column_type(stmt, i)) {
    case SQLITE_INTEGER:
      return DbValue::Of(static_cast<int64_t>(sqlite3_column_int64(stmt, i)));
    case SQLITE_FLOAT:
      return DbValue::Of(sqlite3_column_double(stmt, i));
    case SQLITE_TEXT:
    case SQLITE_BLOB: {
      const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt, i));
      const int n = sqlite3_column_bytes(stmt, i);
      return DbValue::Of(std::string(p ? p : "", static_cast<size_t>(n)));
    }
    default:
      return DbValue::Null();
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------

std::string DataSourceOf(std::string_view connection_string) {
  if (TrimAscii(connection_string).empty()) {
    throw DbError("The connection string is empty: no database file to open.");
  }
  std::string_view rest = connection_string;
  while (!rest.empty()) {
    const size_t semi = rest.find(';');
    const std::string_view part = rest.substr(0, semi);
    rest = semi == std::string_view::npos ? std::string_view{} : rest.substr(semi + 1);
    const size_t eq = part.find('=');
    if (eq == std::string_view::npos) continue;
    if (!EqualsIgnoreCaseAscii(TrimAscii(part.substr(0, eq)), "Data Source")) continue;
    std::string_view value = TrimAscii(part.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    if (value.empty()) break;
    return std::string(value);
  }
  throw DbError("The connection string names no database file (Data Source): " +
                std::string(connection_string));
}

void CreateDatabaseFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) throw DbError("The database file exists already: " + path);
  ConfigureEngineOnce();
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(
      path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  std::unique_ptr<sqlite3, decltype(&sqlite3_close_v2)> guard(db, &sqlite3_close_v2);
  if (rc != SQLITE_OK) {
    throw DbError(std::string(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)) + ": '" + path + "'");
  }
  // Writing the journal mode writes the file's header, so that the file is a database now.
  if (sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr) != SQLITE_OK) {
    ThrowEngine(db);
  }
}

void CloseIdleConnections() {
  FileRegistry::Instance().CloseAllIdle();
}

// ---------------------------------------------------------------------------------------------

struct TADOConnection::Impl {
  std::shared_ptr<FileState> file;
  std::unique_ptr<Handle> handle;
  bool schema_changed_in_transaction = false;

  sqlite3* Db() {
    if (!handle) throw DbError("The connection is not open.");
    return handle->db;
  }

  // Runs a statement of our own (transaction control), retrying while the file is busy.
  void Control(const char* sql) {
    sqlite3* db = Db();
    LockWait budget(*handle);
    for (;;) {
      const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
      if (rc == SQLITE_OK) return;
      if (!IsBusy(rc) || !budget.Retry()) ThrowEngine(db);
    }
  }

  CachedStatement Prepare(const std::string& sql) {
    sqlite3* db = Db();
    if (auto it = handle->statements.find(sql); it != handle->statements.end()) {
      return it->second;
    }
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt, &tail) !=
        SQLITE_OK) {
      ThrowEngine(db);
    }
    if (!stmt) throw DbError("The statement is empty.");
    if (handle->statements.size() >= kStatementsPerHandle) handle->ForgetStatements();
    CachedStatement cached{stmt, DescribeColumns(stmt)};
    handle->statements.emplace(sql, cached);
    return cached;
  }

  void Bind(sqlite3_stmt* stmt, const Translation& tr) {
    sqlite3_clear_bindings(stmt);
    const bool keep_kinds = !schema_changed_in_transaction;
    for (size_t i = 0; i < tr.parameters.size(); ++i) {
      const Parameter& p = tr.parameters[i];
      DbValue value = p.value;
      if (p.HasTarget()) {
        auto info = file->TableInfoFor(*handle, p.table, keep_kinds);
        const std::pair<std::string, FieldKind>* column = nullptr;
        if (p.position >= 0) {
          if (static_cast<size_t>(p.position) < info->columns.size()) {
            column = &info->columns[static_cast<size_t>(p.position)];
          }
        } else {
          const std::string name = ToLowerAscii(p.column);
          for (const auto& c : info->columns) {
            if (c.first == name) column = &c;
          }
        }
        if (column) value = CoerceForColumn(value, column->second);
      }
      const int index = static_cast<int>(i) + 1;
      int rc = SQLITE_OK;
      switch (value.type) {
        case DbValue::Type::Null:
          rc = sqlite3_bind_null(stmt, index);
          break;
        case DbValue::Type::Integer:
          rc = sqlite3_bind_int64(stmt, index, value.integer);
          break;
        case DbValue::Type::Real:
          rc = sqlite3_bind_double(stmt, index, value.real);
          break;
        case DbValue::Type::Text:
          rc = sqlite3_bind_text(stmt, index, value.text.data(),
                                 static_cast<int>(value.text.size()), SQLITE_TRANSIENT);
          break;
      }
      if (rc != SQLITE_OK) ThrowEngine(handle->db);
    }
  }

  // Runs one data statement. With `columns`/`values` given, the rows are read into them.
  int64_t RunData(const Translation& tr, std::shared_ptr<const std::vector<ColumnInfo>>* columns,
                  std::vector<DbValue>* values, size_t* rows) {
    sqlite3* db = Db();
    CachedStatement cached = Prepare(tr.statements.front());
    sqlite3_stmt* stmt = cached.stmt;
    struct Reset {
      sqlite3_stmt* s;
      ~Reset() {
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
      }
    } reset{stmt};
    Bind(stmt, tr);
    LockWait budget(*handle);
    for (;;) {
      if (values) {
        values->clear();
        *rows = 0;
      }
      int rc;
      while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        if (!values) continue;
        const int n = sqlite3_column_count(stmt);
        if (static_cast<size_t>(n) != cached.columns->size()) {
          // The statement was prepared again for a changed table: describe it anew.
          cached.columns = DescribeColumns(stmt);
          handle->statements[tr.statements.front()].columns = cached.columns;
        }
        for (int i = 0; i < n; ++i) values->push_back(ReadColumn(stmt, i));
        ++*rows;
      }
      if (rc == SQLITE_DONE) break;
      // A busy file fails a statement of its own transaction as a whole: run it again.
      const std::string msg = sqlite3_errmsg(db);
      sqlite3_reset(stmt);
      if (!(IsBusy(rc) && sqlite3_get_autocommit(db) && budget.Retry())) throw DbError(msg);
    }
    if (columns) *columns = cached.columns;
    return tr.ChangesRows() ? sqlite3_changes64(db) : 0;
  }

  // Runs the statements of a definition; several run as one, and so do the statements of a
  // table with the size triggers that follow its columns.
  void RunDefinition(const Translation& tr) {
    sqlite3* db = Db();
    const bool table = !tr.table.empty();
    const bool several = tr.statements.size() > 1 || table;
    const bool outer = !sqlite3_get_autocommit(db);
    if (several) Control(outer ? "SAVEPOINT jet_definition" : "BEGIN IMMEDIATE");
    try {
      // A trigger naming a column keeps the column from being dropped.
      if (table && tr.kind == StatementKind::Alter) DropTextSizeChecks(db, tr.table);
      for (const std::string& sql : tr.statements) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr) !=
            SQLITE_OK) {
          ThrowEngine(db);
        }
        int rc;
        LockWait budget(*handle);
        for (;;) {
          while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
          }
          if (!(IsBusy(rc) && sqlite3_get_autocommit(db))) break;
          sqlite3_reset(stmt);
          if (!budget.Retry()) break;
        }
        const std::string msg = rc == SQLITE_DONE ? "" : sqlite3_errmsg(db);
        sqlite3_finalize(stmt);
        if (rc != SQLITE_DONE) throw DbError(msg);
      }
      if (table) UpdateTextSizeChecks(db, tr.table);
      if (several) Control(outer ? "RELEASE jet_definition" : "COMMIT");
    } catch (...) {
      if (several && !sqlite3_get_autocommit(db)) {
        sqlite3_exec(db, outer ? "ROLLBACK TO jet_definition; RELEASE jet_definition" : "ROLLBACK",
                     nullptr, nullptr, nullptr);
      }
      SchemaChanged();
      throw;
    }
    SchemaChanged();
  }

  void SchemaChanged() {
    // This handle knows the new schema; every other one is reopened before its next use.
    handle->ForgetStatements();
    handle->generation = file->SchemaChanged();
    if (!sqlite3_get_autocommit(handle->db)) schema_changed_in_transaction = true;
  }

  int64_t Run(std::string_view jet_sql, std::shared_ptr<const std::vector<ColumnInfo>>* columns,
              std::vector<DbValue>* values, size_t* rows) {
    Db();
    const Translation tr = TranslateJetSql(jet_sql);
    if (values && tr.kind != StatementKind::Select) {
      throw DbError("The statement returns no rows and cannot be opened as a query.");
    }
    if (!values && tr.kind == StatementKind::Select) return 0;
    if (tr.ChangesSchema()) {
      RunDefinition(tr);
      return 0;
    }
    return RunData(tr, columns, values, rows);
  }
};

TADOConnection::TADOConnection() : impl_(std::make_unique<Impl>()) {}
TADOConnection::~TADOConnection() {
  Close();
}

void TADOConnection::Open(std::string_view connection_string) {
  Close();
  // Routines connect with the same text again and again: remember what it names.
  struct LastFile {
    std::string connection_string;
    std::shared_ptr<FileState> file;
  };
  thread_local LastFile last;
  std::shared_ptr<FileState> file;
  if (last.file && last.connection_string == connection_string) {
    file = last.file;
  } else {
    file = FileRegistry::Instance().For(DataSourceOf(connection_string));
    last = {std::string(connection_string), file};
  }
  impl_->handle = file->Checkout();
  impl_->file = std::move(file);
  impl_->schema_changed_in_transaction = false;
}

void TADOConnection::Close() {
  if (!impl_->handle) return;
  if (impl_->schema_changed_in_transaction && !sqlite3_get_autocommit(impl_->handle->db)) {
    // The rollback on check-in undoes a change of the schema that others must not rely on.
    impl_->file->SchemaChanged();
  }
  impl_->file->Checkin(std::move(impl_->handle));
  impl_->file.reset();
  impl_->schema_changed_in_transaction = false;
  FileRegistry::Instance().TrimIfOverLimit();
}

bool TADOConnection::Connected() const {
  return impl_->handle != nullptr;
}

void TADOConnection::BeginTrans() {
  if (InTransaction()) throw DbError("A transaction is already open on this connection.");
  impl_->Control("BEGIN IMMEDIATE");
  impl_->schema_changed_in_transaction = false;
}

void TADOConnection::CommitTrans() {
  if (!InTransaction()) throw DbError("No transaction is open on this connection.");
  impl_->Control("COMMIT");
  impl_->schema_changed_in_transaction = false;
}

void TADOConnection::RollbackTrans() {
  if (!InTransaction()) return;  // the engine may have rolled it back already after an error
  impl_->Control("ROLLBACK");
  if (impl_->schema_changed_in_transaction) impl_->SchemaChanged();
  impl_->schema_changed_in_transaction = false;
}

bool TADOConnection::InTransaction() const {
  return impl_->handle && !sqlite3_get_autocommit(impl_->handle->db);
}

std::vector<std::string> TADOConnection::GetTableNames() {
  sqlite3* db = impl_->Db();
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db,
                         "SELECT name FROM sqlite_schema WHERE type = 'table' AND name NOT LIKE "
                         "'sqlite\\_%' ESCAPE '\\' ORDER BY name",
                         -1, &stmt, nullptr) != SQLITE_OK) {
    ThrowEngine(db);
  }
  std::vector<std::string> names;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
  }
  const std::string msg = rc == SQLITE_DONE ? "" : sqlite3_errmsg(db);
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) throw DbError(msg);
  return names;
}

// ---------------------------------------------------------------------------------------------

TADOQuery::TADOQuery() = default;
TADOQuery::~TADOQuery() = default;

void TADOQuery::Open(std::string_view jet_sql) {
  Close();
  std::shared_ptr<const std::vector<ColumnInfo>> columns;
  std::vector<DbValue> values;
  size_t rows = 0;
  connection_.impl_->Run(jet_sql, &columns, &values, &rows);
  columns_ = std::move(columns);
  values_ = std::move(values);
  rows_ = rows;
  row_ = 0;
  active_ = true;
}

int64_t TADOQuery::ExecSQL(std::string_view jet_sql) {
  Close();
  return connection_.impl_->Run(jet_sql, nullptr, nullptr, nullptr);
}

void TADOQuery::Close() {
  columns_.reset();
  values_.clear();
  rows_ = row_ = 0;
  active_ = false;
}

void TADOQuery::Next() {
  if (row_ < rows_) ++row_;
}

size_t TADOQuery::FieldCount() const {
  return columns_ ? columns_->size() : 0;
}

TField TADOQuery::Fields(size_t index) const {
  if (index >= FieldCount()) throw DbError("Field index out of range");
  return TField(this, index);
}

std::optional<TField> TADOQuery::FindField(std::string_view name) const {
  if (!columns_) return std::nullopt;
  const auto& cols = *columns_;
  for (size_t i = 0; i < cols.size(); ++i) {
    if (EqualsIgnoreCaseAscii(cols[i].name, name)) return TField(this, i);
  }
  for (size_t i = 0; i < cols.size(); ++i) {
    if (!cols[i].qualified.empty() && EqualsIgnoreCaseAscii(cols[i].qualified, name)) {
      return TField(this, i);
    }
  }
  return std::nullopt;
}

TField TADOQuery::FieldByName(std::string_view name) const {
  if (auto f = FindField(name)) return *f;
  throw DbError("Field '" + std::string(name) + "' not found");
}

const ColumnInfo& TField::Column() const {
  return (*query_->columns_)[index_];
}

const DbValue& TField::Value() const {
  if (query_->Eof())
    throw DbError("Either BOF or EOF is True, or the current record has been deleted.");
  return query_->values_[query_->row_ * query_->columns_->size() + index_];
}

std::string TField::AsString() const {
  return ValueAsString(Value(), Column().kind);
}
int64_t TField::AsInteger() const {
  return ValueAsInteger(Value(), Column().kind);
}
bool TField::AsBoolean() const {
  return ValueAsBoolean(Value(), Column().kind);
}
TDateTime TField::AsDateTime() const {
  return ValueAsDateTime(Value(), Column().kind);
}
bool TField::IsNull() const {
  return IsNoValue(Value(), Column().kind);
}
const std::string& TField::FieldName() const {
  return Column().name;
}
FieldKind TField::Kind() const {
  return Column().kind;
}

}  // namespace parlevo::db
