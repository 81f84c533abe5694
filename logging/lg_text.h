// Text helpers of the logging library. Text is UTF-8 inside the program; where the log format and
// the containers count characters, they count UTF-16 code units, so that sizes, hash codes and
// capacities agree with what a viewer on the other end computes for the same text.
//
// Thread safety: all functions are pure and may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace parlevo::logging {

// Number of UTF-16 code units the text occupies. A byte that is not valid UTF-8 counts as one.
size_t Utf16Length(std::string_view text);

// Decodes UTF-8 into UTF-16 code units. Invalid bytes are taken as the Latin-1 character of the
// same value, so no input is lost.
std::u16string ToUtf16(std::string_view text);
std::string FromUtf16(std::u16string_view text);

// Lower-cases ASCII and the common European letters (Latin-1, Latin Extended-A, Greek,
// Cyrillic); other characters stay as they are. Used for every case-insensitive comparison of
// names and keys.
std::string LowerCaseText(std::string_view text);
bool SameText(std::string_view a, std::string_view b);

// Removes every character up to and including the blank (control characters too) at both ends.
std::string_view TrimText(std::string_view text);

// Splits at CR, LF or CR LF; an empty text gives no lines, a final line break no empty line.
std::vector<std::string> SplitLines(std::string_view text);

}  // namespace parlevo::logging
