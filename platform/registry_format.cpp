#include "platform/registry_format.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <optional>

#include "platform/ascii_text.h"
#include "platform/text_codec.h"

namespace parlevo {
namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";

// regedit writes its exports in UTF-16; the program works in UTF-8.
std::string DecodeRegUtf16(std::string_view bytes, bool big_endian, std::string_view file_name) {
  if (bytes.size() % 2 != 0) {
    throw ERegistryException(
        fmt::format("registry file \"{}\": UTF-16 text with an odd number of bytes", file_name));
  }
  const std::u16string units = Utf16Units(bytes, big_endian);
  if (const auto lone = FindLoneSurrogate(units)) {
    const auto line = 1 + std::count(units.begin(), units.begin() + *lone, u'\n');
    throw ERegistryException(fmt::format(
        "registry file \"{}\", line {}: broken UTF-16 surrogate pair", file_name, line));
  }
  return Utf16ToUtf8(units);
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    std::string_view line =
        text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  // The line end of the last line does not open another line.
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

bool IsBlankOrComment(std::string_view line) {
  std::string_view t = TrimLeftAscii(line);
  return t.empty() || t.front() == ';';
}

class LineParser {
 public:
  LineParser(std::string_view file_name, int line_no) : file_(file_name), line_no_(line_no) {}

  [[noreturn]] void Fail(std::string_view what) const {
    throw ERegistryException(
        fmt::format("registry file \"{}\", line {}: {}", file_, line_no_, what));
  }

  // A text between double quotes starting at s[pos]; pos ends after the closing quote.
  std::string Quoted(std::string_view s, size_t& pos) const {
    std::string out;
    ++pos;  // opening quote
    while (pos < s.size()) {
      char c = s[pos++];
      if (c == '"') return out;
      if (c == '\\') {
        if (pos >= s.size()) break;
        char e = s[pos++];
        if (e != '\\' && e != '"') Fail(fmt::format("unknown escape \"\\{}\" in a quoted text", e));
        out += e;
      } else {
        out += c;
      }
    }
    Fail("a quoted text is missing its closing double quote");
  }

  // Fills `value` from a value line; returns true when the line continues on the next one.
  bool Value(std::string_view line, TRegValue& value) const {
    std::string_view s = TrimLeftAscii(line);
    size_t pos = 0;
    if (s.front() == '@') {
      pos = 1;
    } else if (s.front() == '"') {
      value.name = Quoted(s, pos);
    } else {
      Fail("expected a key in [brackets], a value \"Name\"=..., a comment or a blank line");
    }
    pos = std::min(s.size(), s.find_first_not_of(kBlanks, pos));
    if (pos >= s.size() || s[pos] != '=') Fail("expected \"=\" after the value name");
    ++pos;
    pos = std::min(s.size(), s.find_first_not_of(kBlanks, pos));
    std::string_view data = s.substr(pos);
    if (!data.empty() && data.front() == '"') {
      size_t p = 0;
      value.kind = TRegValueKind::kString;
      value.text = Quoted(data, p);
      if (!TrimAscii(data.substr(p)).empty())
        Fail("unexpected text after the closing double quote");
      return false;
    }
    if (StartsWithIgnoreCaseAscii(data, "dword:")) {
      std::string_view digits = TrimRightAscii(data.substr(6));
      if (digits.empty() || digits.size() > 8 ||
          !std::all_of(digits.begin(), digits.end(),
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); })) {
        Fail("a dword value needs one to eight hexadecimal digits");
      }
      value.kind = TRegValueKind::kDword;
      value.dword = static_cast<uint32_t>(std::stoul(std::string(digits), nullptr, 16));
      return false;
    }
    if (StartsWithIgnoreCaseAscii(data, "hex:") || StartsWithIgnoreCaseAscii(data, "hex(")) {
      if (StartsWithIgnoreCaseAscii(data, "hex(")) {
        size_t close = data.find(')');
        if (close == std::string_view::npos || close + 1 >= data.size() || data[close + 1] != ':') {
          Fail("expected hex(type): before the bytes");
        }
      }
      value.kind = TRegValueKind::kOther;
      std::string_view rest = TrimRightAscii(data);
      return !rest.empty() && rest.back() == '\\';
    }
    if (TrimAscii(data) == "-") {
      value.kind = TRegValueKind::kOther;
      return false;
    }
    Fail("unknown value type (expected \"text\", dword:, hex: or hex(n):)");
  }

