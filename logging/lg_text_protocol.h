// The "text" output: the file output writing each log entry as one UTF-8 line shaped by a
// pattern, a byte-order mark at the start of every new file, and no process-flow or header
// packets. Options: those of the file output except "encrypt" and "key", plus "pattern"
// (default "[%timestamp%] %level%: %title%") and "indent". The default file is "log.txt".
//
// Thread safety: as TLgFileProtocol.
#pragma once

#include "logging/lg_file_protocol.h"
#include "logging/lg_text_format.h"

namespace parlevo::logging {

class TLgTextProtocol : public TLgFileProtocol {
 public:
  std::string GetName() const override { return "text"; }
  bool Indent() const { return indent_; }
  const std::string& Pattern() const { return pattern_; }

 protected:
  // Made as TLgOutput<TLgTextProtocol>, which closes the connection on destruction.
  TLgTextProtocol();

  void BuildOptions(TLgConnectionsBuilder& builder) const override;
  void LoadOptions() override;
  bool IsValidOption(std::string_view name) const override;
  TLgFormatter& Formatter() override { return formatter_; }
  std::string DefaultFileName() const override { return "log.txt"; }
  // The UTF-8 byte-order mark when the file is empty.
  int64_t WriteHeader(TLgByteStream& stream, int64_t size) override;

 private:
  TLgTextFormatter formatter_;
  bool indent_ = false;
  std::string pattern_{kLgDefaultPattern};
};

}  // namespace parlevo::logging
