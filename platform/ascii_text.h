// ASCII letter case and blank trimming, the one home for them: names, keywords and flags in
// requests, statements and configuration files compare letters A-Z without regard to case and
// leave every other byte (UTF-8 included) as it is.
//
// Thread safety: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace parlevo {

constexpr char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
constexpr char UpperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string ToLowerAscii(std::string_view text);
std::string ToUpperAscii(std::string_view text);
bool EqualsIgnoreCaseAscii(std::string_view a, std::string_view b);
bool StartsWithIgnoreCaseAscii(std::string_view text, std::string_view prefix);

// The characters each trim removes differ on purpose: a value in a file or a request keeps its
// line breaks where only blanks and tabs are cut, and loses them where all white space is.
constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kWhiteSpace = " \t\r\n\v\f";
// Every control character up to and including the blank (bytes 0 to 32): what the logging
// configuration and request texts treat as padding.
inline constexpr char kControlsAndBlankBytes[] =
    "\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15\x16"
    "\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f\x20";
constexpr std::string_view kControlsAndBlank(kControlsAndBlankBytes, 33);

// Cuts the leading and trailing characters of `cut` (blanks and tabs unless told otherwise).
std::string_view TrimAscii(std::string_view text, std::string_view cut = kBlanks);
std::string_view TrimLeftAscii(std::string_view text, std::string_view cut = kBlanks);
std::string_view TrimRightAscii(std::string_view text, std::string_view cut = kBlanks);

}  // namespace parlevo
