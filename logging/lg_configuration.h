// The logging configuration file ("ZyntParlevo.lgc": lines of key = value) and the lookup table
// that turns value texts into typed settings. The same table holds the options of the output
// protocols, so the value syntax of booleans, numbers, sizes, time spans, levels, rotation modes,
// colours and byte keys is defined here once.
//
// Keys are compared without regard to letter case (ASCII letters); values keep their case.
// Every reader returns its default when the key is absent or its value is empty, and malformed
// values never raise: the reader's default applies.
//
// Thread safety: const members may be called from several threads at once; loading or changing
// the contents needs exclusive access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "logging/lg_config_reader.h"
#include "logging/lg_exceptions.h"
#include "logging/lg_level.h"

namespace parlevo::logging {

// A configuration file that could not be read; carries the file's name.
class ELgLoadConfigurationError : public ELogCenterError {
 public:
  ELgLoadConfigurationError(const std::string& message, std::string file_name)
      : ELogCenterError(message), file_name_(std::move(file_name)) {}
  const std::string& FileName() const { return file_name_; }

 private:
  std::string file_name_;
};

class TLgLookupTable {
 public:
  // Adds the pair or replaces the value of an existing key.
  void Put(std::string_view key, std::string_view value);
  // Adds the pair only when the key is absent.
  void Add(std::string_view key, std::string_view value);
  bool Contains(std::string_view key) const;
  void Clear();
  size_t Count() const { return values_.size(); }

  // The trimmed text.
  std::string GetStringValue(std::string_view key, std::string_view default_value) const;
  // "true", "1", "yes" (any case) are true; any other text is false.
  bool GetBooleanValue(std::string_view key, bool default_value) const;
  // Decimal digits only (no sign), at most 2147483647.
  int32_t GetIntegerValue(std::string_view key, int32_t default_value) const;
  // "debug", "verbose", "message", "warning", "error", "fatal" (any case).
  TLgLevel GetLevelValue(std::string_view key, TLgLevel default_value) const;
  // Bytes: digits (at most 2147483647), optionally blanks and "kb", "mb" or "gb" (any case); no
  // unit means kilobytes. The default is given in kilobytes.
  int64_t GetSizeValue(std::string_view key, int64_t default_kilobytes) const;
  // Milliseconds: digits, optionally followed by "s", "m", "h" or "d" (any case); no unit means
  // seconds. A span too long for 32 bits gives the default, which is given in seconds.
  int32_t GetTimespanValue(std::string_view key, int32_t default_seconds) const;
  // 0 "none", 1 "hourly", 2 "daily", 3 "weekly", 4 "monthly" (any case).
  uint8_t GetRotateValue(std::string_view key, uint8_t default_value) const;
  // "0x", "&H" or "$" (exactly so) and hexadecimal digits; six digits read as red, green, blue
  // and give red + green * 256 + blue * 65536; eight digits drop the first pair.
  uint32_t GetColorValue(std::string_view key, uint32_t default_value) const;
  // The UTF-8 bytes of the trimmed text, cut to size bytes or filled up with zero bytes; empty
  // when the key is absent or its value is empty.
  std::vector<uint8_t> GetBytesValue(std::string_view key, size_t size) const;

 private:
  // The value text of the key, or nullptr.
  const std::string* Find(std::string_view key) const;
  std::unordered_map<std::string, std::string> values_;  // by lower-cased key
};

class TLgConfiguration : public TLgConfigReader {
 public:
  // Reads the file: UTF-8 (with or without a byte-order mark), UTF-16 with a byte-order mark,
  // or Windows-1252 when the bytes are not valid UTF-8. Lines are trimmed; empty lines, lines
  // starting with ";" and lines without "=" are skipped; key and value are the trimmed texts
  // around the first "=". A later line of the same key replaces the value while the key keeps
  // its first position. Throws ELgLoadConfigurationError (the system's message) when the file
  // cannot be read; the previous contents are then kept.
  void LoadFromFile(const std::string& file_name);

  bool Contains(std::string_view key) const override { return values_.Contains(key); }
  size_t Count() const override { return keys_.size(); }
  // Keys in the order of their first appearance, spelled as first written.
  const std::string& Key(size_t index) const override { return keys_.at(index); }
  const std::vector<std::string>& Keys() const { return keys_; }
  const TLgLookupTable& Values() const { return values_; }

  std::string ReadString(std::string_view key, std::string_view default_value) const override {
    return values_.GetStringValue(key, default_value);
  }
  bool ReadBoolean(std::string_view key, bool default_value) const override {
    return values_.GetBooleanValue(key, default_value);
  }
  int32_t ReadInteger(std::string_view key, int32_t default_value) const {
    return values_.GetIntegerValue(key, default_value);
  }
  TLgLevel ReadLevel(std::string_view key, TLgLevel default_value) const override {
    return values_.GetLevelValue(key, default_value);
  }
  uint32_t ReadColor(std::string_view key, uint32_t default_value) const override {
    return values_.GetColorValue(key, default_value);
  }
  int64_t ReadSize(std::string_view key, int64_t default_kilobytes) const {
    return values_.GetSizeValue(key, default_kilobytes);
  }
  int32_t ReadTimespan(std::string_view key, int32_t default_seconds) const {
    return values_.GetTimespanValue(key, default_seconds);
  }
  uint8_t ReadRotate(std::string_view key, uint8_t default_value) const {
    return values_.GetRotateValue(key, default_value);
  }
  std::vector<uint8_t> ReadBytes(std::string_view key, size_t size) const {
    return values_.GetBytesValue(key, size);
  }

 private:
  TLgLookupTable values_;
  std::vector<std::string> keys_;
};

}  // namespace parlevo::logging