 private:
  std::string_view file_;
  int line_no_;
};

}  // namespace

bool RegNamesEqual(std::string_view a, std::string_view b) {
  return EqualsIgnoreCaseAscii(a, b);
}

std::string FormatRegValueLine(const TRegValue& value) {
  auto check = [&](std::string_view s, std::string_view what) {
    if (s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
      throw ERegistryException(fmt::format(
          "registry value \"{}\": the {} holds a line break or NUL character", value.name, what));
    }
  };
  auto quote = [](std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
      if (c == '\\' || c == '"') out += '\\';
      out += c;
    }
    out += '"';
    return out;
  };
  check(value.name, "name");
  std::string line = value.name.empty() ? "@" : quote(value.name);
  line += '=';
  switch (value.kind) {
    case TRegValueKind::kString:
      check(value.text, "text");
      line += quote(value.text);
      break;
    case TRegValueKind::kDword:
      line += fmt::format("dword:{:08x}", value.dword);
      break;
    case TRegValueKind::kOther:
      throw ERegistryException(fmt::format(
          "registry value \"{}\": only text and dword values can be written", value.name));
  }
  return line;
}

TRegDocument::TRegDocument() : preamble_{""} {}

TRegDocument TRegDocument::Parse(std::string_view bytes, std::string_view file_name) {
  std::string text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    text = DecodeRegUtf16(bytes.substr(2), false, file_name);
  } else if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE &&
             static_cast<unsigned char>(bytes[1]) == 0xFF) {
    text = DecodeRegUtf16(bytes.substr(2), true, file_name);
  } else if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    text = bytes.substr(3);
  } else {
    text = bytes;
  }

  std::vector<std::string> lines = SplitLines(text);
  TRegDocument doc;
  doc.preamble_.clear();
  if (std::all_of(lines.begin(), lines.end(),
                  [](const std::string& l) { return TrimAscii(l).empty(); })) {
    doc.preamble_.emplace_back();
    return doc;
  }
  std::string_view header = TrimAscii(lines[0]);
  if (header != kHeader5 && header != kHeader4) {
    LineParser(file_name, 1)
        .Fail(fmt::format("the file must begin with \"{}\" (or \"{}\")", kHeader5, kHeader4));
  }

  for (size_t i = 1; i < lines.size(); ++i) {
    const int line_no = static_cast<int>(i) + 1;
    LineParser parser(file_name, line_no);
    const std::string& line = lines[i];
    std::string_view t = TrimAscii(line);
    if (!t.empty() && t.front() == '[') {
      if (t.back() != ']') parser.Fail("a key name in brackets is missing its closing \"]\"");
      std::string_view key = t.substr(1, t.size() - 2);
      if (TrimAscii(key).empty()) parser.Fail("empty key name in brackets");
      if (doc.FindSection(key) != nullptr) {
        parser.Fail(fmt::format("key [{}] appears a second time", key));
      }
      doc.sections_.push_back(TRegSection{line, std::string(key), {}});
      continue;
    }
    TRegEntry entry;
    entry.lines.push_back(line);
    if (!IsBlankOrComment(line)) {
      if (doc.sections_.empty()) parser.Fail("a value before the first key in [brackets]");
      entry.is_value = true;
      bool continues = parser.Value(line, entry.value);
      while (continues) {
        if (++i >= lines.size()) parser.Fail("the value continues past the end of the file");
        entry.lines.push_back(lines[i]);
        std::string_view next = TrimRightAscii(lines[i]);
        continues = !next.empty() && next.back() == '\\';
      }
      TRegSection& section = doc.sections_.back();
      if (FindRegValue(section, entry.value.name) != nullptr) {
        parser.Fail(fmt::format("value \"{}\" appears a second time in [{}]", entry.value.name,
                                section.key));
      }
    }
    if (doc.sections_.empty()) {
      doc.preamble_.push_back(std::move(entry.lines.front()));
    } else {
      doc.sections_.back().entries.push_back(std::move(entry));
    }
  }
  return doc;
}

