// The pieces the Jet statement translation (platform/db_translate.h) is built from: the tokens of
// a statement, its literals as values, and the SQLite text written from them. Nothing inside a
// text literal is ever looked at again once it is a token.
//
// Thread safety: pure functions; an Output is used by one thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/datetime.h"
#include "platform/db_translate.h"
#include "platform/db_values.h"

namespace parlevo::db::jet {

enum class TokType : uint8_t { Word, Name, Text, Number, Date, Identity, Punct };

struct Token {
  TokType type;
  std::string text;  // Word: as written; Name/Text: unquoted; Number/Date: as written; Punct
};

// Throws DbError "Cannot translate the statement: <what>".
[[noreturn]] void Fail(const std::string& what);

// Throws DbError for a NUL character or an unterminated literal or name.
std::vector<Token> Tokenize(std::string_view sql);

// `upper` is written in capitals; the word may be written in any case.
bool IsWord(const Token& t, std::string_view upper);
bool IsPunct(const Token& t, std::string_view p);
bool IsNameToken(const Token& t);

// `text` between two `quote` characters, each one inside doubled: the quoting of names and
// literals that both dialects share.
std::string Quote(std::string_view text, char quote);
std::string QuoteName(std::string_view name);
std::string QuoteText(std::string_view text);

// A #date# literal: m/d/yyyy with an optional time, or a stored date-time. Throws DbError.
TDateTime ParseDateLiteral(std::string_view raw);
// A number as written, whole numbers as integers; `negative` for a "-" written before it.
DbValue NumberValue(std::string_view raw, bool negative);
// A literal written in place, for definitions, which take no parameters.
std::string InlineLiteral(const Token& t);

// The SQLite text, with a blank between pieces except where none belongs.
class Output {
 public:
  void Emit(std::string_view piece);
  // A function name: its "(" follows without a blank.
  void EmitCall(std::string_view name);
  std::string Take() { return std::move(sql_); }

 private:
  std::string sql_;
  bool glue_ = false;
};

}  // namespace parlevo::db::jet
