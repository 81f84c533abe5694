#include "logging/lg_text.h"

#include "platform/ascii_text.h"
#include "platform/text_codec.h"

namespace parlevo::logging {
namespace {

// Decodes one code point at `pos`; invalid sequences yield the byte itself.
char32_t DecodeOne(std::string_view text, size_t& pos) {
  char32_t cp = 0;
  const size_t length = DecodeUtf8Sequence(text, pos, cp);
  if (length == 0) return static_cast<unsigned char>(text[pos++]);
  pos += length;
  return cp;
}

char32_t LowerOne(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 32;
  if (c < 0xC0) return c;
  if (c <= 0xDE && c != 0xD7) return c + 32;
  if (c >= 0x100 && c <= 0x137) return c | 1;
  if (c >= 0x139 && c <= 0x148) return (c & 1) ? c + 1 : c;
  if (c >= 0x14A && c <= 0x177) return c | 1;
  if (c == 0x178) return 0xFF;
  if (c >= 0x179 && c <= 0x17E) return (c & 1) ? c + 1 : c;
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  return c;
}

}  // namespace

size_t Utf16Length(std::string_view text) {
  size_t units = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    // Plain ASCII, the usual content of log texts, is one unit a byte.
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      ++units;
      ++pos;
      continue;
    }
    units += DecodeOne(text, pos) >= 0x10000 ? 2 : 1;
  }
  return units;
}

std::u16string ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp = DecodeOne(text, pos);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string FromUtf16(std::u16string_view text) {
  return Utf16ToUtf8(text);
}

std::string LowerCaseText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t start = pos;
    const char32_t cp = DecodeOne(text, pos);
    const char32_t lower = LowerOne(cp);
    if (lower == cp) {
      out.append(text.substr(start, pos - start));  // keeps invalid bytes as they were
    } else {
      AppendUtf8(out, lower);
    }
  }
  return out;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() == b.size() && a == b) return true;
  return LowerCaseText(a) == LowerCaseText(b);
}

std::string_view TrimText(std::string_view text) {
  return TrimAscii(text, kControlsAndBlank);
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '\r' || text[i] == '\n') {
      lines.emplace_back(text.substr(start, i - start));
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = ++i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

}  // namespace parlevo::logging
