// Conversion between the program's UTF-8 text and the encodings that peers and files still use:
// Windows-1252 (the front end's Base64 payloads), ISO-8859-1 (mail headers and bodies) and UTF-16
// (text files with a byte-order mark, as Windows tools write them).
//
// Thread safety: every function is pure and may be called from any thread.
#pragma once

#include <cstddef>
#include <optional>
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

// UTF-8 as code points; malformed bytes become U+FFFD, one per byte.
std::u32string Utf8ToUtf32(std::string_view utf8);
// A surrogate or a value beyond U+10FFFF is appended as U+FFFD.
void AppendUtf8(std::string& out, char32_t code_point);

// The length (1 to 4) of the well-formed UTF-8 sequence that starts at text[pos], with its code
// point in `code_point`; 0 when the bytes there do not form one (a stray or truncated byte, an
// overlong form, an encoded surrogate, a value beyond U+10FFFF). Requires pos < text.size().
size_t DecodeUtf8Sequence(std::string_view text, size_t pos, char32_t& code_point);
bool IsValidUtf8(std::string_view text);

// UTF-16 code units from bytes in the given order; an odd last byte is ignored.
std::u16string Utf16Units(std::string_view bytes, bool big_endian);
// A surrogate pair becomes one character, a surrogate without its partner U+FFFD.
std::string Utf16ToUtf8(std::u16string_view units);
// The index of the first surrogate without its partner, for readers that must refuse such text.
std::optional<size_t> FindLoneSurrogate(std::u16string_view units);

// The text of a file as UTF-8. A UTF-8 byte-order mark is dropped. A UTF-16 one (FF FE
// little-endian, FE FF big-endian) counts when at least one byte follows it: it is dropped and the
// rest read as UTF-16. Without a mark, bytes that are valid UTF-8 stay as they are and anything
// else is read as Windows-1252, the code page such files were written in on the original platform.
std::string DecodeTextFile(std::string_view bytes);

}  // namespace parlevo
