#include "platform/db_handle_pool.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "platform/ascii_text.h"
#include "platform/db.h"
#include "platform/db_text_sizes.h"
#include "platform/jet_tokens.h"

namespace parlevo::db {
namespace {

using Clock = std::chrono::steady_clock;

// The longest single pause of a lock wait: a stop is noticed within it.
constexpr std::chrono::milliseconds kLongestPause{20};
// Enough for every request thread of a busy server to find a handle: a handle closed and opened
// again costs a schema parse, which under load is most of a short request.
constexpr size_t kIdleHandlesPerFile = 64;
constexpr size_t kIdleHandlesTotal = 128;

std::atomic<uint64_t> g_use_tick{0};
std::atomic<bool> g_lock_waits_interrupted{false};
// Idle handles kept over all files.
std::atomic<size_t> g_idle_total{0};

std::shared_ptr<const TableInfo> ReadTableInfo(sqlite3* db, const std::string& table) {
  auto info = std::make_shared<TableInfo>();
  const std::string sql = "PRAGMA table_info(" + jet::QuoteName(table) + ")";
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) ThrowEngine(db);
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    const char* name = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
    const char* type = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2));
    info->columns.emplace_back(ToLowerAscii(name ? name : ""),
                               ClassifyDeclaredType(type ? type : ""));
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) ThrowEngine(db);
  return info;
}

// Answers whether the file is in WAL mode now; a busy file leaves that to a later handle.
bool SwitchToWal(sqlite3* db) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA journal_mode=WAL", -1, &stmt, nullptr) != SQLITE_OK) {
    ThrowEngine(db);
  }
  const int step = sqlite3_step(stmt);
  const char* mode =
      step == SQLITE_ROW ? reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)) : nullptr;
  const bool wal = mode && EqualsIgnoreCaseAscii(mode, "wal");
  sqlite3_finalize(stmt);
  if (step != SQLITE_ROW && !IsBusy(step)) ThrowEngine(db);
  return wal;
}

// One pause of a wait for another connection's lock: false when the wait is over (its time ran
// out or the service stops), true after the pause. Short pauses first: the PBX's transactions
// end within milliseconds.
bool PauseForLock(Handle& handle, int attempt) {
  if (LockWaitsInterrupted()) return false;
  const auto now = Clock::now();
  if (handle.lock_deadline == Clock::time_point{}) handle.lock_deadline = now + kLockWait;
  if (now >= handle.lock_deadline) return false;
  const auto pause =
      std::min<Clock::duration>({std::chrono::milliseconds(1 << std::min(attempt, 5)),
                                 kLongestPause, handle.lock_deadline - now});
  std::this_thread::sleep_for(pause);
  return !LockWaitsInterrupted();
}

// The engine's busy handler: count is the number of earlier calls for the same lock.
int OnBusy(void* handle, int count) {
  return PauseForLock(*static_cast<Handle*>(handle), count) ? 1 : 0;
}

}  // namespace

void ThrowEngine(sqlite3* db) {
  throw DbError(sqlite3_errmsg(db));
}

