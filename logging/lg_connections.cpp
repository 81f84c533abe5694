#include "logging/lg_connections.h"

#include <fmt/format.h>

#include <array>

#include "logging/lg_exceptions.h"
#include "logging/lg_packets.h"
#include "logging/lg_text.h"

namespace parlevo::logging {

std::string_view RotateName(TLgFileRotate rotate) {
  static constexpr std::array<std::string_view, 5> kNames = {"none", "hourly", "daily", "weekly",
                                                             "monthly"};
  return kNames.at(static_cast<size_t>(rotate));
}

void TLgConnectionsParser::Parse(std::string_view connections, const Callback& callback) {
  const std::string_view text = TrimText(connections);
  // Positions in messages are 1-based character positions in the trimmed string.
  const std::string behind_end = std::to_string(Utf16Length(text) + 1);
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t open = text.find('(', pos);
    if (open == std::string_view::npos) {
      throw ELogCenterError("Missing \"(\" at position " + behind_end);
    }
    const std::string name = LowerCaseText(TrimText(text.substr(pos, open - pos)));
    size_t i = open + 1;
    bool quoting = false;
    while (i < text.size()) {
      const char c = text[i];
      if (c == '"') {
        if (i + 1 < text.size() && text[i + 1] == '"') {
          i += 2;  // an escaped quote does not change quoting
          continue;
        }
        quoting = !quoting;
      } else if (c == ')' && !quoting) {
        break;
      }
      ++i;
    }
    if (quoting) {
      throw ELogCenterError(fmt::format("Quoted values not closed at protocol \"{}\"", name));
    }
    if (i >= text.size()) throw ELogCenterError("Missing \")\" at position " + behind_end);
    const std::string options(TrimText(text.substr(open + 1, i - open - 1)));
    pos = i + 1;
    if (pos < text.size() && text[pos] == ',') ++pos;
    callback(name, options);
  }
}

void TLgOptionsParser::Parse(std::string_view protocol, std::string_view options,
                             const Callback& callback) {
  const std::string protocol_name(protocol);
  const std::string_view text = TrimText(options);
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t equals = text.find('=', pos);
    if (equals == std::string_view::npos) {
      throw ELogCenterError(fmt::format("Missing \"=\" at \"{}\" protocol", protocol_name));
    }
    const std::string key = LowerCaseText(TrimText(text.substr(pos, equals - pos)));
    std::string value;
    size_t i = equals + 1;
    bool quoting = false;
    while (i < text.size()) {
      const char c = text[i];
      if (c == '"') {
        if (i + 1 < text.size() && text[i + 1] == '"') {
          value += '"';
          i += 2;
          continue;
        }
        quoting = !quoting;
        ++i;
        continue;
      }
      if (c == ',' && !quoting) break;
      value += c;
      ++i;
    }
    if (quoting) {
      throw ELogCenterError(
          fmt::format("Quoted value not closed at protocol \"{}\"", protocol_name));
    }
    pos = i + 1;  // skips the comma
    callback(protocol_name, key, std::string(TrimText(value)));
  }
}

void TLgConnectionsBuilder::AddOption(std::string_view key, std::string_view value) {
  if (has_option_) builder_.Append(", ");
  builder_.Append(key);
  builder_.Append("=\"");
  size_t start = 0;
  for (size_t quote = value.find('"'); quote != std::string_view::npos;
       quote = value.find('"', start)) {
    builder_.Append(value.substr(start, quote + 1 - start));
    builder_.Append("\"");
    start = quote + 1;
  }
  builder_.Append(value.substr(start));
  builder_.Append("\"");
  has_option_ = true;
}

void TLgConnectionsBuilder::AddOption(std::string_view key, bool value) {
  AddOption(key, std::string_view(value ? "true" : "false"));
}

void TLgConnectionsBuilder::AddIntegerOption(std::string_view key, int64_t value) {
  AddOption(key, std::string_view(std::to_string(value)));
}

void TLgConnectionsBuilder::AddOption(std::string_view key, TLgLevel value) {
  AddOption(key, LevelKeyword(value));
}

void TLgConnectionsBuilder::AddOption(std::string_view key, TLgFileRotate value) {
  AddOption(key, RotateName(value));
}

void TLgConnectionsBuilder::Clear() {
  builder_.Clear();
  has_option_ = false;
}

void TLgProtocolVariables::Put(std::string_view name, std::string_view value) {
  std::lock_guard lock(lock_);
  variables_.Put(name, std::string(value));
}

void TLgProtocolVariables::Clear() {
  std::lock_guard lock(lock_);
  variables_.Clear();
}

int TLgProtocolVariables::Count() const {
  std::lock_guard lock(lock_);
  return variables_.Count();
}

std::string TLgProtocolVariables::Expand(std::string_view connections) const {
  std::lock_guard lock(lock_);
  std::string result(connections);
  variables_.Reset();
  while (variables_.Next()) {
    const std::string pattern = "$" + variables_.CurrentKey() + "$";
    const std::string& value = variables_.CurrentValue();
    std::string replaced;
    size_t start = 0;
    for (size_t found = result.find(pattern); found != std::string::npos;
         found = result.find(pattern, start)) {
      replaced.append(result, start, found - start);
      replaced.append(value);
      start = found + pattern.size();
    }
    replaced.append(result, start);
    result = std::move(replaced);
  }
  return result;
}

}  // namespace parlevo::logging
