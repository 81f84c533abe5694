#include "logging/lg_text_format.h"

#include <charconv>
#include <cstdlib>
#include <functional>

#include <fmt/format.h>

#include "logging/lg_exceptions.h"
#include "logging/lg_text.h"
#include "platform/datetime.h"

namespace parlevo::logging {
namespace {

using Expander = std::function<std::string(const TLgToken&, const TLgLogEntry&)>;

// A token whose text comes from one field of the entry.
class TLgFieldToken final : public TLgToken {
 public:
  TLgFieldToken(std::string options, std::string value, int width, Expander expander, bool indent)
      : TLgToken(std::move(options), std::move(value), width),
        expander_(std::move(expander)),
        indent_(indent) {}
  std::string Expand(const TLgLogEntry& entry) const override { return expander_(*this, entry); }
  bool Indent() const override { return indent_; }

 private:
  Expander expander_;
  bool indent_;
};

class TLgLiteralToken final : public TLgToken {
 public:
  explicit TLgLiteralToken(std::string text) : TLgToken({}, std::move(text), 0) {}
  std::string Expand(const TLgLogEntry&) const override { return Value(); }
};

std::string TimestampText(const TLgToken& token, const TLgLogEntry& entry) {
  if (!token.Options().empty()) {
    try {
      return FormatDateTime(token.Options(), entry.Timestamp());
    } catch (const std::exception&) {
      // A pattern the formatting routine rejects falls back to the standard form.
    }
  }
  return FormatDateTime(kLgDefaultTimestampFormat, entry.Timestamp());
}

std::string ColorText(const TLgToken&, const TLgLogEntry& entry) {
  const uint32_t color = entry.Color();
  if (color == kLgDefaultColor) return "<default>";
  return fmt::format("${:02x}{:02x}{:02x}", color & 0xFF, (color >> 8) & 0xFF,
                     (color >> 16) & 0xFF);
}

struct TokenKind {
  std::string_view name;
  Expander expander;
  bool indent;
};

const std::vector<TokenKind>& TokenKinds() {
  static const std::vector<TokenKind> kinds = {
      {"%appname%", [](const TLgToken&, const TLgLogEntry& e) { return e.AppName(); }, false},
      {"%session%", [](const TLgToken&, const TLgLogEntry& e) { return e.SessionName(); }, false},
      {"%hostname%", [](const TLgToken&, const TLgLogEntry& e) { return e.HostName(); }, false},
      {"%title%", [](const TLgToken&, const TLgLogEntry& e) { return e.Title(); }, true},
      {"%timestamp%", TimestampText, false},
      {"%level%",
       [](const TLgToken&, const TLgLogEntry& e) { return std::string(LevelName(e.Level())); },
       false},
      {"%color%", ColorText, false},
      {"%logentrytype%",
       [](const TLgToken&, const TLgLogEntry& e) {
         return std::string(LogEntryTypeName(e.LogEntryType()));
       },
       false},
      {"%viewerid%",
       [](const TLgToken&, const TLgLogEntry& e) {
         return std::string(ViewerIdName(e.ViewerId()));
       },
       false},
      {"%thread%",
       [](const TLgToken&, const TLgLogEntry& e) { return std::to_string(e.ThreadId()); }, false},
      {"%process%",
       [](const TLgToken&, const TLgLogEntry& e) { return std::to_string(e.ProcessId()); }, false},
  };
  return kinds;
}

int ParseWidth(std::string_view text) {
  text = TrimText(text);
  if (text.empty()) return 0;
  int value = 0;
  const char* begin = text.data();
  if (*begin == '+') ++begin;
  const auto [end, error] = std::from_chars(begin, text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return 0;
  return value;
}

}  // namespace

std::unique_ptr<TLgToken> TLgTokenFactory::GetToken(std::string_view text) {
  if (text.size() < 3 || text.front() != '%' || text.back() != '%') {
    return std::make_unique<TLgLiteralToken>(std::string(text));
  }
  std::string name(text);
  std::string options;
  const size_t open = name.find('{');
  if (name[name.size() - 2] == '}' && open != std::string::npos) {
    const size_t close = name.size() - 2;
    if (open < close) {
      options = name.substr(open + 1, close - open - 1);
      name.erase(open, close - open + 1);
    }
  }
  std::string width;
  const size_t comma = name.find(',');
  if (comma != std::string::npos) {
    width = name.substr(comma + 1, name.size() - 1 - (comma + 1));
    name.erase(comma, name.size() - 1 - comma);
  }
  for (const TokenKind& kind : TokenKinds()) {
    if (SameText(name, kind.name)) {
      return std::make_unique<TLgFieldToken>(options, std::string(text), ParseWidth(width),
                                             kind.expander, kind.indent);
    }
  }
  return std::make_unique<TLgLiteralToken>(std::string(text));
}

void TLgPatternParser::SetPattern(std::string_view pattern) {
  pattern_ = std::string(TrimText(pattern));
  indent_level_ = 0;
  tokens_.clear();
  size_t position = 0;
  while (position < pattern_.size()) {
    size_t end;
    if (pattern_[position] == '%') {
      const size_t close = pattern_.find('%', position + 1);
      end = close == std::string::npos ? pattern_.size() : close + 1;
    } else {
      end = pattern_.find('%', position);
      if (end == std::string::npos) end = pattern_.size();
    }
    tokens_.push_back(
        TLgTokenFactory::GetToken(std::string_view(pattern_).substr(position, end - position)));
    position = end;
  }
}

std::string TLgPatternParser::Expand(const TLgLogEntry& entry) {
  if (tokens_.empty()) return {};
  builder_.Clear();
  if (entry.LogEntryType() == TLgLogEntryType::LeaveMethod && indent_level_ >= 1) {
    --indent_level_;
  }
  for (const auto& token : tokens_) {
    if (indent_ && token->Indent()) {
      for (int i = 0; i < indent_level_; ++i) builder_.Append("   ");
    }
    std::string text = token->Expand(entry);
    const int width = token->Width();
    const size_t wanted = static_cast<size_t>(std::abs(width));
    const size_t length = Utf16Length(text);
    if (width != 0 && length < wanted) {
      const std::string padding(wanted - length, ' ');
      text = width > 0 ? padding + text : text + padding;
    }
    builder_.Append(text);
  }
  if (entry.LogEntryType() == TLgLogEntryType::EnterMethod) ++indent_level_;
  return builder_.Text();
}

int64_t TLgTextFormatter::Compile(const TLgPacket& packet) {
  line_.clear();
  if (packet.PacketType() != TLgPacketType::LogEntry) return 0;
  line_ = parser_.Expand(static_cast<const TLgLogEntry&>(packet));
  line_ += "\r\n";
  return static_cast<int64_t>(line_.size());
}

void TLgTextFormatter::Write(TLgByteStream& stream) {
  if (line_.empty()) return;
  if (stream.Write(line_.data(), line_.size()) != line_.size()) {
    throw ELogCenterError("Stream write error");
  }
}

}  // namespace parlevo::logging
