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
// without the lock. The error handler may call Disconnect and Connect (the worker then ends
// once it is back in its loop, and another thread frees it); it must not destroy the protocol.
//
// A concrete protocol's constructor ends with LoadOptions(). It is made as TLgOutput<P>, whose
// destructor closes the connection while the protocol's own parts still exist, so that no
// protocol has to remember it.
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

#include "logging/lg_binary_format.h"
#include "logging/lg_configuration.h"
#include "logging/lg_connections.h"
#include "logging/lg_exceptions.h"
#include "logging/lg_packet_queue.h"
#include "logging/lg_protocol.h"
#include "logging/lg_scheduler.h"
#include "logging/lg_streams.h"

namespace parlevo::logging {

class TLgProtocolBase : public TLgProtocol, private TLgSchedulerTarget {
 public:
  // Milliseconds of a monotonic clock; tests put in their own.
  using TickSource = std::function<int64_t()>;

  // Entry points of every output, final: a concrete protocol implements only the Internal
  // operations below, so the locking, backlog and asynchronous mode stay in one place.
  ~TLgProtocolBase() override;

  void Initialize(std::string_view options) final;
  // How long an asynchronous Disconnect waits for the queued packets to be written.
  static constexpr std::chrono::milliseconds kStopGrace{1000};

  void Connect() final;
  void Disconnect() final;
  void DisconnectBy(std::chrono::steady_clock::time_point deadline) final;
  void LimitWaits(std::chrono::steady_clock::time_point deadline) noexcept final;
  // Packets that arrive while the protocol is not connected by its owner (before Connect,
  // after Disconnect) are dropped: a late packet must not open a connection again.
  void WritePacket(const TLgPacketPtr& packet) final;
  // Hands the argument to the protocol's dispatch operation (the memory protocol writes its
  // queue to a stream or another protocol); in asynchronous mode on the scheduler thread.
  void Dispatch(TLgDispatchArgument argument);

  bool AsyncEnabled() const final { return async_enabled_.load(std::memory_order_acquire); }
  TLgLevel Level() const final { return level_.load(std::memory_order_relaxed); }
  void SetHostName(std::string host_name) final;
  void SetAppName(std::string app_name) final;
  void SetOnError(ErrorHandler handler) final;

  // The options as an option list (for error reports).
  std::string BuildOptionsString() const;
  const TLgLookupTable& Options() const { return options_; }

  bool Connected() const { return connected_.load(std::memory_order_acquire); }
  bool Failed() const final { return failed_.load(std::memory_order_acquire); }
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

  // Closes the connection (stopping the scheduler); never throws. TLgOutput's destructor calls it.
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
  // True once the output has been opened since Connect: a later open (a reconnect after a
  // failure, the next flush of a protocol that connects per flush) must continue a file, not
  // start it again. Only the open that starts the output may start the file afresh.
  bool Reopening() const { return reopening_; }
  // What every wait of the protocol's socket calls must honour (see LimitWaits).
  const TLgWaitLimit& WaitLimit() const { return wait_limit_; }
  // Raises ELogCenterError when the protocol has been given up on: no new connection then.
  void RequireNotAbandoned() const;
  // Compiles the packet with the formatter under the packet's lock: the lock is held only while
  // the packet is read, never across the I/O that writes the compiled bytes, so outputs that
  // share a packet never wait for each other's peers.
  static int64_t CompileShared(TLgFormatter& formatter, const TLgPacket& packet);

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
  // Gives up on the connection from another thread: ends the worker's waits at once and keeps
  // it from connecting again.
  void Abandon() noexcept;
  // True when the calling thread is the worker of the scheduler (or of one it replaced).
  bool OnSchedulerThread() const;
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

  TLgWaitLimit wait_limit_;
  std::atomic<bool> abandoned_{false};
  // A scheduler stopped from its own thread (by an error handler that disconnects): it is
  // still running and is freed only by another thread (its successor's worker or Disconnect).
  std::unique_ptr<TLgScheduler> retired_scheduler_;
  bool opened_ = false;    // between Connect and Disconnect
  bool stopping_ = false;  // a Disconnect waits for the worker to end (without the lock)

  std::atomic<bool> connected_{false};
  std::atomic<bool> failed_{false};
  bool initialized_ = false;
  bool reopening_ = false;
};

// A concrete protocol P as an object. Its constructors are protected, so that every output is
// made through this: the connection (and the scheduler thread that calls into P) ends here, before
// P's members go.
template <typename P>
class TLgOutput final : public P {
 public:
  TLgOutput() = default;
  ~TLgOutput() override { this->Shutdown(); }
};

}  // namespace parlevo::logging
