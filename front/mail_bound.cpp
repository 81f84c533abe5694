#include "front/mail_bound.h"

#include <algorithm>

namespace parlevo {

TMailBound::TTurn::~TTurn() {
  if (bound_) bound_->Leave();
}

std::optional<TMailBound::TTurn> TMailBound::Enter() {
  std::unique_lock lock(mutex_);
  if (queue_.empty() && sending_ < limits_.sending) {
    ++sending_;
    return TTurn(*this);
  }
  if (queue_.size() >= limits_.waiting) return std::nullopt;
  const uint64_t ticket = next_ticket_++;
  queue_.push_back(ticket);
  const bool turn = turn_.wait_for(
      lock, limits_.wait, [&] { return queue_.front() == ticket && sending_ < limits_.sending; });
  queue_.erase(std::find(queue_.begin(), queue_.end(), ticket));
  // The next in line may be first now, and there may be room for it.
  turn_.notify_all();
  if (!turn) return std::nullopt;
  ++sending_;
  return TTurn(*this);
}

size_t TMailBound::Sending() {
  std::lock_guard lock(mutex_);
  return sending_;
}

void TMailBound::Leave() {
  {
    std::lock_guard lock(mutex_);
    --sending_;
  }
  turn_.notify_all();
}

TMailBound& RequestMailBound() {
  static TMailBound bound;
  return bound;
}

}  // namespace parlevo
