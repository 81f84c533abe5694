// Recipient lists and addresses of the e-mail module: cutting a list into addresses, the syntax
// check an address must pass before its mail servers are looked up, and file names of attachments.
//
// Thread safety: pure functions (ExtractFileNameExt writes to the main log session).
#pragma once

#include <string>
#include <string_view>

namespace parlevo {

// Cuts the next address off list (at the first "," when there is one, else at the first ";"),
// trimmed of blanks and control characters; list keeps the trimmed rest.
std::string ExtractNextRecipient(std::string& list);
// Every character one of A-Z, a-z, 0-9, "-", "." and "_"; an empty text passes.
bool IsValidMailChars(std::string_view text);
// The syntax check of a recipient address.
bool IsValidEmail(std::string_view address);
// The characters after the last "/" when there is one, else the file name part of the path.
std::string ExtractFileNameExt(std::string_view file_name);

}  // namespace parlevo
