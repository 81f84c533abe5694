#include "notifications/mail_text.h"

namespace parlevo::mail {

namespace {

// The bytes 0x00 to 0x20: a mail value loses every control character at its
// ends, not only the white space.
constexpr char kControlBytes[] =
    "\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F"
    "\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1A\x1B\x1C\x1D\x1E\x1F\x20";
constexpr std::string_view kControlsAndBlank(kControlBytes, sizeof(kControlBytes) - 1);

}  // namespace

std::string SanitiseUtf8(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const size_t len = DecodeUtf8Sequence(text, i, cp);
    if (len == 0) {
      AppendUtf8(out, static_cast<unsigned char>(text[i]));
      ++i;
    } else {
      out.append(text.substr(i, len));
      i += len;
    }
  }
  return out;
}

std::string NeutraliseControls(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = ' ';
  }
  return out;
}

size_t FindIgnoreCase(std::string_view text, std::string_view what, size_t from) {
  if (what.empty()) return from <= text.size() ? from : std::string_view::npos;
  for (size_t i = from; i + what.size() <= text.size(); ++i) {
    if (EqualsIgnoreCaseAscii(text.substr(i, what.size()), what)) return i;
  }
  return std::string_view::npos;
}

std::string ReplaceAllIgnoreCase(std::string_view text, std::string_view what,
                                 std::string_view with) {
  if (what.empty()) return std::string(text);
  std::string out;
  size_t pos = 0;
  while (true) {
    const size_t hit = FindIgnoreCase(text, what, pos);
    if (hit == std::string_view::npos) break;
    out.append(text.substr(pos, hit - pos));
    out.append(with);
    pos = hit + what.size();
  }
  out.append(text.substr(pos));
  return out;
}

bool WildcardMatch(std::string_view mask, std::string_view name) {
  // Greedy matching with one backtrack point: the last "*" seen.
  size_t m = 0, n = 0, star = std::string_view::npos, star_n = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || LowerAscii(mask[m]) == LowerAscii(name[n]))) {
      ++m, ++n;
    } else if (m < mask.size() && mask[m] == '*') {
      star = m++;
      star_n = n;
    } else if (star != std::string_view::npos) {
      m = star + 1;
      n = ++star_n;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

std::string TrimControls(std::string_view text) {
  return std::string(TrimAscii(text, kControlsAndBlank));
}

std::string ToCrLf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += "\r\n";
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (text[i] == '\n') {
      out += "\r\n";
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string CopyText(std::string_view text, size_t position, size_t count) {
  if (position == 0 || position > text.size()) return {};
  return std::string(text.substr(position - 1, count));
}

std::string CalendarDateFromText(std::string_view date) {
  return CopyText(date, 7, 4) + CopyText(date, 4, 2) + CopyText(date, 1, 2);
}

std::string CalendarTimeFromText(std::string_view time) {
  return CopyText(time, 1, 2) + CopyText(time, 4, 2) + CopyText(time, 7, 2);
}

}  // namespace parlevo::mail
