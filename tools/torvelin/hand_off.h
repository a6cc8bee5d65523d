// The floor's thread hand-off: what the simulated path's queues cost when
// they are nothing but a lock, a condition and a ring.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace tool {

// A bounded queue of indices with one lock and one condition per direction;
// a side is woken only when the other found the queue empty (or full).
class HandOff {
 public:
  explicit HandOff(size_t capacity) : ring_(capacity) {}
  void Push(uint32_t value) {
    std::unique_lock lock(mutex_);
    while (count_ == ring_.size()) {
      producer_waiting_ = true;
      not_full_.wait(lock);
    }
    ring_[(head_ + count_++) % ring_.size()] = value;
    if (consumer_waiting_) {
      consumer_waiting_ = false;
      lock.unlock();
      not_empty_.notify_one();
    }
  }
  uint32_t Pop() {
    std::unique_lock lock(mutex_);
    while (count_ == 0) {
      consumer_waiting_ = true;
      not_empty_.wait(lock);
    }
    const uint32_t value = ring_[head_];
    head_ = (head_ + 1) % ring_.size();
    --count_;
    if (producer_waiting_) {
      producer_waiting_ = false;
      lock.unlock();
      not_full_.notify_one();
    }
    return value;
  }

 private:
  std::mutex mutex_;
  std::condition_variable not_empty_;
  std::condition_variable not_full_;
  std::vector<uint32_t> ring_;  // guarded by mutex_
  size_t head_ = 0;             // guarded by mutex_
  size_t count_ = 0;            // guarded by mutex_
  bool consumer_waiting_ = false;
  bool producer_waiting_ = false;
};

}  // namespace tool
