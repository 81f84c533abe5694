#include "logging/lg_configuration.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <limits>
#include <optional>
#include <utility>

#include "logging/lg_platform.h"
#include "platform/ascii_text.h"
#include "platform/text_codec.h"

namespace parlevo::logging {

namespace {

constexpr int64_t kMaxInt32 = std::numeric_limits<int32_t>::max();

// Removes characters up to and including blank (controls, tabs, spaces) at both ends.
std::string_view Trim(std::string_view text) {
  return TrimAscii(text, kControlsAndBlank);
}

bool IsDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The value of a run of digits when it fits a signed 32-bit integer.
std::optional<int64_t> ParseInt32(std::string_view digits) {
  if (!IsDigits(digits)) return std::nullopt;
  int64_t value = 0;
  for (char c : digits) {
    value = value * 10 + (c - '0');
    if (value > kMaxInt32) return std::nullopt;
  }
  return value;
}

// Splits "123kb" into the digits and what follows them.
std::pair<std::string_view, std::string_view> SplitNumber(std::string_view text) {
  size_t n = 0;
  while (n < text.size() && text[n] >= '0' && text[n] <= '9') ++n;
  return {text.substr(0, n), text.substr(n)};
}

std::string ReadWholeFile(const std::string& file_name) {
  int error = 0;
  TLgFileHandle file =
      LgCreateFile(file_name, TLgFileAccess::Read, TLgCreationDisposition::OpenExisting, error);
  if (!file.Valid()) throw ELgLoadConfigurationError(LgSysErrorMessage(error), file_name);
  std::string bytes;
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(file.Get(), buffer, sizeof(buffer));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ELgLoadConfigurationError(LgSysErrorMessage(errno), file_name);
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  return bytes;
}

}  // namespace

// ---- TLgLookupTable ----

void TLgLookupTable::Put(std::string_view key, std::string_view value) {
  values_[ToLowerAscii(key)] = std::string(value);
}

void TLgLookupTable::Add(std::string_view key, std::string_view value) {
  values_.try_emplace(ToLowerAscii(key), value);
}

bool TLgLookupTable::Contains(std::string_view key) const {
  return values_.find(ToLowerAscii(key)) != values_.end();
}

void TLgLookupTable::Clear() {
  values_.clear();
}

const std::string* TLgLookupTable::Find(std::string_view key) const {
  auto it = values_.find(ToLowerAscii(key));
  return it == values_.end() ? nullptr : &it->second;
}

std::string TLgLookupTable::GetStringValue(std::string_view key,
                                           std::string_view default_value) const {
  const std::string* value = Find(key);
  std::string_view text = value == nullptr ? std::string_view() : Trim(*value);
  return std::string(text.empty() ? default_value : text);
}

bool TLgLookupTable::GetBooleanValue(std::string_view key, bool default_value) const {
  const std::string* value = Find(key);
  if (value == nullptr || Trim(*value).empty()) return default_value;
  std::string word = ToLowerAscii(Trim(*value));
  return word == "true" || word == "1" || word == "yes";
}

int32_t TLgLookupTable::GetIntegerValue(std::string_view key, int32_t default_value) const {
  const std::string* value = Find(key);
  if (value == nullptr) return default_value;
  auto number = ParseInt32(Trim(*value));
  return number ? static_cast<int32_t>(*number) : default_value;
}

TLgLevel TLgLookupTable::GetLevelValue(std::string_view key, TLgLevel default_value) const {
  const std::string* value = Find(key);
  if (value == nullptr) return default_value;
  static constexpr std::pair<std::string_view, TLgLevel> kWords[] = {
      {"debug", TLgLevel::Debug},     {"verbose", TLgLevel::Verbose},
      {"message", TLgLevel::Message}, {"warning", TLgLevel::Warning},
      {"error", TLgLevel::Error},     {"fatal", TLgLevel::Fatal}};
  std::string word = ToLowerAscii(Trim(*value));
  for (const auto& [name, level] : kWords) {
    if (word == name) return level;
  }
  return default_value;
}

int64_t TLgLookupTable::GetSizeValue(std::string_view key, int64_t default_kilobytes) const {
  const int64_t fallback = default_kilobytes * 1024;
  const std::string* value = Find(key);
  if (value == nullptr) return fallback;
  std::string text = ToLowerAscii(Trim(*value));
  auto [digits, rest] = SplitNumber(text);
  auto number = ParseInt32(digits);
  if (!number) return fallback;
  std::string_view unit = Trim(rest);
  if (unit.empty() || unit == "kb") return *number * 1024;
  if (unit == "mb") return *number * 1048576;
  if (unit == "gb") return *number * 1073741824;
  return fallback;
}

int32_t TLgLookupTable::GetTimespanValue(std::string_view key, int32_t default_seconds) const {
  const int32_t fallback = static_cast<int32_t>(
      std::clamp<int64_t>(int64_t{default_seconds} * 1000, -kMaxInt32 - 1, kMaxInt32));
  const std::string* value = Find(key);
  if (value == nullptr) return fallback;
  std::string text = ToLowerAscii(Trim(*value));
  auto [digits, unit] = SplitNumber(text);
  auto number = ParseInt32(digits);
  if (!number) return fallback;
  int64_t factor;
  if (unit.empty() || unit == "s") {
    factor = 1000;
  } else if (unit == "m") {
    factor = 60000;
  } else if (unit == "h") {
    factor = 3600000;
  } else if (unit == "d") {
    factor = 86400000;
  } else {
    return fallback;
  }
  int64_t ms = *number * factor;
  return ms > kMaxInt32 ? fallback : static_cast<int32_t>(ms);
}

uint8_t TLgLookupTable::GetRotateValue(std::string_view key, uint8_t default_value) const {
  const std::string* value = Find(key);
  if (value == nullptr) return default_value;
  static constexpr std::string_view kWords[] = {"none", "hourly", "daily", "weekly", "monthly"};
  std::string word = ToLowerAscii(Trim(*value));
  for (uint8_t i = 0; i < std::size(kWords); ++i) {
    if (word == kWords[i]) return i;
  }
  return default_value;
}

uint32_t TLgLookupTable::GetColorValue(std::string_view key, uint32_t default_value) const {
  const std::string* value = Find(key);
  if (value == nullptr) return default_value;
  std::string_view text = Trim(*value);
  std::string digits;
  for (std::string_view prefix : {"0x", "&H", "$"}) {
    if (text.substr(0, prefix.size()) == prefix) {
      digits = std::string(text.substr(prefix.size()));
      break;
    }
  }
  if (digits.empty()) return default_value;
  if (digits.size() % 2 != 0) digits += '0';
  std::vector<uint32_t> bytes;
  for (size_t i = 0; i < digits.size(); i += 2) {
    auto hex = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    int high = hex(digits[i]), low = hex(digits[i + 1]);
    if (high < 0 || low < 0) return default_value;
    bytes.push_back(static_cast<uint32_t>(high * 16 + low));
  }
  if (bytes.size() == 4) bytes.erase(bytes.begin());
  if (bytes.size() != 3) return default_value;
  return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16);
}

std::vector<uint8_t> TLgLookupTable::GetBytesValue(std::string_view key, size_t size) const {
  const std::string* value = Find(key);
  if (value == nullptr) return {};
  std::string_view text = Trim(*value);
  if (text.empty()) return {};
  std::vector<uint8_t> bytes(text.begin(), text.end());
  bytes.resize(size, 0);
  return bytes;
}

// ---- TLgConfiguration ----

void TLgConfiguration::LoadFromFile(const std::string& file_name) {
  const std::string text = DecodeTextFile(ReadWholeFile(file_name));

  values_.Clear();
  keys_.clear();
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line = Trim(std::string_view(text).substr(pos, end - pos));
    // CR LF is one line break.
    pos = end + ((end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n') ? 2 : 1);

    if (line.empty() || line[0] == ';') continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = Trim(line.substr(0, eq));
    std::string_view value = Trim(line.substr(eq + 1));
    if (!values_.Contains(key)) keys_.emplace_back(key);
    values_.Put(key, value);
  }
}

}  // namespace parlevo::logging
