// What the logging core and the session manager read from a loaded logging configuration: keys
// (without regard to case) with typed values, and the keys in the order of their first
// appearance. The configuration file reader implements it.
//
// Thread safety: an implementation need not lock; it is read by one thread while it is applied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "logging/lg_level.h"

namespace parlevo::logging {

class TLgConfigReader {
 public:
  virtual ~TLgConfigReader() = default;

  virtual bool Contains(std::string_view key) const = 0;
  // Each reader gives its default when the key is absent, its value empty or unreadable.
  virtual std::string ReadString(std::string_view key, std::string_view default_value) const = 0;
  virtual bool ReadBoolean(std::string_view key, bool default_value) const = 0;
  virtual TLgLevel ReadLevel(std::string_view key, TLgLevel default_value) const = 0;
  virtual uint32_t ReadColor(std::string_view key, uint32_t default_value) const = 0;

  // Number of distinct keys, and the key at a position in order of first appearance.
  virtual size_t Count() const = 0;
  virtual const std::string& Key(size_t index) const = 0;
};

}  // namespace parlevo::logging
