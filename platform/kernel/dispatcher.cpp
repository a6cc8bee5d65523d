// Interrupt objects and the dispatcher: the one thread that runs the
// handlers of asserted lines and polls polled ones, and its back-off from a
// line nobody acknowledges.
#include <algorithm>
#include <optional>

#include "platform/kernel/kernel_internal.h"
#include "platform/pc/spin.h"
#include "platform/pc/trace.h"

namespace sim {

namespace {

// A line that is still asserted after this many handler rounds in a row,
// none of which saw a source rise on it, is taken for a source nobody
// acknowledges (a suspended adapter's controller keeps its pin high): the
// line is then masked and looked at again after a pause, which doubles at
// every look that changes nothing, up to the longest pause, so that an idle
// machine with such a line uses next to no CPU. A new rise on the line (the
// source went low and high again, as after a resume's reset and the next
// frame) ends the back-off at once; so does the line going low.
constexpr uint32_t kStormRuns = 256;
constexpr auto kStormPause = std::chrono::microseconds(500);
constexpr auto kStormPauseMax = std::chrono::milliseconds(64);
// Polled lines have their handlers called this often (wall time).
constexpr auto kPollPeriod = std::chrono::milliseconds(1);
// How long the dispatcher sleeps when it has nothing to watch but Stop.
constexpr auto kIdleWait = std::chrono::milliseconds(100);
// How long the dispatcher stays awake (yielding) after it last ran a handler,
// before it sleeps. A sleeping host thread can take milliseconds to wake on a
// virtual machine, while a controller's receive ring fills in a quarter of a
// millisecond at line rate: an interrupt that must wait for that wake-up
// loses frames that a real CPU, which never sleeps through its interrupt
// pin, would have taken. Under steady traffic the dispatcher thus never
// sleeps; a machine that goes quiet is asleep again a millisecond later.
constexpr auto kStayAwake = std::chrono::milliseconds(1);

}  // namespace

uint32_t Kernel::AllocateInterrupt(uint32_t line, KeInterruptHandler handler, uintptr_t context,
                                   KHandle* interrupt) {
  if (!Live()) return kFail;
  if (line >= IrqController::kLines || handler == nullptr || interrupt == nullptr) return kFail;
  auto object = std::make_unique<InterruptObject>(CallerProcess()->handle, line, handler, context);
  InterruptObject* raw = object.get();
  const KHandle handle = Publish(std::move(object));
  *interrupt = handle;
  if (handle == 0) return kFail;
  {
    std::lock_guard lock(lines_mutex_);
    line_handlers_[line].push_back(raw);
    lines_version_.fetch_add(1, std::memory_order_release);
  }
  irq_.Kick();
  return 0;
}

uint32_t Kernel::DeallocateInterrupt(KHandle handle) {
  if (!Live()) return kFail;
  auto* interrupt = Use<InterruptObject>(handle, ObjectType::Interrupt);
  if (interrupt == nullptr) return kFail;
  {
    std::lock_guard lock(lines_mutex_);
    if (interrupt->dead.exchange(true)) return kFail;
    auto& handlers = line_handlers_[interrupt->line];
    handlers.erase(std::remove(handlers.begin(), handlers.end(), interrupt), handlers.end());
    lines_version_.fetch_add(1, std::memory_order_release);
  }
  // Pass through interrupt exclusion once: a handler round that started
  // before the object died has then finished.
  ExclusionScope exclusion(*this);
  return 0;
}

uint32_t Kernel::EndOfInterrupt(KHandle handle) {
  if (!Live()) return kFail;
  auto* interrupt = Use<InterruptObject>(handle, ObjectType::Interrupt);
  if (interrupt == nullptr) return kFail;
  eoi_count_.fetch_add(1, std::memory_order_relaxed);
  eoi_by_line_[interrupt->line].fetch_add(1, std::memory_order_relaxed);
  return 0;
}

uint32_t Kernel::GetIntInformation(KHandle handle, uint32_t what, uint32_t* value) {
  if (!Live()) return kFail;
  auto* interrupt = Use<InterruptObject>(handle, ObjectType::Interrupt);
  if (interrupt == nullptr || what != 1 || value == nullptr) return kFail;
  *value = polled_[interrupt->line].load(std::memory_order_relaxed) ? 0 : 1;
  return 0;
}

// --------------------------------------------------------------- dispatcher

void Kernel::RefreshLines() {
  const uint64_t version = lines_version_.load(std::memory_order_acquire);
  if (version == seen_lines_version_) return;
  std::lock_guard lock(lines_mutex_);
  seen_lines_version_ = lines_version_.load(std::memory_order_relaxed);
  live_lines_.clear();
  polled_handlers_.clear();
  for (unsigned line = 0; line < IrqController::kLines; ++line) {
    const auto& handlers = line_handlers_[line];
    if (handlers.empty()) continue;
    if (polled_[line].load(std::memory_order_relaxed)) {
      polled_handlers_.insert(polled_handlers_.end(), handlers.begin(), handlers.end());
    } else {
      live_lines_.emplace_back(line, handlers);
      line_state_[line] = LineState{};
    }
  }
}

void Kernel::RunHandlers(const std::vector<InterruptObject*>& handlers) {
  if (!LockInterrupts()) throw MachineStopped{};
  const RunningScope running(*this, true);
  struct Release {
    Kernel& kernel;
    ~Release() { kernel.UnlockInterrupts(); }
  } release{*this};
  for (InterruptObject* interrupt : handlers) {
    // Checked under the interrupt lock: once KeDeallocateInterrupt has
    // returned, the handler is not called again.
    if (interrupt->dead.load(std::memory_order_acquire)) continue;
    Trace* trace = Trace::Active();
    if (trace == nullptr) [[likely]] {
      interrupt->handler(interrupt->context);
      continue;
    }
    trace->Begin("interrupt", "handler", {{"line", std::to_string(interrupt->line)}});
    try {
      interrupt->handler(interrupt->context);
    } catch (...) {
      trace->End("handler", {{"ended", "unwound"}});
      throw;
    }
    trace->End("handler");
  }
}

void Kernel::RunPolledRound() {
  if (!polled_handlers_.empty()) RunHandlers(polled_handlers_);
}

bool Kernel::LineState::BackedOff() const { return consecutive >= kStormRuns; }

void Kernel::DispatcherMain() {
  Trace::NameThread("interrupt");
  using Clock = std::chrono::steady_clock;
  ScopedThreadContext context(*this, driver_process_, /*unwindable=*/true, /*dispatcher=*/true);
  uint64_t generation = 0;
  auto next_poll = Clock::now() + kPollPeriod;
  Clock::time_point last_service{};
  try {
    while (!stopping()) {
      RefreshLines();
      const IrqController::LineSet asserted = irq_.AssertedLines();
      IrqController::LineSet watched;  // lines whose rising should wake us
      auto now = Clock::now();
      bool ran = false;
      std::optional<Clock::time_point> wake_at;
      for (auto& [line, handlers] : live_lines_) {
        LineState& state = line_state_[line];
        if (!asserted[line]) {
          state = LineState{};
          watched.set(line);
          continue;
        }
        if (state.BackedOff()) {
          if (irq_.Rises(line) != state.rises) {
            state = LineState{};
          } else if (now < state.resume_at) {
            wake_at = wake_at ? std::min(*wake_at, state.resume_at) : state.resume_at;
            continue;
          }
        }
        // A round during which a source rose again on the line (new work
        // arrived after the handler acknowledged the old) is progress, not a
        // storm: only a line that stays high with nothing new behind it, such
        // as an unacknowledged source, counts towards the back-off.
        const uint64_t before = irq_.Rises(line);
        RunHandlers(handlers);
        interrupt_runs_.fetch_add(1, std::memory_order_relaxed);
        const uint64_t after = irq_.Rises(line);
        if (after != before) {
          state = LineState{};
        } else if (++state.consecutive >= kStormRuns) {
          if (state.consecutive == kStormRuns) {
            interrupt_storms_.fetch_add(1, std::memory_order_relaxed);
            state.pause = kStormPause;
          } else {
            state.pause = std::min<std::chrono::microseconds>(state.pause * 2, kStormPauseMax);
          }
          state.rises = after;
          state.resume_at = Clock::now() + state.pause;
        }
        // A look at a backed-off line is no reason to stay awake, and the
        // line is not watched (it is high) until its next look.
        if (state.BackedOff()) {
          wake_at = wake_at ? std::min(*wake_at, state.resume_at) : state.resume_at;
        } else {
          ran = true;
          watched.set(line);
        }
      }

      uint64_t requested;
      {
        std::lock_guard lock(poll_mutex_);
        requested = poll_requested_;
      }
      // poll_done_ is written by this thread only, so reading it here needs
      // no lock.
      const bool poll_pending = requested != poll_done_;
      if (poll_pending || (!polled_handlers_.empty() && Clock::now() >= next_poll)) {
        RunPolledRound();
        next_poll = Clock::now() + kPollPeriod;
        {
          std::lock_guard lock(poll_mutex_);
          poll_done_ = requested;
        }
        poll_cv_.notify_all();
      }
      // Service again at once while a line stays asserted.
      if (ran) {
        last_service = now;
        continue;
      }

      now = Clock::now();
      auto until = now + kIdleWait;
      if (!polled_handlers_.empty()) until = std::min(until, next_poll);
      if (wake_at) until = std::min(until, *wake_at);
      const auto timeout = std::chrono::duration_cast<std::chrono::microseconds>(until - now);
      if (timeout.count() <= 0) continue;
      // Lines in back-off and lines without a handler are not watched, so a
      // line held high by a source nobody acknowledges does not spin us.
      const auto awake =
          std::chrono::duration_cast<std::chrono::microseconds>(last_service + kStayAwake - now);
      generation = irq_.WaitForChange(generation, static_cast<int>(timeout.count()), watched,
                                      std::max(awake, kSpinBeforeSleep));
    }
  } catch (const MachineStopped&) {
    // The process is ending.
  }
}

bool Kernel::PollNow() {
  {
    std::lock_guard lock(state_mutex_);
    if (!booted_ || stopping()) return false;
  }
  uint64_t ticket;
  {
    std::lock_guard lock(poll_mutex_);
    ticket = ++poll_requested_;
  }
  poll_cv_.notify_all();
  irq_.Kick();
  std::unique_lock lock(poll_mutex_);
  poll_cv_.wait(lock, [&] { return poll_done_ >= ticket || stopping(); });
  return poll_done_ >= ticket;
}

void Kernel::SetLinePolled(unsigned line, bool polled) {
  if (line >= IrqController::kLines) return;
  {
    std::lock_guard lock(lines_mutex_);
    polled_[line].store(polled, std::memory_order_relaxed);
    lines_version_.fetch_add(1, std::memory_order_release);
  }
  irq_.Kick();
}

}  // namespace sim
