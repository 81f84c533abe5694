// How many requests may send mail at once. A send can take a minute (a mail server that never
// greets or stalls after the message), and the request waiting for it holds a worker of the HTTP
// front; the bound keeps the other workers for the rest of administration. A request beyond it
// waits its turn, in the order of arrival, for a while; when the waiting room is full or its wait
// runs out it is refused before it did anything, and its caller may send it again later.
//
// Thread safety: Enter may be called from any thread at once; a TTurn is released by the thread
// that holds it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

namespace parlevo {

struct TMailBoundLimits {
  // Requests sending at once.
  size_t sending = 8;
  // Requests waiting for their turn besides them; one more is refused at once.
  size_t waiting = 8;
  // The longest wait for a turn.
  std::chrono::milliseconds wait{10000};
};

class TMailBound {
 public:
  explicit TMailBound(TMailBoundLimits limits = {}) : limits_(limits) {}
  TMailBound(const TMailBound&) = delete;
  TMailBound& operator=(const TMailBound&) = delete;

  // A turn to send; gives it back when it goes. *bound must outlive it.
  class TTurn {
   public:
    explicit TTurn(TMailBound& bound) : bound_(&bound) {}
    TTurn(TTurn&& other) noexcept : bound_(other.bound_) { other.bound_ = nullptr; }
    TTurn& operator=(TTurn&&) = delete;
    ~TTurn();

   private:
    TMailBound* bound_;
  };

  // The caller's turn, at once or after waiting; none when the bound refuses the request.
  std::optional<TTurn> Enter();

  size_t Sending();

 private:
  void Leave();

  const TMailBoundLimits limits_;
  std::mutex mutex_;
  std::condition_variable turn_;
  size_t sending_ = 0;
  // Tickets of the waiting requests, the longest waiting first.
  std::deque<uint64_t> queue_;
  uint64_t next_ticket_ = 0;
};

// The bound of the service's requests (the defaults above).
TMailBound& RequestMailBound();

}  // namespace parlevo
