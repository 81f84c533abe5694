#include "logging/lg_text_protocol.h"

#include "logging/lg_exceptions.h"

namespace parlevo::logging {

TLgTextProtocol::TLgTextProtocol() {
  TLgTextProtocol::LoadOptions();
}

bool TLgTextProtocol::IsValidOption(std::string_view name) const {
  if (name == "encrypt" || name == "key") return false;
  if (name == "pattern" || name == "indent") return true;
  return TLgFileProtocol::IsValidOption(name);
}

void TLgTextProtocol::LoadOptions() {
  TLgFileProtocol::LoadOptions();
  indent_ = Options().GetBooleanValue("indent", false);
  pattern_ = Options().GetStringValue("pattern", kLgDefaultPattern);
  formatter_.SetIndent(indent_);
  formatter_.SetPattern(pattern_);
}

void TLgTextProtocol::BuildOptions(TLgConnectionsBuilder& builder) const {
  TLgFileProtocol::BuildOptions(builder);
  builder.AddOption("indent", indent_);
  builder.AddOption("pattern", std::string_view(pattern_));
}

int64_t TLgTextProtocol::WriteHeader(TLgByteStream& stream, int64_t size) {
  if (size != 0) return size;
  static constexpr unsigned char kByteOrderMark[] = {0xEF, 0xBB, 0xBF};
  if (stream.Write(kByteOrderMark, sizeof kByteOrderMark) != sizeof kByteOrderMark) {
    throw ELogCenterError("Stream write error");
  }
  return sizeof kByteOrderMark;
}

}  // namespace parlevo::logging
