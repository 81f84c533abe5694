#include "platform/db_translate.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <unordered_map>

namespace parlevo::db {
namespace {

// ---------------------------------------------------------------------------------------------
// Tokens

enum class TokType : uint8_t { Word, Name, Text, Number, Date, Identity, Punct };

struct Token {
  TokType type;
  std::string text;  // Word: as written; Name/Text: unquoted; Number/Date: as written; Punct
};

[[noreturn]] void Fail(const std::string& what) {
  throw DbError("Cannot translate the statement: " + what);
}

char Upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string ToUpper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Upper(c);
  return out;
}

bool IsWordStart(unsigned char c) {
  return std::isalpha(c) || c == '_' || c >= 0x80;
}
bool IsWordChar(unsigned char c) {
  return std::isalnum(c) || c == '_' || c >= 0x80;
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Reads a quoted run that ends at `close`; a doubled closing character stands for itself.
std::string ReadQuoted(std::string_view sql, size_t& i, char close, std::string_view what) {
  std::string value;
  ++i;  // opening character
  for (;;) {
    if (i >= sql.size()) Fail("unterminated " + std::string(what));
    const char c = sql[i];
    if (c == close) {
      if (i + 1 < sql.size() && sql[i + 1] == close && close != ']') {
        value.push_back(close);
        i += 2;
        continue;
      }
      ++i;
      return value;
    }
    value.push_back(c);
    ++i;
  }
}

std::vector<Token> Tokenize(std::string_view sql) {
  std::vector<Token> tokens;
  tokens.reserve(sql.size() / 4 + 4);
  size_t i = 0;
  while (i < sql.size()) {
    const char c = sql[i];
    const auto uc = static_cast<unsigned char>(c);
    if (c == '\0') throw DbError("The statement contains a NUL character.");
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++i;
    } else if (c == '"' || c == '\'') {
      tokens.push_back({TokType::Text, ReadQuoted(sql, i, c, "text literal")});
    } else if (c == '[') {
      tokens.push_back({TokType::Name, ReadQuoted(sql, i, ']', "bracketed name")});
    } else if (c == '`') {
      tokens.push_back({TokType::Name, ReadQuoted(sql, i, '`', "quoted name")});
    } else if (c == '#') {
      const size_t end = sql.find('#', i + 1);
      if (end == std::string_view::npos) Fail("unterminated date literal");
      tokens.push_back({TokType::Date, std::string(sql.substr(i + 1, end - i - 1))});
      i = end + 1;
    } else if (IsDigit(c) || (c == '.' && i + 1 < sql.size() && IsDigit(sql[i + 1]))) {
      const size_t start = i;
      while (i < sql.size() && IsDigit(sql[i])) ++i;
      if (i < sql.size() && sql[i] == '.') {
        ++i;
        while (i < sql.size() && IsDigit(sql[i])) ++i;
      }
      if (i < sql.size() && (sql[i] == 'e' || sql[i] == 'E')) {
        size_t k = i + 1;
        if (k < sql.size() && (sql[k] == '+' || sql[k] == '-')) ++k;
        if (k < sql.size() && IsDigit(sql[k])) {
          i = k;
          while (i < sql.size() && IsDigit(sql[i])) ++i;
        }
      }
      if (i < sql.size() && IsWordChar(static_cast<unsigned char>(sql[i]))) {
        Fail("malformed number near '" + std::string(sql.substr(start, i - start + 1)) + "'");
      }
      tokens.push_back({TokType::Number, std::string(sql.substr(start, i - start))});
    } else if (IsWordStart(uc)) {
      const size_t start = i;
      while (i < sql.size() && IsWordChar(static_cast<unsigned char>(sql[i]))) ++i;
      tokens.push_back({TokType::Word, std::string(sql.substr(start, i - start))});
    } else if (c == '@') {
      if (sql.substr(i, 2) != "@@") Fail("unexpected character '@'");
      size_t k = i + 2;
      while (k < sql.size() && IsWordChar(static_cast<unsigned char>(sql[k]))) ++k;
      if (ToUpper(sql.substr(i + 2, k - i - 2)) != "IDENTITY") {
        Fail("unknown variable '" + std::string(sql.substr(i, k - i)) + "'");
      }
      tokens.push_back({TokType::Identity, "@@IDENTITY"});
      i = k;
    } else {
      const std::string_view two = sql.substr(i, 2);
      if (two == "<>" || two == "<=" || two == ">=") {
        tokens.push_back({TokType::Punct, std::string(two)});
        i += 2;
        continue;
      }
      switch (c) {
        case '(':
        case ')':
        case ',':
        case '.':
        case ';':
        case '=':
        case '<':
        case '>':
        case '+':
        case '-':
        case '*':
        case '/':
        case '&':
          tokens.push_back({TokType::Punct, std::string(1, c)});
          ++i;
          break;
        default:
          // "?", ":", "$" would be parameters and "%", "|", "^" operators of another meaning.
          Fail(std::string("unexpected character '") + c + "'");
      }
    }
  }
  return tokens;
}

bool IsWord(const Token& t, std::string_view upper) {
  if (t.type != TokType::Word || t.text.size() != upper.size()) return false;
  for (size_t i = 0; i < upper.size(); ++i) {
    if (Upper(t.text[i]) != upper[i]) return false;
  }
  return true;
}

bool IsPunct(const Token& t, std::string_view p) {
  return t.type == TokType::Punct && t.text == p;
}

bool IsNameToken(const Token& t) {
  return t.type == TokType::Word || t.type == TokType::Name;
}

std::string QuoteName(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

std::string QuoteText(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out.push_back('\'');
    out.push_back(c);
  }
  out.push_back('\'');
  return out;
}

// ---------------------------------------------------------------------------------------------
// Literals

std::optional<TDateTime> ParseUsDate(std::string_view text) {
  // Jet's own order: m/d/yyyy, optionally followed by a time.
  const size_t blank = text.find(' ');
  const std::string_view date = text.substr(0, blank);
  int parts[3] = {0, 0, 0};
  int n = 0;
  size_t i = 0;
  while (n < 3) {
    size_t start = i;
    while (i < date.size() && IsDigit(date[i])) ++i;
    if (i == start || i - start > 4) return std::nullopt;
    parts[n++] = std::atoi(std::string(date.substr(start, i - start)).c_str());
    if (n < 3) {
      if (i >= date.size() || date[i] != '/') return std::nullopt;
      ++i;
    }
  }
  if (i != date.size()) return std::nullopt;
  int year = parts[2];
  if (date.size() - date.rfind('/') - 1 <= 2) year += year < 30 ? 2000 : 1900;
  auto day = TryEncodeDate(year, parts[0], parts[1]);
  if (!day) return std::nullopt;
  if (blank == std::string_view::npos) return *day;
  auto time = ParseDateTimeText(text.substr(blank + 1));
  if (!time || time->has_date || !time->has_time) return std::nullopt;
  return *day + time->value;
}

TDateTime ParseDateLiteral(std::string_view raw) {
  std::string_view text = raw;
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.find('/') != std::string_view::npos) {
    if (auto d = ParseUsDate(text)) return *d;
  } else if (auto d = ParseStoredDateTime(text)) {
    return *d;
  }
  throw DbError("Syntax error in date in query expression '#" + std::string(raw) + "#'.");
}

