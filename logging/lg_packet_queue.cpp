#include "logging/lg_packet_queue.h"

namespace parlevo::logging {

void TLgPacketQueue::Push(TLgPacketPtr packet) {
  if (!packet) return;
  size_ += packet->Size() + kNodeOverhead;
  packets_.push_back(std::move(packet));
  Trim();
}

TLgPacketPtr TLgPacketQueue::Pop() {
  if (packets_.empty()) return nullptr;
  TLgPacketPtr packet = std::move(packets_.front());
  packets_.pop_front();
  size_ -= packet->Size() + kNodeOverhead;
  if (packets_.empty()) size_ = 0;
  return packet;
}

void TLgPacketQueue::Clear() {
  while (TLgPacketPtr packet = Pop()) Drop(std::move(packet));
  size_ = 0;
}

void TLgPacketQueue::SetBacklog(int64_t bytes) {
  backlog_ = bytes;
  Trim();
}

void TLgPacketQueue::Trim() {
  while (size_ > backlog_ && !packets_.empty()) Drop(Pop());
  if (packets_.empty()) size_ = 0;
}

void TLgPacketQueue::Drop(TLgPacketPtr packet) {
  if (on_drop_) on_drop_(std::move(packet));
}

}  // namespace parlevo::logging
