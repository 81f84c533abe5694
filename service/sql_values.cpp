#include "service/sql_values.h"

#include <cstdint>
#include <limits>

#include "platform/ascii_text.h"
#include "platform/jet_tokens.h"

namespace parlevo {

std::string SqlText(std::string_view value) {
  return db::jet::Quote(value, '"');
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
  value = TrimAscii(value);
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
  value = TrimAscii(value);
  if (EqualsIgnoreCaseAscii(value, "true") || value == "-1" || value == "1") return "true";
  if (EqualsIgnoreCaseAscii(value, "false") || value == "0") return "false";
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