DbValue NumberValue(std::string_view raw, bool negative) {
  const bool integral = raw.find_first_of(".eE") == std::string_view::npos;
  std::string text = negative ? "-" : "";
  text.append(raw);
  if (integral) {
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno == 0 && end == text.c_str() + text.size()) return DbValue::Of(int64_t{v});
  }
  return DbValue::Of(std::strtod(text.c_str(), nullptr));
}

std::string InlineLiteral(const Token& t) {
  switch (t.type) {
    case TokType::Text:
      return QuoteText(t.text);
    case TokType::Number:
      return t.text;
    case TokType::Date: {
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.17g", ParseDateLiteral(t.text));
      return buf;
    }
    default:
      return t.text;
  }
}

// ---------------------------------------------------------------------------------------------
// Output

class Output {
 public:
  void Emit(std::string_view piece) {
    if (!sql_.empty() && !piece.empty() && !glue_) {
      const char last = sql_.back();
      const char first = piece.front();
      const bool tight_before = first == ')' || first == ',' || first == '.';
      if (!tight_before && last != '(' && last != '.') sql_.push_back(' ');
    }
    glue_ = false;
    sql_.append(piece);
  }
  // A function name: its "(" follows without a blank.
  void EmitCall(std::string_view name) {
    Emit(name);
    glue_ = true;
  }
  std::string Take() { return std::move(sql_); }

