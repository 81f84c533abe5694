#include "logging/lg_configuration.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <limits>
#include <optional>
#include <utility>

#include "logging/lg_platform.h"

namespace parlevo::logging {

namespace {

constexpr int64_t kMaxInt32 = std::numeric_limits<int32_t>::max();

// Removes characters up to and including blank (controls, tabs, spaces) at both ends.
std::string_view Trim(std::string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return text.substr(begin, end - begin);
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
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

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string DecodeUtf16(std::string_view bytes, bool big_endian) {
  std::string out;
  auto unit = [&](size_t i) -> uint32_t {
    auto b0 = static_cast<uint8_t>(bytes[i]), b1 = static_cast<uint8_t>(bytes[i + 1]);
    return big_endian ? (uint32_t{b0} << 8 | b1) : (uint32_t{b1} << 8 | b0);
  };
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t u = unit(i);
    if (u >= 0xD800 && u < 0xDC00 && i + 3 < bytes.size()) {
      uint32_t low = unit(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    AppendUtf8(out, (u >= 0xD800 && u < 0xE000) ? 0xFFFD : u);
  }
  return out;
}

bool IsValidUtf8(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    auto c = static_cast<uint8_t>(bytes[i]);
    size_t extra;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= bytes.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      auto d = static_cast<uint8_t>(bytes[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return false;
    i += extra + 1;
  }
  return true;
}

// Windows-1252, the code page such files were written in on the original platform.
std::string DecodeWindows1252(std::string_view bytes) {
  static constexpr uint16_t kHigh[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  std::string out;
  for (char ch : bytes) {
    auto c = static_cast<uint8_t>(ch);
    AppendUtf8(out, (c >= 0x80 && c < 0xA0) ? kHigh[c - 0x80] : c);
  }
  return out;
}

std::string DecodeText(std::string_view bytes) {
  auto starts = [&](std::string_view marker) { return bytes.substr(0, marker.size()) == marker; };
  if (starts("\xEF\xBB\xBF")) return std::string(bytes.substr(3));
  if (bytes.size() >= 3 && starts("\xFF\xFE")) return DecodeUtf16(bytes.substr(2), false);
  if (bytes.size() >= 3 && starts("\xFE\xFF")) return DecodeUtf16(bytes.substr(2), true);
  // Without a marker: UTF-8 as written on this system, else the old single-byte code page.
  if (IsValidUtf8(bytes)) return std::string(bytes);
  return DecodeWindows1252(bytes);
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
  values_[Lower(key)] = std::string(value);
}

void TLgLookupTable::Add(std::string_view key, std::string_view value) {
  values_.try_emplace(Lower(key), value);
}

bool TLgLookupTable::Contains(std::string_view key) const {
  return values_.find(Lower(key)) != values_.end();
}

void TLgLookupTable::Clear() {
  values_.clear();
}

const std::string* TLgLookupTable::Find(std::string_view key) const {
  auto it = values_.find(Lower(key));
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
  std::string word = Lower(Trim(*value));
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
  std::string word = Lower(Trim(*value));
  for (const auto& [name, level] : kWords) {
    if (word == name) return level;
  }
  return default_value;
}

int64_t TLgLookupTable::GetSizeValue(std::string_view key, int64_t default_kilobytes) const {
  const int64_t fallback = default_kilobytes * 1024;
  const std::string* value = Find(key);
  if (value == nullptr) return fallback;
  std::string text = Lower(Trim(*value));
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
  std::string text = Lower(Trim(*value));
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
  std::string word = Lower(Trim(*value));
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
  const std::string text = DecodeText(ReadWholeFile(file_name));

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
