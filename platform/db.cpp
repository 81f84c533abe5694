#include "platform/db.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace parlevo::db {
namespace {

using Clock = std::chrono::steady_clock;

// How long the engine waits for another connection's lock before it reports "busy", and how long
// we keep retrying a statement that still found the file busy.
constexpr int kBusyTimeoutMs = 30000;
constexpr auto kRetryBudget = std::chrono::seconds(60);
// Enough for every request thread of a busy server to find a handle: a handle closed and opened
// again costs a schema parse, which under load is most of a short request.
constexpr size_t kIdleHandlesPerFile = 64;
constexpr size_t kIdleHandlesTotal = 128;
constexpr size_t kStatementsPerHandle = 128;

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string ToLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Lower(c);
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

[[noreturn]] void ThrowEngine(sqlite3* db) {
  throw DbError(sqlite3_errmsg(db));
}

// Only another connection's lock is worth waiting for; a lock held by the same connection is not.
bool IsBusy(int rc) {
  return (rc & 0xFF) == SQLITE_BUSY;
}

// The time a statement that found the file busy may keep retrying; it starts at the first retry,
// so that the common case never reads the clock.
class RetryBudget {
 public:
  // True when another attempt may be made; waits a little before it.
  bool Retry() {
    const auto now = Clock::now();
    if (attempt_ == 0) deadline_ = now + kRetryBudget;
    if (now >= deadline_) return false;
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::min(1 << std::min(attempt_, 6), 50)));
    ++attempt_;
    return true;
  }

 private:
  int attempt_ = 0;
  Clock::time_point deadline_{};
};

std::atomic<uint64_t> g_use_tick{0};
// Idle handles kept over all files.
std::atomic<size_t> g_idle_total{0};

// The engine's memory statistics take one process-wide lock on every allocation, which request
// threads then queue on; nothing reads them, so they are switched off before the first open.
void ConfigureEngineOnce() {
  static std::once_flag once;
  std::call_once(once, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
}

// A statement prepared on one handle, with the description of its result columns.
struct CachedStatement {
  sqlite3_stmt* stmt = nullptr;
  std::shared_ptr<const std::vector<ColumnInfo>> columns;
};

std::shared_ptr<const std::vector<ColumnInfo>> DescribeColumns(sqlite3_stmt* stmt) {
  auto columns = std::make_shared<std::vector<ColumnInfo>>();
  const int n = sqlite3_column_count(stmt);
  columns->reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    ColumnInfo c;
    const char* name = sqlite3_column_name(stmt, i);
    c.name = name ? name : "";
    const char* table = sqlite3_column_table_name(stmt, i);
    const char* origin = sqlite3_column_origin_name(stmt, i);
    // Through a parenthesised join the engine numbers names that occur in more than one table
    // ("ID:1"); the column keeps its own name, as it does without the parentheses.
    if (origin && c.name.size() > std::strlen(origin) + 1 && c.name.rfind(origin, 0) == 0 &&
        c.name[std::strlen(origin)] == ':' &&
        c.name.find_first_not_of("0123456789", std::strlen(origin) + 1) == std::string::npos) {
      c.name = origin;
    }
    if (table && origin) c.qualified = std::string(table) + "." + origin;
    const char* decl = sqlite3_column_decltype(stmt, i);
    c.kind = ClassifyDeclaredType(decl ? decl : "");
    columns->push_back(std::move(c));
  }
  return columns;
}

// One engine connection, with the statements prepared on it.
struct Handle {
  sqlite3* db = nullptr;
  uint64_t generation = 0;
  std::unordered_map<std::string, CachedStatement> statements;

  Handle() = default;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    ForgetStatements();
    if (db) sqlite3_close_v2(db);
  }
  void ForgetStatements() {
    for (auto& [sql, cached] : statements) sqlite3_finalize(cached.stmt);
    statements.clear();
  }
};

// The declared kinds of a table's columns, in table order.
struct TableInfo {
  std::vector<std::pair<std::string, FieldKind>> columns;  // lower-case name, kind
};

