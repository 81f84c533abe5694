#include "service/sql_values.h"

#include <cstdint>
#include <limits>

namespace parlevo {
namespace {

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (x != b[i]) return false;
  }
  return true;
}

}  // namespace

std::string SqlText(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 2);
  out.push_back('"');
  for (char c : value) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

std::string SqlLikeText(std::string_view value) {
  std::string escaped;
  escaped.reserve(value.size());
  for (char c : value) {
    if (c == '%' || c == '_' || c == '\\') escaped.push_back('\\');
    escaped.push_back(c);
  }
  return SqlText(escaped);
}

std::optional<std::string> SqlInt(std::string_view value) {
  value = TrimBlanks(value);
  bool negative = false;
  if (!value.empty() && (value.front() == '-' || value.front() == '+')) {
    negative = value.front() == '-';
    value.remove_prefix(1);
  }
  if (value.empty()) return std::nullopt;
  uint64_t n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    if (n > (std::numeric_limits<uint64_t>::max() - 9) / 10) return std::nullopt;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  if (n > limit) return std::nullopt;
  if (n == 0) return "0";
  std::string text = negative ? "-" : "";
  return text.append(std::to_string(n));
}

std::optional<std::string> SqlFlag(std::string_view value) {
  value = TrimBlanks(value);
  if (EqualsNoCase(value, "true") || value == "-1" || value == "1") return "true";
  if (EqualsNoCase(value, "false") || value == "0") return "false";
  return std::nullopt;
}

std::string SqlIntError(std::string_view slot, std::string_view value) {
  return "Invalid value for " + std::string(slot) + ": \"" + std::string(value) +
         "\" is not a whole number.";
}

std::string SqlFlagError(std::string_view slot, std::string_view value) {
  return "Invalid value for " + std::string(slot) + ": \"" + std::string(value) +
         "\" is not a flag (true or false).";
}

}  // namespace parlevo
