#include "platform/ascii_text.h"

namespace parlevo {

std::string ToLowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

std::string ToUpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = UpperAscii(c);
  return out;
}

bool EqualsIgnoreCaseAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

bool StartsWithIgnoreCaseAscii(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         EqualsIgnoreCaseAscii(text.substr(0, prefix.size()), prefix);
}

std::string_view TrimLeftAscii(std::string_view text, std::string_view cut) {
  const size_t first = text.find_first_not_of(cut);
  return first == std::string_view::npos ? std::string_view() : text.substr(first);
}

std::string_view TrimRightAscii(std::string_view text, std::string_view cut) {
  const size_t last = text.find_last_not_of(cut);
  return last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
}

std::string_view TrimAscii(std::string_view text, std::string_view cut) {
  return TrimRightAscii(TrimLeftAscii(text, cut), cut);
}

}  // namespace parlevo
