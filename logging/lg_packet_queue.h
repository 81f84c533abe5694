// A byte-bounded first-in first-out queue of packets: the backlog an output protocol holds back
// until a packet of high enough level arrives. When the queued packets exceed the limit, the
// oldest are dropped through the on-drop handler.
//
// Thread safety: none; the owning protocol serializes access.
#pragma once

#include <cstdint>
#include <functional>
#include <list>

#include "logging/lg_packets.h"

namespace parlevo::logging {

class TLgPacketQueue {
 public:
  // Called for every packet the queue discards (trimmed or cleared).
  using DropHandler = std::function<void(TLgPacketPtr)>;

  // Overhead counted per queued packet besides its own size.
  static constexpr int64_t kNodeOverhead = 12;

  explicit TLgPacketQueue(DropHandler on_drop = {}) : on_drop_(std::move(on_drop)) {}

  // Appends (taking a reference), then trims to the backlog.
  void Push(TLgPacketPtr packet);
  // The oldest packet, or null when the queue is empty.
  TLgPacketPtr Pop();
  // Pops every packet and hands each to the on-drop handler.
  void Clear();

  int64_t Backlog() const { return backlog_; }
  // Sets the limit in bytes and trims at once.
  void SetBacklog(int64_t bytes);

  int Count() const { return static_cast<int>(packets_.size()); }
  int64_t Size() const { return size_; }

 private:
  void Trim();
  void Drop(TLgPacketPtr packet);

  std::list<TLgPacketPtr> packets_;
  int64_t size_ = 0;
  int64_t backlog_ = 0;
  DropHandler on_drop_;
};

}  // namespace parlevo::logging
