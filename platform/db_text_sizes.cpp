#include "platform/db_text_sizes.h"

#include <map>
#include <memory>
#include <utility>

#include "platform/ascii_text.h"
#include "platform/db_handle_pool.h"
#include "platform/db_values.h"
#include "platform/jet_tokens.h"

namespace parlevo::db {
namespace {

constexpr std::string_view kTriggerPrefix = "jet_text_size_";

using Statement = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

Statement Prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr) !=
      SQLITE_OK) {
    ThrowEngine(db);
  }
  return Statement(stmt, &sqlite3_finalize);
}

std::string ColumnText(sqlite3_stmt* stmt, int i) {
  const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
  return p ? p : "";
}

// The rows of a statement, each column as text.
std::vector<std::vector<std::string>> Rows(sqlite3* db, const std::string& sql,
                                           const std::string& parameter = {}) {
  Statement stmt = Prepare(db, sql);
  if (!parameter.empty() &&
      sqlite3_bind_text(stmt.get(), 1, parameter.data(), static_cast<int>(parameter.size()),
                        SQLITE_TRANSIENT) != SQLITE_OK) {
    ThrowEngine(db);
  }
  std::vector<std::vector<std::string>> rows;
  int rc;
  while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    std::vector<std::string> row;
    for (int i = 0; i < sqlite3_column_count(stmt.get()); ++i) {
      row.push_back(ColumnText(stmt.get(), i));
    }
    rows.push_back(std::move(row));
  }
  if (rc != SQLITE_DONE) ThrowEngine(db);
  return rows;
}

void Exec(sqlite3* db, const std::string& sql) {
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) ThrowEngine(db);
}

std::vector<std::string> TableNames(sqlite3* db) {
  std::vector<std::string> names;
  for (auto& row : Rows(db,
                        "SELECT name FROM sqlite_schema WHERE type = 'table' AND name NOT LIKE "
                        "'sqlite\\_%' ESCAPE '\\' ORDER BY name")) {
    names.push_back(std::move(row[0]));
  }
  return names;
}

// The size triggers of a table as they stand in the file: name -> statement text.
std::map<std::string, std::string> ExistingTriggers(sqlite3* db, const std::string& table) {
  std::map<std::string, std::string> triggers;
  for (auto& row :
       Rows(db,
            "SELECT name, sql FROM sqlite_schema WHERE type = 'trigger' AND tbl_name = ?1 "
            "COLLATE NOCASE AND name LIKE 'jet\\_text\\_size\\_%' ESCAPE '\\'",
            table)) {
    triggers[row[0]] = row[1];
  }
  return triggers;
}

// The size triggers a table should have: name -> statement text; none without sized columns.
std::map<std::string, std::string> WantedTriggers(sqlite3* db, const std::string& table) {
  std::string condition;
  std::string columns;
  for (const auto& row : Rows(db, "PRAGMA table_info(" + jet::QuoteName(table) + ")")) {
    const std::optional<int> size = DeclaredTextSize(row[2]);
    if (!size) continue;
    const std::string column = jet::QuoteName(row[1]);
    if (!condition.empty()) {
      condition += " OR ";
      columns += ", ";
    }
    condition += "length(NEW." + column + ") > " + std::to_string(*size);
    columns += column;
  }
  std::map<std::string, std::string> triggers;
  if (condition.empty()) return triggers;
  const std::string body = " WHEN " + condition + " BEGIN SELECT RAISE(ABORT, " +
                           jet::QuoteText(kFieldTooSmall) + "); END";
  const std::string insert_name = std::string(kTriggerPrefix) + "insert_" + table;
  const std::string update_name = std::string(kTriggerPrefix) + "update_" + table;
  // The engine keeps the text of CREATE TRIGGER as written, so what is there compares with this.
  triggers[insert_name] = "CREATE TRIGGER " + jet::QuoteName(insert_name) + " BEFORE INSERT ON " +
                          jet::QuoteName(table) + body;
  triggers[update_name] = "CREATE TRIGGER " + jet::QuoteName(update_name) + " BEFORE UPDATE OF " +
                          columns + " ON " + jet::QuoteName(table) + body;
  return triggers;
}

void AppendChanges(sqlite3* db, const std::string& table, std::vector<std::string>& changes) {
  const auto existing = ExistingTriggers(db, table);
  const auto wanted = WantedTriggers(db, table);
  for (const auto& [name, sql] : existing) {
    const auto it = wanted.find(name);
    if (it == wanted.end() || it->second != sql) {
      changes.push_back("DROP TRIGGER " + jet::QuoteName(name));
    }
  }
  for (const auto& [name, sql] : wanted) {
    const auto it = existing.find(name);
    if (it == existing.end() || it->second != sql) changes.push_back(sql);
  }
}

}  // namespace

std::optional<int> DeclaredTextSize(std::string_view declared_type) {
  if (ClassifyDeclaredType(declared_type) != FieldKind::Text) return std::nullopt;
  const size_t open = declared_type.find('(');
  if (open == std::string_view::npos) return std::nullopt;
  const std::string_view rest = TrimAscii(declared_type.substr(open + 1));
  const size_t close = rest.find(')');
  if (close == std::string_view::npos) return std::nullopt;
  const std::string_view digits = TrimAscii(rest.substr(0, close));
  if (digits.empty() || digits.size() > 9 ||
      digits.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  const int size = std::stoi(std::string(digits));
  if (size <= 0) return std::nullopt;
  return size;
}

std::vector<std::string> TextSizeCheckChanges(sqlite3* db, const std::string& table) {
  std::vector<std::string> changes;
  if (!table.empty()) {
    AppendChanges(db, table, changes);
    return changes;
  }
  for (const std::string& name : TableNames(db)) AppendChanges(db, name, changes);
  return changes;
}

void UpdateTextSizeChecks(sqlite3* db, const std::string& table) {
  for (const std::string& sql : TextSizeCheckChanges(db, table)) Exec(db, sql);
}

bool EnsureTextSizeChecks(sqlite3* db) {
  if (TextSizeCheckChanges(db).empty()) return true;
  if (sqlite3_db_readonly(db, "main") == 1) return false;
  Exec(db, "BEGIN IMMEDIATE");
  try {
    // Another connection may have done it meanwhile: the changes are read again under the lock.
    UpdateTextSizeChecks(db);
    Exec(db, "COMMIT");
  } catch (...) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  return true;
}

void DropTextSizeChecks(sqlite3* db, const std::string& table) {
  for (const auto& [name, sql] : ExistingTriggers(db, table)) {
    Exec(db, "DROP TRIGGER " + jet::QuoteName(name));
  }
}

}  // namespace parlevo::db
