// The database layer (a Jet statement through ConnectToADODB, a fresh connection per statement)
// against the same work done with plain SQLite prepared statements, on one file in one run.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "service/database.h"
#include "service/schema.h"

namespace {

constexpr int kMembers = 1000;

// One database below a temporary install folder, with the schema and kMembers members.
struct BenchFile {
  BenchFile() {
    char tmpl[] = "/tmp/parlevo-bench-XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    dir = tmpl;
    connstr = parlevo::GetConnectionString(dir);
    if (!parlevo::UpdateDB(connstr)) std::abort();
    path = parlevo::DatabasePath(dir);
    for (int i = 0; i < kMembers; ++i) {
      std::unique_ptr<parlevo::TADOQuery> q;
      std::string error;
      parlevo::ConnectToADODB(q, connstr,
                              "INSERT INTO [members] ([sex],[title],[name],[firstname],[email],"
                              "[sms],[company],[project],[language]) VALUES(\"Herr\", \"Dr.\", "
                              "\"Name " +
                                  std::to_string(i) + "\", \"Vorname\", \"m" + std::to_string(i) +
                                  "@example.org\", \"0171 123\", \"Firma\", \"Projekt\", \"ger\")",
                              false, error);
    }
  }
  ~BenchFile() {
    parlevo::db::CloseIdleConnections();
    std::filesystem::remove_all(dir);
  }
  std::string dir;
  std::string connstr;
  std::string path;
};

BenchFile& File() {
  static BenchFile file;
  return file;
}

sqlite3* OpenPlain(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    std::abort();
  }
  sqlite3_busy_timeout(db, 30000);
  sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  return db;
}

std::string Text(sqlite3_stmt* stmt, int column) {
  const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
  return p ? p : "";
}

void BM_LayerKeyedSelect(benchmark::State& state) {
  auto& file = File();
  int key = 0;
  for (auto _ : state) {
    key = key % kMembers + 1;
    std::unique_ptr<parlevo::TADOQuery> q;
    std::string error;
    if (!parlevo::ConnectToADODB(q, file.connstr,
                                 "SELECT * FROM [members] WHERE ID=" + std::to_string(key), true,
                                 error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    std::string name = q->FieldByName("name").AsString();
    std::string email = q->FieldByName("email").AsString();
    benchmark::DoNotOptimize(name);
    benchmark::DoNotOptimize(email);
    parlevo::FreeADOQuery(q);
  }
}
BENCHMARK(BM_LayerKeyedSelect);

void BM_PlainKeyedSelect(benchmark::State& state) {
  sqlite3* db = OpenPlain(File().path);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, "SELECT * FROM members WHERE ID=?", -1, &stmt, nullptr);
  int key = 0;
  for (auto _ : state) {
    key = key % kMembers + 1;
    sqlite3_bind_int(stmt, 1, key);
    if (sqlite3_step(stmt) != SQLITE_ROW) {
      state.SkipWithError("no row");
      break;
    }
    std::string name = Text(stmt, 3);
    std::string email = Text(stmt, 5);
    benchmark::DoNotOptimize(name);
    benchmark::DoNotOptimize(email);
    sqlite3_reset(stmt);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}
BENCHMARK(BM_PlainKeyedSelect);

// For reference: plain SQLite when it, too, opens a connection for every statement.
void BM_PlainKeyedSelectOwnConnection(benchmark::State& state) {
  const std::string& path = File().path;
  int key = 0;
  for (auto _ : state) {
    key = key % kMembers + 1;
    sqlite3* db = OpenPlain(path);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT * FROM members WHERE ID=?", -1, &stmt, nullptr);
    sqlite3_bind_int(stmt, 1, key);
    if (sqlite3_step(stmt) != SQLITE_ROW) {
      state.SkipWithError("no row");
      break;
    }
    std::string name = Text(stmt, 3);
    std::string email = Text(stmt, 5);
    benchmark::DoNotOptimize(name);
    benchmark::DoNotOptimize(email);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
  }
}
BENCHMARK(BM_PlainKeyedSelectOwnConnection);

void BM_LayerInsertAndKey(benchmark::State& state) {
  auto& file = File();
  for (auto _ : state) {
    std::unique_ptr<parlevo::TADOQuery> q;
    std::string error;
    int id = 0;
    if (!parlevo::ConnectToADODB(
            q, file.connstr,
            "INSERT INTO [conferences] (room, name, [date], enddate, starttime, endtime, "
            "RecurrenceId, PinHost, PinMember, PinListenOnly) VALUES (\"100\", \"Bench\", "
            "\"2026-03-07\", \"\", \"2026-03-07 10:00:00\", \"2026-03-07 11:00:00\", \"-1\", "
            "\"1234\", \"2345\", \"3456\")",
            false, error) ||
        !parlevo::GetAutoWert(q, id, error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    benchmark::DoNotOptimize(id);
    parlevo::FreeADOQuery(q);
  }
}
BENCHMARK(BM_LayerInsertAndKey);

void BM_PlainInsertAndKey(benchmark::State& state) {
  sqlite3* db = OpenPlain(File().path);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO conferences (room, name, \"date\", enddate, starttime, endtime, "
                     "RecurrenceId, PinHost, PinMember, PinListenOnly) VALUES "
                     "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                     -1, &stmt, nullptr);
  for (auto _ : state) {
    sqlite3_bind_text(stmt, 1, "100", -1, SQLITE_STATIC);
    sqlite3_bind_text(stmt, 2, "Bench", -1, SQLITE_STATIC);
    sqlite3_bind_double(stmt, 3, 46088.0);
    sqlite3_bind_null(stmt, 4);
    sqlite3_bind_double(stmt, 5, 46088.0 + 10.0 / 24);
    sqlite3_bind_double(stmt, 6, 46088.0 + 11.0 / 24);
    sqlite3_bind_int(stmt, 7, -1);
    sqlite3_bind_int(stmt, 8, 1234);
    sqlite3_bind_int(stmt, 9, 2345);
    sqlite3_bind_int(stmt, 10, 3456);
    if (sqlite3_step(stmt) != SQLITE_DONE) {
      state.SkipWithError(sqlite3_errmsg(db));
      break;
    }
    sqlite3_reset(stmt);
    sqlite3_int64 id = sqlite3_last_insert_rowid(db);
    benchmark::DoNotOptimize(id);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}
BENCHMARK(BM_PlainInsertAndKey);

}  // namespace

BENCHMARK_MAIN();
