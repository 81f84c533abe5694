// Translation of the Jet SQL dialect that the service's statements are written in into SQLite.
// The text is tokenized first, so nothing inside a text literal is ever touched. Literals of data
// statements leave the text as bound parameters: a value can neither end its literal early nor be
// read as a column name, and statements that differ only in their values share one prepared form.
// A literal written into a column (INSERT ... VALUES, UPDATE ... SET) remembers that column, so
// that it is stored in the column's own kind (see CoerceForColumn).
//
// What is translated: text literals in double or single quotes, #date# literals, TRUE/FALSE (-1/0),
// [bracketed] and `backquoted` names, reserved words used as names, @@IDENTITY, IIF, IsNull(x),
// DELETE * FROM, SELECT TOP n, &, MOD, COUNTER PRIMARY KEY, flags as NOT NULL DEFAULT 0, text
// columns compared without regard to case, ALTER TABLE with several columns, ALTER COLUMN (a
// check that the column exists; the engine keeps no column sizes, platform/db_text_sizes.h holds
// texts to them) and DROP COLUMN. LIKE uses the
// wildcards "%" and "_" with "\" as escape character. Anything it cannot translate faithfully
// fails with DbError; it never runs something else silently.
//
// Thread safety: TranslateJetSql is pure and may be called from any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/db_values.h"

namespace parlevo::db {

enum class StatementKind : uint8_t { Select, Insert, Update, Delete, Create, Alter, Drop };

// A literal taken out of the statement text and bound in place of its "?".
struct Parameter {
  DbValue value;
  // The column the value is written into when it stands alone in a VALUES list or a SET
  // assignment: by name, or by position for an INSERT without a column list. Empty table: none.
  std::string table;
  std::string column;
  int position = -1;

  bool HasTarget() const { return !table.empty(); }
};

struct Translation {
  StatementKind kind = StatementKind::Select;
  // SQLite texts. More than one only for an ALTER TABLE that names several columns; they run
  // together in one transaction.
  std::vector<std::string> statements;
  std::vector<Parameter> parameters;  // of the single statement of a data statement
  // The table a CREATE TABLE or ALTER TABLE defines, as named there; empty for other statements.
  std::string table;

  bool ChangesSchema() const {
    return kind == StatementKind::Create || kind == StatementKind::Alter ||
           kind == StatementKind::Drop;
  }
  bool ChangesRows() const {
    return kind == StatementKind::Insert || kind == StatementKind::Update ||
           kind == StatementKind::Delete;
  }
};

// Throws DbError naming what cannot be translated.
Translation TranslateJetSql(std::string_view jet_sql);

}  // namespace parlevo::db
