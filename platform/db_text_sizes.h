// The sizes of text columns, kept as Jet keeps them: a text longer than its column's declared
// size ("TEXT(255)") is refused with Jet's message, whatever statement or writer brings it. The
// engine keeps declared types but no sizes, so each table with sized text columns gets a trigger
// before insert and one before update of those columns; they live in the file, so other writers
// meet the same rule. Files made before the rule get their triggers when first opened.
//
// Thread safety: the functions work on the handle they are given, which one thread uses at a time.
#pragma once

#include <sqlite3.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parlevo::db {

inline constexpr std::string_view kFieldTooSmall =
    "The field is too small to accept the amount of data you attempted to add. Try inserting or "
    "pasting less data.";

// The size a declared text type gives its column ("TEXT(20)" gives 20); nullopt for a text
// without one ("TEXT", "MEMO"), for other types and for a size that is no positive number.
std::optional<int> DeclaredTextSize(std::string_view declared_type);

// The statements that bring the size triggers of `table` (of every table when empty) in line
// with its columns; none when they are. Reads only. Throws DbError.
std::vector<std::string> TextSizeCheckChanges(sqlite3* db, const std::string& table = {});

// Runs TextSizeCheckChanges. The caller holds the write transaction. Throws DbError.
void UpdateTextSizeChecks(sqlite3* db, const std::string& table = {});

// Brings the triggers of every table in line, in a write transaction of its own, as the first
// use of a file does. False, with nothing changed, when the file is read-only (it takes no text
// then). Throws DbError.
bool EnsureTextSizeChecks(sqlite3* db);

// Drops the size triggers of a table, which would keep one of its columns from being dropped;
// UpdateTextSizeChecks makes them anew afterwards. Throws DbError.
void DropTextSizeChecks(sqlite3* db, const std::string& table);

}  // namespace parlevo::db
