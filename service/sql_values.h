// Values taken from requests, made safe for the Jet statements they are placed in. A text becomes
// a literal that can neither end early nor change the statement and is stored exactly as sent; an
// ID or number slot takes only a whole number and a flag slot only a flag. A value that fails
// makes its statement fail with the message of SqlIntError / SqlFlagError.
//
//   auto id = SqlInt(request_id);
//   if (!id) return Fail(SqlIntError("KonferenzID", request_id));
//   sql = "UPDATE [rooms] SET name=" + SqlText(name) + " WHERE ID=" + *id;
//
// Thread safety: pure functions, callable from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace parlevo {

// A text literal: the value between double quotes, a double quote inside doubled.
std::string SqlText(std::string_view value);

// The operand of a LIKE that matches exactly the value and nothing else: the database layer's
// wildcards "%" and "_" and its escape character "\" are escaped; Jet's "*", "?", "#" and "["
// have no special meaning there.
std::string SqlLikeText(std::string_view value);

// The value as a decimal whole number (blanks around it allowed), or nullopt.
std::optional<std::string> SqlInt(std::string_view value);

// The value as a flag: true/false/-1/0/1 in any case become true or false; anything else nullopt.
std::optional<std::string> SqlFlag(std::string_view value);

// The messages of a value that failed its slot.
std::string SqlIntError(std::string_view slot, std::string_view value);
std::string SqlFlagError(std::string_view slot, std::string_view value);

}  // namespace parlevo
