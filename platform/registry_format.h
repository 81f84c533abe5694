// The text form of the configuration file: the Windows ".reg" export format, parsed into keys and
// values and written back with everything the program did not change kept as it stood (other
// keys, comments, values of types the program does not handle, the spelling of names).
//
// Thread safety: a TRegDocument is a plain value; use one from one thread at a time or guard it.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace parlevo {

// Every failure of the configuration file: malformed text, a missing or mistyped value, I/O.
class ERegistryException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TRegValueKind {
  kString,  // REG_SZ: "Name"="text"
  kDword,   // REG_DWORD: "Name"=dword:0000002a
  kOther,   // hex:..., hex(N):... or the removal marker "-": kept as written, never interpreted
};

struct TRegValue {
  std::string name;  // as spelled in the file; empty for the default value "@"
  TRegValueKind kind = TRegValueKind::kString;
  std::string text;    // kString
  uint32_t dword = 0;  // kDword
};

// A value line (with its continuation lines) or a blank or comment line of a key.
struct TRegEntry {
  std::vector<std::string> lines;  // physical lines as they stand in the file, without line ends
  bool is_value = false;
  TRegValue value;  // valid when is_value
};

struct TRegSection {
  std::string header_line;  // "[...]" as it stands in the file
  std::string key;          // the full key path between the brackets
  std::vector<TRegEntry> entries;
};

// ASCII case-insensitive comparison, as the registry compares key and value names.
bool RegNamesEqual(std::string_view a, std::string_view b);

// The line that stores a value: "Name"="text" with \\ and \" escapes, or "Name"=dword:xxxxxxxx.
// Throws ERegistryException for a kOther value or a name or text holding a line break or NUL,
// which the line format cannot carry.
std::string FormatRegValueLine(const TRegValue& value);

class TRegDocument {
 public:
  // An empty file: header only, no keys.
  TRegDocument();

  // Parses the bytes of a file: UTF-8 (with or without BOM) or UTF-16LE with BOM; CRLF or LF;
  // header "Windows Registry Editor Version 5.00" or "REGEDIT4". A file of nothing but white space
  // is an empty document. Throws ERegistryException naming `file_name` and the line.
  static TRegDocument Parse(std::string_view bytes, std::string_view file_name);

  // UTF-8 text with CRLF line ends and the version 5.00 header.
  std::string Serialize() const;

  // Case-insensitive; nullptr when there is no section for that exact key.
  TRegSection* FindSection(std::string_view key);
  const TRegSection* FindSection(std::string_view key) const;
  // True when the key has a section or any of its subkeys has one (its parent keys exist then).
  bool KeyExists(std::string_view key) const;
  // The key's section, appended (after a blank line) when missing.
  TRegSection& FindOrAddSection(std::string_view key);

 private:
  std::vector<std::string> preamble_;  // lines between the header and the first key
  std::vector<TRegSection> sections_;
};

// Value operations within one key. Names are compared case-insensitively.
const TRegValue* FindRegValue(const TRegSection& section, std::string_view name);
std::vector<std::string> RegValueNames(const TRegSection& section);
// Replaces the value in place (keeping the spelling of its name and its position) or appends it
// after the key's last non-blank line. Throws like FormatRegValueLine.
void SetRegValue(TRegSection& section, const TRegValue& value);
bool RemoveRegValue(TRegSection& section, std::string_view name);

}  // namespace parlevo
