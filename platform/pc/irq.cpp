#include "platform/pc/irq.h"

#include <algorithm>
#include <chrono>

#include "platform/pc/spin.h"
#include "platform/pc/trace.h"

namespace sim {

void IrqController::Raise(unsigned line) {
  if (line >= kLines) return;
  bool wake;
  unsigned level;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (level_[line]++ == 0) asserted_.set(line);
    level = level_[line];
    ++rises_[line];
    published_generation_.store(++generation_, std::memory_order_release);
    wake = waiters_ != 0;
  }
  if (Trace* trace = Trace::Active()) [[unlikely]]
    trace->LineLevel(line, level);
  if (wake) changed_.notify_all();
}

void IrqController::Lower(unsigned line) {
  if (line >= kLines) return;
  unsigned level;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (level_[line] == 0) return;
    if (--level_[line] == 0) asserted_.reset(line);
    level = level_[line];
  }
  if (Trace* trace = Trace::Active()) [[unlikely]]
    trace->LineLevel(line, level);
}

bool IrqController::Asserted(unsigned line) const { return Level(line) != 0; }

unsigned IrqController::Level(unsigned line) const {
  if (line >= kLines) return 0;
  std::lock_guard<std::mutex> lock(mutex_);
  return level_[line];
}

IrqController::LineSet IrqController::AssertedLines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return asserted_;
}

uint64_t IrqController::Rises(unsigned line) const {
  if (line >= kLines) return 0;
  std::lock_guard<std::mutex> lock(mutex_);
  return rises_[line];
}

uint64_t IrqController::generation() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return generation_;
}

uint64_t IrqController::WaitForChange(uint64_t seen_generation, int timeout_us) {
  return WaitForChange(seen_generation, timeout_us, LineSet().set());
}

uint64_t IrqController::WaitForChange(uint64_t seen_generation, int timeout_us,
                                      const LineSet& watched, std::chrono::microseconds spin) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(timeout_us);
  std::unique_lock<std::mutex> lock(mutex_);
  auto ready = [&] { return generation_ != seen_generation || (asserted_ & watched).any(); };
  if (ready()) return generation_;
  if (timeout_us != 0) {
    // Every raise and kick moves the generation, so watching it alone sees
    // any change; a raise during the spin then needs no wake-up call.
    lock.unlock();
    const auto limit =
        timeout_us < 0 ? spin : std::min(spin, std::chrono::microseconds(timeout_us));
    SpinBriefly(
        [&] { return published_generation_.load(std::memory_order_acquire) != seen_generation; },
        limit);
    lock.lock();
  }
  ++waiters_;
  if (timeout_us < 0) {
    changed_.wait(lock, ready);
  } else {
    changed_.wait_until(lock, deadline, ready);
  }
  --waiters_;
  return generation_;
}

void IrqController::Kick() {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    published_generation_.store(++generation_, std::memory_order_release);
    wake = waiters_ != 0;
  }
  if (wake) changed_.notify_all();
}

IrqPin::~IrqPin() { Set(false); }

void IrqPin::Set(bool high) {
  // Linearises at this load when the level is unchanged: a concurrent Set of
  // the other level has not taken effect yet.
  if (high_.load(std::memory_order_acquire) == high) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (high_.load(std::memory_order_relaxed) == high) return;
  if (high) {
    controller_.Raise(line_);
  } else {
    controller_.Lower(line_);
  }
  high_.store(high, std::memory_order_release);
}

void IrqPin::MoveTo(unsigned line) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (line == line_) return;
  if (high_.load(std::memory_order_relaxed)) {
    controller_.Raise(line);
    controller_.Lower(line_);
  }
  line_ = line;
}

unsigned IrqPin::line() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return line_;
}

}  // namespace sim
