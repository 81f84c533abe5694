#include "platform/datetime_parse.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <string>

#include "platform/ascii_text.h"

namespace parlevo {
namespace {

// Small cursor over a text for the parser.
struct Cursor {
  std::string_view s;
  size_t pos = 0;
  bool AtEnd() const { return pos >= s.size(); }
  char Peek() const { return AtEnd() ? '\0' : s[pos]; }
  bool Eat(char ch) {
    if (Peek() != ch) return false;
    ++pos;
    return true;
  }
  // Reads 1..max_digits decimal digits.
  std::optional<int> Number(size_t max_digits) {
    size_t start = pos;
    int v = 0;
    while (!AtEnd() && pos - start < max_digits &&
           std::isdigit(static_cast<unsigned char>(Peek()))) {
      v = v * 10 + (Peek() - '0');
      ++pos;
    }
    if (pos == start) return std::nullopt;
    return v;
  }
};

// The milliseconds after "." or ","; digits beyond the third are read and dropped.
bool ParseFraction(Cursor& c, int& ms) {
  size_t start = c.pos;
  int digits = 0;
  long frac = 0;
  while (!c.AtEnd() && std::isdigit(static_cast<unsigned char>(c.Peek()))) {
    if (digits < 3) {
      frac = frac * 10 + (c.Peek() - '0');
      ++digits;
    }
    ++c.pos;
  }
  if (c.pos == start) return false;
  while (digits < 3) {
    frac *= 10;
    ++digits;
  }
  ms = static_cast<int>(frac);
  return true;
}

// "hh:nn[:ss[.fff]]"; fills hour..millisecond.
bool ParseTime(Cursor& c, CivilDateTime& out) {
  auto h = c.Number(2);
  if (!h || !c.Eat(':')) return false;
  auto n = c.Number(2);
  if (!n) return false;
  int s = 0;
  int ms = 0;
  if (c.Eat(':')) {
    auto sv = c.Number(2);
    if (!sv) return false;
    s = *sv;
    if ((c.Eat('.') || c.Eat(',')) && !ParseFraction(c, ms)) return false;
  }
  if (!IsValidTime(*h, *n, s, ms)) return false;
  out.hour = *h;
  out.minute = *n;
  out.second = s;
  out.millisecond = ms;
  return true;
}

// A time alone: "hh:nn[:ss[.zzz]]". Empty when the text does not start like one.
std::optional<std::optional<ParsedDateTime>> ParseTimeAlone(std::string_view text) {
  Cursor probe{text};
  if (!probe.Number(2) || probe.Peek() != ':') return std::nullopt;
  Cursor t{text};
  CivilDateTime c;
  if (!ParseTime(t, c) || !t.AtEnd()) return std::optional<ParsedDateTime>{};
  ParsedDateTime result;
  result.value = EncodeTime(c.hour, c.minute, c.second, c.millisecond);
  result.has_time = true;
  return result;
}

// An optional "Z" or "+hh[:]mm"/"-hh[:]mm" after a time; false for a malformed one.
bool ParseZone(Cursor& cur, std::optional<int>& offset) {
  if (cur.Eat('Z') || cur.Eat('z')) {
    offset = 0;
    return true;
  }
  if (cur.Peek() != '+' && cur.Peek() != '-') return true;
  const int sign = cur.Peek() == '-' ? -1 : 1;
  ++cur.pos;
  auto oh = cur.Number(2);
  if (!oh) return false;
  int om = 0;
  if (cur.Eat(':')) {
    auto omv = cur.Number(2);
    if (!omv) return false;
    om = *omv;
  } else if (auto omv = cur.Number(2)) {
    om = *omv;
  }
  if (*oh > 23 || om > 59) return false;
  offset = sign * (*oh * 60 + om);
  return true;
}

// "yyyy-mm-dd" after its year, with an optional time after a blank or "T" and a zone.
std::optional<ParsedDateTime> ParseIsoRest(Cursor& cur, int year) {
  ParsedDateTime result;
  CivilDateTime c;
  cur.Eat('-');
  auto m = cur.Number(2);
  if (!m || !cur.Eat('-')) return std::nullopt;
  auto d = cur.Number(2);
  if (!d || !IsValidDate(year, *m, *d)) return std::nullopt;
  c.year = year;
  c.month = *m;
  c.day = *d;
  result.has_date = true;
  if (!cur.AtEnd()) {
    if (!(cur.Eat(' ') || cur.Eat('T') || cur.Eat('t'))) return std::nullopt;
    while (cur.Eat(' ')) {
    }
    if (!ParseTime(cur, c)) return std::nullopt;
    result.has_time = true;
    if (!ParseZone(cur, result.offset)) return std::nullopt;
  }
  if (!cur.AtEnd()) return std::nullopt;
  result.value = EncodeDateTime(c);
  return result;
}

// "dd.mm.yyyy" after its day, with an optional time after blanks. Empty when the year is not
// four digits: the text may still be a plain number.
std::optional<std::optional<ParsedDateTime>> ParseDottedRest(Cursor& cur, int day) {
  const std::optional<ParsedDateTime> no_date;
  cur.Eat('.');
  auto m = cur.Number(2);
  if (!m || !cur.Eat('.')) return no_date;
  size_t ystart = cur.pos;
  auto y = cur.Number(4);
  if (!y || cur.pos - ystart != 4) return std::nullopt;
  if (!IsValidDate(*y, *m, day)) return no_date;
  ParsedDateTime result;
  CivilDateTime c;
  c.year = *y;
  c.month = *m;
  c.day = day;
  result.has_date = true;
  if (!cur.AtEnd()) {
    if (!cur.Eat(' ')) return no_date;
    while (cur.Eat(' ')) {
    }
    if (!ParseTime(cur, c)) return no_date;
    result.has_time = true;
  }
  if (!cur.AtEnd()) return no_date;
  result.value = EncodeDateTime(c);
  return result;
}

// A plain day number, with "." as decimal separator.
std::optional<ParsedDateTime> ParseDayNumber(std::string_view text) {
  std::string buf(text);
  for (char ch : buf) {
    if (!(std::isdigit(static_cast<unsigned char>(ch)) || ch == '.' || ch == '-' || ch == '+'))
      return std::nullopt;
  }
  char* end = nullptr;
  double v = std::strtod(buf.c_str(), &end);
  if (end != buf.c_str() + buf.size() || !std::isfinite(v)) return std::nullopt;
  if (!IsDayNumberInRange(v)) return std::nullopt;
  ParsedDateTime result;
  result.value = v;
  result.has_date = true;
  result.has_time = TimeOf(v) != 0;
  return result;
}

}  // namespace

std::optional<ParsedDateTime> ParseDateTimeText(std::string_view text) {
  text = TrimAscii(text, kWhiteSpace);
  if (text.empty()) return std::nullopt;
  if (auto time = ParseTimeAlone(text)) return *time;
  Cursor cur{text};
  auto a = cur.Number(4);
  if (!a) return std::nullopt;
  if (cur.Peek() == '-' && cur.pos == 4) return ParseIsoRest(cur, *a);
  if (cur.Peek() == '.' && cur.pos <= 2) {
    if (auto date = ParseDottedRest(cur, *a)) return *date;
  }
  return ParseDayNumber(text);
}

}  // namespace parlevo
