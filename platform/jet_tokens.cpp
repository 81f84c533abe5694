#include "platform/jet_tokens.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "platform/ascii_text.h"

namespace parlevo::db::jet {
namespace {

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

}  // namespace

void Fail(const std::string& what) {
  throw DbError("Cannot translate the statement: " + what);
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
      if (ToUpperAscii(sql.substr(i + 2, k - i - 2)) != "IDENTITY") {
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
    if (UpperAscii(t.text[i]) != upper[i]) return false;
  }
  return true;
}

bool IsPunct(const Token& t, std::string_view p) {
  return t.type == TokType::Punct && t.text == p;
}

bool IsNameToken(const Token& t) {
  return t.type == TokType::Word || t.type == TokType::Name;
}

std::string Quote(std::string_view text, char quote) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back(quote);
  for (char c : text) {
    if (c == quote) out.push_back(quote);
    out.push_back(c);
  }
  out.push_back(quote);
  return out;
}

std::string QuoteName(std::string_view name) {
  return Quote(name, '"');
}

std::string QuoteText(std::string_view text) {
  return Quote(text, '\'');
}

// ---------------------------------------------------------------------------------------------
// Literals

TDateTime ParseDateLiteral(std::string_view raw) {
  const std::string_view text = TrimAscii(raw, " ");
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

void Output::Emit(std::string_view piece) {
  if (!sql_.empty() && !piece.empty() && !glue_) {
    const char last = sql_.back();
    const char first = piece.front();
    const bool tight_before = first == ')' || first == ',' || first == '.';
    if (!tight_before && last != '(' && last != '.') sql_.push_back(' ');
  }
  glue_ = false;
  sql_.append(piece);
}

void Output::EmitCall(std::string_view name) {
  Emit(name);
  glue_ = true;
}

}  // namespace parlevo::db::jet
