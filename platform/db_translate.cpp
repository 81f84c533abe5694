#include "platform/db_translate.h"

#include "platform/jet_data_statement.h"
#include "platform/jet_definition.h"
#include "platform/jet_tokens.h"

namespace parlevo::db {

using jet::IsPunct;
using jet::IsWord;
using jet::Token;

Translation TranslateJetSql(std::string_view jet_sql) {
  std::vector<Token> tokens = jet::Tokenize(jet_sql);
  if (!tokens.empty() && IsPunct(tokens.back(), ";")) tokens.pop_back();
  if (tokens.empty()) throw DbError("The statement is empty.");
  for (const Token& tok : tokens) {
    if (IsPunct(tok, ";")) throw DbError("Characters found after end of SQL statement.");
  }
  const Token& first = tokens.front();
  for (auto [word, kind] :
       {std::pair{"SELECT", StatementKind::Select}, std::pair{"INSERT", StatementKind::Insert},
        std::pair{"UPDATE", StatementKind::Update}, std::pair{"DELETE", StatementKind::Delete}}) {
    if (IsWord(first, word)) return jet::TranslateDataStatement(tokens, kind);
  }
  if (IsWord(first, "CREATE")) return jet::TranslateCreate(tokens);
  if (IsWord(first, "ALTER")) return jet::TranslateAlter(tokens);
  if (IsWord(first, "DROP")) return jet::TranslateDrop(tokens);
  jet::Fail("statements beginning with '" + first.text + "' are not supported");
}

}  // namespace parlevo::db
