// Threads that run the HTTP front's request handlers, which block on the database and files, so
// that the I/O threads never wait for them. Tasks run in the order they were posted; tasks still
// queued when the pool stops are dropped: they belong to connections that were closed.
//
// Thread safety: Post may be called from any thread; Grow and StopAndJoin from the owning thread
// (StopAndJoin also from the destructor), never from a task.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace parlevo {

class THttpWorkerPool {
 public:
  THttpWorkerPool() = default;
  ~THttpWorkerPool();
  THttpWorkerPool(const THttpWorkerPool&) = delete;
  THttpWorkerPool& operator=(const THttpWorkerPool&) = delete;

  // Starts threads up to count in all; returns how many run. A refusal of the system (a task
  // limit) ends the starting, not the process.
  size_t Grow(unsigned count);
  // Dropped once the pool stops.
  void Post(std::function<void()> task);
  // Lets the running tasks finish, joins every thread and drops what is still queued.
  void StopAndJoin();

 private:
  void Run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace parlevo
