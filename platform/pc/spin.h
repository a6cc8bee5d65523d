// A short wait that does not sleep, for the simulation's hand-overs between
// threads (a device raising a line to the interrupt thread, a handler
// releasing a blocked reader).
//
// Sleeping on a condition variable costs the waker a system call and a
// cross-CPU wake-up, and the sleeper a context switch: several microseconds
// per hand-over, more than a whole frame's work. When traffic is steady the
// next hand-over usually comes within a few microseconds, so a waiter first
// gives its CPU away with sched_yield for a bounded while, watching a word the
// other side publishes, and only then sleeps. Yielding rather than spinning
// keeps the CPU available to the thread it is waiting for on a machine with
// fewer CPUs than busy threads.
#pragma once

#include <chrono>
#include <thread>

namespace sim {

// How long a waiter yields before it sleeps. Long enough to bridge the gap
// between two frames of a busy sender; short enough that an idle machine
// goes to sleep at once as far as a person can tell.
inline constexpr std::chrono::microseconds kSpinBeforeSleep{50};

// Yields until `ready()` is true or `limit` has passed; returns the last
// value of `ready()`. The clock is read only every few rounds.
template <typename Ready>
bool SpinBriefly(Ready&& ready, std::chrono::microseconds limit = kSpinBeforeSleep) {
  const auto until = std::chrono::steady_clock::now() + limit;
  for (unsigned round = 1;; ++round) {
    if (ready()) return true;
    std::this_thread::yield();
    if (round % 8 == 0 && std::chrono::steady_clock::now() >= until) return ready();
  }
}

}  // namespace sim
