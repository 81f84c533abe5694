#include "logging/lg_tcp_protocol.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "logging/lg_exceptions.h"

namespace parlevo::logging {
namespace {

constexpr size_t kBufferSize = 8192;
constexpr int kConnectSocketTimeout = 30000;
constexpr const char* kClosedMessage = "Socket connection has been unexpectedly closed";

[[noreturn]] void RaiseSocketError(int error) {
  throw ELogCenterError(LgSysErrorMessage(error));
}

in_addr ResolveHost(const std::string& host) {
  in_addr address{};
  if (::inet_pton(AF_INET, host.c_str(), &address) == 1) return address;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int result = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (result != 0 || found == nullptr) {
    throw ELogCenterError(result == EAI_SYSTEM ? LgSysErrorMessage(errno)
                                               : std::string(::gai_strerror(result)));
  }
  address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  ::freeaddrinfo(found);
  return address;
}

}  // namespace

void TLgTcpClient::Connect(int timeout) {
  if (connected_) throw ELogCenterError("Connection already established");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port_);
  address.sin_addr = ResolveHost(host_);

  Disconnect();  // a socket left from a failed attempt goes first
  socket_ = TLgFileHandle(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!socket_.Valid()) RaiseSocketError(errno);
  try {
    SetTimeout(kConnectSocketTimeout);
    // Non-blocking for good: every wait is a poll bounded by its deadline and the wait limit.
    LgSetNonBlocking(socket_.Get(), true);
    if (::connect(socket_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
        0) {
      if (errno != EINPROGRESS) RaiseSocketError(errno);
      try {
        if (limit_) {
          limit_->Wait(socket_.Get(), POLLOUT, LgDeadlineAfter(timeout));
        } else {
          pollfd poll_fd{socket_.Get(), POLLOUT, 0};
          int ready;
          do {
            ready = ::poll(&poll_fd, 1, timeout < 1 ? -1 : timeout);
          } while (ready < 0 && errno == EINTR);
          if (ready == 0) RaiseSocketError(ETIMEDOUT);
          if (ready < 0) RaiseSocketError(errno);
        }
      } catch (const ELogCenterError& e) {
        if (std::string_view(e.what()) == LgSysErrorMessage(ETIMEDOUT)) {
          throw ELogCenterError("Timed out while trying to connect");
        }
        throw;
      }
      int error = 0;
      socklen_t length = sizeof error;
      if (::getsockopt(socket_.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        RaiseSocketError(errno);
      }
      if (error != 0) RaiseSocketError(error);
    }
  } catch (...) {
    Disconnect();
    throw;
  }
  connected_ = true;
}

void TLgTcpClient::Disconnect() noexcept {
  connected_ = false;
  if (socket_.Valid()) {
    ::shutdown(socket_.Get(), SHUT_WR);
    socket_.Close();
  }
  // The limits belong to the socket: a new one must get them set again.
  timeout_ = 0;
}

void TLgTcpClient::RequireConnection() const {
  if (!connected_) throw ELogCenterError("No socket connection established");
}

size_t TLgTcpClient::Receive(void* buffer, size_t count) {
  RequireConnection();
  if (count < 1) return 0;
  return TLgSocketIo(socket_.Get(), limit_).ReceiveAll(buffer, count, LgDeadlineAfter(timeout_));
}

size_t TLgTcpClient::Send(const void* buffer, size_t count) {
  RequireConnection();
  if (count < 1) return 0;
  TLgSocketIo(socket_.Get(), limit_).SendAll(buffer, count, LgDeadlineAfter(timeout_));
  return count;
}

std::string TLgTcpClient::ReadLine() {
  RequireConnection();
  return TLgSocketIo(socket_.Get(), limit_).ReceiveLine(LgDeadlineAfter(timeout_), kClosedMessage);
}

void TLgTcpClient::WriteLine(const std::string& line) {
  const std::string text = line + '\n';
  Send(text.data(), text.size());
}

void TLgTcpClient::SetTimeout(int milliseconds) {
  if (!socket_.Valid()) throw ELogCenterError("Invalid socket handle");
  if (milliseconds == timeout_) return;
  LgSetSocketTimeouts(socket_.Get(), milliseconds);
  timeout_ = milliseconds;
}

TLgTcpProtocol::TLgTcpProtocol() {
  TLgTcpProtocol::LoadOptions();
}

bool TLgTcpProtocol::IsValidOption(std::string_view name) const {
  return name == "host" || name == "port" || name == "timeout" ||
         TLgProtocolBase::IsValidOption(name);
}

void TLgTcpProtocol::LoadOptions() {
  TLgProtocolBase::LoadOptions();
  host_ = Options().GetStringValue("host", "127.0.0.1");
  port_ = static_cast<uint16_t>(Options().GetIntegerValue("port", 4228));
  timeout_ = Options().GetIntegerValue("timeout", 30000);
  client_ = std::make_unique<TLgTcpClient>(host_, port_, &WaitLimit());
}

void TLgTcpProtocol::BuildOptions(TLgConnectionsBuilder& builder) const {
  TLgProtocolBase::BuildOptions(builder);
  builder.AddOption("host", std::string_view(host_));
  builder.AddOption("port", port_);
  builder.AddOption("timeout", timeout_);
}

void TLgTcpProtocol::InternalConnect() {
  RequireNotAbandoned();
  client_->Connect(timeout_);
  client_->SetTimeout(timeout_);
  client_stream_ = std::make_unique<TLgTcpClientStream>(client_.get());
  client_->ReadLine();  // the server's greeting
  client_->WriteLine(std::string(kLgClientGreeting));
  buffered_ = std::make_unique<TLgBufferedStream>(client_stream_.get(), kBufferSize);
  WriteLogHeader();
}

void TLgTcpProtocol::InternalDisconnect() {
  client_->Disconnect();
  if (buffered_) buffered_->Discard();  // the connection is gone; nothing more can be sent
  buffered_.reset();
  client_stream_.reset();
}

void TLgTcpProtocol::InternalWritePacket(const TLgPacketPtr& packet) {
  CompileShared(formatter_, *packet);
  formatter_.Write(*buffered_);
  buffered_->Flush();
  char answer[2];
  if (buffered_->Read(answer, sizeof answer) < sizeof answer) {
    throw ELogCenterError(kClosedMessage);
  }
}

}  // namespace parlevo::logging
