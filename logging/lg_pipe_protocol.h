// The "pipe" output: packets in the binary log format to a log viewer on the same machine. The
// viewer serves a Unix domain stream socket at "/tmp/" + pipe name (option "pipename", default
// "logcenter", so "/tmp/logcenter"). On connecting, the viewer sends a greeting line (ended by a
// line feed), the client answers with its own greeting line and sends the log header; then
// every packet follows, each flushed before the write returns.
//
// Reads and writes on the socket have a time limit, so a viewer that accepts and never answers,
// or stops reading, makes the output fail (and later reconnect) instead of holding up every
// thread that logs.
//
// Thread safety: as TLgProtocolBase.
#pragma once

#include <memory>
#include <string>

#include "logging/lg_binary_format.h"
#include "logging/lg_protocol_base.h"
#include "logging/lg_streams.h"

namespace parlevo::logging {

// The socket path of a pipe name.
std::string LgPipePath(const std::string& pipe_name);

class TLgPipeProtocol final : public TLgProtocolBase {
 public:
  // Time limit of every read and write on the pipe, in milliseconds.
  static constexpr int kDefaultIoTimeout = 5000;

  TLgPipeProtocol();
  ~TLgPipeProtocol() override;

  std::string GetName() const override { return "pipe"; }
  const std::string& PipeName() const { return pipe_name_; }
  // Replaces the read and write time limit (tests).
  void SetIoTimeout(int milliseconds) { io_timeout_ = milliseconds; }

 protected:
  void BuildOptions(TLgConnectionsBuilder& builder) const override;
  void LoadOptions() override;
  bool IsValidOption(std::string_view name) const override;
  void InternalConnect() override;
  bool InternalReconnect() override;
  void InternalDisconnect() override;
  void InternalWritePacket(const TLgPacketPtr& packet) override;

 private:
  // False when nothing serves the pipe (and raise_when_absent is false).
  bool OpenPipe(bool raise_when_absent);

  TLgBinaryFormatter formatter_;
  std::string pipe_name_ = "logcenter";
  int io_timeout_ = kDefaultIoTimeout;
  std::unique_ptr<TLgSocketStream> stream_;
  std::unique_ptr<TLgBufferedStream> buffered_;
};

}  // namespace parlevo::logging
