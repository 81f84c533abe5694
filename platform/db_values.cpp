#include "platform/db_values.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "platform/ascii_text.h"

namespace parlevo::db {
namespace {

bool ContainsNoCase(std::string_view haystack, std::string_view needle) {
  if (needle.size() > haystack.size()) return false;
  for (size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
    size_t k = 0;
    while (k < needle.size() && UpperAscii(haystack[i + k]) == needle[k]) ++k;
    if (k == needle.size()) return true;
  }
  return false;
}

std::optional<int64_t> ParseInteger(std::string_view text) {
  text = TrimAscii(text);
  if (text.empty()) return std::nullopt;
  size_t i = 0;
  bool negative = false;
  if (text[0] == '+' || text[0] == '-') {
    negative = text[0] == '-';
    i = 1;
  }
  if (i == text.size()) return std::nullopt;
  uint64_t v = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    if (v > (std::numeric_limits<uint64_t>::max() - 9) / 10) return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  if (v > limit) return std::nullopt;
  return negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
}

std::optional<double> ParseReal(std::string_view text) {
  text = TrimAscii(text);
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E')) {
      return std::nullopt;
    }
  }
  const std::string buf(text);
  char* end = nullptr;
  const double v = std::strtod(buf.c_str(), &end);
  if (end != buf.c_str() + buf.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

// Flag words people and peers write; nullopt when the text is none of them.
std::optional<bool> ParseFlagText(std::string_view text) {
  text = TrimAscii(text);
  for (std::string_view w : {"true", "wahr", "yes", "ja", "on"}) {
    if (EqualsIgnoreCaseAscii(text, w)) return true;
  }
  for (std::string_view w : {"false", "falsch", "no", "nein", "off"}) {
    if (EqualsIgnoreCaseAscii(text, w)) return false;
  }
  if (auto n = ParseReal(text)) return *n != 0;
  return std::nullopt;
}

std::string RealToText(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

int64_t RoundToInteger(double v) {
  if (!(v > -9.2e18 && v < 9.2e18)) throw DbError(std::string(kTypeMismatch));
  return static_cast<int64_t>(std::nearbyint(v));
}

[[noreturn]] void ThrowNotA(const DbValue& value, std::string_view what) {
  std::string shown = value.type == DbValue::Type::Text   ? value.text
                      : value.type == DbValue::Type::Real ? RealToText(value.real)
                                                          : std::to_string(value.integer);
  throw DbError("'" + shown + "' is not a valid " + std::string(what));
}

}  // namespace

FieldKind ClassifyDeclaredType(std::string_view t) {
  if (t.empty()) return FieldKind::Unknown;
  if (ContainsNoCase(t, "BIT") || ContainsNoCase(t, "BOOL") || ContainsNoCase(t, "YESNO") ||
      ContainsNoCase(t, "LOGICAL")) {
    return FieldKind::Boolean;
  }
  if (ContainsNoCase(t, "TEXT") || ContainsNoCase(t, "CHAR") || ContainsNoCase(t, "MEMO") ||
      ContainsNoCase(t, "CLOB") || ContainsNoCase(t, "STRING")) {
    return FieldKind::Text;
  }
  if (ContainsNoCase(t, "DATE") || ContainsNoCase(t, "TIME")) return FieldKind::DateTime;
  if (ContainsNoCase(t, "INT") || ContainsNoCase(t, "COUNTER") || ContainsNoCase(t, "LONG") ||
      ContainsNoCase(t, "SHORT") || ContainsNoCase(t, "BYTE")) {
    return FieldKind::Integer;
  }
  if (ContainsNoCase(t, "REAL") || ContainsNoCase(t, "FLOA") || ContainsNoCase(t, "DOUB") ||
      ContainsNoCase(t, "SINGLE") || ContainsNoCase(t, "CURRENCY") ||
      ContainsNoCase(t, "NUMERIC") || ContainsNoCase(t, "DECIMAL")) {
    return FieldKind::Real;
  }
  return FieldKind::Unknown;
}

std::optional<TDateTime> ParseStoredDateTime(std::string_view text) {
  auto parsed = ParseDateTimeText(text);
  if (!parsed) return std::nullopt;
  // A zone moves the time to local time, which near the first or last day of the calendar may
  // leave it: no date then, rather than another day.
  if (parsed->offset) return ZonedToLocal(parsed->value, *parsed->offset);
  return parsed->value;
}

DbValue CoerceForColumn(const DbValue& literal, FieldKind kind) {
  using T = DbValue::Type;
  const auto mismatch = [] { return DbError(std::string(kTypeMismatch)); };
  switch (kind) {
    case FieldKind::Unknown:
    case FieldKind::Text:
      return literal;
    case FieldKind::Boolean:
      switch (literal.type) {
        case T::Null:  // a Yes/No column is never empty
          return DbValue::Of(int64_t{0});
        case T::Integer:
          return DbValue::Of(int64_t{literal.integer != 0 ? -1 : 0});
        case T::Real:
          return DbValue::Of(int64_t{literal.real != 0 ? -1 : 0});
        case T::Text:
          if (auto b = ParseFlagText(literal.text)) return DbValue::Of(int64_t{*b ? -1 : 0});
          throw mismatch();
      }
      break;
    case FieldKind::Integer:
      switch (literal.type) {
        case T::Null:
        case T::Integer:
          return literal;
        case T::Real:
          return DbValue::Of(RoundToInteger(literal.real));
        case T::Text:
          if (auto i = ParseInteger(literal.text)) return DbValue::Of(*i);
          if (auto r = ParseReal(literal.text)) return DbValue::Of(RoundToInteger(*r));
          throw mismatch();
      }
      break;
    case FieldKind::Real:
    case FieldKind::DateTime:
      // Both are stored as REAL; only the texts they take differ.
      switch (literal.type) {
        case T::Null:
        case T::Real:
          return literal;
        case T::Integer:
          return DbValue::Of(static_cast<double>(literal.integer));
        case T::Text: {
          const std::optional<double> number = kind == FieldKind::DateTime
                                                   ? ParseStoredDateTime(literal.text)
                                                   : ParseReal(literal.text);
          if (number) return DbValue::Of(*number);
          throw mismatch();
        }
      }
      break;
  }
  return literal;
}

bool IsNoValue(const DbValue& value, FieldKind kind) {
  using T = DbValue::Type;
  if (value.type == T::Null) return true;
  if (kind != FieldKind::DateTime) return false;
  // Outside writers may store any number in a date column; beyond the calendar's years it is no
  // date, and computing one from it would overflow.
  if (value.type == T::Real) return !IsDayNumberInRange(value.real);
  if (value.type == T::Integer) return !IsDayNumberInRange(static_cast<double>(value.integer));
  return false;
}

std::string ValueAsString(const DbValue& value, FieldKind kind) {
  using T = DbValue::Type;
  if (IsNoValue(value, kind)) return {};
  switch (kind) {
    case FieldKind::Boolean:
      return ValueAsBoolean(value, kind) ? "Wahr" : "Falsch";
    case FieldKind::DateTime:
      if (value.type == T::Text) {
        // Rows written by the PBX side may hold ISO texts; anything else is shown as stored.
        if (auto d = ParseStoredDateTime(value.text)) return DateTimeToStr(*d);
        return value.text;
      }
      return DateTimeToStr(value.type == T::Real ? value.real : static_cast<double>(value.integer));
    default:
      break;
  }
  switch (value.type) {
    case T::Integer:
      return std::to_string(value.integer);
    case T::Real:
      if (kind == FieldKind::Integer) return std::to_string(RoundToInteger(value.real));
      return RealToText(value.real);
    case T::Text:
      return value.text;
    case T::Null:
      break;
  }
  return {};
}

int64_t ValueAsInteger(const DbValue& value, FieldKind kind) {
  using T = DbValue::Type;
  if (IsNoValue(value, kind)) return 0;
  switch (value.type) {
    case T::Null:
      return 0;
    case T::Integer:
      return value.integer;
    case T::Real:
      return kind == FieldKind::DateTime ? static_cast<int64_t>(std::trunc(value.real))
                                         : RoundToInteger(value.real);
    case T::Text:
      if (kind == FieldKind::Boolean) return ValueAsBoolean(value, kind) ? -1 : 0;
      if (auto i = ParseInteger(value.text)) return *i;
      ThrowNotA(value, "integer value");
  }
  return 0;
}

bool ValueAsBoolean(const DbValue& value, FieldKind kind) {
  using T = DbValue::Type;
  switch (value.type) {
    case T::Null:
      return false;
    case T::Integer:
      return value.integer != 0;
    case T::Real:
      return value.real != 0;
    case T::Text:
      if (auto b = ParseFlagText(value.text)) return *b;
      ThrowNotA(value, "Boolean value");
  }
  return false;
}

TDateTime ValueAsDateTime(const DbValue& value, FieldKind kind) {
  using T = DbValue::Type;
  // Read as a date whatever the column's kind (a computed column has none): the range holds too.
  const auto in_range = [](double day) { return IsDayNumberInRange(day) ? day : 0.0; };
  switch (value.type) {
    case T::Null:
      return 0;
    case T::Integer:
      return in_range(static_cast<double>(value.integer));
    case T::Real:
      return in_range(value.real);
    case T::Text:
      if (auto d = ParseStoredDateTime(value.text)) return *d;
      ThrowNotA(value, "date and time");
  }
  return 0;
}

}  // namespace parlevo::db