std::string TRegDocument::Serialize() const {
  std::string out;
  auto put = [&out](std::string_view line) {
    out += line;
    out += "\r\n";
  };
  put(kHeader5);
  for (const std::string& line : preamble_) put(line);
  for (const TRegSection& section : sections_) {
    put(section.header_line);
    for (const TRegEntry& entry : section.entries) {
      for (const std::string& line : entry.lines) put(line);
    }
  }
  return out;
}

TRegSection* TRegDocument::FindSection(std::string_view key) {
  auto it = std::find_if(sections_.begin(), sections_.end(),
                         [&](const TRegSection& s) { return RegNamesEqual(s.key, key); });
  return it == sections_.end() ? nullptr : &*it;
}

const TRegSection* TRegDocument::FindSection(std::string_view key) const {
  return const_cast<TRegDocument*>(this)->FindSection(key);
}

bool TRegDocument::KeyExists(std::string_view key) const {
  return std::any_of(sections_.begin(), sections_.end(), [&](const TRegSection& s) {
    return RegNamesEqual(s.key, key) ||
           (s.key.size() > key.size() && s.key[key.size()] == '\\' &&
            RegNamesEqual(std::string_view(s.key).substr(0, key.size()), key));
  });
}

TRegSection& TRegDocument::FindOrAddSection(std::string_view key) {
  if (TRegSection* found = FindSection(key)) return *found;
  // Keys are separated by a blank line, as regedit writes them.
  auto last_is_blank = [this] {
    if (sections_.empty()) return preamble_.empty() || TrimAscii(preamble_.back()).empty();
    const TRegSection& last = sections_.back();
    return !last.entries.empty() && !last.entries.back().is_value &&
           TrimAscii(last.entries.back().lines.back()).empty();
  };
  if (!last_is_blank()) {
    if (sections_.empty()) {
      preamble_.emplace_back();
    } else {
      sections_.back().entries.push_back(TRegEntry{{""}, false, {}});
    }
  }
  TRegSection section;
  section.key = key;
  section.header_line = fmt::format("[{}]", key);
  section.entries.push_back(TRegEntry{{""}, false, {}});
  sections_.push_back(std::move(section));
  return sections_.back();
}

const TRegValue* FindRegValue(const TRegSection& section, std::string_view name) {
  for (const TRegEntry& entry : section.entries) {
    if (entry.is_value && RegNamesEqual(entry.value.name, name)) return &entry.value;
  }
  return nullptr;
}

std::vector<std::string> RegValueNames(const TRegSection& section) {
  std::vector<std::string> names;
  for (const TRegEntry& entry : section.entries) {
    if (entry.is_value) names.push_back(entry.value.name);
  }
  return names;
}

void SetRegValue(TRegSection& section, const TRegValue& value) {
  for (TRegEntry& entry : section.entries) {
    if (entry.is_value && RegNamesEqual(entry.value.name, value.name)) {
      TRegValue updated = value;
      updated.name = entry.value.name;
      entry.lines = {FormatRegValueLine(updated)};
      entry.value = std::move(updated);
      return;
    }
  }
  TRegEntry entry{{FormatRegValueLine(value)}, true, value};
  auto last_filled = std::find_if(
      section.entries.rbegin(), section.entries.rend(),
      [](const TRegEntry& e) { return e.is_value || !TrimAscii(e.lines.front()).empty(); });
  section.entries.insert(last_filled.base(), std::move(entry));
}

bool RemoveRegValue(TRegSection& section, std::string_view name) {
  auto it = std::find_if(section.entries.begin(), section.entries.end(), [&](const TRegEntry& e) {
    return e.is_value && RegNamesEqual(e.value.name, name);
  });
  if (it == section.entries.end()) return false;
  section.entries.erase(it);
  return true;
}

}  // namespace parlevo
