// What every output protocol shares: the options common to all of them and their defaults, the
// connection state with reconnect attempts at an interval, the backlog that holds packets back
// until one of high enough level arrives, the asynchronous mode in which a scheduler thread does
// the writing, and the turning of failures into ELgProtocolError reports. A concrete protocol
// implements only its own connect, write and disconnect (and its options).
//
// Common options: "level", "caption", "reconnect", "reconnect.interval", "backlog.enabled",
// "backlog.queue", "backlog.flushon", "backlog.keepopen", "async.enabled", "async.throttle",
// "async.queue", "async.clearondisconnect", and the old forms "backlog", "flushon", "keepopen".
//
// Thread safety: Initialize, Connect, Disconnect, WritePacket and Dispatch are serialized by
// the protocol's own lock and may be called from any thread. In asynchronous mode they only
// queue commands; the connection is then touched by the scheduler thread alone, and failures
// are reported through the error handler from that thread. Level and AsyncEnabled are read
// without the lock.
//
// A concrete protocol's constructor ends with LoadOptions(); its destructor starts with
// Shutdown(), so that the connection is closed while the derived parts still exist.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "logging/lg_configuration.h"
#include "logging/lg_connections.h"
#include "logging/lg_exceptions.h"
#include "logging/lg_packet_queue.h"
#include "logging/lg_protocol.h"
#include "logging/lg_scheduler.h"

namespace parlevo::logging {

class TLgProtocolBase : public TLgProtocol, private TLgSchedulerTarget {
 public:
  // Milliseconds of a monotonic clock; tests put in their own.
  using TickSource = std::function<int64_t()>;

  ~TLgProtocolBase() override;

  void Initialize(std::string_view options) override;
  // How long an asynchronous Disconnect waits for the queued packets to be written.
  static constexpr std::chrono::milliseconds kStopGrace{1000};

  void Connect() override;
  void Disconnect() override;
  void DisconnectBy(std::chrono::steady_clock::time_point deadline) override;
  void WritePacket(const TLgPacketPtr& packet) override;
  // Hands the argument to the protocol's dispatch operation (the memory protocol writes its
  // queue to a stream or another protocol); in asynchronous mode on the scheduler thread.
  void Dispatch(TLgDispatchArgument argument);

  bool AsyncEnabled() const override { return async_enabled_.load(std::memory_order_acquire); }
  TLgLevel Level() const override { return level_.load(std::memory_order_relaxed); }
  void SetHostName(std::string host_name) override;
  void SetAppName(std::string app_name) override;
  void SetOnError(ErrorHandler handler) override;

  // The options as an option list (for error reports).
  std::string BuildOptionsString() const;
  const TLgLookupTable& Options() const { return options_; }

  bool Connected() const { return connected_.load(std::memory_order_acquire); }
  bool Failed() const override { return failed_.load(std::memory_order_acquire); }
  const std::string& Caption() const { return caption_; }
  bool Reconnect() const { return reconnect_; }
  uint32_t ReconnectInterval() const { return reconnect_interval_; }
  bool BacklogEnabled() const { return backlog_enabled_; }
  int64_t BacklogQueue() const { return backlog_queue_; }
  TLgLevel FlushOn() const { return flush_on_; }
  bool BacklogKeepOpen() const { return backlog_keep_open_; }
  bool KeepOpen() const { return keep_open_; }
  bool AsyncThrottle() const { return async_throttle_; }
  int64_t AsyncQueue() const { return async_queue_; }
  bool AsyncClearOnDisconnect() const { return async_clear_on_disconnect_; }
  // Packets held in the backlog.
  int BacklogCount() const;

  // Replaces the clock of the reconnect interval.
  void SetTickSource(TickSource source);

 protected:
  TLgProtocolBase();

  // Closes the connection (stopping the scheduler); never throws. Concrete destructors call it.
  void Shutdown() noexcept;

  virtual void BuildOptions(TLgConnectionsBuilder& builder) const;
  virtual void LoadOptions();
  virtual bool IsValidOption(std::string_view name) const;
  virtual void InternalConnect() = 0;
  // The connect of a reconnect attempt: false when the peer is not there.
  virtual bool InternalReconnect();
  // Must tolerate being called when nothing is open.
  virtual void InternalDisconnect() = 0;
  virtual void InternalWritePacket(const TLgPacketPtr& packet) = 0;
  virtual void InternalDispatch(const TLgDispatchArgument& argument) {}
  // The close after a flush of a protocol that does not keep its connection open.
  virtual void InternalFlushDisconnect() { InternalDisconnect(); }

  // Sends the log header (host and application name) through InternalWritePacket.
  void WriteLogHeader();
  std::string HostName() const;
  std::string AppName() const;
  // True while a protocol that connects per flush reopens after its first flush since Connect:
  // a file must then be continued, not started again.
  bool Reopening() const { return reopening_; }
  TLgLookupTable& MutableOptions() { return options_; }
  // Registers the socket a blocking call of the worker may wait on, so that a stop can wake it.
  // Raises ELogCenterError when the protocol has been given up on (the caller then closes fd).
  void WatchSocket(int fd);
  // Forgets the registered socket; call before closing it.
  void ForgetSocket() noexcept;

 private:
  void RunCommand(const TLgSchedulerCommand& command) override;
  void ImplConnect();
  void ImplWritePacket(const TLgPacketPtr& packet);
  void ImplDisconnect();
  void ImplDispatch(const TLgDispatchArgument& argument);
  void ForwardPacket(const TLgPacketPtr& packet, bool disconnect_after);
  void TryReconnect();
  void Reset();
  void ResetQuietly() noexcept;
  // Marks the failure and raises it (synchronous) or reports it (asynchronous).
  void HandleException(const std::string& message);
  void StoreOption(const std::string& key, const std::string& value);
  int64_t Tick() const;
  // Gives up on the connection from another thread: wakes the worker and keeps it from
  // connecting again.
  void Abandon() noexcept;
  bool Abandoned() const { return abandoned_.load(std::memory_order_acquire); }

  std::mutex main_lock_;
  mutable std::mutex event_lock_;
  ErrorHandler on_error_;
  std::string host_name_;
  std::string app_name_;
  TickSource tick_source_;

  TLgLookupTable options_;
  TLgPacketQueue queue_;
  std::unique_ptr<TLgScheduler> scheduler_;

  std::atomic<TLgLevel> level_{TLgLevel::Debug};
  std::string caption_;
  bool reconnect_ = false;
  uint32_t reconnect_interval_ = 0;
  std::optional<int64_t> reconnect_tick_;
  bool backlog_enabled_ = false;
  int64_t backlog_queue_ = 2048 * 1024;
  TLgLevel flush_on_ = TLgLevel::Error;
  bool backlog_keep_open_ = false;
  bool keep_open_ = true;
  std::atomic<bool> async_enabled_{false};
  bool async_throttle_ = true;
  int64_t async_queue_ = 2048 * 1024;
  bool async_clear_on_disconnect_ = false;

  std::mutex socket_lock_;  // guards watched_socket_ against its closing
  int watched_socket_ = -1;
  std::atomic<bool> abandoned_{false};

  std::atomic<bool> connected_{false};
  std::atomic<bool> failed_{false};
  bool initialized_ = false;
  bool reopening_ = false;
};

}  // namespace parlevo::logging
