// The interface of an output protocol (a log destination such as "file" or "pipe") as the
// logging core and the protocol factory use it. The shared protocol machinery (options,
// reconnect, backlog, asynchronous mode) and the concrete destinations derive from it.
//
// Thread safety: an implementation serializes Initialize, Connect, Disconnect and WritePacket
// itself; the core may call them from any thread. An asynchronous protocol reports failures from
// its own worker thread through the error handler.
#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include "logging/lg_level.h"
#include "logging/lg_packets.h"

namespace parlevo::logging {

class TLgProtocol {
 public:
  // Receives the failures an asynchronous protocol cannot raise to a caller.
  using ErrorHandler = std::function<void(TLgProtocol& sender, const std::exception& error)>;

  virtual ~TLgProtocol() = default;
  TLgProtocol(const TLgProtocol&) = delete;
  TLgProtocol& operator=(const TLgProtocol&) = delete;

  // The registry name ("file", "pipe", ...).
  virtual std::string GetName() const = 0;
  // Applies the options text once; raises ELogCenterError for malformed text or an option the
  // protocol does not accept.
  virtual void Initialize(std::string_view options) = 0;
  // Raise ELgProtocolError on failure (synchronous protocols); the core reports it.
  virtual void Connect() = 0;
  virtual void Disconnect() = 0;
  // Disconnect for a stopping program: an output that writes from its own thread and is still
  // busy at deadline gives up on what it could not write by then.
  virtual void DisconnectBy(std::chrono::steady_clock::time_point deadline) { Disconnect(); }
  // From now until the next Connect, no call of the output waits for its peer beyond deadline,
  // a wait in progress included; a call that need not wait still goes through. For a stop:
  // outputs stalled together all give up by one deadline. Any thread, any time.
  virtual void LimitWaits(std::chrono::steady_clock::time_point deadline) noexcept {}
  virtual void WritePacket(const TLgPacketPtr& packet) = 0;

  // True when a worker thread of the protocol does the writing; packets must then be
  // thread-safe before they are handed over.
  virtual bool AsyncEnabled() const = 0;
  // The protocol's own minimum level (option "level").
  virtual TLgLevel Level() const = 0;

  // Written into the log header the protocol sends on connecting.
  virtual void SetHostName(std::string host_name) = 0;
  virtual void SetAppName(std::string app_name) = 0;
  virtual void SetOnError(ErrorHandler handler) = 0;

 protected:
  TLgProtocol() = default;
};

}  // namespace parlevo::logging