 private:
  std::string sql_;
  bool glue_ = false;
};

bool IsKeyword(const std::string& upper) {
  static const char* const kWords[] = {
      "SELECT",   "FROM",   "WHERE",  "AND",     "OR",    "NOT",    "IN",    "EXISTS", "VALUES",
      "ON",       "JOIN",   "AS",     "SET",     "BY",    "HAVING", "UNION", "ALL",    "ANY",
      "SOME",     "IS",     "LIKE",   "BETWEEN", "CASE",  "WHEN",   "THEN",  "ELSE",   "END",
      "DISTINCT", "INTO",   "INNER",  "LEFT",    "RIGHT", "OUTER",  "GROUP", "ORDER",  "ASC",
      "DESC",     "INSERT", "UPDATE", "DELETE",  "TOP",   "NULL",   "ESCAPE"};
  for (const char* w : kWords) {
    if (upper == w) return true;
  }
  return false;
}

// Words SQLite reserves that Jet statements use as plain column names.
bool IsReservedName(const std::string& upper) {
  static const char* const kWords[] = {"DEFAULT", "TO",      "LIMIT", "RETURNING",
                                       "NOTHING", "NOTNULL", "WINDOW"};
  for (const char* w : kWords) {
    if (upper == w) return true;
  }
  return false;
}

// The Jet functions with the same meaning in SQLite, some under another name.
std::optional<std::string_view> SqliteFunction(const std::string& upper) {
  static const std::unordered_map<std::string, std::string_view> kFunctions = {
      {"COUNT", "count"}, {"SUM", "sum"},        {"AVG", "avg"},   {"MIN", "min"},
      {"MAX", "max"},     {"IIF", "iif"},        {"ABS", "abs"},   {"UCASE", "upper"},
      {"LCASE", "lower"}, {"LEN", "length"},     {"TRIM", "trim"}, {"LTRIM", "ltrim"},
      {"RTRIM", "rtrim"}, {"REPLACE", "replace"}};
  auto it = kFunctions.find(upper);
  if (it == kFunctions.end()) return std::nullopt;
  return it->second;
}

// ---------------------------------------------------------------------------------------------
// Data statements

// Where a literal token is written, found before the walk.
struct Slot {
  std::string table;
  std::string column;
  int position = -1;
  bool negative = false;  // a "-" before a number belongs to the value
};

class DataStatement {
 public:
  DataStatement(const std::vector<Token>& tokens, StatementKind kind)
      : t_(tokens), kind_(kind), skip_(tokens.size(), false) {}

  Translation Translate() {
    switch (kind_) {
      case StatementKind::Select:
        FindTop();
        break;
      case StatementKind::Insert:
        FindInsertSlots();
        break;
      case StatementKind::Update:
        FindUpdateSlots();
        break;
      case StatementKind::Delete:
        SkipDeleteColumns();
        break;
      default:
        break;
    }
    Walk();
    if (!limit_.empty()) {
      out_.Emit("LIMIT");
      out_.Emit(limit_);
    }
    Translation result;
    result.kind = kind_;
    result.statements.push_back(out_.Take());
    result.parameters = std::move(params_);
    return result;
  }

