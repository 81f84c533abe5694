#include "logging/lg_scheduler.h"

namespace parlevo::logging {

int64_t TLgSchedulerCommand::Size() const {
  if (size_ < 0) size_ = action == TLgSchedulerAction::WritePacket && packet ? packet->Size() : 0;
  return size_;
}

void TLgSchedulerQueue::Enqueue(TLgSchedulerCommandPtr command) {
  size_ += command->Size() + kNodeOverhead;
  commands_.push_back(std::move(command));
}

TLgSchedulerCommandPtr TLgSchedulerQueue::Dequeue() {
  if (commands_.empty()) return nullptr;
  TLgSchedulerCommandPtr command = std::move(commands_.front());
  commands_.pop_front();
  size_ -= command->Size() + kNodeOverhead;
  if (commands_.empty()) size_ = 0;
  return command;
}

void TLgSchedulerQueue::Trim(int64_t bytes) {
  if (bytes < 1) return;
  int64_t freed = 0;
  for (auto it = commands_.begin(); it != commands_.end() && freed < bytes;) {
    if ((*it)->action != TLgSchedulerAction::WritePacket) {
      ++it;
      continue;
    }
    TLgSchedulerCommandPtr command = std::move(*it);
    it = commands_.erase(it);
    const int64_t size = command->Size() + kNodeOverhead;
    size_ -= size;
    freed += size;
    Delete(std::move(command));
  }
  if (commands_.empty()) size_ = 0;
}

void TLgSchedulerQueue::Clear() {
  while (TLgSchedulerCommandPtr command = Dequeue()) Delete(std::move(command));
  size_ = 0;
}

void TLgSchedulerQueue::Delete(TLgSchedulerCommandPtr command) {
  if (on_delete_) on_delete_(std::move(command));
}

TLgScheduler::TLgScheduler(TLgSchedulerTarget& target, int64_t threshold, bool throttle,
                           std::unique_ptr<TLgScheduler> predecessor)
    : target_(target),
      threshold_(threshold),
      throttle_(throttle),
      predecessor_(std::move(predecessor)) {}

TLgScheduler::~TLgScheduler() {
  Stop();
  // Never started: the predecessor still waits for someone to free it.
  std::unique_ptr<TLgScheduler> predecessor;
  {
    std::lock_guard lock(lock_);
    predecessor = std::move(predecessor_);
  }
}

bool TLgScheduler::RunsOn(std::thread::id id) const {
  std::lock_guard lock(lock_);
  if (started_ && worker_id_ == id) return true;
  return predecessor_ && predecessor_->RunsOn(id);
}

void TLgScheduler::Retire(std::unique_ptr<TLgScheduler> older) {
  if (!older) return;
  std::lock_guard lock(lock_);
  if (predecessor_) {
    predecessor_->Retire(std::move(older));
  } else {
    predecessor_ = std::move(older);
  }
}

void TLgScheduler::Start() {
  std::lock_guard lock(lock_);
  if (started_) return;
  started_ = true;
  thread_ = std::thread([this] { Execute(); });
  worker_id_ = thread_.get_id();
}

void TLgScheduler::Stop() {
  StopBy(std::chrono::steady_clock::time_point::max(), {});
}

void TLgScheduler::StopBy(std::chrono::steady_clock::time_point deadline,
                          const std::function<void()>& overdue) {
  bool on_worker;
  {
    std::lock_guard lock(lock_);
    stopped_ = true;
    if (!started_) return;
    on_worker = std::this_thread::get_id() == worker_id_;
  }
  not_empty_.notify_all();
  not_full_.notify_all();
  // The worker cannot wait for itself: it ends once it is back in its loop.
  if (on_worker || !thread_.joinable()) return;
  if (overdue) {
    bool finished;
    {
      std::unique_lock lock(lock_);
      finished = finished_changed_.wait_until(lock, deadline, [&] { return finished_; });
    }
    if (!finished) {
      Clear();
      overdue();
    }
  }
  thread_.join();
}

bool TLgScheduler::Schedule(TLgSchedulerCommandPtr command) {
  if (!command) return false;
  const int64_t size = command->Size();
  std::unique_lock lock(lock_);
  if (!started_ || stopped_) return false;
  if (size > threshold_) return false;
  // The worker itself (an error handler that logs or disconnects) must never wait for room that
  // only it can make.
  if (throttle_ && !target_.Failed() && std::this_thread::get_id() != worker_id_) {
    // The producer waits for the worker to make room; a protocol that fails meanwhile, or a
    // stop, ends the wait and dropping applies instead.
    ++producers_waiting_;
    // Looked at again now and then: a failure is not signalled, and the worker may be held in
    // the target's error handler until the producer lets go of its lock.
    while (!(queue_.Size() + size <= threshold_ || target_.Failed() || stopped_)) {
      not_full_.wait_for(lock, std::chrono::milliseconds(20));
    }
    --producers_waiting_;
    if (stopped_) return false;
  }
  if (queue_.Size() + size > threshold_) queue_.Trim(size);
  queue_.Enqueue(std::move(command));
  const bool wake = worker_waiting_;
  lock.unlock();
  if (wake) not_empty_.notify_one();
  return true;
}

void TLgScheduler::RequestStop() {
  {
    std::lock_guard lock(lock_);
    stopped_ = true;
  }
  not_empty_.notify_all();
  not_full_.notify_all();
}

void TLgScheduler::Clear() {
  {
    std::lock_guard lock(lock_);
    queue_.Clear();
  }
  not_full_.notify_all();
}

int64_t TLgScheduler::QueueSize() const {
  std::lock_guard lock(lock_);
  return queue_.Size();
}

int TLgScheduler::QueueCount() const {
  std::lock_guard lock(lock_);
  return queue_.Count();
}

void TLgScheduler::Execute() {
  TLgScheduler* predecessor;
  {
    std::lock_guard lock(lock_);
    predecessor = predecessor_.get();
  }
  if (predecessor) {
    // Still visible to RunsOn while its thread ends, so that it is never waited for by a thread
    // it waits for.
    predecessor->Stop();
    std::unique_ptr<TLgScheduler> done;
    std::lock_guard lock(lock_);
    done = std::move(predecessor_);
  }
  std::vector<TLgSchedulerCommandPtr> batch;
  batch.reserve(kBatchSize);
  for (;;) {
    if (TakeBatch(batch) == 0 || RunBatch(batch)) break;
  }
  {
    std::lock_guard lock(lock_);
    finished_ = true;
  }
  finished_changed_.notify_all();
}

int TLgScheduler::TakeBatch(std::vector<TLgSchedulerCommandPtr>& batch) {
  batch.clear();
  bool producers_waiting;
  {
    std::unique_lock lock(lock_);
    worker_waiting_ = true;
    not_empty_.wait(lock, [&] { return queue_.Count() > 0 || stopped_; });
    worker_waiting_ = false;
    while (static_cast<int>(batch.size()) < kBatchSize) {
      TLgSchedulerCommandPtr command = queue_.Dequeue();
      if (!command) break;
      batch.push_back(std::move(command));
    }
    producers_waiting = producers_waiting_ > 0;
  }
  if (producers_waiting) not_full_.notify_all();
  return static_cast<int>(batch.size());
}

bool TLgScheduler::RunBatch(std::vector<TLgSchedulerCommandPtr>& batch) {
  for (auto& command : batch) {
    bool was_stopped;
    {
      std::lock_guard lock(lock_);
      was_stopped = stopped_;
    }
    target_.RunCommand(*command);
    command.reset();
    if (was_stopped && target_.Failed()) {
      // A stopping scheduler whose protocol can no longer deliver gives up at once.
      Clear();
      batch.clear();
      return true;
    }
  }
  batch.clear();
  return false;
}

}  // namespace parlevo::logging
