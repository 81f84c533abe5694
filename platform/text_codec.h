// Conversion between the program's UTF-8 text and the 8-bit code pages that peers still speak:
// Windows-1252 (the front end's Base64 payloads) and ISO-8859-1 (mail headers and bodies).
//
// Thread safety: every function is pure and may be called from any thread.
#pragma once

#include <string>
#include <string_view>

namespace parlevo {

// Characters that the target code page cannot represent become "?". Malformed UTF-8 counts as
// such a character (one "?" per byte that does not belong to a well-formed sequence).
std::string Utf8ToWindows1252(std::string_view utf8);
std::string Utf8ToLatin1(std::string_view utf8);

// Every byte maps to exactly one character. The five bytes that Windows-1252 leaves undefined
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the control characters of the same number, so that any
// byte string survives the trip to UTF-8 and back.
std::string Windows1252ToUtf8(std::string_view bytes);
std::string Latin1ToUtf8(std::string_view bytes);

// UTF-8 as code points; malformed bytes become U+FFFD, one per byte.
std::u32string Utf8ToUtf32(std::string_view utf8);
void AppendUtf8(std::string& out, char32_t code_point);

}  // namespace parlevo