 private:
  void FindTop() {
    for (size_t i = 0; i < t_.size(); ++i) {
      if (!IsWord(t_[i], "TOP")) continue;
      size_t select = i - 1;
      if (i > 0 && (IsWord(t_[i - 1], "DISTINCT") || IsWord(t_[i - 1], "ALL"))) select = i - 2;
      if (i == 0 || select >= t_.size() || !IsWord(t_[select], "SELECT")) continue;
      if (select != 0) Fail("TOP is only translated in the outermost SELECT");
      if (i + 1 >= t_.size() || t_[i + 1].type != TokType::Number ||
          t_[i + 1].text.find_first_of(".eE") != std::string::npos) {
        Fail("TOP needs a whole number");
      }
      if (i + 2 < t_.size() && IsWord(t_[i + 2], "PERCENT")) Fail("TOP ... PERCENT");
      for (const Token& tok : t_) {
        if (IsWord(tok, "UNION")) Fail("TOP together with UNION");
      }
      limit_ = t_[i + 1].text;
      skip_[i] = skip_[i + 1] = true;
    }
  }

  // A value that is one literal (a sign before a number allowed) gets the column as its slot.
  void MaybeSlot(size_t begin, size_t end, Slot slot) {
    if (end == begin + 1) {
      const Token& v = t_[begin];
      if (v.type == TokType::Text || v.type == TokType::Number || v.type == TokType::Date ||
          IsWord(v, "NULL")) {
        slots_[begin] = std::move(slot);
      }
    } else if (end == begin + 2 && (IsPunct(t_[begin], "-") || IsPunct(t_[begin], "+")) &&
               t_[begin + 1].type == TokType::Number) {
      slot.negative = IsPunct(t_[begin], "-");
      skip_[begin] = true;
      slots_[begin + 1] = std::move(slot);
    }
  }

  void FindInsertSlots() {
    // INSERT INTO t [(a, b, ...)] VALUES (x, y, ...)
    if (t_.size() < 4 || !IsWord(t_[1], "INTO") || !IsNameToken(t_[2])) return;
    const std::string table = t_[2].text;
    size_t i = 3;
    std::vector<std::string> columns;
    bool with_list = false;
    if (IsPunct(t_[i], "(")) {
      with_list = true;
      ++i;
      while (i < t_.size() && !IsPunct(t_[i], ")")) {
        if (IsNameToken(t_[i])) {
          columns.push_back(t_[i].text);
        } else if (!IsPunct(t_[i], ",")) {
          return;
        }
        ++i;
      }
      ++i;
    }
    if (i + 1 >= t_.size() || !IsWord(t_[i], "VALUES") || !IsPunct(t_[i + 1], "(")) return;
    i += 2;
    int position = 0;
    int depth = 0;
    size_t begin = i;
    for (; i < t_.size(); ++i) {
      if (IsPunct(t_[i], "(")) {
        ++depth;
      } else if (IsPunct(t_[i], ")") && depth > 0) {
        --depth;
      } else if (depth == 0 && (IsPunct(t_[i], ",") || IsPunct(t_[i], ")"))) {
        Slot slot;
        slot.table = table;
        if (!with_list) {
          slot.position = position;
        } else if (position < static_cast<int>(columns.size())) {
          slot.column = columns[static_cast<size_t>(position)];
        } else {
          return;  // more values than columns: the engine reports it
        }
        MaybeSlot(begin, i, std::move(slot));
        ++position;
        begin = i + 1;
        if (IsPunct(t_[i], ")")) return;
      }
    }
  }