std::shared_ptr<const TableInfo> ReadTableInfo(sqlite3* db, const std::string& table) {
  auto info = std::make_shared<TableInfo>();
  std::string sql = "PRAGMA table_info(\"";
  for (char c : table) {
    if (c == '"') sql.push_back('"');
    sql.push_back(c);
  }
  sql += "\")";
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) ThrowEngine(db);
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    const char* name = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
    const char* type = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2));
    info->columns.emplace_back(ToLower(name ? name : ""), ClassifyDeclaredType(type ? type : ""));
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) ThrowEngine(db);
  return info;
}

// Everything kept per database file: the idle handles and the column kinds of its tables. The
// generation changes with every change of the schema made through this layer and whenever the
// file itself is replaced; handles and kinds of an older generation are not used again.
class FileState {
 public:
  explicit FileState(std::string path) : path_(std::move(path)) {}

  std::unique_ptr<Handle> Checkout() {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      throw DbError("Could not find file '" + path_ + "'.");
    }
    std::unique_ptr<Handle> handle;
    bool set_wal = false;
    uint64_t generation;
    {
      std::lock_guard lock(mu_);
      last_used_ = ++g_use_tick;
      if (st.st_dev != dev_ || st.st_ino != ino_) {
        // A new file under the same name: nothing known about the old one applies.
        dev_ = st.st_dev;
        ino_ = st.st_ino;
        wal_ready_ = false;
        BumpLocked();
      }
      while (!idle_.empty()) {
        std::unique_ptr<Handle> candidate = std::move(idle_.back());
        idle_.pop_back();
        --g_idle_total;
        if (candidate->generation == generation_) {
          handle = std::move(candidate);
          break;
        }
      }
      generation = generation_;
      set_wal = !wal_ready_;
    }
    if (handle) {
      sqlite3_set_last_insert_rowid(handle->db, 0);
      return handle;
    }
    handle = std::make_unique<Handle>();
    handle->generation = generation;
    ConfigureEngineOnce();
    const int rc = sqlite3_open_v2(path_.c_str(), &handle->db,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      const std::string msg = handle->db ? sqlite3_errmsg(handle->db) : sqlite3_errstr(rc);
      throw DbError(msg + ": '" + path_ + "'");
    }
    // Names are written in double quotes: one that names no column must fail, never turn into
    // a text value as the engine's compatibility rule would make it.
    sqlite3_db_config(handle->db, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
    sqlite3_db_config(handle->db, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
    sqlite3_busy_timeout(handle->db, kBusyTimeoutMs);
    sqlite3_extended_result_codes(handle->db, 1);
    // In WAL mode a commit needs no sync of its own; the file stays consistent on a crash.
    sqlite3_exec(handle->db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    if (set_wal) {
      sqlite3_stmt* stmt = nullptr;
      if (sqlite3_prepare_v2(handle->db, "PRAGMA journal_mode=WAL", -1, &stmt, nullptr) ==
          SQLITE_OK) {
        const int step = sqlite3_step(stmt);
        const char* mode = step == SQLITE_ROW
                               ? reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0))
                               : nullptr;
        const bool wal = mode && EqualsNoCase(mode, "wal");
        sqlite3_finalize(stmt);
        if (step != SQLITE_ROW && !IsBusy(step)) ThrowEngine(handle->db);
        if (wal) {
          std::lock_guard lock(mu_);
          wal_ready_ = true;
        }
      } else {
        ThrowEngine(handle->db);
      }
    }
    return handle;
  }

