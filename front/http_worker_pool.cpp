#include "front/http_worker_pool.h"

#include <system_error>

namespace parlevo {

THttpWorkerPool::~THttpWorkerPool() {
  StopAndJoin();
}

size_t THttpWorkerPool::Grow(unsigned count) {
  while (threads_.size() < count) {
    try {
      threads_.emplace_back([this] { Run(); });
    } catch (const std::system_error&) {
      break;
    }
  }
  return threads_.size();
}

void THttpWorkerPool::Post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void THttpWorkerPool::StopAndJoin() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& t : threads_) {
    if (t.joinable()) t.join();
  }
  threads_.clear();
  std::deque<std::function<void()>> dropped;
  std::lock_guard lock(mutex_);
  dropped.swap(tasks_);
}

void THttpWorkerPool::Run() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
      if (stopping_) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

}  // namespace parlevo