  void FindUpdateSlots() {
    // UPDATE t SET a = x, b = y [WHERE ...]
    if (t_.size() < 4 || !IsNameToken(t_[1]) || !IsWord(t_[2], "SET")) return;
    const std::string table = t_[1].text;
    size_t i = 3;
    while (i < t_.size()) {
      // the column, perhaps qualified by its table
      if (!IsNameToken(t_[i])) return;
      std::string column = t_[i].text;
      ++i;
      while (i + 1 < t_.size() && IsPunct(t_[i], ".") && IsNameToken(t_[i + 1])) {
        column = t_[i + 1].text;
        i += 2;
      }
      if (i >= t_.size() || !IsPunct(t_[i], "=")) return;
      const size_t begin = ++i;
      int depth = 0;
      for (; i < t_.size(); ++i) {
        if (IsPunct(t_[i], "(")) ++depth;
        if (IsPunct(t_[i], ")")) --depth;
        if (depth == 0 && (IsPunct(t_[i], ",") || IsWord(t_[i], "WHERE"))) break;
      }
      Slot slot;
      slot.table = table;
      slot.column = column;
      MaybeSlot(begin, i, std::move(slot));
      if (i >= t_.size() || IsWord(t_[i], "WHERE")) return;
      ++i;  // the comma
    }
  }

  void SkipDeleteColumns() {
    // Jet's DELETE * FROM t and DELETE t.* FROM t name what SQLite leaves out.
    size_t from = 1;
    while (from < t_.size() && !IsWord(t_[from], "FROM")) ++from;
    if (from == 1 || from == t_.size()) return;
    const bool star = from == 2 && IsPunct(t_[1], "*");
    const bool table_star =
        from == 4 && IsNameToken(t_[1]) && IsPunct(t_[2], ".") && IsPunct(t_[3], "*");
    if (!star && !table_star) Fail("DELETE with a column list");
    for (size_t i = 1; i < from; ++i) skip_[i] = true;
  }

  void AddParameter(DbValue value, size_t token_index) {
    Parameter p;
    p.value = std::move(value);
    if (auto it = slots_.find(token_index); it != slots_.end()) {
      p.table = it->second.table;
      p.column = it->second.column;
      p.position = it->second.position;
    }
    params_.push_back(std::move(p));
    out_.Emit("?");
  }

  // Whether the literal at i is the whole pattern of a LIKE (not part of an expression and not
  // followed by an ESCAPE of its own).
  bool LikeOperandEndsAt(size_t i) const {
    if (i + 1 >= t_.size()) return true;
    const Token& next = t_[i + 1];
    if (next.type == TokType::Word) return !IsWord(next, "ESCAPE");
    return IsPunct(next, ")") || IsPunct(next, ",");
  }

  bool SlotNegative(size_t i) const {
    auto it = slots_.find(i);
    return it != slots_.end() && it->second.negative;
  }

