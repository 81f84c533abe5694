#include "platform/jet_data_statement.h"

#include <cstdint>
#include <optional>
#include <unordered_map>

#include "platform/ascii_text.h"

namespace parlevo::db::jet {
namespace {

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
    bool like_operand = false;
    for (size_t i = 0; i < t_.size(); ++i) {
      if (skip_[i]) continue;
      const Token& tok = t_[i];
      const bool like_now = like_operand;
      like_operand = false;
      switch (tok.type) {
        case TokType::Word:
          like_operand = WalkWord(i);
          break;
        case TokType::Name:
          out_.Emit(QuoteName(tok.text));
          break;
        case TokType::Text:
          AddParameter(DbValue::Of(tok.text), i);
          if (like_now && LikeOperandEndsAt(i)) out_.Emit("ESCAPE '\\'");
          break;
        case TokType::Number:
          if (closers_.size() == order_depth_) {
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
          WalkPunct(tok);
          break;
      }
    }
    if (!closers_.empty()) Fail("unbalanced parentheses");
  }

  // Writes the word at i (and for IsNull the "(" after it); answers whether a LIKE pattern
  // follows.
  bool WalkWord(size_t& i) {
    const Token& tok = t_[i];
    const std::string up = ToUpperAscii(tok.text);
    const bool call = i + 1 < t_.size() && IsPunct(t_[i + 1], "(");
    if (i > 0 && IsPunct(t_[i - 1], ".")) {
      out_.Emit(QuoteName(tok.text));
    } else if (up == "TRUE") {
      out_.Emit("(-1)");
    } else if (up == "FALSE") {
      out_.Emit("0");
    } else if (up == "NULL" && slots_.count(i)) {
      AddParameter(DbValue::Null(), i);
    } else if (call && !IsKeyword(up) && !(i > 0 && IsWord(t_[i - 1], "INTO"))) {
      WalkCall(tok, up, i);
    } else if (up == "MOD") {
      out_.Emit("%");
    } else if (IsReservedName(up)) {
      out_.Emit(QuoteName(tok.text));
    } else {
      out_.Emit(tok.text);
      if (up == "BY" && i > 0 && (IsWord(t_[i - 1], "ORDER") || IsWord(t_[i - 1], "GROUP"))) {
        order_depth_ = closers_.size();
      } else if (closers_.size() == order_depth_ &&
                 (up == "HAVING" || up == "UNION" || up == "WHERE" || up == "FROM")) {
        order_depth_ = SIZE_MAX;
      }
      return up == "LIKE";
    }
    return false;
  }

  void WalkCall(const Token& tok, const std::string& up, size_t& i) {
    if (up == "ISNULL") {
      // Jet's IsNull(x) is a function giving -1 or 0; SQLite's ISNULL is an operator.
      out_.Emit("(-((");
      closers_.push_back(") IS NULL))");
      ++i;  // its "(" is already written
    } else if (auto fn = SqliteFunction(up)) {
      out_.EmitCall(*fn);
    } else {
      throw DbError("Undefined function '" + tok.text + "' in expression.");
    }
  }

  void WalkPunct(const Token& tok) {
    if (tok.text == "(") {
      closers_.push_back(")");
      out_.Emit("(");
    } else if (tok.text == ")") {
      if (closers_.empty()) Fail("unbalanced parentheses");
      out_.Emit(closers_.back());
      closers_.pop_back();
      if (order_depth_ != SIZE_MAX && closers_.size() < order_depth_) order_depth_ = SIZE_MAX;
    } else if (tok.text == "&") {
      out_.Emit("||");
    } else if (tok.text == ";") {
      Fail("a ';' inside the statement");
    } else {
      out_.Emit(tok.text);
    }
  }

  const std::vector<Token>& t_;
  StatementKind kind_;
  std::vector<bool> skip_;
  std::unordered_map<size_t, Slot> slots_;
  std::vector<Parameter> params_;
  std::string limit_;
  Output out_;
  std::vector<const char*> closers_;  // what each open parenthesis closes with
  size_t order_depth_ = SIZE_MAX;     // depth of an ORDER BY / GROUP BY list
};

}  // namespace

Translation TranslateDataStatement(const std::vector<Token>& tokens, StatementKind kind) {
  return DataStatement(tokens, kind).Translate();
}

}  // namespace parlevo::db::jet