void ConfigureEngineOnce() {
  static std::once_flag once;
  std::call_once(once, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
}

void SetLockWaitsInterrupted(bool interrupted) {
  g_lock_waits_interrupted = interrupted;
}

bool LockWaitsInterrupted() {
  return g_lock_waits_interrupted.load(std::memory_order_relaxed);
}

LockWait::LockWait(Handle& handle) : handle_(handle) {
  handle_.lock_deadline = {};
}

LockWait::~LockWait() {
  handle_.lock_deadline = {};
}

bool LockWait::Retry() {
  return PauseForLock(handle_, attempt_++);
}

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

Handle::~Handle() {
  ForgetStatements();
  if (db) sqlite3_close_v2(db);
}

void Handle::ForgetStatements() {
  for (auto& [sql, cached] : statements) sqlite3_finalize(cached.stmt);
  statements.clear();
}

// ---------------------------------------------------------------------------------------------

std::unique_ptr<Handle> FileState::Checkout() {
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    throw DbError("Could not find file '" + path_ + "'.");
  }
  std::unique_ptr<Handle> handle;
  bool set_wal = false;
  bool check_sizes = false;
  uint64_t generation;
  {
    std::lock_guard lock(mu_);
    last_used_ = ++g_use_tick;
    if (st.st_dev != dev_ || st.st_ino != ino_) {
      // A new file under the same name: nothing known about the old one applies.
      dev_ = st.st_dev;
      ino_ = st.st_ino;
      wal_ready_ = false;
      size_checks_ready_ = false;
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
    check_sizes = !size_checks_ready_;
  }
  if (handle) {
    sqlite3_set_last_insert_rowid(handle->db, 0);
    handle->lock_deadline = {};
    return handle;
  }
  return OpenHandle(generation, set_wal, check_sizes);
}

std::unique_ptr<Handle> FileState::OpenHandle(uint64_t generation, bool set_wal, bool check_sizes) {
  auto handle = std::make_unique<Handle>();
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
  sqlite3_busy_handler(handle->db, &OnBusy, handle.get());
  sqlite3_extended_result_codes(handle->db, 1);
  // In WAL mode a commit needs no sync of its own; the file stays consistent on a crash.
  sqlite3_exec(handle->db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  if (set_wal && SwitchToWal(handle->db)) {
    std::lock_guard lock(mu_);
    wal_ready_ = true;
  }
  // A file made before texts were held to their column sizes gets the rule on first use.
  if (check_sizes && EnsureTextSizeChecks(handle->db)) {
    std::lock_guard lock(mu_);
    size_checks_ready_ = true;
  }
  return handle;
}

void FileState::Checkin(std::unique_ptr<Handle> handle) {
  if (!sqlite3_get_autocommit(handle->db)) {
    sqlite3_exec(handle->db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  std::lock_guard lock(mu_);
  if (handle->generation == generation_ && idle_.size() < kIdleHandlesPerFile) {
    idle_.push_back(std::move(handle));
    ++g_idle_total;
  }
}

uint64_t FileState::SchemaChanged() {
  std::lock_guard lock(mu_);
  BumpLocked();
  return generation_;
}

std::shared_ptr<const TableInfo> FileState::TableInfoFor(Handle& handle, const std::string& table,
                                                         bool keep) {
  const std::string key = ToLowerAscii(table);
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

void FileState::CloseIdle() {
  std::vector<std::unique_ptr<Handle>> closing;  // closed after the lock is given up
  std::lock_guard lock(mu_);
  g_idle_total -= idle_.size();
  closing.swap(idle_);
}

bool FileState::HasIdle() {
  std::lock_guard lock(mu_);
  return !idle_.empty();
}

uint64_t FileState::LastUsed() {
  std::lock_guard lock(mu_);
  return last_used_;
}

void FileState::BumpLocked() {
  ++generation_;
  tables_.clear();
  CloseIdleLocked();
}

void FileState::CloseIdleLocked() {
  g_idle_total -= idle_.size();
  idle_.clear();
}

// ---------------------------------------------------------------------------------------------

FileRegistry& FileRegistry::Instance() {
  static FileRegistry registry;
  return registry;
}

std::shared_ptr<FileState> FileRegistry::For(const std::string& path) {
  std::lock_guard lock(mu_);
  auto& state = files_[path];
  if (!state) state = std::make_shared<FileState>(path);
  return state;
}

void FileRegistry::TrimIfOverLimit() {
  if (g_idle_total <= kIdleHandlesTotal) return;
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

void FileRegistry::CloseAllIdle() {
  std::lock_guard lock(mu_);
  for (auto& [path, state] : files_) state->CloseIdle();
}

}  // namespace parlevo::db
