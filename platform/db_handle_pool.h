// The engine handles behind TADOConnection (platform/db.h): for every database file the handles
// closed connections left for reuse, with the statements prepared on them, and the column kinds
// of its tables. A change of the schema or a new file under the same name starts a new
// generation; handles and kinds of an older one are never used again. Only platform/db.cpp and
// its tests use this.
//
// Thread safety: FileState and FileRegistry may be used from any thread; a Handle is used by one
// thread at a time (the one that checked it out).
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/db_values.h"

namespace parlevo::db {

struct ColumnInfo;

// How many statements a handle keeps prepared before it forgets them all.
constexpr size_t kStatementsPerHandle = 128;

[[noreturn]] void ThrowEngine(sqlite3* db);

// Only another connection's lock is worth waiting for; a lock held by the same connection is not.
inline bool IsBusy(int rc) {
  return (rc & 0xFF) == SQLITE_BUSY;
}

// The engine's memory statistics take one process-wide lock on every allocation, which request
// threads then queue on; nothing reads them, so they are switched off before the first open.
void ConfigureEngineOnce();

// How long one statement waits in all, its retries included, for a lock that another connection
// (another process: an administrator's shell, the PBX writing the attendance log) holds; then it
// fails with the engine's message. The PBX's own transactions are short, so this covers them
// with room to spare, while a lock held for good fails a request within seconds.
constexpr std::chrono::milliseconds kLockWait{5000};

// See SetLockWaitsInterrupted (platform/db.h).
bool LockWaitsInterrupted();

struct Handle;

// The wait of one statement for other connections' locks, retries included: the engine's busy
// handler and Retry share the handle's deadline, which starts at the first wait, so that the
// common case never reads the clock. Lives around one statement run on one handle.
class LockWait {
 public:
  explicit LockWait(Handle& handle);
  ~LockWait();
  LockWait(const LockWait&) = delete;
  LockWait& operator=(const LockWait&) = delete;

  // True when another attempt may be made; waits a little before it.
  bool Retry();

 private:
  Handle& handle_;
  int attempt_ = 0;
};

// A statement prepared on one handle, with the description of its result columns.
struct CachedStatement {
  sqlite3_stmt* stmt = nullptr;
  std::shared_ptr<const std::vector<ColumnInfo>> columns;
};

std::shared_ptr<const std::vector<ColumnInfo>> DescribeColumns(sqlite3_stmt* stmt);

// One engine connection, with the statements prepared on it.
struct Handle {
  sqlite3* db = nullptr;
  uint64_t generation = 0;
  std::unordered_map<std::string, CachedStatement> statements;
  // When the current wait for another connection's lock gives up; unset while nothing waits.
  std::chrono::steady_clock::time_point lock_deadline{};

  Handle() = default;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle();
  void ForgetStatements();
};

// The declared kinds of a table's columns, in table order.
struct TableInfo {
  std::vector<std::pair<std::string, FieldKind>> columns;  // lower-case name, kind
};

// Everything kept per database file: the idle handles and the column kinds of its tables.
class FileState {
 public:
  explicit FileState(std::string path) : path_(std::move(path)) {}

  // A handle on the file, idle or newly opened. Throws DbError when the file is missing.
  std::unique_ptr<Handle> Checkout();
  // Keeps a handle for reuse, when it is current and the file keeps not too many.
  void Checkin(std::unique_ptr<Handle> handle);

  // After a change of the schema: handles are current again once they are reopened, and the
  // column kinds are read anew. Answers the new generation.
  uint64_t SchemaChanged();

  // The column kinds of a table, read through the given handle when not known yet. Kinds read
  // inside a transaction that changed the schema are not kept: that change may be rolled back.
  std::shared_ptr<const TableInfo> TableInfoFor(Handle& handle, const std::string& table,
                                                bool keep);

  void CloseIdle();
  bool HasIdle();
  uint64_t LastUsed();

 private:
  std::unique_ptr<Handle> OpenHandle(uint64_t generation, bool set_wal, bool check_sizes);
  void BumpLocked();
  void CloseIdleLocked();

  const std::string path_;
  std::mutex mu_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  uint64_t generation_ = 1;
  bool wal_ready_ = false;
  bool size_checks_ready_ = false;
  uint64_t last_used_ = 0;
  std::vector<std::unique_ptr<Handle>> idle_;
  std::unordered_map<std::string, std::shared_ptr<const TableInfo>> tables_;
};

// The files this process has connected to.
class FileRegistry {
 public:
  static FileRegistry& Instance();

  std::shared_ptr<FileState> For(const std::string& path);

  // Keeps the idle handles of all files bounded: files not used for the longest time (for
  // example files deleted meanwhile) give theirs up first. Cheap when nothing is to be done.
  void TrimIfOverLimit();

  void CloseAllIdle();

 private:
  std::mutex mu_;
  std::map<std::string, std::shared_ptr<FileState>> files_;
};

}  // namespace parlevo::db
