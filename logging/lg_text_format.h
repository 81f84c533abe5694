// Log entries as lines of plain text shaped by a pattern such as the default
// "[%timestamp%] %level%: %title%": the tokens of a pattern, the parser that splits and expands
// it, and the formatter the text outputs use (one UTF-8 line, CR LF, per log entry; other
// packets produce nothing).
//
// A token is "%" name ["," width] ["{" options "}"] "%": a positive width pads on the left, a
// negative one on the right; only %timestamp% uses options (a date/time pattern). Unknown
// tokens and other text are written as they stand.
//
// Thread safety: one thread at a time (the owning protocol's lock). The indentation level lives
// in the parser and counts the method enter and leave entries in arrival order.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "logging/lg_binary_format.h"
#include "logging/lg_containers.h"
#include "logging/lg_packets.h"

namespace parlevo::logging {

inline constexpr std::string_view kLgDefaultPattern = "[%timestamp%] %level%: %title%";
inline constexpr std::string_view kLgDefaultTimestampFormat = "yyyy-mm-dd hh:nn:ss.zzz";

class TLgToken {
 public:
  TLgToken(std::string options, std::string value, int width)
      : options_(std::move(options)), value_(std::move(value)), width_(width) {}
  virtual ~TLgToken() = default;
  TLgToken(const TLgToken&) = delete;
  TLgToken& operator=(const TLgToken&) = delete;

  virtual std::string Expand(const TLgLogEntry& entry) const = 0;
  // Whether indentation goes in front of this token (only the title's).
  virtual bool Indent() const { return false; }

  const std::string& Options() const { return options_; }
  const std::string& Value() const { return value_; }
  int Width() const { return width_; }

 private:
  std::string options_;
  std::string value_;
  int width_;
};

class TLgTokenFactory {
 public:
  // A token for its text as found in a pattern; unknown names give a literal token.
  static std::unique_ptr<TLgToken> GetToken(std::string_view text);
};

class TLgPatternParser {
 public:
  TLgPatternParser() : builder_(256) {}

  const std::string& Pattern() const { return pattern_; }
  // Trims and parses the pattern; the indentation level starts again at 0.
  void SetPattern(std::string_view pattern);
  bool Indent() const { return indent_; }
  void SetIndent(bool value) { indent_ = value; }
  int IndentLevel() const { return indent_level_; }

  std::string Expand(const TLgLogEntry& entry);

 private:
  TLgStringBuilder builder_;
  std::vector<std::unique_ptr<TLgToken>> tokens_;
  std::string pattern_;
  bool indent_ = false;
  int indent_level_ = 0;
};

class TLgTextFormatter final : public TLgFormatter {
 public:
  TLgTextFormatter() { parser_.SetPattern(kLgDefaultPattern); }

  // Log entries compile to the expanded pattern and CR LF; other packets to nothing.
  int64_t Compile(const TLgPacket& packet) override;
  void Write(TLgByteStream& stream) override;

  const std::string& Pattern() const { return parser_.Pattern(); }
  void SetPattern(std::string_view pattern) { parser_.SetPattern(pattern); }
  bool Indent() const { return parser_.Indent(); }
  void SetIndent(bool value) { parser_.SetIndent(value); }

 private:
  TLgPatternParser parser_;
  std::string line_;
};

}  // namespace parlevo::logging
