// The "tcp" output: packets in the binary log format over a TCP connection to a log viewer or
// collector. The server greets with a line, the client answers with its greeting line and the
// log header, then sends every packet and waits for a 2-byte answer to each.
//
// Options besides the common ones: "host" (default "127.0.0.1"; a name is looked up), "port"
// (default 4228), "timeout" (milliseconds, default 30000: the connect limit and the send and
// receive limit of the connection).
//
// Thread safety: as TLgProtocolBase. A TLgTcpClient is used by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "logging/lg_binary_format.h"
#include "logging/lg_platform.h"
#include "logging/lg_protocol_base.h"
#include "logging/lg_streams.h"

namespace parlevo::logging {

// A small IPv4 client socket whose calls wait at most their time limit (and the wait limit, when
// one is given). Sends never raise SIGPIPE. Failures raise ELogCenterError with the texts below
// or the system's message.
class TLgTcpClient {
 public:
  // limit may be null; it must outlive the client.
  TLgTcpClient(std::string host, uint16_t port, const TLgWaitLimit* limit = nullptr)
      : host_(std::move(host)), port_(port), limit_(limit) {}
  ~TLgTcpClient() { Disconnect(); }
  TLgTcpClient(const TLgTcpClient&) = delete;
  TLgTcpClient& operator=(const TLgTcpClient&) = delete;

  // Connects within timeout milliseconds (below 1: no limit); "Connection already established"
  // when connected, "Timed out while trying to connect" when the limit passes.
  void Connect(int timeout);
  // Shuts the sending side down and closes; a later connect gets a new socket.
  void Disconnect() noexcept;
  // Receives until count bytes came or the peer closed; returns the number received. Each
  // call may take up to Timeout() milliseconds (no limit while it is 0).
  size_t Receive(void* buffer, size_t count);
  size_t Send(const void* buffer, size_t count);
  // One line, without CR and LF, within Timeout() in all and at most kLgMaxLineLength long;
  // "Socket connection has been unexpectedly closed" when the peer closes first.
  std::string ReadLine();
  void WriteLine(const std::string& line);
  // Sets the send and receive limit of the socket when it differs from the last one set on it;
  // "Invalid socket handle" without a socket.
  void SetTimeout(int milliseconds);

  bool Connected() const { return connected_; }
  int Timeout() const { return timeout_; }
  // The socket descriptor (-1 when there is none).
  int Handle() const { return socket_.Get(); }
  const std::string& Host() const { return host_; }
  uint16_t Port() const { return port_; }

 private:
  void RequireConnection() const;

  bool connected_ = false;
  TLgFileHandle socket_;
  int timeout_ = 0;
  std::string host_;
  uint16_t port_;
  const TLgWaitLimit* limit_;
};

// A stream over a client: Read receives, Write sends.
class TLgTcpClientStream final : public TLgByteStream {
 public:
  explicit TLgTcpClientStream(TLgTcpClient* client) : client_(client) {}
  size_t Write(const void* data, size_t count) override { return client_->Send(data, count); }
  size_t Read(void* data, size_t count) override { return client_->Receive(data, count); }
  int64_t Seek(int64_t, TLgSeekOrigin) override { return -1; }

 private:
  TLgTcpClient* client_;
};

class TLgTcpProtocol : public TLgProtocolBase {
 public:
  std::string GetName() const override { return "tcp"; }
  const std::string& Host() const { return host_; }
  uint16_t Port() const { return port_; }
  int Timeout() const { return timeout_; }

 protected:
  // Made as TLgOutput<TLgTcpProtocol>, which closes the connection on destruction.
  TLgTcpProtocol();

  void BuildOptions(TLgConnectionsBuilder& builder) const override;
  void LoadOptions() override;
  bool IsValidOption(std::string_view name) const override;
  void InternalConnect() override;
  void InternalDisconnect() override;
  void InternalWritePacket(const TLgPacketPtr& packet) override;

 private:
  TLgBinaryFormatter formatter_;
  std::string host_ = "127.0.0.1";
  uint16_t port_ = 4228;
  int timeout_ = 30000;
  std::unique_ptr<TLgTcpClient> client_;
  std::unique_ptr<TLgTcpClientStream> client_stream_;
  std::unique_ptr<TLgBufferedStream> buffered_;
};

}  // namespace parlevo::logging