  void Walk() {
    std::vector<const char*> closers;  // what each open parenthesis closes with
    size_t order_depth = SIZE_MAX;     // depth of an ORDER BY / GROUP BY list
    bool like_operand = false;
    for (size_t i = 0; i < t_.size(); ++i) {
      if (skip_[i]) continue;
      const Token& tok = t_[i];
      const bool after_dot = i > 0 && IsPunct(t_[i - 1], ".");
      const bool like_now = like_operand;
      like_operand = false;
      switch (tok.type) {
        case TokType::Word: {
          const std::string up = ToUpper(tok.text);
          const bool call = i + 1 < t_.size() && IsPunct(t_[i + 1], "(");
          if (after_dot) {
            out_.Emit(QuoteName(tok.text));
          } else if (up == "TRUE") {
            out_.Emit("(-1)");
          } else if (up == "FALSE") {
            out_.Emit("0");
          } else if (up == "NULL" && slots_.count(i)) {
            AddParameter(DbValue::Null(), i);
          } else if (call && !IsKeyword(up) && !(i > 0 && IsWord(t_[i - 1], "INTO"))) {
            if (up == "ISNULL") {
              // Jet's IsNull(x) is a function giving -1 or 0; SQLite's ISNULL is an operator.
              out_.Emit("(-((");
              closers.push_back(") IS NULL))");
              ++i;  // its "(" is already written
            } else if (auto fn = SqliteFunction(up)) {
              out_.EmitCall(*fn);
            } else {
              throw DbError("Undefined function '" + tok.text + "' in expression.");
            }
          } else if (up == "MOD") {
            out_.Emit("%");
          } else if (IsReservedName(up)) {
            out_.Emit(QuoteName(tok.text));
          } else {
            out_.Emit(tok.text);
            if (up == "LIKE") like_operand = true;
            if (up == "BY" && i > 0 && (IsWord(t_[i - 1], "ORDER") || IsWord(t_[i - 1], "GROUP"))) {
              order_depth = closers.size();
            } else if (closers.size() == order_depth &&
                       (up == "HAVING" || up == "UNION" || up == "WHERE" || up == "FROM")) {
              order_depth = SIZE_MAX;
            }
          }
          break;
        }
        case TokType::Name:
          out_.Emit(QuoteName(tok.text));
          break;
        case TokType::Text:
          AddParameter(DbValue::Of(tok.text), i);
          if (like_now && LikeOperandEndsAt(i)) out_.Emit("ESCAPE '\\'");
          break;
        case TokType::Number:
          if (closers.size() == order_depth) {
            out_.Emit(tok.text);  // a column position there, not a value
          } else {
            AddParameter(NumberValue(tok.text, SlotNegative(i)), i);
          }
          break;
        case TokType::Date:
          AddParameter(DbValue::Of(ParseDateLiteral(tok.text)), i);
          break;
        case TokType::Identity:
          out_.Emit("last_insert_rowid()");
          break;
        case TokType::Punct:
          if (tok.text == "(") {
            closers.push_back(")");
            out_.Emit("(");
          } else if (tok.text == ")") {
            if (closers.empty()) Fail("unbalanced parentheses");
            out_.Emit(closers.back());
            closers.pop_back();
            if (order_depth != SIZE_MAX && closers.size() < order_depth) order_depth = SIZE_MAX;
          } else if (tok.text == "&") {
            out_.Emit("||");
          } else if (tok.text == ";") {
            Fail("a ';' inside the statement");
          } else {
            out_.Emit(tok.text);
          }
          break;
      }
    }
    if (!closers.empty()) Fail("unbalanced parentheses");
  }

  const std::vector<Token>& t_;
  StatementKind kind_;
  std::vector<bool> skip_;
  std::unordered_map<size_t, Slot> slots_;
  std::vector<Parameter> params_;
  std::string limit_;
  Output out_;
};

// ---------------------------------------------------------------------------------------------
// Definition statements

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
  const std::string upper_type = ToUpper(type);
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

}  // namespace

Translation TranslateJetSql(std::string_view jet_sql) {
  std::vector<Token> tokens = Tokenize(jet_sql);
  if (!tokens.empty() && IsPunct(tokens.back(), ";")) tokens.pop_back();
  if (tokens.empty()) throw DbError("The statement is empty.");
  for (const Token& tok : tokens) {
    if (IsPunct(tok, ";")) throw DbError("Characters found after end of SQL statement.");
  }
  const Token& first = tokens.front();
  if (IsWord(first, "SELECT")) return DataStatement(tokens, StatementKind::Select).Translate();
  if (IsWord(first, "INSERT")) return DataStatement(tokens, StatementKind::Insert).Translate();
  if (IsWord(first, "UPDATE")) return DataStatement(tokens, StatementKind::Update).Translate();
  if (IsWord(first, "DELETE")) return DataStatement(tokens, StatementKind::Delete).Translate();
  if (IsWord(first, "CREATE")) return TranslateCreate(tokens);
  if (IsWord(first, "ALTER")) return TranslateAlter(tokens);
  if (IsWord(first, "DROP")) {
    Translation result;
    result.kind = StatementKind::Drop;
    result.statements.push_back(TranslateDefinitionRange(tokens, 0, tokens.size()));
    return result;
  }
  Fail("statements beginning with '" + first.text + "' are not supported");
}

}  // namespace parlevo::db
