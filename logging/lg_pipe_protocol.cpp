#include "logging/lg_pipe_protocol.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "logging/lg_exceptions.h"
#include "logging/lg_platform.h"

namespace parlevo::logging {
namespace {

constexpr size_t kBufferSize = 8192;

}  // namespace

std::string LgPipePath(const std::string& pipe_name) {
  return "/tmp/" + pipe_name;
}

TLgPipeProtocol::TLgPipeProtocol() {
  TLgPipeProtocol::LoadOptions();
}

TLgPipeProtocol::~TLgPipeProtocol() {
  Shutdown();
}

bool TLgPipeProtocol::IsValidOption(std::string_view name) const {
  return name == "pipename" || TLgProtocolBase::IsValidOption(name);
}

void TLgPipeProtocol::LoadOptions() {
  TLgProtocolBase::LoadOptions();
  pipe_name_ = Options().GetStringValue("pipename", "logcenter");
}

void TLgPipeProtocol::BuildOptions(TLgConnectionsBuilder& builder) const {
  TLgProtocolBase::BuildOptions(builder);
  builder.AddOption("pipename", std::string_view(pipe_name_));
}

bool TLgPipeProtocol::OpenPipe(bool raise_when_absent) {
  const std::string path = LgPipePath(pipe_name_);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    throw ELogCenterError("Pipe name too long: \"" + pipe_name_ + "\"");
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

  // Non-blocking connect: a viewer whose accept queue is full must not hold up the caller.
  TLgFileHandle socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket.Valid()) throw ELogCenterError(LgSysErrorMessage(errno));
  const int fd = socket.Get();
  WatchSocket(fd);
  // From here the stream owns the socket, and InternalDisconnect forgets it before closing it.
  stream_ = std::make_unique<TLgSocketStream>(std::move(socket));
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    InternalDisconnect();
    if (!raise_when_absent) return false;
    throw ELogCenterError(LgSysErrorMessage(error));
  }
  // Back to blocking calls, bounded by the time limits.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    throw ELogCenterError(LgSysErrorMessage(errno));
  }
  LgSetSocketTimeouts(fd, io_timeout_);

  stream_->ReadLine("Pipe connection has been unexpectedly closed");
  std::string greeting(kLgClientGreeting);
  greeting += '\n';
  stream_->Write(greeting.data(), greeting.size());
  buffered_ = std::make_unique<TLgBufferedStream>(stream_.get(), kBufferSize);
  WriteLogHeader();
  return true;
}

void TLgPipeProtocol::InternalConnect() {
  OpenPipe(true);
}

bool TLgPipeProtocol::InternalReconnect() {
  return OpenPipe(false);
}

void TLgPipeProtocol::InternalDisconnect() {
  std::exception_ptr first_error;
  if (buffered_) {
    try {
      buffered_->Flush();
    } catch (...) {
      first_error = std::current_exception();
      buffered_->Discard();
    }
    buffered_.reset();
  }
  if (stream_) {
    ForgetSocket();
    stream_->Close();
    stream_.reset();
  }
  if (first_error) std::rethrow_exception(first_error);
}

void TLgPipeProtocol::InternalWritePacket(const TLgPacketPtr& packet) {
  formatter_.Format(*packet, *buffered_);
  buffered_->Flush();
}

}  // namespace parlevo::logging
