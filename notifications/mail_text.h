// Text helpers of the e-mail module: character sets (the program works in UTF-8, mail bodies go
// out as ISO-8859-1), neutralising control characters before a value reaches a header, a settings
// line or an SMTP command, and matching that ignores letter case.
//
// Thread safety: pure functions; any thread may call them at any time.
#pragma once

#include <string>
#include <string_view>

#include "platform/ascii_text.h"
#include "platform/text_codec.h"

namespace parlevo::mail {

// Valid UTF-8 sequences stay; every byte that is not part of one is taken as an ISO-8859-1
// character (texts written on the old Windows installations) and re-encoded. The result is
// always valid UTF-8. A leading byte order mark is dropped.
std::string SanitiseUtf8(std::string_view text);

// UTF-8 to ISO-8859-1; characters beyond U+00FF become "?", as do bytes that are not UTF-8.
using parlevo::Utf8ToLatin1;

// CR, LF, TAB and every other ASCII control character become a blank, so that a value can never
// start a new header line, settings line or SMTP command.
std::string NeutraliseControls(std::string_view text);

// Position of the first occurrence of what in text, letter case ignored; npos when none.
size_t FindIgnoreCase(std::string_view text, std::string_view what, size_t from = 0);
// Every occurrence of what (letter case ignored) replaced by with.
std::string ReplaceAllIgnoreCase(std::string_view text, std::string_view what,
                                 std::string_view with);
// "*" matches any run of characters, "?" any one character; letter case ignored.
bool WildcardMatch(std::string_view mask, std::string_view name);
// Blanks and control characters (every byte up to 0x20) removed from both ends.
std::string TrimControls(std::string_view text);
// Line breaks (CR LF, lone CR, lone LF) made CR LF.
std::string ToCrLf(std::string_view text);

// count characters of text from position (counted from 1), as far as the text reaches: a short
// text gives what there is, never an error.
std::string CopyText(std::string_view text, size_t position, size_t count);
// The calendar forms of the request's day-first date "dd.mm.yyyy" (characters 7-10, 4-5, 1-2)
// and time "hh:nn:ss" (characters 1-2, 4-5, 7-8), cut by position: "9:30" gives "9:0".
std::string CalendarDateFromText(std::string_view date);
std::string CalendarTimeFromText(std::string_view time);

}  // namespace parlevo::mail
