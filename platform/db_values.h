// Values as the database layer stores and reads them: the kinds of columns that the declared
// types name, the conversion of a written literal to its column's kind (dates become day numbers,
// flags become -1 or 0) and the typed reads of a stored value (text, integer, flag, date-time).
//
// Thread safety: every function is pure and may be called from any thread. The text forms of
// date-times follow the process-wide formats (platform/datetime.h).
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/datetime.h"

namespace parlevo::db {

// Every failure of the database layer: the engine's message, or ours where we refuse a statement.
class DbError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The message of a value that does not fit the column it is written into.
inline constexpr std::string_view kTypeMismatch = "Data type mismatch in criteria expression.";

// What a column holds, derived from its declared type.
enum class FieldKind : uint8_t { Unknown, Text, Integer, Real, Boolean, DateTime };

// "BIT" -> Boolean, "TEXT(20)" -> Text, "LONG INTEGER" -> Integer, "DATETIME" -> DateTime ...
// An empty or unknown declaration gives Unknown: the stored value decides.
FieldKind ClassifyDeclaredType(std::string_view declared_type);

// One stored value.
struct DbValue {
  enum class Type : uint8_t { Null, Integer, Real, Text };
  Type type = Type::Null;
  int64_t integer = 0;
  double real = 0;
  std::string text;

  static DbValue Null() { return {}; }
  static DbValue Of(int64_t v) { return {Type::Integer, v, 0, {}}; }
  static DbValue Of(double v) { return {Type::Real, 0, v, {}}; }
  static DbValue Of(std::string v) { return {Type::Text, 0, 0, std::move(v)}; }
  bool IsNull() const { return type == Type::Null; }
  bool operator==(const DbValue&) const = default;
};

// Converts a literal written into a column of the given kind, as the file format requires:
// dates become day numbers (texts "dd.mm.yyyy[ hh:nn[:ss[.zzz]]]", ISO texts with an optional
// zone converted to local time, plain numbers), flags become -1 or 0. As in the file format's own
// engine, an empty or blank text is no value for a date, integer or number column: a statement
// that means to store none writes NULL. Throws DbError(kTypeMismatch) for anything else.
DbValue CoerceForColumn(const DbValue& literal, FieldKind kind);

// Typed reads of a stored value. Texts of flags are "Wahr"/"Falsch", of date-times the
// process-wide default date-time text; NULL reads as "", 0, false and 0. A value that cannot be
// read as asked throws DbError.
// A stored date outside the years 1 to 9999 reads as no date, as a NULL does (IsNoValue true).
bool IsNoValue(const DbValue& value, FieldKind kind);
std::string ValueAsString(const DbValue& value, FieldKind kind);
int64_t ValueAsInteger(const DbValue& value, FieldKind kind);
bool ValueAsBoolean(const DbValue& value, FieldKind kind);
TDateTime ValueAsDateTime(const DbValue& value, FieldKind kind);

// A date-time text as written into the database or found there; a zone is converted to local
// time. nullopt when the text is no date-time.
std::optional<TDateTime> ParseStoredDateTime(std::string_view text);

}  // namespace parlevo::db