  // Keeps a handle for reuse, when it is current and the file keeps not too many.
  void Checkin(std::unique_ptr<Handle> handle) {
    if (!sqlite3_get_autocommit(handle->db)) {
      sqlite3_exec(handle->db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    std::lock_guard lock(mu_);
    if (handle->generation == generation_ && idle_.size() < kIdleHandlesPerFile) {
      idle_.push_back(std::move(handle));
      ++g_idle_total;
    }
  }

  // After a change of the schema: handles are current again once they are reopened, and the
  // column kinds are read anew. Answers the new generation.
  uint64_t SchemaChanged() {
    std::lock_guard lock(mu_);
    BumpLocked();
    return generation_;
  }

  // The column kinds of a table, read through the given handle when not known yet. Kinds read
  // inside a transaction that changed the schema are not kept: that change may be rolled back.
  std::shared_ptr<const TableInfo> TableInfoFor(Handle& handle, const std::string& table,
                                                bool keep) {
    const std::string key = ToLower(table);
    {
      std::lock_guard lock(mu_);
      if (handle.generation == generation_) {
        if (auto it = tables_.find(key); it != tables_.end()) return it->second;
      }
    }
    auto info = ReadTableInfo(handle.db, table);
    if (keep && !info->columns.empty()) {
      std::lock_guard lock(mu_);
      if (handle.generation == generation_) tables_[key] = info;
    }
    return info;
  }

  void CloseIdle() {
    std::vector<std::unique_ptr<Handle>> closing;  // closed after the lock is given up
    std::lock_guard lock(mu_);
    g_idle_total -= idle_.size();
    closing.swap(idle_);
  }

  bool HasIdle() {
    std::lock_guard lock(mu_);
    return !idle_.empty();
  }

  uint64_t LastUsed() {
    std::lock_guard lock(mu_);
    return last_used_;
  }

 private:
  void BumpLocked() {
    ++generation_;
    tables_.clear();
    CloseIdleLocked();
  }

  void CloseIdleLocked() {
    g_idle_total -= idle_.size();
    idle_.clear();
  }

  const std::string path_;
  std::mutex mu_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  uint64_t generation_ = 1;
  bool wal_ready_ = false;
  uint64_t last_used_ = 0;
  std::vector<std::unique_ptr<Handle>> idle_;
  std::unordered_map<std::string, std::shared_ptr<const TableInfo>> tables_;
};

// The files this process has connected to.
class FileRegistry {
 public:
  static FileRegistry& Instance() {
    static FileRegistry registry;
    return registry;
  }

  std::shared_ptr<FileState> For(const std::string& path) {
    std::lock_guard lock(mu_);
    auto& state = files_[path];
    if (!state) state = std::make_shared<FileState>(path);
    return state;
  }

  // Keeps the idle handles of all files bounded: files not used for the longest time (for
  // example files deleted meanwhile) give theirs up first.
  void Trim() {
    std::lock_guard lock(mu_);
    while (g_idle_total > kIdleHandlesTotal) {
      FileState* oldest = nullptr;
      uint64_t oldest_use = UINT64_MAX;
      for (auto& [path, state] : files_) {
        if (!state->HasIdle()) continue;
        const uint64_t used = state->LastUsed();
        if (used < oldest_use) {
          oldest_use = used;
          oldest = state.get();
        }
      }
      if (!oldest) break;
      oldest->CloseIdle();
    }
  }

  void CloseAllIdle() {
    std::lock_guard lock(mu_);
    for (auto& [path, state] : files_) state->CloseIdle();
  }

 private:
  std::mutex mu_;
  std::map<std::string, std::shared_ptr<FileState>> files_;
};

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
  if (TrimBlanks(connection_string).empty()) {
    throw DbError("The connection string is empty: no database file to open.");
  }
  std::string_view rest = connection_string;
  while (!rest.empty()) {
    const size_t semi = rest.find(';');
    const std::string_view part = rest.substr(0, semi);
    rest = semi == std::string_view::npos ? std::string_view{} : rest.substr(semi + 1);
    const size_t eq = part.find('=');
    if (eq == std::string_view::npos) continue;
    if (!EqualsNoCase(TrimBlanks(part.substr(0, eq)), "Data Source")) continue;
    std::string_view value = TrimBlanks(part.substr(eq + 1));
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
    RetryBudget budget;
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
          const std::string name = ToLower(p.column);
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
    RetryBudget budget;
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

  // Runs the statements of a definition; several run as one.
  void RunDefinition(const Translation& tr) {
    sqlite3* db = Db();
    const bool several = tr.statements.size() > 1;
    const bool outer = !sqlite3_get_autocommit(db);
    if (several) Control(outer ? "SAVEPOINT jet_definition" : "BEGIN IMMEDIATE");
    try {
      for (const std::string& sql : tr.statements) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr) !=
            SQLITE_OK) {
          ThrowEngine(db);
        }
        int rc;
        RetryBudget budget;
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
  if (g_idle_total > kIdleHandlesTotal) FileRegistry::Instance().Trim();
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
    if (EqualsNoCase(cols[i].name, name)) return TField(this, i);
  }
  for (size_t i = 0; i < cols.size(); ++i) {
    if (!cols[i].qualified.empty() && EqualsNoCase(cols[i].qualified, name)) {
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
