#include "logging/lg_memory_protocol.h"

#include "logging/lg_exceptions.h"

namespace parlevo::logging {

TLgMemoryProtocol::TLgMemoryProtocol() {
  TLgMemoryProtocol::LoadOptions();
}

bool TLgMemoryProtocol::IsValidOption(std::string_view name) const {
  for (std::string_view option : {"maxsize", "astext", "pattern", "indent"}) {
    if (name == option) return true;
  }
  return TLgProtocolBase::IsValidOption(name);
}

void TLgMemoryProtocol::LoadOptions() {
  TLgProtocolBase::LoadOptions();
  as_text_ = Options().GetBooleanValue("astext", false);
  max_size_ = Options().GetSizeValue("maxsize", 2048);
  pattern_ = Options().GetStringValue("pattern", kLgDefaultPattern);
  indent_ = Options().GetBooleanValue("indent", false);
  if (as_text_) {
    auto text = std::make_unique<TLgTextFormatter>();
    text->SetPattern(pattern_);
    text->SetIndent(indent_);
    formatter_ = std::move(text);
  } else {
    formatter_ = std::make_unique<TLgBinaryFormatter>();
  }
}

void TLgMemoryProtocol::BuildOptions(TLgConnectionsBuilder& builder) const {
  TLgProtocolBase::BuildOptions(builder);
  builder.AddOption("maxsize", max_size_ / 1024);
  builder.AddOption("astext", as_text_);
  builder.AddOption("indent", indent_);
  builder.AddOption("pattern", std::string_view(pattern_));
}

void TLgMemoryProtocol::InternalConnect() {
  if (queue_) return;  // kept between the flushes of a protocol that connects per flush
  queue_ = std::make_unique<TLgPacketQueue>();
  queue_->SetBacklog(max_size_);
}

void TLgMemoryProtocol::InternalDisconnect() {
  if (!queue_) return;
  queue_->Clear();
  queue_.reset();
}

void TLgMemoryProtocol::InternalWritePacket(const TLgPacketPtr& packet) {
  if (queue_) queue_->Push(packet);
}

void TLgMemoryProtocol::InternalDispatch(const TLgDispatchArgument& argument) {
  if (!queue_) return;
  if (const auto* stream = std::get_if<std::shared_ptr<TLgByteStream>>(&argument)) {
    if (!*stream) return;
    TLgByteStream& target = **stream;
    if (as_text_) {
      static constexpr unsigned char kByteOrderMark[] = {0xEF, 0xBB, 0xBF};
      target.Write(kByteOrderMark, sizeof kByteOrderMark);
    } else {
      target.Write(kLgBinarySignature.data(), kLgBinarySignature.size());
    }
    while (TLgPacketPtr packet = queue_->Pop()) {
      packet->Lock();
      try {
        formatter_->Format(*packet, target);
      } catch (...) {
        packet->Unlock();
        throw;
      }
      packet->Unlock();
    }
  } else if (const auto* protocol = std::get_if<TLgProtocol*>(&argument)) {
    if (*protocol == nullptr) return;
    while (TLgPacketPtr packet = queue_->Pop()) (*protocol)->WritePacket(packet);
  }
}

}  // namespace parlevo::logging
