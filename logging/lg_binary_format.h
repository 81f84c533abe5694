// The binary log format every non-text output writes (pipe, TCP, ".lgf" files, the memory
// dump): each packet is a 2-byte type code and a 4-byte body size, both little-endian, followed
// by the body. Also the log header packet a connection-oriented output sends first, and the
// formatter interface the text output shares.
//
// Thread safety: a formatter keeps the packet it compiled last; one thread at a time (the
// owning protocol's lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "logging/lg_crypto_stream.h"
#include "logging/lg_packets.h"
#include "logging/lg_streams.h"

namespace parlevo::logging {

// The line a client sends after the viewer's greeting line (without its line feed).
inline constexpr std::string_view kLgClientGreeting = "Parlevo logging library 1.0";

// The four bytes a binary log file (and a binary memory dump) starts with.
inline constexpr std::string_view kLgBinarySignature = "LOGF";

// Size of the framing in front of every packet body.
inline constexpr size_t kLgPacketFrameSize = 6;

// The first packet on a new connection: which host and application the stream comes from.
class TLgLogHeader final : public TLgPacket {
 public:
  TLgLogHeader(std::string host_name, std::string app_name);

  // Content length in characters plus 4.
  int64_t Size() const override;
  TLgPacketType PacketType() const override { return TLgPacketType::LogHeader; }

  const std::string& HostName() const { return host_name_; }
  const std::string& AppName() const { return app_name_; }
  // "hostname=<host>" CR LF "appname=<app>" CR LF.
  std::string Content() const;

 private:
  std::string host_name_;
  std::string app_name_;
};

// Turns packets into bytes: Compile prepares a packet and says how many bytes Write will
// produce; Write puts them on a stream.
class TLgFormatter {
 public:
  virtual ~TLgFormatter() = default;
  TLgFormatter(const TLgFormatter&) = delete;
  TLgFormatter& operator=(const TLgFormatter&) = delete;

  virtual int64_t Compile(const TLgPacket& packet) = 0;
  virtual void Write(TLgByteStream& stream) = 0;
  void Format(const TLgPacket& packet, TLgByteStream& stream) {
    Compile(packet);
    Write(stream);
  }

 protected:
  TLgFormatter() = default;
};

class TLgBinaryFormatter final : public TLgFormatter {
 public:
  TLgBinaryFormatter() = default;

  // The framed size (body + 6). The body buffer is reused from packet to packet and given back
  // after a body of more than 1 MiB.
  int64_t Compile(const TLgPacket& packet) override;
  // Framing, then body; nothing for an empty body.
  void Write(TLgByteStream& stream) override;

 private:
  TLgMemoryStream body_;
  size_t body_size_ = 0;
  uint16_t type_code_ = 0;
};

}  // namespace parlevo::logging
