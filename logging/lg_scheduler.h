// The worker of an asynchronous protocol: the protocol wraps each operation (connect, write a
// packet, disconnect, dispatch) into a command and hands it to its scheduler, whose one thread
// runs the commands in order. The command queue is bounded in bytes (each command counts its
// packet's size plus 12): without throttling the oldest pending packets are dropped to make
// room, so a producer never waits; with throttling the producer waits for room unless the
// protocol has failed. Connect, disconnect and dispatch commands are never dropped.
//
// Thread safety: Schedule, Clear and the accessors may be called from any thread (the owning
// protocol calls them under its own lock); Start and Stop by the owner only.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <variant>
#include <vector>

#include "logging/lg_crypto_stream.h"
#include "logging/lg_packets.h"

namespace parlevo::logging {

class TLgProtocol;

// What a dispatch hands the queued packets of a memory protocol to: a stream (kept alive by the
// command) or another protocol (which the caller keeps alive until the dispatch has run).
using TLgDispatchArgument =
    std::variant<std::monostate, std::shared_ptr<TLgByteStream>, TLgProtocol*>;

enum class TLgSchedulerAction : uint8_t {
  Connect = 0,
  WritePacket = 1,
  Disconnect = 2,
  Dispatch = 3
};

struct TLgSchedulerCommand {
  TLgSchedulerAction action = TLgSchedulerAction::Connect;
  TLgPacketPtr packet;           // WritePacket
  TLgDispatchArgument argument;  // Dispatch

  // The packet's size for WritePacket, else 0; computed once (the packet no longer changes).
  int64_t Size() const;

 private:
  mutable int64_t size_ = -1;
};

using TLgSchedulerCommandPtr = std::shared_ptr<TLgSchedulerCommand>;

// What a scheduler serves.
class TLgSchedulerTarget {
 public:
  virtual ~TLgSchedulerTarget() = default;
  // Runs one command on the worker thread; must not throw.
  virtual void RunCommand(const TLgSchedulerCommand& command) = 0;
  virtual bool Failed() const = 0;
};

// Commands oldest first, with their byte total. Not locked; the scheduler guards it.
class TLgSchedulerQueue {
 public:
  static constexpr int64_t kNodeOverhead = 12;
  using DeleteHandler = std::function<void(TLgSchedulerCommandPtr)>;

  explicit TLgSchedulerQueue(DeleteHandler on_delete = {}) : on_delete_(std::move(on_delete)) {}

  void Enqueue(TLgSchedulerCommandPtr command);
  TLgSchedulerCommandPtr Dequeue();
  // Drops WritePacket commands from the oldest until their sizes (each + 12) reach bytes.
  void Trim(int64_t bytes);
  // Drops every command.
  void Clear();
  int Count() const { return static_cast<int>(commands_.size()); }
  int64_t Size() const { return size_; }

 private:
  void Delete(TLgSchedulerCommandPtr command);

  std::list<TLgSchedulerCommandPtr> commands_;
  int64_t size_ = 0;
  DeleteHandler on_delete_;
};

class TLgScheduler {
 public:
  static constexpr int kBatchSize = 16;

  // target must outlive the scheduler. threshold: the queue limit in bytes. predecessor: a
  // stopped scheduler of the same target whose thread may still run (it was stopped from that
  // thread); the new worker waits for it to end and frees it before running any command.
  TLgScheduler(TLgSchedulerTarget& target, int64_t threshold, bool throttle,
               std::unique_ptr<TLgScheduler> predecessor = nullptr);
  // Stops (working off the queue unless the target has failed) and waits for the worker. Must
  // not run on the worker itself: a scheduler stopped from its own thread is freed by another.
  ~TLgScheduler();
  TLgScheduler(const TLgScheduler&) = delete;
  TLgScheduler& operator=(const TLgScheduler&) = delete;

  // Starts the worker thread once.
  void Start();
  // Lets the worker finish the queue (at once when the target fails meanwhile) and waits for it.
  // Called on the worker itself, it only tells the worker to stop once the queue is done.
  void Stop();
  // The same, but a worker still busy at deadline is given up on: overdue is called (it must make
  // the command under way end soon, e.g. by waking a blocked socket call), the pending commands
  // are dropped, and the worker is then waited for.
  void StopBy(std::chrono::steady_clock::time_point deadline, const std::function<void()>& overdue);
  // False before Start, after Stop, and for a command larger than the whole threshold.
  bool Schedule(TLgSchedulerCommandPtr command);
  // Drops every pending command.
  void Clear();
  // Tells the worker to end once the queue is done, without waiting for it (any thread, the
  // worker included).
  void RequestStop();
  // True when id is the worker's thread or that of a predecessor not yet freed.
  bool RunsOn(std::thread::id id) const;
  // Hands over an older stopped scheduler whose thread may still run; it is freed (after its
  // thread has ended) when this one is.
  void Retire(std::unique_ptr<TLgScheduler> older);

  int64_t Threshold() const { return threshold_; }
  bool Throttle() const { return throttle_; }
  int64_t QueueSize() const;
  int QueueCount() const;

 private:
  void Execute();
  int TakeBatch(std::vector<TLgSchedulerCommandPtr>& batch);
  // True when the worker must end.
  bool RunBatch(std::vector<TLgSchedulerCommandPtr>& batch);

  TLgSchedulerTarget& target_;
  const int64_t threshold_;
  const bool throttle_;
  mutable std::mutex lock_;
  std::condition_variable not_full_;
  std::condition_variable not_empty_;
  std::condition_variable finished_changed_;
  TLgSchedulerQueue queue_;
  bool started_ = false;
  bool stopped_ = false;
  bool finished_ = false;  // the worker has left its loop
  // Waiters, so that signals (system calls) are only made when someone waits.
  bool worker_waiting_ = false;
  int producers_waiting_ = 0;
  std::thread::id worker_id_;
  std::unique_ptr<TLgScheduler> predecessor_;  // guarded by lock_; see the constructor
  std::thread thread_;
};

}  // namespace parlevo::logging
