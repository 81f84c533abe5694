// The "pipe" output: packets in the binary log format to a log viewer on the same machine. The
// viewer serves a Unix domain stream socket named by the option "pipename" (default "logcenter")
// in the output's socket folder (LgPipeFolder): a folder that only the service's user (and root)
// can create sockets in. On connecting, the output first checks who serves the socket: a viewer
// of another user is refused unless it belongs to the group the option "group" names. Then the
// viewer sends a greeting line (ended by a line feed), the client answers with its own greeting
// line and sends the log header; then every packet follows, each flushed before the write
// returns.
//
// Every read and write on the socket has a time limit (the greeting line a limit in all and in
// length), so a viewer that accepts and never answers, or stops reading, makes the output fail
// (and later reconnect) instead of holding up every thread that logs.
//
// Thread safety: as TLgProtocolBase.
#pragma once

#include <memory>
#include <string>

#include "logging/lg_binary_format.h"
#include "logging/lg_protocol_base.h"
#include "logging/lg_streams.h"

namespace parlevo::logging {

// The folder of the pipe sockets: $RUNTIME_DIRECTORY (the service's own runtime folder, which
// systemd creates with mode 0700 for the unit's RuntimeDirectory=; the first one when it lists
// several), else "/tmp/logcenter-" + the effective user id.
std::string LgPipeFolder();
// The socket path of a pipe name: LgPipeFolder() + "/" + name.
std::string LgPipePath(const std::string& pipe_name);

class TLgPipeProtocol : public TLgProtocolBase {
 public:
  // Time limit of every read and write on the pipe, in milliseconds.
  static constexpr int kDefaultIoTimeout = 5000;

  std::string GetName() const override { return "pipe"; }
  const std::string& PipeName() const { return pipe_name_; }
  // The group whose members' viewers are served besides the service's user and root (option
  // "group", a group name; empty: none).
  const std::string& Group() const { return group_; }
  // Replaces the read and write time limit (tests).
  void SetIoTimeout(int milliseconds) { io_timeout_ = milliseconds; }

 protected:
  // Made as TLgOutput<TLgPipeProtocol>, which closes the connection on destruction.
  TLgPipeProtocol();

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
  // Makes sure the folder exists and only the service's user (and the group) can create sockets
  // in it; raises ELogCenterError when it cannot be made so.
  void PrepareFolder(const std::string& folder) const;
  // Raises ELogCenterError unless the peer of the connected socket may read the trace.
  void CheckViewer(int fd) const;

  TLgBinaryFormatter formatter_;
  std::string pipe_name_ = "logcenter";
  std::string group_;
  int io_timeout_ = kDefaultIoTimeout;
  std::unique_ptr<TLgSocketStream> stream_;
  std::unique_ptr<TLgBufferedStream> buffered_;
};

}  // namespace parlevo::logging
