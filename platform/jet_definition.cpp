#include "platform/jet_definition.h"

#include <utility>

#include "platform/ascii_text.h"

namespace parlevo::db::jet {
namespace {

bool IsColumnConstraintWord(const Token& t) {
  for (std::string_view w : {"NOT", "NULL", "PRIMARY", "UNIQUE", "DEFAULT", "CONSTRAINT",
                             "REFERENCES", "CHECK", "COLLATE"}) {
    if (IsWord(t, w)) return true;
  }
  return false;
}

// Names quoted, literals written in place (definitions take no parameters).
std::string TranslateDefinitionRange(const std::vector<Token>& t, size_t begin, size_t end) {
  Output out;
  int depth = 0;
  for (size_t i = begin; i < end; ++i) {
    const Token& tok = t[i];
    const bool after_dot = i > begin && IsPunct(t[i - 1], ".");
    switch (tok.type) {
      case TokType::Word:
        if (after_dot) {
          out.Emit(QuoteName(tok.text));
        } else if (IsWord(tok, "TRUE")) {
          out.Emit("(-1)");
        } else if (IsWord(tok, "FALSE")) {
          out.Emit("0");
        } else {
          out.Emit(tok.text);
        }
        break;
      case TokType::Name:
        out.Emit(QuoteName(tok.text));
        break;
      case TokType::Identity:
        Fail("@@IDENTITY in a definition");
      case TokType::Punct:
        if (tok.text == ";") Fail("a ';' inside the statement");
        if (tok.text == "(") ++depth;
        if (tok.text == ")" && --depth < 0) Fail("unbalanced parentheses");
        out.Emit(tok.text == "&" ? "||" : tok.text);
        break;
      default:
        out.Emit(InlineLiteral(tok));
        break;
    }
  }
  if (depth != 0) Fail("unbalanced parentheses");
  return out.Take();
}

bool RangeHasWord(const std::vector<Token>& t, size_t begin, size_t end, std::string_view w) {
  for (size_t i = begin; i < end; ++i) {
    if (IsWord(t[i], w)) return true;
  }
  return false;
}

// One column definition "name type [constraints]" in SQLite's form: a counter becomes the
// auto-increment key (keys are never reused), a flag is never NULL, text compares without case.
std::string ColumnDefinition(const std::vector<Token>& t, size_t begin, size_t end,
                             bool adding_to_existing_table) {
  if (begin >= end || !IsNameToken(t[begin])) Fail("a column definition without a name");
  std::string out = QuoteName(t[begin].text);
  size_t i = begin + 1;
  std::string type;
  while (i < end && t[i].type == TokType::Word && !IsColumnConstraintWord(t[i])) {
    if (!type.empty()) type.push_back(' ');
    type += t[i].text;
    ++i;
  }
  if (i < end && IsPunct(t[i], "(") && !type.empty()) {
    type.push_back('(');
    ++i;
    while (i < end && !IsPunct(t[i], ")")) {
      if (t[i].type != TokType::Number && !IsPunct(t[i], ",")) Fail("a malformed column size");
      type += t[i].text;
      ++i;
    }
    if (i == end) Fail("unbalanced parentheses");
    type.push_back(')');
    ++i;
  }
  const std::string upper_type = ToUpperAscii(type);
  const bool counter =
      upper_type.rfind("COUNTER", 0) == 0 || upper_type.rfind("AUTOINCREMENT", 0) == 0;
  if (counter) {
    if (adding_to_existing_table) Fail("a counter column added to an existing table");
    out += " INTEGER PRIMARY KEY AUTOINCREMENT";
    // The key is already declared; drop Jet's own PRIMARY KEY words.
    std::vector<Token> rest;
    for (size_t k = i; k < end; ++k) {
      if (IsWord(t[k], "PRIMARY") && k + 1 < end && IsWord(t[k + 1], "KEY")) {
        ++k;
        continue;
      }
      rest.push_back(t[k]);
    }
    if (!rest.empty()) out.append(" ").append(TranslateDefinitionRange(rest, 0, rest.size()));
    return out;
  }
  if (!type.empty()) out.append(" ").append(type);
  switch (ClassifyDeclaredType(type)) {
    case FieldKind::Boolean:
      if (!RangeHasWord(t, i, end, "NOT")) out += " NOT NULL";
      if (!RangeHasWord(t, i, end, "DEFAULT")) out += " DEFAULT 0";
      break;
    case FieldKind::Text:
      if (!RangeHasWord(t, i, end, "COLLATE")) out += " COLLATE NOCASE";
      break;
    default:
      break;
  }
  if (i < end) out.append(" ").append(TranslateDefinitionRange(t, i, end));
  return out;
}

// Splits [begin, end) at the commas outside parentheses.
std::vector<std::pair<size_t, size_t>> SplitAtCommas(const std::vector<Token>& t, size_t begin,
                                                     size_t end) {
  std::vector<std::pair<size_t, size_t>> parts;
  int depth = 0;
  size_t start = begin;
  for (size_t i = begin; i < end; ++i) {
    if (IsPunct(t[i], "(")) ++depth;
    if (IsPunct(t[i], ")")) --depth;
    if (depth == 0 && IsPunct(t[i], ",")) {
      parts.emplace_back(start, i);
      start = i + 1;
    }
  }
  parts.emplace_back(start, end);
  return parts;
}

}  // namespace

Translation TranslateCreate(const std::vector<Token>& t) {
  Translation result;
  result.kind = StatementKind::Create;
  // CREATE TABLE name (column, column, ...)
  if (t.size() >= 4 && IsWord(t[1], "TABLE") && IsNameToken(t[2]) && IsPunct(t[3], "(")) {
    int depth = 0;
    size_t close = 3;
    for (; close < t.size(); ++close) {
      if (IsPunct(t[close], "(")) ++depth;
      if (IsPunct(t[close], ")") && --depth == 0) break;
    }
    if (close == t.size()) Fail("unbalanced parentheses");
    std::string sql = "CREATE TABLE " + QuoteName(t[2].text) + " (";
    bool first = true;
    for (auto [b, e] : SplitAtCommas(t, 4, close)) {
      if (!first) sql += ", ";
      first = false;
      const bool table_constraint =
          b < e && (IsWord(t[b], "CONSTRAINT") || IsWord(t[b], "PRIMARY") ||
                    IsWord(t[b], "UNIQUE") || IsWord(t[b], "FOREIGN") || IsWord(t[b], "CHECK"));
      sql +=
          table_constraint ? TranslateDefinitionRange(t, b, e) : ColumnDefinition(t, b, e, false);
    }
    sql += ")";
    if (close + 1 < t.size()) Fail("text after the column list");
    result.statements.push_back(std::move(sql));
    result.table = t[2].text;
    return result;
  }
  result.statements.push_back(TranslateDefinitionRange(t, 0, t.size()));
  return result;
}

Translation TranslateAlter(const std::vector<Token>& t) {
  Translation result;
  result.kind = StatementKind::Alter;
  if (t.size() < 5 || !IsWord(t[1], "TABLE") || !IsNameToken(t[2])) {
    Fail("ALTER other than ALTER TABLE");
  }
  const std::string table = QuoteName(t[2].text);
  result.table = t[2].text;
  const Token& action = t[3];
  const auto strip_column = [&](size_t b) {
    return b < t.size() && IsWord(t[b], "COLUMN") ? b + 1 : b;
  };
  if (IsWord(action, "ADD")) {
    for (auto [b, e] : SplitAtCommas(t, 4, t.size())) {
      b = strip_column(b);
      if (b < e && (IsWord(t[b], "CONSTRAINT") || IsWord(t[b], "PRIMARY") ||
                    IsWord(t[b], "UNIQUE") || IsWord(t[b], "FOREIGN"))) {
        Fail("ALTER TABLE ... ADD CONSTRAINT");
      }
      result.statements.push_back("ALTER TABLE " + table + " ADD COLUMN " +
                                  ColumnDefinition(t, b, e, true));
    }
  } else if (IsWord(action, "DROP")) {
    for (auto [b, e] : SplitAtCommas(t, 4, t.size())) {
      b = strip_column(b);
      if (b < e && IsWord(t[b], "CONSTRAINT")) Fail("ALTER TABLE ... DROP CONSTRAINT");
      if (e != b + 1 || !IsNameToken(t[b])) Fail("a malformed DROP COLUMN");
      result.statements.push_back("ALTER TABLE " + table + " DROP COLUMN " + QuoteName(t[b].text));
    }
  } else if (IsWord(action, "ALTER")) {
    // The engine keeps no sizes or narrower types; changing them is checking the column exists.
    const size_t b = strip_column(4);
    if (b >= t.size() || !IsNameToken(t[b])) Fail("a malformed ALTER COLUMN");
    result.statements.push_back("SELECT " + QuoteName(t[b].text) + " FROM " + table + " LIMIT 0");
  } else {
    Fail("ALTER TABLE ... " + action.text);
  }
  return result;
}

Translation TranslateDrop(const std::vector<Token>& t) {
  Translation result;
  result.kind = StatementKind::Drop;
  result.statements.push_back(TranslateDefinitionRange(t, 0, t.size()));
  return result;
}

}  // namespace parlevo::db::jet
