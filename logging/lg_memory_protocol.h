// The "mem" output: keeps the newest packets in memory, bounded in bytes (each packet counts its
// size plus 12), and writes them out only when dispatched: to a stream as a complete binary log
// ("LOGF" and the packets) or, with "astext", as UTF-8 text lines after a byte-order mark; or
// to another protocol through that protocol's normal write. The queue empties as it is written.
//
// Options besides the common ones: "maxsize" (size, default 2048 KB), "astext", "pattern",
// "indent" (the text output's).
//
// Thread safety: as TLgProtocolBase.
#pragma once

#include <memory>
#include <string>

#include "logging/lg_binary_format.h"
#include "logging/lg_packet_queue.h"
#include "logging/lg_protocol_base.h"
#include "logging/lg_text_format.h"

namespace parlevo::logging {

class TLgMemoryProtocol : public TLgProtocolBase {
 public:
  std::string GetName() const override { return "mem"; }
  int64_t MaxSize() const { return max_size_; }
  bool AsText() const { return as_text_; }
  // Packets held (0 when not connected).
  int QueueCount() const { return queue_ ? queue_->Count() : 0; }
  int64_t QueueSize() const { return queue_ ? queue_->Size() : 0; }

 protected:
  // Made as TLgOutput<TLgMemoryProtocol>, which closes the connection on destruction.
  TLgMemoryProtocol();

  void BuildOptions(TLgConnectionsBuilder& builder) const override;
  void LoadOptions() override;
  bool IsValidOption(std::string_view name) const override;
  void InternalConnect() override;
  void InternalDisconnect() override;
  void InternalWritePacket(const TLgPacketPtr& packet) override;
  void InternalDispatch(const TLgDispatchArgument& argument) override;
  // Between the flushes of a protocol that connects per flush the queue is what is kept.
  void InternalFlushDisconnect() override {}

 private:
  std::unique_ptr<TLgFormatter> formatter_;
  bool as_text_ = false;
  bool indent_ = false;
  std::string pattern_;
  int64_t max_size_ = 0;
  std::unique_ptr<TLgPacketQueue> queue_;
};

}  // namespace parlevo::logging
