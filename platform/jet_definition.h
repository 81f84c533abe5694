// CREATE, ALTER and DROP in SQLite's terms (see platform/db_translate.h): literals are written in
// place, counters become auto-increment keys, flags are never NULL, text compares without case.
//
// Thread safety: pure functions.
#pragma once

#include <vector>

#include "platform/db_translate.h"
#include "platform/jet_tokens.h"

namespace parlevo::db::jet {

// `t` holds no ";". Each throws DbError naming what cannot be translated.
Translation TranslateCreate(const std::vector<Token>& t);
Translation TranslateAlter(const std::vector<Token>& t);
Translation TranslateDrop(const std::vector<Token>& t);

}  // namespace parlevo::db::jet
