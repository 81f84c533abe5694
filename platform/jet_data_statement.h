// SELECT, INSERT, UPDATE and DELETE in SQLite's terms (see platform/db_translate.h): literals
// become bound parameters, and a literal written into a column remembers that column.
//
// Thread safety: pure function.
#pragma once

#include <vector>

#include "platform/db_translate.h"
#include "platform/jet_tokens.h"

namespace parlevo::db::jet {

// `tokens` hold no ";". Throws DbError naming what cannot be translated.
Translation TranslateDataStatement(const std::vector<Token>& tokens, StatementKind kind);

}  // namespace parlevo::db::jet
